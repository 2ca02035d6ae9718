#include "explore/scenario.h"

#include "sim/kernel.h"

#include <chrono>
#include <sstream>

namespace explore {

using sim::explore::Explorer;
using sim::explore::RunResult;
using sim::explore::Schedule;
using sim::explore::Strategy;

const ScenarioEntry* FindScenario(const std::string& name) {
  for (const ScenarioEntry& entry : Scenarios()) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

RunOutcome RunOnce(const ScenarioEntry& entry, const Schedule& schedule) {
  sim::Reset();
  std::unique_ptr<Scenario> scenario = entry.make();
  Problems problems;
  RunOutcome outcome;
  std::ostringstream report;
  report << entry.name << " under " << Describe(schedule) << ":\n";

  scenario->SetUp(problems);
  RunResult run;
  if (problems.empty()) {
    Explorer explorer(schedule);
    scenario->AddActors(explorer);
    run = explorer.Run();
    outcome.steps = run.steps;
    if (!run.Ended()) {
      // Its threads stay parked inside the driver, holding what they
      // hold: the port is left as it is and the kernel starts afresh.
      scenario.release();
      sim::EndOfTest();  // what the parked threads hold is released, not reported

      report << run.failure << "switches that led there:\n" << sim::explore::DescribeSwitches(run.switches, 60);
      outcome.failed = true;
      outcome.report = report.str();
      return outcome;
    }
    scenario->Check(problems);
  }
  scenario->TearDown(problems);
  scenario.reset();
  for (const sim::verifier::Finding& finding : sim::EndOfTest()) {
    problems.push_back(std::string("the verifier: ") + sim::verifier::RuleName(finding.rule) + ": " +
                       finding.message);
  }
  if (!problems.empty()) {
    for (const std::string& problem : problems) report << "  " << problem << "\n";
    report << "switches that led there:\n" << sim::explore::DescribeSwitches(run.switches, 60);
    outcome.failed = true;
    outcome.report = report.str();
  }
  return outcome;
}

uint64_t Horizon(const ScenarioEntry& scenario) {
  RunOutcome reference = RunOnce(scenario, {Strategy::RandomWalk, 1});
  return reference.steps < 20 ? 20 : reference.steps;
}

Schedule NthSchedule(Strategy strategy, uint64_t seed, uint64_t horizon) {
  return {strategy, seed, strategy == Strategy::Priority ? 2u + static_cast<unsigned>(seed % 2) : 2u, horizon};
}

Exploration Explore(const ScenarioEntry& scenario, Strategy strategy, uint64_t firstSeed, uint64_t count,
                    double seconds, bool stopAtFailure) {
  Exploration result;
  uint64_t horizon = strategy == Strategy::Priority ? Horizon(scenario) : 0;
  auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  for (uint64_t seed = firstSeed; result.runs < count && elapsed() < seconds; ++seed) {
    Schedule schedule = NthSchedule(strategy, seed, horizon);
    RunOutcome outcome = RunOnce(scenario, schedule);
    result.runs++;
    if (outcome.failed) {
      result.failures++;
      if (!result.firstFailure) {
        result.firstFailure = outcome;
        result.firstFailingSchedule = schedule;
      }
      if (stopAtFailure) break;
    }
  }
  result.seconds = elapsed();
  return result;
}

}  // namespace explore

// Every scenario under a bounded number of schedules of each strategy.
// A scenario on the known-faults list must still fail under each strategy
// (and its failure must replay from its seed); every other scenario must
// hold under every schedule tried.
//
// Two environment variables turn this binary into the explorer's tools:
//   QUILLAN_EXPLORE_SECONDS=S   the campaign: every scenario, each strategy,
//                               for S seconds, with schedules per second
//   QUILLAN_EXPLORE_REPLAY=Scenario,strategy,seed[,depth,horizon]
//                               replays one schedule and prints its report
#include "explore/known_faults.h"
#include "explore/scenario.h"

#include "support/kernel_test.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

using explore::Exploration;
using explore::KnownFaults;
using explore::ScenarioEntry;
using sim::explore::Schedule;
using sim::explore::Strategy;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr uint64_t kSchedules = 30;  // ThreadSanitizer runs each schedule about ten times slower
#else
constexpr uint64_t kSchedules = 120;
#endif
constexpr double kSecondsPerStrategy = 20;

const Strategy kStrategies[] = {Strategy::RandomWalk, Strategy::Priority};

std::vector<std::string> ScenarioNames() {
  std::vector<std::string> names;
  for (const ScenarioEntry& entry : explore::Scenarios()) names.push_back(entry.name);
  return names;
}

}  // namespace

class ScenarioTest : public KernelTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ScenarioTest, HoldsUnderEverySchedule) {
  const ScenarioEntry& scenario = *explore::FindScenario(GetParam());
  auto known = KnownFaults().find(scenario.name);
  int finding = 0;
  for (Strategy strategy : kStrategies) {
    SCOPED_TRACE(sim::explore::StrategyName(strategy));
    Exploration found = explore::Explore(scenario, strategy, 1, kSchedules, kSecondsPerStrategy, true);
    if (known == KnownFaults().end()) {
      EXPECT_FALSE(found.firstFailure) << "after " << found.runs << " schedules: " << found.firstFailure->report;
      continue;
    }
    if (!found.firstFailure) {
      EXPECT_FALSE(known->second) << scenario.name << " is on the known-faults list but held under " << found.runs
                                  << " schedules: if its fault is fixed, take it off the list";
      continue;
    }
    finding++;
    std::printf("%s: the known fault is found under %s after %llu schedules:\n%s", scenario.name.c_str(),
                Describe(*found.firstFailingSchedule).c_str(), static_cast<unsigned long long>(found.runs),
                found.firstFailure->report.c_str());
    // The failure replays from its seed, switch for switch.
    explore::RunOutcome again = explore::RunOnce(scenario, *found.firstFailingSchedule);
    EXPECT_TRUE(again.failed) << "the failing schedule passed when replayed";
    EXPECT_EQ(again.report, found.firstFailure->report);
  }
  if (known != KnownFaults().end()) {
    EXPECT_GT(finding, 0) << scenario.name << " is on the known-faults list but held under every schedule tried: "
                          << "if its fault is fixed, take it off the list";
  }
}

INSTANTIATE_TEST_SUITE_P(Explore, ScenarioTest, ::testing::ValuesIn(ScenarioNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(ExploreKnownFaults, NameScenariosThatExist) {
  for (const auto& [name, eachStrategy] : KnownFaults()) {
    (void)eachStrategy;
    EXPECT_NE(explore::FindScenario(name), nullptr) << "the known-faults list names no scenario " << name;
  }
}

TEST(ExploreCampaign, EveryScenarioUnderEachStrategy) {
  const char* seconds = std::getenv("QUILLAN_EXPLORE_SECONDS");
  if (seconds == nullptr) GTEST_SKIP() << "set QUILLAN_EXPLORE_SECONDS to run the campaign (make explore)";
  double budget = std::atof(seconds);
  std::printf("%-36s %-12s %9s %9s %11s  %s\n", "scenario", "strategy", "schedules", "failures", "per second",
              "first failing schedule");
  uint64_t total = 0;
  double elapsed = 0;
  for (const ScenarioEntry& scenario : explore::Scenarios()) {
    bool known = KnownFaults().count(scenario.name) != 0;
    for (Strategy strategy : kStrategies) {
      // A deadlocked run leaves its threads parked: a known fault is
      // explored until it is found, not for the whole budget.
      Exploration run = explore::Explore(scenario, strategy, 1, UINT64_MAX, budget, known);
      total += run.runs;
      elapsed += run.seconds;
      std::printf("%-36s %-12s %9llu %9llu %11.0f  %s\n", scenario.name.c_str(), sim::explore::StrategyName(strategy),
                  static_cast<unsigned long long>(run.runs), static_cast<unsigned long long>(run.failures),
                  run.runs / (run.seconds > 0 ? run.seconds : 1),
                  run.firstFailingSchedule ? Describe(*run.firstFailingSchedule).c_str() : "-");
      if (run.firstFailure && !known) {
        ADD_FAILURE() << run.firstFailure->report;
        // Deadlocks leave threads parked: one failing schedule is enough.
      }
      std::fflush(stdout);
    }
  }
  std::printf("%llu schedules in %.1f s: %.0f per second\n", static_cast<unsigned long long>(total), elapsed,
              total / (elapsed > 0 ? elapsed : 1));
}

TEST(ExploreReplay, OneSchedule) {
  const char* spec = std::getenv("QUILLAN_EXPLORE_REPLAY");
  if (spec == nullptr) GTEST_SKIP() << "set QUILLAN_EXPLORE_REPLAY=Scenario,strategy,seed[,depth,horizon]";
  std::vector<std::string> fields;
  std::stringstream text(spec);
  for (std::string field; std::getline(text, field, ',');) fields.push_back(field);
  ASSERT_GE(fields.size(), 3u) << spec;
  const ScenarioEntry* scenario = explore::FindScenario(fields[0]);
  ASSERT_NE(scenario, nullptr) << "no scenario named " << fields[0];
  Schedule schedule;
  schedule.strategy = fields[1] == "priority" ? Strategy::Priority : Strategy::RandomWalk;
  schedule.seed = std::stoull(fields[2]);
  if (fields.size() >= 5) {
    schedule.depth = static_cast<unsigned>(std::stoul(fields[3]));
    schedule.horizon = std::stoull(fields[4]);
  } else if (schedule.strategy == Strategy::Priority) {
    schedule = explore::NthSchedule(Strategy::Priority, schedule.seed, explore::Horizon(*scenario));
  }
  explore::RunOutcome outcome = explore::RunOnce(*scenario, schedule);
  std::printf("%s under %s: %s after %llu steps\n%s", scenario->name.c_str(), Describe(schedule).c_str(),
              outcome.failed ? "FAILED" : "held", static_cast<unsigned long long>(outcome.steps),
              outcome.report.c_str());
}

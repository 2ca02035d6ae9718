/*
 * Scenarios for the controlled-concurrency explorer, and the runner that
 * explores them. A scenario brings a port to a starting point one step at
 * a time (the deterministic mode), names the processors that then race
 * (its actors: application threads, the device, the Plug and Play
 * manager), and says what must hold once they are done and after the port
 * is taken down: every request completed exactly once, nothing left
 * pending that should have ended, streams intact, the verifier silent and
 * nothing leaked. The runner gives every schedule a fresh kernel.
 */
#pragma once

#include "sim/explore/explorer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace explore {

// What went wrong in one run, in words; empty when all held.
using Problems = std::vector<std::string>;

class Scenario {
 public:
  virtual ~Scenario() = default;
  // Brings the port to the starting point, deterministically.
  virtual void SetUp(Problems& problems) = 0;
  // The processors that race from there.
  virtual void AddActors(sim::explore::Explorer& explorer) = 0;
  // Once every processor is done: what must hold at this point.
  virtual void Check(Problems& problems) = 0;
  // Takes the port down (close, removal) and checks what must hold after;
  // the runner then runs the kernel's end-of-test checks.
  virtual void TearDown(Problems& problems) = 0;
};

using ScenarioFactory = std::function<std::unique_ptr<Scenario>()>;

struct ScenarioEntry {
  std::string name;
  ScenarioFactory make;
};
// Every scenario, in the order CI runs them.
const std::vector<ScenarioEntry>& Scenarios();
const ScenarioEntry* FindScenario(const std::string& name);

// One run of a scenario under one schedule.
struct RunOutcome {
  bool failed = false;
  std::string report;  // the schedule, what went wrong and the switches that led there
  uint64_t steps = 0;
};
RunOutcome RunOnce(const ScenarioEntry& scenario, const sim::explore::Schedule& schedule);

// The steps of one reference run (random walk, seed 1): the priority
// strategy's horizon for this scenario.
uint64_t Horizon(const ScenarioEntry& scenario);

// The schedule of the n-th seed of a strategy: priority schedules take
// depth 2 and 3 in turn.
sim::explore::Schedule NthSchedule(sim::explore::Strategy strategy, uint64_t seed, uint64_t horizon);

// Many runs of a scenario under one strategy, seeds first, first+1, ...,
// until `count` runs or `seconds` of real time, stopping at the first
// failure when asked.
struct Exploration {
  uint64_t runs = 0;
  uint64_t failures = 0;
  std::optional<RunOutcome> firstFailure;
  std::optional<sim::explore::Schedule> firstFailingSchedule;
  double seconds = 0;
};
Exploration Explore(const ScenarioEntry& scenario, sim::explore::Strategy strategy, uint64_t firstSeed,
                    uint64_t count, double seconds, bool stopAtFailure);

}  // namespace explore

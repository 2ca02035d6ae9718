/*
 * The controlled-concurrency explorer. A scenario's simulated processors
 * are real threads, but only one runs at a time, and the explorer chooses
 * which one at every kernel call (hook.h): an interleaving of processors
 * is a schedule, and a schedule is chosen by a seed, so any run replays
 * exactly from its seed.
 *
 * The processors of a run are the scenario's actors (an application
 * thread, the Plug and Play manager: finite bodies given by the scenario)
 * and the kernel's own: DPC processors, which run queued DPCs (the USB
 * bus's transfer completions among them); and the clock, which lets
 * virtual time run to the next due timer or device answer. A processor that would block (a spin lock held
 * elsewhere, an event not signalled, a request not completed) is not
 * scheduled until it can go on. The run ends when every actor has finished
 * and the kernel's processors have nothing left to deliver; if before that
 * no processor can go on, the run has deadlocked (a hang on Windows) and
 * fails. A deadlocked run's threads stay parked for the rest of the
 * process, with whatever they reference: they can never be resumed safely.
 *
 * Two strategies choose the schedule:
 *   - random walk: at each switch point, any processor that can go on;
 *   - priority with change points (PCT): processors get random distinct
 *     priorities and the highest that can go on runs; at depth-1 random
 *     steps of the first `horizon` the running processor drops below all
 *     others. A fault that needs `depth` ordering constraints among n
 *     processors is found in one run with probability at least
 *     1/(n * horizon^(depth-1)) when the run takes at most `horizon` steps.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::explore {

enum class Strategy { RandomWalk, Priority };
const char* StrategyName(Strategy strategy);

struct Schedule {
  Strategy strategy = Strategy::RandomWalk;
  uint64_t seed = 1;
  unsigned depth = 2;       // Priority: ordering constraints sought (depth-1 change points)
  uint64_t horizon = 1000;  // Priority: change points fall in steps 1..horizon
};
// "random walk, seed 7" or "priority (depth 2, horizon 400), seed 7".
std::string Describe(const Schedule& schedule);

struct Options {
  unsigned dpcProcessors = 2;
  uint64_t stepLimit = 200000;  // more steps than this is a run that never ends
};

// One switch from a processor to another, at a step (a kernel call).
struct Switch {
  uint64_t step;
  std::string from;      // the processor stopped ("" before the first step)
  std::string fromCall;  // the kernel call it stopped at
  std::string to;        // the processor that runs next
  std::string toCall;    // the call it resumes in
};

struct RunResult {
  bool deadlocked = false;    // no processor could go on before the end
  bool stepLimitHit = false;  // still running after Options::stepLimit steps
  std::string failure;        // what went wrong, with every processor's state
  uint64_t steps = 0;
  std::vector<Switch> switches;
  bool Ended() const { return !deadlocked && !stepLimitHit; }
};

// The switches, one line each ("  step 42: close -> DPC processor 1
// (close at KfAcquireSpinLock; resumes in IofCompleteRequest)"); with
// `last`, only the last that many.
std::string DescribeSwitches(const std::vector<Switch>& switches, size_t last = 0);

class Explorer {
 public:
  explicit Explorer(const Schedule& schedule, const Options& options = {});
  ~Explorer();
  Explorer(const Explorer&) = delete;
  Explorer& operator=(const Explorer&) = delete;

  // A finite processor of the scenario. Add every actor before Run.
  void AddActor(std::string name, std::function<void()> body);

  // Runs the actors and the kernel's processors under the schedule until
  // the end or a deadlock. Once per Explorer.
  RunResult Run();

  struct Engine;

 private:
  Engine* engine_;  // left alive, with its threads, after a deadlock
};

}  // namespace sim::explore

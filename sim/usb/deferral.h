/*
 * Deferred work of the bus: what a device answers "later" runs here, in a
 * DPC of the bus (a real KDPC, at DISPATCH_LEVEL), never on the thread that
 * asked for it. In the deterministic mode the DPC is queued from an entry
 * on the virtual clock, when the test advances time or a wait lets time
 * run; it then runs as any DPC does (it may be held back, see ke.h). In
 * the concurrent mode it is queued at once (or when the clock reaches a
 * later due time) and runs on a DPC processor, in parallel with the thread
 * that asked.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace sim::usb {

class Deferral {
 public:
  explicit Deferral(std::function<void()> work);
  // Stops: scheduled runs are dropped, a run in progress is waited for.
  ~Deferral();
  Deferral(const Deferral&) = delete;
  Deferral& operator=(const Deferral&) = delete;

  // Asks for one run of the work, latencyMs of virtual time from now.
  void Post(uint64_t latencyMs);
  // Asks for one run at an absolute virtual time (now or later).
  void PostAt(int64_t due);
  void Stop();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace sim::usb

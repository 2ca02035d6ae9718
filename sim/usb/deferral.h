/*
 * Deferred work of the bus: what a device answers "later" runs here, in a
 * DPC-like context (DISPATCH_LEVEL). In the deterministic mode it is an
 * entry on the virtual clock, run when the test advances time or a wait
 * lets time run. In the concurrent mode it runs on the bus's own completion
 * thread, after the clock has reached the due time if there is a latency.
 */
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

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
  void Stop();

 private:
  struct Shared;
  static void RunAtDispatch(const std::shared_ptr<Shared>& shared);
  static void HandToThread(const std::shared_ptr<Shared>& shared);
  void ThreadMain();

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace sim::usb

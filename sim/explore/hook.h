/*
 * What the simulated kernel tells the controlled-concurrency explorer
 * (explorer.h). Each kernel call where another processor could step in
 * (spin lock acquire and release, IofCallDriver, IofCompleteRequest,
 * IoCancelIrp, timer, DPC, event and pool calls) says so with Yield; a call
 * that would block says what it waits for with BlockUntil. The USB bus
 * completes transfers from its DPC, which the explorer's DPC processors
 * deliver. Without an exploration, or on a thread the explorer does not
 * schedule, every one of these does nothing.
 */
#pragma once

#include <functional>

namespace sim::explore {

// An exploration is running: the kernel behaves as in the concurrent mode
// (DPCs wait for a processor to deliver them).
bool Exploring();

// This thread is one of the explorer's processors.
bool Controlled();

// A switch point: the explorer may let another processor run first.
void Yield(const char* call);

// This processor cannot go on until canGo() holds (a spin lock another
// processor holds, an event not signalled): it is not scheduled until then.
// Returns at once, false, on a thread the explorer does not schedule.
bool BlockUntil(const char* call, const std::function<bool()>& canGo);

// As BlockUntil, for a caller holding a std::unique_lock (the dispatcher's
// own lock), which is released while blocked and taken again after.
template <class Lock>
bool BlockReleasing(Lock& held, const char* call, const std::function<bool()>& canGo) {
  if (!Controlled()) return false;
  held.unlock();
  BlockUntil(call, canGo);
  held.lock();
  return true;
}

}  // namespace sim::explore

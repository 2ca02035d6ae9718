#include "sim/kernel.h"

#include "sim/cm/registry.h"
#include "sim/ex/pool.h"
#include "sim/io/io.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/mm/mdl.h"
#include "sim/ob/namespace.h"
#include "sim/pnp/pnp.h"
#include "sim/rtl/debug.h"

namespace sim {

void Reset() {
  ke::StopConcurrent();
  ke::SetWatchdogSeconds(ke::kDefaultWatchdogSeconds);
  verifier::Reset();
  clock::Reset();
  ke::ResetTimers();
  ke::SetClockTick(ke::kTick15_625Ms);
  ke::SetDpcDelivery(ke::DpcDelivery::HeldBack);
  ke::ResetDpcs();
  ke::ResetSpinLocks();
  pool::Reset();
  mm::Reset();
  ob::Reset();
  cm::Reset();
  pnp::Reset();
  io::ResetRequestOrder();
  debug::Clear();
}

std::vector<verifier::Finding> EndOfTest() {
  ke::StopConcurrent();
  // DPCs still held back are reported below with those still queued: by
  // now what they belong to may be gone, so they are not run.
  bool lockHeld = ke::SpinLocksHeldByThisThread() != 0;
  if (lockHeld) {
    verifier::Report(verifier::Rule::SpinLockHeldOnReturn, "the test ends with a spin lock held");
  }
  if (ke::CurrentIrql() != PASSIVE_LEVEL) {
    verifier::Report(verifier::Rule::IrqlNotRestored, "the test ends at IRQL " + std::to_string(ke::CurrentIrql()));
    ke::LowerIrql(PASSIVE_LEVEL, "end of test", lockHeld);
  }
  io::ReportAndReleaseIrps();
  io::ReportAndReleaseDevices();
  // Names, registry handles and device interfaces outlive a driver's
  // devices in Windows: whatever a driver published and did not withdraw
  // is its own fault.
  ob::ReportAndRemoveLinks();
  cm::ReportAndCloseHandles();
  pnp::ReportEnabledInterfaces();
  pool::Usage left = pool::Outstanding();
  if (left.blocks != 0) {
    verifier::Report(verifier::Rule::PoolLeaked, std::to_string(left.blocks) + " block(s), " +
                                                     std::to_string(left.bytes) + " bytes: " +
                                                     pool::DescribeOutstanding());
  }
  // Whatever holds a timer still set or a DPC still queued is about to go
  // (the test's stack, its fixture, the driver's memory): as when a driver
  // unloads or frees such memory, that is a fault of its own.
  if (size_t timers = ke::SetTimerCount(); timers != 0) {
    verifier::Report(verifier::Rule::TimerInFreedMemory,
                     "the test ends with " + std::to_string(timers) + " timer(s) still set");
  }
  if (size_t dpcs = ke::QueuedDpcCount(); dpcs != 0) {
    verifier::Report(verifier::Rule::DpcInFreedMemory,
                     "the test ends with " + std::to_string(dpcs) + " DPC(s) still queued");
  }
  std::vector<verifier::Finding> findings = verifier::Findings();
  Reset();
  return findings;
}

}  // namespace sim

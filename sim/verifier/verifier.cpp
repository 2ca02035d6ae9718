#include "sim/verifier/verifier.h"

#include <cstdio>
#include <mutex>

namespace sim::verifier {
namespace {

std::mutex g_lock;
std::vector<Finding> g_findings;

}  // namespace

const char* RuleName(Rule rule) {
  switch (rule) {
    case Rule::IrpCompletedTwice: return "IRP completed twice";
    case Rule::IrpUsedAfterCompletion: return "IRP used after completion";
    case Rule::IrpCompletedWithCancelRoutine: return "IRP completed with a cancel routine set";
    case Rule::IrpCompletedWithPendingStatus: return "IRP completed with STATUS_PENDING";
    case Rule::PendingNotMarked: return "STATUS_PENDING returned without IoMarkIrpPending";
    case Rule::DispatchStatusMismatch: return "dispatch result differs from the completion status";
    case Rule::DispatchReturnedWithoutCompleting: return "dispatch returned without completing or pending";
    case Rule::NoMoreStackLocations: return "no more IRP stack locations";
    case Rule::DriverIrpCompletedToTop: return "driver-allocated IRP completed past its top";
    case Rule::IrpFreedWhileInUse: return "IRP freed while in use";
    case Rule::IrpLeaked: return "IRP leaked";
    case Rule::UnknownIrp: return "IRP not allocated by the I/O manager";
    case Rule::UnknownDevice: return "not a live device object";
    case Rule::CancelSpinLockNotReleased: return "cancel routine kept the cancel spin lock";
    case Rule::WaitAtRaisedIrql: return "wait at raised IRQL";
    case Rule::WaitNeverEnds: return "wait that can never end";
    case Rule::MayWaitAtRaisedIrql: return "routine that may wait runs at raised IRQL";
    case Rule::IrqlTooHigh: return "routine called at too high an IRQL";
    case Rule::IrqlNotRestored: return "IRQL not restored";
    case Rule::SpinLockNotHeld: return "spin lock released that is not held";
    case Rule::SpinLockRecursion: return "spin lock acquired twice by one thread";
    case Rule::SpinLockHeldOnReturn: return "spin lock still held";
    case Rule::LockOrderInversion: return "lock-order inversion";
    case Rule::PagedPoolAtRaisedIrql: return "paged pool at raised IRQL";
    case Rule::PoolFreedTwice: return "pool freed twice or never allocated";
    case Rule::PoolLeaked: return "pool leaked";
    case Rule::TimerInFreedMemory: return "timer still set in freed memory";
    case Rule::DpcInFreedMemory: return "DPC still queued in freed memory";
    case Rule::DeviceDeletedWhileAttached: return "device deleted while attached";
    case Rule::DeviceDeletedWhileReferenced: return "device deleted while referenced";
    case Rule::DeviceLeaked: return "device object leaked";
    case Rule::DeviceStillInitializing: return "device still initializing";
    case Rule::SymbolicLinkLeaked: return "symbolic link leaked";
    case Rule::KeyHandleLeaked: return "registry key handle leaked";
    case Rule::InvalidHandle: return "handle that is not open";
    case Rule::DeviceInterfaceLeftEnabled: return "device interface left enabled";
    case Rule::InvalidArgument: return "argument the kernel would fault on";
    case Rule::MdlMisuse: return "MDL misused";
    case Rule::UnsupportedCall: return "call the simulated kernel does not support";
  }
  return "unknown rule";
}

void Report(Rule rule, const std::string& message) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_findings.push_back({rule, message});
  std::fprintf(stderr, "VERIFIER: %s: %s\n", RuleName(rule), message.c_str());
}

std::vector<Finding> Findings() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_findings;
}

std::vector<Finding> Take() {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<Finding> taken;
  taken.swap(g_findings);
  return taken;
}

bool Has(Rule rule) {
  std::lock_guard<std::mutex> hold(g_lock);
  for (const Finding& finding : g_findings) {
    if (finding.rule == rule) return true;
  }
  return false;
}

void Reset() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_findings.clear();
}

std::string Describe(const std::vector<Finding>& findings) {
  std::string text;
  for (const Finding& finding : findings) {
    text += "  ";
    text += RuleName(finding.rule);
    text += ": ";
    text += finding.message;
    text += "\n";
  }
  return text;
}

}  // namespace sim::verifier

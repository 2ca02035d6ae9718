#include "sim/verifier/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace sim::verifier {
namespace {

std::mutex g_lock;
std::vector<Finding> g_findings;

// The report site relative to the source tree: "sim/io/call.cpp:97".
std::string Site(const char* file, int line) {
  const char* relative = std::strstr(file, "sim/");
  return std::string(relative != nullptr ? relative : file) + ":" + std::to_string(line);
}

bool Silenced(Rule rule, const std::string& site) {
  static const std::string silenced = [] {
    const char* value = std::getenv("QUILLAN_VERIFIER_SILENCE");
    return std::string(value != nullptr ? value : "");
  }();
  if (silenced.empty()) return false;
  return silenced == std::string("rule:") + RuleId(rule) || silenced == "site:" + site;
}

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
    case Rule::PendingMarkedButNotReturned: return "IRP marked pending but another status returned";
    case Rule::InformationExceedsBuffer: return "IoStatus.Information larger than the buffer";
    case Rule::PoolZeroBytes: return "pool allocation of zero bytes";
    case Rule::PoolCorrupted: return "pool block overrun or underrun";
    case Rule::IrqlTooLow: return "routine called below the IRQL it needs";
    case Rule::SpinLockHeldBelowDispatch: return "IRQL lowered below DISPATCH_LEVEL with a spin lock held";
    case Rule::CalledWithCancelRoutine: return "IRP sent on with a cancel routine set";
    case Rule::CompletionRoutineNotOwn: return "completion routine left for a driver that did not set it";
    case Rule::StatusBlockOnUnwoundStack: return "status block or event on a stack that has unwound";
    case Rule::RemovedInSurpriseRemoval: return "device detached or deleted in surprise removal";
    case Rule::ForwardedAtBadIrql: return "request sent above the IRQL its kind allows";
    case Rule::QueuedIrpNotMarkedPending: return "queued IRP not marked pending";
    case Rule::StartDeviceWait: return "wait at raised IRQL while starting a device";
    case Rule::CancelFieldNotChecked: return "cancel routine set without checking Irp->Cancel";
    case Rule::SignalEventInCompletion: return "KeSetEvent with Wait TRUE from a completion routine";
  }
  return "unknown rule";
}

const char* RuleId(Rule rule) {
  switch (rule) {
#define QUILLAN_RULE_ID(name) \
  case Rule::name: return #name;
    QUILLAN_RULE_ID(IrpCompletedTwice)
    QUILLAN_RULE_ID(IrpUsedAfterCompletion)
    QUILLAN_RULE_ID(IrpCompletedWithCancelRoutine)
    QUILLAN_RULE_ID(IrpCompletedWithPendingStatus)
    QUILLAN_RULE_ID(PendingNotMarked)
    QUILLAN_RULE_ID(DispatchStatusMismatch)
    QUILLAN_RULE_ID(DispatchReturnedWithoutCompleting)
    QUILLAN_RULE_ID(NoMoreStackLocations)
    QUILLAN_RULE_ID(DriverIrpCompletedToTop)
    QUILLAN_RULE_ID(IrpFreedWhileInUse)
    QUILLAN_RULE_ID(IrpLeaked)
    QUILLAN_RULE_ID(UnknownIrp)
    QUILLAN_RULE_ID(UnknownDevice)
    QUILLAN_RULE_ID(CancelSpinLockNotReleased)
    QUILLAN_RULE_ID(WaitAtRaisedIrql)
    QUILLAN_RULE_ID(WaitNeverEnds)
    QUILLAN_RULE_ID(MayWaitAtRaisedIrql)
    QUILLAN_RULE_ID(IrqlTooHigh)
    QUILLAN_RULE_ID(IrqlNotRestored)
    QUILLAN_RULE_ID(SpinLockNotHeld)
    QUILLAN_RULE_ID(SpinLockRecursion)
    QUILLAN_RULE_ID(SpinLockHeldOnReturn)
    QUILLAN_RULE_ID(LockOrderInversion)
    QUILLAN_RULE_ID(PagedPoolAtRaisedIrql)
    QUILLAN_RULE_ID(PoolFreedTwice)
    QUILLAN_RULE_ID(PoolLeaked)
    QUILLAN_RULE_ID(TimerInFreedMemory)
    QUILLAN_RULE_ID(DpcInFreedMemory)
    QUILLAN_RULE_ID(DeviceDeletedWhileAttached)
    QUILLAN_RULE_ID(DeviceDeletedWhileReferenced)
    QUILLAN_RULE_ID(DeviceLeaked)
    QUILLAN_RULE_ID(MdlMisuse)
    QUILLAN_RULE_ID(DeviceStillInitializing)
    QUILLAN_RULE_ID(SymbolicLinkLeaked)
    QUILLAN_RULE_ID(KeyHandleLeaked)
    QUILLAN_RULE_ID(InvalidHandle)
    QUILLAN_RULE_ID(DeviceInterfaceLeftEnabled)
    QUILLAN_RULE_ID(InvalidArgument)
    QUILLAN_RULE_ID(UnsupportedCall)
    QUILLAN_RULE_ID(PendingMarkedButNotReturned)
    QUILLAN_RULE_ID(InformationExceedsBuffer)
    QUILLAN_RULE_ID(PoolZeroBytes)
    QUILLAN_RULE_ID(PoolCorrupted)
    QUILLAN_RULE_ID(IrqlTooLow)
    QUILLAN_RULE_ID(SpinLockHeldBelowDispatch)
    QUILLAN_RULE_ID(CalledWithCancelRoutine)
    QUILLAN_RULE_ID(CompletionRoutineNotOwn)
    QUILLAN_RULE_ID(StatusBlockOnUnwoundStack)
    QUILLAN_RULE_ID(RemovedInSurpriseRemoval)
    QUILLAN_RULE_ID(ForwardedAtBadIrql)
    QUILLAN_RULE_ID(QueuedIrpNotMarkedPending)
    QUILLAN_RULE_ID(StartDeviceWait)
    QUILLAN_RULE_ID(CancelFieldNotChecked)
    QUILLAN_RULE_ID(SignalEventInCompletion)
#undef QUILLAN_RULE_ID
  }
  return "Unknown";
}

void Report(Rule rule, const std::string& message, const char* file, int line) {
  std::string site = Site(file, line);
  if (Silenced(rule, site)) return;
  std::lock_guard<std::mutex> hold(g_lock);
  g_findings.push_back({rule, message});
  // Formatted on the heap and written whole: printf to the unbuffered stderr
  // takes a buffer of several kilobytes on the stack, and a report can come
  // from deep inside a driver call on a small kernel stack.
  std::string text = std::string("VERIFIER: ") + RuleName(rule) + ": " + message + " [" + RuleId(rule) + " " + site + "]\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
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

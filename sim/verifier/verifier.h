/*
 * The verifier: every rule of kernel programming that the simulated kernel
 * can observe is checked where it is observable, and each violation is
 * recorded here with a message that says what happened. A driver test passes
 * only when nothing was recorded.
 */
#pragma once

#include <string>
#include <vector>

namespace sim::verifier {

enum class Rule {
  IrpCompletedTwice,
  IrpUsedAfterCompletion,
  IrpCompletedWithCancelRoutine,
  IrpCompletedWithPendingStatus,
  PendingNotMarked,
  DispatchStatusMismatch,
  DispatchReturnedWithoutCompleting,
  NoMoreStackLocations,
  DriverIrpCompletedToTop,
  IrpFreedWhileInUse,
  IrpLeaked,
  UnknownIrp,
  UnknownDevice,
  CancelSpinLockNotReleased,
  WaitAtRaisedIrql,
  WaitNeverEnds,
  MayWaitAtRaisedIrql,
  IrqlTooHigh,
  IrqlNotRestored,
  SpinLockNotHeld,
  SpinLockRecursion,
  SpinLockHeldOnReturn,
  LockOrderInversion,
  PagedPoolAtRaisedIrql,
  PoolFreedTwice,
  PoolLeaked,
  TimerInFreedMemory,
  DpcInFreedMemory,
  DeviceDeletedWhileAttached,
  DeviceDeletedWhileReferenced,
  DeviceLeaked,
  MdlMisuse,
  DeviceStillInitializing,
  SymbolicLinkLeaked,
  KeyHandleLeaked,
  InvalidHandle,
  DeviceInterfaceLeftEnabled,
  InvalidArgument,
  UnsupportedCall,
  PendingMarkedButNotReturned,
  InformationExceedsBuffer,
  PoolZeroBytes,
  PoolCorrupted,
  IrqlTooLow,
  SpinLockHeldBelowDispatch,
  CalledWithCancelRoutine,
  CompletionRoutineNotOwn,
  StatusBlockOnUnwoundStack,
  RemovedInSurpriseRemoval,
  ForwardedAtBadIrql,
  QueuedIrpNotMarkedPending,
  StartDeviceWait,
  CancelFieldNotChecked,
  SignalEventInCompletion,
};

const char* RuleName(Rule rule);

// The rule's identifier as spelled here ("IrpCompletedTwice"), for tools.
const char* RuleId(Rule rule);

struct Finding {
  Rule rule;
  std::string message;
};

// Records a violation and echoes it to standard error at once, so that it is
// seen even if the faulty driver crashes the test right afterwards. The echo
// names the report site (the caller's file and line).
//
// For tools/verifier-mutations.sh only: QUILLAN_VERIFIER_SILENCE, read once,
// names one rule ("rule:IrpCompletedTwice") or one report site
// ("site:sim/io/call.cpp:97") whose reports are dropped, so that the script
// can show that some test fails without it.
void Report(Rule rule, const std::string& message, const char* file = __builtin_FILE(),
            int line = __builtin_LINE());

// All findings since the last Take or Reset.
std::vector<Finding> Findings();

// Returns the findings and forgets them (tests of the verifier itself).
std::vector<Finding> Take();

// True if some finding since the last Take has this rule.
bool Has(Rule rule);

void Reset();

// One line per finding, for failure messages.
std::string Describe(const std::vector<Finding>& findings);

}  // namespace sim::verifier

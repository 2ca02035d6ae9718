/*
 * IofCompleteRequest: first the checks Windows enforces (completed twice,
 * a cancel routine still set, STATUS_PENDING as the final status), then the
 * walk up the stack locations. Each location's completion routine runs if
 * its invoke-on flags match the outcome; STATUS_MORE_PROCESSING_REQUIRED
 * stops the walk and hands the IRP back to that routine's driver. A location
 * whose routine does not run passes the pending mark up to the next one. As
 * the walk passes a location whose dispatch routine returned STATUS_PENDING,
 * it checks that the location carries the pending mark. After each
 * completion routine it checks the IRQL and the spin locks held, as after
 * dispatch and DPC routines.
 * When the walk passes the top, the IRP's originator finishes it.
 */
#include "sim/io/io.h"
#include "sim/explore/hook.h"
#include "sim/ke/ke.h"
#include "sim/ke/stack.h"
#include "sim/verifier/verifier.h"

#include <cstdio>

namespace sim::io {
namespace {

void CheckInformation(const IrpRecord& record, PIRP irp);

bool CheckCompletable(IrpRecord& record, PIRP irp) {
  char text[160];
  if (record.completed || record.completing) {
    verifier::Report(verifier::Rule::IrpCompletedTwice,
                     record.completed ? "IofCompleteRequest of an IRP whose completion already reached its top"
                                      : "IofCompleteRequest of an IRP that is being completed");
    return false;
  }
  if (irp->CurrentLocation > irp->StackCount) {
    verifier::Report(verifier::Rule::IrpUsedAfterCompletion,
                     "IofCompleteRequest of an IRP that no driver holds (it was never sent)");
    return false;
  }
  // Read as the exchange writes it: another thread may be cancelling.
  PDRIVER_CANCEL routine = __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE);
  if (routine != nullptr) {
    std::snprintf(text, sizeof text, "IofCompleteRequest with cancel routine %p still set",
                  reinterpret_cast<void*>(routine));
    verifier::Report(verifier::Rule::IrpCompletedWithCancelRoutine, text);
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    verifier::Report(verifier::Rule::IrpCompletedWithPendingStatus, "IofCompleteRequest with IoStatus.Status STATUS_PENDING");
  }
  if (ke::CurrentIrql() > DISPATCH_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh, "IofCompleteRequest called at IRQL " +
                                                      std::to_string(ke::CurrentIrql()));
  }
  CheckInformation(record, irp);
  return true;
}

// The I/O manager copies IoStatus.Information bytes of a buffered device
// control request back to its caller: more than the caller's output buffer
// overruns it.
void CheckInformation(const IrpRecord& record, PIRP irp) {
  if (record.origin == IrpOrigin::Driver || NT_ERROR(irp->IoStatus.Status)) return;
  PIO_STACK_LOCATION top = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (irp->StackCount - 1);
  if (top->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
      METHOD_FROM_CTL_CODE(top->Parameters.DeviceIoControl.IoControlCode) != METHOD_BUFFERED) {
    return;
  }
  ULONG_PTR limit = top->Parameters.DeviceIoControl.OutputBufferLength;
  if (irp->IoStatus.Information > limit) {
    char text[192];
    std::snprintf(text, sizeof text, "IofCompleteRequest of a buffered device control request 0x%08lX with "
                  "IoStatus.Information %lu, larger than its %lu-byte output buffer",
                  static_cast<unsigned long>(top->Parameters.DeviceIoControl.IoControlCode),
                  static_cast<unsigned long>(irp->IoStatus.Information), static_cast<unsigned long>(limit));
    verifier::Report(verifier::Rule::InformationExceedsBuffer, text);
  }
}

// What the I/O manager leaves of a location once completion has passed it.
void ClearLocation(PIO_STACK_LOCATION stack) {
  stack->MinorFunction = 0;
  stack->Flags = 0;
  stack->Control &= SL_ERROR_RETURNED;
  stack->Parameters.Others.Argument1 = nullptr;
  stack->Parameters.Others.Argument2 = nullptr;
  stack->Parameters.Others.Argument3 = nullptr;
  stack->Parameters.Others.Argument4 = nullptr;
  stack->FileObject = nullptr;
}

bool RoutineRuns(PIRP irp, UCHAR control) {
  NTSTATUS status = irp->IoStatus.Status;
  return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) || (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

void FinishAtTop(const std::shared_ptr<IrpRecord>& record, PIRP irp) {
  {
    std::lock_guard<std::mutex> hold(record->lock);
    record->completing = false;
    record->completed = true;
    record->inDriver = false;
  }
  if (record->origin == IrpOrigin::Driver) {
    verifier::Report(verifier::Rule::DriverIrpCompletedToTop,
                     "an IRP from IoAllocateIrp was completed past its top location: the sender's completion "
                     "routine must return STATUS_MORE_PROCESSING_REQUIRED and free it");
    return;
  }
  if (record->onTop) record->onTop(irp);
}

// A completion routine returns at the IRQL it was called at, holding no spin
// lock it did not hold then. Checked here, after each routine, so that a
// caller that restores its own IRQL afterwards cannot hide it; the IRQL is
// then put back, so that one fault is reported once.
void CheckRoutineReturn(PIO_COMPLETION_ROUTINE routine, KIRQL irql, size_t locks) {
  char text[160];
  bool lockHeld = ke::SpinLocksHeldByThisThread() != locks;
  if (lockHeld) {
    std::snprintf(text, sizeof text, "completion routine %p returned holding %zu spin lock(s), called with %zu",
                  reinterpret_cast<void*>(routine), ke::SpinLocksHeldByThisThread(), locks);
    verifier::Report(verifier::Rule::SpinLockHeldOnReturn, text);
  }
  KIRQL now = ke::CurrentIrql();
  if (now != irql) {
    std::snprintf(text, sizeof text, "completion routine %p returned at IRQL %d, called at %d",
                  reinterpret_cast<void*>(routine), now, irql);
    verifier::Report(verifier::Rule::IrqlNotRestored, text);
    if (now > irql) {
      ke::LowerIrql(irql, "completion routine return", lockHeld);
    } else {
      ke::RaiseIrql(irql, "completion routine return");
    }
  }
}

}  // namespace

void CompleteRequest(PIRP irp) {
  explore::Yield("IofCompleteRequest");
  auto record = FindIrp(irp, "IofCompleteRequest");
  if (!record) return;
  {
    std::lock_guard<std::mutex> hold(record->lock);
    if (!CheckCompletable(*record, irp)) return;
    record->completing = true;
  }

  int completedAt = irp->CurrentLocation;  // the location of the driver that completes it
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    int location = irp->CurrentLocation;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    bool runs;
    {
      std::lock_guard<std::mutex> hold(record->lock);
      irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
      LocationSnapshot& seen = record->locations[location];
      seen.passed = true;
      seen.status = irp->IoStatus.Status;
      seen.pendingReturned = irp->PendingReturned != FALSE;
      if (seen.pendingToCheck && !seen.pendingReturned) {
        verifier::Report(verifier::Rule::PendingNotMarked,
                         seen.dispatcher +
                             " returned STATUS_PENDING, but its stack location was not marked pending when "
                             "completion passed it (IoMarkIrpPending missing, or a completion routine below it "
                             "did not propagate Irp->PendingReturned)");
      }
      seen.pendingToCheck = false;
      // The driver that holds the IRP here is still in its dispatch routine,
      // yet a DPC, a cancel routine or another thread completes it: the
      // driver queued it where others find it before marking it pending. A
      // dispatch routine that was itself called from a DPC or a cancel
      // routine (a completion routine sending the IRP again) and completes
      // the IRP at once is not that: only a routine entered since counts.
      const ke::RoutineContext& context = ke::ThisThreadContext();
      if (location == completedAt && seen.dispatching && !seen.pendingReturned &&
          (seen.dispatchThread != std::this_thread::get_id() || context.dpcs > seen.dispatchDpcs ||
           context.cancelRoutines > seen.dispatchCancelRoutines)) {
        verifier::Report(verifier::Rule::QueuedIrpNotMarkedPending,
                         "an IRP was completed by a DPC, a cancel routine or another thread while its dispatch "
                         "routine still ran and before it was marked pending (IoMarkIrpPending before queuing it)");
        seen.queuedUnmarked = true;
      }
      runs = routine != nullptr && RoutineRuns(irp, stack->Control);
      ClearLocation(stack);
      stack->CompletionRoutine = nullptr;
      stack->Context = nullptr;
      irp->CurrentLocation++;
      irp->Tail.Overlay.CurrentStackLocation++;
      bool atTop = irp->CurrentLocation > irp->StackCount;
      if (!runs && !atTop && irp->PendingReturned) IoMarkIrpPending(irp);
      // While its routine runs the IRP belongs to the routine's driver, which
      // may free it or hand it to a thread that completes it again.
      if (runs) record->completing = record->inDriver = false;
    }
    if (runs) {
      PDEVICE_OBJECT device =
          irp->CurrentLocation > irp->StackCount ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      NTSTATUS result;
      KIRQL irql = ke::CurrentIrql();
      size_t locks = ke::SpinLocksHeldByThisThread();
      ke::ThisThreadContext().completionRoutines++;
      ke::CallDriverRoutine("completion routine", [&] { result = routine(device, irp, context); });
      ke::ThisThreadContext().completionRoutines--;
      CheckRoutineReturn(routine, irql, locks);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;  // don't touch the packet: it may be gone
      std::lock_guard<std::mutex> hold(record->lock);
      if (record->freed) {
        verifier::Report(verifier::Rule::IrpFreedWhileInUse,
                         "a completion routine freed its IRP but did not return STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
      // The routine let the walk go on, so the IRP must still be this
      // walk's: if it was completed again (by the routine itself or by a
      // thread it handed the IRP to) or sent down again meanwhile, going on
      // would complete it a second time.
      if (record->completing || record->completed || record->inDriver) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "completion routine %p returned 0x%08X, not STATUS_MORE_PROCESSING_REQUIRED, for an IRP that "
                      "was %s while it ran",
                      reinterpret_cast<void*>(routine), static_cast<unsigned>(result),
                      record->inDriver ? "sent down again" : "completed again");
        verifier::Report(verifier::Rule::IrpCompletedTwice, text);
        return;
      }
      record->completing = true;
    }
  }
  FinishAtTop(record, irp);
}

}  // namespace sim::io

extern "C" {

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  sim::io::CompleteRequest(Irp);
}

}  // extern "C"

/*
 * IofCallDriver: moves the IRP to the next stack location, names the target
 * device in it and calls the target driver's dispatch routine for the
 * location's major function. On return it checks the result the way
 * Windows' driver checks do: STATUS_PENDING needs IoMarkIrpPending on the
 * location (checked when completion passes the location, since the mark
 * may come from below); any other status must be the one the IRP was
 * completed with, on a location not marked pending. Before the call it
 * checks what the sender left: no cancel routine, no completion routine that
 * belongs to another driver, an IRQL the request allows.
 */
#include "sim/io/io.h"
#include "sim/explore/hook.h"
#include "sim/ke/ke.h"
#include "sim/ke/stack.h"
#include "sim/verifier/verifier.h"

#include <cstdio>

namespace sim::io {
namespace {

std::string Where(PDEVICE_OBJECT device, UCHAR major) {
  char text[96];
  std::snprintf(text, sizeof text, "%s dispatch routine of device %p", MajorName(major), static_cast<void*>(device));
  return text;
}

void CheckDispatchResult(IrpRecord& record, int location, uint64_t resends, NTSTATUS status,
                         const std::string& where) {
  std::lock_guard<std::mutex> hold(record.lock);
  LocationSnapshot& seen = record.locations[location];
  char text[256];
  // Completed inside the dispatch routine and sent down again (from its
  // completion routine) before the routine returned: the location now
  // belongs to the later sending, and this one's outcome is no longer known.
  if (seen.resends != resends) return;
  if (seen.queuedUnmarked) return;  // reported as completion passed
  if (status == STATUS_PENDING) {
    if (!seen.passed) {
      // Not completed yet: the mark may still arrive from below, so the
      // check waits until completion passes this location. With a skipped
      // location two routines share it; the innermost one is named.
      if (!seen.pendingToCheck) {
        seen.pendingToCheck = true;
        seen.dispatcher = where;
      }
    } else if (!seen.pendingReturned) {
      std::snprintf(text, sizeof text, "%s returned STATUS_PENDING without IoMarkIrpPending", where.c_str());
      verifier::Report(verifier::Rule::PendingNotMarked, text);
    }
  } else if (!seen.passed) {
    std::snprintf(text, sizeof text, "%s returned 0x%08X but neither completed the IRP nor returned STATUS_PENDING",
                  where.c_str(), static_cast<unsigned>(status));
    verifier::Report(verifier::Rule::DispatchReturnedWithoutCompleting, text);
  } else if (seen.pendingReturned) {
    // Once the location is marked pending the I/O manager finishes the
    // request as pended: the sender waits for a STATUS_PENDING that never
    // comes, or finishes it twice.
    std::snprintf(text, sizeof text, "%s marked the IRP pending but returned 0x%08X, not STATUS_PENDING",
                  where.c_str(), static_cast<unsigned>(status));
    verifier::Report(verifier::Rule::PendingMarkedButNotReturned, text);
  } else if (seen.status != status) {
    std::snprintf(text, sizeof text, "%s returned 0x%08X but completed the IRP with 0x%08X", where.c_str(),
                  static_cast<unsigned>(status), static_cast<unsigned>(seen.status));
    verifier::Report(verifier::Rule::DispatchStatusMismatch, text);
  }
}

// A request that a driver pends must be cancellable: if it was cancelled
// before the driver set its cancel routine, the driver must have seen
// Irp->Cancel and completed it, for nobody will call the routine now.
// Checked in the deterministic mode only: concurrently, IoCancelIrp may be
// between setting Cancel and taking the routine.
void CheckPendedIrpCancellable(IrpRecord& record, int location, NTSTATUS status, const std::string& where) {
  if (status != STATUS_PENDING || ke::Concurrent()) return;
  std::lock_guard<std::mutex> hold(record.lock);
  if (record.locations[location].passed || record.completing || record.completed || record.freed) return;
  PIRP irp = record.irp;
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) &&
      __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    verifier::Report(verifier::Rule::CancelFieldNotChecked,
                     where + " pended a cancelled IRP with a cancel routine that will never be called "
                             "(Irp->Cancel not checked after IoSetCancelRoutine)");
  }
}

// Requests that Windows sends, and drivers may send on, only at PASSIVE_LEVEL.
bool PassiveOnly(UCHAR major) {
  return major == IRP_MJ_PNP || major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
}

thread_local std::vector<PDEVICE_OBJECT> t_surpriseRemovals;

}  // namespace

bool InSurpriseRemovalOf(PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT removing : t_surpriseRemovals) {
    if (removing == device) return true;
  }
  return false;
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char* routine) {
  explore::Yield(routine);
  auto record = FindIrp(irp, routine);
  if (!record) return STATUS_INVALID_PARAMETER;
  uint64_t resends;
  {
    std::lock_guard<std::mutex> hold(record->lock);
    if (record->completed) {
      verifier::Report(verifier::Rule::IrpUsedAfterCompletion,
                       std::string(routine) + " sends an IRP whose completion already reached its top");
      return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1) {
      verifier::Report(verifier::Rule::NoMoreStackLocations,
                       std::string(routine) + " sends an IRP that has no stack location left for the next driver");
      return STATUS_INVALID_PARAMETER;
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
      verifier::Report(verifier::Rule::CalledWithCancelRoutine,
                       std::string(routine) + " sends an IRP whose cancel routine is still set; the driver "
                                              "must take it back with IoSetCancelRoutine(Irp, NULL) first");
    }
    // IoCopyCurrentIrpStackLocationToNext copies all but the completion
    // routine; a location copied whole hands the next driver's completion
    // to this driver's sender's routine, which then runs twice.
    if (irp->CurrentLocation <= irp->StackCount) {
      PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      if (next->CompletionRoutine != nullptr && next->CompletionRoutine == current->CompletionRoutine &&
          next->Context == current->Context) {
        verifier::Report(verifier::Rule::CompletionRoutineNotOwn,
                         std::string(routine) + " sends an IRP whose next stack location carries the current "
                                                "location's completion routine (the location was copied whole)");
      }
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    record->inDriver = true;
    // The location starts afresh: an IRP sent again after its completion
    // routine took it back must not be judged by the earlier pass.
    // (A location shared through IoSkipCurrentIrpStackLocation is sent on
    // before completion passes it, and keeps counting as the same sending.)
    LocationSnapshot& at = record->locations[irp->CurrentLocation];
    PIO_COMPLETION_ROUTINE found = IoGetCurrentIrpStackLocation(irp)->CompletionRoutine;
    bool shared = at.dispatching && !at.passed;
    PIO_COMPLETION_ROUTINE sender = shared ? at.senderRoutine : found;
    if (shared && found != sender) {
      // The driver skipped its location and then set a completion routine,
      // which went into the location its sender's routine is in.
      verifier::Report(verifier::Rule::CompletionRoutineNotOwn,
                       std::string(routine) + " sends an IRP on through a skipped stack location whose completion "
                                              "routine was replaced: the sender's routine will not run");
    }
    resends = at.passed ? at.resends + 1 : at.resends;
    at = LocationSnapshot{};
    at.resends = resends;
    at.senderRoutine = sender;
    at.dispatching = true;
    at.dispatchThread = std::this_thread::get_id();
    at.dispatchDpcs = ke::ThisThreadContext().dpcs;
    at.dispatchCancelRoutines = ke::ThisThreadContext().cancelRoutines;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = device;
  int location = irp->CurrentLocation;
  UCHAR major = stack->MajorFunction;
  std::string where = Where(device, major);

  KIRQL irql = ke::CurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh, std::string(routine) + " called at IRQL " + std::to_string(irql));
  } else if (irql != PASSIVE_LEVEL && PassiveOnly(major)) {
    verifier::Report(verifier::Rule::ForwardedAtBadIrql,
                     std::string(routine) + " sends an " + MajorName(major) + " request at IRQL " +
                         std::to_string(irql) + "; it must be sent at PASSIVE_LEVEL");
  }
  size_t locks = ke::SpinLocksHeldByThisThread();
  UCHAR minor = stack->MinorFunction;
  bool starting = major == IRP_MJ_PNP && minor == IRP_MN_START_DEVICE;
  bool surprise = major == IRP_MJ_PNP && minor == IRP_MN_SURPRISE_REMOVAL;
  if (starting) ke::ThisThreadContext().startDevice++;
  if (surprise) t_surpriseRemovals.push_back(device);
  NTSTATUS status;
  ke::CallDriverRoutine(where.c_str(), [&] { status = device->DriverObject->MajorFunction[major](device, irp); });
  if (starting) ke::ThisThreadContext().startDevice--;
  if (surprise) t_surpriseRemovals.pop_back();
  {
    std::lock_guard<std::mutex> hold(record->lock);
    record->locations[location].dispatching = false;
  }
  // From here the IRP may be completed and gone: only the record is read.
  if (ke::CurrentIrql() != irql) {
    verifier::Report(verifier::Rule::IrqlNotRestored, where + " returned at IRQL " +
                                                          std::to_string(ke::CurrentIrql()) + ", entered at " +
                                                          std::to_string(irql));
  }
  if (ke::SpinLocksHeldByThisThread() != locks) {
    verifier::Report(verifier::Rule::SpinLockHeldOnReturn, where + " returned holding a spin lock");
  }
  CheckDispatchResult(*record, location, resends, status, where);
  CheckPendedIrpCancellable(*record, location, status, where);
  return status;
}

const char* MajorName(UCHAR major) {
  static const char* const names[] = {
      "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "invalid major function";
}

}  // namespace sim::io

extern "C" {

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return sim::io::CallDriver(DeviceObject, Irp, "IofCallDriver");
}

}  // extern "C"

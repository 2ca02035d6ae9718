/*
 * IofCallDriver: moves the IRP to the next stack location, names the target
 * device in it and calls the target driver's dispatch routine for the
 * location's major function. On return it checks the result the way
 * Windows' driver checks do: STATUS_PENDING needs IoMarkIrpPending on the
 * location; any other status must be the one the IRP was completed with.
 */
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <cstdio>

namespace sim::io {
namespace {

std::string Where(PDEVICE_OBJECT device, UCHAR major) {
  char text[96];
  std::snprintf(text, sizeof text, "%s dispatch routine of device %p", MajorName(major), static_cast<void*>(device));
  return text;
}

void CheckDispatchResult(IrpRecord& record, int location, NTSTATUS status, const std::string& where) {
  std::lock_guard<std::mutex> hold(record.lock);
  const LocationSnapshot& seen = record.locations[location];
  char text[256];
  if (status == STATUS_PENDING) {
    bool marked = seen.passed ? seen.pendingReturned
                              : (IoGetCurrentIrpStackLocation(record.irp)->Control & SL_PENDING_RETURNED) != 0;
    if (!marked) {
      std::snprintf(text, sizeof text, "%s returned STATUS_PENDING without IoMarkIrpPending", where.c_str());
      verifier::Report(verifier::Rule::PendingNotMarked, text);
    }
  } else if (!seen.passed) {
    std::snprintf(text, sizeof text, "%s returned 0x%08X but neither completed the IRP nor returned STATUS_PENDING",
                  where.c_str(), static_cast<unsigned>(status));
    verifier::Report(verifier::Rule::DispatchReturnedWithoutCompleting, text);
  } else if (seen.status != status) {
    std::snprintf(text, sizeof text, "%s returned 0x%08X but completed the IRP with 0x%08X", where.c_str(),
                  static_cast<unsigned>(status), static_cast<unsigned>(seen.status));
    verifier::Report(verifier::Rule::DispatchStatusMismatch, text);
  }
}

}  // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char* routine) {
  auto record = FindIrp(irp, routine);
  if (!record) return STATUS_INVALID_PARAMETER;
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
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    record->inDriver = true;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = device;
  int location = irp->CurrentLocation;
  UCHAR major = stack->MajorFunction;
  std::string where = Where(device, major);

  KIRQL irql = ke::CurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh, std::string(routine) + " called at IRQL " + std::to_string(irql));
  }
  size_t locks = ke::SpinLocksHeldByThisThread();
  NTSTATUS status = device->DriverObject->MajorFunction[major](device, irp);
  // From here the IRP may be completed and gone: only the record is read.
  if (ke::CurrentIrql() != irql) {
    verifier::Report(verifier::Rule::IrqlNotRestored, where + " returned at IRQL " +
                                                          std::to_string(ke::CurrentIrql()) + ", entered at " +
                                                          std::to_string(irql));
  }
  if (ke::SpinLocksHeldByThisThread() != locks) {
    verifier::Report(verifier::Rule::SpinLockHeldOnReturn, where + " returned holding a spin lock");
  }
  CheckDispatchResult(*record, location, status, where);
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

/*
 * Plug and Play requests of the port device. Start and query-capabilities
 * go down first and are finished on the way back; query-remove marks the
 * port; surprise removal and removal tear the port down; everything else
 * goes down unchanged. PASSIVE_LEVEL, one request at a time, but alongside
 * the application's requests and the USB completion routines: surprise
 * removal therefore marks the port removed before it cancels anything.
 * Every path drops the pending-I/O reference taken on entry exactly once.
 */
#include "driver/frame/dispatch.h"
#include "driver/frame/queue.h"
#include "driver/pnp/pnp.h"
#include "driver/receive/reader.h"
#include "driver/usb/configure.h"
#include "driver/usb/submit.h"

NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent(static_cast<PKEVENT>(context), 1, FALSE);
  // The request comes back to the routine that sent it down.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the lower drivers have finished
// it; the request then belongs to the caller again, who completes it.
static NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp, KWAIT_REASON reason) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(PortOf(device)->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, reason, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

// Completes a request the handler owns and drops the reference taken on
// entry.
static NTSTATUS CompleteAndDropReference(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  DecrementIoCount(device);
  return status;
}

// Passes the request down untouched; the request is not looked at again.
static NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  return IofCallDriver(PortOf(device)->LowerDevice, irp);
}

// Ends what is outstanding on a pipe; a port never configured has no pipe
// and sends nothing. The result is not needed: removal goes on regardless.
static VOID AbortIfConfigured(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe) {
  if (pipe != nullptr) AbortPipe(device, pipe);
}

// The lower drivers start the device first; then it is configured.
static NTSTATUS StartPort(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = ForwardAndWait(device, irp, Suspended);
  if (NT_SUCCESS(status)) status = ConfigureDevice(device);
  return CompleteAndDropReference(device, irp, status);
}

// Declares that the port survives a surprise removal, also when a lower
// driver cleared the flag on its way.
static NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (capabilities == nullptr || capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
    return CompleteAndDropReference(device, irp, STATUS_UNSUCCESSFUL);
  }
  capabilities->SurpriseRemovalOK = TRUE;
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = ForwardAndWait(device, irp, Executive);
  if (NT_SUCCESS(status)) capabilities->SurpriseRemovalOK = TRUE;
  return CompleteAndDropReference(device, irp, status);
}

// A cancelled removal makes the port usable again, once the lower drivers
// have taken the device back.
static NTSTATUS CancelRemove(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = ForwardAndWait(device, irp, Executive);
  SetFlag(PortOf(device)->RemovePending, FALSE);
  return CompleteAndDropReference(device, irp, status);
}

// The device is gone: new requests are refused from the first step on, the
// names disappear at once, and what is held or in flight ends. The record,
// the device object and an open handle stay for the close and the removal
// that follow.
static NTSTATUS SurpriseRemovePort(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  SetFlag(port->Removed, TRUE);
  RemovePortNaming(port);
  CancelAllRequests(device);
  StopBulkReader(device);
  AbortIfConfigured(device, port->WritePipe);
  const NTSTATUS passedWith = STATUS_SUCCESS;
  irp->IoStatus.Status = passedWith;
  NTSTATUS status = PassDown(device, irp);
  DecrementIoCount(device);
  // The request may be gone: the second value is the status it was passed
  // down with, not read back from it.
  DbgPrint("IRP_MN_SURPRISE_REMOVAL status %x,%x\n", static_cast<ULONG>(status), static_cast<ULONG>(passedWith));
  return status;
}

// Ends the port: everything held is cancelled, the transfers end, the
// request goes down, and once the last reference is dropped the names (if
// a surprise removal has not withdrawn them), the record's buffers and the
// device object go.
static NTSTATUS RemovePort(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  // Marked before the flush, as at surprise removal, so that a request
  // arriving now is refused rather than held past the drain; the names of
  // a port that was not surprise-removed are withdrawn after the drain.
  BOOLEAN surpriseRemoved = FlagIsSet(port->Removed);
  SetFlag(port->Removed, TRUE);
  CancelAllRequests(device);
  AbortIfConfigured(device, port->WritePipe);
  StopBulkReader(device);
  DecrementIoCount(device);
  NTSTATUS status = PassDown(device, irp);
  // The baseline reference taken when the device was added.
  DecrementIoCount(device);
  KeWaitForSingleObject(&port->RemoveEvent, Suspended, KernelMode, FALSE, nullptr);
  if (!surpriseRemoved) RemovePortNaming(port);
  DeletePortDevice(device);
  return status;
}

NTSTATUS NTAPI SerialPnp(PDEVICE_OBJECT device, PIRP irp) {
  PAGED_CODE();
  PortExtension* port = PortOf(device);
  IncrementIoCount(device);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      DbgPrint("IRP_MN_START_DEVICE \n");
      return StartPort(device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      DbgPrint("IRP_MN_QUERY_REMOVE_DEVICE \n");
      SetFlag(port->RemovePending, TRUE);
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return CancelRemove(device, irp);
    case IRP_MN_REMOVE_DEVICE:
      DbgPrint("IRP_MN_REMOVE_DEVICE \n");
      return RemovePort(device, irp);
    case IRP_MN_STOP_DEVICE:
      DbgPrint("IRP_MN_STOP_DEVICE \n");
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      DbgPrint("IRP_MN_QUERY_STOP_DEVICE \n");
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      DbgPrint("IRP_MN_QUERY_CAPABILITIES \n");
      return QueryCapabilities(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      DbgPrint("IRP_MN_SURPRISE_REMOVAL \n");
      return SurpriseRemovePort(device, irp);
    default:
      break;
  }
  NTSTATUS status = PassDown(device, irp);
  DecrementIoCount(device);
  return status;
}

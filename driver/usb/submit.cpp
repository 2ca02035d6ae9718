/*
 * URB submission: synchronous through a request the I/O manager builds and
 * releases, asynchronous through the driver's own transfer requests.
 */
#include "driver/usb/submit.h"

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb) {
  PAGED_CODE();
  PortExtension* port = PortOf(device);
  KEVENT done;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, port->LowerDevice, nullptr, 0, nullptr, 0,
                                           TRUE, &done, &ioStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IofCallDriver(port->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  return status;
}

// A request about one pipe, sent and waited for.
static NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe, USHORT function) {
  auto urb = static_cast<struct _URB_PIPE_REQUEST*>(ExAllocatePool(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST)));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof *urb);
  urb->Hdr.Length = sizeof *urb;
  urb->Hdr.Function = function;
  urb->PipeHandle = pipe;
  NTSTATUS status = SubmitUrbSync(device, reinterpret_cast<PURB>(urb));
  ExFreePool(urb);
  return status;
}

NTSTATUS AbortPipe(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe) {
  PAGED_CODE();
  return SubmitPipeRequest(device, pipe, URB_FUNCTION_ABORT_PIPE);
}

NTSTATUS ResetPipe(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe) {
  PAGED_CODE();
  return SubmitPipeRequest(device, pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}

NTSTATUS GetDeviceStatus(PDEVICE_OBJECT device) {
  PAGED_CODE();
  auto urb = static_cast<struct _URB_CONTROL_GET_STATUS_REQUEST*>(
      ExAllocatePool(NonPagedPool, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST)));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  USHORT deviceStatus = 0;
  RtlZeroMemory(urb, sizeof *urb);
  urb->Hdr.Length = sizeof *urb;
  urb->Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
  urb->TransferBufferLength = sizeof deviceStatus;
  urb->TransferBuffer = &deviceStatus;
  urb->TransferBufferMDL = nullptr;
  urb->UrbLink = nullptr;
  urb->Index = 0;
  NTSTATUS status = SubmitUrbSync(device, reinterpret_cast<PURB>(urb));
  ExFreePool(urb);
  return status;
}

VOID BuildBulkTransfer(struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer,
                       ULONG length) {
  urb->Hdr.Length = sizeof *urb;
  urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->PipeHandle = pipe;
  urb->TransferFlags = flags;
  urb->TransferBufferLength = length;
  urb->TransferBuffer = buffer;
  urb->TransferBufferMDL = nullptr;
  urb->UrbLink = nullptr;
}

PIRP AllocateTransferIrp(PortExtension* port) {
  return IoAllocateIrp(static_cast<CCHAR>(port->LowerDevice->StackSize + 1), FALSE);
}

VOID SendTransfer(PortExtension* port, PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE routine) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = urb;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp, routine, port, TRUE, TRUE, TRUE);
  IofCallDriver(port->LowerDevice, irp);
}

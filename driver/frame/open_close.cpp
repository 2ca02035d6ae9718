/*
 * Open, cleanup and close of the port. The port device is exclusive, so
 * the I/O manager admits one open handle at a time. PASSIVE_LEVEL: the
 * probe and the pipe aborts wait for the device, close waits for the drain.
 */
#include "driver/frame/dispatch.h"
#include "driver/frame/port.h"
#include "driver/frame/queue.h"
#include "driver/receive/reader.h"
#include "driver/usb/submit.h"

static const ULONG kReceiveBufferSize = 1024;

static NTSTATUS FinishRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The per-open resources and state, and the reader. A failure releases
// what this open allocated and leaves the port closed.
static NTSTATUS OpenPort(PDEVICE_OBJECT device) {
  PortExtension* port = PortOf(device);
  SetFlag(port->DeviceFailed, FALSE);
  NTSTATUS status = RingBufferInit(&port->RxBuffer, kReceiveBufferSize);
  if (!NT_SUCCESS(status)) return status;
  port->WriteUrb = static_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(
      ExAllocatePool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
  if (port->WriteUrb == nullptr) {
    RingBufferFree(&port->RxBuffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  SetFlag(port->PortOpen, TRUE);
  port->WriteUrbIrp = nullptr;
  port->CurrentWriteIrp = nullptr;
  port->ReadUrbIrp = nullptr;
  port->CurrentReadIrp = nullptr;
  port->EventHistory = 0;
  port->WaitMask = 0;
  port->CurrentWaitIrp = nullptr;

  status = StartBulkReader(device);
  if (!NT_SUCCESS(status)) {
    SetFlag(port->PortOpen, FALSE);
    ExFreePool(port->WriteUrb);
    port->WriteUrb = nullptr;
    RingBufferFree(&port->RxBuffer);
    return status;
  }

  // Bytes the reader delivered before this point belong to no read.
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  RingBufferClear(&port->RxBuffer);
  KeReleaseSpinLock(&port->RxBufferLock, irql);
  ResumeBulkReader(port);  // it may have filled the buffer and be waiting for room
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SerialCreate(PDEVICE_OBJECT device, PIRP irp) {
  PAGED_CODE();
  IncrementIoCount(device);
  NTSTATUS status = GetDeviceStatus(device);
  if (!NT_SUCCESS(status)) {
    DbgPrint("####Port Error####s\n");
  } else {
    status = OpenPort(device);
  }
  FinishRequest(irp, status);
  DecrementIoCount(device);
  return status;
}

NTSTATUS NTAPI SerialCleanup(PDEVICE_OBJECT device, PIRP irp) {
  PAGED_CODE();
  IncrementIoCount(device);
  CancelAllRequests(device);
  FinishRequest(irp, STATUS_SUCCESS);
  DecrementIoCount(device);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SerialClose(PDEVICE_OBJECT device, PIRP irp) {
  PAGED_CODE();
  PortExtension* port = PortOf(device);
  DbgPrint("Entern SerialClose\n");
  IncrementIoCount(device);
  // From here the reader sends nothing more and a finished bulk-out
  // transfer sends no further chunk.
  SetFlag(port->PortOpen, FALSE);
  CancelAllRequests(device);
  StopBulkReader(device);
  AbortPipe(device, port->WritePipe);
  DecrementIoCount(device);

  // Back at the baseline: every request completed, the reader stopped and
  // no bulk-out transfer in flight.
  KeWaitForSingleObject(&port->NoPendingIoEvent, Suspended, KernelMode, FALSE, nullptr);

  FinishRequest(irp, STATUS_SUCCESS);
  if (port->SpareWriteIrp != nullptr) {
    IoFreeIrp(port->SpareWriteIrp);
    port->SpareWriteIrp = nullptr;
  }
  if (port->WriteUrb != nullptr) {
    ExFreePool(port->WriteUrb);
    port->WriteUrb = nullptr;
  }
  RingBufferFree(&port->RxBuffer);
  DbgPrint("Exit SerialClose\n");
  return STATUS_SUCCESS;
}

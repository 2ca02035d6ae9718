/*
 * The bulk-in reader. The reader holds one pending-I/O reference from its
 * start until it stops, which is how close knows it has stopped. It never
 * holds two of the port's locks at once.
 */
#include "driver/receive/reader.h"

#include "driver/control/events.h"
#include "driver/receive/read.h"
#include "driver/usb/submit.h"

static const ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// Sets ReaderRunning and returns its old value, under RxBufferLock so that
// two starts racing each other put only one transfer on the pipe.
static BOOLEAN ClaimReader(PortExtension* port, BOOLEAN running) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  BOOLEAN was = port->ReaderRunning;
  port->ReaderRunning = running;
  KeReleaseSpinLock(&port->RxBufferLock, irql);
  return was;
}

NTSTATUS StartBulkReader(PDEVICE_OBJECT device) {
  PortExtension* port = PortOf(device);
  if (ClaimReader(port, TRUE)) return STATUS_SUCCESS;

  port->ReadUrb = static_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(
      ExAllocatePool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
  if (port->ReadUrb == nullptr) {
    ClaimReader(port, FALSE);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(port->ReadUrb, sizeof *port->ReadUrb);
  BuildBulkTransfer(port->ReadUrb, port->ReadPipe, kReadFlags, port->ReadTransferBuffer, PORT_TRANSFER_SIZE);

  port->ReadUrbIrp = AllocateTransferIrp(port);
  if (port->ReadUrbIrp == nullptr) {
    ExFreePool(port->ReadUrb);
    port->ReadUrb = nullptr;
    ClaimReader(port, FALSE);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IncrementIoCount(device);
  SendTransfer(port, port->ReadUrbIrp, reinterpret_cast<PURB>(port->ReadUrb), ReadUrbCompletion);
  return STATUS_SUCCESS;
}

// The reader's end: its request and URB released, the port marked failed,
// SERIAL_EV_ERR recorded and the reader's reference dropped.
static VOID StopReader(PortExtension* port, PIRP irp) {
  IoFreeIrp(irp);
  port->ReadUrbIrp = nullptr;
  if (port->ReadUrb != nullptr) {
    ExFreePool(port->ReadUrb);
    port->ReadUrb = nullptr;
  }
  SetFlag(port->DeviceFailed, TRUE);
  ClaimReader(port, FALSE);
  RecordEvent(port, SERIAL_EV_ERR);
  DecrementIoCount(port->Self);
}

NTSTATUS NTAPI ReadUrbCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  auto port = static_cast<PortExtension*>(context);
  // Cancellation and removal statuses end the reader like any failure.
  if (irp->IoStatus.Status != STATUS_SUCCESS || !FlagIsSet(port->PortOpen)) {
    StopReader(port, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  ULONG received = port->ReadUrb->TransferBufferLength;
  if (received > PORT_TRANSFER_SIZE) received = PORT_TRANSFER_SIZE;  // never trust a count beyond the buffer
  if (received != 0) {
    KIRQL irql;
    KeAcquireSpinLock(&port->RxBufferLock, &irql);
    RingBufferPut(&port->RxBuffer, port->ReadTransferBuffer, received);  // overflow is dropped
    KeReleaseSpinLock(&port->RxBufferLock, irql);
    RecordEvent(port, SERIAL_EV_RXCHAR);
    ProcessReadQueue(port);
  }

  BuildBulkTransfer(port->ReadUrb, port->ReadPipe, kReadFlags, port->ReadTransferBuffer, PORT_TRANSFER_SIZE);
  SendTransfer(port, irp, reinterpret_cast<PURB>(port->ReadUrb), ReadUrbCompletion);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

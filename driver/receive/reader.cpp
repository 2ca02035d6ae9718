/*
 * The bulk-in reader. The reader holds one pending-I/O reference from its
 * start until it stops, which is how close knows it has stopped. It never
 * holds two of the port's locks at once.
 *
 * Where the reader's request is, and so who may touch it, is decided under
 * RxBufferLock:
 *   - below, outstanding at the device: its completion has it next;
 *   - with a sender, inside IofCallDriver (ReaderSending): a completion that
 *     runs meanwhile only notes that it came back (ReaderReturned), and the
 *     sender handles the outcome once the call returns, so transfers that
 *     complete at once are served in a loop rather than by nested calls;
 *   - with its completion, or a sender that found it back: bytes are
 *     delivered and the request is sent again, parked or ended;
 *   - parked (ReaderParked): the receive buffer cannot take a whole
 *     transfer, so nothing asks the device for data, which the device keeps
 *     meanwhile. Whoever makes room sends it again (ResumeBulkReader).
 * A stop first sets ReaderStopWanted, under the same lock, so that no path
 * sends the request again; then it ends a parked request itself, waits for
 * a hand-down in progress to return (ReaderSendDone), and aborts the pipe,
 * which ends an outstanding one. No decision to send is taken on a flag
 * read earlier without the lock.
 */
#include "driver/receive/reader.h"

#include "driver/control/events.h"
#include "driver/receive/read.h"
#include "driver/usb/submit.h"

static const ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// Makes the reader this caller's to start, as a fresh reader: TRUE unless
// one runs already or the port is not open. Under RxBufferLock, so that
// two starts racing each other put only one transfer on the pipe.
static BOOLEAN ClaimReader(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  BOOLEAN claimed = !port->ReaderRunning && FlagIsSet(port->PortOpen);
  if (claimed) {
    port->ReaderRunning = TRUE;
    port->ReaderParked = FALSE;
    port->ReaderStopWanted = FALSE;
  }
  KeReleaseSpinLock(&port->RxBufferLock, irql);
  return claimed;
}

static VOID ReleaseReader(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  port->ReaderRunning = FALSE;
  KeReleaseSpinLock(&port->RxBufferLock, irql);
}

// The reader's end: its request and URB released, the port marked failed,
// SERIAL_EV_ERR recorded and the reader's reference dropped, last. Called
// by whoever holds the request, with no lock held.
static VOID StopReader(PortExtension* port, PIRP irp) {
  IoFreeIrp(irp);
  port->ReadUrbIrp = nullptr;
  if (port->ReadUrb != nullptr) {
    ExFreePool(port->ReadUrb);
    port->ReadUrb = nullptr;
  }
  SetFlag(port->DeviceFailed, TRUE);
  ReleaseReader(port);
  RecordEvent(port, SERIAL_EV_ERR);
  DecrementIoCount(port->Self);
}

// Bytes received that the buffer could not take: counted as buffer
// overruns, which the communication status reports, and SERIAL_EV_ERR.
static VOID CountOverrun(PortExtension* port, ULONG lost) {
  KIRQL irql;
  KeAcquireSpinLock(&port->TimeoutsLock, &irql);
  port->PerfStats.BufferOverrunErrorCount += lost;
  KeReleaseSpinLock(&port->TimeoutsLock, irql);
  RecordEvent(port, SERIAL_EV_ERR);
}

// Puts what the transfer brought into the receive buffer, records the
// arrival and serves the reads.
static VOID Deliver(PortExtension* port, ULONG received) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  ULONG room = RingBufferRoom(&port->RxBuffer);
  ULONG stored = received < room ? received : room;
  if (stored != 0) RingBufferPut(&port->RxBuffer, port->ReadTransferBuffer, stored);
  KeReleaseSpinLock(&port->RxBufferLock, irql);

  // The reader asks for data only when a whole transfer fits, so this
  // should never happen; if it does, the loss is not silent.
  if (stored < received) CountOverrun(port, received - stored);
  if (stored != 0) RecordEvent(port, SERIAL_EV_RXCHAR);
  ProcessReadQueue(port);
}

// Handles the outcome of a transfer that has come back: FALSE if it ended
// the reader, TRUE once its bytes are delivered.
static BOOLEAN HandleOutcome(PortExtension* port, PIRP irp) {
  // Cancellation and removal statuses end the reader like any failure;
  // data that arrives once the port is closing is discarded.
  if (irp->IoStatus.Status != STATUS_SUCCESS || !FlagIsSet(port->PortOpen)) {
    StopReader(port, irp);
    return FALSE;
  }
  ULONG received = port->ReadUrb->TransferBufferLength;
  if (received > PORT_TRANSFER_SIZE) received = PORT_TRANSFER_SIZE;  // never trust a count beyond the buffer
  if (received != 0) Deliver(port, received);
  return TRUE;
}

// Sends the reader's request down if the reader may go on and the buffer
// can take a whole transfer; parks it if not; ends the reader if it is
// being stopped. TRUE if the request came back during the hand-down, its
// outcome then the caller's to handle. The request is the caller's; no
// lock held.
static BOOLEAN SendOrPark(PortExtension* port, PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  if (port->ReaderStopWanted || !FlagIsSet(port->PortOpen)) {
    KeReleaseSpinLock(&port->RxBufferLock, irql);
    StopReader(port, irp);
    return FALSE;
  }
  if (RingBufferRoom(&port->RxBuffer) < PORT_TRANSFER_SIZE) {
    port->ReaderParked = TRUE;
    KeReleaseSpinLock(&port->RxBufferLock, irql);
    return FALSE;
  }
  port->ReaderSending = TRUE;
  port->ReaderReturned = FALSE;
  KeClearEvent(&port->ReaderSendDone);
  KeReleaseSpinLock(&port->RxBufferLock, irql);

  BuildBulkTransfer(port->ReadUrb, port->ReadPipe, kReadFlags, port->ReadTransferBuffer, PORT_TRANSFER_SIZE);
  SendTransfer(port, irp, reinterpret_cast<PURB>(port->ReadUrb), ReadUrbCompletion);

  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  port->ReaderSending = FALSE;
  BOOLEAN returned = port->ReaderReturned;
  port->ReaderReturned = FALSE;
  KeSetEvent(&port->ReaderSendDone, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&port->RxBufferLock, irql);
  return returned;  // if not, the request is outstanding: not to be touched
}

// Takes the reader's request, which is the caller's, as far as it goes
// without waiting: sent (and handled again as long as it comes back at
// once), parked or ended.
static VOID RunReader(PortExtension* port, PIRP irp) {
  while (SendOrPark(port, irp)) {
    if (!HandleOutcome(port, irp)) return;
  }
}

NTSTATUS StartBulkReader(PDEVICE_OBJECT device) {
  PortExtension* port = PortOf(device);
  if (!ClaimReader(port)) return STATUS_SUCCESS;

  port->ReadUrb = static_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(
      ExAllocatePool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
  if (port->ReadUrb == nullptr) {
    ReleaseReader(port);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(port->ReadUrb, sizeof *port->ReadUrb);

  port->ReadUrbIrp = AllocateTransferIrp(port);
  if (port->ReadUrbIrp == nullptr) {
    ExFreePool(port->ReadUrb);
    port->ReadUrb = nullptr;
    ReleaseReader(port);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IncrementIoCount(device);
  RunReader(port, port->ReadUrbIrp);
  return STATUS_SUCCESS;
}

VOID ResumeBulkReader(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  BOOLEAN resume = port->ReaderParked && RingBufferRoom(&port->RxBuffer) >= PORT_TRANSFER_SIZE;
  if (resume) port->ReaderParked = FALSE;
  KeReleaseSpinLock(&port->RxBufferLock, irql);
  if (resume) RunReader(port, port->ReadUrbIrp);
}

VOID StopBulkReader(PDEVICE_OBJECT device) {
  PAGED_CODE();
  PortExtension* port = PortOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  port->ReaderStopWanted = TRUE;
  BOOLEAN parked = port->ReaderParked;
  port->ReaderParked = FALSE;
  KeReleaseSpinLock(&port->RxBufferLock, irql);
  if (parked) StopReader(port, port->ReadUrbIrp);

  // Once a hand-down in progress has returned, the request is either
  // outstanding below, where the abort finds it, or back with its sender,
  // who finds the stop wanted and ends the reader.
  KeWaitForSingleObject(&port->ReaderSendDone, Executive, KernelMode, FALSE, nullptr);
  if (port->ReadPipe != nullptr) AbortPipe(device, port->ReadPipe);
}

NTSTATUS NTAPI ReadUrbCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  auto port = static_cast<PortExtension*>(context);
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  BOOLEAN senderHandles = port->ReaderSending;
  if (senderHandles) port->ReaderReturned = TRUE;
  KeReleaseSpinLock(&port->RxBufferLock, irql);

  if (!senderHandles && HandleOutcome(port, irp)) RunReader(port, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

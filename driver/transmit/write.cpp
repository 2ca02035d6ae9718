/*
 * Writes and the write total time-out.
 *
 * Every decision about the current write and its transfer is taken under
 * WriteQueueLock. The lock is released only around IofCallDriver: a
 * transfer may complete inside that call (a device that has gone, a failure
 * found at once, or a device that answers at once), and its completion
 * routine takes the lock. A completion that finds its sender still inside
 * IofCallDriver only notes that the transfer has come back; the sender
 * handles the outcome once the call returns and may send the next chunk
 * from there, so a write whose transfers all complete at once is served in
 * a loop rather than by nested calls.
 *
 * A write that ends while its transfer is outstanding (cancelled or timed
 * out) has the transfer cancelled with IoCancelIrp. That cannot happen under
 * WriteQueueLock or the cancel spin lock, since the cancellation may run the
 * completion on the same thread, so the canceller first reserves the
 * transfer under the lock: a reserved transfer is not handled, freed or
 * replaced when it comes back until the canceller is done with it. A
 * transfer still being handed down is left to its sender to cancel once
 * IofCallDriver returns. Until the outcome of a transfer has been handled,
 * no other transfer is sent: WriteUrb, WriteBuffer and WriteUrbIrp belong
 * to it.
 *
 * Close, cleanup, purge and removal flush the writes and then cancel a
 * transfer left without its write in the same way, so that no chunk of a
 * flushed write stays with the device, and none is sent once close has
 * begun: a chunk is sent only after PortOpen was found set under the lock,
 * and a transfer still being handed down when the flush comes is cancelled
 * by its sender.
 *
 * A transfer request holds a pending-I/O reference, and for a completion
 * routine that reference is all that keeps the port record alive: it is
 * dropped only after WriteQueueLock has been released, as the last thing
 * the path that freed the request does with the record.
 *
 * A flush request (IRP_MJ_FLUSH_BUFFERS) waits in the write queue like a
 * write; when it becomes current every write queued before it has ended,
 * and it completes at once.
 *
 * The state of a transfer lives in its request's top stack location, which
 * the request has for its allocating driver (it is allocated one location
 * deeper than the device below needs); it is read and written only under
 * WriteQueueLock.
 */
#include "driver/transmit/write.h"

#include "driver/control/events.h"
#include "driver/frame/direct_io.h"
#include "driver/frame/dispatch.h"
#include "driver/frame/queue.h"
#include "driver/usb/submit.h"

// Added to every write total time-out, in milliseconds.
static const ULONGLONG kWriteTimeoutMarginMs = 500;

// The bulk-out flags: direction out, short transfers not allowed.
static const ULONG kWriteFlags = 0;

struct TransferState {
  BOOLEAN Submitting;    // its sender is inside IofCallDriver, the lock released
  BOOLEAN CancelWanted;  // to be cancelled by its sender once IofCallDriver returns
  BOOLEAN Returned;      // it has come back and its outcome has not been handled
  UCHAR Aborters;        // paths about to cancel it with no lock held
};
static_assert(sizeof(TransferState) <= sizeof(IO_STACK_LOCATION::Parameters), "fits in a stack location");

// The request's top stack location, the allocating driver's own: the stack
// locations follow the IRP, the top one last.
static TransferState* StateOf(PIRP transfer) {
  PIO_STACK_LOCATION own = reinterpret_cast<PIO_STACK_LOCATION>(transfer + 1) + (transfer->StackCount - 1);
  return reinterpret_cast<TransferState*>(&own->Parameters);
}

// The outcome of a transfer that has come back is handled by whoever finds
// neither its sender nor a canceller still busy with it.
static BOOLEAN IsOutcomeReady(const TransferState* state) {
  return state->Returned && !state->Submitting && state->Aborters == 0;
}

static ULONG WriteLength(PIRP write) { return IoGetCurrentIrpStackLocation(write)->Parameters.Write.Length; }

static BOOLEAN IsFlush(PIRP request) {
  return IoGetCurrentIrpStackLocation(request)->MajorFunction == IRP_MJ_FLUSH_BUFFERS;
}

// Whether a write (not a flush) is waiting in the queue. WriteQueueLock held.
static BOOLEAN IsWriteQueued(PortExtension* port) {
  for (PLIST_ENTRY entry = port->WriteQueue.Flink; entry != &port->WriteQueue; entry = entry->Flink) {
    if (!IsFlush(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry))) return TRUE;
  }
  return FALSE;
}

// The write's data in system space, mapped by SerialWrite before the write
// was queued, so nothing at DISPATCH_LEVEL has to map it.
static PUCHAR WriteData(PIRP write) { return static_cast<PUCHAR>(write->MdlAddress->MappedSystemVa); }

// Whether WriteTimer was armed for this write: the first driver context
// slot of the write, ours while the write is held, points at the timer.
static BOOLEAN HasTimeout(PIRP write) { return write->Tail.Overlay.DriverContext[0] != nullptr; }

// Arms the total time-out of a write that has just become current, if the
// port has one: multiplier x length + constant + the margin, in 64 bits.
// The two values are read without TimeoutsLock.
static VOID ArmWriteTimer(PortExtension* port, PIRP write) {
  ULONG multiplier = port->Timeouts.WriteTotalTimeoutMultiplier;
  ULONG constant = port->Timeouts.WriteTotalTimeoutConstant;
  if (multiplier == 0 && constant == 0) return;
  ULONGLONG period = static_cast<ULONGLONG>(multiplier) * WriteLength(write) + constant + kWriteTimeoutMarginMs;
  write->Tail.Overlay.DriverContext[0] = &port->WriteTimer;
  ArmTimeout(port->Self, WriteTimeout(port), period);
}

// Ends the current write with `status`, its Information as it stands: the
// time-out is stopped and the write completed if its cancel routine can be
// taken back; otherwise it stays current for WriteCancelRoutine, which is
// waiting for the lock. WriteQueueLock held.
static VOID EndCurrentWrite(PortExtension* port, NTSTATUS status) {
  PIRP write = port->CurrentWriteIrp;
  StopTimeout(port->Self, WriteTimeout(port));
  if (!ClaimRequest(write)) return;
  port->CurrentWriteIrp = nullptr;
  CompleteHeldRequest(port->Self, write, status);
}

// Cancels a reserved transfer with IoCancelIrp, which may run its
// completion on this thread. WriteQueueLock is held on entry (taken at
// *irql), released around the call and held again on return; the
// reservation keeps the request allocated and its outcome unhandled until
// then, and if it has come back already the call only sets its Cancel flag.
static VOID CancelReservedTransfer(PortExtension* port, PIRP transfer, PKIRQL irql) {
  KeReleaseSpinLock(&port->WriteQueueLock, *irql);
  IoCancelIrp(transfer);
  KeAcquireSpinLock(&port->WriteQueueLock, irql);
  StateOf(transfer)->Aborters--;
}

// Stages the next chunk of the current write, from offset Information, and
// hands it down in `transfer`. WriteQueueLock is held on entry (taken at
// *irql), released around IofCallDriver and held again on return. A cancel
// asked for meanwhile is carried out here, once the device below has the
// request: cancelling it in the middle of the hand-down would race with
// the lower driver's own look at the Cancel flag.
static VOID SendChunk(PortExtension* port, PIRP transfer, PKIRQL irql) {
  PIRP write = port->CurrentWriteIrp;
  ULONG offset = static_cast<ULONG>(write->IoStatus.Information);
  ULONG chunk = WriteLength(write) - offset;
  if (chunk > PORT_TRANSFER_SIZE) chunk = PORT_TRANSFER_SIZE;
  RtlCopyMemory(port->WriteBuffer, WriteData(write) + offset, chunk);
  BuildBulkTransfer(port->WriteUrb, port->WritePipe, kWriteFlags, port->WriteBuffer, chunk);

  TransferState* state = StateOf(transfer);
  state->Submitting = TRUE;
  state->Returned = FALSE;
  KeReleaseSpinLock(&port->WriteQueueLock, *irql);
  SendTransfer(port, transfer, reinterpret_cast<PURB>(port->WriteUrb), WriteUrbCompletion);
  KeAcquireSpinLock(&port->WriteQueueLock, irql);
  state->Submitting = FALSE;
  if (state->CancelWanted) {
    state->CancelWanted = FALSE;
    if (!state->Returned) {
      state->Aborters++;
      CancelReservedTransfer(port, transfer, irql);
    }
  }
}

// Makes the oldest queued write current and sends its first chunk. While
// the port has failed the write stays current and unsent until it is
// cancelled or flushed. A write found cancelled, or with the port closing,
// or for which no transfer request can be had, ends without anything sent,
// and the caller goes on with the next. A flush ends here: every write
// before it has ended. WriteQueueLock held; nothing current and no
// transfer outstanding.
static VOID StartNextWrite(PortExtension* port, PKIRQL irql) {
  if (!DequeueRequest(&port->CurrentWriteIrp, &port->WriteQueue)) return;
  PIRP write = port->CurrentWriteIrp;
  write->Tail.Overlay.DriverContext[0] = nullptr;  // no time-out armed for it yet
  if (IsFlush(write)) {
    EndCurrentWrite(port, IsCancelled(write) ? STATUS_CANCELLED : STATUS_SUCCESS);
    return;
  }
  if (FlagIsSet(port->DeviceFailed)) return;
  if (IsCancelled(write) || !FlagIsSet(port->PortOpen)) {
    EndCurrentWrite(port, STATUS_CANCELLED);
    return;
  }
  // The request an earlier write finished with, if one was kept: its own
  // stack location is current already, as between two chunks.
  PIRP transfer = port->SpareWriteIrp;
  port->SpareWriteIrp = nullptr;
  if (transfer == nullptr) {
    transfer = AllocateTransferIrp(port);
    if (transfer == nullptr) {
      EndCurrentWrite(port, STATUS_INSUFFICIENT_RESOURCES);
      return;
    }
    IoSetNextIrpStackLocation(transfer);  // the top location becomes the driver's own
    IoGetCurrentIrpStackLocation(transfer)->DeviceObject = port->Self;
  }
  RtlZeroMemory(StateOf(transfer), sizeof(TransferState));
  port->WriteUrbIrp = transfer;
  IncrementIoCount(port->Self);  // the transfer request's reference
  // Armed before the first chunk goes down, so that a transfer finishing
  // the write at once finds the timer set and stops it.
  ArmWriteTimer(port, write);
  SendChunk(port, transfer, irql);
}

// Handles the outcome of the transfer that has come back: the next chunk
// goes down in the same request, or the request is freed, the write ended
// if it is still current and the transmit events recorded. A freed
// request's reference is counted in *released, for the caller to drop once
// it has let go of the record. WriteQueueLock held.
static VOID HandleTransferOutcome(PortExtension* port, PKIRQL irql, ULONG* released) {
  PIRP transfer = port->WriteUrbIrp;
  StateOf(transfer)->Returned = FALSE;
  NTSTATUS status = transfer->IoStatus.Status;
  PIRP write = port->CurrentWriteIrp;
  NTSTATUS ending;

  if (status == STATUS_SUCCESS && write != nullptr && FlagIsSet(port->PortOpen)) {
    ULONG length = WriteLength(write);
    ULONG offered = length - static_cast<ULONG>(write->IoStatus.Information);
    if (offered > PORT_TRANSFER_SIZE) offered = PORT_TRANSFER_SIZE;
    ULONG accepted = port->WriteUrb->TransferBufferLength;
    if (accepted > offered) accepted = offered;  // never count more than was offered
    write->IoStatus.Information += accepted;
    if (write->IoStatus.Information == length) {
      ending = STATUS_SUCCESS;
    } else if (IsCancelled(write)) {
      ending = STATUS_CANCELLED;
    } else if (accepted == 0) {
      // The device took nothing: offering it the same bytes again could go
      // on for ever, so the write ends with what was accepted.
      ending = STATUS_IO_DEVICE_ERROR;
    } else {
      SendChunk(port, transfer, irql);
      return;
    }
  } else {
    // A failed transfer, one that finds its write gone, or the port closing.
    if (status == STATUS_UNSUCCESSFUL) SetFlag(port->DeviceFailed, TRUE);
    DbgPrint("WriteUrbIrp Error %x\n", static_cast<ULONG>(status));
    // The write reports the transfer's own failure; a transfer that
    // succeeded only as the port closes ends it as cancelled.
    ending = NT_SUCCESS(status) ? STATUS_CANCELLED : status;
  }

  // A request that came back in good order serves the next write, so the
  // steady state allocates nothing per write; one that was cancelled or
  // failed is released. Close frees the one kept.
  if (status == STATUS_SUCCESS && !transfer->Cancel && port->SpareWriteIrp == nullptr) {
    port->SpareWriteIrp = transfer;
  } else {
    IoFreeIrp(transfer);
  }
  port->WriteUrbIrp = nullptr;
  (*released)++;
  if (write != nullptr) EndCurrentWrite(port, ending);
  if (FlagIsSet(port->DeviceFailed)) {
    RecordEvent(port, SERIAL_EV_ERR);
  } else if (!IsWriteQueued(port)) {
    RecordEvent(port, SERIAL_EV_TXEMPTY);
  }
}

// Takes the transmit side as far as it can go without waiting: handles the
// outcome of a transfer that has come back, if it is this path's to handle,
// and starts queued writes while no transfer is outstanding and no write is
// current. WriteQueueLock held (taken at *irql); it is released and taken
// again around every hand-down. Returns the number of transfer requests
// freed, whose references the caller drops with DropTransferReferences
// after releasing the lock.
static ULONG ServeWrites(PortExtension* port, PKIRQL irql) {
  ULONG released = 0;
  for (;;) {
    PIRP transfer = port->WriteUrbIrp;
    if (transfer != nullptr) {
      if (!IsOutcomeReady(StateOf(transfer))) return released;  // outstanding, or its sender or canceller handles it
      HandleTransferOutcome(port, irql, &released);
    } else {
      if (port->CurrentWriteIrp != nullptr || IsListEmpty(&port->WriteQueue)) return released;
      StartNextWrite(port, irql);
    }
  }
}

// Drops the references of freed transfer requests. No lock of the port
// held; the caller touches the record no more, since the last of these may
// be what kept it.
static VOID DropTransferReferences(PDEVICE_OBJECT self, ULONG released) {
  while (released-- != 0) DecrementIoCount(self);
}

NTSTATUS NTAPI WriteUrbCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  auto port = static_cast<PortExtension*>(context);
  PDEVICE_OBJECT self = port->Self;
  KIRQL irql;
  KeAcquireSpinLock(&port->WriteQueueLock, &irql);
  StateOf(irp)->Returned = TRUE;
  ULONG released = ServeWrites(port, &irql);
  KeReleaseSpinLock(&port->WriteQueueLock, irql);
  DropTransferReferences(self, released);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP ReserveTransferForAbort(PortExtension* port) {
  PIRP transfer = port->WriteUrbIrp;
  if (transfer == nullptr) return nullptr;
  TransferState* state = StateOf(transfer);
  if (state->Returned) return nullptr;  // already back: nothing to cancel
  if (state->Submitting) {
    state->CancelWanted = TRUE;  // its sender cancels it once the hand-down returns
    return nullptr;
  }
  state->Aborters++;
  return transfer;
}

VOID CancelWriteTransfer(PortExtension* port, PIRP transfer) {
  PDEVICE_OBJECT self = port->Self;
  KIRQL irql;
  KeAcquireSpinLock(&port->WriteQueueLock, &irql);
  if (transfer != nullptr) CancelReservedTransfer(port, transfer, &irql);
  ULONG released = ServeWrites(port, &irql);
  KeReleaseSpinLock(&port->WriteQueueLock, irql);
  DropTransferReferences(self, released);
}

VOID CancelOrphanedTransfer(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->WriteQueueLock, &irql);
  // With a write current, the transfer is that write's (or its cancel
  // routine, about to run, stops it).
  PIRP transfer = port->CurrentWriteIrp == nullptr ? ReserveTransferForAbort(port) : nullptr;
  KeReleaseSpinLock(&port->WriteQueueLock, irql);
  if (transfer != nullptr) CancelWriteTransfer(port, transfer);
}

VOID NTAPI WriteTimeoutDpc(PKDPC dpc, PVOID context, PVOID systemArgument1, PVOID systemArgument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(systemArgument1);
  UNREFERENCED_PARAMETER(systemArgument2);
  auto port = static_cast<PortExtension*>(context);
  PDEVICE_OBJECT self = port->Self;
  KIRQL irql;
  KeAcquireSpinLock(&port->WriteQueueLock, &irql);
  BOOLEAN dropReference;
  // A stale expiry (its write has ended, the timer was stopped or set again
  // meanwhile) changes nothing.
  BOOLEAN current = TakeExpiry(WriteTimeout(port), &dropReference);
  PIRP write = port->CurrentWriteIrp;
  BOOLEAN timedOut = current && write != nullptr && HasTimeout(write);
  PIRP transfer = nullptr;
  if (timedOut) {
    EndCurrentWrite(port, IsCancelled(write) ? STATUS_CANCELLED : STATUS_TIMEOUT);
    transfer = ReserveTransferForAbort(port);
  }
  KeReleaseSpinLock(&port->WriteQueueLock, irql);
  if (timedOut) CancelWriteTransfer(port, transfer);
  // The timer's reference kept the record alive until here.
  if (dropReference) DecrementIoCount(self);
}

// Queues a write or a flush whose dispatch has taken its reference and
// found the port usable, and serves the queue. The port is tested again
// under WriteQueueLock: removal marks the port removed before its flush
// takes the lock, so the request is either refused here or flushed there.
static NTSTATUS QueueWriteRequest(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&port->WriteQueueLock, &irql);
  if (!IsPortUsable(device)) {
    KeReleaseSpinLock(&port->WriteQueueLock, irql);
    return RefuseTransfer(device, irp, STATUS_DELETE_PENDING);
  }
  // Marked before it can be completed: the pass below may complete it.
  IoMarkIrpPending(irp);
  irp->IoStatus.Status = STATUS_PENDING;
  (void)EnqueueRequest(WriteRequests(port), irp, WriteCancelRoutine);  // if cancelled already, completed
  ULONG released = ServeWrites(port, &irql);
  KeReleaseSpinLock(&port->WriteQueueLock, irql);
  DropTransferReferences(device, released);
  return STATUS_PENDING;
}

NTSTATUS NTAPI SerialWrite(PDEVICE_OBJECT device, PIRP irp) {
  IncrementIoCount(device);  // the write's own reference, dropped by whoever completes it
  NTSTATUS admitted = AdmitTransfer(device, irp, WriteLength(irp));
  if (!NT_SUCCESS(admitted)) return admitted;
  return QueueWriteRequest(device, irp);
}

NTSTATUS NTAPI SerialFlush(PDEVICE_OBJECT device, PIRP irp) {
  IncrementIoCount(device);  // the flush's own reference, dropped by whoever completes it
  if (!IsPortUsable(device)) return RefuseTransfer(device, irp, STATUS_DELETE_PENDING);
  return QueueWriteRequest(device, irp);
}

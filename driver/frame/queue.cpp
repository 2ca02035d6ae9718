/*
 * The request queues' common course: queueing, the cancel routines and the
 * flushes, shared by reads, writes and wait-on-mask requests. Each kind is a
 * row of the table below; the code that serves the current request of each
 * kind lives with that kind.
 *
 *   kind    queue / slot / lock                         timers                        Information on cancel
 *   reads   ReadQueue  CurrentReadIrp  ReadQueueLock    ReadTotal-, ReadIntervalTimer kept (bytes already read)
 *   writes  WriteQueue CurrentWriteIrp WriteQueueLock   WriteTimer                    0; a flushed current write keeps its count
 *   waits   WaitQueue  CurrentWaitIrp  EventLock        none                          0
 *
 * Requests are completed while the kind's lock is held; the pending-I/O
 * reference of each request is dropped right after its completion.
 * Completing under the lock is known and kept: only a driver above the port
 * that sent a new request to it from its completion routine could deadlock
 * on the lock, and the package installs no driver above the port.
 */
#include "driver/frame/queue.h"

#include "driver/receive/read.h"
#include "driver/receive/reader.h"
#include "driver/transmit/write.h"

RequestQueue ReadRequests(PortExtension* port) {
  return {&port->ReadQueue, &port->CurrentReadIrp, &port->ReadQueueLock,
          {ReadTotalTimeout(port), ReadIntervalTimeout(port)}, KeepInformation, KeepInformation, KeepInformation};
}

RequestQueue WriteRequests(PortExtension* port) {
  return {&port->WriteQueue, &port->CurrentWriteIrp, &port->WriteQueueLock,
          {WriteTimeout(port), {nullptr, nullptr, nullptr}}, ZeroInformation, KeepInformation, ZeroInformation};
}

RequestQueue WaitRequests(PortExtension* port) {
  return {&port->WaitQueue, &port->CurrentWaitIrp, &port->EventLock,
          {{nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr}}, ZeroInformation, ZeroInformation, KeepInformation};
}

static VOID CompleteCancelled(PDEVICE_OBJECT device, PIRP irp, InformationOnCancel information);
static VOID UnlinkRequest(PIRP irp);

BOOLEAN EnqueueRequest(const RequestQueue& queue, PIRP irp, PDRIVER_CANCEL cancelRoutine) {
  InsertTailList(queue.Queue, &irp->Tail.Overlay.ListEntry);
  (void)IoSetCancelRoutine(irp, cancelRoutine);
  // Cancelled before the routine was installed: nobody will call it, so the
  // request is completed here, unless a cancel that came meanwhile took the
  // routine (it then completes the request once it gets the lock).
  if (IsCancelled(irp) && ClaimRequest(irp)) {
    UnlinkRequest(irp);
    CompleteCancelled(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp, queue.Cancelled);
    return FALSE;
  }
  return TRUE;
}

// Unlinks a request and points its links at itself, so that unlinking it
// again later changes nothing.
static VOID UnlinkRequest(PIRP irp) {
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
}

BOOLEAN DequeueRequest(PIRP* slot, PLIST_ENTRY queue) {
  *slot = nullptr;
  if (IsListEmpty(queue)) return FALSE;
  PIRP irp = CONTAINING_RECORD(queue->Flink, IRP, Tail.Overlay.ListEntry);
  UnlinkRequest(irp);
  *slot = irp;
  irp->IoStatus.Information = 0;
  return TRUE;
}

BOOLEAN IsRequestQueued(PIRP irp, PLIST_ENTRY queue) {
  for (PLIST_ENTRY entry = queue->Flink; entry != queue; entry = entry->Flink) {
    if (entry == &irp->Tail.Overlay.ListEntry) return TRUE;
  }
  return FALSE;
}

BOOLEAN ClaimRequest(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

// Called with the queue's lock held (with EventLock for waits, and within
// the write path with WriteQueueLock): see the note at the top of the file
// on completing under a lock.
VOID CompleteHeldRequest(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  DecrementIoCount(device);
}

static VOID StopTimers(const RequestQueue& queue, PDEVICE_OBJECT device) {
  for (const PortTimeout& timeout : queue.Timers) {
    if (timeout.Timer != nullptr) StopTimeout(device, timeout);
  }
}

static VOID CompleteCancelled(PDEVICE_OBJECT device, PIRP irp, InformationOnCancel information) {
  if (information == ZeroInformation) irp->IoStatus.Information = 0;
  CompleteHeldRequest(device, irp, STATUS_CANCELLED);
}

enum CancelledFrom { NotHeld, FromCurrentSlot, FromQueue };

// The cancel routines' common steps, with the kind's lock held: complete the
// request if the port still holds it and say where it was.
static CancelledFrom CancelHeldRequest(const RequestQueue& queue, PDEVICE_OBJECT device, PIRP irp) {
  if (*queue.Current == irp) {
    StopTimers(queue, device);
    *queue.Current = nullptr;
    CompleteCancelled(device, irp, queue.Cancelled);
    return FromCurrentSlot;
  }
  if (IsRequestQueued(irp, queue.Queue)) {
    UnlinkRequest(irp);
    CompleteCancelled(device, irp, queue.Cancelled);
    return FromQueue;
  }
  return NotHeld;  // already completed by its serving code or a flush
}

VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL cancelIrql = irp->CancelIrql;  // the request may be gone once completed
  RequestQueue reads = ReadRequests(PortOf(device));
  KIRQL irql;
  KeAcquireSpinLock(reads.Lock, &irql);
  CancelledFrom from = CancelHeldRequest(reads, device, irp);
  KeReleaseSpinLock(reads.Lock, irql);
  // The next queued read becomes current, with its timers starting now.
  // The pass may complete reads while the cancel spin lock is still held:
  // known and kept, as completing under the queue locks (see the top of the
  // file); only a driver above re-entering from its completion routine could
  // deadlock, and none is installed.
  if (from == FromCurrentSlot) ProcessReadQueue(PortOf(device));
  IoReleaseCancelSpinLock(cancelIrql);
  // Only once the cancel spin lock is released: the reader's transfer may
  // complete on this thread.
  if (from == FromCurrentSlot) ResumeBulkReader(PortOf(device));
}

VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL cancelIrql = irp->CancelIrql;
  PortExtension* port = PortOf(device);
  RequestQueue writes = WriteRequests(port);
  KIRQL irql;
  KeAcquireSpinLock(writes.Lock, &irql);
  BOOLEAN wasCurrent = CancelHeldRequest(writes, device, irp) == FromCurrentSlot;
  // The cancelled write's transfer, if one is outstanding, is reserved
  // under the lock, so that it is still the same one when it is stopped.
  PIRP transfer = wasCurrent ? ReserveTransferForAbort(port) : nullptr;
  KeReleaseSpinLock(writes.Lock, irql);
  IoReleaseCancelSpinLock(cancelIrql);
  // With neither lock held, since stopping the transfer may complete it on
  // this thread: stop it, or with none outstanding start the next write.
  if (wasCurrent) CancelWriteTransfer(port, transfer);
}

VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL cancelIrql = irp->CancelIrql;
  PortExtension* port = PortOf(device);
  RequestQueue waits = WaitRequests(port);
  KIRQL irql;
  KeAcquireSpinLock(waits.Lock, &irql);
  // The next queued wait takes the place of a cancelled current one.
  if (CancelHeldRequest(waits, device, irp) == FromCurrentSlot) DequeueRequest(waits.Current, waits.Queue);
  KeReleaseSpinLock(waits.Lock, irql);
  IoReleaseCancelSpinLock(cancelIrql);
}

// The flushes' common course. The Cancel flag is not consulted: the exchange
// on CancelRoutine alone decides whether the flush or the cancel routine
// completes a request; a request whose routine is already taken is left for
// that routine, which is waiting for this lock.
static VOID FlushRequests(const RequestQueue& queue, PDEVICE_OBJECT device) {
  KIRQL irql;
  KeAcquireSpinLock(queue.Lock, &irql);
  PIRP current = *queue.Current;
  if (current != nullptr) {
    StopTimers(queue, device);
    if (ClaimRequest(current)) {
      *queue.Current = nullptr;
      CompleteCancelled(device, current, queue.FlushedCurrent);
    }
  }
  PLIST_ENTRY next;
  for (PLIST_ENTRY entry = queue.Queue->Flink; entry != queue.Queue; entry = next) {
    next = entry->Flink;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (!ClaimRequest(irp)) continue;
    UnlinkRequest(irp);
    CompleteCancelled(device, irp, queue.FlushedQueued);
  }
  KeReleaseSpinLock(queue.Lock, irql);
}

NTSTATUS CancelAllReads(PDEVICE_OBJECT device) {
  FlushRequests(ReadRequests(PortOf(device)), device);
  return STATUS_SUCCESS;
}

NTSTATUS CancelAllWrites(PDEVICE_OBJECT device) {
  FlushRequests(WriteRequests(PortOf(device)), device);
  // The flushed write's transfer, if one is still out, is stopped too: the
  // device may hold it for ever, and nothing else is sent while it is out.
  CancelOrphanedTransfer(PortOf(device));
  return STATUS_SUCCESS;
}

NTSTATUS CancelAllWaits(PDEVICE_OBJECT device) {
  FlushRequests(WaitRequests(PortOf(device)), device);
  return STATUS_SUCCESS;
}

NTSTATUS CancelAllRequests(PDEVICE_OBJECT device) {
  CancelAllWrites(device);
  CancelAllReads(device);
  CancelAllWaits(device);
  return STATUS_SUCCESS;
}

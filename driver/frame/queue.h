/*
 * Request queues. Reads, writes and wait-on-mask requests are each held in a
 * queue of the same shape: a first-in first-out list, linked through the
 * request's Tail.Overlay.ListEntry, one current-request slot, a spin lock
 * guarding both, a cancel routine installed on every held request and a
 * flush that completes every held request as cancelled.
 *
 * Who completes a held request is decided by the interlocked exchange on its
 * CancelRoutine: the driver completes a request outside its cancel routine
 * only after taking the routine back itself (ClaimRequest). If the exchange
 * yields null, the platform has taken the routine and will call it: the
 * request is left where it is and the cancel routine completes it.
 */
#pragma once

#include "driver/frame/port.h"

enum InformationOnCancel {
  KeepInformation,  // IoStatus.Information keeps the bytes already transferred
  ZeroInformation,  // IoStatus.Information is set to 0
};

// One kind of held request, as a row of pointers into the port record.
struct RequestQueue {
  PLIST_ENTRY Queue;
  PIRP* Current;
  PKSPIN_LOCK Lock;
  PortTimeout Timers[2];  // stopped when the current request is cancelled or flushed; Timer null if none
  InformationOnCancel Cancelled;       // what the cancel routine does to Information
  InformationOnCancel FlushedCurrent;  // what the flush does to the current request's
  InformationOnCancel FlushedQueued;   // what the flush does to a queued request's
};

RequestQueue ReadRequests(PortExtension* port);
RequestQueue WriteRequests(PortExtension* port);
RequestQueue WaitRequests(PortExtension* port);

// Appends a request and installs its cancel routine. The caller holds the
// queue's lock and has taken the request's pending-I/O reference; it marks
// the request pending unless its dispatch may still complete it at once.
// A request cancelled before its routine was installed is completed with
// STATUS_CANCELLED at once (its reference dropped) and FALSE returned: the
// request is gone, and the dispatch routine returns STATUS_CANCELLED (or
// STATUS_PENDING if it marked the request pending).
BOOLEAN EnqueueRequest(const RequestQueue& queue, PIRP irp, PDRIVER_CANCEL cancelRoutine);

// Moves the oldest queued request into the current slot (the slot is set to
// null first) and returns TRUE, or returns FALSE if the queue is empty. The
// request's Information is set to 0: from here on it counts bytes moved.
// The caller holds the queue's lock.
BOOLEAN DequeueRequest(PIRP* slot, PLIST_ENTRY queue);

// TRUE if the request is linked in the queue. The caller holds its lock.
BOOLEAN IsRequestQueued(PIRP irp, PLIST_ENTRY queue);

// Takes the cancel routine back; TRUE means the caller now completes the
// request, FALSE that its cancel routine is about to. Any IRQL.
BOOLEAN ClaimRequest(PIRP irp);

// The request's Cancel flag, which IoCancelIrp may set on another
// processor at any moment: read once, as a single load.
inline BOOLEAN IsCancelled(PIRP irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE); }

// Completes a held request whose completion the caller owns, with its
// Information as the caller left it, and drops its pending-I/O reference.
// The caller holds the queue's lock.
VOID CompleteHeldRequest(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status);

// The cancel routines: DISPATCH_LEVEL, the platform's cancel spin lock held
// on entry and released on exit with the request's CancelIrql.
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT device, PIRP irp);
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT device, PIRP irp);
VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT device, PIRP irp);

// The flushes: every held request of the kind completed with
// STATUS_CANCELLED, the current one first, then the queued ones in arrival
// order, except those whose cancel routine the platform has already taken.
// Any IRQL up to DISPATCH_LEVEL; no lock of the port held.
NTSTATUS CancelAllReads(PDEVICE_OBJECT device);
NTSTATUS CancelAllWrites(PDEVICE_OBJECT device);
NTSTATUS CancelAllWaits(PDEVICE_OBJECT device);

// Writes, then reads, then waits. Always STATUS_SUCCESS.
NTSTATUS CancelAllRequests(PDEVICE_OBJECT device);

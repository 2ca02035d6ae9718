/*
 * Stand-ins for the serving code of reads, writes and wait-on-mask
 * requests, for tests of the request queues on their own: a dispatch routine
 * that holds every request it gets in its kind's queue (reference taken,
 * marked pending, cancel routine installed), and the two steps a serving
 * path takes with the queue's lock held (make the next request current;
 * complete the current one after claiming it).
 */
#pragma once

#include "driver/frame/queue.h"

#include <initializer_list>

enum class Kind { Reads, Writes, Waits };

inline const char* KindName(Kind kind) {
  return kind == Kind::Reads ? "reads" : kind == Kind::Writes ? "writes" : "waits";
}

inline RequestQueue QueueOf(PortExtension* port, Kind kind) {
  return kind == Kind::Reads ? ReadRequests(port) : kind == Kind::Writes ? WriteRequests(port) : WaitRequests(port);
}

inline PDRIVER_CANCEL CancelRoutineOf(Kind kind) {
  return kind == Kind::Reads ? ReadCancelRoutine : kind == Kind::Writes ? WriteCancelRoutine : WaitCancelRoutine;
}

// The major function each kind arrives with.
inline UCHAR MajorOf(Kind kind) {
  return kind == Kind::Reads ? IRP_MJ_READ : kind == Kind::Writes ? IRP_MJ_WRITE : IRP_MJ_DEVICE_CONTROL;
}

inline Kind KindOfMajor(UCHAR major) {
  return major == IRP_MJ_READ ? Kind::Reads : major == IRP_MJ_WRITE ? Kind::Writes : Kind::Waits;
}

inline NTSTATUS NTAPI HoldingDispatch(PDEVICE_OBJECT device, PIRP irp) {
  Kind kind = KindOfMajor(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  RequestQueue queue = QueueOf(PortOf(device), kind);
  IncrementIoCount(device);
  IoMarkIrpPending(irp);
  KIRQL irql;
  KeAcquireSpinLock(queue.Lock, &irql);
  (void)EnqueueRequest(queue, irp, CancelRoutineOf(kind));  // marked pending: STATUS_PENDING either way
  KeReleaseSpinLock(queue.Lock, irql);
  return STATUS_PENDING;
}

inline void InstallHoldingDispatch(PDRIVER_OBJECT driver) {
  for (Kind kind : {Kind::Reads, Kind::Writes, Kind::Waits}) driver->MajorFunction[MajorOf(kind)] = HoldingDispatch;
}

// Makes the oldest queued request current if none is; returns the current
// request (null if none). As serving code does, it never dequeues over a
// request still in the slot: that one may be waiting for its cancel routine.
inline PIRP MakeNextCurrent(PortExtension* port, Kind kind) {
  RequestQueue queue = QueueOf(port, kind);
  KIRQL irql;
  KeAcquireSpinLock(queue.Lock, &irql);
  if (*queue.Current == nullptr) DequeueRequest(queue.Current, queue.Queue);
  PIRP current = *queue.Current;
  KeReleaseSpinLock(queue.Lock, irql);
  return current;
}

// Completes the current request with a status and byte count, as a serving
// path does: only after taking its cancel routine back. Returns whether it
// completed it.
inline bool ServeCurrent(PortExtension* port, Kind kind, NTSTATUS status, ULONG_PTR information) {
  RequestQueue queue = QueueOf(port, kind);
  KIRQL irql;
  KeAcquireSpinLock(queue.Lock, &irql);
  PIRP current = *queue.Current;
  bool served = current != nullptr && ClaimRequest(current);
  if (served) {
    *queue.Current = nullptr;
    current->IoStatus.Information = information;
    CompleteHeldRequest(port->Self, current, status);
  }
  KeReleaseSpinLock(queue.Lock, irql);
  return served;
}

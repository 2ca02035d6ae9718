/*
 * Event recording and wait-on-mask requests. EventLock guards the history,
 * the wait queue and its current slot; waits are completed with it held
 * (known and kept: see queue.cpp).
 * WaitMask is written and read under it as well, so a producer sees either
 * the old mask or the new one, never a mask change half done.
 */
#include "driver/control/events.h"

#include "driver/frame/queue.h"

// The events present in the history that the mask watches.
static ULONG WatchedEvents(const PortExtension* port) { return port->EventHistory & port->WaitMask; }

VOID RecordEvent(PortExtension* port, ULONG event) {
  KIRQL irql;
  KeAcquireSpinLock(&port->EventLock, &irql);
  port->EventHistory |= event;
  // The whole history is tested: a bit recorded before the mask came to
  // watch it is reported by the next event.
  if (port->CurrentWaitIrp != nullptr && WatchedEvents(port) != 0) CompleteWaitRequest(port, WatchedEvents(port));
  KeReleaseSpinLock(&port->EventLock, irql);
}

NTSTATUS CompleteWaitRequest(PortExtension* port, ULONG events) {
  PIRP wait = port->CurrentWaitIrp;
  if (!ClaimRequest(wait)) return STATUS_PENDING;  // its cancel routine is waiting for EventLock

  NTSTATUS status;
  if (IsCancelled(wait)) {
    // Cancelled before its cancel routine was installed: nothing is reported.
    wait->IoStatus.Information = 0;
    status = STATUS_CANCELLED;
  } else {
    *static_cast<PULONG>(wait->AssociatedIrp.SystemBuffer) = events;
    wait->IoStatus.Information = sizeof(ULONG);
    port->EventHistory &= ~events;
    status = STATUS_SUCCESS;
  }
  port->CurrentWaitIrp = nullptr;
  CompleteHeldRequest(port->Self, wait, status);
  // The next wait is decided by the next event or mask change, not now.
  DequeueRequest(&port->CurrentWaitIrp, &port->WaitQueue);
  return status;
}

NTSTATUS ApplyWaitMask(PIRP irp) {
  PortExtension* port = PortOf(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
  ULONG mask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  if ((mask & ~SERIAL_EV_ALL) != 0) return STATUS_INVALID_PARAMETER;

  KIRQL irql;
  KeAcquireSpinLock(&port->EventLock, &irql);
  port->WaitMask = mask;
  if (port->CurrentWaitIrp != nullptr) CompleteWaitRequest(port, 0);
  KeReleaseSpinLock(&port->EventLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS QueueWaitOnMask(PIRP irp, PortExtension* port) {
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql;
  KeAcquireSpinLock(&port->EventLock, &irql);
  // Tested again under the lock that removal's flush takes after marking
  // the port removed: the wait is refused here or flushed there.
  if (!IsPortUsable(port->Self)) {
    irp->IoStatus.Status = STATUS_DELETE_PENDING;
    irp->IoStatus.Information = 0;
    KeReleaseSpinLock(&port->EventLock, irql);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    DecrementIoCount(port->Self);
    return STATUS_DELETE_PENDING;
  }
  if (!EnqueueRequest(WaitRequests(port), irp, WaitCancelRoutine)) {
    status = STATUS_CANCELLED;  // cancelled already, and completed
  } else if (port->CurrentWaitIrp == nullptr) {
    // Normally this very request; an older one if a cancel left it queued.
    DequeueRequest(&port->CurrentWaitIrp, &port->WaitQueue);
    if (WatchedEvents(port) != 0) {
      PIRP current = port->CurrentWaitIrp;
      NTSTATUS completion = CompleteWaitRequest(port, WatchedEvents(port));
      if (current == irp) status = completion;
    }
  }
  // Still held (or left to its cancel routine, which needs EventLock): mark
  // it pending while no one else can complete it.
  if (status == STATUS_PENDING) IoMarkIrpPending(irp);
  KeReleaseSpinLock(&port->EventLock, irql);
  return status;
}

/*
 * Pending-I/O accounting: the one mechanism by which close and removal know
 * that nothing of the port is still in flight. The count rests at 1 (the
 * baseline taken at add-device) while the port is idle; every dispatch, held
 * request and driver-owned transfer adds one. NoPendingIoEvent tells close
 * that the count is back at 1, RemoveEvent tells removal that it reached 0.
 *
 * The count and NoPendingIoEvent change together inside IoCountLock, which
 * is the innermost lock of the port: these routines are called with other
 * locks of the record held, at any IRQL up to DISPATCH_LEVEL. RemoveEvent is
 * signalled after the lock is released (see DecrementIoCount).
 */
#include "driver/frame/port.h"

LONG IncrementIoCount(PDEVICE_OBJECT device) {
  PortExtension* port = PortOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&port->IoCountLock, &irql);
  LONG count = InterlockedIncrement(&port->PendingIoCount);
  if (count > 1) KeClearEvent(&port->NoPendingIoEvent);
  KeReleaseSpinLock(&port->IoCountLock, irql);
  return count;
}

LONG DecrementIoCount(PDEVICE_OBJECT device) {
  PortExtension* port = PortOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&port->IoCountLock, &irql);
  LONG count = InterlockedDecrement(&port->PendingIoCount);
  if (count == 1) KeSetEvent(&port->NoPendingIoEvent, 1, FALSE);
  KeReleaseSpinLock(&port->IoCountLock, irql);
  // At 0 nothing raises the count again, and removal deletes the record as
  // soon as it sees RemoveEvent: signalling it is the last touch.
  if (count == 0) KeSetEvent(&port->RemoveEvent, 1, FALSE);
  return count;
}

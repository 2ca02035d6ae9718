/*
 * Purge. Each action runs under its own lock, never two at once: writes
 * first, then reads, then the receive buffer. There is no transmit buffer
 * to clear: bytes not yet sent stay with their write requests. A bulk-out
 * transfer already on its way is not stopped; its completion starts
 * whatever write is queued by then.
 */
#include "driver/control/events.h"

#include "driver/frame/queue.h"

NTSTATUS PurgePort(PortExtension* port, PIRP irp) {
  ULONG flags = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  if ((flags & SERIAL_PURGE_TXABORT) != 0) CancelAllWrites(port->Self);
  if ((flags & SERIAL_PURGE_RXABORT) != 0) CancelAllReads(port->Self);
  if ((flags & SERIAL_PURGE_RXCLEAR) != 0) {
    KIRQL irql;
    KeAcquireSpinLock(&port->RxBufferLock, &irql);
    RingBufferClear(&port->RxBuffer);
    KeReleaseSpinLock(&port->RxBufferLock, irql);
  }
  return STATUS_SUCCESS;
}

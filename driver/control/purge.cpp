/*
 * Purge. Each action runs under its own lock, never two at once: writes
 * first, then reads, then the receive buffer. There is no transmit buffer
 * to clear: bytes not yet sent stay with their write requests. Emptying
 * the receive buffer lets a reader held back for room ask for data again.
 * A bulk-out transfer already on its way is not stopped; its completion
 * starts whatever write is queued by then.
 */
#include "driver/control/events.h"

#include "driver/frame/queue.h"
#include "driver/receive/reader.h"

NTSTATUS PurgePort(PortExtension* port, PIRP irp) {
  ULONG flags = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  if ((flags & SERIAL_PURGE_TXABORT) != 0) CancelAllWrites(port->Self);
  if ((flags & SERIAL_PURGE_RXABORT) != 0) CancelAllReads(port->Self);
  if ((flags & SERIAL_PURGE_RXCLEAR) != 0) {
    KIRQL irql;
    KeAcquireSpinLock(&port->RxBufferLock, &irql);
    RingBufferClear(&port->RxBuffer);
    KeReleaseSpinLock(&port->RxBufferLock, irql);
    ResumeBulkReader(port);  // the device's held-back data may come now
  }
  return STATUS_SUCCESS;
}

/*
 * Write requests and the write total time-out. Writes wait in the write
 * queue and one at a time is current; its data go to the bulk-out pipe in
 * transfers of at most PORT_TRANSFER_SIZE bytes, each staged in
 * WriteBuffer. One transfer request carries all of a write's transfers
 * and, kept when it comes back in good order, the next write's too; at
 * most one transfer is outstanding per port. SerialWrite,
 * the dispatch routine, is declared with the others in dispatch.h.
 */
#pragma once

#include "driver/frame/port.h"

// Completion of a bulk-out transfer; context is the port record. Any IRQL
// up to DISPATCH_LEVEL, any thread, possibly inside the IofCallDriver that
// sent the transfer. Always STATUS_MORE_PROCESSING_REQUIRED: the request
// belongs to the driver.
NTSTATUS NTAPI WriteUrbCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// The DPC of WriteTimer; context is the port record. DISPATCH_LEVEL.
VOID NTAPI WriteTimeoutDpc(PKDPC dpc, PVOID context, PVOID systemArgument1, PVOID systemArgument2);

// Stopping the transfer of a write that has ended, in two steps around the
// release of the caller's locks, because cancelling the transfer may run
// its completion on the caller's thread, which takes WriteQueueLock.
//
// ReserveTransferForAbort: WriteQueueLock held, right after the current
// write has ended. Returns the outstanding transfer request, which stays
// allocated and in WriteUrbIrp until CancelWriteTransfer has run, or null
// if there is nothing to cancel here (none is outstanding, it has come back
// already, or it is being handed down and its sender cancels it).
PIRP ReserveTransferForAbort(PortExtension* port);
// CancelWriteTransfer: no spin lock held, the cancel spin lock included;
// IRQL up to DISPATCH_LEVEL. Cancels the reserved transfer (if any), then
// lets the transmit side go on: the transfer's return is handled if it has
// come back, and the next queued write is started once nothing is
// outstanding.
VOID CancelWriteTransfer(PortExtension* port, PIRP transfer);

// After the writes have been flushed: cancels the transfer left outstanding
// without a current write, or has its sender cancel it once it is handed
// down, and lets the transmit side go on. No spin lock held; IRQL up to
// DISPATCH_LEVEL.
VOID CancelOrphanedTransfer(PortExtension* port);

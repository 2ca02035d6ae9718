/*
 * The bulk-in reader: while the port is open, one bulk-in request belongs
 * to the reader and asks the device for data whenever the receive ring
 * buffer can take a whole transfer. Each completion puts what it brought
 * into the buffer and sends the same request down again; while the buffer
 * cannot take a whole transfer the request waits in the driver and the
 * device keeps its data, so no byte the device sends is dropped. The first
 * failed transfer, a completion after close, or a stop ends the reader for
 * good and marks the port failed.
 */
#pragma once

#include "driver/frame/port.h"

// Starts the reader unless it is already running or the port is not open.
// PASSIVE_LEVEL. Returns STATUS_SUCCESS once the request is the reader's
// (or a reader already runs), STATUS_INSUFFICIENT_RESOURCES if its URB or
// request cannot be had.
NTSTATUS StartBulkReader(PDEVICE_OBJECT device);

// Sends the reader's request down again if it waits for room and the
// receive buffer now has room for a whole transfer. Called by every path
// that takes bytes out of the buffer or enlarges it, once it has done so.
// Any IRQL up to DISPATCH_LEVEL; no lock of the port held, nor the cancel
// spin lock (the transfer may complete on this thread).
VOID ResumeBulkReader(PortExtension* port);

// Stops the reader for close and removal: from here on its request is
// never sent again; a request waiting for room is ended at once, one being
// handed down is waited for, and one outstanding is aborted with the pipe.
// Returns once the reader's last transfer is on its way back; its
// pending-I/O reference goes when it has stopped. PASSIVE_LEVEL.
VOID StopBulkReader(PDEVICE_OBJECT device);

// Completion of the bulk-in transfer; context is the port record. Any IRQL
// up to DISPATCH_LEVEL. Always STATUS_MORE_PROCESSING_REQUIRED: the request
// belongs to the driver.
NTSTATUS NTAPI ReadUrbCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

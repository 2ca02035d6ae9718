/*
 * The bulk-in reader: while the port is open, exactly one bulk-in transfer
 * is outstanding on the read pipe. Each completion puts what it brought into
 * the receive ring buffer and sends the same transfer down again; the first
 * failed transfer, or a completion after close, stops the reader for good
 * and marks the port failed.
 */
#pragma once

#include "driver/frame/port.h"

// Starts the reader unless it is already running. PASSIVE_LEVEL. Returns
// STATUS_SUCCESS once the transfer is on its way (or a reader already runs),
// STATUS_INSUFFICIENT_RESOURCES if its URB or request cannot be had.
NTSTATUS StartBulkReader(PDEVICE_OBJECT device);

// Completion of the bulk-in transfer; context is the port record. Any IRQL
// up to DISPATCH_LEVEL. Always STATUS_MORE_PROCESSING_REQUIRED: the request
// belongs to the driver.
NTSTATUS NTAPI ReadUrbCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

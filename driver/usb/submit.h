/*
 * Submission of USB request blocks to the device below the port. The
 * synchronous routines wait for the lower driver and so run at
 * PASSIVE_LEVEL with no spin lock held; the asynchronous steps, used by the
 * bulk-in reader and the writer, may run at DISPATCH_LEVEL.
 */
#pragma once

#include "driver/frame/port.h"

// Sends the URB down in an internal device-control request built by the
// I/O manager and waits for it; returns the request's final status (not the
// URB's own USB status).
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb);

// Makes every transfer outstanding on the pipe complete.
NTSTATUS AbortPipe(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe);

// Clears a halt of the pipe, on the host and on the device
// (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL). After a failed transfer the
// USB stack fails every transfer on the pipe until it is reset. Only with no
// transfer outstanding on the pipe.
NTSTATUS ResetPipe(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe);

// A standard GET_STATUS to the device, as a test that it still answers; the
// two status bytes are discarded.
NTSTATUS GetDeviceStatus(PDEVICE_OBJECT device);

// Fills a bulk transfer URB for one submission.
VOID BuildBulkTransfer(struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer,
                       ULONG length);

// A request of the driver's own for a bulk transfer: one stack location
// more than the device below needs. Null if none can be had.
PIRP AllocateTransferIrp(PortExtension* port);

// Sends a driver-owned transfer request carrying urb to the device below;
// routine runs on success, error and cancel with the port record as context
// and must return STATUS_MORE_PROCESSING_REQUIRED. Any IRQL up to
// DISPATCH_LEVEL. The outcome arrives only through routine.
VOID SendTransfer(PortExtension* port, PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE routine);

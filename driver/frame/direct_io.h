/*
 * Reads and writes use direct I/O: the caller's buffer is described by the
 * request's MDL. Both dispatch routines admit a request the same way.
 */
#pragma once

#include "driver/frame/port.h"

// Admits a read or write of `length` bytes: the port usable, a buffer of
// that many bytes described by the request's MDL, mapped to system space
// here at PASSIVE_LEVEL so that nothing at DISPATCH_LEVEL has to map it.
// Otherwise completes the request with STATUS_DELETE_PENDING,
// STATUS_INVALID_PARAMETER (no buffer, length 0) or
// STATUS_INSUFFICIENT_RESOURCES (no mapping), drops the pending-I/O
// reference the caller took for it, and returns that status.
NTSTATUS AdmitTransfer(PDEVICE_OBJECT device, PIRP irp, ULONG length);

// Completes a read or write (or flush) with `status` and Information 0, and
// drops the pending-I/O reference the caller took for it; returns status.
NTSTATUS RefuseTransfer(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status);

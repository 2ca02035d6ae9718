/*
 * Read requests. Reads wait in the read queue and one at a time is current;
 * ProcessReadQueue is the only place that moves bytes from the receive ring
 * buffer into reads and decides when they complete. It runs whenever
 * something may have changed for the current read: a read arrives while
 * none is current, bytes arrive, a read timer expires, or the current read
 * is cancelled. SerialRead, the dispatch routine, is declared with the
 * others in dispatch.h.
 */
#pragma once

#include "driver/frame/port.h"

// One pass over the read queue. Any IRQL up to DISPATCH_LEVEL; no lock of
// the port held (the cancel spin lock may be). Returns the status of the
// first read the pass completed, or STATUS_PENDING if it completed none.
NTSTATUS ProcessReadQueue(PortExtension* port);

// The DPC of both read timers; context is the port record. DISPATCH_LEVEL.
VOID NTAPI ReadTimeoutDpc(PKDPC dpc, PVOID context, PVOID systemArgument1, PVOID systemArgument2);

/*
 * The two structured answers of the control requests: the port's
 * properties and its communication status.
 */
#pragma once

#include "driver/frame/port.h"

// Fills a SERIAL_COMMPROP (the buffer holds at least its 64 bytes).
// Any IRQL up to DISPATCH_LEVEL; takes RxBufferLock.
NTSTATUS GetProperties(PVOID buffer, PortExtension* port);

// Fills a SERIAL_STATUS (the buffer holds at least its 20 bytes). Takes
// TimeoutsLock, RxBufferLock, then WriteQueueLock, one at a time. Any IRQL
// up to DISPATCH_LEVEL.
NTSTATUS GetCommStatus(PortExtension* port, PVOID buffer);

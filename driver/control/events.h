/*
 * Serial events (SERIAL_EV_ bits) as the port records them for wait-on-mask
 * requests: the bulk-in reader records SERIAL_EV_RXCHAR and SERIAL_EV_ERR,
 * the write completion SERIAL_EV_TXEMPTY and SERIAL_EV_ERR.
 */
#pragma once

#include "driver/frame/port.h"

// Adds the event to EventHistory under EventLock. Any IRQL up to
// DISPATCH_LEVEL; no read-side lock held (EventLock never nests with them).
VOID RecordEvent(PortExtension* port, ULONG event);

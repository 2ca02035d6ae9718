#include "driver/control/events.h"

VOID RecordEvent(PortExtension* port, ULONG event) {
  KIRQL irql;
  KeAcquireSpinLock(&port->EventLock, &irql);
  port->EventHistory |= event;
  KeReleaseSpinLock(&port->EventLock, irql);
}

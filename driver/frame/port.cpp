/*
 * The port record's creation state and the test of whether the port may
 * serve I/O.
 */
#include "driver/frame/port.h"

#include "driver/receive/read.h"
#include "driver/transmit/write.h"

VOID InitializePortRecord(PortExtension* port, PDEVICE_OBJECT self) {
  port->Self = self;

  // Serial settings: set here only, so they survive close and reopen.
  port->BaudRate = 9600;
  port->LineControl.StopBits = STOP_BIT_1;
  port->LineControl.Parity = NO_PARITY;
  port->LineControl.WordLength = 8;
  port->Chars.XonChar = 0x11;
  port->Chars.XoffChar = 0x13;
  port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  port->HandFlow.XonLimit = 100;
  port->HandFlow.XoffLimit = 300;

  KeInitializeSpinLock(&port->RxBufferLock);
  KeInitializeSpinLock(&port->ReadQueueLock);
  KeInitializeSpinLock(&port->WriteQueueLock);
  KeInitializeSpinLock(&port->EventLock);
  KeInitializeSpinLock(&port->TimeoutsLock);
  KeInitializeSpinLock(&port->IoCountLock);

  InitializeListHead(&port->ReadQueue);
  InitializeListHead(&port->WriteQueue);
  InitializeListHead(&port->WaitQueue);

  KeInitializeTimer(&port->ReadTotalTimer);
  KeInitializeTimer(&port->ReadIntervalTimer);
  KeInitializeTimer(&port->WriteTimer);
  // Both read timers run the same routine, which does not need to know
  // which of them expired.
  KeInitializeDpc(&port->ReadTotalDpc, ReadTimeoutDpc, port);
  KeInitializeDpc(&port->ReadIntervalDpc, ReadTimeoutDpc, port);
  KeInitializeDpc(&port->WriteTimerDpc, WriteTimeoutDpc, port);

  KeInitializeEvent(&port->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&port->NoPendingIoEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&port->ReaderSendDone, NotificationEvent, TRUE);
}

BOOLEAN IsPortUsable(PDEVICE_OBJECT device) {
  PortExtension* port = PortOf(device);
  if (FlagIsSet(port->Removed)) return FALSE;
  if (!FlagIsSet(port->Started)) return FALSE;
  if (FlagIsSet(port->RemovePending)) return FALSE;
  if (FlagIsSet(port->DeviceFailed)) return FALSE;
  return TRUE;
}

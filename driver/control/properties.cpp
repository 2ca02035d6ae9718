/*
 * What the port tells an application about itself. The device behind it
 * is bulk data only: the properties announce what the settings requests
 * accept, and the status reports the two queues the driver keeps.
 */
#include "driver/control/properties.h"

// The transmit queue the driver announces: writes are held whole, so this
// is advice to applications rather than a limit.
static const ULONG kTransmitQueue = 512;

static ULONG ReceiveQueueSize(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  ULONG capacity = port->RxBuffer.Capacity;
  KeReleaseSpinLock(&port->RxBufferLock, irql);
  return capacity == 0 ? 0 : capacity - 1;  // one slot is always kept free
}

NTSTATUS GetProperties(PVOID buffer, PortExtension* port) {
  auto properties = static_cast<PSERIAL_COMMPROP>(buffer);
  RtlZeroMemory(properties, sizeof *properties);
  properties->PacketLength = sizeof *properties;
  properties->PacketVersion = 2;
  properties->ServiceMask = SERIAL_SP_SERIALCOMM;
  properties->MaxTxQueue = kTransmitQueue;
  properties->MaxRxQueue = ReceiveQueueSize(port);
  properties->MaxBaud = SERIAL_BAUD_USER;
  properties->ProvSubType = SERIAL_SP_RS232;
  properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_PARITY_CHECK |
                                 SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                 SERIAL_PCF_INTTIMEOUTS | SERIAL_PCF_SPECIALCHARS;
  properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                               SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK;
  properties->SettableBaud = SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_134_5 | SERIAL_BAUD_150 |
                             SERIAL_BAUD_300 | SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_1800 |
                             SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 |
                             SERIAL_BAUD_USER;
  properties->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
  properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                   SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                   SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
  properties->CurrentTxQueue = kTransmitQueue;
  properties->CurrentRxQueue = properties->MaxRxQueue;
  return STATUS_SUCCESS;
}

NTSTATUS GetCommStatus(PortExtension* port, PVOID buffer) {
  auto status = static_cast<PSERIAL_STATUS>(buffer);
  RtlZeroMemory(status, sizeof *status);
  // Nothing counts into these, but they are reported as they stand, read
  // under the lock the statistics requests hold.
  KIRQL irql;
  KeAcquireSpinLock(&port->TimeoutsLock, &irql);
  if (port->BreakCount != 0) status->Errors |= SERIAL_ERROR_BREAK;
  if (port->PerfStats.FrameErrorCount != 0) status->Errors |= SERIAL_ERROR_FRAMING;
  if (port->PerfStats.SerialOverrunErrorCount != 0) status->Errors |= SERIAL_ERROR_OVERRUN;
  if (port->PerfStats.BufferOverrunErrorCount != 0) status->Errors |= SERIAL_ERROR_QUEUEOVERRUN;
  if (port->PerfStats.ParityErrorCount != 0) status->Errors |= SERIAL_ERROR_PARITY;
  KeReleaseSpinLock(&port->TimeoutsLock, irql);

  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  status->AmountInInQueue = RingBufferCount(&port->RxBuffer);
  KeReleaseSpinLock(&port->RxBufferLock, irql);

  // The bytes of the current write the device has not accepted yet, the
  // transfer on its way included; queued writes are not counted.
  KeAcquireSpinLock(&port->WriteQueueLock, &irql);
  PIRP write = port->CurrentWriteIrp;
  if (write != nullptr) {
    status->AmountInOutQueue =
        IoGetCurrentIrpStackLocation(write)->Parameters.Write.Length - static_cast<ULONG>(write->IoStatus.Information);
  }
  KeReleaseSpinLock(&port->WriteQueueLock, irql);
  return STATUS_SUCCESS;
}

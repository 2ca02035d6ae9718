/*
 * A port device as add-device leaves it, for fixtures: created exclusive
 * with its record in the creation state, attached above `lower`, its six
 * locks named for the verifier's messages, the baseline pending-I/O
 * reference taken and Started set. RemovePort undoes it the way removal
 * does and says whether the count fell to zero.
 */
#pragma once

#include "driver/frame/port.h"
#include "driver/usb/configure.h"
#include "sim/ke/ke.h"

inline PDEVICE_OBJECT AddPort(PDRIVER_OBJECT driver, PDEVICE_OBJECT lower) {
  PDEVICE_OBJECT device = nullptr;
  if (IoCreateDevice(driver, sizeof(PortExtension), nullptr, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device) !=
      STATUS_SUCCESS) {
    return nullptr;
  }
  PortExtension* port = PortOf(device);
  InitializePortRecord(port, device);
  sim::ke::NameSpinLock(&port->ReadQueueLock, "ReadQueueLock");
  sim::ke::NameSpinLock(&port->RxBufferLock, "RxBufferLock");
  sim::ke::NameSpinLock(&port->TimeoutsLock, "TimeoutsLock");
  sim::ke::NameSpinLock(&port->WriteQueueLock, "WriteQueueLock");
  sim::ke::NameSpinLock(&port->EventLock, "EventLock");
  sim::ke::NameSpinLock(&port->IoCountLock, "IoCountLock");
  port->PhysicalDevice = lower;
  port->LowerDevice = IoAttachDeviceToDeviceStack(device, lower);
  device->Flags |= DO_DIRECT_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IncrementIoCount(device);
  port->Started = TRUE;
  return device;
}

inline bool RemovePort(PDEVICE_OBJECT device, PDEVICE_OBJECT lower) {
  bool drained = DecrementIoCount(device) == 0;
  ReleaseDescriptors(PortOf(device));
  IoDetachDevice(lower);
  IoDeleteDevice(device);
  return drained;
}

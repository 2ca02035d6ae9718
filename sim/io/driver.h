/*
 * Loading a driver into the simulated kernel: a driver object whose major
 * function table starts out pointing every entry at the I/O manager's
 * default routine (STATUS_INVALID_DEVICE_REQUEST), then DriverEntry.
 */
#pragma once

#include "driver/platform/platform.h"

namespace sim::io {

class LoadedDriver {
 public:
  // Calls entry at PASSIVE_LEVEL; Status() tells what it returned.
  explicit LoadedDriver(PDRIVER_INITIALIZE entry);
  // Calls the unload routine, if any, and releases the driver object.
  ~LoadedDriver();
  LoadedDriver(const LoadedDriver&) = delete;
  LoadedDriver& operator=(const LoadedDriver&) = delete;

  PDRIVER_OBJECT Object() const { return object_; }
  NTSTATUS Status() const { return status_; }

 private:
  PDRIVER_OBJECT object_;
  NTSTATUS status_;
};

// The I/O manager's answer to a major function the driver does not serve.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

}  // namespace sim::io

/*
 * A device that is gone: every request to it fails, with STATUS_DEVICE_NOT_CONNECTED
 * (or the status given) and USBD_STATUS_DEVICE_GONE.
 */
#pragma once

#include "sim/usb/devices/scripted.h"

namespace sim::usb {

class GoneDevice : public ScriptedDevice {
 public:
  explicit GoneDevice(NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED) { Unplug(status); }
};

}  // namespace sim::usb

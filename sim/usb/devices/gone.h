/*
 * A device that is gone: every request to it fails, with STATUS_NO_SUCH_DEVICE
 * (or the status given) and USBD_STATUS_DEVICE_GONE.
 */
#pragma once

#include "sim/usb/devices/scripted.h"

namespace sim::usb {

class GoneDevice : public ScriptedDevice {
 public:
  explicit GoneDevice(NTSTATUS status = STATUS_NO_SUCH_DEVICE) { Unplug(status); }
};

}  // namespace sim::usb

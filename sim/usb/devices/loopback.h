/*
 * A loopback device: every OUT transfer is accepted whole and its bytes
 * come back, as one chunk, on the first bulk IN endpoint. Everything the
 * scripted device offers (timing, failures, unplugging) applies too.
 */
#pragma once

#include "sim/usb/devices/scripted.h"

namespace sim::usb {

class LoopbackDevice : public ScriptedDevice {
 public:
  explicit LoopbackDevice(Descriptors descriptors = layouts::Expected()) : ScriptedDevice(std::move(descriptors)) {}

  TransferAnswer Answer(const Transfer& transfer) override;
};

}  // namespace sim::usb

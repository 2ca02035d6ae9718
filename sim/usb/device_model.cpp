#include "sim/usb/device_model.h"

#include "sim/ke/clock.h"
#include "sim/usb/bus_state.h"

namespace sim::usb {

ControlAnswer DeviceModel::GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) {
  (void)languageId;
  const Descriptors& descriptors = GetDescriptors();
  if (type == kDeviceDescriptorType && index == 0 && !descriptors.device.empty()) {
    return {Success(), descriptors.device};
  }
  if (type == kConfigurationDescriptorType && index < descriptors.configurations.size()) {
    return {Success(), descriptors.configurations[index]};
  }
  // A device answers a request for a descriptor it does not have with a
  // stall of the default pipe.
  return {Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), {}};
}

ControlAnswer DeviceModel::GetStatus() { return {Success(), {0, 0}}; }

Outcome DeviceModel::SetConfiguration(uint8_t value) {
  (void)value;
  return Success();
}

void DeviceModel::AnswerWith(std::shared_ptr<CompletionPolicy> policy) {
  {
    std::lock_guard<std::mutex> hold(policyLock_);
    policy_ = policy ? std::move(policy) : std::make_shared<FixedLatency>(0);
  }
  timing_ = Timing::Realistic;
  Changed();
}

std::shared_ptr<CompletionPolicy> DeviceModel::Policy() const {
  std::lock_guard<std::mutex> hold(policyLock_);
  return policy_;
}

void DeviceModel::Changed() {
  if (BusState* bus = bus_.load()) bus->Kick();
  clock::Settle();
}

}  // namespace sim::usb

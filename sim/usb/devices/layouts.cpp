#include "sim/usb/devices/layouts.h"

namespace sim::usb::layouts {
namespace {

const EndpointSpec kInterruptEndpoint{kInterruptIn, kInterrupt, kMaxPacket, 10};
const EndpointSpec kOutEndpoint{kBulkOut, kBulk, kMaxPacket};
const EndpointSpec kInEndpoint{kBulkIn, kBulk, kMaxPacket};

Descriptors WithConfiguration(const std::vector<InterfaceSpec>& interfaces) {
  return {MakeDeviceDescriptor(kVendorId, kProductId), {MakeConfigurationDescriptor(interfaces)}};
}

}  // namespace

Descriptors Expected() { return WithConfiguration({{0, {kInterruptEndpoint}}, {1, {kOutEndpoint, kInEndpoint}}}); }

Descriptors OneInterface() { return WithConfiguration({{0, {kInterruptEndpoint}}}); }

Descriptors InBeforeOut() { return WithConfiguration({{0, {kInterruptEndpoint}}, {1, {kInEndpoint, kOutEndpoint}}}); }

Descriptors TwoEndpointsOnInterface0() {
  return WithConfiguration(
      {{0, {kInterruptEndpoint, {0x83, kInterrupt, kMaxPacket, 10}}}, {1, {kOutEndpoint, kInEndpoint}}});
}

Descriptors InterfaceNumbers0And2() {
  return WithConfiguration({{0, {kInterruptEndpoint}}, {2, {kOutEndpoint, kInEndpoint}}});
}

Descriptors ClaimingMoreThanItHas(uint16_t extra) {
  Descriptors descriptors = Expected();
  Bytes& configuration = descriptors.configurations[0];
  WriteWord(&configuration[2], static_cast<uint16_t>(configuration.size() + extra));
  return descriptors;
}

}  // namespace sim::usb::layouts

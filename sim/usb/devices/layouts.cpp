#include "sim/usb/devices/layouts.h"

#include <cstddef>

namespace sim::usb::layouts {
namespace {

const EndpointSpec kInterruptEndpoint{kInterruptIn, kInterrupt, kMaxPacket, 10};
const EndpointSpec kOutEndpoint{kBulkOut, kBulk, kMaxPacket};
const EndpointSpec kInEndpoint{kBulkIn, kBulk, kMaxPacket};

Descriptors WithConfiguration(const std::vector<InterfaceSpec>& interfaces) {
  return {MakeDeviceDescriptor(kVendorId, kProductId), {MakeConfigurationDescriptor(interfaces)}};
}

// Offsets in the expected configuration image.
constexpr size_t kInterface1At = 25, kLastEndpointAt = 41;

// Cuts a descriptor of the configuration image down to `length` bytes and
// makes bLength and wTotalLength say so.
Descriptors Truncating(size_t at, uint8_t length) {
  Descriptors descriptors = Expected();
  Bytes& configuration = descriptors.configurations[0];
  configuration.erase(configuration.begin() + static_cast<std::ptrdiff_t>(at + length),
                      configuration.begin() + static_cast<std::ptrdiff_t>(at + configuration[at]));
  configuration[at] = length;
  WriteWord(&configuration[2], static_cast<uint16_t>(configuration.size()));
  return descriptors;
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

Descriptors ZeroLengthDescriptor() {
  Descriptors descriptors = Expected();
  descriptors.configurations[0][18] = 0;
  return descriptors;
}

Descriptors DescriptorRunningPastTheEnd() {
  Descriptors descriptors = Expected();
  descriptors.configurations[0][kLastEndpointAt] = 7 + 16;
  return descriptors;
}

Descriptors TotalLengthCuttingTheLastDescriptor() {
  Descriptors descriptors = Expected();
  WriteWord(&descriptors.configurations[0][2], static_cast<uint16_t>(kLastEndpointAt + 4));
  return descriptors;
}

Descriptors TruncatedInterface() { return Truncating(kInterface1At, 5); }

Descriptors TruncatedEndpoint() { return Truncating(kLastEndpointAt, 4); }

}  // namespace sim::usb::layouts

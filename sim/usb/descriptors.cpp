#include "sim/usb/descriptors.h"

#include <algorithm>
#include <set>

namespace sim::usb {

uint16_t ReadWord(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

void WriteWord(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>(value >> 8);
}

Bytes MakeDeviceDescriptor(uint16_t vendorId, uint16_t productId, uint8_t configurations) {
  Bytes image(kDeviceDescriptorSize, 0);
  image[0] = kDeviceDescriptorSize;
  image[1] = kDeviceDescriptorType;
  WriteWord(&image[2], 0x0200);  // bcdUSB 2.0
  image[4] = 0xFF;               // bDeviceClass: vendor specific
  image[7] = 64;                 // bMaxPacketSize0
  WriteWord(&image[8], vendorId);
  WriteWord(&image[10], productId);
  WriteWord(&image[12], 0x0100);  // bcdDevice
  image[17] = configurations;
  return image;
}

Bytes MakeConfigurationDescriptor(const std::vector<InterfaceSpec>& interfaces, uint8_t value) {
  Bytes image(kConfigurationDescriptorSize, 0);
  std::set<uint8_t> numbers;
  for (const InterfaceSpec& iface : interfaces) {
    numbers.insert(iface.number);
    size_t at = image.size();
    image.resize(at + kInterfaceDescriptorSize, 0);
    image[at] = kInterfaceDescriptorSize;
    image[at + 1] = kInterfaceDescriptorType;
    image[at + 2] = iface.number;
    image[at + 3] = iface.alternate;
    image[at + 4] = static_cast<uint8_t>(iface.endpoints.size());
    image[at + 5] = iface.interfaceClass;
    image[at + 6] = iface.subClass;
    image[at + 7] = iface.protocol;
    for (const EndpointSpec& endpoint : iface.endpoints) {
      at = image.size();
      image.resize(at + kEndpointDescriptorSize, 0);
      image[at] = kEndpointDescriptorSize;
      image[at + 1] = kEndpointDescriptorType;
      image[at + 2] = endpoint.address;
      image[at + 3] = endpoint.type;
      WriteWord(&image[at + 4], endpoint.maxPacket);
      image[at + 6] = endpoint.interval;
    }
  }
  image[0] = kConfigurationDescriptorSize;
  image[1] = kConfigurationDescriptorType;
  WriteWord(&image[2], static_cast<uint16_t>(image.size()));
  image[4] = static_cast<uint8_t>(numbers.size());
  image[5] = value;
  image[7] = 0x80;  // bmAttributes: bus powered
  image[8] = 50;    // MaxPower: 100 mA
  return image;
}

std::optional<DescriptorAt> DescriptorWalk::Next() {
  if (at_ == nullptr || end_ - at_ < 2) return std::nullopt;
  uint8_t length = at_[0];
  if (length < 2 || length > end_ - at_) {
    at_ = nullptr;  // malformed: nothing after it can be found reliably
    return std::nullopt;
  }
  DescriptorAt found{at_, length, at_[1]};
  at_ += length;
  return found;
}

const InterfaceInfo* ConfigurationInfo::Find(uint8_t number, uint8_t alternate) const {
  for (const InterfaceInfo& iface : interfaces) {
    if (iface.number == number && iface.alternate == alternate) return &iface;
  }
  return nullptr;
}

std::optional<ConfigurationInfo> ParseConfiguration(const Bytes& image) {
  if (image.size() < kConfigurationDescriptorSize || image[0] < kConfigurationDescriptorSize ||
      image[1] != kConfigurationDescriptorType) {
    return std::nullopt;
  }
  ConfigurationInfo configuration{image[5], image[4], {}};
  size_t total = std::min<size_t>(image.size(), ReadWord(&image[2]));
  DescriptorWalk walk(image.data(), image.data() + total);
  while (std::optional<DescriptorAt> found = walk.Next()) {
    const uint8_t* at = found->at;
    if (found->type == kInterfaceDescriptorType && found->length >= kInterfaceDescriptorSize) {
      configuration.interfaces.push_back({at[2], at[3], at[5], at[6], at[7], at[4], {}});
    } else if (found->type == kEndpointDescriptorType && found->length >= kEndpointDescriptorSize &&
               !configuration.interfaces.empty()) {
      configuration.interfaces.back().endpoints.push_back({at[2], at[3], ReadWord(&at[4]), at[6]});
    }
  }
  return configuration;
}

}  // namespace sim::usb

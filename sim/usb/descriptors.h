/*
 * USB descriptors in plain C++: building the byte images a device reports,
 * and walking such images without ever reading past the end of the buffer
 * or past a descriptor's own bLength. The walk is shared by the USBD library
 * routines (which walk a driver's buffer) and by the bus (which walks what
 * its device model reports).
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim::usb {

using Bytes = std::vector<uint8_t>;

// Descriptor types and sizes of USB 2.0, chapter 9.
constexpr uint8_t kDeviceDescriptorType = 1;
constexpr uint8_t kConfigurationDescriptorType = 2;
constexpr uint8_t kStringDescriptorType = 3;
constexpr uint8_t kInterfaceDescriptorType = 4;
constexpr uint8_t kEndpointDescriptorType = 5;
constexpr size_t kDeviceDescriptorSize = 18;
constexpr size_t kConfigurationDescriptorSize = 9;
constexpr size_t kInterfaceDescriptorSize = 9;
constexpr size_t kEndpointDescriptorSize = 7;

// Endpoint transfer types (bmAttributes bits 1..0) and the IN direction bit.
constexpr uint8_t kControl = 0, kIsochronous = 1, kBulk = 2, kInterrupt = 3;
constexpr uint8_t kDirectionIn = 0x80;

// What a device reports, by descriptor type and index.
struct Descriptors {
  Bytes device;                       // the device descriptor
  std::vector<Bytes> configurations;  // index 0 is the first configuration
};

// --- Building ----------------------------------------------------------------
struct EndpointSpec {
  uint8_t address;  // bEndpointAddress, kDirectionIn set for IN
  uint8_t type;     // kBulk, kInterrupt, ...
  uint16_t maxPacket = 64;
  uint8_t interval = 0;
};

struct InterfaceSpec {
  uint8_t number;
  std::vector<EndpointSpec> endpoints;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0xFF;  // vendor specific
  uint8_t subClass = 0;
  uint8_t protocol = 0;
};

Bytes MakeDeviceDescriptor(uint16_t vendorId, uint16_t productId, uint8_t configurations = 1);
// A configuration descriptor followed by its interfaces and endpoints, in the
// order given. wTotalLength is the real length; bNumInterfaces counts the
// distinct interface numbers.
Bytes MakeConfigurationDescriptor(const std::vector<InterfaceSpec>& interfaces, uint8_t value = 1);

// Little-endian 16-bit field at `offset` (a descriptor's wTotalLength etc.).
uint16_t ReadWord(const uint8_t* at);
void WriteWord(uint8_t* at, uint16_t value);

// --- Walking -------------------------------------------------------------------
// One descriptor found by a walk: where it starts and its first two bytes.
struct DescriptorAt {
  const uint8_t* at;
  uint8_t length;
  uint8_t type;
};

// Walks the descriptors in [begin, end). Next() gives each descriptor whose
// bLength bytes lie wholly inside the range; it stops for good at the end, at
// a descriptor shorter than its own two-byte header (bLength 0 or 1, which
// would never advance), and at one whose bLength reaches past the end.
class DescriptorWalk {
 public:
  DescriptorWalk(const uint8_t* begin, const uint8_t* end) : at_(begin), end_(end) {}
  std::optional<DescriptorAt> Next();

 private:
  const uint8_t* at_;
  const uint8_t* end_;
};

// --- A configuration as the bus sees it --------------------------------------------
struct EndpointInfo {
  uint8_t address;
  uint8_t attributes;
  uint16_t maxPacket;
  uint8_t interval;
};

struct InterfaceInfo {
  uint8_t number;
  uint8_t alternate;
  uint8_t interfaceClass;
  uint8_t subClass;
  uint8_t protocol;
  uint8_t declaredEndpoints;            // bNumEndpoints
  std::vector<EndpointInfo> endpoints;  // the endpoint descriptors that follow it
};

struct ConfigurationInfo {
  uint8_t value;                          // bConfigurationValue
  uint8_t numInterfaces;                  // bNumInterfaces
  std::vector<InterfaceInfo> interfaces;  // every setting, in descriptor order
  const InterfaceInfo* Find(uint8_t number, uint8_t alternate) const;
};

// Reads a configuration image, bounded by both its size and its wTotalLength;
// nothing if it does not start with a configuration descriptor. Descriptors
// too short for their type are skipped.
std::optional<ConfigurationInfo> ParseConfiguration(const Bytes& image);

}  // namespace sim::usb

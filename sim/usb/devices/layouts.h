/*
 * Descriptor sets for the simulated devices: the layout the driver expects
 * and the unexpected or malformed ones its tests need.
 *
 * The expected layout: a device descriptor with the test VID/PID and one
 * configuration (value 1) whose interface 0 has one interrupt IN endpoint
 * and whose interface 1 has a bulk OUT then a bulk IN endpoint, all with a
 * maximum packet of 64.
 */
#pragma once

#include "sim/usb/descriptors.h"

namespace sim::usb::layouts {

// pid.codes' vendor ID with its test product ID.
constexpr uint16_t kVendorId = 0x1209;
constexpr uint16_t kProductId = 0x0001;

constexpr uint8_t kInterruptIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kBulkIn = 0x82;
constexpr uint16_t kMaxPacket = 64;

Descriptors Expected();
// Interface 0 with the interrupt endpoint only; no interface 1.
Descriptors OneInterface();
// Interface 1 lists its bulk IN endpoint before its bulk OUT endpoint.
Descriptors InBeforeOut();
// Interface 0 has two endpoints (interrupt IN and a second interrupt IN).
Descriptors TwoEndpointsOnInterface0();
// Interfaces numbered 0 and 2 (bNumInterfaces 2), none numbered 1.
Descriptors InterfaceNumbers0And2();
// The expected layout, but the configuration's wTotalLength claims `extra`
// bytes more than the descriptor holds.
Descriptors ClaimingMoreThanItHas(uint16_t extra);

// Malformed chains: the expected layout with one defect each, as a hostile
// or broken device might report it. (The expected image is 48 bytes: the
// configuration at 0, interface 0 at 9, its endpoint at 18, interface 1 at
// 25, its endpoints at 34 and 41.)
// Interface 0's endpoint has bLength 0 (a walk by bLength never advances).
Descriptors ZeroLengthDescriptor();
// The last endpoint's bLength reaches past wTotalLength.
Descriptors DescriptorRunningPastTheEnd();
// wTotalLength ends inside the last endpoint descriptor.
Descriptors TotalLengthCuttingTheLastDescriptor();
// Interface 1 is a 5-byte descriptor (an interface descriptor has 9).
Descriptors TruncatedInterface();
// Interface 1's second endpoint is a 4-byte descriptor (an endpoint has 7).
Descriptors TruncatedEndpoint();

}  // namespace sim::usb::layouts

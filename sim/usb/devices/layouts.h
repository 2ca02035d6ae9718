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

}  // namespace sim::usb::layouts

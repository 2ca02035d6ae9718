/*
 * The USB driver interface library (USBD.SYS) routines a function driver
 * calls to find its interfaces and to build its select-configuration
 * request. Both walk a configuration descriptor that the driver read from
 * the device, so both treat it as untrusted: nothing is read beyond its
 * wTotalLength or beyond any descriptor's bLength, and a malformed
 * descriptor ends the walk instead of looping or running off the end. The
 * real library is not so careful, so a malformed chain handed to the parse
 * routine is also reported: the driver should have refused it.
 *
 * They may be called at IRQL <= DISPATCH_LEVEL; the request is allocated
 * from non-paged pool and the caller frees it with ExFreePool.
 */
#include "sim/usb/descriptors.h"

#include "driver/platform/platform.h"
#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <cstring>
#include <string>

namespace sim::usb {
namespace {

// The end of a configuration descriptor as its wTotalLength gives it.
const uint8_t* EndOf(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  auto begin = reinterpret_cast<const uint8_t*>(configuration);
  return begin + ReadWord(begin + 2);
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

// An interface descriptor wholly inside the configuration descriptor, found
// by walking it (so a pointer into the middle of some other descriptor does
// not count).
bool IsInterfaceOf(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSB_INTERFACE_DESCRIPTOR iface) {
  DescriptorWalk walk(reinterpret_cast<const uint8_t*>(configuration), EndOf(configuration));
  while (std::optional<DescriptorAt> found = walk.Next()) {
    if (found->at == reinterpret_cast<const uint8_t*>(iface)) {
      return found->type == kInterfaceDescriptorType && found->length >= kInterfaceDescriptorSize;
    }
  }
  return false;
}

// What is wrong with a configuration descriptor's chain, or nothing: within
// wTotalLength, a whole configuration descriptor first, then descriptors
// each at least two bytes long, none reaching past wTotalLength, interface
// and endpoint descriptors at least as long as their structures.
std::optional<std::string> ChainDefect(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  auto begin = reinterpret_cast<const uint8_t*>(configuration);
  const size_t total = ReadWord(begin + 2);
  if (total < kConfigurationDescriptorSize) {
    return "wTotalLength " + std::to_string(total) + " is shorter than a configuration descriptor";
  }
  if (begin[0] < kConfigurationDescriptorSize || begin[1] != kConfigurationDescriptorType) {
    return "it does not start with a whole configuration descriptor (bLength " + std::to_string(begin[0]) +
           ", bDescriptorType " + std::to_string(begin[1]) + ")";
  }
  for (size_t at = 0; at < total;) {
    const std::string where = "the descriptor at offset " + std::to_string(at);
    if (total - at < 2) return where + " is cut off by wTotalLength " + std::to_string(total);
    const size_t length = begin[at];
    const uint8_t type = begin[at + 1];
    if (length < 2) return where + " has bLength " + std::to_string(length);
    if (length > total - at) {
      return where + " (bLength " + std::to_string(length) + ") runs past wTotalLength " + std::to_string(total);
    }
    if (type == kInterfaceDescriptorType && length < kInterfaceDescriptorSize) {
      return where + " is an interface descriptor of " + std::to_string(length) + " bytes";
    }
    if (type == kEndpointDescriptorType && length < kEndpointDescriptorSize) {
      return where + " is an endpoint descriptor of " + std::to_string(length) + " bytes";
    }
    at += length;
  }
  return std::nullopt;
}

bool CheckIrql(const char* routine) {
  if (ke::CurrentIrql() <= DISPATCH_LEVEL) return true;
  verifier::Report(verifier::Rule::IrqlTooHigh,
                   std::string(routine) + " called at IRQL " + std::to_string(ke::CurrentIrql()));
  return false;
}

}  // namespace
}  // namespace sim::usb

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  using namespace sim::usb;
  sim::usb::CheckIrql("USBD_ParseConfigurationDescriptorEx");
  if (ConfigurationDescriptor == nullptr) return nullptr;
  // The real library walks the chain by bLength up to wTotalLength as it
  // stands: on a malformed chain it reads past the descriptor or loops for
  // ever. A driver must check what its device sent before parsing it.
  if (std::optional<std::string> defect = ChainDefect(ConfigurationDescriptor)) {
    sim::verifier::Report(sim::verifier::Rule::InvalidArgument,
                          "USBD_ParseConfigurationDescriptorEx given a malformed configuration descriptor: " + *defect);
  }
  auto begin = reinterpret_cast<const uint8_t*>(ConfigurationDescriptor);
  const uint8_t* end = EndOf(ConfigurationDescriptor);
  auto start = static_cast<const uint8_t*>(StartPosition);
  if (start < begin || start >= end) return nullptr;

  DescriptorWalk walk(start, end);
  while (std::optional<DescriptorAt> found = walk.Next()) {
    if (found->type != kInterfaceDescriptorType || found->length < kInterfaceDescriptorSize) continue;
    auto iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<uint8_t*>(found->at));
    if (Matches(InterfaceNumber, iface->bInterfaceNumber) && Matches(AlternateSetting, iface->bAlternateSetting) &&
        Matches(InterfaceClass, iface->bInterfaceClass) && Matches(InterfaceSubClass, iface->bInterfaceSubClass) &&
        Matches(InterfaceProtocol, iface->bInterfaceProtocol)) {
      return iface;
    }
  }
  return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  using namespace sim::usb;
  sim::usb::CheckIrql("USBD_CreateConfigurationRequestEx");
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;

  // The request: a head, then one interface record per list entry, each
  // sized for its descriptor's endpoints (the record holds room for one).
  const size_t head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  size_t size = head;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    // A descriptor that is not one of this configuration's interfaces would
    // be read outside the configuration; the real library would read it
    // anyway, this one refuses to build the request.
    if (!IsInterfaceOf(ConfigurationDescriptor, entry->InterfaceDescriptor)) return nullptr;
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    if (size > 0xFFFF) return nullptr;  // the URB's Length is 16 bits
  }

  auto urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, size));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto at = reinterpret_cast<uint8_t*>(urb) + head;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    auto iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    iface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
    iface->InterfaceNumber = descriptor->bInterfaceNumber;
    iface->AlternateSetting = descriptor->bAlternateSetting;
    iface->NumberOfPipes = descriptor->bNumEndpoints;
    // Pipes[] reaches past its one declared element, as the structure intends.
    PUSBD_PIPE_INFORMATION pipes = iface->Pipes;
    for (ULONG pipe = 0; pipe < iface->NumberOfPipes; ++pipe) {
      pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      pipes[pipe].PipeFlags = 0;
    }
    entry->Interface = iface;
    at += iface->Length;
  }
  return urb;
}

}  // extern "C"

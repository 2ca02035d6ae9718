/*
 * Device interfaces: IoRegisterDeviceInterface names an interface of a
 * device node as Windows names it ("\??\USB#VID_0403&PID_6001#...#{class}"),
 * giving the caller a copy of the name in pool it must free (ExFreePool);
 * IoSetDeviceInterfaceState enables and disables it. Registrations outlive
 * the device, as they do in the registry; the enabled state does not.
 */
#include "sim/pnp/pnp.h"

#include "sim/cm/registry.h"
#include "sim/ob/namespace.h"
#include "sim/verifier/verifier.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace sim::pnp {
namespace {

std::mutex g_lock;
std::vector<Interface> g_interfaces;  // in the order registered

std::u16string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  std::u16string wide;
  for (const char* c = text; *c != 0; ++c) wide.push_back(static_cast<char16_t>(*c));
  return wide;
}

std::u16string LinkNameOf(const std::u16string& instanceId, const GUID& guid, const std::u16string& reference) {
  std::u16string name = u"\\??\\" + instanceId;
  for (size_t i = 4; i < name.size(); ++i) {
    if (name[i] == u'\\') name[i] = u'#';
  }
  name += u"#" + GuidText(guid);
  if (!reference.empty()) name += u"\\" + reference;
  return name;
}

// Needs g_lock.
Interface* FindLocked(const std::u16string& symbolicLink) {
  std::u16string folded = ob::Fold(symbolicLink);
  for (Interface& found : g_interfaces) {
    if (ob::Fold(found.symbolicLink) == folded) return &found;
  }
  return nullptr;
}

bool NamesArePresent(const void* first, const void* second, const char* routine, const char* what) {
  if (first != nullptr && second != nullptr) return true;
  verifier::Report(verifier::Rule::InvalidArgument, std::string(routine) + " with no " + what);
  return false;
}

}  // namespace

std::vector<Interface> Interfaces(const GUID& interfaceClass) {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<Interface> matching;
  for (const Interface& registered : g_interfaces) {
    if (std::memcmp(&registered.interfaceClass, &interfaceClass, sizeof(GUID)) == 0) matching.push_back(registered);
  }
  return matching;
}

std::optional<Interface> FindInterface(const std::u16string& symbolicLink) {
  std::lock_guard<std::mutex> hold(g_lock);
  Interface* found = FindLocked(symbolicLink);
  if (found == nullptr) return std::nullopt;
  return *found;
}

PDEVICE_OBJECT EnabledInterfaceDevice(const std::u16string& symbolicLink) {
  std::lock_guard<std::mutex> hold(g_lock);
  Interface* found = FindLocked(symbolicLink);
  return found != nullptr && found->enabled ? found->pdo : nullptr;
}

std::vector<std::u16string> DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<std::u16string> disabled;
  for (Interface& registered : g_interfaces) {
    if (registered.pdo != pdo || !registered.enabled) continue;
    registered.enabled = false;
    disabled.push_back(registered.symbolicLink);
  }
  return disabled;
}

void DetachInterfaces(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> hold(g_lock);
  for (Interface& registered : g_interfaces) {
    if (registered.pdo == pdo) registered.pdo = nullptr;
  }
}

void ReportEnabledInterfaces() {
  std::lock_guard<std::mutex> hold(g_lock);
  for (Interface& registered : g_interfaces) {
    if (!registered.enabled) continue;
    verifier::Report(verifier::Rule::DeviceInterfaceLeftEnabled,
                     "device interface " + ob::Narrow(registered.symbolicLink) +
                         " is still enabled at the end of the test (IoSetDeviceInterfaceState FALSE)");
    registered.enabled = false;
  }
}

void ForgetInterfaces() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_interfaces.clear();
}

}  // namespace sim::pnp

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  using namespace sim;
  cm::CheckIrql("IoRegisterDeviceInterface");
  if (!pnp::NamesArePresent(InterfaceClassGuid, SymbolicLinkName, "IoRegisterDeviceInterface",
                            "interface class or no SymbolicLinkName")) {
    return STATUS_INVALID_PARAMETER;
  }
  if (std::optional<NTSTATUS> injected = pnp::TakeFailure(pnp::Routine::RegisterDeviceInterface)) return *injected;
  if (!pnp::IsDeviceNode(PhysicalDeviceObject)) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string reference = ob::FromUnicode(ReferenceString);
  std::u16string name = pnp::LinkNameOf(pnp::InstanceId(PhysicalDeviceObject), *InterfaceClassGuid, reference);

  // The caller's copy of the name, with a terminating null.
  size_t bytes = name.size() * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
  auto buffer = static_cast<PWSTR>(ExAllocatePool(PagedPool, bytes + sizeof(WCHAR)));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, name.data(), bytes);
  buffer[name.size()] = 0;
  {
    // Registering again gives the same name and keeps the state.
    std::lock_guard<std::mutex> hold(pnp::g_lock);
    if (pnp::Interface* known = pnp::FindLocked(name)) {
      known->pdo = PhysicalDeviceObject;
    } else {
      pnp::g_interfaces.push_back({name, *InterfaceClassGuid, reference, PhysicalDeviceObject, false});
    }
  }
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  using namespace sim;
  cm::CheckIrql("IoSetDeviceInterfaceState");
  if (!pnp::NamesArePresent(SymbolicLinkName, SymbolicLinkName != nullptr ? SymbolicLinkName->Buffer : nullptr,
                            "IoSetDeviceInterfaceState", "SymbolicLinkName")) {
    return STATUS_INVALID_PARAMETER;
  }
  if (std::optional<NTSTATUS> injected = pnp::TakeFailure(pnp::Routine::SetDeviceInterfaceState)) return *injected;
  std::lock_guard<std::mutex> hold(pnp::g_lock);
  pnp::Interface* found = pnp::FindLocked(ob::FromUnicode(SymbolicLinkName));
  if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  bool enable = Enable != FALSE;
  // Enabling twice is reported as the name already existing (a success
  // code); disabling an interface that is not enabled finds no name.
  if (found->enabled == enable) return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
  // The device node must still be there to enable its interface.
  if (enable && found->pdo == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  found->enabled = enable;
  return STATUS_SUCCESS;
}

}  // extern "C"

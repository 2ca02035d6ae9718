/*
 * Device nodes: what the Plug and Play manager knows of each physical
 * device object it enumerated (the instance identifier and the hardware
 * parameters key), and IoOpenDeviceRegistryKey, which opens that key for a
 * driver. Only a PDO has a node: a driver that passes its own device object
 * gets STATUS_INVALID_DEVICE_REQUEST, as from Windows.
 */
#include "sim/pnp/pnp.h"

#include "sim/cm/registry.h"
#include "sim/ob/namespace.h"
#include "sim/verifier/injection.h"
#include "sim/verifier/verifier.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace sim::pnp {
namespace {

struct DeviceNode {
  std::u16string instanceId;
  std::u16string parametersKey;
};

std::mutex g_lock;
std::map<PDEVICE_OBJECT, DeviceNode> g_nodes;
unsigned g_usbPorts;  // USB device nodes made since Reset
verifier::FailurePlan g_failures[3];  // by Routine

std::u16string Widen(const char* text) {
  std::u16string wide;
  for (const char* c = text; *c != 0; ++c) wide.push_back(static_cast<char16_t>(*c));
  return wide;
}

}  // namespace

std::u16string UsbInstanceId(uint16_t vendorId, uint16_t productId, const std::u16string& instance) {
  char text[40];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X\\", vendorId, productId);
  return Widen(text) + instance;
}

std::u16string ParametersKeyOf(const std::u16string& instanceId) {
  return cm::kEnum + u"\\" + instanceId + u"\\Device Parameters";
}

void RegisterUsbDevice(PDEVICE_OBJECT pdo, uint16_t vendorId, uint16_t productId) {
  std::u16string instanceId;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    // As a hub names a device without a serial number: the parent's
    // identifier, then the port.
    char instance[32];
    std::snprintf(instance, sizeof instance, "6&1f2e3d4c&0&%u", ++g_usbPorts);
    instanceId = UsbInstanceId(vendorId, productId, Widen(instance));
    g_nodes[pdo] = {instanceId, ParametersKeyOf(instanceId)};
  }
  cm::CreateKey(ParametersKeyOf(instanceId));
}

void ForgetDeviceNode(PDEVICE_OBJECT pdo) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_nodes.erase(pdo);
  }
  DetachInterfaces(pdo);
}

bool IsDeviceNode(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_nodes.count(pdo) != 0;
}

void SetInstanceId(PDEVICE_OBJECT pdo, const std::u16string& instanceId) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_nodes[pdo] = {instanceId, ParametersKeyOf(instanceId)};
  }
  cm::CreateKey(ParametersKeyOf(instanceId));
}

void SetParametersKey(PDEVICE_OBJECT pdo, const std::u16string& path) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_nodes[pdo].parametersKey = path;
  }
  cm::CreateKey(path);
}

std::u16string InstanceId(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_nodes.find(pdo);
  return found == g_nodes.end() ? std::u16string() : found->second.instanceId;
}

std::u16string ParametersKey(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_nodes.find(pdo);
  return found == g_nodes.end() ? std::u16string() : found->second.parametersKey;
}

void FailNext(Routine routine, unsigned count, NTSTATUS status, unsigned after) {
  g_failures[static_cast<int>(routine)].FailNext(count, status, after);
}

std::optional<NTSTATUS> TakeFailure(Routine routine) { return g_failures[static_cast<int>(routine)].Take(); }

void Reset() {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_nodes.clear();
    g_usbPorts = 0;
  }
  for (verifier::FailurePlan& plan : g_failures) plan.Clear();
  ForgetInterfaces();
}

}  // namespace sim::pnp

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
  using namespace sim;
  cm::CheckIrql("IoOpenDeviceRegistryKey");
  if (DevInstRegKey == nullptr) {
    verifier::Report(verifier::Rule::InvalidArgument, "IoOpenDeviceRegistryKey with no DevInstRegKey");
    return STATUS_INVALID_PARAMETER;
  }
  switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE:
      break;
    case PLUGPLAY_REGKEY_DRIVER:
    case PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
    case PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
      verifier::Report(verifier::Rule::UnsupportedCall,
                       "IoOpenDeviceRegistryKey of key type " + std::to_string(DevInstKeyType) +
                           ": the simulated kernel has only the hardware key (PLUGPLAY_REGKEY_DEVICE)");
      return STATUS_NOT_IMPLEMENTED;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  if (std::optional<NTSTATUS> injected = pnp::TakeFailure(pnp::Routine::OpenDeviceRegistryKey)) return *injected;
  std::u16string path = pnp::ParametersKey(DeviceObject);
  if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  // Windows makes the parameters key on first use.
  // The handle grants DesiredAccess, and only that (see cm::OpenKey).
  return cm::OpenKey(path, true, DevInstRegKey, DesiredAccess);
}

}  // extern "C"

/*
 * The Plug and Play manager's records, as the rest of the simulation and
 * the tests see them: the device node of each physical device object (its
 * instance identifier and its hardware parameters key), and the device
 * interfaces registered for it with their enabled state.
 *
 * The driver's side is the platform's routines: IoOpenDeviceRegistryKey
 * (device_node.cpp), IoRegisterDeviceInterface and IoSetDeviceInterfaceState
 * (interface.cpp), all at PASSIVE_LEVEL. An interface still enabled when
 * its device is removed, or at the end of a test, is reported.
 */
#pragma once

#include "driver/platform/platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::pnp {

// GUID_DEVINTERFACE_COMPORT, for tests; the platform header only declares
// it, and the driver that uses it defines it.
constexpr GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// --- Device nodes ----------------------------------------------------------------
// "USB\VID_0403&PID_6001\<instance>": a USB device's instance identifier.
std::u16string UsbInstanceId(uint16_t vendorId, uint16_t productId, const std::u16string& instance);
// The hardware parameters key Windows gives a device instance:
// \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Enum\<instance id>\Device Parameters
std::u16string ParametersKeyOf(const std::u16string& instanceId);

// Makes `pdo` a device node with a USB instance identifier of its own (the
// n-th such node since the kernel was reset sits on hub port n) and creates
// its parameters key. The simulated USB bus does this for its PDO.
void RegisterUsbDevice(PDEVICE_OBJECT pdo, uint16_t vendorId, uint16_t productId);
// The PDO is going away: its node goes, its interfaces stay registered (as
// they stay in the registry) but no longer lead to it.
void ForgetDeviceNode(PDEVICE_OBJECT pdo);
bool IsDeviceNode(PDEVICE_OBJECT pdo);

// Test side. A new instance identifier moves the parameters key to the one
// Windows would give it; SetParametersKey names the key freely (one without
// "\Device Parameters", or an over-long one). Both create the key.
void SetInstanceId(PDEVICE_OBJECT pdo, const std::u16string& instanceId);
void SetParametersKey(PDEVICE_OBJECT pdo, const std::u16string& path);
std::u16string InstanceId(PDEVICE_OBJECT pdo);
std::u16string ParametersKey(PDEVICE_OBJECT pdo);

// --- Device interfaces ---------------------------------------------------------------
struct Interface {
  std::u16string symbolicLink;  // as IoRegisterDeviceInterface returns it
  GUID interfaceClass;
  std::u16string referenceString;
  PDEVICE_OBJECT pdo;  // null once the device node is gone
  bool enabled;
};
// The interfaces of a class, in the order registered.
std::vector<Interface> Interfaces(const GUID& interfaceClass);
std::optional<Interface> FindInterface(const std::u16string& symbolicLink);
// The PDO an enabled interface's name leads to (an application opening it);
// null for an unknown or disabled interface.
PDEVICE_OBJECT EnabledInterfaceDevice(const std::u16string& symbolicLink);
// Disables the interfaces of a PDO that are still enabled and returns their names.
std::vector<std::u16string> DisableInterfacesOf(PDEVICE_OBJECT pdo);

// --- Failure injection ------------------------------------------------------------------
enum class Routine { OpenDeviceRegistryKey, RegisterDeviceInterface, SetDeviceInterfaceState };
// The next `count` calls of a routine (after `after` calls that go through)
// fail with `status` and change nothing.
void FailNext(Routine routine, unsigned count, NTSTATUS status, unsigned after = 0);
std::optional<NTSTATUS> TakeFailure(Routine routine);

// The end-of-test check: interfaces still enabled are reported and disabled.
void ReportEnabledInterfaces();
// No device nodes, no interfaces, no injected failures.
void Reset();

// --- Between the component's files -------------------------------------------------------
// The interfaces of a PDO that goes away no longer lead to it.
void DetachInterfaces(PDEVICE_OBJECT pdo);
void ForgetInterfaces();

}  // namespace sim::pnp

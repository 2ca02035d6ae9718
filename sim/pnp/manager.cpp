/*
 * The Plug and Play manager's requests: AddDevice, then IRP_MJ_PNP requests
 * to the top of the stack, each waited for as Windows' PnP thread waits.
 */
#include "sim/pnp/manager.h"

#include "sim/io/io.h"
#include "sim/io/request.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/ke/stack.h"
#include "sim/ob/namespace.h"
#include "sim/pnp/pnp.h"
#include "sim/verifier/verifier.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace sim::pnp {
namespace {

std::string DeviceText(PDEVICE_OBJECT device) {
  char text[48];
  std::snprintf(text, sizeof text, "device %p", static_cast<void*>(device));
  return text;
}

// The lowest device above the PDO still marked initializing, or null.
PDEVICE_OBJECT StillInitializing(PDEVICE_OBJECT pdo) {
  for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != nullptr; device = device->AttachedDevice) {
    if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) return device;
  }
  return nullptr;
}

// The PnP thread waits for the request. Deterministically that means
// letting virtual time run to whatever can still complete it.
bool WaitFor(const io::Request& request) {
  if (ke::Concurrent()) return request.WaitCompleted(ke::WatchdogSeconds() * 1000);
  while (!request.Completed() && clock::FireNext(std::numeric_limits<int64_t>::max())) {
  }
  return request.Completed();
}

}  // namespace

PDEVICE_OBJECT Manager::Top() const {
  PDEVICE_OBJECT device = pdo_;
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

NTSTATUS Manager::AddDevice(PDRIVER_OBJECT driver) {
  ke::CheckMayWait("the PnP manager's AddDevice call");
  PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
  if (addDevice == nullptr) {
    verifier::Report(verifier::Rule::UnsupportedCall,
                     "the PnP manager was asked to add a device of a driver that set no AddDevice routine");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  KIRQL irql = ke::CurrentIrql();
  NTSTATUS status;
  ke::CallDriverRoutine("AddDevice", [&] { status = addDevice(driver, pdo_); });
  if (ke::CurrentIrql() != irql) {
    verifier::Report(verifier::Rule::IrqlNotRestored, "AddDevice returned at IRQL " + std::to_string(ke::CurrentIrql()));
  }
  if (NT_SUCCESS(status)) {
    if (PDEVICE_OBJECT initializing = StillInitializing(pdo_)) {
      verifier::Report(verifier::Rule::DeviceStillInitializing,
                       "AddDevice returned with DO_DEVICE_INITIALIZING still set on " + DeviceText(initializing) +
                           ": no request may reach it, and nothing can attach above it");
    }
  }
  return status;
}

NTSTATUS Manager::Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill) {
  ke::CheckMayWait("the PnP manager");
  if (PDEVICE_OBJECT initializing = StillInitializing(pdo_)) {
    verifier::Report(verifier::Rule::DeviceStillInitializing,
                     std::string(MinorName(minor)) + " not sent: " + DeviceText(initializing) +
                         " in the stack still has DO_DEVICE_INITIALIZING set");
    return STATUS_NO_SUCH_DEVICE;
  }
  io::Request request(Top(), IRP_MJ_PNP, minor);
  request.Irp()->RequestorMode = KernelMode;
  if (fill) fill(request.Stack());
  request.Send();
  if (!WaitFor(request)) {
    verifier::Report(verifier::Rule::WaitNeverEnds,
                     std::string("the PnP manager waits for ") + MinorName(minor) + ", which no one will complete");
    return STATUS_PENDING;
  }
  return request.Status();
}

NTSTATUS Manager::Start() {
  // No resources: a USB device has none of its own.
  return Send(IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION stack) {
    stack->Parameters.StartDevice.AllocatedResources = nullptr;
    stack->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
  });
}

void Manager::PresetCapabilities(PDEVICE_CAPABILITIES capabilities) {
  std::memset(capabilities, 0, sizeof *capabilities);
  capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  capabilities->Version = 1;
  capabilities->Address = 0xFFFFFFFF;
  capabilities->UINumber = 0xFFFFFFFF;
}

NTSTATUS Manager::QueryCapabilities(PDEVICE_CAPABILITIES capabilities) {
  if (capabilities == nullptr) {
    PresetCapabilities(&capabilities_);
    capabilities = &capabilities_;
  }
  return Send(IRP_MN_QUERY_CAPABILITIES, [capabilities](PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
  });
}

NTSTATUS Manager::QueryRemove() { return Send(IRP_MN_QUERY_REMOVE_DEVICE); }
NTSTATUS Manager::CancelRemove() { return Send(IRP_MN_CANCEL_REMOVE_DEVICE); }
NTSTATUS Manager::QueryStop() { return Send(IRP_MN_QUERY_STOP_DEVICE); }
NTSTATUS Manager::CancelStop() { return Send(IRP_MN_CANCEL_STOP_DEVICE); }
NTSTATUS Manager::Stop() { return Send(IRP_MN_STOP_DEVICE); }
NTSTATUS Manager::SurpriseRemove() { return Send(IRP_MN_SURPRISE_REMOVAL); }

NTSTATUS Manager::Remove() {
  NTSTATUS status = Send(IRP_MN_REMOVE_DEVICE);
  for (const std::u16string& name : DisableInterfacesOf(pdo_)) {
    verifier::Report(verifier::Rule::DeviceInterfaceLeftEnabled,
                     "device interface " + ob::Narrow(name) +
                         " is still enabled after IRP_MN_REMOVE_DEVICE (IoSetDeviceInterfaceState FALSE)");
  }
  return status;
}

NTSTATUS Manager::Plug(PDRIVER_OBJECT driver) {
  NTSTATUS status = AddDevice(driver);
  if (!NT_SUCCESS(status)) return status;
  status = Start();
  if (!NT_SUCCESS(status)) {
    Remove();
    return status;
  }
  return QueryCapabilities();
}

const char* MinorName(UCHAR minor) {
  static const char* const names[] = {
      "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE",
      "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE",
      "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE", "IRP_MN_QUERY_CAPABILITIES",
      "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
      "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "(0x0E)", "IRP_MN_READ_CONFIG", "IRP_MN_WRITE_CONFIG",
      "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID", "IRP_MN_QUERY_PNP_DEVICE_STATE",
      "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL"};
  return minor < sizeof names / sizeof names[0] ? names[minor] : "a Plug and Play request";
}

}  // namespace sim::pnp

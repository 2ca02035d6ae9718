/*
 * Device objects: creation with a zeroed extension and a name in the object
 * namespace, stacking with IoAttachDeviceToDeviceStack (refused above a
 * device still initializing, as Windows refuses it), and deletion, which
 * checks that the device is no longer attached or referenced and that no
 * timer or DPC in its extension is still pending. Devices left at the end of
 * a test, or when their driver unloads, are reported and released.
 */
#include "sim/ex/pool.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/ob/namespace.h"
#include "sim/verifier/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace sim::io {
namespace {

struct DeviceRecord {
  std::u16string name;
  PDEVICE_OBJECT attachedTo = nullptr;  // the device below, while attached
  size_t extensionSize = 0;
  bool deletePending = false;  // IoDeleteDevice was refused and the device kept
};

std::mutex g_lock;
std::map<PDEVICE_OBJECT, DeviceRecord> g_devices;

std::string Describe(PDEVICE_OBJECT device, const DeviceRecord& record) {
  char text[96];
  std::snprintf(text, sizeof text, "device %p", static_cast<void*>(device));
  std::string described = text;
  if (!record.name.empty()) described += " (" + ob::Narrow(record.name) + ")";
  return described;
}

// Takes the device off its driver's list, so that the driver object never
// points at freed memory.
void Unlink(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
  if (*link == device) *link = device->NextDevice;
}

void Release(PDEVICE_OBJECT device, const DeviceRecord& record) {
  if (!record.name.empty()) ob::RemoveName(record.name);
  std::free(device->DeviceObjectExtension);
  std::free(device);
}

// Reports and releases the live devices of `driver` (every device if null).
void ReportAndRelease(PDRIVER_OBJECT driver, const char* what) {
  std::lock_guard<std::mutex> hold(g_lock);
  for (auto entry = g_devices.begin(); entry != g_devices.end();) {
    if (driver != nullptr && entry->first->DriverObject != driver) {
      ++entry;
      continue;
    }
    verifier::Report(verifier::Rule::DeviceLeaked, Describe(entry->first, entry->second) + what);
    // At the end of a test the driver object may be gone already.
    if (DriverLoaded(entry->first->DriverObject)) Unlink(entry->first);
    Release(entry->first, entry->second);
    entry = g_devices.erase(entry);
  }
}

}  // namespace

size_t LiveDeviceCount() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_devices.size();
}

void ReportAndReleaseDevices() { ReportAndRelease(nullptr, " was never deleted"); }

void ReportAndReleaseDevicesOf(PDRIVER_OBJECT driver) {
  ReportAndRelease(driver, " was still there when its driver unloaded");
}

}  // namespace sim::io

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  using namespace sim;
  ke::CheckMayWait("IoCreateDevice");
  *DeviceObject = nullptr;
  std::u16string name = ob::FromUnicode(DeviceName);
  if (!pool::NextAllocationSucceeds()) return STATUS_INSUFFICIENT_RESOURCES;

  size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
  size_t size = head + ((DeviceExtensionSize + 15) & ~size_t{15});
  auto device = static_cast<PDEVICE_OBJECT>(std::aligned_alloc(16, size));
  std::memset(device, 0, size);
  if (!name.empty() && !ob::InsertName(name, device)) {
    std::free(device);
    return STATUS_OBJECT_NAME_COLLISION;
  }
  auto extension = static_cast<PDEVOBJ_EXTENSION>(std::calloc(1, sizeof(DEVOBJ_EXTENSION)));
  extension->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
  extension->Size = sizeof(DEVOBJ_EXTENSION);
  extension->DeviceObject = device;

  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(size);
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<char*>(device) + head : nullptr;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  device->DeviceObjectExtension = extension;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);

  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  {
    std::lock_guard<std::mutex> hold(io::g_lock);
    io::g_devices[device] = {name, nullptr, DeviceExtensionSize};
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  using namespace sim;
  io::DeviceRecord record;
  {
    std::lock_guard<std::mutex> hold(io::g_lock);
    auto found = io::g_devices.find(DeviceObject);
    if (found == io::g_devices.end()) {
      verifier::Report(verifier::Rule::UnknownDevice, "IoDeleteDevice of an object that is not a live device");
      return;
    }
    record = found->second;
  }
  std::string described = io::Describe(DeviceObject, record);
  bool stays = false;
  // After surprise removal the stack stays until IRP_MN_REMOVE_DEVICE, which
  // may still arrive through it.
  if (io::InSurpriseRemovalOf(DeviceObject)) {
    verifier::Report(verifier::Rule::RemovedInSurpriseRemoval,
                     described + " is deleted while handling IRP_MN_SURPRISE_REMOVAL (delete it on IRP_MN_REMOVE_DEVICE)");
    stays = true;
  }
  if (DeviceObject->AttachedDevice != nullptr) {
    verifier::Report(verifier::Rule::DeviceDeletedWhileAttached,
                     described + " is deleted while another device is still attached above it");
    stays = true;
  }
  if (record.attachedTo != nullptr) {
    verifier::Report(verifier::Rule::DeviceDeletedWhileAttached,
                     described + " is deleted while still attached to the device below (IoDetachDevice first)");
    stays = true;
  }
  if (DeviceObject->ReferenceCount != 0) {
    verifier::Report(verifier::Rule::DeviceDeletedWhileReferenced,
                     described + " is deleted with " + std::to_string(DeviceObject->ReferenceCount) +
                         " reference(s) outstanding");
    stays = true;
  }
  if (DeviceObject->DeviceExtension != nullptr) {
    if (ke::CancelTimersIn(DeviceObject->DeviceExtension, record.extensionSize)) {
      verifier::Report(verifier::Rule::TimerInFreedMemory, described + " is deleted while a timer in its extension is set");
    }
    bool queued = ke::RemoveDpcsIn(DeviceObject->DeviceExtension, record.extensionSize);
    if (ke::DetachTimerDpcsIn(DeviceObject->DeviceExtension, record.extensionSize) || queued) {
      verifier::Report(verifier::Rule::DpcInFreedMemory, described + " is deleted while a DPC in its extension is queued");
    }
    ke::ForgetSpinLocksIn(DeviceObject->DeviceExtension, record.extensionSize);
  }
  // A device that others still point at is kept (and reported as leaked at the
  // end, unless deleted again correctly), so that the faulty driver does not
  // crash the rest of the test. Like a device whose deletion is pending in
  // Windows, nothing more can attach to it.
  if (stays) {
    std::lock_guard<std::mutex> hold(io::g_lock);
    io::g_devices[DeviceObject].deletePending = true;
    return;
  }

  io::Unlink(DeviceObject);
  {
    std::lock_guard<std::mutex> hold(io::g_lock);
    io::g_devices.erase(DeviceObject);
  }
  io::Release(DeviceObject, record);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  using namespace sim;
  std::lock_guard<std::mutex> hold(io::g_lock);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  // Windows refuses (NULL) to attach above a device that is still
  // initializing or whose deletion is pending; the caller must cope.
  if ((top->Flags & DO_DEVICE_INITIALIZING) != 0) return nullptr;
  auto below = io::g_devices.find(top);
  if (below != io::g_devices.end() && below->second.deletePending) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  auto found = io::g_devices.find(SourceDevice);
  if (found != io::g_devices.end()) found->second.attachedTo = top;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  using namespace sim;
  std::lock_guard<std::mutex> hold(io::g_lock);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) {
    verifier::Report(verifier::Rule::UnsupportedCall, "IoDetachDevice of a device with nothing attached above it");
    return;
  }
  if (io::InSurpriseRemovalOf(above)) {
    verifier::Report(verifier::Rule::RemovedInSurpriseRemoval,
                     "IoDetachDevice while handling IRP_MN_SURPRISE_REMOVAL (detach on IRP_MN_REMOVE_DEVICE)");
    return;  // the device stays attached, for the remove request still to come
  }
  TargetDevice->AttachedDevice = nullptr;
  auto found = io::g_devices.find(above);
  if (found != io::g_devices.end()) found->second.attachedTo = nullptr;
}

}  // extern "C"

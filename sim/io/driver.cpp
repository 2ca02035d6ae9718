/*
 * Loaded drivers: the driver object, its default major-function table, and
 * unloading, which releases (and reports) any device the driver left.
 */
#include "sim/io/driver.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/ke/stack.h"
#include "sim/verifier/verifier.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace sim::io {
namespace {

std::mutex g_lock;
std::set<PDRIVER_OBJECT> g_loaded;

}  // namespace

bool DriverLoaded(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_loaded.count(driver) != 0;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

LoadedDriver::LoadedDriver(PDRIVER_INITIALIZE entry) {
  object_ = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
  auto extension = static_cast<PDRIVER_EXTENSION>(std::calloc(1, sizeof(DRIVER_EXTENSION)));
  object_->Type = IO_TYPE_DRIVER;
  object_->Size = sizeof(DRIVER_OBJECT);
  object_->DriverExtension = extension;
  extension->DriverObject = object_;
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) object_->MajorFunction[major] = InvalidDeviceRequest;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_loaded.insert(object_);
  }

  static const WCHAR kRegistryPath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\quillan";
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, kRegistryPath);

  KIRQL irql = ke::CurrentIrql();
  ke::CallDriverRoutine("DriverEntry", [&] { status_ = entry(object_, &registryPath); });
  if (ke::CurrentIrql() != irql) {
    verifier::Report(verifier::Rule::IrqlNotRestored, "DriverEntry returned at IRQL " + std::to_string(ke::CurrentIrql()));
  }
}

LoadedDriver::~LoadedDriver() {
  if (object_->DriverUnload != nullptr) ke::CallDriverRoutine("Unload routine", [&] { object_->DriverUnload(object_); });
  // Each device left is reported once, here, and released, so that neither
  // the end-of-test checks nor anyone else meets it again.
  ReportAndReleaseDevicesOf(object_);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_loaded.erase(object_);
  }
  std::free(object_->DriverExtension);
  std::free(object_);
}

}  // namespace sim::io

#include "support/test_driver.h"

#include "support/gtest.h"

namespace test {
namespace {

// What a TestDriver device keeps in its extension.
struct TestExtension {
  PDEVICE_OBJECT lower;  // written once, by AddDevice
};

// Driver objects of live TestDrivers, for the shared dispatch routine.
std::map<PDRIVER_OBJECT, TestDriver*>& Drivers() {
  static std::map<PDRIVER_OBJECT, TestDriver*> drivers;
  return drivers;
}

}  // namespace

TestDriver::TestDriver() : loaded_(std::make_unique<sim::io::LoadedDriver>(Entry)) {
  Drivers()[loaded_->Object()] = this;
}

TestDriver::~TestDriver() {
  Drivers().erase(loaded_->Object());
  loaded_.reset();
}

NTSTATUS NTAPI TestDriver::Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)driver;
  (void)registryPath;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  TestDriver* self = Drivers().at(device->DriverObject);
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  return self->routines_.at(major)(device, irp);
}

void TestDriver::Serve(UCHAR major, DispatchRoutine routine) {
  routines_[major] = std::move(routine);
  Object()->MajorFunction[major] = Dispatch;
}

PDEVICE_OBJECT TestDriver::AddDevice(PDEVICE_OBJECT below) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(Object(), sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  EXPECT_EQ(status, STATUS_SUCCESS) << "IoCreateDevice";
  if (status != STATUS_SUCCESS) return nullptr;
  auto extension = static_cast<TestExtension*>(device->DeviceExtension);
  if (below != nullptr) {
    extension->lower = IoAttachDeviceToDeviceStack(device, below);
    EXPECT_NE(extension->lower, nullptr) << "IoAttachDeviceToDeviceStack";
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

void TestDriver::RemoveDevice(PDEVICE_OBJECT device) {
  if (PDEVICE_OBJECT lower = Lower(device)) IoDetachDevice(lower);
  IoDeleteDevice(device);
}

PDEVICE_OBJECT TestDriver::Lower(PDEVICE_OBJECT device) {
  return static_cast<TestExtension*>(device->DeviceExtension)->lower;
}

DeviceStack::DeviceStack(size_t depth) {
  for (size_t level = 0; level < depth; ++level) {
    drivers_.push_back(std::make_unique<TestDriver>());
    devices_.push_back(drivers_.back()->AddDevice(devices_.empty() ? nullptr : devices_.back()));
  }
}

DeviceStack::~DeviceStack() {
  for (size_t level = devices_.size(); level-- > 0;) {
    if (devices_[level] != nullptr) TestDriver::RemoveDevice(devices_[level]);
  }
}

DispatchRoutine CompleteWith(NTSTATUS status, ULONG_PTR information) {
  return [status, information](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, status, information);
    return status;
  };
}

DispatchRoutine HoldIn(std::vector<PIRP>& held) {
  return [&held](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held.push_back(irp);
    return STATUS_PENDING;
  };
}

DispatchRoutine CopyDown() {
  return [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IofCallDriver(TestDriver::Lower(device), irp);
  };
}

DispatchRoutine SkipDown() {
  return [](PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(TestDriver::Lower(device), irp);
  };
}

void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace test

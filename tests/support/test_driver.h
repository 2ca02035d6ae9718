/*
 * Drivers written by tests of the simulated I/O manager. A TestDriver is a
 * driver object loaded through the I/O manager whose dispatch routines are
 * lambdas the test supplies, one per major function; majors it does not
 * serve keep the I/O manager's default routine. Its devices remember the
 * device they are attached to, as a real driver keeps it in its extension,
 * so a routine can pass a request down with Lower(device).
 *
 * Runs on the test's thread; the routines are called by the simulated
 * I/O manager exactly as it would call a driver's.
 */
#pragma once

#include "driver/platform/platform.h"
#include "sim/io/driver.h"

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace test {

using DispatchRoutine = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

class TestDriver {
 public:
  TestDriver();
  // Unloads the driver; devices still alive are reported by the I/O manager.
  ~TestDriver();
  TestDriver(const TestDriver&) = delete;
  TestDriver& operator=(const TestDriver&) = delete;

  PDRIVER_OBJECT Object() const { return loaded_->Object(); }

  // Points the driver object's entry for major at routine.
  void Serve(UCHAR major, DispatchRoutine routine);

  // A device of this driver the way AddDevice makes one: created, attached
  // above `below` if given, DO_DEVICE_INITIALIZING cleared. Fails the test
  // (and returns null) if the I/O manager refuses.
  PDEVICE_OBJECT AddDevice(PDEVICE_OBJECT below = nullptr);
  // Detaches a device made by AddDevice from the one below and deletes it.
  static void RemoveDevice(PDEVICE_OBJECT device);
  // The device a device made by AddDevice is attached to, or null.
  static PDEVICE_OBJECT Lower(PDEVICE_OBJECT device);

 private:
  static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);

  std::unique_ptr<sim::io::LoadedDriver> loaded_;
  std::map<UCHAR, DispatchRoutine> routines_;
};

// A stack of devices, each from its own driver, as Plug and Play builds
// one: At(0) is the bottom (the bus driver's device), Top() the last added.
// The destructor removes the devices from the top down.
class DeviceStack {
 public:
  explicit DeviceStack(size_t depth);
  ~DeviceStack();
  DeviceStack(const DeviceStack&) = delete;
  DeviceStack& operator=(const DeviceStack&) = delete;

  size_t Depth() const { return devices_.size(); }
  PDEVICE_OBJECT At(size_t level) const { return devices_.at(level); }
  PDEVICE_OBJECT Top() const { return devices_.back(); }
  TestDriver& DriverAt(size_t level) { return *drivers_.at(level); }

 private:
  std::vector<std::unique_ptr<TestDriver>> drivers_;
  std::vector<PDEVICE_OBJECT> devices_;
};

// Dispatch routines most tests need.
// Completes the IRP with status and information and returns status.
DispatchRoutine CompleteWith(NTSTATUS status, ULONG_PTR information = 0);
// Marks the IRP pending, appends it to held and returns STATUS_PENDING.
DispatchRoutine HoldIn(std::vector<PIRP>& held);
// IoCopyCurrentIrpStackLocationToNext, no completion routine, IoCallDriver to
// the device below; returns what IoCallDriver returned.
DispatchRoutine CopyDown();
// IoSkipCurrentIrpStackLocation, IoCallDriver to the device below.
DispatchRoutine SkipDown();

// Completes an IRP that a routine held, with status.
void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

}  // namespace test

// Device objects in the simulated I/O manager: what IoCreateDevice fills in,
// names and their collisions, stacking with IoAttachDeviceToDeviceStack, the
// I/O manager's default answer to major functions a driver does not serve,
// and power IRPs passed down with PoCallDriver.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/ex/pool.h"
#include "sim/io/driver.h"
#include "sim/io/io.h"
#include "sim/io/request.h"
#include "sim/po/power.h"

#include <cstring>
#include <string>
#include <vector>

using test::DeviceStack;
using test::TestDriver;

namespace {

struct CreateCase {
  const char* name;
  const WCHAR* deviceName;  // null: unnamed
  BOOLEAN exclusive;
  ULONG expectedFlags;
};

const CreateCase kCreateCases[] = {
    {"Unnamed", nullptr, FALSE, DO_DEVICE_INITIALIZING},
    {"UnnamedExclusive", nullptr, TRUE, DO_DEVICE_INITIALIZING | DO_EXCLUSIVE},
    {"Named", L"\\Device\\QuillanTest0", FALSE, DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME},
    {"NamedExclusive", L"\\Device\\QuillanTest0", TRUE, DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME},
};

void PrintTo(const CreateCase& row, std::ostream* out) { *out << row.name; }

constexpr ULONG kExtensionSize = 200;

bool AllZero(const void* memory, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(memory);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace

// A kernel test with one loaded driver of its own.
class IoDriverTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = std::make_unique<TestDriver>();
  }
  void TearDown() override {
    driver_.reset();
    KernelTest::TearDown();
  }
  PDRIVER_OBJECT Driver() const { return driver_->Object(); }
  std::unique_ptr<TestDriver> driver_;
};

class IoCreateDeviceTest : public IoDriverTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(IoCreateDeviceTest, FillsTheDeviceObjectAsWindowsDoes) {
  const CreateCase& row = GetParam();
  UNICODE_STRING name;
  if (row.deviceName != nullptr) RtlInitUnicodeString(&name, row.deviceName);
  PDRIVER_OBJECT driver = Driver();

  // A first device, dirtied and deleted, so the second may reuse its memory.
  PDEVICE_OBJECT first = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, kExtensionSize, row.deviceName ? &name : nullptr, FILE_DEVICE_SERIAL_PORT, 0,
                           row.exclusive, &first),
            STATUS_SUCCESS);
  std::memset(first->DeviceExtension, 0x55, kExtensionSize);
  IoDeleteDevice(first);
  PDEVICE_OBJECT other = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);

  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, kExtensionSize, row.deviceName ? &name : nullptr, FILE_DEVICE_SERIAL_PORT,
                           FILE_DEVICE_SECURE_OPEN, row.exclusive, &device),
            STATUS_SUCCESS);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
  EXPECT_EQ(device->DriverObject, driver);
  EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(device->Flags, row.expectedFlags) << "Flags";
  EXPECT_EQ(device->StackSize, 1) << "StackSize of a device attached to nothing";
  EXPECT_EQ(device->AttachedDevice, nullptr);
  EXPECT_EQ(device->ReferenceCount, 0);
  ASSERT_NE(device->DeviceExtension, nullptr);
  EXPECT_TRUE(AllZero(device->DeviceExtension, kExtensionSize)) << "device extension, expected zeroes";
  EXPECT_EQ(driver->DeviceObject, device) << "the driver's device list starts with the newest device";
  EXPECT_EQ(device->NextDevice, other);
  EXPECT_EQ(other->DeviceExtension, nullptr) << "DeviceExtension of a device created with size 0";
  IoDeleteDevice(device);
  IoDeleteDevice(other);
  EXPECT_EQ(driver->DeviceObject, nullptr) << "the driver's device list after deleting every device";
}

INSTANTIATE_TEST_SUITE_P(NamesAndExclusivity, IoCreateDeviceTest, ::testing::ValuesIn(kCreateCases),
                         [](const ::testing::TestParamInfo<CreateCase>& info) { return std::string(info.param.name); });

class IoDeviceTest : public IoDriverTest {};

TEST_F(IoDeviceTest, ANameInUseIsACollisionWhatEverItsCase) {
  UNICODE_STRING name, sameOtherCase;
  RtlInitUnicodeString(&name, L"\\Device\\QuillanTest0");
  RtlInitUnicodeString(&sameOtherCase, L"\\DEVICE\\quillantest0");
  PDEVICE_OBJECT first = nullptr;
  ASSERT_EQ(IoCreateDevice(Driver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);

  for (PUNICODE_STRING again : {&name, &sameOtherCase}) {
    PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(0x1);
    EXPECT_EQ(IoCreateDevice(Driver(), 0, again, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr) << "device pointer after a failed IoCreateDevice";
  }
  EXPECT_EQ(Driver()->DeviceObject, first) << "a failed IoCreateDevice left a device in the driver's list";

  IoDeleteDevice(first);
  PDEVICE_OBJECT reused = nullptr;
  EXPECT_EQ(IoCreateDevice(Driver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &reused), STATUS_SUCCESS)
      << "the name of a deleted device is free again";
  if (reused != nullptr) IoDeleteDevice(reused);
}

TEST_F(IoDeviceTest, CreateDeviceFailsWhenTheAllocationIsMadeToFail) {
  sim::pool::FailNth(1);
  PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(0x1);
  EXPECT_EQ(IoCreateDevice(Driver(), 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(Driver()->DeviceObject, nullptr);
  EXPECT_EQ(sim::io::LiveDeviceCount(), 0u);
  ASSERT_EQ(IoCreateDevice(Driver(), 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS)
      << "the creation after the failed one";
  IoDeleteDevice(device);
}

TEST_F(IoDeviceTest, AttachingStacksOnTheTopAndCountsTheLocationsBelow) {
  DeviceStack stack(3);
  EXPECT_EQ(stack.At(0)->StackSize, 1);
  EXPECT_EQ(stack.At(1)->StackSize, 2);
  EXPECT_EQ(stack.At(2)->StackSize, 3);
  EXPECT_EQ(stack.At(0)->AttachedDevice, stack.At(1));
  EXPECT_EQ(stack.At(1)->AttachedDevice, stack.At(2));
  EXPECT_EQ(stack.At(2)->AttachedDevice, nullptr);

  // Attaching to the bottom device attaches to whatever is on top of it.
  PDEVICE_OBJECT filter = nullptr;
  ASSERT_EQ(IoCreateDevice(Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter), STATUS_SUCCESS);
  stack.At(2)->AlignmentRequirement = FILE_LONG_ALIGNMENT;
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, stack.At(0)), stack.At(2))
      << "IoAttachDeviceToDeviceStack's result, expected the device that was on top";
  EXPECT_EQ(filter->StackSize, 4);
  EXPECT_EQ(filter->AlignmentRequirement, static_cast<ULONG>(FILE_LONG_ALIGNMENT));
  EXPECT_EQ(stack.At(2)->AttachedDevice, filter);

  IoDetachDevice(stack.At(2));
  EXPECT_EQ(stack.At(2)->AttachedDevice, nullptr) << "AttachedDevice after IoDetachDevice";
  IoDeleteDevice(filter);
}

// Windows refuses to attach above a device that is still initializing (its
// driver has not cleared DO_DEVICE_INITIALIZING yet) and returns NULL.
TEST_F(IoDeviceTest, AttachingAboveADeviceStillInitializingFails) {
  PDEVICE_OBJECT lower = nullptr, upper = nullptr;
  ASSERT_EQ(IoCreateDevice(Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), nullptr)
      << "attaching above a device with DO_DEVICE_INITIALIZING set";
  EXPECT_EQ(lower->AttachedDevice, nullptr);
  EXPECT_EQ(upper->StackSize, 1);

  lower->Flags &= ~DO_DEVICE_INITIALIZING;
  EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower) << "attaching once the lower device is initialized";
  IoDetachDevice(lower);
  IoDeleteDevice(upper);
  IoDeleteDevice(lower);
}

// Every major function starts out pointing at the I/O manager's default
// routine, which completes the request with STATUS_INVALID_DEVICE_REQUEST
// without calling the driver or passing the request down.
TEST_F(IoDeviceTest, UnservedMajorFunctionsAreRefusedWithoutReachingTheDriver) {
  DeviceStack stack(2);
  int served = 0, below = 0;
  stack.DriverAt(1).Serve(IRP_MJ_CREATE, [&served](PDEVICE_OBJECT, PIRP irp) {
    served++;
    test::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  });
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    stack.DriverAt(0).Serve(major, [&below](PDEVICE_OBJECT, PIRP irp) {
      below++;
      test::Complete(irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    });
  }

  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    if (major == IRP_MJ_CREATE) continue;
    SCOPED_TRACE(sim::io::MajorName(major));
    EXPECT_EQ(stack.DriverAt(1).Object()->MajorFunction[major], sim::io::InvalidDeviceRequest);
    sim::io::Request request(stack.Top(), major);
    request.Irp()->IoStatus.Information = 77;
    EXPECT_EQ(request.Send(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(request.Completed());
    EXPECT_EQ(request.Status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(request.Information(), 0u) << "Information, expected it cleared";
  }
  EXPECT_EQ(served, 0) << "the driver's own routine was called for a major it does not serve";
  EXPECT_EQ(below, 0) << "the default routine passed a request down";

  sim::io::Request create(stack.Top(), IRP_MJ_CREATE);
  EXPECT_EQ(create.Send(), STATUS_SUCCESS);
  EXPECT_EQ(served, 1) << "the served major reaches the driver";
}

namespace {

struct PowerCase {
  const char* name;
  bool bottomPends;
};

void PrintTo(const PowerCase& row, std::ostream* out) { *out << row.name; }

}  // namespace

class IoPowerTest : public KernelTest, public ::testing::WithParamInterface<PowerCase> {};

// A function driver passes a power IRP down the way WDM requires on XP:
// PoStartNextPowerIrp, skip its location, PoCallDriver.
TEST_P(IoPowerTest, PoCallDriverPassesDownAndNextPowerIrpStartsAreCounted) {
  const PowerCase& row = GetParam();
  DeviceStack stack(2);
  std::vector<PIRP> held;
  std::vector<PDEVICE_OBJECT> named;
  stack.DriverAt(1).Serve(IRP_MJ_POWER, [](PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(TestDriver::Lower(device), irp);
  });
  stack.DriverAt(0).Serve(IRP_MJ_POWER, [&](PDEVICE_OBJECT, PIRP irp) {
    named.push_back(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MinorFunction, IRP_MN_SET_POWER);
    if (row.bottomPends) return test::HoldIn(held)(nullptr, irp);
    PoStartNextPowerIrp(irp);
    test::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  });

  sim::io::Request request(stack.Top(), IRP_MJ_POWER, IRP_MN_SET_POWER);
  request.Stack()->Parameters.Power.Type = DevicePowerState;
  request.Stack()->Parameters.Power.State.DeviceState = PowerDeviceD3;
  EXPECT_EQ(request.Send(), row.bottomPends ? STATUS_PENDING : STATUS_SUCCESS);
  if (row.bottomPends) {
    ASSERT_EQ(held.size(), 1u);
    EXPECT_FALSE(request.Completed());
    PoStartNextPowerIrp(held[0]);
    test::Complete(held[0], STATUS_SUCCESS);
  }
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  ASSERT_EQ(named.size(), 1u) << "power IRPs reaching the bottom device";
  EXPECT_EQ(named[0], stack.At(0)) << "DeviceObject of the location PoCallDriver gave the bottom device";
  EXPECT_EQ(sim::po::NextPowerIrpStarts(request.Irp()), 2) << "PoStartNextPowerIrp calls, one per driver";
}

INSTANTIATE_TEST_SUITE_P(BottomDriver, IoPowerTest,
                         ::testing::Values(PowerCase{"CompletesAtOnce", false}, PowerCase{"Pends", true}),
                         [](const ::testing::TestParamInfo<PowerCase>& info) { return std::string(info.param.name); });

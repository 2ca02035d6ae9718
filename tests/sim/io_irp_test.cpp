// IRPs in the simulated I/O manager: the layout IoAllocateIrp gives them
// (the one the platform's inline helpers rely on), IofCallDriver's move to
// the next stack location, and requests passed down a stack of three
// devices by copying or by skipping the stack location.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/ex/pool.h"
#include "sim/io/request.h"

#include <string>
#include <vector>

using test::DeviceStack;
using test::TestDriver;

namespace {

PIO_STACK_LOCATION FirstLocation(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

bool AllZero(const void* memory, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(memory);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

NTSTATUS NTAPI FreeOwnIrp(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  (void)context;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// What a dispatch routine found on arrival.
struct Arrival {
  PDEVICE_OBJECT device;
  CHAR currentLocation;
  PIO_STACK_LOCATION stack;
  PDEVICE_OBJECT stackDevice;
  UCHAR major;
  UCHAR minor;
  ULONG ioControlCode;
  ULONG inputLength;
  ULONG outputLength;
};

Arrival Record(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return {device,
          irp->CurrentLocation,
          stack,
          stack->DeviceObject,
          stack->MajorFunction,
          stack->MinorFunction,
          stack->Parameters.DeviceIoControl.IoControlCode,
          stack->Parameters.DeviceIoControl.InputBufferLength,
          stack->Parameters.DeviceIoControl.OutputBufferLength};
}

struct PassCase {
  const char* name;
  bool middleSkips;     // the middle device skips its location instead of copying it
  CHAR bottomLocation;  // the location the bottom device is given
};

void PrintTo(const PassCase& row, std::ostream* out) { *out << row.name; }

}  // namespace

class IoIrpTest : public KernelTest {};

TEST_F(IoIrpTest, AllocateIrpLaysOutTheStackAsTheHeaderHelpersExpect) {
  for (int count : {1, 2, 3, 8, 12}) {
    SCOPED_TRACE("IoAllocateIrp(" + std::to_string(count) + ")");
    CCHAR size = static_cast<CCHAR>(count);
    PIRP irp = IoAllocateIrp(size, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->Type, IO_TYPE_IRP);
    // Windows may round the allocation up to a lookaside size; a driver may
    // only rely on the IRP covering its stack locations.
    EXPECT_GE(irp->Size, IoSizeOfIrp(size)) << "Size, expected at least IoSizeOfIrp(StackSize)";
    EXPECT_EQ(irp->StackCount, size) << "StackCount";
    EXPECT_EQ(irp->CurrentLocation, size + 1) << "CurrentLocation, expected StackCount + 1";
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), FirstLocation(irp) + size)
        << "current location, expected one past the last location";
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), FirstLocation(irp) + size - 1)
        << "next location, expected the last location";
    EXPECT_FALSE(irp->Cancel);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_FALSE(irp->PendingReturned);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_EQ(irp->MdlAddress, nullptr);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    EXPECT_EQ(irp->UserBuffer, nullptr);
    EXPECT_EQ(irp->RequestorMode, KernelMode);
    EXPECT_EQ(irp->ThreadListEntry.Flink, &irp->ThreadListEntry) << "ThreadListEntry, expected an empty list";
    EXPECT_EQ(irp->ThreadListEntry.Blink, &irp->ThreadListEntry);
    EXPECT_TRUE(AllZero(FirstLocation(irp), sizeof(IO_STACK_LOCATION) * count)) << "stack locations, expected zeroes";
    IoFreeIrp(irp);
  }
}

TEST_F(IoIrpTest, AllocateIrpFailsWhenTheAllocationIsMadeToFail) {
  sim::pool::FailNth(1);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr) << "the first allocation after FailNth(1)";
  PIRP irp = IoAllocateIrp(2, FALSE);
  EXPECT_NE(irp, nullptr) << "the allocation after the failed one";
  if (irp != nullptr) IoFreeIrp(irp);
}

TEST_F(IoIrpTest, ARequestHasOneLocationPerDeviceOfTheTargetsStack) {
  DeviceStack stack(3);
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Irp()->StackCount, 3) << "StackCount of a request to the top of three devices";
  EXPECT_EQ(request.Stack(), IoGetNextIrpStackLocation(request.Irp()));
  EXPECT_EQ(request.Stack()->MajorFunction, IRP_MJ_READ);
}

class IoPassDownTest : public KernelTest, public ::testing::WithParamInterface<PassCase> {};

TEST_P(IoPassDownTest, EachDeviceGetsItsLocationNamingItWithTheSendersParameters) {
  const PassCase& row = GetParam();
  DeviceStack stack(3);
  std::vector<Arrival> arrivals;  // top first
  auto recordThen = [&arrivals](test::DispatchRoutine then) {
    return [&arrivals, then](PDEVICE_OBJECT device, PIRP irp) {
      arrivals.push_back(Record(device, irp));
      return then(device, irp);
    };
  };
  stack.DriverAt(2).Serve(IRP_MJ_DEVICE_CONTROL, recordThen(test::CopyDown()));
  stack.DriverAt(1).Serve(IRP_MJ_DEVICE_CONTROL, recordThen(row.middleSkips ? test::SkipDown() : test::CopyDown()));
  stack.DriverAt(0).Serve(IRP_MJ_DEVICE_CONTROL, recordThen(test::CompleteWith(STATUS_SUCCESS, 7)));

  sim::io::Request request(stack.Top(), IRP_MJ_DEVICE_CONTROL, 0x5A);
  request.Stack()->Parameters.DeviceIoControl.IoControlCode = 0x001B0040;
  request.Stack()->Parameters.DeviceIoControl.InputBufferLength = 12;
  request.Stack()->Parameters.DeviceIoControl.OutputBufferLength = 34;
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Information(), 7u);

  ASSERT_EQ(arrivals.size(), 3u) << "dispatch routines called";
  const CHAR expectedLocation[] = {3, 2, row.bottomLocation};
  const PDEVICE_OBJECT expectedDevice[] = {stack.At(2), stack.At(1), stack.At(0)};
  for (size_t i = 0; i < arrivals.size(); ++i) {
    SCOPED_TRACE("device " + std::to_string(i) + " from the top");
    const Arrival& seen = arrivals[i];
    EXPECT_EQ(seen.device, expectedDevice[i]) << "device argument";
    EXPECT_EQ(seen.currentLocation, expectedLocation[i]) << "CurrentLocation";
    EXPECT_EQ(seen.stack, FirstLocation(request.Irp()) + expectedLocation[i] - 1)
        << "current stack location pointer, expected location " << int{expectedLocation[i]};
    EXPECT_EQ(seen.stackDevice, expectedDevice[i]) << "DeviceObject in the location, expected the called device";
    EXPECT_EQ(seen.major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(seen.minor, 0x5A);
    EXPECT_EQ(seen.ioControlCode, 0x001B0040u);
    EXPECT_EQ(seen.inputLength, 12u);
    EXPECT_EQ(seen.outputLength, 34u);
  }
}

INSTANTIATE_TEST_SUITE_P(CopyOrSkip, IoPassDownTest,
                         ::testing::Values(PassCase{"Copy", false, 1}, PassCase{"Skip", true, 2}),
                         [](const ::testing::TestParamInfo<PassCase>& info) { return std::string(info.param.name); });

// A driver's own IRP, sent to the top of a stack: the sender fills the
// location IoGetNextIrpStackLocation gives it, and the top device sees that
// location as its current one.
TEST_F(IoIrpTest, ADriversOwnIrpReachesTheTopDeviceInTheLocationTheSenderFilled) {
  DeviceStack stack(2);
  std::vector<Arrival> arrivals;
  stack.DriverAt(1).Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT device, PIRP irp) {
    arrivals.push_back(Record(device, irp));
    return test::CopyDown()(device, irp);
  });
  stack.DriverAt(0).Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT device, PIRP irp) {
    arrivals.push_back(Record(device, irp));
    return test::CompleteWith(STATUS_SUCCESS)(device, irp);
  });

  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = 0x00220003;
  IoSetCompletionRoutine(irp, FreeOwnIrp, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);

  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].stack, next) << "the top device's location, expected the one the sender filled";
  EXPECT_EQ(arrivals[0].stackDevice, stack.Top());
  EXPECT_EQ(arrivals[1].stack, next - 1);
  EXPECT_EQ(arrivals[1].stackDevice, stack.At(0));
  EXPECT_EQ(arrivals[1].ioControlCode, 0x00220003u);
}

// IoBuildDeviceIoControlRequest: the IRP it builds, and what the I/O
// manager does when its completion reaches the top (status block, event,
// buffered output, freeing the IRP), on the paths a synchronous USB
// submission takes.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/ex/pool.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"

#include <cstring>
#include <vector>

using test::DeviceStack;

namespace {

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kDirectCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

struct Caller {
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  Caller() {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::memset(&iosb, 0x55, sizeof iosb);
  }
  bool Signalled() { return KeReadStateEvent(&event) != 0; }
};

}  // namespace

class UsbBuildRequestTest : public KernelTest {};

class UsbBuildRequestKindTest : public UsbBuildRequestTest, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Usb, UsbBuildRequestKindTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Internal" : "External");
                         });

TEST_P(UsbBuildRequestKindTest, FillsTheFirstLocationForTheTargetsStackAndFinishesAtTheTop) {
  DeviceStack stack(3);
  Caller caller;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, stack.Top(), nullptr, 0, nullptr, 0,
                                           GetParam(), &caller.event, &caller.iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 3) << "stack locations: one per device of the target's stack";
  EXPECT_EQ(irp->CurrentLocation, 4) << "no location is current before the IRP is sent";
  EXPECT_EQ(irp->RequestorMode, KernelMode);
  EXPECT_EQ(irp->UserEvent, &caller.event);
  EXPECT_EQ(irp->UserIosb, &caller.iosb);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(next->MajorFunction, GetParam() ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, static_cast<ULONG>(IOCTL_INTERNAL_USB_SUBMIT_URB));
  EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, 0u);
  EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, 0u);
  EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr) << "METHOD_NEITHER has no system buffer";

  // The bottom driver completes it at once with a status and a count.
  UCHAR major = next->MajorFunction;
  for (size_t level = 1; level < 3; ++level) stack.DriverAt(level).Serve(major, test::SkipDown());
  stack.DriverAt(0).Serve(major, test::CompleteWith(STATUS_SUCCESS, 7));
  EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
  EXPECT_TRUE(caller.Signalled()) << "the event is signalled even when the call did not return STATUS_PENDING";
  EXPECT_EQ(caller.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(caller.iosb.Information, 7u);
  EXPECT_EQ(sim::io::LiveIrpCount(), 0u) << "the I/O manager frees the IRP: " << sim::io::DescribeLiveIrps();
}

// What the caller gets back from a request that the lower driver completes
// inside IofCallDriver, or pends and completes later: an error that was
// never pended is only returned by IofCallDriver, so a caller that waits on
// the event regardless waits for ever.
TEST_F(UsbBuildRequestTest, TheEventAndStatusBlockAreWrittenUnlessAnErrorCameBackWithoutPending) {
  struct Case {
    const char* what;
    NTSTATUS status;
    bool pended;
    bool written;
  } cases[] = {
      {"success at once", STATUS_SUCCESS, false, true},
      {"warning STATUS_BUFFER_OVERFLOW at once", STATUS_BUFFER_OVERFLOW, false, true},
      {"informational at once", STATUS_TIMEOUT, false, true},
      {"error at once", STATUS_UNSUCCESSFUL, false, false},
      {"warning STATUS_DEVICE_BUSY at once", STATUS_DEVICE_BUSY, false, true},
      {"error after pending", STATUS_UNSUCCESSFUL, true, true},
      {"success after pending", STATUS_SUCCESS, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeviceStack stack(2);
    std::vector<PIRP> held;
    stack.DriverAt(1).Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, test::SkipDown());
    if (c.pended) {
      stack.DriverAt(0).Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, test::HoldIn(held));
    } else {
      stack.DriverAt(0).Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, test::CompleteWith(c.status, 5));
    }
    Caller caller;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, stack.Top(), nullptr, 0, nullptr, 0,
                                             TRUE, &caller.event, &caller.iosb);
    ASSERT_NE(irp, nullptr);
    NTSTATUS returned = IofCallDriver(stack.Top(), irp);
    if (c.pended) {
      EXPECT_EQ(returned, STATUS_PENDING);
      test::Complete(held.at(0), c.status, 5);
    } else {
      EXPECT_EQ(returned, c.status);
    }
    EXPECT_EQ(caller.Signalled(), c.written);
    if (c.written) {
      EXPECT_EQ(caller.iosb.Status, c.status);
      EXPECT_EQ(caller.iosb.Information, 5u);
    } else {
      EXPECT_EQ(caller.iosb.Status, static_cast<NTSTATUS>(0x55555555)) << "the status block is left alone";
      EXPECT_EQ(caller.iosb.Information, static_cast<ULONG_PTR>(0x5555555555555555ull & ~ULONG_PTR{0}));
    }
    EXPECT_EQ(sim::io::LiveIrpCount(), 0u) << "freed either way: " << sim::io::DescribeLiveIrps();
  }
}

TEST_F(UsbBuildRequestTest, APendingRequestSignalsTheWaiterWhenTheLowerDriverCompletesIt) {
  DeviceStack stack(1);
  std::vector<PIRP> held;
  stack.DriverAt(0).Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, test::HoldIn(held));
  Caller caller;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, stack.Top(), nullptr, 0, nullptr, 0, TRUE,
                                           &caller.event, &caller.iosb);
  ASSERT_NE(irp, nullptr);
  ASSERT_EQ(IofCallDriver(stack.Top(), irp), STATUS_PENDING);
  EXPECT_FALSE(caller.Signalled());
  EXPECT_EQ(caller.iosb.Status, static_cast<NTSTATUS>(0x55555555)) << "the status block is written only at the end";

  test::Complete(held.at(0), STATUS_CANCELLED, 0);
  EXPECT_TRUE(caller.Signalled());
  EXPECT_EQ(caller.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(caller.iosb.Information, 0u);
  EXPECT_EQ(sim::io::LiveIrpCount(), 0u) << sim::io::DescribeLiveIrps();
}

TEST_F(UsbBuildRequestTest, MethodNeitherPassesTheCallersBuffersAsTheyAre) {
  DeviceStack stack(1);
  char input[4] = {1, 2, 3, 4};
  char output[8] = {};
  Caller caller;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, stack.Top(), input, sizeof input, output,
                                           sizeof output, TRUE, &caller.event, &caller.iosb);
  ASSERT_NE(irp, nullptr);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, input);
  EXPECT_EQ(irp->UserBuffer, output);
  EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, sizeof input);
  EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, sizeof output);
  stack.DriverAt(0).Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, test::CompleteWith(STATUS_SUCCESS));
  EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
  EXPECT_EQ(sim::pool::Outstanding().blocks, 0u) << sim::pool::DescribeOutstanding();
}

TEST_F(UsbBuildRequestTest, MethodBufferedCopiesInputInAndOutputBackOnlyOnSuccess) {
  struct Case {
    NTSTATUS status;
    ULONG_PTR information;
    size_t copiedBack;
  } cases[] = {{STATUS_SUCCESS, 3, 3}, {STATUS_SUCCESS, 6, 6}, {STATUS_UNSUCCESSFUL, 3, 0}};
  for (const Case& c : cases) {
    DeviceStack stack(1);
    char input[4] = {'i', 'n', 'p', 't'};
    char output[6];
    std::memset(output, '.', sizeof output);
    stack.DriverAt(0).Serve(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
      auto buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
      EXPECT_EQ(std::memcmp(buffer, input, sizeof input), 0) << "the system buffer holds a copy of the input";
      EXPECT_NE(static_cast<void*>(buffer), static_cast<void*>(input));
      std::memcpy(buffer, "OUTPUT", 6);
      test::Complete(irp, c.status, c.information);
      return c.status;
    });
    Caller caller;
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, stack.Top(), input, sizeof input, output, sizeof output,
                                             FALSE, &caller.event, &caller.iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->Flags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
              static_cast<ULONG>(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION));
    EXPECT_EQ(IofCallDriver(stack.Top(), irp), c.status);
    EXPECT_EQ(std::string(output, c.copiedBack), std::string("OUTPUT", c.copiedBack))
        << "status 0x" << std::hex << c.status << " information " << std::dec << c.information;
    EXPECT_EQ(std::string(output + c.copiedBack, sizeof output - c.copiedBack),
              std::string(sizeof output - c.copiedBack, '.'))
        << "bytes past what was copied back stay untouched";
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(caller.iosb.Information, c.information);
    }
    EXPECT_EQ(sim::pool::Outstanding().blocks, 0u)
        << "the system buffer is freed: " << sim::pool::DescribeOutstanding();
  }
}

TEST_F(UsbBuildRequestTest, FailedAllocationsGiveNoRequestAndLeaveNothingBehind) {
  DeviceStack stack(1);
  char input[4] = {};
  char output[4];
  struct Case {
    const char* what;
    ULONG code;
    uint64_t failing;  // which allocation fails: 1 the IRP, 2 the system buffer
  } cases[] = {{"IRP, METHOD_NEITHER", IOCTL_INTERNAL_USB_SUBMIT_URB, 1},
               {"IRP, METHOD_BUFFERED", kBufferedCode, 1},
               {"system buffer", kBufferedCode, 2}};
  for (const Case& c : cases) {
    Caller caller;
    sim::pool::FailNth(c.failing);
    PIRP irp = IoBuildDeviceIoControlRequest(c.code, stack.Top(), input, sizeof input, output, sizeof output, TRUE,
                                             &caller.event, &caller.iosb);
    sim::pool::StopFailing();
    EXPECT_EQ(irp, nullptr) << c.what;
    EXPECT_EQ(sim::io::LiveIrpCount(), 0u) << c.what << ": " << sim::io::DescribeLiveIrps();
    EXPECT_EQ(sim::pool::Outstanding().blocks, 0u) << c.what << ": " << sim::pool::DescribeOutstanding();
    EXPECT_FALSE(caller.Signalled()) << c.what;
  }
}

TEST_F(UsbBuildRequestTest, IsReportedAboveAPassiveLevel) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, test::CompleteWith(STATUS_SUCCESS));
  Caller caller;
  KIRQL irql = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, stack.Top(), nullptr, 0, nullptr, 0, TRUE,
                                           &caller.event, &caller.iosb);
  sim::ke::LowerIrql(irql, "test");
  ExpectOnlyFinding(sim::verifier::Rule::IrqlTooHigh);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
}

TEST_F(UsbBuildRequestTest, ADirectIoOutputBufferFailsLoudly) {
  DeviceStack stack(1);
  char output[4];
  Caller caller;
  PIRP irp = IoBuildDeviceIoControlRequest(kDirectCode, stack.Top(), nullptr, 0, output, sizeof output, FALSE,
                                           &caller.event, &caller.iosb);
  EXPECT_EQ(irp, nullptr);
  ExpectOnlyFinding(sim::verifier::Rule::UnsupportedCall);
}

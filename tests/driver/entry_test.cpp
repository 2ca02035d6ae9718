// The driver's entry point, its routing table, and the requests it passes
// down unchanged.
#include "support/port_test.h"

#include "sim/io/io.h"
#include "sim/io/request.h"
#include "sim/po/power.h"
#include "sim/rtl/debug.h"

#include <string>

class EntryTest : public PortTest {};

TEST_F(EntryTest, PrintsTheBannerOnceAndSucceeds) {
  EXPECT_EQ(driver_->Status(), STATUS_SUCCESS);
  std::vector<std::string> printed = sim::debug::Messages();
  ASSERT_FALSE(printed.empty());
  EXPECT_EQ(printed[0], "QUILLAN 2010.01.06 V1--Ostrel\n");
  EXPECT_EQ(std::count(printed.begin(), printed.end(), printed[0]), 1);
}

TEST_F(EntryTest, RoutesTheRequestsItServesAndSetsTheUnloadRoutine) {
  EXPECT_EQ(Driver()->MajorFunction[IRP_MJ_CREATE], SerialCreate);
  EXPECT_EQ(Driver()->MajorFunction[IRP_MJ_CLEANUP], SerialCleanup);
  EXPECT_EQ(Driver()->MajorFunction[IRP_MJ_CLOSE], SerialClose);
  EXPECT_EQ(Driver()->MajorFunction[IRP_MJ_FLUSH_BUFFERS], SerialFlush);
  EXPECT_EQ(Driver()->MajorFunction[IRP_MJ_POWER], SerialPower);
  EXPECT_EQ(Driver()->MajorFunction[IRP_MJ_SYSTEM_CONTROL], SerialSystemControl);
  EXPECT_EQ(Driver()->DriverUnload, SerialUnload);
  EXPECT_EQ(Driver()->DriverStartIo, nullptr);
  EXPECT_EQ(Driver()->FastIoDispatch, nullptr);
}

// Requests the driver does not serve never reach it: the I/O manager's default
// entry refuses them, the port's count does not move and nothing goes down.
TEST_F(EntryTest, UnservedMajorFunctionsAreRefusedWithoutReachingTheDriver) {
  const UCHAR unserved[] = {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION,
                            IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_LOCK_CONTROL,
                            IRP_MJ_QUERY_SECURITY, IRP_MJ_DIRECTORY_CONTROL};
  for (UCHAR major : unserved) {
    SCOPED_TRACE(sim::io::MajorName(major));
    EXPECT_EQ(Driver()->MajorFunction[major], sim::io::InvalidDeviceRequest);
    sim::io::Request request(device_, major);
    EXPECT_EQ(request.Send(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(request.Completed());
    EXPECT_EQ(request.Status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(request.Information(), 0u);
    EXPECT_EQ(PendingIo(), 1);
  }
  EXPECT_TRUE(lower_->Requests().empty());
}

struct PowerCase {
  UCHAR minor;
  NTSTATUS lowerStatus;
};

class PowerTest : public PortTest, public ::testing::WithParamInterface<PowerCase> {};

TEST_P(PowerTest, GoesDownUnchangedAndReturnsTheLowerStatus) {
  const PowerCase& row = GetParam();
  lower_->CompleteWith(row.lowerStatus);
  sim::debug::Clear();

  sim::io::Request request(device_, IRP_MJ_POWER, row.minor);
  request.Stack()->Parameters.Power.Type = DevicePowerState;
  request.Stack()->Parameters.Power.State.DeviceState = PowerDeviceD3;
  EXPECT_EQ(request.Send(), row.lowerStatus);

  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Status(), row.lowerStatus);
  EXPECT_EQ(sim::debug::Messages(), std::vector<std::string>{"IrpStack->MinorFunction " +
                                                              std::to_string(row.minor) + " \n"});
  EXPECT_EQ(sim::po::NextPowerIrpStarts(request.Irp()), 1);
  ASSERT_EQ(lower_->Requests().size(), 1u);
  const LowerDevice::Seen& seen = lower_->Requests()[0];
  EXPECT_EQ(seen.major, IRP_MJ_POWER);
  EXPECT_EQ(seen.minor, row.minor);
  EXPECT_EQ(seen.stack.Parameters.Power.Type, DevicePowerState);
  EXPECT_EQ(seen.stack.Parameters.Power.State.DeviceState, PowerDeviceD3);
  EXPECT_FALSE(seen.completionRoutineAbove) << "the driver keeps no power state";
  EXPECT_EQ(PendingIo(), 1);
}

INSTANTIATE_TEST_SUITE_P(EveryMinor, PowerTest,
                         ::testing::Values(PowerCase{IRP_MN_WAIT_WAKE, STATUS_NOT_SUPPORTED},
                                           PowerCase{IRP_MN_POWER_SEQUENCE, STATUS_NOT_IMPLEMENTED},
                                           PowerCase{IRP_MN_SET_POWER, STATUS_SUCCESS},
                                           PowerCase{IRP_MN_QUERY_POWER, STATUS_UNSUCCESSFUL}));

TEST_F(EntryTest, APowerRequestHeldBelowStaysPendingAndTheReferenceIsDroppedAtOnce) {
  lower_->Hold();
  sim::io::Request request(device_, IRP_MJ_POWER, IRP_MN_SET_POWER);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  EXPECT_FALSE(request.Completed());
  EXPECT_EQ(PendingIo(), 1);

  lower_->CompleteHeld(STATUS_SUCCESS);
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
}

// A request the port passes down keeps its pending-I/O reference while the
// lower driver has it: dropped before, a removal on another processor could
// delete the port while the request is still on its way down through it.
TEST_F(EntryTest, APassedDownRequestKeepsItsReferenceWhileTheLowerDriverHasIt) {
  const struct {
    const char* name;
    UCHAR major;
    UCHAR minor;
  } cases[] = {
      {"power", IRP_MJ_POWER, IRP_MN_SET_POWER},
      {"system control", IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA},
      {"Plug and Play (stop)", IRP_MJ_PNP, IRP_MN_STOP_DEVICE},
  };
  LONG whileBelow = -1;
  lower_->OnArrival([&](PIRP) { whileBelow = PendingIo(); });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    whileBelow = -1;
    sim::io::Request request(device_, c.major, c.minor);
    EXPECT_EQ(request.Send(), STATUS_SUCCESS);
    EXPECT_EQ(whileBelow, 2) << "the baseline and the request's own reference";
    EXPECT_EQ(PendingIo(), 1);
  }
}

TEST_F(EntryTest, SystemControlReachesTheLowerDriverWithItsStatusPresetToSuccess) {
  lower_->CompleteWith(STATUS_NOT_SUPPORTED);
  sim::io::Request request(device_, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA);
  request.Irp()->IoStatus.Information = 99;
  EXPECT_EQ(request.Send(), STATUS_NOT_SUPPORTED);

  ASSERT_EQ(lower_->Requests().size(), 1u);
  EXPECT_EQ(lower_->Requests()[0].statusOnArrival, STATUS_SUCCESS);
  EXPECT_EQ(lower_->Requests()[0].minor, IRP_MN_QUERY_ALL_DATA);
  EXPECT_FALSE(lower_->Requests()[0].completionRoutineAbove);
  EXPECT_EQ(request.Status(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(PendingIo(), 1);
}

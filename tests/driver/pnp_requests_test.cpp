// The Plug and Play requests of a port: start (configured only once the
// lower drivers have started the device), capabilities, the requests that
// pass down, query-remove and its cancellation, and the debugger messages.
#include "support/pnp_port_test.h"

#include "sim/io/control_request.h"
#include "sim/ke/clock.h"
#include "sim/rtl/debug.h"
#include "sim/usb/devices/layouts.h"
#include "support/test_driver.h"

#include <string>
#include <vector>

using sim::usb::layouts::kBulkIn;
using sim::usb::layouts::kBulkOut;

class PnpRequestTest : public PnpPortTest {
 protected:
  // A control request an application could send; the port answers it only
  // while usable.
  NTSTATUS GetBaudRate() {
    sim::io::ControlRequest request(Device(), IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE));
    return request.Send();
  }
};

// The lower drivers start the device first, whether they finish at once or
// later; only then is it configured. A start they fail reaches the device
// with no USB request at all, and the port is then removed cleanly.
TEST_F(PnpRequestTest, StartConfiguresTheDeviceOnlyAfterTheLowerDriversStartedIt) {
  const struct {
    const char* what;
    NTSTATUS lower;
    int64_t laterMs;  // < 0: at once
  } cases[] = {
      {"at once", STATUS_SUCCESS, -1},
      {"later", STATUS_SUCCESS, 5},
      {"failed at once", STATUS_DEVICE_NOT_CONNECTED, -1},
      {"failed later", STATUS_DEVICE_NOT_CONNECTED, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.laterMs >= 0) {
      bus_->AnswerPnpLater(IRP_MN_START_DEVICE, c.lower, static_cast<uint64_t>(c.laterMs));
    } else {
      bus_->AnswerPnp(IRP_MN_START_DEVICE, c.lower);
    }
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().Start(), c.lower);
    if (NT_SUCCESS(c.lower)) {
      EXPECT_EQ(bus_->Configuration(), 1);
      EXPECT_EQ(Port()->WritePipe, bus_->PipeHandle(kBulkOut));
      EXPECT_EQ(Port()->ReadPipe, bus_->PipeHandle(kBulkIn));
      ASSERT_NE(Port()->DeviceDescriptor, nullptr);
      EXPECT_EQ(Port()->PendingIoCount, 1);
    } else {
      EXPECT_TRUE(bus_->Urbs().empty()) << "a USB request was sent for a device the lower drivers did not start";
      EXPECT_EQ(Port()->WritePipe, nullptr);
    }
    ASSERT_EQ(Pnp().Remove(), STATUS_SUCCESS);
    if (!NT_SUCCESS(c.lower)) {
      EXPECT_TRUE(bus_->Urbs().empty()) << "removal of a port never configured aborts no pipe";
    }
    ExpectNothingLeft(c.what);
    Rebuild(c.what);
  }
}

TEST_F(PnpRequestTest, AFailedConfigurationFailsThePlugAndTheRemovalReleasesTheDescriptors) {
  model_->FailSetConfiguration(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  EXPECT_EQ(Plug(), STATUS_UNSUCCESSFUL);
  ExpectNothingLeft("after the failed plug");
}

// Capabilities older or smaller than version 1 and 64 bytes are refused
// without reaching the lower drivers; others come back from them with
// SurpriseRemovalOK set.
TEST_F(PnpRequestTest, CapabilitiesDeclareSurpriseRemovalSafe) {
  ASSERT_EQ(Plug(), STATUS_SUCCESS);
  const struct {
    USHORT version;
    USHORT size;
    NTSTATUS expected;
  } cases[] = {
      {0, 64, STATUS_UNSUCCESSFUL},
      {1, 63, STATUS_UNSUCCESSFUL},
      {1, 0, STATUS_UNSUCCESSFUL},
      {1, 64, STATUS_SUCCESS},
      {2, 80, STATUS_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("version " + std::to_string(c.version) + ", size " + std::to_string(c.size));
    DEVICE_CAPABILITIES capabilities;
    sim::pnp::Manager::PresetCapabilities(&capabilities);
    capabilities.Version = c.version;
    capabilities.Size = c.size;
    bus_->ClearUrbs();
    size_t seenBefore = bus_->PnpSeen().size();
    EXPECT_EQ(Pnp().QueryCapabilities(&capabilities), c.expected);
    bool passedDown = bus_->PnpSeen().size() != seenBefore;
    EXPECT_EQ(passedDown, NT_SUCCESS(c.expected));
    EXPECT_EQ(static_cast<bool>(capabilities.SurpriseRemovalOK), NT_SUCCESS(c.expected));
    if (passedDown) {
      EXPECT_TRUE(capabilities.Removable) << "the bus driver's answer is kept";
    }
    EXPECT_EQ(Port()->PendingIoCount, 1);
  }
}

// A filter between the port and the bus clears SurpriseRemovalOK on the
// way down; the port sets it again on the way back.
TEST_F(PnpRequestTest, SurpriseRemovalOkIsSetEvenWhenALowerDriverClearsIt) {
  test::TestDriver filterDriver;
  PDEVICE_OBJECT filter = filterDriver.AddDevice(bus_->Pdo());
  bool clearedBelow = false;
  filterDriver.Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, test::CopyDown());
  filterDriver.Serve(IRP_MJ_PNP, [&](PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
      clearedBelow = stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK;
      stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = FALSE;
    }
    return test::CopyDown()(device, irp);
  });
  ASSERT_EQ(Plug(), STATUS_SUCCESS);
  EXPECT_EQ(Port()->LowerDevice, filter);
  EXPECT_EQ(Port()->PhysicalDevice, bus_->Pdo());
  EXPECT_TRUE(clearedBelow) << "the port set SurpriseRemovalOK before passing the request down";
  EXPECT_TRUE(Pnp().LastCapabilities().SurpriseRemovalOK);
  ASSERT_EQ(Pnp().Remove(), STATUS_SUCCESS);
  EXPECT_EQ(filter->AttachedDevice, nullptr) << "the port detached at removal";
  test::TestDriver::RemoveDevice(filter);
}

// Stop, query-stop, cancel-stop and requests the port does not handle go
// down with the lower driver's answer; nothing of the port changes and no
// USB request is sent.
TEST_F(PnpRequestTest, StopRequestsPassDownAndChangeNothing) {
  ASSERT_EQ(Plug(), STATUS_SUCCESS);
  const USBD_PIPE_HANDLE writePipe = Port()->WritePipe;
  bus_->ClearUrbs();
  for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_STOP_DEVICE}) {
    SCOPED_TRACE(sim::pnp::MinorName(minor));
    EXPECT_EQ(Pnp().Send(minor), STATUS_SUCCESS);
    EXPECT_EQ(bus_->PnpSeen().back(), minor);
    bus_->AnswerPnp(minor, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Pnp().Send(minor), STATUS_UNSUCCESSFUL) << "the lower driver's answer comes back";
  }
  EXPECT_EQ(Pnp().Send(IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(bus_->Urbs().empty());
  EXPECT_EQ(Port()->WritePipe, writePipe);
  EXPECT_TRUE(Port()->Started);
  EXPECT_EQ(GetBaudRate(), STATUS_SUCCESS);
  EXPECT_EQ(Port()->PendingIoCount, 1);
}

// Query-remove makes the port refuse requests; a cancelled removal makes it
// usable again.
TEST_F(PnpRequestTest, QueryRemoveRefusesRequestsUntilTheRemovalIsCancelled) {
  ASSERT_EQ(Plug(), STATUS_SUCCESS);
  ASSERT_EQ(GetBaudRate(), STATUS_SUCCESS);
  EXPECT_EQ(Pnp().QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(GetBaudRate(), STATUS_DELETE_PENDING);
  EXPECT_EQ(Pnp().CancelRemove(), STATUS_SUCCESS);
  EXPECT_EQ(bus_->PnpSeen().back(), IRP_MN_CANCEL_REMOVE_DEVICE);
  EXPECT_EQ(GetBaudRate(), STATUS_SUCCESS);
  EXPECT_EQ(Port()->PendingIoCount, 1);
}

TEST_F(PnpRequestTest, EachHandledRequestIsNamedInTheDebuggerOutput) {
  sim::debug::Clear();
  ASSERT_EQ(Plug(), STATUS_SUCCESS);
  Pnp().QueryStop();
  Pnp().CancelStop();
  Pnp().Stop();
  Pnp().QueryRemove();
  Pnp().CancelRemove();
  Pnp().SurpriseRemove();
  Pnp().Remove();
  const std::vector<std::string> expected = {
      "IRP_MN_START_DEVICE \n",
      "IRP_MN_QUERY_CAPABILITIES \n",
      "IRP_MN_QUERY_STOP_DEVICE \n",
      "IRP_MN_STOP_DEVICE \n",
      "IRP_MN_QUERY_REMOVE_DEVICE \n",
      "IRP_MN_SURPRISE_REMOVAL \n",
      "IRP_MN_SURPRISE_REMOVAL status 0,0\n",
      "IRP_MN_REMOVE_DEVICE \n",
  };
  EXPECT_EQ(sim::debug::Messages(), expected);
}

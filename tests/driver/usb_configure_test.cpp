// Configuring the USB device at start, and the synchronous USB requests it
// and open use.
#include "support/usb_port_test.h"

#include "driver/usb/submit.h"
#include "sim/ex/pool.h"
#include "sim/ke/clock.h"
#include "sim/usb/devices/layouts.h"

#include <functional>

using namespace sim::usb;

class ConfigureTest : public UsbPortTest {
 protected:
  std::vector<UrbSeen> DescriptorReads(uint8_t type) {
    std::vector<UrbSeen> reads;
    for (const UrbSeen& urb : bus_->Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)) {
      if (urb.descriptorType == type) reads.push_back(urb);
    }
    return reads;
  }
};

TEST_F(ConfigureTest, TakesInterfaceOnesBulkPipesFromTheExpectedLayout) {
  port_->Started = FALSE;
  EXPECT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_TRUE(port_->Started);
  EXPECT_EQ(port_->WritePipe, bus_->PipeHandle(layouts::kBulkOut));
  EXPECT_EQ(port_->ReadPipe, bus_->PipeHandle(layouts::kBulkIn));
  EXPECT_NE(port_->WritePipe, port_->ReadPipe);
  EXPECT_EQ(bus_->Configuration(), 1);

  ASSERT_NE(port_->DeviceDescriptor, nullptr);
  EXPECT_EQ(port_->DeviceDescriptor->idVendor, layouts::kVendorId);
  EXPECT_EQ(port_->DeviceDescriptor->idProduct, layouts::kProductId);
  ASSERT_NE(port_->ConfigDescriptor, nullptr);
  USHORT total = port_->ConfigDescriptor->wTotalLength;

  // The configuration is read twice: its 9-byte head, then all of it.
  std::vector<UrbSeen> reads = DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].length, 9u);
  EXPECT_EQ(reads[1].length, total);
  ASSERT_EQ(DescriptorReads(USB_DEVICE_DESCRIPTOR_TYPE).size(), 1u);
  EXPECT_EQ(DescriptorReads(USB_DEVICE_DESCRIPTOR_TYPE)[0].length, sizeof(USB_DEVICE_DESCRIPTOR));
}

TEST_F(ConfigureTest, ASecondStartReplacesTheDescriptorsWithoutLeakingTheOldOnes) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  sim::pool::Usage first = sim::pool::Outstanding();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(sim::pool::Outstanding().blocks, first.blocks);
  EXPECT_EQ(port_->WritePipe, bus_->PipeHandle(layouts::kBulkOut));
}

TEST_F(ConfigureTest, AFailedDeviceDescriptorReadFailsTheStartAsInsufficientResources) {
  Device().FailDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  port_->Started = FALSE;
  EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(port_->Started);
  EXPECT_EQ(port_->DeviceDescriptor, nullptr);
  EXPECT_EQ(sim::pool::Outstanding().blocks, 0u);
}

TEST_F(ConfigureTest, AFailedConfigurationReadFailsTheStartAsInsufficientResources) {
  Device().FailDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(port_->ConfigDescriptor, nullptr);
}

// Configuration descriptors that arrive incomplete are never parsed.
TEST_F(ConfigureTest, AConfigurationDescriptorShorterThanItClaimsIsRefused) {
  for (size_t limit : {size_t{0}, size_t{3}, size_t{9}, size_t{20}}) {
    SCOPED_TRACE("configuration reads return at most " + std::to_string(limit) + " bytes");
    Device().LimitDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, limit);
    port_->Started = FALSE;
    EXPECT_EQ(Start(), STATUS_PORT_DESCRIPTOR_INVALID);
    EXPECT_FALSE(port_->Started);
    EXPECT_EQ(port_->ConfigDescriptor, nullptr);
    EXPECT_EQ(bus_->Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size(), 0u);
  }
}

TEST_F(ConfigureTest, ConfigurationClaimingMoreThanTheDeviceSendsIsRefused) {
  TearDown();
  Plug(std::make_unique<ScriptedDevice>(layouts::ClaimingMoreThanItHas(16)));
  SetUp();
  EXPECT_EQ(Start(), STATUS_PORT_DESCRIPTOR_INVALID);
  EXPECT_EQ(bus_->Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size(), 0u);
}

// Configuration descriptors whose chain is malformed: checked before any of
// it is parsed (the USB driver interface library walks a chain as it stands
// and would read past it or loop), refused with a clear status, nothing
// selected, nothing kept of the configuration and nothing leaked (the
// end-of-test checks, which also find the parse routine never saw them).
struct HostileChainCase {
  const char* name;
  std::function<Descriptors()> layout;
};

void PrintTo(const HostileChainCase& row, std::ostream* out) { *out << row.name; }

class HostileChainTest : public ConfigureTest, public ::testing::WithParamInterface<HostileChainCase> {
 protected:
  void SetUp() override {
    Plug(std::make_unique<ScriptedDevice>(GetParam().layout()));
    ConfigureTest::SetUp();
  }
};

TEST_P(HostileChainTest, IsRefusedBeforeParsingWithNothingKept) {
  port_->Started = FALSE;
  EXPECT_EQ(Start(), STATUS_PORT_DESCRIPTOR_INVALID);
  EXPECT_FALSE(port_->Started);
  EXPECT_EQ(port_->ConfigDescriptor, nullptr);
  EXPECT_EQ(port_->WritePipe, nullptr);
  EXPECT_EQ(port_->ReadPipe, nullptr);
  EXPECT_EQ(bus_->Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size(), 0u);
  EXPECT_EQ(bus_->Configuration(), 0) << "the device stays unconfigured";
}

INSTANTIATE_TEST_SUITE_P(
    Chains, HostileChainTest,
    ::testing::Values(HostileChainCase{"ZeroLengthDescriptor", layouts::ZeroLengthDescriptor},
                      HostileChainCase{"DescriptorRunningPastTheEnd", layouts::DescriptorRunningPastTheEnd},
                      HostileChainCase{"TotalLengthCuttingTheLastDescriptor",
                                       layouts::TotalLengthCuttingTheLastDescriptor},
                      HostileChainCase{"TruncatedInterface", layouts::TruncatedInterface},
                      HostileChainCase{"TruncatedEndpoint", layouts::TruncatedEndpoint},
                      HostileChainCase{"TotalLengthBeyondWhatTheDeviceSends",
                                       [] { return layouts::ClaimingMoreThanItHas(16); }}),
    [](const ::testing::TestParamInfo<HostileChainCase>& info) { return std::string(info.param.name); });

struct LayoutCase {
  const char* name;
  std::function<Descriptors()> layout;
  // The USB stack itself refuses a selection that leaves interfaces out;
  // the start then fails with the select request's own status.
  bool stackRefusesSelection;
};

class UnexpectedLayoutTest : public ConfigureTest, public ::testing::WithParamInterface<LayoutCase> {
 protected:
  void SetUp() override {
    Plug(std::make_unique<ScriptedDevice>(GetParam().layout()));
    ConfigureTest::SetUp();
  }
};

TEST_P(UnexpectedLayoutTest, IsRefusedWithAClearStatusAndNothingKeptButTheDescriptors) {
  port_->Started = FALSE;
  NTSTATUS status = Start();
  if (GetParam().stackRefusesSelection) {
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    EXPECT_NE(status, STATUS_INSUFFICIENT_RESOURCES);
  } else {
    EXPECT_EQ(status, STATUS_PORT_LAYOUT_MISMATCH);
  }
  EXPECT_FALSE(port_->Started);
  EXPECT_EQ(port_->WritePipe, nullptr);
  EXPECT_EQ(port_->ReadPipe, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, UnexpectedLayoutTest,
    ::testing::Values(LayoutCase{"OneInterface", layouts::OneInterface, false},
                      LayoutCase{"InBeforeOut", layouts::InBeforeOut, false},
                      LayoutCase{"TwoEndpointsOnInterface0", layouts::TwoEndpointsOnInterface0, false},
                      LayoutCase{"InterfaceNumbers0And2", layouts::InterfaceNumbers0And2, true}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

// Every allocation the start makes, failed in turn: the start fails with
// STATUS_INSUFFICIENT_RESOURCES, nothing leaks (the end-of-test check), and
// the next start succeeds.
TEST_F(ConfigureTest, FailingAnyOneAllocationFailsTheStartCleanly) {
  int failures = 0;
  for (uint64_t n = 1;; ++n) {
    sim::pool::FailNth(n);
    NTSTATUS status = Start();
    sim::pool::StopFailing();
    if (status == STATUS_SUCCESS) break;
    ++failures;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    ASSERT_EQ(Start(), STATUS_SUCCESS) << "after failing allocation " << n;
    ASSERT_LT(n, 50u) << "the start never stopped allocating";
  }
  EXPECT_GE(failures, 8) << "descriptor requests, buffers, interface list, select request and their IRPs";
}

class SubmitTest : public UsbPortTest {};

TEST_F(SubmitTest, GetDeviceStatusSucceedsWhateverTheStatusBitsAndFailsForAGoneDevice) {
  Device().SetStatusWord(3);
  EXPECT_EQ(GetDeviceStatus(device_), STATUS_SUCCESS);
  Device().Unplug(STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(GetDeviceStatus(device_), STATUS_NO_SUCH_DEVICE);
}

TEST_F(SubmitTest, AFailureIsReturnedWhetherTheDeviceAnswersAtOnceOrLater) {
  Device().FailGetStatus(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  EXPECT_EQ(GetDeviceStatus(device_), STATUS_UNSUCCESSFUL);

  Device().AnswerLater(5);
  int64_t before = sim::clock::Now();
  EXPECT_EQ(GetDeviceStatus(device_), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(sim::clock::Now() - before, 5 * sim::clock::kUnitsPerMs) << "the caller waited for the device's answer";
}

// Without pool for the URB (the first allocation) or for the request that
// carries it (the second), nothing reaches the device.
TEST_F(SubmitTest, NoPoolMeansNoRequestReachesTheDevice) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const std::function<NTSTATUS()> operations[] = {[&] { return GetDeviceStatus(device_); },
                                                  [&] { return AbortPipe(device_, port_->ReadPipe); }};
  for (const auto& operation : operations) {
    for (uint64_t n : {1u, 2u}) {
      bus_->ClearUrbs();
      sim::pool::FailNth(n);
      EXPECT_EQ(operation(), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
      sim::pool::StopFailing();
      EXPECT_TRUE(bus_->Urbs().empty());
    }
    EXPECT_EQ(operation(), STATUS_SUCCESS);
  }
}

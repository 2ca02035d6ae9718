// The simulated bus's answers on the default pipe, sent the way a function
// driver's synchronous submission sends them: descriptors (short reads,
// wTotalLength), select configuration (pipe handles, layouts, mismatches),
// get status, a device that is gone, what is not simulated, and the PDO's
// Plug and Play and power answers.
#include "support/usb_test.h"

#include "sim/io/request.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/po/power.h"
#include "sim/usb/devices/gone.h"
#include "sim/usb/devices/scripted.h"

#include <cstring>
#include <functional>
#include <iterator>
#include <set>

using namespace sim::usb;
using test::DescriptorRequest;
using test::PipesOf;
using test::StatusRequest;

namespace {

constexpr size_t kExpectedTotal = 9 + 9 + 7 + 9 + 7 + 7;

struct Read {
  NTSTATUS status;
  USBD_STATUS usbd;
  ULONG returned;  // TransferBufferLength after completion
  Bytes data;      // the buffer, all of it
};

}  // namespace

class UsbControlTest : public UsbTest {
 protected:
  // A descriptor read into a buffer of `length` bytes, filled with 0xEE first.
  Read ReadDescriptor(UCHAR type, UCHAR index, ULONG length) {
    Bytes buffer(length, 0xEE);
    URB urb = DescriptorRequest(type, index, buffer.data(), length);
    NTSTATUS status = function().SubmitSync(&urb).status;
    return {status, urb.UrbHeader.Status, urb.UrbControlDescriptorRequest.TransferBufferLength, buffer};
  }
};

TEST_F(UsbControlTest, ADescriptorReadReturnsWhatFitsAndSaysHowMuch) {
  Plug<ScriptedDevice>();
  const Descriptors expected = layouts::Expected();
  struct Case {
    UCHAR type;
    ULONG asked;
    ULONG returned;
  } cases[] = {{USB_DEVICE_DESCRIPTOR_TYPE, 18, 18},
               {USB_DEVICE_DESCRIPTOR_TYPE, 8, 8},
               {USB_DEVICE_DESCRIPTOR_TYPE, 64, 18},
               {USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 9},
               {USB_CONFIGURATION_DESCRIPTOR_TYPE, kExpectedTotal, kExpectedTotal},
               {USB_CONFIGURATION_DESCRIPTOR_TYPE, 255, kExpectedTotal},
               {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0}};
  for (const Case& c : cases) {
    Read read = ReadDescriptor(c.type, 0, c.asked);
    const Bytes& image = c.type == USB_DEVICE_DESCRIPTOR_TYPE ? expected.device : expected.configurations[0];
    EXPECT_EQ(read.status, STATUS_SUCCESS) << "type " << int(c.type) << ", " << c.asked << " bytes";
    EXPECT_EQ(read.usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(read.returned, c.returned) << "type " << int(c.type) << ", " << c.asked << " bytes asked";
    EXPECT_EQ(Bytes(read.data.begin(), read.data.begin() + c.returned),
              Bytes(image.begin(), image.begin() + c.returned));
    EXPECT_EQ(Bytes(read.data.begin() + c.returned, read.data.end()), Bytes(c.asked - c.returned, 0xEE))
        << "nothing is written past what was returned";
  }
  Read device = ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
  auto descriptor = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(device.data.data());
  EXPECT_EQ(descriptor->idVendor, layouts::kVendorId);
  EXPECT_EQ(descriptor->idProduct, layouts::kProductId);
  Read head = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9);
  EXPECT_EQ(reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(head.data.data())->wTotalLength, kExpectedTotal);

  std::vector<UrbSeen> seen = bus().Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  ASSERT_EQ(seen.size(), std::size(cases) + 2);
  EXPECT_EQ(seen[1].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(seen[1].length, 8u) << "the log keeps the length as submitted";
}

TEST_F(UsbControlTest, DescriptorsTheDeviceDoesNotHaveOrWillNotGiveFail) {
  ScriptedDevice& device = Plug<ScriptedDevice>();
  struct Case {
    const char* what;
    UCHAR type;
    UCHAR index;
    NTSTATUS status;
    USBD_STATUS usbd;
  } stalls[] = {
      {"a string descriptor", USB_STRING_DESCRIPTOR_TYPE, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
      {"a second configuration", USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID}};
  for (const Case& c : stalls) {
    Read read = ReadDescriptor(c.type, c.index, 32);
    EXPECT_EQ(read.status, c.status) << c.what;
    EXPECT_EQ(read.usbd, c.usbd) << c.what;
    EXPECT_EQ(read.returned, 0u) << c.what;
  }
  device.FailDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
  Read failed = ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
  EXPECT_EQ(failed.status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(failed.usbd, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(failed.returned, 0u);
  EXPECT_EQ(ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9).status, STATUS_SUCCESS) << "other types still work";
}

TEST_F(UsbControlTest, ADeviceThatGivesFewerBytesOrClaimsMoreThanItHas) {
  ScriptedDevice& device = Plug<ScriptedDevice>(layouts::ClaimingMoreThanItHas(100));
  Read head = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9);
  ASSERT_EQ(head.status, STATUS_SUCCESS);
  ULONG claimed = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(head.data.data())->wTotalLength;
  EXPECT_EQ(claimed, kExpectedTotal + 100);
  Read all = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, claimed);
  EXPECT_EQ(all.status, STATUS_SUCCESS);
  EXPECT_EQ(all.returned, kExpectedTotal) << "only the bytes the device has";

  for (size_t limit : {size_t{0}, size_t{5}}) {
    device.LimitDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, limit);
    Read limited = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9);
    EXPECT_EQ(limited.status, STATUS_SUCCESS) << "a short answer is a success";
    EXPECT_EQ(limited.returned, limit);
  }
}

TEST_F(UsbControlTest, GetStatusReturnsTheDevicesTwoStatusBytes) {
  ScriptedDevice& device = Plug<ScriptedDevice>();
  device.SetStatusWord(0x0003);
  UCHAR status[2] = {0xEE, 0xEE};
  URB urb = StatusRequest(status);
  EXPECT_EQ(function().SubmitSync(&urb).status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlGetStatusRequest.TransferBufferLength, 2u);
  EXPECT_EQ(status[0], 0x03);
  EXPECT_EQ(status[1], 0x00);

  device.FailGetStatus(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  urb = StatusRequest(status);
  EXPECT_EQ(function().SubmitSync(&urb).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  ASSERT_EQ(bus().Urbs(URB_FUNCTION_GET_STATUS_FROM_DEVICE).size(), 2u);
  EXPECT_EQ(bus().Urbs(URB_FUNCTION_GET_STATUS_FROM_DEVICE)[0].length, 2u);
}

TEST_F(UsbControlTest, SelectingTheExpectedLayoutGivesDistinctHandlesInDescriptorOrder) {
  ScriptedDevice& device = Plug<ScriptedDevice>();
  NTSTATUS status;
  PURB select = function().SelectFirstConfiguration(&status);
  ASSERT_NE(select, nullptr);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_NE(select->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  EXPECT_EQ(bus().Configuration(), 1);
  EXPECT_EQ(device.ConfigurationValue(), 1) << "the device was told";

  auto interfaces = PipesOf(select);
  ASSERT_EQ(interfaces.size(), 2u);
  ASSERT_EQ(interfaces[0].size(), 1u);
  ASSERT_EQ(interfaces[1].size(), 2u);
  struct Expect {
    const USBD_PIPE_INFORMATION& pipe;
    UCHAR address;
    USBD_PIPE_TYPE type;
  } expects[] = {{interfaces[0][0], layouts::kInterruptIn, UsbdPipeTypeInterrupt},
                 {interfaces[1][0], layouts::kBulkOut, UsbdPipeTypeBulk},
                 {interfaces[1][1], layouts::kBulkIn, UsbdPipeTypeBulk}};
  std::set<USBD_PIPE_HANDLE> handles;
  for (const Expect& e : expects) {
    EXPECT_EQ(e.pipe.EndpointAddress, e.address);
    EXPECT_EQ(e.pipe.PipeType, e.type) << "endpoint 0x" << std::hex << int(e.address);
    EXPECT_EQ(e.pipe.MaximumPacketSize, layouts::kMaxPacket);
    EXPECT_NE(e.pipe.PipeHandle, nullptr);
    EXPECT_EQ(bus().PipeHandle(e.address), e.pipe.PipeHandle);
    handles.insert(e.pipe.PipeHandle);
  }
  EXPECT_EQ(handles.size(), 3u) << "every pipe has its own handle";
  auto first = &select->UrbSelectConfiguration.Interface;
  auto second = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(first) + first->Length);
  EXPECT_NE(first->InterfaceHandle, nullptr);
  EXPECT_NE(first->InterfaceHandle, second->InterfaceHandle);
  EXPECT_EQ(second->Class, 0xFF);
#if defined(_X86_)
  // Where a driver that does not walk the records takes interface 1's pipes.
  auto at = [select](size_t offset) {
    USBD_PIPE_HANDLE handle;
    std::memcpy(&handle, reinterpret_cast<uint8_t*>(select) + offset, sizeof handle);
    return handle;
  };
  EXPECT_EQ(select->UrbHeader.Length, 116u);
  EXPECT_EQ(at(84), interfaces[1][0].PipeHandle) << "offset 84: interface 1's bulk OUT pipe";
  EXPECT_EQ(at(104), interfaces[1][1].PipeHandle) << "offset 104: interface 1's bulk IN pipe";
#endif
  ExFreePool(select);
}

TEST_F(UsbControlTest, UnexpectedLayoutsAreSelectedAsTheyAre) {
  struct Case {
    const char* what;
    Descriptors layout;
    NTSTATUS status;
    std::vector<std::vector<UCHAR>> endpoints;  // per interface record, on success
  } cases[] = {
      {"one interface", layouts::OneInterface(), STATUS_SUCCESS, {{0x81}}},
      {"IN before OUT", layouts::InBeforeOut(), STATUS_SUCCESS, {{0x81}, {0x82, 0x02}}},
      {"two endpoints on interface 0",
       layouts::TwoEndpointsOnInterface0(),
       STATUS_SUCCESS,
       {{0x81, 0x83}, {0x02, 0x82}}},
      // The list ends where interface 1 is missing; the request then lacks
      // interface 2 and does not fit the configuration.
      {"interfaces 0 and 2", layouts::InterfaceNumbers0And2(), STATUS_INVALID_PARAMETER, {}},
  };
  for (const Case& c : cases) {
    Plug<ScriptedDevice>(c.layout);
    NTSTATUS status;
    PURB select = function().SelectFirstConfiguration(&status);
    ASSERT_NE(select, nullptr) << c.what;
    EXPECT_EQ(status, c.status) << c.what;
    if (status == STATUS_SUCCESS) {
      auto interfaces = PipesOf(select);
      ASSERT_EQ(interfaces.size(), c.endpoints.size()) << c.what;
      for (size_t i = 0; i < interfaces.size(); ++i) {
        std::vector<UCHAR> addresses;
        for (const USBD_PIPE_INFORMATION& pipe : interfaces[i]) addresses.push_back(pipe.EndpointAddress);
        EXPECT_EQ(addresses, c.endpoints[i]) << c.what << ", interface record " << i;
      }
    } else {
      EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER) << c.what;
      EXPECT_EQ(bus().Configuration(), 0) << c.what << ": a failed selection configures nothing";
    }
    ExFreePool(select);
    Unplug();
  }
}

TEST_F(UsbControlTest, ASelectionThatDoesNotFitTheConfigurationFails) {
  // Each case damages a request built for the expected layout, or sends it
  // to a device whose configuration differs.
  struct Case {
    const char* what;
    Descriptors device;
    std::function<void(PURB)> damage;
    USBD_STATUS usbd;
  };
  auto second = [](PURB urb) {
    auto first = &urb->UrbSelectConfiguration.Interface;
    return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(first) + first->Length);
  };
  std::vector<Case> cases = {
      {"an interface number the device lacks", layouts::Expected(), [&](PURB urb) { second(urb)->InterfaceNumber = 5; },
       USBD_STATUS_INTERFACE_NOT_FOUND},
      {"the same interface twice", layouts::Expected(), [&](PURB urb) { second(urb)->InterfaceNumber = 0; },
       USBD_STATUS_INTERFACE_NOT_FOUND},
      {"a record too small for the device's pipes", layouts::TwoEndpointsOnInterface0(), nullptr,
       USBD_STATUS_BUFFER_TOO_SMALL},
      {"a URB cut short before its last record", layouts::Expected(),
       [](PURB urb) { urb->UrbHeader.Length = static_cast<USHORT>(urb->UrbHeader.Length - 20); },
       USBD_STATUS_INVALID_PARAMETER},
      {"a configuration value the device lacks", layouts::Expected(),
       [](PURB urb) { urb->UrbSelectConfiguration.ConfigurationDescriptor->bConfigurationValue = 7; },
       USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
  };
  for (const Case& c : cases) {
    Plug<ScriptedDevice>(c.device);
    // The driver's request, built from the expected layout's descriptor.
    Bytes copy = layouts::Expected().configurations[0];
    auto configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, -1, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, -1, -1, -1, -1), nullptr},
        {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(select, nullptr);
    if (c.damage) c.damage(select);
    EXPECT_EQ(function().SubmitSync(select).status, STATUS_INVALID_PARAMETER) << c.what;
    EXPECT_EQ(select->UrbHeader.Status, c.usbd) << c.what;
    EXPECT_EQ(bus().Configuration(), 0) << c.what;
    EXPECT_EQ(bus().PipeHandle(layouts::kBulkIn), nullptr) << c.what;
    ExFreePool(select);
    Unplug();
  }
}

TEST_F(UsbControlTest, SelectingAgainClosesTheOldPipesAndANullDescriptorUnconfigures) {
  ScriptedDevice& device = Plug<ScriptedDevice>();
  NTSTATUS status;
  PURB first = function().SelectFirstConfiguration(&status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  USBD_PIPE_HANDLE oldIn = bus().PipeHandle(layouts::kBulkIn);
  PURB second = function().SelectFirstConfiguration(&status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_NE(bus().PipeHandle(layouts::kBulkIn), oldIn) << "a new selection gives new handles";

  UCHAR data[8];
  URB stale = test::BulkRequest(oldIn, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, data, sizeof data);
  EXPECT_EQ(function().SubmitSync(&stale).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  URB unconfigure;
  std::memset(&unconfigure, 0, sizeof unconfigure);
  UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(function().SubmitSync(&unconfigure).status, STATUS_SUCCESS);
  EXPECT_EQ(bus().Configuration(), 0);
  EXPECT_EQ(device.ConfigurationValue(), 0);
  EXPECT_EQ(bus().PipeHandle(layouts::kBulkIn), nullptr);
  ExFreePool(first);
  ExFreePool(second);
}

TEST_F(UsbControlTest, AFailedSetConfigurationLeavesTheDeviceUnconfigured) {
  ScriptedDevice& device = Plug<ScriptedDevice>();
  device.FailSetConfiguration(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  NTSTATUS status;
  PURB select = function().SelectFirstConfiguration(&status);
  ASSERT_NE(select, nullptr);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(bus().Configuration(), 0);
  ExFreePool(select);
}

TEST_F(UsbControlTest, EveryRequestToAGoneDeviceFails) {
  for (NTSTATUS gone : {STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED}) {
    Plug<GoneDevice>(gone);
    UCHAR buffer[64];
    URB urbs[] = {DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 18), StatusRequest(buffer),
                  test::AbortRequest(reinterpret_cast<USBD_PIPE_HANDLE>(0x1000)),
                  test::BulkRequest(reinterpret_cast<USBD_PIPE_HANDLE>(0x1000), 0, buffer, 8)};
    for (URB& urb : urbs) {
      EXPECT_EQ(function().SubmitSync(&urb).status, gone) << UrbFunctionName(urb.UrbHeader.Function);
      EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE) << UrbFunctionName(urb.UrbHeader.Function);
    }
    EXPECT_EQ(urbs[0].UrbControlDescriptorRequest.TransferBufferLength, 0u);
    NTSTATUS status;
    PURB select = function().SelectFirstConfiguration(&status);
    EXPECT_EQ(select, nullptr) << "the first descriptor read fails already";
    EXPECT_EQ(status, gone);
    Unplug();
  }
}

TEST_F(UsbControlTest, AnswersComeInsideTheCallOrLaterAsTheDeviceSays) {
  ScriptedDevice& device = Plug<ScriptedDevice>();
  device.AnswerInline();
  UCHAR status[2];
  URB urb = StatusRequest(status);
  test::UsbFunction::SyncResult now = function().SubmitSync(&urb);
  EXPECT_EQ(now.returned, STATUS_SUCCESS);
  EXPECT_FALSE(now.waited);

  device.AnswerLater(5);
  urb = StatusRequest(status);
  int64_t before = sim::clock::Now();
  test::UsbFunction::SyncResult later = function().SubmitSync(&urb);
  EXPECT_EQ(later.returned, STATUS_PENDING);
  EXPECT_TRUE(later.waited);
  EXPECT_EQ(later.status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlGetStatusRequest.TransferBufferLength, 2u);
  EXPECT_EQ(sim::clock::Now() - before, 5 * sim::clock::kUnitsPerMs) << "the wait let virtual time run to the answer";

  // A deferred request can be cancelled while it waits.
  sim::io::Request request(function().Lower(), IRP_MJ_INTERNAL_DEVICE_CONTROL);
  request.Stack()->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  urb = StatusRequest(status);
  request.Stack()->Parameters.Others.Argument1 = &urb;
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  EXPECT_TRUE(request.Cancel());
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  sim::clock::AdvanceMs(10);  // the scheduled answer finds nothing left
}

TEST_F(UsbControlTest, WhatIsNotSimulatedFailsLoudly) {
  Plug<ScriptedDevice>();
  URB vendor;
  std::memset(&vendor, 0, sizeof vendor);
  vendor.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  vendor.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
  EXPECT_EQ(function().SubmitSync(&vendor).status, STATUS_NOT_SUPPORTED);
  ExpectOnlyFinding(sim::verifier::Rule::UnsupportedCall);

  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, function().Lower(), nullptr, 0, nullptr,
                                           0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(function().Lower(), irp), STATUS_NOT_SUPPORTED);
  ExpectOnlyFinding(sim::verifier::Rule::UnsupportedCall);
}

TEST_F(UsbControlTest, ThePdoAnswersPlugAndPlayAndPowerAsABusDriverDoes) {
  Plug<ScriptedDevice>();
  struct Case {
    UCHAR minor;
    NTSTATUS status;
  } cases[] = {{IRP_MN_START_DEVICE, STATUS_SUCCESS},
               {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
               {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
               {IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},
               {IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
               {IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED}};  // not handled: the status it came with
  for (const Case& c : cases) {
    sim::io::Request request(bus().Pdo(), IRP_MJ_PNP, c.minor);
    EXPECT_EQ(request.Send(), c.status) << "minor 0x" << std::hex << int(c.minor);
    EXPECT_EQ(request.Status(), c.status);
  }

  DEVICE_CAPABILITIES capabilities;
  std::memset(&capabilities, 0, sizeof capabilities);
  capabilities.Size = sizeof capabilities;
  capabilities.Version = 1;
  sim::io::Request query(bus().Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
  query.Stack()->Parameters.DeviceCapabilities.Capabilities = &capabilities;
  EXPECT_EQ(query.Send(), STATUS_SUCCESS);
  EXPECT_TRUE(capabilities.Removable);
  EXPECT_EQ(capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);

  for (UCHAR minor : {IRP_MN_SET_POWER, IRP_MN_QUERY_POWER}) {
    sim::io::Request power(bus().Pdo(), IRP_MJ_POWER, minor);
    EXPECT_EQ(power.Send(), STATUS_SUCCESS);
    EXPECT_EQ(sim::po::NextPowerIrpStarts(power.Irp()), 1) << "PoStartNextPowerIrp for every power IRP";
  }
}

// Selecting a configuration is a PASSIVE_LEVEL request: sent at
// DISPATCH_LEVEL, it is reported among whatever else the raised IRQL breaks.
// The device answers inside the call, so that the requests end there and
// no wait at the raised IRQL is left waiting for a DPC that cannot run.
TEST_F(UsbControlTest, SelectingAConfigurationAbovePassiveLevelIsReported) {
  Plug<ScriptedDevice>().AnswerInline();
  NTSTATUS status;
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  PURB select = function().SelectFirstConfiguration(&status);
  sim::ke::LowerIrql(old, "test");
  ASSERT_NE(select, nullptr);
  std::vector<sim::verifier::Finding> findings = sim::verifier::Take();
  size_t reported = 0;
  for (const sim::verifier::Finding& finding : findings) {
    if (finding.rule == sim::verifier::Rule::IrqlTooHigh &&
        finding.message.find("URB_FUNCTION_SELECT_CONFIGURATION") != std::string::npos) {
      ++reported;
    }
  }
  EXPECT_EQ(reported, 1u) << sim::verifier::Describe(findings);
  ExFreePool(select);
}

// Control reads into an MDL are not simulated: said so, not answered wrongly.
TEST_F(UsbControlTest, AControlReadIntoAnMdlIsReportedAsUnsupported) {
  Plug<ScriptedDevice>();
  UCHAR buffer[18];
  MDL mdl{};
  URB urb = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
  urb.UrbControlDescriptorRequest.TransferBufferMDL = &mdl;
  EXPECT_NE(function().SubmitSync(&urb).status, STATUS_SUCCESS);
  std::vector<sim::verifier::Finding> findings = sim::verifier::Take();
  ASSERT_EQ(findings.size(), 1u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, sim::verifier::Rule::UnsupportedCall);
  EXPECT_NE(findings[0].message.find("TransferBufferMDL"), std::string::npos) << findings[0].message;
}

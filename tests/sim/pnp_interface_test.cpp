// Device interfaces in the simulated Plug and Play manager: the name
// IoRegisterDeviceInterface gives and the pool it comes in, registering
// again, the enabled state and what IoSetDeviceInterfaceState answers for
// each change, failure injection, opening an enabled interface by name, and
// an interface left enabled at the end of a test.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/ex/pool.h"
#include "sim/io/file.h"
#include "sim/ob/namespace.h"
#include "sim/pnp/pnp.h"

#include <memory>
#include <string>
#include <vector>

using sim::verifier::Rule;
using test::TestDriver;

namespace {

constexpr char16_t kComPortLink[] =
    u"\\??\\USB#VID_0000&PID_0000#7&1234&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

std::u16string Text(const UNICODE_STRING& name) { return sim::ob::FromUnicode(&name); }

}  // namespace

class InterfaceTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = std::make_unique<TestDriver>();
    pdo_ = driver_->AddDevice();
    sim::pnp::SetInstanceId(pdo_, u"USB\\VID_0000&PID_0000\\7&1234&0&1");
  }
  void TearDown() override {
    TestDriver::RemoveDevice(pdo_);
    driver_.reset();
    KernelTest::TearDown();
  }

  // Registers the COM-port interface; the caller frees the name.
  UNICODE_STRING Register(PUNICODE_STRING reference = nullptr) {
    UNICODE_STRING name{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &sim::pnp::kComPortInterface, reference, &name), STATUS_SUCCESS);
    return name;
  }

  std::unique_ptr<TestDriver> driver_;
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(InterfaceTest, RegisteringGivesTheDevicesNameInPoolTheCallerFrees) {
  UNICODE_STRING name = Register();
  ASSERT_NE(name.Buffer, nullptr);
  EXPECT_EQ(Text(name), kComPortLink);
  EXPECT_EQ(name.MaximumLength, name.Length + sizeof(WCHAR));
  EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], 0) << "the name is null-terminated";
  EXPECT_EQ(sim::pool::Outstanding().blocks, 1u) << "the name comes from the pool";

  std::vector<sim::pnp::Interface> registered = sim::pnp::Interfaces(sim::pnp::kComPortInterface);
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_EQ(registered[0].symbolicLink, kComPortLink);
  EXPECT_EQ(registered[0].pdo, pdo_);
  EXPECT_FALSE(registered[0].enabled) << "a new interface starts disabled";
  ExFreePool(name.Buffer);
}

TEST_F(InterfaceTest, RegisteringAgainGivesTheSameNameAndKeepsTheState) {
  UNICODE_STRING first = Register();
  ASSERT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_SUCCESS);
  UNICODE_STRING second = Register();
  EXPECT_NE(first.Buffer, second.Buffer) << "each registration hands out its own copy";
  EXPECT_EQ(Text(second), Text(first));
  std::vector<sim::pnp::Interface> registered = sim::pnp::Interfaces(sim::pnp::kComPortInterface);
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_TRUE(registered[0].enabled);
  EXPECT_EQ(IoSetDeviceInterfaceState(&second, FALSE), STATUS_SUCCESS);
  ExFreePool(first.Buffer);
  ExFreePool(second.Buffer);
}

TEST_F(InterfaceTest, AReferenceStringEndsTheName) {
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, L"port0");
  UNICODE_STRING name = Register(&reference);
  EXPECT_EQ(Text(name), std::u16string(kComPortLink) + u"\\port0");
  ExFreePool(name.Buffer);
}

TEST_F(InterfaceTest, RefusedRegistrationsChangeNothing) {
  PDEVICE_OBJECT fdo = driver_->AddDevice(pdo_);
  UNICODE_STRING name{0, 0, reinterpret_cast<PWSTR>(0x1)};
  EXPECT_EQ(IoRegisterDeviceInterface(fdo, &sim::pnp::kComPortInterface, nullptr, &name),
            STATUS_INVALID_DEVICE_REQUEST)
      << "the function driver's own device object is no PDO";
  sim::pool::FailNth(1);
  EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &sim::pnp::kComPortInterface, nullptr, &name),
            STATUS_INSUFFICIENT_RESOURCES)
      << "no pool for the name";
  sim::pnp::FailNext(sim::pnp::Routine::RegisterDeviceInterface, 1, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &sim::pnp::kComPortInterface, nullptr, &name), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(name.Buffer, reinterpret_cast<PWSTR>(0x1)) << "a refused registration wrote the name";
  EXPECT_TRUE(sim::pnp::Interfaces(sim::pnp::kComPortInterface).empty());
  EXPECT_EQ(sim::pool::Outstanding().blocks, 0u);
  TestDriver::RemoveDevice(fdo);
}

// Each step changes the state as Windows does and answers as Windows does.
TEST_F(InterfaceTest, EnablingAndDisablingAnswerForEveryState) {
  struct Step {
    BOOLEAN enable;
    NTSTATUS expected;
    bool enabledAfter;
  };
  const Step kSteps[] = {
      {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, false},  // disabling what is not enabled
      {TRUE, STATUS_SUCCESS, true},
      {TRUE, STATUS_OBJECT_NAME_EXISTS, true},  // enabled twice: a success code
      {FALSE, STATUS_SUCCESS, false},
      {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, false},
      {TRUE, STATUS_SUCCESS, true},
      {FALSE, STATUS_SUCCESS, false},
  };
  UNICODE_STRING name = Register();
  int step = 0;
  for (const Step& row : kSteps) {
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, row.enable), row.expected) << "step " << step;
    EXPECT_EQ(sim::pnp::FindInterface(kComPortLink)->enabled, row.enabledAfter) << "step " << step;
    ++step;
  }
  ExFreePool(name.Buffer);
}

TEST_F(InterfaceTest, UnknownNamesAndInjectedFailuresChangeNothing) {
  UNICODE_STRING unknown;
  RtlInitUnicodeString(&unknown, L"\\??\\USB#VID_0000&PID_0000#other#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  UNICODE_STRING name = Register();
  sim::pnp::FailNext(sim::pnp::Routine::SetDeviceInterfaceState, 1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(sim::pnp::FindInterface(kComPortLink)->enabled);
  ExFreePool(name.Buffer);
}

TEST_F(InterfaceTest, AnEnabledInterfaceOpensTheTopOfItsDevicesStack) {
  PDEVICE_OBJECT fdo = driver_->AddDevice(pdo_);
  int opens = 0;
  driver_->Serve(IRP_MJ_CREATE, [&opens](PDEVICE_OBJECT device, PIRP irp) {
    ++opens;
    return test::CompleteWith(STATUS_SUCCESS)(device, irp);
  });
  driver_->Serve(IRP_MJ_CLEANUP, test::CompleteWith(STATUS_SUCCESS));
  driver_->Serve(IRP_MJ_CLOSE, test::CompleteWith(STATUS_SUCCESS));
  UNICODE_STRING name = Register();
  std::unique_ptr<sim::io::FileHandle> handle;
  EXPECT_EQ(sim::io::FileHandle::OpenByName(kComPortLink, &handle), STATUS_OBJECT_NAME_NOT_FOUND)
      << "a disabled interface";
  ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::FileHandle::OpenByName(kComPortLink, &handle), STATUS_SUCCESS);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->Device(), fdo);
  handle.reset();
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
  ExFreePool(name.Buffer);
  TestDriver::RemoveDevice(fdo);
}

TEST_F(InterfaceTest, AnInterfaceLeftEnabledIsReportedAtTheEnd) {
  UNICODE_STRING name = Register();
  ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  ExFreePool(name.Buffer);
  TestDriver::RemoveDevice(pdo_);
  pdo_ = nullptr;
  std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
  ASSERT_EQ(findings.size(), 1u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, Rule::DeviceInterfaceLeftEnabled);
  EXPECT_NE(findings[0].message.find("7&1234&0&1"), std::string::npos) << findings[0].message;
  pdo_ = driver_->AddDevice();  // for the tear-down
}

TEST_F(InterfaceTest, ANameNeverFreedIsPoolLeaked) {
  Register();
  TestDriver::RemoveDevice(pdo_);
  std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
  ASSERT_EQ(findings.size(), 1u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, Rule::PoolLeaked);
  pdo_ = driver_->AddDevice();  // for the tear-down
}

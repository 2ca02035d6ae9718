// The port device that add-device creates: its NT name from the device's
// hardware key, the numbered fallback, the state a successful add leaves,
// and the adds that fail without leaving anything behind.
#include "support/pnp_port_test.h"

#include "driver/pnp/pnp.h"

#include "support/test_driver.h"

#include <functional>
#include <string>
#include <vector>

namespace {

const std::u16string kEnumUsb = sim::cm::kEnum + u"\\USB\\VID_0000&PID_0000";

std::u16string Number(int n) {
  std::u16string text;
  for (char c : std::to_string(n)) text.push_back(static_cast<char16_t>(c));
  return text;
}

}  // namespace

class AddDeviceTest : public PnpPortTest {};

TEST_F(AddDeviceTest, LeavesAnInitialisedPortWithTheBaselineReference) {
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  PDEVICE_OBJECT device = Device();
  ASSERT_NE(device, nullptr);
  PortExtension* port = Port();
  EXPECT_EQ(port->Self, device);
  EXPECT_EQ(port->PhysicalDevice, bus_->Pdo());
  EXPECT_EQ(port->LowerDevice, bus_->Pdo());
  EXPECT_EQ(port->PendingIoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&port->NoPendingIoEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&port->RemoveEvent), 0);
  EXPECT_TRUE(port->Started);
  EXPECT_FALSE(port->Removed);
  EXPECT_FALSE(port->RemovePending);
  EXPECT_EQ(port->BaudRate, 9600u);
  EXPECT_EQ(device->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING | DO_EXCLUSIVE),
            static_cast<ULONG>(DO_DIRECT_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE));
  EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  // The record's name is counted, with room for and holding its null.
  const UNICODE_STRING& name = port->DeviceName;
  EXPECT_EQ(name.MaximumLength, name.Length + sizeof(WCHAR));
  EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], 0);
}

// The NT name comes from the last component before "\Device Parameters";
// a key name without one, or too long for the query, gets a numbered name.
TEST_F(AddDeviceTest, NamesTheDeviceAfterItsInstance) {
  const std::u16string longInstance(100, u'7');
  const struct {
    std::u16string key;
    std::u16string expected;
  } cases[] = {
      {kEnumUsb + u"\\7&1234&0&1\\Device Parameters", u"\\Device\\Serial_7&1234&0&1"},
      {kEnumUsb + u"\\7&1234&0&1\\Device Parameters\\x\\Device Parameters", u"\\Device\\Serial_7&1234&0&1"},
      {kEnumUsb + u"\\7&1234&0&1\\Parameters", u"\\Device\\Serial0"},
      {kEnumUsb + u"\\7&1234&0&1\\device parameters", u"\\Device\\Serial0"},
      {kEnumUsb + u"\\" + longInstance + u"\\Device Parameters", u"\\Device\\Serial0"},
  };
  for (const auto& c : cases) {
    std::string trace = "key " + sim::ob::Narrow(c.key);
    SCOPED_TRACE(trace);
    sim::pnp::SetParametersKey(bus_->Pdo(), c.key);
    SetPortName(u"COM5");
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::Narrow(NtName()), sim::ob::Narrow(c.expected));
    EXPECT_EQ(sim::ob::Lookup(c.expected), Device());
    Rebuild(trace);
  }
}

TEST_F(AddDeviceTest, TakenNamesFallBackToTheFirstFreeNumberedName) {
  // Another driver's devices hold the instance name and Serial0.
  test::TestDriver other;
  auto take = [&](const std::u16string& text) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(text.c_str()));
    PDEVICE_OBJECT taken = nullptr;
    EXPECT_EQ(IoCreateDevice(other.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &taken), STATUS_SUCCESS);
    return taken;
  };
  std::vector<PDEVICE_OBJECT> taken = {take(u"\\Device\\Serial_6&1f2e3d4c&0&1"), take(u"\\Device\\Serial0")};
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  EXPECT_EQ(sim::ob::Narrow(NtName()), "\\Device\\Serial1");
  EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), NtName());
  ASSERT_EQ(Pnp().Remove(), STATUS_SUCCESS);

  // All 128 numbered names as well: the add fails and leaves nothing.
  for (int n = 1; n < 128; ++n) taken.push_back(take(u"\\Device\\Serial" + Number(n)));
  EXPECT_EQ(Add(), STATUS_OBJECT_NAME_COLLISION);
  ExpectNothingLeft("after the add that found every name taken");
  for (PDEVICE_OBJECT device : taken) IoDeleteDevice(device);
}

// An add that fails returns the failing step's status and leaves no device
// object, link, value, interface, key handle or pool behind.
TEST_F(AddDeviceTest, AFailedAddReturnsItsCauseAndLeavesNothing) {
  using sim::pnp::Routine;
  const struct {
    const char* what;
    std::function<void()> arrange;
    NTSTATUS expected;
  } cases[] = {
      {"the hardware key cannot be opened",
       []  { sim::pnp::FailNext(Routine::OpenDeviceRegistryKey, 1, STATUS_ACCESS_DENIED); },
       STATUS_ACCESS_DENIED},
      {"the key's name cannot be read",
       []  { sim::cm::FailNext(sim::cm::Routine::QueryKey, 1, STATUS_KEY_DELETED); },
       STATUS_KEY_DELETED},
      {"the parameters cannot be opened for publishing",
       []  { sim::pnp::FailNext(Routine::OpenDeviceRegistryKey, 1, STATUS_ACCESS_DENIED, 1); },
       STATUS_ACCESS_DENIED},
      {"neither PortName nor Identifier", [this]  { sim::cm::DeleteValue(Key(), u"PortName"); },
       STATUS_OBJECT_NAME_NOT_FOUND},
      {"the interface cannot be registered",
       []  { sim::pnp::FailNext(Routine::RegisterDeviceInterface, 1, STATUS_INSUFFICIENT_RESOURCES); },
       STATUS_INSUFFICIENT_RESOURCES},
      {"the interface cannot be enabled",
       []  { sim::pnp::FailNext(Routine::SetDeviceInterfaceState, 1, STATUS_ACCESS_DENIED); },
       STATUS_ACCESS_DENIED},
      // Windows attaches nothing above a device still initializing.
      {"attaching yields no lower device",
       [this]  { bus_->Pdo()->Flags |= DO_DEVICE_INITIALIZING; }, STATUS_NO_SUCH_DEVICE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    EXPECT_EQ(Add(), c.expected);
    bus_->Pdo()->Flags &= ~DO_DEVICE_INITIALIZING;
    ExpectNothingLeft(c.what);
    Rebuild(c.what);
  }
}

// The two device names are formed by the driver itself, not by the kernel's
// formatter (which the Windows 2000 driver must not import), with the
// formatter's rules: the same characters, cut to fit the buffer in the same
// place, always null-terminated, and the same status, for every buffer size.
TEST(DeviceNameTest, IsFormedAsTheSafeStringFormatterWouldFormIt) {
  // A vector, not a std::wstring: the C++ library is built with 4-byte wchar_t.
  std::vector<wchar_t> longInstance(300, L'7');
  longInstance.push_back(0);
  const std::vector<const wchar_t*> instances = {L"7&1234&0&1", L"", L"x", longInstance.data()};
  const std::vector<USHORT> numbers = {0, 1, 9, 10, 99, 100, 127, 1000, 9999, 10000, 65535};
  const std::vector<size_t> sizes = {1, 2, 3, 14, 15, 16, 17, 20, 25, 256};
  for (size_t size : sizes) {
    for (const wchar_t* instance : instances) {
      std::vector<WCHAR> mine(size + 4, 0x5555), theirs(size + 4, 0x5555);
      NTSTATUS formed = FormatInstanceDeviceName(mine.data(), size, instance);
      NTSTATUS expected = RtlStringCchPrintfW(theirs.data(), size, L"\\Device\\Serial_%ws", instance);
      size_t length = 0;
      while (instance[length] != 0) ++length;
      const std::string what = "instance of " + std::to_string(length) + " characters into " + std::to_string(size);
      EXPECT_EQ(formed, expected) << what;
      EXPECT_EQ(mine, theirs) << what;
    }
    for (USHORT number : numbers) {
      std::vector<WCHAR> mine(size + 4, 0x5555), theirs(size + 4, 0x5555);
      NTSTATUS formed = FormatNumberedDeviceName(mine.data(), size, number);
      NTSTATUS expected = RtlStringCchPrintfW(theirs.data(), size, L"\\Device\\Serial%d", static_cast<int>(number));
      const std::string what = "number " + std::to_string(number) + " into " + std::to_string(size);
      EXPECT_EQ(formed, expected) << what;
      EXPECT_EQ(mine, theirs) << what;
    }
  }
  WCHAR untouched = 0x5555;
  EXPECT_EQ(FormatNumberedDeviceName(&untouched, 0, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(untouched, 0x5555) << "a buffer of no characters is not written";
}

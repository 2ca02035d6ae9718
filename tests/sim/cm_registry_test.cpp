// The simulated registry: a device's hardware key opened with
// IoOpenDeviceRegistryKey, the answers of ZwQueryKey and ZwQueryValueKey for
// every buffer size (filled with 0x55 first, to see exactly what each call
// writes), hostile values, the device map written with
// RtlWriteRegistryValue and RtlDeleteRegistryValue, failure injection, key
// handles left open or closed twice, and calls at DISPATCH_LEVEL.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/cm/registry.h"
#include "sim/ke/ke.h"
#include "sim/ob/namespace.h"
#include "sim/pnp/pnp.h"

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using sim::verifier::Rule;
using test::TestDriver;

namespace {

constexpr char16_t kInstance[] = u"USB\\VID_0000&PID_0000\\7&1234&0&1";
constexpr char16_t kParameters[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0000&PID_0000\\7&1234&0&1\\Device Parameters";
constexpr uint8_t kFill = 0x55;
constexpr size_t kSlack = 16;  // bytes past the stated Length that must stay untouched

// One query into a buffer of `length` bytes with kSlack more behind it.
struct Answer {
  NTSTATUS status;
  ULONG resultLength;
  std::vector<uint8_t> buffer;  // length + kSlack bytes

  ULONG U32(size_t offset) const {
    ULONG value;
    std::memcpy(&value, buffer.data() + offset, sizeof value);
    return value;
  }
  std::u16string Text(size_t offset, size_t bytes) const {
    std::u16string text(bytes / 2, u'\0');
    std::memcpy(&text[0], buffer.data() + offset, bytes);
    return text;
  }
  // No byte from `from` on was written.
  bool UntouchedFrom(size_t from) const {
    for (size_t i = from; i < buffer.size(); ++i) {
      if (buffer[i] != kFill) return false;
    }
    return true;
  }
};

Answer Query(ULONG length, const std::function<NTSTATUS(PVOID, ULONG, PULONG)>& call) {
  Answer answer{0, 0xDEADBEEF, std::vector<uint8_t>(length + kSlack, kFill)};
  answer.status = call(answer.buffer.data(), length, &answer.resultLength);
  return answer;
}

Answer QueryKey(HANDLE key, KEY_INFORMATION_CLASS kind, ULONG length) {
  return Query(length, [&](PVOID buffer, ULONG size, PULONG result) { return ZwQueryKey(key, kind, buffer, size, result); });
}

Answer QueryValue(HANDLE key, const WCHAR* name, KEY_VALUE_INFORMATION_CLASS kind, ULONG length) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  return Query(length, [&](PVOID buffer, ULONG size, PULONG result) {
    return ZwQueryValueKey(key, &valueName, kind, buffer, size, result);
  });
}

std::vector<uint8_t> Utf16(const std::u16string& text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  return std::vector<uint8_t>(bytes, bytes + text.size() * 2);
}

}  // namespace

// A kernel test with a device node: a device of a test driver standing in
// for the PDO, with the instance identifier of the example device.
class RegistryTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = std::make_unique<TestDriver>();
    pdo_ = driver_->AddDevice();
    sim::pnp::SetInstanceId(pdo_, kInstance);
  }
  void TearDown() override {
    if (pdo_ != nullptr) TestDriver::RemoveDevice(pdo_);
    driver_.reset();
    KernelTest::TearDown();
  }

  HANDLE OpenParameters() {
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    return key;
  }

  std::unique_ptr<TestDriver> driver_;
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(RegistryTest, TheHardwareKeyOfTheDeviceNodeIsItsDeviceParametersKey) {
  EXPECT_EQ(sim::pnp::ParametersKey(pdo_), kParameters);
  EXPECT_TRUE(sim::cm::KeyExists(kParameters));
  HANDLE key = OpenParameters();
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(sim::cm::OpenHandlePaths(), std::vector<std::u16string>{kParameters});
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(sim::cm::OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, OnlyAPdoAndOnlyTheDeviceKeyTypeCanBeOpened) {
  PDEVICE_OBJECT fdo = driver_->AddDevice(pdo_);
  HANDLE key = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST)
      << "the function driver's own device object is no PDO";
  for (ULONG type : {0UL, 3UL, 8UL, 0xFFUL}) {
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, type, KEY_READ, &key), STATUS_INVALID_PARAMETER) << "key type " << type;
  }
  EXPECT_EQ(key, reinterpret_cast<HANDLE>(0x1234)) << "a failed open wrote the handle";
  EXPECT_EQ(sim::cm::OpenHandleCount(), 0u);
  TestDriver::RemoveDevice(fdo);
}

TEST_F(RegistryTest, InjectedOpenFailuresChangeNothing) {
  sim::pnp::FailNext(sim::pnp::Routine::OpenDeviceRegistryKey, 1, STATUS_INSUFFICIENT_RESOURCES);
  HANDLE key = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(sim::cm::OpenHandleCount(), 0u);
  key = OpenParameters();
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// KEY_NAME_INFORMATION: a ULONG NameLength, then the name without a null.
struct NameSizeCase {
  const char* name;
  ULONG length;  // buffer bytes; kNeeded stands for 4 + the name's bytes
  NTSTATUS expected;
  int nameBytesWritten;  // -1: none, not even NameLength
};
constexpr ULONG kNeeded = 0xFFFFFFFF;
constexpr ULONG kNeededPlus2 = 0xFFFFFFFE;
constexpr ULONG kNeededMinus2 = 0xFFFFFFFD;

const NameSizeCase kNameSizeCases[] = {
    {"Empty", 0, STATUS_BUFFER_TOO_SMALL, -1},
    {"ShorterThanNameLength", 3, STATUS_BUFFER_TOO_SMALL, -1},
    {"OnlyNameLength", 4, STATUS_BUFFER_OVERFLOW, 0},
    {"FiveCharacters", 14, STATUS_BUFFER_OVERFLOW, 10},
    {"OddSize", 15, STATUS_BUFFER_OVERFLOW, 11},
    {"OneCharacterShort", kNeededMinus2, STATUS_BUFFER_OVERFLOW, -2},
    {"Exact", kNeeded, STATUS_SUCCESS, -2},
    {"RoomForANull", kNeededPlus2, STATUS_SUCCESS, -2},
};
void PrintTo(const NameSizeCase& row, std::ostream* out) { *out << row.name; }

class KeyNameSizeTest : public RegistryTest, public ::testing::WithParamInterface<NameSizeCase> {};

TEST_P(KeyNameSizeTest, AnswersAsWindowsDoes) {
  const NameSizeCase& row = GetParam();
  const std::u16string name = kParameters;
  const ULONG nameBytes = static_cast<ULONG>(name.size() * 2);
  ULONG length = row.length == kNeeded        ? 4 + nameBytes
                 : row.length == kNeededPlus2  ? 6 + nameBytes
                 : row.length == kNeededMinus2 ? 2 + nameBytes
                                               : row.length;
  // -2: everything the buffer holds of the name, up to the whole name.
  size_t written = row.nameBytesWritten == -2 ? std::min<size_t>(length - 4, nameBytes) : row.nameBytesWritten;
  HANDLE key = OpenParameters();
  Answer answer = QueryKey(key, KeyNameInformation, length);
  EXPECT_EQ(answer.status, row.expected);
  EXPECT_EQ(answer.resultLength, 4 + nameBytes) << "ResultLength is always the size needed";
  if (row.nameBytesWritten == -1) {
    EXPECT_TRUE(answer.UntouchedFrom(0)) << "a buffer too small was written";
  } else {
    EXPECT_EQ(answer.U32(0), nameBytes) << "NameLength is the whole name's";
    EXPECT_EQ(std::memcmp(answer.buffer.data() + 4, name.data(), written), 0) << "the name's first bytes";
    EXPECT_TRUE(answer.UntouchedFrom(4 + written)) << "bytes written past the name or the buffer";
  }
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, KeyNameSizeTest, ::testing::ValuesIn(kNameSizeCases),
                         [](const ::testing::TestParamInfo<NameSizeCase>& info) { return std::string(info.param.name); });

// A 256-byte buffer holds NameLength and 126 characters.
TEST_F(RegistryTest, AKeyNameLongerThanA256ByteBufferHoldsOverflows) {
  for (size_t characters : {125u, 126u, 127u, 200u}) {
    std::u16string path = u"\\REGISTRY\\MACHINE\\X\\";
    path += std::u16string(characters - path.size() - 18, u'n') + u"\\Device Parameters";
    ASSERT_EQ(path.size(), characters);
    sim::pnp::SetParametersKey(pdo_, path);
    HANDLE key = OpenParameters();
    Answer answer = QueryKey(key, KeyNameInformation, 256);
    EXPECT_EQ(answer.status, characters <= 126 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW) << characters;
    EXPECT_EQ(answer.resultLength, 4 + 2 * characters);
    EXPECT_TRUE(answer.UntouchedFrom(256));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  }
}

TEST_F(RegistryTest, AKeyNameSetWithoutDeviceParametersIsReportedAsSet) {
  const std::u16string hostile = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0000&PID_0000\\odd";
  sim::pnp::SetParametersKey(pdo_, hostile);
  HANDLE key = OpenParameters();
  Answer answer = QueryKey(key, KeyNameInformation, 512);
  ASSERT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(sim::ob::Narrow(answer.Text(4, answer.U32(0))), sim::ob::Narrow(hostile));
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, BasicAndFullKeyInformationDescribeTheKey) {
  sim::cm::SetString(kParameters, u"PortName", u"COM5");       // 10 bytes, name 16
  sim::cm::SetDword(kParameters, u"SerialSkipExternalNaming", 0);  // 4 bytes, name 48
  sim::cm::CreateKey(std::u16string(kParameters) + u"\\Sub");
  HANDLE key = OpenParameters();

  const ULONG basicFixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
  Answer basic = QueryKey(key, KeyBasicInformation, basicFixed - 1);
  EXPECT_EQ(basic.status, STATUS_BUFFER_TOO_SMALL);
  basic = QueryKey(key, KeyBasicInformation, 128);
  ASSERT_EQ(basic.status, STATUS_SUCCESS);
  EXPECT_EQ(basic.resultLength, basicFixed + 34);
  EXPECT_EQ(basic.U32(FIELD_OFFSET(KEY_BASIC_INFORMATION, NameLength)), 34u);
  EXPECT_EQ(sim::ob::Narrow(basic.Text(basicFixed, 34)), "Device Parameters") << "the last component only";

  const ULONG fullFixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
  Answer full = QueryKey(key, KeyFullInformation, fullFixed - 1);
  EXPECT_EQ(full.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(full.UntouchedFrom(0));
  full = QueryKey(key, KeyFullInformation, fullFixed);
  ASSERT_EQ(full.status, STATUS_SUCCESS);
  EXPECT_EQ(full.resultLength, fullFixed);
  EXPECT_EQ(full.U32(FIELD_OFFSET(KEY_FULL_INFORMATION, SubKeys)), 1u);
  EXPECT_EQ(full.U32(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxNameLen)), 6u);
  EXPECT_EQ(full.U32(FIELD_OFFSET(KEY_FULL_INFORMATION, Values)), 2u);
  EXPECT_EQ(full.U32(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueNameLen)), 48u);
  EXPECT_EQ(full.U32(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueDataLen)), 10u);
  EXPECT_TRUE(full.UntouchedFrom(fullFixed));
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// KEY_VALUE_PARTIAL_INFORMATION of "PortName" = "COM5" with its null: 12 + 10.
struct ValueSizeCase {
  const char* name;
  KEY_VALUE_INFORMATION_CLASS kind;
  ULONG length;
  NTSTATUS expected;
  size_t writtenUpTo;  // bytes of the answer written; 0: none
};

// Full: 20-byte head, 16-byte name, data at 36 (a ULONG boundary), 46 in all.
const ValueSizeCase kValueSizeCases[] = {
    {"PartialEmpty", KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL, 0},
    {"PartialShortHead", KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 0},
    {"PartialHeadOnly", KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 12},
    {"PartialOneByteShort", KeyValuePartialInformation, 21, STATUS_BUFFER_OVERFLOW, 12},
    {"PartialExact", KeyValuePartialInformation, 22, STATUS_SUCCESS, 22},
    {"FullShortHead", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 0},
    {"FullHeadOnly", KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 20},
    {"FullHalfTheName", KeyValueFullInformation, 28, STATUS_BUFFER_OVERFLOW, 28},
    {"FullNameNoData", KeyValueFullInformation, 36, STATUS_BUFFER_OVERFLOW, 36},
    {"FullOneByteShort", KeyValueFullInformation, 45, STATUS_BUFFER_OVERFLOW, 36},
    {"FullExact", KeyValueFullInformation, 46, STATUS_SUCCESS, 46},
    {"BasicShortHead", KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 0},
    {"BasicHalfTheName", KeyValueBasicInformation, 20, STATUS_BUFFER_OVERFLOW, 20},
    {"BasicExact", KeyValueBasicInformation, 28, STATUS_SUCCESS, 28},
};
void PrintTo(const ValueSizeCase& row, std::ostream* out) { *out << row.name; }

class ValueSizeTest : public RegistryTest, public ::testing::WithParamInterface<ValueSizeCase> {};

TEST_P(ValueSizeTest, AnswersAsWindowsDoes) {
  const ValueSizeCase& row = GetParam();
  sim::cm::SetString(kParameters, u"PortName", u"COM5");
  HANDLE key = OpenParameters();
  Answer answer = QueryValue(key, L"PortName", row.kind, row.length);
  EXPECT_EQ(answer.status, row.expected);
  ULONG needed = row.kind == KeyValuePartialInformation ? 22 : row.kind == KeyValueFullInformation ? 46 : 28;
  EXPECT_EQ(answer.resultLength, needed);
  EXPECT_TRUE(answer.UntouchedFrom(row.writtenUpTo)) << "written past byte " << row.writtenUpTo;
  if (row.writtenUpTo != 0) {
    EXPECT_NE(answer.buffer[row.writtenUpTo - 1], kFill) << "the last byte that should be written";
    EXPECT_EQ(answer.U32(4), static_cast<ULONG>(REG_SZ)) << "Type";
  }
  if (row.kind == KeyValuePartialInformation && row.writtenUpTo != 0) {
    EXPECT_EQ(answer.U32(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength)), 10u);
  }
  if (row.kind == KeyValueFullInformation && row.writtenUpTo != 0) {
    EXPECT_EQ(answer.U32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset)), 36u);
    EXPECT_EQ(answer.U32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength)), 10u);
    EXPECT_EQ(answer.U32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength)), 16u);
  }
  if (row.expected == STATUS_SUCCESS && row.kind != KeyValueBasicInformation) {
    size_t data = row.kind == KeyValuePartialInformation ? 12 : 36;
    EXPECT_EQ(sim::ob::Narrow(answer.Text(data, 10)), std::string("COM5") + '\0');
  }
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, ValueSizeTest, ::testing::ValuesIn(kValueSizeCases),
                         [](const ::testing::TestParamInfo<ValueSizeCase>& info) { return std::string(info.param.name); });

// Values as an installer or a hostile registry may leave them: whatever was
// set comes back byte for byte, with its type, through both query classes.
struct HostileValueCase {
  const char* name;
  ULONG type;
  std::vector<uint8_t> data;
};

const HostileValueCase kHostileValueCases[] = {
    {"StringWithoutNull", REG_SZ, Utf16(u"COM5")},
    {"StringOfOddSize", REG_SZ, {'C', 0, 'O', 0, 'M', 0, '5', 0, 0}},
    {"EmptyString", REG_SZ, {}},
    {"Dword", REG_DWORD, {1, 0, 0, 0}},
    {"ShortDword", REG_DWORD, {1}},
    {"Binary", REG_BINARY, {0xFF, 0x00, 0xFE}},
    {"StringLongerThan256Bytes", REG_SZ, Utf16(std::u16string(200, u'C') + u'\0')},
    {"MultiString", REG_MULTI_SZ, Utf16(std::u16string(u"COM5") + u'\0' + u"COM6" + u'\0' + u'\0')},
};
void PrintTo(const HostileValueCase& row, std::ostream* out) { *out << row.name; }

class HostileValueTest : public RegistryTest, public ::testing::WithParamInterface<HostileValueCase> {};

TEST_P(HostileValueTest, ComesBackExactlyAsSet) {
  const HostileValueCase& row = GetParam();
  sim::cm::SetValue(kParameters, u"Identifier", row.type, row.data);  // name: 20 bytes
  HANDLE key = OpenParameters();
  const ULONG size = static_cast<ULONG>(row.data.size());

  Answer partial = QueryValue(key, L"identifier", KeyValuePartialInformation, 1024);
  ASSERT_EQ(partial.status, STATUS_SUCCESS) << "value names compare without case";
  EXPECT_EQ(partial.resultLength, 12 + size);
  EXPECT_EQ(partial.U32(4), row.type);
  EXPECT_EQ(partial.U32(8), size);
  EXPECT_EQ(std::vector<uint8_t>(partial.buffer.begin() + 12, partial.buffer.begin() + 12 + size), row.data);
  EXPECT_TRUE(partial.UntouchedFrom(12 + size));

  Answer full = QueryValue(key, L"Identifier", KeyValueFullInformation, 1024);
  ASSERT_EQ(full.status, STATUS_SUCCESS);
  ULONG offset = full.U32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset));
  EXPECT_EQ(full.U32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength)), size);
  if (size == 0) {
    EXPECT_EQ(offset, 0xFFFFFFFFu) << "a value without data has no data offset";
    EXPECT_EQ(full.resultLength, 40u);
  } else {
    EXPECT_EQ(offset, 40u);
    EXPECT_EQ(full.resultLength, 40 + size);
    EXPECT_EQ(std::memcmp(full.buffer.data() + offset, row.data.data(), size), 0);
  }
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Values, HostileValueTest, ::testing::ValuesIn(kHostileValueCases),
                         [](const ::testing::TestParamInfo<HostileValueCase>& info) { return std::string(info.param.name); });

TEST_F(RegistryTest, TheDataOfAFullAnswerStartsOnAULongBoundary) {
  // Name bytes -> data offset: 20 + name, rounded up to a multiple of 4.
  const std::pair<const WCHAR*, ULONG> kCases[] = {{L"A", 24}, {L"AB", 24}, {L"ABC", 28}, {L"PortName", 36}};
  for (const auto& [name, offset] : kCases) {
    std::u16string wide;
    for (const WCHAR* c = name; *c != 0; ++c) wide.push_back(static_cast<char16_t>(*c));
    sim::cm::SetDword(kParameters, wide, 7);
    HANDLE key = OpenParameters();
    Answer full = QueryValue(key, name, KeyValueFullInformation, 64);
    ASSERT_EQ(full.status, STATUS_SUCCESS);
    EXPECT_EQ(full.U32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset)), offset) << sim::ob::Narrow(wide);
    EXPECT_EQ(full.U32(offset), 7u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  }
}

TEST_F(RegistryTest, AMissingValueIsNotFoundAndNothingIsWritten) {
  HANDLE key = OpenParameters();
  Answer answer = QueryValue(key, L"PortName", KeyValueFullInformation, 300);
  EXPECT_EQ(answer.status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(answer.UntouchedFrom(0));
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, InjectedQueryFailuresChangeNothing) {
  sim::cm::SetString(kParameters, u"PortName", u"COM5");
  HANDLE key = OpenParameters();
  sim::cm::FailNext(sim::cm::Routine::QueryValueKey, 1, STATUS_INSUFFICIENT_RESOURCES);
  sim::cm::FailNext(sim::cm::Routine::QueryKey, 1, STATUS_INSUFFICIENT_RESOURCES);
  Answer value = QueryValue(key, L"PortName", KeyValuePartialInformation, 64);
  Answer name = QueryKey(key, KeyNameInformation, 512);
  EXPECT_EQ(value.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(name.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(value.UntouchedFrom(0));
  EXPECT_TRUE(name.UntouchedFrom(0));
  EXPECT_EQ(QueryValue(key, L"PortName", KeyValuePartialInformation, 64).status, STATUS_SUCCESS) << "the next call";
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// A handle grants the access it was opened for, generic rights mapped as for
// a key, and a value query needs KEY_QUERY_VALUE. (Windows skips this check
// for kernel-mode callers; the simulated kernel does not, so that a driver
// asking for too little is caught.)
TEST_F(RegistryTest, AValueQueryNeedsAHandleOpenedForQueryingValues) {
  sim::cm::SetString(kParameters, u"PortName", u"COM5");
  const struct {
    const char* what;
    ACCESS_MASK access;
    NTSTATUS expected;
  } cases[] = {
      {"KEY_READ", KEY_READ, STATUS_SUCCESS},
      {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, STATUS_SUCCESS},
      {"GENERIC_READ", GENERIC_READ, STATUS_SUCCESS},
      {"MAXIMUM_ALLOWED", MAXIMUM_ALLOWED, STATUS_SUCCESS},
      {"STANDARD_RIGHTS_READ", STANDARD_RIGHTS_READ, STATUS_ACCESS_DENIED},
      {"KEY_SET_VALUE", KEY_SET_VALUE, STATUS_ACCESS_DENIED},
      {"KEY_ENUMERATE_SUB_KEYS", KEY_ENUMERATE_SUB_KEYS, STATUS_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, c.access, &key), STATUS_SUCCESS) << c.what;
    Answer value = QueryValue(key, L"PortName", KeyValuePartialInformation, 64);
    EXPECT_EQ(value.status, c.expected) << c.what << ": status " << std::hex << value.status;
    if (c.expected != STATUS_SUCCESS) {
      EXPECT_TRUE(value.UntouchedFrom(0)) << c.what;
    }
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS) << c.what;
  }
}

// --- Key handles ------------------------------------------------------------------------

TEST_F(RegistryTest, AHandleLeftOpenIsReportedAtTheEndWithItsKey) {
  OpenParameters();
  TestDriver::RemoveDevice(pdo_);
  pdo_ = nullptr;
  std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
  ASSERT_EQ(findings.size(), 1u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, Rule::KeyHandleLeaked);
  EXPECT_NE(findings[0].message.find("Device Parameters"), std::string::npos) << findings[0].message;
  EXPECT_EQ(sim::cm::OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, ClosingAHandleTwiceOrUsingOneNeverOpenedIsReported) {
  HANDLE key = OpenParameters();
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  ExpectOnlyFinding(Rule::InvalidHandle);
  ULONG length = 0;
  uint8_t buffer[64];
  EXPECT_EQ(ZwQueryKey(key, KeyNameInformation, buffer, sizeof buffer, &length), STATUS_INVALID_HANDLE);
  ExpectOnlyFinding(Rule::InvalidHandle);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"PortName");
  EXPECT_EQ(ZwQueryValueKey(reinterpret_cast<HANDLE>(0x42), &name, KeyValuePartialInformation, buffer, sizeof buffer,
                            &length),
            STATUS_INVALID_HANDLE);
  ExpectOnlyFinding(Rule::InvalidHandle);
}

// --- The device map -------------------------------------------------------------------------

class DeviceMapTest : public KernelTest {
 protected:
  static NTSTATUS Write(ULONG relativeTo, const WCHAR* path, const WCHAR* name, const WCHAR* text, ULONG bytes) {
    return RtlWriteRegistryValue(relativeTo, path, name, REG_SZ, const_cast<WCHAR*>(text), bytes);
  }
};

TEST_F(DeviceMapTest, TheSerialCommValueIsWrittenReplacedAndDeleted) {
  const std::u16string serialComm = sim::cm::DeviceMapKey(u"SERIALCOMM");
  EXPECT_FALSE(sim::cm::KeyExists(serialComm));
  EXPECT_EQ(Write(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial0", L"COM5", 10), STATUS_SUCCESS);
  ASSERT_TRUE(sim::cm::KeyExists(serialComm)) << "the key is made on the first write";
  std::vector<sim::cm::Value> values = sim::cm::Values(serialComm);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, u"\\Device\\Serial0");
  EXPECT_EQ(values[0].type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(values[0].data, Utf16(std::u16string(u"COM5") + u'\0'));

  // A data length without the null is stored as given.
  EXPECT_EQ(Write(RTL_REGISTRY_DEVICEMAP, L"serialcomm", L"\\DEVICE\\SERIAL0", L"COM9", 8), STATUS_SUCCESS);
  values = sim::cm::Values(serialComm);
  ASSERT_EQ(values.size(), 1u) << "the same value, whatever the case of its name";
  EXPECT_EQ(values[0].data, Utf16(u"COM9"));

  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial0"), STATUS_SUCCESS);
  EXPECT_TRUE(sim::cm::Values(serialComm).empty());
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial0"),
            STATUS_OBJECT_NAME_NOT_FOUND)
      << "deleting it again";
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOSUCHMAP", L"\\Device\\Serial0"),
            STATUS_OBJECT_NAME_NOT_FOUND)
      << "deleting under a key that is not there";
  EXPECT_FALSE(sim::cm::KeyExists(sim::cm::DeviceMapKey(u"NOSUCHMAP"))) << "a deletion made a key";
}

struct RelativePathCase {
  const char* name;
  ULONG relativeTo;
  const WCHAR* path;
  NTSTATUS expected;
  const char16_t* key;  // where the value lands when written
};

const RelativePathCase kRelativePathCases[] = {
    {"DeviceMap", RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", STATUS_SUCCESS,
     u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"},
    {"DeviceMapItself", RTL_REGISTRY_DEVICEMAP, L"", STATUS_SUCCESS, u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP"},
    {"OptionalFlagIgnored", RTL_REGISTRY_DEVICEMAP | RTL_REGISTRY_OPTIONAL, L"SERIALCOMM", STATUS_SUCCESS,
     u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"},
    {"Services", RTL_REGISTRY_SERVICES, L"quillan", STATUS_SUCCESS,
     u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quillan"},
    {"TwoMissingLevels", RTL_REGISTRY_SERVICES, L"quillan\\Parameters", STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
    {"Absolute", RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", STATUS_SUCCESS,
     u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"},
    {"AbsoluteButRelative", RTL_REGISTRY_ABSOLUTE, L"SERIALCOMM", STATUS_OBJECT_PATH_SYNTAX_BAD, nullptr},
    {"LeadingBackslash", RTL_REGISTRY_DEVICEMAP, L"\\SERIALCOMM", STATUS_OBJECT_NAME_INVALID, nullptr},
    {"UnknownRelativeTo", 9, L"SERIALCOMM", STATUS_INVALID_PARAMETER, nullptr},
};
void PrintTo(const RelativePathCase& row, std::ostream* out) { *out << row.name; }

class RelativePathTest : public DeviceMapTest, public ::testing::WithParamInterface<RelativePathCase> {};

TEST_P(RelativePathTest, NamesTheKeyTheRunTimeLibraryWouldOpen) {
  const RelativePathCase& row = GetParam();
  EXPECT_EQ(Write(row.relativeTo, row.path, L"Value", L"X", 4), row.expected);
  if (row.key != nullptr) {
    EXPECT_EQ(sim::cm::GetString(row.key, u"value"), std::u16string(u"X"));
    EXPECT_EQ(RtlDeleteRegistryValue(row.relativeTo, row.path, L"Value"), STATUS_SUCCESS);
  }
  EXPECT_FALSE(sim::cm::KeyExists(sim::cm::kServices + u"\\quillan\\Parameters"));
}

INSTANTIATE_TEST_SUITE_P(Paths, RelativePathTest, ::testing::ValuesIn(kRelativePathCases),
                         [](const ::testing::TestParamInfo<RelativePathCase>& info) { return std::string(info.param.name); });

TEST_F(DeviceMapTest, AValueCanBeWrittenThroughAnOpenKeyHandle) {
  sim::cm::CreateKey(sim::cm::DeviceMapKey(u"SERIALCOMM"));
  HANDLE key = nullptr;
  ASSERT_EQ(sim::cm::OpenKey(sim::cm::DeviceMapKey(u"SERIALCOMM"), false, &key), STATUS_SUCCESS);
  EXPECT_EQ(Write(RTL_REGISTRY_HANDLE, reinterpret_cast<PCWSTR>(key), L"\\Device\\Serial3", L"COM3", 10),
            STATUS_SUCCESS);
  EXPECT_EQ(sim::cm::GetString(sim::cm::DeviceMapKey(u"SERIALCOMM"), u"\\Device\\Serial3"), std::u16string(u"COM3"));
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(DeviceMapTest, InjectedWriteAndDeleteFailuresChangeNothing) {
  const std::u16string serialComm = sim::cm::DeviceMapKey(u"SERIALCOMM");
  sim::cm::FailNext(sim::cm::Routine::WriteRegistryValue, 1, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Write(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial0", L"COM5", 10), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(sim::cm::KeyExists(serialComm)) << "a failed write made the key";
  EXPECT_EQ(Write(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial0", L"COM5", 10), STATUS_SUCCESS);

  sim::cm::FailNext(sim::cm::Routine::DeleteRegistryValue, 1, STATUS_ACCESS_DENIED);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial0"), STATUS_ACCESS_DENIED);
  EXPECT_EQ(sim::cm::GetString(serialComm, u"\\Device\\Serial0"), std::u16string(u"COM5")) << "a failed delete deleted";
}

// --- IRQL -----------------------------------------------------------------------------------

struct DispatchCallCase {
  const char* name;
  std::function<void(HANDLE key)> call;
};

const DispatchCallCase kDispatchCallCases[] = {
    {"ZwQueryKey", [](HANDLE key) {
       uint8_t buffer[512];
       ULONG length;
       ZwQueryKey(key, KeyNameInformation, buffer, sizeof buffer, &length);
     }},
    {"ZwQueryValueKey", [](HANDLE key) {
       uint8_t buffer[64];
       ULONG length;
       UNICODE_STRING name;
       RtlInitUnicodeString(&name, L"PortName");
       ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length);
     }},
    {"RtlWriteRegistryValue", [](HANDLE) {
       ULONG one = 1;
       RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"X", REG_DWORD, &one, sizeof one);
     }},
    {"RtlDeleteRegistryValue", [](HANDLE) { RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"X"); }},
};
void PrintTo(const DispatchCallCase& row, std::ostream* out) { *out << row.name; }

class RegistryAtDispatchTest : public RegistryTest, public ::testing::WithParamInterface<DispatchCallCase> {};

TEST_P(RegistryAtDispatchTest, IsReported) {
  sim::cm::SetString(kParameters, u"PortName", u"COM5");
  HANDLE key = OpenParameters();
  KIRQL irql = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  GetParam().call(key);
  sim::ke::LowerIrql(irql, "test");
  ExpectOnlyFinding(Rule::IrqlTooHigh);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Routines, RegistryAtDispatchTest, ::testing::ValuesIn(kDispatchCallCases),
                         [](const ::testing::TestParamInfo<DispatchCallCase>& info) { return std::string(info.param.name); });

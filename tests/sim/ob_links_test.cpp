// Symbolic links in the simulated object namespace: which names
// IoCreateSymbolicLink accepts, collisions with links and device names under
// any spelling of the DOS device directory, deletion, following a link when
// an application opens a name, failure injection, and links left at the end
// of a test.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/io/file.h"
#include "sim/ke/ke.h"
#include "sim/ob/namespace.h"
#include "sim/verifier/verifier.h"

#include <memory>
#include <string>
#include <vector>

using sim::verifier::Rule;
using test::TestDriver;

namespace {

UNICODE_STRING Name(const WCHAR* text) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, text);
  return name;
}

NTSTATUS CreateLink(const WCHAR* link, const WCHAR* target) {
  UNICODE_STRING linkName = Name(link), targetName = Name(target);
  return IoCreateSymbolicLink(&linkName, &targetName);
}

NTSTATUS DeleteLink(const WCHAR* link) {
  UNICODE_STRING linkName = Name(link);
  return IoDeleteSymbolicLink(&linkName);
}

struct LinkNameCase {
  const char* name;
  const WCHAR* link;
  NTSTATUS expected;
};

const LinkNameCase kLinkNameCases[] = {
    {"DosDevices", L"\\DosDevices\\COM5", STATUS_SUCCESS},
    {"QuestionMarks", L"\\??\\COM5", STATUS_SUCCESS},
    {"Global", L"\\GLOBAL??\\COM5", STATUS_SUCCESS},
    {"LowerCaseDirectory", L"\\dosdevices\\COM5", STATUS_SUCCESS},
    {"InDeviceDirectory", L"\\Device\\SerialAlias", STATUS_SUCCESS},
    {"Relative", L"COM5", STATUS_OBJECT_PATH_SYNTAX_BAD},
    {"EmptyLastComponent", L"\\DosDevices\\", STATUS_OBJECT_NAME_INVALID},
    {"Empty", L"", STATUS_OBJECT_NAME_INVALID},
    {"DirectoryThatIsNotThere", L"\\DosDevices\\COM5\\Extra", STATUS_OBJECT_PATH_NOT_FOUND},
    {"UnknownRoot", L"\\Nowhere\\COM5", STATUS_OBJECT_PATH_NOT_FOUND},
};

void PrintTo(const LinkNameCase& row, std::ostream* out) { *out << row.name; }

}  // namespace

class LinkNameTest : public KernelTest, public ::testing::WithParamInterface<LinkNameCase> {};

TEST_P(LinkNameTest, IsAcceptedOnlyWhereWindowsAcceptsIt) {
  const LinkNameCase& row = GetParam();
  EXPECT_EQ(CreateLink(row.link, L"\\Device\\Serial0"), row.expected);
  std::vector<sim::ob::Link> links = sim::ob::Links();
  if (row.expected != STATUS_SUCCESS) {
    EXPECT_TRUE(links.empty()) << "a refused IoCreateSymbolicLink left a link";
    return;
  }
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0].target, u"\\Device\\Serial0");
  EXPECT_EQ(DeleteLink(row.link), STATUS_SUCCESS);
  EXPECT_TRUE(sim::ob::Links().empty());
}

INSTANTIATE_TEST_SUITE_P(Names, LinkNameTest, ::testing::ValuesIn(kLinkNameCases),
                         [](const ::testing::TestParamInfo<LinkNameCase>& info) { return std::string(info.param.name); });

class LinkTest : public KernelTest {};

TEST_F(LinkTest, ALinkNameTakenUnderAnySpellingIsACollisionAndKeepsItsTarget) {
  ASSERT_EQ(CreateLink(L"\\DosDevices\\COM5", L"\\Device\\Serial0"), STATUS_SUCCESS);
  for (const WCHAR* again : {L"\\DosDevices\\COM5", L"\\??\\com5", L"\\GLOBAL??\\Com5"}) {
    EXPECT_EQ(CreateLink(again, L"\\Device\\Serial1"), STATUS_OBJECT_NAME_COLLISION);
  }
  EXPECT_EQ(sim::ob::Links().size(), 1u);
  EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), std::u16string(u"\\Device\\Serial0"))
      << "a refused creation changed the existing link";
  EXPECT_EQ(DeleteLink(L"\\??\\COM5"), STATUS_SUCCESS) << "deleting under another spelling of the directory";
}

TEST_F(LinkTest, DeletingALinkThatIsNotThereFindsNoName) {
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(CreateLink(L"\\DosDevices\\COM5", L"\\Device\\Serial0"), STATUS_SUCCESS);
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM5"), STATUS_SUCCESS);
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM5"), STATUS_OBJECT_NAME_NOT_FOUND) << "the second deletion";
  EXPECT_FALSE(sim::ob::LinkTarget(u"\\DosDevices\\COM5").has_value());
}

TEST_F(LinkTest, LinksAndDevicesShareOneNamespace) {
  TestDriver driver;
  UNICODE_STRING deviceName = Name(L"\\Device\\Serial0");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver.Object(), 0, &deviceName, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device),
            STATUS_SUCCESS);
  EXPECT_EQ(CreateLink(L"\\Device\\SERIAL0", L"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION)
      << "a link over a device's name";
  EXPECT_EQ(DeleteLink(L"\\Device\\Serial0"), STATUS_OBJECT_NAME_NOT_FOUND) << "deleting a device name as a link";
  EXPECT_EQ(sim::ob::Lookup(u"\\Device\\Serial0"), device) << "the device lost its name";

  ASSERT_EQ(CreateLink(L"\\Device\\Serial1", L"\\Device\\Serial0"), STATUS_SUCCESS);
  UNICODE_STRING linkName = Name(L"\\Device\\Serial1");
  PDEVICE_OBJECT second = nullptr;
  EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &linkName, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &second),
            STATUS_OBJECT_NAME_COLLISION)
      << "a device over a link's name";
  EXPECT_EQ(DeleteLink(L"\\Device\\Serial1"), STATUS_SUCCESS);
  IoDeleteDevice(device);
}

TEST_F(LinkTest, InjectedFailuresRefuseCreationsAndChangeNothing) {
  sim::ob::FailLinkCreations(2, STATUS_INSUFFICIENT_RESOURCES, 1);
  EXPECT_EQ(CreateLink(L"\\DosDevices\\COM1", L"\\Device\\Serial1"), STATUS_SUCCESS) << "the call let through";
  EXPECT_EQ(CreateLink(L"\\DosDevices\\COM2", L"\\Device\\Serial2"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(CreateLink(L"\\DosDevices\\COM2", L"\\Device\\Serial2"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(sim::ob::LinkTarget(u"\\DosDevices\\COM2").has_value()) << "a failed creation made the link";
  EXPECT_EQ(CreateLink(L"\\DosDevices\\COM2", L"\\Device\\Serial2"), STATUS_SUCCESS) << "after the plan ran out";
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM1"), STATUS_SUCCESS);
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM2"), STATUS_SUCCESS);
}

TEST_F(LinkTest, CreatingALinkAtDispatchLevelIsReported) {
  KIRQL irql = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  NTSTATUS status = CreateLink(L"\\DosDevices\\COM5", L"\\Device\\Serial0");
  sim::ke::LowerIrql(irql, "test");
  ExpectOnlyFinding(Rule::IrqlTooHigh);
  if (status == STATUS_SUCCESS) DeleteLink(L"\\DosDevices\\COM5");
}

TEST_F(LinkTest, ALinkLeftAtTheEndOfATestIsReportedOnceAndRemoved) {
  ASSERT_EQ(CreateLink(L"\\DosDevices\\COM5", L"\\Device\\Serial0"), STATUS_SUCCESS);
  std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
  ASSERT_EQ(findings.size(), 1u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, Rule::SymbolicLinkLeaked);
  EXPECT_NE(findings[0].message.find("COM5"), std::string::npos) << findings[0].message;
  EXPECT_TRUE(sim::ob::Links().empty());
}

// Opening by name, as an application does, through a named device of a
// test driver that counts the opens reaching it.
class OpenByNameTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = std::make_unique<TestDriver>();
    driver_->Serve(IRP_MJ_CREATE, [this](PDEVICE_OBJECT device, PIRP irp) {
      opened_.push_back(device);
      return test::CompleteWith(STATUS_SUCCESS)(device, irp);
    });
    driver_->Serve(IRP_MJ_CLEANUP, test::CompleteWith(STATUS_SUCCESS));
    driver_->Serve(IRP_MJ_CLOSE, test::CompleteWith(STATUS_SUCCESS));
    UNICODE_STRING name = Name(L"\\Device\\Serial_7&1234&0&1");
    ASSERT_EQ(IoCreateDevice(driver_->Object(), 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device_),
              STATUS_SUCCESS);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  void TearDown() override {
    if (device_ != nullptr) IoDeleteDevice(device_);
    driver_.reset();
    KernelTest::TearDown();
  }

  std::unique_ptr<TestDriver> driver_;
  PDEVICE_OBJECT device_ = nullptr;
  std::vector<PDEVICE_OBJECT> opened_;
};

TEST_F(OpenByNameTest, EverySpellingOfTheComNameReachesTheDevice) {
  ASSERT_EQ(CreateLink(L"\\DosDevices\\COM5", L"\\Device\\Serial_7&1234&0&1"), STATUS_SUCCESS);
  for (const char16_t* name : {u"COM5", u"com5", u"\\\\.\\COM5", u"\\DosDevices\\COM5", u"\\??\\COM5",
                               u"\\GLOBAL??\\COM5", u"\\Device\\Serial_7&1234&0&1"}) {
    std::unique_ptr<sim::io::FileHandle> handle;
    EXPECT_EQ(sim::io::FileHandle::OpenByName(name, &handle), STATUS_SUCCESS) << sim::ob::Narrow(name);
    ASSERT_NE(handle, nullptr) << sim::ob::Narrow(name);
    EXPECT_EQ(handle->Device(), device_) << sim::ob::Narrow(name);
    EXPECT_EQ(handle->Close(), STATUS_SUCCESS);
  }
  EXPECT_EQ(opened_.size(), 7u);
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM5"), STATUS_SUCCESS);
}

TEST_F(OpenByNameTest, ChainsOfLinksAreFollowed) {
  ASSERT_EQ(CreateLink(L"\\DosDevices\\COM5", L"\\DosDevices\\COM6"), STATUS_SUCCESS);
  ASSERT_EQ(CreateLink(L"\\DosDevices\\COM6", L"\\Device\\Serial_7&1234&0&1"), STATUS_SUCCESS);
  std::unique_ptr<sim::io::FileHandle> handle;
  EXPECT_EQ(sim::io::FileHandle::OpenByName(u"COM5", &handle), STATUS_SUCCESS);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->Device(), device_);
  handle.reset();
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM5"), STATUS_SUCCESS);
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM6"), STATUS_SUCCESS);
}

TEST_F(OpenByNameTest, NamesThatLeadNowhereAreNotFoundAndReachNoDriver) {
  ASSERT_EQ(CreateLink(L"\\DosDevices\\COM7", L"\\Device\\Serial9"), STATUS_SUCCESS);  // a dangling target
  ASSERT_EQ(CreateLink(L"\\DosDevices\\LOOP", L"\\DosDevices\\LOOP"), STATUS_SUCCESS);  // a link to itself
  for (const char16_t* name : {u"COM9", u"COM7", u"LOOP", u"\\Device\\Serial9", u""}) {
    std::unique_ptr<sim::io::FileHandle> handle;
    EXPECT_EQ(sim::io::FileHandle::OpenByName(name, &handle), STATUS_OBJECT_NAME_NOT_FOUND) << sim::ob::Narrow(name);
    EXPECT_EQ(handle, nullptr);
  }
  EXPECT_TRUE(opened_.empty());
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM7"), STATUS_SUCCESS);
  EXPECT_EQ(DeleteLink(L"\\DosDevices\\LOOP"), STATUS_SUCCESS);
}

// A driver that counts the terminating null in the name's Length makes a
// link no application can open by its COM name.
TEST_F(OpenByNameTest, ALinkNameWhoseLengthCountsItsNullIsADifferentName) {
  static const WCHAR kWithNull[] = L"\\DosDevices\\COM5";
  UNICODE_STRING link = Name(kWithNull);
  link.Length = link.MaximumLength;  // the null counted
  UNICODE_STRING target = Name(L"\\Device\\Serial_7&1234&0&1");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  std::unique_ptr<sim::io::FileHandle> handle;
  EXPECT_EQ(sim::io::FileHandle::OpenByName(u"COM5", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(OpenByNameTest, ADeviceStillInitializingCannotBeOpened) {
  device_->Flags |= DO_DEVICE_INITIALIZING;
  std::unique_ptr<sim::io::FileHandle> handle;
  EXPECT_EQ(sim::io::FileHandle::OpenByName(u"\\Device\\Serial_7&1234&0&1", &handle), STATUS_NO_SUCH_DEVICE);
  EXPECT_TRUE(opened_.empty()) << "the create reached a device still initializing";
}

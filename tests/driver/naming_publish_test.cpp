// Publication and withdrawal of the COM name: the \DosDevices\ link, the
// SERIALCOMM value and the COM-port interface; where the name comes from,
// registry values that cannot serve as a name, the switch that turns
// publication off, stale links, failures part way, and renames.
#include "support/pnp_port_test.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Utf16(const std::u16string& text, bool terminated) {
  std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                             reinterpret_cast<const uint8_t*>(text.data() + text.size()));
  if (terminated) bytes.insert(bytes.end(), 2, 0);
  return bytes;
}

}  // namespace

class PublishTest : public PnpPortTest {
 protected:
  // The port is published as `name`: the link leads to the port device, the
  // SERIALCOMM value pairs the NT name with `portName` (the record's
  // PortName), and one COM-port interface of the PDO is enabled.
  void ExpectPublishedAs(const std::u16string& name, const std::u16string& portName) {
    const std::u16string link = u"\\DosDevices\\" + name;
    EXPECT_EQ(sim::ob::Narrow(sim::ob::LinkTarget(link).value_or(u"(no link)")), sim::ob::Narrow(NtName()));
    EXPECT_EQ(sim::ob::Narrow(sim::ob::FromUnicode(&Port()->DosLinkName)), sim::ob::Narrow(link));
    std::optional<sim::cm::Value> value = sim::cm::GetValue(sim::cm::DeviceMapKey(u"SERIALCOMM"), NtName());
    ASSERT_TRUE(value.has_value()) << "no SERIALCOMM value named " << sim::ob::Narrow(NtName());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(value->data, Utf16(portName, true)) << "SERIALCOMM data, with its null";
    const UNICODE_STRING& record = Port()->PortName;
    EXPECT_EQ(sim::ob::Narrow(sim::ob::FromUnicode(&record)), sim::ob::Narrow(portName));
    EXPECT_EQ(record.MaximumLength, 66);
    EXPECT_EQ(record.Buffer[record.Length / sizeof(WCHAR)], 0) << "PortName is followed by a null";
    std::vector<sim::pnp::Interface> interfaces = sim::pnp::Interfaces(sim::pnp::kComPortInterface);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].pdo, bus_->Pdo());
    EXPECT_EQ(sim::ob::Narrow(interfaces[0].symbolicLink), sim::ob::Narrow(sim::ob::FromUnicode(&Port()->InterfaceName)));
  }
};

TEST_F(PublishTest, PublishesPortNameAndWithdrawsItAtRemoval) {
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ExpectPublishedAs(u"COM5", u"COM5");
  EXPECT_EQ(SerialComm().size(), 1u);
  EXPECT_EQ(sim::ob::Links().size(), 1u);
  ASSERT_EQ(Pnp().Remove(), STATUS_SUCCESS);
  ExpectNothingLeft("after removal");
}

// PortName is taken when it is a usable name, Identifier otherwise. Data
// that is not a string, does not fit, is empty or is more than one name
// component is never used; a string without its null is terminated.
TEST_F(PublishTest, TakesTheNameFromPortNameElseIdentifier) {
  const std::u16string longest(116, u'P');
  const struct {
    const char* what;
    std::function<void(const std::u16string& key)> portName;
    std::u16string expected;
  } cases[] = {
      {"a PortName string", [](auto& key) { sim::cm::SetString(key, u"PortName", u"COM5"); }, u"COM5"},
      {"no PortName", [](auto& key) { sim::cm::DeleteValue(key, u"PortName"); }, u"COM7"},
      {"a PortName without its null", [](auto& key) { sim::cm::SetString(key, u"PortName", u"COM5", false); },
       u"COM5"},
      {"a PortName ending in half a character",
       [](auto& key) {
         std::vector<uint8_t> data = Utf16(u"COM5", false);
         data.push_back('X');
         sim::cm::SetValue(key, u"PortName", REG_SZ, data);
       },
       u"COM5"},
      {"a PortName with text after its null",
       [](auto& key) { sim::cm::SetValue(key, u"PortName", REG_SZ, Utf16(std::u16string(u"COM5\0junk", 9), true)); },
       u"COM5"},
      {"a PortName of 256 bytes without a null, filling the buffer",
       [](auto& key) { sim::cm::SetString(key, u"PortName", std::u16string(128, u'Q'), false); }, u"COM7"},
      {"the longest PortName a link can carry",
       [longest](auto& key) { sim::cm::SetString(key, u"PortName", longest); }, longest},
      {"a PortName that is a number", [](auto& key) { sim::cm::SetDword(key, u"PortName", 5); }, u"COM7"},
      {"a PortName in binary",
       [](auto& key) { sim::cm::SetValue(key, u"PortName", REG_BINARY, Utf16(u"COM5", true)); }, u"COM7"},
      {"a PortName too big for its buffer",
       [](auto& key) { sim::cm::SetString(key, u"PortName", std::u16string(200, u'C')); }, u"COM7"},
      {"an empty PortName", [](auto& key) { sim::cm::SetString(key, u"PortName", u""); }, u"COM7"},
      {"a PortName naming another directory",
       [](auto& key) { sim::cm::SetString(key, u"PortName", u"..\\Device\\Null"); }, u"COM7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::cm::SetString(Key(), u"Identifier", u"COM7");
    c.portName(Key());
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    std::u16string port = c.expected.size() <= 32 ? c.expected : u"";
    ExpectPublishedAs(c.expected, port);
    Rebuild(c.what);
  }
}

TEST_F(PublishTest, NoUsableNameFailsTheAddAndUndoesEverything) {
  sim::cm::SetDword(Key(), u"PortName", 5);
  sim::cm::SetString(Key(), u"Identifier", std::u16string(117, u'I'));
  EXPECT_EQ(Add(), STATUS_OBJECT_NAME_INVALID);
  ExpectNothingLeft("after the failed add");
}

// A name of 32 characters fills PortName; one of 33 leaves it empty, while
// the link and the SERIALCOMM value still use the whole and empty names.
TEST_F(PublishTest, ANameLongerThan32CharactersLeavesPortNameEmpty) {
  for (size_t length : {size_t{32}, size_t{33}}) {
    std::string trace = std::to_string(length) + " characters";
    SCOPED_TRACE(trace);
    const std::u16string name(length, u'N');
    SetPortName(name);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ExpectPublishedAs(name, length <= 32 ? name : u"");
    Rebuild(trace);
  }
}

// SerialSkipExternalNaming other than 0 publishes nothing, and removal then
// withdraws nothing: names that are not the port's stay where they are.
TEST_F(PublishTest, SkipExternalNamingPublishesAndWithdrawsNothing) {
  const struct {
    const char* what;
    std::function<void(const std::u16string& key)> setting;
    bool published;
  } cases[] = {
      {"1", [](auto& key) { sim::cm::SetDword(key, u"SerialSkipExternalNaming", 1); }, false},
      {"0", [](auto& key) { sim::cm::SetDword(key, u"SerialSkipExternalNaming", 0); }, true},
      {"a string", [](auto& key) { sim::cm::SetString(key, u"SerialSkipExternalNaming", u"1"); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.setting(Key());
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    if (c.published) {
      ExpectPublishedAs(u"COM5", u"COM5");
      Rebuild(c.what);
      continue;
    }
    EXPECT_TRUE(sim::ob::Links().empty());
    EXPECT_TRUE(SerialComm().empty());
    EXPECT_TRUE(sim::pnp::Interfaces(sim::pnp::kComPortInterface).empty());
    EXPECT_EQ(Port()->SkipExternalNaming, 1u);

    // Another port's names under the same COM name and NT name survive the removal.
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
    RtlInitUnicodeString(&target, L"\\Device\\Other");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    sim::cm::SetString(sim::cm::DeviceMapKey(u"SERIALCOMM"), NtName(), u"COM5");
    const std::u16string ntName = NtName();
    ASSERT_EQ(Pnp().Remove(), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::Narrow(sim::ob::LinkTarget(u"\\DosDevices\\COM5").value_or(u"")), "\\Device\\Other");
    EXPECT_TRUE(sim::cm::GetValue(sim::cm::DeviceMapKey(u"SERIALCOMM"), ntName).has_value());
    IoDeleteSymbolicLink(&link);
    sim::cm::DeleteValue(sim::cm::DeviceMapKey(u"SERIALCOMM"), ntName);
    Rebuild(c.what);
  }
}

// A link of the port's name left behind by a port never withdrawn is
// replaced; if creating it again fails, the add fails and nothing is left.
TEST_F(PublishTest, AStaleLinkIsReplacedOnce) {
  for (bool secondCreationFails : {false, true}) {
    std::string trace = secondCreationFails ? "second creation fails" : "second creation succeeds";
    SCOPED_TRACE(trace);
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
    RtlInitUnicodeString(&target, L"\\Device\\Gone");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    if (secondCreationFails) sim::ob::FailLinkCreations(1, STATUS_INSUFFICIENT_RESOURCES, 1);
    if (!secondCreationFails) {
      ASSERT_EQ(Add(), STATUS_SUCCESS);
      ExpectPublishedAs(u"COM5", u"COM5");
    } else {
      EXPECT_EQ(Add(), STATUS_INSUFFICIENT_RESOURCES);
      ExpectNothingLeft(trace);
    }
    Rebuild(trace);
  }
}

TEST_F(PublishTest, AFailedSerialCommWriteUndoesTheLink) {
  sim::cm::FailNext(sim::cm::Routine::WriteRegistryValue, 1, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Add(), STATUS_ACCESS_DENIED);
  ExpectNothingLeft("after the failed write");
}

// At removal the port deletes exactly the link it created, whatever the
// registry names it by then: a port renamed after it was published must
// neither delete the link of another live port that holds the new name nor
// leave its own behind.
TEST_F(PublishTest, RemovalDeletesExactlyTheLinkThePortCreated) {
  const struct {
    const char* what;
    bool otherPortHoldsCom9;  // a live port published as COM9
    std::function<void()> change;
  } cases[] = {
      {"renamed to COM9, the name of another live port", true, [this] { SetPortName(u"COM9"); }},
      {"renamed to COM9, a free name", false, [this] { SetPortName(u"COM9"); }},
      {"PortName deleted", false, [this] { sim::cm::DeleteValue(Key(), u"PortName"); }},
      {"PortName no longer a usable name", false, [this] { SetPortName(u"bad\\name"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UNICODE_STRING otherLink, otherTarget;
    RtlInitUnicodeString(&otherLink, L"\\DosDevices\\COM9");
    RtlInitUnicodeString(&otherTarget, L"\\Device\\Other");
    if (c.otherPortHoldsCom9) {
      ASSERT_EQ(IoCreateSymbolicLink(&otherLink, &otherTarget), STATUS_SUCCESS);
    }
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ExpectPublishedAs(u"COM5", u"COM5");
    c.change();
    ASSERT_EQ(Pnp().Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(sim::ob::LinkTarget(u"\\DosDevices\\COM5").has_value()) << "the port's own link was left";
    if (c.otherPortHoldsCom9) {
      EXPECT_EQ(sim::ob::Narrow(sim::ob::LinkTarget(u"\\DosDevices\\COM9").value_or(u"(deleted)")),
                "\\Device\\Other")
          << "the other port's link";
      EXPECT_EQ(IoDeleteSymbolicLink(&otherLink), STATUS_SUCCESS);
    }
    ExpectNothingLeft(c.what);
    Rebuild(c.what);
  }
}

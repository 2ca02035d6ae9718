// USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx:
// what they find and build for well-formed configurations, and that
// malformed ones neither crash them nor make them read outside the
// descriptor, and are reported as the driver's fault (each image lives in a heap block of exactly its size, so the
// address sanitizer build catches any read past it).
#include "support/kernel_test.h"

#include "driver/platform/platform.h"

#include "sim/ex/pool.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/devices/layouts.h"

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace sim::usb;

namespace {

// A descriptor image in a heap block of exactly its size.
class Image {
 public:
  explicit Image(const Bytes& bytes) : size_(bytes.size()), data_(new uint8_t[bytes.size()]) {
    std::memcpy(data_.get(), bytes.data(), bytes.size());
  }
  PUSB_CONFIGURATION_DESCRIPTOR Configuration() const {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data_.get());
  }
  uint8_t* At(size_t offset) const { return data_.get() + offset; }
  size_t Size() const { return size_; }

 private:
  size_t size_;
  std::unique_ptr<uint8_t[]> data_;
};

PUSB_INTERFACE_DESCRIPTOR Find(const Image& image, LONG number, LONG alternate = -1, LONG cls = -1,
                               PVOID start = nullptr) {
  return USBD_ParseConfigurationDescriptorEx(image.Configuration(), start ? start : image.Configuration(), number,
                                             alternate, cls, -1, -1);
}

Bytes Expected() { return layouts::Expected().configurations[0]; }

// Offsets in the expected configuration image.
constexpr size_t kInterface0 = 9, kInterface1 = 9 + 9 + 7;

}  // namespace

class UsbdTest : public KernelTest {
 protected:
  // The parse routine was handed a malformed chain `calls` times and said so
  // each time (the real library would read on); the findings are forgotten.
  static void ExpectMalformedChainReported(size_t calls, const std::string& what) {
    std::vector<sim::verifier::Finding> findings = sim::verifier::Take();
    EXPECT_EQ(findings.size(), calls) << what << ":\n" << sim::verifier::Describe(findings);
    for (const sim::verifier::Finding& finding : findings) {
      EXPECT_EQ(finding.rule, sim::verifier::Rule::InvalidArgument) << what;
      EXPECT_NE(finding.message.find("malformed configuration descriptor"), std::string::npos)
          << what << ": " << finding.message;
    }
  }
};

TEST_F(UsbdTest, ParseFindsEachInterfaceByItsNumberAndSetting) {
  Bytes bytes = MakeConfigurationDescriptor({{0, {{0x81, kInterrupt}}},
                                             {1, {{0x02, kBulk}, {0x82, kBulk}}},
                                             {1, {{0x03, kBulk}}, 1, 0x0A},
                                             {2, {}, 0, 0x0A}});
  Image image(bytes);
  const size_t alternate1 = 9 + 16 + 23, interface2 = alternate1 + 16;
  EXPECT_EQ(Find(image, 0), reinterpret_cast<PVOID>(image.At(9)));
  EXPECT_EQ(Find(image, 1), reinterpret_cast<PVOID>(image.At(25))) << "-1 for the setting: the first one listed";
  EXPECT_EQ(Find(image, 1, 1), reinterpret_cast<PVOID>(image.At(alternate1)));
  EXPECT_EQ(Find(image, -1, -1, 0x0A), reinterpret_cast<PVOID>(image.At(alternate1))) << "by class alone";
  EXPECT_EQ(Find(image, 2), reinterpret_cast<PVOID>(image.At(interface2)));
  EXPECT_EQ(Find(image, 3), nullptr);
  EXPECT_EQ(Find(image, 1, 2), nullptr);
  EXPECT_EQ(Find(image, 1, -1, -1, image.At(34)), reinterpret_cast<PVOID>(image.At(alternate1)))
      << "a search from the endpoint after interface 1's first setting finds the next setting";
  EXPECT_EQ(Find(image, 0, -1, -1, image.At(image.Size())), nullptr) << "a start at the end finds nothing";
}

TEST_F(UsbdTest, ParseSurvivesMalformedConfigurations) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    LONG number;
    bool found;
    bool malformed = true;  // reported as handed a malformed chain
  };
  // The expected image is 48 bytes: configuration 0..8, interface 0 at 9,
  // its endpoint at 18, interface 1 at 25, its endpoints at 34 and 41.
  std::vector<Case> cases = {
      {"bLength 0 before interface 1 (would loop)", [](Bytes& b) { b[18] = 0; }, 1, false},
      {"bLength 1 before interface 1", [](Bytes& b) { b[18] = 1; }, 1, false},
      {"the configuration's own bLength 0", [](Bytes& b) { b[0] = 0; }, 0, false},
      {"an endpoint claiming to run past the end", [](Bytes& b) { b[41] = 200; }, 1, true},
      {"interface 1 claiming to run past the end", [](Bytes& b) { b[25] = 250; }, 1, false},
      {"interface 1 shorter than an interface descriptor", [](Bytes& b) { b[25] = 4; }, 1, false},
      {"wTotalLength ends inside interface 1", [](Bytes& b) { WriteWord(&b[2], 30); }, 1, false},
      {"wTotalLength ends before interface 1, which is there", [](Bytes& b) { WriteWord(&b[2], 25); }, 1, false,
       false},
      {"wTotalLength 0", [](Bytes& b) { WriteWord(&b[2], 0); }, 0, false},
      {"wTotalLength 4", [](Bytes& b) { WriteWord(&b[2], 4); }, 0, false},
  };
  for (const Case& c : cases) {
    Bytes bytes = Expected();
    c.damage(bytes);
    Image image(bytes);
    PUSB_INTERFACE_DESCRIPTOR found = Find(image, c.number);
    EXPECT_EQ(found != nullptr, c.found) << c.what;
    if (found != nullptr) {
      EXPECT_EQ(found->bInterfaceNumber, c.number) << c.what;
    }
    ExpectMalformedChainReported(c.malformed ? 1 : 0, c.what);
  }
}

TEST_F(UsbdTest, ParseReadsNothingPastWTotalLengthEvenWhenTheLastDescriptorClaimsMore) {
  // The block ends exactly at wTotalLength; the last descriptor's bLength
  // reaches past it.
  Bytes bytes = Expected();
  bytes.resize(kInterface1 + 9 + 3);
  WriteWord(&bytes[2], static_cast<uint16_t>(bytes.size()));
  Image image(bytes);
  EXPECT_EQ(Find(image, 1), reinterpret_cast<PVOID>(image.At(kInterface1)));
  EXPECT_EQ(Find(image, 5), nullptr);
  ExpectMalformedChainReported(2, "the last descriptor runs past wTotalLength");
}

TEST_F(UsbdTest, CreateBuildsOneRecordPerListEntrySizedForItsEndpoints) {
  Image image(Expected());
  USBD_INTERFACE_LIST_ENTRY list[3] = {{Find(image, 0), nullptr}, {Find(image, 1), nullptr}, {nullptr, nullptr}};
  ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
  ASSERT_NE(list[1].InterfaceDescriptor, nullptr);
  PURB urb = USBD_CreateConfigurationRequestEx(image.Configuration(), list);
  ASSERT_NE(urb, nullptr);

  const size_t head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  const size_t size = head + GET_USBD_INTERFACE_SIZE(1) + GET_USBD_INTERFACE_SIZE(2);
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, image.Configuration());
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  EXPECT_EQ(sim::pool::Outstanding().blocks, 1u) << "one pool block: " << sim::pool::DescribeOutstanding();
  EXPECT_EQ(sim::pool::Outstanding().bytes, size);
#if defined(_X86_)
  EXPECT_EQ(size, 24u + 36u + 56u) << "the 32-bit layout: head, interface with one pipe, interface with two";
#endif

  auto first = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + head);
  auto second = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(first) + first->Length);
  EXPECT_EQ(list[0].Interface, first) << "list entries point at their records";
  EXPECT_EQ(list[1].Interface, second);
  struct Expect {
    PUSBD_INTERFACE_INFORMATION record;
    UCHAR number;
    ULONG pipes;
  } expects[] = {{first, 0, 1}, {second, 1, 2}};
  for (const Expect& e : expects) {
    EXPECT_EQ(e.record->Length, GET_USBD_INTERFACE_SIZE(e.pipes)) << "interface " << int(e.number);
    EXPECT_EQ(e.record->InterfaceNumber, e.number);
    EXPECT_EQ(e.record->AlternateSetting, 0);
    EXPECT_EQ(e.record->NumberOfPipes, e.pipes);
    EXPECT_EQ(e.record->InterfaceHandle, nullptr) << "filled by the bus, not by the library";
    for (ULONG p = 0; p < e.pipes; ++p) {
      EXPECT_EQ(e.record->Pipes[p].MaximumTransferSize, static_cast<ULONG>(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
      EXPECT_EQ(e.record->Pipes[p].PipeFlags, 0u);
      EXPECT_EQ(e.record->Pipes[p].PipeHandle, nullptr);
    }
  }
  ExFreePool(urb);
}

TEST_F(UsbdTest, CreateSizesInterfacesWithoutEndpointsAndEmptyLists) {
  Image image(MakeConfigurationDescriptor({{0, {}}, {1, {{0x81, kBulk}}}}));
  USBD_INTERFACE_LIST_ENTRY list[3] = {{Find(image, 0), nullptr}, {Find(image, 1), nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(image.Configuration(), list);
  ASSERT_NE(urb, nullptr);
  const size_t head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  EXPECT_EQ(list[0].Interface->Length, offsetof(USBD_INTERFACE_INFORMATION, Pipes))
      << "an interface without endpoints has no pipe record";
  EXPECT_EQ(urb->UrbHeader.Length, head + GET_USBD_INTERFACE_SIZE(0) + GET_USBD_INTERFACE_SIZE(1));
  ExFreePool(urb);

  USBD_INTERFACE_LIST_ENTRY none[1] = {{nullptr, nullptr}};
  urb = USBD_CreateConfigurationRequestEx(image.Configuration(), none);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, head) << "no interface records at all";
  ExFreePool(urb);
}

TEST_F(UsbdTest, CreateRefusesWhatItCannotBuild) {
  Image image(Expected());
  Image other(Expected());
  struct Case {
    const char* what;
    PUSB_INTERFACE_DESCRIPTOR descriptor;
    uint64_t failingAllocation;  // 0: none
  } cases[] = {
      {"pool exhausted", Find(image, 1), 1},
      {"an interface descriptor of another configuration", Find(other, 1), 0},
      {"a pointer into the middle of a descriptor",
       reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(image.At(kInterface0 + 2)), 0},
  };
  for (const Case& c : cases) {
    USBD_INTERFACE_LIST_ENTRY list[2] = {{c.descriptor, nullptr}, {nullptr, nullptr}};
    if (c.failingAllocation != 0) sim::pool::FailNth(c.failingAllocation);
    PURB urb = USBD_CreateConfigurationRequestEx(image.Configuration(), list);
    sim::pool::StopFailing();
    EXPECT_EQ(urb, nullptr) << c.what;
    EXPECT_EQ(list[0].Interface, nullptr) << c.what;
    EXPECT_EQ(sim::pool::Outstanding().blocks, 0u) << c.what;
  }
}

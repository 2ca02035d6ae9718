// The PE32 image reader on images built in memory: what it reads from a
// well-formed image, and the error it gives for each kind of damage.
#include "sim/ldr/pe_image.h"
#include "windows/pe_builder.h"

#include "support/gtest.h"

#include <functional>
#include <random>

using namespace sim::ldr;
using pe_builder::Put16;
using pe_builder::Put32;

namespace {

struct ReadOutcome {
  bool ok;
  PeImage image;
  std::string error;
};

ReadOutcome Read(const std::vector<uint8_t>& bytes) {
  ReadOutcome outcome;
  outcome.ok = ReadPeImage(bytes.data(), bytes.size(), &outcome.image, &outcome.error);
  return outcome;
}

}  // namespace

TEST(PeImageReader, ReadsTheHeadersSectionsAndImportsOfAWellFormedImage) {
  pe_builder::Spec spec = pe_builder::AcceptableDriver();
  spec.imports[0].routines.push_back({"", 77, 0});  // one routine by ordinal
  pe_builder::Layout layout;
  std::vector<uint8_t> bytes = pe_builder::Build(spec, &layout);

  ReadOutcome read = Read(bytes);
  ASSERT_TRUE(read.ok) << read.error;
  const PeImage& image = read.image;
  EXPECT_EQ(image.machine, kMachineI386);
  EXPECT_EQ(image.magic, kMagicPe32);
  EXPECT_EQ(image.subsystem, kSubsystemNative);
  EXPECT_EQ(image.imageBase, 0x10000u);
  EXPECT_EQ(image.entryPointRva, 0x1000u);
  EXPECT_EQ(image.sectionAlignment, 0x1000u);
  EXPECT_EQ(image.fileAlignment, 0x200u);
  EXPECT_EQ(image.majorSubsystemVersion, 5);
  EXPECT_EQ(image.minorSubsystemVersion, 1);
  EXPECT_EQ(image.checksumOffset, layout.optionalOffset + 64);
  EXPECT_EQ(image.checksum, ComputePeChecksum(bytes.data(), bytes.size(), image.checksumOffset));
  EXPECT_EQ(image.directories.size(), 16u);
  EXPECT_EQ(image.Directory(kImportDirectory).rva, layout.idataRva);
  EXPECT_EQ(image.Directory(kImportDirectory).size, 4u * 20);
  EXPECT_EQ(image.Directory(kBaseRelocationDirectory).size, 12u);
  EXPECT_EQ(image.Directory(40).size, 0u) << "a directory beyond the table reads as empty";

  ASSERT_EQ(image.sections.size(), 3u);
  EXPECT_EQ(image.sections[0].name, ".text");
  EXPECT_EQ(image.sections[1].name, ".idata");
  EXPECT_EQ(image.sections[2].name, ".reloc");
  EXPECT_EQ(image.sections[1].virtualAddress, layout.idataRva);
  EXPECT_EQ(image.sections[1].rawOffset, layout.idataOffset);
  EXPECT_EQ(image.sections[0].characteristics & kSectionExecute, kSectionExecute);
  EXPECT_EQ(image.SectionAt(layout.idataRva + 5), &image.sections[1]);
  EXPECT_EQ(image.SectionAt(0x9000), nullptr);

  ASSERT_EQ(image.imports.size(), 3u);
  EXPECT_EQ(image.imports[0].name, "ntoskrnl.exe");
  EXPECT_EQ(image.imports[1].name, "HAL.dll") << "module names keep the case the image has";
  EXPECT_EQ(image.imports[2].name, "USBD.SYS");
  const std::vector<ImportedRoutine>& kernel = image.imports[0].routines;
  ASSERT_EQ(kernel.size(), 4u);
  EXPECT_EQ(kernel[0].name, "IoCreateDevice");
  EXPECT_EQ(kernel[0].hint, 12);
  EXPECT_FALSE(kernel[0].byOrdinal);
  EXPECT_EQ(kernel[2].name, "memset");
  EXPECT_TRUE(kernel[3].byOrdinal);
  EXPECT_EQ(kernel[3].ordinal, 77);
  EXPECT_EQ(kernel[3].name, "");
  // The address table follows the lookup table: 4 routines and a null entry.
  EXPECT_EQ(kernel[0].slotRva, layout.lookupTableRva + 5 * 4);
  EXPECT_EQ(kernel[3].slotRva, kernel[0].slotRva + 3 * 4);
  EXPECT_EQ(image.imports[2].routines.at(0).name, "_USBD_ParseConfigurationDescriptorEx@28");
}

TEST(PeImageReader, ReadsAnImageWithoutImportsOrRelocations) {
  pe_builder::Spec spec;
  spec.relocations = false;
  ReadOutcome read = Read(pe_builder::Build(spec));
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_TRUE(read.image.imports.empty());
  EXPECT_EQ(read.image.sections.size(), 2u);
  EXPECT_EQ(read.image.Directory(kBaseRelocationDirectory).size, 0u);
}

TEST(PeImageReader, MapsRvasToFileOffsetsOnlyWhereTheFileHasTheBytes) {
  pe_builder::Layout layout;
  std::vector<uint8_t> bytes = pe_builder::Build(pe_builder::AcceptableDriver(), &layout);
  ReadOutcome read = Read(bytes);
  ASSERT_TRUE(read.ok) << read.error;
  uint32_t offset = 0;
  EXPECT_TRUE(RvaToFileOffset(read.image, bytes.size(), layout.idataRva + 8, 4, &offset));
  EXPECT_EQ(offset, layout.idataOffset + 8);
  EXPECT_TRUE(RvaToFileOffset(read.image, bytes.size(), 0x3C, 4, &offset)) << "the headers are file-backed";
  EXPECT_EQ(offset, 0x3Cu);
  EXPECT_FALSE(RvaToFileOffset(read.image, bytes.size(), layout.idataRva + layout.idataRawSize - 2, 4, &offset))
      << "a range running past the section's raw data";
  EXPECT_FALSE(RvaToFileOffset(read.image, bytes.size(), 0x9000, 1, &offset)) << "an RVA in no section";
}

TEST(PeImageReader, ChecksumFoldsCarriesSkipsItsOwnFieldAndAddsTheLength) {
  // Words 0x0201 + 0x0403 + 0xFFFF (carry folded back) + 0x0005 (odd byte) = 0x0609; plus 7 bytes.
  const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0x05};
  EXPECT_EQ(ComputePeChecksum(bytes.data(), bytes.size(), 100), 0x0610u);
  // With the field at offset 2, bytes 2 to 5 count as zero: 0x0201 + 0x0005, plus 7.
  EXPECT_EQ(ComputePeChecksum(bytes.data(), bytes.size(), 2), 0x020Du);
}

// One kind of damage, applied to a freshly built acceptable driver image, and
// the words the reader's error must contain.
struct Damage {
  const char* name;
  std::function<void(std::vector<uint8_t>&, const pe_builder::Layout&)> apply;
  const char* expected;
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

class PeImageReaderDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(PeImageReaderDamage, IsRefusedWithAnErrorSayingWhy) {
  pe_builder::Layout layout;
  std::vector<uint8_t> bytes = pe_builder::Build(pe_builder::AcceptableDriver(), &layout);
  GetParam().apply(bytes, layout);
  ReadOutcome read = Read(bytes);
  ASSERT_FALSE(read.ok) << "the damaged image was read without complaint";
  EXPECT_NE(read.error.find(GetParam().expected), std::string::npos)
      << "error: " << read.error << "\nexpected it to contain: " << GetParam().expected;
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, PeImageReaderDamage,
    ::testing::Values(
        Damage{"Empty", [](auto& b, auto&) { b.clear(); }, "truncated: the DOS header"},
        Damage{"ShorterThanTheDosHeader", [](auto& b, auto&) { b.resize(63); }, "truncated: the DOS header"},
        Damage{"NoMzSignature", [](auto& b, auto&) { b[0] = 'Z'; }, "does not start with \"MZ\""},
        Damage{"PeOffsetPastTheEnd", [](auto& b, auto&) { Put32(b, 0x3C, static_cast<uint32_t>(b.size()) - 2); },
               "truncated: the PE signature"},
        Damage{"PeOffsetHuge", [](auto& b, auto&) { Put32(b, 0x3C, 0xFFFFFFFE); }, "truncated: the PE signature"},
        Damage{"NoPeSignature", [](auto& b, auto& l) { b[l.peOffset + 1] = 'X'; }, "no PE signature"},
        Damage{"CutInTheCoffHeader", [](auto& b, auto& l) { b.resize(l.peOffset + 10); },
               "truncated: the COFF file header"},
        Damage{"NoOptionalHeader", [](auto& b, auto& l) { Put16(b, l.peOffset + 4 + 16, 0); }, "no optional header"},
        Damage{"CutInTheOptionalHeader", [](auto& b, auto& l) { b.resize(l.optionalOffset + 50); },
               "truncated: the optional header"},
        Damage{"Pe32PlusMagic", [](auto& b, auto& l) { Put16(b, l.optionalOffset, kMagicPe32Plus); }, "PE32+"},
        Damage{"RomMagic", [](auto& b, auto& l) { Put16(b, l.optionalOffset, 0x0107); },
               "unknown optional header magic 0x107"},
        Damage{"OptionalHeaderTooSmall", [](auto& b, auto& l) { Put16(b, l.peOffset + 4 + 16, 64); },
               "needs at least 96"},
        Damage{"TooManyDirectories", [](auto& b, auto& l) { Put32(b, l.optionalOffset + 92, 17); },
               "17 data directories"},
        Damage{"DirectoriesBeyondTheOptionalHeader",
               [](auto& b, auto& l) { Put16(b, l.peOffset + 4 + 16, 96 + 8 * 10); },
               "too small for its 16 data directories"},
        Damage{"TooManySections", [](auto& b, auto& l) { Put16(b, l.peOffset + 4 + 2, 200); }, "200 sections"},
        Damage{"CutInTheSectionTable", [](auto& b, auto& l) { b.resize(l.sectionTableOffset + 60); },
               "truncated: the section table"},
        Damage{"SectionDataPastTheEnd", [](auto& b, auto& l) { Put32(b, l.sectionTableOffset + 40 + 20, 0x7FFFFFFF); },
               "truncated: the raw data of section \".idata\""},
        Damage{"ImportDirectoryInNoSection",
               [](auto& b, auto& l) { Put32(b, l.optionalOffset + 96 + 8 * kImportDirectory, 0x9000); },
               "import directory at RVA 0x9000 is not in the file"},
        Damage{"ImportDirectoryInZeroFilledMemory",
               [](auto& b, auto& l) {
                 // .idata grows in memory beyond its raw data; the directory points past the file's bytes.
                 Put32(b, l.sectionTableOffset + 40 + 8, 0x1000);
                 Put32(b, l.optionalOffset + 96 + 8 * kImportDirectory, l.idataRva + 0x800);
               },
               "is not in the file (section .idata)"},
        Damage{"ImportDirectoryWithoutRva",
               [](auto& b, auto& l) { Put32(b, l.optionalOffset + 96 + 8 * kImportDirectory, 0); },
               "has a size (80) but no RVA"},
        Damage{"ImportDirectoryNotTerminated",
               [](auto& b, auto& l) {
                 // A copy of the first descriptor as the last 20 bytes of .idata, and the directory there.
                 size_t last = l.idataOffset + l.idataRawSize - 20;
                 std::copy(b.begin() + l.idataOffset, b.begin() + l.idataOffset + 20, b.begin() + last);
                 Put32(b, l.optionalOffset + 96 + 8 * kImportDirectory, l.idataRva + l.idataRawSize - 20);
               },
               "without a terminating null descriptor"},
        Damage{"ModuleNameNotTerminated",
               [](auto& b, auto& l) {
                 // The last module name is the last thing in .idata: fill from it to the section's end.
                 size_t name = pe_builder::Find(b, "USBD.SYS");
                 std::fill(b.begin() + name, b.begin() + l.idataOffset + l.idataRawSize, 'A');
               },
               "has no terminating null"},
        Damage{"ModuleNameOutsideTheFile", [](auto& b, auto& l) { Put32(b, l.idataOffset + 12, 0x9000); },
               "module name of import descriptor 0 at RVA 0x9000 is not in the file"},
        Damage{"NoImportAddressTable", [](auto& b, auto& l) { Put32(b, l.idataOffset + 16, 0); },
               "has no import address table"},
        Damage{"RoutineNameOutsideTheFile",
               [](auto& b, auto& l) { Put32(b, l.idataOffset + (l.lookupTableRva - l.idataRva), 0x7000); },
               "import 0 of import descriptor 0 (ntoskrnl.exe) points at RVA 0x7000"},
        Damage{"LookupTableRunsOutOfTheFile",
               [](auto& b, auto& l) {
                 // The first module's lookup table moved to the last 4 bytes of .idata, holding
                 // one valid entry: the null entry that should follow is beyond the file's bytes.
                 size_t lookup = l.idataOffset + (l.lookupTableRva - l.idataRva);
                 size_t last = l.idataOffset + l.idataRawSize - 4;
                 std::copy(b.begin() + lookup, b.begin() + lookup + 4, b.begin() + last);
                 Put32(b, l.idataOffset, l.idataRva + l.idataRawSize - 4);
               },
               "runs out of the file"}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST(PeImageReader, RefusesARealPe32PlusImage) {
  pe_builder::Spec spec = pe_builder::AcceptableDriver();
  spec.pe32Plus = true;
  spec.machine = kMachineAmd64;
  ReadOutcome read = Read(pe_builder::Build(spec));
  ASSERT_FALSE(read.ok);
  EXPECT_NE(read.error.find("PE32+ (64-bit)"), std::string::npos) << read.error;
}

TEST(PeImageReader, RefusesEveryTruncationOfAnImage) {
  std::vector<uint8_t> whole = pe_builder::Build(pe_builder::AcceptableDriver());
  for (size_t length = 0; length < whole.size(); ++length) {
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + length);
    ReadOutcome read = Read(cut);
    ASSERT_FALSE(read.ok) << "the first " << length << " of " << whole.size() << " bytes were read as an image";
    ASSERT_FALSE(read.error.empty()) << "no error text for a cut at " << length;
  }
}

TEST(PeImageReader, SurvivesRandomDamageToHeadersAndImports) {
  // Bytes flipped at random in the headers and the import section: the
  // reader either reads the image or says why not, and never reads outside
  // the buffer (the sanitizer builds would report that).
  pe_builder::Layout layout;
  const std::vector<uint8_t> whole = pe_builder::Build(pe_builder::AcceptableDriver(), &layout);
  std::mt19937 random(20240601);
  std::uniform_int_distribution<size_t> position(0, layout.idataOffset + 0x100);
  std::uniform_int_distribution<int> value(0, 255);
  std::uniform_int_distribution<int> count(1, 4);
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = whole;
    for (int n = count(random); n > 0; --n) bytes[position(random)] = static_cast<uint8_t>(value(random));
    ReadOutcome read = Read(bytes);
    if (!read.ok) {
      ++refused;
      ASSERT_FALSE(read.error.empty()) << "round " << round;
      continue;
    }
    for (const ImportedModule& module : read.image.imports) {
      for (const ImportedRoutine& routine : module.routines) {
        ASSERT_TRUE(routine.byOrdinal || routine.name.size() < 4096) << "round " << round;
      }
    }
  }
  EXPECT_GT(refused, 0) << "no damage was ever noticed: the damage does not reach the headers";
}

TEST(PeImageReader, ReadsFilesAndSaysWhenItCannot) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_FALSE(ReadWholeFile("/nonexistent/quillan.sys", &bytes, &error));
  EXPECT_NE(error.find("cannot open /nonexistent/quillan.sys"), std::string::npos) << error;
}

#include "windows/pe_builder.h"

#include "support/gtest.h"

#include <algorithm>
#include <tuple>

namespace pe_builder {

namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kPeOffset = 0x80;
constexpr uint32_t kDirectoryCount = 16;

uint32_t RoundUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

void Put64(std::vector<uint8_t>& bytes, size_t offset, uint64_t value) {
  Put32(bytes, offset, static_cast<uint32_t>(value));
  Put32(bytes, offset + 4, static_cast<uint32_t>(value >> 32));
}

void PutText(std::vector<uint8_t>& bytes, size_t offset, const std::string& text) {
  std::copy(text.begin(), text.end(), bytes.begin() + offset);
}

struct SectionHeader {
  const char* name;
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize, characteristics;
};

// The .idata section's content for the given imports, placed at rva:
// descriptors, then per module its lookup and address tables, then the
// hint/name entries, and the module names last.
std::vector<uint8_t> ImportSection(const Spec& spec, uint32_t rva, uint32_t* lookupTableRva) {
  const uint32_t slot = spec.pe32Plus ? 8 : 4;
  uint32_t size = static_cast<uint32_t>((spec.imports.size() + 1) * 20);
  std::vector<uint32_t> tables;  // offset of each module's lookup table; its address table follows
  for (const Module& module : spec.imports) {
    tables.push_back(size);
    size += 2 * static_cast<uint32_t>(module.routines.size() + 1) * slot;
  }
  std::vector<std::vector<uint32_t>> hintNames;
  for (const Module& module : spec.imports) {
    hintNames.emplace_back();
    for (const Routine& routine : module.routines) {
      hintNames.back().push_back(size);
      if (!routine.name.empty()) size += RoundUp(static_cast<uint32_t>(2 + routine.name.size() + 1), 2);
    }
  }
  std::vector<uint32_t> moduleNames;
  for (const Module& module : spec.imports) {
    moduleNames.push_back(size);
    size += static_cast<uint32_t>(module.name.size() + 1);
  }

  std::vector<uint8_t> data(size, 0);
  for (size_t m = 0; m < spec.imports.size(); ++m) {
    const Module& module = spec.imports[m];
    uint32_t lookup = tables[m];
    uint32_t address = lookup + static_cast<uint32_t>(module.routines.size() + 1) * slot;
    size_t descriptor = m * 20;
    Put32(data, descriptor + 0, rva + lookup);
    Put32(data, descriptor + 12, rva + moduleNames[m]);
    Put32(data, descriptor + 16, rva + address);
    PutText(data, moduleNames[m], module.name);
    for (size_t r = 0; r < module.routines.size(); ++r) {
      const Routine& routine = module.routines[r];
      uint64_t entry;
      if (routine.name.empty()) {
        entry = routine.ordinal | (spec.pe32Plus ? uint64_t{1} << 63 : uint64_t{1} << 31);
      } else {
        entry = rva + hintNames[m][r];
        Put16(data, hintNames[m][r], routine.hint);
        PutText(data, hintNames[m][r] + 2, routine.name);
      }
      for (uint32_t table : {lookup, address}) {
        if (spec.pe32Plus) {
          Put64(data, table + r * slot, entry);
        } else {
          Put32(data, table + r * slot, static_cast<uint32_t>(entry));
        }
      }
    }
  }
  if (lookupTableRva != nullptr) *lookupTableRva = spec.imports.empty() ? 0 : rva + tables[0];
  return data;
}

}  // namespace

void Put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  bytes.at(offset) = static_cast<uint8_t>(value);
  bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  Put16(bytes, offset, static_cast<uint16_t>(value));
  Put16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

size_t Find(const std::vector<uint8_t>& bytes, const std::string& text) {
  auto at = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
  EXPECT_NE(at, bytes.end()) << "\"" << text << "\" is not in the image";
  return at == bytes.end() ? 0 : static_cast<size_t>(at - bytes.begin());
}

std::vector<uint8_t> Build(const Spec& spec, Layout* layout) {
  Layout where;
  const uint32_t optionalSize = (spec.pe32Plus ? 112 : 96) + kDirectoryCount * 8;
  where.peOffset = kPeOffset;
  where.optionalOffset = kPeOffset + 4 + 20;
  where.sectionTableOffset = where.optionalOffset + optionalSize;
  const uint32_t sectionCount = spec.relocations ? 3 : 2;
  const uint32_t headersSize = RoundUp(where.sectionTableOffset + sectionCount * 40, kFileAlignment);

  // .text: the entry point's code, "xor eax, eax; ret 8", as DriverEntry
  // returning STATUS_SUCCESS would be.
  std::vector<uint8_t> text = spec.code.empty() ? std::vector<uint8_t>{0x31, 0xC0, 0xC2, 0x08, 0x00} : spec.code;
  // .idata
  where.idataRva = 2 * kSectionAlignment;
  std::vector<uint8_t> idata = ImportSection(spec, where.idataRva, &where.lookupTableRva);
  // .reloc: one block for the .text page with one 32-bit fix-up and padding.
  std::vector<uint8_t> reloc(12, 0);
  Put32(reloc, 0, kSectionAlignment);
  Put32(reloc, 4, 12);
  Put16(reloc, 8, (3 << 12) | 0x001);

  std::vector<SectionHeader> sections;
  uint32_t rawOffset = headersSize;
  uint32_t rva = kSectionAlignment;
  for (const auto& [name, content, characteristics] :
       {std::make_tuple(".text", &text, 0x60000020u), std::make_tuple(".idata", &idata, 0xC0000040u),
        std::make_tuple(".reloc", &reloc, 0x42000040u)}) {
    if (content == &reloc && !spec.relocations) continue;
    uint32_t rawSize = RoundUp(static_cast<uint32_t>(content->size()), kFileAlignment);
    if (rawSize == 0) rawSize = kFileAlignment;
    sections.push_back({name, rva, static_cast<uint32_t>(content->size()), rawOffset, rawSize, characteristics});
    rawOffset += rawSize;
    rva += RoundUp(rawSize, kSectionAlignment);
  }
  where.idataOffset = sections[1].rawOffset;
  where.idataRawSize = sections[1].rawSize;

  std::vector<uint8_t> bytes(rawOffset, 0);
  // DOS header.
  bytes[0] = 'M';
  bytes[1] = 'Z';
  Put32(bytes, 0x3C, kPeOffset);
  // PE signature and COFF file header.
  PutText(bytes, kPeOffset, std::string("PE\0\0", 4));
  size_t coff = kPeOffset + 4;
  Put16(bytes, coff + 0, spec.machine);
  Put16(bytes, coff + 2, static_cast<uint16_t>(sections.size()));
  Put16(bytes, coff + 16, static_cast<uint16_t>(optionalSize));
  Put16(bytes, coff + 18, spec.pe32Plus ? 0x0022 : 0x0102);  // executable; large-address-aware or 32-bit
  // Optional header.
  size_t o = where.optionalOffset;
  Put16(bytes, o + 0, spec.pe32Plus ? sim::ldr::kMagicPe32Plus : sim::ldr::kMagicPe32);
  Put32(bytes, o + 4, sections[0].rawSize);  // SizeOfCode
  Put32(bytes, o + 16, spec.entryPointRva);
  Put32(bytes, o + 20, sections[0].virtualAddress);  // BaseOfCode
  if (spec.pe32Plus) {
    Put64(bytes, o + 24, spec.imageBase);
  } else {
    Put32(bytes, o + 24, sections[1].virtualAddress);  // BaseOfData
    Put32(bytes, o + 28, spec.imageBase);
  }
  Put32(bytes, o + 32, kSectionAlignment);
  Put32(bytes, o + 36, kFileAlignment);
  Put16(bytes, o + 40, 5);  // operating system version 5.1
  Put16(bytes, o + 42, 1);
  Put16(bytes, o + 48, 5);  // subsystem version 5.1
  Put16(bytes, o + 50, 1);
  Put32(bytes, o + 56, rva);  // SizeOfImage
  Put32(bytes, o + 60, headersSize);
  Put16(bytes, o + 68, spec.subsystem);
  size_t directoryCountAt = o + (spec.pe32Plus ? 108 : 92);
  Put32(bytes, directoryCountAt, kDirectoryCount);
  size_t directories = directoryCountAt + 4;
  if (!spec.imports.empty()) {
    Put32(bytes, directories + 8 * sim::ldr::kImportDirectory, where.idataRva);
    Put32(bytes, directories + 8 * sim::ldr::kImportDirectory + 4,
          static_cast<uint32_t>((spec.imports.size() + 1) * 20));
  }
  if (spec.relocations) {
    Put32(bytes, directories + 8 * sim::ldr::kBaseRelocationDirectory, sections[2].virtualAddress);
    Put32(bytes, directories + 8 * sim::ldr::kBaseRelocationDirectory + 4, static_cast<uint32_t>(reloc.size()));
  }
  // Section table and contents.
  for (size_t i = 0; i < sections.size(); ++i) {
    const SectionHeader& section = sections[i];
    size_t at = where.sectionTableOffset + i * 40;
    PutText(bytes, at, section.name);
    Put32(bytes, at + 8, section.virtualSize);
    Put32(bytes, at + 12, section.virtualAddress);
    Put32(bytes, at + 16, section.rawSize);
    Put32(bytes, at + 20, section.rawOffset);
    Put32(bytes, at + 36, section.characteristics);
  }
  std::copy(text.begin(), text.end(), bytes.begin() + sections[0].rawOffset);
  std::copy(idata.begin(), idata.end(), bytes.begin() + sections[1].rawOffset);
  if (spec.relocations) std::copy(reloc.begin(), reloc.end(), bytes.begin() + sections[2].rawOffset);

  uint32_t checksumOffset = static_cast<uint32_t>(o + 64);
  uint32_t checksum = sim::ldr::ComputePeChecksum(bytes.data(), bytes.size(), checksumOffset);
  Put32(bytes, checksumOffset, spec.correctChecksum ? checksum : checksum + 1);

  if (layout != nullptr) *layout = where;
  return bytes;
}

Spec AcceptableDriver() {
  Spec spec;
  spec.imports = {
      {"ntoskrnl.exe", {{"IoCreateDevice", 0, 12}, {"IofCompleteRequest", 0, 34}, {"memset", 0, 56}}},
      {"HAL.dll", {{"KfAcquireSpinLock", 0, 95}, {"KfReleaseSpinLock", 0, 98}}},
      {"USBD.SYS", {{"_USBD_ParseConfigurationDescriptorEx@28", 0, 31}}},
  };
  return spec;
}

}  // namespace pe_builder

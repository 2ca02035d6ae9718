#include "sim/ldr/pe_image.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace sim::ldr {

namespace {

// Sizes of the fixed structures, as the image format defines them.
constexpr size_t kDosHeaderSize = 64;
constexpr size_t kDosLfanewOffset = 0x3C;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kPe32FixedOptionalSize = 96;      // up to NumberOfRvaAndSizes included
constexpr size_t kPe32PlusFixedOptionalSize = 112;
constexpr size_t kDataDirectorySize = 8;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr uint32_t kMaxSections = 96;   // the Windows loader's own limit
constexpr uint32_t kMaxDirectories = 16;
constexpr size_t kMaxNameLength = 4096;
constexpr uint32_t kOrdinalFlag = 0x80000000u;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// Little-endian reads over one byte range; every read is checked against its
// end, and a failed read leaves the reason in error.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size, std::string* error) : data_(data), size_(size), error_(error) {}

  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }

  // True when [offset, offset + length) lies in the file; otherwise sets the
  // error: "truncated: <what> at <offset> needs <length> bytes ...".
  bool Need(uint64_t offset, uint64_t length, const std::string& what) const {
    if (offset <= size_ && length <= size_ - offset) return true;
    *error_ = "truncated: " + what + " at file offset " + Hex(offset) + " needs " + std::to_string(length) +
              " bytes, but the file has " + std::to_string(size_);
    return false;
  }

  uint8_t U8(size_t offset) const { return data_[offset]; }
  uint16_t U16(size_t offset) const { return static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8)); }
  uint32_t U32(size_t offset) const {
    return static_cast<uint32_t>(data_[offset]) | (static_cast<uint32_t>(data_[offset + 1]) << 8) |
           (static_cast<uint32_t>(data_[offset + 2]) << 16) | (static_cast<uint32_t>(data_[offset + 3]) << 24);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  std::string* error_;
};

// The bytes from rva to the end of the file-backed part of its region (the
// headers or a section's raw data): [*offset, *offset + *available).
bool FileBackedFrom(const PeImage& image, size_t fileSize, uint32_t rva, uint32_t* offset, uint32_t* available) {
  if (rva < image.sizeOfHeaders) {
    size_t end = image.sizeOfHeaders < fileSize ? image.sizeOfHeaders : fileSize;
    if (rva >= end) return false;
    *offset = rva;
    *available = static_cast<uint32_t>(end - rva);
    return true;
  }
  const Section* section = image.SectionAt(rva);
  if (section == nullptr) return false;
  uint32_t into = rva - section->virtualAddress;
  if (into >= section->rawSize) return false;  // beyond the raw data: zero-filled memory, not file bytes
  *offset = section->rawOffset + into;
  *available = section->rawSize - into;  // ReadPeImage checked that raw data lies within the file
  return true;
}

std::string RegionName(const PeImage& image, uint32_t rva) {
  const Section* section = image.SectionAt(rva);
  if (section != nullptr) return "section " + section->name;
  return rva < image.sizeOfHeaders ? "the headers" : "no section";
}

// A null-terminated name at rva, wholly within its file-backed region.
bool ReadName(const PeImage& image, const Bytes& bytes, uint32_t rva, const std::string& what, std::string* name,
              std::string* error) {
  uint32_t offset = 0, available = 0;
  if (!FileBackedFrom(image, bytes.size(), rva, &offset, &available)) {
    *error = what + " at RVA " + Hex(rva) + " is not in the file (" + RegionName(image, rva) + ")";
    return false;
  }
  name->clear();
  for (uint32_t i = 0; i < available && i < kMaxNameLength; ++i) {
    char c = static_cast<char>(bytes.U8(offset + i));
    if (c == '\0') return true;
    name->push_back(c);
  }
  *error = what + " at RVA " + Hex(rva) + " has no terminating null within " +
           (available < kMaxNameLength ? RegionName(image, rva) : std::to_string(kMaxNameLength) + " bytes");
  return false;
}

bool ReadImports(const Bytes& bytes, PeImage* image, std::string* error) {
  DataDirectory directory = image->Directory(kImportDirectory);
  if (directory.rva == 0) {
    if (directory.size == 0) return true;  // imports nothing
    *error = "the import directory has a size (" + std::to_string(directory.size) + ") but no RVA";
    return false;
  }

  uint32_t offset = 0, available = 0;
  if (!FileBackedFrom(*image, bytes.size(), directory.rva, &offset, &available)) {
    *error = "the import directory at RVA " + Hex(directory.rva) + " is not in the file (" +
             RegionName(*image, directory.rva) + ")";
    return false;
  }
  for (uint32_t at = 0;; at += kImportDescriptorSize) {
    if (static_cast<uint64_t>(at) + kImportDescriptorSize > available) {
      *error = "the import directory at RVA " + Hex(directory.rva) +
               " runs past its region without a terminating null descriptor";
      return false;
    }
    size_t descriptor = offset + at;
    uint32_t lookupRva = bytes.U32(descriptor);       // OriginalFirstThunk: the import lookup table
    uint32_t nameRva = bytes.U32(descriptor + 12);
    uint32_t addressRva = bytes.U32(descriptor + 16);  // FirstThunk: the import address table
    bool allZero = true;
    for (size_t i = 0; i < kImportDescriptorSize; ++i) allZero = allZero && bytes.U8(descriptor + i) == 0;
    if (allZero) return true;

    ImportedModule module;
    std::string where = "import descriptor " + std::to_string(at / kImportDescriptorSize);
    if (!ReadName(*image, bytes, nameRva, "the module name of " + where, &module.name, error)) return false;
    where += " (" + module.name + ")";
    if (addressRva == 0) {
      *error = where + " has no import address table";
      return false;
    }
    // The lookup table names the routines; old linkers leave it out and the
    // address table, unbound, holds the same entries.
    uint32_t tableRva = lookupRva != 0 ? lookupRva : addressRva;
    for (uint32_t index = 0;; ++index) {
      uint32_t entryRva = tableRva + index * 4;
      uint32_t entryOffset = 0, entryAvailable = 0;
      if (entryRva < tableRva || !FileBackedFrom(*image, bytes.size(), entryRva, &entryOffset, &entryAvailable) ||
          entryAvailable < 4) {
        *error = "the import table of " + where + " runs out of the file at RVA " + Hex(entryRva) +
                 " before its terminating null entry";
        return false;
      }
      uint32_t entry = bytes.U32(entryOffset);
      if (entry == 0) break;
      ImportedRoutine routine;
      routine.slotRva = addressRva + index * 4;
      if ((entry & kOrdinalFlag) != 0) {
        routine.byOrdinal = true;
        routine.ordinal = static_cast<uint16_t>(entry & 0xFFFF);
      } else {
        uint32_t hintOffset = 0, hintAvailable = 0;
        if (!FileBackedFrom(*image, bytes.size(), entry, &hintOffset, &hintAvailable) || hintAvailable < 2) {
          *error = "import " + std::to_string(index) + " of " + where + " points at RVA " + Hex(entry) +
                   ", which is not in the file (" + RegionName(*image, entry) + ")";
          return false;
        }
        routine.hint = bytes.U16(hintOffset);
        if (!ReadName(*image, bytes, entry + 2, "the name of import " + std::to_string(index) + " of " + where,
                      &routine.name, error)) {
          return false;
        }
      }
      module.routines.push_back(std::move(routine));
    }
    image->imports.push_back(std::move(module));
  }
}

}  // namespace

DataDirectory PeImage::Directory(size_t index) const {
  return index < directories.size() ? directories[index] : DataDirectory{};
}

const Section* PeImage::SectionAt(uint32_t rva) const {
  for (const Section& section : sections) {
    uint32_t extent = section.virtualSize > section.rawSize ? section.virtualSize : section.rawSize;
    if (rva >= section.virtualAddress && static_cast<uint64_t>(rva) < uint64_t{section.virtualAddress} + extent) {
      return &section;
    }
  }
  return nullptr;
}

bool RvaToFileOffset(const PeImage& image, size_t fileSize, uint32_t rva, uint32_t length, uint32_t* offset) {
  uint32_t available = 0;
  if (!FileBackedFrom(image, fileSize, rva, offset, &available)) return false;
  return length <= available;
}

bool ReadPeImage(const uint8_t* data, size_t size, PeImage* image, std::string* error) {
  *image = PeImage{};
  Bytes bytes(data, size, error);

  // DOS header: "MZ" and, at 0x3C, the file offset of the PE signature.
  if (!bytes.Need(0, kDosHeaderSize, "the DOS header")) return false;
  if (bytes.U8(0) != 'M' || bytes.U8(1) != 'Z') {
    *error = "not an image: the file does not start with \"MZ\"";
    return false;
  }
  uint32_t peOffset = bytes.U32(kDosLfanewOffset);
  if (!bytes.Need(peOffset, 4, "the PE signature")) return false;
  if (bytes.U32(peOffset) != 0x00004550) {  // "PE\0\0"
    *error = "no PE signature at file offset " + Hex(peOffset) + " (named by the DOS header)";
    return false;
  }

  // COFF file header.
  size_t coff = size_t{peOffset} + 4;
  if (!bytes.Need(coff, kCoffHeaderSize, "the COFF file header")) return false;
  image->machine = bytes.U16(coff);
  uint16_t sectionCount = bytes.U16(coff + 2);
  image->timeDateStamp = bytes.U32(coff + 4);
  uint16_t optionalSize = bytes.U16(coff + 16);
  image->fileCharacteristics = bytes.U16(coff + 18);

  // Optional header: the magic says which layout follows.
  size_t optional = coff + kCoffHeaderSize;
  if (optionalSize < 2) {
    *error = "the image has no optional header (SizeOfOptionalHeader is " + std::to_string(optionalSize) + ")";
    return false;
  }
  if (!bytes.Need(optional, 2, "the optional header")) return false;
  image->magic = bytes.U16(optional);
  if (image->magic == kMagicPe32Plus) {
    *error = "optional header magic " + Hex(image->magic) + ": a PE32+ (64-bit) image, where PE32 (" +
             Hex(kMagicPe32) + ", 32-bit) is expected";
    return false;
  }
  if (image->magic != kMagicPe32) {
    *error = "unknown optional header magic " + Hex(image->magic) + ", where PE32 (" + Hex(kMagicPe32) +
             ") is expected";
    return false;
  }
  if (optionalSize < kPe32FixedOptionalSize) {
    *error = "the optional header is " + std::to_string(optionalSize) + " bytes, a PE32 one needs at least " +
             std::to_string(kPe32FixedOptionalSize);
    return false;
  }
  if (!bytes.Need(optional, optionalSize, "the optional header")) return false;
  image->entryPointRva = bytes.U32(optional + 16);
  image->imageBase = bytes.U32(optional + 28);
  image->sectionAlignment = bytes.U32(optional + 32);
  image->fileAlignment = bytes.U32(optional + 36);
  image->majorOsVersion = bytes.U16(optional + 40);
  image->minorOsVersion = bytes.U16(optional + 42);
  image->majorSubsystemVersion = bytes.U16(optional + 48);
  image->minorSubsystemVersion = bytes.U16(optional + 50);
  image->sizeOfImage = bytes.U32(optional + 56);
  image->sizeOfHeaders = bytes.U32(optional + 60);
  image->checksumOffset = static_cast<uint32_t>(optional + 64);
  image->checksum = bytes.U32(optional + 64);
  image->subsystem = bytes.U16(optional + 68);
  image->dllCharacteristics = bytes.U16(optional + 70);
  uint32_t directoryCount = bytes.U32(optional + 92);
  if (directoryCount > kMaxDirectories) {
    *error = "the optional header claims " + std::to_string(directoryCount) + " data directories, at most " +
             std::to_string(kMaxDirectories) + " exist";
    return false;
  }
  if (kPe32FixedOptionalSize + size_t{directoryCount} * kDataDirectorySize > optionalSize) {
    *error = "the optional header is " + std::to_string(optionalSize) + " bytes, too small for its " +
             std::to_string(directoryCount) + " data directories";
    return false;
  }
  for (uint32_t i = 0; i < directoryCount; ++i) {
    size_t at = optional + kPe32FixedOptionalSize + i * kDataDirectorySize;
    image->directories.push_back(DataDirectory{bytes.U32(at), bytes.U32(at + 4)});
  }

  // Section table, right after the optional header.
  if (sectionCount > kMaxSections) {
    *error = "the image claims " + std::to_string(sectionCount) + " sections, at most " +
             std::to_string(kMaxSections) + " are allowed";
    return false;
  }
  size_t table = optional + optionalSize;
  if (!bytes.Need(table, size_t{sectionCount} * kSectionHeaderSize,
                  "the section table (" + std::to_string(sectionCount) + " sections)")) {
    return false;
  }
  for (uint16_t i = 0; i < sectionCount; ++i) {
    size_t at = table + size_t{i} * kSectionHeaderSize;
    Section section;
    for (size_t c = 0; c < 8 && bytes.U8(at + c) != 0; ++c) section.name.push_back(static_cast<char>(bytes.U8(at + c)));
    section.virtualSize = bytes.U32(at + 8);
    section.virtualAddress = bytes.U32(at + 12);
    section.rawSize = bytes.U32(at + 16);
    section.rawOffset = bytes.U32(at + 20);
    section.characteristics = bytes.U32(at + 36);
    if (section.rawSize != 0 &&
        !bytes.Need(section.rawOffset, section.rawSize, "the raw data of section \"" + section.name + "\"")) {
      return false;
    }
    image->sections.push_back(std::move(section));
  }

  return ReadImports(bytes, image, error);
}

uint32_t ComputePeChecksum(const uint8_t* data, size_t size, uint32_t checksumOffset) {
  // The four bytes of the checksum field itself count as zero.
  auto byte = [&](size_t at) -> uint32_t {
    bool inField = at >= checksumOffset && at - checksumOffset < 4;
    return at < size && !inField ? data[at] : 0;
  };
  uint64_t sum = 0;
  for (size_t at = 0; at < size; at += 2) {
    sum += byte(at) | (byte(at + 1) << 8);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + size);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot open " + path;
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

std::string MachineName(uint16_t machine) {
  switch (machine) {
    case kMachineI386: return "i386";
    case kMachineAmd64: return "x86-64";
    case 0x01C4: return "ARM Thumb-2";
    case 0xAA64: return "ARM64";
    case 0x0200: return "Itanium";
    default: return Hex(machine);
  }
}

std::string SubsystemName(uint16_t subsystem) {
  switch (subsystem) {
    case kSubsystemNative: return "native";
    case kSubsystemWindowsGui: return "Windows GUI";
    case kSubsystemWindowsCui: return "Windows console";
    case 10: return "EFI application";
    case 11: return "EFI boot service driver";
    case 12: return "EFI runtime driver";
    default: return std::to_string(subsystem);
  }
}

}  // namespace sim::ldr

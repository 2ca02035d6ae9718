/*
 * A reader of 32-bit Windows images (PE32: drivers, DLLs, programs) from
 * their raw bytes: the DOS header, the PE signature, the COFF file header,
 * the optional header with its data directories, the section table and the
 * import directory. Plain C++ with no platform headers, so that tests can
 * inspect the shipped quillan.sys files and, later, a loader can map one.
 *
 * Every read is bounds-checked: malformed or truncated input gives an error
 * text saying what is wrong and where, never a crash. 64-bit (PE32+) images
 * are recognised and refused.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::ldr {

// Header values the reader and its users interpret.
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kMagicPe32Plus = 0x020B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kSubsystemWindowsGui = 2;
constexpr uint16_t kSubsystemWindowsCui = 3;

// Section characteristics.
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionUninitializedData = 0x00000080;
constexpr uint32_t kSectionDiscardable = 0x02000000;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

// Indexes into the data directories.
constexpr size_t kExportDirectory = 0;
constexpr size_t kImportDirectory = 1;
constexpr size_t kBaseRelocationDirectory = 5;
constexpr size_t kTlsDirectory = 9;
constexpr size_t kImportAddressTableDirectory = 12;

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct Section {
  std::string name;  // up to 8 characters, as in the section table
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;  // PointerToRawData: where its bytes start in the file
  uint32_t rawSize = 0;    // SizeOfRawData: how many bytes the file holds
  uint32_t characteristics = 0;
};

// One routine an image imports from a module.
struct ImportedRoutine {
  std::string name;       // the name as written in the image; empty when imported by ordinal
  uint16_t hint = 0;      // the name's export-table hint (by name only)
  bool byOrdinal = false;
  uint16_t ordinal = 0;   // by ordinal only
  uint32_t slotRva = 0;   // the import address table slot the loader fills with the routine's address
};

struct ImportedModule {
  std::string name;  // as written in the image (case varies: "HAL.dll", "ntoskrnl.exe")
  std::vector<ImportedRoutine> routines;
};

struct PeImage {
  // COFF file header.
  uint16_t machine = 0;
  uint16_t fileCharacteristics = 0;
  uint32_t timeDateStamp = 0;
  // Optional header (PE32).
  uint16_t magic = 0;
  uint32_t entryPointRva = 0;  // 0 when the image has no entry point
  uint32_t imageBase = 0;
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint16_t majorOsVersion = 0;
  uint16_t minorOsVersion = 0;
  uint16_t majorSubsystemVersion = 0;
  uint16_t minorSubsystemVersion = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t checksum = 0;        // the value stored in the header
  uint32_t checksumOffset = 0;  // file offset of that field (see ComputePeChecksum)
  uint16_t subsystem = 0;
  uint16_t dllCharacteristics = 0;
  std::vector<DataDirectory> directories;  // NumberOfRvaAndSizes entries

  std::vector<Section> sections;
  std::vector<ImportedModule> imports;

  // The directory at index, or an empty one when the image has fewer.
  DataDirectory Directory(size_t index) const;
  // The section whose virtual range holds rva, or null.
  const Section* SectionAt(uint32_t rva) const;
};

// Reads the image in data[0, size). On success fills *image and returns true;
// otherwise returns false with *error saying what is malformed (*image is
// then unspecified). data may be null when size is 0.
bool ReadPeImage(const uint8_t* data, size_t size, PeImage* image, std::string* error);

// Maps an RVA of a read image to a file offset at which length bytes are
// present in the file (in the headers or in a section's raw data). False when
// that range is not wholly backed by file bytes.
bool RvaToFileOffset(const PeImage& image, size_t fileSize, uint32_t rva, uint32_t length, uint32_t* offset);

// The image checksum as the Windows image-help routines compute it: the
// 16-bit one's-complement-style sum of the file with the checksum field
// taken as zero, plus the file length.
uint32_t ComputePeChecksum(const uint8_t* data, size_t size, uint32_t checksumOffset);

// The whole content of a file. False with *error when it cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// "i386", "x86-64", ... or the hexadecimal value.
std::string MachineName(uint16_t machine);
// "native", "Windows GUI", ... or the number.
std::string SubsystemName(uint16_t subsystem);

}  // namespace sim::ldr

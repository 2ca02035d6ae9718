/*
 * The driver image loader: checks, mapping, relocation, import binding,
 * section protections, and the map file for fault reports.
 */
#include "sim/ldr/loader.h"

#include "sim/ke/stack.h"
#include "sim/ldr/exports.h"
#include "sim/ldr/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

#include <sys/mman.h>
#include <unistd.h>

namespace sim::ldr {
namespace {

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

// Every reason the simulated kernel would not load this image.
std::vector<std::string> Problems(const PeImage& image, const std::vector<uint8_t>& bytes) {
  std::vector<std::string> problems;
  if (image.machine != kMachineI386) {
    problems.push_back("it is built for " + MachineName(image.machine) + ", not i386");
  }
  if (image.subsystem != kSubsystemNative) {
    problems.push_back("its subsystem is " + SubsystemName(image.subsystem) + " (" + std::to_string(image.subsystem) +
                       "), not native (" + std::to_string(kSubsystemNative) + "): it is not a driver");
  }
  uint32_t sum = ComputePeChecksum(bytes.data(), bytes.size(), image.checksumOffset);
  if (image.checksum != sum) {
    problems.push_back("its header checksum is " + Hex(image.checksum) + " but its " + std::to_string(bytes.size()) +
                       " bytes sum to " + Hex(sum) + ": the file is damaged or incomplete");
  }
  const Section* entry = image.entryPointRva != 0 ? image.SectionAt(image.entryPointRva) : nullptr;
  if (entry == nullptr || (entry->characteristics & kSectionExecute) == 0) {
    problems.push_back("its entry point (RVA " + Hex(image.entryPointRva) + ") is not in an executable section");
  }
  if (image.Directory(kBaseRelocationDirectory).size == 0) {
    problems.push_back("it has no base relocations");
  }
  for (const Section& section : image.sections) {
    uint64_t end = uint64_t{section.virtualAddress} + std::max(section.virtualSize, section.rawSize);
    if (end > image.sizeOfImage) {
      problems.push_back("section \"" + section.name + "\" ends at RVA " + Hex(static_cast<uint32_t>(end)) +
                         ", beyond the image size " + Hex(image.sizeOfImage));
    }
  }
  std::vector<std::string> unbound;
  for (const ImportedModule& module : image.imports) {
    for (const ImportedRoutine& routine : module.routines) {
      if (routine.byOrdinal) {
        unbound.push_back(module.name + "!#" + std::to_string(routine.ordinal) + " (by ordinal)");
        continue;
      }
      std::string mismatch;
      if (FindKernelExport(module.name, routine.name, &mismatch) == nullptr) {
        unbound.push_back(module.name + "!" + routine.name + (mismatch.empty() ? "" : " (" + mismatch + ")"));
      }
    }
  }
  if (!unbound.empty()) {
    problems.push_back("it imports " + std::to_string(unbound.size()) +
                       (unbound.size() == 1 ? " routine" : " routines") +
                       " the simulated kernel does not export: " + Join(unbound, ", "));
  }
  return problems;
}

#if defined(__i386__)

// Applies the base relocations of an image mapped at base; false with
// *error on a relocation the loader does not know or that points outside.
bool Relocate(uint8_t* base, const PeImage& image, std::string* error) {
  DataDirectory directory = image.Directory(kBaseRelocationDirectory);
  uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base)) - image.imageBase;
  uint64_t end = uint64_t{directory.rva} + directory.size;
  if (end > image.sizeOfImage) {
    *error = "its relocation directory lies outside the image";
    return false;
  }
  for (uint32_t at = directory.rva; at + 8 <= end;) {
    uint32_t page, blockSize;
    std::memcpy(&page, base + at, 4);
    std::memcpy(&blockSize, base + at + 4, 4);
    if (blockSize < 8 || at + blockSize > end) {
      *error = "its relocation block at RVA " + Hex(at) + " has a bad size (" + std::to_string(blockSize) + ")";
      return false;
    }
    for (uint32_t entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
      uint16_t value;
      std::memcpy(&value, base + entry, 2);
      unsigned type = value >> 12;
      uint32_t target = page + (value & 0x0FFF);
      if (type == 0) continue;  // padding
      if (type != 3) {
        *error = "it has a relocation of type " + std::to_string(type) + " at RVA " + Hex(target) +
                 "; an x86 image has only 32-bit (type 3) relocations";
        return false;
      }
      if (uint64_t{target} + 4 > image.sizeOfImage) {
        *error = "it has a relocation at RVA " + Hex(target) + ", outside the image";
        return false;
      }
      uint32_t word;
      std::memcpy(&word, base + target, 4);
      word += delta;
      std::memcpy(base + target, &word, 4);
    }
    at += blockSize;
  }
  return true;
}

void Protect(uint8_t* base, const PeImage& image) {
  long page = sysconf(_SC_PAGESIZE);
  if (image.sectionAlignment % page != 0) return;  // sections share pages: leave everything writable
  mprotect(base, image.sizeOfHeaders == 0 ? 1 : image.sizeOfHeaders, PROT_READ);
  for (const Section& section : image.sections) {
    size_t length = std::max(section.virtualSize, section.rawSize);
    if (length == 0) continue;
    int protection = PROT_READ;
    if (section.characteristics & kSectionWrite) protection |= PROT_WRITE;
    if (section.characteristics & kSectionExecute) protection |= PROT_EXEC;
    mprotect(base + section.virtualAddress, length, protection);
  }
}

#endif

}  // namespace

std::unique_ptr<DriverImage> DriverImage::Load(const std::string& path, std::string* refusal) {
  std::string name = BaseName(path);
  auto refuse = [&](const std::string& why) {
    *refusal = "cannot load " + name + ": " + why;
    return nullptr;
  };
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadWholeFile(path, &bytes, &error)) return refuse(error);
  PeImage image;
  if (!ReadPeImage(bytes.data(), bytes.size(), &image, &error)) return refuse("not a loadable PE32 image: " + error);
  std::vector<std::string> problems = Problems(image, bytes);
  if (!problems.empty()) return refuse(Join(problems, "; "));
#if !defined(__i386__)
  return refuse("a PE32 driver image runs only in the 32-bit x86 build of the simulated kernel");
#else
  std::unique_ptr<DriverImage> loaded(new DriverImage);
  loaded->name_ = name;
  loaded->entryRva_ = image.entryPointRva;
  long page = sysconf(_SC_PAGESIZE);
  loaded->size_ = (image.sizeOfImage + page - 1) / page * page;
  void* memory = mmap(nullptr, loaded->size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return refuse("no memory for its " + std::to_string(loaded->size_) + " bytes");
  loaded->base_ = static_cast<uint8_t*>(memory);

  // Headers and sections; what a section's file data does not cover stays zero.
  std::memcpy(loaded->base_, bytes.data(), std::min<size_t>({image.sizeOfHeaders, bytes.size(), loaded->size_}));
  for (const Section& section : image.sections) {
    size_t length = section.virtualSize != 0 ? std::min(section.rawSize, section.virtualSize) : section.rawSize;
    if (length != 0) std::memcpy(loaded->base_ + section.virtualAddress, bytes.data() + section.rawOffset, length);
  }
  if (!Relocate(loaded->base_, image, &error)) return refuse(error);
  for (const ImportedModule& module : image.imports) {
    for (const ImportedRoutine& routine : module.routines) {
      std::string mismatch;
      const KernelExport* bound = FindKernelExport(module.name, routine.name, &mismatch);
      uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bound->address));
      std::memcpy(loaded->base_ + routine.slotRva, &address, 4);
    }
  }
  Protect(loaded->base_, image);

  std::string mapPath = path;
  if (mapPath.size() > 4 && mapPath.compare(mapPath.size() - 4, 4, ".sys") == 0) {
    loaded->ReadMapFile(mapPath.substr(0, mapPath.size() - 4) + ".map", image.imageBase);
  }
  ke::RegisterCodeRange(loaded->Base(), loaded->Base() + loaded->size_, &DriverImage::DescribeForFault, loaded.get());
  return loaded;
#endif
}

DriverImage::~DriverImage() {
  if (base_ == nullptr) return;
  ke::UnregisterCodeRange(Base());
  munmap(base_, size_);
}

PDRIVER_INITIALIZE DriverImage::Entry() const {
  return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entryRva_);
}

// GNU ld map files list each global symbol on a line of its own, indented,
// as "0x<address>  <name>"; names of C++ routines are demangled and may hold
// spaces. Section and input-file lines carry a size after the address.
void DriverImage::ReadMapFile(const std::string& path, uint32_t imageBase) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.size() < 20 || line.compare(0, 16, std::string(16, ' ')) != 0) continue;
    size_t at = line.find_first_not_of(' ');
    if (line.compare(at, 2, "0x") != 0) continue;
    size_t digits = line.find(' ', at);
    if (digits == std::string::npos) continue;
    unsigned long address = std::strtoul(line.substr(at + 2, digits - at - 2).c_str(), nullptr, 16);
    size_t nameAt = line.find_first_not_of(' ', digits);
    if (nameAt == std::string::npos || line.compare(nameAt, 2, "0x") == 0) continue;
    std::string name = line.substr(nameAt);
    if (name.find(" = ") != std::string::npos || name.compare(0, 7, "PROVIDE") == 0) continue;
    if (address < imageBase || address - imageBase >= size_) continue;
    symbols_.push_back({static_cast<uint32_t>(address - imageBase), name});
  }
  std::sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
}

void DriverImage::DescribeForFault(const void* owner, uintptr_t address, char* text, size_t size) {
  const DriverImage* image = static_cast<const DriverImage*>(owner);
  uint32_t rva = static_cast<uint32_t>(address - image->Base());
  auto after = std::upper_bound(image->symbols_.begin(), image->symbols_.end(), rva,
                                [](uint32_t value, const Symbol& symbol) { return value < symbol.rva; });
  if (after == image->symbols_.begin()) {
    std::snprintf(text, size, "%s+0x%X", image->name_.c_str(), rva);
  } else {
    const Symbol& symbol = *(after - 1);
    std::snprintf(text, size, "%s+0x%X (%s+0x%X)", image->name_.c_str(), rva, symbol.name.c_str(), rva - symbol.rva);
  }
}

std::string DriverImage::Describe(uintptr_t address) const {
  char text[512];
  DescribeForFault(this, address, text, sizeof text);
  return text;
}

PDRIVER_INITIALIZE LoadDriverImage(const std::string& path, std::string* refusal) {
  static std::mutex lock;
  static std::vector<std::unique_ptr<DriverImage>> kept;
  std::unique_ptr<DriverImage> image = DriverImage::Load(path, refusal);
  if (!image) return nullptr;
  PDRIVER_INITIALIZE entry = image->Entry();
  std::lock_guard<std::mutex> hold(lock);
  kept.push_back(std::move(image));
  return entry;
}

}  // namespace sim::ldr

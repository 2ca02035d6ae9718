/*
 * Loading a driver image (.sys, PE32) into the simulated kernel, as the
 * kernel's loader would: the file is checked (i386, native subsystem,
 * complete, its header checksum right, relocatable), its sections mapped
 * into memory with their own protections, its base relocations applied and
 * each import bound to the simulated kernel's routine of that module, name
 * and calling convention (exports.h). An image that fails any check is
 * refused with one message naming every reason, every import that cannot
 * be bound among them.
 *
 * Running a loaded image needs the 32-bit x86 build; elsewhere an image
 * that passes the checks is still refused, saying so.
 *
 * When the build's map file lies next to the image (quillan.map next to
 * quillan.sys), a fault in the image is reported with the routine it hit.
 */
#pragma once

#include "driver/platform/platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim::ldr {

class DriverImage {
 public:
  // The image in the file at path, or null with *refusal saying why not.
  static std::unique_ptr<DriverImage> Load(const std::string& path, std::string* refusal);
  ~DriverImage();
  DriverImage(const DriverImage&) = delete;
  DriverImage& operator=(const DriverImage&) = delete;

  PDRIVER_INITIALIZE Entry() const;
  uintptr_t Base() const { return reinterpret_cast<uintptr_t>(base_); }
  size_t Size() const { return size_; }
  const std::string& Name() const { return name_; }
  // Where address lies: "quillan.sys+0x1234 (SerialRead(...)@8+0x34)";
  // the routine only when the map file names one.
  std::string Describe(uintptr_t address) const;

 private:
  struct Symbol {
    uint32_t rva;
    std::string name;
  };
  DriverImage() = default;
  static void DescribeForFault(const void* owner, uintptr_t address, char* text, size_t size);
  void ReadMapFile(const std::string& path, uint32_t imageBase);

  std::string name_;
  uint8_t* base_ = nullptr;
  size_t size_ = 0;  // of the mapping
  uint32_t entryRva_ = 0;
  std::vector<Symbol> symbols_;  // sorted by rva
};

// For tools: loads the image at path for the rest of the process and
// returns its DriverEntry, or null with *refusal saying why not.
PDRIVER_INITIALIZE LoadDriverImage(const std::string& path, std::string* refusal);

}  // namespace sim::ldr

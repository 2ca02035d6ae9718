/*
 * Small but complete Windows images built in memory, for testing the image
 * reader and the driver image check on inputs whose every field the test
 * chooses: a .text section holding the entry point, an .idata section with
 * the import directory, and optionally a .reloc section; PE32 or PE32+.
 */
#pragma once

#include "sim/ldr/pe_image.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pe_builder {

struct Routine {
  std::string name;  // imported by name when not empty
  uint16_t ordinal = 0;  // imported by ordinal when name is empty
  uint16_t hint = 0;
};

struct Module {
  std::string name;
  std::vector<Routine> routines;
};

struct Spec {
  uint16_t machine = sim::ldr::kMachineI386;
  bool pe32Plus = false;
  uint16_t subsystem = sim::ldr::kSubsystemNative;
  uint32_t imageBase = 0x10000;
  uint32_t entryPointRva = 0x1000;  // the start of .text
  bool relocations = true;
  bool correctChecksum = true;  // false: the checksum field is off by one
  // The code at the start of .text; empty: "xor eax, eax; ret 8". The
  // relocation (when present) fixes up the 32-bit word at .text+1.
  std::vector<uint8_t> code;
  std::vector<Module> imports;
};

// Where the builder put things, for tests that damage an image on purpose.
struct Layout {
  uint32_t peOffset = 0;        // "PE\0\0"
  uint32_t optionalOffset = 0;  // the optional header
  uint32_t sectionTableOffset = 0;
  uint32_t idataRva = 0;
  uint32_t idataOffset = 0;     // file offset of .idata's raw data
  uint32_t idataRawSize = 0;
  uint32_t lookupTableRva = 0;  // the first module's import lookup table
};

std::vector<uint8_t> Build(const Spec& spec, Layout* layout = nullptr);

// A driver-like spec that passes the driver image check: i386, native, with
// imports from each of the three allowed modules.
Spec AcceptableDriver();

// Little-endian writes into an image, for damaging one.
void Put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

// The file offset of the first occurrence of text in bytes; fails the
// calling test (and returns 0) when there is none.
size_t Find(const std::vector<uint8_t>& bytes, const std::string& text);

}  // namespace pe_builder

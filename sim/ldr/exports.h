/*
 * The routines the simulated kernel exports to drivers: for each, the
 * module a driver imports it from, its name, its calling convention, the
 * bytes of arguments it takes on the x86 stack (what a decorated stdcall or
 * fastcall name ends with) and its address. The loader binds a driver
 * image's imports from this table, and the tests compare it with the list
 * of routines the driver is allowed to import; it is the one place that
 * says what the simulated kernel offers a driver.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::ldr {

enum class CallingConvention { Cdecl, Stdcall, Fastcall };

struct KernelExport {
  const char* module;  // lower case: "ntoskrnl.exe", "hal.dll", "usbd.sys"
  const char* name;    // undecorated
  CallingConvention convention;
  uint32_t argumentBytes;  // on x86; 0 for a variadic cdecl routine's fixed part is not used
  bool decoratedExport;    // the module exports it under its decorated name (_X@N, @X@N)
  void* address;
};

const std::vector<KernelExport>& KernelExports();

// The name the module exports the routine under: "IoCreateDevice",
// "_USBD_CreateConfigurationRequestEx@8".
std::string ExportName(const KernelExport& routine);
// "_X@N" for stdcall, "@X@N" for fastcall, the name itself for cdecl.
std::string Decorate(const KernelExport& routine);

// A decorated name taken apart. False for a plain (cdecl or undecorated)
// name, which *name then holds unchanged.
struct Decoration {
  std::string name;
  CallingConvention convention = CallingConvention::Cdecl;
  uint32_t argumentBytes = 0;
};
bool Undecorate(const std::string& imported, Decoration* decoration);

// The routine a module exports under this imported name, undecorated for
// the look-up; null when the module has no routine of that name. A
// decorated name whose convention or argument bytes differ from the
// routine's is not bound: *mismatch then says how they differ.
const KernelExport* FindKernelExport(const std::string& module, const std::string& imported, std::string* mismatch);

const char* ConventionName(CallingConvention convention);

}  // namespace sim::ldr

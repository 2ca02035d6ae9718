/*
 * The export table. Each entry names a routine once; its calling
 * convention is checked by the compiler (taking a stdcall routine's address
 * as a fastcall or cdecl one does not compile on x86) and its argument
 * bytes are computed from its declared parameters.
 */
#include "sim/ldr/exports.h"

#include "driver/platform/platform.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace sim::ldr {
namespace {

// An argument's size on the x86 stack: a pointer is 4 bytes, anything else
// its size rounded up to 4 (so the table reads the same in the 64-bit build).
template <class T>
constexpr uint32_t Slot() {
  return std::is_pointer_v<T> ? 4 : (sizeof(T) + 3) / 4 * 4;
}

template <class R, class... A>
constexpr uint32_t StdcallBytes(R(NTAPI*)(A...)) {
  return (0 + ... + Slot<A>());
}
template <class R, class... A>
constexpr uint32_t FastcallBytes(R(FASTCALL*)(A...)) {
  return (0 + ... + Slot<A>());
}
template <class R, class... A>
constexpr uint32_t CdeclBytes(R (*)(A...)) {
  return (0 + ... + Slot<A>());
}
template <class R, class... A>
constexpr uint32_t CdeclBytes(R (*)(A..., ...)) {
  return (0 + ... + Slot<A>());
}

#define STDCALL(module, routine) \
  { module, #routine, CallingConvention::Stdcall, StdcallBytes(&routine), false, reinterpret_cast<void*>(&routine) }
#define STDCALL_DECORATED(module, routine) \
  { module, #routine, CallingConvention::Stdcall, StdcallBytes(&routine), true, reinterpret_cast<void*>(&routine) }
#define FASTCALL_ROUTINE(module, routine) \
  { module, #routine, CallingConvention::Fastcall, FastcallBytes(&routine), false, reinterpret_cast<void*>(&routine) }
#define CDECL_ROUTINE(module, routine) \
  { module, #routine, CallingConvention::Cdecl, CdeclBytes(&routine), false, reinterpret_cast<void*>(&routine) }

constexpr const char* kKernel = "ntoskrnl.exe";
constexpr const char* kHal = "hal.dll";
constexpr const char* kUsbd = "usbd.sys";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

const std::vector<KernelExport>& KernelExports() {
  static const std::vector<KernelExport> table = {
      // I/O manager.
      STDCALL(kKernel, IoCreateDevice),
      STDCALL(kKernel, IoDeleteDevice),
      STDCALL(kKernel, IoAttachDeviceToDeviceStack),
      STDCALL(kKernel, IoDetachDevice),
      FASTCALL_ROUTINE(kKernel, IofCallDriver),
      FASTCALL_ROUTINE(kKernel, IofCompleteRequest),
      STDCALL(kKernel, IoAllocateIrp),
      STDCALL(kKernel, IoFreeIrp),
      STDCALL(kKernel, IoBuildDeviceIoControlRequest),
      STDCALL(kKernel, IoReleaseCancelSpinLock),
      STDCALL(kKernel, IoCancelIrp),
      // Object names, registry and device interfaces.
      STDCALL(kKernel, IoOpenDeviceRegistryKey),
      STDCALL(kKernel, ZwQueryKey),
      STDCALL(kKernel, ZwQueryValueKey),
      STDCALL(kKernel, ZwClose),
      STDCALL(kKernel, RtlWriteRegistryValue),
      STDCALL(kKernel, RtlDeleteRegistryValue),
      STDCALL(kKernel, IoCreateSymbolicLink),
      STDCALL(kKernel, IoDeleteSymbolicLink),
      STDCALL(kKernel, IoRegisterDeviceInterface),
      STDCALL(kKernel, IoSetDeviceInterfaceState),
      STDCALL(kKernel, RtlInitUnicodeString),
      STDCALL(kKernel, RtlAppendUnicodeToString),
      STDCALL(kKernel, RtlAppendUnicodeStringToString),
      // Events, timers and DPCs.
      STDCALL(kKernel, KeInitializeEvent),
      STDCALL(kKernel, KeSetEvent),
      STDCALL(kKernel, KeClearEvent),
      STDCALL(kKernel, KeWaitForSingleObject),
      STDCALL(kKernel, KeInitializeTimer),
      STDCALL(kKernel, KeInitializeDpc),
      STDCALL(kKernel, KeSetTimer),
      STDCALL(kKernel, KeCancelTimer),
      // Pool and memory descriptor lists.
      STDCALL(kKernel, ExAllocatePool),
      STDCALL(kKernel, ExFreePool),
      STDCALL(kKernel, MmMapLockedPagesSpecifyCache),
      // Power manager.
      STDCALL(kKernel, PoStartNextPowerIrp),
      STDCALL(kKernel, PoCallDriver),
      // Debugger output and the kernel's C run-time. The memory routines
      // are the host C library's: their x86 calling convention is the same.
      CDECL_ROUTINE(kKernel, DbgPrint),
      CDECL_ROUTINE(kKernel, memcpy),
      CDECL_ROUTINE(kKernel, memmove),
      CDECL_ROUTINE(kKernel, memset),
      CDECL_ROUTINE(kKernel, memcmp),
#if defined(_X86_)
      // The HAL's spin lock routines behind KeAcquireSpinLock and
      // KeReleaseSpinLock on x86 (other processors have no such exports).
      FASTCALL_ROUTINE(kHal, KfAcquireSpinLock),
      FASTCALL_ROUTINE(kHal, KfReleaseSpinLock),
#endif
      // The USB driver interface library exports its stdcall routines
      // under their decorated names.
      STDCALL_DECORATED(kUsbd, USBD_ParseConfigurationDescriptorEx),
      STDCALL_DECORATED(kUsbd, USBD_CreateConfigurationRequestEx),
  };
  return table;
}

const char* ConventionName(CallingConvention convention) {
  switch (convention) {
    case CallingConvention::Cdecl: return "cdecl";
    case CallingConvention::Stdcall: return "stdcall";
    case CallingConvention::Fastcall: return "fastcall";
  }
  return "unknown";
}

std::string Decorate(const KernelExport& routine) {
  switch (routine.convention) {
    case CallingConvention::Stdcall: return "_" + std::string(routine.name) + "@" + std::to_string(routine.argumentBytes);
    case CallingConvention::Fastcall: return "@" + std::string(routine.name) + "@" + std::to_string(routine.argumentBytes);
    case CallingConvention::Cdecl: break;
  }
  return routine.name;
}

std::string ExportName(const KernelExport& routine) {
  return routine.decoratedExport ? Decorate(routine) : std::string(routine.name);
}

bool Undecorate(const std::string& imported, Decoration* decoration) {
  decoration->name = imported;
  decoration->convention = CallingConvention::Cdecl;
  decoration->argumentBytes = 0;
  if (imported.size() < 4 || (imported[0] != '_' && imported[0] != '@')) return false;
  size_t at = imported.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 >= imported.size()) return false;
  uint32_t bytes = 0;
  for (size_t i = at + 1; i < imported.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(imported[i])) || bytes > 100000) return false;
    bytes = bytes * 10 + static_cast<uint32_t>(imported[i] - '0');
  }
  decoration->name = imported.substr(1, at - 1);
  decoration->convention = imported[0] == '_' ? CallingConvention::Stdcall : CallingConvention::Fastcall;
  decoration->argumentBytes = bytes;
  return true;
}

const KernelExport* FindKernelExport(const std::string& module, const std::string& imported, std::string* mismatch) {
  Decoration decoration;
  bool decorated = Undecorate(imported, &decoration);
  std::string lowerModule = Lower(module);
  for (const KernelExport& routine : KernelExports()) {
    if (lowerModule != routine.module || decoration.name != routine.name) continue;
    if (decorated && (decoration.convention != routine.convention ||
                      decoration.argumentBytes != routine.argumentBytes)) {
      *mismatch = imported + " is " + ConventionName(decoration.convention) + " with " +
                  std::to_string(decoration.argumentBytes) + " argument bytes, but the kernel's " + routine.name +
                  " is " + ConventionName(routine.convention) + " with " + std::to_string(routine.argumentBytes);
      return nullptr;
    }
    return &routine;
  }
  // Not a decorated name after all (a cdecl name that starts with '_' and
  // holds an '@'): look it up as written.
  if (decorated) {
    for (const KernelExport& routine : KernelExports()) {
      if (lowerModule == routine.module && imported == routine.name) return &routine;
    }
  }
  return nullptr;
}

}  // namespace sim::ldr

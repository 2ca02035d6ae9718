#include "windows/driver_image_check.h"

#include "sim/ldr/pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace driver_image {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

}  // namespace

const std::map<std::string, std::set<std::string>>& AllowedImports() {
  static const std::map<std::string, std::set<std::string>> allowed = {
      {"ntoskrnl.exe",
       {
           // I/O manager: devices, request passing and completion (IoCallDriver
           // and IoCompleteRequest are macros for the fastcall Iof routines),
           // driver-built requests, and the cancel spin lock a cancel routine
           // releases.
           "IoCreateDevice", "IoDeleteDevice", "IoAttachDeviceToDeviceStack", "IoDetachDevice",
           "IofCallDriver", "IofCompleteRequest", "IoAllocateIrp", "IoFreeIrp", "IoBuildDeviceIoControlRequest",
           "IoReleaseCancelSpinLock",
           // Stopping the outstanding bulk-out transfer of a write that was
           // cancelled or timed out, without waiting at DISPATCH_LEVEL.
           "IoCancelIrp",
           // Object names, registry and device interfaces.
           "IoOpenDeviceRegistryKey", "ZwQueryKey", "ZwQueryValueKey", "ZwClose", "RtlWriteRegistryValue",
           "RtlDeleteRegistryValue", "IoCreateSymbolicLink", "IoDeleteSymbolicLink", "IoRegisterDeviceInterface",
           "IoSetDeviceInterfaceState", "RtlInitUnicodeString", "RtlAppendUnicodeToString",
           "RtlAppendUnicodeStringToString",
           // Events, timers and DPCs. (KeInitializeSpinLock and the Interlocked
           // routines are inline in the x86 headers and import nothing.)
           "KeInitializeEvent", "KeSetEvent", "KeClearEvent", "KeWaitForSingleObject", "KeInitializeTimer",
           "KeInitializeDpc", "KeSetTimer", "KeCancelTimer",
           // Pool, and the system address of a direct-I/O buffer
           // (MmGetSystemAddressForMdlSafe is a macro for it).
           "ExAllocatePool", "ExFreePool", "MmMapLockedPagesSpecifyCache",
           // Power manager.
           "PoStartNextPowerIrp", "PoCallDriver",
           // Kernel debugger output.
           "DbgPrint",
           // The kernel's C run-time exports: the memory routines the Rtl
           // memory macros expand to and the compiler emits for block copies
           // and clears. Not its formatting (_vsnwprintf, which the inline
           // safe-string helpers call): Microsoft's guidance leaves it to
           // drivers for Windows XP and later, and the driver forms its
           // device names itself.
           "memcpy", "memmove", "memset", "memcmp",
       }},
      {"hal.dll",
       {
           // KeAcquireSpinLock/KeReleaseSpinLock on x86.
           "KfAcquireSpinLock", "KfReleaseSpinLock",
       }},
      {"usbd.sys",
       {
           // The USB driver interface library exports these stdcall names
           // decorated.
           "_USBD_ParseConfigurationDescriptorEx@28", "_USBD_CreateConfigurationRequestEx@8",
       }},
  };
  return allowed;
}

std::vector<std::string> Check(const std::vector<uint8_t>& bytes) {
  using namespace sim::ldr;
  std::vector<std::string> problems;
  PeImage image;
  std::string error;
  if (!ReadPeImage(bytes.data(), bytes.size(), &image, &error)) {
    problems.push_back("not a readable PE32 image: " + error);
    return problems;
  }

  if (image.machine != kMachineI386) {
    problems.push_back("machine is " + MachineName(image.machine) + " (" + Hex(image.machine) +
                       "), a driver for 32-bit x86 must be i386 (" + Hex(kMachineI386) + ")");
  }
  if (image.subsystem != kSubsystemNative) {
    problems.push_back("subsystem is " + SubsystemName(image.subsystem) + " (" + std::to_string(image.subsystem) +
                       "), a driver must be for the native subsystem (" + std::to_string(kSubsystemNative) + ")");
  }
  const Section* entry = image.entryPointRva != 0 ? image.SectionAt(image.entryPointRva) : nullptr;
  if (entry == nullptr || (entry->characteristics & kSectionExecute) == 0) {
    problems.push_back("the entry point (RVA " + Hex(image.entryPointRva) + ") is not in an executable section");
  }
  if (image.Directory(kBaseRelocationDirectory).size == 0) {
    problems.push_back("the image has no base relocations, so it can only be loaded at its preferred base " +
                       Hex(image.imageBase) + ", which the kernel does not promise");
  }
  uint32_t sum = ComputePeChecksum(bytes.data(), bytes.size(), image.checksumOffset);
  if (image.checksum != sum) {
    problems.push_back("the header checksum is " + Hex(image.checksum) + " but the image sums to " + Hex(sum));
  }

  const auto& allowed = AllowedImports();
  for (const ImportedModule& module : image.imports) {
    auto routines = allowed.find(Lower(module.name));
    if (routines == allowed.end()) {
      std::string names;
      for (const ImportedRoutine& routine : module.routines) {
        names += (names.empty() ? "" : ", ") + (routine.byOrdinal ? "#" + std::to_string(routine.ordinal) : routine.name);
      }
      problems.push_back("imports from " + module.name + " (" + names +
                         "), which is not the kernel, the HAL or the USB driver interface library");
      continue;
    }
    for (const ImportedRoutine& routine : module.routines) {
      if (routine.byOrdinal) {
        problems.push_back("imports ordinal " + std::to_string(routine.ordinal) + " from " + module.name +
                           ": imports must be by name, ordinals differ between system versions");
      } else if (routines->second.count(routine.name) == 0) {
        problems.push_back("imports " + routine.name + " from " + module.name +
                           ", which is not on the list of allowed routines");
      }
    }
  }
  return problems;
}

std::string DescribeImports(const std::vector<uint8_t>& bytes) {
  sim::ldr::PeImage image;
  std::string error;
  if (!sim::ldr::ReadPeImage(bytes.data(), bytes.size(), &image, &error)) return "(unreadable: " + error + ")\n";
  std::string text;
  for (const sim::ldr::ImportedModule& module : image.imports) {
    for (const sim::ldr::ImportedRoutine& routine : module.routines) {
      text += "  " + module.name + "!" +
              (routine.byOrdinal ? "#" + std::to_string(routine.ordinal) : routine.name) + "\n";
    }
  }
  return text.empty() ? "  (no imports)\n" : text;
}

}  // namespace driver_image

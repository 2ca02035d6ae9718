/*
 * RtlWriteRegistryValue and RtlDeleteRegistryValue: a value of a key named
 * by a path relative to one of the well-known keys (or by a key handle).
 * Writing creates the key when its parent exists, as the run-time library
 * does with ZwCreateKey; deleting needs both key and value.
 */
#include "sim/cm/registry.h"

#include "sim/ob/namespace.h"
#include "sim/verifier/verifier.h"

namespace sim::cm {
namespace {

std::u16string Text(PCWSTR text) {
  std::u16string result;
  if (text == nullptr) return result;
  for (const WCHAR* c = text; *c != 0; ++c) result.push_back(static_cast<char16_t>(*c));
  return result;
}

// The full name of the key a routine's RelativeTo and Path name.
NTSTATUS KeyPathOf(ULONG relativeTo, PCWSTR path, const char* routine, std::u16string* full) {
  if ((relativeTo & RTL_REGISTRY_HANDLE) != 0) {
    std::optional<std::u16string> opened = HandlePath(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), routine);
    if (!opened) return STATUS_INVALID_HANDLE;
    *full = *opened;
    return STATUS_SUCCESS;
  }
  std::u16string base;
  switch (relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL)) {
    case RTL_REGISTRY_ABSOLUTE: break;
    case RTL_REGISTRY_SERVICES: base = kServices; break;
    case RTL_REGISTRY_CONTROL: base = kControl; break;
    case RTL_REGISTRY_WINDOWS_NT: base = kWindowsNt; break;
    case RTL_REGISTRY_DEVICEMAP: base = kDeviceMap; break;
    case RTL_REGISTRY_USER:
      verifier::Report(verifier::Rule::UnsupportedCall,
                       std::string(routine) + " relative to RTL_REGISTRY_USER, which the simulated registry has not");
      return STATUS_NOT_IMPLEMENTED;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  std::u16string relative = Text(path);
  // The library joins the two with a backslash: a relative path that starts
  // with one, or a name with an empty component, names no key.
  *full = base.empty() ? relative : relative.empty() ? base : base + u"\\" + relative;
  if (full->empty() || (*full)[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (full->find(u"\\\\") != std::u16string::npos) return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace sim::cm

extern "C" {

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength) {
  using namespace sim;
  cm::CheckIrql("RtlWriteRegistryValue");
  if (ValueData == nullptr && ValueLength != 0) {
    verifier::Report(verifier::Rule::InvalidArgument,
                     "RtlWriteRegistryValue with no ValueData but a ValueLength of " + std::to_string(ValueLength));
    return STATUS_INVALID_PARAMETER;
  }
  if (std::optional<NTSTATUS> injected = cm::TakeFailure(cm::Routine::WriteRegistryValue)) return *injected;
  std::u16string key;
  if (NTSTATUS status = cm::KeyPathOf(RelativeTo, Path, "RtlWriteRegistryValue", &key); status != STATUS_SUCCESS) {
    return status;
  }
  std::u16string spelled;
  if (!cm::OpenableKey(key, true, &spelled)) return STATUS_OBJECT_NAME_NOT_FOUND;
  const auto* bytes = static_cast<const uint8_t*>(ValueData);
  cm::WriteValue(spelled, cm::Text(ValueName), ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  using namespace sim;
  cm::CheckIrql("RtlDeleteRegistryValue");
  if (std::optional<NTSTATUS> injected = cm::TakeFailure(cm::Routine::DeleteRegistryValue)) return *injected;
  std::u16string key;
  if (NTSTATUS status = cm::KeyPathOf(RelativeTo, Path, "RtlDeleteRegistryValue", &key); status != STATUS_SUCCESS) {
    return status;
  }
  bool keyFound = false;
  return cm::RemoveValue(key, cm::Text(ValueName), &keyFound) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"

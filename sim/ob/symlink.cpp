/*
 * IoCreateSymbolicLink and IoDeleteSymbolicLink: links in the object
 * namespace, at PASSIVE_LEVEL. A link names its target by name only; the
 * target is looked up when someone opens the link, not when it is made.
 */
#include "sim/ke/ke.h"
#include "sim/ob/namespace.h"
#include "sim/verifier/verifier.h"

#include <string>

namespace sim::ob {
namespace {

void CheckIrql(const char* routine) {
  if (KIRQL irql = ke::CurrentIrql(); irql != PASSIVE_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh,
                     std::string(routine) + " called at IRQL " + std::to_string(irql) + "; it runs at PASSIVE_LEVEL");
  }
}

// A name Windows would fault on reading.
bool Acceptable(PUNICODE_STRING name, const char* routine, const char* what) {
  if (name == nullptr || (name->Length != 0 && name->Buffer == nullptr)) {
    verifier::Report(verifier::Rule::InvalidArgument, std::string(routine) + " with no " + what);
    return false;
  }
  return true;
}

bool WellFormed(PCUNICODE_STRING name) { return name->Length % sizeof(WCHAR) == 0 && name->Length <= name->MaximumLength; }

}  // namespace
}  // namespace sim::ob

extern "C" {

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  using namespace sim;
  ob::CheckIrql("IoCreateSymbolicLink");
  if (!ob::Acceptable(SymbolicLinkName, "IoCreateSymbolicLink", "link name") ||
      !ob::Acceptable(DeviceName, "IoCreateSymbolicLink", "target name")) {
    return STATUS_INVALID_PARAMETER;
  }
  if (std::optional<NTSTATUS> injected = ob::TakeLinkCreationFailure()) return *injected;
  if (!ob::WellFormed(SymbolicLinkName)) return STATUS_OBJECT_NAME_INVALID;
  std::u16string name = ob::FromUnicode(SymbolicLinkName);
  if (NTSTATUS status = ob::CheckLinkName(name); status != STATUS_SUCCESS) return status;
  return ob::InsertLink(name, ob::FromUnicode(DeviceName));
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  using namespace sim;
  ob::CheckIrql("IoDeleteSymbolicLink");
  if (!ob::Acceptable(SymbolicLinkName, "IoDeleteSymbolicLink", "link name")) return STATUS_INVALID_PARAMETER;
  if (!ob::WellFormed(SymbolicLinkName)) return STATUS_OBJECT_NAME_INVALID;
  std::u16string name = ob::FromUnicode(SymbolicLinkName);
  if (NTSTATUS status = ob::CheckLinkName(name); status != STATUS_SUCCESS) return status;
  return ob::RemoveLink(name);
}

}  // extern "C"

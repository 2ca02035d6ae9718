/*
 * Kernel handles to registry keys, and ZwClose. Handle values look like
 * the kernel's own (high bit set, multiples of 4) and are never reused in
 * a test, so a handle closed twice is always told from a fresh one.
 */
#include "sim/cm/registry.h"

#include "sim/ob/namespace.h"
#include "sim/verifier/verifier.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace sim::cm {
namespace {

struct OpenedKey {
  std::u16string path;   // the key's full name
  ACCESS_MASK granted;   // specific key rights, generic rights mapped
};

std::mutex g_lock;
std::map<uintptr_t, OpenedKey> g_handles;  // by handle value
uintptr_t g_opened;                             // handles handed out since Reset

// Kernel handles on x86 are 0x8000xxxx; sign-extended on x64.
const uintptr_t kKernelHandleBase = static_cast<uintptr_t>(static_cast<intptr_t>(INT32_MIN));

std::string Describe(uintptr_t handle) {
  char text[32];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(handle));
  return text;
}

// The key object's generic mapping, as Windows maps a desired access for a
// key: GENERIC_READ is KEY_READ and so on; MAXIMUM_ALLOWED grants all.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) granted |= KEY_READ;
  if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) granted |= KEY_EXECUTE;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
  return granted;
}

}  // namespace

NTSTATUS OpenKey(const std::u16string& path, bool create, HANDLE* handle, ACCESS_MASK access) {
  std::u16string spelled;
  if (!OpenableKey(path, create, &spelled)) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::lock_guard<std::mutex> hold(g_lock);
  uintptr_t value = kKernelHandleBase + 4 * ++g_opened;
  g_handles[value] = OpenedKey{spelled, MapKeyAccess(access)};
  *handle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

std::optional<std::u16string> HandlePath(HANDLE handle, const char* routine) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_handles.find(value);
    if (found != g_handles.end()) return found->second.path;
  }
  verifier::Report(verifier::Rule::InvalidHandle,
                   std::string(routine) + " with handle " + Describe(value) + ", which is not an open key handle");
  return std::nullopt;
}

bool HandleGrants(HANDLE handle, ACCESS_MASK access) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  return found != g_handles.end() && (found->second.granted & access) == access;
}

size_t OpenHandleCount() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_handles.size();
}

std::vector<std::u16string> OpenHandlePaths() {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<std::u16string> paths;
  for (const auto& handle : g_handles) paths.push_back(handle.second.path);
  return paths;
}

void ReportAndCloseHandles() {
  std::lock_guard<std::mutex> hold(g_lock);
  for (const auto& handle : g_handles) {
    verifier::Report(verifier::Rule::KeyHandleLeaked, "key handle " + Describe(handle.first) + " to " +
                                                          ob::Narrow(handle.second.path) + " was never closed (ZwClose)");
  }
  g_handles.clear();
}

void ForgetHandles() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_handles.clear();
  g_opened = 0;
}

}  // namespace sim::cm

extern "C" {

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  using namespace sim;
  cm::CheckIrql("ZwClose");
  uintptr_t value = reinterpret_cast<uintptr_t>(Handle);
  {
    std::lock_guard<std::mutex> hold(cm::g_lock);
    if (cm::g_handles.erase(value) != 0) return STATUS_SUCCESS;
  }
  // Windows bug-checks (INVALID_KERNEL_HANDLE) on a kernel handle that is not open.
  verifier::Report(verifier::Rule::InvalidHandle, "ZwClose of handle " + cm::Describe(value) + ", which is not open");
  return STATUS_INVALID_HANDLE;
}

}  // extern "C"

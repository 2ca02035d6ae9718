/*
 * The configuration manager: a registry of keys with typed values, the
 * kernel handles drivers open keys by, and the test side that fills the
 * registry (with any data, hostile data included) and reads back what a
 * driver wrote. Key and value names compare without regard to case; a key
 * keeps the spelling it was created with, and that is the name ZwQueryKey
 * reports.
 *
 * The driver's side is the platform's routines: ZwQueryKey,
 * ZwQueryValueKey, ZwClose (query.cpp, handles.cpp), RtlWriteRegistryValue
 * and RtlDeleteRegistryValue (rtl_registry.cpp); IoOpenDeviceRegistryKey
 * is the Plug and Play manager's (sim/pnp). All run at PASSIVE_LEVEL only.
 * A handle still open at the end of a test is reported.
 */
#pragma once

#include "driver/platform/platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::cm {

// Where the relative paths of the Rtl registry routines start.
inline const std::u16string kDeviceMap = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP";
inline const std::u16string kServices = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";
inline const std::u16string kControl = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control";
inline const std::u16string kWindowsNt = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline const std::u16string kEnum = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum";

// The key of the device map holding `name` ("SERIALCOMM").
inline std::u16string DeviceMapKey(const std::u16string& name) { return kDeviceMap + u"\\" + name; }

struct Value {
  std::u16string name;  // as written; empty for the key's default value
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

// --- Test side ------------------------------------------------------------------
// Creates a key and every missing key above it; keeps an existing one.
void CreateKey(const std::u16string& path);
bool KeyExists(const std::u16string& path);
// Writes a value of any type and any bytes (creating the key).
void SetValue(const std::u16string& path, const std::u16string& name, ULONG type, std::vector<uint8_t> data);
// REG_SZ from text, with its terminating null unless `terminated` is false.
void SetString(const std::u16string& path, const std::u16string& name, const std::u16string& text,
               bool terminated = true);
void SetDword(const std::u16string& path, const std::u16string& name, uint32_t value);
// False if there was no such value.
bool DeleteValue(const std::u16string& path, const std::u16string& name);
std::optional<Value> GetValue(const std::u16string& path, const std::u16string& name);
// The text of a REG_SZ value, up to its first null (none needed); nullopt
// for a missing value or another type.
std::optional<std::u16string> GetString(const std::u16string& path, const std::u16string& name);
// Every value of a key, in the order first written; empty for a missing key.
std::vector<Value> Values(const std::u16string& path);

// Failure injection: the next `count` calls of a routine (after `after`
// calls that go through) fail with `status` and change nothing.
enum class Routine { QueryKey, QueryValueKey, WriteRegistryValue, DeleteRegistryValue };
void FailNext(Routine routine, unsigned count, NTSTATUS status, unsigned after = 0);

// Key handles open now, and the path of each, for messages and tests.
size_t OpenHandleCount();
std::vector<std::u16string> OpenHandlePaths();

// --- The kernel's side (pnp and the exported routines) ------------------------------
// Opens a key as a kernel handle. With `create` a missing key is created
// (only the last component, as ZwCreateKey does; its parent must exist);
// otherwise a missing key is STATUS_OBJECT_NAME_NOT_FOUND. The handle grants
// `access` (generic rights mapped as for a key), and the routines that use it
// check it: stricter than Windows, which skips the check for kernel-mode
// callers, so that a driver asking for too little is caught here.
NTSTATUS OpenKey(const std::u16string& path, bool create, HANDLE* handle, ACCESS_MASK access = KEY_ALL_ACCESS);
// Whether an open key handle grants every right in `access`.
bool HandleGrants(HANDLE handle, ACCESS_MASK access);
// The path of an open key handle, or nullopt after reporting InvalidHandle
// for `routine`.
std::optional<std::u16string> HandlePath(HANDLE handle, const char* routine);
// Checks a registry routine's IRQL (PASSIVE_LEVEL) and reports otherwise.
void CheckIrql(const char* routine);
// The injected failure for this call of a routine, if any.
std::optional<NTSTATUS> TakeFailure(Routine routine);

// The key's name and what a query of it reports.
struct KeyFacts {
  std::u16string path;  // full name, as created
  size_t subKeys = 0;
  size_t maxSubKeyNameBytes = 0;
  size_t values = 0;
  size_t maxValueNameBytes = 0;
  size_t maxValueDataBytes = 0;
  int64_t lastWriteTime = 0;
};
std::optional<KeyFacts> FactsOf(const std::u16string& path);
// Writes (creating the value) in an existing key; false if the key is missing.
bool WriteValue(const std::u16string& path, const std::u16string& name, ULONG type, std::vector<uint8_t> data);
// Deletes a value of an existing key; *keyFound says whether the key is there.
bool RemoveValue(const std::u16string& path, const std::u16string& name, bool* keyFound);
// Whether OpenKey may open the key; with `create` a missing key whose parent
// exists is made. *spelled gets the key's name as created.
bool OpenableKey(const std::u16string& path, bool create, std::u16string* spelled);

// The end-of-test check: every handle still open is reported, then closed.
void ReportAndCloseHandles();
// Closes every handle without a word (Reset).
void ForgetHandles();
// Handles closed, and the registry back to its few well-known keys.
void Reset();

}  // namespace sim::cm

/*
 * The registry's contents: keys by full name, each with its values in the
 * order they were first written. Tests read and write it directly; the
 * exported routines come through OpenKey, FactsOf and WriteValue.
 */
#include "sim/cm/registry.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/ob/namespace.h"
#include "sim/verifier/injection.h"
#include "sim/verifier/verifier.h"

#include <map>
#include <mutex>

namespace sim::cm {
namespace {

struct Key {
  std::u16string path;  // as created
  std::vector<Value> values;
  int64_t lastWriteTime = 0;
};

std::mutex g_lock;
std::map<std::u16string, Key> g_keys;  // by folded full name
verifier::FailurePlan g_failures[4];   // by Routine

std::u16string Trimmed(const std::u16string& path) {
  std::u16string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == u'\\') trimmed.pop_back();
  return trimmed;
}

std::u16string ParentOf(const std::u16string& path) {
  size_t last = path.rfind(u'\\');
  return last == std::u16string::npos || last == 0 ? std::u16string() : path.substr(0, last);
}

// Needs g_lock.
void CreateKeyLocked(const std::u16string& path) {
  std::u16string folded = ob::Fold(path);
  if (g_keys.count(folded) != 0) return;
  std::u16string parent = ParentOf(path);
  if (!parent.empty()) CreateKeyLocked(parent);
  g_keys[folded] = Key{path, {}, clock::Now()};
}

Key* FindLocked(const std::u16string& path) {
  auto found = g_keys.find(ob::Fold(Trimmed(path)));
  return found == g_keys.end() ? nullptr : &found->second;
}

Value* FindValue(Key& key, const std::u16string& name) {
  std::u16string folded = ob::Fold(name);
  for (Value& value : key.values) {
    if (ob::Fold(value.name) == folded) return &value;
  }
  return nullptr;
}

void WriteLocked(Key& key, const std::u16string& name, ULONG type, std::vector<uint8_t> data) {
  if (Value* value = FindValue(key, name)) {
    value->type = type;
    value->data = std::move(data);
  } else {
    key.values.push_back({name, type, std::move(data)});
  }
  key.lastWriteTime = clock::Now();
}

}  // namespace

void CreateKey(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(g_lock);
  CreateKeyLocked(Trimmed(path));
}

bool KeyExists(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(g_lock);
  return FindLocked(path) != nullptr;
}

void SetValue(const std::u16string& path, const std::u16string& name, ULONG type, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> hold(g_lock);
  CreateKeyLocked(Trimmed(path));
  WriteLocked(*FindLocked(path), name, type, std::move(data));
}

void SetString(const std::u16string& path, const std::u16string& name, const std::u16string& text, bool terminated) {
  std::u16string stored = text;
  if (terminated) stored.push_back(u'\0');
  const auto* bytes = reinterpret_cast<const uint8_t*>(stored.data());
  SetValue(path, name, REG_SZ, std::vector<uint8_t>(bytes, bytes + stored.size() * sizeof(char16_t)));
}

void SetDword(const std::u16string& path, const std::u16string& name, uint32_t value) {
  std::vector<uint8_t> data(4);
  for (size_t i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
  SetValue(path, name, REG_DWORD, std::move(data));
}

bool DeleteValue(const std::u16string& path, const std::u16string& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  Key* key = FindLocked(path);
  if (key == nullptr) return false;
  std::u16string folded = ob::Fold(name);
  for (auto value = key->values.begin(); value != key->values.end(); ++value) {
    if (ob::Fold(value->name) == folded) {
      key->values.erase(value);
      key->lastWriteTime = clock::Now();
      return true;
    }
  }
  return false;
}

std::optional<Value> GetValue(const std::u16string& path, const std::u16string& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  Key* key = FindLocked(path);
  if (key == nullptr) return std::nullopt;
  Value* value = FindValue(*key, name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::optional<std::u16string> GetString(const std::u16string& path, const std::u16string& name) {
  std::optional<Value> value = GetValue(path, name);
  if (!value || value->type != REG_SZ) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
    if (c == u'\0') break;
    text.push_back(c);
  }
  return text;
}

std::vector<Value> Values(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(g_lock);
  Key* key = FindLocked(path);
  return key == nullptr ? std::vector<Value>{} : key->values;
}

void FailNext(Routine routine, unsigned count, NTSTATUS status, unsigned after) {
  g_failures[static_cast<int>(routine)].FailNext(count, status, after);
}

std::optional<NTSTATUS> TakeFailure(Routine routine) { return g_failures[static_cast<int>(routine)].Take(); }

void CheckIrql(const char* routine) {
  if (KIRQL irql = ke::CurrentIrql(); irql != PASSIVE_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh, std::string(routine) + " called at IRQL " + std::to_string(irql) +
                                                      "; the registry routines run at PASSIVE_LEVEL only");
  }
}

bool OpenableKey(const std::u16string& path, bool create, std::u16string* spelled) {
  std::lock_guard<std::mutex> hold(g_lock);
  std::u16string trimmed = Trimmed(path);
  if (Key* key = FindLocked(trimmed)) {
    *spelled = key->path;
    return true;
  }
  std::u16string parent = ParentOf(trimmed);
  if (!create || parent.empty() || FindLocked(parent) == nullptr) return false;
  CreateKeyLocked(trimmed);
  *spelled = trimmed;
  return true;
}

std::optional<KeyFacts> FactsOf(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(g_lock);
  Key* key = FindLocked(path);
  if (key == nullptr) return std::nullopt;
  KeyFacts facts;
  facts.path = key->path;
  facts.lastWriteTime = key->lastWriteTime;
  std::u16string folded = ob::Fold(key->path);
  for (const auto& other : g_keys) {
    if (ParentOf(other.first) != folded) continue;
    facts.subKeys++;
    size_t nameBytes = (other.first.size() - folded.size() - 1) * sizeof(WCHAR);
    if (nameBytes > facts.maxSubKeyNameBytes) facts.maxSubKeyNameBytes = nameBytes;
  }
  facts.values = key->values.size();
  for (const Value& value : key->values) {
    if (value.name.size() * sizeof(WCHAR) > facts.maxValueNameBytes) facts.maxValueNameBytes = value.name.size() * 2;
    if (value.data.size() > facts.maxValueDataBytes) facts.maxValueDataBytes = value.data.size();
  }
  return facts;
}

bool WriteValue(const std::u16string& path, const std::u16string& name, ULONG type, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> hold(g_lock);
  Key* key = FindLocked(path);
  if (key == nullptr) return false;
  WriteLocked(*key, name, type, std::move(data));
  return true;
}

bool RemoveValue(const std::u16string& path, const std::u16string& name, bool* keyFound) {
  *keyFound = KeyExists(path);
  return *keyFound && DeleteValue(path, name);
}

void Reset() {
  ForgetHandles();
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_keys.clear();
    for (const std::u16string& path : {kDeviceMap, kServices, kControl, kWindowsNt, kEnum}) CreateKeyLocked(path);
  }
  for (verifier::FailurePlan& plan : g_failures) plan.Clear();
}

}  // namespace sim::cm

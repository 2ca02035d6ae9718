#include "sim/ob/namespace.h"

#include <map>
#include <mutex>

namespace sim::ob {
namespace {

std::mutex g_lock;
std::map<std::u16string, PVOID> g_names;  // by upper-cased name

std::u16string Fold(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& c : folded) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return folded;
}

}  // namespace

std::u16string FromUnicode(PCUNICODE_STRING name) {
  if (name == nullptr || name->Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(name->Buffer), name->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string& text) {
  std::string narrow;
  for (char16_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

bool InsertName(const std::u16string& name, PVOID object) {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_names.emplace(Fold(name), object).second;
}

void RemoveName(const std::u16string& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_names.erase(Fold(name));
}

PVOID Lookup(const std::u16string& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_names.find(Fold(name));
  return found == g_names.end() ? nullptr : found->second;
}

void Reset() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_names.clear();
}

}  // namespace sim::ob

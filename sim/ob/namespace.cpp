#include "sim/ob/namespace.h"

#include "sim/verifier/injection.h"
#include "sim/verifier/verifier.h"

#include <map>
#include <mutex>

namespace sim::ob {
namespace {

// What a name stands for: a device object, or a link to another name.
struct Entry {
  PVOID object = nullptr;  // a device; null for a link
  bool link = false;
  std::u16string spelled;  // the name as created
  std::u16string target;   // links only
};

std::mutex g_lock;
std::map<std::u16string, Entry> g_names;  // by canonical name
verifier::FailurePlan g_linkFailures;

constexpr char16_t kDosDirectory[] = u"\\GLOBAL??";
constexpr char16_t kDeviceDirectory[] = u"\\DEVICE";
constexpr int kMaximumLinkDepth = 32;

// "\DosDevices" and "\??" are links to the one DOS device directory; names
// are kept under its own spelling so that all three find the same entry.
std::u16string Canonical(const std::u16string& name) {
  static const std::u16string kAliases[] = {u"\\DOSDEVICES\\", u"\\??\\", u"\\GLOBAL??\\"};
  std::u16string folded = Fold(name);
  for (const std::u16string& alias : kAliases) {
    if (folded.compare(0, alias.size(), alias) == 0) {
      return std::u16string(kDosDirectory) + u"\\" + folded.substr(alias.size());
    }
  }
  return folded;
}

// An application's name ("COM5", "\\.\COM5") as the object manager sees it.
std::u16string FromApplication(const std::u16string& name) {
  std::u16string nt = name;
  if (nt.compare(0, 4, u"\\\\.\\") == 0 || nt.compare(0, 4, u"\\\\?\\") == 0) nt = nt.substr(4);
  if (nt.empty() || nt[0] != u'\\') nt = std::u16string(kDosDirectory) + u"\\" + nt;
  return nt;
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

std::u16string Fold(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& c : folded) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return folded;
}

bool InsertName(const std::u16string& name, PVOID object) {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_names.emplace(Canonical(name), Entry{object, false, name, {}}).second;
}

void RemoveName(const std::u16string& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_names.find(Canonical(name));
  if (found != g_names.end() && !found->second.link) g_names.erase(found);
}

PVOID Lookup(const std::u16string& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_names.find(Canonical(name));
  return found == g_names.end() ? nullptr : found->second.object;
}

NTSTATUS CheckLinkName(const std::u16string& name) {
  if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::u16string canonical = Canonical(name);
  size_t last = canonical.rfind(u'\\');
  if (last + 1 == canonical.size()) return STATUS_OBJECT_NAME_INVALID;
  std::u16string directory = canonical.substr(0, last);
  // No other directory exists in the simulated namespace, and a name with
  // more components needs a directory that is not there either.
  if (directory != kDosDirectory && directory != kDeviceDirectory) return STATUS_OBJECT_PATH_NOT_FOUND;
  return STATUS_SUCCESS;
}

NTSTATUS InsertLink(const std::u16string& name, const std::u16string& target) {
  std::lock_guard<std::mutex> hold(g_lock);
  bool inserted = g_names.emplace(Canonical(name), Entry{nullptr, true, name, target}).second;
  return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS RemoveLink(const std::u16string& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_names.find(Canonical(name));
  if (found == g_names.end() || !found->second.link) return STATUS_OBJECT_NAME_NOT_FOUND;
  g_names.erase(found);
  return STATUS_SUCCESS;
}

std::vector<Link> Links() {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<Link> links;
  for (const auto& entry : g_names) {
    if (entry.second.link) links.push_back({entry.second.spelled, entry.second.target});
  }
  return links;
}

std::optional<std::u16string> LinkTarget(const std::u16string& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_names.find(Canonical(name));
  if (found == g_names.end() || !found->second.link) return std::nullopt;
  return found->second.target;
}

NTSTATUS ResolveDevice(const std::u16string& name, PVOID* object) {
  std::lock_guard<std::mutex> hold(g_lock);
  std::u16string current = FromApplication(name);
  for (int depth = 0; depth <= kMaximumLinkDepth; ++depth) {
    auto found = g_names.find(Canonical(current));
    if (found == g_names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!found->second.link) {
      *object = found->second.object;
      return STATUS_SUCCESS;
    }
    current = found->second.target;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

void FailLinkCreations(unsigned count, NTSTATUS status, unsigned after) {
  g_linkFailures.FailNext(count, status, after);
}

std::optional<NTSTATUS> TakeLinkCreationFailure() { return g_linkFailures.Take(); }

void ReportAndRemoveLinks() {
  std::lock_guard<std::mutex> hold(g_lock);
  for (auto entry = g_names.begin(); entry != g_names.end();) {
    if (!entry->second.link) {
      ++entry;
      continue;
    }
    verifier::Report(verifier::Rule::SymbolicLinkLeaked, "symbolic link " + Narrow(entry->second.spelled) + " -> " +
                                                             Narrow(entry->second.target) + " was never deleted");
    entry = g_names.erase(entry);
  }
}

void Reset() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_names.clear();
  g_linkFailures.Clear();
}

}  // namespace sim::ob

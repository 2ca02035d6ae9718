/*
 * ZwQueryKey and ZwQueryValueKey, with the answers Windows gives for every
 * buffer size: the size needed always goes to *ResultLength; a buffer too
 * small for the fixed part of the structure gets STATUS_BUFFER_TOO_SMALL
 * and nothing written; one that holds the fixed part but not everything
 * gets STATUS_BUFFER_OVERFLOW, the fixed part and as much of the name as
 * fits (never part of a value's data).
 */
#include "sim/cm/registry.h"

#include "sim/ob/namespace.h"
#include "sim/verifier/verifier.h"

#include <cstring>

namespace sim::cm {
namespace {

// The whole answer as if the buffer were large enough, and how much of it
// a smaller buffer gets.
struct Answer {
  std::vector<uint8_t> image;
  size_t fixed = 0;          // below this: STATUS_BUFFER_TOO_SMALL
  size_t partialLimit = 0;   // what an overflowing buffer may get at most
};

template <class Header>
void PutHeader(Answer* answer, const Header& header, size_t fixed) {
  answer->image.resize(fixed);
  std::memcpy(answer->image.data(), &header, fixed);
  answer->fixed = fixed;
}

void PutName(Answer* answer, const std::u16string& name) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
  answer->image.insert(answer->image.end(), bytes, bytes + name.size() * sizeof(WCHAR));
}

NTSTATUS Deliver(const Answer& answer, PVOID buffer, ULONG length, PULONG resultLength) {
  *resultLength = static_cast<ULONG>(answer.image.size());
  if (length < answer.fixed) return STATUS_BUFFER_TOO_SMALL;
  if (length >= answer.image.size()) {
    std::memcpy(buffer, answer.image.data(), answer.image.size());
    return STATUS_SUCCESS;
  }
  size_t copied = std::min<size_t>(length, answer.partialLimit);
  std::memcpy(buffer, answer.image.data(), copied);
  return STATUS_BUFFER_OVERFLOW;
}

// The checks Windows would fault on, for both routines.
bool PointersUsable(PVOID buffer, ULONG length, PULONG resultLength, const char* routine) {
  if (resultLength == nullptr) {
    verifier::Report(verifier::Rule::InvalidArgument, std::string(routine) + " with no ResultLength");
    return false;
  }
  if (buffer == nullptr && length != 0) {
    verifier::Report(verifier::Rule::InvalidArgument,
                     std::string(routine) + " with no buffer but a Length of " + std::to_string(length));
    return false;
  }
  return true;
}

NTSTATUS Unsupported(const char* routine, int informationClass) {
  verifier::Report(verifier::Rule::UnsupportedCall, std::string(routine) + " with information class " +
                                                        std::to_string(informationClass) +
                                                        ", which the simulated registry does not answer");
  return STATUS_NOT_IMPLEMENTED;
}

std::u16string LastComponent(const std::u16string& path) {
  size_t last = path.rfind(u'\\');
  return last == std::u16string::npos ? path : path.substr(last + 1);
}

ULONG Bytes(const std::u16string& text) { return static_cast<ULONG>(text.size() * sizeof(WCHAR)); }

// The data of a full value answer starts on a ULONG boundary after the
// name, as Windows places it (KeyValueFullInformationAlign64 would use 8).
ULONG AlignedDataOffset(ULONG nameBytes) {
  ULONG end = static_cast<ULONG>(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name)) + nameBytes;
  return (end + sizeof(ULONG) - 1) & ~static_cast<ULONG>(sizeof(ULONG) - 1);
}

}  // namespace
}  // namespace sim::cm

extern "C" {

NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                          ULONG Length, PULONG ResultLength) {
  using namespace sim;
  cm::CheckIrql("ZwQueryKey");
  std::optional<std::u16string> path = cm::HandlePath(KeyHandle, "ZwQueryKey");
  if (!path) return STATUS_INVALID_HANDLE;
  if (!cm::PointersUsable(KeyInformation, Length, ResultLength, "ZwQueryKey")) return STATUS_INVALID_PARAMETER;
  if (std::optional<NTSTATUS> injected = cm::TakeFailure(cm::Routine::QueryKey)) return *injected;
  std::optional<cm::KeyFacts> facts = cm::FactsOf(*path);
  if (!facts) return STATUS_KEY_DELETED;

  cm::Answer answer;
  LARGE_INTEGER written;
  written.QuadPart = facts->lastWriteTime;
  switch (KeyInformationClass) {
    case KeyBasicInformation: {
      KEY_BASIC_INFORMATION header{};
      header.LastWriteTime = written;
      header.NameLength = cm::Bytes(cm::LastComponent(facts->path));
      cm::PutHeader(&answer, header, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name));
      cm::PutName(&answer, cm::LastComponent(facts->path));
      break;
    }
    case KeyNodeInformation: {
      KEY_NODE_INFORMATION header{};
      header.LastWriteTime = written;
      header.ClassOffset = 0xFFFFFFFF;  // no class
      header.NameLength = cm::Bytes(cm::LastComponent(facts->path));
      cm::PutHeader(&answer, header, FIELD_OFFSET(KEY_NODE_INFORMATION, Name));
      cm::PutName(&answer, cm::LastComponent(facts->path));
      break;
    }
    case KeyFullInformation: {
      KEY_FULL_INFORMATION header{};
      header.LastWriteTime = written;
      header.ClassOffset = 0xFFFFFFFF;  // no class
      header.SubKeys = static_cast<ULONG>(facts->subKeys);
      header.MaxNameLen = static_cast<ULONG>(facts->maxSubKeyNameBytes);
      header.Values = static_cast<ULONG>(facts->values);
      header.MaxValueNameLen = static_cast<ULONG>(facts->maxValueNameBytes);
      header.MaxValueDataLen = static_cast<ULONG>(facts->maxValueDataBytes);
      cm::PutHeader(&answer, header, FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
      break;
    }
    case KeyNameInformation: {
      // KEY_NAME_INFORMATION (not in the platform headers): ULONG
      // NameLength, then the full name without a terminating null.
      ULONG nameLength = cm::Bytes(facts->path);
      cm::PutHeader(&answer, nameLength, sizeof(ULONG));
      cm::PutName(&answer, facts->path);
      break;
    }
    case KeyCachedInformation:
    case KeyFlagsInformation:
      return cm::Unsupported("ZwQueryKey", KeyInformationClass);
    default:
      // Later systems' classes; Windows XP does not know them.
      return STATUS_INVALID_PARAMETER;
  }
  answer.partialLimit = answer.image.size();
  return cm::Deliver(answer, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
  using namespace sim;
  cm::CheckIrql("ZwQueryValueKey");
  std::optional<std::u16string> path = cm::HandlePath(KeyHandle, "ZwQueryValueKey");
  if (!path) return STATUS_INVALID_HANDLE;
  // A value query needs KEY_QUERY_VALUE on the handle.
  if (!cm::HandleGrants(KeyHandle, KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
  if (ValueName == nullptr) {
    verifier::Report(verifier::Rule::InvalidArgument, "ZwQueryValueKey with no ValueName");
    return STATUS_INVALID_PARAMETER;
  }
  if (!cm::PointersUsable(KeyValueInformation, Length, ResultLength, "ZwQueryValueKey")) {
    return STATUS_INVALID_PARAMETER;
  }
  if (std::optional<NTSTATUS> injected = cm::TakeFailure(cm::Routine::QueryValueKey)) return *injected;
  std::optional<cm::Value> value = cm::GetValue(*path, ob::FromUnicode(ValueName));
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;

  cm::Answer answer;
  ULONG nameBytes = cm::Bytes(value->name);
  ULONG dataBytes = static_cast<ULONG>(value->data.size());
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
      KEY_VALUE_BASIC_INFORMATION header{};
      header.Type = value->type;
      header.NameLength = nameBytes;
      cm::PutHeader(&answer, header, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name));
      cm::PutName(&answer, value->name);
      answer.partialLimit = answer.image.size();
      break;
    }
    case KeyValuePartialInformation: {
      KEY_VALUE_PARTIAL_INFORMATION header{};
      header.Type = value->type;
      header.DataLength = dataBytes;
      cm::PutHeader(&answer, header, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
      answer.image.insert(answer.image.end(), value->data.begin(), value->data.end());
      answer.partialLimit = answer.fixed;
      break;
    }
    case KeyValueFullInformation: {
      KEY_VALUE_FULL_INFORMATION header{};
      header.Type = value->type;
      header.DataLength = dataBytes;
      header.NameLength = nameBytes;
      // A value without data has no data offset.
      header.DataOffset = dataBytes != 0 ? cm::AlignedDataOffset(nameBytes) : 0xFFFFFFFF;
      cm::PutHeader(&answer, header, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name));
      cm::PutName(&answer, value->name);
      answer.partialLimit = answer.image.size();
      if (dataBytes != 0) {
        answer.image.resize(header.DataOffset, 0);
        answer.image.insert(answer.image.end(), value->data.begin(), value->data.end());
      }
      break;
    }
    case KeyValueFullInformationAlign64:
    case KeyValuePartialInformationAlign64:
      return cm::Unsupported("ZwQueryValueKey", KeyValueInformationClass);
    default:
      return STATUS_INVALID_PARAMETER;
  }
  return cm::Deliver(answer, KeyValueInformation, Length, ResultLength);
}

}  // extern "C"

/* Counted-string helpers of the run-time library. */
#include "driver/platform/platform.h"

#include "sim/verifier/verifier.h"

#include <cstring>
#include <string>

namespace {

// A counted string Windows would fault on or misread.
bool Usable(PCUNICODE_STRING string, const char* routine, const char* what) {
  if (string == nullptr || (string->Length != 0 && string->Buffer == nullptr) ||
      string->Length > string->MaximumLength || string->Length % sizeof(WCHAR) != 0) {
    sim::verifier::Report(sim::verifier::Rule::InvalidArgument,
                          std::string(routine) + " with a malformed or missing " + what + " string");
    return false;
  }
  return true;
}

// Appends `bytes` bytes to the destination, or returns STATUS_BUFFER_TOO_SMALL
// and leaves it as it was. A null follows the text when there is room for
// one, as the run-time library writes it.
NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  size_t length = destination->Length + bytes;
  if (length > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
  destination->Length = static_cast<USHORT>(length);
  if (length + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

// A text longer than a counted string can describe is cut to the longest
// length that still leaves room for its null (0xFFFC bytes), as Windows does;
// counting in a USHORT would wrap the length, or never end.
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  constexpr size_t kLongest = 0xFFFE - sizeof(WCHAR);
  size_t bytes = 0;
  if (SourceString != nullptr) {
    size_t characters = 0;
    while (SourceString[characters] != 0) ++characters;
    bytes = characters * sizeof(WCHAR);
    if (bytes > kLongest) bytes = kLongest;
  }
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = SourceString != nullptr ? static_cast<USHORT>(bytes + sizeof(WCHAR)) : 0;
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

// Appends a null-terminated text; a null source appends nothing.
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Usable(Destination, "RtlAppendUnicodeToString", "destination")) return STATUS_INVALID_PARAMETER;
  if (Source == nullptr) return STATUS_SUCCESS;
  size_t characters = 0;
  while (Source[characters] != 0) ++characters;
  return Append(Destination, Source, characters * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (!Usable(Destination, "RtlAppendUnicodeStringToString", "destination") ||
      !Usable(Source, "RtlAppendUnicodeStringToString", "source")) {
    return STATUS_INVALID_PARAMETER;
  }
  return Append(Destination, Source->Buffer, Source->Length);
}

// Releases a buffer the system allocated for a string (from pool) and
// empties the string.
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString == nullptr) return;
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  std::memset(UnicodeString, 0, sizeof *UnicodeString);
}

}  // extern "C"

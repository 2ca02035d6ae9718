/* Counted-string helpers of the run-time library. */
#include "driver/platform/platform.h"

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

}  // extern "C"

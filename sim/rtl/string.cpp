/* Counted-string helpers of the run-time library. */
#include "driver/platform/platform.h"

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  USHORT length = 0;
  if (SourceString != nullptr) {
    while (SourceString[length] != 0) ++length;
    length = static_cast<USHORT>(length * sizeof(WCHAR));
  }
  DestinationString->Length = length;
  DestinationString->MaximumLength = SourceString != nullptr ? static_cast<USHORT>(length + sizeof(WCHAR)) : 0;
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

}  // extern "C"

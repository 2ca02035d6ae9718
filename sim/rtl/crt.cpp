/*
 * The C run-time routines the kernel exports to drivers and that the
 * platform's safe-string helpers call. They follow the Windows C run-time:
 * the result is the count written, and -1 when the text does not fit, in
 * which case the buffer holds as much as fits and no terminating null.
 */
#include "sim/rtl/format.h"

#include "driver/platform/platform.h"

#include <cstring>

namespace {

template <typename Char>
int Store(const std::u16string& text, Char* buffer, size_t count) {
  size_t length = text.size();
  size_t copied = length < count ? length : count;
  for (size_t i = 0; i < copied; ++i) buffer[i] = static_cast<Char>(text[i]);
  if (length < count) buffer[length] = 0;
  return length <= count ? static_cast<int>(length) : -1;
}

}  // namespace

extern "C" {

int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  return Store(sim::rtl::FormatV(sim::rtl::Widen(format).c_str(), false, args), buffer, count);
}

int __cdecl _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args) {
  std::u16string wideFormat;
  for (const wchar_t* at = format; *at != 0; ++at) wideFormat += static_cast<char16_t>(*at);
  return Store(sim::rtl::FormatV(wideFormat.c_str(), true, args), buffer, count);
}

}  // extern "C"

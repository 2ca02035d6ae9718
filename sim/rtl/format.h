/*
 * The kernel's printf family: DbgPrint and the C run-time's _vsnprintf and
 * _vsnwprintf that the safe-string helpers call. Conversions as the
 * Windows C run-time reads them: %d %i %u %x %X %o %c %C %p, the
 * I64/I32/I/ll/l/h/w length modifiers (l is 32 bits, I pointer-sized), %s
 * and %S (narrow or wide by the family: in the wide family %s is wide and %S
 * narrow), %wZ for a UNICODE_STRING and %Z for an ANSI_STRING. Any other
 * conversion is reported to the verifier as unsupported.
 */
#pragma once

#include <cstdarg>
#include <string>

namespace sim::rtl {

std::u16string FormatV(const char16_t* format, bool wideFamily, va_list args);
std::u16string Widen(const char* text);
std::string Narrow(const std::u16string& text);

}  // namespace sim::rtl

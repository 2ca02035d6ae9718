/*
 * The port device's two NT names, "\Device\Serial_<instance>" and
 * "\Device\Serial<n>", formed by the driver itself. The kernel's
 * safe-string formatter would need _vsnwprintf from the kernel, which the
 * Windows 2000 driver must not count on; these two names need nothing but
 * copying text and writing a 16-bit number, and both drivers use this one
 * routine. The result follows the formatter's rules: a name too long for
 * the buffer is cut to fit, always null-terminated, and reported as
 * STATUS_BUFFER_OVERFLOW. Any IRQL; no lock.
 */
#include "driver/pnp/pnp.h"

static const WCHAR kInstancePrefix[] = L"\\Device\\Serial_";
static const WCHAR kNumberedPrefix[] = L"\\Device\\Serial";

// Appends text at *length while room is left for the terminating null;
// FALSE once something did not fit.
static BOOLEAN AppendText(PWSTR buffer, size_t characters, size_t* length, PCWSTR text) {
  for (; *text != 0; ++text) {
    if (*length + 1 >= characters) return FALSE;
    buffer[(*length)++] = *text;
  }
  return TRUE;
}

static NTSTATUS FormatName(PWSTR buffer, size_t characters, PCWSTR prefix, PCWSTR text) {
  if (characters == 0) return STATUS_INVALID_PARAMETER;
  size_t length = 0;
  BOOLEAN whole = AppendText(buffer, characters, &length, prefix) && AppendText(buffer, characters, &length, text);
  buffer[length] = 0;
  return whole ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS FormatInstanceDeviceName(PWSTR buffer, size_t characters, PCWSTR instance) {
  return FormatName(buffer, characters, kInstancePrefix, instance);
}

NTSTATUS FormatNumberedDeviceName(PWSTR buffer, size_t characters, USHORT number) {
  // At most five decimal digits, most significant first.
  WCHAR digits[6];
  size_t at = sizeof digits / sizeof digits[0] - 1;
  digits[at] = 0;
  do {
    digits[--at] = static_cast<WCHAR>(L'0' + number % 10);
    number = static_cast<USHORT>(number / 10);
  } while (number != 0);
  return FormatName(buffer, characters, kNumberedPrefix, &digits[at]);
}

#include "sim/rtl/format.h"

#include "driver/platform/platform.h"

#include <cstdio>

namespace sim::rtl {
namespace {

std::u16string FromWide(const WCHAR* text, size_t limit) {
  std::u16string out;
  for (size_t i = 0; i < limit && text[i] != 0; ++i) out += static_cast<char16_t>(text[i]);
  return out;
}

std::u16string FromNarrow(const char* text, size_t limit) {
  std::u16string out;
  for (size_t i = 0; i < limit && text[i] != 0; ++i) out += static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  return out;
}

// Pads a string conversion to its width, honouring '-'.
std::u16string Pad(std::u16string text, const std::string& flags, int width, int precision) {
  if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text.resize(static_cast<size_t>(precision));
  if (width > 0 && text.size() < static_cast<size_t>(width)) {
    std::u16string fill(static_cast<size_t>(width) - text.size(), u' ');
    text = flags.find('-') != std::string::npos ? text + fill : fill + text;
  }
  return text;
}

}  // namespace

std::u16string Widen(const char* text) { return FromNarrow(text, static_cast<size_t>(-1)); }

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::u16string FormatV(const char16_t* format, bool wideFamily, va_list args) {
  std::u16string out;
  for (const char16_t* at = format; *at != 0; ++at) {
    if (*at != u'%') {
      out += *at;
      continue;
    }
    ++at;
    std::string flags;
    while (*at == u'-' || *at == u'+' || *at == u' ' || *at == u'#' || *at == u'0') flags += static_cast<char>(*at++);
    int width = -1;
    if (*at == u'*') {
      width = va_arg(args, int);
      ++at;
    } else if (*at >= u'0' && *at <= u'9') {
      width = 0;
      while (*at >= u'0' && *at <= u'9') width = width * 10 + (*at++ - u'0');
    }
    int precision = -1;
    if (*at == u'.') {
      ++at;
      precision = 0;
      if (*at == u'*') {
        precision = va_arg(args, int);
        ++at;
      } else {
        while (*at >= u'0' && *at <= u'9') precision = precision * 10 + (*at++ - u'0');
      }
    }
    enum { Default, LongLong, Long, Short, Wide } length = Default;
    if (at[0] == u'I' && at[1] == u'6' && at[2] == u'4') {
      length = LongLong;
      at += 3;
    } else if (at[0] == u'l' && at[1] == u'l') {
      length = LongLong;
      at += 2;
    } else if (*at == u'l') {
      length = Long;
      ++at;
    } else if (*at == u'h') {
      length = Short;
      ++at;
    } else if (*at == u'w') {
      length = Wide;
      ++at;
    }
    char16_t conversion = *at;
    if (conversion == 0) break;

    std::string spec = "%" + flags + (width >= 0 ? std::to_string(width) : "") +
                       (precision >= 0 ? "." + std::to_string(precision) : "");
    char piece[128];
    switch (conversion) {
      case u'%':
        out += u'%';
        continue;
      case u'd': case u'i': case u'u': case u'x': case u'X': case u'o': {
        char c = static_cast<char>(conversion);
        if (length == LongLong) {
          std::snprintf(piece, sizeof piece, (spec + "ll" + c).c_str(), va_arg(args, long long));
        } else {
          std::snprintf(piece, sizeof piece, (spec + c).c_str(), va_arg(args, int));
        }
        out += Widen(piece);
        break;
      }
      case u'c': {
        int c = va_arg(args, int);
        out += Pad(std::u16string(1, static_cast<char16_t>(c)), flags, width, -1);
        break;
      }
      case u'p':
        std::snprintf(piece, sizeof piece, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
        out += Widen(piece);
        break;
      case u's':
      case u'S': {
        bool wide = length == Wide || length == Long ||
                    (length == Default && ((conversion == u's') == wideFamily));
        std::u16string text;
        if (wide) {
          const WCHAR* string = va_arg(args, const WCHAR*);
          text = string ? FromWide(string, static_cast<size_t>(-1)) : u"(null)";
        } else {
          const char* string = va_arg(args, const char*);
          text = string ? FromNarrow(string, static_cast<size_t>(-1)) : u"(null)";
        }
        out += Pad(text, flags, width, precision);
        break;
      }
      case u'Z': {
        std::u16string text = u"(null)";
        if (length == Wide) {
          auto string = va_arg(args, PCUNICODE_STRING);
          if (string && string->Buffer) text = FromWide(string->Buffer, string->Length / sizeof(WCHAR));
        } else {
          auto string = va_arg(args, PCANSI_STRING);
          if (string && string->Buffer) text = FromNarrow(string->Buffer, string->Length);
        }
        out += Pad(text, flags, width, precision);
        break;
      }
      default:
        out += u'%';
        out += conversion;
        break;
    }
  }
  return out;
}

}  // namespace sim::rtl

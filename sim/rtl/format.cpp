#include "sim/rtl/format.h"

#include "driver/platform/platform.h"
#include "sim/verifier/verifier.h"

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

// One numeric conversion through the C library, however wide its field.
template <typename Value>
std::u16string Convert(const std::string& spec, Value value) {
  int length = std::snprintf(nullptr, 0, spec.c_str(), value);
  if (length <= 0) return u"";
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(&text[0], text.size(), spec.c_str(), value);
  text.resize(static_cast<size_t>(length));
  return Widen(text.c_str());
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
      // A negative width from the arguments means left-justified.
      width = va_arg(args, int);
      if (width < 0) {
        flags += '-';
        width = -width;
      }
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
        precision = va_arg(args, int);  // negative: as if none were given
        if (precision < 0) precision = -1;
        ++at;
      } else {
        while (*at >= u'0' && *at <= u'9') precision = precision * 10 + (*at++ - u'0');
      }
    }
    enum { Default, LongLong, Long, Short, Wide } length = Default;
    if (at[0] == u'I' && at[1] == u'6' && at[2] == u'4') {
      length = LongLong;
      at += 3;
    } else if (at[0] == u'I' && at[1] == u'3' && at[2] == u'2') {
      length = Long;
      at += 3;
    } else if (at[0] == u'I') {  // the size of a pointer
      length = sizeof(void*) == 8 ? LongLong : Long;
      ++at;
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
          out += Convert(spec + "ll" + c, va_arg(args, long long));
        } else {
          int value = va_arg(args, int);
          // h: the argument arrives promoted to int and is printed as a short.
          if (length == Short) {
            value = c == 'd' || c == 'i' ? static_cast<short>(value) : static_cast<unsigned short>(value);
          }
          out += Convert(spec + c, value);
        }
        break;
      }
      case u'c':
      case u'C': {
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
        // With a precision the text needs no terminating null: read no further.
        size_t limit = precision >= 0 ? static_cast<size_t>(precision) : static_cast<size_t>(-1);
        std::u16string text;
        if (wide) {
          const WCHAR* string = va_arg(args, const WCHAR*);
          text = string ? FromWide(string, limit) : u"(null)";
        } else {
          const char* string = va_arg(args, const char*);
          text = string ? FromNarrow(string, limit) : u"(null)";
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
        // The argument's size is unknown, so every later conversion would
        // read the wrong one: say so rather than print something plausible.
        verifier::Report(verifier::Rule::UnsupportedCall,
                         std::string("format conversion '%") + Narrow(std::u16string(1, conversion)) +
                             "' is not supported by the simulated run-time");
        out += u'%';
        out += conversion;
        break;
    }
  }
  return out;
}

}  // namespace sim::rtl

// _snwprintf as the kernel exports it, written out here so that no wchar_t ever reaches the C
// library (WCHAR is 16 bits on the host, the C library's wchar_t is 32).
//
// Conversions: %d %i %u %x %X %o %c %C %s %S %p %% and %wZ / %Z (counted strings); flags
// - + space # 0; width and precision, also given as *; size prefixes h, l, w, ll, I64, I32, I.
// String arguments follow the wide function's rules: %s, %ls and %ws take a wide string, %S and
// %hs a narrow one; %c and %wc a wide character, %C and %hc a narrow one. A NULL string prints
// "(null)". "l" means 32 bits, as on the platform.
//
// Result: the number of code units written without the terminator; when the text does not fit
// in Count units, -1 and the buffer holds the first Count units without a terminator. Text of
// exactly Count units fits and is not terminated (there is no room).
#include <cstdarg>
#include <string>

#include "internal/io.h"

namespace {

struct Spec {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;
  enum Size { Default, Short, Long, LongLong, Wide, Pointer } size = Default;
};

void Pad(std::u16string& out, size_t n, char16_t c) { out.append(n, c); }

void EmitField(std::u16string& out, const Spec& spec, const std::u16string& body) {
  size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
  if (spec.left) {
    out += body;
    if (body.size() < width) Pad(out, width - body.size(), u' ');
  } else {
    if (body.size() < width) Pad(out, width - body.size(), u' ');
    out += body;
  }
}

void EmitInteger(std::u16string& out, const Spec& spec, uint64_t magnitude, bool negative,
                 unsigned base, bool upper, bool isSigned) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::u16string number;
  if (!(magnitude == 0 && spec.precision == 0)) {
    do {
      number.insert(number.begin(), static_cast<char16_t>(digits[magnitude % base]));
      magnitude /= base;
    } while (magnitude != 0);
  }
  if (spec.precision > 0 && number.size() < static_cast<size_t>(spec.precision)) {
    number.insert(0, static_cast<size_t>(spec.precision) - number.size(), u'0');
  }
  std::u16string prefix;
  if (isSigned) {
    if (negative) {
      prefix = u"-";
    } else if (spec.plus) {
      prefix = u"+";
    } else if (spec.space) {
      prefix = u" ";
    }
  }
  if (spec.alt && base == 16 && !number.empty() && number != u"0") prefix += upper ? u"0X" : u"0x";
  if (spec.alt && base == 8 && (number.empty() || number[0] != u'0')) number.insert(0, 1, u'0');
  size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
  if (spec.zero && !spec.left && spec.precision < 0 && prefix.size() + number.size() < width) {
    number.insert(0, width - prefix.size() - number.size(), u'0');
  }
  EmitField(out, spec, prefix + number);
}

std::u16string Truncate(std::u16string s, const Spec& spec) {
  if (spec.precision >= 0 && s.size() > static_cast<size_t>(spec.precision)) {
    s.resize(static_cast<size_t>(spec.precision));
  }
  return s;
}

std::u16string FromWide(const WCHAR* s, const Spec& spec) {
  if (s == nullptr) return u"(null)";
  std::u16string out;
  for (size_t i = 0; s[i] != 0; ++i) {
    if (spec.precision >= 0 && i >= static_cast<size_t>(spec.precision)) break;
    out += static_cast<char16_t>(s[i]);
  }
  return out;
}

std::u16string FromNarrow(const char* s, const Spec& spec) {
  if (s == nullptr) return u"(null)";
  std::u16string out;
  for (size_t i = 0; s[i] != 0; ++i) {
    if (spec.precision >= 0 && i >= static_cast<size_t>(spec.precision)) break;
    out += static_cast<char16_t>(static_cast<unsigned char>(s[i]));
  }
  return out;
}

void FormatWide(std::u16string& out, const WCHAR* format, va_list args) {
  for (const WCHAR* p = format; *p != 0; ++p) {
    if (*p != u'%') {
      out += static_cast<char16_t>(*p);
      continue;
    }
    const WCHAR* start = p;
    ++p;
    Spec spec;
    for (;; ++p) {
      if (*p == u'-') {
        spec.left = true;
      } else if (*p == u'+') {
        spec.plus = true;
      } else if (*p == u' ') {
        spec.space = true;
      } else if (*p == u'#') {
        spec.alt = true;
      } else if (*p == u'0') {
        spec.zero = true;
      } else {
        break;
      }
    }
    if (*p == u'*') {
      spec.width = va_arg(args, int);
      if (spec.width < 0) {
        spec.left = true;
        spec.width = -spec.width;
      }
      ++p;
    } else {
      while (*p >= u'0' && *p <= u'9') spec.width = spec.width * 10 + (*p++ - u'0');
    }
    if (*p == u'.') {
      ++p;
      spec.precision = 0;
      if (*p == u'*') {
        spec.precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') spec.precision = spec.precision * 10 + (*p++ - u'0');
      }
    }
    if (*p == u'h') {
      spec.size = Spec::Short;
      ++p;
    } else if (*p == u'l') {
      ++p;
      if (*p == u'l') {
        spec.size = Spec::LongLong;
        ++p;
      } else {
        spec.size = Spec::Long;
      }
    } else if (*p == u'w') {
      spec.size = Spec::Wide;
      ++p;
    } else if (*p == u'I') {
      if (p[1] == u'6' && p[2] == u'4') {
        spec.size = Spec::LongLong;
        p += 3;
      } else if (p[1] == u'3' && p[2] == u'2') {
        spec.size = Spec::Long;
        p += 3;
      } else {
        spec.size = Spec::Pointer;
        ++p;
      }
    }
    switch (*p) {
      case u'%':
        out += u'%';
        break;
      case u'd':
      case u'i': {
        int64_t v;
        if (spec.size == Spec::LongLong) {
          v = va_arg(args, long long);
        } else if (spec.size == Spec::Pointer) {
          v = va_arg(args, intptr_t);
        } else {
          v = va_arg(args, int);
          if (spec.size == Spec::Short) v = static_cast<int16_t>(v);
        }
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        EmitInteger(out, spec, magnitude, v < 0, 10, false, true);
        break;
      }
      case u'u':
      case u'x':
      case u'X':
      case u'o': {
        uint64_t v;
        if (spec.size == Spec::LongLong) {
          v = va_arg(args, unsigned long long);
        } else if (spec.size == Spec::Pointer) {
          v = va_arg(args, uintptr_t);
        } else {
          v = va_arg(args, unsigned int);
          if (spec.size == Spec::Short) v = static_cast<uint16_t>(v);
        }
        unsigned base = *p == u'u' ? 10 : *p == u'o' ? 8 : 16;
        EmitInteger(out, spec, v, false, base, *p == u'X', false);
        break;
      }
      case u'p': {
        Spec pointer = spec;
        pointer.zero = true;
        pointer.width = static_cast<int>(2 * sizeof(void*));
        pointer.precision = -1;
        EmitInteger(out, pointer, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16,
                    true, false);
        break;
      }
      case u'c':
      case u'C': {
        int v = va_arg(args, int);
        bool narrow = spec.size == Spec::Short || (*p == u'C' && spec.size != Spec::Long &&
                                                   spec.size != Spec::Wide);
        char16_t c = narrow ? static_cast<char16_t>(static_cast<unsigned char>(v))
                            : static_cast<char16_t>(static_cast<uint16_t>(v));
        EmitField(out, spec, std::u16string(1, c));
        break;
      }
      case u's':
      case u'S': {
        bool narrow = spec.size == Spec::Short || (*p == u'S' && spec.size != Spec::Long &&
                                                   spec.size != Spec::Wide);
        if (narrow) {
          EmitField(out, spec, FromNarrow(va_arg(args, const char*), spec));
        } else {
          EmitField(out, spec, FromWide(va_arg(args, const WCHAR*), spec));
        }
        break;
      }
      case u'Z': {
        if (spec.size == Spec::Wide || spec.size == Spec::Long) {
          auto* s = va_arg(args, const UNICODE_STRING*);
          std::u16string text = u"(null)";
          if (s != nullptr && s->Buffer != nullptr) {
            text.assign(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
          }
          EmitField(out, spec, Truncate(text, spec));
        } else {
          auto* s = va_arg(args, const ANSI_STRING*);
          std::u16string text = u"(null)";
          if (s != nullptr && s->Buffer != nullptr) {
            text.clear();
            for (USHORT i = 0; i < s->Length; ++i) {
              text += static_cast<char16_t>(static_cast<unsigned char>(s->Buffer[i]));
            }
          }
          EmitField(out, spec, Truncate(text, spec));
        }
        break;
      }
      case 0:
        // A lone '%' at the end: printed as it stands.
        for (const WCHAR* q = start; *q != 0; ++q) out += static_cast<char16_t>(*q);
        return;
      default:
        // An unknown conversion is printed as it stands.
        for (const WCHAR* q = start; q <= p; ++q) out += static_cast<char16_t>(*q);
        break;
    }
  }
}

}  // namespace

extern "C" int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...) {
  va_list args;
  va_start(args, Format);
  int written = host::internal::SnwprintfList(Buffer, Count, Format, args);
  va_end(args);
  return written;
}

int host::internal::SnwprintfList(WCHAR* Buffer, size_t Count, const WCHAR* Format,
                                  va_list Arguments) {
  std::u16string text;
  FormatWide(text, Format, Arguments);
  size_t n = text.size() < Count ? text.size() : Count;
  for (size_t i = 0; i < n; ++i) Buffer[i] = static_cast<WCHAR>(text[i]);
  if (text.size() > Count) return -1;
  if (text.size() < Count) Buffer[text.size()] = 0;
  return static_cast<int>(text.size());
}

// Counted strings: the Rtl*String routines, memory comparison, and the host's UTF-16 <-> UTF-8
// conversions. WCHAR is a 16-bit code unit here and never reaches the C library's wide functions.
//
// Choices where the platform's documentation is silent (pinned by rtl_string_test.cpp):
//  - A terminator is written after a copy or an append only when a whole WCHAR still fits in
//    MaximumLength (the platform tests Length < MaximumLength, which overruns by one byte when
//    MaximumLength is odd).
//  - Case-insensitive comparisons fold ASCII and Latin-1 letters (the platform's upcase table
//    covers all of Unicode; names here are ASCII).
//  - RtlUnicodeStringToInteger stops at the first character that is not a digit of the base and
//    returns what it read so far (0 when nothing), as the platform's RtlCharToInteger does.
#include "host/objects.h"
#include "internal/io.h"

using namespace host::internal;

namespace host::internal {

size_t IopWcsLen(const WCHAR* s) {
  size_t n = 0;
  if (s != nullptr) {
    while (s[n] != 0) ++n;
  }
  return n;
}

std::string IopUtf8(const WCHAR* s, size_t units) {
  return Utf16ToUtf8(reinterpret_cast<const uint16_t*>(s), units);
}

std::string IopUtf8(const UNICODE_STRING* s) {
  if (s == nullptr || s->Buffer == nullptr) return std::string();
  return IopUtf8(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string IopUtf16(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    uint8_t b = static_cast<uint8_t>(s[i]);
    uint32_t c;
    size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      c = 0xFFFD;  // stray continuation byte
      extra = 0;
    }
    ++i;
    for (size_t k = 0; k < extra; ++k, ++i) {
      if (i >= s.size() || (static_cast<uint8_t>(s[i]) & 0xC0) != 0x80) {
        c = 0xFFFD;
        break;
      }
      c = (c << 6) | (static_cast<uint8_t>(s[i]) & 0x3F);
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace host::internal

namespace {

WCHAR Upcase(WCHAR c) {
  uint16_t u = static_cast<uint16_t>(c);
  if (u >= 'a' && u <= 'z') return static_cast<WCHAR>(u - 32);
  // Latin-1 lower-case letters, except the division sign and y with diaeresis.
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<WCHAR>(u - 32);
  return c;
}

// Writes a terminator after `units` code units when a whole WCHAR still fits.
void TerminateIfRoom(PUNICODE_STRING s) {
  if (static_cast<ULONG>(s->Length) + sizeof(WCHAR) <= s->MaximumLength) {
    s->Buffer[s->Length / sizeof(WCHAR)] = 0;
  }
}

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, ULONG bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (static_cast<ULONG>(destination->Length) + bytes > destination->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  memmove(reinterpret_cast<UCHAR*>(destination->Buffer) + destination->Length, source, bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  TerminateIfRoom(destination);
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = IopWcsLen(SourceString) * sizeof(WCHAR);
  if (bytes > 0xFFFC) bytes = 0xFFFC;  // the largest even length that leaves room for the NUL
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = strlen(SourceString);
  if (bytes > 0xFFFE) bytes = 0xFFFE;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr || SourceString->Buffer == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                     ? SourceString->Length
                     : DestinationString->MaximumLength;
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  size_t bytes = IopWcsLen(Source) * sizeof(WCHAR);
  if (bytes > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
  return Append(Destination, Source, static_cast<ULONG>(bytes));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  return Append(Destination, Source->Buffer, Source->Length);
}

// Formats like the platform: upper-case hexadecimal digits, no sign, no prefix; the result must
// fit with its terminator.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  static const char kDigits[] = "0123456789ABCDEF";
  char digits[33];
  int n = 0;
  do {
    digits[n++] = kDigits[Value % Base];
    Value /= Base;
  } while (Value != 0);
  ULONG bytes = static_cast<ULONG>(n) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
  String->Buffer[n] = 0;
  String->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  const WCHAR* s = String->Buffer;
  size_t n = String->Length / sizeof(WCHAR);
  size_t i = 0;
  while (i < n && static_cast<uint16_t>(s[i]) <= ' ') ++i;
  bool negative = false;
  if (i < n && (s[i] == u'-' || s[i] == u'+')) {
    negative = s[i] == u'-';
    ++i;
  }
  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && s[i] == u'0') {
      WCHAR p = Upcase(s[i + 1]);
      if (p == u'X') Base = 16;
      if (p == u'O') Base = 8;
      if (p == u'B') Base = 2;
      if (Base != 10) i += 2;
    }
  }
  ULONG result = 0;
  for (; i < n; ++i) {
    WCHAR c = Upcase(s[i]);
    ULONG digit;
    if (c >= u'0' && c <= u'9') {
      digit = static_cast<ULONG>(c - u'0');
    } else if (c >= u'A' && c <= u'F') {
      digit = static_cast<ULONG>(c - u'A' + 10);
    } else {
      break;
    }
    if (digit >= Base) break;
    result = result * Base + digit;
  }
  *Value = negative ? static_cast<ULONG>(0u - result) : result;
  return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
  size_t n1 = String1->Length / sizeof(WCHAR);
  size_t n2 = String2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return static_cast<LONG>(static_cast<uint16_t>(a)) - static_cast<uint16_t>(b);
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

// The buffers passed here are the system's (device interface names) or the driver's own pool;
// both go back through ExFreePool, which checks them.
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString == nullptr) return;
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const UCHAR* a = static_cast<const UCHAR*>(Source1);
  const UCHAR* b = static_cast<const UCHAR*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

}  // extern "C"

namespace host::objects {

std::string ToUtf8(const UNICODE_STRING& s) { return IopUtf8(&s); }
std::string ToUtf8(const WCHAR* s) { return s == nullptr ? std::string() : IopUtf8(s, IopWcsLen(s)); }
std::u16string ToUtf16(const std::string& s) { return IopUtf16(s); }

}  // namespace host::objects

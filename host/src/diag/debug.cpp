// Debugger output (DbgPrint) and bug checks (KeBugCheckEx).
//
// DbgPrint formats as the platform's kernel does, not as the C library would: 'l' is 32 bits
// (LONG/ULONG), 'I64' and 'll' are 64 bits, 'I' is pointer-sized; %ws, %ls and %S print a wide
// (16-bit) string, %wZ a UNICODE_STRING, %Z an ANSI_STRING, %wc and %C a wide character. Each
// call is captured as one text (DbgPrintCalls) and appended to DbgPrintText; echoing to stderr
// is optional.
#include <cstdarg>
#include <cstdio>

#include "internal/core.h"

using host::verifier::Rule;

namespace host::internal {

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string Utf16ToUtf8(const uint16_t* s, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < count && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, c);
  }
  return out;
}

namespace {

struct DebugState {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::string text;
  bool echo = false;
};
DebugState& D() {
  static DebugState* d = new DebugState;
  return *d;
}

size_t WideLength(const uint16_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

std::string Pad(std::string text, const std::string& flags, int width, int precision) {
  if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text.resize(precision);
  if (width > 0 && text.size() < static_cast<size_t>(width)) {
    std::string fill(static_cast<size_t>(width) - text.size(), ' ');
    text = flags.find('-') != std::string::npos ? text + fill : fill + text;
  }
  return text;
}

std::string FormatNumber(const std::string& flags, int width, int precision, char conversion,
                         long long value) {
  std::string spec = "%" + flags;
  if (width >= 0) spec += std::to_string(width);
  if (precision >= 0) spec += "." + std::to_string(precision);
  spec += "ll";
  spec += conversion;
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
  return buffer;
}

}  // namespace

std::string FormatKernelText(const char* format, va_list args) {
  std::string out;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    ++p;
    std::string flags;
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') flags += *p++;
    int width = -1;
    if (*p == '*') {
      width = va_arg(args, int);
      if (width < 0) {
        flags += '-';
        width = -width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') width = (width < 0 ? 0 : width * 10) + (*p++ - '0');
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      precision = 0;
      if (*p == '*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
      }
    }
    enum { Int, Char, Short, Long32, Long64, Size } length = Int;
    bool wide = false, narrow = false;
    for (;;) {
      if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
        length = Long64;
        p += 3;
      } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
        length = Long32;
        p += 3;
      } else if (*p == 'I' || *p == 'z' || *p == 't' || *p == 'j') {
        length = Size;
        ++p;
      } else if (p[0] == 'l' && p[1] == 'l') {
        length = Long64;
        p += 2;
      } else if (*p == 'l') {
        length = Long32;
        wide = true;
        ++p;
      } else if (p[0] == 'h' && p[1] == 'h') {
        length = Char;
        p += 2;
      } else if (*p == 'h') {
        length = Short;
        narrow = true;
        ++p;
      } else if (*p == 'w') {
        wide = true;
        ++p;
      } else {
        break;
      }
    }
    const char conversion = *p;
    if (conversion == '\0') break;
    switch (conversion) {
      case 'd':
      case 'i': {
        long long v;
        switch (length) {
          case Long64: v = va_arg(args, long long); break;
          case Size: v = va_arg(args, ptrdiff_t); break;
          case Char: v = static_cast<signed char>(va_arg(args, int)); break;
          case Short: v = static_cast<short>(va_arg(args, int)); break;
          default: v = static_cast<int32_t>(va_arg(args, int)); break;
        }
        out += FormatNumber(flags, width, precision, 'd', v);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long v;
        switch (length) {
          case Long64: v = va_arg(args, unsigned long long); break;
          case Size: v = va_arg(args, size_t); break;
          case Char: v = static_cast<unsigned char>(va_arg(args, unsigned)); break;
          case Short: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
          default: v = static_cast<uint32_t>(va_arg(args, unsigned)); break;
        }
        out += FormatNumber(flags, width, precision, conversion, static_cast<long long>(v));
        break;
      }
      case 'p': {
        void* v = va_arg(args, void*);
        out += Pad(Hex(reinterpret_cast<uintptr_t>(v)), flags, width, -1);
        break;
      }
      case 'c':
      case 'C': {
        int v = va_arg(args, int);
        std::string c;
        if ((conversion == 'C' && !narrow) || wide) {
          AppendUtf8(c, static_cast<uint16_t>(v));
        } else {
          c += static_cast<char>(v);
        }
        out += Pad(c, flags, width, -1);
        break;
      }
      case 's':
      case 'S': {
        void* v = va_arg(args, void*);
        std::string s;
        if (v == nullptr) {
          s = "(null)";
        } else if ((conversion == 'S' && !narrow) || (conversion == 's' && wide)) {
          auto* w = static_cast<const uint16_t*>(v);
          s = Utf16ToUtf8(w, WideLength(w));
        } else {
          s = static_cast<const char*>(v);
        }
        out += Pad(s, flags, width, precision);
        break;
      }
      case 'Z': {
        void* v = va_arg(args, void*);
        std::string s;
        if (v == nullptr) {
          s = "(null)";
        } else if (wide) {
          auto* u = static_cast<const UNICODE_STRING*>(v);
          s = u->Buffer ? Utf16ToUtf8(reinterpret_cast<const uint16_t*>(u->Buffer), u->Length / 2) : "(null)";
        } else {
          auto* a = static_cast<const ANSI_STRING*>(v);
          s = a->Buffer ? std::string(a->Buffer, a->Length) : "(null)";
        }
        out += Pad(s, flags, width, precision);
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        double v = va_arg(args, double);
        std::string spec = "%" + flags;
        if (width >= 0) spec += std::to_string(width);
        if (precision >= 0) spec += "." + std::to_string(precision);
        spec += conversion;
        char buffer[512];
        std::snprintf(buffer, sizeof buffer, spec.c_str(), v);
        out += buffer;
        break;
      }
      case 'n':
        (void)va_arg(args, void*);
        break;
      case '%':
        out += '%';
        break;
      default:
        out += '%';
        out += conversion;
        break;
    }
  }
  return out;
}

void DebugSessionStart() {
  DebugState& d = D();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.calls.clear();
  d.text.clear();
}

}  // namespace host::internal

namespace host::debug {

std::string DbgPrintText() {
  auto& d = internal::D();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.text;
}

std::vector<std::string> DbgPrintCalls() {
  auto& d = internal::D();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.calls;
}

void ClearDbgPrint() { internal::DebugSessionStart(); }

void SetDbgPrintEcho(bool echo) {
  auto& d = internal::D();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.echo = echo;
}

}  // namespace host::debug

using namespace host::internal;

namespace {

const char* BugCheckName(ULONG code) {
  switch (code) {
    case 0x0A: return "IRQL_NOT_LESS_OR_EQUAL";
    case 0x1E: return "KMODE_EXCEPTION_NOT_HANDLED";
    case 0x44: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case 0x4A: return "IRQL_GT_ZERO_AT_SYSTEM_SERVICE";
    case 0xC2: return "BAD_POOL_CALLER";
    case 0xC4: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case 0xCE: return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case 0xD1: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case 0xF7: return "DRIVER_OVERRAN_STACK_BUFFER";
    default: return nullptr;
  }
}

}  // namespace

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  ULONG status = host::internal::DbgPrintList(Format, args);
  va_end(args);
  return status;
}

}  // extern "C"

ULONG host::internal::DbgPrintList(PCSTR Format, va_list Arguments) {
  std::string text = FormatKernelText(Format, Arguments);
  bool echo;
  {
    auto& d = D();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.calls.push_back(text);
    d.text += text;
    echo = d.echo;
  }
  if (echo) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }
  if (TraceOn()) Trace("DbgPrint(\"%s\")", text.c_str());
  return STATUS_SUCCESS;
}

extern "C" {

// The platform stops here. The host reports Rule::BugCheck; the default handler ends the
// process. When a handler or a capture scope returns, the calling routine is unwound up to the
// kernel code that started it (see BugCheckUnwind in internal/core.h), since KeBugCheckEx never
// returns.
VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
  const char* name = BugCheckName(BugCheckCode);
  Report(Rule::BugCheck,
         host::internal::Format("KeBugCheckEx(0x%08X%s%s, %s, %s, %s, %s) called from %s", BugCheckCode,
                name ? " " : "", name ? name : "", Hex(BugCheckParameter1).c_str(),
                Hex(BugCheckParameter2).c_str(), Hex(BugCheckParameter3).c_str(),
                Hex(BugCheckParameter4).c_str(), Symbolize(__builtin_return_address(0)).c_str()));
  throw BugCheckUnwind{BugCheckCode};
}

}  // extern "C"

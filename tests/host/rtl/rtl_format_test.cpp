// _snwprintf: the conversions drivers use, the wide/narrow string rules, widths, and the
// "does not fit" contract.
#include "io_test_support.h"

namespace {

using host::objects::ToUtf8;

class HostFormat : public host::testing::DeterministicTest {};

template <typename... Args>
std::string Format(const WCHAR* format, Args... args) {
  WCHAR buffer[128];
  int n = _snwprintf(buffer, 128, format, args...);
  EXPECT_GE(n, 0);
  return n < 0 ? std::string("<overflow>") : ToUtf8(buffer);
}

TEST_F(HostFormat, WideAndNarrowStringsFollowTheWideFunctionsRules) {
  EXPECT_EQ(Format(L"\\DosDevices\\%ws", L"COM7"), "\\DosDevices\\COM7");
  EXPECT_EQ(Format(L"%s|%ls", L"wide", L"also wide"), "wide|also wide");
  EXPECT_EQ(Format(L"%S|%hs", "narrow", "also narrow"), "narrow|also narrow");
  EXPECT_EQ(Format(L"%c%C%hc%wc", L'w', 'n', 'h', L'x'), "wnhx");
  EXPECT_EQ(Format(L"[%ws]", static_cast<const WCHAR*>(nullptr)), "[(null)]");
  EXPECT_EQ(Format(L"%.2ws|%-5S|%5ws", L"abcdef", "ab", L"cd"), "ab|ab   |   cd");
}

TEST_F(HostFormat, IntegersWithWidthsFlagsAndSizes) {
  EXPECT_EQ(Format(L"%d %i %u", -5, 7, 4294967295u), "-5 7 4294967295");
  EXPECT_EQ(Format(L"%x %X %08x %#x", 0xbeefu, 0xbeefu, 0x1fu, 255u), "beef BEEF 0000001f 0xff");
  EXPECT_EQ(Format(L"%5d|%-5d|%05d|%+d", 42, 42, -42, 42), "   42|42   |-0042|+42");
  EXPECT_EQ(Format(L"%ld %lu %lx", static_cast<LONG>(-1), static_cast<ULONG>(3), static_cast<ULONG>(0xA)), "-1 3 a");
  EXPECT_EQ(Format(L"%I64d %lld", static_cast<long long>(-1) << 40, 1LL << 40), "-1099511627776 1099511627776");
  EXPECT_EQ(Format(L"%*d|%.3d", 4, 7, 7), "   7|007");
  EXPECT_EQ(Format(L"100%%"), "100%");
  EXPECT_EQ(Format(L"%o", 8u), "10");
}

TEST_F(HostFormat, CountedStrings) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, L"\\Device\\TAVRINMDM0");
  ANSI_STRING a;
  RtlInitAnsiString(&a, "ansi");
  EXPECT_EQ(Format(L"%wZ %Z", &u, &a), "\\Device\\TAVRINMDM0 ansi");
}

TEST_F(HostFormat, TextThatDoesNotFitReturnsMinusOneWithoutTerminator) {
  WCHAR buffer[8];
  for (WCHAR& c : buffer) c = L'#';
  EXPECT_EQ(_snwprintf(buffer, 4, L"%ws", L"COM10"), -1);
  EXPECT_EQ(ToUtf8(UNICODE_STRING{8, 8, buffer}), "COM1");
  EXPECT_EQ(buffer[4], L'#');  // nothing written past Count

  for (WCHAR& c : buffer) c = L'#';
  EXPECT_EQ(_snwprintf(buffer, 4, L"COM1"), 4);  // exactly Count: fits, no terminator
  EXPECT_EQ(buffer[4], L'#');

  EXPECT_EQ(_snwprintf(buffer, 5, L"COM1"), 4);
  EXPECT_EQ(buffer[4], 0);
  EXPECT_EQ(_snwprintf(buffer, 0, L"x"), -1);
}

}  // namespace

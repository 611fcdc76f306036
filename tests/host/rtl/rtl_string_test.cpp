// Counted strings: lengths, truncation, terminators, overflow statuses, conversions.
#include "io_test_support.h"

#include "internal/kernel.h"

namespace {

using host::objects::ToUtf8;

std::string Text(const UNICODE_STRING& s) { return ToUtf8(s); }

class HostString : public host::testing::DeterministicTest {};

TEST_F(HostString, InitSetsLengthsWithoutCopying) {
  static const WCHAR kText[] = L"COM7";
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, kText);
  EXPECT_EQ(s.Length, 8);
  EXPECT_EQ(s.MaximumLength, 10);
  EXPECT_EQ(s.Buffer, kText);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
  ANSI_STRING a;
  RtlInitAnsiString(&a, "abc");
  EXPECT_EQ(a.Length, 3);
  EXPECT_EQ(a.MaximumLength, 4);
}

TEST_F(HostString, CopyTruncatesToMaximumAndTerminatesOnlyWhenAWholeCharacterFits) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, L"ABCDEF");
  WCHAR buffer[8];
  for (WCHAR& c : buffer) c = L'#';
  UNICODE_STRING dest{0, 8, buffer};  // room for 4 characters, no terminator
  RtlCopyUnicodeString(&dest, &source);
  EXPECT_EQ(dest.Length, 8);
  EXPECT_EQ(Text(dest), "ABCD");
  EXPECT_EQ(buffer[4], L'#');

  dest.MaximumLength = 16;
  RtlCopyUnicodeString(&dest, &source);
  EXPECT_EQ(dest.Length, 12);
  EXPECT_EQ(buffer[6], 0);

  // An odd maximum length: three whole characters and half a one; no terminator half-written.
  for (WCHAR& c : buffer) c = L'#';
  dest.MaximumLength = 7;
  RtlCopyUnicodeString(&dest, &source);
  EXPECT_EQ(dest.Length, 7);
  EXPECT_EQ(buffer[3] & 0xFF, 'D');
  EXPECT_EQ(buffer[4], L'#');

  RtlCopyUnicodeString(&dest, nullptr);
  EXPECT_EQ(dest.Length, 0);
}

TEST_F(HostString, AppendFailsWholeWhenItDoesNotFit) {
  WCHAR buffer[5];
  UNICODE_STRING dest{0, sizeof buffer, buffer};
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"AB"), STATUS_SUCCESS);
  EXPECT_EQ(buffer[2], 0);  // terminated: room left
  UNICODE_STRING more;
  RtlInitUnicodeString(&more, L"CDEF");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &more), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Text(dest), "AB");
  RtlInitUnicodeString(&more, L"CD");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &more), STATUS_SUCCESS);
  EXPECT_EQ(Text(dest), "ABCD");
  EXPECT_EQ(buffer[4], 0);
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"E"), STATUS_SUCCESS);  // exactly full
  EXPECT_EQ(dest.Length, 10);
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"F"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, nullptr), STATUS_SUCCESS);
}

TEST_F(HostString, IntegerToStringInEveryBaseNeedsRoomForTheTerminator) {
  WCHAR buffer[40];
  UNICODE_STRING s{0, sizeof buffer, buffer};
  EXPECT_EQ(RtlIntegerToUnicodeString(10, 10, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), "10");
  EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), "BEEF");
  EXPECT_EQ(RtlIntegerToUnicodeString(8, 8, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), "10");
  EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), "101");
  EXPECT_EQ(RtlIntegerToUnicodeString(0xFFFFFFFF, 0, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), "4294967295");
  EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &s), STATUS_INVALID_PARAMETER);
  s.MaximumLength = 4;  // "10" needs 4 bytes plus 2 for the terminator
  s.Length = 0;
  EXPECT_EQ(RtlIntegerToUnicodeString(10, 10, &s), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(s.Length, 0);
  s.MaximumLength = 6;
  EXPECT_EQ(RtlIntegerToUnicodeString(10, 10, &s), STATUS_SUCCESS);
}

TEST_F(HostString, StringToIntegerStopsAtTheFirstNonDigit) {
  auto parse = [](const WCHAR* text, ULONG base) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    ULONG value = 12345;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, base, &value), STATUS_SUCCESS);
    return value;
  };
  EXPECT_EQ(parse(L"  42", 10), 42u);
  EXPECT_EQ(parse(L"0x1F", 0), 31u);
  EXPECT_EQ(parse(L"0b101", 0), 5u);
  EXPECT_EQ(parse(L"0o17", 0), 15u);
  EXPECT_EQ(parse(L"ff", 16), 255u);
  EXPECT_EQ(parse(L"-1", 10), 0xFFFFFFFFu);
  EXPECT_EQ(parse(L"12abc", 10), 12u);
  EXPECT_EQ(parse(L"xyz", 10), 0u);
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, L"1");
  ULONG value;
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, 3, &value), STATUS_INVALID_PARAMETER);
}

TEST_F(HostString, ComparisonsWithAndWithoutCase) {
  UNICODE_STRING a, b, c;
  RtlInitUnicodeString(&a, L"\\DosDevices\\COM7");
  RtlInitUnicodeString(&b, L"\\dosdevices\\com7");
  RtlInitUnicodeString(&c, L"\\DosDevices\\COM");
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
  EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);  // 'D' < 'd'
  EXPECT_GT(RtlCompareUnicodeString(&a, &c, TRUE), 0);   // longer
  EXPECT_LT(RtlCompareUnicodeString(&c, &a, TRUE), 0);
}

TEST_F(HostString, FreeReleasesSystemBuffersAndToleratesNull) {
  UNICODE_STRING s{0, 0, nullptr};
  RtlFreeUnicodeString(&s);  // nothing to free
  s.Buffer = static_cast<PWSTR>(host::internal::SystemAllocate(8, "test name", true));
  s.Length = 2;
  s.MaximumLength = 8;
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, 1u);  // charged to the driver
  RtlFreeUnicodeString(&s);
  EXPECT_EQ(s.Buffer, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, 0u);
}

TEST_F(HostString, CompareMemoryCountsTheMatchingPrefix) {
  const char a[] = "abcdef";
  const char b[] = "abcxef";
  EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
  EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST_F(HostString, Utf8AndUtf16RoundTripIncludingSurrogates) {
  std::string text = "COM7 \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  std::u16string wide = host::objects::ToUtf16(text);
  EXPECT_EQ(wide.size(), 11u);  // the last character is a surrogate pair
  UNICODE_STRING s{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2),
                   reinterpret_cast<PWSTR>(wide.data())};
  EXPECT_EQ(Text(s), text);
}

}  // namespace

// The "PortName" value: which values name the port and which fail the start, leaving nothing
// behind. The 128-byte port name buffer is never read past its end.

#include <gtest/gtest.h>

#include "port_names_checks.h"

namespace {

using nametest::Added;
using nametest::DeviceNameOf;
using nametest::ExpectNamed;
using nametest::ExpectUnnamed;
using nametest::SerialCommValue;

std::vector<uint8_t> Units(const std::string& text, bool terminate) {
  return sim::BusDevice::Utf16Bytes(text, terminate);
}

// Starts with the value given raw; the start's status.
NTSTATUS StartWith(Added& tb, ULONG type, const std::vector<uint8_t>& data) {
  tb.device().SetPortNameRaw(type, data);
  return tb.Start();
}

void ExpectNothingLeft(Added& tb, const std::string& portName) {
  ExpectUnnamed(tb.pdo(), portName, DeviceNameOf(tb.fdo()));
  EXPECT_EQ(tb.Ext()->PnpState, NotStarted);
  EXPECT_EQ(tb.Ext()->DosName.Buffer, nullptr);
  // The undo step released the interface's name.
  EXPECT_EQ(tb.Ext()->InterfaceName.Buffer, nullptr);
}

TEST(PortNamesValue, Com7NamesTheFirstDevice) {
  Added tb("COM7");
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNameOf(tb.fdo()), "\\Device\\TAVRINMDM0");
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7");
  EXPECT_EQ(SerialCommValue("\\Device\\TAVRINMDM0")->data.size(), 10u);
  const UNICODE_STRING& dos = tb.Ext()->DosName;
  EXPECT_EQ(host::objects::ToUtf8(dos), "\\DosDevices\\COM7");
  EXPECT_EQ(dos.MaximumLength, dos.Length);
  EXPECT_EQ(dos.Buffer[dos.Length / sizeof(WCHAR)], 0);
  EXPECT_EQ(tb.Ext()->PnpState, Started);
  // The port answers to its COM name (the open itself is the open path's business).
  EXPECT_EQ(host::objects::Resolve("\\??\\COM7"), tb.fdo());
}

TEST(PortNamesValue, SixtyThreeCharactersAndTheTerminatorFillTheBuffer) {
  Added tb("");
  const std::string name = "P" + std::string(62, 'x');
  ASSERT_EQ(Units(name, true).size(), 128u);
  ASSERT_EQ(StartWith(tb, REG_SZ, Units(name, true)), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), name);
}

TEST(PortNamesValue, TooLongForTheBufferFailsTheStart) {
  // 64 characters and the terminator: fits the query, not the port name buffer.
  Added tb("");
  const std::string name(64, 'y');
  EXPECT_EQ(StartWith(tb, REG_SZ, Units(name, true)), STATUS_INSUFFICIENT_RESOURCES);
  ExpectNothingLeft(tb, name);
}

TEST(PortNamesValue, TooLongForTheQueryFailsWithTheRegistrysOverflowStatus) {
  Added tb("");
  const std::string name(80, 'z');
  EXPECT_EQ(StartWith(tb, REG_SZ, Units(name, true)), STATUS_BUFFER_OVERFLOW);
  ExpectNothingLeft(tb, name);
}

TEST(PortNamesValue, FullBufferWithoutTerminatorIsRefusedLikeATooLongOne) {
  Added tb("");
  const std::string name(64, 'q');
  ASSERT_EQ(Units(name, false).size(), 128u);
  EXPECT_EQ(StartWith(tb, REG_SZ, Units(name, false)), STATUS_INSUFFICIENT_RESOURCES);
  ExpectNothingLeft(tb, name);
  ExpectNothingLeft(tb, name.substr(0, 63));
}

TEST(PortNamesValue, FullBufferWithATerminatorInsideNamesThePortUpToIt) {
  Added tb("");
  std::vector<uint8_t> data = Units("COM4", true);
  while (data.size() < 128) data.push_back('j');
  ASSERT_EQ(StartWith(tb, REG_SZ, data), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM4");
}

TEST(PortNamesValue, ShortValueWithoutTerminatorIsTerminatedByTheBuffer) {
  Added tb("");
  ASSERT_EQ(StartWith(tb, REG_SZ, Units("COM8", false)), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM8");
}

TEST(PortNamesValue, ExpandableStringIsTakenLiterally) {
  Added tb("");
  ASSERT_EQ(StartWith(tb, REG_EXPAND_SZ, Units("COM9", true)), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM9");
}

TEST(PortNamesValue, ValuesThatAreNotStringsAreRefused) {
  struct Case {
    const char* what;
    ULONG type;
    std::vector<uint8_t> data;
  };
  const std::vector<Case> cases = {
      {"binary", REG_BINARY, Units("COM7", true)},
      {"dword", REG_DWORD, {0x43, 0x00, 0x4F, 0x00}},
      {"multi-string", REG_MULTI_SZ, Units(std::string("COM7") + '\0', true)},
      {"none", REG_NONE, Units("COM7", true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Added tb("");
    EXPECT_EQ(StartWith(tb, c.type, c.data), STATUS_OBJECT_NAME_INVALID);
    ExpectNothingLeft(tb, "COM7");
  }
}

TEST(PortNamesValue, EmptyOddOrNamelessValuesAreRefused) {
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
  };
  std::vector<uint8_t> odd = Units("COM7", false);
  odd.push_back('x');
  const std::vector<Case> cases = {
      {"no data", {}},
      {"odd length", odd},
      {"a lone terminator", {0, 0}},
      {"a single byte", {'C'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Added tb("");
    const size_t linksBefore = host::objects::SymbolicLinks().size();
    EXPECT_EQ(StartWith(tb, REG_SZ, c.data), STATUS_OBJECT_NAME_INVALID);
    ExpectNothingLeft(tb, "COM7");
    // In particular no link named "\DosDevices\" itself.
    EXPECT_EQ(host::objects::SymbolicLinks().size(), linksBefore);
  }
}

TEST(PortNamesValue, MissingValueFailsTheStartWithTheRegistrysStatus) {
  Added tb("");
  EXPECT_EQ(tb.Start(), STATUS_OBJECT_NAME_NOT_FOUND);
  ExpectNothingLeft(tb, "COM7");
  EXPECT_EQ(host::registry::ValueNames(host::registry::kSerialComm).size(), 0u);
}

TEST(PortNamesValue, ReadPortNameFillsTheRestOfTheBufferWithZeros) {
  Added tb("COM12");
  WCHAR buffer[64];
  memset(buffer, 0xAB, sizeof(buffer));
  ASSERT_EQ(ReadPortName(tb.Ext(), buffer, sizeof(buffer)), STATUS_SUCCESS);
  EXPECT_EQ(host::objects::ToUtf8(buffer), "COM12");
  for (size_t i = 5; i < 64; ++i) EXPECT_EQ(buffer[i], 0) << i;
}

}  // namespace

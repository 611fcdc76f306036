// The C ABI's records, error mapping and BuildCommDCB, as tables; nothing here needs the port.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "kernel32/kernel32.h"

namespace {

// The layouts a Windows program compiled for this width expects (Win32 on the 32-bit host,
// Windows x64 on the 64-bit host): sizes and the offsets of the members that move with width.
TEST(Kernel32Abi, RecordsHaveThePlatformLayouts) {
  struct Row {
    const char* what;
    size_t actual, win32, x64;
  };
  const Row rows[] = {
      {"sizeof OVERLAPPED", sizeof(OVERLAPPED), 20, 32},
      {"OVERLAPPED.InternalHigh", offsetof(OVERLAPPED, InternalHigh), 4, 8},
      {"OVERLAPPED.Offset", offsetof(OVERLAPPED, Offset), 8, 16},
      {"OVERLAPPED.Pointer", offsetof(OVERLAPPED, Pointer), 8, 16},
      {"OVERLAPPED.hEvent", offsetof(OVERLAPPED, hEvent), 16, 24},
      {"sizeof SECURITY_ATTRIBUTES", sizeof(SECURITY_ATTRIBUTES), 12, 24},
      {"sizeof DCB", sizeof(DCB), 28, 28},
      {"DCB.XonLim", offsetof(DCB, XonLim), 14, 14},
      {"DCB.XonChar", offsetof(DCB, XonChar), 21, 21},
      {"DCB.wReserved1", offsetof(DCB, wReserved1), 26, 26},
      {"sizeof COMMTIMEOUTS", sizeof(COMMTIMEOUTS), 20, 20},
      {"sizeof COMSTAT", sizeof(COMSTAT), 12, 12},
      {"COMSTAT.cbInQue", offsetof(COMSTAT, cbInQue), 4, 4},
      {"sizeof COMMPROP", sizeof(COMMPROP), 64, 64},
      {"COMMPROP.wSettableData", offsetof(COMMPROP, wSettableData), 40, 40},
      {"COMMPROP.wcProvChar", offsetof(COMMPROP, wcProvChar), 60, 60},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.actual, sizeof(void*) == 4 ? row.win32 : row.x64) << row.what;
  }
  // The DCB's bit fields in the platform's order, from bit 0 of the third DWORD.
  DCB dcb;
  std::memset(&dcb, 0, sizeof(dcb));
  dcb.fBinary = 1;
  dcb.fDtrControl = 2;
  dcb.fRtsControl = 3;
  dcb.fAbortOnError = 1;
  uint32_t bits;
  std::memcpy(&bits, reinterpret_cast<const char*>(&dcb) + 8, 4);
  EXPECT_EQ(bits, 0x1u | (2u << 4) | (3u << 12) | (1u << 14));
}

// GetLastError after a failed request, from the NTSTATUS the driver or I/O manager gave.
TEST(Kernel32Abi, ErrorsAreMappedAsThePlatformMapsThem) {
  const struct {
    uint32_t status;
    DWORD error;
  } rows[] = {
      {0x00000000, 0},      // STATUS_SUCCESS
      {0x00000102, 0},      // STATUS_TIMEOUT: a read ended by its timeout succeeded
      {0x00000103, 997},    // STATUS_PENDING: ERROR_IO_PENDING
      {0xC0000120, 995},    // STATUS_CANCELLED: ERROR_OPERATION_ABORTED
      {0xC000000D, 87},     // STATUS_INVALID_PARAMETER
      {0xC0000022, 5},      // STATUS_ACCESS_DENIED
      {0xC0000056, 5},      // STATUS_DELETE_PENDING
      {0xC0000034, 2},      // STATUS_OBJECT_NAME_NOT_FOUND: ERROR_FILE_NOT_FOUND
      {0xC000000E, 2},      // STATUS_NO_SUCH_DEVICE
      {0xC0000184, 22},     // STATUS_INVALID_DEVICE_STATE: ERROR_BAD_COMMAND
      {0xC0000010, 1},      // STATUS_INVALID_DEVICE_REQUEST: ERROR_INVALID_FUNCTION
      {0xC0000023, 122},    // STATUS_BUFFER_TOO_SMALL
      {0xC000009A, 1450},   // STATUS_INSUFFICIENT_RESOURCES
      {0xC00002B6, 1617},   // STATUS_DEVICE_REMOVED
      {0xC0000008, 6},      // STATUS_INVALID_HANDLE
      {0xC0000225, 1168},   // STATUS_NOT_FOUND
      {0xC0000004, 24},     // STATUS_INFO_LENGTH_MISMATCH: ERROR_BAD_LENGTH
      {0xC0DEC0DE, 317},    // unknown: ERROR_MR_MID_NOT_FOUND
  };
  for (const auto& row : rows) {
    EXPECT_EQ(tavrin_k32_ErrorFromStatus(static_cast<int32_t>(row.status)), row.error)
        << std::hex << row.status;
  }
}

TEST(Kernel32Abi, BuildCommDcbTakesBothForms) {
  const struct {
    const char* text;
    BOOL ok;
    DWORD baud;
    BYTE parity, data, stop;
    unsigned outX, cts, dtr, rts;
  } rows[] = {
      {"COM7: baud=115200 parity=N data=8 stop=1", TRUE, 115200, 0, 8, 0, 0, 0, 0, 0},
      {"baud=2400 parity=e data=7 stop=2 xon=on dtr=hs rts=tg", TRUE, 2400, 2, 7, 2, 1, 0, 2, 3},
      {"baud=110 octs=on", TRUE, 110, 0, 8, 2, 0, 1, 0, 0},  // 110 baud: two stop bits
      {"96,n,8,1", TRUE, 9600, 0, 8, 0, 0, 0, 1, 1},
      {"COM1:1200,o,7,1.5,p", TRUE, 1200, 1, 7, 1, 0, 1, 2, 2},
      {"19,n,8,1,x", TRUE, 19200, 0, 8, 0, 1, 0, 1, 1},
      {"baud=9600 parity=q", FALSE},
      {"baud=9600 data=9", FALSE},
      {"baud=fast", FALSE},
      {"9600,n,8,3", FALSE},
      {"", FALSE},
  };
  for (const auto& row : rows) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.ByteSize = 8;
    SetLastError(0);
    EXPECT_EQ(BuildCommDCBA(row.text, &dcb), row.ok) << row.text;
    if (!row.ok) {
      EXPECT_EQ(GetLastError(), K32_ERROR_INVALID_PARAMETER) << row.text;
      continue;
    }
    EXPECT_EQ(dcb.BaudRate, row.baud) << row.text;
    EXPECT_EQ(dcb.Parity, row.parity) << row.text;
    EXPECT_EQ(dcb.ByteSize, row.data) << row.text;
    EXPECT_EQ(dcb.StopBits, row.stop) << row.text;
    EXPECT_EQ(dcb.fOutX, row.outX) << row.text;
    EXPECT_EQ(dcb.fOutxCtsFlow, row.cts) << row.text;
    EXPECT_EQ(dcb.fDtrControl, row.dtr) << row.text;
    EXPECT_EQ(dcb.fRtsControl, row.rts) << row.text;
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB)) << row.text;
  }
}

}  // namespace

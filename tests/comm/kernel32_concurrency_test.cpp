// A Windows program's sequence through the C ABI, against the driver over the AT modem in the
// library's own threaded host kernel: open, DCB, timeouts, an overlapped read beside an
// overlapped WaitCommEvent, the AT dialogue, cancellation, and the errors a program meets.
// Real threads and real time: every wait is bounded.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kernel32/kernel32.h"

namespace {

constexpr DWORD kWait = 10000;  // ms: bound of every wait that should end by itself

struct Port {
  HANDLE h = K32_INVALID_HANDLE_VALUE;
  ~Port() {
    if (h != K32_INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

TEST(Kernel32Concurrency, OverlappedProgramSequence) {
  Port port;
  port.h = CreateFileA("\\\\.\\COM7", K32_GENERIC_READ | K32_GENERIC_WRITE, 0, nullptr,
                       K32_OPEN_EXISTING, K32_FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(port.h, K32_INVALID_HANDLE_VALUE) << GetLastError();

  // Errors a program meets at open and on handles.
  struct {
    const char* name;
    DWORD error;
  } opens[] = {{"COM7", K32_ERROR_ACCESS_DENIED}, {"COM99", K32_ERROR_FILE_NOT_FOUND}};
  for (auto& row : opens) {
    EXPECT_EQ(CreateFileA(row.name, K32_GENERIC_READ, 0, nullptr, K32_OPEN_EXISTING, 0, nullptr),
              K32_INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), row.error) << row.name;
  }
  EXPECT_FALSE(SetCommMask(reinterpret_cast<HANDLE>(0x7777), 0));
  EXPECT_EQ(GetLastError(), K32_ERROR_INVALID_HANDLE);

  DCB dcb;
  std::memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  ASSERT_TRUE(GetCommState(port.h, &dcb));
  ASSERT_TRUE(BuildCommDCBA("baud=115200 parity=n data=8 stop=1 dtr=on rts=on", &dcb));
  ASSERT_TRUE(SetCommState(port.h, &dcb)) << GetLastError();
  DCB back;
  ASSERT_TRUE(GetCommState(port.h, &back));
  EXPECT_EQ(back.BaudRate, 115200u);
  EXPECT_EQ(back.fDtrControl, 1u);
  DCB same = dcb;
  same.XoffChar = same.XonChar;  // SetCommState refuses XonChar == XoffChar
  EXPECT_FALSE(SetCommState(port.h, &same));
  EXPECT_EQ(GetLastError(), K32_ERROR_INVALID_PARAMETER);

  COMMTIMEOUTS timeouts = {0xFFFFFFFFu, 0xFFFFFFFFu, 5000, 0, 0};  // return with what came
  ASSERT_TRUE(SetCommTimeouts(port.h, &timeouts));
  COMMPROP prop;
  ASSERT_TRUE(GetCommProperties(port.h, &prop));
  EXPECT_EQ(prop.dwServiceMask, 1u);  // SP_SERIALCOMM

  // An overlapped WaitCommEvent beside an overlapped read; the write of ATZ ends both.
  HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(SetCommMask(port.h, 0x0001 /* EV_RXCHAR */));
  OVERLAPPED waitOv{};
  waitOv.hEvent = waitEvent;
  DWORD events = 0;
  BOOL started = WaitCommEvent(port.h, &events, &waitOv);
  ASSERT_TRUE(started || GetLastError() == K32_ERROR_IO_PENDING);

  std::string answer;
  for (int round = 0; round < 20 && answer.find("OK") == std::string::npos; ++round) {
    char buffer[64];
    OVERLAPPED readOv{};
    readOv.hEvent = readEvent;
    DWORD n = 0;
    BOOL ok = ReadFile(port.h, buffer, sizeof(buffer), &n, &readOv);
    if (!ok) {
      ASSERT_EQ(GetLastError(), K32_ERROR_IO_PENDING);
      if (round == 0) {
        // Nothing written yet: the read is in flight and its event not set.
        EXPECT_FALSE(GetOverlappedResult(port.h, &readOv, &n, FALSE));
        EXPECT_EQ(GetLastError(), K32_ERROR_IO_INCOMPLETE);
        DWORD written = 0;
        OVERLAPPED writeOv{};
        BOOL w = WriteFile(port.h, "ATZ\r", 4, &written, &writeOv);
        if (!w) {
          ASSERT_EQ(GetLastError(), K32_ERROR_IO_PENDING);
          ASSERT_TRUE(GetOverlappedResult(port.h, &writeOv, &written, TRUE));
        }
        EXPECT_EQ(written, 4u);
      }
      HANDLE both[] = {readEvent, waitEvent};
      DWORD which = WaitForMultipleObjects(2, both, TRUE, kWait);
      ASSERT_EQ(which, K32_WAIT_OBJECT_0) << "both requests end once bytes arrive";
      ASSERT_TRUE(GetOverlappedResult(port.h, &readOv, &n, FALSE));
    }
    answer.append(buffer, n);
  }
  EXPECT_NE(answer.find("OK"), std::string::npos) << answer;
  DWORD ignored = 0;
  EXPECT_TRUE(GetOverlappedResult(port.h, &waitOv, &ignored, TRUE));
  EXPECT_EQ(events & 0x0001u, 0x0001u);

  // A read nothing answers, cancelled by its OVERLAPPED; a second CancelIoEx finds nothing.
  COMMTIMEOUTS forever = {0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port.h, &forever));
  char buffer[16];
  OVERLAPPED readOv{};
  readOv.hEvent = readEvent;
  DWORD n = 99;
  ASSERT_FALSE(ReadFile(port.h, buffer, sizeof(buffer), &n, &readOv));
  ASSERT_EQ(GetLastError(), K32_ERROR_IO_PENDING);
  EXPECT_EQ(n, 0u);  // ReadFile zeroes the count
  EXPECT_EQ(WaitForSingleObject(readEvent, 50), K32_WAIT_TIMEOUT);
  ASSERT_TRUE(CancelIoEx(port.h, &readOv));
  ASSERT_EQ(WaitForSingleObject(readEvent, kWait), K32_WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(port.h, &readOv, &n, FALSE));
  EXPECT_EQ(GetLastError(), K32_ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIoEx(port.h, &readOv));
  EXPECT_EQ(GetLastError(), K32_ERROR_NOT_FOUND);

  // CancelIo: the calling thread's requests (a WaitCommEvent here).
  OVERLAPPED again{};
  again.hEvent = waitEvent;
  ASSERT_FALSE(WaitCommEvent(port.h, &events, &again));
  ASSERT_EQ(GetLastError(), K32_ERROR_IO_PENDING);
  ASSERT_TRUE(CancelIo(port.h));
  EXPECT_FALSE(GetOverlappedResult(port.h, &again, &n, TRUE));
  EXPECT_EQ(GetLastError(), K32_ERROR_OPERATION_ABORTED);

  DWORD modem = 0, errors = 0;
  COMSTAT stat;
  EXPECT_TRUE(GetCommModemStatus(port.h, &modem));
  EXPECT_TRUE(ClearCommError(port.h, &errors, &stat));
  EXPECT_TRUE(CloseHandle(readEvent));
  EXPECT_TRUE(CloseHandle(waitEvent));
  EXPECT_TRUE(CloseHandle(port.h));
  EXPECT_FALSE(CloseHandle(port.h));
  EXPECT_EQ(GetLastError(), K32_ERROR_INVALID_HANDLE);
  port.h = K32_INVALID_HANDLE_VALUE;
}

}  // namespace

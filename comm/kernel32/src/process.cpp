// What a console program calls beside the serial functions: its standard handles, its command
// line, Sleep and ExitProcess, and the table its imports are bound from (a program image mapped
// by the host's loader, mdmhost exec).
#include <unistd.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <thread>

#include "kernel32/kernel32.h"
#include "kernel32_internal.h"

namespace kernel32 {
namespace {

// GetStdHandle's handles are fixed pseudo-handles (the platform's are the console's).
constexpr uintptr_t kStdOutput = 0x10;
constexpr uintptr_t kStdError = 0x14;

std::mutex gCommandLineMu;
std::string* gCommandLine = new std::string;  // never destroyed: a program may run at exit

// The program RunProgram is running on this thread: where ExitProcess goes back to.
thread_local std::jmp_buf* tExit = nullptr;
thread_local unsigned tExitCode = 0;

}  // namespace

bool IsConsole(void* handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  return value == kStdOutput || value == kStdError;
}

int WriteConsoleBytes(void* handle, const void* data, unsigned long length, uint32_t* written) {
  int fd = reinterpret_cast<uintptr_t>(handle) == kStdError ? 2 : 1;
  const char* p = static_cast<const char*>(data);
  unsigned long done = 0;
  while (done < length) {
    ssize_t n = ::write(fd, p + done, length - done);
    if (n <= 0) break;
    done += static_cast<unsigned long>(n);
  }
  if (written) *written = static_cast<uint32_t>(done);
  return done == length ? TRUE : FALSE;
}

void SetCommandLine(const std::string& commandLine) {
  std::lock_guard<std::mutex> lock(gCommandLineMu);
  *gCommandLine = commandLine;
}

unsigned RunProgram(const void* entry) {
  using Entry = void(WINAPI*)();
  std::jmp_buf exit;
  tExitCode = 0;
  tExit = &exit;
  // ExitProcess comes back here with longjmp over the program's frames (they hold nothing to
  // unwind: a program built without a run-time library has no destructors or handlers).
  if (setjmp(exit) == 0) reinterpret_cast<Entry>(const_cast<void*>(entry))();
  tExit = nullptr;
  return tExitCode;
}

}  // namespace kernel32

using namespace kernel32;

extern "C" {

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  switch (nStdHandle) {
    case static_cast<DWORD>(-11):  // STD_OUTPUT_HANDLE
      return reinterpret_cast<HANDLE>(kStdOutput);
    case static_cast<DWORD>(-12):  // STD_ERROR_HANDLE
      return reinterpret_cast<HANDLE>(kStdError);
    default:  // STD_INPUT_HANDLE: no console input here
      SetLastError(K32_ERROR_INVALID_HANDLE);
      return K32_INVALID_HANDLE_VALUE;
  }
}

const char* WINAPI GetCommandLineA(void) {
  std::lock_guard<std::mutex> lock(gCommandLineMu);
  return gCommandLine->c_str();
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

void WINAPI ExitProcess(unsigned int uExitCode) {
  if (tExit) {
    tExitCode = uExitCode;
    std::longjmp(*tExit, 1);
  }
  std::exit(static_cast<int>(uExitCode));
}

}  // extern "C"

namespace kernel32 {

const void* FindExport(const std::string& dll, const std::string& name) {
  struct Export {
    const char* dll;
    const char* name;
    const void* function;
  };
#define K32(f) {"kernel32.dll", #f, reinterpret_cast<const void*>(&::f)}
#define ADVAPI(f) {"advapi32.dll", #f, reinterpret_cast<const void*>(&::f)}
  static const Export kExports[] = {
      K32(GetLastError), K32(SetLastError), K32(CreateFileA), K32(CreateFileW),
      K32(CloseHandle), K32(ReadFile), K32(WriteFile), K32(FlushFileBuffers),
      K32(GetOverlappedResult), K32(CancelIo), K32(CancelIoEx), K32(DeviceIoControl),
      K32(CreateEventA), K32(CreateEventW), K32(SetEvent), K32(ResetEvent),
      K32(WaitForSingleObject), K32(WaitForMultipleObjects), K32(SetupComm), K32(PurgeComm),
      K32(GetCommState), K32(SetCommState), K32(BuildCommDCBA), K32(GetCommTimeouts),
      K32(SetCommTimeouts), K32(ClearCommError), K32(EscapeCommFunction),
      K32(GetCommModemStatus), K32(GetCommMask), K32(SetCommMask), K32(WaitCommEvent),
      K32(SetCommBreak), K32(ClearCommBreak), K32(TransmitCommChar), K32(GetCommProperties),
      K32(GetStdHandle), K32(GetCommandLineA), K32(ExitProcess), K32(Sleep),
      ADVAPI(RegOpenKeyExA), ADVAPI(RegEnumValueA), ADVAPI(RegQueryValueExA),
      ADVAPI(RegCloseKey),
  };
#undef K32
#undef ADVAPI
  for (const Export& e : kExports) {
    if (strcasecmp(e.dll, dll.c_str()) == 0 && name == e.name) return e.function;
  }
  return nullptr;
}

}  // namespace kernel32

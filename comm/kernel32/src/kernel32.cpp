// kernel32's serial surface over comm/: handles, events, overlapped requests and the serial
// functions, with the platform's BOOL-plus-GetLastError convention.
//
// Handles are small numbers (multiples of 4 from 0x100) naming a file (a comm::Port) or an
// event. An overlapped request the driver leaves pending gets a collector thread that waits for
// it through comm::GetOverlappedResult, so that, as the I/O manager does at completion, the
// buffer (or event word) is written, OVERLAPPED.InternalHigh and Internal are stored and the
// OVERLAPPED's event is set without the program calling anything. A program may then wait with
// WaitForSingleObject/WaitForMultipleObjects on the event, or with GetOverlappedResult.
#include "kernel32/kernel32.h"

#include <comm/comm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "handle.h"  // comm's internal request primitives (DeviceIoControl, full-platform getters)
#include "kernel32_internal.h"

// The records have the platform's layouts for this width: Win32 (ILP32) on the 32-bit host and
// Windows x64 (LLP64) on the 64-bit one.
static_assert(sizeof(DWORD) == 4 && sizeof(BOOL) == 4 && sizeof(WORD) == 2 && sizeof(WCHAR) == 2);
static_assert(sizeof(DCB) == 28 && offsetof(DCB, wReserved) == 12 && offsetof(DCB, XonLim) == 14 &&
              offsetof(DCB, ByteSize) == 18 && offsetof(DCB, XonChar) == 21 &&
              offsetof(DCB, EvtChar) == 25 && offsetof(DCB, wReserved1) == 26);
static_assert(sizeof(COMMTIMEOUTS) == 20 && offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant) == 16);
static_assert(sizeof(COMSTAT) == 12 && offsetof(COMSTAT, cbInQue) == 4 &&
              offsetof(COMSTAT, cbOutQue) == 8);
static_assert(sizeof(COMMPROP) == 64 && offsetof(COMMPROP, dwServiceMask) == 4 &&
              offsetof(COMMPROP, wSettableData) == 40 && offsetof(COMMPROP, dwCurrentTxQueue) == 44 &&
              offsetof(COMMPROP, wcProvChar) == 60);
#if defined(__i386__)
static_assert(sizeof(OVERLAPPED) == 20 && offsetof(OVERLAPPED, InternalHigh) == 4 &&
              offsetof(OVERLAPPED, Offset) == 8 && offsetof(OVERLAPPED, hEvent) == 16);
static_assert(sizeof(SECURITY_ATTRIBUTES) == 12);
#else
static_assert(sizeof(OVERLAPPED) == 32 && offsetof(OVERLAPPED, InternalHigh) == 8 &&
              offsetof(OVERLAPPED, Offset) == 16 && offsetof(OVERLAPPED, OffsetHigh) == 20 &&
              offsetof(OVERLAPPED, hEvent) == 24);
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
#endif
// The same records as comm's (which have the same layouts), so they are copied as they are.
static_assert(sizeof(DCB) == sizeof(comm::DCB) && sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP) &&
              sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));

namespace kernel32 {
namespace {

constexpr uintptr_t kFirstHandle = 0x100;

thread_local DWORD tLastError = 0;

BOOL Fail(DWORD error) {
  tLastError = error;
  return FALSE;
}

// The BOOL a call returns for its final status; a failure sets the thread's last error.
BOOL Result(NTSTATUS status) {
  if (status != STATUS_PENDING && NT_SUCCESS(status)) return TRUE;
  return Fail(comm::ErrorFromStatus(status).code);
}

// Guarded by Waits::mu.
struct EventObject : Object {
  bool manual = true;
  bool signaled = false;
};

struct Pending {
  comm::Overlapped ov;
  OVERLAPPED* user = nullptr;
  std::shared_ptr<EventObject> event;
};

struct FileObject : Object {
  comm::Port port;
  bool overlapped = false;
  std::mutex mu;  // guards pending
  std::map<OVERLAPPED*, std::shared_ptr<Pending>> pending;
};

struct Table {
  std::mutex mu;
  std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
  uintptr_t next = kFirstHandle;
};

// Every wait of this library (events, overlapped results, collectors) uses one lock and one
// condition: a wait for several objects needs them to share one.
struct Waits {
  std::mutex mu;
  std::condition_variable cv;
  int collectors = 0;
};

// Never destroyed: a program's threads may still call in while the process ends.
Table& Handles() {
  static Table* table = new Table;
  return *table;
}
Waits& TheWaits() {
  static Waits* waits = new Waits;
  return *waits;
}

std::mutex gStartMu;
Starter gStarter = nullptr;
bool gStarted = false;

void EnsureStarted() {
  std::lock_guard<std::mutex> lock(gStartMu);
  if (gStarted) return;
  gStarted = true;
  if (gStarter) gStarter();
}

}  // namespace

void* InsertObject(std::shared_ptr<Object> object) {
  Table& t = Handles();
  std::lock_guard<std::mutex> lock(t.mu);
  uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> FindObject(void* handle) {
  Table& t = Handles();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

bool RemoveObject(void* handle) {
  Table& t = Handles();
  std::lock_guard<std::mutex> lock(t.mu);
  return t.objects.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
}

namespace {

HANDLE Insert(std::shared_ptr<Object> object) { return InsertObject(std::move(object)); }

template <class T>
std::shared_ptr<T> Find(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindObject(handle));
}

// OVERLAPPED.Internal holds the request's NTSTATUS (its low 32 bits, as IO_STATUS_BLOCK.Status
// overlays it); it is written last, under the waits' lock, once everything else is in place.
NTSTATUS InternalStatus(const OVERLAPPED* ov) {
  return static_cast<NTSTATUS>(
      static_cast<uint32_t>(__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE)));
}

void SetSignaled(const std::shared_ptr<EventObject>& event, bool signaled) {
  Waits& w = TheWaits();
  std::lock_guard<std::mutex> lock(w.mu);
  event->signaled = signaled;
  if (signaled) w.cv.notify_all();
}

// The I/O manager's completion for an overlapped request: count, status, then the event.
void Complete(OVERLAPPED* ov, NTSTATUS status, DWORD count,
              const std::shared_ptr<EventObject>& event) {
  Waits& w = TheWaits();
  std::lock_guard<std::mutex> lock(w.mu);
  ov->InternalHigh = count;
  __atomic_store_n(&ov->Internal, static_cast<ULONG_PTR>(static_cast<uint32_t>(status)),
                   __ATOMIC_RELEASE);
  if (event) event->signaled = true;
  w.cv.notify_all();
}

using StartFn = std::function<NTSTATUS(comm::Overlapped* ov, DWORD* count)>;

// Sends a request the way the I/O manager does for a handle: on an overlapped handle with an
// OVERLAPPED, the event is reset, the request started, and a request left pending is collected
// in the background (FALSE with ERROR_IO_PENDING); otherwise the call waits. A request given an
// OVERLAPPED on a handle opened without FILE_FLAG_OVERLAPPED is waited for, and the OVERLAPPED
// and its event are completed as well.
BOOL Send(const std::shared_ptr<FileObject>& file, OVERLAPPED* ov, DWORD* count,
          const StartFn& start) {
  if (count) *count = 0;
  std::shared_ptr<EventObject> event;
  if (ov && ov->hEvent) {
    event = Find<EventObject>(ov->hEvent);
    if (!event) return Fail(K32_ERROR_INVALID_HANDLE);
  }
  if (!ov || !file->overlapped) {
    DWORD n = 0;
    NTSTATUS status = start(nullptr, &n);
    if (count) *count = n;
    if (ov) Complete(ov, status, n, event);
    return Result(status);
  }
  auto pending = std::make_shared<Pending>();
  pending->user = ov;
  pending->event = event;
  {
    std::lock_guard<std::mutex> lock(file->mu);
    if (file->pending.count(ov)) return Fail(K32_ERROR_INVALID_PARAMETER);
    file->pending.emplace(ov, pending);
  }
  if (event) SetSignaled(event, false);
  ov->InternalHigh = 0;
  __atomic_store_n(&ov->Internal, static_cast<ULONG_PTR>(STATUS_PENDING), __ATOMIC_RELEASE);
  DWORD n = 0;
  NTSTATUS status = start(&pending->ov, &n);
  if (status != STATUS_PENDING) {
    {
      std::lock_guard<std::mutex> lock(file->mu);
      file->pending.erase(ov);
    }
    Complete(ov, status, n, event);
    if (count) *count = n;
    return Result(status);
  }
  {
    Waits& w = TheWaits();
    std::lock_guard<std::mutex> lock(w.mu);
    ++w.collectors;
  }
  std::thread([file, pending] {
    DWORD n = 0;
    NTSTATUS status = comm::GetOverlappedResult(file->port, pending->ov, &n, /*wait=*/true);
    {
      std::lock_guard<std::mutex> lock(file->mu);
      file->pending.erase(pending->user);
    }
    Complete(pending->user, status, n, pending->event);
    Waits& w = TheWaits();
    std::lock_guard<std::mutex> lock(w.mu);
    --w.collectors;
    w.cv.notify_all();
  }).detach();
  return Fail(K32_ERROR_IO_PENDING);
}

// A control request whose record is copied as far as the driver filled it: the platform's
// DeviceIoControl reports success with the bytes returned, and the comm functions built on it
// show a record answered short as a success with the rest left as it was.
NTSTATUS Query(FileObject& file, ULONG code, const void* input, ULONG inputLength, void* record,
               ULONG size, DWORD* returned = nullptr) {
  host::app::IoResult r = comm::internal::Call(*file.port.state(), comm::RequestKind::Control,
                                               code, input, inputLength, size);
  size_t n = 0;
  if (NT_SUCCESS(r.status)) {
    n = std::min<size_t>(comm::internal::DeliveredBytes(r), size);
    if (record && n) std::memcpy(record, r.output.data(), n);
  }
  if (returned) *returned = static_cast<DWORD>(n);
  return r.status;
}

std::string Narrow(LPCWSTR name) {
  std::string out;
  for (; name && *name; ++name) {
    uint16_t c = static_cast<uint16_t>(*name);
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');  // a COM name is ASCII
  }
  return out;
}

// The waits of WaitForSingleObject/WaitForMultipleObjects, on events only.
DWORD WaitEvents(DWORD count, const HANDLE* handles, bool all, DWORD milliseconds) {
  if (count == 0 || count > K32_MAXIMUM_WAIT_OBJECTS || !handles) {
    tLastError = K32_ERROR_INVALID_PARAMETER;
    return K32_WAIT_FAILED;
  }
  std::vector<std::shared_ptr<EventObject>> events;
  for (DWORD i = 0; i < count; ++i) {
    auto event = Find<EventObject>(handles[i]);
    if (!event) {
      tLastError = K32_ERROR_INVALID_HANDLE;
      return K32_WAIT_FAILED;
    }
    events.push_back(std::move(event));
  }
  Waits& w = TheWaits();
  std::unique_lock<std::mutex> lock(w.mu);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (all) {
      if (std::all_of(events.begin(), events.end(), [](auto& e) { return e->signaled; })) {
        for (auto& e : events) {
          if (!e->manual) e->signaled = false;
        }
        return K32_WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        if (events[i]->signaled) {
          if (!events[i]->manual) events[i]->signaled = false;
          return K32_WAIT_OBJECT_0 + i;
        }
      }
    }
    if (milliseconds == K32_INFINITE) {
      w.cv.wait(lock);
    } else if (w.cv.wait_until(lock, deadline) == std::cv_status::timeout &&
               std::chrono::steady_clock::now() >= deadline) {
      // One more look happens only if something changed; a timeout with nothing signaled ends.
      bool any = all ? std::all_of(events.begin(), events.end(), [](auto& e) { return e->signaled; })
                     : std::any_of(events.begin(), events.end(), [](auto& e) { return e->signaled; });
      if (!any) return K32_WAIT_TIMEOUT;
    }
  }
}

// BuildCommDCB's two forms: "baud=1200 parity=N data=8 stop=1 ..." and "1200,n,8,1[,x|p]",
// optionally after "COMn:".
bool ParseDcb(std::string text, DCB* dcb) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return false;
  text = text.substr(start);
  if (text.rfind("com", 0) == 0) {
    size_t colon = text.find(':');
    size_t space = text.find_first_of(" \t");
    size_t end = colon != std::string::npos ? colon + 1 : space;
    if (end == std::string::npos) return false;
    text = text.substr(end);
  }
  auto parity = [](const std::string& v, BYTE* out) {
    static const char kLetters[] = "noems";
    const char* p = v.size() == 1 ? std::strchr(kLetters, v[0]) : nullptr;
    if (!p || !*p) return false;
    *out = static_cast<BYTE>(p - kLetters);
    return true;
  };
  auto number = [](const std::string& v, DWORD* out) {
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = static_cast<DWORD>(std::stoul(v));
    return true;
  };
  auto stop = [](const std::string& v, BYTE* out) {
    if (v == "1") *out = 0;
    else if (v == "1.5") *out = 1;
    else if (v == "2") *out = 2;
    else return false;
    return true;
  };
  DCB d = *dcb;
  bool stopGiven = false;
  if (text.find('=') == std::string::npos) {
    // The old form (as the MODE command takes it): baud, parity, data, stop, handshake.
    std::vector<std::string> fields;
    std::string field;
    for (char c : text + ",") {
      if (c == ',') {
        size_t a = field.find_first_not_of(" \t"), b = field.find_last_not_of(" \t");
        fields.push_back(a == std::string::npos ? "" : field.substr(a, b - a + 1));
        field.clear();
      } else {
        field.push_back(c);
      }
    }
    if (fields.empty() || fields.size() > 5) return false;
    DWORD baud = 0;
    if (!number(fields[0], &baud)) return false;
    static const std::pair<DWORD, DWORD> kShort[] = {{11, 110}, {15, 150}, {30, 300}, {60, 600},
                                                     {12, 1200}, {24, 2400}, {48, 4800},
                                                     {96, 9600}, {19, 19200}};
    for (auto [abbrev, full] : kShort) {
      if (baud == abbrev) baud = full;
    }
    d.BaudRate = baud;
    if (fields.size() > 1 && !fields[1].empty() && !parity(fields[1], &d.Parity)) return false;
    DWORD bits = 0;
    if (fields.size() > 2 && !fields[2].empty()) {
      if (!number(fields[2], &bits) || bits < 5 || bits > 8) return false;
      d.ByteSize = static_cast<BYTE>(bits);
    }
    if (fields.size() > 3 && !fields[3].empty()) {
      if (!stop(fields[3], &d.StopBits)) return false;
      stopGiven = true;
    }
    d.fOutX = d.fInX = 0;
    d.fOutxCtsFlow = d.fOutxDsrFlow = 0;
    d.fDtrControl = 1;
    d.fRtsControl = 1;
    if (fields.size() > 4) {
      if (fields[4] == "x") {
        d.fOutX = d.fInX = 1;
      } else if (fields[4] == "p") {
        d.fOutxCtsFlow = d.fOutxDsrFlow = 1;
        d.fDtrControl = 2;
        d.fRtsControl = 2;
      } else if (!fields[4].empty()) {
        return false;
      }
    }
  } else {
    size_t pos = 0;
    while (pos < text.size()) {
      size_t a = text.find_first_not_of(" \t", pos);
      if (a == std::string::npos) break;
      size_t b = text.find_first_of(" \t", a);
      std::string item = text.substr(a, b == std::string::npos ? std::string::npos : b - a);
      pos = b == std::string::npos ? text.size() : b;
      size_t eq = item.find('=');
      if (eq == std::string::npos) return false;
      std::string key = item.substr(0, eq), v = item.substr(eq + 1);
      DWORD n = 0;
      auto onOff = [&](DWORD* out) {
        if (v == "on") *out = 1;
        else if (v == "off") *out = 0;
        else return false;
        return true;
      };
      DWORD flag = 0;
      if (key == "baud") {
        if (!number(v, &n)) return false;
        d.BaudRate = n;
      } else if (key == "parity") {
        if (!parity(v, &d.Parity)) return false;
      } else if (key == "data") {
        if (!number(v, &n) || n < 5 || n > 8) return false;
        d.ByteSize = static_cast<BYTE>(n);
      } else if (key == "stop") {
        if (!stop(v, &d.StopBits)) return false;
        stopGiven = true;
      } else if (key == "to") {
        if (!onOff(&flag)) return false;  // total timeouts: not part of the DCB
      } else if (key == "xon") {
        if (!onOff(&flag)) return false;
        d.fOutX = d.fInX = flag;
      } else if (key == "odsr") {
        if (!onOff(&flag)) return false;
        d.fOutxDsrFlow = flag;
      } else if (key == "octs") {
        if (!onOff(&flag)) return false;
        d.fOutxCtsFlow = flag;
      } else if (key == "idsr") {
        if (!onOff(&flag)) return false;
        d.fDsrSensitivity = flag;
      } else if (key == "dtr") {
        if (v == "on") d.fDtrControl = 1;
        else if (v == "off") d.fDtrControl = 0;
        else if (v == "hs") d.fDtrControl = 2;
        else return false;
      } else if (key == "rts") {
        if (v == "on") d.fRtsControl = 1;
        else if (v == "off") d.fRtsControl = 0;
        else if (v == "hs") d.fRtsControl = 2;
        else if (v == "tg") d.fRtsControl = 3;
        else return false;
      } else {
        return false;
      }
    }
  }
  // "If the baud rate is 110, BuildCommDCB uses two stop bits by default."
  if (!stopGiven) d.StopBits = d.BaudRate == 110 ? 2 : 0;
  d.DCBlength = sizeof(DCB);
  d.fBinary = 1;
  *dcb = d;
  return true;
}

}  // namespace

void SetStarter(Starter starter) {
  std::lock_guard<std::mutex> lock(gStartMu);
  gStarter = starter;
}

void CloseEverything() {
  std::vector<std::shared_ptr<Object>> objects;
  {
    Table& t = Handles();
    std::lock_guard<std::mutex> lock(t.mu);
    for (auto& [value, object] : t.objects) objects.push_back(object);
    t.objects.clear();
  }
  for (auto& object : objects) {
    if (auto file = std::dynamic_pointer_cast<FileObject>(object)) comm::CloseHandle(file->port);
  }
  Waits& w = TheWaits();
  std::unique_lock<std::mutex> lock(w.mu);
  w.cv.wait(lock, [&] { return w.collectors == 0; });
}

}  // namespace kernel32

using namespace kernel32;

extern "C" {

DWORD WINAPI GetLastError(void) { return tLastError; }
void WINAPI SetLastError(DWORD dwErrCode) { tLastError = dwErrCode; }
DWORD tavrin_k32_ErrorFromStatus(int32_t status) { return comm::ErrorFromStatus(status).code; }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurity, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (!lpFileName) {
    Fail(K32_ERROR_INVALID_PARAMETER);
    return K32_INVALID_HANDLE_VALUE;
  }
  EnsureStarted();
  auto file = std::make_shared<FileObject>();
  file->overlapped = (dwFlagsAndAttributes & K32_FILE_FLAG_OVERLAPPED) != 0;
  NTSTATUS status = comm::CreateFile(lpFileName, &file->port);
  if (!NT_SUCCESS(status)) {
    Result(status);
    return K32_INVALID_HANDLE_VALUE;
  }
  return Insert(file);
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurity, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (!lpFileName) {
    Fail(K32_ERROR_INVALID_PARAMETER);
    return K32_INVALID_HANDLE_VALUE;
  }
  std::string name = Narrow(lpFileName);
  return CreateFileA(name.c_str(), dwDesiredAccess, dwShareMode, lpSecurity,
                     dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  std::shared_ptr<Object> object;
  {
    Table& t = Handles();
    std::lock_guard<std::mutex> lock(t.mu);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(hObject));
    if (it == t.objects.end()) return Fail(K32_ERROR_INVALID_HANDLE);
    object = std::move(it->second);
    t.objects.erase(it);
  }
  if (auto file = std::dynamic_pointer_cast<FileObject>(object)) {
    // Cleanup cancels what the driver still holds; the collectors then finish those requests.
    // CloseHandle itself does not fail for a handle that was open.
    comm::CloseHandle(file->port);
  }
  return TRUE;
}

#define FILE_OR_FAIL(h)                                         \
  auto file = Find<FileObject>(h);                              \
  if (!file) return Fail(K32_ERROR_INVALID_HANDLE)

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  FILE_OR_FAIL(hFile);
  return Send(file, lpOverlapped, lpNumberOfBytesRead, [&](comm::Overlapped* ov, DWORD* n) {
    return comm::ReadFile(file->port, lpBuffer, nNumberOfBytesToRead, n, ov);
  });
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (IsConsole(hFile)) {
    return WriteConsoleBytes(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
  }
  FILE_OR_FAIL(hFile);
  return Send(file, lpOverlapped, lpNumberOfBytesWritten, [&](comm::Overlapped* ov, DWORD* n) {
    return comm::WriteFile(file->port, lpBuffer, nNumberOfBytesToWrite, n, ov);
  });
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  FILE_OR_FAIL(hFile);
  return Result(comm::FlushFileBuffers(file->port));
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  FILE_OR_FAIL(hFile);
  if (!lpOverlapped) return Fail(K32_ERROR_INVALID_PARAMETER);
  std::shared_ptr<EventObject> event =
      lpOverlapped->hEvent ? Find<EventObject>(lpOverlapped->hEvent) : nullptr;
  if (InternalStatus(lpOverlapped) == STATUS_PENDING) {
    if (!bWait) return Fail(K32_ERROR_IO_INCOMPLETE);
    Waits& w = TheWaits();
    std::unique_lock<std::mutex> lock(w.mu);
    w.cv.wait(lock, [&] { return InternalStatus(lpOverlapped) != STATUS_PENDING; });
    // The platform waits on the OVERLAPPED's event: an auto-reset event is taken by that wait.
    if (event && !event->manual) event->signaled = false;
  }
  if (lpNumberOfBytesTransferred) {
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  }
  return Result(InternalStatus(lpOverlapped));
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  FILE_OR_FAIL(hFile);
  return Result(comm::CancelIo(file->port));
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  FILE_OR_FAIL(hFile);
  if (!lpOverlapped) return Result(comm::CancelIoEx(file->port, nullptr));
  std::shared_ptr<Pending> pending;
  {
    std::lock_guard<std::mutex> lock(file->mu);
    auto it = file->pending.find(lpOverlapped);
    if (it != file->pending.end()) pending = it->second;
  }
  if (!pending) return Fail(K32_ERROR_NOT_FOUND);
  return Result(comm::CancelIoEx(file->port, &pending->ov));
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  FILE_OR_FAIL(hDevice);
  // Waited for in every case (the serial requests a program sends this way finish at once).
  DWORD returned = 0;
  NTSTATUS status = Query(*file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                          nOutBufferSize, &returned);
  if (lpBytesReturned) *lpBytesReturned = returned;
  if (lpOverlapped) {
    std::shared_ptr<EventObject> event =
        lpOverlapped->hEvent ? Find<EventObject>(lpOverlapped->hEvent) : nullptr;
    Complete(lpOverlapped, status, returned, event);
  }
  return Result(status);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  if (lpName) {
    // Named events are shared between processes: nothing here needs them.
    Fail(K32_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto event = std::make_shared<EventObject>();
  event->manual = bManualReset != 0;
  event->signaled = bInitialState != 0;
  return Insert(event);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
  if (lpName) {
    Fail(K32_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateEventA(sa, bManualReset, bInitialState, nullptr);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto event = Find<EventObject>(hEvent);
  if (!event) return Fail(K32_ERROR_INVALID_HANDLE);
  SetSignaled(event, true);
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto event = Find<EventObject>(hEvent);
  if (!event) return Fail(K32_ERROR_INVALID_HANDLE);
  SetSignaled(event, false);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitEvents(1, &hHandle, false, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  return WaitEvents(nCount, lpHandles, bWaitAll != 0, dwMilliseconds);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  FILE_OR_FAIL(hFile);
  return Result(comm::SetupComm(file->port, dwInQueue, dwOutQueue));
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  FILE_OR_FAIL(hFile);
  return Result(comm::PurgeComm(file->port, dwFlags));
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  FILE_OR_FAIL(hFile);
  if (!lpDCB) return Fail(K32_ERROR_INVALID_PARAMETER);
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL line{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW flow{};
  NTSTATUS status = Query(*file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof(baud));
  if (NT_SUCCESS(status)) {
    status = Query(*file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof(line));
  }
  if (NT_SUCCESS(status)) {
    status = Query(*file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof(chars));
  }
  if (NT_SUCCESS(status)) {
    status = Query(*file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof(flow));
  }
  if (!NT_SUCCESS(status)) return Result(status);
  comm::DCB dcb = comm::DcbFromRecords(baud, line, chars, flow);
  std::memcpy(lpDCB, &dcb, sizeof(DCB));
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  FILE_OR_FAIL(hFile);
  if (!lpDCB) return Fail(K32_ERROR_INVALID_PARAMETER);
  // "The SetCommState function fails if the XonChar member of the DCB structure is equal to
  // the XoffChar member" (SetCommState).
  if (lpDCB->XonChar == lpDCB->XoffChar) return Fail(K32_ERROR_INVALID_PARAMETER);
  comm::DCB dcb;
  std::memcpy(static_cast<void*>(&dcb), lpDCB, sizeof(DCB));
  return Result(comm::SetCommState(file->port, dcb));
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
  if (!lpDef || !lpDCB || !ParseDcb(lpDef, lpDCB)) return Fail(K32_ERROR_INVALID_PARAMETER);
  return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  FILE_OR_FAIL(hFile);
  if (!lpCommTimeouts) return Fail(K32_ERROR_INVALID_PARAMETER);
  return Result(Query(*file, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts,
                      sizeof(COMMTIMEOUTS)));
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  FILE_OR_FAIL(hFile);
  if (!lpCommTimeouts) return Fail(K32_ERROR_INVALID_PARAMETER);
  comm::COMMTIMEOUTS t;
  std::memcpy(static_cast<void*>(&t), lpCommTimeouts, sizeof(t));
  return Result(comm::SetCommTimeouts(file->port, t));
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  FILE_OR_FAIL(hFile);
  SERIAL_STATUS s{};
  NTSTATUS status = Query(*file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof(s));
  if (!NT_SUCCESS(status)) return Result(status);
  if (lpErrors) {
    DWORD e = 0;
    if (s.Errors & SERIAL_ERROR_QUEUEOVERRUN) e |= comm::CE_RXOVER;
    if (s.Errors & SERIAL_ERROR_OVERRUN) e |= comm::CE_OVERRUN;
    if (s.Errors & SERIAL_ERROR_PARITY) e |= comm::CE_RXPARITY;
    if (s.Errors & SERIAL_ERROR_FRAMING) e |= comm::CE_FRAME;
    if (s.Errors & SERIAL_ERROR_BREAK) e |= comm::CE_BREAK;
    *lpErrors = e;
  }
  if (lpStat) {
    COMSTAT c{};
    c.fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    c.fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    c.fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    c.fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    c.fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    c.fEof = s.EofReceived != 0;
    c.fTxim = s.WaitForImmediate != 0;
    c.cbInQue = s.AmountInInQueue;
    c.cbOutQue = s.AmountInOutQueue;
    *lpStat = c;
  }
  return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  FILE_OR_FAIL(hFile);
  return Result(comm::EscapeCommFunction(file->port, dwFunc));
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  FILE_OR_FAIL(hFile);
  if (!lpModemStat) return Fail(K32_ERROR_INVALID_PARAMETER);
  return Result(Query(*file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, 4));
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  FILE_OR_FAIL(hFile);
  if (!lpEvtMask) return Fail(K32_ERROR_INVALID_PARAMETER);
  return Result(Query(*file, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, 4));
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  FILE_OR_FAIL(hFile);
  return Result(comm::SetCommMask(file->port, dwEvtMask));
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  FILE_OR_FAIL(hFile);
  if (!lpEvtMask) return Fail(K32_ERROR_INVALID_PARAMETER);
  return Send(file, lpOverlapped, nullptr, [&](comm::Overlapped* ov, DWORD*) {
    return comm::WaitCommEvent(file->port, lpEvtMask, ov);
  });
}

BOOL WINAPI SetCommBreak(HANDLE hFile) {
  FILE_OR_FAIL(hFile);
  return Result(comm::SetCommBreak(file->port));
}

BOOL WINAPI ClearCommBreak(HANDLE hFile) {
  FILE_OR_FAIL(hFile);
  return Result(comm::ClearCommBreak(file->port));
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
  FILE_OR_FAIL(hFile);
  return Result(comm::TransmitCommChar(file->port, cChar));
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  FILE_OR_FAIL(hFile);
  if (!lpCommProp) return Fail(K32_ERROR_INVALID_PARAMETER);
  return Result(Query(*file, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp,
                      sizeof(COMMPROP)));
}

}  // extern "C"

// The handle: open by COM name, close, the in-flight list behind CancelIo and CancelIoEx, and
// the primitives that start and wait for requests.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "handle.h"

namespace comm {

namespace {

thread_local NTSTATUS tLastStatus = STATUS_SUCCESS;

// "COM7", "\\.\COM7", "\\?\COM7" -> "\DosDevices\COM7"; "\Device\X", "\??\X", "\DosDevices\X"
// stand as they are. Empty when the name cannot be a DOS device name.
std::string NamespaceName(const std::string& name) {
  std::string rest = name;
  if (rest.rfind("\\\\.\\", 0) == 0 || rest.rfind("\\\\?\\", 0) == 0) {
    rest = rest.substr(4);
  } else if (!rest.empty() && rest[0] == '\\') {
    return rest;
  }
  if (rest.empty() || rest.find_first_of("\\/:") != std::string::npos) return {};
  return "\\DosDevices\\" + rest;
}

std::shared_ptr<host::app::File> FileOf(Port::State& port) {
  std::lock_guard<std::mutex> lock(port.mu);
  return port.file;
}

}  // namespace

// ---- Overlapped ------------------------------------------------------------------------------
Overlapped::Overlapped() : state_(std::make_shared<State>()) {}
Overlapped::~Overlapped() = default;

NTSTATUS Overlapped::Internal() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (!state_->request.Valid()) return STATUS_SUCCESS;
  if (!state_->request.Done()) return STATUS_PENDING;
  return state_->request.Result().status;
}

ULONG_PTR Overlapped::InternalHigh() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (!state_->request.Valid() || !state_->request.Done()) return 0;
  return state_->request.Result().information;
}

bool HasOverlappedIoCompleted(const Overlapped& overlapped) {
  return overlapped.Internal() != STATUS_PENDING;
}

// ---- Port ------------------------------------------------------------------------------------
Port::Port() : state_(std::make_shared<State>()) {}

Port::~Port() {
  if (state_ && IsOpen()) CloseHandle(*this);
}

Port::Port(Port&& other) noexcept : state_(std::move(other.state_)) {
  other.state_ = std::make_shared<State>();
}

Port& Port::operator=(Port&& other) noexcept {
  if (this != &other) {
    if (IsOpen()) CloseHandle(*this);
    state_ = std::move(other.state_);
    other.state_ = std::make_shared<State>();
  }
  return *this;
}

bool Port::IsOpen() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->file != nullptr;
}

NTSTATUS Port::LastStatus() const { return state_->lastStatus.load(); }

PDEVICE_OBJECT Port::Device() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->file ? state_->device : nullptr;
}

NTSTATUS GetLastStatus() { return tLastStatus; }

// ---- Primitives ------------------------------------------------------------------------------
namespace internal {

NTSTATUS Record(Port::State* port, NTSTATUS status) {
  tLastStatus = status;
  if (port) port->lastStatus.store(status);
  return status;
}

Started Start(Port::State& port, RequestKind kind, ULONG code, const void* data, ULONG length,
              ULONG outputLength, std::shared_ptr<Overlapped::State> overlapped) {
  Started started;
  std::shared_ptr<host::app::File> file;
  {
    std::lock_guard<std::mutex> lock(port.mu);
    file = port.file;
    if (!file) {
      started.status = STATUS_INVALID_HANDLE;
      return started;
    }
    port.inFlight.remove_if([](const Port::State::InFlight& entry) { return entry.Finished(); });
    started.id = port.nextId++;
    Port::State::InFlight entry;
    entry.id = started.id;
    entry.thread = std::this_thread::get_id();
    entry.overlapped = std::move(overlapped);
    port.inFlight.push_back(std::move(entry));
  }
  // The request is sent with no lock held: its dispatch routine may block, and in deterministic
  // mode another cooperative thread may then use this handle.
  switch (kind) {
    case RequestKind::Read:
      started.request = file->ReadAsync(length);
      break;
    case RequestKind::Write:
      started.request = file->WriteAsync(data, length);
      break;
    case RequestKind::Control:
      started.request = file->DeviceIoControlAsync(code, data, length, outputLength);
      break;
  }
  started.status = started.request.DispatchStatus();
  bool cancel = false;
  {
    std::lock_guard<std::mutex> lock(port.mu);
    for (Port::State::InFlight& entry : port.inFlight) {
      if (entry.id == started.id) {
        entry.request = started.request;
        entry.starting = false;
        cancel = entry.cancelRequested;
        break;
      }
    }
  }
  if (cancel && !started.request.Done()) started.request.Cancel();
  return started;
}

void Forget(Port::State& port, uint64_t id) {
  std::lock_guard<std::mutex> lock(port.mu);
  port.inFlight.remove_if([id](const Port::State::InFlight& entry) {
    return entry.id == id || entry.Finished();
  });
}

host::app::IoResult Call(Port::State& port, RequestKind kind, ULONG code, const void* data,
                         ULONG length, ULONG outputLength) {
  Started started = Start(port, kind, code, data, length, outputLength, nullptr);
  if (!started.request.Valid()) {
    host::app::IoResult result;
    result.status = started.status;
    return result;
  }
  host::app::IoResult result = started.request.Wait();
  Forget(port, started.id);
  return result;
}

size_t DeliveredBytes(const host::app::IoResult& result) {
  return std::min<size_t>(result.information, result.output.size());
}

NTSTATUS CallForRecord(Port::State& port, ULONG code, const void* input, ULONG inputLength,
                       void* record, ULONG recordSize) {
  host::app::IoResult result =
      Call(port, RequestKind::Control, code, input, inputLength, recordSize);
  if (!NT_SUCCESS(result.status)) return result.status;
  if (DeliveredBytes(result) < recordSize) return STATUS_INFO_LENGTH_MISMATCH;
  std::memcpy(record, result.output.data(), recordSize);
  return result.status;
}

}  // namespace internal

// ---- Open and close --------------------------------------------------------------------------
NTSTATUS CreateFile(const std::string& name, Port* port) {
  if (port->IsOpen()) CloseHandle(*port);
  Port::State& state = *port->state();
  std::string target = NamespaceName(name);
  if (target.empty()) return internal::Record(&state, STATUS_OBJECT_NAME_INVALID);
  auto file = std::make_shared<host::app::File>();
  NTSTATUS status = host::app::File::Open(target, file.get());
  if (NT_SUCCESS(status) && file->IsOpen()) {
    std::lock_guard<std::mutex> lock(state.mu);
    state.device = file->Device();
    state.file = std::move(file);
  }
  return internal::Record(&state, status);
}

NTSTATUS CloseHandle(Port& port) {
  Port::State& state = *port.state();
  std::shared_ptr<host::app::File> file;
  {
    std::lock_guard<std::mutex> lock(state.mu);
    file = std::move(state.file);
    state.device = nullptr;
    // The requests of this handle can no longer be cancelled through it; those in flight are
    // still collected through their Overlapped.
    state.inFlight.clear();
  }
  if (!file) return internal::Record(&state, STATUS_INVALID_HANDLE);
  NTSTATUS status = file->Cleanup();
  // IRP_MJ_CLOSE follows when the handle's last request has finished; nobody waits for it, as
  // nobody does after CloseHandle.
  file->CloseAsync();
  return internal::Record(&state, status);
}

// ---- Read, write, flush ----------------------------------------------------------------------
namespace {

// Starts `kind` on `overlapped`: refuses an overlapped that still has a request in flight (its
// result would be lost), then records what the new request delivers to.
NTSTATUS StartOverlapped(Port& port, Overlapped& overlapped, RequestKind kind, ULONG code,
                         const void* data, ULONG length, ULONG outputLength, void* buffer,
                         DWORD* eventMask, host::app::IoResult* finished, bool* completed) {
  Port::State& state = *port.state();
  *completed = false;
  const std::shared_ptr<Overlapped::State>& ov = overlapped.state();
  {
    std::lock_guard<std::mutex> lock(ov->mu);
    if (ov->request.Valid() && !ov->request.Done()) return STATUS_INVALID_PARAMETER;
    ov->request = host::app::Request();
    ov->owner = &state;
    ov->kind = kind;
    ov->buffer = buffer;
    ov->length = kind == RequestKind::Read ? length : 0;
    ov->eventMask = eventMask;
  }
  internal::Started started = internal::Start(state, kind, code, data, length, outputLength, ov);
  if (!started.request.Valid()) return started.status;
  // A cancel may already have finished it; the overlapped reports whatever it ended with.
  {
    std::lock_guard<std::mutex> lock(ov->mu);
    ov->request = started.request;
  }
  if (started.status == STATUS_PENDING) return STATUS_PENDING;
  // Finished in its dispatch routine: the result is there at once, as for a blocking call.
  *finished = started.request.Wait();
  *completed = true;
  return finished->status;
}

void CopyRead(const host::app::IoResult& result, void* buffer, DWORD length, DWORD* bytesRead) {
  size_t n = std::min<size_t>(internal::DeliveredBytes(result), length);
  if (n && buffer) std::memcpy(buffer, result.output.data(), n);
  if (bytesRead) *bytesRead = static_cast<DWORD>(n);
}

}  // namespace

NTSTATUS ReadFile(Port& port, void* buffer, DWORD length, DWORD* bytesRead,
                  Overlapped* overlapped) {
  Port::State& state = *port.state();
  if (bytesRead) *bytesRead = 0;
  if (!overlapped) {
    host::app::IoResult result =
        internal::Call(state, RequestKind::Read, 0, nullptr, length, 0);
    CopyRead(result, buffer, length, bytesRead);
    return internal::Record(&state, result.status);
  }
  host::app::IoResult finished;
  bool completed;
  NTSTATUS status = StartOverlapped(port, *overlapped, RequestKind::Read, 0, nullptr, length, 0,
                                    buffer, nullptr, &finished, &completed);
  if (completed) CopyRead(finished, buffer, length, bytesRead);
  return internal::Record(&state, status);
}

NTSTATUS WriteFile(Port& port, const void* buffer, DWORD length, DWORD* bytesWritten,
                   Overlapped* overlapped) {
  Port::State& state = *port.state();
  if (bytesWritten) *bytesWritten = 0;
  if (!overlapped) {
    host::app::IoResult result =
        internal::Call(state, RequestKind::Write, 0, buffer, length, 0);
    if (bytesWritten) *bytesWritten = static_cast<DWORD>(result.information);
    return internal::Record(&state, result.status);
  }
  host::app::IoResult finished;
  bool completed;
  NTSTATUS status = StartOverlapped(port, *overlapped, RequestKind::Write, 0, buffer, length, 0,
                                    nullptr, nullptr, &finished, &completed);
  if (completed && bytesWritten) *bytesWritten = static_cast<DWORD>(finished.information);
  return internal::Record(&state, status);
}

NTSTATUS FlushFileBuffers(Port& port) {
  Port::State& state = *port.state();
  std::shared_ptr<host::app::File> file = FileOf(state);
  if (!file) return internal::Record(&state, STATUS_INVALID_HANDLE);
  return internal::Record(&state, file->Flush().status);
}

namespace internal {
NTSTATUS StartWaitOverlapped(Port& port, Overlapped& overlapped, DWORD* eventMask,
                             host::app::IoResult* finished, bool* completed) {
  return StartOverlapped(port, overlapped, RequestKind::Control, IOCTL_SERIAL_WAIT_ON_MASK,
                         nullptr, 0, sizeof(ULONG), nullptr, eventMask, finished, completed);
}
}  // namespace internal

// ---- Overlapped results and cancellation -----------------------------------------------------
NTSTATUS GetOverlappedResult(Port& port, Overlapped& overlapped, DWORD* bytes, bool wait) {
  Port::State& state = *port.state();
  const std::shared_ptr<Overlapped::State>& ov = overlapped.state();
  host::app::Request request;
  {
    std::lock_guard<std::mutex> lock(ov->mu);
    if (!ov->request.Valid() || ov->owner != &state) {
      return internal::Record(&state, STATUS_INVALID_PARAMETER);
    }
    request = ov->request;
  }
  if (!request.Done() && !wait) return internal::Record(&state, STATUS_PENDING);
  host::app::IoResult result = request.Wait();
  NTSTATUS status = result.status;
  {
    std::lock_guard<std::mutex> lock(ov->mu);
    if (ov->kind == RequestKind::Read) {
      CopyRead(result, ov->buffer, ov->length, bytes);
    } else {
      if (bytes) *bytes = static_cast<DWORD>(result.information);
      if (ov->eventMask) status = internal::DeliverEventMask(result, ov->eventMask);
    }
  }
  {
    std::lock_guard<std::mutex> lock(state.mu);
    state.inFlight.remove_if([](const Port::State::InFlight& entry) { return entry.Finished(); });
  }
  return internal::Record(&state, status);
}

namespace {

template <typename Match>
size_t CancelMatching(Port::State& state, Match match) {
  std::vector<host::app::Request> targets;
  size_t found = 0;
  {
    std::lock_guard<std::mutex> lock(state.mu);
    for (Port::State::InFlight& entry : state.inFlight) {
      if (entry.Finished() || !match(entry)) continue;
      ++found;
      if (entry.starting) {
        entry.cancelRequested = true;  // its sender cancels it once the send returns
      } else {
        targets.push_back(entry.request);
      }
    }
  }
  // IoCancelIrp runs the driver's cancel routine: no lock of ours is held.
  for (host::app::Request& request : targets) request.Cancel();
  return found;
}

}  // namespace

NTSTATUS CancelIo(Port& port) {
  Port::State& state = *port.state();
  if (!port.IsOpen()) return internal::Record(&state, STATUS_INVALID_HANDLE);
  std::thread::id self = std::this_thread::get_id();
  CancelMatching(state, [self](const Port::State::InFlight& entry) { return entry.thread == self; });
  return internal::Record(&state, STATUS_SUCCESS);
}

NTSTATUS CancelIoEx(Port& port, Overlapped* overlapped) {
  Port::State& state = *port.state();
  if (!port.IsOpen()) return internal::Record(&state, STATUS_INVALID_HANDLE);
  const Overlapped::State* target = overlapped ? overlapped->state().get() : nullptr;
  size_t found = CancelMatching(state, [target](const Port::State::InFlight& entry) {
    return target == nullptr || entry.overlapped.get() == target;
  });
  return internal::Record(&state, found ? STATUS_SUCCESS : STATUS_NOT_FOUND);
}

}  // namespace comm

// The application side: opening devices by name, the requests the I/O manager sends for a
// handle (create, cleanup, close, read, write, flush, device control), raw requests for kernel
// clients, and the Request handle that follows a request to its end.
//
// As the platform's I/O manager:
//  - a name resolves through symbolic links ("\\.\COM7" and "COM7" are "\??\COM7"); what is left
//    after the longest prefix that names an object becomes the file object's FileName;
//  - the device the name resolves to is refused while it is still initialising
//    (DO_DEVICE_INITIALIZING), deleted, or its stack's removal is pending (an accepted
//    query-remove, a surprise removal) (STATUS_NO_SUCH_DEVICE), and an exclusive device
//    (DO_EXCLUSIVE) that has a file object open is refused before its driver sees the create
//    (STATUS_ACCESS_DENIED) unless the open bypasses that check;
//  - every request goes to the top of the device's stack, with the file object in its stack
//    location, and holds a reference on the file object until it is finished; closing the
//    handle sends IRP_MJ_CLEANUP at once and IRP_MJ_CLOSE when the last reference goes (from a
//    system worker thread when that happens in a request's completion);
//  - buffers follow the top device's flags: DO_BUFFERED_IO reads and writes use a system buffer,
//    otherwise the caller's buffer is passed as UserBuffer; METHOD_BUFFERED control codes use one
//    system buffer of max(input, output) bytes and get Information bytes copied back when the
//    request succeeds or warns (not on an error); METHOD_NEITHER passes the input as
//    Type3InputBuffer and the output as UserBuffer. The host has no MDLs: direct I/O
//    (DO_DIRECT_IO, METHOD_IN_DIRECT/METHOD_OUT_DIRECT output) passes the caller's buffer as
//    UserBuffer.
// Requests for a handle carry UserMode as their requestor mode; raw requests KernelMode.
#include <algorithm>
#include <thread>
#include <unordered_map>

#include "host/session.h"
#include "internal/host_request.h"

using namespace host::internal;
using host::app::File;
using host::app::IoResult;
using host::app::Request;
using host::verifier::Rule;

namespace {

inline bool NtError(NTSTATUS status) { return static_cast<ULONG>(status) >> 30 == 3; }

unsigned gSession = 0;  // counts sessions; handles from an earlier one are inert

// Guarded by IopLock(): the requests issued on handles and with SendRaw, for EndThread; finished ones are dropped
// as the list grows.
struct Issued {
  std::vector<std::weak_ptr<Request::State>> requests;
  size_t pruneAt = 64;
};
Issued& IssuedRequests() {
  static auto* issued = new Issued;
  return *issued;
}

void RememberIssuedLocked(const std::shared_ptr<Request::State>& state) {
  Issued& issued = IssuedRequests();
  if (issued.requests.size() >= issued.pruneAt) {
    std::erase_if(issued.requests, [](const std::weak_ptr<Request::State>& w) {
      std::shared_ptr<Request::State> s = w.lock();
      return !s || s->done;
    });
    issued.pruneAt = 2 * issued.requests.size() + 64;
  }
  issued.requests.push_back(state);
}

// Guarded by IopLock(): the file objects the host has open, by address.
std::unordered_map<PFILE_OBJECT, std::shared_ptr<File::State>>& Files() {
  static auto* files = new std::unordered_map<PFILE_OBJECT, std::shared_ptr<File::State>>;
  return *files;
}

std::shared_ptr<Request::State> FinishedState(NTSTATUS status) {
  auto state = std::make_shared<Request::State>();
  state->result.status = status;
  state->dispatchStatus = status;
  state->dispatched = true;
  state->completed = true;
  state->done = true;
  state->session = gSession;
  return state;
}

bool SameSession(unsigned session) { return session == gSession && host::Session::Active(); }

// Builds the buffers and parameters of a read, write, flush or control request.
void PrepareIo(const HostRequest& r, PDEVICE_OBJECT top, UCHAR major, ULONG code,
               const void* input, ULONG inputLength, ULONG outputLength) {
  PIRP irp = r.irp;
  Request::State& s = *r.state;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  const bool buffered = (top->Flags & DO_BUFFERED_IO) != 0;
  switch (major) {
    case IRP_MJ_READ:
      next->Parameters.Read.Length = outputLength;
      irp->Flags |= IRP_READ_OPERATION;
      if (buffered) {
        IopBufferRequest(r, nullptr, 0, outputLength, outputLength, true);
      } else {
        s.output.assign(outputLength, 0);
        s.outputLength = outputLength;
        irp->UserBuffer = outputLength != 0 ? s.output.data() : nullptr;
      }
      break;
    case IRP_MJ_WRITE:
      next->Parameters.Write.Length = inputLength;
      irp->Flags |= IRP_WRITE_OPERATION;
      if (buffered) {
        IopBufferRequest(r, input, inputLength, inputLength, 0, false);
      } else {
        s.input.assign(static_cast<const uint8_t*>(input), static_cast<const uint8_t*>(input) + inputLength);
        irp->UserBuffer = inputLength != 0 ? s.input.data() : nullptr;
      }
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      next->Parameters.DeviceIoControl.IoControlCode = code;
      next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
      next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
      switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED:
          IopBufferRequest(r, input, inputLength,
                           inputLength > outputLength ? inputLength : outputLength, outputLength,
                           true);
          break;
        case METHOD_NEITHER:
          if (inputLength != 0) {
            s.input.assign(static_cast<const uint8_t*>(input), static_cast<const uint8_t*>(input) + inputLength);
            next->Parameters.DeviceIoControl.Type3InputBuffer = s.input.data();
          }
          s.output.assign(outputLength, 0);
          s.outputLength = outputLength;
          irp->UserBuffer = outputLength != 0 ? s.output.data() : nullptr;
          break;
        default:
          IopBufferRequest(r, input, inputLength, inputLength, 0, false);
          s.output.assign(outputLength, 0);
          s.outputLength = outputLength;
          irp->UserBuffer = outputLength != 0 ? s.output.data() : nullptr;
          break;
      }
      break;
    default:
      break;
  }
}

// "application (IRP_MJ_READ)": the sender of a request on a handle, made once per major function.
const char* ApplicationSender(UCHAR major) {
  static const std::vector<std::string>* senders = [] {
    auto* v = new std::vector<std::string>;
    for (unsigned m = 0; m <= 0xFF; ++m) {
      v->push_back("application (" + std::string(MajorName(static_cast<UCHAR>(m))) + ")");
    }
    return v;
  }();
  return (*senders)[major].c_str();
}

void SendClose(const std::shared_ptr<File::State>& file);

// Drops one reference on the file object; the last one sends the close. `inline` when the caller
// may send it itself (the handle's close at PASSIVE_LEVEL), otherwise a system worker sends it.
void DereferenceFile(const std::shared_ptr<File::State>& file, bool inlineClose);

}  // namespace

struct host::app::File::State {
  PFILE_OBJECT fileObject = nullptr;
  PDEVICE_OBJECT device = nullptr;  // the device the name resolved to
  long references = 0;              // IopLock: the handle, requests, ObReferenceObject
  bool handleOpen = false;          // IopLock
  bool cleanupSent = false;
  bool closeSent = false;           // IopLock
  std::shared_ptr<Request::State> close;
  unsigned session = 0;
};

namespace {

void FreeFileObject(const std::shared_ptr<File::State>& file) {
  PDEVICE_OBJECT device = file->device;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    Files().erase(file->fileObject);
    if (IopIsLiveDeviceLocked(device) && device->ReferenceCount > 0) device->ReferenceCount--;
  }
  IopSystemFree(file->fileObject->FileName.Buffer);
  IopSystemFree(file->fileObject);
  file->fileObject = nullptr;
  IopDereferenceDevice(device);
  IopFileObjectFreed(device);
}

void SendClose(const std::shared_ptr<File::State>& file) {
  if (!SameSession(file->session)) return;
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->fileObject->DeviceObject);
  HostRequest r = IopNewHostRequest(top, IRP_MJ_CLOSE, 0, "application (close)", STATUS_SUCCESS,
                                    UserMode, file->close);
  IoGetNextIrpStackLocation(r.irp)->FileObject = file->fileObject;
  r.irp->Tail.Overlay.OriginalFileObject = file->fileObject;
  r.irp->Flags |= IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
  r.state->onFinished = [file] { FreeFileObject(file); };
  IopSendHostRequest(r, top, PASSIVE_LEVEL, false);
}

void DereferenceFile(const std::shared_ptr<File::State>& file, bool inlineClose) {
  bool send = false;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (file->references > 0) file->references--;
    if (file->references == 0 && !file->closeSent && !file->handleOpen) {
      file->closeSent = true;
      send = true;
    }
  }
  if (!send) return;
  if (!file->close) file->close = std::make_shared<Request::State>();
  if (inlineClose && CurrentThread().irql == PASSIVE_LEVEL) {
    SendClose(file);
  } else {
    QueueSystemWork([file] { SendClose(file); }, "sending IRP_MJ_CLOSE for the file object's last reference");
  }
}

// A request on an open handle, sent to the top of the stack with the file object.
Request Issue(const std::shared_ptr<File::State>& file, UCHAR major, ULONG code,
              const void* input, ULONG inputLength, ULONG outputLength, KIRQL irql) {
  bool open = false;
  if (file && SameSession(file->session)) {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    open = file->handleOpen;
    if (open) file->references++;
  }
  if (!open) return Request(FinishedState(STATUS_INVALID_HANDLE));
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->fileObject->DeviceObject);
  HostRequest r = IopNewHostRequest(top, major, 0, ApplicationSender(major), STATUS_SUCCESS, UserMode);
  IoGetNextIrpStackLocation(r.irp)->FileObject = file->fileObject;
  r.irp->Tail.Overlay.OriginalFileObject = file->fileObject;
  PrepareIo(r, top, major, code, input, inputLength, outputLength);
  // The reference goes in the I/O manager's completion, which on the platform is an APC to the
  // issuing thread that can run while that thread is still inside the dispatch routine: the
  // close can then overtake the dispatch routine of a request completed elsewhere.
  r.state->file = file;
  r.state->issuer = &CurrentThread();
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    RememberIssuedLocked(r.state);
  }
  return IopSendHostRequest(r, top, irql, false);
}

}  // namespace

namespace host::internal {

unsigned IopSessionNumber() { return gSession; }

HostRequest IopNewHostRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                              const char* sender, NTSTATUS initialStatus,
                              KPROCESSOR_MODE mode, std::shared_ptr<Request::State> state) {
  HostRequest r;
  r.state = state ? std::move(state) : std::make_shared<Request::State>();
  r.state->session = gSession;
  r.irp = IopAllocateIrp(target->StackSize, IrpOrigin::Host, false);
  r.irp->RequestorMode = mode;
  r.irp->IoStatus.Status = initialStatus;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r.irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  std::shared_ptr<IrpRecord> record = IopFindIrp(r.irp);
  auto hooks = std::make_shared<HostIrpHooks>();
  hooks->sender = sender;
  // The hooks keep the state alive until the request ends (the caller may drop its handle).
  hooks->request = r.state;
  record->host = hooks;
  record->major = major;
  record->minor = minor;
  record->target = IopDeviceText(target);
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    r.state->irp = r.irp;
    r.state->record = record;
  }
  return r;
}

void IopRequestCompleted(const std::shared_ptr<Request::State>& s, PIRP irp) {
  s->result.status = irp->IoStatus.Status;
  s->result.information = irp->IoStatus.Information;
  if (s->outputLength != 0 && !NtError(irp->IoStatus.Status)) {
    size_t n = irp->IoStatus.Information < s->outputLength ? irp->IoStatus.Information : s->outputLength;
    if (s->bufferedOutput) {
      // The I/O manager's copy back, straight into the result.
      const auto* system = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
      if (system != nullptr) s->result.output.assign(system, system + n);
    } else {
      // The caller's buffer is the result's: the request no longer has it.
      s->result.output.swap(s->output);
      s->result.output.resize(n);
    }
  }
  s->completed = true;
  WakeWaiters(s.get());
  // The file object's reference goes with the completion (see Issue).
  if (s->file) {
    std::shared_ptr<File::State> file = std::move(s->file);
    DereferenceFile(file, false);
  }
}

void IopRequestFinished(const std::shared_ptr<Request::State>& s) {
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    s->irp = nullptr;
    s->record.reset();
  }
  s->done = true;
  WakeWaiters(s.get());
  if (s->onFinished) {
    std::function<void()> finished = std::move(s->onFinished);
    s->onFinished = nullptr;
    finished();
  }
}

void IopBufferRequest(const HostRequest& r, const void* input, ULONG inputLength,
                      ULONG systemLength, ULONG outputLength, bool copyBack) {
  Request::State& s = *r.state;
  std::shared_ptr<IrpRecord> record = IopFindIrp(r.irp);
  if (systemLength != 0) {
    record->systemBuffer = IopSystemAllocate(systemLength, "system buffer");
    if (input != nullptr && inputLength != 0) memcpy(record->systemBuffer, input, inputLength);
    r.irp->AssociatedIrp.SystemBuffer = record->systemBuffer;
    r.irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (outputLength != 0) r.irp->Flags |= IRP_INPUT_OPERATION;
  }
  // The result is copied from the system buffer when the request completes; the caller's own
  // buffer, which a driver of buffered I/O never touches, is only there to be pointed at.
  s.outputLength = outputLength;
  s.bufferedOutput = copyBack;
  s.userBuffer.reset(outputLength != 0 ? new uint8_t[outputLength] : nullptr);
  r.irp->UserBuffer = s.userBuffer.get();
  record->userOutput = nullptr;
  record->outputLength = outputLength;
  record->copyBackOutput = copyBack && outputLength != 0;
}

Request IopSendHostRequest(const HostRequest& r, PDEVICE_OBJECT target, KIRQL irql, bool power) {
  std::shared_ptr<Request::State> s = r.state;
  NTSTATUS status = IopSendHostIrp(target, r.irp, irql, power);
  s->dispatchStatus = status;
  s->dispatched = true;
  return Request(s);
}

Request IopSendHostRequestOnThread(const HostRequest& r, PDEVICE_OBJECT target, bool power,
                                   const std::string& threadName) {
  std::shared_ptr<Request::State> s = r.state;
  PIRP irp = r.irp;
  host::Session::Current().Spawn(threadName, [s, irp, target, power] {
    NTSTATUS status = IopSendHostIrp(target, irp, PASSIVE_LEVEL, power);
    s->dispatchStatus = status;
    s->dispatched = true;
    WakeWaiters();
  });
  return Request(s);
}

// The text of a wait is made only when there is a wait: most requests are finished by the time
// their sender asks.
void IopWaitHostRequest(const std::shared_ptr<Request::State>& state) {
  if (!SameSession(state->session) || state->done) return;
  std::string what = state->what;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (state->record) what = IopHostRequestText(*state->record);
  }
  // Made on the request's state, which IopRequestFinished wakes.
  WaitUntil([state] { return state->done.load(); }, "waiting for " + what, std::nullopt,
            state.get());
}

bool IopObReferenceFile(PVOID object, bool reference) {
  std::shared_ptr<File::State> file;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    auto it = Files().find(static_cast<PFILE_OBJECT>(object));
    if (it == Files().end()) return false;
    file = it->second;
    if (reference) file->references++;
  }
  if (!reference) DereferenceFile(file, false);
  return true;
}

// Session end: requests still pending are reported as IrpLeak by the request table; the file
// objects' memory goes with the session's.
void IopAppSessionEnd() {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  for (auto& [fileObject, file] : Files()) file->close.reset();  // no cycle left behind
  Files().clear();
}

void IopAppSessionStart() {
  ++gSession;
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  IssuedRequests() = Issued{};
}

}  // namespace host::internal

namespace host::app {

NTSTATUS Request::DispatchStatus() const { return state_ ? state_->dispatchStatus.load() : STATUS_INVALID_HANDLE; }

bool Request::Done() const { return state_ && state_->done; }

bool Request::Completed() const { return state_ && state_->completed; }

IoResult Request::Wait() & {
  if (!state_) return IoResult{STATUS_INVALID_HANDLE, 0, {}};
  IopWaitHostRequest(state_);
  return state_->result;
}

// Once the request is finished nothing but handles refers to its state, and nothing can come to:
// a handle that is the last one gives its result away instead of copying the bytes.
IoResult Request::Wait() && {
  if (!state_) return IoResult{STATUS_INVALID_HANDLE, 0, {}};
  IopWaitHostRequest(state_);
  if (state_->done && state_.use_count() == 1) return std::move(state_->result);
  return state_->result;
}

const IoResult& Request::Result() const { return state_->result; }

PIRP Request::Irp() const {
  if (!state_) return nullptr;
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  return state_->irp;
}

// The request is pinned while IoCancelIrp runs, so that its completion cannot free it under
// the cancel (as the platform's I/O manager cancels a thread's requests from that thread, whose
// requests' final stage cannot run meanwhile): its memory stays until IoCancelIrp has returned.
BOOLEAN Request::Cancel() {
  if (!state_ || !SameSession(state_->session)) return FALSE;
  std::shared_ptr<IrpRecord> record;
  PIRP irp;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    irp = state_->irp;
    record = state_->record;
    if (irp == nullptr || !record || record->freed) return FALSE;
    record->pins++;
  }
  BOOLEAN cancelled = IoCancelIrp(irp);
  bool release;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    record->pins--;
    release = record->pins == 0 && record->releasePending;
  }
  if (release) IopReleaseHostIrp(record);
  return cancelled;
}

// The platform's I/O manager cancels a thread's requests when it ends, waits for them for up to
// five minutes and then forgets those that did not finish (an event log entry, no bug check).
size_t EndThread() {
  std::vector<std::shared_ptr<Request::State>> mine;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    const void* me = &CurrentThread();
    for (const std::weak_ptr<Request::State>& w : IssuedRequests().requests) {
      std::shared_ptr<Request::State> s = w.lock();
      if (s && !s->done && s->issuer == me && s->session == gSession) mine.push_back(s);
    }
  }
  if (TraceOn()) Trace("EndThread: %zu request(s) in flight", mine.size());
  for (const auto& s : mine) Request(s).Cancel();
  constexpr int64_t kFiveMinutes = 5LL * 60 * 10000000;
  WaitUntil(
      [&mine] {
        for (const auto& s : mine) {
          if (!s->done) return false;
        }
        return true;
      },
      "EndThread: the ending thread's requests to finish after their cancel", kFiveMinutes);
  size_t left = 0;
  for (const auto& s : mine) left += s->done ? 0 : 1;
  return left;
}

File::~File() {
  if (state_ && SameSession(state_->session) && IsOpen()) Close();
}

File::File(File&& other) noexcept : state_(std::move(other.state_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (state_ && SameSession(state_->session) && IsOpen()) Close();
    state_ = std::move(other.state_);
  }
  return *this;
}

NTSTATUS File::Open(const std::string& name, File* file, const OpenOptions& options) {
  std::string path = name;
  if (path.rfind("\\\\.\\", 0) == 0) {
    path = "\\??\\" + path.substr(4);
  } else if (path.empty() || path[0] != '\\') {
    path = "\\??\\" + path;
  }
  std::string remainder;
  PDEVICE_OBJECT device = IopResolve(path, &remainder);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (!IopIsLiveDeviceLocked(device) || device->DeviceObjectExtension->deleted ||
        (device->Flags & DO_DEVICE_INITIALIZING) || IopRemovalPendingLocked(device)) {
      status = STATUS_NO_SUCH_DEVICE;
    } else if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0 &&
               !options.bypassExclusiveCheck) {
      status = STATUS_ACCESS_DENIED;
    } else {
      device->ReferenceCount++;
      device->DeviceObjectExtension->references++;
    }
  }
  if (TraceOn()) Trace("File::Open(\"%s\") -> %s", name.c_str(), IopStatusText(status).c_str());
  if (!NT_SUCCESS(status)) return status;

  auto state = std::make_shared<State>();
  state->session = gSession;
  state->device = device;
  auto* fileObject = static_cast<PFILE_OBJECT>(IopSystemAllocate(sizeof(FILE_OBJECT), "file object"));
  fileObject->Type = IO_TYPE_FILE;
  fileObject->Size = sizeof(FILE_OBJECT);
  fileObject->DeviceObject = device;
  if (!remainder.empty()) {
    std::u16string wide = IopUtf16(remainder);
    size_t bytes = wide.size() * sizeof(WCHAR);
    fileObject->FileName.Buffer = static_cast<PWSTR>(IopSystemAllocate(bytes + sizeof(WCHAR), "file name"));
    memcpy(fileObject->FileName.Buffer, wide.data(), bytes);
    fileObject->FileName.Length = static_cast<USHORT>(bytes);
    fileObject->FileName.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  }
  state->fileObject = fileObject;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    Files()[fileObject] = state;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  HostRequest r = IopNewHostRequest(top, IRP_MJ_CREATE, 0, "application (open)", STATUS_SUCCESS, UserMode);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r.irp);
  next->FileObject = fileObject;
  next->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
  r.irp->Tail.Overlay.OriginalFileObject = fileObject;
  r.irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
  Request create = IopSendHostRequest(r, top, options.irql, false);
  status = create.Wait().status;
  if (!NT_SUCCESS(status) || !create.Done()) {
    // A failed create leaves no open file: no cleanup or close is sent for it.
    FreeFileObject(state);
    return create.Done() ? status : STATUS_UNSUCCESSFUL;
  }
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    state->handleOpen = true;
    state->references = 1;
  }
  file->state_ = state;
  return status;
}

size_t File::CloseAllOn(PDEVICE_OBJECT pdo) {
  std::vector<std::shared_ptr<State>> open;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    for (const auto& [fileObject, state] : Files()) {
      if (state->handleOpen && IopIsLiveDeviceLocked(state->device) &&
          IopStackBottomLocked(state->device) == pdo) {
        open.push_back(state);
      }
    }
  }
  for (std::shared_ptr<State>& state : open) {
    File file;
    file.state_ = std::move(state);
    file.Close();
  }
  return open.size();
}

bool File::IsOpen() const {
  if (!state_) return false;
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  return state_->handleOpen;
}

PFILE_OBJECT File::FileObject() const { return state_ ? state_->fileObject : nullptr; }

PDEVICE_OBJECT File::Device() const {
  return state_ && state_->fileObject ? IoGetAttachedDevice(state_->fileObject->DeviceObject) : nullptr;
}

NTSTATUS File::Cleanup() {
  if (!IsOpen() || !SameSession(state_->session)) return STATUS_INVALID_HANDLE;
  state_->cleanupSent = true;
  PDEVICE_OBJECT top = IoGetAttachedDevice(state_->fileObject->DeviceObject);
  HostRequest r = IopNewHostRequest(top, IRP_MJ_CLEANUP, 0, "application (cleanup)", STATUS_SUCCESS, UserMode);
  IoGetNextIrpStackLocation(r.irp)->FileObject = state_->fileObject;
  r.irp->Tail.Overlay.OriginalFileObject = state_->fileObject;
  r.irp->Flags |= IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
  return IopSendHostRequest(r, top, PASSIVE_LEVEL, false).Wait().status;
}

Request File::CloseAsync() {
  if (!state_ || !SameSession(state_->session)) return Request(FinishedState(STATUS_INVALID_HANDLE));
  std::shared_ptr<State> file = state_;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (!file->handleOpen) return Request(FinishedState(STATUS_INVALID_HANDLE));
    file->handleOpen = false;
  }
  if (!file->close) file->close = std::make_shared<Request::State>();
  file->close->session = gSession;
  file->close->what = "IRP_MJ_CLOSE of file object " + IopHex(file->fileObject);
  Request close(file->close);
  DereferenceFile(file, true);
  return close;
}

NTSTATUS File::Close() {
  NTSTATUS status = STATUS_SUCCESS;
  if (!IsOpen()) return STATUS_INVALID_HANDLE;
  if (!state_->cleanupSent) status = Cleanup();
  CloseAsync().Wait();
  return status;
}

IoResult File::Read(ULONG length, KIRQL irql) { return ReadAsync(length, irql).Wait(); }
Request File::ReadAsync(ULONG length, KIRQL irql) {
  return Issue(state_, IRP_MJ_READ, 0, nullptr, 0, length, irql);
}
IoResult File::Write(const void* data, ULONG length, KIRQL irql) {
  return WriteAsync(data, length, irql).Wait();
}
Request File::WriteAsync(const void* data, ULONG length, KIRQL irql) {
  return Issue(state_, IRP_MJ_WRITE, 0, data, length, 0, irql);
}
IoResult File::Flush(KIRQL irql) {
  return Issue(state_, IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, 0, irql).Wait();
}
IoResult File::DeviceIoControl(ULONG code, const void* input, ULONG inputLength,
                               ULONG outputLength, KIRQL irql) {
  return DeviceIoControlAsync(code, input, inputLength, outputLength, irql).Wait();
}
Request File::DeviceIoControlAsync(ULONG code, const void* input, ULONG inputLength,
                                   ULONG outputLength, KIRQL irql) {
  return Issue(state_, IRP_MJ_DEVICE_CONTROL, code, input, inputLength, outputLength, irql);
}
IoResult File::InternalDeviceIoControl(ULONG code, const void* input, ULONG inputLength,
                                       ULONG outputLength, KIRQL irql) {
  return InternalDeviceIoControlAsync(code, input, inputLength, outputLength, irql).Wait();
}
Request File::InternalDeviceIoControlAsync(ULONG code, const void* input, ULONG inputLength,
                                           ULONG outputLength, KIRQL irql) {
  return Issue(state_, IRP_MJ_INTERNAL_DEVICE_CONTROL, code, input, inputLength, outputLength, irql);
}

Request SendRaw(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, ULONG code, const void* input,
                ULONG inputLength, ULONG outputLength, KIRQL irql,
                const std::function<void(PIRP)>& prepare) {
  if (!IopIsLiveDevice(device)) {
    Report(Rule::DeviceMisuse, "SendRaw to " + IopHex(device) + ", which is not a device object");
    return Request(FinishedState(STATUS_NO_SUCH_DEVICE));
  }
  const bool pnpOrPower = major == IRP_MJ_PNP || major == IRP_MJ_POWER;
  HostRequest r = IopNewHostRequest(device, major, minor, "kernel client",
                                    pnpOrPower ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS, KernelMode);
  PrepareIo(r, device, major, code, input, inputLength, outputLength);
  if (prepare) prepare(r.irp);
  r.state->issuer = &CurrentThread();
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    RememberIssuedLocked(r.state);
  }
  return IopSendHostRequest(r, device, irql, major == IRP_MJ_POWER);
}

}  // namespace host::app

// The application side: requests sent to a device as the I/O manager sends them on behalf of an
// application or a kernel client — create, cleanup, close, read, write, flush, device control and
// internal device control — through a named device or a symbolic link, from the calling thread
// at a chosen IRQL.
//
// Buffers follow the target device's I/O method: with DO_BUFFERED_IO reads and writes use a
// system buffer; METHOD_BUFFERED control codes use one system buffer of max(input, output) bytes
// and copy Information bytes back to the caller's output when the request completes (Information
// larger than the output buffer is a verifier violation and nothing beyond the buffer is copied).
// A request completed with STATUS_PENDING returned by the dispatch routine finishes later; its
// Request handle tells when.
#pragma once

#include <wdk/wdk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host::app {

struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<uint8_t> output;  // bytes copied back: read data, or the control code's output
};

// An asynchronous request in flight (or finished).
class Request {
 public:
  Request() = default;
  bool Valid() const { return state_ != nullptr; }
  NTSTATUS DispatchStatus() const;  // what the dispatch routine returned
  bool Done() const;                // the I/O manager has finished the request
  // The request has been completed (its result is known); its dispatch routine may still run.
  bool Completed() const;
  // Waits until done (pumping in deterministic mode), then returns the result (moved out of a
  // handle that is going away and is the request's last).
  IoResult Wait() &;
  IoResult Wait() &&;
  // The result; only valid when Done().
  const IoResult& Result() const;
  // IoCancelIrp on the request; returns its result (FALSE when already finished).
  BOOLEAN Cancel();
  PIRP Irp() const;  // NULL once finished

  struct State;
  explicit Request(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

struct OpenOptions {
  // The I/O manager refuses a second open of an exclusive device (STATUS_ACCESS_DENIED) before
  // the driver sees it; a kernel-mode open can bypass that check to reach the driver's own.
  bool bypassExclusiveCheck = false;
  KIRQL irql = PASSIVE_LEVEL;
};

// A handle to an opened device.
class File {
 public:
  File() = default;
  ~File();  // closes the handle if still open (cleanup, then close)
  File(File&&) noexcept;
  File& operator=(File&&) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `name`: "\\.\COM7" or "COM7" (through \DosDevices), "\DosDevices\COM7", "\??\COM7",
  // "\Device\TAVRINMDM0", or a device interface link. Sends IRP_MJ_CREATE to the top of the
  // named device's stack. Returns the create's status; on success `*file` is open. Refused
  // (STATUS_NO_SUCH_DEVICE) without a create while the stack's removal is pending: after an
  // accepted query-remove (until it is cancelled) and after a surprise removal.
  static NTSTATUS Open(const std::string& name, File* file, const OpenOptions& options = {});

  bool IsOpen() const;
  PFILE_OBJECT FileObject() const;
  PDEVICE_OBJECT Device() const;  // the device the requests are sent to (top of the stack)

  // Closing a handle: IRP_MJ_CLEANUP at once, then IRP_MJ_CLOSE when the last request issued on
  // the handle has finished (the file object's last reference goes), as the I/O manager does.
  // Returns the cleanup's status; Close() waits for the close to be sent and finished.
  NTSTATUS Close();
  // The two steps separately: Cleanup() sends IRP_MJ_CLEANUP only; CloseAsync() then drops the
  // handle, and IRP_MJ_CLOSE goes down when the outstanding requests finish.
  NTSTATUS Cleanup();
  Request CloseAsync();

  IoResult Read(ULONG length, KIRQL irql = PASSIVE_LEVEL);
  Request ReadAsync(ULONG length, KIRQL irql = PASSIVE_LEVEL);
  IoResult Write(const void* data, ULONG length, KIRQL irql = PASSIVE_LEVEL);
  Request WriteAsync(const void* data, ULONG length, KIRQL irql = PASSIVE_LEVEL);
  IoResult Flush(KIRQL irql = PASSIVE_LEVEL);
  IoResult DeviceIoControl(ULONG code, const void* input, ULONG inputLength, ULONG outputLength,
                           KIRQL irql = PASSIVE_LEVEL);
  Request DeviceIoControlAsync(ULONG code, const void* input, ULONG inputLength,
                               ULONG outputLength, KIRQL irql = PASSIVE_LEVEL);
  IoResult InternalDeviceIoControl(ULONG code, const void* input, ULONG inputLength,
                                   ULONG outputLength, KIRQL irql = PASSIVE_LEVEL);
  Request InternalDeviceIoControlAsync(ULONG code, const void* input, ULONG inputLength,
                                       ULONG outputLength, KIRQL irql = PASSIVE_LEVEL);

  // The processes holding handles to any device of `pdo`'s stack end: each such handle is closed
  // as Close() would (shutdown paths, before the removal that waits for them). Returns how many.
  static size_t CloseAllOn(PDEVICE_OBJECT pdo);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// A request sent straight to a device object (no file object), for kernel clients and tests:
// builds the IRP as the I/O manager would for `major`, lets `prepare` adjust it before it is
// sent, sends it to `device` at `irql` and returns the handle.
Request SendRaw(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, ULONG code, const void* input,
                ULONG inputLength, ULONG outputLength, KIRQL irql = PASSIVE_LEVEL,
                const std::function<void(PIRP)>& prepare = {});

// What the I/O manager does when an application thread ends: every request the calling thread
// issued on a handle or with SendRaw and that has not finished is cancelled (IoCancelIrp, oldest first); then
// the call waits until they have finished, for at most five minutes (virtual time in
// deterministic mode), as the platform does. Returns how many were still unfinished then (the
// platform forgets them). Handles stay open: closing them is the process's end, not the thread's.
size_t EndThread();

}  // namespace host::app

// An opened COM port and the requests of its handle: open, close, read, write, flush, overlapped
// requests and their cancellation.
//
// A Port is the application's handle. It may be used from several threads at once, as a Windows
// handle may: every call sends its own request(s) through the host's I/O manager and keeps no
// lock while the driver works on them. Nothing is buffered, retried or remembered here beyond
// the handle itself and the list of its requests still in flight (which CancelIo and
// CancelIoEx need, as the I/O manager keeps them per thread); every answer comes from the driver.
//
// Blocking calls wait for their request (in deterministic mode the wait runs the kernel's
// pending work, so a driver that answers later, from a DPC or a timer, is waited for without any
// thread). Overlapped calls start the request and return STATUS_PENDING when the driver left it
// pending; the result is collected with GetOverlappedResult.
#pragma once

#include <host/app.h>

#include <memory>
#include <string>

#include "comm/status.h"
#include "comm/types.h"

namespace comm {

// An OVERLAPPED: one request in flight at a time. Reusable once its request has finished.
// It may be waited for, tested and cancelled from several threads.
class Overlapped {
 public:
  Overlapped();
  ~Overlapped();  // a request still in flight goes on; its result is dropped
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;

  // OVERLAPPED.Internal: STATUS_PENDING while the request is in flight, then its final status
  // (STATUS_SUCCESS before any request was started on it).
  NTSTATUS Internal() const;
  // OVERLAPPED.InternalHigh: the byte count (Information) once the request has finished.
  ULONG_PTR InternalHigh() const;

  struct State;
  const std::shared_ptr<State>& state() const { return state_; }

 private:
  std::shared_ptr<State> state_;
};

// HasOverlappedIoCompleted.
bool HasOverlappedIoCompleted(const Overlapped& overlapped);

class Port {
 public:
  Port();
  ~Port();  // closes the handle if still open (CloseHandle)
  Port(Port&&) noexcept;
  Port& operator=(Port&&) noexcept;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  bool IsOpen() const;
  // The status of the last call made on this handle, by any thread.
  NTSTATUS LastStatus() const;
  // The device the requests go to (top of the port's stack); NULL when closed.
  PDEVICE_OBJECT Device() const;

  struct State;
  const std::shared_ptr<State>& state() const { return state_; }

 private:
  std::shared_ptr<State> state_;
};

// ---- Open and close --------------------------------------------------------------------------
// CreateFile(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, ...): opens a COM port
// by its DOS name. "COM7" and "\\.\COM7" (also "\\?\COM7") open "\DosDevices\COM7"; a name that
// starts with a single backslash is taken as a name in the object namespace as it stands.
// Exclusive, as serial ports are: a second open is refused by the I/O manager (exclusive device)
// or by the driver, and the status they give (STATUS_ACCESS_DENIED) is returned. On success
// `*port` is open (a port that was open in `*port` is closed first).
NTSTATUS CreateFile(const std::string& name, Port* port);

// CloseHandle: IRP_MJ_CLEANUP at once (the driver cancels what is still queued), then
// IRP_MJ_CLOSE once the last request of the handle has finished, as the I/O manager does.
// Returns the cleanup's status; STATUS_INVALID_HANDLE if the port is not open. Requests still
// waiting in other threads finish with whatever the driver gives them.
NTSTATUS CloseHandle(Port& port);

// ---- Read, write, flush ----------------------------------------------------------------------
// ReadFile. Without `overlapped`: waits for the read and returns its status; `*bytesRead` (if
// given) and `buffer` receive what the driver delivered. A read finished by its timeout returns
// STATUS_TIMEOUT with fewer bytes: a success, as ReadFile reports it.
// With `overlapped`: starts the read; STATUS_PENDING while it is in flight, else its final status
// (with `*bytesRead` and the data filled). The data of a pending read reaches `buffer` when
// GetOverlappedResult collects it: `buffer` must stay valid until then.
NTSTATUS ReadFile(Port& port, void* buffer, DWORD length, DWORD* bytesRead,
                  Overlapped* overlapped = nullptr);

// WriteFile. `*bytesWritten` is the Information of the finished write.
NTSTATUS WriteFile(Port& port, const void* buffer, DWORD length, DWORD* bytesWritten,
                   Overlapped* overlapped = nullptr);

// FlushFileBuffers: IRP_MJ_FLUSH_BUFFERS.
NTSTATUS FlushFileBuffers(Port& port);

// ---- Overlapped results and cancellation -----------------------------------------------------
// GetOverlappedResult: with `wait`, waits until the request has finished. Returns the request's
// final status and fills `*bytes` (and the buffer or event mask given when it started); without
// `wait`, a request still in flight gives STATUS_PENDING (which Windows reports as
// ERROR_IO_INCOMPLETE, 996, in this call). STATUS_INVALID_PARAMETER if nothing was started on
// `overlapped` through `port`.
NTSTATUS GetOverlappedResult(Port& port, Overlapped& overlapped, DWORD* bytes, bool wait);

// CancelIo: cancels every request of this handle that the calling thread started and that is
// still in flight. Always STATUS_SUCCESS, as CancelIo reports it; the requests finish as the
// driver completes them (normally STATUS_CANCELLED).
NTSTATUS CancelIo(Port& port);

// CancelIoEx: cancels the request started with `overlapped`, or with nullptr every request of
// the handle in flight, from whichever thread (blocking calls in other threads included).
// STATUS_SUCCESS if a request was found in flight, STATUS_NOT_FOUND (ERROR_NOT_FOUND, 1168)
// otherwise.
NTSTATUS CancelIoEx(Port& port, Overlapped* overlapped);

}  // namespace comm

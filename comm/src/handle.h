// What the API's source files share: the state behind a Port and an Overlapped, and the few
// primitives every call is built from (start a request, wait for it, record the status).
//
// Locking: Port::State::mu guards the file pointer and the in-flight list; Overlapped::State::mu
// guards the overlapped's request and destinations. Neither is ever held while the host runs a
// driver routine or waits: in deterministic mode a wait switches to other cooperative threads,
// which may call into this API on the same handle. When both are needed, the overlapped's lock
// is taken first.
#pragma once

#include <host/app.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "comm/port.h"

namespace comm {

enum class RequestKind { Read, Write, Control };

struct Overlapped::State {
  std::mutex mu;
  host::app::Request request;         // the last request started on it (Valid() once started)
  const Port::State* owner = nullptr;  // the handle it was started through
  RequestKind kind = RequestKind::Control;
  // Where the result goes when it is collected.
  void* buffer = nullptr;  // read data
  DWORD length = 0;
  DWORD* eventMask = nullptr;  // WaitCommEvent
};

struct Port::State {
  // A request of the handle, entered before it is sent: the I/O manager keeps a request on its
  // thread's list before the driver sees it, so a cancel made once the driver has it must find
  // it. A cancel that comes while the request is still being sent (`starting`) is remembered
  // and carried out by the sender as soon as the send returns.
  struct InFlight {
    uint64_t id;
    host::app::Request request;  // empty while starting
    std::thread::id thread;
    std::shared_ptr<Overlapped::State> overlapped;  // null for a blocking call
    bool starting = true;
    bool cancelRequested = false;
    bool Finished() const { return !starting && request.Done(); }
  };

  std::mutex mu;
  std::shared_ptr<host::app::File> file;  // null once closed
  PDEVICE_OBJECT device = nullptr;
  std::list<InFlight> inFlight;
  uint64_t nextId = 1;
  std::atomic<NTSTATUS> lastStatus{STATUS_SUCCESS};
};

namespace internal {

// Records `status` as the last status of the handle and of the calling thread; returns it.
NTSTATUS Record(Port::State* port, NTSTATUS status);

// A request started through a handle and entered in its in-flight list.
struct Started {
  NTSTATUS status = STATUS_SUCCESS;  // STATUS_INVALID_HANDLE when the handle is closed
  uint64_t id = 0;
  host::app::Request request;
};

// Starts a read (`length`), a write (`data`, `length`) or a METHOD_BUFFERED control request
// (`code`, input, output length) on the handle's file and enters it in the in-flight list,
// tagged with the calling thread and `overlapped`.
Started Start(Port::State& port, RequestKind kind, ULONG code, const void* data, ULONG length,
              ULONG outputLength, std::shared_ptr<Overlapped::State> overlapped);

// Takes a request out of the in-flight list, with every other entry whose request has
// finished.
void Forget(Port::State& port, uint64_t id);

// Starts a request, waits for it and forgets it: the blocking form of every call. A closed
// handle gives STATUS_INVALID_HANDLE and sends nothing.
host::app::IoResult Call(Port::State& port, RequestKind kind, ULONG code, const void* data,
                         ULONG length, ULONG outputLength);

// The bytes a finished request delivered: Information bytes, never more than the output.
size_t DeliveredBytes(const host::app::IoResult& result);

// A blocking control request that returns a fixed-size record: success with fewer bytes than
// the record is STATUS_INFO_LENGTH_MISMATCH, and `*record` is written only on success.
NTSTATUS CallForRecord(Port::State& port, ULONG code, const void* input, ULONG inputLength,
                       void* record, ULONG recordSize);

// WaitCommEvent on an overlapped (port.cpp): started as the other overlapped requests are.
// `*completed` tells whether it finished in its dispatch routine (result in `*finished`).
NTSTATUS StartWaitOverlapped(Port& port, Overlapped& overlapped, DWORD* eventMask,
                             host::app::IoResult* finished, bool* completed);

// The event word of a finished IOCTL_SERIAL_WAIT_ON_MASK into `*eventMask` (events.cpp):
// 0 when the driver returned none; a success that returned fewer than 4 bytes is
// STATUS_INFO_LENGTH_MISMATCH. Returns the status to report.
NTSTATUS DeliverEventMask(const host::app::IoResult& result, DWORD* eventMask);

}  // namespace internal
}  // namespace comm

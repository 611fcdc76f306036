// Requests the host sends on behalf of applications, kernel clients, the PnP manager and the
// power manager, and the Request handle that follows them (app/app.cpp).
#pragma once

#include <atomic>

#include "host/app.h"
#include "internal/io.h"

// The state behind a Request handle.
struct host::app::Request::State {
  std::atomic<bool> done{false};        // the I/O manager has finished the request
  std::atomic<bool> completed{false};   // ...has completed it (the dispatch may still run)
  std::atomic<bool> dispatched{false};  // the dispatch routine has returned
  std::atomic<NTSTATUS> dispatchStatus{STATUS_PENDING};
  IoResult result;                      // written before `done`
  PIRP irp = nullptr;                   // IopLock; NULL once finished
  std::shared_ptr<host::internal::IrpRecord> record;  // IopLock
  std::vector<uint8_t> output;          // the caller's output buffer (direct I/O, METHOD_NEITHER)
  // Buffered output: the result is copied from the system buffer, and the caller's buffer is
  // only UserBuffer (never read back).
  bool bufferedOutput = false;
  std::unique_ptr<uint8_t[]> userBuffer;
  std::vector<uint8_t> input;           // the caller's input, where the driver reads it in place
  ULONG outputLength = 0;               // bytes of `output` the result may report
  unsigned session = 0;
  // For wait and deadlock reports while there is no request yet (a handle's close); otherwise
  // the request's own text (IopHostRequestText) is made when a wait needs it.
  std::string what;
  std::function<void()> onFinished;     // after `done`
  // A request on a handle: its reference goes when the request is completed (IopRequestCompleted).
  std::shared_ptr<host::app::File::State> file;
  const void* issuer = nullptr;         // the thread that issued it (EndThread)
};

namespace host::internal {

struct HostRequest {
  PIRP irp = nullptr;
  std::shared_ptr<app::Request::State> state;
};

// Allocates a request of the host for the stack whose top is `target`: the next stack location
// has `major` and `minor`, IoStatus.Status is `initialStatus`, and the hooks record the result
// in the state and end it. The caller fills the parameters and buffers, then sends it.
// `state` may be given (a handle made before the request existed).
HostRequest IopNewHostRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                              const char* sender, NTSTATUS initialStatus,
                              KPROCESSOR_MODE mode,
                              std::shared_ptr<app::Request::State> state = nullptr);
// Buffers the request's output for the I/O manager to copy back (METHOD_BUFFERED output,
// buffered reads): a system buffer of `systemLength` bytes holding `input`.
void IopBufferRequest(const HostRequest& r, const void* input, ULONG inputLength,
                      ULONG systemLength, ULONG outputLength, bool copyBack);
// Sends on the calling thread at `irql`; returns the handle (finished or not).
app::Request IopSendHostRequest(const HostRequest& r, PDEVICE_OBJECT target, KIRQL irql,
                                bool power);
// Sends from a new kernel thread at PASSIVE_LEVEL; returns at once.
app::Request IopSendHostRequestOnThread(const HostRequest& r, PDEVICE_OBJECT target, bool power,
                                        const std::string& threadName);
// Waits (pumping in deterministic mode) until the request is finished.
void IopWaitHostRequest(const std::shared_ptr<app::Request::State>& state);
unsigned IopSessionNumber();

}  // namespace host::internal

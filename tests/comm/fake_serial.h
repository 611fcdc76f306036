// A small serial driver for testing the application-side API: it records every request it is
// given (major function, control code, input bytes, lengths, file object) and answers from a
// script. Loaded into the current host session as "\Driver\FakeSerial" with one device,
// "\Device\FakeSerial0", and the link "\DosDevices\COM7" (or the port name given).
//
// Without a script entry, requests are answered as a plain serial port would: the settings
// codes (baud rate, line control, chars, handflow, timeouts, wait mask) store what was set and
// return it; the other control codes succeed with no output; writes succeed with every byte;
// reads and IOCTL_SERIAL_WAIT_ON_MASK stay pending until the test completes them, the handle is
// cleaned up (which cancels them) or they are cancelled.
#pragma once

#include <host/host.h>

#include <cstdint>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace commtest {

struct Seen {
  UCHAR major = 0;
  ULONG code = 0;               // IoControlCode of a device control request, else 0
  std::vector<uint8_t> input;   // control input, or the data of a write
  ULONG length = 0;             // read or write length, or the control's output length
  PFILE_OBJECT file = nullptr;
};

struct Answer {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> output;            // read data or control output (cut to the buffer)
  std::optional<ULONG_PTR> information;   // default: the bytes copied (a write: its length)
  bool pend = false;                      // leave pending until CompletePending or cancel
};

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(p, p + sizeof(T));
}

class FakeSerial {
 public:
  struct Options {
    std::string portName = "COM7";
    bool exclusiveDevice = true;  // IoCreateDevice(..., Exclusive)
    bool refuseSecondOpen = true; // the driver's own check: STATUS_ACCESS_DENIED
    NTSTATUS createStatus = STATUS_SUCCESS;
    bool cancelAtCleanup = true;  // cleanup cancels every pending request, as a serial port does
  };

  FakeSerial();
  explicit FakeSerial(Options options);
  ~FakeSerial();  // fails what is still pending, then unloads the driver
  FakeSerial(const FakeSerial&) = delete;
  FakeSerial& operator=(const FakeSerial&) = delete;

  // Every request seen so far, in arrival order.
  std::vector<Seen> Log() const;
  std::vector<UCHAR> Majors() const;
  std::vector<ULONG> ControlCodes() const;  // the codes of the device control requests
  void ClearLog();

  // The next request with this major function (and control code, for device control) gets
  // `answer`; answers queue up per key.
  void AnswerNext(UCHAR major, ULONG code, Answer answer);
  void AnswerNextControl(ULONG code, Answer answer) {
    AnswerNext(IRP_MJ_DEVICE_CONTROL, code, std::move(answer));
  }

  // Requests left pending, and completing the oldest one of a kind. Returns false if there is
  // none (or it is being cancelled).
  size_t PendingCount() const;
  bool CompletePending(UCHAR major, ULONG code, Answer answer);
  // Threaded mode: waits until at least `n` requests are pending (false after a guard of 30 s,
  // which only keeps a broken test from hanging).
  bool WaitForPending(size_t n);
  // Threaded mode: waits until the open count is `n` (same guard).
  bool WaitForOpenCount(int n);

  // Runs `hook` in each dispatch routine once the request is logged, before it is answered
  // (standing for whatever else happens while the driver holds the request).
  void OnDispatch(std::function<void(const Seen&)> hook);

  int OpenCount() const;
  PDEVICE_OBJECT Device() const { return device_; }

  // Driver side (called by the dispatch and cancel routines).
  NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  void Cancelled(PIRP irp);
  NTSTATUS Create(PDRIVER_OBJECT driver);  // from DriverEntry: device and link
  void Unload();

 private:
  Answer DefaultAnswer(const Seen& seen);
  NTSTATUS Finish(PIRP irp, UCHAR major, const Answer& answer);
  NTSTATUS Pend(PIRP irp, const Seen& seen);
  void CancelAllPending();

  Options options_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  std::u16string deviceName_;
  std::u16string linkName_;

  mutable std::mutex mu_;  // the log, the script, the settings store, the open count
  std::condition_variable pendingChanged_;
  std::vector<Seen> log_;
  std::map<std::pair<UCHAR, ULONG>, std::deque<Answer>> script_;
  std::map<ULONG, std::vector<uint8_t>> settings_;  // GET code -> the bytes last set
  int opens_ = 0;
  std::function<void(const Seen&)> onDispatch_;

  struct PendingIrp {
    PIRP irp;
    UCHAR major;
    ULONG code;
  };
  std::list<PendingIrp> pending_;  // guarded by the cancel spin lock
};

}  // namespace commtest

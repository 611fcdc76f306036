#include "fake_serial.h"

#include <cstdio>

#include "comm_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace commtest {

namespace {

FakeSerial* gFake = nullptr;

NTSTATUS FakeDispatch(PDEVICE_OBJECT device, PIRP irp) { return gFake->Dispatch(device, irp); }

// Runs with the cancel spin lock held; FakeSerial::Cancelled releases it.
VOID FakeCancel(PDEVICE_OBJECT, PIRP irp) { gFake->Cancelled(irp); }

VOID FakeUnload(PDRIVER_OBJECT) { gFake->Unload(); }

NTSTATUS FakeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE,
                      IRP_MJ_FLUSH_BUFFERS, IRP_MJ_DEVICE_CONTROL}) {
    driver->MajorFunction[major] = FakeDispatch;
  }
  driver->DriverUnload = FakeUnload;
  return gFake->Create(driver);
}

UNICODE_STRING Counted(std::u16string& text) {
  UNICODE_STRING s;
  s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  s.MaximumLength = s.Length;
  s.Buffer = reinterpret_cast<PWSTR>(text.data());
  return s;
}

// The GET code whose answer is the record last given to each SET code, and its size.
struct Setting {
  ULONG set;
  ULONG get;
  size_t size;
};
constexpr Setting kSettings[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, sizeof(ULONG)},
};

}  // namespace

FakeSerial::FakeSerial() : FakeSerial(Options{}) {}

FakeSerial::FakeSerial(Options options) : options_(std::move(options)) {
  gFake = this;
  deviceName_ = host::objects::ToUtf16("\\Device\\FakeSerial0");
  linkName_ = host::objects::ToUtf16("\\DosDevices\\" + options_.portName);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = host::pnp::LoadDriver(FakeDriverEntry, "\\Driver\\FakeSerial", &status);
  EXPECT_TRUE(driver_ != nullptr) << "the fake serial driver did not load: 0x" << std::hex
                                  << status;
}

FakeSerial::~FakeSerial() {
  CancelAllPending();
  if (driver_) host::pnp::UnloadDriver(driver_);
  gFake = nullptr;
}

NTSTATUS FakeSerial::Create(PDRIVER_OBJECT driver) {
  UNICODE_STRING name = Counted(deviceName_);
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0,
                                   options_.exclusiveDevice, &device_);
  if (!NT_SUCCESS(status)) return status;
  device_->Flags |= DO_BUFFERED_IO;
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
  UNICODE_STRING link = Counted(linkName_);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device_);
    device_ = nullptr;
  }
  return status;
}

void FakeSerial::Unload() {
  UNICODE_STRING link = Counted(linkName_);
  IoDeleteSymbolicLink(&link);
  if (device_) IoDeleteDevice(device_);
  device_ = nullptr;
}

std::vector<Seen> FakeSerial::Log() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

std::vector<UCHAR> FakeSerial::Majors() const {
  std::vector<UCHAR> majors;
  for (const Seen& seen : Log()) majors.push_back(seen.major);
  return majors;
}

std::vector<ULONG> FakeSerial::ControlCodes() const {
  std::vector<ULONG> codes;
  for (const Seen& seen : Log()) {
    if (seen.major == IRP_MJ_DEVICE_CONTROL) codes.push_back(seen.code);
  }
  return codes;
}

void FakeSerial::ClearLog() {
  std::lock_guard<std::mutex> lock(mu_);
  log_.clear();
}

void FakeSerial::AnswerNext(UCHAR major, ULONG code, Answer answer) {
  std::lock_guard<std::mutex> lock(mu_);
  script_[{major, code}].push_back(std::move(answer));
}

void FakeSerial::OnDispatch(std::function<void(const Seen&)> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  onDispatch_ = std::move(hook);
}

int FakeSerial::OpenCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return opens_;
}

size_t FakeSerial::PendingCount() const {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  size_t n = pending_.size();
  IoReleaseCancelSpinLock(irql);
  return n;
}

bool FakeSerial::WaitForPending(size_t n) {
  std::unique_lock<std::mutex> lock(mu_);
  return pendingChanged_.wait_for(lock, std::chrono::seconds(30),
                                  [&] { return PendingCount() >= n; });
}

bool FakeSerial::WaitForOpenCount(int n) {
  std::unique_lock<std::mutex> lock(mu_);
  return pendingChanged_.wait_for(lock, std::chrono::seconds(30), [&] { return opens_ == n; });
}

Answer FakeSerial::DefaultAnswer(const Seen& seen) {
  Answer answer;
  switch (seen.major) {
    case IRP_MJ_READ:
      answer.pend = true;
      break;
    case IRP_MJ_DEVICE_CONTROL:
      if (seen.code == IOCTL_SERIAL_WAIT_ON_MASK) {
        answer.pend = true;
        break;
      }
      for (const Setting& setting : kSettings) {
        if (seen.code == setting.set && seen.input.size() >= setting.size) {
          settings_[setting.get].assign(seen.input.begin(), seen.input.begin() + setting.size);
        } else if (seen.code == setting.get) {
          auto it = settings_.find(setting.get);
          answer.output = it != settings_.end() ? it->second
                                                : std::vector<uint8_t>(setting.size, 0);
        }
      }
      break;
    default:
      break;
  }
  return answer;
}

NTSTATUS FakeSerial::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Seen seen;
  seen.major = stack->MajorFunction;
  seen.file = stack->FileObject;
  const auto* system = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  switch (seen.major) {
    case IRP_MJ_READ:
      seen.length = stack->Parameters.Read.Length;
      break;
    case IRP_MJ_WRITE:
      seen.length = stack->Parameters.Write.Length;
      if (system) seen.input.assign(system, system + seen.length);
      break;
    case IRP_MJ_DEVICE_CONTROL:
      seen.code = stack->Parameters.DeviceIoControl.IoControlCode;
      seen.length = stack->Parameters.DeviceIoControl.OutputBufferLength;
      if (system) {
        seen.input.assign(system, system + stack->Parameters.DeviceIoControl.InputBufferLength);
      }
      break;
    default:
      break;
  }

  std::function<void(const Seen&)> hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back(seen);
    hook = onDispatch_;
  }
  if (hook) hook(seen);

  Answer answer;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = script_.find({seen.major, seen.code});
    if (it != script_.end() && !it->second.empty()) {
      answer = std::move(it->second.front());
      it->second.pop_front();
    } else if (seen.major == IRP_MJ_CREATE) {
      if (!NT_SUCCESS(options_.createStatus)) {
        answer.status = options_.createStatus;
      } else if (options_.refuseSecondOpen && opens_ > 0) {
        answer.status = STATUS_ACCESS_DENIED;
      } else {
        ++opens_;
      }
    } else if (seen.major == IRP_MJ_CLOSE) {
      --opens_;
      pendingChanged_.notify_all();
    } else {
      answer = DefaultAnswer(seen);
    }
  }

  if (seen.major == IRP_MJ_CLEANUP && options_.cancelAtCleanup) CancelAllPending();
  if (answer.pend) return Pend(irp, seen);
  return Finish(irp, seen.major, answer);
}

NTSTATUS FakeSerial::Finish(PIRP irp, UCHAR major, const Answer& answer) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto* system = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  ULONG_PTR information = 0;
  size_t room = 0;
  if (major == IRP_MJ_READ) room = stack->Parameters.Read.Length;
  if (major == IRP_MJ_DEVICE_CONTROL) room = stack->Parameters.DeviceIoControl.OutputBufferLength;
  size_t n = std::min(room, answer.output.size());
  if (n && system) std::memcpy(system, answer.output.data(), n);
  information = n;
  if (major == IRP_MJ_WRITE) information = stack->Parameters.Write.Length;
  if (!NT_SUCCESS(answer.status)) information = 0;
  if (answer.information) information = *answer.information;
  irp->IoStatus.Status = answer.status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return answer.status;
}

NTSTATUS FakeSerial::Pend(PIRP irp, const Seen& seen) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoMarkIrpPending(irp);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(irp, FakeCancel);
  pending_.push_back({irp, seen.major, seen.code});
  IoReleaseCancelSpinLock(irql);
  {
    std::lock_guard<std::mutex> lock(mu_);
    pendingChanged_.notify_all();
  }
  return STATUS_PENDING;
}

void FakeSerial::Cancelled(PIRP irp) {
  pending_.remove_if([irp](const PendingIrp& p) { return p.irp == irp; });
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

bool FakeSerial::CompletePending(UCHAR major, ULONG code, Answer answer) {
  PIRP irp = nullptr;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    // A request whose cancel routine is already gone is being cancelled: its cancel routine
    // owns it now.
    if (it->major == major && it->code == code && IoSetCancelRoutine(it->irp, nullptr)) {
      irp = it->irp;
      pending_.erase(it);
      break;
    }
  }
  IoReleaseCancelSpinLock(irql);
  if (!irp) return false;
  Finish(irp, major, answer);
  return true;
}

void FakeSerial::CancelAllPending() {
  std::vector<PIRP> taken;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (IoSetCancelRoutine(it->irp, nullptr)) {
      taken.push_back(it->irp);
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  IoReleaseCancelSpinLock(irql);
  for (PIRP irp : taken) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

std::string CodeName(ULONG code) {
  static const std::map<ULONG, const char*> kNames = {
      {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE"},
      {IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE"},
      {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL"},
      {IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON"},
      {IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF"},
      {IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR"},
      {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS"},
      {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS"},
      {IOCTL_SERIAL_SET_DTR, "SET_DTR"},
      {IOCTL_SERIAL_CLR_DTR, "CLR_DTR"},
      {IOCTL_SERIAL_RESET_DEVICE, "RESET_DEVICE"},
      {IOCTL_SERIAL_SET_RTS, "SET_RTS"},
      {IOCTL_SERIAL_CLR_RTS, "CLR_RTS"},
      {IOCTL_SERIAL_SET_XOFF, "SET_XOFF"},
      {IOCTL_SERIAL_SET_XON, "SET_XON"},
      {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK"},
      {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK"},
      {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK"},
      {IOCTL_SERIAL_PURGE, "PURGE"},
      {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE"},
      {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL"},
      {IOCTL_SERIAL_GET_CHARS, "GET_CHARS"},
      {IOCTL_SERIAL_SET_CHARS, "SET_CHARS"},
      {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW"},
      {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW"},
      {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS"},
      {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS"},
      {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES"},
      {IOCTL_SERIAL_GET_STATS, "GET_STATS"},
      {IOCTL_SERIAL_CLEAR_STATS, "CLEAR_STATS"},
  };
  auto it = kNames.find(code);
  if (it != kNames.end()) return it->second;
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(code));
  return text;
}

std::vector<std::string> CodeNames(const std::vector<ULONG>& codes) {
  std::vector<std::string> names;
  for (ULONG code : codes) names.push_back(CodeName(code));
  return names;
}

}  // namespace commtest

// The USB stack of one simulated device: URB validation, class requests, pipe resets and aborts,
// transfer submission, cancel, and the bus-driver side controls (configure, power, unplug).
// Serving pending transfers is usb_stack_engine.cpp.

#include <cstdio>
#include <cstring>

#include "host/session.h"
#include "sim/usb_stack.h"

namespace sim {

namespace {

// Pipe handle words: 0x5B, the device number, a 12-bit generation and the pipe (1..3). A handle
// of an older generation of the same device is stale; anything else is unknown.
constexpr uint32_t kHandleTag = 0x5Bu;

uint32_t MakeHandle(unsigned number, uint32_t generation, Pipe pipe) {
  return kHandleTag << 24 | (number & 0xFFu) << 16 | (generation & 0xFFFu) << 4 |
         (static_cast<uint32_t>(pipe) + 1);
}

std::string Hex32(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(v));
  return buf;
}

// bmRequestType type and recipient of the class and vendor request functions; false for others.
bool ClassOrVendor(USHORT function, uint8_t* type, uint8_t* recipient) {
  switch (function) {
    case URB_FUNCTION_CLASS_DEVICE:
      *type = 1, *recipient = 0;
      return true;
    case URB_FUNCTION_CLASS_INTERFACE:
      *type = 1, *recipient = 1;
      return true;
    case URB_FUNCTION_CLASS_ENDPOINT:
      *type = 1, *recipient = 2;
      return true;
    case URB_FUNCTION_CLASS_OTHER:
      *type = 1, *recipient = 3;
      return true;
    case URB_FUNCTION_VENDOR_DEVICE:
      *type = 2, *recipient = 0;
      return true;
    case URB_FUNCTION_VENDOR_INTERFACE:
      *type = 2, *recipient = 1;
      return true;
    case URB_FUNCTION_VENDOR_ENDPOINT:
      *type = 2, *recipient = 2;
      return true;
    case URB_FUNCTION_VENDOR_OTHER:
      *type = 2, *recipient = 3;
      return true;
  }
  return false;
}

}  // namespace

UsbStack::UsbStack(unsigned number, std::unique_ptr<Modem> modem, const UsbStackOptions& options)
    : number_(number),
      modem_(std::move(modem)),
      threaded_(host::Session::Current().mode() == host::Mode::Threaded),
      capacity_(options.bulkInCapacity),
      rate_(options.bytesPerSecond) {
  trace_.Keep(options.traceKeep);
  line_ = options.line;
  if (threaded_) {
    thread_ = std::thread([this] { ThreadMain(); });
  } else {
    KeInitializeDpc(&serviceDpc_, &UsbStack::ServiceDpc, this);
    KeInitializeDpc(&timerDpc_, &UsbStack::ServiceDpc, this);
    KeInitializeTimer(&wakeTimer_);
  }
  // The model may ask for time or send something as soon as it is attached.
  std::lock_guard<host::NoSwitchMutex> modemLock(modemMutex_);
  modem_->Attach(this);
}

UsbStack::~UsbStack() { Shutdown(); }

// ---------------------------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------------------------

NTSTATUS UsbStack::DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return SubmitUrb(pdo, irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
  }
  // Port requests (reset, cycle, status) belong to the hub; this function does not offer them.
  TraceEntry e;
  e.kind = TraceKind::Ioctl;
  e.code = code;
  e.status = STATUS_INVALID_DEVICE_REQUEST;
  Record(std::move(e));
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void UsbStack::CompleteUrbIrp(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd) {
  if (urb) urb->UrbHeader.Status = usbd;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS UsbStack::Refuse(PIRP irp, PURB urb, bool writeUrb, NTSTATUS status, USBD_STATUS usbd,
                          const std::string& why, std::optional<Pipe> pipe) {
  TraceEntry e;
  e.kind = TraceKind::Refused;
  e.detail = why;
  e.status = status;
  e.usbdStatus = usbd;
  if (pipe) {
    e.hasPipe = true;
    e.pipe = *pipe;
  }
  Record(std::move(e));
  CompleteUrbIrp(irp, writeUrb ? urb : nullptr, status, usbd);
  return status;
}

std::optional<Pipe> UsbStack::DecodeHandle(uint32_t word, std::string* why) const {
  const uint32_t pipeBits = word & 0xF;
  if (word >> 24 != kHandleTag || pipeBits < 1 || pipeBits > 3) {
    *why = "unknown pipe handle " + Hex32(word);
    return std::nullopt;
  }
  if ((word >> 16 & 0xFF) != (number_ & 0xFF)) {
    *why = "pipe handle " + Hex32(word) + " of another device";
    return std::nullopt;
  }
  const Pipe pipe = static_cast<Pipe>(pipeBits - 1);
  if (!configured_ || (word >> 4 & 0xFFF) != (generation_ & 0xFFF)) {
    *why = std::string("stale ") + PipeName(pipe) + " pipe handle " + Hex32(word);
    return std::nullopt;
  }
  return pipe;
}

NTSTATUS UsbStack::SubmitUrb(PDEVICE_OBJECT pdo, PIRP irp, PURB urb) {
  if (!urb) {
    return Refuse(irp, nullptr, false, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                  "no URB", std::nullopt);
  }
  const USHORT function = urb->UrbHeader.Function;
  uint8_t type = 0, recipient = 0;
  size_t expected = 0;
  const char* name = nullptr;
  if (ClassOrVendor(function, &type, &recipient)) {
    expected = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    name = "class request";
  } else if (function == URB_FUNCTION_RESET_PIPE) {
    expected = sizeof(struct _URB_PIPE_REQUEST);
    name = "RESET_PIPE";
  } else if (function == URB_FUNCTION_ABORT_PIPE) {
    expected = sizeof(struct _URB_PIPE_REQUEST);
    name = "ABORT_PIPE";
  } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    expected = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    name = "BULK_OR_INTERRUPT_TRANSFER";
  } else {
    char buf[64];
    std::snprintf(buf, sizeof buf, "unsupported URB function 0x%04X", function);
    return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION, buf,
                  std::nullopt);
  }
  if (urb->UrbHeader.Length != expected) {
    return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                  std::string(name) + " with header length " +
                      std::to_string(urb->UrbHeader.Length) + " (expected " +
                      std::to_string(expected) + ")",
                  std::nullopt);
  }

  std::unique_lock<host::NoSwitchMutex> lock(mutex_);
  // The URB belongs to the transfer in flight: its header is not written.
  for (PURB f : inFlight_) {
    if (f == urb) {
      lock.unlock();
      return Refuse(irp, urb, false, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                    std::string(name) + " with a URB already in flight", std::nullopt);
    }
  }
  if (gone_) {
    lock.unlock();
    return Refuse(irp, urb, true, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE,
                  std::string(name) + " to a device that is gone", std::nullopt);
  }
  if (shutDown_) {
    lock.unlock();
    return Refuse(irp, urb, true, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE,
                  std::string(name) + " after the device was shut down", std::nullopt);
  }
  const bool control = function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  if (control && controlHeld_) {
    // Served, validation and all, by ReleaseControl.
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    irp->Tail.Overlay.DriverContext[1] = pdo;
    IoSetCancelRoutine(irp, &UsbStack::CancelRoutine);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      lock.unlock();
      Refuse(irp, urb, true, STATUS_CANCELLED, USBD_STATUS_CANCELED,
             std::string(name) + " cancelled while held", std::nullopt);
      return STATUS_PENDING;
    }
    heldControl_.push_back(HeldControl{irp, urb});
    return STATUS_PENDING;
  }
  lock.unlock();

  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    const auto& t = urb->UrbBulkOrInterruptTransfer;
    lock.lock();
    std::string why;
    std::optional<Pipe> pipe = DecodeHandle(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(t.PipeHandle)), &why);
    if (reinterpret_cast<uintptr_t>(t.PipeHandle) > 0xFFFFFFFFu) {
      pipe.reset();
      why = "unknown pipe handle " + Hex32(reinterpret_cast<uintptr_t>(t.PipeHandle));
    }
    lock.unlock();
    if (!pipe) {
      return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE,
                    "transfer on " + why, std::nullopt);
    }
    return QueueTransfer(irp, urb, *pipe);
  }
  if (function == URB_FUNCTION_RESET_PIPE || function == URB_FUNCTION_ABORT_PIPE) {
    lock.lock();
    std::string why;
    const uintptr_t raw = reinterpret_cast<uintptr_t>(urb->UrbPipeRequest.PipeHandle);
    std::optional<Pipe> pipe = DecodeHandle(static_cast<uint32_t>(raw), &why);
    if (raw > 0xFFFFFFFFu) {
      pipe.reset();
      why = "unknown pipe handle " + Hex32(raw);
    }
    lock.unlock();
    if (!pipe) {
      return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE,
                    std::string(name) + " on " + why, std::nullopt);
    }
    return PipeRequest(irp, urb, *pipe);
  }
  return ControlRequest(irp, urb);
}

// A class or vendor request on the default pipe, served at once. The function answers the three
// CDC requests of interface 0 and STALLs anything else, as a device answers a request it does
// not know; a STALL of the default pipe clears itself at the next SETUP.
NTSTATUS UsbStack::ControlRequest(PIRP irp, PURB urb) {
  auto& r = urb->UrbControlVendorClassRequest;
  uint8_t type = 0, recipient = 0;
  ClassOrVendor(urb->UrbHeader.Function, &type, &recipient);
  const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  const uint8_t bm = static_cast<uint8_t>((in ? 0x80 : 0x00) | type << 5 | recipient);
  char buf[128];
  // 0 lets the stack fill bmRequestType in; any other value must be the one the function and
  // direction give.
  if (r.RequestTypeReservedBits != 0 && r.RequestTypeReservedBits != bm) {
    std::snprintf(buf, sizeof buf,
                  "class request with bmRequestType 0x%02X where the function and direction give "
                  "0x%02X",
                  r.RequestTypeReservedBits, bm);
    return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, buf,
                  std::nullopt);
  }
  if (r.TransferBufferLength != 0 && r.TransferBuffer == nullptr) {
    const char* what = r.TransferBufferMDL ? "class request with an MDL buffer (not supported)"
                                           : "class request with no buffer for its data stage";
    return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, what,
                  std::nullopt);
  }
  if (r.TransferBufferLength > 0xFFFF) {
    return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                  "class request with a data stage longer than 65535 bytes", std::nullopt);
  }
  if (r.UrbLink != nullptr) {
    return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                  "class request with a linked URB", std::nullopt);
  }

  const uint16_t wLength = static_cast<uint16_t>(r.TransferBufferLength);
  TraceEntry e;
  e.kind = TraceKind::Setup;
  e.setup[0] = bm;
  e.setup[1] = r.Request;
  e.setup[2] = static_cast<uint8_t>(r.Value & 0xFF);
  e.setup[3] = static_cast<uint8_t>(r.Value >> 8);
  e.setup[4] = static_cast<uint8_t>(r.Index & 0xFF);
  e.setup[5] = static_cast<uint8_t>(r.Index >> 8);
  e.setup[6] = static_cast<uint8_t>(wLength & 0xFF);
  e.setup[7] = static_cast<uint8_t>(wLength >> 8);
  const auto* buffer = static_cast<const uint8_t*>(r.TransferBuffer);
  if (!in && wLength) e.data.assign(buffer, buffer + wLength);

  enum class Outcome { Stall, SetCoding, GetCoding, SetLines } outcome = Outcome::Stall;
  std::optional<Fault> fault;
  LineCoding coding;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    if (!classFaults_.empty()) {
      fault = classFaults_.front();
      classFaults_.pop_front();
    } else if (configured_) {
      switch (ClassifyCdcRequest(bm, r.Request, r.Index, wLength)) {
        case CdcRequest::SetLineCoding:
          outcome = Outcome::SetCoding;
          break;
        case CdcRequest::GetLineCoding:
          outcome = Outcome::GetCoding;
          break;
        case CdcRequest::SetControlLineState:
          outcome = Outcome::SetLines;
          break;
        case CdcRequest::Stall:
          break;
      }
    }
    coding = lineCoding_;
  }

  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  uint32_t transferred = wLength;
  if (fault) {
    status = fault->status;
    usbd = fault->usbd;
    transferred = 0;
  } else if (outcome == Outcome::Stall) {
    status = STATUS_UNSUCCESSFUL;
    usbd = USBD_STATUS_STALL_PID;
    transferred = 0;
  } else if (outcome == Outcome::SetCoding) {
    const LineCoding c = DecodeLineCoding(buffer);
    {
      std::lock_guard<host::NoSwitchMutex> modemLock(modemMutex_);
      modem_->OnLineCoding(c.rate, c.stopBits, c.parity, c.dataBits);
    }
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    lineCoding_ = c;
    // A paced line runs at the new rate from now on.
    txMeter_.Start(NowNs());
    txIdleAt_ = UINT64_MAX;
    rxMeter_.Start(NowNs());
  } else if (outcome == Outcome::GetCoding) {
    auto* out = static_cast<uint8_t*>(r.TransferBuffer);
    EncodeLineCoding(coding, out);
    e.data.assign(out, out + 7);
  } else {
    {
      std::lock_guard<host::NoSwitchMutex> modemLock(modemMutex_);
      modem_->OnControlLineState(r.Value);
    }
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    // RTS rising lets a line under RTS flow control deliver again: the model is polled.
    if (line_.rtsFlow && (r.Value & 0x2) != 0 && (controlLineState_ & 0x2) == 0) {
      pollRequested_ = true;
      ScheduleServiceLocked();
    }
    controlLineState_ = r.Value;
  }
  r.TransferBufferLength = transferred;
  e.status = status;
  e.usbdStatus = usbd;
  Record(std::move(e));
  CompleteUrbIrp(irp, urb, status, usbd);
  return status;
}

// RESET_PIPE and ABORT_PIPE, served at once.
NTSTATUS UsbStack::PipeRequest(PIRP irp, PURB urb, Pipe pipe) {
  const bool reset = urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE;
  std::vector<Action> cancelled;
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    PipeState& ps = pipes_[static_cast<int>(pipe)];
    std::deque<Fault>& faults = reset ? ps.resetFaults : ps.abortFaults;
    TraceEntry e;
    e.kind = reset ? TraceKind::ResetPipe : TraceKind::AbortPipe;
    e.pipe = pipe;
    e.hasPipe = true;
    if (!faults.empty()) {
      status = faults.front().status;
      usbd = faults.front().usbd;
      faults.pop_front();
    } else if (reset) {
      // Resetting an endpoint with transfers queued on it is the caller's error: they would be
      // lost or mixed up with the toggle reset. The stack refuses.
      bool busy = false;
      for (const Transfer& t : ps.pending) busy = busy || !t.cancelling;
      if (busy) {
        status = STATUS_UNSUCCESSFUL;
        usbd = USBD_STATUS_ERROR_BUSY;
      } else {
        ps.halted = false;
      }
    }
    e.status = status;
    e.usbdStatus = usbd;
    Record(std::move(e));
    if (!reset && NT_SUCCESS(status)) {
      FailPipeLocked(ps, STATUS_CANCELLED, USBD_STATUS_CANCELED, &cancelled);
    }
  }
  Perform(cancelled);
  CompleteUrbIrp(irp, urb, status, usbd);
  return status;
}

NTSTATUS UsbStack::QueueTransfer(PIRP irp, PURB urb, Pipe pipe) {
  auto& t = urb->UrbBulkOrInterruptTransfer;
  const bool in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  const bool inPipe = pipe != Pipe::BulkOut;
  if (in != inPipe) {
    return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                  inPipe ? "transfer without USBD_TRANSFER_DIRECTION_IN on an IN pipe"
                         : "transfer with USBD_TRANSFER_DIRECTION_IN on the OUT pipe",
                  pipe);
  }
  if (t.TransferBufferLength != 0 && t.TransferBuffer == nullptr) {
    return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                  t.TransferBufferMDL ? "transfer with an MDL buffer (not supported)"
                                      : "transfer of " + std::to_string(t.TransferBufferLength) +
                                            " bytes with no buffer",
                  pipe);
  }
  if (t.UrbLink != nullptr) {
    return Refuse(irp, urb, true, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                  "transfer with a linked URB", pipe);
  }

  Transfer tr;
  tr.irp = irp;
  tr.urb = urb;
  tr.pipe = pipe;
  tr.length = t.TransferBufferLength;
  tr.shortOk = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;

  TraceEntry e;
  e.kind = in ? TraceKind::InSubmit : TraceKind::OutSubmit;
  e.pipe = pipe;
  e.hasPipe = true;
  e.length = tr.length;
  if (!in && tr.length) {
    const auto* b = static_cast<const uint8_t*>(t.TransferBuffer);
    e.data.assign(b, b + trace_.DataKept(tr.length));
  }

  IoMarkIrpPending(irp);
  irp->Tail.Overlay.DriverContext[0] = this;
  std::unique_lock<host::NoSwitchMutex> lock(mutex_);
  Record(std::move(e));
  IoSetCancelRoutine(irp, &UsbStack::CancelRoutine);
  // IoCancelIrp sets Cancel on another processor: read it as it is written.
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    RecordDone(tr, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0, nullptr);
    lock.unlock();
    t.TransferBufferLength = 0;
    CompleteUrbIrp(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    return STATUS_PENDING;
  }
  inFlight_.push_back(urb);
  pipes_[static_cast<int>(pipe)].pending.push_back(tr);
  const bool atOnce = pipes_[static_cast<int>(pipe)].atOnce;
  lock.unlock();
  if (atOnce) {
    RunService();
  } else {
    ScheduleService();
  }
  return STATUS_PENDING;
}

VOID UsbStack::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  static_cast<UsbStack*>(irp->Tail.Overlay.DriverContext[0])->CancelIrp(irp);
}

// The cancel routine's half: the request is still in a list (whoever takes a request out of a
// list first clears its cancel routine, and only the holder of a non-null routine may).
void UsbStack::CancelIrp(PIRP irp) {
  std::unique_lock<host::NoSwitchMutex> lock(mutex_);
  for (PipeState& ps : pipes_) {
    for (auto it = ps.pending.begin(); it != ps.pending.end(); ++it) {
      if (it->irp != irp) continue;
      Transfer t = *it;
      ps.pending.erase(it);
      std::erase(inFlight_, t.urb);
      const uint32_t bytes = t.pipe == Pipe::BulkOut ? t.done : 0;
      RecordDone(t, STATUS_CANCELLED, USBD_STATUS_CANCELED, bytes, nullptr);
      lock.unlock();
      t.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = bytes;
      CompleteUrbIrp(irp, t.urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
      return;
    }
  }
  for (auto it = heldControl_.begin(); it != heldControl_.end(); ++it) {
    if (it->irp != irp) continue;
    PURB urb = it->urb;
    heldControl_.erase(it);
    lock.unlock();
    Refuse(irp, urb, true, STATUS_CANCELLED, USBD_STATUS_CANCELED,
           "request cancelled while held", std::nullopt);
    return;
  }
}

// ---------------------------------------------------------------------------------------------
// Bus driver side
// ---------------------------------------------------------------------------------------------

void UsbStack::Configure() {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  ++generation_;
  configured_ = true;
  for (PipeState& ps : pipes_) ps.halted = false;
}

void UsbStack::Deconfigure() {
  std::vector<Action> actions;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    configured_ = false;
    if (gone_) {
      FailAllLocked(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, &actions);
    } else {
      FailAllLocked(STATUS_CANCELLED, USBD_STATUS_CANCELED, &actions);
    }
  }
  Perform(actions);
}

void UsbStack::SetPowered(bool d0) {
  // Leaving D0 suspends the port: the transfers pending on it are cancelled there and then,
  // before the device power request that took it down completes (the sleep comes after that).
  std::vector<Action> actions;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    if (!d0 && powered_) FailTransfersLocked(STATUS_CANCELLED, USBD_STATUS_CANCELED, &actions);
    powered_ = d0;
  }
  Perform(actions);
  ScheduleService();
}

void UsbStack::Unplug() {
  std::vector<Action> actions;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    if (gone_) return;
    gone_ = true;
    txBuffer_.clear();  // the modem's buffer went with it
    TraceEntry e;
    e.kind = TraceKind::Unplug;
    Record(std::move(e));
    FailAllLocked(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, &actions);
  }
  Perform(actions);
}

uint32_t UsbStack::PipeHandleWord(Pipe pipe) const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return configured_ ? MakeHandle(number_, generation_, pipe) : 0;
}

void UsbStack::RecordBusRequest(TraceEntry entry) { Record(std::move(entry)); }

void UsbStack::Record(TraceEntry entry) {
  entry.time = static_cast<int64_t>(KeQueryInterruptTime());
  trace_.Record(std::move(entry));
}

// ---------------------------------------------------------------------------------------------
// Fault injection
// ---------------------------------------------------------------------------------------------

void UsbStack::HaltLocked(PipeState& ps) {
  ps.halted = true;
  for (Transfer& t : ps.pending) {
    if (!t.forced) t.forced = Fault{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
  }
}

void UsbStack::StallPipe(Pipe pipe) {
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    HaltLocked(pipes_[static_cast<int>(pipe)]);
  }
  ScheduleService();
}

void UsbStack::StallAfter(Pipe pipe, uint64_t transfers) {
  if (transfers == 0) {
    StallPipe(pipe);
    return;
  }
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  PipeState& ps = pipes_[static_cast<int>(pipe)];
  ps.stallAt = ps.completed + transfers;
}

void UsbStack::FailTransfer(Pipe pipe, uint64_t nth, NTSTATUS status, USBD_STATUS usbdStatus) {
  if (nth == 0) return;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    PipeState& ps = pipes_[static_cast<int>(pipe)];
    ps.faultsAt.emplace(ps.completed + nth, Fault{status, usbdStatus});
  }
  ScheduleService();
}

void UsbStack::FailNextTransfer(Pipe pipe, NTSTATUS status, USBD_STATUS usbdStatus) {
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    pipes_[static_cast<int>(pipe)].faults.push_back(Fault{status, usbdStatus});
  }
  ScheduleService();
}

void UsbStack::FailNextClassRequest(NTSTATUS status, USBD_STATUS usbdStatus) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  classFaults_.push_back(Fault{status, usbdStatus});
}

void UsbStack::FailNextReset(Pipe pipe, NTSTATUS status, USBD_STATUS usbdStatus) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  pipes_[static_cast<int>(pipe)].resetFaults.push_back(Fault{status, usbdStatus});
}

void UsbStack::FailNextAbort(Pipe pipe, NTSTATUS status, USBD_STATUS usbdStatus) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  pipes_[static_cast<int>(pipe)].abortFaults.push_back(Fault{status, usbdStatus});
}

void UsbStack::Hold(Pipe pipe) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  pipes_[static_cast<int>(pipe)].held = true;
}

void UsbStack::Release(Pipe pipe) {
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    pipes_[static_cast<int>(pipe)].held = false;
  }
  ScheduleService();
}

void UsbStack::CompleteAtOnce(Pipe pipe, bool atOnce) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  pipes_[static_cast<int>(pipe)].atOnce = atOnce;
}

void UsbStack::HoldControl() {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  controlHeld_ = true;
}

void UsbStack::ReleaseControl() {
  std::deque<HeldControl> held;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    controlHeld_ = false;
    // Take the requests whose cancel routine is not running; the others are its to complete.
    for (auto it = heldControl_.begin(); it != heldControl_.end();) {
      if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
        ++it;
        continue;
      }
      held.push_back(*it);
      it = heldControl_.erase(it);
    }
  }
  for (const HeldControl& h : held) {
    SubmitUrb(static_cast<PDEVICE_OBJECT>(h.irp->Tail.Overlay.DriverContext[1]), h.irp, h.urb);
  }
}

void UsbStack::SetRate(uint64_t bytesPerSecond) {
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    rate_ = bytesPerSecond;
  }
  ScheduleService();
}

void UsbStack::SetBulkInCapacity(size_t bytes) {
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    capacity_ = bytes;
    pollRequested_ = true;
  }
  ScheduleService();
}

// ---------------------------------------------------------------------------------------------
// Inspection
// ---------------------------------------------------------------------------------------------

uint32_t UsbStack::Generation() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return generation_;
}
bool UsbStack::Configured() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return configured_;
}
bool UsbStack::Unplugged() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return gone_;
}
bool UsbStack::Powered() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return powered_;
}
bool UsbStack::Halted(Pipe pipe) const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return pipes_[static_cast<int>(pipe)].halted;
}
size_t UsbStack::PendingTransfers(Pipe pipe) const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return pipes_[static_cast<int>(pipe)].pending.size();
}
size_t UsbStack::HeldControlRequests() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return heldControl_.size();
}
size_t UsbStack::BulkInQueued() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return fifo_.size() - fifoHead_;
}
size_t UsbStack::NotificationsQueued() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return notifications_.size();
}
LineCoding UsbStack::CurrentLineCoding() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return lineCoding_;
}
uint16_t UsbStack::CurrentControlLineState() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return controlLineState_;
}
uint64_t UsbStack::BytesToHost() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return bytesToHost_;
}
uint64_t UsbStack::BytesFromHost() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return bytesFromHost_;
}

}  // namespace sim

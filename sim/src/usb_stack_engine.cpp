// Serving the pending transfers of a simulated device: the bulk-IN FIFO and the notification
// queue fed by the modem model, bulk-OUT bytes handed to it, injected faults, holds, pacing, and
// the two ways of running — a DPC in deterministic mode, a device thread in threaded mode.

#include <algorithm>
#include <chrono>
#include <cstring>

#include "host/session.h"
#include "sim/usb_stack.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// ModemHost: called by the model, inside a model call (modemMutex_ held by our caller)
// ---------------------------------------------------------------------------------------------

void UsbStack::SendToHost(const uint8_t* data, size_t n) {
  if (n == 0) return;
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  if (fifoHead_ > 0 && fifoHead_ >= fifo_.size() / 2) {
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(fifoHead_));
    fifoHead_ = 0;
  }
  fifo_.insert(fifo_.end(), data, data + n);
  if (line_.paced) {
    // The line brought these in; whatever the model still has comes as the line carries it: it is
    // woken when a step more than what is left now has come (later than now, always).
    rxMeter_.Take(n);
    const LineClock clock = LineClockLocked();
    const uint64_t now = NowNs();
    const uint64_t burst = std::max<uint64_t>(64, clock.CharactersPerSecond() / 32);
    const uint64_t left = rxMeter_.Available(clock, now, burst);
    if (left < burst) {
      const uint64_t step = std::max<uint64_t>(1, clock.CharactersPerSecond() / 250);
      WakeAtLocked(rxMeter_.TimeOf(clock, left + step), now);
    }
  }
  ScheduleServiceLocked();
}

size_t UsbStack::HostRoom() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  const size_t queued = fifo_.size() - fifoHead_;
  const size_t room = queued >= capacity_ ? 0 : capacity_ - queued;
  // A paced line also limits what may come in now (and may ask for a wake-up).
  return const_cast<UsbStack*>(this)->LineRoomLocked(room);
}

void UsbStack::SendSerialState(uint16_t uartState) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  SerialStateSentLocked(uartState);
  // While the peer holds the modem off, CTS (bit 1 as the computer reads it) stays low.
  if (peerHeld_) uartState = static_cast<uint16_t>(uartState & ~0x2);
  notifications_.push_back(SerialStateNotification(uartState));
  ScheduleServiceLocked();
}

uint64_t UsbStack::NowNs() const { return KeQueryInterruptTime() * 100; }

void UsbStack::WakeAt(uint64_t ns) {
  const uint64_t now = NowNs();
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  WakeAtLocked(ns, now);
}

void UsbStack::WakeAtLocked(uint64_t ns, uint64_t now) {
  if (ns >= wakeAtNs_ || shutDown_) return;
  wakeAtNs_ = ns;
  if (threaded_) {
    cv_.notify_one();
  } else if (ns <= now) {
    KeInsertQueueDpc(&serviceDpc_, nullptr, nullptr);
  } else {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>((ns - now + 99) / 100);
    KeSetTimer(&wakeTimer_, due, &timerDpc_);
  }
}

void UsbStack::SendNotification(const uint8_t* data, size_t n) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  if (n == 10 && data[0] == 0xA1 && data[1] == 0x20) {
    SerialStateSentLocked(static_cast<uint16_t>(data[8] | data[9] << 8));
  }
  notifications_.emplace_back(data, data + n);
  ScheduleServiceLocked();
}

void UsbStack::SendZeroLengthPacket() {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  zlpMarks_.push_back(fifoTaken_ + (fifo_.size() - fifoHead_));
  ScheduleServiceLocked();
}

void UsbStack::Kick() {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  pollRequested_ = true;
  ScheduleServiceLocked();
}

// ---------------------------------------------------------------------------------------------
// Scheduling
// ---------------------------------------------------------------------------------------------

void UsbStack::ScheduleService() {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  ScheduleServiceLocked();
}

// After Shutdown nothing is queued any more: the DPC and the stack may be about to go.
void UsbStack::ScheduleServiceLocked() {
  if (shutDown_) return;
  if (threaded_) {
    serviceRequested_ = true;
    cv_.notify_one();
  } else {
    KeInsertQueueDpc(&serviceDpc_, nullptr, nullptr);
  }
}

// The DPC of deterministic mode (also the wake timer's). DISPATCH_LEVEL, no lock held.
VOID UsbStack::ServiceDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2) {
  static_cast<UsbStack*>(context)->RunService();
}

void UsbStack::ThreadMain() {
  host::SetThreadName("usb device " + std::to_string(number_));
  constexpr uint64_t kRetryNs = 1000000;  // paced transfers waiting for their bytes' time
  uint64_t retryAt = UINT64_MAX;
  std::unique_lock<host::NoSwitchMutex> lock(mutex_);
  while (!stopThread_) {
    const uint64_t now = NowNs();
    if (serviceRequested_ || pollRequested_ || now >= wakeAtNs_ || now >= retryAt) {
      serviceRequested_ = false;
      lock.unlock();
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      RunService();
      KeLowerIrql(old);
      lock.lock();
      retryAt = starved_ ? NowNs() + kRetryNs : UINT64_MAX;
      continue;
    }
    const uint64_t until = std::min(wakeAtNs_, retryAt);
    if (until == UINT64_MAX) {
      cv_.wait(lock);
    } else {
      cv_.wait_for(lock, std::chrono::nanoseconds(until - now));
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Serving
// ---------------------------------------------------------------------------------------------

void UsbStack::PollModem() {
  std::lock_guard<host::NoSwitchMutex> modemLock(modemMutex_);
  modem_->Poll();
}

void UsbStack::RefillTokensLocked(uint64_t nowNs) {
  if (!threaded_ || rate_ == 0) return;
  if (tokensAtNs_ == 0 || nowNs < tokensAtNs_) tokensAtNs_ = nowNs;
  const double add = static_cast<double>(nowNs - tokensAtNs_) * static_cast<double>(rate_) / 1e9;
  tokensAtNs_ = nowNs;
  // A burst of at most 20 ms of the rate (and at least one packet) keeps the stream smooth.
  const double cap = std::max(64.0, static_cast<double>(rate_) / 50.0);
  inTokens_ = std::min(cap, inTokens_ + add);
  outTokens_ = std::min(cap, outTokens_ + add);
}

bool UsbStack::ClaimLocked(Transfer& t) {
  if (IoSetCancelRoutine(t.irp, nullptr) == nullptr) {
    t.cancelling = true;  // IoCancelIrp got there first; its routine completes the request
    return false;
  }
  std::erase(inFlight_, t.urb);
  return true;
}

void UsbStack::RecordDone(const Transfer& t, NTSTATUS status, USBD_STATUS usbd, uint32_t bytes,
                          const uint8_t* data) {
  TraceEntry e;
  e.kind = t.pipe == Pipe::BulkOut ? TraceKind::OutDone : TraceKind::InDone;
  e.pipe = t.pipe;
  e.hasPipe = true;
  e.length = bytes;
  e.status = status;
  e.usbdStatus = usbd;
  if (data && bytes) e.data.assign(data, data + trace_.DataKept(bytes));
  Record(std::move(e));
  PipeState& ps = pipes_[static_cast<int>(t.pipe)];
  if (++ps.completed == ps.stallAt) {
    ps.stallAt = 0;
    HaltLocked(ps);
  }
}

// Fails every transfer pending on one pipe that is not already being cancelled.
void UsbStack::FailPipeLocked(PipeState& ps, NTSTATUS status, USBD_STATUS usbd,
                              std::vector<Action>* out) {
  for (auto it = ps.pending.begin(); it != ps.pending.end();) {
    if (!ClaimLocked(*it)) {
      ++it;
      continue;
    }
    Action a;
    a.transfer = *it;
    a.status = status;
    a.usbd = usbd;
    a.bytes = it->pipe == Pipe::BulkOut ? it->done : 0;
    RecordDone(*it, status, usbd, a.bytes, nullptr);
    out->push_back(std::move(a));
    it = ps.pending.erase(it);
  }
}

// Fails every transfer pending on the three pipes (not the held control requests).
void UsbStack::FailTransfersLocked(NTSTATUS status, USBD_STATUS usbd, std::vector<Action>* out) {
  for (PipeState& ps : pipes_) FailPipeLocked(ps, status, usbd, out);
}

void UsbStack::FailAllLocked(NTSTATUS status, USBD_STATUS usbd, std::vector<Action>* out) {
  FailTransfersLocked(status, usbd, out);
  for (auto it = heldControl_.begin(); it != heldControl_.end();) {
    if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
      ++it;
      continue;
    }
    TraceEntry e;
    e.kind = TraceKind::Refused;
    e.detail = "held request failed";
    e.status = status;
    e.usbdStatus = usbd;
    Record(std::move(e));
    Action a;
    a.transfer.irp = it->irp;
    a.transfer.urb = it->urb;
    a.status = status;
    a.usbd = usbd;
    a.control = true;
    out->push_back(std::move(a));
    it = heldControl_.erase(it);
  }
}

// Decides, under mutex_, what completes now. Pipes are served in a fixed order (interrupt-IN,
// bulk-IN, bulk-OUT), each in submission order; a hold or a transfer waiting for data stops its
// pipe. Returns true if something was decided.
bool UsbStack::CollectActions(std::vector<Action>* actions, bool* tookIn, uint64_t nowNs) {
  RefillTokensLocked(nowNs);
  starved_ = false;
  // Pacing is for threaded runs; a deterministic service moves everything that is ready.
  const bool paced = threaded_ && rate_ != 0;
  const size_t before = actions->size();
  // The modem's transmit buffer first: what the line has carried goes to the modem, and makes
  // room for the bulk-OUT transfers below.
  DrainTxLocked(nowNs, actions);
  for (Pipe pipe : {Pipe::Interrupt, Pipe::BulkIn, Pipe::BulkOut}) {
    PipeState& ps = pipes_[static_cast<int>(pipe)];
    for (auto it = ps.pending.begin(); it != ps.pending.end();) {
      Transfer& t = *it;
      if (t.cancelling) {
        ++it;
        continue;
      }
      std::optional<Fault> fail;
      bool injected = false;
      bool scheduled = false;
      if (gone_) {
        fail = Fault{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
      } else if (t.forced) {
        fail = t.forced;
      } else if (ps.held) {
        break;
      } else if (!ps.faults.empty()) {
        fail = ps.faults.front();
        injected = true;
      } else if (!ps.faultsAt.empty() && ps.faultsAt.begin()->first <= ps.completed + 1) {
        // Its turn has come (or passed, when a cancel or an abort completed that transfer).
        fail = ps.faultsAt.begin()->second;
        scheduled = true;
      } else if (ps.halted) {
        fail = Fault{STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};
      } else if (!powered_) {
        break;
      }
      auto& u = t.urb->UrbBulkOrInterruptTransfer;
      if (fail) {
        if (!ClaimLocked(t)) {
          ++it;
          continue;
        }
        if (injected) ps.faults.pop_front();
        if (scheduled) ps.faultsAt.erase(ps.faultsAt.begin());
        Action a;
        a.transfer = t;
        a.status = fail->status;
        a.usbd = fail->usbd;
        a.bytes = pipe == Pipe::BulkOut ? t.done : 0;
        RecordDone(t, a.status, a.usbd, a.bytes, nullptr);
        actions->push_back(std::move(a));
        it = ps.pending.erase(it);
        continue;
      }

      Action a;
      if (pipe == Pipe::Interrupt) {
        if (notifications_.empty()) break;
        if (!ClaimLocked(t)) {
          ++it;
          continue;
        }
        const std::vector<uint8_t>& packet = notifications_.front();
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(packet.size(), t.length));
        if (n) std::memcpy(u.TransferBuffer, packet.data(), n);
        a.bytes = n;
        if (packet.size() > t.length) {
          a.status = STATUS_UNSUCCESSFUL;
          a.usbd = USBD_STATUS_DATA_OVERRUN;
        } else if (n < t.length && !t.shortOk) {
          a.status = STATUS_UNSUCCESSFUL;
          a.usbd = kUsbdStatusDataUnderrun;
        }
        RecordDone(t, a.status, a.usbd, n, static_cast<const uint8_t*>(u.TransferBuffer));
        notifications_.pop_front();
      } else if (pipe == Pipe::BulkIn) {
        const uint64_t queued = fifo_.size() - fifoHead_;
        const bool zlpFirst = !zlpMarks_.empty() && zlpMarks_.front() == fifoTaken_;
        uint64_t limit = zlpMarks_.empty() ? queued : zlpMarks_.front() - fifoTaken_;
        if (!zlpFirst && queued == 0) break;
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(limit, t.length));
        if (!zlpFirst && paced) {
          n = static_cast<uint32_t>(std::min<double>(n, inTokens_));
          if (n == 0) {
            starved_ = true;
            break;
          }
        }
        if (!ClaimLocked(t)) {
          ++it;
          continue;
        }
        if (zlpFirst) {
          zlpMarks_.pop_front();
          n = 0;
        }
        if (n) {
          std::memcpy(u.TransferBuffer, fifo_.data() + fifoHead_, n);
          fifoHead_ += n;
          fifoTaken_ += n;
          if (fifoHead_ == fifo_.size()) {
            fifo_.clear();
            fifoHead_ = 0;
          }
          if (paced) inTokens_ -= n;
          bytesToHost_ += n;
          *tookIn = true;
        }
        a.bytes = n;
        if (n < t.length && !t.shortOk) {
          a.status = STATUS_UNSUCCESSFUL;
          a.usbd = kUsbdStatusDataUnderrun;
        }
        RecordDone(t, a.status, a.usbd, n, static_cast<const uint8_t*>(u.TransferBuffer));
      } else if (line_.paced) {
        // Into the transmit buffer as far as it has room; the endpoint NAKs the rest until the
        // line has drained some. The transfer completes when its last byte is in (or, with
        // shortOut, as soon as the buffer is full, with what it took).
        const uint32_t remaining = t.length - t.done;
        const size_t room = line_.txBuffer > txBuffer_.size() ? line_.txBuffer - txBuffer_.size() : 0;
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(remaining, room));
        const bool last = n == remaining;
        const bool cutShort = !last && line_.shortOut && t.done + n > 0;
        const auto* b = static_cast<const uint8_t*>(u.TransferBuffer);
        if (!last && !cutShort) {
          txBuffer_.insert(txBuffer_.end(), b + t.done, b + t.done + n);
          t.done += n;
          bytesFromHost_ += n;
          break;
        }
        if (!ClaimLocked(t)) {
          ++it;
          continue;
        }
        txBuffer_.insert(txBuffer_.end(), b + t.done, b + t.done + n);
        t.done += n;
        bytesFromHost_ += n;
        a.bytes = t.done;
        RecordDone(t, a.status, a.usbd, t.done, nullptr);
      } else {
        const uint32_t remaining = t.length - t.done;
        uint32_t n = remaining;
        if (paced) {
          n = static_cast<uint32_t>(std::min<double>(n, outTokens_));
          if (n == 0 && remaining != 0) {
            starved_ = true;
            break;
          }
        }
        const bool last = n == remaining;
        if (last && !ClaimLocked(t)) {
          ++it;
          continue;
        }
        const auto* b = static_cast<const uint8_t*>(u.TransferBuffer);
        if (n) a.toModem.assign(b + t.done, b + t.done + n);
        t.done += n;
        if (paced) outTokens_ -= n;
        bytesFromHost_ += n;
        if (!last) {
          // Paced: these bytes go to the modem now, the rest when the rate allows.
          a.complete = false;
          a.transfer = t;
          actions->push_back(std::move(a));
          starved_ = true;
          break;
        }
        a.bytes = t.length;
        RecordDone(t, a.status, a.usbd, t.length, nullptr);
      }
      a.transfer = t;
      actions->push_back(std::move(a));
      it = ps.pending.erase(it);
    }
  }
  WakeForLineLocked(nowNs);
  return actions->size() != before;
}

// Carries out decided completions in order, with no lock held: bulk-OUT bytes reach the modem
// before their transfer completes, so the modem has them when the next chunk is sent.
void UsbStack::Perform(std::vector<Action>& actions) {
  for (Action& a : actions) {
    if (!a.toModem.empty()) {
      std::lock_guard<host::NoSwitchMutex> modemLock(modemMutex_);
      modem_->OnBulkOut(a.toModem.data(), a.toModem.size());
    }
    if (!a.complete) continue;
    if (!a.control) a.transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = a.bytes;
    CompleteUrbIrp(a.transfer.irp, a.transfer.urb, a.status, a.usbd);
  }
}

// One service: poll the modem if it is due, complete what can complete, and go on while
// completions free room or bring new work. Bounded; if work is left it comes back later.
void UsbStack::RunService() {
  constexpr int kRounds = 256;
  for (int round = 0; round < kRounds; ++round) {
    const uint64_t now = NowNs();
    bool poll = false;
    {
      std::lock_guard<host::NoSwitchMutex> lock(mutex_);
      if (shutDown_) return;
      if (pollRequested_ || now >= wakeAtNs_) {
        poll = true;
        pollRequested_ = false;
        if (now >= wakeAtNs_) wakeAtNs_ = UINT64_MAX;
      }
    }
    if (poll) PollModem();
    std::vector<Action> actions;
    bool tookIn = false;
    {
      std::lock_guard<host::NoSwitchMutex> lock(mutex_);
      if (shutDown_) return;
      CollectActions(&actions, &tookIn, now);
      // Room freed in the FIFO: the modem may have more to send.
      if (tookIn) pollRequested_ = true;
    }
    if (actions.empty() && !poll) return;
    Perform(actions);
    if (actions.empty()) {
      std::lock_guard<host::NoSwitchMutex> lock(mutex_);
      if (!pollRequested_) return;
    }
  }
  ScheduleService();
}

void UsbStack::Shutdown() {
  std::vector<Action> actions;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    if (shutDown_) return;
    FailAllLocked(STATUS_CANCELLED, USBD_STATUS_CANCELED, &actions);
    txBuffer_.clear();
    shutDown_ = true;
    stopThread_ = true;
    cv_.notify_one();
  }
  Perform(actions);
  if (thread_.joinable()) thread_.join();
  if (!threaded_) {
    KeCancelTimer(&wakeTimer_);
    KeRemoveQueueDpc(&serviceDpc_);
    KeRemoveQueueDpc(&timerDpc_);
  }
}

}  // namespace sim

// The paced line of a simulated device (sim/line.h): the modem's transmit buffer draining onto
// the line at the line rate, the receive side's credit, the peer's hold on the modem and the CTS
// it shows the computer. Everything here runs under mutex_ unless it says otherwise.

#include <algorithm>

#include "sim/usb_stack.h"

namespace sim {

namespace {
// Characters the receive side may bank while idle: about 32 ms of the line (at least one USB
// packet), more than one clock tick of a deterministic session, so a timer that fires at a tick
// loses nothing of the rate.
uint64_t RxBurst(const LineClock& clock) { return std::max<uint64_t>(64, clock.CharactersPerSecond() / 32); }
// How many characters a wake-up waits for: about 4 ms of the line (at least one), so a line
// costs about 250 wake-ups a second whatever its rate (each moving a few characters at 9600
// bit/s, a few hundred at 921600), less than a deterministic session's clock tick.
uint64_t WakeStep(const LineClock& clock) {
  return std::max<uint64_t>(1, clock.CharactersPerSecond() / 250);
}
}  // namespace

LineClock UsbStack::LineClockLocked() const {
  const uint32_t bps = line_.bitsPerSecond != 0 ? line_.bitsPerSecond : lineCoding_.rate;
  return LineClock(bps, HalfBitsPerCharacter(lineCoding_.dataBits, lineCoding_.parity, lineCoding_.stopBits));
}

// Moves what the line has carried by now from the transmit buffer to the modem (as an action
// carried out after mutex_ is released). USB refills the buffer far faster than the line drains
// it, so a bulk-OUT transfer waiting for room counts as being in the buffer already: its bytes go
// to the line behind the buffer's (advancing the transfer; it completes in the pipe's service)
// and the line stays busy. Only a line with nothing to send is idle, and an idle line banks no
// time. Unpaced, or the device gone, the buffer empties at once.
void UsbStack::DrainTxLocked(uint64_t nowNs, std::vector<Action>* actions) {
  if (gone_) {
    txBuffer_.clear();
    return;
  }
  PipeState& ps = pipes_[static_cast<int>(Pipe::BulkOut)];
  const bool flowing = line_.paced && !ps.held && !ps.halted && powered_ &&
                       ps.faults.empty() && ps.faultsAt.empty();
  uint64_t credit = txBuffer_.size();
  if (line_.paced) {
    // Held off: what the line carried until the hold still goes (here, in the service, so that
    // the modem gets its bytes in order from one thread), nothing after it.
    if (peerHeld_) nowNs = std::min(nowNs, heldAtNs_);
    // The line ran out of bytes at an earlier moment: it has been idle since, and banks nothing.
    // At the same moment it has not: the transfer that follows one that just completed is sent
    // from that completion, and a real host would have had it queued long before the buffer
    // ran dry (USB is far faster than the line), so the line's time goes on to it.
    if (txIdleAt_ != UINT64_MAX && nowNs != txIdleAt_) {
      txMeter_.Start(nowNs);
      txIdleAt_ = UINT64_MAX;
    }
    credit = txMeter_.Available(LineClockLocked(), nowNs, UINT64_MAX);
  }
  Action a;
  a.complete = false;
  const uint64_t fromBuffer = std::min<uint64_t>(credit, txBuffer_.size());
  a.toModem.assign(txBuffer_.begin(), txBuffer_.begin() + static_cast<std::ptrdiff_t>(fromBuffer));
  txBuffer_.erase(txBuffer_.begin(), txBuffer_.begin() + static_cast<std::ptrdiff_t>(fromBuffer));
  credit -= fromBuffer;
  if (flowing) {
    for (Transfer& t : ps.pending) {
      if (credit == 0) break;
      if (t.cancelling || t.forced) break;
      auto& u = t.urb->UrbBulkOrInterruptTransfer;
      // A transfer whose last byte is on the line completes in the pipe's service.
      const uint64_t n = std::min<uint64_t>(credit, t.length - t.done);
      const auto* b = static_cast<const uint8_t*>(u.TransferBuffer);
      a.toModem.insert(a.toModem.end(), b + t.done, b + t.done + n);
      t.done += static_cast<uint32_t>(n);
      bytesFromHost_ += n;
      credit -= n;
      if (t.done != t.length) break;
    }
  }
  const uint64_t moved = a.toModem.size();
  if (line_.paced) {
    txMeter_.Take(moved);
    bool more = !txBuffer_.empty();
    for (const Transfer& t : ps.pending) {
      if (more || !flowing || t.cancelling || t.forced) break;
      more = t.done < t.length;
    }
    if (!more) {
      if (txIdleAt_ == UINT64_MAX) txIdleAt_ = nowNs;  // nothing left to send: idle from now
    } else {
      txIdleAt_ = UINT64_MAX;
    }
  }
  if (moved == 0) return;
  bytesOnLine_ += moved;
  actions->push_back(std::move(a));
}

// Asks to be served when the line will have carried the next step of the transmit buffer.
void UsbStack::WakeForLineLocked(uint64_t nowNs) {
  if (!line_.paced || txBuffer_.empty() || peerHeld_ || gone_) return;
  const LineClock clock = LineClockLocked();
  const uint64_t step = std::min<uint64_t>(txBuffer_.size(), WakeStep(clock));
  WakeAtLocked(txMeter_.TimeOf(clock, step), nowNs);
}

// Room the model may fill now: the FIFO's, limited by what the line has brought in. A model
// that found the line short is woken when more has come (bounded: once the credit is back at
// its burst, nobody is waiting for it).
size_t UsbStack::LineRoomLocked(size_t fifoRoom) {
  if (!line_.paced) return fifoRoom;
  if (line_.rtsFlow && (controlLineState_ & 0x2) == 0) return 0;  // woken when RTS rises
  const uint64_t now = NowNs();
  const LineClock clock = LineClockLocked();
  const uint64_t burst = RxBurst(clock);
  const uint64_t credit = rxMeter_.Available(clock, now, burst);
  if (credit >= fifoRoom) return fifoRoom;
  // Woken when the line has brought a step more than now (never at once: a model that asks and
  // sends nothing would be polled again and again at the same moment).
  if (credit < burst) WakeAtLocked(rxMeter_.TimeOf(clock, credit + WakeStep(clock)), now);
  return static_cast<size_t>(credit);
}

void UsbStack::SerialStateSentLocked(uint16_t uartState) { modemState_ = uartState; }

void UsbStack::SetLine(const LineOptions& line) {
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    const uint64_t now = NowNs();
    line_ = line;
    txMeter_.Start(now);
    txIdleAt_ = UINT64_MAX;
    rxMeter_.Start(now);
    pollRequested_ = true;
  }
  ScheduleService();
}

void UsbStack::HoldPeer(bool hold) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  if (hold == peerHeld_) return;
  const uint64_t now = NowNs();
  if (hold) {
    heldAtNs_ = now;  // the next service still sends what the line carried until now
  } else {
    // The line's time starts again; bytes due before the hold and not yet sent go first.
    const LineClock clock = LineClockLocked();
    const uint64_t due = txMeter_.Available(clock, heldAtNs_, UINT64_MAX);
    txMeter_.Start(now > clock.NsFor(due) ? now - clock.NsFor(due) : 0);
    txIdleAt_ = UINT64_MAX;
  }
  peerHeld_ = hold;
  const uint16_t shown = hold ? static_cast<uint16_t>(modemState_ & ~0x2) : modemState_;
  notifications_.push_back(SerialStateNotification(shown));
  ScheduleServiceLocked();
}

LineOptions UsbStack::Line() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return line_;
}
size_t UsbStack::TxBuffered() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return txBuffer_.size();
}
bool UsbStack::PeerHeld() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return peerHeld_;
}
uint32_t UsbStack::LineRate() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return line_.paced ? LineClockLocked().BitsPerSecond() : 0;
}
uint64_t UsbStack::BytesOnLine() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return bytesOnLine_;
}

}  // namespace sim

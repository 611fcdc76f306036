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
// How many characters a wake-up waits for: about a millisecond of the line (at least one), so a
// fast line costs about a thousand wake-ups a second.
uint64_t WakeStep(const LineClock& clock) { return std::max<uint64_t>(1, clock.CharactersPerSecond() / 1000); }
}  // namespace

LineClock UsbStack::LineClockLocked() const {
  const uint32_t bps = line_.bitsPerSecond != 0 ? line_.bitsPerSecond : lineCoding_.rate;
  return LineClock(bps, HalfBitsPerCharacter(lineCoding_.dataBits, lineCoding_.parity, lineCoding_.stopBits));
}

// Moves what the line has carried by now from the transmit buffer to the modem (as an action
// carried out after mutex_ is released). Unpaced, or the device gone, everything goes at once.
void UsbStack::DrainTxLocked(uint64_t nowNs, std::vector<Action>* actions) {
  if (txBuffer_.empty()) {
    txMeter_.Start(nowNs);  // an idle line banks nothing
    return;
  }
  uint64_t n = txBuffer_.size();
  if (gone_) {
    txBuffer_.clear();
    return;
  }
  if (line_.paced) {
    if (peerHeld_) return;
    n = std::min<uint64_t>(n, txMeter_.Available(LineClockLocked(), nowNs, UINT64_MAX));
    txMeter_.Take(n);
  }
  if (n == 0) return;
  Action a;
  a.complete = false;
  a.toModem.assign(txBuffer_.begin(), txBuffer_.begin() + static_cast<std::ptrdiff_t>(n));
  txBuffer_.erase(txBuffer_.begin(), txBuffer_.begin() + static_cast<std::ptrdiff_t>(n));
  bytesOnLine_ += n;
  actions->push_back(std::move(a));
  if (txBuffer_.empty()) txMeter_.Start(nowNs);
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
  if (credit < burst) WakeAtLocked(rxMeter_.TimeOf(clock, WakeStep(clock)), now);
  return static_cast<size_t>(credit);
}

void UsbStack::SerialStateSentLocked(uint16_t uartState) { modemState_ = uartState; }

void UsbStack::SetLine(const LineOptions& line) {
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    const uint64_t now = NowNs();
    line_ = line;
    txMeter_.Start(now);
    rxMeter_.Start(now);
    pollRequested_ = true;
  }
  ScheduleService();
}

void UsbStack::HoldPeer(bool hold) {
  std::vector<Action> actions;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    if (hold == peerHeld_) return;
    const uint64_t now = NowNs();
    if (hold) {
      DrainTxLocked(now, &actions);  // what the line carried until now is out
    } else {
      txMeter_.Start(now);
    }
    peerHeld_ = hold;
    const uint16_t shown = hold ? static_cast<uint16_t>(modemState_ & ~0x2) : modemState_;
    notifications_.push_back(SerialStateNotification(shown));
    ScheduleServiceLocked();
  }
  Perform(actions);
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

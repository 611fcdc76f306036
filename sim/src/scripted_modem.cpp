// The scripted modem: a queue of what the test pushed, handed to the USB function as it has
// room, and a record of what the computer sent.

#include "sim/scripted_modem.h"

#include <algorithm>

namespace sim {

void ScriptedModem::Attach(ModemHost* host) {
  host_ = host;
  usb_ = dynamic_cast<UsbFunctionHost*>(host);
}

void ScriptedModem::Kick() {
  // Outside any model call: the test's own thread.
  if (usb_) usb_->Kick();
}

void ScriptedModem::PushBulkIn(const std::string& bytes) {
  PushBulkIn(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void ScriptedModem::PushBulkIn(const std::vector<uint8_t>& bytes) {
  PushBulkIn(bytes.data(), bytes.size());
}

void ScriptedModem::PushBulkIn(const uint8_t* data, size_t n) {
  if (n == 0) return;
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    bulkIn_.push_back(Chunk{std::vector<uint8_t>(data, data + n), false});
    pendingBytes_ += n;
  }
  Kick();
}

void ScriptedModem::PushZeroLengthPacket() {
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    bulkIn_.push_back(Chunk{{}, true});
  }
  Kick();
}

void ScriptedModem::PushSerialState(uint16_t uartState) {
  PushNotification(SerialStateNotification(uartState));
}

void ScriptedModem::PushNotification(const std::vector<uint8_t>& packet) {
  {
    std::lock_guard<host::NoSwitchMutex> lock(mutex_);
    notifications_.push_back(packet);
  }
  Kick();
}

// Hands over what fits, in order; a zero-length packet waits behind the bytes before it.
void ScriptedModem::Poll() {
  if (!host_) return;
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  while (!notifications_.empty()) {
    const std::vector<uint8_t>& p = notifications_.front();
    if (usb_) {
      usb_->SendNotification(p.data(), p.size());
    } else if (p.size() >= 10 && p[1] == 0x20) {
      host_->SendSerialState(static_cast<uint16_t>(p[8] | p[9] << 8));
    }
    notifications_.pop_front();
  }
  while (!bulkIn_.empty()) {
    Chunk& c = bulkIn_.front();
    if (c.zlp) {
      if (usb_) usb_->SendZeroLengthPacket();
      bulkIn_.pop_front();
      continue;
    }
    const size_t room = host_->HostRoom();
    if (room == 0) break;
    const size_t n = std::min(room, c.bytes.size());
    host_->SendToHost(c.bytes.data(), n);
    pendingBytes_ -= n;
    if (n == c.bytes.size()) {
      bulkIn_.pop_front();
    } else {
      c.bytes.erase(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(n));
      break;
    }
  }
}

void ScriptedModem::OnBulkOut(const uint8_t* data, size_t n) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  bulkOut_.append(reinterpret_cast<const char*>(data), n);
  ++bulkOutCalls_;
}

void ScriptedModem::OnControlLineState(uint16_t value) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  lineStates_.push_back(value);
}

void ScriptedModem::OnLineCoding(uint32_t rate, uint8_t stopBits, uint8_t parity,
                                 uint8_t dataBits) {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  codings_.push_back(LineCoding{rate, stopBits, parity, dataBits});
}

std::string ScriptedModem::BulkOut() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return bulkOut_;
}

std::string ScriptedModem::TakeBulkOut() {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  std::string s;
  s.swap(bulkOut_);
  return s;
}

size_t ScriptedModem::BulkOutCalls() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return bulkOutCalls_;
}

std::vector<LineCoding> ScriptedModem::LineCodings() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return codings_;
}

std::vector<uint16_t> ScriptedModem::ControlLineStates() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return lineStates_;
}

size_t ScriptedModem::PendingBulkIn() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return pendingBytes_;
}

size_t ScriptedModem::PendingNotifications() const {
  std::lock_guard<host::NoSwitchMutex> lock(mutex_);
  return notifications_.size();
}

}  // namespace sim

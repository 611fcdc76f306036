// A modem a test drives by hand: it sends exactly what the test pushes (bulk-IN bytes,
// zero-length packets, SERIAL_STATE notifications with any bits, raw notification packets of any
// length and content) and records what the computer sent (bulk-OUT bytes, line codings, control
// line states). Nothing happens on its own: no echo, no timers, no answers.
//
// Pushed bulk-IN bytes go to the device's bulk-IN FIFO as room allows; what does not fit waits
// here (PendingBulkIn) and follows as the driver reads. In deterministic runs the bytes reach a
// pending transfer at the next Session::Pump.
//
// Thread-safe: a test thread may push while the device serves transfers.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "host/schedule.h"
#include "sim/modem.h"
#include "sim/usb_stack.h"

namespace sim {

class ScriptedModem final : public Modem {
 public:
  ScriptedModem() = default;
  ScriptedModem(const ScriptedModem&) = delete;
  ScriptedModem& operator=(const ScriptedModem&) = delete;

  // ---- What the modem sends ----------------------------------------------------------------
  void PushBulkIn(const std::string& bytes);
  void PushBulkIn(const std::vector<uint8_t>& bytes);
  void PushBulkIn(const uint8_t* data, size_t n);
  // A zero-length packet at this point of the bulk-IN stream (see UsbFunctionHost).
  void PushZeroLengthPacket();
  // A CDC SERIAL_STATE notification (bit 0 DCD, bit 1 DSR, bit 2 break, bit 3 ring, ...).
  void PushSerialState(uint16_t uartState);
  // Any interrupt-IN packet, byte for byte (another bNotification, a short or long packet...).
  void PushNotification(const std::vector<uint8_t>& packet);

  // ---- What the computer sent ---------------------------------------------------------------
  std::string BulkOut() const;       // every bulk-OUT byte so far
  std::string TakeBulkOut();         // ... and forget them
  size_t BulkOutCalls() const;       // OnBulkOut calls (pieces as the device delivered them)
  std::vector<LineCoding> LineCodings() const;
  std::vector<uint16_t> ControlLineStates() const;
  size_t PendingBulkIn() const;      // pushed bytes not yet taken by the device's FIFO
  size_t PendingNotifications() const;

  // ---- Modem --------------------------------------------------------------------------------
  void Attach(ModemHost* host) override;
  void OnBulkOut(const uint8_t* data, size_t n) override;
  void OnControlLineState(uint16_t value) override;
  void OnLineCoding(uint32_t rate, uint8_t stopBits, uint8_t parity, uint8_t dataBits) override;
  void Poll() override;
  const char* Name() const override { return "scripted"; }

 private:
  struct Chunk {
    std::vector<uint8_t> bytes;
    bool zlp = false;
  };
  void Kick();

  ModemHost* host_ = nullptr;
  UsbFunctionHost* usb_ = nullptr;  // null when the host is a plain ModemHost
  mutable host::NoSwitchMutex mutex_;  // held while the stack is handed packets (kernel calls)
  std::deque<Chunk> bulkIn_;
  size_t pendingBytes_ = 0;
  std::deque<std::vector<uint8_t>> notifications_;
  std::string bulkOut_;
  size_t bulkOutCalls_ = 0;
  std::vector<LineCoding> codings_;
  std::vector<uint16_t> lineStates_;
};

}  // namespace sim

// A modem whose line is looped back: every byte the computer sends comes back on bulk-IN, in
// order, optionally paced at a line rate. Used for throughput tests and benchmarks.
#pragma once
#include <cstdint>
#include <memory>

#include "sim/modem.h"

namespace sim {

namespace detail {
class ByteQueue;
}

class LoopbackModem final : public Modem {
 public:
  // bytesPerSecond 0: the line is unlimited, bytes come back as fast as the FIFO takes them.
  explicit LoopbackModem(uint64_t bytesPerSecond = 0);
  ~LoopbackModem() override;
  LoopbackModem(const LoopbackModem&) = delete;
  LoopbackModem& operator=(const LoopbackModem&) = delete;

  // Modem.
  void Attach(ModemHost* host) override;
  void OnBulkOut(const uint8_t* data, size_t n) override;
  void OnControlLineState(uint16_t value) override;
  void OnLineCoding(uint32_t rate, uint8_t stopBits, uint8_t parity, uint8_t dataBits) override;
  void Poll() override;
  const char* Name() const override { return "loopback"; }

  // Line rate in bytes per second, 0 for unlimited. Takes effect for bytes not yet sent.
  void SetLineRate(uint64_t bytesPerSecond);
  uint64_t LineRate() const;
  // When set, the line rate follows each SET_LINE_CODING: bits per second divided by the bits of
  // one character on the wire (start bit, data bits, parity bit, 1, 1.5 or 2 stop bits).
  void SetPaceFromLineCoding(bool on) { paceFromCoding_ = on; }

  // Counters for tests and benchmarks.
  uint64_t BytesIn() const { return bytesIn_; }    // accepted from the computer (bulk-OUT)
  uint64_t BytesOut() const { return bytesOut_; }  // handed to the bulk-IN FIFO
  size_t Pending() const;                          // accepted and not yet handed back
  uint16_t ControlLineState() const { return controlLines_; }
  uint16_t SerialState() const { return serialState_; }  // last SERIAL_STATE bitmap sent

 private:
  void Pump();
  void Report(uint16_t state);
  void RequestWake(uint64_t ns);

  ModemHost* host_ = nullptr;
  std::unique_ptr<detail::ByteQueue> pending_;
  uint64_t rate_ = 0;          // bytes per second, 0 unlimited
  bool paceFromCoding_ = false;
  // Pacing: the line has been busy without a pause since baseNs_ and has carried sentSinceBase_
  // bytes since then; at time t it can have carried (t - baseNs_) * rate_ / 1e9 bytes.
  uint64_t baseNs_ = 0;
  uint64_t sentSinceBase_ = 0;
  uint64_t lastWake_ = UINT64_MAX;
  uint64_t bytesIn_ = 0;
  uint64_t bytesOut_ = 0;
  uint16_t controlLines_ = 0;
  uint16_t serialState_ = 0;
  bool lastReported_ = false;
};

}  // namespace sim

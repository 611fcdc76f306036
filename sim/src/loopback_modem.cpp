#include "sim/loopback_modem.h"

#include <algorithm>

#include "byte_queue.h"

namespace sim {

namespace {

constexpr uint64_t kNsPerSecond = 1000000000ull;
constexpr uint16_t kStateDcd = 0x0001;
constexpr uint16_t kStateDsr = 0x0002;

// a * b, or UINT64_MAX when that does not fit (no 128-bit arithmetic on 32-bit hosts).
uint64_t SaturatingMul(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// Bytes a line of `rate` bytes per second carries in `ns` nanoseconds, rounded down.
uint64_t LineBytes(uint64_t ns, uint64_t rate) {
  // ns = s * 1e9 + r with r < 1e9: whole seconds first, then the fraction.
  uint64_t whole = SaturatingMul(ns / kNsPerSecond, rate);
  uint64_t part = SaturatingMul(ns % kNsPerSecond, rate) / kNsPerSecond;
  return SaturatingAdd(whole, part);
}

// Time the line needs for `bytes` bytes, rounded up.
uint64_t TimeFor(uint64_t bytes, uint64_t rate) {
  uint64_t whole = SaturatingMul(bytes / rate, kNsPerSecond);
  uint64_t rest = SaturatingMul(bytes % rate, kNsPerSecond);
  uint64_t part = rest == UINT64_MAX ? UINT64_MAX : rest / rate + (rest % rate != 0);
  return SaturatingAdd(whole, part);
}

}  // namespace

LoopbackModem::LoopbackModem(uint64_t bytesPerSecond)
    : pending_(std::make_unique<detail::ByteQueue>()), rate_(bytesPerSecond) {}

LoopbackModem::~LoopbackModem() = default;

void LoopbackModem::Attach(ModemHost* host) {
  host_ = host;
  baseNs_ = host_->NowNs();
  sentSinceBase_ = 0;
  // The modem is powered and ready: DSR on. Carrier follows DTR (see OnControlLineState).
  Report(kStateDsr);
}

void LoopbackModem::SetLineRate(uint64_t bytesPerSecond) {
  rate_ = bytesPerSecond;
  baseNs_ = host_ ? host_->NowNs() : 0;
  sentSinceBase_ = 0;
  lastWake_ = UINT64_MAX;
  Pump();
}

uint64_t LoopbackModem::LineRate() const { return rate_; }

size_t LoopbackModem::Pending() const { return pending_->Size(); }

void LoopbackModem::OnBulkOut(const uint8_t* data, size_t n) {
  if (n == 0 || host_ == nullptr) return;
  bytesIn_ += n;
  if (rate_ == 0 && pending_->Empty()) {
    // Unlimited line and nothing waiting: straight through, keeping only what does not fit.
    size_t direct = std::min(n, host_->HostRoom());
    if (direct != 0) {
      host_->SendToHost(data, direct);
      bytesOut_ += direct;
    }
    pending_->Append(data + direct, n - direct);
    return;
  }
  if (pending_->Empty()) {
    // The line was idle (everything queued has been carried), so the new bytes start afresh:
    // idle time does not bank credit for a later burst.
    baseNs_ = host_->NowNs();
    sentSinceBase_ = 0;
  }
  pending_->Append(data, n);
  Pump();
}

void LoopbackModem::OnControlLineState(uint16_t value) {
  controlLines_ = value;
  // A looped-back line "answers" as soon as the computer is ready: carrier follows DTR.
  Report((value & 1) ? (kStateDsr | kStateDcd) : kStateDsr);
}

void LoopbackModem::OnLineCoding(uint32_t rate, uint8_t stopBits, uint8_t parity, uint8_t dataBits) {
  if (!paceFromCoding_ || rate == 0) return;
  // Half-bit units so that 1.5 stop bits count exactly: start bit, data bits, parity bit if any.
  uint64_t halfBits = 2u * (1u + dataBits + (parity != 0 ? 1u : 0u));
  halfBits += stopBits == 1 ? 3 : (stopBits == 2 ? 4 : 2);
  SetLineRate(std::max<uint64_t>(1, 2ull * rate / halfBits));
}

void LoopbackModem::Poll() { Pump(); }

void LoopbackModem::Pump() {
  if (host_ == nullptr || pending_->Empty()) return;
  size_t n = pending_->Size();
  uint64_t credit = UINT64_MAX;
  uint64_t now = 0;
  if (rate_ != 0) {
    now = host_->NowNs();
    uint64_t carried = now > baseNs_ ? LineBytes(now - baseNs_, rate_) : 0;
    credit = carried > sentSinceBase_ ? carried - sentSinceBase_ : 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, credit));
  }
  n = std::min(n, host_->HostRoom());
  if (n != 0) {
    host_->SendToHost(pending_->Front(), n);
    pending_->Consume(n);
    bytesOut_ += n;
    sentSinceBase_ += n;
  }
  // Held back by the line rather than by the FIFO: ask to be woken when about a millisecond of
  // line time has brought the next piece (a room-limited model is polled when room frees).
  if (rate_ != 0 && !pending_->Empty() && credit == n) {
    uint64_t quantum = std::max<uint64_t>(1, rate_ / 1000);
    uint64_t want = std::min<uint64_t>(pending_->Size(), quantum);
    RequestWake(baseNs_ + TimeFor(sentSinceBase_ + want, rate_));
  }
}

void LoopbackModem::RequestWake(uint64_t ns) {
  // One request per distinct time; a request whose time has come was used up by this poll.
  if (ns == lastWake_ && host_->NowNs() < ns) return;
  lastWake_ = ns;
  host_->WakeAt(ns);
}

void LoopbackModem::Report(uint16_t state) {
  if (host_ == nullptr) return;
  // The first report after Attach is always sent; later ones only on change.
  if (state == serialState_ && lastReported_) return;
  serialState_ = state;
  lastReported_ = true;
  host_->SendSerialState(state);
}

}  // namespace sim

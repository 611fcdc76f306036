// The arithmetic of a paced line (sim/line.h).

#include "sim/line.h"

namespace sim {

unsigned HalfBitsPerCharacter(uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
  unsigned half = 2 + 2u * dataBits;        // start bit and data bits
  if (parity != 0) half += 2;               // odd, even, mark, space
  half += stopBits == 1 ? 3 : stopBits == 2 ? 4 : 2;
  return half;
}

// Exact integer arithmetic without a 128-bit type (the 32-bit host has none): split into whole
// seconds and the rest so that no product exceeds 64 bits at any line rate below 2^32 bit/s.
uint64_t LineClock::CharactersIn(uint64_t ns) const {
  if (bps_ == 0 || halfBits_ == 0) return 0;
  constexpr uint64_t kSecond = 1000000000;
  const uint64_t halfBitsPerSecond = uint64_t(bps_) * 2;
  const uint64_t whole = (ns / kSecond) * halfBitsPerSecond;  // half bits in the whole seconds
  const uint64_t rest = (ns % kSecond) * halfBitsPerSecond;   // in kSecond-ths of a half bit
  return whole / halfBits_ + ((whole % halfBits_) * kSecond + rest) / (uint64_t(halfBits_) * kSecond);
}

uint64_t LineClock::NsFor(uint64_t characters) const {
  if (bps_ == 0) return UINT64_MAX / 2;
  constexpr uint64_t kSecond = 1000000000;
  const uint64_t halfBitsPerSecond = uint64_t(bps_) * 2;
  const uint64_t halfBits = characters * halfBits_;
  return (halfBits / halfBitsPerSecond) * kSecond +
         ((halfBits % halfBitsPerSecond) * kSecond + halfBitsPerSecond - 1) / halfBitsPerSecond;
}

uint64_t LineMeter::Available(const LineClock& clock, uint64_t nowNs, uint64_t burst) {
  if (nowNs < startNs_) return 0;
  const uint64_t carried = clock.CharactersIn(nowNs - startNs_);
  if (carried <= taken_) return 0;
  const uint64_t available = carried - taken_;
  if (available <= burst) return available;
  // Drop the credit beyond the burst: restart so that exactly `burst` is banked now.
  const uint64_t keepNs = clock.NsFor(burst);
  startNs_ = nowNs > keepNs ? nowNs - keepNs : 0;
  taken_ = 0;
  return clock.CharactersIn(nowNs - startNs_);
}

}  // namespace sim

// The arithmetic of a paced line (sim/line.h).

#include "sim/line.h"

namespace sim {

unsigned HalfBitsPerCharacter(uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
  unsigned half = 2 + 2u * dataBits;        // start bit and data bits
  if (parity != 0) half += 2;               // odd, even, mark, space
  half += stopBits == 1 ? 3 : stopBits == 2 ? 4 : 2;
  return half;
}

uint64_t LineClock::CharactersIn(uint64_t ns) const {
  if (bps_ == 0 || halfBits_ == 0) return 0;
  const unsigned __int128 halfBitTimes = static_cast<unsigned __int128>(ns) * bps_ * 2;
  return static_cast<uint64_t>(halfBitTimes / (static_cast<unsigned __int128>(halfBits_) * 1000000000u));
}

uint64_t LineClock::NsFor(uint64_t characters) const {
  if (bps_ == 0) return UINT64_MAX / 2;
  const unsigned __int128 num = static_cast<unsigned __int128>(characters) * halfBits_ * 1000000000u;
  const unsigned __int128 den = static_cast<unsigned __int128>(bps_) * 2;
  return static_cast<uint64_t>((num + den - 1) / den);
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

// The modem's line: what makes a simulated modem keep time as a real one does. Off by default
// (every transfer is served as soon as the stack looks at it); when on, the USB function has a
// transmit buffer of a chosen size that drains onto the line at the line rate, bulk-OUT
// transfers wait while it is full, the bytes the modem sends towards the computer come at the
// line rate, and the remote peer can hold the modem off (hardware flow control).
//
// The arithmetic is here, apart from the stack, so that it can be checked on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

struct LineOptions {
  // The line keeps time. Without it the other fields are not used.
  bool paced = false;
  // Line rate in bit/s; 0 takes it from the last SET_LINE_CODING (9600 before any). A fixed
  // rate is what a modem connected to a remote one runs at whatever its DTE rate (the CONNECT
  // rate); the character framing still comes from the line coding.
  uint32_t bitsPerSecond = 0;
  // Bytes of the modem's transmit buffer. A bulk-OUT transfer's bytes are accepted as room frees
  // (the endpoint NAKs meanwhile); the transfer completes when its last byte is accepted.
  size_t txBuffer = 64;
  // A bulk-OUT transfer that found the buffer full after accepting part of its bytes completes
  // at once, short, with STATUS_SUCCESS and the bytes accepted (a function that ends a transfer
  // early). Off: the transfer waits until all its bytes are accepted, as the platform's USB
  // stack does with an OUT transfer.
  bool shortOut = false;
  // RTS flow control towards the computer: while the last SET_CONTROL_LINE_STATE had RTS (bit 1)
  // clear, the modem delivers nothing received from the line to the computer.
  bool rtsFlow = false;
};

// One character on the wire: start bit, data bits, parity bit unless none, stop bits (1, 1.5 or
// 2), counted in half bits so that 1.5 stop bits is exact.
unsigned HalfBitsPerCharacter(uint8_t dataBits, uint8_t parity, uint8_t stopBits);

// The time a line of `bitsPerSecond` takes to carry characters of `halfBits` half bits.
class LineClock {
 public:
  LineClock() = default;
  LineClock(uint32_t bitsPerSecond, unsigned halfBits) : bps_(bitsPerSecond), halfBits_(halfBits) {}
  uint32_t BitsPerSecond() const { return bps_; }
  unsigned HalfBits() const { return halfBits_; }
  // Whole characters carried in `ns` nanoseconds.
  uint64_t CharactersIn(uint64_t ns) const;
  // Nanoseconds the line needs for `characters` characters (rounded up).
  uint64_t NsFor(uint64_t characters) const;
  // Characters per second (rounded down), for burst sizes.
  uint64_t CharactersPerSecond() const { return CharactersIn(1000000000); }

 private:
  uint32_t bps_ = 9600;
  unsigned halfBits_ = 20;
};

// A stream of characters over time: how many of them the line has carried since it started,
// less those already taken. Idle time banks at most `burst` characters.
class LineMeter {
 public:
  // (Re)starts the meter at `nowNs` with nothing banked.
  void Start(uint64_t nowNs) {
    startNs_ = nowNs;
    taken_ = 0;
  }
  // Characters available at `nowNs`, at most `burst` (older credit is dropped, and the meter's
  // start moves so that it stays dropped).
  uint64_t Available(const LineClock& clock, uint64_t nowNs, uint64_t burst);
  void Take(uint64_t characters) { taken_ += characters; }
  // When at least `characters` more will be available (the meter's time, not later than needed).
  uint64_t TimeOf(const LineClock& clock, uint64_t characters) const {
    return startNs_ + clock.NsFor(taken_ + characters);
  }

 private:
  uint64_t startNs_ = 0;
  uint64_t taken_ = 0;
};

}  // namespace sim

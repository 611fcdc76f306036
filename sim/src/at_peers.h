// The far end of an AtModem call: built-in peers (echo, stream, busy, no answer, no dial tone)
// and a bridge to a TCP host. Internal to the modem models.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/at_modem.h"

namespace sim::detail {

enum class DialOutcome : uint8_t { Pending, Connected, Busy, NoDialtone, NoCarrier };

class Peer {
 public:
  virtual ~Peer() = default;
  // While dialling: has the call been answered, refused, or is it still in progress?
  virtual DialOutcome Progress() = 0;
  // Data towards the remote side; returns how many bytes it took (the rest stays with the modem).
  virtual size_t Write(const uint8_t* data, size_t n) = 0;
  // Data from the remote side, at most `max` bytes; 0 when nothing is there now.
  virtual size_t Read(uint8_t* buf, size_t max) = 0;
  // The remote side has hung up. Data it sent before may still be readable.
  virtual bool RemoteGone() = 0;
  // The remote side has hung up and everything it sent has been read. Only this, learnt from the
  // read path itself, ends a call in data mode: a hang-up seen by a separate check could
  // overtake data that arrived just before it.
  virtual bool Finished() = 0;
  virtual int Socket() const { return -1; }
};

// A peer for `target`. A Tcp target whose address does not parse gives a peer that fails the dial.
std::unique_ptr<Peer> MakePeer(const DialTarget& target);

// "a.b.c.d:port", "a.b.c.d" (port 23) or "localhost[:port]". Address in host byte order.
bool ParseTcpAddress(const std::string& text, uint32_t* address, uint16_t* port);

}  // namespace sim::detail

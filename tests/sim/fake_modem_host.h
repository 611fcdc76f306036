// A ModemHost for the modem model tests: a virtual clock, a bulk-IN FIFO of settable room, and
// records of everything the model sent and asked for.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/modem.h"

namespace sim::testing {

class FakeModemHost : public ModemHost {
 public:
  static constexpr size_t kUnlimited = SIZE_MAX;

  // ModemHost.
  void SendToHost(const uint8_t* data, size_t n) override {
    if (n > room) {
      ADD_FAILURE() << "model sent " << n << " bytes with room for " << room;
    }
    received.append(reinterpret_cast<const char*>(data), n);
    ++sends;
    if (room != kUnlimited) room -= std::min(room, n);
  }
  size_t HostRoom() const override { return room; }
  void SendSerialState(uint16_t state) override { states.push_back(state); }
  uint64_t NowNs() const override { return now; }
  void WakeAt(uint64_t ns) override { wakes.insert(ns); }

  // Bytes received so far, emptied.
  std::string Take() {
    std::string s;
    s.swap(received);
    return s;
  }

  // Moves the clock to `t`, polling the model at each wake time it asked for on the way (in
  // time order, as a host's timer would) and once more at `t`.
  void AdvanceTo(Modem& modem, uint64_t t) {
    while (!wakes.empty() && *wakes.begin() <= t) {
      uint64_t w = *wakes.begin();
      wakes.erase(wakes.begin());
      now = std::max(now, w);
      modem.Poll();
    }
    now = std::max(now, t);
    modem.Poll();
  }
  void Advance(Modem& modem, uint64_t ns) { AdvanceTo(modem, now + ns); }

  // Frees room in the FIFO (as a completed bulk-IN transfer would) and polls the model.
  void FreeRoom(Modem& modem, size_t n) {
    room = room == kUnlimited ? kUnlimited : room + n;
    modem.Poll();
  }

  uint64_t NextWake() const { return wakes.empty() ? UINT64_MAX : *wakes.begin(); }

  std::string received;
  size_t room = kUnlimited;
  uint64_t now = 0;
  std::vector<uint16_t> states;
  std::set<uint64_t> wakes;
  unsigned sends = 0;
};

inline constexpr uint64_t kMs = 1000000ull;
inline constexpr uint64_t kSecond = 1000000000ull;

}  // namespace sim::testing

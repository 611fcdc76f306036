// Shared by the write tests.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ioctl_test_support.h"
#include "sim/modem.h"
#include "sim/usb_stack.h"

namespace writetest {

// n bytes that are not all the same, so that a misplaced chunk shows.
inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return data;
}

// The bulk-OUT transfers recorded since trace entry `from`: "OUT n" for a submission of n bytes,
// "DONE n" for a completion that sent n bytes, "FAIL <status>" for one that failed.
inline std::vector<std::string> OutTraffic(porttest::PortTestbed& tb, size_t from,
                                           size_t device = 0) {
  std::vector<std::string> lines;
  for (const sim::TraceEntry& e : tb.fullTrace(device).Entries()) {
    if (e.sequence < from || !e.hasPipe || e.pipe != sim::Pipe::BulkOut) continue;
    if (e.kind == sim::TraceKind::OutSubmit) {
      lines.push_back("OUT " + std::to_string(e.length));
    } else if (e.kind == sim::TraceKind::OutDone) {
      lines.push_back(NT_SUCCESS(e.status) ? "DONE " + std::to_string(e.length)
                                           : "FAIL " + sim::StatusName(e.status));
    } else if (e.kind == sim::TraceKind::Refused) {
      lines.push_back("REFUSED " + sim::StatusName(e.status));
    }
  }
  return lines;
}

// True when no two bulk-OUT transfers were ever in flight together.
inline bool OneTransferAtATime(porttest::PortTestbed& tb, size_t device = 0) {
  int inFlight = 0;
  for (const sim::TraceEntry& e : tb.fullTrace(device).Entries()) {
    if (!e.hasPipe || e.pipe != sim::Pipe::BulkOut) continue;
    if (e.kind == sim::TraceKind::OutSubmit) {
      if (++inFlight > 1) return false;
    } else if (e.kind == sim::TraceKind::OutDone) {
      --inFlight;
    }
  }
  return true;
}

// A modem that records what it is sent and lets a test act between two bulk-OUT transfers: the
// hook runs inside the delivery of each transfer's bytes, when that transfer's completion is
// already decided, so a Hold or FailNextTransfer it makes applies to the next transfer.
class StepModem final : public sim::Modem {
 public:
  std::function<void(sim::UsbStack& usb, size_t delivery)> onBulkOut;

  void Attach(sim::ModemHost* host) override { usb_ = dynamic_cast<sim::UsbStack*>(host); }
  void OnBulkOut(const uint8_t* data, size_t n) override {
    bulkOut_.append(reinterpret_cast<const char*>(data), n);
    ++deliveries_;
    if (onBulkOut && usb_ != nullptr) onBulkOut(*usb_, deliveries_);
  }
  void OnControlLineState(uint16_t) override {}
  void OnLineCoding(uint32_t, uint8_t, uint8_t, uint8_t) override {}
  void Poll() override {}
  const char* Name() const override { return "step"; }

  const std::string& BulkOut() const { return bulkOut_; }

 private:
  sim::UsbStack* usb_ = nullptr;
  std::string bulkOut_;
  size_t deliveries_ = 0;
};

inline porttest::PortTestbedOptions WithStepModem() {
  porttest::PortTestbedOptions options;
  options.modem = std::make_unique<StepModem>();
  return options;
}

inline bool SameBytes(const std::string& got, const std::vector<uint8_t>& want) {
  return got.size() == want.size() && memcmp(got.data(), want.data(), want.size()) == 0;
}

}  // namespace writetest

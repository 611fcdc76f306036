// Readable output for the demo and the bridge: numbered steps, request lines with their
// statuses, and the bus traffic of a step summarised (class requests decoded, transfers counted).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/trace.h"

namespace mdmhost {

// SET_LINE_CODING 115200 8N1, SET_CONTROL_LINE_STATE DTR RTS, RESET bulk-in ...; transfers
// counted per pipe with their bytes; notifications with the line state they carry; with
// `showArms`, the reads submitted (once per pipe), for the steps that arm the readers.
std::vector<std::string> SummariseBus(const std::vector<sim::TraceEntry>& entries, bool showArms = false);
// Every entry after the cursor's position (it moves to the end).
std::vector<sim::TraceEntry> TakeEntries(sim::TraceCursor& cursor);
// "DCD DSR" from a CDC SERIAL_STATE bitmap.
std::string UartStateText(uint16_t bits);

class Transcript {
 public:
  explicit Transcript(FILE* out) : out_(out) {}
  void Step(const std::string& title);
  void Line(const std::string& text);         // indented detail
  void Request(const std::string& call, const std::string& status, const std::string& detail = "");
  void Bus(const std::vector<sim::TraceEntry>& entries, bool full, bool showArms = false);
  void Blank();
  FILE* out() const { return out_; }
  int steps() const { return step_; }

 private:
  FILE* out_;
  int step_ = 0;
};

}  // namespace mdmhost

#include "transcript.h"

#include <map>

namespace mdmhost {

std::string UartStateText(uint16_t bits) {
  static const char* const kNames[] = {"DCD", "DSR", "BREAK", "RING", "FRAMING", "PARITY", "OVERRUN"};
  std::string out;
  for (unsigned i = 0; i < 7; ++i) {
    if (bits & (1u << i)) out += std::string(out.empty() ? "" : " ") + kNames[i];
  }
  return out.empty() ? "no lines" : out;
}

static std::string CodingText(const std::vector<uint8_t>& d) {
  if (d.size() < 7) return "(short)";
  uint32_t rate = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
  static const char kParity[] = "NOEMS";
  const char* stop = d[4] == 0 ? "1" : d[4] == 1 ? "1.5" : d[4] == 2 ? "2" : "?";
  char parity = d[5] < 5 ? kParity[d[5]] : '?';
  return std::to_string(rate) + " " + std::to_string(d[6]) + parity + stop;
}

std::vector<sim::TraceEntry> TakeEntries(sim::TraceCursor& cursor) {
  std::vector<sim::TraceEntry> out;
  for (sim::TraceEntry e = cursor.Next(); e.kind != sim::TraceKind::End; e = cursor.Next()) {
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<std::string> SummariseBus(const std::vector<sim::TraceEntry>& entries, bool showArms) {
  std::vector<std::string> lines;
  struct Count {
    uint64_t transfers = 0;
    uint64_t bytes = 0;
    uint64_t failed = 0;
    std::string failures;  // the statuses they ended with
  };
  std::map<sim::Pipe, Count> in, out;
  std::map<sim::Pipe, uint32_t> armed;  // IN transfers submitted (their length)
  std::vector<std::string> notes;
  std::string control;
  auto flushControl = [&] {
    if (!control.empty()) lines.push_back(control);
    control.clear();
  };
  for (const sim::TraceEntry& e : entries) {
    switch (e.kind) {
      case sim::TraceKind::Setup: {
        std::string text;
        if (e.setup[1] == 0x20) {
          text = "SET_LINE_CODING " + CodingText(e.data);
        } else if (e.setup[1] == 0x22) {
          uint16_t value = static_cast<uint16_t>(e.setup[2] | e.setup[3] << 8);
          std::string l = std::string(value & 1 ? "DTR" : "") + (value & 2 ? (value & 1 ? " RTS" : "RTS") : "");
          text = "SET_CONTROL_LINE_STATE " + (l.empty() ? std::string("none") : l);
        } else {
          text = e.ToString();
        }
        if (e.status != STATUS_SUCCESS) text += " -> " + sim::StatusName(e.status);
        flushControl();
        lines.push_back(text);
        break;
      }
      case sim::TraceKind::ResetPipe:
      case sim::TraceKind::AbortPipe: {
        std::string text = e.ToString();
        if (control.empty()) {
          control = text;
        } else {
          control += ", " + text;
        }
        break;
      }
      case sim::TraceKind::InDone: {
        Count& c = in[e.pipe];
        if (e.status != STATUS_SUCCESS) {
          ++c.failed;
          if (c.failures.find(sim::StatusName(e.status)) == std::string::npos) {
            c.failures += (c.failures.empty() ? "" : ", ") + sim::StatusName(e.status);
          }
        } else {
          ++c.transfers;
          c.bytes += e.length;
          if (e.pipe == sim::Pipe::Interrupt && e.data.size() >= 10 && e.data[1] == 0x20) {
            notes.push_back(UartStateText(static_cast<uint16_t>(e.data[8] | e.data[9] << 8)));
          }
        }
        break;
      }
      case sim::TraceKind::OutDone: {
        Count& c = out[e.pipe];
        if (e.status != STATUS_SUCCESS) {
          ++c.failed;
          if (c.failures.find(sim::StatusName(e.status)) == std::string::npos) {
            c.failures += (c.failures.empty() ? "" : ", ") + sim::StatusName(e.status);
          }
        } else {
          ++c.transfers;
          c.bytes += e.length;
        }
        break;
      }
      case sim::TraceKind::InSubmit:
        if (!armed.count(e.pipe)) armed[e.pipe] = e.length;
        break;
      case sim::TraceKind::OutSubmit:
        break;
      default:
        flushControl();
        lines.push_back(e.ToString());
    }
  }
  flushControl();
  auto counts = [&](const char* name, const Count& c, const char* unit) {
    std::string t = std::string(name) + " " + std::to_string(c.transfers) + " " + unit +
                    (c.transfers == 1 ? "" : "s") + ", " + std::to_string(c.bytes) + " bytes";
    if (c.failed) t += ", " + std::to_string(c.failed) + " ended " + c.failures;
    return t;
  };
  if (out.count(sim::Pipe::BulkOut)) lines.push_back(counts("bulk-OUT", out[sim::Pipe::BulkOut], "transfer"));
  if (in.count(sim::Pipe::BulkIn)) lines.push_back(counts("bulk-IN", in[sim::Pipe::BulkIn], "transfer"));
  // The first read submitted on each IN pipe (re-arms after completions are routine).
  if (showArms && !armed.empty()) {
    std::string reads;
    for (const auto& [pipe, length] : armed) {
      reads += std::string(reads.empty() ? "" : ", ") + sim::PipeName(pipe) + " " + std::to_string(length);
    }
    lines.push_back("reads armed: " + reads);
  }
  if (in.count(sim::Pipe::Interrupt)) {
    std::string t = counts("interrupt-IN", in[sim::Pipe::Interrupt], "notification");
    if (!notes.empty()) {
      t += ":";
      for (const std::string& n : notes) t += " [" + n + "]";
    }
    lines.push_back(t);
  }
  return lines;
}

void Transcript::Step(const std::string& title) {
  std::fprintf(out_, "\n[%d] %s\n", ++step_, title.c_str());
  std::fflush(out_);
}

void Transcript::Line(const std::string& text) {
  std::fprintf(out_, "    %s\n", text.c_str());
  std::fflush(out_);
}

void Transcript::Request(const std::string& call, const std::string& status,
                         const std::string& detail) {
  std::fprintf(out_, "    %-44s -> %s%s%s\n", call.c_str(), status.c_str(), detail.empty() ? "" : "  ",
               detail.c_str());
  std::fflush(out_);
}

void Transcript::Bus(const std::vector<sim::TraceEntry>& entries, bool full, bool showArms) {
  if (entries.empty()) return;
  if (full) {
    for (const sim::TraceEntry& e : entries) std::fprintf(out_, "      bus| %s\n", e.ToString().c_str());
  } else {
    for (const std::string& l : SummariseBus(entries, showArms)) std::fprintf(out_, "      bus: %s\n", l.c_str());
  }
  std::fflush(out_);
}

void Transcript::Blank() { std::fputc('\n', out_); }

}  // namespace mdmhost

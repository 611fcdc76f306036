// A modem that keeps time (sim/line.h): pacing the current device's line, the remote peer
// holding the modem off and letting it go, and checks on virtual time and on the line's state.
//
//   line pace [RATE] [buffer N] [short] [rts-flow]   paced at RATE bit/s (else the line coding's)
//   line off                                          not paced (the default)
//   line hold | line release                          the peer holds the modem off / lets go
//   line mark NAME                                    remembers the virtual time
//   line elapsed NAME [at-least D] [at-most D]        virtual time since the mark
//   line expect buffered N | sent N | rate N | held | not-held
#include <cstdio>

#include "scenario/scenario.h"

namespace mdmhost::scenario {

namespace {

Statement Make(Action action) {
  Statement s;
  s.run = std::move(action);
  return s;
}

std::string Ms(int64_t ticks) {
  char text[48];
  std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(ticks) / 10000.0);
  return text;
}

void Check(bool ok, const std::string& what, const std::string& expected, const std::string& actual) {
  if (!ok) throw Failure{what, expected, actual};
}

}  // namespace

void AddLineCommands(CommandTable& table) {
  table["line"] = [](Args& args) -> Statement {
    std::string verb = args.Word("what the line does (pace, off, hold, release, mark, elapsed, expect)");
    for (char& c : verb) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    if (verb == "pace") {
      sim::LineOptions line;
      line.paced = true;
      if (!args.AtEnd() && std::isdigit(static_cast<unsigned char>(args.Peek().text[0]))) {
        line.bitsPerSecond = static_cast<uint32_t>(args.Number("the line rate in bit/s"));
        if (line.bitsPerSecond == 0) args.Error("a line rate is at least 1 bit/s");
      }
      while (!args.AtEnd()) {
        if (args.Take("buffer")) {
          line.txBuffer = args.Number("the transmit buffer in bytes");
          if (line.txBuffer == 0) args.Error("the transmit buffer holds at least 1 byte");
        } else if (args.Take("short")) {
          line.shortOut = true;
        } else if (args.Take("rts-flow")) {
          line.rtsFlow = true;
        } else {
          args.Error("unexpected '" + args.Peek().text + "' (buffer N, short, rts-flow)");
        }
      }
      return Make([=](Runner& r) { r.stack().usb(r.Device()).SetLine(line); });
    }
    if (verb == "off") {
      args.End();
      return Make([](Runner& r) { r.stack().usb(r.Device()).SetLine(sim::LineOptions{}); });
    }
    if (verb == "hold" || verb == "release") {
      args.End();
      const bool hold = verb == "hold";
      return Make([=](Runner& r) { r.stack().usb(r.Device()).HoldPeer(hold); });
    }
    if (verb == "mark") {
      std::string name = args.Word("a name for this moment");
      args.End();
      Statement s = Make([=](Runner& r) { r.timeMarks[name] = r.stack().session().Now(); });
      s.settles = false;
      return s;
    }
    if (verb == "elapsed") {
      std::string name = args.Word("the name of a mark");
      std::optional<int64_t> least, most;
      while (!args.AtEnd()) {
        if (args.Take("at-least")) {
          least = args.Duration();
        } else if (args.Take("at-most")) {
          most = args.Duration();
        } else {
          args.Error("unexpected '" + args.Peek().text + "' (at-least D, at-most D)");
        }
      }
      if (!least && !most) args.Error("expected at-least D and/or at-most D");
      return Make([=](Runner& r) {
        auto it = r.timeMarks.find(name);
        if (it == r.timeMarks.end()) throw Failure{"no mark '" + name + "' ('line mark " + name + "' first)", "", ""};
        const int64_t elapsed = r.stack().session().Now() - it->second;
        std::string range = (least ? "at least " + Ms(*least) : "") + (least && most ? ", " : "") +
                            (most ? "at most " + Ms(*most) : "");
        Check((!least || elapsed >= *least) && (!most || elapsed <= *most),
              "wrong virtual time since '" + name + "'", range, Ms(elapsed));
        r.Note("elapsed since " + name + ": " + Ms(elapsed));
      });
    }
    if (verb == "expect") {
      std::string what = args.Word("buffered, sent, rate, held or not-held");
      if (what == "held" || what == "not-held") {
        args.End();
        const bool held = what == "held";
        return Make([=](Runner& r) {
          const bool is = r.stack().usb(r.Device()).PeerHeld();
          Check(is == held, "wrong hold on the line", held ? "held" : "not held", is ? "held" : "not held");
        });
      }
      if (what != "buffered" && what != "sent" && what != "rate") {
        args.Error("unknown '" + what + "' (buffered, sent, rate, held, not-held)");
      }
      const uint64_t n = args.Number("the expected number");
      args.End();
      return Make([=](Runner& r) {
        sim::UsbStack& usb = r.stack().usb(r.Device());
        const uint64_t is = what == "buffered" ? usb.TxBuffered()
                            : what == "sent"   ? usb.BytesOnLine()
                                               : usb.LineRate();
        Check(is == n, "wrong line " + what, std::to_string(n), std::to_string(is));
      });
    }
    args.Error("unknown line step '" + verb + "' (pace, off, hold, release, mark, elapsed, expect)");
  };
}

}  // namespace mdmhost::scenario

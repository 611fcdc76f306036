// The paced-line options shared by demo, run and bridge (line_options.h).

#include "line_options.h"

#include "cli.h"

namespace mdmhost {

namespace {
sim::LineOptions gLine;
}  // namespace

const char* const kLineOptionsHelp =
    "  --rate BPS         the modem keeps time at a fixed line rate of BPS bit/s (the AT\n"
    "                     modem also reports it as its CONNECT rate), whatever the port sets\n"
    "  --paced            the modem keeps time at the rate the port sets (SET_LINE_CODING)\n"
    "  --tx-buffer BYTES  with --rate or --paced: the modem's transmit buffer (default 64)\n"
    "  --short-writes     with --rate or --paced: a bulk-OUT transfer that fills the buffer\n"
    "                     completes short with what it took\n"
    "  --rts-flow         with --rate or --paced: the modem sends nothing to the port while\n"
    "                     the port holds RTS low\n";

void SelectLineFromOptions(Options& options) {
  sim::LineOptions line;
  if (auto rate = options.Number("--rate", 50, 4000000)) {
    line.paced = true;
    line.bitsPerSecond = static_cast<uint32_t>(*rate);
  }
  if (options.Flag("--paced")) line.paced = true;
  const auto buffer = options.Number("--tx-buffer", 1, 16ull << 20);
  const bool shortWrites = options.Flag("--short-writes");
  const bool rtsFlow = options.Flag("--rts-flow");
  if (!line.paced && (buffer || shortWrites || rtsFlow)) {
    throw UsageError("--tx-buffer, --short-writes and --rts-flow need --rate or --paced");
  }
  if (buffer) line.txBuffer = static_cast<size_t>(*buffer);
  line.shortOut = shortWrites;
  line.rtsFlow = rtsFlow;
  gLine = line;
}

const sim::LineOptions& SelectedLine() { return gLine; }

}  // namespace mdmhost

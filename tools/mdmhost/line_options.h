// The paced line for the devices mdmhost plugs (demo, run, bridge): --rate, --paced,
// --tx-buffer, --short-writes, --rts-flow. Stack::Plug gives every new device these options;
// a scenario's "line" lines change them per device (scenario/commands_line.cpp).
#pragma once

#include "sim/line.h"

namespace mdmhost {

class Options;

// Reads the line options of any subcommand (removing them from `options`).
void SelectLineFromOptions(Options& options);
// What devices are plugged with (not paced unless an option asked for it).
const sim::LineOptions& SelectedLine();
// The options' lines for a command's help text.
extern const char* const kLineOptionsHelp;

}  // namespace mdmhost

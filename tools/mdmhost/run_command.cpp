// mdmhost run FILE...: parses and runs scenario files, one deterministic session each.
#include <fstream>
#include <iostream>
#include <sstream>

#include "binding.h"
#include "cli.h"
#include "scenario/scenario.h"

namespace mdmhost {

const char* const kRunHelp =
    "Usage: mdmhost run [OPTIONS] FILE...\n"
    "\n"
    "Runs scenario files: plain-text scripts of driver and device steps, application requests,\n"
    "device events, virtual time and expectations (docs/scenarios.md). Each file runs in a\n"
    "fresh deterministic host session with the verifier on. A failing line is reported as\n"
    "FILE:LINE: what went wrong, with the expected and the actual value.\n"
    "\n"
    "Options:\n"
    "  -v, --verbose      print every line as it runs, with the statuses it saw\n"
    "  -k, --keep-going   go on after a failure in a file (default: stop that file)\n"
    "  -q, --quiet        print failures only, no PASS lines, recorded results or dumps\n"
    "  --seed N           the seed of the random moments ('cancel R within D'), instead of\n"
    "                     the file's 'seed' lines (default 1)\n"
    "  --fail-alloc pool:N|irp:N\n"
    "                     the low-resources simulation: the driver's Nth pool or request\n"
    "                     allocation fails (the simulation's own are not counted)\n"
    "  --sweep-lowres     per file: count the driver's pool and request allocations, then run\n"
    "                     once per allocation with that one failing; report every run that\n"
    "                     crashed, leaked, hung or drew a verifier report, with the command\n"
    "                     that replays it (the scenario's own expectations are not judged)\n"
    "  --wdm VERSION      the WDM version the system reports from the start of each file:\n"
    "                     1.10 (Windows 2000) or 1.20 (Windows XP, the default)\n"
    "  --image PATH       run the x86 image itself (build/x86/tavrinmdm.sys) instead of the\n"
    "                     host-compiled driver; needs the 32-bit host (build/host32)\n"
    "  --stack-report     with --image: print the kernel stack the image used per routine\n"
    "  --max-stack BYTES  with --image: fail when the image used more kernel stack than this\n"
    "\n"
    "Example:\n"
    "  load\n"
    "  add device COM7 scripted\n"
    "  start\n"
    "  open COM7 -> SUCCESS\n"
    "  ioctl SET_BAUD_RATE 115200 -> SUCCESS\n"
    "  expect bus SETUP 21 20 00 00 00 00 07 00 DATA 00 C2 01 00 02 00 08\n"
    "  device receive \"hello\"\n"
    "  read 100 -> SUCCESS \"hello\"\n"
    "  close\n"
    "\n"
    "Exit status: 0 when every expectation of every file held, 1 otherwise, 2 for a usage error.\n";

// sweep.cpp
int SweepLowResources(const std::string& file, const scenario::Script& script,
                      const scenario::RunOptions& base, bool quiet);

namespace {

scenario::DriverAllocationFault ParseFailAlloc(const std::string& text) {
  size_t colon = text.find(':');
  std::string kind = text.substr(0, colon);
  auto n = colon == std::string::npos ? std::nullopt : ParseNumber(text.substr(colon + 1));
  if ((kind != "pool" && kind != "irp") || !n || *n == 0 || *n > 0xFFFFFFFFu) {
    throw UsageError("--fail-alloc takes pool:N or irp:N (N from 1), not '" + text + "'");
  }
  return {kind == "pool" ? scenario::DriverAllocationFault::Pool : scenario::DriverAllocationFault::Irp,
          static_cast<unsigned>(*n)};
}

}  // namespace

int RunCommand(const std::vector<std::string>& argv) {
  Options options(argv);
  scenario::RunOptions run;
  run.verbose = options.Flag("--verbose", "-v");
  run.keepGoing = options.Flag("--keep-going", "-k");
  bool quiet = options.Flag("--quiet", "-q");
  if (auto wdm = options.Value("--wdm")) {
    run.wdmVersion = scenario::ParseWdmVersion(*wdm);
    if (!run.wdmVersion) throw UsageError("--wdm needs a version such as 1.10, not '" + *wdm + "'");
  }
  run.quiet = quiet;
  run.seed = options.Number("--seed", 0, UINT64_MAX);
  if (auto fail = options.Value("--fail-alloc")) run.failAllocation = ParseFailAlloc(*fail);
  bool sweep = options.Flag("--sweep-lowres");
  if (sweep && run.failAllocation) throw UsageError("--sweep-lowres fails every allocation itself; drop --fail-alloc");
  SelectDriverFromOptions(options);
  std::vector<std::string> files = options.Rest(true);
  if (files.empty()) throw UsageError("run needs at least one scenario file");

  size_t failedFiles = 0;
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::cout << file << ": cannot be read\n";
      ++failedFiles;
      continue;
    }
    std::stringstream text;
    text << in.rdbuf();
    scenario::Script script = scenario::ParseScript(file, text.str());
    if (!script.errors.empty()) {
      for (const std::string& e : script.errors) std::cout << e << "\n";
      std::cout << "FAIL  " << file << " (" << script.errors.size() << " line(s) not understood; nothing run)\n";
      ++failedFiles;
      continue;
    }
    if (sweep) {
      if (SweepLowResources(file, script, run, quiet) != 0) ++failedFiles;
      continue;
    }
    scenario::Runner runner(script, run, std::cout);
    bool ok = runner.Run();
    if (!ok) {
      ++failedFiles;
      std::cout << "FAIL  " << file << " (" << runner.failures() << " failure(s))\n";
    } else if (!quiet) {
      std::cout << "PASS  " << file << " (" << script.statements.size() << " steps)\n";
    }
    std::cout.flush();
  }
  if (!CheckImageStack(std::cout)) ++failedFiles;
  if (files.size() > 1 && !quiet) {
    std::cout << files.size() - failedFiles << " passed, " << failedFiles << " failed\n";
  }
  return failedFiles == 0 ? 0 : 1;
}

}  // namespace mdmhost

// mdmhost run FILE...: parses and runs scenario files, one deterministic session each; with
// --explore, each file under many schedules of the exploring scheduler (host/schedule.h).
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "binding.h"
#include "line_options.h"
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
    "  --sweep-limit N    with --sweep-lowres: at most N runs per file, at allocation points\n"
    "                     spread evenly over all of them (reported as sampled)\n"
    "  --explore N        run each file under N schedules of the exploring scheduler (random\n"
    "                     walk and PCT alternating; every kernel call of the driver a switch\n"
    "                     point, DPCs on a processor of their own); stops a file at its first\n"
    "                     failing schedule and prints the command that replays it\n"
    "                     (a file with an 'explore N' line runs under N schedules after the\n"
    "                     fixed order without this option)\n"
    "  --seconds S        with --explore: stop starting schedules of a file after S seconds\n"
    "  --explore-seed X   with --explore: the base seed (hexadecimal; default fixed)\n"
    "  --replay SCHEDULE  run each file under this one schedule (random:SEED or\n"
    "                     pct:DEPTH:STEPS:SEED, as --explore prints it)\n"
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
                      const scenario::RunOptions& base, bool quiet, uint64_t limit);

namespace {

// Runs one parsed file once; its report goes to `out`.
bool RunOnce(const scenario::Script& script, const scenario::RunOptions& run, std::ostream& out,
             size_t* failures) {
  scenario::Runner runner(script, run, out);
  bool ok = runner.Run();
  *failures = runner.failures();
  return ok;
}

struct Exploration {
  unsigned schedules = 0;  // 0: not exploring
  double seconds = 0;
  uint64_t seed = host::kDefaultExploreSeed;
  std::optional<host::ScheduleOptions> replay;
};

// The options that change what a file does, besides the schedule (for the replay line).
std::string gReplayOptions;

std::string ReplayLine(const std::string& schedule, const std::string& file) {
  return "mdmhost run" + gReplayOptions + " --replay " + schedule + " " + file;
}

// Runs `script` under the exploration's schedules, each report kept until the first failure.
bool Explore(const scenario::Script& script, scenario::RunOptions run, const Exploration& x,
             bool quiet) {
  host::ScheduleSequence sequence(host::ScheduleOptions{}, x.seed);
  const std::string file = script.file;
  unsigned number = 0;
  host::SetReplayHint([file, &number](const std::string& schedule) {
    return "number " + std::to_string(number) + " of this run; replay it with:\n  " +
           ReplayLine(schedule, file);
  });
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  unsigned ran = 0;
  bool ok = true;
  for (unsigned i = 0; i < x.schedules; ++i) {
    if (x.seconds > 0 && i > 0 && elapsed() >= x.seconds) break;
    run.schedule = sequence.Next();
    number = i + 1;
    std::ostringstream out;
    size_t failures = 0;
    ok = RunOnce(script, run, out, &failures);
    sequence.Ran(host::LastScheduleStats());
    ++ran;
    if (!ok) {
      const std::string schedule = host::FormatSchedule(run.schedule);
      std::cout << out.str() << "FAIL  " << file << " in schedule " << schedule << " (number "
                << i + 1 << "; " << failures << " failure(s)); replay it with:\n  "
                << ReplayLine(schedule, file) << "\n";
      break;
    }
  }
  host::SetReplayHint(nullptr);
  const double seconds = elapsed();
  if (ok && !quiet) {
    char figures[200];
    std::snprintf(figures, sizeof figures,
                  " (%u schedules in %.2f s, %.0f/s; random walk %u, PCT %u; base seed %016" PRIx64
                  ")",
                  ran, seconds, seconds > 0 ? ran / seconds : 0.0, sequence.randomWalks(),
                  sequence.pcts(), x.seed);
    std::cout << "PASS  " << file << figures << "\n";
  }
  return ok;
}

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
  Exploration x;
  if (auto n = options.Number("--explore", 1, 100000000)) x.schedules = static_cast<unsigned>(*n);
  if (auto s = options.Number("--seconds", 1, 1000000)) x.seconds = static_cast<double>(*s);
  const std::optional<std::string> seed = options.Value("--explore-seed");
  if (seed) {
    try {
      x.seed = std::stoull(*seed, nullptr, 16);
    } catch (const std::exception&) {
      throw UsageError("--explore-seed takes a hexadecimal number, not '" + *seed + "'");
    }
  }
  if (auto text = options.Value("--replay")) {
    host::ScheduleOptions schedule;
    if (!host::ParseSchedule(*text, &schedule)) {
      throw UsageError("--replay takes a schedule as --explore prints it (random:SEED or "
                       "pct:DEPTH:STEPS:SEED), not '" + *text + "'");
    }
    x.replay = schedule;
  }
  if (x.replay && x.schedules != 0) throw UsageError("--replay and --explore exclude each other");
  if ((x.seconds > 0 || seed) && x.schedules == 0) {
    throw UsageError("--seconds and --explore-seed go with --explore");
  }
  if (x.replay) run.schedule = *x.replay;
  if (auto wdm = options.Value("--wdm")) {
    run.wdmVersion = scenario::ParseWdmVersion(*wdm);
    if (!run.wdmVersion) throw UsageError("--wdm needs a version such as 1.10, not '" + *wdm + "'");
    gReplayOptions = " --wdm " + *wdm;
  }
  run.quiet = quiet;
  run.seed = options.Number("--seed", 0, UINT64_MAX);
  if (auto fail = options.Value("--fail-alloc")) run.failAllocation = ParseFailAlloc(*fail);
  bool sweep = options.Flag("--sweep-lowres");
  const uint64_t sweepLimit = options.Number("--sweep-limit", 1, 100000000).value_or(0);
  if (sweepLimit != 0 && !sweep) throw UsageError("--sweep-limit goes with --sweep-lowres");
  if (sweep && run.failAllocation) {
    throw UsageError("--sweep-lowres fails every allocation itself; drop --fail-alloc");
  }
  SelectDriverFromOptions(options);
  SelectLineFromOptions(options);
  if (run.seed) gReplayOptions += " --seed " + std::to_string(*run.seed);
  if (!SelectedDriver().imagePath.empty()) gReplayOptions += " --image " + SelectedDriver().imagePath;
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
      if (SweepLowResources(file, script, run, quiet, sweepLimit) != 0) ++failedFiles;
      continue;
    }
    if (x.schedules != 0) {
      if (!Explore(script, run, x, quiet)) ++failedFiles;
      std::cout.flush();
      continue;
    }
    // A file that claims to hold in every order ("explore N") runs under its N schedules after
    // the fixed order.
    const unsigned claimed = x.replay ? 0 : scenario::ClaimedSchedules(script);
    if (x.replay) {
      host::SetReplayHint([&file](const std::string& s) {
        return "replay it with:\n  " + ReplayLine(s, file);
      });
    }
    size_t failures = 0;
    bool ok = RunOnce(script, run, std::cout, &failures);
    host::SetReplayHint(nullptr);
    if (ok && claimed != 0) {
      Exploration claim = x;
      claim.schedules = claimed;
      if (!Explore(script, run, claim, quiet)) ++failedFiles;
    }
    if (!ok) {
      ++failedFiles;
      std::cout << "FAIL  " << file << " (" << failures << " failure(s))\n";
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

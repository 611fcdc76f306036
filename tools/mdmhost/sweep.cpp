// mdmhost run --sweep-lowres: the low-resources simulation swept over every allocation the driver
// makes in a scenario. One run counts the driver's pool and request allocations (the
// simulation's own are counted apart and never failed); then one run per allocation fails that
// one. A run is judged by what the driver did, not by the scenario's expectations (a failed
// allocation changes results on purpose): a crash, a leak, a hang or any other verifier report
// is a fault, listed with the command line that replays it.
//
// Each run is a child process: a crash (a signal, an AddressSanitizer report) or a run that
// never ends takes only that run down, and the sweep goes on with the next.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "binding.h"
#include "cli.h"
#include "scenario/scenario.h"

namespace mdmhost {

namespace {

// Backstop for a run that neither ends nor reports a deadlock (a driver spinning for ever).
constexpr int kRunSeconds = 60;

struct ChildRun {
  bool finished = false;  // the child wrote its whole result
  bool killed = false;    // it ran past kRunSeconds
  int status = 0;         // as waitpid gives it
  std::string output;     // what it printed (stderr: an AddressSanitizer report, say)
  bool passed = false;
  host::verifier::AllocationCounts driver;
  uint64_t pool = 0;  // everyone's
  uint64_t irp = 0;
  std::vector<scenario::Runner::Reported> reported;
  std::vector<scenario::Runner::LineAllocations> lines;
};

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The child's side: runs the script once and writes what the parent needs, one item a line.
[[noreturn]] void ChildMain(const scenario::Script& script, const scenario::RunOptions& options,
                            int resultFd, int outputFd) {
  dup2(outputFd, STDOUT_FILENO);
  dup2(outputFd, STDERR_FILENO);
  std::ostringstream sink;
  scenario::Runner runner(script, options, sink);
  bool passed = runner.Run();
  host::verifier::AllocationCounts driver =
      host::verifier::DriverAllocationCounts(Stack::kDriverName);
  std::ostringstream r;
  r << "passed " << (passed ? 1 : 0) << "\n";
  r << "counts " << driver.pool << " " << driver.irp << " " << host::verifier::PoolAllocationCount()
    << " " << host::verifier::IrpAllocationCount() << "\n";
  for (const auto& l : runner.allocations()) r << "line " << l.line << " " << l.pool << " " << l.irp << "\n";
  for (const auto& v : runner.reported()) {
    std::string message = v.message;
    for (char& c : message) c = c == '\n' ? ' ' : c;
    r << "report " << static_cast<int>(v.rule) << " " << v.line << " " << message << "\n";
  }
  r << "done\n";
  WriteAll(resultFd, r.str());
  std::cout.flush();
  _exit(0);  // no exit handlers: the session's own checks have run
}

void ParseResult(const std::string& text, ChildRun* run) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string what;
    l >> what;
    if (what == "passed") {
      int p = 0;
      l >> p;
      run->passed = p != 0;
    } else if (what == "counts") {
      l >> run->driver.pool >> run->driver.irp >> run->pool >> run->irp;
    } else if (what == "line") {
      scenario::Runner::LineAllocations a{};
      l >> a.line >> a.pool >> a.irp;
      run->lines.push_back(a);
    } else if (what == "report") {
      int rule = 0;
      scenario::Runner::Reported v{};
      l >> rule >> v.line;
      v.rule = static_cast<host::verifier::Rule>(rule);
      std::getline(l >> std::ws, v.message);
      run->reported.push_back(v);
    } else if (what == "done") {
      run->finished = true;
    }
  }
}

ChildRun RunInChild(const scenario::Script& script, const scenario::RunOptions& options) {
  ChildRun run;
  int result[2], output[2];
  if (pipe(result) != 0 || pipe(output) != 0) throw RunError("cannot create a pipe for a sweep run");
  std::cout.flush();
  pid_t pid = fork();
  if (pid < 0) throw RunError("cannot start a sweep run (fork failed)");
  if (pid == 0) {
    close(result[0]);
    close(output[0]);
    ChildMain(script, options, result[1], output[1]);
  }
  close(result[1]);
  close(output[1]);
  std::string resultText;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunSeconds);
  pollfd fds[2] = {{result[0], POLLIN, 0}, {output[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      run.killed = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (pollfd& f : fds) {
      if (f.fd < 0 || (f.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[4096];
      ssize_t n = read(f.fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(f.fd);
        f.fd = -1;
        --open;
        continue;
      }
      (f.fd == result[0] ? resultText : run.output).append(buffer, static_cast<size_t>(n));
    }
  }
  for (pollfd& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  waitpid(pid, &run.status, 0);
  ParseResult(resultText, &run);
  return run;
}

// What was wrong with a run, or "" when the driver came through it.
std::string Verdict(const ChildRun& run) {
  if (run.killed) return "hung: the run did not end within " + std::to_string(kRunSeconds) + " s (killed)";
  if (!run.finished) {
    std::string how = WIFSIGNALED(run.status) ? "killed by signal " + std::to_string(WTERMSIG(run.status))
                                              : "exit status " + std::to_string(WEXITSTATUS(run.status));
    std::string tail = run.output.size() > 1500 ? "..." + run.output.substr(run.output.size() - 1500) : run.output;
    return "crashed (" + how + ")" + (tail.empty() ? "" : ":\n" + tail);
  }
  std::string verdict;
  for (const auto& v : run.reported) {
    using host::verifier::Rule;
    std::string kind = v.rule == Rule::BugCheck                             ? "crashed"
                       : v.rule == Rule::Deadlock                           ? "hung"
                       : v.rule == Rule::PoolLeak || v.rule == Rule::IrpLeak ? "leaked"
                                                                            : "verifier report";
    verdict += (verdict.empty() ? "" : "\n      ") + kind + ": the verifier reported " + v.message;
  }
  return verdict;
}

// The line of the main script during which the driver made its nth allocation of a kind.
std::string WhereAllocated(const scenario::Script& script, const ChildRun& count, bool pool, uint64_t nth) {
  for (const auto& l : count.lines) {
    if ((pool ? l.pool : l.irp) >= nth) {
      auto text = script.lines.find(l.line);
      return "line " + std::to_string(l.line) + (text != script.lines.end() ? ": " + text->second : "");
    }
  }
  return "the end (handles closed, devices removed, the driver unloaded)";
}

}  // namespace

int SweepLowResources(const std::string& file, const scenario::Script& script,
                      const scenario::RunOptions& base, bool quiet, uint64_t limit) {
  scenario::RunOptions options = base;
  options.quiet = true;
  options.verbose = false;
  // A run goes on past the expectations a failed allocation breaks, so that the driver meets
  // the rest of the scenario in the state the failure left it in.
  options.keepGoing = true;
  ChildRun count = RunInChild(script, options);
  std::string verdict = Verdict(count);
  if (!count.finished || !count.passed || !verdict.empty()) {
    std::cout << file << ": the sweep needs a scenario that holds without failed allocations"
              << (verdict.empty() ? " (mdmhost run " + file + " shows what fails)" : ":\n    " + verdict) << "\n";
    std::cout << "FAIL  sweep " << file << "\n";
    return 1;
  }
  if (!quiet) {
    std::cout << "sweep " << file << ": the driver's " << count.driver.pool << " pool and "
              << count.driver.irp << " request allocations, each failed in a run of its own (the "
              << "simulation's " << count.pool - count.driver.pool << " and "
              << count.irp - count.driver.irp << " are never failed)\n";
  }
  // What the replay needs besides the fault: -k (the sweep goes on past failed expectations)
  // and the options the sweep ran with.
  std::string replay = "mdmhost run -k";
  if (base.wdmVersion) {
    char version[16];
    std::snprintf(version, sizeof version, "%u.%02X", base.wdmVersion->first, base.wdmVersion->second);
    replay += std::string(" --wdm ") + version;
  }
  if (base.seed) replay += " --seed " + std::to_string(*base.seed);
  if (!SelectedDriver().imagePath.empty()) replay += " --image " + SelectedDriver().imagePath;
  size_t faulty = 0;
  const uint64_t points = count.driver.pool + count.driver.irp;
  // The budget (--sweep-limit): at most `limit` runs, at allocation points spread evenly over
  // all of them in their order (pool first, then requests), first and last included.
  const uint64_t runs = limit != 0 && points > limit ? limit : points;
  if (runs < points) {
    std::cout << "sweep " << file << ": sampled " << runs << " of " << points
              << " allocation points (--sweep-limit " << limit << "), spread evenly\n";
  }
  for (uint64_t i = 0; i < runs; ++i) {
    const uint64_t point = runs < 2 ? 0 : i * (points - 1) / (runs - 1);
    const bool pool = point < count.driver.pool;
    const uint64_t nth = pool ? point + 1 : point - count.driver.pool + 1;
    {
      options.failAllocation = scenario::DriverAllocationFault{
          pool ? scenario::DriverAllocationFault::Pool : scenario::DriverAllocationFault::Irp,
          static_cast<unsigned>(nth)};
      std::string v = Verdict(RunInChild(script, options));
      if (v.empty()) continue;
      ++faulty;
      const std::string which = std::string(pool ? "pool:" : "irp:") + std::to_string(nth);
      std::cout << "  " << (pool ? "pool" : "request") << " allocation " << nth << " (during "
                << WhereAllocated(script, count, pool, nth) << "): " << v << "\n"
                << "      replay: " << replay << " --fail-alloc " << which << " " << file << "\n";
    }
  }
  if (faulty != 0) {
    std::cout << "FAIL  sweep " << file << " (" << runs << " runs" << (runs < points ? " sampled" : "")
              << ", " << faulty << " with faults)\n";
    return 1;
  }
  if (!quiet) {
    std::cout << "PASS  sweep " << file << " (" << runs << " runs"
              << (runs < points ? " of " + std::to_string(points) + " points, sampled" : "")
              << ", none with faults)\n";
  }
  return 0;
}

}  // namespace mdmhost

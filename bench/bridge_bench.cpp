// The serial bridge at work, beside a bare pseudo-terminal pair measured in the same iterations.
//
// Both sides carry the same stream with the same client: a program on a terminal (raw mode)
// writes a pattern in 4 KiB writes from one thread and reads it back in 64 KiB reads from
// another, checking every byte.
//   - the bare pair: a pseudo-terminal whose master side echoes what it reads (64 KiB reads,
//     written back at once) — a bridge that costs nothing;
//   - the bridge: `mdmhost bridge --modem loopback`, a separate process with the driver on the
//     host kernel in threaded mode above the loopback modem; every byte goes through WriteFile,
//     the driver's write path, the modem, the receive ring and ReadFile.
// Each way is timed on its own: to the line (the writer's last write returned) and from the
// line (the reader's last byte checked). The bridge ends with SIGTERM and must exit 0 (the
// port, device and driver taken down, the verifier clean).
//
// Counters (bytes per second unless said):
//   pty_to_line, pty_from_line          the bare pair, each way
//   bridge_to_line, bridge_from_line    the bridge, each way
//   ratio_to_line, ratio_from_line      bridge / bare pair, each way
//   x_usb_high_speed                    the slower way of the bridge / 53,248,000 B/s, the line
//                                       rate of a high-speed USB modem

#include <benchmark/benchmark.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr size_t kWriteSize = 4096;
constexpr size_t kReadSize = 65536;
constexpr size_t kStreamBytes = 32u << 20;  // per iteration, each side
constexpr double kUsbHighSpeedLineRate = 53248000.0;
constexpr int kStallMs = 20000;  // no byte for this long: the stream is stuck

using Clock = std::chrono::steady_clock;

const std::vector<uint8_t>& Pattern() {
  static const std::vector<uint8_t> pattern = [] {
    std::vector<uint8_t> p(kStreamBytes);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 131 + i / 4099);
    return p;
  }();
  return pattern;
}

bool MakeRaw(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  cfsetspeed(&t, B115200);
  t.c_cflag |= CLOCAL | CREAD;
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

struct StreamResult {
  bool ok = false;
  std::string error;
  double toLineSeconds = 0;    // first write to the last write returned
  double fromLineSeconds = 0;  // first write to the last byte read and checked
};

// The client: writes the pattern to `fd` in 4 KiB writes and reads it back in 64 KiB reads.
StreamResult Stream(int fd) {
  const std::vector<uint8_t>& pattern = Pattern();
  StreamResult result;
  std::atomic<bool> stop{false};
  std::string writeError;
  const Clock::time_point start = Clock::now();
  std::thread writer([&] {
    size_t done = 0;
    while (done < kStreamBytes && !stop) {
      const size_t n = std::min(kWriteSize, kStreamBytes - done);
      struct pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      ssize_t w = write(fd, pattern.data() + done, n);
      if (w > 0) {
        done += static_cast<size_t>(w);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        writeError = std::string("write: ") + std::strerror(errno);
        return;
      }
    }
    result.toLineSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  });
  std::vector<uint8_t> buffer(kReadSize);
  size_t got = 0;
  Clock::time_point lastByte = Clock::now();
  while (got < kStreamBytes) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) {
      if (std::chrono::duration<double, std::milli>(Clock::now() - lastByte).count() > kStallMs) {
        result.error = "no byte back for " + std::to_string(kStallMs / 1000) + " s after " +
                       std::to_string(got) + " of " + std::to_string(kStreamBytes);
        break;
      }
      continue;
    }
    ssize_t r = read(fd, buffer.data(), std::min(kReadSize, kStreamBytes - got));
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (r <= 0) {
      result.error = r == 0 ? "end of file" : std::string("read: ") + std::strerror(errno);
      break;
    }
    if (std::memcmp(buffer.data(), pattern.data() + got, static_cast<size_t>(r)) != 0) {
      size_t at = 0;
      while (buffer[at] == pattern[got + at]) ++at;
      char text[160];
      std::snprintf(text, sizeof text, "byte %zu came back as 0x%02X, sent as 0x%02X", got + at,
                    buffer[at], pattern[got + at]);
      result.error = text;
      break;
    }
    got += static_cast<size_t>(r);
    lastByte = Clock::now();
  }
  result.fromLineSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  writer.join();
  if (result.error.empty() && !writeError.empty()) result.error = writeError;
  result.ok = result.error.empty();
  return result;
}

// A bare pseudo-terminal pair: the master side echoes everything back.
class PtyEcho {
 public:
  PtyEcho() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0 || !MakeRaw(slave_)) return;
    echo_ = std::thread([this] { Echo(); });
  }
  ~PtyEcho() {
    stop_ = true;
    if (echo_.joinable()) echo_.join();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  int terminal() const { return echo_.joinable() ? slave_ : -1; }

 private:
  void Echo() {
    std::vector<uint8_t> buffer(kReadSize);
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t n = read(master_, buffer.data(), buffer.size());
      if (n <= 0) continue;
      for (ssize_t done = 0; done < n && !stop_;) {
        ssize_t w = write(master_, buffer.data() + done, static_cast<size_t>(n - done));
        if (w > 0) done += w;
      }
    }
  }
  int master_ = -1;
  int slave_ = -1;
  std::atomic<bool> stop_{false};
  std::thread echo_;
};

// `mdmhost bridge --modem loopback` in its own process, from its ready line to its exit.
class BridgeProcess {
 public:
  // `extra`: more options for the program (--chain: through the modem's parent bus driver).
  explicit BridgeProcess(const std::vector<std::string>& extra = {}) {
    char dir[] = "/tmp/bench_bridge.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      error_ = "mkdtemp failed";
      return;
    }
    dir_ = dir;
    link_ = dir_ + "/ttyMDM0";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      error_ = "pipe failed";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    // BENCH_MDMHOST runs another build of the program (an earlier one, for a before-and-after).
    const char* other = getenv("BENCH_MDMHOST");
    std::string program = other != nullptr && *other != 0 ? other : MDMHOST_PATH;
    std::vector<std::string> args = {program, "bridge", "--modem", "loopback", "--quiet",
                                     "--link", link_};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      error_ = "cannot start " + program;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    output_ = out[0];
    if (pid_ > 0 && !WaitFor("is ready at", 60000)) error_ = "the bridge was not ready: " + text_;
    if (error_.empty()) {
      terminal_ = open(link_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (terminal_ < 0 || !MakeRaw(terminal_)) error_ = "cannot open " + link_;
    }
  }
  ~BridgeProcess() { Stop(); }

  const std::string& error() const { return error_; }
  int terminal() const { return terminal_; }

  // SIGTERM and the exit status; false (with the bridge's output) unless it ended cleanly.
  bool Stop() {
    if (terminal_ >= 0) close(terminal_);
    terminal_ = -1;
    if (pid_ <= 0) return error_.empty();
    kill(pid_, SIGTERM);
    WaitFor("bridge: verifier", 60000);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    close(output_);
    rmdir(dir_.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      if (error_.empty()) error_ = "the bridge did not end cleanly: " + text_;
      return false;
    }
    return error_.empty();
  }

 private:
  bool WaitFor(const std::string& what, int ms) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    char buffer[4096];
    while (text_.find(what) == std::string::npos) {
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      if (left <= 0) return false;
      struct pollfd p = {output_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) continue;
      ssize_t n = read(output_, buffer, sizeof buffer);
      if (n <= 0) return text_.find(what) != std::string::npos;
      text_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  std::string dir_;
  std::string link_;
  pid_t pid_ = -1;
  int output_ = -1;
  int terminal_ = -1;
  std::string text_;
  std::string error_;
};

void BM_BridgeLoopback(benchmark::State& state) {
  Pattern();
  PtyEcho pty;
  BridgeProcess bridge;
  if (pty.terminal() < 0) {
    state.SkipWithError("cannot make a pseudo-terminal pair");
    return;
  }
  if (!bridge.error().empty()) {
    state.SkipWithError(bridge.error().c_str());
    return;
  }
  double ptyTo = 0, ptyFrom = 0, bridgeTo = 0, bridgeFrom = 0;
  std::string failure;
  for (auto _ : state) {
    StreamResult p = Stream(pty.terminal());
    StreamResult b = Stream(bridge.terminal());
    if (!p.ok || !b.ok) {
      failure = !p.ok ? "pseudo-terminal pair: " + p.error : "bridge: " + b.error;
      break;
    }
    ptyTo += p.toLineSeconds;
    ptyFrom += p.fromLineSeconds;
    bridgeTo += b.toLineSeconds;
    bridgeFrom += b.fromLineSeconds;
    state.SetIterationTime(b.fromLineSeconds);
  }
  if (!bridge.Stop() && failure.empty()) failure = bridge.error();
  if (!failure.empty()) {
    state.SkipWithError(failure.c_str());
    return;
  }
  const double bytes = double(state.iterations()) * kStreamBytes;
  state.SetBytesProcessed(int64_t(bytes));
  state.counters["pty_to_line"] = bytes / ptyTo;
  state.counters["pty_from_line"] = bytes / ptyFrom;
  state.counters["bridge_to_line"] = bytes / bridgeTo;
  state.counters["bridge_from_line"] = bytes / bridgeFrom;
  state.counters["ratio_to_line"] = ptyTo / bridgeTo;
  state.counters["ratio_from_line"] = ptyFrom / bridgeFrom;
  state.counters["x_usb_high_speed"] =
      std::min(bytes / bridgeTo, bytes / bridgeFrom) / kUsbHighSpeedLineRate;
}
BENCHMARK(BM_BridgeLoopback)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The same streams through the bridge over the simulated parent and over the chain (the USB
// device at hub level, the parent bus driver tavrinbus, the child PDO), in the same iterations.
void BM_BridgeThroughChain(benchmark::State& state) {
  Pattern();
  BridgeProcess parent;
  BridgeProcess chain({"--chain"});
  if (!parent.error().empty() || !chain.error().empty()) {
    state.SkipWithError((parent.error() + chain.error()).c_str());
    return;
  }
  double parentTo = 0, parentFrom = 0, chainTo = 0, chainFrom = 0;
  std::string failure;
  for (auto _ : state) {
    StreamResult p = Stream(parent.terminal());
    StreamResult c = Stream(chain.terminal());
    if (!p.ok || !c.ok) {
      failure = !p.ok ? "bridge: " + p.error : "chain bridge: " + c.error;
      break;
    }
    parentTo += p.toLineSeconds;
    parentFrom += p.fromLineSeconds;
    chainTo += c.toLineSeconds;
    chainFrom += c.fromLineSeconds;
    state.SetIterationTime(c.fromLineSeconds);
  }
  if (!parent.Stop() && failure.empty()) failure = parent.error();
  if (!chain.Stop() && failure.empty()) failure = chain.error();
  if (!failure.empty()) {
    state.SkipWithError(failure.c_str());
    return;
  }
  const double bytes = double(state.iterations()) * kStreamBytes;
  state.SetBytesProcessed(int64_t(bytes));
  state.counters["parent_to_line"] = bytes / parentTo;
  state.counters["parent_from_line"] = bytes / parentFrom;
  state.counters["chain_to_line"] = bytes / chainTo;
  state.counters["chain_from_line"] = bytes / chainFrom;
}
BENCHMARK(BM_BridgeThroughChain)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

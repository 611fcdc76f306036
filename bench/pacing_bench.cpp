// What a modem that keeps time costs (sim/line.h): a 1 MB write to a modem whose transmit buffer
// (64 bytes) drains at the line rate, against the same write to an unpaced modem in the same run.
//
//   BM_Write1MBUnpaced              the baseline: deterministic, every transfer served at once.
//   BM_Write1MBPacedVirtual/RATE    deterministic at RATE bit/s (8N1): the virtual clock jumps from
//                                   one wake-up of the line to the next (a clock tick each), so the
//                                   CPU time is what the wake-ups and services cost. Counters:
//                                   virtual_s (the line time of the megabyte), wakeups (clock
//                                   ticks the write took), x_unpaced.
//   BM_Write1MBPacedThreaded/RATE   threaded at RATE bit/s in real time: wall time is the line
//                                   time; cpu_s is the process CPU time the megabyte took (the
//                                   device thread's wake-ups about every millisecond of line, the
//                                   DPC thread, the writer), cpu_share = cpu_s / wall.
//
// Every byte is checked at the modem; the verifier is on.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "host/app.h"
#include "host/session.h"
#include "sim/scripted_modem.h"
#include "sim/testbed.h"
#include "tavrinmdm/entry.h"

namespace {

constexpr size_t kMegabyte = 1 << 20;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 131 + i / 4099);
  return data;
}

double CpuSeconds() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class Port {
 public:
  Port(host::Mode mode, uint32_t bitsPerSecond) : tb_(Options(mode, bitsPerSecond)) {
    tb_.LoadDriver();
    auto modem = std::make_unique<sim::ScriptedModem>();
    modem_ = modem.get();
    tb_.Plug(std::move(modem));
    tb_.AddDevice();
    tb_.Start();
    ok_ = host::app::File::Open("COM7", &file_) == STATUS_SUCCESS;
    // 8N1 at the line rate the modem is fixed to.
    SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
    ok_ = ok_ && file_.DeviceIoControl(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc, 0).status == STATUS_SUCCESS;
  }
  ~Port() { file_.Close(); }

  static sim::TestbedOptions Options(host::Mode mode, uint32_t bitsPerSecond) {
    sim::TestbedOptions options;
    options.mode = mode;
    options.driverEntry = DriverEntry;
    options.portName = "COM7";
    options.usb.traceKeep = 1024;
    options.usb.line.paced = bitsPerSecond != 0;
    options.usb.line.bitsPerSecond = bitsPerSecond;
    options.usb.line.txBuffer = 64;
    return options;
  }

  bool ok() const { return ok_; }
  sim::Testbed& tb() { return tb_; }
  host::app::File& file() { return file_; }
  sim::ScriptedModem& modem() { return *modem_; }

 private:
  sim::Testbed tb_;
  host::app::File file_;
  sim::ScriptedModem* modem_ = nullptr;
  bool ok_ = false;
};

double gUnpacedSeconds = 0;

// One megabyte written and drained to the modem; false if a byte went missing.
bool WriteMegabyte(Port& port, const std::vector<uint8_t>& data) {
  host::app::IoResult r = port.file().Write(data.data(), ULONG(kMegabyte));
  if (r.status != STATUS_SUCCESS || r.information != kMegabyte) return false;
  // The last bytes leave the modem's buffer after the write completed.
  for (int i = 0; i < 1000 && port.tb().usb().TxBuffered() != 0; ++i) port.tb().session().AdvanceTimeMs(1);
  std::string got = port.modem().TakeBulkOut();
  return got.size() == kMegabyte && memcmp(got.data(), data.data(), kMegabyte) == 0;
}

void BM_Write1MBUnpaced(benchmark::State& state) {
  Port port(host::Mode::Deterministic, 0);
  std::vector<uint8_t> data = Pattern(kMegabyte);
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (!port.ok() || !WriteMegabyte(port, data)) {
      state.SkipWithError("write failed or bytes lost");
      break;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (state.iterations() > 0) gUnpacedSeconds = seconds / double(state.iterations());
  state.SetBytesProcessed(int64_t(state.iterations()) * kMegabyte);
}
BENCHMARK(BM_Write1MBUnpaced)->Unit(benchmark::kMillisecond);

void BM_Write1MBPacedVirtual(benchmark::State& state) {
  const uint32_t rate = uint32_t(state.range(0));
  Port port(host::Mode::Deterministic, rate);
  std::vector<uint8_t> data = Pattern(kMegabyte);
  double seconds = 0, virtualSeconds = 0;
  for (auto _ : state) {
    const int64_t v0 = port.tb().session().Now();
    auto start = std::chrono::steady_clock::now();
    if (!port.ok() || !WriteMegabyte(port, data)) {
      state.SkipWithError("write failed or bytes lost");
      break;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    virtualSeconds += double(port.tb().session().Now() - v0) / 1e7;
  }
  const double n = double(std::max<int64_t>(1, state.iterations()));
  state.counters["virtual_s"] = virtualSeconds / n;
  state.counters["wakeups"] = virtualSeconds / n / 0.015625;
  if (gUnpacedSeconds > 0) state.counters["x_unpaced"] = seconds / n / gUnpacedSeconds;
  state.SetBytesProcessed(int64_t(state.iterations()) * kMegabyte);
}
BENCHMARK(BM_Write1MBPacedVirtual)->Arg(9600)->Arg(115200)->Arg(921600)->Unit(benchmark::kMillisecond);

void BM_Write1MBPacedThreaded(benchmark::State& state) {
  const uint32_t rate = uint32_t(state.range(0));
  Port port(host::Mode::Threaded, rate);
  std::vector<uint8_t> data = Pattern(kMegabyte);
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    const double c0 = CpuSeconds();
    auto start = std::chrono::steady_clock::now();
    if (!port.ok() || !WriteMegabyte(port, data)) {
      state.SkipWithError("write failed or bytes lost");
      break;
    }
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += CpuSeconds() - c0;
  }
  const double n = double(std::max<int64_t>(1, state.iterations()));
  state.counters["cpu_s"] = cpu / n;
  state.counters["cpu_share"] = wall > 0 ? cpu / wall : 0;
  state.SetBytesProcessed(int64_t(state.iterations()) * kMegabyte);
}
BENCHMARK(BM_Write1MBPacedThreaded)->Arg(921600)->Arg(4000000)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// The write path and a control request's round trip, on the host kernel in deterministic mode
// (the simulated USB stack completes transfers from a DPC, so the time measured is the CPU cost
// of the driver, the I/O manager and the simulator, not a line rate).
//
//   BM_Memcpy1MB                 memcpy of the same megabyte: the floor for moving the bytes.
//   BM_Write1MBScripted          one 1 MB write to a modem that only records the bytes: 256
//                                chunks of 4096 bytes, each a transfer of the request itself.
//   BM_Write1MBLoopback          the same write through the loopback modem, with the echo read
//                                back from the receive ring as it arrives.
//   BM_GetBaudRate               a control request that only reads a setting.
//   BM_SetBaudRate               a control request that sends SET_LINE_CODING and waits for it.
//   BM_GetBaudRateAtDispatch     the same read from a caller at DISPATCH_LEVEL: handed to a
//                                system worker thread and completed later.
//
// Counters: bytes_per_second and chunks for the writes; x_memcpy = the write's time divided by
// the time of one memcpy of the same bytes, measured in the same process; requests per second
// for the control requests.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/app.h"
#include "host/session.h"
#include "sim/loopback_modem.h"
#include "sim/scripted_modem.h"
#include "sim/testbed.h"
#include "tavrinmdm/entry.h"
#include "tavrinmdm/serial/serial.h"

namespace {

constexpr size_t kMegabyte = 1 << 20;

// A started port with one modem, opened.
class Port {
 public:
  explicit Port(std::unique_ptr<sim::Modem> modem) : tb_(Options()) {
    tb_.LoadDriver();
    tb_.Plug(std::move(modem));
    tb_.AddDevice();
    tb_.Start();
    ok_ = host::app::File::Open("COM7", &file_) == STATUS_SUCCESS;
  }
  ~Port() { file_.Close(); }

  static sim::TestbedOptions Options() {
    sim::TestbedOptions options;
    options.mode = host::Mode::Deterministic;
    options.driverEntry = DriverEntry;
    options.portName = "COM7";
    // A benchmark runs long: the bus trace keeps the latest traffic, not every byte of it.
    options.usb.traceKeep = 1024;
    return options;
  }

  bool ok() const { return ok_; }
  sim::Testbed& tb() { return tb_; }
  host::app::File& file() { return file_; }

 private:
  sim::Testbed tb_;
  host::app::File file_;
  bool ok_ = false;
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 131 + i / 4099);
  return data;
}

// Seconds for one memcpy of n bytes, as the average of many.
double MemcpySeconds(size_t n) {
  std::vector<uint8_t> from = Pattern(n), to(n);
  const int runs = 200;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i) {
    memcpy(to.data(), from.data(), n);
    benchmark::ClobberMemory();
  }
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / runs;
}

void BM_Memcpy1MB(benchmark::State& state) {
  std::vector<uint8_t> from = Pattern(kMegabyte), to(kMegabyte);
  for (auto _ : state) {
    memcpy(to.data(), from.data(), kMegabyte);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kMegabyte);
}
BENCHMARK(BM_Memcpy1MB);

void ReportWrite(benchmark::State& state, double seconds) {
  state.SetBytesProcessed(int64_t(state.iterations()) * kMegabyte);
  state.counters["chunks"] = benchmark::Counter(double(kMegabyte / WRITE_CHUNK_SIZE));
  double memcpySeconds = MemcpySeconds(kMegabyte);
  if (state.iterations() > 0 && memcpySeconds > 0) {
    state.counters["x_memcpy"] = seconds / double(state.iterations()) / memcpySeconds;
  }
}

void BM_Write1MBScripted(benchmark::State& state) {
  auto modem = std::make_unique<sim::ScriptedModem>();
  sim::ScriptedModem* scripted = modem.get();
  Port port(std::move(modem));
  if (!port.ok()) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<uint8_t> data = Pattern(kMegabyte);
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    host::app::IoResult r = port.file().Write(data.data(), ULONG(kMegabyte));
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r.status != STATUS_SUCCESS || r.information != kMegabyte) {
      state.SkipWithError("write failed");
      break;
    }
    state.PauseTiming();
    if (scripted->TakeBulkOut().size() != kMegabyte) state.SkipWithError("bytes lost");
    state.ResumeTiming();
  }
  ReportWrite(state, seconds);
}
BENCHMARK(BM_Write1MBScripted)->Unit(benchmark::kMillisecond);

void BM_Write1MBLoopback(benchmark::State& state) {
  Port port(std::make_unique<sim::LoopbackModem>());
  if (!port.ok()) {
    state.SkipWithError("open failed");
    return;
  }
  // Reads return at once with what the ring holds.
  SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 0, 0};
  port.file().DeviceIoControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, 0);
  std::vector<uint8_t> data = Pattern(kMegabyte);
  std::vector<uint8_t> echo;
  echo.reserve(kMegabyte);
  double seconds = 0;
  for (auto _ : state) {
    echo.clear();
    auto start = std::chrono::steady_clock::now();
    host::app::Request write = port.file().WriteAsync(data.data(), ULONG(kMegabyte));
    int idle = 0;  // pumps in a row that brought nothing back
    while (echo.size() < kMegabyte && idle < 3) {
      port.tb().Pump();
      host::app::IoResult r = port.file().Read(ULONG(kMegabyte - echo.size()));
      echo.insert(echo.end(), r.output.begin(), r.output.end());
      idle = r.output.empty() ? idle + 1 : 0;
    }
    host::app::IoResult w = write.Wait();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (w.status != STATUS_SUCCESS || echo.size() != kMegabyte ||
        memcmp(echo.data(), data.data(), kMegabyte) != 0) {
      state.SkipWithError("write or echo failed");
      break;
    }
  }
  ReportWrite(state, seconds);
}
BENCHMARK(BM_Write1MBLoopback)->Unit(benchmark::kMillisecond);

void ControlRoundTrip(benchmark::State& state, ULONG code, bool set, KIRQL irql) {
  Port port(std::make_unique<sim::ScriptedModem>());
  if (!port.ok()) {
    state.SkipWithError("open failed");
    return;
  }
  SERIAL_BAUD_RATE rates[2] = {{115200}, {460800}};
  size_t i = 0;
  for (auto _ : state) {
    host::app::IoResult r =
        set ? port.file().DeviceIoControl(code, &rates[i++ & 1], sizeof(SERIAL_BAUD_RATE), 0, irql)
            : port.file().DeviceIoControl(code, nullptr, 0, sizeof(SERIAL_BAUD_RATE), irql);
    if (r.status != STATUS_SUCCESS) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.counters["requests_per_second"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_GetBaudRate(benchmark::State& state) {
  ControlRoundTrip(state, IOCTL_SERIAL_GET_BAUD_RATE, false, PASSIVE_LEVEL);
}
BENCHMARK(BM_GetBaudRate);

void BM_SetBaudRate(benchmark::State& state) {
  ControlRoundTrip(state, IOCTL_SERIAL_SET_BAUD_RATE, true, PASSIVE_LEVEL);
}
BENCHMARK(BM_SetBaudRate);

void BM_GetBaudRateAtDispatch(benchmark::State& state) {
  ControlRoundTrip(state, IOCTL_SERIAL_GET_BAUD_RATE, false, DISPATCH_LEVEL);
}
BENCHMARK(BM_GetBaudRateAtDispatch);

}  // namespace

BENCHMARK_MAIN();

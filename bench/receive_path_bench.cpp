// The receive path's throughput: bytes handed to the modem's bulk-IN FIFO, through the bulk-IN
// completions into the receive ring, out again in completed read requests of a given size —
// beside memcpy of the same bytes in the same pieces, measured in the same iterations.
//
// Counters:
//   bytes_per_second         the receive path (manual time: FIFO -> completions -> ring -> reads)
//   memcpy_bytes_per_second  memcpy of the same bytes, piece by piece of the read size
//   ratio                    receive path rate / memcpy rate
//   fill_share               share of the path's time spent filling the ring (bulk-IN side)
//   reads_per_second         completed read requests
// BM_RingOnly: the ring's puts and gets alone, for the driver's own share of the cost.
//
// The whole stack runs in one thread on the host kernel in deterministic mode (no scheduling
// noise): the test thread reads, Pump() runs the USB stack's DPC, which completes the bulk-IN
// transfers and so runs the driver's completion routine. Everything the host kernel checks on
// every call (the verifier, the request table) is part of what is measured.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "host/app.h"
#include "sim/scripted_modem.h"
#include "sim/testbed.h"
#include "tavrinmdm/entry.h"
#include "tavrinmdm/extension.h"
#include "tavrinmdm/usb/usb.h"

namespace {

constexpr size_t kBlock = 256 * 1024;  // bytes moved per iteration

struct ReceiveStack {
  ReceiveStack() : tb(Options()) {
    tb.LoadDriver();
    tb.Plug(std::make_unique<sim::ScriptedModem>());
    tb.AddDevice();
    tb.Start();
    if (host::app::File::Open("COM7", &port) != STATUS_SUCCESS) abort();
    // Reads return at once with what the ring holds.
    SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 0, 0};
    if (port.DeviceIoControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, 0).status !=
        STATUS_SUCCESS) {
      abort();
    }
  }
  ~ReceiveStack() { port.Close(); }

  static sim::TestbedOptions Options() {
    sim::TestbedOptions o;
    o.mode = host::Mode::Deterministic;
    o.driverEntry = DriverEntry;
    o.portName = "COM7";
    o.usb.bulkInCapacity = kBlock;
    // A benchmark runs long: the bus trace keeps the latest traffic, not every byte of it.
    o.usb.traceKeep = 1024;
    return o;
  }

  sim::Testbed tb;
  host::app::File port;
};

void BM_ReceivePath(benchmark::State& state) {
  const ULONG readSize = ULONG(state.range(0));
  ReceiveStack stack;
  std::vector<uint8_t> block(kBlock);
  for (size_t k = 0; k < kBlock; ++k) block[k] = uint8_t(k * 131 + 7);
  std::vector<uint8_t> copy(kBlock);

  double memcpySeconds = 0;
  double pathSeconds = 0;
  double fillSeconds = 0;
  uint64_t reads = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    stack.tb.usb().SendToHost(block.data(), block.size());
    stack.tb.Pump();
    fillSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t got = 0;
    while (got < kBlock) {
      auto r = stack.port.Read(readSize);
      if (r.status != STATUS_SUCCESS) {
        state.SkipWithError("read failed");
        return;
      }
      if (r.output.empty()) {
        stack.tb.Pump();  // the reader re-armed after a read made room
        continue;
      }
      got += r.output.size();
      ++reads;
    }
    auto mid = std::chrono::steady_clock::now();

    // The same bytes, in the same pieces, by memcpy alone.
    for (size_t at = 0; at < kBlock; at += readSize) {
      const size_t n = std::min<size_t>(readSize, kBlock - at);
      std::memcpy(copy.data() + at, block.data() + at, n);
      benchmark::ClobberMemory();
    }
    auto end = std::chrono::steady_clock::now();

    state.SetIterationTime(std::chrono::duration<double>(mid - start).count());
    pathSeconds += std::chrono::duration<double>(mid - start).count();
    memcpySeconds += std::chrono::duration<double>(end - mid).count();
    benchmark::DoNotOptimize(copy.data());
  }

  const double bytes = double(state.iterations()) * kBlock;
  state.SetBytesProcessed(int64_t(bytes));
  state.counters["reads_per_second"] =
      benchmark::Counter(double(reads), benchmark::Counter::kIsRate);
  const double memcpyRate = memcpySeconds > 0 ? bytes / memcpySeconds : 0;
  state.counters["memcpy_bytes_per_second"] = memcpyRate;
  // The receive path's rate divided by memcpy's.
  state.counters["ratio"] = pathSeconds > 0 ? memcpySeconds / pathSeconds : 0;
  // Share of the path's time spent before the first read: the modem's FIFO handing its bytes to
  // the bulk-IN transfers, the completions storing them in the ring and re-arming.
  state.counters["fill_share"] = pathSeconds > 0 ? fillSeconds / pathSeconds : 0;
}

BENCHMARK(BM_ReceivePath)->Arg(1)->Arg(64)->Arg(4096)->Arg(65536)->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The driver's own share of the same work: the ring's put of each 4096-byte transfer and the
// gets of the read size, called directly (no request, no USB stack). The gap between this and
// BM_ReceivePath is what the requests around the copies cost.
void BM_RingOnly(benchmark::State& state) {
  const ULONG readSize = ULONG(state.range(0));
  ReceiveStack stack;
  PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(stack.tb.fdo()->DeviceExtension);
  std::vector<uint8_t> block(kBlock, 0x5A);
  std::vector<uint8_t> out(readSize);
  for (auto _ : state) {
    ULONG n = 0;
    for (size_t at = 0; at < kBlock; at += 4096) RingPut(ext, block.data() + at, 4096, &n);
    for (size_t got = 0; got < kBlock; got += n) RingGet(ext, out.data(), readSize, &n);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBlock));
}

BENCHMARK(BM_RingOnly)->Arg(1)->Arg(64)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// Sixty-four modems at once (tests/support/fleet.h): a threaded session with 64 loopback modems
// plugged, added, started and named, 64 ports opened, a loopback stream on every port at the
// same time (4 KiB writes, 64 KiB reads, every byte checked), then every port closed and every
// device removed. Beside it, in the same program, one modem alone carrying the same stream.
//
// Counters:
//   bytes_per_second          all 64 streams together (manual time: the streams)
//   one_modem_bytes_per_second  one modem alone, the same stream
//   add_ms, remove_ms         adding all 64 (plug, AddDevice, start); closing and removing them
//   memory_per_device         resident memory the devices added, over the process before the
//                             first plug, with every ring in use, per device
//   extension_bytes           sizeof(DEVICE_EXTENSION), its 1,024,000-byte receive ring included
//   driver_pool_per_device    the driver's own pool while streaming, per device
// Every byte is checked and the verifier must stay clean (the benchmark fails otherwise).

#include <benchmark/benchmark.h>

#include "fleet.h"

namespace {

constexpr size_t kBytesPerPort = 4u << 20;

bool Failed(benchmark::State& state, const fleet::Result& r) {
  std::string failure = r.error;
  if (failure.empty() && !r.violations.empty()) failure = "verifier: " + r.violations.front();
  if (failure.empty()) return false;
  state.SkipWithError(failure.c_str());
  return true;
}

void BM_SixtyFourModems(benchmark::State& state) {
  fleet::Options one;
  one.modems = 1;
  one.bytesPerPort = kBytesPerPort;
  fleet::Options all = one;
  all.modems = 64;
  for (auto _ : state) {
    fleet::Result single = fleet::Run(one);
    if (Failed(state, single)) return;
    fleet::Result r = fleet::Run(all);
    if (Failed(state, r)) return;
    state.SetIterationTime(r.streamSeconds);
    state.SetBytesProcessed(int64_t(r.bytes));
    state.counters["one_modem_bytes_per_second"] = double(single.bytes) / single.streamSeconds;
    state.counters["add_ms"] = r.addSeconds * 1e3;
    state.counters["remove_ms"] = r.removeSeconds * 1e3;
    state.counters["memory_per_device"] = double(r.memoryPerDevice);
    state.counters["extension_bytes"] = double(r.extensionBytes);
    state.counters["driver_pool_per_device"] = double(r.driverPoolPerDevice);
  }
}
BENCHMARK(BM_SixtyFourModems)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

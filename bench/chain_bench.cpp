// What the modem's parent bus driver costs a control request that reaches the device: the same
// application request (IOCTL_SERIAL_SET_BAUD_RATE, which the port driver turns into a
// SET_LINE_CODING class request to the modem) through the simulated parent (the port driver's
// fast ground) and through the chain (the USB device at hub level, tavrinbus, the child PDO),
// each in a kernel session of its own, one after the other in the same run, deterministic, with
// the verifier on.
//
// Counters: parent_ns and chain_ns per request, and ratio = chain_ns / parent_ns.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "host/app.h"
#include "sim/scripted_modem.h"
#include "sim/testbed.h"
#include "tavrinmdm/entry.h"
#include "tavrinmdm/serial/serial.h"

extern "C" NTSTATUS TavrinBusDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

// Seconds per SET_BAUD_RATE over `count` requests, or a negative value on failure.
double SetBaudRateSeconds(bool chain, int count) {
  sim::TestbedOptions options;
  options.mode = host::Mode::Deterministic;
  options.driverEntry = DriverEntry;
  options.portName = "COM7";
  if (chain) options.busEntry = TavrinBusDriverEntry;
  sim::Testbed tb(options);
  tb.LoadDriver();
  tb.Plug(std::make_unique<sim::ScriptedModem>());
  if (tb.AddDevice() != STATUS_SUCCESS || tb.Start() != STATUS_SUCCESS) return -1;
  host::app::File port;
  if (host::app::File::Open("COM7", &port) != STATUS_SUCCESS) return -1;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < count; ++i) {
    SERIAL_BAUD_RATE rate = {i % 2 ? 115200u : 57600u};
    if (port.DeviceIoControl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, 0).status !=
        STATUS_SUCCESS) {
      return -1;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  port.Close();
  return seconds / count;
}

void BM_ControlRoundTripThroughChain(benchmark::State& state) {
  const int count = 2000;
  double parent = 0, chain = 0;
  for (auto _ : state) {
    const double p = SetBaudRateSeconds(false, count);
    const double c = SetBaudRateSeconds(true, count);
    if (p <= 0 || c <= 0) {
      state.SkipWithError("setup or request failed");
      return;
    }
    parent += p;
    chain += c;
    state.SetIterationTime(c * count);
  }
  const double iterations = double(state.iterations());
  state.counters["parent_ns"] = parent / iterations * 1e9;
  state.counters["chain_ns"] = chain / iterations * 1e9;
  state.counters["ratio"] = chain / parent;
}
BENCHMARK(BM_ControlRoundTripThroughChain)->UseManualTime()->Iterations(3)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

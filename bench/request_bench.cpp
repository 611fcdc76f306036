// The floor of a request's cost on the host kernel, and a control request beside it.
//
// A null driver, loaded in the same session as the modem's driver, has one named device whose
// dispatch routine completes every request at once. The same application-side control request
// (IOCTL_SERIAL_GET_BAUD_RATE, METHOD_BUFFERED, a 4-byte output) goes to it — the null round
// trip: the I/O manager's request, buffering, dispatch, completion and the verifier's
// bookkeeping, nothing else — and to the opened modem port, where the driver's device-control
// path answers it (remove lock, queue checks, the baud rate copied out). Both are timed in the
// same iterations, on the deterministic host kernel with the verifier on.
//
// Counters: null_ns and get_baud_rate_ns per request, and ratio = get_baud_rate_ns / null_ns.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "host/app.h"
#include "host/pnp.h"
#include "host/verifier.h"
#include "sim/scripted_modem.h"
#include "sim/testbed.h"
#include "tavrinmdm/entry.h"
#include "tavrinmdm/serial/serial.h"

namespace {

const WCHAR kNullName[] = L"\\Device\\NullBench";

NTSTATUS NullDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

VOID NullUnload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NullEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = NullDispatch;
  driver->DriverUnload = NullUnload;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kNullName);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

void BM_ControlRequestOverNull(benchmark::State& state) {
  // BENCH_GUARDED_REQUESTS=0 leaves out the guarded pages (two page protection changes a
  // request), to see the rest of the floor.
  const char* guarded = std::getenv("BENCH_GUARDED_REQUESTS");
  host::verifier::SetGuardedRequests(guarded == nullptr || std::strcmp(guarded, "0") != 0);
  sim::TestbedOptions options;
  options.mode = host::Mode::Deterministic;
  options.driverEntry = DriverEntry;
  options.portName = "COM7";
  sim::Testbed tb(options);
  tb.LoadDriver();
  tb.Plug(std::make_unique<sim::ScriptedModem>());
  tb.AddDevice();
  tb.Start();
  PDRIVER_OBJECT null = host::pnp::LoadDriver(NullEntry, "\\Driver\\nullbench");
  host::app::File port, device;
  if (null == nullptr || host::app::File::Open("COM7", &port) != STATUS_SUCCESS ||
      host::app::File::Open("\\Device\\NullBench", &device) != STATUS_SUCCESS) {
    state.SkipWithError("setup failed");
    return;
  }
  using Clock = std::chrono::steady_clock;
  double nullSeconds = 0, getSeconds = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    host::app::IoResult n =
        device.DeviceIoControl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(SERIAL_BAUD_RATE));
    const Clock::time_point mid = Clock::now();
    host::app::IoResult g =
        port.DeviceIoControl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(SERIAL_BAUD_RATE));
    const Clock::time_point end = Clock::now();
    if (n.status != STATUS_SUCCESS || g.status != STATUS_SUCCESS ||
        g.output.size() != sizeof(SERIAL_BAUD_RATE)) {
      state.SkipWithError("request failed");
      break;
    }
    nullSeconds += std::chrono::duration<double>(mid - start).count();
    getSeconds += std::chrono::duration<double>(end - mid).count();
  }
  device.Close();
  port.Close();
  host::pnp::UnloadDriver(null);
  const double iterations = double(state.iterations());
  if (iterations == 0 || nullSeconds == 0) return;
  state.counters["null_ns"] = nullSeconds / iterations * 1e9;
  state.counters["get_baud_rate_ns"] = getSeconds / iterations * 1e9;
  state.counters["ratio"] = getSeconds / nullSeconds;
}
BENCHMARK(BM_ControlRequestOverNull);

}  // namespace

BENCHMARK_MAIN();

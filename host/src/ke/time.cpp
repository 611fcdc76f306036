// Time. Interrupt time is the session clock in 100 ns units, starting at 0 when the session
// starts: virtual in deterministic mode (it moves only when the test advances it, or when a wait
// auto-advances it to the next timer), the steady clock in threaded mode. System time is a fixed
// epoch (2001-01-01 00:00 UTC) plus interrupt time, so runs are reproducible. The tick is 15.625
// ms (KeQueryTimeIncrement 156250); the performance counter runs at 10 MHz (it is interrupt time).
#include <thread>

#include "internal/core.h"

using host::verifier::Rule;

namespace host::internal {

int64_t NowTicks() {
  if (!SessionActive()) return 0;
  CoreState& c = Core();
  if (c.options.mode == Mode::Deterministic) return c.virtualNow.load();
  auto elapsed = std::chrono::steady_clock::now() - c.start;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

void SetVirtualNow(int64_t ticks) {
  CoreState& c = Core();
  int64_t now = c.virtualNow.load();
  while (ticks > now && !c.virtualNow.compare_exchange_weak(now, ticks)) {
  }
}

}  // namespace host::internal

using namespace host::internal;

extern "C" {

ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(NowTicks()); }

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kSystemTimeEpoch + NowTicks();
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = NowTicks() / 156250; }

ULONG KeQueryTimeIncrement(VOID) { return 156250; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER counter;
  counter.QuadPart = NowTicks();
  return counter;
}

// A busy wait on the platform. Deterministic mode: the virtual clock moves on by the stall and
// nothing else happens (a timer that falls due meanwhile expires at the next pump, as a timer
// interrupt would be held off); threaded mode: spins on the steady clock.
VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  if (TraceOn()) Trace("KeStallExecutionProcessor(%u)", MicroSeconds);
  if (Deterministic()) {
    if (SessionActive()) SetVirtualNow(NowTicks() + static_cast<int64_t>(MicroSeconds) * 10);
    return;
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
  while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

}  // extern "C"

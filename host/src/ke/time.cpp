// Time. Interrupt time is the session clock in 100 ns units, starting at 0 when the session
// starts: virtual in deterministic mode (it moves only when the test advances it, or when a wait
// auto-advances it to the next timer), the steady clock in threaded mode. System time is a fixed
// epoch (2001-01-01 00:00 UTC) plus interrupt time, so runs are reproducible. The clock ticks
// every SessionOptions::clockTick (default 15.625 ms, KeQueryTimeIncrement 156250), from 0: the
// platform's clock interrupt, at which timers expire and timed waits end, and the unit of
// KeQueryTickCount. The performance counter runs at 10 MHz (it is interrupt time).
#include <algorithm>
#include <climits>
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

int64_t ClockTick() {
  if (!SessionActive()) return 156250;
  return std::max<int64_t>(Core().options.clockTick, 1);
}

int64_t TickBoundaryAtOrAfter(int64_t t) {
  const int64_t tick = ClockTick();
  if (t <= 0) return 0;
  const int64_t ticks = t / tick + (t % tick != 0 ? 1 : 0);
  return ticks > INT64_MAX / tick ? INT64_MAX : ticks * tick;
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

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = NowTicks() / ClockTick(); }

// What the clock interrupt adds to interrupt time at each tick.
ULONG KeQueryTimeIncrement(VOID) { return static_cast<ULONG>(ClockTick()); }

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

// Exploring tests: one short test body run under many schedules (host/schedule.h).
//
//   TEST(PortRaces, ReadCompletedWhileItsDispatchRuns) {
//     host::testing::Explore([](const host::SessionOptions& options) {
//       porttest::PortTestbed tb(porttest::PortTestbedOptions{.session = options});
//       ...  // spawn the threads that race, join them, check what must hold in every order
//     });
//   }
//
// Each schedule runs the body once, in a fresh session made with the options it is given (the
// body creates the session itself, directly or through a testbed). Schedule 0 is the fixed order
// under the exploring scheduler; then random walk and PCT alternate (PCT depth cycling from 2 up
// to `depth`, its expected steps the most any earlier schedule took). The verifier judges every
// schedule. At the first schedule in which the test failed, exploring stops and a line gives the
// schedule and the command that replays it alone.
//
// Environment:
//   HOST_EXPLORE_SCHEDULES=N  schedules per exploring test (default: the test's own count)
//   HOST_EXPLORE_SECONDS=S    stop starting schedules after S seconds (per test)
//   HOST_EXPLORE_SEED=X       the base seed (hexadecimal; default fixed, so runs repeat)
//   HOST_EXPLORE_REPLAY=TEXT  run only this schedule ("random:..." or "pct:...", as printed)
// Every exploring test prints one line: "[ explore  ] Suite.Test: N schedules in T s (R/s) ...".
#pragma once

#include <functional>
#include <string>

#include "host/session.h"

namespace host::testing {

struct ExploreSettings {
  unsigned schedules = 200;  // unless HOST_EXPLORE_SCHEDULES says otherwise
  unsigned depth = 3;        // PCT depths 2..depth
  // The base of every schedule's session: mode deterministic, and its schedule's directives
  // (held by every schedule) and processors.
  SessionOptions session;
};

struct ExploreResult {
  unsigned schedules = 0;      // schedules run
  std::string failed;          // the schedule of the first failure ("" if none)
  unsigned failedIndex = 0;    // its number (0-based)
  double seconds = 0;
};

ExploreResult Explore(const std::function<void(const SessionOptions&)>& body,
                      const ExploreSettings& settings = {});

}  // namespace host::testing

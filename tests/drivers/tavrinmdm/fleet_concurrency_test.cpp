// Sixty-four modems at once on real threads: every device plugged, added, started and named,
// every port opened, a loopback stream on all of them together, every byte checked against its
// own port's pattern, then every port closed and every device removed — with the verifier clean
// from the first plug to the session's end. The full-size run, with its figures, is the
// benchmark's (bench/fleet_bench.cpp); this one is small enough for every test run.

#include <gtest/gtest.h>

#include "fleet.h"

namespace {

TEST(Fleet, SixtyFourLoopbackStreamsComeBackWholeWithTheVerifierClean) {
  fleet::Options options;
  options.modems = 64;
  options.bytesPerPort = 40000;  // ten 4 KiB writes, the last one short
  fleet::Result r = fleet::Run(options);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.bytes, uint64_t(options.bytesPerPort) * options.modems);
  std::string reports;
  for (const std::string& v : r.violations) reports += v + "\n";
  EXPECT_TRUE(r.violations.empty()) << reports;
}

}  // namespace

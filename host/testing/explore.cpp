// Exploring tests: the body under many schedules, the first failure's replay line, the figures.
#include "explore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace host::testing {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string SelfPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "TEST_PROGRAM";
  buf[n] = '\0';
  return buf;
}

std::string TestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return "";
  return std::string(info->test_suite_name()) + "." + info->name();
}

std::string ReplayCommand(const std::string& schedule) {
  return "HOST_EXPLORE_REPLAY=" + schedule + " " + SelfPath() + " --gtest_filter=" + TestName();
}

unsigned gScheduleNumber = 0;  // of the schedule running, from 1

std::string DeathHint(const std::string& schedule) {
  return "number " + std::to_string(gScheduleNumber) + " of this run; replay it alone with:\n  " +
         ReplayCommand(schedule);
}

int FailedParts() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return 0;
  const ::testing::TestResult* result = info->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) ++failed;
  }
  return failed;
}

}  // namespace

ExploreResult Explore(const std::function<void(const SessionOptions&)>& body,
                      const ExploreSettings& settings) {
  ExploreResult result;
  const std::string replay = Env("HOST_EXPLORE_REPLAY");
  unsigned count = settings.schedules;
  if (std::string n = Env("HOST_EXPLORE_SCHEDULES"); !n.empty()) count = std::stoul(n);
  double limit = 0;
  if (std::string s = Env("HOST_EXPLORE_SECONDS"); !s.empty()) limit = std::stod(s);
  uint64_t base = kDefaultExploreSeed;
  if (std::string s = Env("HOST_EXPLORE_SEED"); !s.empty()) base = std::stoull(s, nullptr, 16);
  if (!replay.empty()) count = 1;

  SetReplayHint(DeathHint);
  ScheduleSequence sequence(settings.session.schedule, base, settings.depth);
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  for (unsigned i = 0; i < count; ++i) {
    if (limit > 0 && i > 0 && elapsed() >= limit) break;
    SessionOptions options = settings.session;
    options.mode = Mode::Deterministic;
    if (replay.empty()) {
      options.schedule = sequence.Next();
    } else if (!ParseSchedule(replay, &options.schedule)) {
      ADD_FAILURE() << "HOST_EXPLORE_REPLAY=" << replay << " is not a schedule (random:SEED or "
                    << "pct:DEPTH:STEPS:SEED)";
      break;
    }
    const std::string text = FormatSchedule(options.schedule);
    gScheduleNumber = i + 1;
    const int failedBefore = FailedParts();
    body(options);
    ++result.schedules;
    sequence.Ran(LastScheduleStats());
    if (FailedParts() != failedBefore) {
      result.failed = text;
      result.failedIndex = i;
      ADD_FAILURE() << "the test failed in schedule " << text << " (number " << i + 1
                    << " of this run); replay it alone with:\n  " << ReplayCommand(text);
      break;
    }
  }
  SetReplayHint(nullptr);
  result.seconds = elapsed();
  std::printf("[ explore  ] %s: %u schedule%s in %.2f s (%.0f/s; random walk %u, PCT %u; %.0f "
              "decisions per schedule; base seed %016" PRIx64 ")%s\n",
              TestName().c_str(), result.schedules, result.schedules == 1 ? "" : "s",
              result.seconds, result.seconds > 0 ? result.schedules / result.seconds : 0.0,
              sequence.randomWalks(), sequence.pcts(),
              result.schedules ? static_cast<double>(sequence.decisions()) / result.schedules : 0.0, base,
              result.failed.empty() ? "" : (" FAILED in " + result.failed).c_str());
  std::fflush(stdout);
  return result;
}

}  // namespace host::testing

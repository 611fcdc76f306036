// Test support for everything that runs on the host kernel.
//
// Link tavrin_host_gtest instead of GTest::gtest_main: its main() installs a verifier handler
// that turns every violation into a test failure (ADD_FAILURE with the message and the details)
// instead of ending the process. A test that provokes a violation on purpose captures it with
// host::verifier::ExpectViolations.
//
// Fixtures: DeterministicTest and ThreadedTest start a session in SetUp and end it in TearDown,
// so that the end-of-session checks (pool and requests leaked, timers, DPCs and work items left
// queued, threads left blocked) fail the test that caused them.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "host/host.h"

namespace host::testing {

// The handler the main installs; call it yourself in a program with its own main().
void InstallFailureHandler();

class SessionTest : public ::testing::Test {
 protected:
  virtual SessionOptions Options() const = 0;
  void SetUp() override;
  void TearDown() override;
  // Ends the session now (its end-of-session violations fail the test); TearDown then does
  // nothing. Lets a test check what the end of the session reports.
  void EndSession();
  Session& session() { return *session_; }

 private:
  std::unique_ptr<Session> session_;
};

class DeterministicTest : public SessionTest {
 protected:
  SessionOptions Options() const override {
    SessionOptions o;
    o.mode = Mode::Deterministic;
    return o;
  }
};

// TearDown pumps (bounded) before ending the session, so work still finishing on the kernel's
// threads is not reported as left behind.
class ThreadedTest : public SessionTest {
 protected:
  SessionOptions Options() const override {
    SessionOptions o;
    o.mode = Mode::Threaded;
    return o;
  }
  void TearDown() override;
};

// A session for a test body or a tool that does not use the fixtures.
class ScopedSession {
 public:
  explicit ScopedSession(SessionOptions options = {}) : session_(options) {}
  Session& operator*() { return session_; }
  Session* operator->() { return &session_; }

 private:
  Session session_;
};

}  // namespace host::testing

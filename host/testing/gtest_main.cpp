// GoogleTest main for every test program on the host kernel, and the session fixtures.
#include <gtest/gtest.h>

#include "host_test.h"

namespace host::testing {

void InstallFailureHandler() {
  verifier::SetHandler([](const verifier::Violation& v) {
    ADD_FAILURE() << "host kernel verifier: " << v.message << "\n" << v.details;
  });
}

void SessionTest::SetUp() {
  ASSERT_FALSE(Session::Active()) << "a session is still active from an earlier test";
  session_ = std::make_unique<Session>(Options());
}

void SessionTest::TearDown() { EndSession(); }

void SessionTest::EndSession() { session_.reset(); }

void ThreadedTest::TearDown() {
  if (Session::Active()) session().Pump();
  SessionTest::TearDown();
}

}  // namespace host::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  host::testing::InstallFailureHandler();
  return RUN_ALL_TESTS();
}

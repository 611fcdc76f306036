// A host session with the fake serial driver loaded, for the tests of the serial API.
#pragma once

#include <comm/comm.h>
#include <gtest/gtest.h>
#include <host/host.h>
#include <host_test.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_serial.h"

namespace commtest {

using comm::DWORD;

// Deterministic by default; a fixture that overrides Options() with Mode::Threaded gets real
// threads (and the kernel's work is pumped before the session ends).
class CommFixture : public host::testing::SessionTest {
 protected:
  host::SessionOptions Options() const override { return {}; }
  virtual FakeSerial::Options FakeOptions() { return {}; }

  void SetUp() override {
    SessionTest::SetUp();
    fake_ = std::make_unique<FakeSerial>(FakeOptions());
  }
  void TearDown() override {
    fake_.reset();
    if (host::Session::Active()) session().Pump();
    SessionTest::TearDown();
  }

  FakeSerial& fake() { return *fake_; }

  // COM7 opened, with the create taken out of the fake's log.
  comm::Port OpenPort() {
    comm::Port port;
    NTSTATUS status = comm::CreateFile("COM7", &port);
    EXPECT_EQ(status, STATUS_SUCCESS) << comm::DescribeStatus(status);
    fake_->ClearLog();
    return port;
  }

 private:
  std::unique_ptr<FakeSerial> fake_;
};

inline std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

inline std::vector<uint8_t> Word(ULONG value) { return Bytes(value); }

// Control codes by name, for readable failure messages.
std::string CodeName(ULONG code);
std::vector<std::string> CodeNames(const std::vector<ULONG>& codes);

}  // namespace commtest

// A host session with the fake serial driver loaded, for the tests of the serial API.
#pragma once

#include <comm/comm.h>
#include <gtest/gtest.h>
#include <host/host.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_serial.h"

namespace commtest {

class CommFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = std::make_unique<host::Session>(SessionOptions());
    fake_ = std::make_unique<FakeSerial>(FakeOptions());
  }
  void TearDown() override {
    fake_.reset();
    session_.reset();
  }

  virtual host::SessionOptions SessionOptions() { return {}; }
  virtual FakeSerial::Options FakeOptions() { return {}; }

  host::Session& session() { return *session_; }
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
  std::unique_ptr<host::Session> session_;
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

// Shared set-up for the AtModem tests: a modem attached to a FakeModemHost.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "fake_modem_host.h"
#include "sim/at_modem.h"

namespace sim::testing {

class AtModemTest : public ::testing::Test {
 protected:
  void SetUp() override { modem.Attach(&host); }

  void Send(const std::string& s) {
    modem.OnBulkOut(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  // Sends `s` and returns everything the modem answered.
  std::string Cmd(const std::string& s) {
    host.Take();
    Send(s);
    return host.Take();
  }
  // Dials the built-in echo peer (or whatever `number` is bound to) with echo off; expects CONNECT.
  void ConnectEcho(const std::string& number = "1") {
    ASSERT_EQ(Cmd("ATE0\r"), "ATE0\r\r\nOK\r\n");
    ASSERT_EQ(Cmd("ATD" + number + "\r"), "\r\nCONNECT 9600\r\n");
    ASSERT_EQ(modem.GetState(), AtModem::State::Online);
  }

  FakeModemHost host;
  AtModem modem;
};

}  // namespace sim::testing

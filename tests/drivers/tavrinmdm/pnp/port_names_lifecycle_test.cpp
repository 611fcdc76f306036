// The names over the device's life: created at start, removed at stop and removal, created
// again at a restart (the interface excepted), one set per device.

#include <gtest/gtest.h>

#include "port_names_checks.h"

namespace {

using nametest::Added;
using nametest::DeviceNameOf;
using nametest::ExpectNamed;
using nametest::ExpectUnnamed;
using nametest::InterfaceEnabled;

TEST(PortNamesLifecycle, StopRemovesTheNamesAndARestartBringsBackLinkAndValueOnly) {
  Added tb("COM7");
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7");

  ASSERT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  ASSERT_EQ(tb.Stop(), STATUS_SUCCESS);
  ExpectUnnamed(tb.pdo(), "COM7", DeviceNameOf(tb.fdo()));
  EXPECT_EQ(tb.Ext()->DosName.Buffer, nullptr);
  EXPECT_EQ(tb.Ext()->InterfaceName.Buffer, nullptr);

  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7", /*interfaceEnabled=*/false);
  // The interface stays registered, disabled, until the device is added again.
  EXPECT_EQ(InterfaceEnabled(tb.pdo()), false);
}

TEST(PortNamesLifecycle, ARestartTakesTheCurrentPortName) {
  Added tb("COM7");
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ASSERT_EQ(tb.Stop(), STATUS_SUCCESS);
  tb.device().SetPortName("COM5");
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM5", std::nullopt);
  EXPECT_EQ(nametest::LinkTarget("COM7"), std::nullopt);
}

TEST(PortNamesLifecycle, AStartWithoutAStopReplacesTheEarlierNames) {
  Added tb("COM7");
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  tb.device().SetPortName("COM6");
  const host::verifier::PoolUsage before = host::verifier::CurrentPoolUsage();
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM6");
  EXPECT_EQ(nametest::LinkTarget("COM7"), std::nullopt);
  // The old DOS name's buffer went with its link.
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, before.allocations);
}

TEST(PortNamesLifecycle, RemovalTakesEverythingAway) {
  Added tb("COM7");
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  const std::string device = DeviceNameOf(tb.fdo());
  ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  // Accepting the query changes no name yet.
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7");
  ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.fdo(), nullptr);
  ExpectUnnamed(tb.pdo(), "COM7", device);
}

TEST(PortNamesLifecycle, EachDeviceHasItsOwnNames) {
  Added tb("COM7");
  tb.Plug(std::make_unique<sim::ScriptedModem>(), "COM9");
  ASSERT_EQ(tb.AddDevice(1), STATUS_SUCCESS);
  ASSERT_EQ(tb.Start(0), STATUS_SUCCESS);
  ASSERT_EQ(tb.Start(1), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNameOf(tb.fdo(1)), "\\Device\\TAVRINMDM1");
  ExpectNamed(tb.fdo(0), tb.pdo(0), "COM7");
  ExpectNamed(tb.fdo(1), tb.pdo(1), "COM9");
  EXPECT_EQ(host::registry::ValueNames(host::registry::kSerialComm).size(), 2u);

  ASSERT_EQ(tb.Stop(0), STATUS_SUCCESS);
  ExpectUnnamed(tb.pdo(0), "COM7", DeviceNameOf(tb.fdo(0)));
  ExpectNamed(tb.fdo(1), tb.pdo(1), "COM9");
}

}  // namespace

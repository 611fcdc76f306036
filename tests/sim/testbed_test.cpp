// The testbed with a pass-through function driver on top: a whole stack in a few lines, several
// devices, removal after an unplug, and an orderly teardown the verifier is happy with.

#include <gtest/gtest.h>

#include "passthrough_driver.h"
#include "sim/loopback_modem.h"
#include "usb_client.h"

namespace sim::testing {
namespace {

TestbedOptions PassThrough() {
  TestbedOptions o;
  o.driverEntry = PassThroughDriverEntry;
  o.driverName = "\\Driver\\passthru";
  o.portName = "COM7";
  return o;
}

TEST(Testbed, BuildsAStackAndRequestsFromTheTopReachTheBus) {
  std::vector<PDEVICE_OBJECT> added;
  TestbedOptions o = PassThrough();
  o.onDeviceAdded = [&](PDEVICE_OBJECT fdo) { added.push_back(fdo); };
  Testbed tb(o);
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  tb.Plug(std::make_unique<ScriptedModem>());
  EXPECT_EQ(tb.fdo(), nullptr);
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  ASSERT_NE(tb.fdo(), nullptr);
  EXPECT_EQ(added, std::vector<PDEVICE_OBJECT>{tb.fdo()});
  EXPECT_EQ(tb.fdo()->DriverObject, tb.driver());
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  EXPECT_TRUE(tb.device().Started());

  // URBs sent to the top of the stack go down to the PDO.
  UrbClient top(tb.fdo());
  URB lines = ClassUrb(0x22, 3, nullptr, 0);
  EXPECT_EQ(top.Sync(&lines), STATUS_SUCCESS);
  const uint32_t in = ExtensionWord(tb.pdo(), 12);
  uint8_t b[16];
  URB read = TransferUrb(in, kInFlags, b, sizeof b);
  auto r = top.Async(&read);
  tb.modem<ScriptedModem>().PushBulkIn("hi");
  tb.Pump();
  EXPECT_TRUE(r->done);
  EXPECT_EQ(tb.trace().Rest(), (std::vector<std::string>{"SETUP 21 22 03 00 00 00 00 00",
                                                         "IN bulk-in 16", "IN-DONE bulk-in 2: 68 69"}));
  // The PnP traffic is in the full trace.
  EXPECT_EQ(tb.fullTrace().Lines().front(), "PNP START_DEVICE");
}

TEST(Testbed, SeveralDevicesEachWithItsOwnModemTraceAndName) {
  Testbed tb(PassThrough());
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  tb.Plug(std::make_unique<ScriptedModem>());
  tb.Plug(std::make_unique<LoopbackModem>(), "COM9");
  ASSERT_EQ(tb.AddDevice(0), STATUS_SUCCESS);
  ASSERT_EQ(tb.AddDevice(1), STATUS_SUCCESS);
  ASSERT_EQ(tb.Start(0), STATUS_SUCCESS);
  ASSERT_EQ(tb.Start(1), STATUS_SUCCESS);
  EXPECT_EQ(tb.DeviceCount(), 2u);
  EXPECT_NE(tb.fdo(0), tb.fdo(1));
  EXPECT_EQ(host::registry::GetValue(tb.device(1).HardwareKey(), "PortName")->AsString(), "COM9");
  EXPECT_EQ(host::registry::GetValue(tb.device(0).HardwareKey(), "PortName")->AsString(), "COM7");

  // Bytes written to the loopback modem come back on its own bulk-IN pipe only.
  UrbClient second(tb.fdo(1));
  char out[] = "ping";
  uint8_t back[16];
  URB w = TransferUrb(ExtensionWord(tb.pdo(1), 16), 0, out, 4);
  URB r = TransferUrb(ExtensionWord(tb.pdo(1), 12), kInFlags, back, sizeof back);
  auto rr = second.Async(&r);
  auto rw = second.Async(&w);
  tb.Pump();
  ASSERT_TRUE(rw->done && rr->done);
  EXPECT_EQ(Str(back, r.UrbBulkOrInterruptTransfer.TransferBufferLength), "ping");
  EXPECT_TRUE(tb.trace(0).AtEnd());
  EXPECT_EQ(tb.modem<LoopbackModem>(1).BytesIn(), 4u);
}

TEST(Testbed, UnplugAndRemoveDeletesThePdoOnceTheDriverHasDetached) {
  Testbed tb(PassThrough());
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  tb.Plug(std::make_unique<ScriptedModem>());
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  UrbClient top(tb.fdo());
  uint8_t b[16];
  URB read = TransferUrb(ExtensionWord(tb.pdo(), 12), kInFlags, b, sizeof b);
  auto r = top.Async(&read);

  tb.UnplugAndRemove();
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(tb.device().Pdo(), nullptr);
  EXPECT_EQ(tb.fdo(), nullptr);
  EXPECT_EQ(tb.fullTrace().Cursor().Ignore({TraceKind::InSubmit, TraceKind::InDone}).Rest(),
            (std::vector<std::string>{"PNP START_DEVICE", "UNPLUG", "PNP SURPRISE_REMOVAL",
                                      "PNP REMOVE_DEVICE"}));
}

TEST(Testbed, TeardownRemovesStandingStacksInOrder) {
  Testbed tb(PassThrough());
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  tb.Plug(std::make_unique<ScriptedModem>());
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  UrbClient top(tb.fdo());
  uint8_t b[16];
  URB read = TransferUrb(ExtensionWord(tb.pdo(), 12), kInFlags, b, sizeof b);
  auto r = top.Async(&read);
  // Query-remove and remove: the pending transfer is cancelled by the removal, the driver and
  // the bus are unloaded and the session ends with nothing left behind.
  tb.Teardown();
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  EXPECT_FALSE(host::Session::Active());
  tb.Teardown();  // twice is harmless
}

TEST(Testbed, TeardownAfterASurpriseRemovalOnlyRemoves) {
  Testbed tb(PassThrough());
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  tb.Plug(std::make_unique<ScriptedModem>());
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  tb.Unplug();
  ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_NE(tb.fdo(), nullptr);  // still attached until the removal
  tb.Teardown();
  EXPECT_FALSE(host::Session::Active());
}

}  // namespace
}  // namespace sim::testing

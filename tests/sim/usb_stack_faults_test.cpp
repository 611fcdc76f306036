// Pulling the device out in the middle of things.

#include <gtest/gtest.h>

#include "usb_client.h"

namespace sim::testing {
namespace {

using UsbStackFaults = UsbStackTest;

TEST_F(UsbStackFaults, UnplugFailsEveryPendingTransferAsARemovedDeviceDoes) {
  uint8_t n[16], b[4096];
  char out[] = "hello";
  URB notify = TransferUrb(H(Pipe::Interrupt), kInFlags, n, sizeof n);
  URB in = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  URB o = TransferUrb(H(Pipe::BulkOut), 0, out, 5);
  usb().Hold(Pipe::BulkOut);  // keep the write in flight
  auto rn = client().Async(&notify);
  auto ri = client().Async(&in);
  auto ro = client().Async(&o);
  Pump();
  ASSERT_FALSE(rn->done || ri->done || ro->done);

  tb().Unplug();
  for (auto* r : {rn.get(), ri.get(), ro.get()}) {
    EXPECT_TRUE(r->done);
    EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r->completions, 1);
  }
  for (URB* u : {&notify, &in, &o}) EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_TRUE(modem().BulkOut().empty());
  EXPECT_EQ(cursor().IgnoreInTraffic().Ignore(TraceKind::OutSubmit).Rest(),
            (std::vector<std::string>{
                "UNPLUG",
                "OUT-DONE bulk-out 0 -> STATUS_DEVICE_NOT_CONNECTED USBD_STATUS_DEVICE_GONE"}));
}

TEST_F(UsbStackFaults, EverythingAfterTheUnplugFailsAtOnce) {
  tb().Unplug();
  modem().PushBulkIn("late");
  uint8_t b[8];
  URB in = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r = client().Async(&in);
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->dispatchStatus, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

  URB lines = ClassUrb(0x22, 0, nullptr, 0);
  URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, H(Pipe::BulkIn));
  URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, H(Pipe::BulkIn));
  for (URB* u : {&lines, &reset, &abort}) {
    EXPECT_EQ(client().Sync(u), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  }
  EXPECT_TRUE(modem().ControlLineStates().empty());
}

TEST_F(UsbStackFaults, UnplugWhileControlRequestsAreHeldFailsThem) {
  usb().HoldControl();
  URB lines = ClassUrb(0x22, 1, nullptr, 0);
  auto r = client().Async(&lines);
  ASSERT_FALSE(r->done);
  tb().Unplug();
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
  usb().ReleaseControl();
  EXPECT_EQ(r->completions, 1);
  EXPECT_TRUE(modem().ControlLineStates().empty());
}

TEST_F(UsbStackFaults, RemovalOfAnUnpluggedDeviceDeletesItsPdo) {
  BusDevice& d = tb().device();
  tb().Unplug();
  EXPECT_TRUE(d.Unplugged());
  EXPECT_NE(d.Pdo(), nullptr);  // until the PnP manager removes it
  ASSERT_EQ(tb().SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_NE(d.Pdo(), nullptr);
  ASSERT_EQ(tb().Remove(), STATUS_SUCCESS);
  EXPECT_EQ(d.Pdo(), nullptr);
  EXPECT_TRUE(d.Removed());
  EXPECT_EQ(d.Trace().Lines().back(), "PNP REMOVE_DEVICE");
}

TEST_F(UsbStackFaults, RemovalOfAPresentDeviceKeepsItsPdo) {
  BusDevice& d = tb().device();
  uint8_t b[8];
  URB in = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r = client().Async(&in);
  ASSERT_EQ(tb().Remove(), STATUS_SUCCESS);
  EXPECT_NE(d.Pdo(), nullptr);
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  EXPECT_EQ(H(Pipe::BulkIn), 0u);
  // The device can be started again.
  ASSERT_EQ(tb().Start(), STATUS_SUCCESS);
  EXPECT_NE(H(Pipe::BulkIn), 0u);
}

}  // namespace
}  // namespace sim::testing

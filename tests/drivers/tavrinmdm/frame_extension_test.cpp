// The device extension's shared operations: the device-unavailable test and the I/O counter.

#include "port_testbed.h"

namespace {

using porttest::PortTestbed;

TEST(FrameExtension, UnavailableOnlyWhenGoneOrOnTheWayOut) {
  PortTestbed tb;
  PDEVICE_EXTENSION ext = tb.Ext();
  const DEVICE_PNP_STATE saved = ext->PnpState;
  struct Case {
    DEVICE_PNP_STATE state;
    bool unavailable;
  } cases[] = {{NotStarted, false},   {Started, false},        {StopPending, false},
               {RemovePending, true}, {SurpriseRemoved, true}, {Removed, true}};
  for (const Case& c : cases) {
    ext->PnpState = c.state;
    EXPECT_EQ(bool(IsDeviceUnavailable(ext)), c.unavailable) << "state " << c.state;
  }
  ext->PnpState = Started;
  ext->DeviceGone = DEVICE_GONE_MARK - 1;
  EXPECT_FALSE(IsDeviceUnavailable(ext));
  ext->DeviceGone = DEVICE_GONE_MARK;
  EXPECT_TRUE(IsDeviceUnavailable(ext));
  ext->DeviceGone = 0;
  ext->PnpState = saved;
}

class FrameIoCount : public ::testing::Test {
 protected:
  void SetUp() override {
    ext_ = tb_.Ext();
    KeInitializeEvent(&ext_->IoIdleEvent, NotificationEvent, FALSE);
  }
  PortTestbed tb_;
  PDEVICE_EXTENSION ext_ = nullptr;
};

TEST_F(FrameIoCount, IncrementFromZeroClearsTheIdleEvent) {
  ext_->IoCount = 0;
  KeSetEvent(&ext_->IoIdleEvent, IO_NO_INCREMENT, FALSE);
  IoCountIncrement(ext_);
  EXPECT_EQ(ext_->IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&ext_->IoIdleEvent), 0);

  // From 1 upwards the event is left as it is.
  KeSetEvent(&ext_->IoIdleEvent, IO_NO_INCREMENT, FALSE);
  IoCountIncrement(ext_);
  EXPECT_EQ(ext_->IoCount, 2);
  EXPECT_NE(KeReadStateEvent(&ext_->IoIdleEvent), 0);
}

TEST_F(FrameIoCount, DecrementToZeroSignalsTheIdleEvent) {
  ext_->IoCount = 2;
  IoCountDecrement(ext_);
  EXPECT_EQ(KeReadStateEvent(&ext_->IoIdleEvent), 0);
  IoCountDecrement(ext_);
  EXPECT_EQ(ext_->IoCount, 0);
  EXPECT_NE(KeReadStateEvent(&ext_->IoIdleEvent), 0);
}

TEST_F(FrameIoCount, DecrementAndWaitOnOneReturnsAtOnceWithoutTouchingTheEvent) {
  ext_->IoCount = 1;
  IoCountDecrementAndWait(ext_);
  EXPECT_EQ(ext_->IoCount, 0);
  // The event was not signalled: nothing else used it.
  EXPECT_EQ(KeReadStateEvent(&ext_->IoIdleEvent), 0);
}

TEST_F(FrameIoCount, DecrementAndWaitReturnsOnlyAfterTheLastTransferEnds) {
  ext_->IoCount = 3;  // the open's unit and two transfers
  std::shared_ptr<host::Thread> closer =
      tb_.session().Spawn("closer", [this] { IoCountDecrementAndWait(ext_); });
  EXPECT_FALSE(closer->Finished());
  EXPECT_EQ(ext_->IoCount, 2);

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCountDecrement(ext_);
  KeLowerIrql(old);
  tb_.Pump();
  EXPECT_FALSE(closer->Finished());

  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCountDecrement(ext_);
  KeLowerIrql(old);
  tb_.Pump();
  EXPECT_TRUE(closer->Finished());
  closer->Join();
  EXPECT_EQ(ext_->IoCount, 0);
}

}  // namespace

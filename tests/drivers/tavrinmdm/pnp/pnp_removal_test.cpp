// Surprise removal and removal: queued reads, writes and waits are completed exactly once, and
// the removal returns (and the device object goes) only after every holder of the remove lock
// has let go; PnP requests arriving meanwhile are refused without going down.

#include <gtest/gtest.h>

#include "port_names_checks.h"
#include "queues_test_irp.h"

namespace {

using nametest::Added;
using nametest::DeviceNameOf;
using queuetest::IrpSet;

struct Queued {
  PIRP w1, w2, read, wait;
};

// Two writes, a read and a wait left in the queues, as their dispatch routines leave them.
Queued QueueSome(IrpSet& irps, PDEVICE_EXTENSION ext) {
  Queued q{irps.Write(3), irps.Write(4), irps.Read(), irps.Wait()};
  EXPECT_EQ(QueueWriteIrp(ext, q.w1, FALSE), STATUS_PENDING);
  EXPECT_EQ(QueueWriteIrp(ext, q.w2, FALSE), STATUS_PENDING);
  EXPECT_EQ(QueueReadIrp(ext, q.read), STATUS_PENDING);
  EXPECT_EQ(QueueWaitIrp(ext, q.wait), STATUS_PENDING);
  ext->AmountInOutQueue = 7;
  return q;
}

TEST(PnpRemoval, SurpriseRemovalCancelsEveryQueuedRequestOnce) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  IrpSet irps(tb.fdo());
  Queued q = QueueSome(irps, tb.Ext());
  EXPECT_EQ(tb.Ext()->RemoveLock.Common.IoCount, 5);

  tb.Unplug();
  ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(irps.CompletionOrder(), (std::vector<PIRP>{q.w2, q.w1, q.read, q.wait}));
  irps.ExpectEachCompletedOnce();
  for (PIRP irp : {q.w1, q.w2, q.read, q.wait}) {
    EXPECT_EQ(irps.Status(irp), STATUS_CANCELLED);
    EXPECT_EQ(irps.Of(irp).information.load(), 0u);
  }
  EXPECT_EQ(tb.Ext()->AmountInOutQueue, 0u);
  EXPECT_EQ(tb.Ext()->RemoveLock.Common.IoCount, 1);

  // New requests find the device gone; the removal has nothing left to wait for.
  EXPECT_TRUE(IsDeviceUnavailable(tb.Ext()));
  ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.fdo(), nullptr);
}

TEST(PnpRemoval, RemovalCancelsEveryQueuedRequestOnceBeforeDeletingTheDevice) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  IrpSet irps(tb.fdo());
  Queued q = QueueSome(irps, tb.Ext());
  ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(irps.CompletionOrder().size(), 0u);
  // No hold is left when the device object is deleted (the verifier would say so).
  ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.fdo(), nullptr);
  EXPECT_EQ(irps.CompletionOrder(), (std::vector<PIRP>{q.w2, q.w1, q.read, q.wait}));
  irps.ExpectEachCompletedOnce();
}

// A read timer holds the device from the moment it is set until its DPC has run or a cancel took
// it out before it expired, so removal never deletes the device under a timer, a queued DPC or a
// running one. Each row leaves one read timer in one state; removal must then return with the
// device deleted and the verifier silent (a timer set or a DPC queued in freed memory, a hold left
// at deletion or a use of the freed extension would be reported).
TEST(PnpRemoval, RemovalWaitsOutEveryReadTimerState) {
  enum class State { Set, Expired, ExpiredThenSetAgain, ExpiredThenCancelled };
  struct Row {
    bool total;
    State state;
  };
  for (const Row row : {Row{true, State::Set}, Row{false, State::Set}, Row{true, State::Expired},
                        Row{false, State::Expired}, Row{true, State::ExpiredThenSetAgain},
                        Row{false, State::ExpiredThenSetAgain},
                        Row{true, State::ExpiredThenCancelled}}) {
    SCOPED_TRACE(testing::Message() << (row.total ? "total" : "interval") << " timer, state "
                                    << static_cast<int>(row.state));
    Added tb;
    ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
    PDEVICE_EXTENSION ext = tb.Ext();
    PKTIMER timer = row.total ? &ext->ReadTotalTimer : &ext->ReadIntervalTimer;
    PKDPC dpc = row.total ? &ext->ReadTotalDpc : &ext->ReadIntervalDpc;
    auto set = [&] {
      KIRQL old;
      LARGE_INTEGER due;
      due.QuadPart = -10000000;  // one second
      KeAcquireSpinLock(&ext->SpinLock, &old);
      ReadTimerSetLocked(ext, timer, due);
      KeReleaseSpinLock(&ext->SpinLock, old);
    };
    set();
    EXPECT_EQ(ext->RemoveLock.Common.IoCount, 2) << "the lock's bias and the timer's hold";
    if (row.state != State::Set) {
      // What the clock interrupt does at expiry: the timer leaves the table and its DPC is
      // queued; the DPC has not run yet.
      KeCancelTimer(timer);
      ASSERT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr));
    }
    if (row.state == State::ExpiredThenSetAgain) set();
    if (row.state == State::ExpiredThenCancelled) {
      CancelReadTimers(ext);
      EXPECT_NE(dpc->DpcData, nullptr) << "a cancel cannot take back a queued DPC";
      EXPECT_EQ(ext->RemoveLock.Common.IoCount, 2) << "so the DPC keeps the hold";
    }
    EXPECT_EQ(ext->RemoveLock.Common.IoCount, 2) << "one hold whatever the state";

    ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
    ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(tb.fdo(), nullptr);
  }
}

// A holder of the remove lock (a request or transfer in the driver's hands) that lets go when the
// test says so; the removal runs on its own thread and must wait for it.
TEST(PnpRemoval, RemovalReturnsOnlyAfterTheLastHolderLetsGo) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  PDEVICE_EXTENSION ext = tb.Ext();
  const std::string device = DeviceNameOf(tb.fdo());
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  int tag1 = 0, tag2 = 0;

  auto holder = tb.session().Spawn("holder", [&] {
    ASSERT_EQ(IoAcquireRemoveLock(&ext->RemoveLock, &tag1), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&ext->RemoveLock, &tag2), STATUS_SUCCESS);
    KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
    IoReleaseRemoveLock(&ext->RemoveLock, &tag1);
    KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
    // The device may be gone once this returns: nothing of it is touched afterwards.
    IoReleaseRemoveLock(&ext->RemoveLock, &tag2);
  });
  NTSTATUS removed = STATUS_PENDING;
  auto remover = tb.session().Spawn("remover", [&] { removed = tb.Remove(); });
  tb.Pump();

  // The removal went down to the bus driver and now waits for the holder.
  EXPECT_FALSE(remover->Finished());
  EXPECT_TRUE(tb.device().Removed());
  EXPECT_EQ(host::objects::FindDevice(device), tb.fdo());
  EXPECT_EQ(ext->PnpState, Removed);
  nametest::ExpectUnnamed(tb.pdo(), "COM7", device);

  // Another PnP request meanwhile is refused by the remove lock and never goes down.
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(host::pnp::QueryCapabilities(tb.pdo(), &caps), STATUS_DELETE_PENDING);
  EXPECT_EQ(tb.device().PnpCount(IRP_MN_QUERY_CAPABILITIES), 0u);

  // One of two holds given back: still waiting.
  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  KeResetEvent(&gate);
  tb.Pump();
  EXPECT_FALSE(holder->Finished());
  EXPECT_FALSE(remover->Finished());
  EXPECT_NE(host::objects::FindDevice(device), nullptr);

  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  remover->Join();
  holder->Join();
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_EQ(host::objects::FindDevice(device), nullptr);
  EXPECT_EQ(tb.fdo(), nullptr);
}

TEST(PnpRemoval, RemovalWaitsOutAHolderThatLetsGoAfterADelay) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  PDEVICE_EXTENSION ext = tb.Ext();
  int tag = 0;
  auto holder = tb.session().Spawn("holder", [&] {
    ASSERT_EQ(IoAcquireRemoveLock(&ext->RemoveLock, &tag), STATUS_SUCCESS);
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 1000 * 1000;  // one second
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    IoReleaseRemoveLock(&ext->RemoveLock, &tag);
  });
  NTSTATUS removed = STATUS_PENDING;
  auto remover = tb.session().Spawn("remover", [&] { removed = tb.Remove(); });

  tb.session().AdvanceTimeMs(999);
  EXPECT_FALSE(remover->Finished());
  EXPECT_NE(tb.fdo(), nullptr);
  tb.session().AdvanceTimeMs(1);
  EXPECT_TRUE(remover->Finished());
  remover->Join();
  holder->Join();
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_EQ(tb.fdo(), nullptr);
}

// The same through an open port with real requests: a read and a wait-on-mask waiting, one
// write on the bulk-OUT pipe and one queued behind it.
TEST(PnpRemoval, SurpriseRemovalOfAnOpenPortEndsItsPendingRequests) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  host::app::File port = tb.Open("COM7");
  ASSERT_TRUE(port.IsOpen());
  const ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);

  host::app::Request read = port.ReadAsync(10);
  host::app::Request wait = port.DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                                      sizeof(ULONG));
  const char first[] = "first", second[] = "second";
  host::app::Request w1 = port.WriteAsync(first, 5);
  host::app::Request w2 = port.WriteAsync(second, 6);
  EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(wait.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(w2.DispatchStatus(), STATUS_PENDING);
  ASSERT_FALSE(read.Done() || wait.Done() || w2.Done());

  // (Not unplugged first: the readers would report the loss to the wait before the PnP
  // manager's request arrives.)
  ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
  // The queued ones end at once, cancelled.
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
  EXPECT_EQ(read.Result().information, 0u);
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(wait.Result().status, STATUS_CANCELLED);
  // The second write was either still queued (cancelled) or already sent after the first
  // (failed by the deconfigured device); it ends either way, and so does the first.
  host::app::IoResult r2 = w2.Wait();
  host::app::IoResult r1 = w1.Wait();
  EXPECT_NE(r2.status, STATUS_SUCCESS);
  EXPECT_NE(r2.status, STATUS_PENDING);
  EXPECT_NE(r1.status, STATUS_PENDING);

  // Requests after the surprise removal fail; the close still works, then the removal.
  EXPECT_EQ(port.Read(1).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.fdo(), nullptr);
}

}  // namespace

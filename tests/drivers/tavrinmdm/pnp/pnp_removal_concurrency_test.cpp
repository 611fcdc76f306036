// Removal on real threads: it returns only after every holder of the remove lock has let go,
// while another thread (as a USB completion routine would, holding its own hold) races the
// removal's cancel of the queues for the same requests. Every request is completed exactly once,
// no hold is left when the device object is deleted (the verifier checks), and nothing waits
// unbounded: the racing threads give up after a bounded wait and fail the test instead.
//
// Each round keeps a reference on the device object, as the I/O manager does for the requests
// it has handed to a device: the host's IoReleaseRemoveLockAndWait returns as soon as the count
// reaches 0, before the releasing thread's KeSetEvent on the lock's event inside the extension,
// so without the reference the removal could free the extension under that KeSetEvent. The
// device is still deleted at the right moment (its name and driver link go); only its memory
// waits for the reference.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "port_testbed.h"
#include "queues_test_irp.h"

namespace {

using queuetest::IrpSet;

std::unique_ptr<porttest::PortTestbed> StartedThreaded() {
  porttest::PortTestbedOptions o;
  o.mode = host::Mode::Threaded;
  return std::make_unique<porttest::PortTestbed>(std::move(o));
}

// Waits (bounded, no sleeping) until `done` is true; false if it never was.
template <class F>
bool SpinUntil(F done) {
  for (long i = 0; i < 200000000L; ++i) {
    if (done()) return true;
    std::this_thread::yield();
  }
  return done();
}

// A real-time bound on a kernel wait that should end long before it.
NTSTATUS WaitBounded(KEVENT* event) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -60LL * 1000 * 1000 * 10;
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

// Rounds of: holders on their own threads, a removal on another, the holders let go one by one.
void RemovalWithHolders(int rounds, bool keepReference) {
  constexpr int kHolders = 3;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto tb = StartedThreaded();
    PDEVICE_EXTENSION ext = tb->Ext();
    PDEVICE_OBJECT fdo = tb->fdo();
    const std::string device = host::objects::DeviceName(fdo);
    if (keepReference) ObReferenceObject(fdo);
    KEVENT release[kHolders];
    int tags[kHolders];
    std::atomic<int> held{0}, letGo{0};
    std::vector<std::shared_ptr<host::Thread>> holders;
    for (int h = 0; h < kHolders; ++h) {
      KeInitializeEvent(&release[h], NotificationEvent, FALSE);
      holders.push_back(tb->session().Spawn("holder", [&, h] {
        EXPECT_EQ(IoAcquireRemoveLock(&ext->RemoveLock, &tags[h]), STATUS_SUCCESS);
        held++;
        EXPECT_EQ(WaitBounded(&release[h]), STATUS_SUCCESS);
        letGo++;
        IoReleaseRemoveLock(&ext->RemoveLock, &tags[h]);
      }));
    }
    ASSERT_TRUE(SpinUntil([&] { return held.load() == kHolders; }));

    std::atomic<bool> removed{false};
    std::atomic<int> holdersLeftAtReturn{-1};
    auto remover = tb->session().Spawn("remover", [&] {
      EXPECT_EQ(tb->Remove(), STATUS_SUCCESS);
      holdersLeftAtReturn = kHolders - letGo.load();
      removed = true;
    });
    // The removal has gone down to the bus driver: from now on it only waits.
    ASSERT_TRUE(SpinUntil([&] { return tb->device().Removed(); }));
    for (int h = 0; h < kHolders; ++h) {
      std::this_thread::yield();
      EXPECT_FALSE(removed.load()) << "returned with " << kHolders - h << " holders left";
      KeSetEvent(&release[h], IO_NO_INCREMENT, FALSE);
    }
    remover->Join();
    for (auto& t : holders) t->Join();
    EXPECT_EQ(holdersLeftAtReturn.load(), 0);
    EXPECT_EQ(tb->fdo(), nullptr);
    EXPECT_EQ(host::objects::FindDevice(device), nullptr);
    if (keepReference) ObDereferenceObject(fdo);
    if (::testing::Test::HasFailure()) break;
  }
}

TEST(PnpRemovalRace, RemovalWaitsForHoldersOnOtherThreads) { RemovalWithHolders(20, true); }

// Without the reference the device's memory goes at the deletion itself: the removal must not
// return (and delete the device) before the last holder's release has finished signalling the
// lock's event inside the extension.
TEST(PnpRemovalRace, RemovalFreesTheDeviceOnlyAfterTheLastReleaseHasSignalled) {
  RemovalWithHolders(500, false);
}

TEST(PnpRemovalRace, RemovalAndACompletingThreadShareTheQueuedRequestsOnce) {
  constexpr int kRounds = 40;
  long byCompleter = 0, byRemoval = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto tb = StartedThreaded();
    PDEVICE_EXTENSION ext = tb->Ext();
    PDEVICE_OBJECT fdo = tb->fdo();
    ObReferenceObject(fdo);
    IrpSet irps(fdo);
    std::vector<PIRP> writes;
    for (int i = 0; i < 4; ++i) {
      writes.push_back(irps.Write(1));
      ASSERT_EQ(QueueWriteIrp(ext, writes.back(), FALSE), STATUS_PENDING);
    }
    PIRP read = irps.Read(), wait = irps.Wait();
    ASSERT_EQ(QueueReadIrp(ext, read), STATUS_PENDING);
    ASSERT_EQ(QueueWaitIrp(ext, wait), STATUS_PENDING);
    ext->AmountInOutQueue = 4;

    // The completing thread works on the device under a hold of its own, as a transfer's
    // completion routine does, and lets go last.
    int completerTag = 0;
    ASSERT_EQ(IoAcquireRemoveLock(&ext->RemoveLock, &completerTag), STATUS_SUCCESS);
    std::atomic<bool> go{false}, completerDone{false}, removalReturned{false};
    auto completer = tb->session().Spawn("completer", [&] {
      EXPECT_TRUE(SpinUntil([&] { return go.load(); }));
      for (int i = 0; i < 6; ++i) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PIRP got[3] = {DequeueWriteIrp(ext, FALSE), DequeueReadIrp(ext), DequeueWaitIrp(ext)};
        for (PIRP irp : got) {
          if (irp != nullptr) irps.CompleteOwned(irp, STATUS_SUCCESS);
        }
        KeLowerIrql(old);
        std::this_thread::yield();
      }
      EXPECT_FALSE(removalReturned.load());
      completerDone = true;
      IoReleaseRemoveLock(&ext->RemoveLock, &completerTag);
    });
    auto remover = tb->session().Spawn("remover", [&] {
      EXPECT_TRUE(SpinUntil([&] { return go.load(); }));
      EXPECT_EQ(tb->SurpriseRemove(), STATUS_SUCCESS);
      EXPECT_EQ(tb->Remove(), STATUS_SUCCESS);
      EXPECT_TRUE(completerDone.load());
      removalReturned = true;
    });
    go = true;
    remover->Join();
    completer->Join();
    irps.ExpectEachCompletedOnce();
    for (PIRP irp : writes) (irps.Status(irp) == STATUS_CANCELLED ? byRemoval : byCompleter)++;
    for (PIRP irp : {read, wait}) (irps.Status(irp) == STATUS_CANCELLED ? byRemoval : byCompleter)++;
    EXPECT_EQ(tb->fdo(), nullptr);
    ObDereferenceObject(fdo);
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("completed by the completing thread %ld, cancelled by the removal %ld\n",
              byCompleter, byRemoval);
}

}  // namespace

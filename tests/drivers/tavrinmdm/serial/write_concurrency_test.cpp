// Writes from several threads at once, on real threads (also run under ThreadSanitizer): two
// writers on an idle port start exactly one chain, so no two bulk-OUT transfers are ever in
// flight together and no write's chunks are interleaved with another's. Bounded by round counts.

#include <atomic>

#include "write_test_support.h"

namespace {

using porttest::PortTestbed;
using porttest::PortTestbedOptions;
using namespace writetest;

PortTestbedOptions Threaded() {
  PortTestbedOptions options;
  options.mode = host::Mode::Threaded;
  return options;
}

// A gate the threads of one round wait at, so that their writes reach the driver together.
class Gate {
 public:
  Gate() { KeInitializeEvent(&event_, NotificationEvent, FALSE); }
  void Open() { KeSetEvent(&event_, IO_NO_INCREMENT, FALSE); }
  void Wait() { KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr); }

 private:
  KEVENT event_;
};

TEST(WriteConcurrency, TwoWritersOnAnIdlePortStartOneChainAndBothWritesAreSentWhole) {
  PortTestbed tb(Threaded());
  ioctltest::ControlPort port(tb);
  PDEVICE_EXTENSION ext = tb.Ext();
  constexpr int kRounds = 150;
  // Two chunks each, so that two chains running at once would interleave them on the bus.
  const std::string a(5000, 'a');
  const std::string b(6000, 'b');

  for (int round = 0; round < kRounds; ++round) {
    Gate gate;
    host::app::IoResult ra, rb;
    auto ta = tb.session().Spawn("writer-a", [&] {
      gate.Wait();
      ra = port.file().Write(a.data(), static_cast<ULONG>(a.size()));
    });
    auto tb2 = tb.session().Spawn("writer-b", [&] {
      gate.Wait();
      rb = port.file().Write(b.data(), static_cast<ULONG>(b.size()));
    });
    gate.Open();
    ta->Join();
    tb2->Join();
    ASSERT_EQ(ra.status, STATUS_SUCCESS) << "round " << round;
    ASSERT_EQ(rb.status, STATUS_SUCCESS) << "round " << round;
    ASSERT_EQ(ra.information, a.size());
    ASSERT_EQ(rb.information, b.size());
  }

  tb.Pump();
  EXPECT_FALSE(ext->WriteActive);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_EQ(ext->PerfStats.TransmittedCount, kRounds * (a.size() + b.size()));
  EXPECT_TRUE(OneTransferAtATime(tb));

  // Every round's two writes arrived whole, one after the other, in either order.
  std::string sent = tb.modem().BulkOut();
  ASSERT_EQ(sent.size(), kRounds * (a.size() + b.size()));
  for (int round = 0; round < kRounds; ++round) {
    std::string piece = sent.substr(round * (a.size() + b.size()), a.size() + b.size());
    EXPECT_TRUE(piece == a + b || piece == b + a) << "round " << round;
  }
}

TEST(WriteConcurrency, WritesImmediateCharactersAndTransmitPurgesFromSeveralThreads) {
  PortTestbed tb(Threaded());
  ioctltest::ControlPort port(tb);
  PDEVICE_EXTENSION ext = tb.Ext();
  constexpr int kPerThread = 200;
  std::atomic<uint64_t> sentBytes{0};
  std::atomic<int> cancelled{0};

  auto writer = [&](char fill) {
    for (int i = 0; i < kPerThread; ++i) {
      std::string data(1 + (i * 37) % 9000, fill);
      auto r = port.file().Write(data.data(), static_cast<ULONG>(data.size()));
      if (r.status == STATUS_SUCCESS) {
        EXPECT_EQ(r.information, data.size());
        sentBytes += r.information;
      } else {
        EXPECT_EQ(r.status, STATUS_CANCELLED);
        EXPECT_EQ(r.information, 0u);
        ++cancelled;
      }
    }
  };
  auto immediates = [&] {
    for (int i = 0; i < kPerThread; ++i) {
      UCHAR x = '!';
      auto r = port.Call(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
      if (r.status == STATUS_SUCCESS) {
        sentBytes += 1;
      } else {
        EXPECT_EQ(r.status, STATUS_CANCELLED);
      }
      if (i % 5 == 2) {
        // Cancels the queued writes while the chain takes the next one out of the queue.
        ULONG purge = SERIAL_PURGE_TXABORT;
        EXPECT_EQ(port.Set(IOCTL_SERIAL_PURGE, purge).status, STATUS_SUCCESS);
      }
      auto s = port.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
      EXPECT_LT(s.AmountInOutQueue, 3u * 9001u);  // never more than what is outstanding
    }
  };
  auto t1 = tb.session().Spawn("writer-1", [&] { writer('x'); });
  auto t2 = tb.session().Spawn("writer-2", [&] { writer('y'); });
  auto t3 = tb.session().Spawn("immediate", immediates);
  t1->Join();
  t2->Join();
  t3->Join();
  tb.Pump();

  // Only queued writes are cancelled: every byte that reached the modem was reported sent.
  EXPECT_EQ(tb.modem().BulkOut().size(), sentBytes.load());
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_FALSE(ext->WriteActive);
  EXPECT_TRUE(OneTransferAtATime(tb));
}

// Writes cancelled between two of their chunks (the driver re-sends the same request for the
// next chunk while IoCancelIrp runs on another thread).
TEST(WriteConcurrency, WritesCancelledInFlightFromSeveralThreads) {
  PortTestbed tb(Threaded());
  ioctltest::ControlPort port(tb);
  PDEVICE_EXTENSION ext = tb.Ext();
  constexpr int kPerThread = 200;
  std::atomic<uint64_t> sentBytes{0};
  std::atomic<int> cancelled{0};

  auto writer = [&](char fill) {
    for (int i = 0; i < kPerThread; ++i) {
      std::string data(1 + (i * 37) % 9000, fill);
      auto w = port.file().WriteAsync(data.data(), static_cast<ULONG>(data.size()));
      if (i % 7 == 3) w.Cancel();
      auto r = w.Wait();
      if (r.status == STATUS_SUCCESS) {
        EXPECT_EQ(r.information, data.size());
        sentBytes += r.information;
      } else {
        EXPECT_EQ(r.status, STATUS_CANCELLED);
        EXPECT_EQ(r.information, 0u);
        ++cancelled;
      }
    }
  };
  auto immediates = [&] {
    for (int i = 0; i < kPerThread; ++i) {
      UCHAR x = '!';
      auto r = port.Call(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
      if (r.status == STATUS_SUCCESS) {
        sentBytes += 1;
      } else {
        EXPECT_EQ(r.status, STATUS_CANCELLED);
      }
      auto s = port.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
      EXPECT_LT(s.AmountInOutQueue, 3u * 9001u);  // never more than what is outstanding
    }
  };
  auto t1 = tb.session().Spawn("writer-1", [&] { writer('x'); });
  auto t2 = tb.session().Spawn("writer-2", [&] { writer('y'); });
  auto t3 = tb.session().Spawn("immediate", immediates);
  t1->Join();
  t2->Join();
  t3->Join();
  tb.Pump();

  // A write cancelled between two of its chunks has sent its first chunks.
  EXPECT_GE(tb.modem().BulkOut().size(), sentBytes.load());
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_FALSE(ext->WriteActive);
  EXPECT_TRUE(OneTransferAtATime(tb));
}

}  // namespace

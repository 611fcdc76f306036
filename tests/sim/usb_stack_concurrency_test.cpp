// Threaded mode: the device thread streams data to a reader that re-arms from its completion
// routine, a writer sends from its own thread, the line is paced, and the device is pulled out
// in the middle. Every byte is checked. Waits are bounded and only guard against a hang.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "passthrough_driver.h"
#include "sim/loopback_modem.h"
#include "usb_client.h"

namespace sim::testing {
namespace {

constexpr auto kGuard = std::chrono::seconds(60);

uint8_t Pattern(size_t i) { return static_cast<uint8_t>(i * 131 + (i >> 9) * 7 + 1); }

std::vector<uint8_t> PatternBytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = Pattern(i);
  return v;
}

// A continuous bulk-IN reader as a function driver has one: one transfer outstanding, submitted
// again from its completion routine until a transfer fails.
class Reader {
 public:
  Reader(PDEVICE_OBJECT target, uint32_t handle) : target_(target), handle_(handle) {}

  void Arm() {
    urb_ = TransferUrb(handle_, kInFlags, buffer_, sizeof buffer_);
    PIRP irp = IoAllocateIrp(target_->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb_;
    IoSetCompletionRoutine(irp, &Reader::Done, this, TRUE, TRUE, TRUE);
    IoCallDriver(target_, irp);
  }

  // Waits until `n` bytes arrived or the reader stopped; returns the bytes.
  std::vector<uint8_t> WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, kGuard, [&] { return got_.size() >= n || stopped_; });
    return got_;
  }
  // Stopped, and no completion routine still inside a re-arm (it touches the reader after).
  NTSTATUS WaitStopped() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, kGuard, [&] { return stopped_ && rearming_ == 0; });
    return stopped_ && rearming_ == 0 ? last_ : STATUS_PENDING;
  }
  // Stops re-arming, then aborts the pipe, as a driver's close does (a transfer completing at
  // the moment of the abort must not be submitted again behind it).
  // A completion that decided to re-arm before `stopping_` was set may submit after an abort;
  // the next abort catches that transfer.
  NTSTATUS Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    UrbClient c(target_);
    for (int attempt = 0; attempt < 100000; ++attempt) {
      URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, handle_);
      EXPECT_EQ(c.Sync(&abort), STATUS_SUCCESS);
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait_for(lock, kGuard, [&] { return stopped_ || rearming_ == 0; });
      if (stopped_) break;
    }
    return WaitStopped();
  }

 private:
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<Reader*>(context);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    const uint32_t n = self->urb_.UrbBulkOrInterruptTransfer.TransferBufferLength;
    bool again = false;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (NT_SUCCESS(status)) self->got_.insert(self->got_.end(), self->buffer_, self->buffer_ + n);
      if (NT_SUCCESS(status) && !self->stopping_) {
        again = true;
        ++self->rearming_;
      } else {
        self->stopped_ = true;
        self->last_ = status;
      }
      // Notified under the lock: a waiter cannot go on (and destroy the reader) before this
      // routine is done with it.
      self->cv_.notify_all();
    }
    if (again) {
      self->Arm();
      std::lock_guard<std::mutex> lock(self->mutex_);
      --self->rearming_;
      self->cv_.notify_all();
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT target_;
  uint32_t handle_;
  URB urb_{};
  uint8_t buffer_[4096];
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<uint8_t> got_;
  bool stopping_ = false;
  int rearming_ = 0;
  bool stopped_ = false;
  NTSTATUS last_ = STATUS_PENDING;
};

TestbedOptions Threaded() {
  TestbedOptions o;
  o.mode = host::Mode::Threaded;
  o.driverEntry = PassThroughDriverEntry;
  o.driverName = "\\Driver\\passthru";
  return o;
}

void BringUp(Testbed& tb) {
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
}

TEST(UsbStackThreaded, StreamsEveryPushedByteToAReArmingReader) {
  Testbed tb(Threaded());
  tb.Plug(std::make_unique<ScriptedModem>());
  BringUp(tb);
  Reader reader(tb.fdo(), ExtensionWord(tb.pdo(), 12));
  reader.Arm();

  const std::vector<uint8_t> data = PatternBytes(1 << 20);
  // Pushed in uneven pieces from the test thread while the device thread serves.
  for (size_t off = 0; off < data.size();) {
    const size_t n = std::min<size_t>(data.size() - off, 1000 + off % 7777);
    tb.modem<ScriptedModem>().PushBulkIn(data.data() + off, n);
    off += n;
  }
  const std::vector<uint8_t> got = reader.WaitFor(data.size());
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "bytes lost, duplicated or reordered";
  EXPECT_NE(reader.Stop(), STATUS_PENDING);
}

// The loopback line: a writer thread sends 4096-byte chunks one after the other (as the write
// chain does) while the reader takes them back, paced and unpaced.
// With a paced line, another thread holds the modem off and lets it go a few times meanwhile.
void LoopbackRoundTrip(uint64_t rate, size_t total, const LineOptions& line = {}) {
  TestbedOptions o = Threaded();
  o.usb.bytesPerSecond = rate;
  o.usb.line = line;
  Testbed tb(o);
  tb.Plug(std::make_unique<LoopbackModem>());
  BringUp(tb);
  Reader reader(tb.fdo(), ExtensionWord(tb.pdo(), 12));
  reader.Arm();

  const std::vector<uint8_t> data = PatternBytes(total);
  std::atomic<bool> writeFailed{false};
  std::thread writer([&] {
    UrbClient c(tb.fdo());
    const uint32_t out = ExtensionWord(tb.pdo(), 16);
    std::vector<uint8_t> chunk(4096);
    for (size_t off = 0; off < data.size(); off += chunk.size()) {
      const size_t n = std::min(chunk.size(), data.size() - off);
      std::copy(data.begin() + off, data.begin() + off + n, chunk.begin());
      URB urb = TransferUrb(out, 0, chunk.data(), static_cast<uint32_t>(n));
      if (c.Sync(&urb) != STATUS_SUCCESS ||
          urb.UrbBulkOrInterruptTransfer.TransferBufferLength != n) {
        writeFailed = true;
        return;
      }
    }
  });
  std::thread peer([&] {
    for (int i = 0; line.paced && i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      tb.usb().HoldPeer(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      tb.usb().HoldPeer(false);
    }
  });
  const std::vector<uint8_t> got = reader.WaitFor(data.size());
  writer.join();
  peer.join();
  EXPECT_FALSE(writeFailed);
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "bytes lost, duplicated or reordered";
  EXPECT_EQ(tb.usb().BytesFromHost(), total);
  EXPECT_EQ(tb.usb().BytesToHost(), total);
  EXPECT_NE(reader.Stop(), STATUS_PENDING);
}

TEST(UsbStackThreaded, LoopbackRoundTripUnpaced) { LoopbackRoundTrip(0, 512 * 1024); }

TEST(UsbStackThreaded, LoopbackRoundTripPacedStreamsInManyShortTransfers) {
  LoopbackRoundTrip(4 * 1024 * 1024, 256 * 1024);
}

TEST(UsbStackThreaded, LoopbackRoundTripOnAPacedLineWhosePeerHoldsItOff) {
  LineOptions line;
  line.paced = true;
  line.bitsPerSecond = 2000000;  // 200,000 bytes a second at 8N1
  line.txBuffer = 256;
  LoopbackRoundTrip(0, 64 * 1024, line);
}

TEST(UsbStackThreaded, UnplugInTheMiddleOfAStreamEndsItCleanly) {
  Testbed tb(Threaded());
  tb.Plug(std::make_unique<ScriptedModem>());
  BringUp(tb);
  Reader reader(tb.fdo(), ExtensionWord(tb.pdo(), 12));
  reader.Arm();
  const std::vector<uint8_t> data = PatternBytes(256 * 1024);
  std::thread pusher([&] {
    for (size_t off = 0; off < data.size(); off += 512) {
      tb.modem<ScriptedModem>().PushBulkIn(data.data() + off, 512);
    }
  });
  reader.WaitFor(64 * 1024);
  tb.Unplug();
  pusher.join();
  EXPECT_EQ(reader.WaitStopped(), STATUS_DEVICE_NOT_CONNECTED);
  const std::vector<uint8_t> got = reader.WaitFor(0);
  ASSERT_LE(got.size(), data.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << "the prefix is wrong";
  tb.SurpriseRemove();
  tb.Remove();
  EXPECT_EQ(tb.device().Pdo(), nullptr);
}

TEST(UsbStackThreaded, ControlRequestsFromSeveralThreadsWhileDataFlows) {
  Testbed tb(Threaded());
  tb.Plug(std::make_unique<ScriptedModem>());
  BringUp(tb);
  Reader reader(tb.fdo(), ExtensionWord(tb.pdo(), 12));
  reader.Arm();
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&tb, t] {
      UrbClient c(tb.fdo());
      for (int i = 0; i < 200; ++i) {
        URB lines = ClassUrb(0x22, static_cast<uint16_t>(t), nullptr, 0);
        EXPECT_EQ(c.Sync(&lines), STATUS_SUCCESS);
      }
    });
  }
  const std::vector<uint8_t> data = PatternBytes(64 * 1024);
  tb.modem<ScriptedModem>().PushBulkIn(data);
  for (auto& th : threads) th.join();
  EXPECT_TRUE(reader.WaitFor(data.size()) == data);
  EXPECT_EQ(tb.modem<ScriptedModem>().ControlLineStates().size(), 600u);
  EXPECT_NE(reader.Stop(), STATUS_PENDING);
}

}  // namespace
}  // namespace sim::testing

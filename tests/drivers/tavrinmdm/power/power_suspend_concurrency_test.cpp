// Suspend and resume on real threads while data flows: the loopback modem sends back, at a paced
// line rate, a known stream the test wrote; an application thread keeps reading it; the test
// thread puts the system to sleep and back several times in the middle of the stream. The readers'
// transfers are cancelled by the device's power-down on the USB stack's own thread while the
// power requests run on the power manager's threads. Every byte must arrive once and in order, the
// device must never be taken for gone, and the verifier checks every request and context.
// Phases are sequenced by the reader's progress; every wait is bounded.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "power_test_support.h"
#include "sim/loopback_modem.h"

namespace {

using porttest::PortTestbed;
using porttest::PortTestbedOptions;

PortTestbedOptions ThreadedPacedLoopback(uint64_t bytesPerSecond) {
  PortTestbedOptions options;
  options.mode = host::Mode::Threaded;
  options.modem = std::make_unique<sim::LoopbackModem>(bytesPerSecond);
  return options;
}

// What the reading thread has received so far, for the test thread to wait on.
class Progress {
 public:
  void Add(size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += n;
    cv_.notify_all();
  }
  void Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    cv_.notify_all();
  }
  // Waits until `n` bytes have arrived or the reader has stopped; false after a minute without
  // either (the test then fails instead of hanging).
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(60),
                        [&] { return received_ >= n || finished_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  size_t received_ = 0;
  bool finished_ = false;
};

// Streams kTotal bytes back from the paced loopback modem to an application thread while the
// test thread runs `cycle` kCycles times, spread over the stream. Checks every byte and that the
// device was never taken for gone.
void StreamAcrossPowerCycles(uint64_t lineRate, size_t kTotal, int kCycles,
                             const std::function<void(PortTestbed&, int)>& cycle) {
  PortTestbed tb(ThreadedPacedLoopback(lineRate));
  rxtest::EnsureStarted(tb);
  DEVICE_CAPABILITIES caps{};
  ASSERT_EQ(host::pnp::QueryCapabilities(tb.pdo(), &caps), STATUS_SUCCESS);
  host::app::File port = rxtest::OpenPort(tb);
  // A read returns with the first bytes that arrive, or empty after 200 ms.
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, MAXULONG, 200), STATUS_SUCCESS);

  std::vector<uint8_t> sent = rxtest::PatternBytes(0, kTotal);
  ASSERT_EQ(port.Write(sent.data(), ULONG(kTotal)).status, STATUS_SUCCESS);

  Progress progress;
  std::string failure;
  std::vector<uint8_t> got;
  auto reader = tb.session().Spawn("application reader", [&] {
    int idleReads = 0;
    // Bounded: 100 empty reads in a row (20 s with nothing arriving) end it.
    while (got.size() < kTotal && idleReads < 100) {
      host::app::IoResult r = port.Read(4096);
      if (r.status != STATUS_SUCCESS && r.status != STATUS_TIMEOUT) {
        failure = "read failed with " + sim::StatusName(r.status);
        break;
      }
      idleReads = r.output.empty() ? idleReads + 1 : 0;
      got.insert(got.end(), r.output.begin(), r.output.end());
      progress.Add(r.output.size());
    }
    progress.Finish();
  });

  for (int c = 0; c < kCycles; ++c) {
    ASSERT_TRUE(progress.WaitFor(kTotal * (c + 1) / (kCycles + 2)));
    cycle(tb, c);
  }

  reader->Join();
  EXPECT_EQ(failure, "");
  ASSERT_EQ(got.size(), kTotal);
  for (size_t k = 0; k < kTotal; ++k) {
    ASSERT_EQ(got[k], sent[k]) << "byte " << k;
  }
  EXPECT_EQ(tb.Ext()->DeviceGone, 0u);
  EXPECT_FALSE(tb.Ext()->SystemSuspended);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(tb.Ext()->IoCount, 0);
}

// Polls `done` until it holds; false after 30 s (the test then fails instead of hanging).
bool PollUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

LONG IoCountOf(PortTestbed& tb) { return InterlockedCompareExchange(&tb.Ext()->IoCount, 0, 0); }

// No reader completion is under way: every IoCount unit but the open's is a transfer pending in
// the USB stack (no write is in flight in these tests).
bool ReadersQuiet(PortTestbed& tb) {
  return IoCountOf(tb) == LONG(1 + tb.usb().PendingTransfers(sim::Pipe::BulkIn) +
                               tb.usb().PendingTransfers(sim::Pipe::Interrupt));
}

// The device is taken down as a sleep does, and the test waits for what the platform's sleep
// itself guarantees before the working state can return: the transfers the power-down cancelled
// have been completed and their completion routines have run. The USB stack delivers those
// cancellations from its own thread, after the D3 request has completed; so the IN pipes are held
// first (no transfer completes with data and re-arms during D3), then the test waits until no
// reader completion is under way, takes the device down, and waits until both readers have
// ended. The resume (next) arms them again; the pipes are released once it is done.
void SleepAndWake(PortTestbed& tb, SYSTEM_POWER_STATE sleep) {
  tb.usb().Hold(sim::Pipe::BulkIn);
  tb.usb().Hold(sim::Pipe::Interrupt);
  EXPECT_TRUE(PollUntil([&] { return ReadersQuiet(tb); }));
  EXPECT_EQ(host::pnp::SendSystemPower(tb.pdo(), IRP_MN_QUERY_POWER, sleep), STATUS_SUCCESS);
  EXPECT_EQ(host::pnp::SendDevicePower(tb.pdo(), IRP_MN_SET_POWER, PowerDeviceD3),
            STATUS_SUCCESS);
  EXPECT_TRUE(PollUntil([&] { return IoCountOf(tb) == 1; }));
  EXPECT_EQ(host::pnp::SendSystemPower(tb.pdo(), IRP_MN_SET_POWER, PowerSystemWorking),
            STATUS_SUCCESS);
  tb.usb().Release(sim::Pipe::BulkIn);
  tb.usb().Release(sim::Pipe::Interrupt);
}

// The device goes down in the middle of the stream while the suspend is marked by a sleep query,
// and comes back with the working state: the resume resets the pipes and arms both readers on
// the test's thread while the modem's line keeps filling the device and the application's reads
// wait on another. The system state never drops here, so the working-state request takes the
// path where D0 is asked for first (see the next test for the return from a real sleep).
TEST(PowerSuspendThreads, DevicePowerDownsInTheMiddleOfAStreamLoseNoByte) {
  StreamAcrossPowerCycles(160000, 240000, 4, [](PortTestbed& tb, int c) {
    SleepAndWake(tb, c % 2 ? PowerSystemHibernate : PowerSystemSleeping3);
  });
}

// Real sleeps and returns on real threads. On the return to the working state the machine's
// completion routine asks for D0 and returns STATUS_MORE_PROCESSING_REQUIRED; the power manager's
// worker may finish D0 and complete the system request from PowerRequestCompletion before that
// routine has returned, which the platform allows.
TEST(PowerSuspendThreads, SleepsInTheMiddleOfAStreamLoseNoByte) {
  StreamAcrossPowerCycles(160000, 240000, 4, [](PortTestbed& tb, int c) {
    SYSTEM_POWER_STATE sleep = c % 2 ? PowerSystemHibernate : PowerSystemSleeping3;
    tb.usb().Hold(sim::Pipe::BulkIn);
    tb.usb().Hold(sim::Pipe::Interrupt);
    EXPECT_TRUE(PollUntil([&] { return ReadersQuiet(tb); }));
    EXPECT_EQ(host::pnp::SendSystemPower(tb.pdo(), IRP_MN_QUERY_POWER, sleep), STATUS_SUCCESS);
    EXPECT_EQ(host::pnp::SendSystemPower(tb.pdo(), IRP_MN_SET_POWER, sleep), STATUS_SUCCESS);
    EXPECT_TRUE(PollUntil([&] { return IoCountOf(tb) == 1; }));
    EXPECT_EQ(host::pnp::SendSystemPower(tb.pdo(), IRP_MN_SET_POWER, PowerSystemWorking),
              STATUS_SUCCESS);
    tb.usb().Release(sim::Pipe::BulkIn);
    tb.usb().Release(sim::Pipe::Interrupt);
  });
}

// A sleep refused after its query, on real threads: the resume meets readers whose transfers are
// in flight and completing on the device's thread, and must neither reset their pipes nor submit
// their URBs again (the stack would refuse both, and the trace would show it).
TEST(PowerSuspendThreads, RefusedSleepsWhileDataFlowsNeverResubmitAReaderInFlight) {
  constexpr size_t kTotal = 120000;
  PortTestbed tb(ThreadedPacedLoopback(200000));
  rxtest::EnsureStarted(tb);
  host::app::File port = rxtest::OpenPort(tb);
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, MAXULONG, 200), STATUS_SUCCESS);
  std::vector<uint8_t> sent = rxtest::PatternBytes(3, kTotal);
  ASSERT_EQ(port.Write(sent.data(), ULONG(kTotal)).status, STATUS_SUCCESS);
  sim::TraceCursor trace = tb.fullTrace().CursorAtEnd();

  std::atomic<bool> stop{false};
  auto cycler = tb.session().Spawn("refused sleeps", [&] {
    while (!stop.load()) {
      host::pnp::SendSystemPower(tb.pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping3);
      host::pnp::SendSystemPower(tb.pdo(), IRP_MN_SET_POWER, PowerSystemWorking);
    }
  });

  std::vector<uint8_t> got;
  int idleReads = 0;
  while (got.size() < kTotal && idleReads < 100) {
    host::app::IoResult r = port.Read(4096);
    ASSERT_TRUE(r.status == STATUS_SUCCESS || r.status == STATUS_TIMEOUT) << std::hex << r.status;
    idleReads = r.output.empty() ? idleReads + 1 : 0;
    got.insert(got.end(), r.output.begin(), r.output.end());
  }
  stop = true;
  cycler->Join();

  EXPECT_TRUE(got == sent) << "received " << got.size() << " of " << kTotal << " bytes";
  for (const sim::TraceEntry& e : tb.fullTrace().Entries()) {
    if (e.sequence < trace.position()) continue;
    EXPECT_NE(e.kind, sim::TraceKind::Refused) << e.ToString();
    if (e.kind == sim::TraceKind::ResetPipe) {
      EXPECT_EQ(e.status, STATUS_SUCCESS) << e.ToString();
    }
  }
  EXPECT_EQ(tb.Ext()->DeviceGone, 0u);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
}

}  // namespace

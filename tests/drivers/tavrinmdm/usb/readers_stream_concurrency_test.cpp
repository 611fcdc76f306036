// Received data on real threads: the USB stack's device thread completes bulk-IN transfers on
// its own, a feeder thread keeps handing the loopback modem's USB function a known byte stream,
// and the test thread reads it back through the driver with reads of varying sizes. Every byte
// is checked in order; the ring runs full at times, so the bulk-IN reader parks and is re-armed
// by reads made on another thread. Bounded by the amount of data, not by time.

#include <atomic>

#include "receive_test_support.h"
#include "sim/loopback_modem.h"

namespace {

using porttest::PortTestbed;
using porttest::PortTestbedOptions;

PortTestbedOptions ThreadedLoopback() {
  PortTestbedOptions options;
  options.mode = host::Mode::Threaded;
  options.modem = std::make_unique<sim::LoopbackModem>();
  return options;
}

TEST(ReadersStream, EveryByteFromTheModemReachesTheReadsInOrder) {
  PortTestbed tb(ThreadedLoopback());
  auto port = rxtest::OpenPort(tb);
  // Wait up to 5 s for data, return at once with whatever is there.
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, MAXULONG, 5000), STATUS_SUCCESS);

  const uint64_t total = 3 * 1024 * 1024;  // more than the ring holds
  std::atomic<bool> stop{false};
  auto feeder = tb.session().Spawn("feeder", [&] {
    uint64_t sent = 0;
    while (sent < total && !stop.load()) {
      // Chunks of odd sizes, so transfers end at every offset.
      const size_t n = size_t(std::min<uint64_t>(total - sent, 1000 + (sent / 7) % 60000));
      auto bytes = rxtest::PatternBytes(sent, n);
      tb.usb().SendToHost(bytes.data(), n);
      sent += n;
    }
  });

  uint64_t got = 0;
  int emptyReads = 0;
  std::string diagnosis;
  ULONG size = 1;
  while (got < total && emptyReads < 2) {
    const int64_t before = tb.session().Now();
    auto r = port.Read(size);
    if (r.output.empty() && feeder->Finished()) {
      diagnosis += "empty read of " + std::to_string(size) + " after " +
                   std::to_string((tb.session().Now() - before) / 10000) + " ms, status " +
                   std::to_string(r.status) + ", ring " + std::to_string(RingAvailable(tb.Ext())) +
                   ", reader " + std::to_string(tb.Ext()->BulkInReaderState) + ", in flight " +
                   std::to_string(tb.usb().PendingTransfers(sim::Pipe::BulkIn)) + ", queued " +
                   std::to_string(tb.usb().BulkInQueued()) + "\n";
    }
    ASSERT_TRUE(r.status == STATUS_SUCCESS || r.status == STATUS_TIMEOUT) << std::hex << r.status;
    // A waiting read is finished by the first bulk-IN completion after it was queued, and on
    // real threads that completion may have put its bytes in the ring before this read looked and
    // serve the read after it queued: an empty read is then legitimate. Only empty reads that
    // waited out their whole time-out after the feeder finished count towards giving up.
    const bool expired = tb.session().Now() - before >= 4000 * 10000LL;
    emptyReads = r.output.empty() && feeder->Finished() && expired ? emptyReads + 1 : 0;
    for (size_t k = 0; k < r.output.size(); ++k) {
      if (r.output[k] != rxtest::Pattern(got + k)) {
        stop = true;
        feeder->Join();
        FAIL() << "byte " << got + k << " is " << int(r.output[k]) << ", expected "
               << int(rxtest::Pattern(got + k));
      }
    }
    got += r.output.size();
    size = size == 65536 ? 1 : (size == 1 ? 64 : (size == 64 ? 4096 : 65536));
  }
  feeder->Join();
  EXPECT_EQ(got, total) << diagnosis;
  EXPECT_LE(tb.usb().PendingTransfers(sim::Pipe::BulkIn), 1u);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(tb.Ext()->IoCount, 0);
}

}  // namespace

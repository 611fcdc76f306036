// The port under a mixed load on real threads (also run under ThreadSanitizer): while a loopback
// modem streams back everything written, threads write, read, wait on events, send control
// requests (some from DISPATCH_LEVEL, handed to worker threads), purge, clean up and try to open
// the port a second time; then a closer thread closes the port while another tries to open it,
// and the next round opens it again. Bounded by round and request counts. The verifier turns any
// double completion, leak, lock-order or IRQL fault into a failure; every request issued here is
// waited for.

#include <atomic>

#include "ioctl_test_support.h"
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

NTSTATUS OpenBypassing(PortTestbed& tb, host::app::File* file) {
  host::app::OpenOptions options;
  options.bypassExclusiveCheck = true;  // let every attempt reach the driver's own check
  return host::app::File::Open("COM7", file, options);
}

bool Expected(NTSTATUS status, std::initializer_list<NTSTATUS> allowed) {
  for (NTSTATUS s : allowed) {
    if (s == status) return true;
  }
  return false;
}

TEST(IoctlMixedLoad, OpensClosesCleanupsReadsWritesAndControlRequestsWhileDataFlows) {
  PortTestbed tb(ThreadedLoopback());
  PDEVICE_EXTENSION ext = tb.Ext();
  auto& loopback = tb.Testbed::modem<sim::LoopbackModem>();
  constexpr int kRounds = 4;
  constexpr int kWrites = 60;
  constexpr int kControls = 120;
  uint64_t written = 0;
  uint64_t read = 0;

  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    host::app::File port;
    ASSERT_EQ(OpenBypassing(tb, &port), STATUS_SUCCESS);
    SERIAL_TIMEOUTS timeouts{MAXULONG, MAXULONG, 10, 0, 0};  // a read waits at most 10 ms
    ASSERT_EQ(port.DeviceIoControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, 0).status,
              STATUS_SUCCESS);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> roundWritten{0};
    std::atomic<uint64_t> roundRead{0};

    auto writer = tb.session().Spawn("writer", [&] {
      for (int i = 0; i < kWrites; ++i) {
        std::string data(1 + (i * 1031 + round * 77) % 12000, char('a' + i % 26));
        auto r = port.Write(data.data(), static_cast<ULONG>(data.size()));
        EXPECT_TRUE(Expected(r.status, {STATUS_SUCCESS, STATUS_CANCELLED})) << std::hex << r.status;
        if (r.status == STATUS_SUCCESS) {
          EXPECT_EQ(r.information, data.size());
          roundWritten += r.information;
        }
      }
    });
    auto reader = tb.session().Spawn("reader", [&] {
      while (!stop.load()) {
        auto r = port.Read(4096);
        EXPECT_TRUE(Expected(r.status, {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED}))
            << std::hex << r.status;
        EXPECT_LE(r.information, 4096u);
        roundRead += r.information;
      }
    });
    auto waiter = tb.session().Spawn("waiter", [&] {
      while (!stop.load()) {
        ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY | SERIAL_EV_DSR;
        auto set = port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0);
        EXPECT_EQ(set.status, STATUS_SUCCESS);
        auto r = port.DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
        // Another thread's mask change ends a wait with no events; a second wait refuses.
        EXPECT_TRUE(Expected(r.status, {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_INVALID_PARAMETER}))
            << std::hex << r.status;
        if (r.status == STATUS_SUCCESS) {
          EXPECT_EQ(r.information, 4u);
        }
      }
    });
    auto control = tb.session().Spawn("control", [&] {
      static const ULONG rates[] = {9600, 115200, 460800};
      for (int i = 0; i < kControls; ++i) {
        KIRQL irql = (i % 3 == 0) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
        host::app::IoResult r;
        switch (i % 10) {
          case 0: {
            SERIAL_BAUD_RATE b{rates[i % 3]};
            r = port.DeviceIoControl(IOCTL_SERIAL_SET_BAUD_RATE, &b, 4, 0, irql);
            break;
          }
          case 1:
            r = port.DeviceIoControl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, 20, irql);
            if (r.status == STATUS_SUCCESS) {
              SERIAL_STATUS s;
              memcpy(&s, r.output.data(), sizeof s);
              EXPECT_EQ(s.Errors, 0u);
              EXPECT_LE(s.AmountInInQueue, ULONG{RING_BUFFER_SIZE});
            }
            break;
          case 2:
            r = port.DeviceIoControl(i % 4 ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR, nullptr,
                                     0, 0, irql);
            break;
          case 3:
            r = port.DeviceIoControl(i % 4 ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS, nullptr,
                                     0, 0, irql);
            break;
          case 4: {
            ULONG purge = (i % 20 == 4) ? SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT
                                        : SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
            r = port.DeviceIoControl(IOCTL_SERIAL_PURGE, &purge, 4, 0, irql);
            break;
          }
          case 5: {
            UCHAR x = '!';
            r = port.DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0, irql);
            if (r.status == STATUS_SUCCESS) roundWritten += 1;
            break;
          }
          case 6:
            r = port.DeviceIoControl(IOCTL_SERIAL_GET_STATS, nullptr, 0, 24, irql);
            break;
          case 7: {
            SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
            r = port.DeviceIoControl(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, 3, 0, irql);
            break;
          }
          case 8:
            r = port.DeviceIoControl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4, irql);
            break;
          case 9: {
            // Ends the waiter's wait with no events.
            ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
            r = port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0, irql);
            break;
          }
        }
        EXPECT_TRUE(Expected(r.status, {STATUS_SUCCESS, STATUS_CANCELLED})) << std::hex << r.status
                                                                            << " code " << i % 10;
        if (i == kControls / 2) {
          // A cleanup in the middle of the load cancels what is queued at that moment.
          EXPECT_EQ(port.Cleanup(), STATUS_SUCCESS);
        }
      }
    });
    auto intruder = tb.session().Spawn("second-opener", [&] {
      while (!stop.load()) {
        host::app::File other;
        EXPECT_EQ(OpenBypassing(tb, &other), STATUS_ACCESS_DENIED);
      }
    });

    writer->Join();
    control->Join();
    stop = true;
    intruder->Join();
    // The reader ends within its time-out; the waiter's last wait is ended by a cleanup.
    reader->Join();
    while (!waiter->Finished()) {
      EXPECT_EQ(port.Cleanup(), STATUS_SUCCESS);
      std::this_thread::yield();
    }
    waiter->Join();

    // The close, from another thread, while a second opener keeps trying.
    std::atomic<bool> closed{false};
    auto closer = tb.session().Spawn("closer", [&] {
      EXPECT_EQ(port.Close(), STATUS_SUCCESS);
      closed = true;
    });
    auto opener = tb.session().Spawn("opener", [&] {
      while (!closed.load()) {
        host::app::File other;
        NTSTATUS status = OpenBypassing(tb, &other);
        if (NT_SUCCESS(status)) {
          // Admitted only once the close has given its count back.
          EXPECT_EQ(other.Close(), STATUS_SUCCESS);
          break;
        }
        EXPECT_EQ(status, STATUS_ACCESS_DENIED);
      }
    });
    closer->Join();
    opener->Join();

    EXPECT_EQ(ext->OpenCount, 0);
    EXPECT_EQ(ext->IoCount, 0);
    EXPECT_EQ(ext->AmountInOutQueue, 0u);
    written += roundWritten;
    read += roundRead;
  }

  tb.Pump();
  EXPECT_GT(written, 0u);
  EXPECT_GT(read, 0u);
  EXPECT_LE(written, loopback.BytesIn());
  EXPECT_LE(read, loopback.BytesOut());
}

}  // namespace

// Races of the port explored under many schedules (host/testing/explore.h): the application's
// threads, the DPC processors (completing transfers, running timer DPCs, at once) and the PnP
// manager's removal interleaved at every kernel call the driver makes. Each body states what
// must hold in every order.

#include <explore.h>

#include <functional>
#include <string>

#include "port_testbed.h"
#include "tavrinmdm/usb/usb.h"

namespace {

using host::app::File;
using host::app::IoResult;
using host::app::Request;
using porttest::PortTestbed;

const ULONG kRxChar = SERIAL_EV_RXCHAR;

// The body under every schedule, with a started port opened.
void ExplorePort(const std::function<void(PortTestbed&, File&)>& body,
                 host::testing::ExploreSettings settings = {}) {
  host::testing::Explore(
      [&](const host::SessionOptions& options) {
        porttest::PortTestbedOptions o;
        o.session = options;
        PortTestbed tb(std::move(o));
        File port = tb.Open();
        body(tb, port);
      },
      settings);
}

void SetTimeouts(File& port, ULONG interval, ULONG multiplier, ULONG constant) {
  SERIAL_TIMEOUTS t{};
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_TIMEOUTS, t).status, STATUS_SUCCESS);
}

Request WaitOnMask(File& port) {
  return port.DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
}

ULONG EventsOf(const IoResult& r) {
  ULONG events = 0;
  if (r.status == STATUS_SUCCESS && r.output.size() >= sizeof events) {
    memcpy(&events, r.output.data(), sizeof events);
  }
  return events;
}

// A request the application issues on its own thread ("app"), which something else completes
// (data for a read or a wait; the modem takes a write or an immediate character), while
// "remover" closes the handle, removes the device and unloads the driver. A dispatch routine
// that goes on using the device after its request's hold has passed on finds it deleted; a
// worker routine still running after its hold, an unloaded driver.
struct Handoff {
  const char* name;
  std::function<Request(File&)> issue;
  NTSTATUS alsoAccepted = STATUS_SUCCESS;  // besides those every case accepts
};

TEST(PortRaces, EachDispatchRoutineHoldsTheDeviceUntilItReturns) {
  const Handoff cases[] = {
      {"read", [](File& p) { return p.ReadAsync(5); }},
      {"write", [](File& p) { return p.WriteAsync("hello", 5); }},
      {"immediate character",
       [](File& p) {
         const UCHAR c = '!';
         return p.DeviceIoControlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0);
       }},
      {"wait on mask", [](File& p) { return WaitOnMask(p); }},
      // Handed to a system worker, whose routine runs on after it has given its hold back: the
      // removal and the driver's unload may come in between.
      {"control request from DISPATCH_LEVEL",
       [](File& p) {
         return p.DeviceIoControlAsync(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0,
                                       sizeof(SERIAL_TIMEOUTS), DISPATCH_LEVEL);
       },
       STATUS_INVALID_DEVICE_REQUEST},  // the port closed before the worker ran
  };
  for (const Handoff& c : cases) {
    SCOPED_TRACE(c.name);
    ExplorePort([&](PortTestbed& tb, File& port) {
      SetTimeouts(port, 0, 0, 1000);  // a read sets its total timer after it is queued
      ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_WAIT_MASK, kRxChar).status,
                STATUS_SUCCESS);
      Request request;
      auto app = tb.session().Spawn("app", [&] { request = c.issue(port); });
      tb.modem().PushBulkIn("hello");
      NTSTATUS removed = STATUS_PENDING;
      auto remover = tb.session().Spawn("remover", [&] {
        port.Close();
        ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
        removed = tb.Remove();
        tb.UnloadDriver();  // the last device is gone
      });
      app->Join();
      remover->Join();
      EXPECT_EQ(removed, STATUS_SUCCESS);
      const NTSTATUS status = request.Wait().status;
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED ||
                  status == STATUS_INVALID_HANDLE || status == STATUS_DELETE_PENDING ||
                  status == c.alsoAccepted)
          << std::hex << status;
    });
  }
}

// A read with no total time-out, or a wait, dispatched while another thread closes the handle:
// reaching its queue after the cleanup, it must be cancelled, or it would keep the file object
// (and the port) for ever.
TEST(PortRaces, ARequestQueuedAfterCleanupIsCancelledAndThePortOpensAgain) {
  const Handoff cases[] = {
      {"read", [](File& p) { return p.ReadAsync(5); }},
      {"wait on mask", [](File& p) { return WaitOnMask(p); }},
  };
  for (const Handoff& c : cases) {
    SCOPED_TRACE(c.name);
    ExplorePort([&](PortTestbed& tb, File& port) {
      ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_WAIT_MASK, kRxChar).status,
                STATUS_SUCCESS);
      Request request;
      auto app = tb.session().Spawn("app", [&] { request = c.issue(port); });
      auto closer = tb.session().Spawn("closer", [&] { port.Close(); });
      app->Join();
      closer->Join();
      EXPECT_TRUE(closer->Finished());
      const NTSTATUS status = request.Wait().status;
      EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_INVALID_HANDLE) << std::hex
                                                                                  << status;
      File again;
      EXPECT_EQ(tb.TryOpen(&again), STATUS_SUCCESS);
    });
  }
}

// The write chain ends on the writer's thread (its only write had no room for its context) and
// delivers transmit-empty to the pending wait while data arrives on the DPC processor: the
// data's SERIAL_EV_RXCHAR reaches that wait or the next one, whatever the order.
TEST(PortRaces, AnEventRaisedWhileAnotherIsDeliveredIsKept) {
  ExplorePort([](PortTestbed& tb, File& port) {
    const ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
    ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);
    Request first = WaitOnMask(port);
    host::verifier::FailPoolAllocation(1);  // the write's context
    auto writer = tb.session().Spawn("writer", [&] {
      EXPECT_EQ(port.Write("x", 1).status, STATUS_INSUFFICIENT_RESOURCES);
    });
    auto modem = tb.session().Spawn("modem", [&] { tb.modem().PushBulkIn("d"); });
    writer->Join();
    modem->Join();
    tb.Pump();
    ULONG events = EventsOf(first.Wait());
    if ((events & kRxChar) == 0) {
      Request second = WaitOnMask(port);
      tb.Pump();
      EXPECT_TRUE(second.Done()) << "the data's event was lost; the first wait got 0x" << std::hex
                                 << events;
      events |= second.Done() ? EventsOf(second.Result()) : kRxChar;
    }
    EXPECT_TRUE(events & kRxChar);
  });
}

// Two reads dispatched at once, with time-outs that say wait for data: each gets data, is refused
// because the other waits, or (queued) is finished by the service that the data's arrival runs,
// with what the ring then held; none completes at once, successfully, with nothing.
TEST(PortRaces, AReadThatMustWaitNeverCompletesEmpty) {
  ExplorePort([](PortTestbed& tb, File& port) {
    Request reads[2];
    auto first = tb.session().Spawn("reader 1", [&] { reads[0] = port.ReadAsync(5); });
    auto second = tb.session().Spawn("reader 2", [&] { reads[1] = port.ReadAsync(5); });
    tb.modem().PushBulkIn("hello");
    first->Join();
    second->Join();
    tb.Pump();
    tb.modem().PushBulkIn("world");
    tb.Pump();
    for (Request& r : reads) {
      ASSERT_TRUE(r.Done());
      const IoResult& result = r.Result();
      EXPECT_FALSE(result.status == STATUS_SUCCESS && result.information == 0)
          << "a read that must wait completed at once with nothing";
    }
  });
}

// Data arrives in the very clock tick the waiting read's total timer expires at (the modem's
// 20 ms sleep and the 20 ms time-out end at the same tick): the bulk-IN completion and the
// timer's DPC run on two DPC processors at once, and with an interval time-out the interval
// timer's DPC joins them. The read completes once, and every byte reaches it or the next read.
TEST(PortRaces, DataArrivingInTheTickTheReadsTimerExpires) {
  host::testing::ExploreSettings settings;
  settings.schedules = 100;
  for (ULONG interval : {0ul, 5ul}) {
    SCOPED_TRACE(interval ? "with an interval time-out" : "total time-out only");
    ExplorePort(
        [&](PortTestbed& tb, File& port) {
          SetTimeouts(port, interval, 0, 20);
          Request read = port.ReadAsync(10);
          auto modem = tb.session().Spawn("modem", [&] {
            LARGE_INTEGER delay;
            delay.QuadPart = -20 * 10000;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            tb.modem().PushBulkIn("hel");
            tb.modem().PushBulkIn("lo");
          });
          modem->Join();
          const IoResult first = read.Wait();
          EXPECT_TRUE(first.status == STATUS_TIMEOUT || first.status == STATUS_SUCCESS)
              << std::hex << first.status;
          tb.Pump();
          SetTimeouts(port, MAXULONG, 0, 0);  // return at once with what the ring holds
          const IoResult rest = port.Read(10);
          EXPECT_EQ(rest.status, STATUS_SUCCESS);
          std::string text(first.output.begin(), first.output.end());
          text.append(rest.output.begin(), rest.output.end());
          EXPECT_EQ(text, "hello");
        },
        settings);
  }
}

// A reader whose re-arm gets no request (the low-resources simulation fails the first attempt,
// the first two, or the first three) tries again later: data still raises SERIAL_EV_RXCHAR, and
// the modem status still follows the carrier.
TEST(PortRaces, AReaderWhoseReArmFailsTriesAgain) {
  host::testing::ExploreSettings settings;
  settings.schedules = 40;
  for (unsigned failures : {1u, 2u, 3u}) {
    for (bool bulkIn : {true, false}) {
      SCOPED_TRACE(std::to_string(failures) + (bulkIn ? " bulk-IN" : " notification"));
      ExplorePort(
          [&](PortTestbed& tb, File& port) {
            ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_WAIT_MASK, kRxChar).status,
                      STATUS_SUCCESS);
            tb.modem().PushSerialState(0x03);  // carrier and DSR on
            tb.Pump();
            host::verifier::FailIrpAllocation(1, failures);
            if (bulkIn) {
              tb.modem().PushBulkIn("a");
            } else {
              tb.modem().PushSerialState(0x03);
            }
            tb.session().AdvanceTimeMs(2000);
            ULONG status = porttest::IoctlOut<ULONG>(port, IOCTL_SERIAL_GET_MODEMSTATUS);
            EXPECT_EQ(status & SERIAL_MSR_DCD, SERIAL_MSR_DCD);
            if (bulkIn) {
              EXPECT_EQ(EventsOf(WaitOnMask(port).Wait()), kRxChar);  // for "a"
              tb.modem().PushBulkIn("b");
              Request wait = WaitOnMask(port);
              tb.session().AdvanceTimeMs(2000);
              EXPECT_TRUE(wait.Done()) << "no SERIAL_EV_RXCHAR for data after the failures";
            } else {
              tb.modem().PushSerialState(0x02);  // carrier lost
              tb.session().AdvanceTimeMs(2000);
              status = porttest::IoctlOut<ULONG>(port, IOCTL_SERIAL_GET_MODEMSTATUS);
              EXPECT_EQ(status & SERIAL_MSR_DCD, 0u) << "the carrier's loss was not read";
            }
          },
          settings);
    }
  }
}

// The application's thread ends while its write waits for the modem to take the bytes (flow
// control): the I/O manager cancels the write, the process's end closes the handle, and the port
// opens again; the modem may let go of the bytes at any moment meanwhile.
TEST(PortRaces, ThePortRecoversFromAnApplicationThatEndedWithAWriteStopped) {
  ExplorePort([](PortTestbed& tb, File& port) {
    tb.usb().Hold(sim::Pipe::BulkOut);
    Request write;
    auto app = tb.session().Spawn("app", [&] {
      write = port.WriteAsync("stopped", 7);
      EXPECT_EQ(host::app::EndThread(), 0u);
    });
    auto modem = tb.session().Spawn("modem", [&] { tb.usb().Release(sim::Pipe::BulkOut); });
    app->Join();
    modem->Join();
    const NTSTATUS status = write.Wait().status;
    EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS) << std::hex << status;
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    File again;
    EXPECT_EQ(tb.TryOpen(&again), STATUS_SUCCESS);
  });
}

// Directed: the read's total timer has expired and its DPC has claimed the timer's hold on the
// DPC processor when the removal (surprise removal, the handle's close, removal) runs up to its
// release-and-wait; the hold keeps the device until the DPC has finished with it.
TEST(PortRaces, RemovalWhileAReadTimersDpcRuns) {
  host::testing::ExploreSettings settings;
  settings.schedules = 50;
  settings.session.schedule.directives = {{"remover", "DPC", 2, "", "ReadTotalTimeoutDpc"}};
  ExplorePort(
      [](PortTestbed& tb, File& port) {
        SetTimeouts(port, 0, 0, 100);
        Request read = port.ReadAsync(5);
        NTSTATUS removed = STATUS_PENDING;
        auto remover = tb.session().Spawn("remover", [&] {
          ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
          port.Close();  // the device's memory goes with the removal
          removed = tb.Remove();
        });
        tb.session().AdvanceTimeMs(100);
        remover->Join();
        EXPECT_EQ(removed, STATUS_SUCCESS);
        const NTSTATUS status = read.Wait().status;
        EXPECT_TRUE(status == STATUS_TIMEOUT || status == STATUS_CANCELLED) << std::hex << status;
      },
      settings);
}

}  // namespace

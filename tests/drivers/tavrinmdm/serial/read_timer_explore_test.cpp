// The read timers' own states under the exploring scheduler (serial/read.cpp, READ_TIMER_HOLD):
// a timer whose expiry's DPC is due when the read is cancelled (Stale), set again (Deferred), or
// both and cancelled again; the timer usable after that DPC; and a far-off timer that removal and
// cleanup take out instead of waiting for it. Clock tick 1, so due times are exact.

#include <explore.h>

#include <functional>

#include "port_testbed.h"

namespace {

using host::app::File;
using host::app::Request;
using porttest::PortTestbed;

void SetTotal(File& port, ULONG constant) {
  SERIAL_TIMEOUTS t{};
  t.ReadTotalTimeoutConstant = constant;
  ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_TIMEOUTS, t).status, STATUS_SUCCESS);
}

int64_t NowMs(PortTestbed& tb) { return tb.session().Now() / 10000; }

void Explore(const std::function<void(PortTestbed&, File&)>& body,
             host::testing::ExploreSettings settings) {
  settings.session.clockTick = 1;
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

// What "setter" does once the first read's total timer has expired and its DPC has just begun
// on the DPC processor (before it claims the timer's hold).
enum class Meanwhile {
  Cancel,              // the read is cancelled: the DPC may only give the hold back
  CancelAndReadAgain,  // ... and a read with a 1 s time-out sets the timer again (deferred)
  ReadAgainAndClose,   // ... and the handle is closed: its cleanup takes the timers out, which
                       // undoes the deferred set
};

// The DPC serves no read (a read started meanwhile is not finished early by the stale expiry);
// a deferred set becomes the timer's next expiry, and one taken out by the cleanup none (the
// timer's hold is back once the DPC has run); a read after all that times out on time. (A read
// cancelled on its own leaves its timer set: the next read's dispatch takes it out first.)
void ExpiredTimerMeetsTheApplication(Meanwhile meanwhile) {
  host::testing::ExploreSettings settings;
  settings.schedules = 40;
  settings.session.schedule.directives = {{"setter", "DPC", 1, "", "ReadTotalTimeoutDpc"}};
  Explore(
      [meanwhile](PortTestbed& tb, File& port) {
        SetTotal(port, 100);
        Request first = port.ReadAsync(5);
        Request second;
        int64_t secondAt = 0;
        auto setter = tb.session().Spawn("setter", [&] {
          first.Cancel();
          if (meanwhile == Meanwhile::Cancel) return;
          SetTotal(port, 1000);
          secondAt = NowMs(tb);
          second = port.ReadAsync(5);
          if (meanwhile == Meanwhile::ReadAgainAndClose) port.Close();
        });
        tb.session().AdvanceTimeMs(100);
        setter->Join();
        const NTSTATUS firstStatus = first.Wait().status;
        EXPECT_TRUE(firstStatus == STATUS_CANCELLED || firstStatus == STATUS_TIMEOUT)
            << std::hex << firstStatus;
        if (meanwhile == Meanwhile::CancelAndReadAgain) {
          tb.session().AdvanceTimeMs(secondAt + 999 - NowMs(tb));
          EXPECT_FALSE(second.Done()) << "finished by the stale expiry at " << NowMs(tb);
          tb.session().AdvanceTimeMs(2);
          ASSERT_TRUE(second.Done()) << "the deferred set was lost";
          EXPECT_EQ(second.Result().status, STATUS_TIMEOUT);
        } else if (meanwhile == Meanwhile::ReadAgainAndClose) {
          EXPECT_EQ(second.Wait().status, STATUS_CANCELLED);
          tb.Pump();
          EXPECT_FALSE(tb.Ext()->TotalTimerHold.Held) << "the deferred set survived the cleanup";
          EXPECT_FALSE(tb.Ext()->TotalTimerHold.Deferred);
          port = tb.Open();
        }

        SetTotal(port, 50);
        const int64_t thirdAt = NowMs(tb);
        Request third = port.ReadAsync(5);
        EXPECT_EQ(third.Wait().status, STATUS_TIMEOUT);
        EXPECT_EQ(NowMs(tb) - thirdAt, 50);
      },
      settings);
}

TEST(ReadTimerRaces, AnExpiredTimerCancelledBeforeItsDpcServesNothing) {
  ExpiredTimerMeetsTheApplication(Meanwhile::Cancel);
}

TEST(ReadTimerRaces, AnExpiredTimerSetAgainBeforeItsDpcExpiresWhenTheNewReadSays) {
  ExpiredTimerMeetsTheApplication(Meanwhile::CancelAndReadAgain);
}

TEST(ReadTimerRaces, ACleanupThatMeetsADeferredSetLeavesNoTimer) {
  ExpiredTimerMeetsTheApplication(Meanwhile::ReadAgainAndClose);
}

// A read waiting with an hour's time-out while another thread closes the handle (at any point of
// the read's dispatch): the read ends at once (cancelled, or refused by the closed queues), and
// the cleanup and the removal that follows take its timer out instead of waiting out the hour
// (the removal waits for every hold, the timer's included).
TEST(ReadTimerRaces, CleanupAndRemovalTakeAFarTimerOutInsteadOfWaitingForIt) {
  host::testing::ExploreSettings settings;
  settings.schedules = 60;
  Explore(
      [](PortTestbed& tb, File& port) {
        SetTotal(port, 3600 * 1000);
        const int64_t start = NowMs(tb);
        Request read;
        auto app = tb.session().Spawn("app", [&] { read = port.ReadAsync(5); });
        auto closer = tb.session().Spawn("closer", [&] { port.Close(); });
        app->Join();
        closer->Join();
        const NTSTATUS status = read.Wait().status;
        EXPECT_NE(status, STATUS_TIMEOUT) << "the read waited out its time-out";
        EXPECT_EQ(tb.Remove(), STATUS_SUCCESS);
        EXPECT_LT(NowMs(tb) - start, 1000) << "a removal or cleanup waited for the timer";
      },
      settings);
}

}  // namespace

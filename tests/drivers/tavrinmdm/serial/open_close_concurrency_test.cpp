// Close against concurrent opens on real threads: while one thread closes the only handle,
// another keeps trying to open the port. Whatever the interleaving, the close performs the
// last-close steps (line state 0 and the pipe aborts, its transfers drained) and gives its count
// back, so that an open attempted after it is admitted. Bounded by a round count.

#include <atomic>

#include "receive_test_support.h"

namespace {

using porttest::PortTestbed;
using porttest::PortTestbedOptions;

PortTestbedOptions Threaded() {
  PortTestbedOptions options;
  options.mode = host::Mode::Threaded;
  return options;
}

NTSTATUS OpenBypassing(PortTestbed& tb, host::app::File* file) {
  host::app::OpenOptions options;
  options.bypassExclusiveCheck = true;  // let every attempt reach the driver's own check
  return host::app::File::Open(rxtest::DeviceName(tb), file, options);
}

size_t LineDrops(PortTestbed& tb) {
  size_t n = 0;
  for (const auto& line : tb.fullTrace().Lines()) n += line == "SETUP 21 22 00 00 00 00 00 00";
  return n;
}

TEST(OpenCloseRace, TheCloseOfTheOnlyHandleAlwaysFinishesTheCloseAndGivesItsCountBack) {
  PortTestbed tb(Threaded());
  rxtest::EnsureStarted(tb);
  const int rounds = 60;
  size_t opens = 0;

  for (int round = 0; round < rounds; ++round) {
    host::app::File first;
    ASSERT_EQ(OpenBypassing(tb, &first), STATUS_SUCCESS) << "round " << round;
    ++opens;
    tb.modem().PushBulkIn(rxtest::PatternBytes(0, 5000));  // keep the reader busy

    std::atomic<bool> closed{false};
    auto closer = tb.session().Spawn("closer", [&] {
      EXPECT_EQ(first.Close(), STATUS_SUCCESS);
      closed = true;
    });

    host::app::File second;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto opener = tb.session().Spawn("opener", [&] {
      // Refused while the first handle is open or closing...
      while (!closed.load()) {
        status = OpenBypassing(tb, &second);
        if (NT_SUCCESS(status)) break;
        EXPECT_TRUE(status == STATUS_ACCESS_DENIED) << std::hex << status;
      }
      // ... and admitted once the close has ended: it gave its count back.
      if (!NT_SUCCESS(status)) status = OpenBypassing(tb, &second);
    });
    closer->Join();
    opener->Join();

    ASSERT_EQ(status, STATUS_SUCCESS) << "round " << round;
    ++opens;
    EXPECT_EQ(tb.Ext()->OpenCount, 1);
    EXPECT_EQ(second.Close(), STATUS_SUCCESS);
    EXPECT_EQ(tb.Ext()->OpenCount, 0);
    EXPECT_EQ(tb.Ext()->IoCount, 0);
    ASSERT_EQ(LineDrops(tb), opens) << "every close dropped the lines";
  }
}

}  // namespace

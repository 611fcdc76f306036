// The control dispatcher: the open and availability tests, the length checks, the hand-off of
// requests that arrive above PASSIVE_LEVEL, and the codes that only store or return a setting.

#include "ioctl_test_support.h"

namespace {

using porttest::PortTestbed;
using ioctltest::ControlPort;

class IoctlDispatch : public ::testing::Test {
 protected:
  PortTestbed tb;
  ControlPort port{tb};
};

TEST_F(IoctlDispatch, TimeoutsAreStoredUncheckedAndReturned) {
  SERIAL_TIMEOUTS set{0xFFFFFFFF, 7, 0xFFFFFFFF, 11, 12};
  auto r = port.Call(IOCTL_SERIAL_SET_TIMEOUTS, &set, sizeof set, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);

  r = port.Call(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, sizeof(SERIAL_TIMEOUTS));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, sizeof(SERIAL_TIMEOUTS));
  SERIAL_TIMEOUTS got{};
  memcpy(&got, r.output.data(), sizeof got);
  EXPECT_EQ(memcmp(&got, &set, sizeof got), 0);
}

TEST_F(IoctlDispatch, ShortTimeoutBuffersAreRefusedAndChangeNothing) {
  SERIAL_TIMEOUTS set{1, 2, 3, 4, 5};
  ASSERT_EQ(port.Call(IOCTL_SERIAL_SET_TIMEOUTS, &set, sizeof set, 0).status, STATUS_SUCCESS);

  SERIAL_TIMEOUTS other{9, 9, 9, 9, 9};
  auto r = port.Call(IOCTL_SERIAL_SET_TIMEOUTS, &other, sizeof other - 1, 0);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.information, 0u);

  r = port.Call(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, sizeof(SERIAL_TIMEOUTS) - 1);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.information, 0u);

  EXPECT_EQ(memcmp(&tb.Ext()->Timeouts, &set, sizeof set), 0);
}

TEST_F(IoctlDispatch, PurgeNeedsFourBytesOfInput) {
  ULONG mask = SERIAL_PURGE_TXCLEAR;
  auto r = port.Call(IOCTL_SERIAL_PURGE, &mask, 3, 0);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.information, 0u);
  r = port.Call(IOCTL_SERIAL_PURGE, &mask, 4, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
}

TEST(IoctlClosedPort, RefusesAndLeavesInformationAsItArrived) {
  PortTestbed tb;
  auto request = host::app::SendRaw(tb.fdo(), IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_GET_TIMEOUTS,
                                    nullptr, 0, sizeof(SERIAL_TIMEOUTS), PASSIVE_LEVEL,
                                    [](PIRP irp) { irp->IoStatus.Information = 0x55; });
  auto r = request.Wait();
  EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(r.information, 0x55u);
}

TEST_F(IoctlDispatch, UnavailableDeviceFailsWithDeletePending) {
  tb.Ext()->DeviceGone = DEVICE_GONE_MARK;
  auto r = port.Call(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, sizeof(SERIAL_TIMEOUTS));
  EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(r.information, 0u);
  tb.Ext()->DeviceGone = 0;
}

TEST_F(IoctlDispatch, UnknownCodesAreInvalidParameters) {
  for (ULONG code : std::initializer_list<ULONG>{CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS),
                     CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0, METHOD_BUFFERED, FILE_ANY_ACCESS),
                     CTL_CODE(0x22, 7, METHOD_BUFFERED, FILE_ANY_ACCESS), 0}) {
    auto r = port.Call(code, nullptr, 0, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << std::hex << code;
    EXPECT_EQ(r.information, 0u);
  }
}

TEST_F(IoctlDispatch, AtDispatchLevelTheRequestPendsAndCompletesWithTheSameResult) {
  SERIAL_TIMEOUTS set{1, 2, 3, 4, 5};
  auto request = port.Send(IOCTL_SERIAL_SET_TIMEOUTS, &set, sizeof set, 0, DISPATCH_LEVEL);
  EXPECT_EQ(request.DispatchStatus(), STATUS_PENDING);
  EXPECT_FALSE(request.Done());
  auto r = request.Wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(memcmp(&tb.Ext()->Timeouts, &set, sizeof set), 0);

  request = port.Send(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, sizeof(SERIAL_TIMEOUTS) - 1,
                      DISPATCH_LEVEL);
  EXPECT_EQ(request.DispatchStatus(), STATUS_PENDING);
  r = request.Wait();
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.information, 0u);

  request = port.Send(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, sizeof(SERIAL_TIMEOUTS),
                      DISPATCH_LEVEL);
  r = request.Wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, sizeof(SERIAL_TIMEOUTS));
  EXPECT_EQ(memcmp(r.output.data(), &set, sizeof set), 0);
}

// The hand-off needs two allocations: the context, then the I/O manager's work item.
TEST_F(IoctlDispatch, NoPoolForTheHandOffFailsWithUnsuccessful) {
  const size_t pool = host::verifier::CurrentPoolUsage().allocations;
  for (unsigned failing = 1; failing <= 2; ++failing) {
    SCOPED_TRACE(failing);
    host::verifier::FailPoolAllocation(failing);
    SERIAL_TIMEOUTS set{1, 2, 3, 4, 5};
    auto request = port.Send(IOCTL_SERIAL_SET_TIMEOUTS, &set, sizeof set, 0, DISPATCH_LEVEL);
    auto r = request.Wait();
    EXPECT_EQ(request.DispatchStatus(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.information, 0u);
    SERIAL_TIMEOUTS zero{};
    EXPECT_EQ(memcmp(&tb.Ext()->Timeouts, &zero, sizeof zero), 0);
    EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, pool) << "nothing left behind";
  }
}

TEST_F(IoctlDispatch, APortClosedBeforeTheWorkerRunsRefusesTheHandedOverRequest) {
  SERIAL_TIMEOUTS set{1, 2, 3, 4, 5};
  auto request = port.Send(IOCTL_SERIAL_SET_TIMEOUTS, &set, sizeof set, 0, DISPATCH_LEVEL);
  ASSERT_EQ(request.DispatchStatus(), STATUS_PENDING);
  // White-box: the close has begun (a kernel client's request has no handle to keep it off).
  tb.Ext()->DeviceOpen = FALSE;
  auto r = request.Wait();
  tb.Ext()->DeviceOpen = TRUE;
  EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
  SERIAL_TIMEOUTS zero{};
  EXPECT_EQ(memcmp(&tb.Ext()->Timeouts, &zero, sizeof zero), 0);
}

TEST_F(IoctlDispatch, AClassRequestAtDispatchLevelIsSentFromTheWorker) {
  sim::TraceCursor bus = ioctltest::ClassRequests(tb);
  SERIAL_BAUD_RATE rate{57600};
  auto request = port.Send(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, 0, DISPATCH_LEVEL);
  EXPECT_EQ(request.DispatchStatus(), STATUS_PENDING);
  EXPECT_TRUE(bus.AtEnd());  // nothing sent from the caller's level
  EXPECT_EQ(request.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(bus.NextLine(), "SETUP 21 20 00 00 00 00 07 00 DATA 00 E1 00 00 02 00 08");

  SERIAL_BAUD_RATE bad{56000};
  request = port.Send(IOCTL_SERIAL_SET_BAUD_RATE, &bad, sizeof bad, 0, DISPATCH_LEVEL);
  EXPECT_EQ(request.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(request.Wait().status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(bus.AtEnd());

  request = port.Send(IOCTL_SERIAL_CLR_DTR, nullptr, 0, 0, DISPATCH_LEVEL);
  EXPECT_EQ(request.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(bus.NextLine(), "SETUP 21 22 02 00 00 00 00 00");
}

TEST_F(IoctlDispatch, AWaitAndAnImmediateCharacterAtDispatchLevelAreQueuedByTheWorker) {
  ULONG mask = SERIAL_EV_TXEMPTY;
  ASSERT_EQ(port.Call(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0, DISPATCH_LEVEL).status,
            STATUS_SUCCESS);
  auto wait = port.Send(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4, DISPATCH_LEVEL);
  EXPECT_EQ(wait.DispatchStatus(), STATUS_PENDING);
  tb.Pump();
  EXPECT_FALSE(wait.Done());

  UCHAR x = 'Q';
  auto immediate = port.Send(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0, DISPATCH_LEVEL);
  EXPECT_EQ(immediate.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(immediate.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(tb.modem().BulkOut(), "Q");
  auto r = wait.Wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  ULONG events = 0;
  memcpy(&events, r.output.data(), 4);
  EXPECT_EQ(events, ULONG{SERIAL_EV_TXEMPTY});
}

TEST_F(IoctlDispatch, SetWaitMaskNeverReportsMoreThanTheOutputBufferHolds) {
  ULONG mask = SERIAL_EV_RXCHAR;
  struct {
    ULONG output;
    ULONG_PTR information;
  } cases[] = {{0, 4}, {1, 0}, {2, 0}, {3, 0}, {4, 4}, {8, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    auto r = port.Call(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, c.output);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, c.information);
  }
  EXPECT_EQ(port.Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), ULONG{SERIAL_EV_RXCHAR});
}

TEST_F(IoctlDispatch, ARequestHandedOverBeforeASurpriseRemovalFailsWithDeletePending) {
  SERIAL_BAUD_RATE rate{9600};
  auto request = port.Send(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, 0, DISPATCH_LEVEL);
  ASSERT_EQ(request.DispatchStatus(), STATUS_PENDING);
  sim::TraceCursor bus = ioctltest::ClassRequests(tb);
  EXPECT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
  auto r = request.Wait();
  EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(r.information, 0u);
  EXPECT_TRUE(bus.AtEnd());
}

}  // namespace

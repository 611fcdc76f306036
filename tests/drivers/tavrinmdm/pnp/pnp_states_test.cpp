// The PnP state machine row by row: each request from each state it can meet, the state it
// leaves, what reaches the bus driver, and the port's names (DOS link, SERIALCOMM value,
// interface) after every step. Also the lower drivers failing start, cancel-stop and
// cancel-remove, and the pipe handles taken from the parent bus driver at each start.

#include <gtest/gtest.h>

#include "port_names_checks.h"

namespace {

using nametest::Added;
using nametest::DeviceNameOf;
using nametest::ExpectNamed;
using nametest::ExpectUnnamed;

PDEVICE_EXTENSION E(Added& tb) { return tb.Ext(); }
unsigned Reached(Added& tb, UCHAR minor) { return tb.device().PnpCount(minor); }

// A request that makes the device-unavailable test: a WMI request. True if it reached the bus
// driver, false if the driver refused it with STATUS_DELETE_PENDING.
bool WmiGoesDown(Added& tb) {
  const unsigned before = tb.device().WmiCount();
  host::app::Request r = host::app::SendRaw(host::pnp::StackTop(tb.pdo()), IRP_MJ_SYSTEM_CONTROL,
                                            0, 0, nullptr, 0, 0);
  const NTSTATUS status = r.Wait().status;
  const bool down = tb.device().WmiCount() == before + 1;
  EXPECT_EQ(status == STATUS_DELETE_PENDING, !down);
  return down;
}

void ExpectNamesGone(Added& tb, const std::string& port = "COM7") {
  ExpectUnnamed(tb.pdo(), port, DeviceNameOf(tb.fdo()));
  EXPECT_EQ(E(tb)->DosName.Buffer, nullptr);
}

TEST(PnpStates, StartNamesThePortAndTakesThePipeHandlesFromTheParent) {
  Added tb;
  EXPECT_EQ(E(tb)->PnpState, NotStarted);
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, Started);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7");
  auto* parent = static_cast<sim::PdoExtension*>(tb.pdo()->DeviceExtension);
  EXPECT_NE(parent->bulkInPipe, 0u);
  EXPECT_EQ(E(tb)->BulkInPipe, (USBD_PIPE_HANDLE)(ULONG_PTR)parent->bulkInPipe);
  EXPECT_EQ(E(tb)->BulkOutPipe, (USBD_PIPE_HANDLE)(ULONG_PTR)parent->bulkOutPipe);
  EXPECT_EQ(E(tb)->InterruptPipe, (USBD_PIPE_HANDLE)(ULONG_PTR)parent->interruptPipe);
  EXPECT_FALSE(IsDeviceUnavailable(E(tb)));
}

TEST(PnpStates, StopLeavesTheHandlesAndTheNextStartReadsTheNewOnes) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  auto* parent = static_cast<sim::PdoExtension*>(tb.pdo()->DeviceExtension);
  const uint32_t first = parent->bulkOutPipe;
  ASSERT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  ASSERT_EQ(tb.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, NotStarted);
  // The parent has deconfigured; the driver's copies stay until the next start.
  EXPECT_EQ(E(tb)->BulkOutPipe, (USBD_PIPE_HANDLE)(ULONG_PTR)first);
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  EXPECT_NE(parent->bulkOutPipe, first);
  EXPECT_EQ(E(tb)->BulkOutPipe, (USBD_PIPE_HANDLE)(ULONG_PTR)parent->bulkOutPipe);
  EXPECT_EQ(E(tb)->BulkInPipe, (USBD_PIPE_HANDLE)(ULONG_PTR)parent->bulkInPipe);
  EXPECT_EQ(E(tb)->InterruptPipe, (USBD_PIPE_HANDLE)(ULONG_PTR)parent->interruptPipe);
}

TEST(PnpStates, StartFailedByTheLowerDriversChangesAndCreatesNothing) {
  Added tb;
  tb.device().FailNextPnp(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(tb.Start(), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(E(tb)->PnpState, NotStarted);
  ExpectNamesGone(tb);
  EXPECT_EQ(E(tb)->BulkInPipe, nullptr);
  // Nothing was undone either: the interface can still be enabled by the next start.
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7", /*interfaceEnabled=*/true);
}

TEST(PnpStates, StartWhoseNamingFailsKeepsTheStateAndRemovesWhatWasMade) {
  Added tb;
  host::verifier::FailService("RtlWriteRegistryValue", STATUS_ACCESS_DENIED);
  EXPECT_EQ(tb.Start(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(E(tb)->PnpState, NotStarted);
  ExpectNamesGone(tb);
  // The lower drivers did start; the failure is the driver's.
  EXPECT_TRUE(tb.device().Started());
}

TEST(PnpStates, QueryStopAndCancelStopOnAClosedPort) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  EXPECT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, StopPending);
  EXPECT_EQ(Reached(tb, IRP_MN_QUERY_STOP_DEVICE), 1u);
  // Requests still work while a stop is pending.
  EXPECT_FALSE(IsDeviceUnavailable(E(tb)));
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7");

  EXPECT_EQ(tb.CancelStop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, Started);
  EXPECT_EQ(Reached(tb, IRP_MN_CANCEL_STOP_DEVICE), 1u);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7");
}

TEST(PnpStates, QueryStopAndQueryRemoveAreRefusedWhileThePortIsOpen) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  host::app::File port = tb.Open("COM7");
  ASSERT_TRUE(port.IsOpen());
  ASSERT_TRUE(E(tb)->DeviceOpen);

  EXPECT_EQ(tb.QueryStop(), STATUS_DEVICE_BUSY);
  EXPECT_EQ(E(tb)->PnpState, Started);
  EXPECT_EQ(Reached(tb, IRP_MN_QUERY_STOP_DEVICE), 0u);
  EXPECT_EQ(tb.QueryRemove(), STATUS_DEVICE_BUSY);
  EXPECT_EQ(E(tb)->PnpState, Started);
  EXPECT_EQ(Reached(tb, IRP_MN_QUERY_REMOVE_DEVICE), 0u);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7");

  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  EXPECT_EQ(tb.CancelStop(), STATUS_SUCCESS);
  EXPECT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.CancelRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, Started);
}

TEST(PnpStates, AcceptedQueryStopKeepsANewOpenOut) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ASSERT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  host::app::File port;
  EXPECT_FALSE(NT_SUCCESS(tb.TryOpen(&port)));
  EXPECT_FALSE(E(tb)->DeviceOpen);
  ASSERT_EQ(tb.CancelStop(), STATUS_SUCCESS);
  EXPECT_EQ(tb.TryOpen(&port), STATUS_SUCCESS);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
}

TEST(PnpStates, QueryStopOfADeviceNotStartedIsPassedDownAndChangesNothing) {
  Added tb;
  EXPECT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, NotStarted);
  EXPECT_EQ(Reached(tb, IRP_MN_QUERY_STOP_DEVICE), 1u);
  // Nor when the lower driver refuses it: its status comes back, the state stays.
  tb.device().FailNextPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tb.QueryStop(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(E(tb)->PnpState, NotStarted);

  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, RemovePending);
  ASSERT_EQ(tb.CancelRemove(), STATUS_SUCCESS);
}

TEST(PnpStates, CancelStopFailedByTheLowerDriversLeavesTheStopPending) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ASSERT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  tb.device().FailNextPnp(IRP_MN_CANCEL_STOP_DEVICE, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tb.CancelStop(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(E(tb)->PnpState, StopPending);
  EXPECT_EQ(tb.CancelStop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, Started);
}

TEST(PnpStates, CancelStopOutsideStopPendingIsPassedDown) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  EXPECT_EQ(tb.CancelStop(), STATUS_SUCCESS);
  EXPECT_EQ(Reached(tb, IRP_MN_CANCEL_STOP_DEVICE), 1u);
  EXPECT_EQ(E(tb)->PnpState, Started);
  ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.CancelStop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, RemovePending);
  ASSERT_EQ(tb.CancelRemove(), STATUS_SUCCESS);
}

TEST(PnpStates, StopFromStopPendingOrStartedRemovesTheNames) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ASSERT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  ASSERT_EQ(tb.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, NotStarted);
  EXPECT_EQ(Reached(tb, IRP_MN_STOP_DEVICE), 1u);
  ExpectNamesGone(tb);

  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7", /*interfaceEnabled=*/false);
  ASSERT_EQ(tb.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, NotStarted);
  ExpectNamesGone(tb);

  // From NotStarted a stop only goes down.
  ASSERT_EQ(tb.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, NotStarted);
  EXPECT_EQ(Reached(tb, IRP_MN_STOP_DEVICE), 3u);
}

TEST(PnpStates, QueryRemoveMakesTheDeviceUnavailableAndCancelRemoveRestoresIt) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  EXPECT_TRUE(WmiGoesDown(tb));
  ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, RemovePending);
  EXPECT_EQ(E(tb)->PreviousPnpState, Started);
  EXPECT_TRUE(IsDeviceUnavailable(E(tb)));
  EXPECT_FALSE(WmiGoesDown(tb));
  host::app::File port;
  EXPECT_FALSE(NT_SUCCESS(tb.TryOpen(&port)));
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7");

  ASSERT_EQ(tb.CancelRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, Started);
  EXPECT_FALSE(IsDeviceUnavailable(E(tb)));
  EXPECT_TRUE(WmiGoesDown(tb));
  EXPECT_EQ(tb.TryOpen(&port), STATUS_SUCCESS);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
}

TEST(PnpStates, QueryRemoveSavesWhateverStateItFinds) {
  Added tb;
  ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PreviousPnpState, NotStarted);
  ASSERT_EQ(tb.CancelRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, NotStarted);

  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ASSERT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PreviousPnpState, StopPending);
  ASSERT_EQ(tb.CancelRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, StopPending);
  ASSERT_EQ(tb.CancelStop(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, Started);
}

TEST(PnpStates, CancelRemoveFailedByTheLowerDriversLeavesTheRemovePending) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  tb.device().FailNextPnp(IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tb.CancelRemove(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(E(tb)->PnpState, RemovePending);
  EXPECT_TRUE(IsDeviceUnavailable(E(tb)));
  EXPECT_EQ(tb.CancelRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, Started);
}

TEST(PnpStates, CancelRemoveOutsideRemovePendingIsPassedDown) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  EXPECT_EQ(tb.CancelRemove(), STATUS_SUCCESS);
  EXPECT_EQ(Reached(tb, IRP_MN_CANCEL_REMOVE_DEVICE), 1u);
  EXPECT_EQ(E(tb)->PnpState, Started);
}

TEST(PnpStates, SurpriseRemovalOfAStartedDeviceRemovesTheNamesAndTheRemovalLeavesThemAlone) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  const std::string device = DeviceNameOf(tb.fdo());
  tb.Unplug();
  ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->PnpState, SurpriseRemoved);
  EXPECT_EQ(Reached(tb, IRP_MN_SURPRISE_REMOVAL), 1u);
  EXPECT_TRUE(IsDeviceUnavailable(E(tb)));
  EXPECT_FALSE(WmiGoesDown(tb));
  ExpectUnnamed(tb.pdo(), "COM7", device);
  EXPECT_EQ(E(tb)->DeviceName.Buffer, nullptr);

  // Whatever holds these names now is not this device's to delete at removal.
  host::registry::SetString(host::registry::kSerialComm, device, "COM7");
  ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.fdo(), nullptr);
  EXPECT_TRUE(nametest::SerialCommValue(device).has_value());
  host::registry::DeleteValue(host::registry::kSerialComm, device);
}

TEST(PnpStates, SurpriseRemovalAfterAnAcceptedQueryLeavesNothingBehind) {
  // The names of a device that was started, then RemovePending or StopPending, still go: the
  // device's name is freed here, so the removal could not find its SERIALCOMM value any more.
  for (UCHAR query : {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE}) {
    SCOPED_TRACE(query == IRP_MN_QUERY_REMOVE_DEVICE ? "query-remove" : "query-stop");
    Added tb;
    ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
    const std::string device = DeviceNameOf(tb.fdo());
    ASSERT_EQ(query == IRP_MN_QUERY_REMOVE_DEVICE ? tb.QueryRemove() : tb.QueryStop(),
              STATUS_SUCCESS);
    tb.Unplug();
    ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
    ExpectUnnamed(tb.pdo(), "COM7", device);
    EXPECT_EQ(E(tb)->DosName.Buffer, nullptr);
    EXPECT_EQ(E(tb)->InterfaceName.Buffer, nullptr);
    ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
    // The session's end finds no pool left (DosName, the interface name).
  }
}

TEST(PnpStates, SurpriseRemovalOfADeviceNeverStartedReleasesTheInterfaceName) {
  Added tb;
  tb.device().FailNextPnp(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
  ASSERT_EQ(tb.Start(), STATUS_DEVICE_NOT_READY);
  ASSERT_NE(E(tb)->InterfaceName.Buffer, nullptr);
  tb.Unplug();
  ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(E(tb)->InterfaceName.Buffer, nullptr);
  ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
}

TEST(PnpStates, AStartAfterSurpriseRemovalNamesNothing) {
  // Not a sequence the PnP manager sends; the device's name is gone, so nothing may be named.
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.Start(), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(E(tb)->PnpState, SurpriseRemoved);
  EXPECT_EQ(nametest::LinkTarget("COM7"), std::nullopt);
  EXPECT_EQ(E(tb)->DosName.Buffer, nullptr);
  ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
}

TEST(PnpStates, RemovalFromEachStateRemovesTheNamesAndDeletesTheDevice) {
  struct Case {
    const char* what;
    std::function<void(Added&)> reach;
  };
  const std::vector<Case> cases = {
      {"NotStarted", [](Added&) {}},
      {"Started", [](Added& tb) { ASSERT_EQ(tb.Start(), STATUS_SUCCESS); }},
      {"StopPending",
       [](Added& tb) {
         ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
         ASSERT_EQ(tb.QueryStop(), STATUS_SUCCESS);
       }},
      {"stopped",
       [](Added& tb) {
         ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
         ASSERT_EQ(tb.Stop(), STATUS_SUCCESS);
       }},
      {"RemovePending",
       [](Added& tb) {
         ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
         ASSERT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Added tb;
    c.reach(tb);
    const std::string device = DeviceNameOf(tb.fdo());
    const LONG holds = E(tb)->RemoveLock.Common.IoCount;
    EXPECT_EQ(holds, 1) << "only the lock's own bias between requests";
    ASSERT_EQ(tb.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(Reached(tb, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(tb.fdo(), nullptr);
    EXPECT_EQ(host::objects::FindDevice(device), nullptr);
    ExpectUnnamed(tb.pdo(), "COM7", device);
  }
}

}  // namespace

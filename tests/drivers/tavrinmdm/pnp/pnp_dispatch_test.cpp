// DispatchPnp's table: minor codes that only go down, codes beyond the table, and the
// capabilities query (the three bits added, the copy kept for the power state machine, version 0
// passed down untouched). The remove lock is given back on every path.

#include <gtest/gtest.h>

#include <cstring>

#include "port_names_checks.h"

namespace {

using nametest::Added;

LONG LockCount(Added& tb) { return tb.Ext()->RemoveLock.Common.IoCount; }

ULONG FlagWord(const DEVICE_CAPABILITIES& caps) {
  ULONG word;
  memcpy(&word, reinterpret_cast<const char*>(&caps) + 4, sizeof word);
  return word;
}

constexpr ULONG kAddedBits = 0x250;  // Removable, UniqueID, SurpriseRemovalOK

TEST(PnpDispatch, MinorCodesBeyondTheTableArePassedDownUntouched) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  for (int minor : {0x18, 0x19, 0x40, 0xFF}) {
    SCOPED_TRACE(minor);
    ULONG_PTR information = 1234;
    // The PnP manager's initial STATUS_NOT_SUPPORTED is what the bus driver leaves as well.
    EXPECT_EQ(host::pnp::SendPnp(tb.pdo(), static_cast<UCHAR>(minor), {}, &information),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(tb.device().PnpCount(static_cast<UCHAR>(minor)), 1u);
    EXPECT_EQ(LockCount(tb), 1);
  }
  EXPECT_EQ(tb.Ext()->PnpState, Started);
}

TEST(PnpDispatch, TableEntriesThatOnlyPassDownReachTheBusDriver) {
  Added tb;
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  for (int minor : {0x07, 0x08, 0x0A, 0x0B, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x14, 0x15,
                    0x16}) {
    SCOPED_TRACE(minor);
    const NTSTATUS status = host::pnp::SendPnp(tb.pdo(), static_cast<UCHAR>(minor),
                                               [](PIO_STACK_LOCATION sp) {
                                                 if (sp->MinorFunction == 0x07) {
                                                   sp->Parameters.QueryDeviceRelations.Type =
                                                       BusRelations;
                                                 }
                                               });
    // The bus driver answers resources queries; it leaves the others as they came.
    const bool answered = minor == IRP_MN_QUERY_RESOURCES ||
                          minor == IRP_MN_QUERY_RESOURCE_REQUIREMENTS;
    EXPECT_EQ(status, answered ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
    EXPECT_EQ(tb.device().PnpCount(static_cast<UCHAR>(minor)), 1u);
    EXPECT_EQ(LockCount(tb), 1);
  }
  EXPECT_EQ(tb.Ext()->PnpState, Started);
  nametest::ExpectNamed(tb.fdo(), tb.pdo(), "COM7");
}

TEST(PnpCapabilities, TheThreeBitsAreAddedAndTheResultKept) {
  Added tb;
  tb.device().SetDeviceState(PowerSystemSleeping3, PowerDeviceD2);
  DEVICE_CAPABILITIES caps{};
  ASSERT_EQ(host::pnp::QueryCapabilities(tb.pdo(), &caps), STATUS_SUCCESS);
  EXPECT_EQ(FlagWord(caps) & kAddedBits, kAddedBits);
  EXPECT_EQ(caps.Removable, 1u);
  EXPECT_EQ(caps.UniqueID, 1u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  // The rest is the bus driver's.
  EXPECT_EQ(caps.Address, tb.device().Number());
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
  EXPECT_EQ(caps.EjectSupported, 0u);
  EXPECT_EQ(memcmp(&tb.Ext()->DeviceCapabilities, &caps, sizeof caps), 0);
  EXPECT_EQ(LockCount(tb), 1);
}

TEST(PnpCapabilities, VersionZeroIsPassedDownUntouched) {
  Added tb;
  DEVICE_CAPABILITIES caps{};
  ASSERT_EQ(host::pnp::QueryCapabilities(tb.pdo(), &caps, /*version=*/0), STATUS_SUCCESS);
  EXPECT_EQ(tb.device().PnpCount(IRP_MN_QUERY_CAPABILITIES), 1u);
  // What the bus driver reported, nothing added on the way up.
  EXPECT_EQ(caps.UniqueID, 0u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
  DEVICE_CAPABILITIES zero{};
  EXPECT_EQ(memcmp(&tb.Ext()->DeviceCapabilities, &zero, sizeof zero), 0);
}

TEST(PnpCapabilities, AFailureBelowAddsNothingAndKeepsThePreviousCopy) {
  Added tb;
  DEVICE_CAPABILITIES first{};
  ASSERT_EQ(host::pnp::QueryCapabilities(tb.pdo(), &first), STATUS_SUCCESS);

  tb.device().SetDeviceState(PowerSystemSleeping1, PowerDeviceD1);
  tb.device().FailNextPnp(IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL);
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(host::pnp::QueryCapabilities(tb.pdo(), &caps), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(FlagWord(caps) & kAddedBits, 0u);
  EXPECT_EQ(memcmp(&tb.Ext()->DeviceCapabilities, &first, sizeof first), 0);
  EXPECT_EQ(LockCount(tb), 1);

  ASSERT_EQ(host::pnp::QueryCapabilities(tb.pdo(), &caps), STATUS_SUCCESS);
  EXPECT_EQ(tb.Ext()->DeviceCapabilities.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
}

}  // namespace

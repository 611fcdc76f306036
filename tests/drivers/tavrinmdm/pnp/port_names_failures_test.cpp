// Naming steps that fail: every service and every pool allocation of a start, a DOS name that
// belongs to another object, and link deletions that fail at teardown. A failed start leaves
// nothing behind, and a device never deletes a link it did not create.

#include <gtest/gtest.h>

#include "port_names_checks.h"

namespace {

using nametest::Added;
using nametest::DeviceNameOf;
using nametest::ExpectNamed;
using nametest::ExpectUnnamed;
using nametest::InterfaceEnabled;
using nametest::LinkTarget;
using nametest::SerialCommValue;

NTSTATUS CreateLink(const std::string& link, const std::string& target) {
  std::u16string l = host::objects::ToUtf16(link), t = host::objects::ToUtf16(target);
  UNICODE_STRING ls{static_cast<USHORT>(l.size() * 2), static_cast<USHORT>(l.size() * 2),
                    reinterpret_cast<PWSTR>(l.data())};
  UNICODE_STRING ts{static_cast<USHORT>(t.size() * 2), static_cast<USHORT>(t.size() * 2),
                    reinterpret_cast<PWSTR>(t.data())};
  return IoCreateSymbolicLink(&ls, &ts);
}

NTSTATUS DeleteLink(const std::string& link) {
  std::u16string l = host::objects::ToUtf16(link);
  UNICODE_STRING ls{static_cast<USHORT>(l.size() * 2), static_cast<USHORT>(l.size() * 2),
                    reinterpret_cast<PWSTR>(l.data())};
  return IoDeleteSymbolicLink(&ls);
}

TEST(PortNamesFailures, EachFailingStepFailsTheStartWithItsStatusAndLeavesNothing) {
  const NTSTATUS kFault = STATUS_ACCESS_DENIED;
  for (const char* service : {"IoOpenDeviceRegistryKey", "ZwQueryValueKey",
                              "IoCreateUnprotectedSymbolicLink", "RtlWriteRegistryValue"}) {
    SCOPED_TRACE(service);
    Added tb("COM7");
    host::verifier::FailService(service, kFault);
    EXPECT_EQ(tb.Start(), kFault);
    EXPECT_EQ(tb.Ext()->PnpState, NotStarted);
    ExpectUnnamed(tb.pdo(), "COM7", DeviceNameOf(tb.fdo()));
    EXPECT_EQ(tb.Ext()->DosName.Buffer, nullptr);
    EXPECT_EQ(tb.Ext()->InterfaceName.Buffer, nullptr);

    // The next start names the port again; the interface, whose name the undo step released,
    // stays disabled.
    ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
    ExpectNamed(tb.fdo(), tb.pdo(), "COM7", /*interfaceEnabled=*/false);
  }
}

TEST(PortNamesFailures, AnInterfaceThatCannotBeEnabledDoesNotFailTheStart) {
  Added tb("COM7");
  host::verifier::FailService("IoSetDeviceInterfaceState", STATUS_NO_SUCH_DEVICE);
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(), tb.pdo(), "COM7", /*interfaceEnabled=*/false);
  EXPECT_EQ(tb.Ext()->PnpState, Started);
}

TEST(PortNamesFailures, EveryPoolAllocationOfAStartCanFailCleanly) {
  uint64_t allocations;
  {
    Added tb("COM7");
    const uint64_t before = host::verifier::PoolAllocationCount();
    ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
    allocations = host::verifier::PoolAllocationCount() - before;
  }
  // The hardware key query buffer, the formatted DOS name and DosName itself at least.
  ASSERT_GE(allocations, 3u);
  unsigned failedStarts = 0;
  for (uint64_t n = 1; n <= allocations; ++n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    Added tb("COM7");
    host::verifier::FailPoolAllocation(static_cast<unsigned>(n));
    const NTSTATUS status = tb.Start();
    if (NT_SUCCESS(status)) {
      ExpectNamed(tb.fdo(), tb.pdo(), "COM7");
      continue;
    }
    ++failedStarts;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    ExpectUnnamed(tb.pdo(), "COM7", DeviceNameOf(tb.fdo()));
    EXPECT_EQ(tb.Ext()->DosName.Buffer, nullptr);
    ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
    ExpectNamed(tb.fdo(), tb.pdo(), "COM7", /*interfaceEnabled=*/false);
    // The session's end checks that nothing of the failed start was left allocated.
  }
  EXPECT_GE(failedStarts, 3u) << "of " << allocations << " allocations";
}

TEST(PortNamesFailures, ANameHeldByAnotherObjectIsLeftToIt) {
  Added tb("COM7");
  ASSERT_EQ(CreateLink("\\DosDevices\\COM7", "\\Device\\Serial0"), STATUS_SUCCESS);
  EXPECT_EQ(tb.Start(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(LinkTarget("COM7"), "\\Device\\Serial0");
  EXPECT_FALSE(SerialCommValue(DeviceNameOf(tb.fdo())).has_value());
  EXPECT_FALSE(InterfaceEnabled(tb.pdo()).value_or(false));
  EXPECT_EQ(tb.Ext()->DosName.Buffer, nullptr);
  // Stopping or removing the device later does not touch it either.
  EXPECT_EQ(tb.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(LinkTarget("COM7"), "\\Device\\Serial0");
  EXPECT_EQ(DeleteLink("\\DosDevices\\COM7"), STATUS_SUCCESS);
}

TEST(PortNamesFailures, ASecondPortWithTheSameNameLeavesTheFirstOneNamed) {
  Added tb("COM7");
  tb.Plug(std::make_unique<sim::ScriptedModem>(), "COM7");
  ASSERT_EQ(tb.AddDevice(1), STATUS_SUCCESS);
  ASSERT_EQ(tb.Start(0), STATUS_SUCCESS);
  EXPECT_EQ(tb.Start(1), STATUS_OBJECT_NAME_COLLISION);
  ExpectNamed(tb.fdo(0), tb.pdo(0), "COM7");
  EXPECT_FALSE(SerialCommValue(DeviceNameOf(tb.fdo(1))).has_value());

  const std::string second = DeviceNameOf(tb.fdo(1));
  EXPECT_EQ(tb.QueryRemove(1), STATUS_SUCCESS);
  EXPECT_EQ(tb.Remove(1), STATUS_SUCCESS);
  ExpectNamed(tb.fdo(0), tb.pdo(0), "COM7");
  EXPECT_FALSE(SerialCommValue(second).has_value());
}

TEST(PortNamesFailures, ALinkThatCannotBeDeletedByItsStoredNameIsDeletedByThePortName) {
  Added tb("COM7");
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  host::verifier::FailService("IoDeleteSymbolicLink", STATUS_ACCESS_DENIED);
  EXPECT_EQ(tb.QueryStop(), STATUS_SUCCESS);
  EXPECT_EQ(tb.Stop(), STATUS_SUCCESS);
  ExpectUnnamed(tb.pdo(), "COM7", DeviceNameOf(tb.fdo()));
  EXPECT_EQ(tb.Ext()->DosName.Buffer, nullptr);
}

TEST(PortNamesFailures, WhenNeitherDeletionWorksTheDosNameIsStillFreed) {
  Added tb("COM7");
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  host::verifier::FailService("IoDeleteSymbolicLink", STATUS_ACCESS_DENIED, 1);
  host::verifier::FailService("IoDeleteSymbolicLink", STATUS_ACCESS_DENIED, 2);
  EXPECT_EQ(tb.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(tb.Ext()->DosName.Buffer, nullptr);
  EXPECT_FALSE(SerialCommValue(DeviceNameOf(tb.fdo())).has_value());
  // The link could not be deleted; nothing else is left.
  EXPECT_EQ(LinkTarget("COM7"), DeviceNameOf(tb.fdo()));
  EXPECT_EQ(DeleteLink("\\DosDevices\\COM7"), STATUS_SUCCESS);
}

TEST(PortNamesFailures, ASerialCommValueThatCannotBeDeletedDoesNotKeepTheLink) {
  Added tb("COM7");
  ASSERT_EQ(tb.Start(), STATUS_SUCCESS);
  const std::string device = DeviceNameOf(tb.fdo());
  host::verifier::FailService("RtlDeleteRegistryValue", STATUS_ACCESS_DENIED);
  EXPECT_EQ(tb.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(LinkTarget("COM7"), std::nullopt);
  EXPECT_FALSE(InterfaceEnabled(tb.pdo()).value_or(false));
  EXPECT_TRUE(SerialCommValue(device).has_value());
  host::registry::DeleteValue(host::registry::kSerialComm, device);
}

}  // namespace

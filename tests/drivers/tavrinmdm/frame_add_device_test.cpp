// Device creation: names and instance numbers, the device object's properties, the interface,
// and the unwinding of every failure step.

#include "host_test.h"
#include "port_testbed.h"
#include "sim/bus.h"
#include "tavrinmdm/add_device.h"

namespace {

using porttest::PortTestbed;
using porttest::PortTestbedOptions;

// A testbed with the driver loaded and `devices` modems plugged, none added yet.
struct Unadded : PortTestbed {
  explicit Unadded(size_t devices = 1) : PortTestbed(Options()) {
    EXPECT_EQ(LoadDriver(), STATUS_SUCCESS);
    for (size_t i = 0; i < devices; ++i) Plug(std::make_unique<sim::ScriptedModem>());
  }
  static PortTestbedOptions Options() {
    PortTestbedOptions o;
    o.start = false;
    return o;
  }
};

std::string NameOf(PDEVICE_OBJECT device) { return host::objects::DeviceName(device); }

TEST(FrameAddDevice, NamesRunFromZeroWithoutLeadingZeros) {
  Unadded tb(11);
  for (size_t i = 0; i < 11; ++i) ASSERT_EQ(tb.AddDevice(i), STATUS_SUCCESS) << i;
  EXPECT_EQ(NameOf(tb.fdo(0)), "\\Device\\TAVRINMDM0");
  EXPECT_EQ(NameOf(tb.fdo(1)), "\\Device\\TAVRINMDM1");
  EXPECT_EQ(NameOf(tb.fdo(10)), "\\Device\\TAVRINMDM10");

  // DeviceName holds the same name in a buffer of exactly its length plus a terminator.
  const UNICODE_STRING& name = tb.Ext(10)->DeviceName;
  EXPECT_EQ(host::objects::ToUtf8(name), "\\Device\\TAVRINMDM10");
  EXPECT_EQ(name.MaximumLength, name.Length);
  EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], 0);
}

TEST(FrameAddDevice, AFailedCreationUsesUpItsNumber) {
  Unadded tb(3);
  ASSERT_EQ(tb.AddDevice(0), STATUS_SUCCESS);
  ASSERT_EQ(tb.AddDevice(1), STATUS_SUCCESS);
  host::verifier::FailService("IoCreateDevice", STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(tb.AddDevice(2), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(tb.fdo(2), nullptr);
  EXPECT_EQ(host::objects::FindDevice("\\Device\\TAVRINMDM2"), nullptr);
  ASSERT_EQ(tb.AddDevice(2), STATUS_SUCCESS);
  EXPECT_EQ(NameOf(tb.fdo(2)), "\\Device\\TAVRINMDM3");
}

TEST(FrameAddDevice, NoPoolForTheTemporaryNameLeavesTheCounterAlone) {
  Unadded tb(1);
  host::verifier::PoolUsage before = host::verifier::CurrentPoolUsage();
  host::verifier::FailPoolAllocation(1);
  EXPECT_EQ(tb.AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(tb.fdo(), nullptr);
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, before.allocations);
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(NameOf(tb.fdo()), "\\Device\\TAVRINMDM0");
}

TEST(FrameAddDevice, NoPoolForTheDeviceNameUnwindsAndUsesUpTheNumber) {
  Unadded tb(1);
  host::verifier::PoolUsage before = host::verifier::CurrentPoolUsage();
  host::verifier::FailPoolAllocation(2);
  EXPECT_EQ(tb.AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(tb.fdo(), nullptr);
  EXPECT_EQ(host::objects::FindDevice("\\Device\\TAVRINMDM0"), nullptr);
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, before.allocations);
  EXPECT_TRUE(host::objects::Interfaces().empty());
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(NameOf(tb.fdo()), "\\Device\\TAVRINMDM1");
}

TEST(FrameAddDevice, AttachFailureLeavesNothingBehind) {
  Unadded tb(1);
  host::verifier::PoolUsage before = host::verifier::CurrentPoolUsage();
  host::verifier::FailService("IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tb.AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(tb.pdo()->AttachedDevice, nullptr);
  EXPECT_EQ(tb.driver()->DeviceObject, nullptr);
  EXPECT_EQ(host::objects::FindDevice("\\Device\\TAVRINMDM0"), nullptr);
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, before.allocations);
}

TEST(FrameAddDevice, InterfaceRegistrationFailureReturnsItsStatusAndUnwinds) {
  Unadded tb(1);
  host::verifier::PoolUsage before = host::verifier::CurrentPoolUsage();
  host::verifier::FailService("IoRegisterDeviceInterface", STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(tb.AddDevice(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(tb.pdo()->AttachedDevice, nullptr);
  EXPECT_EQ(tb.driver()->DeviceObject, nullptr);
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, before.allocations);
}

// Every pool allocation AddDevice makes, failed in turn: each failure unwinds completely, and the
// creation succeeds once no allocation is failed.
TEST(FrameAddDevice, EveryPoolFailurePointUnwindsCleanly) {
  uint64_t allocations = 0;
  {
    Unadded tb(1);
    uint64_t start = host::verifier::PoolAllocationCount();
    ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
    allocations = host::verifier::PoolAllocationCount() - start;
  }
  ASSERT_GE(allocations, 2u);
  for (uint64_t n = 1; n <= allocations + 1; ++n) {
    SCOPED_TRACE("failing pool allocation " + std::to_string(n));
    Unadded tb(1);
    host::verifier::PoolUsage before = host::verifier::CurrentPoolUsage();
    host::verifier::FailPoolAllocation(static_cast<unsigned>(n));
    NTSTATUS status = tb.AddDevice();
    host::verifier::FailPoolAllocation(0);
    if (n <= allocations) {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(tb.pdo()->AttachedDevice, nullptr);
      EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, before.allocations);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
  }
}

TEST(FrameAddDevice, TheDeviceObjectIsAnExclusiveBufferedPowerPageableSerialPort) {
  Unadded tb(1);
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = tb.fdo();
  EXPECT_EQ(fdo->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
  EXPECT_TRUE(fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);
  EXPECT_TRUE(fdo->Flags & DO_EXCLUSIVE);
  EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
  EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
  EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(tb.pdo()->AttachedDevice, fdo);
  EXPECT_EQ(tb.Ext()->LowerDeviceObject, tb.pdo());
  EXPECT_EQ(tb.Ext()->PhysicalDeviceObject, tb.pdo());
  EXPECT_EQ(tb.Ext()->Self, fdo);
  EXPECT_EQ(host::pnp::ReportedDevicePowerState(fdo), PowerDeviceD0);
}

TEST(FrameAddDevice, RegistersTheInterfaceForThePdoDisabled) {
  Unadded tb(1);
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  std::vector<host::objects::InterfaceInfo> interfaces = host::objects::Interfaces();
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(host::objects::GuidToString(interfaces[0].classGuid),
            host::objects::GuidToString(GUID_DEVINTERFACE_TAVRINMDM));
  EXPECT_EQ(interfaces[0].pdo, tb.pdo());
  EXPECT_FALSE(interfaces[0].enabled);
  EXPECT_EQ(host::objects::ToUtf8(tb.Ext()->InterfaceName), interfaces[0].linkName);
}

TEST(FrameAddDevice, LeavesTheRecordInitialised) {
  Unadded tb(1);
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  PDEVICE_EXTENSION ext = tb.Ext();
  EXPECT_EQ(ext->PnpState, NotStarted);
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(ext->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext->DeviceGone, 0u);
  EXPECT_FALSE(ext->DeviceOpen);
  EXPECT_EQ(ext->ModemStatus, 0);
  EXPECT_EQ(ext->ShortIntervalAmount.QuadPart, -1);
  EXPECT_EQ(ext->LongIntervalAmount.QuadPart, -10000000);
  EXPECT_EQ(ext->CutOverAmount.QuadPart, 200000000);
  EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));
  EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
  EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
  EXPECT_EQ(ext->BulkInPipe, nullptr);
  EXPECT_EQ(ext->DosName.Buffer, nullptr);
  EXPECT_FALSE(IsDeviceUnavailable(ext));
  // No USB traffic before the device is started and opened.
  EXPECT_EQ(tb.trace().Next().kind, sim::TraceKind::End);
}

// The numbering starts again at 0 each time the driver is loaded.
TEST(FrameAddDevice, NumberingRestartsWithEachLoad) {
  host::testing::ScopedSession session;
  sim::UsbBus bus;
  sim::BusDevice& device = bus.Plug(std::make_unique<sim::ScriptedModem>());
  for (int load = 0; load < 2; ++load) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = host::pnp::LoadDriver(DriverEntry, "\\Driver\\tavrinmdm", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(host::pnp::AddDevice(driver, device.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(host::pnp::StackTop(device.Pdo())), "\\Device\\TAVRINMDM0");
    EXPECT_EQ(host::pnp::RemoveDevice(device.Pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(host::pnp::UnloadDriver(driver));
  }
}

}  // namespace

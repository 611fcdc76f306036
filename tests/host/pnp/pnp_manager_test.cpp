// The PnP manager: loading and unloading drivers, reported PDOs, AddDevice, PnP requests and
// their initial status, capabilities, and an asynchronous removal.
#include "io_test_support.h"

#include "internal/kernel.h"

namespace {

using host::verifier::ExpectViolations;
using host::verifier::Rule;
using iotest::Complete;
using iotest::Handlers;

struct EntrySeen {
  int calls = 0;
  KIRQL irql = HIGH_LEVEL;
  std::string registryPath;
  NTSTATUS result = STATUS_SUCCESS;
  bool createDevice = false;
  bool leakPool = false;
};
EntrySeen gEntry;
PDEVICE_OBJECT gAdded = nullptr;

NTSTATUS TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  gAdded = fdo;
  return STATUS_SUCCESS;
}

VOID TestUnload(PDRIVER_OBJECT) {}

NTSTATUS TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  gEntry.calls++;
  gEntry.irql = KeGetCurrentIrql();
  gEntry.registryPath = host::objects::ToUtf8(*registryPath);
  driver->DriverExtension->AddDevice = TestAddDevice;
  driver->DriverUnload = TestUnload;
  if (gEntry.createDevice) {
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  }
  if (gEntry.leakPool) ExAllocatePool(NonPagedPool, 40);
  return gEntry.result;
}

class HostPnpManager : public iotest::IoTest {
 protected:
  void SetUp() override {
    iotest::IoTest::SetUp();
    gEntry = EntrySeen{};
    gAdded = nullptr;
  }
};

TEST_F(HostPnpManager, LoadRunsDriverEntryAtPassiveWithTheServiceKeyAndDefaultsTheTable) {
  NTSTATUS status = STATUS_PENDING;
  PDRIVER_OBJECT driver = host::pnp::LoadDriver(TestEntry, "\\Driver\\tavrinmdm", &status);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(gEntry.calls, 1);
  EXPECT_EQ(gEntry.irql, PASSIVE_LEVEL);
  EXPECT_EQ(gEntry.registryPath, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tavrinmdm");
  EXPECT_EQ(host::objects::ToUtf8(driver->DriverName), "\\Driver\\tavrinmdm");
  // Slots the driver did not fill fail the request as not supported by this device.
  ASSERT_EQ(host::pnp::AddDevice(driver, pdo), STATUS_SUCCESS);
  ASSERT_NE(gAdded, nullptr);
  EXPECT_EQ(host::pnp::StackTop(pdo), gAdded);
  auto read = host::app::SendRaw(gAdded, IRP_MJ_READ, 0, 0, nullptr, 0, 1);
  EXPECT_EQ(read.Result().status, STATUS_INVALID_DEVICE_REQUEST);
  IoDetachDevice(pdo);
  IoDeleteDevice(gAdded);
  EXPECT_TRUE(host::pnp::UnloadDriver(driver));
}

TEST_F(HostPnpManager, FailedDriverEntryLeavesNoDriver) {
  gEntry.result = STATUS_UNSUCCESSFUL;
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(host::pnp::LoadDriver(TestEntry, "\\Driver\\failing", &status), nullptr);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

TEST_F(HostPnpManager, UnloadChecksDevicesAndPoolLeftBehind) {
  EXPECT_FALSE(host::pnp::UnloadDriver(nullptr));
  gEntry.leakPool = true;
  PDRIVER_OBJECT driver = host::pnp::LoadDriver(TestEntry, "\\Driver\\leaky");
  ASSERT_NE(driver, nullptr);
  ASSERT_EQ(host::pnp::AddDevice(driver, pdo), STATUS_SUCCESS);
  ExpectViolations capture;
  EXPECT_TRUE(host::pnp::UnloadDriver(driver));
  EXPECT_EQ(capture.Count(Rule::DeviceMisuse), 1u) << capture.Text();
  EXPECT_EQ(capture.Count(Rule::PoolLeak), 1u) << capture.Text();
  EXPECT_NE(capture.Text().find("\\Driver\\leaky"), std::string::npos);
  IoDetachDevice(pdo);
  IoDeleteDevice(gAdded);
}

TEST_F(HostPnpManager, ReportedPdosAreNamedAndKeyedByInstancePath) {
  EXPECT_EQ(host::pnp::InstancePath(pdo), iotest::kInstance);
  EXPECT_TRUE(host::registry::KeyExists(std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\") +
                                        iotest::kInstance));
  PDEVICE_OBJECT second = nullptr;
  ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &second), STATUS_SUCCESS);
  EXPECT_FALSE(host::pnp::ReportPdo(second, "usb\\vid_1a2b&pid_0001\\5&1234&0&1"));  // in use
  EXPECT_FALSE(host::pnp::ReportPdo(pdo, "USB\\OTHER\\1"));  // already reported
  ASSERT_TRUE(host::pnp::ReportPdo(second, "USB\\VID_1A2B&PID_0001\\6&1"));
  EXPECT_FALSE(host::objects::DeviceName(second).empty());  // the PnP manager named it
  EXPECT_EQ(host::objects::FindDevice(host::objects::DeviceName(second)), second);
  IoDeleteDevice(second);  // the PnP manager forgets a deleted PDO: its path is free again
  PDEVICE_OBJECT third = nullptr;
  ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &third), STATUS_SUCCESS);
  EXPECT_TRUE(host::pnp::ReportPdo(third, "USB\\VID_1A2B&PID_0001\\6&1"));
  host::pnp::ForgetPdo(third);
  EXPECT_EQ(host::pnp::InstancePath(third), "");
  IoDeleteDevice(third);
}

TEST_F(HostPnpManager, PnpRequestsStartAsNotSupportedAndGoToTheTop) {
  PDEVICE_OBJECT fdo = CreateFdo();
  UCHAR minorSeen = 0xFF;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    minorSeen = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(pdo, irp);
  };
  // The bus driver leaves requests it does not handle as they are.
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
  EXPECT_EQ(host::pnp::SendPnp(pdo, IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(minorSeen, IRP_MN_QUERY_ID);
  EXPECT_EQ(host::pnp::StartDevice(pdo), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(minorSeen, IRP_MN_START_DEVICE);
  EXPECT_EQ(host::pnp::QueryStopDevice(pdo), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(minorSeen, IRP_MN_QUERY_STOP_DEVICE);
  EXPECT_EQ(host::pnp::SurpriseRemoveDevice(pdo), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(minorSeen, IRP_MN_SURPRISE_REMOVAL);

  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0x1234); };
  ULONG_PTR information = 0;
  EXPECT_EQ(host::pnp::SendPnp(pdo, 0x20, {}, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 0x1234u);
  DeleteFdo(fdo);
}

TEST_F(HostPnpManager, CapabilitiesArePreparedAsThePnpManagerDoes) {
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    EXPECT_EQ(caps->Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(caps->Version, 1);
    EXPECT_EQ(caps->Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps->UINumber, 0xFFFFFFFFu);
    EXPECT_EQ(caps->DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps->Removable = 1;
    return Complete(irp, STATUS_SUCCESS);
  };
  DEVICE_CAPABILITIES caps;
  EXPECT_EQ(host::pnp::QueryCapabilities(pdo, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.Removable, 1u);
}

TEST_F(HostPnpManager, AsynchronousRemovalWaitsOnWhatTheTestReleases) {
  PDEVICE_OBJECT fdo = CreateFdo("", false, sizeof(IO_REMOVE_LOCK));
  auto* lock = static_cast<PIO_REMOVE_LOCK>(fdo->DeviceExtension);
  IoInitializeRemoveLock(lock, 0, 0, 0);
  int outstanding = 0;
  ASSERT_EQ(IoAcquireRemoveLock(lock, &outstanding), STATUS_SUCCESS);
  Handlers()[fdo] = [&](PDEVICE_OBJECT device, PIRP irp) {
    IoAcquireRemoveLock(lock, irp);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(pdo, irp);
    IoReleaseRemoveLockAndWait(lock, irp);
    IoDetachDevice(pdo);
    IoDeleteDevice(device);
    return status;
  };
  auto removal = host::pnp::SendPnpAsync(pdo, IRP_MN_REMOVE_DEVICE);
  session().Pump();
  EXPECT_FALSE(removal.Done());
  IoReleaseRemoveLock(lock, &outstanding);
  EXPECT_EQ(removal.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

// Opens are refused while the stack's removal is pending (an accepted query-remove until it is
// cancelled, a surprise removal); after a surprise removal the removal waits for the last handle.
TEST_F(HostPnpManager, RemovalRefusesOpensAndWaitsForTheLastHandle) {
  PDEVICE_OBJECT fdo = CreateFdo("\\Device\\RemovalProbe");
  const auto open = [] {
    host::app::File file;
    NTSTATUS status = host::app::File::Open("\\Device\\RemovalProbe", &file);
    return status;
  };
  const struct {
    const char* step;
    std::function<NTSTATUS()> action;
    NTSTATUS openStatus;
  } steps[] = {
      {"nothing pending", [] { return STATUS_SUCCESS; }, STATUS_SUCCESS},
      {"query-remove accepted", [this] { return host::pnp::QueryRemoveDevice(pdo); }, STATUS_NO_SUCH_DEVICE},
      {"query-remove cancelled", [this] { return host::pnp::CancelRemoveDevice(pdo); }, STATUS_SUCCESS},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    ASSERT_EQ(s.action(), STATUS_SUCCESS);
    EXPECT_EQ(open(), s.openStatus);
  }

  host::app::File handle;
  ASSERT_EQ(host::app::File::Open("\\Device\\RemovalProbe", &handle), STATUS_SUCCESS);
  ASSERT_EQ(host::pnp::SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(open(), STATUS_NO_SUCH_DEVICE);
  NTSTATUS removed = STATUS_PENDING;
  auto remover = session().Spawn("PnP manager", [&] { removed = host::pnp::RemoveDevice(pdo); });
  session().Pump();
  EXPECT_FALSE(remover->Finished());  // the handle is still open
  EXPECT_EQ(handle.Close(), STATUS_SUCCESS);
  session().Pump();
  EXPECT_TRUE(remover->Finished());
  EXPECT_EQ(removed, STATUS_SUCCESS);
  DeleteFdo(fdo);
}

}  // namespace

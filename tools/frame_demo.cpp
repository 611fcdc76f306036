// Placeholder demo until the command-line program (mdmhost) exists: loads the driver into the
// host kernel, gives it one device from a minimal stand-in bus driver, prints the banners and the
// device's name, removes the device and unloads the driver.

#include <cstdio>
#include <string>

#include "driver/add_device.h"
#include "driver/entry.h"
#include "driver/extension.h"
#include "host/host.h"

namespace {

// The stand-in bus driver: owns the physical device object and completes what reaches it.
NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = Irp->IoStatus.Status;
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_PNP) {
    status = STATUS_SUCCESS;
  }
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

VOID NTAPI BusUnload(PDRIVER_OBJECT DriverObject) {}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
    DriverObject->MajorFunction[i] = BusDispatch;
  }
  DriverObject->DriverUnload = BusUnload;
  return STATUS_SUCCESS;
}

int Fail(const char* what, NTSTATUS status) {
  std::fprintf(stderr, "frame demo: %s failed (status 0x%08X)\n", what, (unsigned)status);
  return 1;
}

}  // namespace

int main() {
  host::Session session;

  NTSTATUS status = STATUS_SUCCESS;
  PDRIVER_OBJECT bus = host::pnp::LoadDriver(BusEntry, "\\Driver\\framebus", &status);
  if (bus == nullptr) return Fail("loading the stand-in bus driver", status);

  PDEVICE_OBJECT pdo = nullptr;
  status = IoCreateDevice(bus, 24, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
  if (!NT_SUCCESS(status)) return Fail("creating the physical device object", status);
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  host::pnp::ReportPdo(pdo, "USB\\VID_0000&PID_0000\\FRAMEDEMO");

  std::printf("Loading the driver into the host kernel\n");
  PDRIVER_OBJECT driver = host::pnp::LoadDriver(DriverEntry, "\\Driver\\tavrinmdm", &status);
  if (driver == nullptr) return Fail("DriverEntry", status);

  status = host::pnp::AddDevice(driver, pdo);
  if (!NT_SUCCESS(status)) return Fail("AddDevice", status);
  PDEVICE_OBJECT fdo = host::pnp::StackTop(pdo);
  auto* extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
  std::printf("AddDevice created %s (device extension %zu bytes)\n",
              host::objects::ToUtf8(extension->DeviceName).c_str(), sizeof(DEVICE_EXTENSION));
  std::printf("Registered device interface %s\n",
              host::objects::ToUtf8(extension->InterfaceName).c_str());

  status = host::pnp::RemoveDevice(pdo);
  if (!NT_SUCCESS(status)) return Fail("removing the device", status);
  host::pnp::UnloadDriver(driver);

  host::pnp::ForgetPdo(pdo);
  IoDeleteDevice(pdo);
  host::pnp::UnloadDriver(bus);

  std::printf("\nDebugger output of the driver:\n%s", host::debug::DbgPrintText().c_str());
  return 0;
}

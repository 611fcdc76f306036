// A trivial function driver for testing the device side through a whole stack: it attaches above
// the PDO and passes every request down unchanged (power requests with PoStartNextPowerIrp and
// PoCallDriver), detaches and deletes its device object at removal. Nothing more.
#pragma once

#include <wdk/wdk.h>

namespace sim::testing {

struct PassThroughExtension {
  PDEVICE_OBJECT lower;
};

inline NTSTATUS PassThroughDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<PassThroughExtension*>(device->DeviceExtension);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

inline NTSTATUS PassThroughPower(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<PassThroughExtension*>(device->DeviceExtension);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->lower, irp);
}

inline NTSTATUS PassThroughPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<PassThroughExtension*>(device->DeviceExtension);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PDEVICE_OBJECT lower = ext->lower;
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

inline NTSTATUS PassThroughAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PassThroughExtension), nullptr,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<PassThroughExtension*>(fdo->DeviceExtension);
  ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!ext->lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

inline VOID PassThroughUnload(PDRIVER_OBJECT) {}

inline NTSTATUS PassThroughDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = PassThroughDispatch;
  driver->MajorFunction[IRP_MJ_POWER] = PassThroughPower;
  driver->MajorFunction[IRP_MJ_PNP] = PassThroughPnp;
  driver->DriverExtension->AddDevice = PassThroughAddDevice;
  driver->DriverUnload = PassThroughUnload;
  return STATUS_SUCCESS;
}

}  // namespace sim::testing

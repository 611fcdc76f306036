// The chain in mdmhost (--chain, --bus-image): the modem plugged as the raw USB device at hub
// level, the modem's parent bus driver (tavrinbus) added on the hub's PDO and started, its bus
// relations asked for and its child reported to the PnP manager, the port driver added on the
// child. PnP steps go to the child's stack as before; after an unplug, the surprise removal and
// the removal also reach the USB device's stack, after the child's, as the PnP manager sends them.

#include <cstdio>

#include "binding.h"
#include "host/objects.h"
#include "host/pnp.h"
#include "host/registry.h"
#include "sim/testbed.h"
#include "stack.h"

namespace mdmhost {
namespace {

std::string QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
  ULONG_PTR info = 0;
  const NTSTATUS status = host::pnp::SendPnp(
      pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
      &info);
  if (!NT_SUCCESS(status) || info == 0) return "";
  auto* text = reinterpret_cast<PWCHAR>(info);
  std::string id = host::objects::ToUtf8(text);
  ExFreePool(text);
  return id;
}

// The tree's INFs, read now, must choose `service` for the PDO (a wrong ID in an INF leaves the
// device without its driver).
NTSTATUS CheckInfChoice(PDEVICE_OBJECT pdo, const char* service) {
  const std::string chosen = sim::ServiceChosenByInfs(pdo);
  if (chosen == service) return STATUS_SUCCESS;
  std::fprintf(stderr, "mdmhost: no INF of the tree installs %s on %s (the INFs chose '%s')\n",
               service, host::pnp::InstancePath(pdo).c_str(), chosen.c_str());
  return STATUS_NO_SUCH_DEVICE;
}

}  // namespace

NTSTATUS Stack::ChainAddDevice(size_t i) {
  Device& d = devices_.at(i);
  PDEVICE_OBJECT hub = d.bus->Pdo();
  if (hub->AttachedDevice == nullptr) {
    sim::ReadTreeInfs();
    NTSTATUS status = CheckInfChoice(hub, "tavrinbus");
    if (!NT_SUCCESS(status)) return status;
    status = host::pnp::AddDevice(busDriver_, hub);
    if (!NT_SUCCESS(status)) return status;
    DEVICE_CAPABILITIES caps;
    host::pnp::QueryCapabilities(hub, &caps);
    status = host::pnp::StartDevice(hub);
    if (!NT_SUCCESS(status)) {
      // A stack that failed to start is removed by the PnP manager.
      host::pnp::RemoveDevice(hub);
      return status;
    }
  }
  NTSTATUS status = Enumerate(i);
  if (!NT_SUCCESS(status)) return status;
  return CheckInfChoice(d.child, "tavrinmdm");
}

NTSTATUS Stack::Enumerate(size_t i) {
  Device& d = devices_.at(i);
  ULONG_PTR info = 0;
  const NTSTATUS status = host::pnp::SendPnp(
      d.bus->Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS,
      [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; },
      &info);
  if (!NT_SUCCESS(status)) return status;
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
  PDEVICE_OBJECT child = nullptr;
  if (relations != nullptr) {
    if (relations->Count > 0) child = relations->Objects[0];
    for (ULONG k = 0; k < relations->Count; ++k) ObDereferenceObject(relations->Objects[k]);
    ExFreePool(relations);
  }
  if (child == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (child == d.child) return STATUS_SUCCESS;
  const std::string deviceId = QueryId(child, BusQueryDeviceID);
  const std::string path =
      deviceId + "\\" + std::to_string(d.bus->Number()) + "&" + QueryId(child, BusQueryInstanceID);
  if (deviceId.empty() || !host::pnp::ReportPdo(child, path)) return STATUS_UNSUCCESSFUL;
  d.child = child;
  d.childName = host::objects::DeviceName(child);
  // The port driver's traffic starts here: what the parent said to the device to configure it is
  // not the port's.
  d.cursor = d.bus->Trace().Cursor();
  d.cursor.IgnoreBusDriver();
  if (d.portName) {
    host::registry::SetValue(host::registry::DeviceKeyPath(child), "PortName", REG_SZ,
                             sim::BusDevice::Utf16Bytes(*d.portName, true));
  }
  return STATUS_SUCCESS;
}

void Stack::ForgetDeletedChild(size_t i) {
  Device& d = devices_.at(i);
  if (d.child != nullptr && host::objects::FindDevice(d.childName) != d.child) d.child = nullptr;
}

void Stack::ChainAfterPnp(size_t i, UCHAR minor) {
  Device& d = devices_.at(i);
  PDEVICE_OBJECT hub = d.bus->Pdo();
  if (hub == nullptr || hub->AttachedDevice == nullptr) return;
  if (minor == IRP_MN_SURPRISE_REMOVAL && d.bus->Unplugged()) {
    host::pnp::SurpriseRemoveDevice(hub);
  } else if (minor == IRP_MN_REMOVE_DEVICE) {
    // The parent deletes a child reported missing from a work item, once its driver detached.
    session_->Pump();
    ForgetDeletedChild(i);
    if (d.bus->SurpriseRemoved()) {
      host::pnp::RemoveDevice(hub);
      ForgetDeletedChild(i);  // a child the parent's removal deleted
    }
  }
}

void Stack::ChainTeardown(size_t i) {
  Device& d = devices_.at(i);
  PDEVICE_OBJECT hub = d.bus->Pdo();
  if (hub == nullptr) return;
  const bool gone = d.bus->SurpriseRemoved();
  if (d.child != nullptr && d.child->AttachedDevice != nullptr) {
    if (!gone && !NT_SUCCESS(host::pnp::QueryRemoveDevice(d.child))) {
      host::pnp::SurpriseRemoveDevice(d.child);
    }
    host::app::File::CloseAllOn(d.child);
    host::pnp::RemoveDevice(d.child);
    session_->Pump();
    ForgetDeletedChild(i);
  }
  if (hub->AttachedDevice != nullptr) {
    if (!gone) host::pnp::QueryRemoveDevice(hub);
    host::pnp::RemoveDevice(hub);
  }
  bus_->ReapDeletedPdos();
}

}  // namespace mdmhost

namespace mdmhost {

NTSTATUS Stack::ParentPnp(size_t i, UCHAR minor) {
  Device& d = devices_.at(i);
  PDEVICE_OBJECT hub = d.bus->Pdo();
  if (hub == nullptr || hub->AttachedDevice == nullptr) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = host::pnp::SendPnp(hub, minor);
  if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status)) status = Enumerate(i);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    session_->Pump();
    ForgetDeletedChild(i);
    bus_->ReapDeletedPdos();
  }
  return status;
}

NTSTATUS Stack::ParentSystemPower(size_t i, SYSTEM_POWER_STATE state) {
  PDEVICE_OBJECT hub = devices_.at(i).bus->Pdo();
  if (hub == nullptr || hub->AttachedDevice == nullptr) return STATUS_NO_SUCH_DEVICE;
  return host::pnp::SendSystemPower(hub, IRP_MN_SET_POWER, state,
                                    state == PowerSystemWorking ? PowerActionNone
                                                                : PowerActionSleep);
}

}  // namespace mdmhost

// The testbed's chain: the USB device at hub level, the modem's parent bus driver on it, and the
// driver under test on the child the parent enumerates. The PnP manager's part is played here:
// bus relations are asked for after the parent's start, a new child is reported with the IDs it
// gives (instance path "<device ID>\<hub device number>&<instance ID>") and its port name written
// to its hardware key, and the parent's and child's stacks are taken down child first.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "host/app.h"
#include "host/objects.h"
#include "host/pnp.h"
#include "host/registry.h"
#include "sim/testbed.h"

namespace sim {

namespace {

// QUERY_ID of `pdo`: the text the driver returned (freed here, as the PnP manager frees it).
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

// A REG_MULTI_SZ answer of QUERY_ID, one string each.
std::vector<std::string> QueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
  ULONG_PTR info = 0;
  std::vector<std::string> ids;
  const NTSTATUS status = host::pnp::SendPnp(
      pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
      &info);
  if (!NT_SUCCESS(status) || info == 0) return ids;
  for (const WCHAR* p = reinterpret_cast<const WCHAR*>(info); *p != 0;) {
    ids.push_back(host::objects::ToUtf8(p));
    while (*p != 0) ++p;
    ++p;
  }
  ExFreePool(reinterpret_cast<PVOID>(info));
  return ids;
}

// "\Driver\tavrinbus" -> "tavrinbus"
std::string ServiceOfDriverName(const std::string& name) {
  std::string service = name.substr(name.rfind('\\') + 1);
  for (char& c : service) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return service;
}

// The driver the INFs choose must be the one about to be added: an INF that does not bind the
// device (a wrong ID) fails the step, as the device would stay without a driver.
NTSTATUS CheckInfChoice(PDEVICE_OBJECT pdo, const std::string& driverName) {
  const std::string chosen = ServiceChosenByInfs(pdo);
  if (chosen == ServiceOfDriverName(driverName)) return STATUS_SUCCESS;
  std::fprintf(stderr, "sim: no INF of the tree installs %s on %s (the INFs chose '%s')\n",
               driverName.c_str(), host::pnp::InstancePath(pdo).c_str(), chosen.c_str());
  return STATUS_NO_SUCH_DEVICE;
}

}  // namespace

void ReadTreeInfs() {
  std::error_code error;
  const std::filesystem::path drivers = std::filesystem::path(TAVRIN_SOURCE_DIR) / "drivers";
  for (const auto& driver : std::filesystem::directory_iterator(drivers, error)) {
    const std::filesystem::path x86 = driver.path() / "x86";
    for (const auto& file : std::filesystem::directory_iterator(x86, error)) {
      if (file.path().extension() == ".inf") host::pnp::AddInfFile(file.path().string());
    }
  }
}

std::string ServiceChosenByInfs(PDEVICE_OBJECT pdo) {
  return host::pnp::SelectService(QueryIds(pdo, BusQueryHardwareIDs),
                                  QueryIds(pdo, BusQueryCompatibleIDs));
}

PDEVICE_OBJECT Testbed::busFdo(size_t i) {
  Device& d = devices_.at(i);
  if (!d.hubPdo || !d.bus->Pdo() || !d.hubPdo->AttachedDevice) return nullptr;
  return d.hubPdo->AttachedDevice;
}

NTSTATUS Testbed::ChainAddDevice(size_t i) {
  Device& d = devices_[i];
  if (!busDriver_) {
    std::fprintf(stderr, "sim::Testbed: the chain's bus driver is not loaded\n");
    std::abort();
  }
  ReadTreeInfs();
  NTSTATUS status = CheckInfChoice(d.hubPdo, options_.busName);
  if (!NT_SUCCESS(status)) return status;
  status = host::pnp::AddDevice(busDriver_, d.hubPdo);
  if (!NT_SUCCESS(status)) return status;
  if (options_.onBusDeviceAdded) options_.onBusDeviceAdded(busFdo(i));
  DEVICE_CAPABILITIES caps;
  host::pnp::QueryCapabilities(d.hubPdo, &caps);
  status = host::pnp::StartDevice(d.hubPdo);
  if (!NT_SUCCESS(status)) {
    // A stack that failed to start is removed by the PnP manager.
    host::pnp::RemoveDevice(d.hubPdo);
    AfterRemove(i);
    return status;
  }
  status = Enumerate(i);
  if (!NT_SUCCESS(status)) return status;
  status = CheckInfChoice(d.pdo, options_.driverName);
  if (!NT_SUCCESS(status)) return status;
  status = host::pnp::AddDevice(driver_, d.pdo);
  if (NT_SUCCESS(status) && options_.onDeviceAdded) {
    PDEVICE_OBJECT top = fdo(i);
    if (top) options_.onDeviceAdded(top);
  }
  return status;
}

NTSTATUS Testbed::Enumerate(size_t i) {
  Device& d = devices_[i];
  ULONG_PTR info = 0;
  const NTSTATUS status = host::pnp::SendPnp(
      d.hubPdo, IRP_MN_QUERY_DEVICE_RELATIONS,
      [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; },
      &info);
  if (!NT_SUCCESS(status)) return status;
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
  PDEVICE_OBJECT child = nullptr;
  if (relations) {
    if (relations->Count > 0) child = relations->Objects[0];
    for (ULONG k = 0; k < relations->Count; ++k) ObDereferenceObject(relations->Objects[k]);
    ExFreePool(relations);
  }
  if (!child) return STATUS_NO_SUCH_DEVICE;
  if (child == d.pdo) return STATUS_SUCCESS;  // known already
  const std::string deviceId = QueryId(child, BusQueryDeviceID);
  const std::string instanceId = QueryId(child, BusQueryInstanceID);
  if (deviceId.empty()) return STATUS_UNSUCCESSFUL;
  const std::string path =
      deviceId + "\\" + std::to_string(d.bus->Number()) + "&" + instanceId;
  if (!host::pnp::ReportPdo(child, path)) {
    std::fprintf(stderr, "sim::Testbed: instance path %s already in use\n", path.c_str());
    std::abort();
  }
  d.pdo = child;
  d.childName = host::objects::DeviceName(child);
  d.cursor = d.bus->Trace().Cursor();
  d.cursor.IgnoreBusDriver();
  if (d.portName) {
    host::registry::SetValue(host::registry::DeviceKeyPath(child), "PortName", REG_SZ,
                             BusDevice::Utf16Bytes(*d.portName, true));
  }
  return STATUS_SUCCESS;
}

NTSTATUS Testbed::ParentStop(std::optional<size_t> i) {
  const size_t index = Index(i);
  Device& d = devices_[index];
  NTSTATUS status = STATUS_SUCCESS;
  if (d.pdo) {
    status = host::pnp::QueryStopDevice(d.pdo);
    if (!NT_SUCCESS(status)) {
      host::pnp::CancelStopDevice(d.pdo);
      return status;
    }
    host::pnp::StopDevice(d.pdo);
  }
  status = host::pnp::QueryStopDevice(d.hubPdo);
  if (!NT_SUCCESS(status)) return status;
  return host::pnp::StopDevice(d.hubPdo);
}

NTSTATUS Testbed::ParentStart(std::optional<size_t> i) {
  const size_t index = Index(i);
  Device& d = devices_[index];
  NTSTATUS status = host::pnp::StartDevice(d.hubPdo);
  if (!NT_SUCCESS(status)) return status;
  status = Enumerate(index);
  if (!NT_SUCCESS(status)) return status;
  return host::pnp::StartDevice(d.pdo);
}

NTSTATUS Testbed::ParentSurpriseRemove(std::optional<size_t> i) {
  const size_t index = Index(i);
  Device& d = devices_[index];
  if (d.pdo) host::pnp::SurpriseRemoveDevice(d.pdo);
  return host::pnp::SurpriseRemoveDevice(d.hubPdo);
}

NTSTATUS Testbed::ParentRemove(std::optional<size_t> i) {
  const size_t index = Index(i);
  Device& d = devices_[index];
  if (d.pdo) {
    host::pnp::RemoveDevice(d.pdo);
    // The parent deletes a missing child once its driver detached, from a work item.
    if (session_->mode() == host::Mode::Deterministic) session_->Pump();
    AfterRemove(index);
  }
  const NTSTATUS status = host::pnp::RemoveDevice(d.hubPdo);
  AfterRemove(index);
  return status;
}

NTSTATUS Testbed::SystemPower(SYSTEM_POWER_STATE state, std::optional<size_t> i) {
  const size_t index = Index(i);
  PDEVICE_OBJECT child = devices_[index].pdo;
  PDEVICE_OBJECT parent = chain() ? devices_[index].hubPdo : nullptr;
  PDEVICE_OBJECT first = state == PowerSystemWorking ? parent : child;
  PDEVICE_OBJECT second = state == PowerSystemWorking ? child : parent;
  NTSTATUS status = STATUS_SUCCESS;
  if (first) status = host::pnp::SendSystemPower(first, IRP_MN_SET_POWER, state);
  if (NT_SUCCESS(status) && second) {
    status = host::pnp::SendSystemPower(second, IRP_MN_SET_POWER, state);
  }
  return status;
}

void Testbed::ChainTeardown(size_t i) {
  Device& d = devices_[i];
  if (!d.bus->Pdo()) return;
  const bool gone = d.bus->SurpriseRemoved();
  if (d.pdo && d.pdo->AttachedDevice) {
    if (!gone && !NT_SUCCESS(host::pnp::QueryRemoveDevice(d.pdo))) {
      host::pnp::SurpriseRemoveDevice(d.pdo);
    }
    host::app::File::CloseAllOn(d.pdo);
    host::pnp::RemoveDevice(d.pdo);
    AfterRemove(i);
  }
  if (busFdo(i)) {
    if (!gone) host::pnp::QueryRemoveDevice(d.hubPdo);
    host::pnp::RemoveDevice(d.hubPdo);
    AfterRemove(i);
  }
}

}  // namespace sim

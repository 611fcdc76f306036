// The testbed: a session, the bus, the driver under test and the PnP steps between them.

#include "sim/testbed.h"

#include <cstdio>
#include <cstdlib>

#include "host/app.h"
#include "host/objects.h"
#include "host/pnp.h"

namespace sim {

Testbed::Testbed(TestbedOptions options) : options_(std::move(options)) {
  host::SessionOptions so = options_.session;
  so.mode = options_.mode;
  session_ = std::make_unique<host::Session>(so);
  bus_ = std::make_unique<UsbBus>();
}

Testbed::~Testbed() { Teardown(); }

size_t Testbed::Index(std::optional<size_t> i) const {
  if (devices_.empty()) {
    std::fprintf(stderr, "sim::Testbed: no device plugged\n");
    std::abort();
  }
  const size_t index = i.value_or(devices_.size() - 1);
  if (index >= devices_.size()) {
    std::fprintf(stderr, "sim::Testbed: no device %zu\n", index);
    std::abort();
  }
  return index;
}

NTSTATUS Testbed::LoadDriver() {
  if (!options_.driverEntry) {
    std::fprintf(stderr, "sim::Testbed: no driverEntry given\n");
    std::abort();
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = host::pnp::LoadDriver(options_.driverEntry, options_.driverName, &status);
  if (NT_SUCCESS(status) && chain() && !busDriver_) {
    busDriver_ = host::pnp::LoadDriver(options_.busEntry, options_.busName, &status);
  }
  return status;
}

size_t Testbed::Plug(std::unique_ptr<Modem> modem) {
  PlugOptions options;
  options.usb = options_.usb;
  if (devices_.empty()) options.portName = options_.portName;
  return Plug(std::move(modem), options);
}

size_t Testbed::Plug(std::unique_ptr<Modem> modem, const PlugOptions& given) {
  PlugOptions options = given;
  Device dev;
  if (chain()) {
    // The raw USB device: the port name belongs to the modem's PDO its parent enumerates.
    if (!options.hub) options.hub = HubOptions{};
    dev.portName = options.portName;
    options.portName.reset();
  }
  BusDevice& d = bus_->Plug(std::move(modem), options);
  dev.bus = &d;
  dev.pdo = chain() ? nullptr : d.Pdo();
  dev.hubPdo = chain() ? d.Pdo() : nullptr;
  dev.cursor = d.Trace().Cursor();
  dev.cursor.IgnoreBusDriver();
  devices_.push_back(std::move(dev));
  return devices_.size() - 1;
}

size_t Testbed::Plug(std::unique_ptr<Modem> modem, const std::string& portName) {
  PlugOptions options;
  options.usb = options_.usb;
  options.portName = portName;
  return Plug(std::move(modem), options);
}

PDEVICE_OBJECT Testbed::fdo(size_t i) {
  PDEVICE_OBJECT pdo = devices_.at(i).pdo;
  if (!devices_[i].bus->Pdo() || !pdo || !pdo->AttachedDevice) return nullptr;
  return host::pnp::StackTop(pdo);
}

NTSTATUS Testbed::AddDevice(std::optional<size_t> i) {
  const size_t index = Index(i);
  if (!driver_) {
    std::fprintf(stderr, "sim::Testbed: AddDevice before LoadDriver\n");
    std::abort();
  }
  if (chain()) return ChainAddDevice(index);
  const NTSTATUS status = host::pnp::AddDevice(driver_, devices_[index].pdo);
  if (NT_SUCCESS(status) && options_.onDeviceAdded) {
    PDEVICE_OBJECT top = fdo(index);
    if (top) options_.onDeviceAdded(top);
  }
  return status;
}

NTSTATUS Testbed::Start(std::optional<size_t> i) {
  return host::pnp::StartDevice(devices_[Index(i)].pdo);
}
NTSTATUS Testbed::QueryStop(std::optional<size_t> i) {
  return host::pnp::QueryStopDevice(devices_[Index(i)].pdo);
}
NTSTATUS Testbed::CancelStop(std::optional<size_t> i) {
  return host::pnp::CancelStopDevice(devices_[Index(i)].pdo);
}
NTSTATUS Testbed::Stop(std::optional<size_t> i) {
  return host::pnp::StopDevice(devices_[Index(i)].pdo);
}
NTSTATUS Testbed::QueryRemove(std::optional<size_t> i) {
  return host::pnp::QueryRemoveDevice(devices_[Index(i)].pdo);
}
NTSTATUS Testbed::CancelRemove(std::optional<size_t> i) {
  return host::pnp::CancelRemoveDevice(devices_[Index(i)].pdo);
}
NTSTATUS Testbed::SurpriseRemove(std::optional<size_t> i) {
  return host::pnp::SurpriseRemoveDevice(devices_[Index(i)].pdo);
}

NTSTATUS Testbed::Remove(std::optional<size_t> i) {
  const size_t index = Index(i);
  const NTSTATUS status = host::pnp::RemoveDevice(devices_[index].pdo);
  AfterRemove(index);
  return status;
}

void Testbed::AfterRemove(size_t i) {
  Device& d = devices_[i];
  if (chain() && d.pdo && host::objects::FindDevice(d.childName) != d.pdo) d.pdo = nullptr;
  bus_->ReapDeletedPdos();
}

void Testbed::Unplug(std::optional<size_t> i) { bus_->Unplug(*devices_[Index(i)].bus); }

void Testbed::UnplugAndRemove(std::optional<size_t> i) {
  const size_t index = Index(i);
  Unplug(index);
  SurpriseRemove(index);
  Remove(index);
}

void Testbed::UnloadDriver() {
  if (driver_ == nullptr) return;
  host::pnp::UnloadDriver(driver_);
  driver_ = nullptr;
}

void Testbed::Teardown() {
  if (tornDown_) return;
  tornDown_ = true;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (chain()) {
      ChainTeardown(i);
      continue;
    }
    BusDevice& d = *devices_[i].bus;
    if (!d.Pdo() || !d.Pdo()->AttachedDevice) continue;
    // The handles still open end with their processes, before the removal that waits for them.
    if (d.SurpriseRemoved()) {
      host::app::File::CloseAllOn(d.Pdo());
      Remove(i);
      continue;
    }
    if (!NT_SUCCESS(QueryRemove(i))) SurpriseRemove(i);
    host::app::File::CloseAllOn(d.Pdo());
    Remove(i);
  }
  if (session_->mode() == host::Mode::Deterministic) session_->Pump();
  if (driver_) {
    host::pnp::UnloadDriver(driver_);
    driver_ = nullptr;
  }
  if (busDriver_) {
    host::pnp::UnloadDriver(busDriver_);
    busDriver_ = nullptr;
  }
  bus_.reset();
  devices_.clear();
  session_.reset();
}

}  // namespace sim

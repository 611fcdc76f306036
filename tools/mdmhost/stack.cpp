#include "stack.h"

#include <strings.h>

#include <chrono>
#include <thread>

#include "binding.h"
#include "line_options.h"
#include "driver_locks.h"
#include "host/app.h"
#include "sim/at_modem.h"
#include "sim/loopback_modem.h"
#include "sim/scripted_modem.h"
#include "tavrinmdm/entry.h"

namespace mdmhost {

std::optional<ModemModel> ParseModel(const std::string& name) {
  if (strcasecmp(name.c_str(), "scripted") == 0) return ModemModel::Scripted;
  if (strcasecmp(name.c_str(), "at") == 0) return ModemModel::At;
  if (strcasecmp(name.c_str(), "loopback") == 0) return ModemModel::Loopback;
  return std::nullopt;
}

const char* ModelName(ModemModel model) {
  switch (model) {
    case ModemModel::Scripted:
      return "scripted";
    case ModemModel::At:
      return "at";
    case ModemModel::Loopback:
      return "loopback";
  }
  return "?";
}

std::unique_ptr<sim::Modem> MakeModem(ModemModel model) {
  switch (model) {
    case ModemModel::Scripted:
      return std::make_unique<sim::ScriptedModem>();
    case ModemModel::At:
      return std::make_unique<sim::AtModem>();
    case ModemModel::Loopback:
      return std::make_unique<sim::LoopbackModem>();
  }
  return nullptr;
}

// ---- ViolationLog -------------------------------------------------------------------------------

ViolationLog::ViolationLog() {
  host::verifier::SetHandler([this](const host::verifier::Violation& v) { Add(v); });
}

ViolationLog::~ViolationLog() { host::verifier::SetHandler(nullptr); }

void ViolationLog::Add(const host::verifier::Violation& violation) {
  std::function<void(const host::verifier::Violation&)> echo;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back({violation, tag_});
    ++total_;
    echo = echo_;
  }
  if (echo) echo(violation);
}

void ViolationLog::SetTag(int tag) {
  std::lock_guard<std::mutex> lock(mutex_);
  tag_ = tag;
}

std::vector<ViolationLog::Entry> ViolationLog::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

size_t ViolationLog::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

std::vector<ViolationLog::Entry> ViolationLog::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Entry> out;
  out.swap(entries_);
  return out;
}

bool ViolationLog::Claim(host::verifier::Rule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->violation.rule == rule) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

void ViolationLog::SetEcho(std::function<void(const host::verifier::Violation&)> echo) {
  std::lock_guard<std::mutex> lock(mutex_);
  echo_ = std::move(echo);
}

// ---- Stack ---------------------------------------------------------------------------------------

Stack::Stack(const host::SessionOptions& options)
    : session_(std::make_unique<host::Session>(options)),
      bus_(std::make_unique<sim::UsbBus>()),
      chain_(SelectedDriver().chain) {}

Stack::~Stack() { Teardown(); }

NTSTATUS Stack::LoadDriver() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const DriverBinding& binding = SelectedDriver();
  driver_ = host::pnp::LoadDriver(binding.Load(), kDriverName, &status);
  binding.Loaded();
  if (NT_SUCCESS(status) && chain_ && busDriver_ == nullptr) {
    busDriver_ = host::pnp::LoadDriver(binding.LoadBus(), "\\Driver\\tavrinbus", &status);
    binding.BusLoaded();
  }
  return status;
}

void Stack::UnloadDriver() {
  if (driver_ == nullptr) return;
  host::pnp::UnloadDriver(driver_);
  driver_ = nullptr;
}

size_t Stack::Plug(ModemModel model, std::optional<std::string> portName, const std::string& label,
                   std::unique_ptr<sim::Modem> modem) {
  sim::PlugOptions options;
  options.portName = portName;
  options.usb.traceKeep = traceKeep_;
  options.usb.line = SelectedLine();
  if (!modem) modem = MakeModem(model);
  // A modem connected at a fixed line rate reports it as its CONNECT rate.
  if (auto* at = dynamic_cast<sim::AtModem*>(modem.get()); at && options.usb.line.bitsPerSecond) {
    at->SetConnectRate(options.usb.line.bitsPerSecond);
  }
  if (chain_) {
    // The raw USB device; the port name goes on the modem's PDO once its parent enumerated it.
    options.hub = sim::HubOptions{};
    options.portName.reset();
  }
  sim::BusDevice& d = bus_->Plug(std::move(modem), options);
  Device device;
  device.label = label;
  device.model = model;
  device.portName = portName;
  device.bus = &d;
  device.cursor = d.Trace().Cursor();
  device.cursor.IgnoreBusDriver();
  devices_.push_back(std::move(device));
  return devices_.size() - 1;
}

std::optional<size_t> Stack::FindDevice(const std::string& label) const {
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (strcasecmp(devices_[i].label.c_str(), label.c_str()) == 0) return i;
  }
  return std::nullopt;
}

PDEVICE_OBJECT Stack::Fdo(size_t i) const {
  PDEVICE_OBJECT pdo = Pdo(i);
  if (pdo == nullptr || pdo->AttachedDevice == nullptr) return nullptr;
  return host::pnp::StackTop(pdo);
}

PDEVICE_EXTENSION Stack::Extension(size_t i) const {
  PDEVICE_OBJECT fdo = Fdo(i);
  if (fdo == nullptr || fdo->DriverObject != driver_ || driver_ == nullptr) return nullptr;
  return static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
}

std::optional<DriverCounters> Stack::Counters(size_t i) const {
  PDEVICE_EXTENSION ext = Extension(i);
  if (ext == nullptr) return std::nullopt;
  DriverCounters c;
  c.ioCount = ext->IoCount;
  c.removeLockRemoved = ext->RemoveLock.Common.Removed != FALSE;
  // The lock starts at 1, its own bias, which only release-and-wait gives back.
  c.removeLockHolds = ext->RemoveLock.Common.IoCount - (c.removeLockRemoved ? 0 : 1);
  return c;
}

std::string Stack::RoutineName(const void* routine) const {
  return SelectedDriver().RoutineName(routine);
}

bool Stack::WaitUntilClosed(size_t i, int milliseconds) {
  for (int waited = 0;; ++waited) {
    PDEVICE_EXTENSION ext = Extension(i);
    if (ext == nullptr || (!ext->DeviceOpen && ext->OpenCount == 0)) return true;
    if (waited >= milliseconds) return false;
    if (Deterministic()) {
      session_->AdvanceTimeMs(1);
    } else {
      session_->Pump();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

NTSTATUS Stack::AddDevice(size_t i) {
  if (chain_ && devices_.at(i).child == nullptr) {
    NTSTATUS parent = ChainAddDevice(i);
    if (!NT_SUCCESS(parent)) return parent;
  }
  NTSTATUS status = host::pnp::AddDevice(driver_, Pdo(i));
  if (NT_SUCCESS(status)) {
    if (PDEVICE_OBJECT fdo = Fdo(i)) porttest::DeclareDriverLocks(fdo);
  }
  return status;
}

NTSTATUS Stack::Pnp(size_t i, UCHAR minor, ULONG_PTR* information) {
  ULONG_PTR info = 0;
  NTSTATUS status = host::pnp::SendPnp(Pdo(i), minor, {}, &info);
  if (chain_) ChainAfterPnp(i, minor);
  if (minor == IRP_MN_REMOVE_DEVICE) bus_->ReapDeletedPdos();
  // What the drivers return for the PnP manager to own is the PnP manager's to release.
  if (NT_SUCCESS(status) && info != 0 && information == nullptr) {
    if (minor == IRP_MN_QUERY_ID || minor == IRP_MN_QUERY_DEVICE_TEXT) {
      ExFreePool(reinterpret_cast<PVOID>(info));
    } else if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
      auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
      for (ULONG k = 0; k < relations->Count; ++k) ObDereferenceObject(relations->Objects[k]);
      ExFreePool(relations);
    }
  }
  if (information != nullptr) *information = info;
  return status;
}

NTSTATUS Stack::QueryCapabilities(size_t i, DEVICE_CAPABILITIES* caps, USHORT version) {
  return host::pnp::QueryCapabilities(Pdo(i), caps, version);
}

static POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
      return PowerActionSleep;
    case PowerSystemHibernate:
      return PowerActionHibernate;
    case PowerSystemShutdown:
      return PowerActionShutdown;
    default:
      return PowerActionNone;
  }
}

NTSTATUS Stack::SystemPower(size_t i, UCHAR minor, SYSTEM_POWER_STATE state) {
  if (!chain_) return host::pnp::SendSystemPower(Pdo(i), minor, state, ActionFor(state));
  // The PnP manager powers a parent's children down before it, and up after it.
  PDEVICE_OBJECT hub = devices_.at(i).bus->Pdo();
  PDEVICE_OBJECT first = state == PowerSystemWorking ? hub : Pdo(i);
  PDEVICE_OBJECT second = state == PowerSystemWorking ? Pdo(i) : hub;
  NTSTATUS status = host::pnp::SendSystemPower(first, minor, state, ActionFor(state));
  if (NT_SUCCESS(status) && second != nullptr && hub->AttachedDevice != nullptr) {
    status = host::pnp::SendSystemPower(second, minor, state, ActionFor(state));
  }
  return status;
}

NTSTATUS Stack::DevicePower(size_t i, UCHAR minor, DEVICE_POWER_STATE state) {
  return host::pnp::SendDevicePower(Pdo(i), minor, state);
}

void Stack::Unplug(size_t i) { bus_->Unplug(*devices_.at(i).bus); }

void Stack::Teardown() {
  if (tornDown_) return;
  tornDown_ = true;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (chain_) {
      ChainTeardown(i);
      continue;
    }
    sim::BusDevice& d = *devices_[i].bus;
    if (d.Pdo() == nullptr || d.Pdo()->AttachedDevice == nullptr) continue;
    if (!d.SurpriseRemoved() && !NT_SUCCESS(Pnp(i, IRP_MN_QUERY_REMOVE_DEVICE))) {
      Pnp(i, IRP_MN_SURPRISE_REMOVAL);
    }
    // The handles still open end with their processes, before the removal that waits for them.
    host::app::File::CloseAllOn(d.Pdo());
    Pnp(i, IRP_MN_REMOVE_DEVICE);
  }
  session_->Pump();
  UnloadDriver();
  if (busDriver_ != nullptr) {
    host::pnp::UnloadDriver(busDriver_);
    busDriver_ = nullptr;
  }
  bus_.reset();
  devices_.clear();
  session_.reset();
}

}  // namespace mdmhost

// The parent bus driver: its driver object, plugging and unplugging devices, creating and
// deleting their PDOs, the hardware key, and the routing of requests to each device.

#include "sim/bus.h"

#include <cstdio>
#include <stdexcept>

#include "host/app.h"
#include "host/objects.h"
#include "host/pnp.h"
#include "host/registry.h"

namespace sim {

namespace {

constexpr uint32_t kPdoSignature = 0x50425355;  // 'USBP'

}  // namespace

// ---------------------------------------------------------------------------------------------
// The driver object
// ---------------------------------------------------------------------------------------------

NTSTATUS UsbBus::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = &DispatchOther;
  driver->MajorFunction[IRP_MJ_PNP] = &DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = &DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &DispatchSystemControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &DispatchInternalDeviceControl;
  driver->DriverUnload = &DriverUnload;
  return STATUS_SUCCESS;
}

// Every PDO is gone by the time the driver is unloaded (UsbBus's destructor sees to it).
VOID UsbBus::DriverUnload(PDRIVER_OBJECT driver) {}

BusDevice* UsbBus::FromPdo(PDEVICE_OBJECT pdo) {
  if (!pdo || !pdo->DeviceExtension) return nullptr;
  auto* ext = static_cast<PdoExtension*>(pdo->DeviceExtension);
  return ext->signature == kPdoSignature ? ext->device : nullptr;
}

NTSTATUS UsbBus::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  return FromPdo(device)->DispatchPnp(irp);
}

NTSTATUS UsbBus::DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  return FromPdo(device)->DispatchPower(irp);
}

NTSTATUS UsbBus::DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  return FromPdo(device)->DispatchSystemControl(irp);
}

NTSTATUS UsbBus::DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  return FromPdo(device)->DispatchInternalDeviceControl(irp);
}

// Create, close, read, write, device control ...: a USB device's PDO is not opened directly.
NTSTATUS UsbBus::DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

UsbBus::UsbBus() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = host::pnp::LoadDriver(&UsbBus::DriverEntry, kDriverName, &status);
  if (!driver_) {
    std::fprintf(stderr, "sim: the bus driver did not load (0x%08X)\n",
                 static_cast<unsigned>(status));
    std::abort();
  }
}

UsbBus::~UsbBus() {
  for (auto& d : devices_) {
    if (!d->pdo_) continue;
    // A stack still standing on the PDO is taken down as the PnP manager would at shutdown.
    if (d->pdo_->AttachedDevice) {
      if (!d->SurpriseRemoved() && !d->Removed()) host::pnp::SurpriseRemoveDevice(d->pdo_);
      host::app::File::CloseAllOn(d->pdo_);  // the removal waits for the handles
      if (d->pdo_->AttachedDevice) host::pnp::RemoveDevice(d->pdo_);
    }
  }
  for (auto& d : devices_) {
    d->usb_->Shutdown();
    if (d->pdo_) d->DeletePdo();
  }
  deferredDeletes_.clear();
  host::pnp::UnloadDriver(driver_);
  driver_ = nullptr;
}

BusDevice& UsbBus::Plug(std::unique_ptr<Modem> modem, const PlugOptions& options) {
  const unsigned number = static_cast<unsigned>(devices_.size()) + 1;
  devices_.push_back(std::make_unique<BusDevice>(this, number, std::move(modem), options));
  BusDevice& d = *devices_.back();
  try {
    d.CreatePdo(options);
  } catch (...) {
    devices_.pop_back();
    throw;
  }
  return d;
}

void UsbBus::Unplug(BusDevice& device) { device.Unplug(); }

void UsbBus::ReapDeletedPdos() {
  for (auto it = deferredDeletes_.begin(); it != deferredDeletes_.end();) {
    BusDevice* d = *it;
    if (d->pdo_ && d->pdo_->AttachedDevice) {
      ++it;
      continue;
    }
    if (d->pdo_) d->DeletePdo();
    it = deferredDeletes_.erase(it);
  }
}

// ---------------------------------------------------------------------------------------------
// One device
// ---------------------------------------------------------------------------------------------

BusDevice::BusDevice(UsbBus* bus, unsigned number, std::unique_ptr<Modem> modem,
                     const PlugOptions& options)
    : bus_(bus),
      number_(number),
      vendorId_(options.vendorId),
      productId_(options.productId),
      hub_(options.hub),
      usb_(std::make_unique<UsbStack>(number, std::move(modem), options.usb)) {
  char path[64];
  if (hub_) {
    std::snprintf(path, sizeof path, "USB\\VID_%04X&PID_%04X\\%u", vendorId_, productId_, number);
  } else {
    std::snprintf(path, sizeof path, "TAVRIN\\VID_%04X&PID_%04X&MODEM\\%u", vendorId_, productId_,
                  number);
  }
  instancePath_ = path;
  deviceStates_.fill(PowerDeviceD3);
  deviceStates_[PowerSystemUnspecified] = PowerDeviceUnspecified;
  deviceStates_[PowerSystemWorking] = PowerDeviceD0;
}

BusDevice::~BusDevice() = default;

void BusDevice::CreatePdo(const PlugOptions& options) {
  const std::u16string name16 = host::objects::ToUtf16("\\Device\\USBPDO-" + std::to_string(number_));
  UNICODE_STRING name;
  name.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(name16.c_str()));
  name.Length = static_cast<USHORT>(name16.size() * 2);
  name.MaximumLength = name.Length;
  PDEVICE_OBJECT pdo = nullptr;
  const NTSTATUS status = IoCreateDevice(bus_->driver_, sizeof(PdoExtension), &name,
                                         FILE_DEVICE_UNKNOWN, 0,
                                         FALSE, &pdo);
  if (!NT_SUCCESS(status)) {
    // A fault injected for the driver under test can land here when it is armed before the
    // modem is plugged: the plug fails, loudly, and nothing is left behind.
    throw std::runtime_error("the bus driver could not create the modem's device object: "
                             "IoCreateDevice returned " + StatusName(status));
  }
  auto* ext = static_cast<PdoExtension*>(pdo->DeviceExtension);
  ext->signature = kPdoSignature;
  ext->number = number_;
  ext->generation = 0;
  ext->bulkInPipe = ext->bulkOutPipe = ext->interruptPipe = 0;
  ext->device = this;
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  pdo_ = pdo;
  if (!host::pnp::ReportPdo(pdo, instancePath_)) {
    std::fprintf(stderr, "sim: instance path %s already in use\n", instancePath_.c_str());
    std::abort();
  }
  hardwareKey_ = host::registry::DeviceKeyPath(pdo);
  host::registry::CreateKey(hardwareKey_);
  if (options.portName) SetPortName(*options.portName);
}

void BusDevice::DeletePdo() {
  PDEVICE_OBJECT pdo = pdo_;
  pdo_ = nullptr;
  static_cast<PdoExtension*>(pdo->DeviceExtension)->device = nullptr;
  static_cast<PdoExtension*>(pdo->DeviceExtension)->signature = 0;
  host::pnp::ForgetPdo(pdo);
  IoDeleteDevice(pdo);
}

void BusDevice::Unplug() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_) return;
    unplugged_ = true;
  }
  usb_->Unplug();
}

void BusDevice::WriteHandles(bool valid) {
  auto* ext = static_cast<PdoExtension*>(pdo_->DeviceExtension);
  ext->generation = usb_->Generation();
  ext->bulkInPipe = valid ? usb_->PipeHandleWord(Pipe::BulkIn) : 0;
  ext->bulkOutPipe = valid ? usb_->PipeHandleWord(Pipe::BulkOut) : 0;
  ext->interruptPipe = valid ? usb_->PipeHandleWord(Pipe::Interrupt) : 0;
}

std::string BusDevice::HardwareKey() const { return hardwareKey_; }

std::vector<uint8_t> BusDevice::Utf16Bytes(const std::string& text, bool terminate) {
  std::u16string s = host::objects::ToUtf16(text);
  std::vector<uint8_t> bytes;
  for (char16_t c : s) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminate) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

void BusDevice::SetPortName(const std::string& name) {
  host::registry::SetValue(HardwareKey(), "PortName", REG_SZ, Utf16Bytes(name, true));
}

void BusDevice::SetPortNameRaw(ULONG type, const std::vector<uint8_t>& data) {
  host::registry::SetValue(HardwareKey(), "PortName", type, data);
}

void BusDevice::DeletePortName() { host::registry::DeleteValue(HardwareKey(), "PortName"); }

void BusDevice::SetDeviceState(SYSTEM_POWER_STATE system, DEVICE_POWER_STATE device) {
  std::lock_guard<std::mutex> lock(mutex_);
  deviceStates_.at(system) = device;
}

void BusDevice::SetDeviceStates(const std::array<DEVICE_POWER_STATE, PowerSystemMaximum>& states) {
  std::lock_guard<std::mutex> lock(mutex_);
  deviceStates_ = states;
}

void BusDevice::FailNextPnp(UCHAR minor, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  pnpFaults_[minor].push_back(status);
}

void BusDevice::FailNextPower(UCHAR minor, POWER_STATE_TYPE type, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  powerFaults_[static_cast<uint32_t>(type) << 8 | minor].push_back(status);
}

void BusDevice::FailNextWmi(UCHAR minor, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  wmiFaults_[minor].push_back(status);
}

std::optional<NTSTATUS> BusDevice::TakeFault(std::map<uint32_t, std::vector<NTSTATUS>>& faults,
                                             uint32_t key) {
  auto it = faults.find(key);
  if (it == faults.end() || it->second.empty()) return std::nullopt;
  const NTSTATUS status = it->second.front();
  it->second.erase(it->second.begin());
  return status;
}

unsigned BusDevice::PnpCount(UCHAR minor) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = pnpCounts_.find(minor);
  return it == pnpCounts_.end() ? 0 : it->second;
}

unsigned BusDevice::PowerCount(UCHAR minor) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = powerCounts_.find(minor);
  return it == powerCounts_.end() ? 0 : it->second;
}

unsigned BusDevice::WmiCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wmiCount_;
}

bool BusDevice::Started() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return started_;
}

bool BusDevice::Unplugged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unplugged_;
}

bool BusDevice::SurpriseRemoved() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return surpriseRemoved_;
}

bool BusDevice::Removed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return removed_;
}

DEVICE_POWER_STATE BusDevice::DevicePower() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devicePower_;
}

SYSTEM_POWER_STATE BusDevice::SystemPower() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return systemPower_;
}

}  // namespace sim

// The parent bus driver below the modem's function driver: a host driver of its own
// ("\Driver\usbsim") that creates one physical device object (PDO) per plugged modem, reports it
// to the PnP manager with an instance path "USB\VID_1A2B&PID_0001\<n>", owns the device's hardware
// registry key, and answers PnP, power and WMI requests at the bottom of the device's stack as a
// bus driver does. Each PDO has a UsbStack that serves the URBs sent to it.
//
// The PDO's device extension publishes the three pipe handles as 32-bit words:
//   byte offset 12: bulk-IN, 16: bulk-OUT, 20: interrupt-IN
// filled when IRP_MN_START_DEVICE is completed successfully and zeroed at stop, surprise removal
// and removal (the stack then refuses the old handles as stale). They are 0 before the first
// start.
//
// What the bus driver does with each request is in docs/device-side.md.
#pragma once

#include <wdk/wdk.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/parent_pdo.h"
#include "sim/modem.h"
#include "sim/modem_ids.h"
#include "sim/trace.h"
#include "sim/usb_descriptors.h"
#include "sim/usb_stack.h"

namespace sim {

class UsbBus;

// The PDO's device extension. Only the three handle words are an interface; the rest is ours.
struct PdoExtension {
  uint32_t signature;      // 0: 'USBP'
  uint32_t number;         // 4: the device's number on the bus
  uint32_t generation;     // 8: pipe handle generation of the last start
  uint32_t bulkInPipe;     // 12
  uint32_t bulkOutPipe;    // 16
  uint32_t interruptPipe;  // 20
  class BusDevice* device;
};
static_assert(offsetof(PdoExtension, bulkInPipe) == TAVRIN_PARENT_BULK_IN_PIPE_OFFSET);
static_assert(offsetof(PdoExtension, bulkOutPipe) == TAVRIN_PARENT_BULK_OUT_PIPE_OFFSET);
static_assert(offsetof(PdoExtension, interruptPipe) == TAVRIN_PARENT_INTERRUPT_PIPE_OFFSET);

struct PlugOptions {
  // "PortName" written to the hardware key as REG_SZ before the PDO is reported; none if empty.
  std::optional<std::string> portName;
  uint16_t vendorId = kModemVendorId;
  uint16_t productId = kModemProductId;
  UsbStackOptions usb;
  // Set: the PDO is the USB hub's, of the raw USB device (sim/bus_hub.cpp): hub IDs and instance
  // path "USB\VID_v&PID_p\<n>", GET_DESCRIPTOR and SELECT_CONFIGURATION served, the device
  // configured by SELECT_CONFIGURATION and not by the start, no handle words published. Unset:
  // the PDO is the modem's parent's (enumerator TAVRIN), configured at start.
  std::optional<HubOptions> hub;
};

// One plugged device: its PDO, its USB stack and what the bus driver keeps about it.
class BusDevice {
 public:
  BusDevice(UsbBus* bus, unsigned number, std::unique_ptr<Modem> modem,
            const PlugOptions& options);
  ~BusDevice();
  BusDevice(const BusDevice&) = delete;
  BusDevice& operator=(const BusDevice&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }  // NULL once the bus driver deleted it
  unsigned Number() const { return number_; }
  const std::string& InstancePath() const { return instancePath_; }
  UsbStack& Usb() { return *usb_; }
  BusTrace& Trace() { return usb_->Trace(); }
  Modem& GetModem() { return usb_->GetModem(); }

  // ---- The hardware key ---------------------------------------------------------------------
  std::string HardwareKey() const;
  void SetPortName(const std::string& name);  // REG_SZ with its terminating NUL
  // Any value: type and bytes exactly as given (unterminated, odd length, wrong type ...).
  void SetPortNameRaw(ULONG type, const std::vector<uint8_t>& data);
  void DeletePortName();
  // UTF-16LE bytes of `text`, with a terminating NUL if `terminate`.
  static std::vector<uint8_t> Utf16Bytes(const std::string& text, bool terminate = true);

  // ---- IRP_MN_QUERY_CAPABILITIES ------------------------------------------------------------
  // DeviceState[S] reported for each system state (default: S0 -> D0, S1..S5 -> D3).
  void SetDeviceState(SYSTEM_POWER_STATE system, DEVICE_POWER_STATE device);
  void SetDeviceStates(const std::array<DEVICE_POWER_STATE, PowerSystemMaximum>& states);

  // ---- Failure injection --------------------------------------------------------------------
  // The next request of this kind completes with `status` and has no other effect.
  void FailNextPnp(UCHAR minor, NTSTATUS status);
  void FailNextPower(UCHAR minor, POWER_STATE_TYPE type, NTSTATUS status);
  void FailNextWmi(UCHAR minor, NTSTATUS status);
  // While held, an IRP_MN_WAIT_WAKE is kept pending at the PDO (one at a time: a second fails
  // with STATUS_DEVICE_BUSY), cancellable, until ReleaseWaitWake completes it with `status` or
  // IRP_MN_REMOVE_DEVICE completes it with STATUS_NO_SUCH_DEVICE (bus_wait_wake.cpp).
  void HoldWaitWake(bool hold);
  bool ReleaseWaitWake(NTSTATUS status);  // false when none was pending
  bool WaitWakePending() const;

  // ---- Hub level (PlugOptions::hub) -----------------------------------------------------------
  bool HubLevel() const { return hub_.has_value(); }
  // The descriptors the device answers from now on.
  void SetHubOptions(const HubOptions& options);
  // The next SELECT_CONFIGURATION that names a configuration fails with these statuses.
  void FailNextSelect(NTSTATUS status, USBD_STATUS usbdStatus);
  unsigned SelectCount() const;      // SELECT_CONFIGURATION requests that named a configuration
  unsigned UnconfigureCount() const;  // those with a null descriptor
  unsigned DescriptorRequests() const;

  // ---- State ----------------------------------------------------------------------------------
  bool Started() const;
  bool Unplugged() const;
  bool SurpriseRemoved() const;
  bool Removed() const;  // IRP_MN_REMOVE_DEVICE reached the PDO
  DEVICE_POWER_STATE DevicePower() const;
  SYSTEM_POWER_STATE SystemPower() const;
  // How many requests of each minor function reached the PDO.
  unsigned PnpCount(UCHAR minor) const;
  unsigned PowerCount(UCHAR minor) const;
  unsigned WmiCount() const;

  // The PDO's dispatch routines (the bus driver's table points here through the extension).
  NTSTATUS DispatchPnp(PIRP irp);
  NTSTATUS DispatchPower(PIRP irp);
  NTSTATUS DispatchSystemControl(PIRP irp);
  NTSTATUS DispatchInternalDeviceControl(PIRP irp);

 private:
  friend class UsbBus;
  void CreatePdo(const PlugOptions& options);
  void DeletePdo();
  void Unplug();
  void WriteHandles(bool valid);
  NTSTATUS QueryCapabilities(PIO_STACK_LOCATION sp);
  NTSTATUS QueryId(PIRP irp, PIO_STACK_LOCATION sp);
  NTSTATUS QueryDeviceText(PIRP irp, PIO_STACK_LOCATION sp);
  NTSTATUS TargetRelation(PIRP irp);
  // bus_hub.cpp: GET_DESCRIPTOR and SELECT_CONFIGURATION at hub level; false: not one of them.
  bool HubControl(PIRP irp, NTSTATUS* status);
  NTSTATUS GetDescriptor(PURB urb);
  NTSTATUS SelectConfiguration(PURB urb);
  std::optional<NTSTATUS> TakeFault(std::map<uint32_t, std::vector<NTSTATUS>>& faults,
                                    uint32_t key);

  UsbBus* bus_;
  const unsigned number_;
  uint16_t vendorId_;
  uint16_t productId_;
  std::optional<HubOptions> hub_;
  std::string instancePath_;
  std::string hardwareKey_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::unique_ptr<UsbStack> usb_;
  // Guards what follows: PnP, power and WMI requests may come from different threads.
  mutable std::mutex mutex_;
  std::array<DEVICE_POWER_STATE, PowerSystemMaximum> deviceStates_;
  std::map<uint32_t, std::vector<NTSTATUS>> pnpFaults_;    // key: minor
  std::map<uint32_t, std::vector<NTSTATUS>> powerFaults_;  // key: type << 8 | minor
  std::map<uint32_t, std::vector<NTSTATUS>> wmiFaults_;
  std::map<UCHAR, unsigned> pnpCounts_;
  std::map<UCHAR, unsigned> powerCounts_;
  unsigned wmiCount_ = 0;
  std::vector<std::pair<NTSTATUS, USBD_STATUS>> selectFaults_;
  unsigned selects_ = 0;
  unsigned unconfigures_ = 0;
  unsigned descriptorRequests_ = 0;
  bool started_ = false;
  bool unplugged_ = false;
  bool surpriseRemoved_ = false;
  bool removed_ = false;
  DEVICE_POWER_STATE devicePower_ = PowerDeviceD0;
  SYSTEM_POWER_STATE systemPower_ = PowerSystemWorking;
  bool holdWaitWake_ = false;
  PIRP waitWake_ = nullptr;
  NTSTATUS PendWaitWake(PIRP irp);  // bus_wait_wake.cpp
  static VOID NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);
};

// The bus driver. One per kernel session; construct it after the host::Session and destroy it
// before (the Testbed does both).
class UsbBus {
 public:
  static constexpr const char* kDriverName = "\\Driver\\usbsim";

  UsbBus();   // loads the bus driver
  ~UsbBus();  // deletes the remaining PDOs (sending removal to stacks still on them) and unloads
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  PDRIVER_OBJECT Driver() const { return driver_; }

  // A modem is plugged in: a PDO is created and reported. Nothing is sent to it yet. Throws
  // std::runtime_error, leaving the bus as it was, when the PDO cannot be created.
  BusDevice& Plug(std::unique_ptr<Modem> modem, const PlugOptions& options = {});
  // The modem is pulled out: its transfers fail from now on. The PDO stays until the PnP
  // manager's IRP_MN_REMOVE_DEVICE reaches it; then the bus driver deletes it.
  void Unplug(BusDevice& device);

  size_t DeviceCount() const { return devices_.size(); }
  BusDevice& Device(size_t index) { return *devices_.at(index); }
  // The device whose PDO this is (NULL if it is not one of ours).
  static BusDevice* FromPdo(PDEVICE_OBJECT pdo);

  // Deletes PDOs whose removal was deferred because a device was still attached above them
  // (see docs/device-side.md). Called by the Testbed after each removal and at teardown.
  void ReapDeletedPdos();

 private:
  friend class BusDevice;
  static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
  static VOID DriverUnload(PDRIVER_OBJECT driver);
  static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp);

  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<BusDevice>> devices_;
  std::vector<BusDevice*> deferredDeletes_;
};

}  // namespace sim

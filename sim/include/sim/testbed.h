// A whole stack in a few lines: a kernel session, the parent bus driver, modems plugged into it,
// the function driver under test loaded and added on top of each PDO.
//
//   sim::Testbed tb({.mode = host::Mode::Deterministic, .driverEntry = DriverEntry,
//                    .portName = "COM7"});
//   tb.LoadDriver();
//   tb.Plug(std::make_unique<sim::ScriptedModem>());
//   tb.AddDevice();
//   tb.Start();
//   ... open "COM7" with host::app::File, drive it ...
//   tb.modem<sim::ScriptedModem>().PushBulkIn("hello");
//   tb.session().Pump();
//   EXPECT_EQ(tb.trace().NextLine(), "RESET bulk-in");
//
// The testbed knows nothing of the driver beyond its entry point (and an optional callback when
// a device is added). At the end it takes everything down in order — every device stack still
// standing is removed as the PnP manager would (query-remove and remove, or surprise removal and
// remove when the query is refused), the driver is unloaded, then the bus driver — so that the
// verifier's unload and end-of-session checks see what the driver left behind.
#pragma once

#include <wdk/wdk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/session.h"
#include "sim/bus.h"
#include "sim/modem.h"
#include "sim/trace.h"
#include "sim/usb_stack.h"

namespace sim {

// The INF files of the tree (drivers/*/x86/*.inf), found and read now by the host's PnP manager
// (host::pnp::AddInfFile); and the service those INFs choose for a PDO from the hardware and
// compatible IDs it reports ("" if none binds it).
void ReadTreeInfs();
std::string ServiceChosenByInfs(PDEVICE_OBJECT pdo);

struct TestbedOptions {
  host::Mode mode = host::Mode::Deterministic;
  PDRIVER_INITIALIZE driverEntry = nullptr;
  // "PortName" of the first device plugged without one of its own (none if empty).
  std::optional<std::string> portName;
  std::string driverName = "\\Driver\\tavrinmdm";
  // Called after AddDevice succeeded, with the device object it attached on top of the PDO (for
  // example to declare the driver's locks to the verifier).
  std::function<void(PDEVICE_OBJECT fdo)> onDeviceAdded;
  // Applied to every plugged device unless its PlugOptions say otherwise.
  UsbStackOptions usb;
  // Kernel session options (`mode` above takes precedence over session.mode).
  host::SessionOptions session;
  // The chain (sim/src/testbed_chain.cpp): with the entry point of the modem's parent bus driver,
  // every modem is plugged at hub level (the raw USB device, PlugOptions::hub), AddDevice loads
  // the bus driver's FDO on the hub's PDO, starts it and enumerates its child, and the driver under
  // test is added on the child. pdo(i) is then the child (NULL until AddDevice enumerated it).
  PDRIVER_INITIALIZE busEntry = nullptr;
  std::string busName = "\\Driver\\tavrinbus";
  // Called after the bus driver's AddDevice, with its FDO.
  std::function<void(PDEVICE_OBJECT fdo)> onBusDeviceAdded;
};

class Testbed {
 public:
  explicit Testbed(TestbedOptions options);
  ~Testbed();  // Teardown()
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  host::Session& session() { return *session_; }
  UsbBus& bus() { return *bus_; }
  PDRIVER_OBJECT driver() const { return driver_; }
  const TestbedOptions& options() const { return options_; }

  // Loads the driver under test (DriverEntry's status is returned).
  NTSTATUS LoadDriver();
  // Unloads it, as the PnP manager does once its last device is removed (without waiting for
  // anything the driver left running); Teardown does it otherwise.
  void UnloadDriver();
  // Plugs a modem in; returns its index (0, 1, ...). Without a port name the first device gets
  // the testbed's portName and the others none; the USB options are the testbed's.
  size_t Plug(std::unique_ptr<Modem> modem);
  size_t Plug(std::unique_ptr<Modem> modem, const std::string& portName);
  // Exactly these options.
  size_t Plug(std::unique_ptr<Modem> modem, const PlugOptions& options);
  // The PnP manager's part, for device `i` (default: the last one plugged).
  NTSTATUS AddDevice(std::optional<size_t> i = std::nullopt);
  NTSTATUS Start(std::optional<size_t> i = std::nullopt);
  NTSTATUS QueryStop(std::optional<size_t> i = std::nullopt);
  NTSTATUS CancelStop(std::optional<size_t> i = std::nullopt);
  NTSTATUS Stop(std::optional<size_t> i = std::nullopt);
  NTSTATUS QueryRemove(std::optional<size_t> i = std::nullopt);
  NTSTATUS CancelRemove(std::optional<size_t> i = std::nullopt);
  NTSTATUS SurpriseRemove(std::optional<size_t> i = std::nullopt);
  NTSTATUS Remove(std::optional<size_t> i = std::nullopt);
  // The bus driver's part: the modem is pulled out (its transfers fail from now on). The PnP
  // requests that follow a real unplug are the test's to send (SurpriseRemove, then Remove).
  void Unplug(std::optional<size_t> i = std::nullopt);
  // Unplug, SurpriseRemove and Remove in a row.
  void UnplugAndRemove(std::optional<size_t> i = std::nullopt);

  size_t DeviceCount() const { return devices_.size(); }
  BusDevice& device(size_t i = 0) { return *devices_.at(i).bus; }
  UsbStack& usb(size_t i = 0) { return device(i).Usb(); }
  PDEVICE_OBJECT pdo(size_t i = 0) { return devices_.at(i).pdo; }
  // The chain: the hub's PDO of the USB device, the bus driver's FDO on it (NULL once removed),
  // and the bus driver's object.
  PDEVICE_OBJECT hubPdo(size_t i = 0) { return devices_.at(i).hubPdo; }
  PDEVICE_OBJECT busFdo(size_t i = 0);
  PDRIVER_OBJECT busDriver() const { return busDriver_; }
  bool chain() const { return options_.busEntry != nullptr; }
  // The chain's PnP steps for the USB device (the hub's PDO), as the PnP manager takes them for a
  // parent: its children first on the way down, the parent first on the way up. ParentStop
  // stops the child and then the USB device; ParentStart starts the USB device, enumerates and
  // starts the child; ParentSurpriseRemove (after Unplug) surprise-removes the child and then
  // the USB device; ParentRemove removes the child (waiting for its handles) and then the USB
  // device.
  NTSTATUS ParentStop(std::optional<size_t> i = std::nullopt);
  NTSTATUS ParentStart(std::optional<size_t> i = std::nullopt);
  NTSTATUS ParentSurpriseRemove(std::optional<size_t> i = std::nullopt);
  NTSTATUS ParentRemove(std::optional<size_t> i = std::nullopt);
  // System power for the whole chain: the child's stack and then the USB device's on the way
  // down, the reverse on the way up (S0).
  NTSTATUS SystemPower(SYSTEM_POWER_STATE state, std::optional<size_t> i = std::nullopt);
  // The device object AddDevice put on top of the PDO (NULL before AddDevice or after removal).
  PDEVICE_OBJECT fdo(size_t i = 0);
  template <class M>
  M& modem(size_t i = 0) {
    return dynamic_cast<M&>(device(i).GetModem());
  }
  // Device i's trace cursor, persistent across calls. It starts by ignoring the bus-driver
  // entries (PnP, power, WMI); Show() them back or use device(i).Trace() for everything.
  TraceCursor& trace(size_t i = 0) { return devices_.at(i).cursor; }
  BusTrace& fullTrace(size_t i = 0) { return device(i).Trace(); }

  // Deterministic mode: runs everything runnable (Session::Pump).
  void Pump() { session_->Pump(); }

  // Takes everything down; called by the destructor. Safe to call twice.
  void Teardown();

 private:
  struct Device {
    BusDevice* bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    TraceCursor cursor;
    PDEVICE_OBJECT hubPdo = nullptr;     // the chain
    std::optional<std::string> portName;  // the chain: written on the child's hardware key
    std::string childName;                // the chain: the child's device name, while it lives
  };
  size_t Index(std::optional<size_t> i) const;
  void AfterRemove(size_t i);
  // testbed_chain.cpp
  NTSTATUS ChainAddDevice(size_t i);
  NTSTATUS Enumerate(size_t i);
  void ChainTeardown(size_t i);
  PDRIVER_OBJECT busDriver_ = nullptr;

  TestbedOptions options_;
  std::unique_ptr<host::Session> session_;
  std::unique_ptr<UsbBus> bus_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<Device> devices_;
  bool tornDown_ = false;
};

}  // namespace sim

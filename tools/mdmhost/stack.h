// The whole machine the program runs the driver in: a host kernel session, the simulated USB bus
// with its modems, and the driver — loaded, given devices, sent PnP and power requests and
// unloaded on command. Every step is explicit, so the demo can narrate it and a scenario can
// state it; Teardown() takes down whatever is still standing, in the order the PnP manager would.
//
// The verifier's reports are collected (ViolationLog) instead of ending the process, so that a
// broken rule becomes a line in the transcript or a failed expectation.
#pragma once

#include <wdk/wdk.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "sim/bus.h"
#include "sim/modem.h"
#include "sim/trace.h"
#include "tavrinmdm/extension.h"

namespace mdmhost {

enum class ModemModel { Scripted, At, Loopback };
std::optional<ModemModel> ParseModel(const std::string& name);
const char* ModelName(ModemModel model);
std::unique_ptr<sim::Modem> MakeModem(ModemModel model);

// Collects verifier reports for as long as it lives (the previous handler comes back after).
// Thread-safe: reports may come from any kernel thread.
class ViolationLog {
 public:
  struct Entry {
    host::verifier::Violation violation;
    int tag;  // what the owner was doing (a scenario's line number), -1 if nothing
  };
  ViolationLog();
  ~ViolationLog();
  ViolationLog(const ViolationLog&) = delete;
  ViolationLog& operator=(const ViolationLog&) = delete;

  void SetTag(int tag);
  std::vector<Entry> All() const;
  size_t Count() const;
  // Removes and returns the entries not yet taken.
  std::vector<Entry> Take();
  // Removes the first entry of `rule`; false if there is none.
  bool Claim(host::verifier::Rule rule);
  // Calls `echo` for each report as it arrives (the demo prints them at once).
  void SetEcho(std::function<void(const host::verifier::Violation&)> echo);

 private:
  void Add(const host::verifier::Violation& violation);
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  size_t total_ = 0;
  int tag_ = -1;
  std::function<void(const host::verifier::Violation&)> echo_;
};

// The driver's own counters a scenario looks at, read from its device record in one place
// (Stack::Counters), so that a binding of the driver with another record layout (a loaded x86
// image) can supply them too.
struct DriverCounters {
  LONG ioCount = 0;          // IoCount: transfers in flight plus one for the open port
  LONG removeLockHolds = 0;  // holds on RemoveLock: its count without the lock's own bias
  bool removeLockRemoved = false;  // release-and-wait has begun
};

class Stack {
 public:
  static constexpr const char* kDriverName = "\\Driver\\tavrinmdm";

  struct Device {
    std::string label;
    ModemModel model;
    std::optional<std::string> portName;  // as plugged
    sim::BusDevice* bus = nullptr;
    sim::TraceCursor cursor;  // ignores the bus driver's entries unless shown
    // The chain (chain.cpp): the modem's PDO the parent bus driver enumerated on the raw USB
    // device (bus->Pdo() is then the hub's PDO), and its name while it lives.
    PDEVICE_OBJECT child = nullptr;
    std::string childName;
  };

  explicit Stack(const host::SessionOptions& options);
  ~Stack();
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  host::Session& session() { return *session_; }
  bool Deterministic() const { return session_ && session_->mode() == host::Mode::Deterministic; }
  void Pump() { session_->Pump(); }

  // ---- The driver ---------------------------------------------------------------------------
  bool Loaded() const { return driver_ != nullptr; }
  PDRIVER_OBJECT driver() const { return driver_; }
  NTSTATUS LoadDriver();
  // Calls the unload routine and the verifier's unload checks. Device objects of the driver that
  // are still present are reported by the PnP manager's checks.
  void UnloadDriver();

  // ---- Devices ------------------------------------------------------------------------------
  // Devices plugged from now on keep only the latest `entries` entries of their bus trace
  // (sim::BusTrace::Keep); 0 keeps everything (the default).
  void KeepTraces(size_t entries) { traceKeep_ = entries; }
  // Plugs a modem into the bus (a PDO with its hardware key; "PortName" written when given).
  size_t Plug(ModemModel model, std::optional<std::string> portName, const std::string& label,
              std::unique_ptr<sim::Modem> modem = nullptr);
  size_t DeviceCount() const { return devices_.size(); }
  Device& device(size_t i) { return devices_.at(i); }
  std::optional<size_t> FindDevice(const std::string& label) const;
  sim::UsbStack& usb(size_t i) { return devices_.at(i).bus->Usb(); }
  sim::Modem& modem(size_t i) { return devices_.at(i).bus->GetModem(); }
  // NULL once the bus driver has deleted it (after the removal of an unplugged device). In the
  // chain, the modem's PDO its parent enumerated (NULL until AddDevice enumerated it).
  PDEVICE_OBJECT Pdo(size_t i) const {
    return chain_ ? devices_.at(i).child : devices_.at(i).bus->Pdo();
  }
  bool Chain() const { return chain_; }
  // The chain: a PnP step for the USB device's own stack (the parent bus driver's); after a start
  // the parent's bus relations are asked for again. A removal forgets a child it deleted.
  NTSTATUS ParentPnp(size_t i, UCHAR minor);
  NTSTATUS ParentSystemPower(size_t i, SYSTEM_POWER_STATE state);
  PDRIVER_OBJECT busDriver() const { return busDriver_; }
  // The driver's device object on top of the PDO (NULL before AddDevice or after removal).
  PDEVICE_OBJECT Fdo(size_t i) const;
  PDEVICE_EXTENSION Extension(size_t i) const;
  // The driver's counters for device i (nullopt while it has no driver device object).
  std::optional<DriverCounters> Counters(size_t i) const;
  // The name of one of the driver's routines (a slot of its driver object), as the driver's
  // binding knows it (binding.h).
  std::string RoutineName(const void* routine) const;

  // Waits (bounded, real or virtual time) until no handle of device i is open in the driver:
  // a CloseHandle sends IRP_MJ_CLOSE only once the handle's last request has finished, which in
  // threaded mode may be a moment after CloseHandle returned. False if it did not happen.
  bool WaitUntilClosed(size_t i, int milliseconds);

  // The PnP manager's part. Precondition: the driver is loaded and the PDO exists.
  NTSTATUS AddDevice(size_t i);
  // Any PnP minor function, sent to the top of the device's stack; after a removal the bus
  // driver's deferred PDO deletion is run.
  // IDs, texts and device relations the drivers return are released as the PnP manager would,
  // unless the caller asks for the Information (then they are the caller's).
  NTSTATUS Pnp(size_t i, UCHAR minor, ULONG_PTR* information = nullptr);
  // IRP_MN_QUERY_CAPABILITIES prepared as the PnP manager prepares it.
  NTSTATUS QueryCapabilities(size_t i, DEVICE_CAPABILITIES* caps, USHORT version = 1);
  NTSTATUS SystemPower(size_t i, UCHAR minor, SYSTEM_POWER_STATE state);
  NTSTATUS DevicePower(size_t i, UCHAR minor, DEVICE_POWER_STATE state);
  // The modem is pulled out (the bus driver's part); the PnP requests are the caller's.
  void Unplug(size_t i);

  // Takes everything down: each stack still standing is removed (query-remove and remove, or
  // surprise removal and remove when the query is refused, or just remove after a surprise
  // removal), the driver is unloaded, the bus driver too, and the session ends with its checks.
  // Safe to call twice.
  void Teardown();
  bool TornDown() const { return tornDown_; }

 private:
  // chain.cpp: the parent bus driver between the raw USB device and the port driver.
  NTSTATUS ChainAddDevice(size_t i);
  NTSTATUS Enumerate(size_t i);
  void ChainAfterPnp(size_t i, UCHAR minor);
  void ChainTeardown(size_t i);
  void ForgetDeletedChild(size_t i);

  std::unique_ptr<host::Session> session_;
  std::unique_ptr<sim::UsbBus> bus_;
  PDRIVER_OBJECT driver_ = nullptr;
  bool chain_ = false;
  PDRIVER_OBJECT busDriver_ = nullptr;
  std::vector<Device> devices_;
  size_t traceKeep_ = 0;
  bool tornDown_ = false;
};

}  // namespace mdmhost

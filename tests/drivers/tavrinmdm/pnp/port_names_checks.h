// What the port's names look like from outside the driver: the DOS link in the object
// namespace, the device's value under SERIALCOMM, and the state of the device's interface.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "host/host.h"
#include "port_testbed.h"
#include "sim/bus.h"
#include "tavrinmdm/add_device.h"
#include "tavrinmdm/pnp/pnp.h"

namespace nametest {

// A testbed with the driver loaded and one scripted modem added but not started. `portName`
// empty: no "PortName" value at all.
struct Added : porttest::PortTestbed {
  explicit Added(const std::string& portName = "COM7") : PortTestbed(Options(portName)) {
    EXPECT_EQ(LoadDriver(), STATUS_SUCCESS);
    Plug(std::make_unique<sim::ScriptedModem>());
    if (portName.empty()) device().DeletePortName();
    EXPECT_EQ(AddDevice(), STATUS_SUCCESS);
  }
  static porttest::PortTestbedOptions Options(const std::string& portName) {
    porttest::PortTestbedOptions o;
    o.start = false;
    o.portName = portName;
    return o;
  }
};

inline std::string DeviceNameOf(PDEVICE_OBJECT fdo) { return host::objects::DeviceName(fdo); }

inline std::optional<std::string> LinkTarget(const std::string& portName) {
  return host::objects::SymbolicLinkTarget("\\DosDevices\\" + portName);
}

inline std::optional<host::registry::Value> SerialCommValue(const std::string& deviceName) {
  return host::registry::GetValue(host::registry::kSerialComm, deviceName);
}

// The driver's interface on this PDO: nullopt if never registered.
inline std::optional<bool> InterfaceEnabled(PDEVICE_OBJECT pdo) {
  for (const host::objects::InterfaceInfo& i : host::objects::Interfaces()) {
    if (i.pdo == pdo && memcmp(&i.classGuid, &GUID_DEVINTERFACE_TAVRINMDM, sizeof(GUID)) == 0) {
      return i.enabled;
    }
  }
  return std::nullopt;
}

inline std::vector<uint8_t> Utf16z(const std::string& text) {
  return sim::BusDevice::Utf16Bytes(text, true);
}

// Link, SERIALCOMM value (REG_SZ, the name and its NUL) and, when `interfaceEnabled` is given,
// the interface's state.
inline void ExpectNamed(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo, const std::string& portName,
                        std::optional<bool> interfaceEnabled = true) {
  const std::string device = DeviceNameOf(fdo);
  EXPECT_EQ(LinkTarget(portName), device) << "link \\DosDevices\\" << portName;
  std::optional<host::registry::Value> value = SerialCommValue(device);
  ASSERT_TRUE(value.has_value()) << "SERIALCOMM value " << device;
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(value->data, Utf16z(portName));
  if (interfaceEnabled.has_value()) {
    EXPECT_EQ(InterfaceEnabled(pdo).value_or(false), *interfaceEnabled);
  }
}

// No link, no SERIALCOMM value, interface not enabled, no DOS name kept.
inline void ExpectUnnamed(PDEVICE_OBJECT pdo, const std::string& portName,
                          const std::string& device) {
  EXPECT_EQ(LinkTarget(portName), std::nullopt) << "link \\DosDevices\\" << portName;
  EXPECT_EQ(SerialCommValue(device).has_value(), false) << "SERIALCOMM value " << device;
  EXPECT_FALSE(InterfaceEnabled(pdo).value_or(false));
}

}  // namespace nametest

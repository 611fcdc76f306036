// Test support for the driver: a full stack (kernel session, bus driver, modem, the driver loaded
// and added) with the driver's lock order declared to the verifier, plus small helpers for the
// requests tests send most.
//
//   porttest::PortTestbed tb;            // deterministic, scripted modem, PortName COM7, started
//   host::app::File port = tb.Open();    // "COM7", asserts success
//   tb.modem().PushBulkIn("hello");
//   tb.Pump();
//   auto r = port.Read(100);
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver_locks.h"
#include "host/host.h"
#include "sim/scripted_modem.h"
#include "sim/testbed.h"
#include "tavrinmdm/entry.h"
#include "tavrinmdm/extension.h"

namespace porttest {

PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT fdo);

struct PortTestbedOptions {
  host::Mode mode = host::Mode::Deterministic;
  std::string portName = "COM7";
  // Load, plug a scripted modem, add and start the device in the constructor.
  bool start = true;
  // The modem; a ScriptedModem when empty.
  std::unique_ptr<sim::Modem> modem;
  sim::UsbStackOptions usb;
  host::SessionOptions session;
  // The real chain below the driver: the USB device at hub level and the modem's parent bus
  // driver (tavrinbus) enumerating the PDO the driver is added on.
  bool chain = false;
  sim::HubOptions hub;
};

// The parent bus driver's entry point in the host build.
extern "C" NTSTATUS TavrinBusDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

class PortTestbed : public sim::Testbed {
 public:
  PortTestbed();
  explicit PortTestbed(PortTestbedOptions options);

  PDEVICE_EXTENSION Ext(size_t i = 0) { return ExtensionOf(fdo(i)); }
  sim::ScriptedModem& modem(size_t i = 0) { return Testbed::modem<sim::ScriptedModem>(i); }

  // Opens the port (default: the first device's port name) and asserts success.
  host::app::File Open(const std::string& name = "");
  NTSTATUS TryOpen(host::app::File* file, const std::string& name = "");

 private:
  std::string portName_;
};

// Control requests with typed input and output.
host::app::IoResult Ioctl(host::app::File& file, ULONG code, const void* input = nullptr,
                          ULONG inputLength = 0, ULONG outputLength = 0);
template <class In>
host::app::IoResult IoctlIn(host::app::File& file, ULONG code, const In& input) {
  return Ioctl(file, code, &input, sizeof(In), 0);
}
template <class Out>
Out IoctlOut(host::app::File& file, ULONG code, NTSTATUS* status = nullptr) {
  host::app::IoResult r = Ioctl(file, code, nullptr, 0, sizeof(Out));
  if (status != nullptr) *status = r.status;
  Out out{};
  if (r.output.size() >= sizeof(Out)) memcpy(&out, r.output.data(), sizeof(Out));
  return out;
}

std::vector<uint8_t> Bytes(const std::string& text);
std::string Text(const std::vector<uint8_t>& bytes);

}  // namespace porttest

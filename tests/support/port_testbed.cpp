#include "port_testbed.h"

namespace porttest {

PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT fdo) {
  return fdo == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
}

static sim::TestbedOptions MakeTestbedOptions(const PortTestbedOptions& options) {
  sim::TestbedOptions t;
  t.mode = options.mode;
  t.driverEntry = DriverEntry;
  t.portName = options.portName;
  t.onDeviceAdded = DeclareDriverLocks;
  t.usb = options.usb;
  t.session = options.session;
  if (options.chain) t.busEntry = TavrinBusDriverEntry;
  return t;
}

PortTestbed::PortTestbed() : PortTestbed(PortTestbedOptions{}) {}

PortTestbed::PortTestbed(PortTestbedOptions options)
    : sim::Testbed(MakeTestbedOptions(options)), portName_(options.portName) {
  if (!options.start) return;
  EXPECT_EQ(LoadDriver(), STATUS_SUCCESS);
  sim::PlugOptions plug;
  plug.usb = options.usb;
  plug.portName = options.portName;
  if (options.chain) plug.hub = options.hub;
  Plug(options.modem ? std::move(options.modem) : std::make_unique<sim::ScriptedModem>(), plug);
  EXPECT_EQ(AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Start(), STATUS_SUCCESS);
}

NTSTATUS PortTestbed::TryOpen(host::app::File* file, const std::string& name) {
  return host::app::File::Open(name.empty() ? portName_ : name, file);
}

host::app::File PortTestbed::Open(const std::string& name) {
  host::app::File file;
  NTSTATUS status = TryOpen(&file, name);
  EXPECT_EQ(status, STATUS_SUCCESS) << "opening " << (name.empty() ? portName_ : name);
  return file;
}

host::app::IoResult Ioctl(host::app::File& file, ULONG code, const void* input, ULONG inputLength,
                          ULONG outputLength) {
  return file.DeviceIoControl(code, input, inputLength, outputLength);
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace porttest

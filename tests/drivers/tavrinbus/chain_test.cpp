// The whole chain on the host kernel: the USB device at hub level, the modem's parent bus driver
// (tavrinbus) on it, the port driver (tavrinmdm) on the child the parent enumerates. What the
// parent reads, selects and publishes; the child's IDs and capabilities; bytes both ways; the
// descriptor variants and a failed selection failing the parent's start; unplugging mid-stream
// with the port open; stopping and restarting the USB device; system sleep with the port open.
// The verifier watches both drivers throughout (a report fails the test).
#include <gtest/gtest.h>

#include "common/parent_pdo.h"
#include "host/debug.h"
#include "port_testbed.h"

namespace {

using porttest::PortTestbed;
using porttest::PortTestbedOptions;

PortTestbedOptions Chain(bool start = true, sim::HubOptions hub = {}) {
  PortTestbedOptions o;
  o.chain = true;
  o.start = start;
  o.hub = hub;
  return o;
}

const TAVRIN_PARENT_PDO_HEAD& Words(PDEVICE_OBJECT child) {
  return *static_cast<const TAVRIN_PARENT_PDO_HEAD*>(child->DeviceExtension);
}

std::string Id(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
  ULONG_PTR info = 0;
  EXPECT_EQ(host::pnp::SendPnp(pdo, IRP_MN_QUERY_ID,
                               [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
                               &info),
            STATUS_SUCCESS);
  auto* text = reinterpret_cast<const char16_t*>(info);
  std::string out;
  for (const char16_t* p = text; p && (*p || p[1]); ++p) out += *p ? static_cast<char>(*p) : '|';
  ExFreePool(reinterpret_cast<PVOID>(info));
  return out;
}

TEST(BusChain, TheParentSelectsTheModemAndPublishesItsPipesToTheChild) {
  PortTestbed tb(Chain());
  PDEVICE_OBJECT child = tb.pdo();
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(tb.device().SelectCount(), 1u);
  EXPECT_EQ(host::pnp::InstancePath(child), "TAVRIN\\VID_1A2B&PID_0001&MODEM\\1&0000");
  EXPECT_EQ(Id(child, BusQueryHardwareIDs), "TAVRIN\\VID_1A2B&PID_0001&MODEM");
  EXPECT_EQ(Id(child, BusQueryCompatibleIDs), "TAVRIN\\MODEM");

  sim::UsbStack& usb = tb.usb();
  EXPECT_EQ(Words(child).BulkInPipe, usb.PipeHandleWord(sim::Pipe::BulkIn));
  EXPECT_EQ(Words(child).BulkOutPipe, usb.PipeHandleWord(sim::Pipe::BulkOut));
  EXPECT_EQ(Words(child).InterruptPipe, usb.PipeHandleWord(sim::Pipe::Interrupt));
  EXPECT_NE(Words(child).BulkInPipe, 0u);

  DEVICE_CAPABILITIES caps;
  ASSERT_EQ(host::pnp::QueryCapabilities(child, &caps), STATUS_SUCCESS);
  EXPECT_TRUE(caps.Removable);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);

  host::app::File port = tb.Open();
  ASSERT_EQ(port.Write("ATZ\r", 4).status, STATUS_SUCCESS);
  tb.Pump();
  EXPECT_EQ(tb.modem().BulkOut(), "ATZ\r");
  tb.modem().PushBulkIn("OK\r\n");
  tb.Pump();
  host::app::IoResult r = port.Read(4);
  EXPECT_EQ(porttest::Text(r.output), "OK\r\n");
}

TEST(BusChain, ADeviceThatIsNotACdcModemOrCannotBeConfiguredFailsTheParentsStart) {
  for (sim::DescriptorVariant v : sim::AllDescriptorVariants()) {
    const bool good = v == sim::DescriptorVariant::Standard ||
                      v == sim::DescriptorVariant::SecondConfiguration;
    SCOPED_TRACE(sim::DescriptorVariantName(v));
    PortTestbed tb(Chain(false, {v, 512, 0x0100}));
    ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
    sim::PlugOptions plug;
    plug.portName = "COM7";
    plug.hub = sim::HubOptions{v, 512, 0x0100};
    tb.Plug(std::make_unique<sim::ScriptedModem>(), plug);
    const NTSTATUS status = tb.AddDevice();
    if (good) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(tb.device().SelectCount(), 1u);
    } else {
      EXPECT_EQ(status, STATUS_DEVICE_CONFIGURATION_ERROR);
      EXPECT_EQ(tb.device().SelectCount(), 0u);  // nothing selected on a device refused
      EXPECT_EQ(tb.busFdo(), nullptr);           // the failed stack was removed
    }
  }
  PortTestbed tb(Chain(false));
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  sim::PlugOptions plug;
  plug.hub = sim::HubOptions{};
  tb.Plug(std::make_unique<sim::ScriptedModem>(), plug);
  tb.device().FailNextSelect(STATUS_UNSUCCESSFUL, USBD_STATUS_NO_BANDWIDTH);
  EXPECT_EQ(tb.AddDevice(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tb.pdo(), nullptr);
}

TEST(BusChain, UnplugMidStreamWithThePortOpenFailsTheTransfersAndDeletesTheChildAtItsRemoval) {
  PortTestbed tb(Chain());
  host::app::File port = tb.Open();
  host::app::Request read = port.ReadAsync(16);
  tb.Pump();
  tb.Unplug();
  ASSERT_EQ(tb.ParentSurpriseRemove(), STATUS_SUCCESS);
  tb.Pump();
  EXPECT_EQ(Words(tb.pdo()).BulkInPipe, 0u);
  // The child's URBs now fail at the parent with the device-gone statuses.
  EXPECT_NE(port.Write("x", 1).status, STATUS_SUCCESS);
  URB urb{};
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  host::app::Request raw = host::app::SendRaw(
      tb.pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, 0, 0,
      PASSIVE_LEVEL,
      [&urb](PIRP irp) { IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb; });
  EXPECT_EQ(raw.Wait().status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  read.Wait();
  EXPECT_EQ(host::pnp::RelationsInvalidated(tb.hubPdo()), 1u);
  port.Close();
  ASSERT_EQ(tb.ParentRemove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.pdo(), nullptr);  // reported missing and removed: deleted
  EXPECT_EQ(tb.busFdo(), nullptr);
}

TEST(BusChain, StopAndRestartUnconfiguresAndSelectsAgainWithNewHandles) {
  PortTestbed tb(Chain());
  const uint32_t first = Words(tb.pdo()).BulkOutPipe;
  ASSERT_EQ(tb.ParentStop(), STATUS_SUCCESS);
  EXPECT_EQ(tb.device().UnconfigureCount(), 1u);
  EXPECT_EQ(Words(tb.pdo()).BulkOutPipe, 0u);
  EXPECT_FALSE(tb.usb().Configured());
  PDEVICE_OBJECT child = tb.pdo();
  ASSERT_EQ(tb.ParentStart(), STATUS_SUCCESS);
  EXPECT_EQ(tb.pdo(), child);  // the same child, started again
  EXPECT_EQ(tb.device().SelectCount(), 2u);
  EXPECT_NE(Words(child).BulkOutPipe, 0u);
  EXPECT_NE(Words(child).BulkOutPipe, first);
  host::app::File port = tb.Open();
  ASSERT_EQ(port.Write("AT\r", 3).status, STATUS_SUCCESS);
  tb.Pump();
  EXPECT_EQ(tb.modem().BulkOut(), "AT\r");
}

TEST(BusChain, SleepWithThePortOpenPowersTheUsbDeviceDownAndBackUp) {
  PortTestbed tb(Chain());
  host::app::File port = tb.Open();
  ASSERT_EQ(tb.SystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
  tb.Pump();
  EXPECT_EQ(tb.device().DevicePower(), PowerDeviceD3);
  EXPECT_EQ(host::pnp::ReportedDevicePowerState(tb.pdo()), PowerDeviceD3);
  ASSERT_EQ(tb.SystemPower(PowerSystemWorking), STATUS_SUCCESS);
  tb.Pump();
  EXPECT_EQ(tb.device().DevicePower(), PowerDeviceD0);
  tb.modem().PushBulkIn("RING\r\n");
  tb.Pump();
  EXPECT_EQ(porttest::Text(port.Read(6).output), "RING\r\n");
}

}  // namespace

namespace {

// The port driver loaded on the raw USB device (as an INF binding a USB\ ID would load it):
// it must refuse the start without reading the hub's extension as pipe handles.
TEST(BusChain, ThePortDriverRefusesAPdoThatItsParentDidNotEnumerate) {
  PortTestbed tb(Chain(false));
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  sim::PlugOptions plug;
  plug.portName = "COM7";
  plug.hub = sim::HubOptions{};
  // Without the bus driver in between: the testbed's plain mode on a hub-level device.
  sim::BusDevice& raw = tb.bus().Plug(std::make_unique<sim::ScriptedModem>(), plug);
  ASSERT_EQ(host::pnp::AddDevice(tb.driver(), raw.Pdo()), STATUS_SUCCESS);
  host::debug::ClearDbgPrint();
  EXPECT_EQ(host::pnp::StartDevice(raw.Pdo()), STATUS_NOT_SUPPORTED);
  EXPECT_NE(host::debug::DbgPrintText().find("enumerator is \"USB\""), std::string::npos)
      << host::debug::DbgPrintText();
  host::pnp::RemoveDevice(raw.Pdo());
}

}  // namespace

namespace {

// The PnP manager's choice from INF files read at run time: the tree's INFs bind the USB device
// to tavrinbus and the child to tavrinmdm (the chain above would stop at AddDevice otherwise);
// a hardware ID ranks before a compatible ID; an INF without the device's IDs binds nothing.
TEST(BusChain, TheTreesInfsChooseEachDriverOfTheChain) {
  PortTestbed tb(Chain());
  EXPECT_EQ(sim::ServiceChosenByInfs(tb.hubPdo()), "tavrinbus");
  EXPECT_EQ(sim::ServiceChosenByInfs(tb.pdo()), "tavrinmdm");

  const std::string dir = ::testing::TempDir();
  const std::string path = dir + "/chain_choice.inf";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("[Manufacturer]\n%M% = Models\n[Models]\n"
             "%D% = Generic, TAVRIN\\MODEM\n%D% = Wrong, TAVRIN\\VID_1A2B&PID_0002&MODEM\n"
             "[Generic.NT]\n[Generic.NT.Services]\nAddService = generic, 0x00000002, S\n"
             "[Wrong.NT]\n[Wrong.NT.Services]\nAddService = wrong, 0x00000002, S\n",
             f);
  std::fclose(f);
  ASSERT_TRUE(host::pnp::AddInfFile(path));
  // The tree's INF names the child's hardware ID: it outranks a compatible-ID match.
  EXPECT_EQ(sim::ServiceChosenByInfs(tb.pdo()), "tavrinmdm");
  EXPECT_EQ(host::pnp::SelectService({"TAVRIN\\VID_1A2B&PID_0009&MODEM"}, {"TAVRIN\\MODEM"}),
            "tavrinmdm");  // both INFs name TAVRIN\MODEM; the tree's was read first
  EXPECT_EQ(host::pnp::SelectService({"TAVRIN\\VID_1A2B&PID_0002&MODEM"}, {}), "wrong");
  EXPECT_EQ(host::pnp::SelectService({"USB\\VID_FFFF&PID_0001"}, {"USB\\Class_FF"}), "");
  host::pnp::ClearInfFiles();
}

}  // namespace

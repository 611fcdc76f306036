// The driver's frame: loading, the banners, the request table, system control and internal
// device control.

#include <algorithm>
#include <regex>

#include "port_testbed.h"
#include "tavrinmdm/add_device.h"
#include "tavrinmdm/control.h"
#include "tavrinmdm/pnp/pnp.h"

namespace {

using host::app::IoResult;
using porttest::PortTestbed;
using porttest::PortTestbedOptions;

// STATUS_WMI_GUID_NOT_FOUND, as a lower driver could answer.
constexpr NTSTATUS kWmiGuidNotFound = (NTSTATUS)0xC0000295L;

const std::string kRule = std::string(79, '*') + "\n";

// A request straight to the device object, with IoStatus.Information preset so a test can see
// whether the driver touched it.
IoResult SendPreset(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, ULONG code,
                    ULONG_PTR presetInformation = 77) {
  host::app::Request r = host::app::SendRaw(
      device, major, minor, code, nullptr, 0, 0, PASSIVE_LEVEL,
      [presetInformation](PIRP irp) { irp->IoStatus.Information = presetInformation; });
  return r.Wait();
}

PortTestbedOptions Unstarted() {
  PortTestbedOptions o;
  o.start = false;
  return o;
}

TEST(FrameEntry, LoadPrintsTheBannerInThreeCalls) {
  PortTestbed tb(Unstarted());
  host::debug::ClearDbgPrint();
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);

  std::vector<std::string> calls = host::debug::DbgPrintCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], kRule);
  // The build's one version, as the image's version resource also carries it.
  const std::string version = std::regex_replace(TAVRIN_VERSION, std::regex("\\."), "\\.");
  EXPECT_TRUE(std::regex_match(
      calls[1], std::regex("RIVEZUVE\\(" + version + "\\)  Time: [0-9]{2}:[0-9]{2}:[0-9]{2}"
                           "  Date: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} LOADED \n")))
      << calls[1];
  EXPECT_EQ(calls[2], kRule + "\n");
}

TEST(FrameEntry, UnloadPrintsTheUnloadBannerAndNothingElse) {
  PortTestbed tb(Unstarted());
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  host::debug::ClearDbgPrint();
  tb.Teardown();  // no device was added: only the unload runs

  std::vector<std::string> calls = host::debug::DbgPrintCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], kRule);
  EXPECT_NE(calls[1].find(" UNLOADED \n"), std::string::npos) << calls[1];
  EXPECT_EQ(calls[1].rfind("RIVEZUVE(", 0), 0u);
  EXPECT_EQ(calls[2], kRule + "\n");
}

TEST(FrameEntry, WithoutWdm10TheDriverDoesNotLoadAndPrintsNothing) {
  PortTestbed tb(Unstarted());
  host::verifier::SetWdmVersion(0, 0x90);
  host::debug::ClearDbgPrint();

  // Called on a driver object of the test's own, so the table can be inspected afterwards.
  DRIVER_EXTENSION extension = {};
  DRIVER_OBJECT driver = {};
  driver.DriverExtension = &extension;
  EXPECT_EQ(DriverEntry(&driver, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(driver.DriverUnload, nullptr);
  EXPECT_EQ(extension.AddDevice, nullptr);
  for (PDRIVER_DISPATCH routine : driver.MajorFunction) EXPECT_EQ(routine, nullptr);
  EXPECT_TRUE(host::debug::DbgPrintCalls().empty());

  // Through the host's loader the load fails the same way.
  EXPECT_EQ(tb.LoadDriver(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tb.driver(), nullptr);
}

TEST(FrameEntry, FillsExactlyTheElevenRequestSlots) {
  PortTestbed tb(Unstarted());
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  PDRIVER_OBJECT driver = tb.driver();
  const UCHAR served[] = {IRP_MJ_CREATE,         IRP_MJ_CLOSE,          IRP_MJ_READ,
                          IRP_MJ_WRITE,          IRP_MJ_FLUSH_BUFFERS,  IRP_MJ_DEVICE_CONTROL,
                          IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_POWER,
                          IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP};
  PDRIVER_DISPATCH defaultRoutine = driver->MajorFunction[IRP_MJ_QUERY_INFORMATION];
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    bool isServed = std::find(std::begin(served), std::end(served), major) != std::end(served);
    if (isServed) {
      EXPECT_NE(driver->MajorFunction[major], defaultRoutine) << "major " << major;
    } else {
      EXPECT_EQ(driver->MajorFunction[major], defaultRoutine) << "major " << major;
    }
  }
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], &DispatchPnp);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], &DispatchSystemControl);
  EXPECT_EQ(driver->DriverExtension->AddDevice, &AddDevice);
  EXPECT_EQ(driver->DriverStartIo, nullptr);
  EXPECT_EQ(driver->FastIoDispatch, nullptr);
}

TEST(FrameEntry, UnservedMajorCodesFailAsTheIoManagerDefault) {
  PortTestbed tb;
  for (UCHAR major : {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_SHUTDOWN}) {
    IoResult r = SendPreset(tb.fdo(), major, 0, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST) << "major " << int(major);
  }
}

struct InternalCase {
  ULONG code;
  NTSTATUS status;
};

TEST(FrameInternalControl, AnswersTheFourSerialCodesAndRefusesOthers) {
  PortTestbed tb;
  const InternalCase cases[] = {
      {IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, STATUS_NOT_SUPPORTED},
      {IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, STATUS_SUCCESS},
      {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_NOT_SUPPORTED},
      {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, STATUS_NOT_SUPPORTED},
      {IOCTL_SERIAL_SET_BAUD_RATE + 0x400000, STATUS_INVALID_PARAMETER},
      {IOCTL_INTERNAL_USB_SUBMIT_URB, STATUS_INVALID_PARAMETER},
      {0, STATUS_INVALID_PARAMETER},
  };
  EXPECT_EQ(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0x1B0008u);
  sim::TraceCursor all = tb.fullTrace().CursorAtEnd();
  for (const InternalCase& c : cases) {
    IoResult r = SendPreset(tb.fdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, c.code);
    EXPECT_EQ(r.status, c.status) << std::hex << c.code;
    EXPECT_EQ(r.information, 0u) << std::hex << c.code;
  }
  // Never passed down: nothing reached the bottom of the stack.
  EXPECT_EQ(all.Next().kind, sim::TraceKind::End);
}

TEST(FrameInternalControl, RefusedWithInformationUntouchedOnceTheDeviceIsGone) {
  PortTestbed tb;
  tb.Unplug();
  ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
  IoResult r = SendPreset(tb.fdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                          IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 1234);
  EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(r.information, 1234u);
}

TEST(FrameSystemControl, WmiRequestReachesTheBusUnchangedWithItsStatus) {
  PortTestbed tb;
  unsigned before = tb.device().WmiCount();
  sim::TraceCursor all = tb.fullTrace().CursorAtEnd();
  int dataPath = 0;
  host::app::Request r = host::app::SendRaw(
      tb.fdo(), IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, 0, nullptr, 0, 0, PASSIVE_LEVEL,
      [&](PIRP irp) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Parameters.WMI.ProviderId = 0x5A5A;
        next->Parameters.WMI.DataPath = &dataPath;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      });
  IoResult result = r.Wait();
  EXPECT_EQ(tb.device().WmiCount(), before + 1);
  // The bus driver is no WMI provider: it completes with the status untouched.
  EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
  sim::TraceEntry e = all.Next();
  ASSERT_EQ(e.kind, sim::TraceKind::Wmi);
  EXPECT_EQ(e.minor, IRP_MN_QUERY_ALL_DATA);
  EXPECT_EQ(e.wmiProviderId, 0x5A5Au);
  EXPECT_EQ(e.wmiDataPath, &dataPath);

  // A failure below comes back as it is.
  tb.device().FailNextWmi(IRP_MN_QUERY_ALL_DATA, kWmiGuidNotFound);
  EXPECT_EQ(SendPreset(tb.fdo(), IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, 0).status,
            kWmiGuidNotFound);
}

TEST(FrameSystemControl, RefusedWithInformationUntouchedAfterSurpriseRemoval) {
  PortTestbed tb;
  tb.Unplug();
  ASSERT_EQ(tb.SurpriseRemove(), STATUS_SUCCESS);
  unsigned before = tb.device().WmiCount();
  IoResult r = SendPreset(tb.fdo(), IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, 0, 4321);
  EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(r.information, 4321u);
  EXPECT_EQ(tb.device().WmiCount(), before);
}

TEST(FrameSystemControl, RefusedWhenTheModemIsMarkedGone) {
  PortTestbed tb;
  tb.Ext()->DeviceGone = DEVICE_GONE_MARK;
  unsigned before = tb.device().WmiCount();
  EXPECT_EQ(SendPreset(tb.fdo(), IRP_MJ_SYSTEM_CONTROL, 0, 0).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(SendPreset(tb.fdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                       IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE).status,
            STATUS_DELETE_PENDING);
  EXPECT_EQ(tb.device().WmiCount(), before);
}

}  // namespace

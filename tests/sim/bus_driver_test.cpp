// The parent bus driver: its PDOs, the hardware key, and its answers to PnP, power and WMI.

#include <gtest/gtest.h>

#include "usb_client.h"

namespace sim::testing {
namespace {

class BusDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    TestbedOptions options;
    options.portName = "COM7";
    tb_ = std::make_unique<Testbed>(options);
    tb_->Plug(std::make_unique<ScriptedModem>());
  }
  Testbed& tb() { return *tb_; }
  BusDevice& dev() { return tb_->device(); }
  PDEVICE_OBJECT pdo() { return tb_->pdo(); }

  std::unique_ptr<Testbed> tb_;
};

TEST_F(BusDriver, PdoIsABusEnumeratedPowerPageableDeviceOfTheBusDriver) {
  PDEVICE_OBJECT p = pdo();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->DriverObject, tb().bus().Driver());
  EXPECT_TRUE(p->Flags & DO_BUS_ENUMERATED_DEVICE);
  EXPECT_TRUE(p->Flags & DO_POWER_PAGABLE);
  EXPECT_FALSE(p->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(host::pnp::InstancePath(p), "TAVRIN\\VID_1A2B&PID_0001&MODEM\\1");
  EXPECT_EQ(host::pnp::StackTop(p), p);
  EXPECT_EQ(UsbBus::FromPdo(p), &dev());

  const size_t second = tb().Plug(std::make_unique<ScriptedModem>());
  EXPECT_EQ(host::pnp::InstancePath(tb().pdo(second)), "TAVRIN\\VID_1A2B&PID_0001&MODEM\\2");
  EXPECT_EQ(tb().usb(second).Number(), 2u);
}

// A fault armed for the driver under test can be taken by the bus driver's own IoCreateDevice
// when the modem is plugged after it: the plug fails with a clear error and leaves the bus as it
// was, ready for the next plug.
TEST_F(BusDriver, APlugWhoseDeviceObjectCannotBeCreatedFailsCleanly) {
  host::verifier::FailService("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
  try {
    tb().Plug(std::make_unique<ScriptedModem>());
    ADD_FAILURE() << "the plug should have failed";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("STATUS_INSUFFICIENT_RESOURCES"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(tb().DeviceCount(), 1u);
  const size_t second = tb().Plug(std::make_unique<ScriptedModem>());
  EXPECT_NE(tb().pdo(second), nullptr);
  EXPECT_EQ(host::pnp::InstancePath(tb().pdo(second)), "TAVRIN\\VID_1A2B&PID_0001&MODEM\\2");
}

TEST_F(BusDriver, HardwareKeyHoldsThePortNameAsTheTestSetsIt) {
  const std::string key = host::registry::DeviceKeyPath(pdo());
  EXPECT_EQ(dev().HardwareKey(), key);
  auto v = host::registry::GetValue(key, "PortName");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(v->data, BusDevice::Utf16Bytes("COM7"));
  EXPECT_EQ(v->data.size(), 10u);  // C O M 7 NUL

  dev().SetPortNameRaw(REG_SZ, {'C', 0, 'O', 0, 'M'});  // odd length
  EXPECT_EQ(host::registry::GetValue(key, "PortName")->data.size(), 5u);
  std::vector<uint8_t> unterminated = BusDevice::Utf16Bytes(std::string(64, 'X'), false);
  ASSERT_EQ(unterminated.size(), 128u);
  dev().SetPortNameRaw(REG_SZ, unterminated);
  EXPECT_EQ(host::registry::GetValue(key, "PortName")->data, unterminated);
  dev().SetPortNameRaw(REG_DWORD, {7, 0, 0, 0});
  EXPECT_EQ(host::registry::GetValue(key, "PortName")->type, static_cast<ULONG>(REG_DWORD));
  dev().DeletePortName();
  EXPECT_FALSE(host::registry::GetValue(key, "PortName").has_value());

  // A device plugged without a name has none.
  const size_t second = tb().Plug(std::make_unique<ScriptedModem>());
  EXPECT_FALSE(host::registry::GetValue(tb().device(second).HardwareKey(), "PortName"));
}

TEST_F(BusDriver, StartPublishesThreeDistinctHandlesAtOffsets12To20) {
  EXPECT_EQ(ExtensionWord(pdo(), 12), 0u);
  ASSERT_EQ(tb().Start(), STATUS_SUCCESS);
  EXPECT_TRUE(dev().Started());
  const uint32_t in = ExtensionWord(pdo(), 12), out = ExtensionWord(pdo(), 16),
                 intr = ExtensionWord(pdo(), 20);
  EXPECT_EQ(in, dev().Usb().PipeHandleWord(Pipe::BulkIn));
  EXPECT_EQ(out, dev().Usb().PipeHandleWord(Pipe::BulkOut));
  EXPECT_EQ(intr, dev().Usb().PipeHandleWord(Pipe::Interrupt));
  EXPECT_TRUE(in && out && intr && in != out && out != intr && in != intr);

  ASSERT_EQ(tb().QueryStop(), STATUS_SUCCESS);
  ASSERT_EQ(tb().CancelStop(), STATUS_SUCCESS);
  EXPECT_EQ(ExtensionWord(pdo(), 12), in);  // a cancelled stop changes nothing
  ASSERT_EQ(tb().QueryStop(), STATUS_SUCCESS);
  ASSERT_EQ(tb().Stop(), STATUS_SUCCESS);
  EXPECT_FALSE(dev().Started());
  EXPECT_EQ(ExtensionWord(pdo(), 12), 0u);
  EXPECT_EQ(ExtensionWord(pdo(), 16), 0u);
  EXPECT_EQ(ExtensionWord(pdo(), 20), 0u);
  ASSERT_EQ(tb().Start(), STATUS_SUCCESS);
  EXPECT_NE(ExtensionWord(pdo(), 12), in);
  EXPECT_EQ(dev().PnpCount(IRP_MN_START_DEVICE), 2u);
}

TEST_F(BusDriver, InjectedPnpFailuresFailOneRequestWithNoEffect) {
  dev().FailNextPnp(IRP_MN_START_DEVICE, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(tb().Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(dev().Started());
  EXPECT_EQ(ExtensionWord(pdo(), 12), 0u);
  EXPECT_EQ(tb().Start(), STATUS_SUCCESS);

  dev().FailNextPnp(IRP_MN_CANCEL_STOP_DEVICE, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tb().QueryStop(), STATUS_SUCCESS);
  EXPECT_EQ(tb().CancelStop(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tb().CancelStop(), STATUS_SUCCESS);
  dev().FailNextPnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY);
  EXPECT_EQ(tb().QueryRemove(), STATUS_DEVICE_BUSY);
  EXPECT_EQ(dev().Trace().Cursor().Ignore(TraceKind::InSubmit).Rest(),
            (std::vector<std::string>{"PNP START_DEVICE -> STATUS_INSUFFICIENT_RESOURCES",
                                      "PNP START_DEVICE", "PNP QUERY_STOP_DEVICE",
                                      "PNP CANCEL_STOP_DEVICE -> STATUS_UNSUCCESSFUL",
                                      "PNP CANCEL_STOP_DEVICE",
                                      "PNP QUERY_REMOVE_DEVICE -> STATUS_DEVICE_BUSY"}));
}

TEST_F(BusDriver, CapabilitiesFollowTheDeviceStateTable) {
  DEVICE_CAPABILITIES caps;
  ASSERT_EQ(host::pnp::QueryCapabilities(pdo(), &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.Version, 1);
  EXPECT_EQ(caps.Removable, 1u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
  EXPECT_EQ(caps.UniqueID, 0u);
  EXPECT_EQ(caps.DeviceD1, 0u);
  EXPECT_EQ(caps.Address, 1u);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
    EXPECT_EQ(caps.DeviceState[s], PowerDeviceD3) << s;
  }
  EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);

  dev().SetDeviceState(PowerSystemSleeping3, PowerDeviceD2);
  dev().SetDeviceState(PowerSystemHibernate, PowerDeviceUnspecified);
  ASSERT_EQ(host::pnp::QueryCapabilities(pdo(), &caps, /*version=*/0), STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
  EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceUnspecified);
  EXPECT_EQ(dev().PnpCount(IRP_MN_QUERY_CAPABILITIES), 2u);
}

TEST_F(BusDriver, AnswersIdsTextAndTargetRelationLikeAHub) {
  ULONG_PTR info = 0;
  ASSERT_EQ(host::pnp::SendPnp(pdo(), IRP_MN_QUERY_DEVICE_RELATIONS,
                               [](PIO_STACK_LOCATION sp) {
                                 sp->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
                               },
                               &info),
            STATUS_SUCCESS);
  auto* rel = reinterpret_cast<PDEVICE_RELATIONS>(info);
  ASSERT_NE(rel, nullptr);
  EXPECT_EQ(rel->Count, 1u);
  EXPECT_EQ(rel->Objects[0], pdo());
  ObDereferenceObject(rel->Objects[0]);
  ExFreePool(rel);

  // Other relations are not the child's to answer.
  EXPECT_EQ(host::pnp::SendPnp(pdo(), IRP_MN_QUERY_DEVICE_RELATIONS,
                               [](PIO_STACK_LOCATION sp) {
                                 sp->Parameters.QueryDeviceRelations.Type = BusRelations;
                               }),
            STATUS_NOT_SUPPORTED);

  auto id = [&](BUS_QUERY_ID_TYPE type, bool multi = false) {
    ULONG_PTR p = 0;
    EXPECT_EQ(host::pnp::SendPnp(pdo(), IRP_MN_QUERY_ID,
                                 [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
                                 &p),
              STATUS_SUCCESS);
    std::string s;
    auto* w = reinterpret_cast<const WCHAR*>(p);
    // Multi-strings: join with '|' up to the double NUL.
    while (w && *w) {
      if (!s.empty()) s += '|';
      s += host::objects::ToUtf8(w);
      if (!multi) break;
      while (*w) ++w;
      ++w;
    }
    if (p) ExFreePool(reinterpret_cast<PVOID>(p));
    return s;
  };
  // The IDs the modem's parent gives its child (the hub's for the raw device: BusChain tests).
  EXPECT_EQ(id(BusQueryDeviceID), "TAVRIN\\VID_1A2B&PID_0001&MODEM");
  EXPECT_EQ(id(BusQueryHardwareIDs, true), "TAVRIN\\VID_1A2B&PID_0001&MODEM");
  EXPECT_EQ(id(BusQueryCompatibleIDs, true), "TAVRIN\\MODEM");
  EXPECT_EQ(id(BusQueryInstanceID), "1");

  ULONG_PTR text = 0;
  ASSERT_EQ(host::pnp::SendPnp(pdo(), IRP_MN_QUERY_DEVICE_TEXT,
                               [](PIO_STACK_LOCATION sp) {
                                 sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
                               },
                               &text),
            STATUS_SUCCESS);
  EXPECT_EQ(host::objects::ToUtf8(reinterpret_cast<const WCHAR*>(text)),
            "Simulated USB modem (scripted)");
  ExFreePool(reinterpret_cast<PVOID>(text));
}

TEST_F(BusDriver, UnsupportedMinorsKeepTheirStatus) {
  for (int minor : {IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_EJECT,
                    IRP_MN_DEVICE_USAGE_NOTIFICATION, 0x18, 0x42}) {
    EXPECT_EQ(host::pnp::SendPnp(pdo(), static_cast<UCHAR>(minor)), STATUS_NOT_SUPPORTED) << minor;
  }
  EXPECT_EQ(host::pnp::SendPnp(pdo(), IRP_MN_QUERY_RESOURCES), STATUS_SUCCESS);
  const std::vector<std::string> lines = dev().Trace().Lines();
  EXPECT_EQ(lines[0], "PNP QUERY_INTERFACE -> STATUS_NOT_SUPPORTED");
  EXPECT_EQ(lines[4], "PNP QUERY_LEGACY_BUS_INFORMATION -> STATUS_NOT_SUPPORTED");
  EXPECT_EQ(lines[5], "PNP 0x42 -> STATUS_NOT_SUPPORTED");
}

TEST_F(BusDriver, DevicePowerIsRecordedReportedAndAppliedToTheFunction) {
  ASSERT_EQ(tb().Start(), STATUS_SUCCESS);
  ASSERT_EQ(host::pnp::SendDevicePower(pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(dev().DevicePower(), PowerDeviceD3);
  EXPECT_FALSE(dev().Usb().Powered());
  EXPECT_EQ(host::pnp::ReportedDevicePowerState(pdo()), PowerDeviceD3);
  ASSERT_EQ(host::pnp::SendDevicePower(pdo(), IRP_MN_QUERY_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(dev().DevicePower(), PowerDeviceD3);  // a query changes nothing
  ASSERT_EQ(host::pnp::SendDevicePower(pdo(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_TRUE(dev().Usb().Powered());

  ASSERT_EQ(host::pnp::SendSystemPower(pdo(), IRP_MN_SET_POWER, PowerSystemSleeping3),
            STATUS_SUCCESS);
  EXPECT_EQ(dev().SystemPower(), PowerSystemSleeping3);
  EXPECT_EQ(dev().Trace().Cursor().Ignore(TraceKind::Pnp).Rest(),
            (std::vector<std::string>{"POWER SET_POWER D3", "POWER QUERY_POWER D0",
                                      "POWER SET_POWER D0", "POWER SET_POWER S3"}));
}

TEST_F(BusDriver, InjectedPowerFailuresAndUnsupportedPowerMinors) {
  dev().FailNextPower(IRP_MN_SET_POWER, DevicePowerState, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(host::pnp::SendDevicePower(pdo(), IRP_MN_SET_POWER, PowerDeviceD3),
            STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(dev().DevicePower(), PowerDeviceD0);  // the failed request changed nothing
  EXPECT_EQ(host::pnp::SendDevicePower(pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);

  auto wake = host::pnp::SendPowerAsync(pdo(), IRP_MN_WAIT_WAKE);
  const NTSTATUS before = STATUS_NOT_SUPPORTED;  // what the power manager starts it with
  EXPECT_EQ(wake.Wait().status, before);
  EXPECT_EQ(dev().PowerCount(IRP_MN_WAIT_WAKE), 1u);
  EXPECT_EQ(dev().PowerCount(IRP_MN_SET_POWER), 2u);
}

TEST_F(BusDriver, WmiRequestsAreRecordedAsTheyArrivedAndLeftUntouched) {
  char buffer[32];
  auto r = host::app::SendRaw(pdo(), IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO, 0, nullptr, 0, 0,
                              PASSIVE_LEVEL, [&](PIRP irp) {
                                PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
                                sp->Parameters.WMI.ProviderId = 0x1234;
                                sp->Parameters.WMI.DataPath = buffer + 1;
                                sp->Parameters.WMI.BufferSize = sizeof buffer;
                                sp->Parameters.WMI.Buffer = buffer;
                                irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
                              });
  EXPECT_EQ(r.Wait().status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(dev().WmiCount(), 1u);
  TraceEntry e = dev().Trace().Cursor().NextOf(TraceKind::Wmi);
  EXPECT_EQ(e.ToString(), "WMI REGINFO -> STATUS_NOT_SUPPORTED");
  EXPECT_EQ(e.wmiProviderId, 0x1234u);
  EXPECT_EQ(e.wmiDataPath, buffer + 1);
  EXPECT_EQ(e.wmiBufferSize, sizeof buffer);
  EXPECT_EQ(e.wmiBuffer, buffer);

  dev().FailNextWmi(IRP_MN_QUERY_ALL_DATA, STATUS_UNSUCCESSFUL);
  auto f = host::app::SendRaw(pdo(), IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, 0, nullptr, 0, 0);
  EXPECT_EQ(f.Wait().status, STATUS_UNSUCCESSFUL);
}

TEST_F(BusDriver, OtherRequestsToThePdoAreInvalid) {
  auto r = host::app::SendRaw(pdo(), IRP_MJ_DEVICE_CONTROL, 0, 0x1B0004, nullptr, 0, 0);
  EXPECT_EQ(r.Wait().status, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace sim::testing

// The bus driver's answers to IRP_MJ_POWER and IRP_MJ_SYSTEM_CONTROL at a PDO.
//
// Power: SET_POWER and QUERY_POWER succeed; a device SET_POWER records the new state, tells the
// power manager (PoSetPowerState) and powers the USB function up or down (leaving D0 fails the
// transfers then pending, as a suspended port does; see UsbStack::SetPowered). WAIT_WAKE and
// POWER_SEQUENCE are completed with their status untouched (the device cannot wake the system).
// Every power request gets PoStartNextPowerIrp before it is completed.
//
// WMI: the PDO is no WMI provider; requests are completed with their status untouched and
// recorded with their parameters as they arrived, so a test can check that the function driver
// passed them down unchanged.

#include <cstdio>

#include "sim/bus.h"

namespace sim {

namespace {

const char* WmiMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA:
      return "QUERY_ALL_DATA";
    case IRP_MN_QUERY_SINGLE_INSTANCE:
      return "QUERY_SINGLE_INSTANCE";
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
      return "CHANGE_SINGLE_INSTANCE";
    case IRP_MN_CHANGE_SINGLE_ITEM:
      return "CHANGE_SINGLE_ITEM";
    case IRP_MN_ENABLE_EVENTS:
      return "ENABLE_EVENTS";
    case IRP_MN_DISABLE_EVENTS:
      return "DISABLE_EVENTS";
    case IRP_MN_ENABLE_COLLECTION:
      return "ENABLE_COLLECTION";
    case IRP_MN_DISABLE_COLLECTION:
      return "DISABLE_COLLECTION";
    case IRP_MN_REGINFO:
      return "REGINFO";
    case IRP_MN_EXECUTE_METHOD:
      return "EXECUTE_METHOD";
    case 0x0B:
      return "REGINFO_EX";
  }
  return nullptr;
}

}  // namespace

NTSTATUS BusDevice::DispatchPower(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const UCHAR minor = sp->MinorFunction;
  const bool setOrQuery = minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
  const POWER_STATE_TYPE type = setOrQuery ? sp->Parameters.Power.Type : SystemPowerState;
  const POWER_STATE state = sp->Parameters.Power.State;
  NTSTATUS status = irp->IoStatus.Status;
  std::optional<NTSTATUS> fault;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++powerCounts_[minor];
    fault = TakeFault(powerFaults_, static_cast<uint32_t>(type) << 8 | minor);
  }
  bool powerChange = false;
  if (!fault && minor == IRP_MN_WAIT_WAKE) {
    bool hold;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hold = holdWaitWake_;
    }
    if (hold) return PendWaitWake(irp);
  }
  if (fault) {
    status = *fault;
  } else if (setOrQuery) {
    status = STATUS_SUCCESS;
    if (minor == IRP_MN_SET_POWER) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (type == DevicePowerState) {
        devicePower_ = state.DeviceState;
        powerChange = true;
      } else {
        systemPower_ = state.SystemState;
      }
    }
  }

  TraceEntry e;
  e.kind = TraceKind::Power;
  e.major = IRP_MJ_POWER;
  e.minor = minor;
  e.powerType = type;
  e.powerState = type == DevicePowerState ? static_cast<ULONG>(state.DeviceState)
                                          : static_cast<ULONG>(state.SystemState);
  if (!setOrQuery) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", minor);
    e.detail = buf;
  }
  e.status = status;
  usb_->RecordBusRequest(std::move(e));

  if (powerChange) {
    PoSetPowerState(pdo_, DevicePowerState, state);
    usb_->SetPowered(state.DeviceState == PowerDeviceD0);
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusDevice::DispatchSystemControl(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const UCHAR minor = sp->MinorFunction;
  NTSTATUS status = irp->IoStatus.Status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wmiCount_;
    if (auto fault = TakeFault(wmiFaults_, minor)) status = *fault;
  }
  TraceEntry e;
  e.kind = TraceKind::Wmi;
  e.major = IRP_MJ_SYSTEM_CONTROL;
  e.minor = minor;
  const char* name = WmiMinorName(minor);
  if (name) {
    e.detail = name;
  } else {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", minor);
    e.detail = buf;
  }
  e.wmiProviderId = sp->Parameters.WMI.ProviderId;
  e.wmiDataPath = sp->Parameters.WMI.DataPath;
  e.wmiBufferSize = sp->Parameters.WMI.BufferSize;
  e.wmiBuffer = sp->Parameters.WMI.Buffer;
  e.status = status;
  usb_->RecordBusRequest(std::move(e));
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace sim

// The bus driver's answers to IRP_MJ_PNP at a PDO.
//
// START configures the USB device (a new generation of pipe handles in the extension); STOP,
// SURPRISE_REMOVAL and REMOVE deconfigure it (handles zeroed, pending transfers failed);
// REMOVE of an unplugged device deletes the PDO. The query and cancel requests succeed.
// QUERY_CAPABILITIES, QUERY_DEVICE_RELATIONS(TargetDeviceRelation), QUERY_ID and
// QUERY_DEVICE_TEXT are answered as a USB hub answers them for its child; QUERY_RESOURCES and
// QUERY_RESOURCE_REQUIREMENTS succeed with nothing; everything else is completed with its status
// untouched. Any of them can be failed once with FailNextPnp.

#include <cstdio>
#include <cstring>

#include "host/objects.h"
#include "sim/bus.h"

namespace sim {

namespace {

const char* PnpMinorName(UCHAR minor) {
  static const char* const kNames[] = {
      "START_DEVICE",          "QUERY_REMOVE_DEVICE",
      "REMOVE_DEVICE",         "CANCEL_REMOVE_DEVICE",
      "STOP_DEVICE",           "QUERY_STOP_DEVICE",
      "CANCEL_STOP_DEVICE",    "QUERY_DEVICE_RELATIONS",
      "QUERY_INTERFACE",       "QUERY_CAPABILITIES",
      "QUERY_RESOURCES",       "QUERY_RESOURCE_REQUIREMENTS",
      "QUERY_DEVICE_TEXT",     "FILTER_RESOURCE_REQUIREMENTS",
      "0x0E",                  "READ_CONFIG",
      "WRITE_CONFIG",          "EJECT",
      "SET_LOCK",              "QUERY_ID",
      "QUERY_PNP_DEVICE_STATE", "QUERY_BUS_INFORMATION",
      "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL",
      "QUERY_LEGACY_BUS_INFORMATION"};
  return minor < sizeof kNames / sizeof kNames[0] ? kNames[minor] : nullptr;
}

// A counted copy of `text` (UTF-8 in, UTF-16 out) in paged pool, as the PnP manager expects
// the answers to QUERY_ID and QUERY_DEVICE_TEXT: the caller frees it. `multi`: '\n' separates
// strings of a REG_MULTI_SZ list, which ends with an extra NUL.
PWCHAR PoolString(const std::string& text, bool multi) {
  std::u16string s = host::objects::ToUtf16(text);
  if (multi) {
    for (char16_t& c : s) {
      if (c == u'\n') c = 0;
    }
    s.push_back(0);
  }
  const size_t bytes = (s.size() + 1) * sizeof(char16_t);
  auto* p = static_cast<PWCHAR>(ExAllocatePool(PagedPool, bytes));
  if (p) std::memcpy(p, s.c_str(), bytes);
  return p;
}

}  // namespace

NTSTATUS BusDevice::DispatchPnp(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const UCHAR minor = sp->MinorFunction;
  NTSTATUS status = irp->IoStatus.Status;  // untouched unless answered below
  bool deconfigure = false;
  bool completeWaitWake = false;
  bool deletePdo = false;
  std::optional<NTSTATUS> fault;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++pnpCounts_[minor];
    fault = TakeFault(pnpFaults_, minor);
  }
  if (fault) {
    status = *fault;
    irp->IoStatus.Information = 0;
  } else {
    switch (minor) {
      case IRP_MN_START_DEVICE:
        if (!hub_) {  // at hub level the function driver selects the configuration
          usb_->Configure();
          WriteHandles(true);
        }
        {
          std::lock_guard<std::mutex> lock(mutex_);
          started_ = true;
          devicePower_ = PowerDeviceD0;
        }
        usb_->SetPowered(true);
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_REMOVE_DEVICE: {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = false;
        if (minor == IRP_MN_SURPRISE_REMOVAL) surpriseRemoved_ = true;
        if (minor == IRP_MN_REMOVE_DEVICE) {
          removed_ = true;
          completeWaitWake = true;
          // A present device keeps its PDO (it is enumerated again); a pulled-out one is gone.
          deletePdo = unplugged_;
        }
        deconfigure = true;
        status = STATUS_SUCCESS;
        break;
      }
      case IRP_MN_QUERY_CAPABILITIES:
        status = QueryCapabilities(sp);
        break;
      case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
          status = TargetRelation(irp);
        }
        break;
      case IRP_MN_QUERY_ID:
        status = QueryId(irp, sp);
        break;
      case IRP_MN_QUERY_DEVICE_TEXT:
        status = QueryDeviceText(irp, sp);
        break;
      case IRP_MN_QUERY_RESOURCES:
      case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        // A USB function has no hardware resources of its own.
        irp->IoStatus.Information = 0;
        status = STATUS_SUCCESS;
        break;
      default:
        break;
    }
  }

  TraceEntry e;
  e.kind = TraceKind::Pnp;
  e.major = IRP_MJ_PNP;
  e.minor = minor;
  const char* name = PnpMinorName(minor);
  if (name) {
    e.detail = name;
  } else {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", minor);
    e.detail = buf;
  }
  e.status = status;
  usb_->RecordBusRequest(std::move(e));

  if (deconfigure) {
    usb_->Deconfigure();
    WriteHandles(false);
  }
  // The device is gone: a wait-wake still pending at the PDO ends now.
  if (completeWaitWake) ReleaseWaitWake(STATUS_NO_SUCH_DEVICE);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (deletePdo) {
    // The function driver detaches from the PDO after its removal returns; until then the PDO
    // must stay. Deleted now if nothing is attached, else by UsbBus::ReapDeletedPdos.
    if (pdo_->AttachedDevice == nullptr) {
      DeletePdo();
    } else {
      bus_->deferredDeletes_.push_back(this);
    }
  }
  return status;
}

NTSTATUS BusDevice::QueryCapabilities(PIO_STACK_LOCATION sp) {
  PDEVICE_CAPABILITIES c = sp->Parameters.DeviceCapabilities.Capabilities;
  if (!c) return STATUS_INVALID_PARAMETER;
  // A hub's child: removable, no unique serial number, surprise removal not declared OK (the
  // function driver adds what it wants on the way back up), no D1/D2, no wake.
  c->DeviceD1 = 0;
  c->DeviceD2 = 0;
  c->LockSupported = 0;
  c->EjectSupported = 0;
  c->Removable = 1;
  c->DockDevice = 0;
  c->UniqueID = 0;
  c->SilentInstall = 0;
  c->RawDeviceOK = 0;
  c->SurpriseRemovalOK = 0;
  c->WakeFromD0 = 0;
  c->WakeFromD1 = 0;
  c->WakeFromD2 = 0;
  c->WakeFromD3 = 0;
  c->HardwareDisabled = 0;
  c->Address = number_;
  c->UINumber = number_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int s = 0; s < PowerSystemMaximum; ++s) c->DeviceState[s] = deviceStates_[s];
  }
  c->SystemWake = PowerSystemUnspecified;
  c->DeviceWake = PowerDeviceUnspecified;
  c->D1Latency = 0;
  c->D2Latency = 0;
  c->D3Latency = 0;
  return STATUS_SUCCESS;
}

// The relation list belongs to the caller, who frees it and dereferences the PDO.
NTSTATUS BusDevice::TargetRelation(PIRP irp) {
  auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS)));
  if (!rel) return STATUS_INSUFFICIENT_RESOURCES;
  rel->Count = 1;
  rel->Objects[0] = pdo_;
  ObReferenceObject(pdo_);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
  return STATUS_SUCCESS;
}

NTSTATUS BusDevice::QueryId(PIRP irp, PIO_STACK_LOCATION sp) {
  char ids[64];
  // At hub level the IDs the USB hub driver gives the raw device; otherwise those the modem's
  // parent gives its child.
  if (hub_) {
    std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X", vendorId_, productId_);
  } else {
    std::snprintf(ids, sizeof ids, "TAVRIN\\VID_%04X&PID_%04X&MODEM", vendorId_, productId_);
  }
  const std::string device = ids;
  std::string text;
  bool multi = false;
  switch (sp->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      text = device;
      break;
    case BusQueryHardwareIDs:
      if (hub_) {
        char rev[16];
        std::snprintf(rev, sizeof rev, "&REV_%04X", hub_->revision);
        text = device + rev + "\n" + device + "\n";
      } else {
        text = device + "\n";
      }
      multi = true;
      break;
    case BusQueryCompatibleIDs:
      text = hub_ ? "USB\\Class_02&SubClass_02&Prot_01\nUSB\\Class_02&SubClass_02\nUSB\\Class_02\n"
                  : "TAVRIN\\MODEM\n";
      multi = true;
      break;
    case BusQueryInstanceID:
      text = std::to_string(number_);
      break;
    default:
      return irp->IoStatus.Status;
  }
  if (multi) text.pop_back();  // the list's own terminator is added by PoolString
  PWCHAR p = PoolString(text, multi);
  if (!p) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(p);
  return STATUS_SUCCESS;
}

NTSTATUS BusDevice::QueryDeviceText(PIRP irp, PIO_STACK_LOCATION sp) {
  std::string text;
  switch (sp->Parameters.QueryDeviceText.DeviceTextType) {
    case DeviceTextDescription:
      text = std::string("Simulated USB modem (") + usb_->GetModem().Name() + ")";
      break;
    case DeviceTextLocationInformation: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "Port_#%04u.Hub_#0001", number_);
      text = buf;
      break;
    }
    default:
      return irp->IoStatus.Status;
  }
  PWCHAR p = PoolString(text, false);
  if (!p) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(p);
  return STATUS_SUCCESS;
}

}  // namespace sim

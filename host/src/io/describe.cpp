// Names of requests, devices and function codes for the verifier's reports and the trace.
// Safe on requests and devices that are gone: those are named by address only.
#include <cstdio>

#include "host/debug.h"
#include "iop.h"

using namespace host::internal;

namespace {

const char* const kMajorNames[] = {
    "IRP_MJ_CREATE",
    "IRP_MJ_CREATE_NAMED_PIPE",
    "IRP_MJ_CLOSE",
    "IRP_MJ_READ",
    "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION",
    "IRP_MJ_SET_INFORMATION",
    "IRP_MJ_QUERY_EA",
    "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS",
    "IRP_MJ_QUERY_VOLUME_INFORMATION",
    "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL",
    "IRP_MJ_FILE_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL",
    "IRP_MJ_SHUTDOWN",
    "IRP_MJ_LOCK_CONTROL",
    "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT",
    "IRP_MJ_QUERY_SECURITY",
    "IRP_MJ_SET_SECURITY",
    "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CHANGE",
    "IRP_MJ_QUERY_QUOTA",
    "IRP_MJ_SET_QUOTA",
    "IRP_MJ_PNP",
};

const char* const kPnpMinorNames[] = {
    "IRP_MN_START_DEVICE",
    "IRP_MN_QUERY_REMOVE_DEVICE",
    "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE",
    "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    "IRP_MN_0x0E",
    "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT",
    "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
    "IRP_MN_QUERY_LEGACY_BUS_INFORMATION",
};

const char* const kPowerMinorNames[] = {
    "IRP_MN_WAIT_WAKE",
    "IRP_MN_POWER_SEQUENCE",
    "IRP_MN_SET_POWER",
    "IRP_MN_QUERY_POWER",
};

const char* const kWmiMinorNames[] = {
    "IRP_MN_QUERY_ALL_DATA",        "IRP_MN_QUERY_SINGLE_INSTANCE", "IRP_MN_CHANGE_SINGLE_INSTANCE",
    "IRP_MN_CHANGE_SINGLE_ITEM",    "IRP_MN_ENABLE_EVENTS",         "IRP_MN_DISABLE_EVENTS",
    "IRP_MN_ENABLE_COLLECTION",     "IRP_MN_DISABLE_COLLECTION",    "IRP_MN_REGINFO",
    "IRP_MN_EXECUTE_METHOD",
};

template <size_t N>
const char* Lookup(const char* const (&table)[N], UCHAR index) {
  return index < N ? table[index] : nullptr;
}

bool HasMinor(UCHAR major) {
  return major == IRP_MJ_PNP || major == IRP_MJ_POWER || major == IRP_MJ_SYSTEM_CONTROL;
}

}  // namespace

namespace host::internal {

const char* MajorName(UCHAR major) {
  const char* name = Lookup(kMajorNames, major);
  return name != nullptr ? name : "IRP_MJ_(unknown)";
}

const char* MinorName(UCHAR major, UCHAR minor) {
  const char* name = nullptr;
  if (major == IRP_MJ_PNP) name = Lookup(kPnpMinorNames, minor);
  if (major == IRP_MJ_POWER) name = Lookup(kPowerMinorNames, minor);
  if (major == IRP_MJ_SYSTEM_CONTROL) name = Lookup(kWmiMinorNames, minor);
  return name != nullptr ? name : "IRP_MN_(unknown)";
}

std::string DescribeDevice(PDEVICE_OBJECT device) { return *IopDeviceText(device); }

// Every request the host sends names its device, so the text is kept with the device until its
// name changes.
std::shared_ptr<const std::string> IopDeviceText(PDEVICE_OBJECT device) {
  if (device == nullptr) return std::make_shared<const std::string>("no device");
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  if (!IopIsLiveDeviceLocked(device)) {
    return std::make_shared<const std::string>("device " + IopHex(device) + " (deleted)");
  }
  std::shared_ptr<const std::string>& cached = device->DeviceObjectExtension->description;
  if (cached) return cached;
  std::string text = device->DeviceObjectExtension->name.empty()
                         ? "unnamed device " + IopHex(device)
                         : device->DeviceObjectExtension->name;
  if (device->DriverObject != nullptr && device->DriverObject->DriverName.Buffer != nullptr) {
    text += " of " + IopUtf8(&device->DriverObject->DriverName);
  }
  cached = std::make_shared<const std::string>(std::move(text));
  return cached;
}

std::string IopHostRequestText(const IrpRecord& record) {
  std::string text = MajorName(record.major);
  if (record.major == IRP_MJ_PNP || record.major == IRP_MJ_POWER) {
    text += "/";
    text += MinorName(record.major, record.minor);
  }
  text += " " + IopHex(record.irp) + " from the " + (record.host ? record.host->sender : "host");
  if (record.target) text += " to " + *record.target;
  return text;
}

std::string DescribeIrp(PIRP irp) {
  if (irp == nullptr) return "IRP NULL";
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (IopIsQuarantinedLocked(irp)) return "IRP " + IopHex(irp) + " (freed)";
  }
  std::string text = "IRP " + IopHex(irp);
  PIO_STACK_LOCATION location = nullptr;
  bool sent = true;
  if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
    location = IoGetCurrentIrpStackLocation(irp);
  } else if (irp->CurrentLocation == irp->StackCount + 1 && irp->StackCount > 0) {
    location = IoGetNextIrpStackLocation(irp);
    sent = false;
  }
  if (location == nullptr) return text + " (no current stack location)";
  text += " ";
  text += MajorName(location->MajorFunction);
  if (HasMinor(location->MajorFunction)) {
    text += "/";
    text += MinorName(location->MajorFunction, location->MinorFunction);
  }
  if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
      location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    char code[32];
    std::snprintf(code, sizeof code, " code 0x%x", location->Parameters.DeviceIoControl.IoControlCode);
    text += code;
  }
  if (sent) {
    text += " to " + DescribeDevice(location->DeviceObject);
  } else {
    text += " (not sent yet)";
  }
  return text;
}

}  // namespace host::internal

namespace host::debug {

const char* MajorFunctionName(unsigned char major) { return internal::MajorName(major); }

const char* MinorFunctionName(unsigned char major, unsigned char minor) {
  return internal::MinorName(major, minor);
}

}  // namespace host::debug

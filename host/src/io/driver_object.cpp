// Driver objects: creation for the PnP manager's LoadDriver, the default dispatch routine, and
// the WDM version question.
#include <unordered_set>

#include "iop.h"

using namespace host::internal;

namespace {

struct DriverBlock {
  DRIVER_OBJECT driver;
  DRIVER_EXTENSION extension;
};

// Guarded by IopLock().
std::unordered_set<PDRIVER_OBJECT>& Drivers() {
  static auto* drivers = new std::unordered_set<PDRIVER_OBJECT>;
  return *drivers;
}

// What the I/O manager puts in every slot of a new driver's table: the request is not
// supported by this driver.
NTSTATUS IopInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void SetString(UNICODE_STRING* s, const std::string& text, const char* what) {
  std::u16string wide = IopUtf16(text);
  size_t bytes = wide.size() * sizeof(WCHAR);
  s->Buffer = static_cast<PWSTR>(IopSystemAllocate(bytes + sizeof(WCHAR), what));
  memcpy(s->Buffer, wide.data(), bytes);
  s->Length = static_cast<USHORT>(bytes);
  s->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

}  // namespace

namespace host::internal {

PDRIVER_OBJECT IopCreateDriverObject(const std::string& name, PDRIVER_INITIALIZE entry) {
  auto* block = static_cast<DriverBlock*>(IopSystemAllocate(sizeof(DriverBlock), "driver object"));
  PDRIVER_OBJECT driver = &block->driver;
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = &block->extension;
  block->extension.DriverObject = driver;
  driver->DriverInit = entry;
  SetString(&driver->DriverName, name, "driver name");
  std::string service = name.substr(name.rfind('\\') + 1);
  SetString(&block->extension.ServiceKeyName, service, "driver service key name");
  for (auto& slot : driver->MajorFunction) slot = IopInvalidDeviceRequest;
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  Drivers().insert(driver);
  return driver;
}

void IopDeleteDriverObject(PDRIVER_OBJECT driver) {
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (Drivers().erase(driver) == 0) return;
  }
  IopSystemFree(driver->DriverExtension->ServiceKeyName.Buffer);
  IopSystemFree(driver->DriverName.Buffer);
  IopSystemFree(driver);  // the block starts with the driver object
}

bool IopIsDriverObject(PVOID object) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  return Drivers().count(static_cast<PDRIVER_OBJECT>(object)) != 0;
}

void IopDriverSessionStart() {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  Drivers().clear();
}

}  // namespace host::internal

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  BOOLEAN available = FALSE;
  if (!ServiceFault("IoIsWdmVersionAvailable")) {
    available = WdmVersionAvailable(MajorVersion, MinorVersion) ? TRUE : FALSE;
  }
  if (TraceOn()) {
    Trace("IoIsWdmVersionAvailable(%u, 0x%02x) -> %s", MajorVersion, MinorVersion,
          available ? "TRUE" : "FALSE");
  }
  return available;
}

PDRIVER_DISPATCH host::pnp::DefaultDispatchRoutine() { return IopInvalidDeviceRequest; }

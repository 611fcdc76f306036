// IoGetDeviceProperty and IoInvalidateDeviceRelations: what the PnP manager knows of a PDO, and a
// bus driver telling it that its children changed.
//
// As the platform documents IoGetDeviceProperty: only for a PDO the PnP manager knows (anything
// else: STATUS_INVALID_DEVICE_REQUEST); a buffer too small gets STATUS_BUFFER_TOO_SMALL with the
// size needed in *ResultLength; a property the host does not keep: STATUS_INVALID_PARAMETER_2.
// The host answers the enumerator name (the first component of the instance path, as SetupAPI's
// SPDRP_ENUMERATOR_NAME), as NUL-terminated UTF-16. PASSIVE_LEVEL.
//
// IoInvalidateDeviceRelations is counted per PDO and handed to the observer a test or tool set
// (host::pnp::OnRelationsInvalidated), which plays the part of the PnP manager's enumeration.
#include <map>

#include "host/pnp.h"
#include "internal/kernel.h"
#include "internal/io.h"

using namespace host::internal;

namespace {

struct Invalidations {
  std::map<PDEVICE_OBJECT, unsigned> counts;
  std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> observer;
};
Invalidations& State() {
  static auto* state = new Invalidations;
  return *state;
}

NTSTATUS CopyWide(const std::u16string& text, ULONG length, PVOID buffer, PULONG result) {
  const ULONG bytes = static_cast<ULONG>((text.size() + 1) * sizeof(WCHAR));
  *result = bytes;
  if (length < bytes || buffer == nullptr) return STATUS_BUFFER_TOO_SMALL;
  memcpy(buffer, text.c_str(), bytes);
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                        DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                        ULONG BufferLength, PVOID PropertyBuffer,
                                        PULONG ResultLength) {
  if (!IopCheckIrql("IoGetDeviceProperty", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  const std::string path = IopInstancePath(DeviceObject);
  if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  switch (DeviceProperty) {
    case DevicePropertyEnumeratorName:
      return CopyWide(IopUtf16(path.substr(0, path.find('\\'))), BufferLength, PropertyBuffer,
                      ResultLength);
    default:
      return STATUS_INVALID_PARAMETER_2;
  }
}

extern "C" VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject,
                                            DEVICE_RELATION_TYPE Type) {
  if (!IopCheckIrql("IoInvalidateDeviceRelations", DISPATCH_LEVEL)) return;
  std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> observer;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    ++State().counts[DeviceObject];
    observer = State().observer;
  }
  if (observer) observer(DeviceObject, Type);
}

namespace host::internal {

void IopRelationsSessionReset() {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  State().counts.clear();
  State().observer = nullptr;
}

}  // namespace host::internal

namespace host::pnp {

unsigned RelationsInvalidated(PDEVICE_OBJECT pdo) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  auto it = State().counts.find(pdo);
  return it == State().counts.end() ? 0 : it->second;
}

void OnRelationsInvalidated(std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> observer) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  State().observer = std::move(observer);
  if (!State().observer) State().counts.clear();
}

}  // namespace host::pnp

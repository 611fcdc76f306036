// The I/O manager's common ground: its lock, the small checks every service makes, and the
// session life cycle of the I/O half (what is cleared at the start, what is checked and released
// at the end, in which order).
#include <cstdio>

#include "iop.h"

using namespace host::internal;
using host::verifier::Rule;

namespace host::internal {

// Each file's part of the session life cycle.
void IopNamespaceSessionStart();
void IopInterfacesSessionStart();
void IopRegistrySessionStart();
void IopRegistrySessionEnd();
void IopIrpSessionStart();
void IopIrpSessionEnd();
void IopDeviceSessionStart();
void IopRemoveLockSessionStart();
void IopPowerSessionStart();
void IopPnpSessionStart();
void IopPnpSessionEnd();
void IopAppSessionStart();
void IopAppSessionEnd();
void IopDriverSessionStart();

NoSwitchMutex& IopLock() {
  static auto* lock = new NoSwitchMutex;
  return *lock;
}

bool IopCheckIrql(const char* service, KIRQL maximum) {
  KIRQL irql = CurrentThread().irql;
  if (irql <= maximum) return true;
  char text[160];
  std::snprintf(text, sizeof text, "%s called at IRQL %u; it may be called at most at IRQL %u",
                service, irql, maximum);
  Report(Rule::IrqlMisuse, text);
  return false;
}

std::string IopHex(const void* p) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

std::string IopStatusText(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    case STATUS_OBJECT_NAME_EXISTS: return "STATUS_OBJECT_NAME_EXISTS";
    case STATUS_BUFFER_OVERFLOW: return "STATUS_BUFFER_OVERFLOW";
    case STATUS_DEVICE_BUSY: return "STATUS_DEVICE_BUSY";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_INVALID_HANDLE: return "STATUS_INVALID_HANDLE";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_NO_SUCH_DEVICE: return "STATUS_NO_SUCH_DEVICE";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_MORE_PROCESSING_REQUIRED: return "STATUS_MORE_PROCESSING_REQUIRED";
    case STATUS_ACCESS_DENIED: return "STATUS_ACCESS_DENIED";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_OBJECT_TYPE_MISMATCH: return "STATUS_OBJECT_TYPE_MISMATCH";
    case STATUS_OBJECT_NAME_INVALID: return "STATUS_OBJECT_NAME_INVALID";
    case STATUS_OBJECT_NAME_NOT_FOUND: return "STATUS_OBJECT_NAME_NOT_FOUND";
    case STATUS_OBJECT_NAME_COLLISION: return "STATUS_OBJECT_NAME_COLLISION";
    case STATUS_OBJECT_PATH_NOT_FOUND: return "STATUS_OBJECT_PATH_NOT_FOUND";
    case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_INVALID_DEVICE_STATE: return "STATUS_INVALID_DEVICE_STATE";
    default: {
      char text[24];
      std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
      return text;
    }
  }
}

std::string IopCurrentRoutine() {
  const ThreadState& t = CurrentThread();
  for (size_t i = t.frames.size(); i-- > 0;) {
    if (t.frames[i].routine != nullptr) return Symbolize(t.frames[i].routine);
  }
  return std::string();
}

void* IopSystemAllocate(size_t size, const char* what, bool ownerIsDriver) {
  return SystemAllocate(size, what, ownerIsDriver);
}

void IopSystemFree(void* p) {
  if (p != nullptr) SystemFree(p);
}

}  // namespace host::internal

namespace {

// Start: every table of the I/O half empty, the base registry keys present.
// End: requests still pending are reported and released first (they may hold file objects),
// then registry handles, then the PnP manager's and the devices' records.
struct IoSessionHooks {
  IoSessionHooks() {
    AddSessionStartHook([] {
      IopNamespaceSessionStart();
      IopInterfacesSessionStart();
      IopRegistrySessionStart();
      IopIrpSessionStart();
      IopDeviceSessionStart();
      IopRemoveLockSessionStart();
      IopPowerSessionStart();
      IopPnpSessionStart();
      IopDriverSessionStart();
      IopAppSessionStart();
    });
    AddSessionEndHook([] {
      IopAppSessionEnd();
      IopIrpSessionEnd();
      IopRegistrySessionEnd();
      IopPnpSessionEnd();
      IopFreeAllDevices();
    });
  }
};
IoSessionHooks gHooks;

}  // namespace

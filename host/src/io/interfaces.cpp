// Device interfaces: registration by (device instance, class GUID, reference string), and the
// enabled state, which is the symbolic link from the interface's name to the PDO.
//
// Choices where the platform's documentation is silent or implementations differ (pinned by
// io_interface_test.cpp):
//  - The name is "\??\" + the instance path with every '\' replaced by '#', then "#" and the
//    class GUID in lower case braces, then "\" + the reference string when there is one. The
//    instance path keeps the case the bus driver reported.
//  - Registering the same interface again returns the same name, in a new buffer the caller
//    frees with RtlFreeUnicodeString (the buffer is charged to the calling driver until then).
//    A registration outlives its PDO (the platform keeps it in the registry): when the device is
//    reported again under the same instance path, registering binds it to the new PDO.
//  - Enabling an enabled interface returns STATUS_OBJECT_NAME_EXISTS and changes nothing;
//    disabling a disabled one returns STATUS_SUCCESS. An unknown name is
//    STATUS_OBJECT_NAME_NOT_FOUND either way.
//  - The link is "\??\<instance>#{guid}" without the reference string, which an open passes to
//    the device as the file name (as the platform parses the rest of a name after a link).
//    Interfaces that differ only in their reference string share that link; it goes when the
//    last of them is disabled.
//  - When the PnP manager forgets a device, its interfaces are disabled.
#include <cstdio>

#include "host/objects.h"
#include "iop.h"

using namespace host::internal;

namespace {

struct Interface {
  std::string instancePath;
  GUID classGuid{};
  std::string referenceString;
  std::string name;      // as returned by IoRegisterDeviceInterface
  std::string linkName;  // the namespace link (no reference string)
  PDEVICE_OBJECT pdo = nullptr;
  bool enabled = false;
};

// Guarded by IopLock().
std::vector<Interface>& Interfaces() {
  static auto* interfaces = new std::vector<Interface>;
  return *interfaces;
}

Interface* FindLocked(const std::string& name) {
  std::string key = IopNameKey(name);
  for (Interface& i : Interfaces()) {
    if (IopNameKey(i.name) == key) return &i;
  }
  return nullptr;
}

bool LinkSharedLocked(const Interface& self) {
  for (const Interface& i : Interfaces()) {
    if (&i != &self && i.enabled && IopNameKey(i.linkName) == IopNameKey(self.linkName)) return true;
  }
  return false;
}

host::objects::InterfaceInfo Info(const Interface& i) {
  return host::objects::InterfaceInfo{i.name, i.classGuid, i.pdo, i.enabled};
}

NTSTATUS Register(PDEVICE_OBJECT pdo, const GUID* guid, PUNICODE_STRING reference,
                  PUNICODE_STRING out) {
  if (!IopCheckIrql("IoRegisterDeviceInterface", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  if (auto fault = ServiceFault("IoRegisterDeviceInterface")) return *fault;
  if (guid == nullptr || out == nullptr) return STATUS_INVALID_PARAMETER;
  std::string instance = IopInstancePath(pdo);
  if (instance.empty()) return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO the PnP manager knows
  std::string mangled = instance;
  for (char& c : mangled) {
    if (c == '\\') c = '#';
  }
  std::string linkName = "\\??\\" + mangled + "#" + host::objects::GuidToString(*guid);
  std::string ref = reference != nullptr ? IopUtf8(reference) : std::string();
  std::string name = ref.empty() ? linkName : linkName + "\\" + ref;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (Interface* existing = FindLocked(name)) {
      existing->pdo = pdo;
    } else {
      Interface i;
      i.instancePath = instance;
      i.classGuid = *guid;
      i.referenceString = ref;
      i.name = name;
      i.linkName = linkName;
      i.pdo = pdo;
      Interfaces().push_back(i);
    }
  }
  std::u16string wide = IopUtf16(name);
  size_t bytes = wide.size() * sizeof(WCHAR);
  auto* buffer = static_cast<WCHAR*>(
      IopSystemAllocate(bytes + sizeof(WCHAR), "device interface name", /*ownerIsDriver=*/true));
  memcpy(buffer, wide.data(), bytes);
  buffer[wide.size()] = 0;
  out->Buffer = buffer;
  out->Length = static_cast<USHORT>(bytes);
  out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// `service`: called by a driver (IRQL check, fault injection); the PnP manager's own disabling
// is neither checked nor counted as a call of the service.
NTSTATUS SetState(const std::string& name, bool enable, bool service) {
  if (service) {
    if (!IopCheckIrql("IoSetDeviceInterfaceState", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    if (auto fault = ServiceFault("IoSetDeviceInterfaceState")) return *fault;
  }
  std::string linkName;
  std::string target;
  bool shared;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    Interface* i = FindLocked(name);
    if (i == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (enable && i->enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!enable && !i->enabled) return STATUS_SUCCESS;
    if (enable && (i->pdo == nullptr || !IopIsLiveDeviceLocked(i->pdo))) return STATUS_NO_SUCH_DEVICE;
    linkName = i->linkName;
    shared = LinkSharedLocked(*i);
    if (enable) target = i->pdo->DeviceObjectExtension->name;
    if (!enable) i->enabled = false;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (enable) {
    if (!shared) status = IopCreateLink(linkName, target);
    if (NT_SUCCESS(status)) {
      std::lock_guard<NoSwitchMutex> lock(IopLock());
      if (Interface* i = FindLocked(name)) i->enabled = true;
    }
  } else if (!shared) {
    IopDeleteLink(linkName);
  }
  return status;
}

}  // namespace

namespace host::internal {

void IopDisableInterfacesOf(PDEVICE_OBJECT pdo) {
  std::vector<std::string> enabled;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    for (Interface& i : Interfaces()) {
      if (i.pdo == pdo && i.enabled) enabled.push_back(i.name);
    }
  }
  for (const std::string& name : enabled) SetState(name, false, false);
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  for (Interface& i : Interfaces()) {
    if (i.pdo == pdo) i.pdo = nullptr;
  }
}

void IopInterfacesSessionStart() {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  Interfaces().clear();
}

}  // namespace host::internal

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
  NTSTATUS status =
      Register(PhysicalDeviceObject, InterfaceClassGuid, ReferenceString, SymbolicLinkName);
  if (TraceOn()) {
    Trace("IoRegisterDeviceInterface(%s, %s) -> %s %s", DescribeDevice(PhysicalDeviceObject).c_str(),
          InterfaceClassGuid ? host::objects::GuidToString(*InterfaceClassGuid).c_str() : "NULL",
          IopStatusText(status).c_str(),
          NT_SUCCESS(status) ? IopUtf8(SymbolicLinkName).c_str() : "");
  }
  return status;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  std::string name = IopUtf8(SymbolicLinkName);
  NTSTATUS status = SetState(name, Enable != FALSE, true);
  if (TraceOn()) {
    Trace("IoSetDeviceInterfaceState(\"%s\", %s) -> %s", name.c_str(), Enable ? "TRUE" : "FALSE",
          IopStatusText(status).c_str());
  }
  return status;
}

}  // extern "C"

namespace host::objects {

std::vector<InterfaceInfo> Interfaces() {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  std::vector<InterfaceInfo> out;
  for (const Interface& i : ::Interfaces()) out.push_back(Info(i));
  return out;
}

std::optional<InterfaceInfo> FindInterface(const std::string& linkName) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  if (Interface* i = FindLocked(linkName)) return Info(*i);
  return std::nullopt;
}

std::string GuidToString(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace host::objects

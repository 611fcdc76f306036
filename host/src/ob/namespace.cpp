// The object namespace: named device objects and symbolic links.
//
// Names are compared without regard to case. "\DosDevices\" and "\GLOBAL??\" are the same
// directory as "\??\" (the platform makes \DosDevices a link to \??). A name holds one object:
// a device or a link, never both. Links may point at names that do not exist (yet), as on the
// platform; they are resolved when used, following at most 32 links.
#include <map>

#include "host/objects.h"
#include "internal/io.h"

using namespace host::internal;
using host::verifier::Rule;

namespace {

struct Entry {
  std::string name;  // canonical form, original case
  bool isLink = false;
  PDEVICE_OBJECT device = nullptr;
  std::string target;  // links
};

// Guarded by IopLock().
std::map<std::string, Entry>& Names() {
  static auto* names = new std::map<std::string, Entry>;
  return *names;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t n = strlen(prefix);
  return s.size() >= n && IopLower(s.substr(0, n)) == IopLower(prefix);
}

const size_t kMaxLinkHops = 32;

// IopLock held. Follows links from `name`; returns the device or NULL.
PDEVICE_OBJECT ResolveLocked(const std::string& name) {
  std::string current = name;
  for (size_t hop = 0; hop <= kMaxLinkHops; ++hop) {
    auto it = Names().find(IopNameKey(current));
    if (it == Names().end()) return nullptr;
    if (!it->second.isLink) return it->second.device;
    current = it->second.target;
  }
  return nullptr;
}

NTSTATUS CreateLinkService(const char* service, PUNICODE_STRING SymbolicLinkName,
                           PUNICODE_STRING DeviceName) {
  std::string link = IopUtf8(SymbolicLinkName);
  std::string target = IopUtf8(DeviceName);
  NTSTATUS status;
  if (!IopCheckIrql(service, PASSIVE_LEVEL)) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (auto fault = ServiceFault(service)) {
    status = *fault;
  } else {
    status = IopCreateLink(link, target);
  }
  if (TraceOn()) {
    Trace("%s(\"%s\", \"%s\") -> %s", service, link.c_str(), target.c_str(),
          IopStatusText(status).c_str());
  }
  return status;
}

}  // namespace

namespace host::internal {

std::string IopLower(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string IopCanonicalName(const std::string& name) {
  if (StartsWithNoCase(name, "\\DosDevices\\")) return "\\??\\" + name.substr(12);
  if (StartsWithNoCase(name, "\\GLOBAL??\\")) return "\\??\\" + name.substr(10);
  return name;
}

std::string IopNameKey(const std::string& name) { return IopLower(IopCanonicalName(name)); }

NTSTATUS IopInsertDeviceNameLocked(const std::string& name, PDEVICE_OBJECT device) {
  std::string key = IopNameKey(name);
  if (key.empty() || key[0] != '\\') return STATUS_OBJECT_NAME_INVALID;
  if (Names().count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  Entry entry;
  entry.name = IopCanonicalName(name);
  entry.device = device;
  Names()[key] = entry;
  return STATUS_SUCCESS;
}

void IopRemoveDeviceNameLocked(PDEVICE_OBJECT device) {
  for (auto it = Names().begin(); it != Names().end(); ++it) {
    if (!it->second.isLink && it->second.device == device) {
      Names().erase(it);
      return;
    }
  }
}

NTSTATUS IopCreateLink(const std::string& link, const std::string& target) {
  std::string key = IopNameKey(link);
  if (key.empty() || key[0] != '\\') return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  if (Names().count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  Entry entry;
  entry.name = IopCanonicalName(link);
  entry.isLink = true;
  entry.target = target;
  Names()[key] = entry;
  return STATUS_SUCCESS;
}

NTSTATUS IopDeleteLink(const std::string& link) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  auto it = Names().find(IopNameKey(link));
  if (it == Names().end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!it->second.isLink) return STATUS_OBJECT_TYPE_MISMATCH;
  Names().erase(it);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT IopResolve(const std::string& name, std::string* remainder) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  std::string prefix = name;
  std::string rest;
  for (;;) {
    if (PDEVICE_OBJECT device = ResolveLocked(prefix)) {
      if (remainder != nullptr) *remainder = rest;
      return device;
    }
    size_t slash = prefix.rfind('\\');
    if (slash == std::string::npos || slash == 0) return nullptr;
    rest = prefix.substr(slash) + rest;
    prefix.resize(slash);
  }
}

void IopNamespaceSessionStart() {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  Names().clear();
}

}  // namespace host::internal

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  return CreateLinkService("IoCreateSymbolicLink", SymbolicLinkName, DeviceName);
}

// The host keeps no security descriptors: the unprotected form differs only in its name (and
// its own fault injection).
NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                         PUNICODE_STRING DeviceName) {
  return CreateLinkService("IoCreateUnprotectedSymbolicLink", SymbolicLinkName, DeviceName);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  std::string link = IopUtf8(SymbolicLinkName);
  NTSTATUS status;
  if (!IopCheckIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL)) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (auto fault = ServiceFault("IoDeleteSymbolicLink")) {
    status = *fault;
  } else {
    status = IopDeleteLink(link);
  }
  if (TraceOn()) {
    Trace("IoDeleteSymbolicLink(\"%s\") -> %s", link.c_str(), IopStatusText(status).c_str());
  }
  return status;
}

}  // extern "C"

namespace host::objects {

PDEVICE_OBJECT FindDevice(const std::string& name) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  auto it = Names().find(IopNameKey(name));
  if (it == Names().end() || it->second.isLink) return nullptr;
  return it->second.device;
}

std::optional<std::string> SymbolicLinkTarget(const std::string& linkName) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  auto it = Names().find(IopNameKey(linkName));
  if (it == Names().end() || !it->second.isLink) return std::nullopt;
  return it->second.target;
}

std::vector<std::string> SymbolicLinks() {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  std::vector<std::string> links;
  for (const auto& [key, entry] : Names()) {
    if (entry.isLink) links.push_back(entry.name);
  }
  return links;
}

PDEVICE_OBJECT Resolve(const std::string& name) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  return ResolveLocked(name);
}

std::string DeviceName(PDEVICE_OBJECT device) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  if (!IopIsLiveDeviceLocked(device)) return std::string();
  return device->DeviceObjectExtension->name;
}

}  // namespace host::objects

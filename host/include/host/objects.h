// The object namespace and device interfaces as tests and tools see them.
#pragma once

#include <wdk/wdk.h>

#include <optional>
#include <string>
#include <vector>

namespace host::objects {

// Names are UTF-8, case-insensitive; "\DosDevices\X" and "\??\X" are the same name.
PDEVICE_OBJECT FindDevice(const std::string& name);
std::optional<std::string> SymbolicLinkTarget(const std::string& linkName);
std::vector<std::string> SymbolicLinks();
// Follows symbolic links from `name` to a device object (NULL if none).
PDEVICE_OBJECT Resolve(const std::string& name);
std::string DeviceName(PDEVICE_OBJECT device);  // "" for an unnamed device

struct InterfaceInfo {
  std::string linkName;  // as IoRegisterDeviceInterface returned it, e.g. "\??\USB#...#{guid}"
  GUID classGuid;
  PDEVICE_OBJECT pdo;
  bool enabled;
};
std::vector<InterfaceInfo> Interfaces();
std::optional<InterfaceInfo> FindInterface(const std::string& linkName);
std::string GuidToString(const GUID& guid);  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"

// UTF-16 <-> UTF-8 for counted strings and terminated wide strings.
std::string ToUtf8(const UNICODE_STRING& s);
std::string ToUtf8(const WCHAR* s);
std::u16string ToUtf16(const std::string& s);

}  // namespace host::objects

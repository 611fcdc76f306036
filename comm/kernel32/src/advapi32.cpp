// advapi32's registry functions a serial program uses (RegOpenKeyExA, RegEnumValueA,
// RegQueryValueExA, RegCloseKey) over the host kernel's registry: HKEY_LOCAL_MACHINE is
// \Registry\Machine. They return the Windows error as their result (not through GetLastError),
// as the platform's do. Nothing is copied at open: values are read from the host registry at
// each call, so a program sees what the driver wrote.
#include <host/registry.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "kernel32/kernel32.h"
#include "kernel32_internal.h"

namespace kernel32 {
namespace {

constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;

struct KeyObject : Object {
  std::string path;
};

std::string KeyPath(HKEY key) {
  if (key == K32_HKEY_LOCAL_MACHINE) return "\\Registry\\Machine";
  auto object = std::dynamic_pointer_cast<KeyObject>(FindObject(key));
  return object ? object->path : std::string();
}

// A value's data as a program reads it: REG_SZ in the "A" functions is converted from the
// stored UTF-16 to the ANSI code page (ASCII here), with its terminating NUL.
std::string AnsiData(const host::registry::Value& value, DWORD* type) {
  *type = value.type;
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
    std::string text = value.AsString();
    return std::string(text.c_str(), text.size() + 1);
  }
  return std::string(value.data.begin(), value.data.end());
}

long CopyData(const std::string& data, BYTE* out, LPDWORD size) {
  if (!size) return out ? kErrorInvalidParameter : kErrorSuccess;
  DWORD room = *size;
  *size = static_cast<DWORD>(data.size());
  if (!out) return kErrorSuccess;
  if (room < data.size()) return kErrorMoreData;
  std::memcpy(out, data.data(), data.size());
  return kErrorSuccess;
}

}  // namespace
}  // namespace kernel32

using namespace kernel32;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, DWORD samDesired,
                             PHKEY phkResult) {
  if (!phkResult) return kErrorInvalidParameter;
  std::string base = KeyPath(hKey);
  if (base.empty()) return kErrorInvalidHandle;
  std::string path = base;
  if (lpSubKey && *lpSubKey) path += std::string("\\") + lpSubKey;
  if (!host::registry::KeyExists(path)) return kErrorFileNotFound;
  auto key = std::make_shared<KeyObject>();
  key->path = path;
  *phkResult = InsertObject(key);
  return kErrorSuccess;
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, BYTE* lpData, LPDWORD lpcbData) {
  std::string path = KeyPath(hKey);
  if (path.empty()) return kErrorInvalidHandle;
  if (!lpValueName || !lpcchValueName) return kErrorInvalidParameter;
  std::vector<std::string> names = host::registry::ValueNames(path);
  if (dwIndex >= names.size()) return kErrorNoMoreItems;
  const std::string& name = names[dwIndex];
  // The name's room counts its NUL; the count returned does not.
  if (*lpcchValueName <= name.size()) return kErrorMoreData;
  std::memcpy(lpValueName, name.c_str(), name.size() + 1);
  *lpcchValueName = static_cast<DWORD>(name.size());
  auto value = host::registry::GetValue(path, name);
  if (!value) return kErrorNoMoreItems;  // removed meanwhile
  DWORD type = 0;
  std::string data = AnsiData(*value, &type);
  if (lpType) *lpType = type;
  return CopyData(data, lpData, lpcbData);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                BYTE* lpData, LPDWORD lpcbData) {
  std::string path = KeyPath(hKey);
  if (path.empty()) return kErrorInvalidHandle;
  auto value = host::registry::GetValue(path, lpValueName ? lpValueName : "");
  if (!value) return kErrorFileNotFound;
  DWORD type = 0;
  std::string data = AnsiData(*value, &type);
  if (lpType) *lpType = type;
  return CopyData(data, lpData, lpcbData);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == K32_HKEY_LOCAL_MACHINE) return kErrorSuccess;
  if (!std::dynamic_pointer_cast<KeyObject>(FindObject(hKey))) return kErrorInvalidHandle;
  RemoveObject(hKey);
  return kErrorSuccess;
}

}  // extern "C"

// The registry as tests and tools see it: an in-memory tree of keys and typed values.
//
// Paths are absolute, with backslashes, case-insensitive:
// "\Registry\Machine\HARDWARE\DEVICEMAP\SERIALCOMM". A device's hardware key (what
// IoOpenDeviceRegistryKey opens for PLUGPLAY_REGKEY_DEVICE) is
// "\Registry\Machine\System\CurrentControlSet\Enum\<instance path>\Device Parameters".
// Strings are given and returned in UTF-8 and stored as UTF-16.
#pragma once

#include <wdk/wdk.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host::registry {

constexpr const char* kDeviceMap = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
constexpr const char* kSerialComm = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct Value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  // The data as a string (REG_SZ: up to the first NUL; other types: converted as UTF-16 anyway).
  std::string AsString() const;
};

// The hardware key of a device reported with pnp::ReportPdo.
std::string DeviceKeyPath(PDEVICE_OBJECT pdo);

void CreateKey(const std::string& path);
bool KeyExists(const std::string& path);
bool DeleteKey(const std::string& path);  // with its values and subkeys

void SetValue(const std::string& keyPath, const std::string& name, ULONG type,
              const std::vector<uint8_t>& data);
// REG_SZ with its terminating NUL, (length + 1) * 2 bytes.
void SetString(const std::string& keyPath, const std::string& name, const std::string& value);
std::optional<Value> GetValue(const std::string& keyPath, const std::string& name);
bool DeleteValue(const std::string& keyPath, const std::string& name);
std::vector<std::string> ValueNames(const std::string& keyPath);

}  // namespace host::registry

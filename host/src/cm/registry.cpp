// The registry: an in-memory tree of keys holding typed values, key handles, and the kernel's
// registry routines (ZwQueryValueKey, ZwSetValueKey, ZwClose, RtlWriteRegistryValue,
// RtlDeleteRegistryValue, IoOpenDeviceRegistryKey).
//
// Values are kept byte-exact: any type, any length (odd lengths, strings without terminator),
// exactly as written. Key and value names compare without regard to case.
//
// Paths:
//   hardware key of a device  \Registry\Machine\System\CurrentControlSet\Enum\<instance>\Device Parameters
//   driver key of a device    \Registry\Machine\System\CurrentControlSet\Control\Class\<instance>
//   RTL_REGISTRY_DEVICEMAP    \Registry\Machine\HARDWARE\DEVICEMAP
//   RTL_REGISTRY_SERVICES     \Registry\Machine\System\CurrentControlSet\Services
//   RTL_REGISTRY_CONTROL      \Registry\Machine\System\CurrentControlSet\Control
//   RTL_REGISTRY_WINDOWS_NT   \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
//   RTL_REGISTRY_USER         \Registry\User\.Default
// Those base keys exist from the start of every session.
//
// ZwQueryValueKey fills its record as the platform's configuration manager does:
//  - the fixed part does not fit: STATUS_BUFFER_TOO_SMALL, nothing written;
//  - the fixed part fits but not everything: STATUS_BUFFER_OVERFLOW, the fixed part filled and
//    as much of the name and data as fits;
//  - *ResultLength is the size the whole record needs in all three cases;
//  - KeyValueFullInformation: the name is not terminated; the data starts at the end of the
//    name rounded up to a multiple of 4 bytes (8 for KeyValueFullInformationAlign64), which is
//    DataOffset; a value without data has DataOffset 0xFFFFFFFF.
//  - a missing value: STATUS_OBJECT_NAME_NOT_FOUND, *ResultLength untouched.
// RtlWriteRegistryValue creates the last component of its path when missing (as ZwCreateKey
// does); a missing parent is STATUS_OBJECT_NAME_NOT_FOUND.
// A handle never closed is reported at session end (as a PoolLeak: the platform charges the
// key object to the caller). Closing a handle that is not open is reported as the platform's
// bug check for kernel code (INVALID_KERNEL_HANDLE) and returns STATUS_INVALID_HANDLE.
#include <map>

#include "host/objects.h"
#include "host/registry.h"
#include "internal/io.h"

using namespace host::internal;
using host::verifier::Rule;

#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)

namespace {

std::u16string FoldKey(const std::u16string& s) {
  std::u16string out = s;
  for (char16_t& c : out) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return out;
}

struct Value {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;
  Key* parent = nullptr;
  std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by folded name
  std::vector<Value> values;                               // in creation order
  bool deleted = false;

  Value* FindValue(const std::u16string& valueName) {
    std::u16string folded = FoldKey(valueName);
    for (Value& v : values) {
      if (FoldKey(v.name) == folded) return &v;
    }
    return nullptr;
  }
};

struct OpenHandle {
  std::shared_ptr<Key> key;
  std::string path;
  std::string openedBy;
};

struct RegistryState {
  std::mutex mutex;
  std::shared_ptr<Key> root;  // "\Registry"
  std::map<uintptr_t, OpenHandle> handles;
  uintptr_t nextHandle = 0;
};
RegistryState& R() {
  static auto* r = new RegistryState;
  return *r;
}

std::vector<std::u16string> Split(const std::string& path) {
  std::vector<std::u16string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(IopUtf16(part));
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(IopUtf16(part));
  return parts;
}

enum class Create { None, Last, All };

// Registry lock held.
std::shared_ptr<Key> Walk(const std::string& path, Create create, NTSTATUS* status) {
  std::vector<std::u16string> parts = Split(path);
  if (parts.empty() || FoldKey(parts[0]) != u"registry" || !R().root) {
    *status = STATUS_OBJECT_PATH_NOT_FOUND;
    return nullptr;
  }
  std::shared_ptr<Key> key = R().root;
  for (size_t i = 1; i < parts.size(); ++i) {
    auto it = key->subkeys.find(FoldKey(parts[i]));
    if (it != key->subkeys.end()) {
      key = it->second;
      continue;
    }
    bool last = i + 1 == parts.size();
    if (create == Create::All || (create == Create::Last && last)) {
      auto sub = std::make_shared<Key>();
      sub->name = parts[i];
      sub->parent = key.get();
      key->subkeys[FoldKey(parts[i])] = sub;
      key = sub;
      continue;
    }
    *status = last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    return nullptr;
  }
  *status = STATUS_SUCCESS;
  return key;
}

void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& [name, sub] : key.subkeys) MarkDeleted(*sub);
}

std::u16string ValueNameOf(PUNICODE_STRING name) {
  if (name == nullptr || name->Buffer == nullptr) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(name->Buffer),
                        name->Length / sizeof(WCHAR));
}

std::u16string ValueNameOf(PCWSTR name) {
  if (name == nullptr) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(name), IopWcsLen(name));
}

// Registry lock held.
std::shared_ptr<Key> KeyOfHandle(HANDLE handle, NTSTATUS* status) {
  auto it = R().handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == R().handles.end()) {
    *status = STATUS_INVALID_HANDLE;
    return nullptr;
  }
  if (it->second.key->deleted) {
    *status = STATUS_KEY_DELETED;
    return nullptr;
  }
  *status = STATUS_SUCCESS;
  return it->second.key;
}

void SetValueLocked(Key& key, const std::u16string& name, ULONG type, const void* data,
                    ULONG length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> copy(bytes, bytes + (bytes != nullptr ? length : 0));
  if (Value* v = key.FindValue(name)) {
    v->type = type;
    v->data = std::move(copy);
    return;
  }
  key.values.push_back(Value{name, type, std::move(copy)});
}

void Put32(std::vector<uint8_t>& record, size_t offset, ULONG value) {
  memcpy(record.data() + offset, &value, sizeof value);
}

// The whole KEY_VALUE_*_INFORMATION record for `value`; `fixed` receives the size of its fixed
// part. Returns false for an unknown class.
bool BuildRecord(const Value& value, KEY_VALUE_INFORMATION_CLASS cls, std::vector<uint8_t>* out,
                 size_t* fixed) {
  const ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  const ULONG dataBytes = static_cast<ULONG>(value.data.size());
  std::vector<uint8_t>& r = *out;
  switch (cls) {
    case KeyValueBasicInformation: {
      *fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      r.assign(*fixed + nameBytes, 0);
      Put32(r, offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
      Put32(r, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
      Put32(r, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
      memcpy(r.data() + *fixed, value.name.data(), nameBytes);
      return true;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
      *fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      const size_t align = cls == KeyValueFullInformation ? 4 : 8;
      const size_t base = *fixed + nameBytes;
      const size_t offset = (base + align - 1) & ~(align - 1);
      r.assign(offset + dataBytes, 0);
      Put32(r, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
      Put32(r, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
      Put32(r, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset),
            dataBytes != 0 ? static_cast<ULONG>(offset) : 0xFFFFFFFFu);
      Put32(r, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
      Put32(r, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
      memcpy(r.data() + *fixed, value.name.data(), nameBytes);
      if (dataBytes != 0) memcpy(r.data() + offset, value.data.data(), dataBytes);
      return true;
    }
    case KeyValuePartialInformation: {
      *fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      r.assign(*fixed + dataBytes, 0);
      Put32(r, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
      Put32(r, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
      Put32(r, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
      if (dataBytes != 0) memcpy(r.data() + *fixed, value.data.data(), dataBytes);
      return true;
    }
    case KeyValuePartialInformationAlign64: {
      // { ULONG Type; ULONG DataLength; UCHAR Data[]; }
      *fixed = 8;
      r.assign(*fixed + dataBytes, 0);
      Put32(r, 0, value.type);
      Put32(r, 4, dataBytes);
      if (dataBytes != 0) memcpy(r.data() + *fixed, value.data.data(), dataBytes);
      return true;
    }
    default:
      return false;
  }
}

NTSTATUS QueryValue(HANDLE handle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS cls,
                    PVOID information, ULONG length, PULONG resultLength) {
  if (!IopCheckIrql("ZwQueryValueKey", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  if (auto fault = ServiceFault("ZwQueryValueKey")) return *fault;
  std::vector<uint8_t> record;
  size_t fixed = 0;
  {
    std::lock_guard<std::mutex> lock(R().mutex);
    NTSTATUS status;
    std::shared_ptr<Key> key = KeyOfHandle(handle, &status);
    if (!key) return status;
    Value* value = key->FindValue(ValueNameOf(valueName));
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!BuildRecord(*value, cls, &record, &fixed)) return STATUS_INVALID_PARAMETER;
  }
  if (resultLength != nullptr) *resultLength = static_cast<ULONG>(record.size());
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
  if (length < record.size()) {
    memcpy(information, record.data(), length);
    return STATUS_BUFFER_OVERFLOW;
  }
  memcpy(information, record.data(), record.size());
  return STATUS_SUCCESS;
}

const char* RelativeBase(ULONG relativeTo) {
  switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE: return "";
    case RTL_REGISTRY_SERVICES: return "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return "\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
      return "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return "\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
    case RTL_REGISTRY_USER: return "\\Registry\\User\\.Default";
    default: return nullptr;
  }
}

// Finds (creating the last component when `create`) the key RtlWriteRegistryValue and
// RtlDeleteRegistryValue work on. Registry lock held.
std::shared_ptr<Key> RelativeKey(ULONG relativeTo, PCWSTR path, bool create, NTSTATUS* status) {
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    return KeyOfHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), status);
  }
  const char* base = RelativeBase(relativeTo & ~RTL_REGISTRY_OPTIONAL);
  if (base == nullptr) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  std::string relative = path != nullptr ? host::objects::ToUtf8(path) : std::string();
  std::string full = *base == 0 ? relative : std::string(base) + "\\" + relative;
  return Walk(full, create ? Create::Last : Create::None, status);
}

std::string KeyPathOf(const Key& key) {
  std::string path;
  for (const Key* k = &key; k != nullptr; k = k->parent) {
    path = "\\" + IopUtf8(reinterpret_cast<const WCHAR*>(k->name.data()), k->name.size()) + path;
  }
  return path;
}

}  // namespace

namespace host::internal {

NTSTATUS IopOpenKeyHandle(const std::string& path, bool create, HANDLE* handle) {
  std::lock_guard<std::mutex> lock(R().mutex);
  NTSTATUS status;
  std::shared_ptr<Key> key = Walk(path, create ? Create::All : Create::None, &status);
  if (!key) return status;
  R().nextHandle += 4;
  uintptr_t value = 0x80000000u + R().nextHandle;
  R().handles[value] = OpenHandle{key, KeyPathOf(*key), IopCurrentRoutine()};
  *handle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

void IopRegistrySessionStart() {
  std::lock_guard<std::mutex> lock(R().mutex);
  R().handles.clear();
  R().nextHandle = 0;
  R().root = std::make_shared<Key>();
  R().root->name = u"Registry";
  NTSTATUS status;
  for (const char* path : {"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
                           "\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                           "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
                           "\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
                           "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
                           "\\Registry\\User\\.Default"}) {
    Walk(path, Create::All, &status);
  }
}

void IopRegistrySessionEnd() {
  std::vector<std::string> leaks;
  {
    std::lock_guard<std::mutex> lock(R().mutex);
    for (const auto& [value, open] : R().handles) {
      leaks.push_back("registry key handle " + IopHex(reinterpret_cast<void*>(value)) + " on " +
                      open.path + " opened by " +
                      (open.openedBy.empty() ? std::string("the host") : open.openedBy) +
                      " was never closed (ZwClose)");
    }
    R().handles.clear();
  }
  for (const std::string& leak : leaks) Report(Rule::PoolLeak, leak);
}

}  // namespace host::internal

extern "C" {

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  NTSTATUS status = QueryValue(KeyHandle, ValueName, KeyValueInformationClass,
                               KeyValueInformation, Length, ResultLength);
  if (TraceOn()) {
    Trace("ZwQueryValueKey(%s, \"%s\", class %d, length %u) -> %s", IopHex(KeyHandle).c_str(),
          IopUtf8(ValueName).c_str(), static_cast<int>(KeyValueInformationClass), Length,
          IopStatusText(status).c_str());
  }
  return status;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
  NTSTATUS status;
  if (!IopCheckIrql("ZwSetValueKey", PASSIVE_LEVEL)) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else {
    std::lock_guard<std::mutex> lock(R().mutex);
    std::shared_ptr<Key> key = KeyOfHandle(KeyHandle, &status);
    if (key) SetValueLocked(*key, ValueNameOf(ValueName), Type, Data, DataSize);
  }
  if (TraceOn()) {
    Trace("ZwSetValueKey(%s, \"%s\", type %u, %u bytes) -> %s", IopHex(KeyHandle).c_str(),
          IopUtf8(ValueName).c_str(), Type, DataSize, IopStatusText(status).c_str());
  }
  return status;
}

NTSTATUS ZwClose(HANDLE Handle) {
  bool known;
  {
    std::lock_guard<std::mutex> lock(R().mutex);
    known = R().handles.erase(reinterpret_cast<uintptr_t>(Handle)) != 0;
  }
  if (TraceOn()) Trace("ZwClose(%s) -> %s", IopHex(Handle).c_str(), known ? "STATUS_SUCCESS" : "STATUS_INVALID_HANDLE");
  if (!known) {
    Report(Rule::BugCheck, "INVALID_KERNEL_HANDLE (0x93): ZwClose of " + IopHex(Handle) +
                               ", which is not an open handle");
    return STATUS_INVALID_HANDLE;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
  NTSTATUS status;
  if (!IopCheckIrql("RtlWriteRegistryValue", PASSIVE_LEVEL)) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (auto fault = ServiceFault("RtlWriteRegistryValue")) {
    status = *fault;
  } else {
    std::lock_guard<std::mutex> lock(R().mutex);
    std::shared_ptr<Key> key = RelativeKey(RelativeTo, Path, true, &status);
    if (key) SetValueLocked(*key, ValueNameOf(ValueName), ValueType, ValueData, ValueLength);
  }
  if (TraceOn()) {
    Trace("RtlWriteRegistryValue(%u, \"%s\", \"%s\", type %u, %u bytes) -> %s", RelativeTo,
          (RelativeTo & RTL_REGISTRY_HANDLE) ? "<handle>" : host::objects::ToUtf8(Path).c_str(),
          host::objects::ToUtf8(ValueName).c_str(), ValueType, ValueLength,
          IopStatusText(status).c_str());
  }
  return status;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  NTSTATUS status;
  if (!IopCheckIrql("RtlDeleteRegistryValue", PASSIVE_LEVEL)) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (auto fault = ServiceFault("RtlDeleteRegistryValue")) {
    status = *fault;
  } else {
    std::lock_guard<std::mutex> lock(R().mutex);
    std::shared_ptr<Key> key = RelativeKey(RelativeTo, Path, false, &status);
    if (key) {
      std::u16string folded = FoldKey(ValueNameOf(ValueName));
      auto& values = key->values;
      status = STATUS_OBJECT_NAME_NOT_FOUND;
      for (auto it = values.begin(); it != values.end(); ++it) {
        if (FoldKey(it->name) == folded) {
          values.erase(it);
          status = STATUS_SUCCESS;
          break;
        }
      }
    }
  }
  if (TraceOn()) {
    Trace("RtlDeleteRegistryValue(%u, \"%s\", \"%s\") -> %s", RelativeTo,
          (RelativeTo & RTL_REGISTRY_HANDLE) ? "<handle>" : host::objects::ToUtf8(Path).c_str(),
          host::objects::ToUtf8(ValueName).c_str(), IopStatusText(status).c_str());
  }
  return status;
}

// PLUGPLAY_REGKEY_DEVICE opens the device's hardware key (creating it), PLUGPLAY_REGKEY_DRIVER
// its driver key; with PLUGPLAY_REGKEY_CURRENT_HWPROFILE the same keys under the current
// hardware profile. Only PDOs the PnP manager knows have keys: STATUS_INVALID_DEVICE_REQUEST
// otherwise, as on the platform.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  NTSTATUS status;
  std::string path;
  if (!IopCheckIrql("IoOpenDeviceRegistryKey", PASSIVE_LEVEL)) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (auto fault = ServiceFault("IoOpenDeviceRegistryKey")) {
    status = *fault;
  } else {
    std::string instance = IopInstancePath(DeviceObject);
    ULONG kind = DevInstKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    std::string root = "\\Registry\\Machine\\System\\CurrentControlSet";
    if (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) {
      root = "\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current"
             "\\System\\CurrentControlSet";
    }
    if (instance.empty()) {
      status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (kind == PLUGPLAY_REGKEY_DEVICE) {
      path = root + "\\Enum\\" + instance + "\\Device Parameters";
      status = IopOpenKeyHandle(path, true, DevInstRegKey);
    } else if (kind == PLUGPLAY_REGKEY_DRIVER) {
      path = root + "\\Control\\Class\\" + instance;
      status = IopOpenKeyHandle(path, true, DevInstRegKey);
    } else {
      status = STATUS_INVALID_PARAMETER;
    }
  }
  if (TraceOn()) {
    Trace("IoOpenDeviceRegistryKey(%s, %u, 0x%x) -> %s %s", DescribeDevice(DeviceObject).c_str(),
          DevInstKeyType, DesiredAccess, IopStatusText(status).c_str(),
          NT_SUCCESS(status) ? IopHex(*DevInstRegKey).c_str() : "");
  }
  return status;
}

}  // extern "C"

namespace host::registry {

std::string Value::AsString() const {
  std::string out;
  std::u16string units;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    units += c;
  }
  return IopUtf8(reinterpret_cast<const WCHAR*>(units.data()), units.size());
}

std::string DeviceKeyPath(PDEVICE_OBJECT pdo) {
  std::string instance = IopInstancePath(pdo);
  if (instance.empty()) return std::string();
  return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance +
         "\\Device Parameters";
}

void CreateKey(const std::string& path) {
  std::lock_guard<std::mutex> lock(R().mutex);
  NTSTATUS status;
  Walk(path, Create::All, &status);
}

bool KeyExists(const std::string& path) {
  std::lock_guard<std::mutex> lock(R().mutex);
  NTSTATUS status;
  return Walk(path, Create::None, &status) != nullptr;
}

bool DeleteKey(const std::string& path) {
  std::lock_guard<std::mutex> lock(R().mutex);
  NTSTATUS status;
  std::shared_ptr<Key> key = Walk(path, Create::None, &status);
  if (!key || key->parent == nullptr) return false;
  MarkDeleted(*key);
  key->parent->subkeys.erase(FoldKey(key->name));
  return true;
}

void SetValue(const std::string& keyPath, const std::string& name, ULONG type,
              const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> lock(R().mutex);
  NTSTATUS status;
  std::shared_ptr<Key> key = Walk(keyPath, Create::All, &status);
  if (key) {
    SetValueLocked(*key, IopUtf16(name), type, data.data(), static_cast<ULONG>(data.size()));
  }
}

void SetString(const std::string& keyPath, const std::string& name, const std::string& value) {
  std::u16string wide = IopUtf16(value);
  std::vector<uint8_t> data((wide.size() + 1) * sizeof(char16_t), 0);
  memcpy(data.data(), wide.data(), wide.size() * sizeof(char16_t));
  SetValue(keyPath, name, REG_SZ, data);
}

std::optional<Value> GetValue(const std::string& keyPath, const std::string& name) {
  std::lock_guard<std::mutex> lock(R().mutex);
  NTSTATUS status;
  std::shared_ptr<Key> key = Walk(keyPath, Create::None, &status);
  if (!key) return std::nullopt;
  ::Value* v = key->FindValue(IopUtf16(name));
  if (v == nullptr) return std::nullopt;
  Value out;
  out.type = v->type;
  out.data = v->data;
  return out;
}

bool DeleteValue(const std::string& keyPath, const std::string& name) {
  std::lock_guard<std::mutex> lock(R().mutex);
  NTSTATUS status;
  std::shared_ptr<Key> key = Walk(keyPath, Create::None, &status);
  if (!key) return false;
  std::u16string folded = FoldKey(IopUtf16(name));
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (FoldKey(it->name) == folded) {
      key->values.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> ValueNames(const std::string& keyPath) {
  std::lock_guard<std::mutex> lock(R().mutex);
  NTSTATUS status;
  std::vector<std::string> names;
  std::shared_ptr<Key> key = Walk(keyPath, Create::None, &status);
  if (!key) return names;
  for (const ::Value& v : key->values) {
    names.push_back(IopUtf8(reinterpret_cast<const WCHAR*>(v.name.data()), v.name.size()));
  }
  return names;
}

}  // namespace host::registry

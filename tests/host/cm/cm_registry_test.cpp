// The registry: device keys, value queries in the three information classes with the buffer-size
// statuses, the device map, handles.
#include "io_test_support.h"

namespace {

using host::verifier::ExpectViolations;
using host::verifier::Rule;
using iotest::WideName;

class HostRegistry : public iotest::IoTest {
 protected:
  HANDLE OpenDeviceKey() {
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_SUCCESS);
    return key;
  }
  std::string DeviceKey() { return host::registry::DeviceKeyPath(pdo); }
};

TEST_F(HostRegistry, DeviceKeyIsCreatedUnderTheInstancePath) {
  EXPECT_EQ(DeviceKey(), std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\") +
                             iotest::kInstance + "\\Device Parameters");
  EXPECT_FALSE(host::registry::KeyExists(DeviceKey()));
  HANDLE key = OpenDeviceKey();
  EXPECT_TRUE(host::registry::KeyExists(DeviceKey()));
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

  // Not a PDO the PnP manager knows.
  PDEVICE_OBJECT fdo = CreateFdo();
  HANDLE other = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &other),
            STATUS_INVALID_DEVICE_REQUEST);
  DeleteFdo(fdo);
}

TEST_F(HostRegistry, FullInformationAlignsTheDataAndDoesNotTerminateTheName) {
  host::registry::SetString(DeviceKey(), "PortName", "COM7");
  HANDLE key = OpenDeviceKey();
  WideName name("PortName");
  alignas(8) UCHAR buffer[64];
  memset(buffer, 0xEE, sizeof buffer);
  ULONG result = 0;
  ASSERT_EQ(ZwQueryValueKey(key, name.get(), KeyValueFullInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
  EXPECT_EQ(full->Type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(full->NameLength, 16u);
  EXPECT_EQ(full->DataLength, 10u);
  EXPECT_EQ(full->DataOffset, 36u);  // 20 + 16, already a multiple of 4
  EXPECT_EQ(result, 46u);
  EXPECT_EQ(host::objects::ToUtf8(reinterpret_cast<PCWSTR>(buffer + full->DataOffset)), "COM7");

  // An odd name length: data rounded up to the next multiple of 4.
  host::registry::SetValue(DeviceKey(), "abc", REG_BINARY, {1, 2, 3});
  WideName odd("abc");
  ASSERT_EQ(ZwQueryValueKey(key, odd.get(), KeyValueFullInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(full->DataOffset, 28u);  // 20 + 6 = 26 -> 28
  EXPECT_EQ(result, 31u);
  EXPECT_EQ(buffer[28], 1);
  EXPECT_EQ(buffer[30], 3);
  EXPECT_EQ(ZwQueryValueKey(key, odd.get(), KeyValueFullInformationAlign64, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(full->DataOffset, 32u);
  ZwClose(key);
}

TEST_F(HostRegistry, BufferSizesGiveTooSmallThenOverflowWithTheFixedPartFilled) {
  host::registry::SetString(DeviceKey(), "PortName", "COM7");
  HANDLE key = OpenDeviceKey();
  WideName name("PortName");
  alignas(8) UCHAR buffer[64];
  ULONG result = 0;
  for (KEY_VALUE_INFORMATION_CLASS cls :
       {KeyValueBasicInformation, KeyValueFullInformation, KeyValuePartialInformation}) {
    SCOPED_TRACE(static_cast<int>(cls));
    ULONG fixed = cls == KeyValueFullInformation ? 20 : 12;
    memset(buffer, 0xEE, sizeof buffer);
    result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, name.get(), cls, buffer, fixed - 1, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_GT(result, fixed);
    EXPECT_EQ(buffer[0], 0xEE);  // nothing written
    ULONG needed = result;
    EXPECT_EQ(ZwQueryValueKey(key, name.get(), cls, buffer, fixed, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, needed);
    EXPECT_EQ(reinterpret_cast<ULONG*>(buffer)[1], static_cast<ULONG>(REG_SZ));  // Type filled
    EXPECT_EQ(buffer[fixed], 0xEE);  // nothing beyond the given length
    EXPECT_EQ(ZwQueryValueKey(key, name.get(), cls, buffer, needed - 1, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ZwQueryValueKey(key, name.get(), cls, buffer, needed, &result), STATUS_SUCCESS);
  }
  // The driver's reading of a port name of 128 bytes into a query buffer of 24 + 16 + 128 bytes.
  std::vector<uint8_t> long_name(128, 'A');
  host::registry::SetValue(DeviceKey(), "PortName", REG_SZ, long_name);
  std::vector<UCHAR> query(24 + 16 + 128);
  EXPECT_EQ(ZwQueryValueKey(key, name.get(), KeyValueFullInformation, query.data(),
                            static_cast<ULONG>(query.size()), &result),
            STATUS_SUCCESS);
  EXPECT_EQ(result, 36u + 128u);
  long_name.resize(134, 'B');  // 36 + 134 > 168
  host::registry::SetValue(DeviceKey(), "PortName", REG_SZ, long_name);
  EXPECT_EQ(ZwQueryValueKey(key, name.get(), KeyValueFullInformation, query.data(),
                            static_cast<ULONG>(query.size()), &result),
            STATUS_BUFFER_OVERFLOW);
  ZwClose(key);
}

TEST_F(HostRegistry, MissingValueEmptyDataAndOddLengthsAreKeptExactly) {
  HANDLE key = OpenDeviceKey();
  WideName missing("PortName");
  ULONG result = 77;
  UCHAR buffer[64];
  EXPECT_EQ(ZwQueryValueKey(key, missing.get(), KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(result, 77u);

  WideName odd("odd");
  UCHAR data[3] = {'C', 0, 'O'};  // no terminator, odd length
  EXPECT_EQ(ZwSetValueKey(key, odd.get(), 0, REG_SZ, data, 3), STATUS_SUCCESS);
  auto value = host::registry::GetValue(DeviceKey(), "ODD");  // names ignore case
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data, (std::vector<uint8_t>{'C', 0, 'O'}));
  ASSERT_EQ(ZwQueryValueKey(key, odd.get(), KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(partial->DataLength, 3u);
  EXPECT_EQ(result, 15u);

  WideName empty("empty");
  EXPECT_EQ(ZwSetValueKey(key, empty.get(), 0, REG_BINARY, nullptr, 0), STATUS_SUCCESS);
  ASSERT_EQ(ZwQueryValueKey(key, empty.get(), KeyValueFullInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer)->DataOffset, 0xFFFFFFFFu);
  ZwClose(key);
}

TEST_F(HostRegistry, DeviceMapWriteCreatesTheKeyAndDeleteReportsMissingValues) {
  EXPECT_FALSE(host::registry::KeyExists(host::registry::kSerialComm));
  WCHAR port[] = L"COM7";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\TAVRINMDM0",
                                  REG_SZ, port, sizeof port),
            STATUS_SUCCESS);
  auto value = host::registry::GetValue(host::registry::kSerialComm, "\\Device\\TAVRINMDM0");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(value->data.size(), 10u);
  EXPECT_EQ(value->AsString(), "COM7");
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\TAVRINMDM0"),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\TAVRINMDM0"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(host::registry::ValueNames(host::registry::kSerialComm).empty());
  // Only the last component is created, as ZwCreateKey does.
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOSUCH\\DEEPER", L"x", REG_SZ, port, 2),
            STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(HostRegistry, FaultInjectionFailsTheNamedService) {
  host::verifier::FailService("RtlWriteRegistryValue", STATUS_INSUFFICIENT_RESOURCES);
  WCHAR port[] = L"COM7";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"x", REG_SZ, port, 10),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"x", REG_SZ, port, 10),
            STATUS_SUCCESS);
  host::verifier::FailService("IoOpenDeviceRegistryKey", STATUS_ACCESS_DENIED);
  HANDLE key = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_ACCESS_DENIED);
  host::verifier::FailService("ZwQueryValueKey", STATUS_UNSUCCESSFUL);
  key = OpenDeviceKey();
  WideName name("PortName");
  ULONG result;
  UCHAR buffer[32];
  EXPECT_EQ(ZwQueryValueKey(key, name.get(), KeyValueFullInformation, buffer, sizeof buffer, &result),
            STATUS_UNSUCCESSFUL);
  ZwClose(key);
}

TEST_F(HostRegistry, HandleLeftOpenIsReportedAtSessionEnd) {
  OpenDeviceKey();
  ExpectViolations capture;
  EndSession();
  EXPECT_EQ(capture.Count(Rule::PoolLeak), 1u) << capture.Text();
  EXPECT_NE(capture.Text().find("never closed"), std::string::npos);
}

TEST_F(HostRegistry, ClosingAHandleTwiceIsTheInvalidHandleBugCheck) {
  HANDLE key = OpenDeviceKey();
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  ExpectViolations capture;
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  EXPECT_EQ(capture.Count(Rule::BugCheck), 1u);
}

TEST_F(HostRegistry, RegistryRoutinesArePassiveLevelOnly) {
  HANDLE key = OpenDeviceKey();
  WideName name("PortName");
  ULONG result;
  UCHAR buffer[32];
  ExpectViolations capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ZwQueryValueKey(key, name.get(), KeyValueFullInformation, buffer, sizeof buffer, &result);
  KeLowerIrql(old);
  EXPECT_EQ(capture.Count(Rule::IrqlMisuse), 1u);
  ZwClose(key);
}

}  // namespace

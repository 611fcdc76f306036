// Device interfaces: the name, registering again, enabling and disabling, the buffer the driver
// frees, and the PDO going away.
#include "io_test_support.h"

namespace {

using host::objects::ToUtf8;
using iotest::WideName;

const GUID kGuid = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const char* kName = "\\??\\USB#VID_1A2B&PID_0001#5&1234&0&1#{4d36e978-e325-11ce-bfc1-08002be10318}";

class HostInterface : public iotest::IoTest {};

TEST_F(HostInterface, RegisterNamesTheInterfaceAfterTheInstancePathAndGuid) {
  UNICODE_STRING name{0, 0, nullptr};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &name), STATUS_SUCCESS);
  EXPECT_EQ(ToUtf8(name), kName);
  EXPECT_EQ(name.MaximumLength, name.Length + 2);
  EXPECT_EQ(name.Buffer[name.Length / 2], 0);
  // The buffer is the driver's until it frees it.
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, 1u);
  UNICODE_STRING again{0, 0, nullptr};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &again), STATUS_SUCCESS);
  EXPECT_EQ(ToUtf8(again), kName);
  EXPECT_NE(again.Buffer, name.Buffer);
  EXPECT_EQ(host::objects::Interfaces().size(), 1u);
  auto info = host::objects::FindInterface(kName);
  ASSERT_TRUE(info.has_value());
  EXPECT_FALSE(info->enabled);
  EXPECT_EQ(info->pdo, pdo);
  RtlFreeUnicodeString(&name);
  RtlFreeUnicodeString(&again);
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, 0u);

  WideName ref("port");
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, ref.get(), &name), STATUS_SUCCESS);
  EXPECT_EQ(ToUtf8(name), std::string(kName) + "\\port");
  RtlFreeUnicodeString(&name);

  PDEVICE_OBJECT fdo = CreateFdo();
  EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kGuid, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);
  DeleteFdo(fdo);
}

TEST_F(HostInterface, EnableLinksToThePdoAndDisableRemovesTheLink) {
  UNICODE_STRING name{0, 0, nullptr};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &name), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(host::objects::FindInterface(kName)->enabled);
  EXPECT_EQ(host::objects::Resolve(kName), pdo);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(host::objects::Resolve(kName), nullptr);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
  WideName unknown("\\??\\nothing#{x}");
  EXPECT_EQ(IoSetDeviceInterfaceState(unknown.get(), TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoSetDeviceInterfaceState(unknown.get(), FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  RtlFreeUnicodeString(&name);
}

TEST_F(HostInterface, ForgettingThePdoDisablesItsInterfaces) {
  UNICODE_STRING name{0, 0, nullptr};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &name), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  host::pnp::ForgetPdo(pdo);
  EXPECT_FALSE(host::objects::FindInterface(kName)->enabled);
  EXPECT_EQ(host::objects::Resolve(kName), nullptr);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_NO_SUCH_DEVICE);
  RtlFreeUnicodeString(&name);
}

TEST_F(HostInterface, FaultInjection) {
  UNICODE_STRING name{0, 0, nullptr};
  host::verifier::FailService("IoRegisterDeviceInterface", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &name), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(name.Buffer, nullptr);
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &name), STATUS_SUCCESS);
  host::verifier::FailService("IoSetDeviceInterfaceState", STATUS_UNSUCCESSFUL);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(host::objects::FindInterface(kName)->enabled);
  RtlFreeUnicodeString(&name);
}

}  // namespace

// Device objects and stacks: creation, attaching and detaching, deletion with references.
#include "io_test_support.h"

namespace {

using host::verifier::ExpectViolations;
using host::verifier::Rule;
using iotest::WideName;

class HostDevice : public iotest::IoTest {};

TEST_F(HostDevice, CreateGivesAZeroedExtensionAndTheInitialFlags) {
  WideName name("\\Device\\TAVRINMDM0");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(fdoDriver, 100, name.get(), FILE_DEVICE_SERIAL_PORT,
                           FILE_DEVICE_SECURE_OPEN, TRUE, &device),
            STATUS_SUCCESS);
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->Flags & (DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME),
            static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME));
  EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(device->DriverObject, fdoDriver);
  EXPECT_EQ(fdoDriver->DeviceObject, device);  // new devices go to the head of the chain
  ASSERT_NE(device->DeviceExtension, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(device->DeviceExtension) % 16, 0u);
  auto* extension = static_cast<UCHAR*>(device->DeviceExtension);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(extension[i], 0) << i;
  EXPECT_EQ(host::objects::DeviceName(device), "\\Device\\TAVRINMDM0");

  PDEVICE_OBJECT unnamed = nullptr;
  ASSERT_EQ(IoCreateDevice(fdoDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &unnamed),
            STATUS_SUCCESS);
  EXPECT_EQ(unnamed->DeviceExtension, nullptr);
  EXPECT_EQ(unnamed->Flags & DO_EXCLUSIVE, 0u);
  EXPECT_EQ(fdoDriver->DeviceObject, unnamed);
  EXPECT_EQ(unnamed->NextDevice, device);
  IoDeleteDevice(device);
  EXPECT_EQ(unnamed->NextDevice, nullptr);
  EXPECT_EQ(host::objects::FindDevice("\\Device\\TAVRINMDM0"), nullptr);
  IoDeleteDevice(unnamed);
  EXPECT_EQ(fdoDriver->DeviceObject, nullptr);
}

TEST_F(HostDevice, AttachGoesToTheTopAndSizesTheStack) {
  PDEVICE_OBJECT fdo = CreateFdo();
  EXPECT_EQ(fdo->StackSize, 2);
  EXPECT_EQ(pdo->AttachedDevice, fdo);
  PDEVICE_OBJECT filter = nullptr;
  ASSERT_EQ(IoCreateDevice(fdoDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter), STATUS_SUCCESS);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), fdo);  // attached to the top, not the target
  EXPECT_EQ(filter->StackSize, 3);
  EXPECT_EQ(IoGetAttachedDevice(pdo), filter);
  EXPECT_EQ(host::pnp::StackTop(pdo), filter);
  PDEVICE_OBJECT referenced = IoGetAttachedDeviceReference(fdo);
  EXPECT_EQ(referenced, filter);
  ObDereferenceObject(referenced);
  IoDetachDevice(fdo);
  EXPECT_EQ(fdo->AttachedDevice, nullptr);
  IoDeleteDevice(filter);
  DeleteFdo(fdo);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

TEST_F(HostDevice, AttachFailsWhenInjectedOrWhenTheTopIsBeingDeleted) {
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(fdoDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  host::verifier::FailService("IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(device, pdo), nullptr);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);

  PDEVICE_OBJECT fdo = CreateFdo();
  ObReferenceObject(fdo);
  DeleteFdo(fdo);  // deletion deferred: a reference is left
  EXPECT_TRUE(host::objects::DeviceName(fdo).empty());
  EXPECT_EQ(IoAttachDeviceToDeviceStack(device, fdo), nullptr);
  ObDereferenceObject(fdo);  // now freed
  IoDeleteDevice(device);
}

TEST_F(HostDevice, CreateFaultAndCollisionLeaveNothingBehind) {
  host::verifier::FailService("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
  PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(IoCreateDevice(fdoDriver, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(fdoDriver->DeviceObject, nullptr);
}

TEST_F(HostDevice, WdmVersionFollowsTheSystemAndItsFaults) {
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0));
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x30));
  host::verifier::SetWdmVersion(1, 0);
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0));
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x10));
  host::verifier::FailService("IoIsWdmVersionAvailable", STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0));
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0));
}

TEST_F(HostDevice, ReferencingSomethingThatIsNoObjectIsReported) {
  int local = 0;
  ExpectViolations capture;
  ObReferenceObject(&local);
  EXPECT_EQ(capture.Count(Rule::ObjectMisuse), 1u);
}

}  // namespace

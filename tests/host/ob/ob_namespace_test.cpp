// The object namespace: device names, symbolic links, the \DosDevices alias, case.
#include "io_test_support.h"

namespace {

using iotest::WideName;

class HostNamespace : public iotest::IoTest {};

TEST_F(HostNamespace, LinksResolveToDevicesWhateverTheCaseOrAlias) {
  PDEVICE_OBJECT fdo = CreateFdo("\\Device\\TAVRINMDM0");
  EXPECT_EQ(host::objects::FindDevice("\\device\\tavrinmdm0"), fdo);
  WideName link("\\DosDevices\\COM7");
  WideName target("\\Device\\TAVRINMDM0");
  ASSERT_EQ(IoCreateUnprotectedSymbolicLink(link.get(), target.get()), STATUS_SUCCESS);
  EXPECT_EQ(host::objects::SymbolicLinkTarget("\\??\\COM7"), "\\Device\\TAVRINMDM0");
  EXPECT_EQ(host::objects::Resolve("\\??\\com7"), fdo);
  EXPECT_EQ(host::objects::Resolve("\\DosDevices\\COM7"), fdo);
  EXPECT_EQ(host::objects::SymbolicLinks(), std::vector<std::string>{"\\??\\COM7"});
  EXPECT_EQ(host::objects::FindDevice("\\??\\COM7"), nullptr);  // a link, not a device

  // A link to a link, and a dangling link.
  WideName second("\\??\\MODEM");
  WideName first("\\DosDevices\\COM7");
  EXPECT_EQ(IoCreateSymbolicLink(second.get(), first.get()), STATUS_SUCCESS);
  EXPECT_EQ(host::objects::Resolve("\\??\\MODEM"), fdo);
  WideName dangling("\\??\\COM9");
  WideName nowhere("\\Device\\Nothing");
  EXPECT_EQ(IoCreateSymbolicLink(dangling.get(), nowhere.get()), STATUS_SUCCESS);
  EXPECT_EQ(host::objects::Resolve("\\??\\COM9"), nullptr);
  DeleteFdo(fdo);
  EXPECT_EQ(host::objects::Resolve("\\??\\COM7"), nullptr);  // the link stays, the device went
}

TEST_F(HostNamespace, CollisionsAndMissingNames) {
  PDEVICE_OBJECT fdo = CreateFdo("\\Device\\TAVRINMDM0");
  WideName link("\\DosDevices\\COM7");
  WideName alias("\\??\\com7");
  WideName target("\\Device\\TAVRINMDM0");
  EXPECT_EQ(IoCreateSymbolicLink(link.get(), target.get()), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(alias.get(), target.get()), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoCreateSymbolicLink(target.get(), target.get()), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoDeleteSymbolicLink(alias.get()), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(link.get()), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoDeleteSymbolicLink(target.get()), STATUS_OBJECT_TYPE_MISMATCH);

  // A second device of the same name.
  PDEVICE_OBJECT twin = nullptr;
  WideName name("\\Device\\tavrinmdm0");
  EXPECT_EQ(IoCreateDevice(fdoDriver, 0, name.get(), FILE_DEVICE_SERIAL_PORT, 0, FALSE, &twin),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(twin, nullptr);
  DeleteFdo(fdo);
  // The name is free again.
  EXPECT_EQ(IoCreateDevice(fdoDriver, 0, name.get(), FILE_DEVICE_SERIAL_PORT, 0, FALSE, &twin),
            STATUS_SUCCESS);
  IoDeleteDevice(twin);
}

TEST_F(HostNamespace, LinkServicesCanBeFailedOnPurpose) {
  WideName link("\\DosDevices\\COM7");
  WideName target("\\Device\\TAVRINMDM0");
  host::verifier::FailService("IoCreateUnprotectedSymbolicLink", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoCreateUnprotectedSymbolicLink(link.get(), target.get()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(host::objects::SymbolicLinks().empty());
  EXPECT_EQ(IoCreateUnprotectedSymbolicLink(link.get(), target.get()), STATUS_SUCCESS);
  host::verifier::FailService("IoDeleteSymbolicLink", STATUS_UNSUCCESSFUL);
  EXPECT_EQ(IoDeleteSymbolicLink(link.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(IoDeleteSymbolicLink(link.get()), STATUS_SUCCESS);
}

}  // namespace

// The application side: opening by name, the I/O manager's checks before the driver sees a
// create, the create/cleanup/close sequence and the deferred close, buffers by I/O method, the
// IRQL requests are sent at, and Request handles.
#include "io_test_support.h"

namespace {

using host::app::File;
using host::app::IoResult;
using host::app::OpenOptions;
using host::app::Request;
using iotest::Complete;
using iotest::Handlers;
using iotest::WideName;

const ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

class HostApp : public iotest::IoTest {
 protected:
  void SetUp() override {
    iotest::IoTest::SetUp();
    fdo = CreateFdo("\\Device\\TAVRINMDM0", /*exclusive=*/true);
    fdo->Flags |= DO_BUFFERED_IO;
    WideName link("\\DosDevices\\COM7");
    WideName target("\\Device\\TAVRINMDM0");
    ASSERT_EQ(IoCreateSymbolicLink(link.get(), target.get()), STATUS_SUCCESS);
    Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
      majors.push_back(location->MajorFunction);
      files.push_back(location->FileObject);
      if (location->MajorFunction == IRP_MJ_READ && pendReads) {
        IoMarkIrpPending(irp);
        pending = irp;
        if (cancellableReads) IoSetCancelRoutine(irp, CancelPendingRead);
        return STATUS_PENDING;
      }
      NTSTATUS status = location->MajorFunction == IRP_MJ_CREATE ? createStatus : STATUS_SUCCESS;
      return Complete(irp, status);
    };
  }
  void TearDown() override {
    DeleteFdo(fdo);
    iotest::IoTest::TearDown();
  }

  PDEVICE_OBJECT fdo = nullptr;
  std::vector<UCHAR> majors;
  std::vector<PFILE_OBJECT> files;
  NTSTATUS createStatus = STATUS_SUCCESS;
  bool pendReads = false;
  bool cancellableReads = false;
  PIRP pending = nullptr;

  static VOID CancelPendingRead(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
  }
};

TEST_F(HostApp, OpenResolvesDosNamesAndLinksAndSendsCreateCleanupClose) {
  for (const char* name : {"\\\\.\\COM7", "COM7", "\\DosDevices\\com7", "\\??\\COM7", "\\Device\\TAVRINMDM0"}) {
    SCOPED_TRACE(name);
    majors.clear();
    files.clear();
    File file;
    ASSERT_EQ(File::Open(name, &file), STATUS_SUCCESS);
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Device(), fdo);
    EXPECT_EQ(file.FileObject()->DeviceObject, fdo);
    EXPECT_EQ(file.Close(), STATUS_SUCCESS);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    ASSERT_EQ(files.size(), 3u);
    EXPECT_NE(files[0], nullptr);
    EXPECT_EQ(files[1], files[0]);
    EXPECT_EQ(files[2], files[0]);
  }
  File missing;
  EXPECT_EQ(File::Open("COM9", &missing), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(missing.IsOpen());
}

TEST_F(HostApp, ExclusiveDeviceRefusesASecondOpenBeforeItsDriverSeesIt) {
  File first;
  ASSERT_EQ(File::Open("COM7", &first), STATUS_SUCCESS);
  majors.clear();
  File second;
  EXPECT_EQ(File::Open("COM7", &second), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(majors.empty());
  // A kernel-mode open that bypasses the check reaches the driver, which may refuse it itself.
  createStatus = STATUS_ACCESS_DENIED;
  OpenOptions bypass;
  bypass.bypassExclusiveCheck = true;
  EXPECT_EQ(File::Open("COM7", &second, bypass), STATUS_ACCESS_DENIED);
  EXPECT_EQ(majors, std::vector<UCHAR>{IRP_MJ_CREATE});  // a failed create: no cleanup, no close
  first.Close();
  createStatus = STATUS_SUCCESS;
  EXPECT_EQ(File::Open("COM7", &second), STATUS_SUCCESS);
}

TEST_F(HostApp, DeviceStillInitialisingIsNotOpened) {
  fdo->Flags |= DO_DEVICE_INITIALIZING;
  File file;
  EXPECT_EQ(File::Open("COM7", &file), STATUS_NO_SUCH_DEVICE);
  EXPECT_TRUE(majors.empty());
}

TEST_F(HostApp, CloseWaitsUntilTheLastRequestOnTheFileHasFinished) {
  File file;
  ASSERT_EQ(File::Open("COM7", &file), STATUS_SUCCESS);
  pendReads = true;
  Request read = file.ReadAsync(4);
  EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(file.Cleanup(), STATUS_SUCCESS);
  Request close = file.CloseAsync();
  session().Pump();
  EXPECT_FALSE(close.Done());
  EXPECT_EQ(majors.back(), IRP_MJ_CLEANUP);
  // The exclusive device still counts the file object as open.
  File other;
  EXPECT_EQ(File::Open("COM7", &other), STATUS_ACCESS_DENIED);
  memcpy(pending->AssociatedIrp.SystemBuffer, "data", 4);
  Complete(pending, STATUS_SUCCESS, 4);
  EXPECT_EQ(read.Result().output, (std::vector<uint8_t>{'d', 'a', 't', 'a'}));
  close.Wait();
  EXPECT_EQ(majors.back(), IRP_MJ_CLOSE);
  EXPECT_EQ(File::Open("COM7", &other), STATUS_SUCCESS);
}

TEST_F(HostApp, BufferedReadsAndWritesUseASystemBuffer) {
  File file;
  ASSERT_EQ(File::Open("COM7", &file), STATUS_SUCCESS);
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_READ) {
      EXPECT_EQ(location->Parameters.Read.Length, 8u);
      EXPECT_NE(irp->AssociatedIrp.SystemBuffer, nullptr);
      EXPECT_NE(irp->AssociatedIrp.SystemBuffer, irp->UserBuffer);
      EXPECT_TRUE(irp->Flags & IRP_BUFFERED_IO);
      memcpy(irp->AssociatedIrp.SystemBuffer, "abcdefgh", 8);
      return Complete(irp, STATUS_SUCCESS, 3);
    }
    if (location->MajorFunction == IRP_MJ_WRITE) {
      EXPECT_EQ(location->Parameters.Write.Length, 5u);
      EXPECT_EQ(memcmp(irp->AssociatedIrp.SystemBuffer, "hello", 5), 0);
      return Complete(irp, STATUS_SUCCESS, 5);
    }
    return Complete(irp, STATUS_SUCCESS);
  };
  IoResult read = file.Read(8);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.output, (std::vector<uint8_t>{'a', 'b', 'c'}));  // Information bytes only
  IoResult write = file.Write("hello", 5);
  EXPECT_EQ(write.information, 5u);
  EXPECT_EQ(file.Flush().status, STATUS_SUCCESS);

  // Without DO_BUFFERED_IO the caller's buffer is passed as it is.
  fdo->Flags &= ~DO_BUFFERED_IO;
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    EXPECT_NE(irp->UserBuffer, nullptr);
    memcpy(irp->UserBuffer, "xy", 2);
    return Complete(irp, STATUS_SUCCESS, 2);
  };
  EXPECT_EQ(file.Read(4).output, (std::vector<uint8_t>{'x', 'y'}));
}

TEST_F(HostApp, ControlCodesFollowTheirMethod) {
  File file;
  ASSERT_EQ(File::Open("COM7", &file), STATUS_SUCCESS);
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL &&
        location->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
      return Complete(irp, STATUS_SUCCESS);
    }
    ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    if (code == kBufferedCode) {
      auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
      EXPECT_EQ(memcmp(buffer, "in", 2), 0);
      EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 6u);
      bool fail = location->Parameters.DeviceIoControl.InputBufferLength == 3;
      memcpy(buffer, "output", 6);
      return Complete(irp, fail ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS, 4);
    }
    EXPECT_EQ(code, kNeitherCode);
    EXPECT_EQ(memcmp(location->Parameters.DeviceIoControl.Type3InputBuffer, "raw", 3), 0);
    memcpy(irp->UserBuffer, "OK", 2);
    return Complete(irp, STATUS_SUCCESS, 2);
  };
  IoResult ok = file.DeviceIoControl(kBufferedCode, "in", 2, 6);
  EXPECT_EQ(ok.status, STATUS_SUCCESS);
  EXPECT_EQ(ok.output, (std::vector<uint8_t>{'o', 'u', 't', 'p'}));
  IoResult failed = file.DeviceIoControl(kBufferedCode, "in!", 3, 6);
  EXPECT_EQ(failed.status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(failed.output.empty());  // nothing copied back on an error
  IoResult neither = file.InternalDeviceIoControl(kNeitherCode, "raw", 3, 2);
  EXPECT_EQ(neither.output, (std::vector<uint8_t>{'O', 'K'}));
}

TEST_F(HostApp, RequestsGoDownAtTheChosenIrqlAndHandlesFollowThem) {
  File file;
  ASSERT_EQ(File::Open("COM7", &file), STATUS_SUCCESS);
  KIRQL seen = HIGH_LEVEL;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
    seen = KeGetCurrentIrql();
    IoMarkIrpPending(irp);
    pending = irp;
    return STATUS_PENDING;
  };
  Request request = file.DeviceIoControlAsync(kBufferedCode, nullptr, 0, 0, DISPATCH_LEVEL);
  EXPECT_EQ(seen, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(request.DispatchStatus(), STATUS_PENDING);
  EXPECT_FALSE(request.Done());
  EXPECT_EQ(request.Irp(), pending);
  Complete(pending, STATUS_TIMEOUT);
  EXPECT_TRUE(request.Done());
  EXPECT_EQ(request.Irp(), nullptr);
  EXPECT_EQ(request.Wait().status, STATUS_TIMEOUT);
}

TEST_F(HostApp, InterfaceLinkWithAReferenceStringOpensTheStackWithItAsFileName) {
  const GUID guid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  WideName ref("port");
  UNICODE_STRING name{0, 0, nullptr};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &guid, ref.get(), &name), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  std::string fileName;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_CREATE) fileName = host::objects::ToUtf8(location->FileObject->FileName);
    return Complete(irp, STATUS_SUCCESS);
  };
  File file;
  ASSERT_EQ(File::Open(host::objects::ToUtf8(name), &file), STATUS_SUCCESS);
  EXPECT_EQ(fileName, "\\port");
  EXPECT_EQ(file.Device(), fdo);
  EXPECT_EQ(file.FileObject()->DeviceObject, pdo);
  file.Close();
  IoSetDeviceInterfaceState(&name, FALSE);
  RtlFreeUnicodeString(&name);
}

// A thread's end cancels what it issued and nothing of another thread's; a request its driver
// cannot cancel is waited for five minutes and then left (the handle stays usable).
TEST_F(HostApp, EndThreadCancelsTheEndingThreadsRequestsOnly) {
  iotest::FakeQueue queue;
  bool cancellable = true;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
      return Complete(irp, STATUS_SUCCESS);
    }
    if (cancellable) return queue.Queue(irp);
    IoMarkIrpPending(irp);
    pending = irp;
    return STATUS_PENDING;
  };
  File file;
  ASSERT_EQ(File::Open("COM7", &file), STATUS_SUCCESS);
  Request mine, done;
  Request others = file.ReadAsync(1);
  size_t left = 99;
  auto app = session().Spawn("app", [&] {
    mine = file.ReadAsync(1);
    done = file.WriteAsync("x", 1);
    left = host::app::EndThread();
  });
  app->Join();
  EXPECT_EQ(left, 0u);
  ASSERT_TRUE(mine.Done());
  EXPECT_EQ(mine.Result().status, STATUS_CANCELLED);
  EXPECT_EQ(done.Result().status, STATUS_SUCCESS);
  EXPECT_FALSE(others.Done());
  EXPECT_EQ(queue.Dequeue(), others.Irp());
  Complete(others.Irp(), STATUS_SUCCESS);

  cancellable = false;
  Request stuck = file.ReadAsync(1);
  const int64_t before = session().Now();
  EXPECT_EQ(host::app::EndThread(), 1u);
  EXPECT_EQ(session().Now() - before, 5LL * 60 * 10000000);
  EXPECT_FALSE(stuck.Done());
  Complete(pending, STATUS_SUCCESS);
  EXPECT_TRUE(stuck.Done());
  EXPECT_EQ(file.Close(), STATUS_SUCCESS);
}

TEST_F(HostApp, AReferenceOnTheFileObjectDelaysTheClose) {
  File file;
  ASSERT_EQ(File::Open("COM7", &file), STATUS_SUCCESS);
  PFILE_OBJECT fileObject = file.FileObject();
  ObReferenceObject(fileObject);
  file.Cleanup();
  Request close = file.CloseAsync();
  session().Pump();
  EXPECT_FALSE(close.Done());
  ObDereferenceObject(fileObject);
  close.Wait();
  EXPECT_EQ(majors.back(), IRP_MJ_CLOSE);
}

}  // namespace

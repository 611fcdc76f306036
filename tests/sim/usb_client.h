// A test's stand-in for a USB client driver: builds URBs as a function driver does and sends
// them to a device object, synchronously (IoBuildDeviceIoControlRequest and a wait, the way a
// driver's SubmitUrbSync does) or asynchronously (IoAllocateIrp with a completion routine that
// frees the request, the way a continuous reader does).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "sim/bus.h"
#include "sim/scripted_modem.h"
#include "sim/testbed.h"
#include "sim/trace.h"

namespace sim::testing {

// What an asynchronous submission came to.
struct AsyncUrb {
  NTSTATUS dispatchStatus = STATUS_PENDING;  // what IoCallDriver returned
  bool done = false;
  int completions = 0;
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = PASSIVE_LEVEL;  // IRQL the completion routine ran at
};

inline NTSTATUS AsyncUrbComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* r = static_cast<AsyncUrb*>(context);
  r->done = true;
  ++r->completions;
  r->status = irp->IoStatus.Status;
  r->irql = KeGetCurrentIrql();
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// URB builders, filled as the function driver fills them.
inline URB ClassUrb(uint8_t request, uint16_t value, void* buffer, uint32_t length,
                    bool in = false, uint8_t bmRequestType = 0x21, uint16_t index = 0,
                    USHORT function = URB_FUNCTION_CLASS_INTERFACE) {
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  auto& r = urb.UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = function;
  r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  r.TransferBufferLength = length;
  r.TransferBuffer = buffer;
  r.RequestTypeReservedBits = bmRequestType;
  r.Request = request;
  r.Value = value;
  r.Index = index;
  return urb;
}

inline USBD_PIPE_HANDLE AsHandle(uint32_t word) {
  return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(word));
}

inline URB PipeUrb(USHORT function, uint32_t handle) {
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = function;
  urb.UrbPipeRequest.PipeHandle = AsHandle(handle);
  return urb;
}

inline URB TransferUrb(uint32_t handle, ULONG flags, void* buffer, uint32_t length) {
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  auto& t = urb.UrbBulkOrInterruptTransfer;
  t.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  t.PipeHandle = AsHandle(handle);
  t.TransferFlags = flags;
  t.TransferBufferLength = length;
  t.TransferBuffer = buffer;
  return urb;
}

constexpr ULONG kInFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// The handle word the bus driver published at `offset` (12, 16 or 20) in the PDO's extension.
inline uint32_t ExtensionWord(PDEVICE_OBJECT pdo, size_t offset) {
  uint32_t word;
  std::memcpy(&word, static_cast<uint8_t*>(pdo->DeviceExtension) + offset, sizeof word);
  return word;
}

class UrbClient {
 public:
  explicit UrbClient(PDEVICE_OBJECT target) : target_(target) {}

  uint32_t Handle(Pipe pipe) const {
    return ExtensionWord(target_, pipe == Pipe::BulkIn ? 12 : pipe == Pipe::BulkOut ? 16 : 20);
  }

  // SubmitUrbSync's way: a request the I/O manager owns, an event, a wait if pending.
  NTSTATUS Sync(URB* urb) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target_, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(target_, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    return status;
  }

  // A reader's way: the request is ours, freed by the completion routine.
  std::shared_ptr<AsyncUrb> Async(URB* urb, KIRQL irql = PASSIVE_LEVEL) {
    auto result = std::make_shared<AsyncUrb>();
    results_.push_back(result);  // the completion may come after the caller let go
    PIRP irp = IoAllocateIrp(target_->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (!irp) return result;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, &AsyncUrbComplete, result.get(), TRUE, TRUE, TRUE);
    lastIrp_ = irp;
    if (irql == PASSIVE_LEVEL) {
      result->dispatchStatus = IoCallDriver(target_, irp);
    } else {
      KIRQL old;
      KeRaiseIrql(irql, &old);
      result->dispatchStatus = IoCallDriver(target_, irp);
      KeLowerIrql(old);
    }
    return result;
  }

  // The request of the last Async call (valid while it is pending).
  PIRP LastIrp() const { return lastIrp_; }

 private:
  PDEVICE_OBJECT target_;
  PIRP lastIrp_ = nullptr;
  std::vector<std::shared_ptr<AsyncUrb>> results_;
};

inline std::string Str(const void* data, size_t n) {
  return std::string(static_cast<const char*>(data), n);
}

// A testbed with no function driver: one scripted modem plugged in and started; URBs go straight
// to the PDO.
class UsbStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tb_ = std::make_unique<Testbed>(TestbedOptions{});
    tb_->Plug(std::make_unique<ScriptedModem>());
    ASSERT_EQ(tb_->Start(), STATUS_SUCCESS);
    client_ = std::make_unique<UrbClient>(tb_->pdo());
    cursor_ = usb().Trace().CursorAtEnd();
  }
  void TearDown() override {
    tb_.reset();  // completes what is still pending: the client's records and URBs outlive it
    client_.reset();
    urbs_.clear();
  }

  // A URB that outlives the test body, for transfers left pending at its end (the teardown
  // completes them).
  URB& Keep(const URB& urb) {
    urbs_.push_back(urb);
    return urbs_.back();
  }

  Testbed& tb() { return *tb_; }
  UsbStack& usb() { return tb_->usb(); }
  ScriptedModem& modem() { return tb_->modem<ScriptedModem>(); }
  UrbClient& client() { return *client_; }
  uint32_t H(Pipe pipe) { return client_->Handle(pipe); }
  void Pump() { tb_->Pump(); }
  // The USB entries recorded since SetUp (or the last call), as lines.
  std::vector<std::string> Lines() { return cursor_.Rest(); }
  TraceCursor& cursor() { return cursor_; }

 private:
  std::deque<URB> urbs_;
  std::unique_ptr<Testbed> tb_;
  std::unique_ptr<UrbClient> client_;
  TraceCursor cursor_;
};

}  // namespace sim::testing

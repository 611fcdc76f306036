// Requests for white-box tests of the request queues: allocated here, each with one stack
// location that looks like the port's own (major function, parameters, the device object) and a
// completion routine that records every completion and stops it with
// STATUS_MORE_PROCESSING_REQUIRED. The requests are freed when the set goes, so that a request
// completed early can still be handed to IoCancelIrp by a racing thread.
//
// Each request takes a RemoveLock hold with itself as tag, as a dispatch routine does before it
// queues a request; whoever completes it must give that hold back.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "tavrinmdm/extension.h"
#include "tavrinmdm/serial/serial.h"

namespace queuetest {

class IrpSet;

struct IrpRecord {
  IrpSet* set = nullptr;
  PIRP irp = nullptr;
  std::atomic<int> completions{0};
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::atomic<ULONG_PTR> information{0};
  std::atomic<bool> pendingReturned{false};
  std::atomic<long> sequence{-1};  // place in the set's completion order
};

// Completion routine of every test request. External linkage: reports name it.
NTSTATUS NTAPI QueueTestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

class IrpSet {
 public:
  explicit IrpSet(PDEVICE_OBJECT fdo) : fdo_(fdo) {}
  ~IrpSet() { FreeAll(); }
  IrpSet(const IrpSet&) = delete;
  IrpSet& operator=(const IrpSet&) = delete;

  PDEVICE_EXTENSION Ext() const { return static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension); }

  PIRP Read(ULONG length = 16) {
    PIRP irp = Make(IRP_MJ_READ);
    IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length = length;
    return irp;
  }
  PIRP Write(ULONG length) {
    PIRP irp = Make(IRP_MJ_WRITE);
    IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length = length;
    return irp;
  }
  PIRP Wait() { return Control(IOCTL_SERIAL_WAIT_ON_MASK); }
  PIRP ImmediateChar() {
    PIRP irp = Control(IOCTL_SERIAL_IMMEDIATE_CHAR);
    SetImmediateCharMark(irp);
    return irp;
  }

  IrpRecord& Of(PIRP irp) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (IrpRecord& r : records_) {
      if (r.irp == irp) return r;
    }
    ADD_FAILURE() << "not a test request: " << irp;
    return records_.front();
  }
  int Completions(PIRP irp) { return Of(irp).completions.load(); }
  NTSTATUS Status(PIRP irp) { return Of(irp).status.load(); }

  // The requests in the order they were completed.
  std::vector<PIRP> CompletionOrder() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PIRP> order(static_cast<size_t>(sequence_.load()), nullptr);
    for (IrpRecord& r : records_) {
      long s = r.sequence.load();
      if (s >= 0 && static_cast<size_t>(s) < order.size()) order[static_cast<size_t>(s)] = r.irp;
    }
    return order;
  }

  // What the routine that owns a dequeued (or refused) request does: complete it and give back
  // its RemoveLock hold.
  void CompleteOwned(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    PDEVICE_EXTENSION ext = Ext();
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    IoReleaseRemoveLock(&ext->RemoveLock, irp);
  }

  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
  }
  // Every request completed exactly once.
  void ExpectEachCompletedOnce() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (IrpRecord& r : records_) {
      EXPECT_EQ(r.completions.load(), 1) << "request " << r.irp;
    }
  }

  // Frees every request that has been completed; one never completed is reported and left.
  void FreeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (IrpRecord& r : records_) {
      if (r.irp == nullptr) continue;
      if (r.completions.load() == 0) {
        ADD_FAILURE() << "request " << r.irp << " was never completed";
        continue;
      }
      IoFreeIrp(r.irp);
      r.irp = nullptr;
    }
  }

  void Record(IrpRecord* r, PIRP irp) {
    r->status = irp->IoStatus.Status;
    r->information = irp->IoStatus.Information;
    r->pendingReturned = irp->PendingReturned != FALSE;
    long s = sequence_.fetch_add(1);
    if (r->completions.fetch_add(1) == 0) r->sequence = s;
  }

 private:
  PIRP Control(ULONG code) {
    PIRP irp = Make(IRP_MJ_DEVICE_CONTROL);
    IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = code;
    return irp;
  }

  PIRP Make(UCHAR major) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(irp, nullptr);
    IrpRecord* r;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.emplace_back();
      r = &records_.back();
      r->set = this;
      r->irp = irp;
    }
    IoSetCompletionRoutine(irp, QueueTestCompletion, r, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->DeviceObject = fdo_;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    EXPECT_EQ(IoAcquireRemoveLock(&Ext()->RemoveLock, irp), STATUS_SUCCESS);
    return irp;
  }

  PDEVICE_OBJECT fdo_;
  std::mutex mutex_;
  std::deque<IrpRecord> records_;  // stable addresses: each is its request's completion context
  std::atomic<long> sequence_{0};
};

inline NTSTATUS NTAPI QueueTestCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* r = static_cast<IrpRecord*>(Context);
  r->set->Record(r, Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The remove lock's count: the lock's own bias (1) plus one per hold.
inline LONG RemoveLockCount(PDEVICE_EXTENSION ext) { return ext->RemoveLock.Common.IoCount; }

}  // namespace queuetest

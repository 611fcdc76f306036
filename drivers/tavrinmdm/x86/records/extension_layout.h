// The DEVICE_EXTENSION's layout as one build sees it: its size and the offsets of fields spread
// over the whole record. The image's build records it (build/x86/extension_layout.bin) and the
// 32-bit host's test compares its own with it, so that what a scenario reads in the extension of
// a loaded image is what the image wrote there.
#pragma once

#include "tavrinmdm/extension.h"

#define TAVRIN_EXTENSION_FIELDS(F)                                                             \
  F(LowerDeviceObject) F(RemoveLock) F(InterfaceName) F(PnpState) F(DeviceCapabilities)         \
  F(OpenCount) F(BulkInPipe) F(DeviceGone) F(SpinLock) F(Timeouts) F(BaudRate) F(LineControl)   \
  F(HandFlow) F(SpecialChars) F(WaitMask) F(PerfStats) F(ModemStatus) F(InterruptUrb)           \
  F(WaitQueue) F(ReadQueue) F(NotifyBuffer) F(AmountInOutQueue) F(DeviceName) F(DosName)        \
  F(HoldReasons) F(WriteActive) F(WriteQueue) F(IntervalTime) F(CutOverAmount)                  \
  F(IntervalTimeToUse) F(TotalDpcBusy) F(ReadTotalTimer) F(ReadTotalDpc) F(ReadIntervalTimer)   \
  F(ReadIntervalDpc) F(BulkInUrb) F(BulkInBuffer) F(RingHead) F(RingCount) F(RingBuffer)        \
  F(RingLock) F(EventHistory) F(DeviceOpen) F(StateLock) F(OpenMutex) F(CloseMutex)             \
  F(IoIdleEvent) F(IoCount) F(SystemSuspended) F(BulkInReaderState) F(ReaderSubmits)            \
  F(ControlLineState) F(WriteSenderBusy) F(WriteFollowUp) F(SystemPowerContext)                \
  F(DevicePowerContext) F(WriteFileObject)

// Size first, then the offsets in the order above; alone in the section .tvlayout of its object.
#define TAVRIN_EXTENSION_COUNT(field) +1
constexpr unsigned kTavrinExtensionLayoutCount = 1 TAVRIN_EXTENSION_FIELDS(TAVRIN_EXTENSION_COUNT);
extern "C" __attribute__((section(".tvlayout"))) const ULONG
    TavrinExtensionLayout[kTavrinExtensionLayoutCount];

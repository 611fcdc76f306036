// DEVICE_EXTENSION: the whole state of one modem port, carried by each device object the driver
// creates, and the small operations every subsystem shares on it.
//
// The record is allocated by the I/O manager as the device extension (non-paged), zeroed and
// initialised by AddDevice, and partly reset by every first open. The receive ring, the two
// continuous-read URBs and the bulk-IN buffer live inside it, so the receive path allocates
// nothing but the IRP of each transfer; the record is a little over one megabyte per device.
//
// Locks and what they guard:
//   SpinLock   serial settings (Timeouts, BaudRate, LineControl, HandFlow, SpecialChars),
//              WaitMask, EventHistory, ModemStatus, HoldReasons, PerfStats, the three queues,
//              AmountInOutQueue, WriteActive, WriteFileObject, ReadRemaining, the read-timer
//              fields, clearing of DeviceOpen, SystemSuspended, the reader states, the line-state
//              record and the read timers' holds.
//   RingLock   RingHead, RingTail, RingCount, RingBuffer.
//   StateLock  DeviceGone and PnpState: every write of either, and the reads of the unavailable
//              test.
//   OpenMutex  open against query-remove and query-stop.  CloseMutex  the last-close decision.
//   RemoveLock the device's existence while a request or transfer is in the driver's hands.
// Order: a fast mutex before any spin lock; the cancel spin lock before SpinLock; SpinLock before
// RingLock (never the reverse); StateLock is never held together with another spin lock. No spin
// lock is held while a request is completed or sent down.
#pragma once

#include "tavrinmdm/platform.h"
#include "tavrinmdm/power/power_context.h"

#ifndef IO_SERIAL_INCREMENT
#define IO_SERIAL_INCREMENT 2
#endif

// DeviceGone holds this value once a reader has found the modem gone; any other value means
// present. It is set once and never cleared while the device object exists.
#define DEVICE_GONE_MARK 9999

#define NOTIFY_BUFFER_SIZE 16
#define BULK_IN_BUFFER_SIZE 4096
#define RING_BUFFER_SIZE 1024000

// PnP state of the device, changed only by the PnP routines:
//
//   any         --start (lower start and naming succeed)-->  Started
//   Started     --query-stop, port closed-->                 StopPending
//   StopPending --cancel-stop, lower drivers succeed-->      Started
//   any         --stop-->                                    NotStarted
//   any         --query-remove, port closed-->               RemovePending (previous state saved)
//   RemovePending --cancel-remove, lower drivers succeed-->  the saved state
//   any         --surprise removal-->                        SurpriseRemoved
//   any         --remove-->                                  Removed, then the device is deleted
//
// RemovePending, SurpriseRemoved and Removed make the device unavailable to requests; StopPending
// does not. An open is admitted only in Started.
// The remove-lock hold of one read timer (serial/read.cpp), under SpinLock. Whoever sets the timer
// while it holds nothing takes the hold (tag: the timer); the timer's DPC gives it back when it
// has run, or a cancel that takes the timer out before it expires. Removal's release-and-wait thus
// also waits for a DPC that is queued or running.
//   Held      the timer is set, or has expired and its DPC has not yet claimed the hold.
//   Stale     cancelled after it expired: its DPC only gives the hold back.
//   Deferred  set again while its DPC was still due: the DPC sets it (to DeferredDue) when it
//             claims the hold, so one expiry never waits behind another for the same DPC.
typedef struct _READ_TIMER_HOLD {
    BOOLEAN Held;
    BOOLEAN Stale;
    BOOLEAN Deferred;
    LARGE_INTEGER DeferredDue;
} READ_TIMER_HOLD, *PREAD_TIMER_HOLD;

enum DEVICE_PNP_STATE : ULONG {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 3,
    SurpriseRemoved = 4,
    Removed = 5,
};

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDeviceObject;      // every forwarded request and every URB goes here
    PDEVICE_OBJECT PhysicalDeviceObject;
    IO_REMOVE_LOCK RemoveLock;
    UNICODE_STRING InterfaceName;          // buffer allocated by the system
    DEVICE_PNP_STATE PnpState;
    DEVICE_PNP_STATE PreviousPnpState;     // saved by an accepted query-remove
    DEVICE_POWER_STATE DevicePowerState;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_CAPABILITIES DeviceCapabilities;
    volatile LONG OpenCount;               // interlocked
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptPipe;
    ULONG DeviceGone;                      // DEVICE_GONE_MARK once the modem is lost
    KSPIN_LOCK SpinLock;
    SERIAL_TIMEOUTS Timeouts;
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;       // StopBits, Parity, WordLength
    SERIAL_HANDFLOW HandFlow;              // stored and reported only
    SERIAL_CHARS SpecialChars;             // stored and reported only
    ULONG WaitMask;
    SERIALPERF_STATS PerfStats;
    USHORT ModemStatus;                    // SERIAL_MSR_* bits: 0x80 DCD, 0x20 DSR, 0x10 CTS
    URB InterruptUrb;                      // owned by the notification reader
    LIST_ENTRY WaitQueue;
    LIST_ENTRY ReadQueue;
    UCHAR NotifyBuffer[NOTIFY_BUFFER_SIZE];
    ULONG AmountInOutQueue;
    UNICODE_STRING DeviceName;             // two zero bytes beyond MaximumLength: also terminated
    UNICODE_STRING DosName;                // "\DosDevices\" + port name, between start and stop
    ULONG HoldReasons;
    BOOLEAN WriteActive;
    LIST_ENTRY WriteQueue;
    LARGE_INTEGER IntervalTime;            // current read's interval time-out, 100 ns units
    LARGE_INTEGER ShortIntervalAmount;     // -1
    LARGE_INTEGER LongIntervalAmount;      // -10,000,000 (1 s)
    LARGE_INTEGER CutOverAmount;           // 200,000,000 (20 s)
    PLARGE_INTEGER IntervalTimeToUse;      // &ShortIntervalAmount or &LongIntervalAmount
    BOOLEAN IntervalTimerArmed;
    BOOLEAN IntervalDpcBusy;
    BOOLEAN TotalDpcBusy;
    KTIMER ReadTotalTimer;
    KDPC ReadTotalDpc;
    KTIMER ReadIntervalTimer;
    KDPC ReadIntervalDpc;
    URB BulkInUrb;                         // owned by the bulk-IN reader
    UCHAR BulkInBuffer[BULK_IN_BUFFER_SIZE];
    ULONG RingHead;
    ULONG RingTail;
    volatile LONG RingCount;
    UCHAR RingBuffer[RING_BUFFER_SIZE];
    KSPIN_LOCK RingLock;
    ULONG ReadRemaining;
    ULONG EventHistory;
    BOOLEAN DeviceOpen;
    KSPIN_LOCK StateLock;
    FAST_MUTEX OpenMutex;
    FAST_MUTEX CloseMutex;
    KEVENT IoIdleEvent;                    // notification event: IoCount reached 0
    volatile LONG IoCount;                 // transfers in flight + 1 for the open port
    BOOLEAN SystemSuspended;
    // Receive-path bookkeeping (usb/readers.cpp): the two readers' READER_STATE, under SpinLock,
    // and the reader submissions decided but not yet handed down (interlocked), which close
    // waits out before it aborts the pipes.
    ULONG BulkInReaderState;
    ULONG InterruptReaderState;
    volatile LONG ReaderSubmits;
    // The DTR and RTS levels the driver last asked the modem for, as SET_CONTROL_LINE_STATE bits
    // (0x1 DTR, 0x2 RTS): both on from each open (the open's SERIAL_DTR_CONTROL and
    // SERIAL_RTS_CONTROL defaults), 0 once the close has sent 0. Each DTR or RTS control code
    // changes only its own bit and sends the whole value (serial/ioctl.cpp). SpinLock.
    USHORT ControlLineState;
    // The write chain's sender (serial/write.cpp): set while a thread is sending the chain's next
    // chunk or request. A completion that finds it set leaves its follow-up to that thread
    // (WriteFollowUp: the WRITE_CONTEXT whose next chunk is due, or NULL for the next queued
    // request) instead of sending from inside the completion, so the chain never recurses
    // through a lower driver that completes at once. WriteFollowUpHold is the request that ended
    // when the follow-up is the next request's start: its IoCount unit and RemoveLock hold go to
    // the sender with the follow-up. SpinLock.
    BOOLEAN WriteSenderBusy;
    BOOLEAN WriteFollowUpPending;
    PVOID WriteFollowUp;
    PVOID WriteFollowUpHold;
    // The read timers' remove-lock holds (serial/read.cpp). SpinLock.
    READ_TIMER_HOLD TotalTimerHold;
    READ_TIMER_HOLD IntervalTimerHold;
    // The readers' re-arm retry (usb/readers.cpp): a reader whose transfer could not be sent for
    // want of a request waits in ReaderRetry until RearmTimer's DPC tries again, after
    // RearmDelay milliseconds, doubled after each try up to a bound and back to the start when a
    // try succeeds. RearmTimerHeld: the timer is set (or its DPC due) and holds the device with a
    // remove-lock hold (tag: the timer) that the DPC, or a cancel before expiry, gives back.
    // SpinLock.
    KTIMER RearmTimer;
    KDPC RearmDpc;
    BOOLEAN RearmTimerHeld;
    ULONG RearmDelay;
    // Set by cleanup, cleared by the next open (serial/queues.cpp): a request that reaches a
    // queue in between is cancelled instead of queued, since no cleanup would ever cancel it and
    // it would keep the handle's file object (and so the port) for good. SpinLock.
    BOOLEAN QueuesClosed;
    // The power machine's contexts (power/power.cpp): one for the system request and one for the
    // device request in hand, so that no set-power request needs memory. Each is taken with an
    // interlocked exchange of its Busy field and given back before PoStartNextPowerIrp.
    PowerContext SystemPowerContext;
    PowerContext DevicePowerContext;
    // The file object of the write request in flight (NULL for none, or for a kernel client's
    // request without one): set when the chain takes a request, cleared when it ends
    // (serial/write.cpp). The handle's cleanup compares it with its own, never dereferences it
    // (serial/open_close.cpp). SpinLock.
    PVOID WriteFileObject;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

static_assert(sizeof(((DEVICE_EXTENSION*)0)->NotifyBuffer) == 16);
static_assert(sizeof(((DEVICE_EXTENSION*)0)->BulkInBuffer) == 4096);
static_assert(sizeof(((DEVICE_EXTENSION*)0)->RingBuffer) == 1024000);
static_assert(sizeof(((DEVICE_EXTENSION*)0)->LineControl) == 3);
static_assert(sizeof(DEVICE_PNP_STATE) == 4);

// True when requests must fail with STATUS_DELETE_PENDING: the modem is gone, or the device is
// RemovePending, SurpriseRemoved or Removed. Takes StateLock alone; any IRQL <= DISPATCH_LEVEL,
// no other spin lock may be held.
BOOLEAN IsDeviceUnavailable(PDEVICE_EXTENSION DeviceExtension);

// IoCount: one unit per USB transfer the driver keeps in flight, plus one for the open port.
// Increment and decrement run at any IRQL <= DISPATCH_LEVEL; the decrement that reaches 0 signals
// IoIdleEvent.
VOID IoCountIncrement(PDEVICE_EXTENSION DeviceExtension);
VOID IoCountDecrement(PDEVICE_EXTENSION DeviceExtension);

// The closing sequence's decrement: gives back the open's unit and, unless that brought the count
// to 0, waits on IoIdleEvent until the last transfer has finished. PASSIVE_LEVEL, no lock held.
VOID IoCountDecrementAndWait(PDEVICE_EXTENSION DeviceExtension);

// The USB stack below one simulated device: what serves IOCTL_INTERNAL_USB_SUBMIT_URB at the
// device's PDO, and the USB function (a CDC modem interface with a bulk-IN, a bulk-OUT and an
// interrupt-IN pipe) with the modem model behind it.
//
// Accepted URB functions: class (and vendor) requests on the default pipe, of which the function
// answers SET_LINE_CODING, GET_LINE_CODING and SET_CONTROL_LINE_STATE on interface 0 and STALLs
// everything else; RESET_PIPE; ABORT_PIPE; BULK_OR_INTERRUPT_TRANSFER on the three pipes. What is
// refused, and with which statuses, is listed in docs/device-side.md.
//
// When things happen:
//  - Class requests, pipe resets and aborts are served inside the call (unless HoldControl()).
//  - Bulk and interrupt transfers stay pending. In deterministic mode they are served by a DPC
//    (KeInsertQueueDpc) that runs inside Session::Pump, AdvanceTime or a blocking wait; in
//    threaded mode by the device's own thread, paced at the configured rate.
//  - The modem is polled when it asked for it (WakeAt, through a kernel timer in deterministic
//    mode), when room frees in the bulk-IN FIFO, and when it says it has something (Kick).
//
// Locking: `modemMutex_` serialises every call into the modem model; `mutex_` guards the stack's
// state and is taken inside modem calls (ModemHost methods) — so the order is modemMutex_, then
// mutex_. Neither is held while a request is completed or while the kernel is asked to wait.
// Both are host::NoSwitchMutex: the stack queues its DPC and sets its timer while holding them,
// and the host's exploring scheduler must not switch threads there.
#pragma once

#include <wdk/wdk.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "host/schedule.h"
#include "sim/cdc.h"
#include "sim/line.h"
#include "sim/modem.h"
#include "sim/trace.h"

namespace sim {

// What a modem model may ask of the USB function beyond ModemHost: raw notifications of any
// length and content, zero-length packets on bulk-IN, and "poll me soon" from outside a model
// call (a test pushing data into a scripted modem).
class UsbFunctionHost : public ModemHost {
 public:
  // One interrupt-IN packet exactly as given (a transfer shorter than the packet overruns).
  virtual void SendNotification(const uint8_t* data, size_t n) = 0;
  // Ends a bulk-IN transfer: the next bulk-IN transfer that reaches this point of the byte
  // stream completes with the bytes before it, or with 0 bytes if there are none.
  virtual void SendZeroLengthPacket() = 0;
  // Asks to be polled soon. Only from outside a model call.
  virtual void Kick() = 0;
};

// USBD status a short IN transfer without USBD_SHORT_TRANSFER_OK ends with.
constexpr USBD_STATUS kUsbdStatusDataUnderrun = static_cast<USBD_STATUS>(0xC0000009);

struct UsbStackOptions {
  // Bytes the device's bulk-IN FIFO holds (what ModemHost::HostRoom reports when empty).
  size_t bulkInCapacity = 64 * 1024;
  // Threaded mode: bytes per second moved on each of bulk-IN and bulk-OUT (0: unlimited).
  // Deterministic mode moves everything that is ready at each service.
  uint64_t bytesPerSecond = 0;
  // Entries the bus trace keeps (BusTrace::Keep): 0 keeps every entry with all its bytes; a
  // device that runs for long on real threads keeps only the latest, so its memory stays bounded.
  size_t traceKeep = 0;
  // The modem keeps time: line rate, transmit buffer, flow control (sim/line.h). Off by default.
  LineOptions line;
};

class UsbStack final : public UsbFunctionHost {
 public:
  // `number` identifies the device in its pipe handles (0..255). The kernel session must be
  // active: the stack takes its mode, and in deterministic mode its DPC and timer, from it.
  UsbStack(unsigned number, std::unique_ptr<Modem> modem, const UsbStackOptions& options);
  ~UsbStack() override;
  UsbStack(const UsbStack&) = delete;
  UsbStack& operator=(const UsbStack&) = delete;

  // ---- Requests from the PDO -------------------------------------------------------------
  // IRP_MJ_INTERNAL_DEVICE_CONTROL at the PDO. Completes the request or marks it pending.
  NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp);

  // ---- Bus driver side ---------------------------------------------------------------------
  // Configures the device (start): a new generation of pipe handles becomes valid.
  void Configure();
  // Deconfigures it (stop, surprise removal, removal): the handles go stale and every pending
  // transfer and held control request completes at once, with STATUS_CANCELLED and
  // USBD_STATUS_CANCELED — or with the removed-device statuses if the device was unplugged.
  void Deconfigure();
  // Device power: leaving D0 completes the pending transfers with STATUS_CANCELLED and
  // USBD_STATUS_CANCELED (the port is suspended); transfers submitted while not in D0 wait until
  // the device is back in D0. Class requests, resets and aborts are served in every state.
  void SetPowered(bool d0);
  // The device is pulled out: every pending transfer fails, and every later request too, with
  // STATUS_DEVICE_NOT_CONNECTED and USBD_STATUS_DEVICE_GONE.
  void Unplug();
  // Current pipe handle words (0 while not configured).
  uint32_t PipeHandleWord(Pipe pipe) const;
  // Records a bus-driver entry (PnP, power, WMI) in this device's trace.
  void RecordBusRequest(TraceEntry entry);
  // Stops the device thread (threaded mode) and the DPC and timer (deterministic mode); fails
  // whatever is still pending with STATUS_CANCELLED. Called before the PDO goes away.
  void Shutdown();

  // ---- Fault injection -------------------------------------------------------------------
  // The endpoint halts: the transfers pending on it fail with USBD_STATUS_STALL_PID, and later
  // ones with USBD_STATUS_ENDPOINT_HALTED (both STATUS_UNSUCCESSFUL), until RESET_PIPE.
  void StallPipe(Pipe pipe);
  // The next transfer that completes on `pipe` (pending now or submitted later) completes with
  // these statuses and no data. Several calls queue several failures.
  void FailNextTransfer(Pipe pipe, NTSTATUS status, USBD_STATUS usbdStatus);
  // The nth transfer to complete on `pipe` from now (1 = the next; every completion the bus
  // trace shows counts, whatever its outcome) completes with these statuses and no data instead.
  void FailTransfer(Pipe pipe, uint64_t nth, NTSTATUS status, USBD_STATUS usbdStatus);
  // The endpoint halts as StallPipe halts it once `transfers` more transfers have completed on
  // it (0: now).
  void StallAfter(Pipe pipe, uint64_t transfers);
  // The next class (or vendor) request fails with these statuses without reaching the modem.
  void FailNextClassRequest(NTSTATUS status, USBD_STATUS usbdStatus);
  // The next RESET_PIPE / ABORT_PIPE naming `pipe` fails (and does nothing else).
  void FailNextReset(Pipe pipe, NTSTATUS status, USBD_STATUS usbdStatus);
  void FailNextAbort(Pipe pipe, NTSTATUS status, USBD_STATUS usbdStatus);
  // Holds the completions of `pipe` (data and injected failures) until Release. Aborts,
  // cancels, removal and power-down still complete held transfers.
  void Hold(Pipe pipe);
  void Release(Pipe pipe);
  // With `atOnce`, a transfer submitted on `pipe` is served inside the IoCallDriver that submits
  // it, as a lower driver that completes a request before returning does: what can complete then
  // (on any pipe) completes there, at the submitter's IRQL, before the call returns. Without it
  // (the default), transfers are served later, from the stack's DPC or thread.
  void CompleteAtOnce(Pipe pipe, bool atOnce);
  // Holds class requests, resets and aborts: they pend (STATUS_PENDING) untouched until
  // ReleaseControl serves them, in order, in the releasing thread.
  void HoldControl();
  void ReleaseControl();
  // Threaded mode: pacing of bulk-IN and bulk-OUT (bytes per second, 0 unlimited).
  void SetRate(uint64_t bytesPerSecond);
  // Bulk-IN FIFO capacity in bytes.
  void SetBulkInCapacity(size_t bytes);
  // The paced line (sim/line.h), in either mode. Turning pacing off sends what the transmit
  // buffer holds to the modem at the next service.
  void SetLine(const LineOptions& line);
  // The remote peer holds the modem off (hardware flow control on the line): the transmit buffer
  // stops draining, and the modem lowers CTS towards the computer — a SERIAL_STATE with bit 1
  // (bTxCarrier, which the computer reads as DSR and CTS) clear; the other bits stay as the model
  // last sent them. Letting go raises it again and the drain resumes with no credit banked.
  void HoldPeer(bool hold);

  // ---- Inspection --------------------------------------------------------------------------
  BusTrace& Trace() { return trace_; }
  const BusTrace& Trace() const { return trace_; }
  Modem& GetModem() { return *modem_; }
  unsigned Number() const { return number_; }
  uint32_t Generation() const;
  bool Configured() const;
  bool Unplugged() const;
  bool Powered() const;
  bool Halted(Pipe pipe) const;
  size_t PendingTransfers(Pipe pipe) const;
  size_t HeldControlRequests() const;
  size_t BulkInQueued() const;        // bytes waiting in the FIFO
  size_t NotificationsQueued() const;
  LineCoding CurrentLineCoding() const;   // last SET_LINE_CODING accepted
  uint16_t CurrentControlLineState() const;
  // Total bytes moved by completed transfers.
  uint64_t BytesToHost() const;
  uint64_t BytesFromHost() const;
  // The paced line: its options, bytes in the transmit buffer, whether the peer holds it off,
  // the rate in bit/s it runs at now (0 when not paced), bytes it has put on the line.
  LineOptions Line() const;
  size_t TxBuffered() const;
  bool PeerHeld() const;
  uint32_t LineRate() const;
  uint64_t BytesOnLine() const;

  // ---- ModemHost / UsbFunctionHost (called by the model) ------------------------------------
  void SendToHost(const uint8_t* data, size_t n) override;
  size_t HostRoom() const override;
  void SendSerialState(uint16_t uartState) override;
  uint64_t NowNs() const override;
  void WakeAt(uint64_t ns) override;
  void SendNotification(const uint8_t* data, size_t n) override;
  void SendZeroLengthPacket() override;
  void Kick() override;

 private:
  struct Fault {
    NTSTATUS status;
    USBD_STATUS usbd;
  };
  struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Pipe pipe = Pipe::BulkIn;
    uint32_t length = 0;   // asked for
    uint32_t done = 0;     // OUT: bytes already delivered to the modem (paced)
    bool shortOk = false;
    bool cancelling = false;         // its cancel routine owns it
    std::optional<Fault> forced;     // fail with this at the next service (power-down, stall)
  };
  struct PipeState {
    std::deque<Transfer> pending;
    std::deque<Fault> faults;
    uint64_t completed = 0;                    // transfers completed on the pipe so far
    std::multimap<uint64_t, Fault> faultsAt;   // by the number of the completion they replace
    uint64_t stallAt = 0;                      // halt once `completed` reaches it (0: none)
    std::deque<Fault> resetFaults;
    std::deque<Fault> abortFaults;
    bool halted = false;
    bool held = false;
    bool atOnce = false;  // served inside the call that submits a transfer (CompleteAtOnce)
  };
  struct HeldControl {
    PIRP irp;
    PURB urb;
    bool cancelling = false;
  };
  // One completion decided under mutex_ and carried out after it is released.
  struct Action {
    Transfer transfer;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    uint32_t bytes = 0;                 // IN: bytes placed in the buffer; OUT: total sent
    std::vector<uint8_t> toModem;       // OUT: bytes to hand to the modem first
    bool complete = true;               // false: only deliver toModem (paced OUT, not done yet)
    bool control = false;               // a held control request (no transfer fields to set)
  };

  // usb_stack.cpp: URB validation and the synchronous functions.
  NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PIRP irp, PURB urb);
  NTSTATUS Refuse(PIRP irp, PURB urb, bool writeUrb, NTSTATUS status, USBD_STATUS usbd,
                  const std::string& why, std::optional<Pipe> pipe);
  NTSTATUS ControlRequest(PIRP irp, PURB urb);
  NTSTATUS PipeRequest(PIRP irp, PURB urb, Pipe pipe);
  NTSTATUS QueueTransfer(PIRP irp, PURB urb, Pipe pipe);
  std::optional<Pipe> DecodeHandle(uint32_t word, std::string* why) const;  // under mutex_
  static void CompleteUrbIrp(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd);
  static VOID CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  void CancelIrp(PIRP irp);

  // usb_stack_engine.cpp: serving transfers.
  void ScheduleService();        // mutex_ not held
  void ScheduleServiceLocked();  // mutex_ held
  void RunService();       // the DPC's or the device thread's work; no lock held on entry
  bool CollectActions(std::vector<Action>* actions, bool* tookIn, uint64_t nowNs);  // mutex_
  bool ClaimLocked(Transfer& t);  // under mutex_: false if its cancel routine owns it
  void Perform(std::vector<Action>& actions);
  void FailAllLocked(NTSTATUS status, USBD_STATUS usbd, std::vector<Action>* out);  // mutex_
  void FailTransfersLocked(NTSTATUS status, USBD_STATUS usbd, std::vector<Action>* out);  // mutex_
  void FailPipeLocked(PipeState& ps, NTSTATUS status, USBD_STATUS usbd,
                      std::vector<Action>* out);  // mutex_
  void RecordDone(const Transfer& t, NTSTATUS status, USBD_STATUS usbd, uint32_t bytes,
                  const uint8_t* data);  // mutex_ held; counts the pipe's completion
  void HaltLocked(PipeState& ps);        // mutex_ held
  void Record(TraceEntry entry);
  static VOID ServiceDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
  void ThreadMain();
  void RefillTokensLocked(uint64_t nowNs);
  void PollModem();
  void WakeAtLocked(uint64_t ns, uint64_t nowNs);  // mutex_ held
  // usb_stack_line.cpp: the paced line, all under mutex_.
  LineClock LineClockLocked() const;
  void DrainTxLocked(uint64_t nowNs, std::vector<Action>* actions);
  void WakeForLineLocked(uint64_t nowNs);
  size_t LineRoomLocked(size_t fifoRoom);
  void SerialStateSentLocked(uint16_t uartState);

  const unsigned number_;
  std::unique_ptr<Modem> modem_;
  const bool threaded_;
  BusTrace trace_;

  mutable host::NoSwitchMutex modemMutex_;
  mutable host::NoSwitchMutex mutex_;

  // ---- Guarded by mutex_ ----
  std::array<PipeState, kPipeCount> pipes_;
  std::deque<HeldControl> heldControl_;
  bool controlHeld_ = false;
  std::deque<Fault> classFaults_;
  std::vector<PURB> inFlight_;
  bool configured_ = false;
  uint32_t generation_ = 0;
  bool gone_ = false;
  bool powered_ = true;
  bool shutDown_ = false;
  // Bulk-IN FIFO: bytes [fifoHead_, fifo_.size()) not yet taken; zero-length-packet marks at
  // absolute stream offsets (bytes taken so far + position).
  std::vector<uint8_t> fifo_;
  size_t fifoHead_ = 0;
  uint64_t fifoTaken_ = 0;
  std::deque<uint64_t> zlpMarks_;
  size_t capacity_;
  std::deque<std::vector<uint8_t>> notifications_;
  LineCoding lineCoding_;
  uint16_t controlLineState_ = 0;
  uint64_t bytesToHost_ = 0;
  uint64_t bytesFromHost_ = 0;
  bool pollRequested_ = false;
  uint64_t wakeAtNs_ = UINT64_MAX;
  bool serviceRequested_ = false;
  // Pacing (threaded mode).
  uint64_t rate_ = 0;
  double inTokens_ = 0;
  double outTokens_ = 0;
  uint64_t tokensAtNs_ = 0;
  bool starved_ = false;
  // The paced line (usb_stack_line.cpp).
  LineOptions line_;
  bool peerHeld_ = false;
  uint64_t heldAtNs_ = 0;  // when the peer began to hold the modem off
  std::deque<uint8_t> txBuffer_;  // accepted from bulk-OUT, not yet on the line
  LineMeter txMeter_;
  uint64_t txIdleAt_ = UINT64_MAX;  // when the line last found nothing to send (else UINT64_MAX)
  LineMeter rxMeter_;
  uint64_t bytesOnLine_ = 0;
  uint16_t modemState_ = 0x0002;  // the UART state the model last sent (DSR on until told)

  // Deterministic mode: the service DPC and the modem's wake timer.
  KDPC serviceDpc_{};
  KDPC timerDpc_{};
  KTIMER wakeTimer_{};
  // Threaded mode: the device thread.
  std::condition_variable_any cv_;
  bool stopThread_ = false;
  std::thread thread_;
};

}  // namespace sim

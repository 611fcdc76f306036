// sim/include/sim/modem.h
//
// The boundary between the simulated USB function and the modem model that lives behind it.
// A model deals in bytes, line-state notifications and time only; the USB stack model turns
// bulk-OUT transfers into OnBulkOut calls, class requests into OnControlLineState and
// OnLineCoding, and serves what the model hands to SendToHost and SendSerialState on the
// bulk-IN and interrupt-IN pipes.
//
// Re-entrancy: a host must not call back into the model from inside one of its ModemHost
// methods (a model may be in the middle of updating its state when it calls SendToHost or
// WakeAt). A host that wants to poll after SendToHost freed or filled something does so after
// the model's call returned.
#pragma once
#include <cstddef>
#include <cstdint>
namespace sim {
// What a modem model sees of the USB function it lives in.
class ModemHost {
 public:
  virtual ~ModemHost() = default;
  // Bytes the modem sends towards the computer; they are served to bulk-IN transfers in order.
  virtual void SendToHost(const uint8_t* data, size_t n) = 0;
  // How many more bytes the device's bulk-IN FIFO accepts now. A model never sends more than
  // this: what does not fit stays in the model (USB flow control towards the line).
  virtual size_t HostRoom() const = 0;
  // A CDC SERIAL_STATE notification with this UART state bitmap (bit 0 DCD/bRxCarrier,
  // bit 1 DSR/bTxCarrier, bit 2 break, bit 3 ring, ...).
  virtual void SendSerialState(uint16_t uartState) = 0;
  // Current time in nanoseconds (virtual in deterministic runs, real time in threaded runs).
  virtual uint64_t NowNs() const = 0;
  // Ask to be polled (Modem::Poll) at or after this time.
  virtual void WakeAt(uint64_t ns) = 0;
};
// A modem model. All calls on one model are serialised by the caller (never concurrent).
class Modem {
 public:
  virtual ~Modem() = default;
  virtual void Attach(ModemHost* host) = 0;               // before any other call
  virtual void OnBulkOut(const uint8_t* data, size_t n) = 0; // bytes the computer sent
  virtual void OnControlLineState(uint16_t value) = 0;     // SET_CONTROL_LINE_STATE: bit 0 DTR, bit 1 RTS
  virtual void OnLineCoding(uint32_t rate, uint8_t stopBits, uint8_t parity, uint8_t dataBits) = 0; // SET_LINE_CODING
  virtual void Poll() = 0;  // time passed, room freed in the FIFO, sockets may be readable
  virtual const char* Name() const = 0;
};
}  // namespace sim

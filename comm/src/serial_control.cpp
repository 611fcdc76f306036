// The one-request serial functions: timeouts, purge, escape functions and break, errors and
// status, modem status, properties, immediate character, queue sizes and statistics.
#include <cstring>

#include "comm/serial.h"
#include "handle.h"

namespace comm {

namespace {

NTSTATUS Send(Port& port, ULONG code, const void* input = nullptr, ULONG inputLength = 0) {
  Port::State& state = *port.state();
  return internal::Record(
      &state, internal::Call(state, RequestKind::Control, code, input, inputLength, 0).status);
}

template <typename RecordT>
NTSTATUS Get(Port& port, ULONG code, RecordT* record) {
  Port::State& state = *port.state();
  return internal::Record(&state,
                          internal::CallForRecord(state, code, nullptr, 0, record, sizeof(RecordT)));
}

}  // namespace

NTSTATUS SetCommTimeouts(Port& port, const COMMTIMEOUTS& timeouts) {
  SERIAL_TIMEOUTS serial{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                         timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                         timeouts.WriteTotalTimeoutConstant};
  return Send(port, IOCTL_SERIAL_SET_TIMEOUTS, &serial, sizeof(serial));
}

NTSTATUS GetCommTimeouts(Port& port, COMMTIMEOUTS* timeouts) {
  SERIAL_TIMEOUTS serial{};
  NTSTATUS status = Get(port, IOCTL_SERIAL_GET_TIMEOUTS, &serial);
  if (NT_SUCCESS(status) && timeouts) {
    *timeouts = {serial.ReadIntervalTimeout, serial.ReadTotalTimeoutMultiplier,
                 serial.ReadTotalTimeoutConstant, serial.WriteTotalTimeoutMultiplier,
                 serial.WriteTotalTimeoutConstant};
  }
  return status;
}

NTSTATUS PurgeComm(Port& port, DWORD flags) {
  ULONG mask = flags;
  return Send(port, IOCTL_SERIAL_PURGE, &mask, sizeof(mask));
}

NTSTATUS EscapeCommFunction(Port& port, DWORD function) {
  ULONG code = 0;
  switch (function) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: code = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default:
      return internal::Record(port.state().get(), STATUS_INVALID_PARAMETER);
  }
  return Send(port, code);
}

NTSTATUS SetCommBreak(Port& port) { return Send(port, IOCTL_SERIAL_SET_BREAK_ON); }
NTSTATUS ClearCommBreak(Port& port) { return Send(port, IOCTL_SERIAL_SET_BREAK_OFF); }

NTSTATUS ClearCommError(Port& port, DWORD* errors, COMSTAT* stat) {
  SERIAL_STATUS serial{};
  NTSTATUS status = Get(port, IOCTL_SERIAL_GET_COMMSTATUS, &serial);
  if (!NT_SUCCESS(status)) return status;
  if (errors) {
    DWORD ce = 0;
    if (serial.Errors & SERIAL_ERROR_BREAK) ce |= CE_BREAK;
    if (serial.Errors & SERIAL_ERROR_FRAMING) ce |= CE_FRAME;
    if (serial.Errors & SERIAL_ERROR_OVERRUN) ce |= CE_OVERRUN;
    if (serial.Errors & SERIAL_ERROR_QUEUEOVERRUN) ce |= CE_RXOVER;
    if (serial.Errors & SERIAL_ERROR_PARITY) ce |= CE_RXPARITY;
    *errors = ce;
  }
  if (stat) {
    COMSTAT s;
    s.fCtsHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    s.fDsrHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    s.fRlsdHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    s.fXoffHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    s.fXoffSent = (serial.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    s.fEof = serial.EofReceived != 0;
    s.fTxim = serial.WaitForImmediate != 0;
    s.cbInQue = serial.AmountInInQueue;
    s.cbOutQue = serial.AmountInOutQueue;
    *stat = s;
  }
  return status;
}

NTSTATUS GetCommModemStatus(Port& port, DWORD* modemStatus) {
  ULONG word = 0;
  NTSTATUS status = Get(port, IOCTL_SERIAL_GET_MODEMSTATUS, &word);
  if (NT_SUCCESS(status) && modemStatus) *modemStatus = word;
  return status;
}

NTSTATUS GetCommProperties(Port& port, COMMPROP* properties) {
  SERIAL_COMMPROP serial{};
  NTSTATUS status = Get(port, IOCTL_SERIAL_GET_PROPERTIES, &serial);
  if (NT_SUCCESS(status) && properties) {
    COMMPROP p;
    p.wPacketLength = serial.PacketLength;
    p.wPacketVersion = serial.PacketVersion;
    p.dwServiceMask = serial.ServiceMask;
    p.dwReserved1 = serial.Reserved1;
    p.dwMaxTxQueue = serial.MaxTxQueue;
    p.dwMaxRxQueue = serial.MaxRxQueue;
    p.dwMaxBaud = serial.MaxBaud;
    p.dwProvSubType = serial.ProvSubType;
    p.dwProvCapabilities = serial.ProvCapabilities;
    p.dwSettableParams = serial.SettableParams;
    p.dwSettableBaud = serial.SettableBaud;
    p.wSettableData = serial.SettableData;
    p.wSettableStopParity = serial.SettableStopParity;
    p.dwCurrentTxQueue = serial.CurrentTxQueue;
    p.dwCurrentRxQueue = serial.CurrentRxQueue;
    p.dwProvSpec1 = serial.ProvSpec1;
    p.dwProvSpec2 = serial.ProvSpec2;
    p.wcProvChar[0] = static_cast<uint16_t>(serial.ProvChar[0]);
    *properties = p;
  }
  return status;
}

NTSTATUS TransmitCommChar(Port& port, char c) {
  return Send(port, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1);
}

NTSTATUS SetupComm(Port& port, DWORD inQueue, DWORD outQueue) {
  SERIAL_QUEUE_SIZE size{inQueue, outQueue};
  return Send(port, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size));
}

NTSTATUS GetCommStatistics(Port& port, SERIALPERF_STATS* stats) {
  SERIALPERF_STATS serial{};
  NTSTATUS status = Get(port, IOCTL_SERIAL_GET_STATS, &serial);
  if (NT_SUCCESS(status) && stats) *stats = serial;
  return status;
}

NTSTATUS ClearCommStatistics(Port& port) { return Send(port, IOCTL_SERIAL_CLEAR_STATS); }

}  // namespace comm

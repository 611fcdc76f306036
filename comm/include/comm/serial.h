// The serial functions of the API: comm state, timeouts, event mask and wait, purge, escape
// functions, errors and status, modem status, properties, immediate character, queue sizes and
// statistics. Each sends the serial control request(s) named beside it (all METHOD_BUFFERED)
// and returns the driver's status unchanged; a call that sends several requests stops at the
// first one that fails and returns its status.
//
// A call that reads a record and is answered with success but fewer bytes than the record
// holds returns STATUS_INFO_LENGTH_MISMATCH (ERROR_BAD_LENGTH, 24) and leaves its output
// untouched: a half-filled record is never reported as a success.
#pragma once

#include <wdk/wdk.h>

#include "comm/port.h"
#include "comm/types.h"

namespace comm {

// ---- Comm state ------------------------------------------------------------------------------
// SetCommState sends, in this order and nothing else:
//   IOCTL_SERIAL_SET_BAUD_RATE     SERIAL_BAUD_RATE { BaudRate }
//   IOCTL_SERIAL_SET_RTS           if fRtsControl is RTS_CONTROL_ENABLE
//   IOCTL_SERIAL_CLR_RTS           if fRtsControl is RTS_CONTROL_DISABLE
//                                  (handshake and toggle: no RTS request; the driver drives RTS)
//   IOCTL_SERIAL_SET_DTR           if fDtrControl is DTR_CONTROL_ENABLE
//   IOCTL_SERIAL_CLR_DTR           if fDtrControl is DTR_CONTROL_DISABLE
//                                  (handshake: no DTR request)
//   IOCTL_SERIAL_SET_LINE_CONTROL  LineControlFromDcb
//   IOCTL_SERIAL_SET_CHARS         CharsFromDcb
//   IOCTL_SERIAL_SET_HANDFLOW      HandFlowFromDcb
// No field is checked here: the driver judges every value.
NTSTATUS SetCommState(Port& port, const DCB& dcb);

// GetCommState sends IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
// IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW, in this order, and builds the DCB with
// DcbFromRecords. `*dcb` is written only when all four succeed.
NTSTATUS GetCommState(Port& port, DCB* dcb);

// The conversions between the DCB and the serial interface's records, as Windows makes them:
//
// SERIAL_LINE_CONTROL: WordLength = ByteSize, Parity = Parity (NOPARITY..SPACEPARITY are
//   NO_PARITY..SPACE_PARITY), StopBits = StopBits (ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS are
//   STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2).
// SERIAL_CHARS: EofChar, ErrorChar, EventChar = EvtChar, XonChar, XoffChar from the DCB;
//   BreakChar = ErrorChar (a received break is replaced by the error character).
// SERIAL_HANDFLOW:
//   ControlHandShake = fDtrControl (DTR_CONTROL_ENABLE -> SERIAL_DTR_CONTROL,
//                        DTR_CONTROL_HANDSHAKE -> SERIAL_DTR_HANDSHAKE; same values)
//                    | SERIAL_CTS_HANDSHAKE   if fOutxCtsFlow
//                    | SERIAL_DSR_HANDSHAKE   if fOutxDsrFlow
//                    | SERIAL_DSR_SENSITIVITY if fDsrSensitivity
//                    | SERIAL_ERROR_ABORT     if fAbortOnError
//   FlowReplace      = fRtsControl << 6 (RTS_CONTROL_ENABLE -> SERIAL_RTS_CONTROL,
//                        RTS_CONTROL_HANDSHAKE -> SERIAL_RTS_HANDSHAKE,
//                        RTS_CONTROL_TOGGLE -> SERIAL_TRANSMIT_TOGGLE)
//                    | SERIAL_AUTO_TRANSMIT   if fOutX
//                    | SERIAL_AUTO_RECEIVE    if fInX
//                    | SERIAL_ERROR_CHAR      if fErrorChar
//                    | SERIAL_NULL_STRIPPING  if fNull
//                    | SERIAL_XOFF_CONTINUE   if fTXContinueOnXoff
//   (the error character is a replacement, so it lives in FlowReplace; ControlHandShake has
//   no bit for it)
//   XonLimit = XonLim, XoffLimit = XoffLim.
// Back to the DCB: the inverse of the above (fDtrControl = ControlHandShake & SERIAL_DTR_MASK,
//   fRtsControl = (FlowReplace & SERIAL_RTS_MASK) >> 6, XonLim/XoffLim truncated to 16 bits);
//   DCBlength = sizeof(DCB); fBinary = 1 (binary mode is the only mode); fParity = 1 (parity
//   checking is the port's own business; no request carries the flag); fDummy2, wReserved,
//   wReserved1 = 0. SERIAL_CHARS.BreakChar is not part of the DCB.
SERIAL_LINE_CONTROL LineControlFromDcb(const DCB& dcb);
SERIAL_CHARS CharsFromDcb(const DCB& dcb);
SERIAL_HANDFLOW HandFlowFromDcb(const DCB& dcb);
DCB DcbFromRecords(const SERIAL_BAUD_RATE& baud, const SERIAL_LINE_CONTROL& lineControl,
                   const SERIAL_CHARS& chars, const SERIAL_HANDFLOW& handFlow);

// ---- Timeouts --------------------------------------------------------------------------------
// IOCTL_SERIAL_SET_TIMEOUTS / IOCTL_SERIAL_GET_TIMEOUTS with SERIAL_TIMEOUTS (same layout).
NTSTATUS SetCommTimeouts(Port& port, const COMMTIMEOUTS& timeouts);
NTSTATUS GetCommTimeouts(Port& port, COMMTIMEOUTS* timeouts);

// ---- Event mask and wait ---------------------------------------------------------------------
// IOCTL_SERIAL_SET_WAIT_MASK (4-byte input) / IOCTL_SERIAL_GET_WAIT_MASK (4-byte output).
NTSTATUS SetCommMask(Port& port, DWORD mask);
NTSTATUS GetCommMask(Port& port, DWORD* mask);
// IOCTL_SERIAL_WAIT_ON_MASK (4-byte output). Blocking without `overlapped`; with it, pending
// waits return STATUS_PENDING and `*eventMask` is filled by GetOverlappedResult (so it must stay
// valid until then). `*eventMask` receives the word the driver returned, 0 if it returned none.
NTSTATUS WaitCommEvent(Port& port, DWORD* eventMask, Overlapped* overlapped = nullptr);

// ---- Purge, line functions, break -------------------------------------------------------------
// IOCTL_SERIAL_PURGE with `flags` (PURGE_* = SERIAL_PURGE_*) as the 4-byte input, unchanged.
NTSTATUS PurgeComm(Port& port, DWORD flags);
// SETXOFF -> IOCTL_SERIAL_SET_XOFF, SETXON -> IOCTL_SERIAL_SET_XON,
// SETRTS -> IOCTL_SERIAL_SET_RTS, CLRRTS -> IOCTL_SERIAL_CLR_RTS,
// SETDTR -> IOCTL_SERIAL_SET_DTR, CLRDTR -> IOCTL_SERIAL_CLR_DTR,
// RESETDEV -> IOCTL_SERIAL_RESET_DEVICE,
// SETBREAK -> IOCTL_SERIAL_SET_BREAK_ON, CLRBREAK -> IOCTL_SERIAL_SET_BREAK_OFF;
// any other function: STATUS_INVALID_PARAMETER and nothing is sent (Windows refuses it the same
// way, ERROR_INVALID_PARAMETER).
NTSTATUS EscapeCommFunction(Port& port, DWORD function);
NTSTATUS SetCommBreak(Port& port);    // IOCTL_SERIAL_SET_BREAK_ON
NTSTATUS ClearCommBreak(Port& port);  // IOCTL_SERIAL_SET_BREAK_OFF

// ---- Status ----------------------------------------------------------------------------------
// IOCTL_SERIAL_GET_COMMSTATUS (SERIAL_STATUS, 20 bytes). `*errors` (CE_*) from Errors:
// SERIAL_ERROR_BREAK -> CE_BREAK, _FRAMING -> CE_FRAME, _OVERRUN -> CE_OVERRUN,
// _QUEUEOVERRUN -> CE_RXOVER, _PARITY -> CE_RXPARITY. `*stat` from HoldReasons
// (SERIAL_TX_WAITING_FOR_CTS -> fCtsHold, _FOR_DSR -> fDsrHold, _FOR_DCD -> fRlsdHold,
// _FOR_XON -> fXoffHold, SERIAL_TX_WAITING_XOFF_SENT -> fXoffSent), EofReceived -> fEof,
// WaitForImmediate -> fTxim, AmountInInQueue -> cbInQue, AmountInOutQueue -> cbOutQue.
// Either pointer may be null.
NTSTATUS ClearCommError(Port& port, DWORD* errors, COMSTAT* stat);
// IOCTL_SERIAL_GET_MODEMSTATUS (4 bytes): the driver's word as it stands (MS_CTS_ON,
// MS_DSR_ON, MS_RING_ON, MS_RLSD_ON are the same bits).
NTSTATUS GetCommModemStatus(Port& port, DWORD* modemStatus);
// IOCTL_SERIAL_GET_PROPERTIES (SERIAL_COMMPROP, 64 bytes, same layout as COMMPROP).
NTSTATUS GetCommProperties(Port& port, COMMPROP* properties);

// ---- Transmission ----------------------------------------------------------------------------
// IOCTL_SERIAL_IMMEDIATE_CHAR with the 1-byte input; waits until the driver has finished it.
NTSTATUS TransmitCommChar(Port& port, char c);
// IOCTL_SERIAL_SET_QUEUE_SIZE with SERIAL_QUEUE_SIZE { InSize, OutSize }.
NTSTATUS SetupComm(Port& port, DWORD inQueue, DWORD outQueue);

// ---- Statistics (no Windows function; the control codes as they are) -------------------------
NTSTATUS GetCommStatistics(Port& port, SERIALPERF_STATS* stats);  // IOCTL_SERIAL_GET_STATS
NTSTATUS ClearCommStatistics(Port& port);                          // IOCTL_SERIAL_CLEAR_STATS

}  // namespace comm

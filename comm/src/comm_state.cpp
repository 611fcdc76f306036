// SetCommState and GetCommState: the DCB and the four records of the serial interface.
#include <cstring>

#include "comm/serial.h"
#include "handle.h"

namespace comm {

SERIAL_LINE_CONTROL LineControlFromDcb(const DCB& dcb) {
  SERIAL_LINE_CONTROL lineControl{};
  lineControl.StopBits = dcb.StopBits;
  lineControl.Parity = dcb.Parity;
  lineControl.WordLength = dcb.ByteSize;
  return lineControl;
}

SERIAL_CHARS CharsFromDcb(const DCB& dcb) {
  SERIAL_CHARS chars{};
  chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
  chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
  chars.BreakChar = static_cast<UCHAR>(dcb.ErrorChar);
  chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
  chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
  chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
  return chars;
}

SERIAL_HANDFLOW HandFlowFromDcb(const DCB& dcb) {
  SERIAL_HANDFLOW handFlow{};
  // DTR_CONTROL_* and RTS_CONTROL_* are the platform's line-control values in the DCB's own
  // two-bit fields: DTR sits in bits 0-1 of ControlHandShake, RTS in bits 6-7 of FlowReplace.
  ULONG control = dcb.fDtrControl;
  if (dcb.fOutxCtsFlow) control |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow) control |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDsrSensitivity) control |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError) control |= SERIAL_ERROR_ABORT;
  ULONG replace = static_cast<ULONG>(dcb.fRtsControl) << 6;
  if (dcb.fOutX) replace |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX) replace |= SERIAL_AUTO_RECEIVE;
  if (dcb.fErrorChar) replace |= SERIAL_ERROR_CHAR;
  if (dcb.fNull) replace |= SERIAL_NULL_STRIPPING;
  if (dcb.fTXContinueOnXoff) replace |= SERIAL_XOFF_CONTINUE;
  handFlow.ControlHandShake = control;
  handFlow.FlowReplace = replace;
  handFlow.XonLimit = dcb.XonLim;
  handFlow.XoffLimit = dcb.XoffLim;
  return handFlow;
}

DCB DcbFromRecords(const SERIAL_BAUD_RATE& baud, const SERIAL_LINE_CONTROL& lineControl,
                   const SERIAL_CHARS& chars, const SERIAL_HANDFLOW& handFlow) {
  DCB dcb;
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = baud.BaudRate;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  const ULONG control = handFlow.ControlHandShake;
  const ULONG replace = handFlow.FlowReplace;
  dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
  dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
  dcb.fDtrControl = control & SERIAL_DTR_MASK;
  dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
  dcb.fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
  dcb.fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
  dcb.fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
  dcb.fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
  dcb.fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
  dcb.fRtsControl = (replace & SERIAL_RTS_MASK) >> 6;
  dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
  dcb.XonLim = static_cast<WORD>(handFlow.XonLimit);
  dcb.XoffLim = static_cast<WORD>(handFlow.XoffLimit);
  dcb.ByteSize = lineControl.WordLength;
  dcb.Parity = lineControl.Parity;
  dcb.StopBits = lineControl.StopBits;
  dcb.XonChar = static_cast<char>(chars.XonChar);
  dcb.XoffChar = static_cast<char>(chars.XoffChar);
  dcb.ErrorChar = static_cast<char>(chars.ErrorChar);
  dcb.EofChar = static_cast<char>(chars.EofChar);
  dcb.EvtChar = static_cast<char>(chars.EventChar);
  return dcb;
}

namespace {

NTSTATUS Set(Port::State& state, ULONG code, const void* input, ULONG inputLength) {
  return internal::Call(state, RequestKind::Control, code, input, inputLength, 0).status;
}

}  // namespace

NTSTATUS SetCommState(Port& port, const DCB& dcb) {
  Port::State& state = *port.state();
  // Each record is built before anything is sent, from the caller's DCB only: nothing of a
  // previous state is kept here, so what the driver holds is what was last sent to it.
  SERIAL_BAUD_RATE baud{dcb.BaudRate};
  SERIAL_LINE_CONTROL lineControl = LineControlFromDcb(dcb);
  SERIAL_CHARS chars = CharsFromDcb(dcb);
  SERIAL_HANDFLOW handFlow = HandFlowFromDcb(dcb);

  NTSTATUS status = Set(state, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud));
  if (NT_SUCCESS(status)) {
    // Handshake and toggle leave the line to the driver: no explicit line request.
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) {
      status = Set(state, IOCTL_SERIAL_SET_RTS, nullptr, 0);
    } else if (dcb.fRtsControl == RTS_CONTROL_DISABLE) {
      status = Set(state, IOCTL_SERIAL_CLR_RTS, nullptr, 0);
    }
  }
  if (NT_SUCCESS(status)) {
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) {
      status = Set(state, IOCTL_SERIAL_SET_DTR, nullptr, 0);
    } else if (dcb.fDtrControl == DTR_CONTROL_DISABLE) {
      status = Set(state, IOCTL_SERIAL_CLR_DTR, nullptr, 0);
    }
  }
  if (NT_SUCCESS(status)) {
    status = Set(state, IOCTL_SERIAL_SET_LINE_CONTROL, &lineControl, sizeof(lineControl));
  }
  if (NT_SUCCESS(status)) status = Set(state, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars));
  if (NT_SUCCESS(status)) {
    status = Set(state, IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof(handFlow));
  }
  return internal::Record(&state, status);
}

NTSTATUS GetCommState(Port& port, DCB* dcb) {
  Port::State& state = *port.state();
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL lineControl{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW handFlow{};
  NTSTATUS status = internal::CallForRecord(state, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0,
                                            &baud, sizeof(baud));
  if (NT_SUCCESS(status)) {
    status = internal::CallForRecord(state, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0,
                                     &lineControl, sizeof(lineControl));
  }
  if (NT_SUCCESS(status)) {
    status = internal::CallForRecord(state, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars,
                                     sizeof(chars));
  }
  if (NT_SUCCESS(status)) {
    status = internal::CallForRecord(state, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handFlow,
                                     sizeof(handFlow));
  }
  if (NT_SUCCESS(status) && dcb) *dcb = DcbFromRecords(baud, lineControl, chars, handFlow);
  return internal::Record(&state, status);
}

}  // namespace comm

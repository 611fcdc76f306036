// The application-side records and constants of the serial API, with the Windows names and
// layouts, so that code written for a Windows COM port reads the same here.
//
// The constants whose values coincide with the serial interface's own (EV_* and SERIAL_EV_*,
// PURGE_* and SERIAL_PURGE_*, MS_*_ON and SERIAL_MSR_*, the COMMPROP bits and SERIAL_SP_*,
// SERIAL_PCF_*, SERIAL_BAUD_*, ...) are passed through unchanged; the ones that differ (CE_* and
// SERIAL_ERROR_*, the DCB's bit fields and SERIAL_HANDFLOW) are converted where they are used.
#pragma once

#include <cstdint>

namespace comm {

using DWORD = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;

inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// ---- DCB ------------------------------------------------------------------------------------
struct DCB {
  DWORD DCBlength = sizeof(DCB);
  DWORD BaudRate = 0;
  DWORD fBinary : 1 = 0;
  DWORD fParity : 1 = 0;
  DWORD fOutxCtsFlow : 1 = 0;
  DWORD fOutxDsrFlow : 1 = 0;
  DWORD fDtrControl : 2 = 0;
  DWORD fDsrSensitivity : 1 = 0;
  DWORD fTXContinueOnXoff : 1 = 0;
  DWORD fOutX : 1 = 0;
  DWORD fInX : 1 = 0;
  DWORD fErrorChar : 1 = 0;
  DWORD fNull : 1 = 0;
  DWORD fRtsControl : 2 = 0;
  DWORD fAbortOnError : 1 = 0;
  DWORD fDummy2 : 17 = 0;
  WORD wReserved = 0;
  WORD XonLim = 0;
  WORD XoffLim = 0;
  BYTE ByteSize = 0;
  BYTE Parity = 0;
  BYTE StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  WORD wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "DCB has the platform's layout");

inline constexpr DWORD CBR_110 = 110;
inline constexpr DWORD CBR_300 = 300;
inline constexpr DWORD CBR_600 = 600;
inline constexpr DWORD CBR_1200 = 1200;
inline constexpr DWORD CBR_2400 = 2400;
inline constexpr DWORD CBR_4800 = 4800;
inline constexpr DWORD CBR_9600 = 9600;
inline constexpr DWORD CBR_14400 = 14400;
inline constexpr DWORD CBR_19200 = 19200;
inline constexpr DWORD CBR_38400 = 38400;
inline constexpr DWORD CBR_56000 = 56000;
inline constexpr DWORD CBR_57600 = 57600;
inline constexpr DWORD CBR_115200 = 115200;
inline constexpr DWORD CBR_128000 = 128000;
inline constexpr DWORD CBR_256000 = 256000;

inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;

inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;

inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// ---- Timeouts -------------------------------------------------------------------------------
// Same layout as SERIAL_TIMEOUTS; sent and returned unchanged.
struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS has the platform's layout");

// ---- Events (same values as SERIAL_EV_*) ----------------------------------------------------
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_PERR = 0x0200;
inline constexpr DWORD EV_RX80FULL = 0x0400;
inline constexpr DWORD EV_EVENT1 = 0x0800;
inline constexpr DWORD EV_EVENT2 = 0x1000;

// ---- Purge (same values as SERIAL_PURGE_*) --------------------------------------------------
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// ---- Escape functions -----------------------------------------------------------------------
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD RESETDEV = 7;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// ---- Modem status (same bits as the modem status register, SERIAL_MSR_*) --------------------
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// ---- Communication errors and status --------------------------------------------------------
inline constexpr DWORD CE_RXOVER = 0x0001;    // from SERIAL_ERROR_QUEUEOVERRUN
inline constexpr DWORD CE_OVERRUN = 0x0002;   // from SERIAL_ERROR_OVERRUN
inline constexpr DWORD CE_RXPARITY = 0x0004;  // from SERIAL_ERROR_PARITY
inline constexpr DWORD CE_FRAME = 0x0008;     // from SERIAL_ERROR_FRAMING
inline constexpr DWORD CE_BREAK = 0x0010;     // from SERIAL_ERROR_BREAK
inline constexpr DWORD CE_TXFULL = 0x0100;
inline constexpr DWORD CE_MODE = 0x8000;

struct COMSTAT {
  DWORD fCtsHold : 1 = 0;   // SERIAL_TX_WAITING_FOR_CTS
  DWORD fDsrHold : 1 = 0;   // SERIAL_TX_WAITING_FOR_DSR
  DWORD fRlsdHold : 1 = 0;  // SERIAL_TX_WAITING_FOR_DCD
  DWORD fXoffHold : 1 = 0;  // SERIAL_TX_WAITING_FOR_XON
  DWORD fXoffSent : 1 = 0;  // SERIAL_TX_WAITING_XOFF_SENT
  DWORD fEof : 1 = 0;       // EofReceived
  DWORD fTxim : 1 = 0;      // WaitForImmediate
  DWORD fReserved : 25 = 0;
  DWORD cbInQue = 0;   // AmountInInQueue
  DWORD cbOutQue = 0;  // AmountInOutQueue
};
static_assert(sizeof(COMSTAT) == 12, "COMSTAT has the platform's layout");

// ---- Port properties (same layout and bits as SERIAL_COMMPROP) ------------------------------
struct COMMPROP {
  WORD wPacketLength = 0;
  WORD wPacketVersion = 0;
  DWORD dwServiceMask = 0;
  DWORD dwReserved1 = 0;
  DWORD dwMaxTxQueue = 0;
  DWORD dwMaxRxQueue = 0;
  DWORD dwMaxBaud = 0;
  DWORD dwProvSubType = 0;
  DWORD dwProvCapabilities = 0;
  DWORD dwSettableParams = 0;
  DWORD dwSettableBaud = 0;
  WORD wSettableData = 0;
  WORD wSettableStopParity = 0;
  DWORD dwCurrentTxQueue = 0;
  DWORD dwCurrentRxQueue = 0;
  DWORD dwProvSpec1 = 0;
  DWORD dwProvSpec2 = 0;
  uint16_t wcProvChar[1] = {0};
};
static_assert(sizeof(COMMPROP) == 64, "COMMPROP has the platform's layout");

inline constexpr DWORD SP_SERIALCOMM = 0x00000001;
inline constexpr DWORD PST_UNSPECIFIED = 0x00000000;
inline constexpr DWORD PST_RS232 = 0x00000001;
inline constexpr DWORD PST_MODEM = 0x00000006;

inline constexpr DWORD PCF_DTRDSR = 0x0001;
inline constexpr DWORD PCF_RTSCTS = 0x0002;
inline constexpr DWORD PCF_RLSD = 0x0004;
inline constexpr DWORD PCF_PARITY_CHECK = 0x0008;
inline constexpr DWORD PCF_XONXOFF = 0x0010;
inline constexpr DWORD PCF_SETXCHAR = 0x0020;
inline constexpr DWORD PCF_TOTALTIMEOUTS = 0x0040;
inline constexpr DWORD PCF_INTTIMEOUTS = 0x0080;
inline constexpr DWORD PCF_SPECIALCHARS = 0x0100;
inline constexpr DWORD PCF_16BITMODE = 0x0200;

inline constexpr DWORD SP_PARITY = 0x0001;
inline constexpr DWORD SP_BAUD = 0x0002;
inline constexpr DWORD SP_DATABITS = 0x0004;
inline constexpr DWORD SP_STOPBITS = 0x0008;
inline constexpr DWORD SP_HANDSHAKING = 0x0010;
inline constexpr DWORD SP_PARITY_CHECK = 0x0020;
inline constexpr DWORD SP_RLSD = 0x0040;

inline constexpr DWORD BAUD_075 = 0x00000001;
inline constexpr DWORD BAUD_110 = 0x00000002;
inline constexpr DWORD BAUD_134_5 = 0x00000004;
inline constexpr DWORD BAUD_150 = 0x00000008;
inline constexpr DWORD BAUD_300 = 0x00000010;
inline constexpr DWORD BAUD_600 = 0x00000020;
inline constexpr DWORD BAUD_1200 = 0x00000040;
inline constexpr DWORD BAUD_1800 = 0x00000080;
inline constexpr DWORD BAUD_2400 = 0x00000100;
inline constexpr DWORD BAUD_4800 = 0x00000200;
inline constexpr DWORD BAUD_7200 = 0x00000400;
inline constexpr DWORD BAUD_9600 = 0x00000800;
inline constexpr DWORD BAUD_14400 = 0x00001000;
inline constexpr DWORD BAUD_19200 = 0x00002000;
inline constexpr DWORD BAUD_38400 = 0x00004000;
inline constexpr DWORD BAUD_56K = 0x00008000;
inline constexpr DWORD BAUD_128K = 0x00010000;
inline constexpr DWORD BAUD_115200 = 0x00020000;
inline constexpr DWORD BAUD_57600 = 0x00040000;
inline constexpr DWORD BAUD_USER = 0x10000000;

inline constexpr WORD DATABITS_5 = 0x0001;
inline constexpr WORD DATABITS_6 = 0x0002;
inline constexpr WORD DATABITS_7 = 0x0004;
inline constexpr WORD DATABITS_8 = 0x0008;
inline constexpr WORD DATABITS_16 = 0x0010;
inline constexpr WORD DATABITS_16X = 0x0020;

inline constexpr WORD STOPBITS_10 = 0x0001;
inline constexpr WORD STOPBITS_15 = 0x0002;
inline constexpr WORD STOPBITS_20 = 0x0004;
inline constexpr WORD PARITY_NONE = 0x0100;
inline constexpr WORD PARITY_ODD = 0x0200;
inline constexpr WORD PARITY_EVEN = 0x0400;
inline constexpr WORD PARITY_MARK = 0x0800;
inline constexpr WORD PARITY_SPACE = 0x1000;

}  // namespace comm

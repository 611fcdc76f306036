// Names and values the program reads and prints: status values, serial control codes and the
// layouts of their records, the serial interface's symbolic constants, PnP minor functions and
// power states. One table each, so the scenario language, the transcript and the help agree.
#pragma once

#include <wdk/wdk.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mdmhost {

// "STATUS_CANCELLED", or "0xC0000999" for a value without a name.
std::string StatusName(NTSTATUS status);
// "SUCCESS", "STATUS_SUCCESS" (any case) or a number ("0xC0000001", "259").
std::optional<NTSTATUS> ParseStatus(const std::string& text);
// "USBD_STATUS_STALL_PID", "STALL_PID" or a number.
std::optional<USBD_STATUS> ParseUsbdStatus(const std::string& text);

// A number: decimal, 0x hex, or 'c' (a character in single quotes).
std::optional<uint64_t> ParseNumber(const std::string& text);

// ---- Records of the serial interface ----------------------------------------------------------
struct Field {
  const char* name;
  unsigned offset;
  unsigned size;  // 1, 2 or 4 bytes
  bool flags;     // printed in hex and as symbols (masks and bit sets)
};

struct Record {
  const char* name;  // "SERIAL_TIMEOUTS"
  unsigned size;
  std::vector<Field> fields;
  const Field* Find(const std::string& fieldName) const;  // case-insensitive
};

// Reads or writes a field in a buffer of at least offset + size bytes (little-endian).
uint32_t GetField(const std::vector<uint8_t>& buffer, const Field& field);
void SetField(std::vector<uint8_t>& buffer, const Field& field, uint32_t value);
// "BaudRate=115200 ..." for the fields that fit in `buffer`; "(n bytes)" for a short buffer.
std::string FormatRecord(const Record& record, const std::vector<uint8_t>& buffer);
std::string FormatField(const Field& field, uint32_t value);

// ---- Control codes ------------------------------------------------------------------------------
struct ControlCode {
  const char* name;  // "IOCTL_SERIAL_SET_BAUD_RATE"
  ULONG code;
  const Record* input;   // what the input buffer holds (nullptr: none)
  const Record* output;  // what the output buffer receives (nullptr: none)
  ULONG outputLength;    // the output length a caller passes by default
  bool internal;         // IRP_MJ_INTERNAL_DEVICE_CONTROL
};

// "SET_BAUD_RATE", "IOCTL_SERIAL_SET_BAUD_RATE", "INTERNAL_BASIC_SETTINGS" (case-insensitive).
const ControlCode* FindControlCode(const std::string& name, bool internal);
const ControlCode* ControlCodeByValue(ULONG code, bool internal);
std::string ControlCodeName(ULONG code, bool internal = false);
const std::vector<ControlCode>& ControlCodes();

// ---- Symbolic constants -------------------------------------------------------------------------
// SERIAL_EV_* and EV_*, SERIAL_PURGE_* and PURGE_*, STOP_BIT_1, NO_PARITY..., SERIAL_DTR_CONTROL
// and the other handshake bits, SERIAL_MSR_* and MS_*_ON, SERIAL_SP_*, SERIAL_PCF_*, SERIAL_BAUD_*,
// SERIAL_DATABITS_*, SERIAL_STOPBITS_*, SERIAL_PARITY_*, SERIAL_TX_WAITING_*.
std::optional<uint32_t> ParseSymbol(const std::string& name);
// A value: a number, a symbol, or several joined by '|' ("EV_RXCHAR|EV_RLSD", "0x10|0x20").
std::optional<uint32_t> ParseValue(const std::string& text);
// "EV_RXCHAR|EV_RLSD" (0 gives "0"; unnamed bits in hex).
std::string EventMaskText(uint32_t mask);
// "DCD|DSR" for modem status bits (SERIAL_MSR_*).
std::string ModemStatusText(uint32_t status);

// ---- Registry ----------------------------------------------------------------------------------
// "REG_SZ", "REG_DWORD", "REG_BINARY", "REG_MULTI_SZ", "REG_EXPAND_SZ", "REG_NONE" or a number.
std::optional<ULONG> ParseRegistryType(const std::string& name);
std::string RegistryTypeName(ULONG type);

// ---- PnP and power ------------------------------------------------------------------------------
// "START_DEVICE" or "IRP_MN_START_DEVICE".
std::optional<UCHAR> ParsePnpMinor(const std::string& name);
std::string PnpMinorName(UCHAR minor);

struct PowerTarget {
  POWER_STATE_TYPE type;
  ULONG state;  // SYSTEM_POWER_STATE or DEVICE_POWER_STATE
};
// "S0".."S5" (S0 is the working state) or "D0".."D3".
std::optional<PowerTarget> ParsePowerState(const std::string& name);
std::string PowerStateName(POWER_STATE_TYPE type, ULONG state);
// "SET_POWER", "QUERY_POWER", "WAIT_WAKE", "POWER_SEQUENCE" (else "0x..").
std::string PowerMinorName(UCHAR minor);

}  // namespace mdmhost

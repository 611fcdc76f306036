#include "names.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "host/debug.h"

namespace mdmhost {

namespace {

#ifndef STATUS_IO_TIMEOUT
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#endif
#ifndef STATUS_NOT_FOUND
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#endif
#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#endif

struct StatusEntry {
  NTSTATUS value;
  const char* name;
};

#define S(x) {x, #x}
const StatusEntry kStatuses[] = {
    S(STATUS_SUCCESS),
    S(STATUS_ABANDONED),
    S(STATUS_TIMEOUT),
    S(STATUS_PENDING),
    S(STATUS_REPARSE),
    S(STATUS_OBJECT_NAME_EXISTS),
    S(STATUS_BUFFER_OVERFLOW),
    S(STATUS_NO_MORE_ENTRIES),
    S(STATUS_DEVICE_BUSY),
    S(STATUS_UNSUCCESSFUL),
    S(STATUS_NOT_IMPLEMENTED),
    S(STATUS_INVALID_HANDLE),
    S(STATUS_INVALID_PARAMETER),
    S(STATUS_NO_SUCH_DEVICE),
    S(STATUS_INVALID_DEVICE_REQUEST),
    S(STATUS_MORE_PROCESSING_REQUIRED),
    S(STATUS_NO_MEMORY),
    S(STATUS_ACCESS_DENIED),
    S(STATUS_BUFFER_TOO_SMALL),
    S(STATUS_OBJECT_TYPE_MISMATCH),
    S(STATUS_OBJECT_NAME_INVALID),
    S(STATUS_OBJECT_NAME_NOT_FOUND),
    S(STATUS_OBJECT_NAME_COLLISION),
    S(STATUS_OBJECT_PATH_NOT_FOUND),
    S(STATUS_DELETE_PENDING),
    S(STATUS_INSUFFICIENT_RESOURCES),
    S(STATUS_DEVICE_NOT_READY),
    S(STATUS_IO_DEVICE_ERROR),
    S(STATUS_NOT_SUPPORTED),
    S(STATUS_INTERNAL_ERROR),
    S(STATUS_CANCELLED),
    S(STATUS_DEVICE_DOES_NOT_EXIST),
    S(STATUS_DEVICE_NOT_CONNECTED),
    S(STATUS_INVALID_DEVICE_STATE),
    S(STATUS_NO_SUCH_FILE),
    S(STATUS_DEVICE_REMOVED),
    S(STATUS_POWER_STATE_INVALID),
    S(STATUS_IO_TIMEOUT),
    S(STATUS_NOT_FOUND),
    S(STATUS_INFO_LENGTH_MISMATCH),
};

struct UsbdEntry {
  USBD_STATUS value;
  const char* name;
};
const UsbdEntry kUsbdStatuses[] = {
    S(USBD_STATUS_SUCCESS),
    S(USBD_STATUS_PENDING),
    S(USBD_STATUS_STALL_PID),
    S(USBD_STATUS_DEV_NOT_RESPONDING),
    S(USBD_STATUS_DATA_OVERRUN),
    S(USBD_STATUS_BUFFER_OVERRUN),
    S(USBD_STATUS_XACT_ERROR),
    S(USBD_STATUS_ENDPOINT_HALTED),
    S(USBD_STATUS_INVALID_URB_FUNCTION),
    S(USBD_STATUS_INVALID_PARAMETER),
    S(USBD_STATUS_ERROR_BUSY),
    S(USBD_STATUS_INVALID_PIPE_HANDLE),
    S(USBD_STATUS_NO_BANDWIDTH),
    S(USBD_STATUS_DEVICE_GONE),
    S(USBD_STATUS_CANCELED),
};
#undef S

bool EqualNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// ---- Records ----------------------------------------------------------------------------------
const Record kBaudRate{"SERIAL_BAUD_RATE", 4, {{"BaudRate", 0, 4, false}}};
const Record kLineControl{"SERIAL_LINE_CONTROL",
                          3,
                          {{"StopBits", 0, 1, false},
                           {"Parity", 1, 1, false},
                           {"WordLength", 2, 1, false}}};
const Record kTimeouts{"SERIAL_TIMEOUTS",
                       20,
                       {{"ReadIntervalTimeout", 0, 4, false},
                        {"ReadTotalTimeoutMultiplier", 4, 4, false},
                        {"ReadTotalTimeoutConstant", 8, 4, false},
                        {"WriteTotalTimeoutMultiplier", 12, 4, false},
                        {"WriteTotalTimeoutConstant", 16, 4, false}}};
const Record kQueueSize{"SERIAL_QUEUE_SIZE", 8, {{"InSize", 0, 4, false}, {"OutSize", 4, 4, false}}};
const Record kChars{"SERIAL_CHARS",
                    6,
                    {{"EofChar", 0, 1, true},
                     {"ErrorChar", 1, 1, true},
                     {"BreakChar", 2, 1, true},
                     {"EventChar", 3, 1, true},
                     {"XonChar", 4, 1, true},
                     {"XoffChar", 5, 1, true}}};
const Record kHandFlow{"SERIAL_HANDFLOW",
                       16,
                       {{"ControlHandShake", 0, 4, true},
                        {"FlowReplace", 4, 4, true},
                        {"XonLimit", 8, 4, false},
                        {"XoffLimit", 12, 4, false}}};
const Record kStatus{"SERIAL_STATUS",
                     20,
                     {{"Errors", 0, 4, true},
                      {"HoldReasons", 4, 4, true},
                      {"AmountInInQueue", 8, 4, false},
                      {"AmountInOutQueue", 12, 4, false},
                      {"EofReceived", 16, 1, false},
                      {"WaitForImmediate", 17, 1, false}}};
const Record kPerfStats{"SERIALPERF_STATS",
                        24,
                        {{"ReceivedCount", 0, 4, false},
                         {"TransmittedCount", 4, 4, false},
                         {"FrameErrorCount", 8, 4, false},
                         {"SerialOverrunErrorCount", 12, 4, false},
                         {"BufferOverrunErrorCount", 16, 4, false},
                         {"ParityErrorCount", 20, 4, false}}};
const Record kCommProp{"SERIAL_COMMPROP",
                       64,
                       {{"PacketLength", 0, 2, false},
                        {"PacketVersion", 2, 2, false},
                        {"ServiceMask", 4, 4, true},
                        {"Reserved1", 8, 4, false},
                        {"MaxTxQueue", 12, 4, false},
                        {"MaxRxQueue", 16, 4, false},
                        {"MaxBaud", 20, 4, true},
                        {"ProvSubType", 24, 4, true},
                        {"ProvCapabilities", 28, 4, true},
                        {"SettableParams", 32, 4, true},
                        {"SettableBaud", 36, 4, true},
                        {"SettableData", 40, 2, true},
                        {"SettableStopParity", 42, 2, true},
                        {"CurrentTxQueue", 44, 4, false},
                        {"CurrentRxQueue", 48, 4, false},
                        {"ProvSpec1", 52, 4, false},
                        {"ProvSpec2", 56, 4, false},
                        {"ProvChar", 60, 2, false}}};
const Record kWaitMask{"wait mask", 4, {{"Mask", 0, 4, true}}};
const Record kEvents{"event mask", 4, {{"Events", 0, 4, true}}};
const Record kPurge{"purge mask", 4, {{"Flags", 0, 4, true}}};
const Record kModemStatus{"modem status", 4, {{"ModemStatus", 0, 4, true}}};
const Record kDtrRts{"DTR and RTS", 4, {{"DtrRts", 0, 4, true}}};
const Record kUlong{"ULONG", 4, {{"Value", 0, 4, false}}};
const Record kChar{"character", 1, {{"Char", 0, 1, true}}};

#define CODE(name, in, out, outlen) {#name, name, in, out, outlen, false}
const std::vector<ControlCode> kControlCodes = {
    CODE(IOCTL_SERIAL_SET_BAUD_RATE, &kBaudRate, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_QUEUE_SIZE, &kQueueSize, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_LINE_CONTROL, &kLineControl, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_BREAK_ON, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_IMMEDIATE_CHAR, &kChar, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_TIMEOUTS, &kTimeouts, nullptr, 0),
    CODE(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, &kTimeouts, 20),
    CODE(IOCTL_SERIAL_SET_DTR, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_CLR_DTR, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_RESET_DEVICE, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_RTS, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_CLR_RTS, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_XOFF, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_XON, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, &kWaitMask, 4),
    CODE(IOCTL_SERIAL_SET_WAIT_MASK, &kWaitMask, nullptr, 0),
    CODE(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, &kEvents, 4),
    CODE(IOCTL_SERIAL_PURGE, &kPurge, nullptr, 0),
    CODE(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, &kBaudRate, 4),
    CODE(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, &kLineControl, 3),
    CODE(IOCTL_SERIAL_GET_CHARS, nullptr, &kChars, 6),
    CODE(IOCTL_SERIAL_SET_CHARS, &kChars, nullptr, 0),
    CODE(IOCTL_SERIAL_GET_HANDFLOW, nullptr, &kHandFlow, 16),
    CODE(IOCTL_SERIAL_SET_HANDFLOW, &kHandFlow, nullptr, 0),
    CODE(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, &kModemStatus, 4),
    CODE(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, &kStatus, 20),
    CODE(IOCTL_SERIAL_XOFF_COUNTER, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_GET_PROPERTIES, nullptr, &kCommProp, 64),
    CODE(IOCTL_SERIAL_GET_DTRRTS, nullptr, &kDtrRts, 4),
    CODE(IOCTL_SERIAL_LSRMST_INSERT, &kChar, nullptr, 0),
    CODE(IOCTL_SERIAL_CONFIG_SIZE, nullptr, &kUlong, 4),
    CODE(IOCTL_SERIAL_GET_COMMCONFIG, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_COMMCONFIG, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_GET_STATS, nullptr, &kPerfStats, 24),
    CODE(IOCTL_SERIAL_CLEAR_STATS, nullptr, nullptr, 0),
    CODE(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, &kUlong, 4),
    CODE(IOCTL_SERIAL_SET_MODEM_CONTROL, &kUlong, nullptr, 0),
    CODE(IOCTL_SERIAL_SET_FIFO_CONTROL, &kUlong, nullptr, 0),
    {"IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE", IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, nullptr, nullptr, 0,
     true},
    {"IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE", IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, nullptr,
     nullptr, 0, true},
    {"IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS", IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, nullptr,
     0, true},
    {"IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, nullptr,
     nullptr, 0, true},
};
#undef CODE

// ---- Symbols ----------------------------------------------------------------------------------
struct Symbol {
  const char* name;
  uint32_t value;
};

#define Y(x) {#x, static_cast<uint32_t>(x)}
const Symbol kSymbols[] = {
    Y(SERIAL_EV_RXCHAR), Y(SERIAL_EV_RXFLAG), Y(SERIAL_EV_TXEMPTY), Y(SERIAL_EV_CTS),
    Y(SERIAL_EV_DSR), Y(SERIAL_EV_RLSD), Y(SERIAL_EV_BREAK), Y(SERIAL_EV_ERR), Y(SERIAL_EV_RING),
    Y(SERIAL_EV_PERR), Y(SERIAL_EV_RX80FULL), Y(SERIAL_EV_EVENT1), Y(SERIAL_EV_EVENT2),
    {"EV_RXCHAR", SERIAL_EV_RXCHAR}, {"EV_RXFLAG", SERIAL_EV_RXFLAG},
    {"EV_TXEMPTY", SERIAL_EV_TXEMPTY}, {"EV_CTS", SERIAL_EV_CTS}, {"EV_DSR", SERIAL_EV_DSR},
    {"EV_RLSD", SERIAL_EV_RLSD}, {"EV_BREAK", SERIAL_EV_BREAK}, {"EV_ERR", SERIAL_EV_ERR},
    {"EV_RING", SERIAL_EV_RING}, {"EV_PERR", SERIAL_EV_PERR}, {"EV_RX80FULL", SERIAL_EV_RX80FULL},
    {"EV_EVENT1", SERIAL_EV_EVENT1}, {"EV_EVENT2", SERIAL_EV_EVENT2},
    Y(SERIAL_PURGE_TXABORT), Y(SERIAL_PURGE_RXABORT), Y(SERIAL_PURGE_TXCLEAR),
    Y(SERIAL_PURGE_RXCLEAR),
    {"PURGE_TXABORT", SERIAL_PURGE_TXABORT}, {"PURGE_RXABORT", SERIAL_PURGE_RXABORT},
    {"PURGE_TXCLEAR", SERIAL_PURGE_TXCLEAR}, {"PURGE_RXCLEAR", SERIAL_PURGE_RXCLEAR},
    Y(STOP_BIT_1), Y(STOP_BITS_1_5), Y(STOP_BITS_2),
    Y(NO_PARITY), Y(ODD_PARITY), Y(EVEN_PARITY), Y(MARK_PARITY), Y(SPACE_PARITY),
    Y(SERIAL_DTR_MASK), Y(SERIAL_DTR_CONTROL), Y(SERIAL_DTR_HANDSHAKE), Y(SERIAL_CTS_HANDSHAKE),
    Y(SERIAL_DSR_HANDSHAKE), Y(SERIAL_DCD_HANDSHAKE), Y(SERIAL_OUT_HANDSHAKEMASK),
    Y(SERIAL_DSR_SENSITIVITY), Y(SERIAL_ERROR_ABORT), Y(SERIAL_AUTO_TRANSMIT),
    Y(SERIAL_AUTO_RECEIVE), Y(SERIAL_ERROR_CHAR), Y(SERIAL_NULL_STRIPPING), Y(SERIAL_BREAK_CHAR),
    Y(SERIAL_RTS_MASK), Y(SERIAL_RTS_CONTROL), Y(SERIAL_RTS_HANDSHAKE), Y(SERIAL_TRANSMIT_TOGGLE),
    Y(SERIAL_XOFF_CONTINUE),
    {"SERIAL_MSR_DCTS", 0x01}, {"SERIAL_MSR_DDSR", 0x02}, {"SERIAL_MSR_TERI", 0x04},
    {"SERIAL_MSR_DDCD", 0x08}, {"SERIAL_MSR_CTS", 0x10}, {"SERIAL_MSR_DSR", 0x20},
    {"SERIAL_MSR_RI", 0x40}, {"SERIAL_MSR_DCD", 0x80},
    {"MS_CTS_ON", 0x10}, {"MS_DSR_ON", 0x20}, {"MS_RING_ON", 0x40}, {"MS_RLSD_ON", 0x80},
    Y(SERIAL_SP_PARITY), Y(SERIAL_SP_BAUD), Y(SERIAL_SP_DATABITS), Y(SERIAL_SP_STOPBITS),
    Y(SERIAL_SP_HANDSHAKING), Y(SERIAL_SP_PARITY_CHECK), Y(SERIAL_SP_CARRIER_DETECT),
    Y(SERIAL_PCF_DTRDSR), Y(SERIAL_PCF_RTSCTS), Y(SERIAL_PCF_CD), Y(SERIAL_PCF_PARITY_CHECK),
    Y(SERIAL_PCF_XONXOFF), Y(SERIAL_PCF_SETXCHAR), Y(SERIAL_PCF_TOTALTIMEOUTS),
    Y(SERIAL_PCF_INTTIMEOUTS), Y(SERIAL_PCF_SPECIALCHARS), Y(SERIAL_PCF_16BITMODE),
    Y(SERIAL_BAUD_075), Y(SERIAL_BAUD_110), Y(SERIAL_BAUD_134_5), Y(SERIAL_BAUD_150),
    Y(SERIAL_BAUD_300), Y(SERIAL_BAUD_600), Y(SERIAL_BAUD_1200), Y(SERIAL_BAUD_1800),
    Y(SERIAL_BAUD_2400), Y(SERIAL_BAUD_4800), Y(SERIAL_BAUD_7200), Y(SERIAL_BAUD_9600),
    Y(SERIAL_BAUD_14400), Y(SERIAL_BAUD_19200), Y(SERIAL_BAUD_38400), Y(SERIAL_BAUD_56K),
    Y(SERIAL_BAUD_128K), Y(SERIAL_BAUD_115200), Y(SERIAL_BAUD_57600), Y(SERIAL_BAUD_USER),
    Y(SERIAL_DATABITS_5), Y(SERIAL_DATABITS_6), Y(SERIAL_DATABITS_7), Y(SERIAL_DATABITS_8),
    Y(SERIAL_DATABITS_16), Y(SERIAL_DATABITS_16X),
    Y(SERIAL_STOPBITS_10), Y(SERIAL_STOPBITS_15), Y(SERIAL_STOPBITS_20),
    Y(SERIAL_PARITY_NONE), Y(SERIAL_PARITY_ODD), Y(SERIAL_PARITY_EVEN), Y(SERIAL_PARITY_MARK),
    Y(SERIAL_PARITY_SPACE),
    Y(SERIAL_SP_RS232), Y(SERIAL_SP_MODEM), Y(SERIAL_SP_SERIALCOMM),
    Y(SERIAL_TX_WAITING_FOR_CTS), Y(SERIAL_TX_WAITING_FOR_DSR), Y(SERIAL_TX_WAITING_FOR_DCD),
    Y(SERIAL_TX_WAITING_FOR_XON), Y(SERIAL_TX_WAITING_XOFF_SENT), Y(SERIAL_TX_WAITING_ON_BREAK),
    Y(SERIAL_RX_WAITING_FOR_DSR),
    Y(SERIAL_ERROR_BREAK), Y(SERIAL_ERROR_FRAMING), Y(SERIAL_ERROR_OVERRUN),
    Y(SERIAL_ERROR_QUEUEOVERRUN), Y(SERIAL_ERROR_PARITY),
};
#undef Y

struct PnpEntry {
  UCHAR minor;
  const char* name;
};
#define P(x) {IRP_MN_##x, #x}
const PnpEntry kPnpMinors[] = {
    P(START_DEVICE), P(QUERY_REMOVE_DEVICE), P(REMOVE_DEVICE), P(CANCEL_REMOVE_DEVICE),
    P(STOP_DEVICE), P(QUERY_STOP_DEVICE), P(CANCEL_STOP_DEVICE), P(QUERY_DEVICE_RELATIONS),
    P(QUERY_INTERFACE), P(QUERY_CAPABILITIES), P(QUERY_RESOURCES),
    P(QUERY_RESOURCE_REQUIREMENTS), P(QUERY_DEVICE_TEXT), P(FILTER_RESOURCE_REQUIREMENTS),
    P(READ_CONFIG), P(WRITE_CONFIG), P(EJECT), P(SET_LOCK), P(QUERY_ID),
    P(QUERY_PNP_DEVICE_STATE), P(QUERY_BUS_INFORMATION), P(DEVICE_USAGE_NOTIFICATION),
    P(SURPRISE_REMOVAL), P(QUERY_LEGACY_BUS_INFORMATION),
};
#undef P

}  // namespace

std::string StatusName(NTSTATUS status) {
  for (const StatusEntry& e : kStatuses) {
    if (e.value == status) return e.name;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
  return buffer;
}

std::optional<uint64_t> ParseNumber(const std::string& text) {
  if (text.size() == 3 && text.front() == '\'' && text.back() == '\'') {
    return static_cast<unsigned char>(text[1]);
  }
  if (text.empty()) return std::nullopt;
  int base = 10;
  size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  uint64_t value = 0;
  for (size_t i = start; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c == '_' && i > start) {
      continue;  // 1_000_000
    } else {
      return std::nullopt;
    }
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
      return std::nullopt;
    }
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return value;
}

std::optional<NTSTATUS> ParseStatus(const std::string& text) {
  if (auto n = ParseNumber(text)) {
    if (*n > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<NTSTATUS>(static_cast<uint32_t>(*n));
  }
  std::string upper = Upper(text);
  if (upper.rfind("STATUS_", 0) != 0) upper = "STATUS_" + upper;
  for (const StatusEntry& e : kStatuses) {
    if (upper == e.name) return e.value;
  }
  return std::nullopt;
}

std::optional<USBD_STATUS> ParseUsbdStatus(const std::string& text) {
  if (auto n = ParseNumber(text)) {
    if (*n > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<USBD_STATUS>(static_cast<uint32_t>(*n));
  }
  std::string upper = Upper(text);
  if (upper.rfind("USBD_STATUS_", 0) != 0) upper = "USBD_STATUS_" + upper;
  for (const UsbdEntry& e : kUsbdStatuses) {
    if (upper == e.name) return e.value;
  }
  return std::nullopt;
}

const Field* Record::Find(const std::string& fieldName) const {
  for (const Field& f : fields) {
    if (EqualNoCase(fieldName, f.name)) return &f;
  }
  return nullptr;
}

uint32_t GetField(const std::vector<uint8_t>& buffer, const Field& field) {
  uint32_t value = 0;
  for (unsigned i = 0; i < field.size && field.offset + i < buffer.size(); ++i) {
    value |= static_cast<uint32_t>(buffer[field.offset + i]) << (8 * i);
  }
  return value;
}

void SetField(std::vector<uint8_t>& buffer, const Field& field, uint32_t value) {
  if (buffer.size() < field.offset + field.size) buffer.resize(field.offset + field.size);
  for (unsigned i = 0; i < field.size; ++i) {
    buffer[field.offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

std::string FormatField(const Field& field, uint32_t value) {
  char buffer[64];
  if (field.flags) {
    std::snprintf(buffer, sizeof buffer, "%s=0x%X", field.name, value);
  } else if (field.size == 4 && (field.name == std::string("XonLimit") ||
                                 field.name == std::string("XoffLimit"))) {
    std::snprintf(buffer, sizeof buffer, "%s=%d", field.name, static_cast<int32_t>(value));
  } else {
    std::snprintf(buffer, sizeof buffer, "%s=%u", field.name, value);
  }
  return buffer;
}

std::string FormatRecord(const Record& record, const std::vector<uint8_t>& buffer) {
  std::string out;
  for (const Field& f : record.fields) {
    if (f.offset + f.size > buffer.size()) continue;
    if (!out.empty()) out += ' ';
    out += FormatField(f, GetField(buffer, f));
  }
  if (buffer.size() < record.size) {
    if (!out.empty()) out += ' ';
    out += "(" + std::to_string(buffer.size()) + " of " + std::to_string(record.size) + " bytes)";
  }
  return out;
}

const std::vector<ControlCode>& ControlCodes() { return kControlCodes; }

const ControlCode* FindControlCode(const std::string& name, bool internal) {
  std::string upper = Upper(name);
  for (const ControlCode& c : kControlCodes) {
    if (c.internal != internal) continue;
    std::string full = c.name;
    if (upper == full) return &c;
    const std::string prefix = "IOCTL_SERIAL_";
    if (full.rfind(prefix, 0) == 0 && upper == full.substr(prefix.size())) return &c;
    if (full.rfind("IOCTL_", 0) == 0 && upper == full.substr(6)) return &c;
  }
  return nullptr;
}

const ControlCode* ControlCodeByValue(ULONG code, bool internal) {
  for (const ControlCode& c : kControlCodes) {
    if (c.code == code && c.internal == internal) return &c;
  }
  return nullptr;
}

std::string ControlCodeName(ULONG code, bool internal) {
  if (const ControlCode* c = ControlCodeByValue(code, internal)) return c->name;
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(code));
  return buffer;
}

std::optional<uint32_t> ParseSymbol(const std::string& name) {
  std::string upper = Upper(name);
  for (const Symbol& s : kSymbols) {
    if (upper == s.name) return s.value;
  }
  return std::nullopt;
}

std::optional<uint32_t> ParseValue(const std::string& text) {
  if (text.empty()) return std::nullopt;
  uint32_t value = 0;
  size_t start = 0;
  while (true) {
    size_t bar = text.find('|', start);
    std::string part = text.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    if (part.empty()) return std::nullopt;
    if (part[0] == '-' && part.size() > 1) {
      auto n = ParseNumber(part.substr(1));
      if (!n || *n > 0x80000000ull) return std::nullopt;
      value |= static_cast<uint32_t>(-static_cast<int64_t>(*n));
    } else if (auto n = ParseNumber(part)) {
      if (*n > 0xFFFFFFFFull) return std::nullopt;
      value |= static_cast<uint32_t>(*n);
    } else if (auto s = ParseSymbol(part)) {
      value |= *s;
    } else {
      return std::nullopt;
    }
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return value;
}

std::string EventMaskText(uint32_t mask) {
  static const char* const kNames[] = {"EV_RXCHAR", "EV_RXFLAG", "EV_TXEMPTY", "EV_CTS",
                                       "EV_DSR",    "EV_RLSD",   "EV_BREAK",   "EV_ERR",
                                       "EV_RING",   "EV_PERR",   "EV_RX80FULL", "EV_EVENT1",
                                       "EV_EVENT2"};
  if (mask == 0) return "0";
  std::string out;
  for (unsigned bit = 0; bit < 32; ++bit) {
    if ((mask & (1u << bit)) == 0) continue;
    if (!out.empty()) out += '|';
    if (bit < sizeof kNames / sizeof kNames[0]) {
      out += kNames[bit];
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "0x%X", 1u << bit);
      out += buffer;
    }
  }
  return out;
}

std::string ModemStatusText(uint32_t status) {
  static const char* const kNames[] = {"DCTS", "DDSR", "TERI", "DDCD", "CTS", "DSR", "RI", "DCD"};
  if (status == 0) return "none";
  std::string out;
  for (int bit = 7; bit >= 0; --bit) {
    if ((status & (1u << bit)) == 0) continue;
    if (!out.empty()) out += '|';
    out += kNames[bit];
  }
  if (status & ~0xFFu) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", status & ~0xFFu);
    if (!out.empty()) out += '|';
    out += buffer;
  }
  return out;
}

std::optional<UCHAR> ParsePnpMinor(const std::string& name) {
  std::string upper = Upper(name);
  if (upper.rfind("IRP_MN_", 0) == 0) upper = upper.substr(7);
  for (const PnpEntry& e : kPnpMinors) {
    if (upper == e.name) return e.minor;
  }
  if (auto n = ParseNumber(name)) {
    if (*n <= 0xFF) return static_cast<UCHAR>(*n);
  }
  return std::nullopt;
}

std::string PnpMinorName(UCHAR minor) {
  for (const PnpEntry& e : kPnpMinors) {
    if (e.minor == minor) return e.name;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%02X", minor);
  return buffer;
}

namespace {
const std::pair<const char*, ULONG> kRegistryTypes[] = {
    {"REG_NONE", REG_NONE},         {"REG_SZ", REG_SZ},           {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY},     {"REG_DWORD", REG_DWORD},     {"REG_MULTI_SZ", REG_MULTI_SZ},
};
}  // namespace

std::optional<ULONG> ParseRegistryType(const std::string& name) {
  for (const auto& [text, type] : kRegistryTypes) {
    if (EqualNoCase(name, text)) return type;
  }
  if (auto n = ParseNumber(name); n && *n <= 0xFFFFFFFFull) return static_cast<ULONG>(*n);
  return std::nullopt;
}

std::string RegistryTypeName(ULONG type) {
  for (const auto& [text, value] : kRegistryTypes) {
    if (value == type) return text;
  }
  return std::to_string(type);
}

std::string PowerMinorName(UCHAR minor) {
  const std::string name = host::debug::MinorFunctionName(IRP_MJ_POWER, minor);
  if (name != "IRP_MN_(unknown)") return name.substr(7);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%02X", minor);
  return buffer;
}

std::optional<PowerTarget> ParsePowerState(const std::string& name) {
  if (name.size() != 2) return std::nullopt;
  char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  if (name[1] < '0' || name[1] > '9') return std::nullopt;
  unsigned n = static_cast<unsigned>(name[1] - '0');
  if (kind == 'S' && n <= 5) return PowerTarget{SystemPowerState, n + 1};
  if (kind == 'D' && n <= 3) return PowerTarget{DevicePowerState, n + 1};
  return std::nullopt;
}

std::string PowerStateName(POWER_STATE_TYPE type, ULONG state) {
  if (state == 0) return type == SystemPowerState ? "S-unspecified" : "D-unspecified";
  if (type == DevicePowerState && state == PowerDeviceMaximum) return "D-maximum";
  return std::string(type == SystemPowerState ? "S" : "D") + std::to_string(state - 1);
}

}  // namespace mdmhost

// The bus trace: recording, printing and walking.

#include "sim/trace.h"

#include <algorithm>
#include <cstdio>

namespace sim {

const char* PipeName(Pipe pipe) {
  switch (pipe) {
    case Pipe::BulkIn:
      return "bulk-in";
    case Pipe::BulkOut:
      return "bulk-out";
    case Pipe::Interrupt:
      return "interrupt-in";
  }
  return "?";
}

std::string StatusName(NTSTATUS status) {
  switch (status) {
#define SIM_STATUS(name) \
  case name:             \
    return #name;
    SIM_STATUS(STATUS_SUCCESS)
    SIM_STATUS(STATUS_PENDING)
    SIM_STATUS(STATUS_TIMEOUT)
    SIM_STATUS(STATUS_DEVICE_BUSY)
    SIM_STATUS(STATUS_BUFFER_OVERFLOW)
    SIM_STATUS(STATUS_UNSUCCESSFUL)
    SIM_STATUS(STATUS_NOT_IMPLEMENTED)
    SIM_STATUS(STATUS_INVALID_HANDLE)
    SIM_STATUS(STATUS_INVALID_PARAMETER)
    SIM_STATUS(STATUS_NO_SUCH_DEVICE)
    SIM_STATUS(STATUS_INVALID_DEVICE_REQUEST)
    SIM_STATUS(STATUS_MORE_PROCESSING_REQUIRED)
    SIM_STATUS(STATUS_NO_MEMORY)
    SIM_STATUS(STATUS_ACCESS_DENIED)
    SIM_STATUS(STATUS_BUFFER_TOO_SMALL)
    SIM_STATUS(STATUS_DELETE_PENDING)
    SIM_STATUS(STATUS_INSUFFICIENT_RESOURCES)
    SIM_STATUS(STATUS_DEVICE_NOT_CONNECTED)
    SIM_STATUS(STATUS_DEVICE_NOT_READY)
    SIM_STATUS(STATUS_NOT_SUPPORTED)
    SIM_STATUS(STATUS_DEVICE_DOES_NOT_EXIST)
    SIM_STATUS(STATUS_CANCELLED)
    SIM_STATUS(STATUS_INVALID_DEVICE_STATE)
    SIM_STATUS(STATUS_IO_DEVICE_ERROR)
    SIM_STATUS(STATUS_DEVICE_REMOVED)
    SIM_STATUS(STATUS_POWER_STATE_INVALID)
#undef SIM_STATUS
    default:
      break;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
  return buf;
}

std::string UsbdStatusName(USBD_STATUS status) {
  switch (status) {
#define SIM_USBD(name) \
  case name:           \
    return #name;
    SIM_USBD(USBD_STATUS_SUCCESS)
    SIM_USBD(USBD_STATUS_PENDING)
    SIM_USBD(USBD_STATUS_STALL_PID)
    SIM_USBD(USBD_STATUS_DEV_NOT_RESPONDING)
    SIM_USBD(USBD_STATUS_DATA_OVERRUN)
    SIM_USBD(USBD_STATUS_BUFFER_OVERRUN)
    SIM_USBD(USBD_STATUS_XACT_ERROR)
    SIM_USBD(USBD_STATUS_ENDPOINT_HALTED)
    SIM_USBD(USBD_STATUS_INVALID_URB_FUNCTION)
    SIM_USBD(USBD_STATUS_INVALID_PARAMETER)
    SIM_USBD(USBD_STATUS_ERROR_BUSY)
    SIM_USBD(USBD_STATUS_INVALID_PIPE_HANDLE)
    SIM_USBD(USBD_STATUS_NO_BANDWIDTH)
    SIM_USBD(USBD_STATUS_DEVICE_GONE)
    SIM_USBD(USBD_STATUS_CANCELED)
#undef SIM_USBD
    case static_cast<USBD_STATUS>(0xC0000009):
      return "USBD_STATUS_DATA_UNDERRUN";
    default:
      break;
  }
  char buf[24];
  std::snprintf(buf, sizeof buf, "USBD 0x%08X", static_cast<unsigned>(status));
  return buf;
}

std::string HexBytes(const uint8_t* data, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(n * 3);
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

std::string HexBytes(const std::vector<uint8_t>& data) { return HexBytes(data.data(), data.size()); }

const char* TraceKindName(TraceKind kind) {
  switch (kind) {
    case TraceKind::End:
      return "END";
    case TraceKind::Setup:
      return "SETUP";
    case TraceKind::ResetPipe:
      return "RESET";
    case TraceKind::AbortPipe:
      return "ABORT";
    case TraceKind::InSubmit:
      return "IN";
    case TraceKind::InDone:
      return "IN-DONE";
    case TraceKind::OutSubmit:
      return "OUT";
    case TraceKind::OutDone:
      return "OUT-DONE";
    case TraceKind::Refused:
      return "REFUSED";
    case TraceKind::Pnp:
      return "PNP";
    case TraceKind::Power:
      return "POWER";
    case TraceKind::Wmi:
      return "WMI";
    case TraceKind::Unplug:
      return "UNPLUG";
    case TraceKind::Ioctl:
      return "IOCTL";
  }
  return "?";
}

namespace {

// Data in a line: everything up to 32 bytes; beyond that the first 16 and the count left out.
// `total` is the transfer's length, of which a bounded trace keeps only the first bytes.
std::string DataText(const std::vector<uint8_t>& data, size_t total) {
  constexpr size_t kWhole = BusTrace::kBoundedData;
  constexpr size_t kHead = 16;
  total = std::max(total, data.size());
  if (total <= kWhole) return HexBytes(data);
  return HexBytes(data.data(), kHead) + " ... (+" + std::to_string(total - kHead) + ")";
}

// "S0".."S5" for PowerSystemWorking..PowerSystemShutdown, "D0".."D3" for PowerDeviceD0..D3.
std::string PowerStateText(POWER_STATE_TYPE type, ULONG state) {
  if (state == 0) return type == DevicePowerState ? "D-unspecified" : "S-unspecified";
  return (type == DevicePowerState ? "D" : "S") + std::to_string(state - 1);
}

const char* PowerMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE:
      return "WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE:
      return "POWER_SEQUENCE";
    case IRP_MN_SET_POWER:
      return "SET_POWER";
    case IRP_MN_QUERY_POWER:
      return "QUERY_POWER";
  }
  return nullptr;
}

}  // namespace

std::string TraceEntry::ToString() const {
  std::string s = TraceKindName(kind);
  bool usb = false;  // statuses of USB requests carry the USBD status too
  switch (kind) {
    case TraceKind::End:
      return "(end of trace)";
    case TraceKind::Setup:
      s += ' ';
      s += HexBytes(setup, 8);
      if (!data.empty()) s += " DATA " + DataText(data, data.size());
      usb = true;
      break;
    case TraceKind::ResetPipe:
    case TraceKind::AbortPipe:
      s += ' ';
      s += PipeName(pipe);
      usb = true;
      break;
    case TraceKind::InSubmit:
    case TraceKind::OutDone:
      s += ' ';
      s += PipeName(pipe);
      s += ' ' + std::to_string(length);
      usb = true;
      break;
    case TraceKind::InDone:
    case TraceKind::OutSubmit:
      s += ' ';
      s += PipeName(pipe);
      s += ' ' + std::to_string(length);
      if (!data.empty()) s += ": " + DataText(data, length);
      usb = true;
      break;
    case TraceKind::Refused:
      if (hasPipe) {
        s += ' ';
        s += PipeName(pipe);
      }
      s += ": " + detail;
      usb = true;
      break;
    case TraceKind::Pnp:
    case TraceKind::Wmi:
      s += ' ' + detail;
      break;
    case TraceKind::Power: {
      const char* name = PowerMinorName(minor);
      s += ' ';
      s += name ? name : detail.c_str();
      if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        s += ' ' + PowerStateText(powerType, powerState);
      }
      break;
    }
    case TraceKind::Unplug:
      break;
    case TraceKind::Ioctl: {
      char buf[16];
      std::snprintf(buf, sizeof buf, " 0x%08X", static_cast<unsigned>(code));
      s += buf;
      break;
    }
  }
  if (status != STATUS_SUCCESS || (usb && usbdStatus != USBD_STATUS_SUCCESS)) {
    s += " -> " + StatusName(status);
    if (usb && usbdStatus != USBD_STATUS_SUCCESS) s += ' ' + UsbdStatusName(usbdStatus);
  }
  return s;
}

// ---------------------------------------------------------------------------------------------

void BusTrace::Record(TraceEntry entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entry.sequence = dropped_ + entries_.size();
  if (keep_ != 0 && entry.data.size() > kBoundedData) {
    entry.data.resize(kBoundedData);
    entry.data.shrink_to_fit();
  }
  entries_.push_back(std::move(entry));
  while (keep_ != 0 && entries_.size() > keep_) {
    entries_.pop_front();
    ++dropped_;
  }
}

void BusTrace::Keep(size_t entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  keep_ = entries;
}

size_t BusTrace::DataKept(size_t n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keep_ != 0 ? std::min(n, kBoundedData) : n;
}

std::vector<TraceEntry> BusTrace::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<TraceEntry>(entries_.begin(), entries_.end());
}

std::vector<std::string> BusTrace::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  lines.reserve(entries_.size());
  for (const auto& e : entries_) lines.push_back(e.ToString());
  return lines;
}

std::string BusTrace::Dump() const {
  std::string text;
  for (const auto& line : Lines()) text += line + '\n';
  return text;
}

size_t BusTrace::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_ + entries_.size();
}

size_t BusTrace::First() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

TraceEntry BusTrace::At(size_t sequence) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sequence < dropped_ || sequence - dropped_ >= entries_.size()) return TraceEntry{};
  return entries_[sequence - dropped_];
}

size_t BusTrace::Count(TraceKind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& e : entries_) n += e.kind == kind;
  return n;
}

TraceCursor BusTrace::Cursor() const { return TraceCursor(this, 0); }
TraceCursor BusTrace::CursorAtEnd() const { return TraceCursor(this, Size()); }

// ---------------------------------------------------------------------------------------------

TraceCursor& TraceCursor::Ignore(TraceKind kind) {
  ignored_.insert(kind);
  return *this;
}

TraceCursor& TraceCursor::Ignore(std::initializer_list<TraceKind> kinds) {
  ignored_.insert(kinds.begin(), kinds.end());
  return *this;
}

TraceCursor& TraceCursor::Show(TraceKind kind) {
  ignored_.erase(kind);
  return *this;
}

TraceCursor& TraceCursor::IgnoreInTraffic() { return Ignore({TraceKind::InSubmit, TraceKind::InDone}); }

TraceCursor& TraceCursor::IgnoreBusDriver() {
  return Ignore({TraceKind::Pnp, TraceKind::Power, TraceKind::Wmi});
}

size_t TraceCursor::FindVisible(size_t from) const {
  if (!trace_) return SIZE_MAX;
  const size_t size = trace_->Size();
  for (size_t i = std::max(from, trace_->First()); i < size; ++i) {
    if (!Ignored(trace_->At(i).kind)) return i;
  }
  return SIZE_MAX;
}

TraceEntry TraceCursor::Next() {
  const size_t i = FindVisible(position_);
  if (i == SIZE_MAX) {
    if (trace_) position_ = trace_->Size();
    return TraceEntry{};
  }
  position_ = i + 1;
  return trace_->At(i);
}

TraceEntry TraceCursor::Peek() const {
  const size_t i = FindVisible(position_);
  return i == SIZE_MAX ? TraceEntry{} : trace_->At(i);
}

std::string TraceCursor::NextLine() { return Next().ToString(); }

TraceEntry TraceCursor::NextOf(TraceKind kind) {
  if (!trace_) return TraceEntry{};
  const size_t size = trace_->Size();
  for (size_t i = std::max(position_, trace_->First()); i < size; ++i) {
    TraceEntry e = trace_->At(i);
    if (e.kind == kind) {
      position_ = i + 1;
      return e;
    }
  }
  position_ = size;
  return TraceEntry{};
}

std::vector<std::string> TraceCursor::Rest() {
  std::vector<std::string> lines;
  for (TraceEntry e = Next(); e.kind != TraceKind::End; e = Next()) lines.push_back(e.ToString());
  return lines;
}

bool TraceCursor::AtEnd() const { return FindVisible(position_) == SIZE_MAX; }

void TraceCursor::SeekEnd() {
  if (trace_) position_ = trace_->Size();
}

}  // namespace sim

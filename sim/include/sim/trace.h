// The bus trace: every request that reached the bottom of a simulated device's stack, in the
// order the device saw it — class requests as SETUP packets in bus order with their data stage,
// pipe resets and aborts, bulk and interrupt transfers (submission and completion), refused URBs,
// and the PnP, power and WMI requests the bus driver answered.
//
// Each entry is a structured record and prints as one readable line (docs/device-side.md lists
// the formats):
//   SETUP 21 20 00 00 00 00 07 00 DATA 00 08 07 00 02 00 08
//   RESET bulk-in
//   IN bulk-in 4096
//   IN-DONE bulk-in 5: 68 65 6C 6C 6F
//   OUT bulk-out 3: 41 54 0D
//   IN-DONE interrupt-in 0 -> STATUS_CANCELLED USBD_STATUS_CANCELED
//
// A TraceCursor walks the trace with a filter, so a test can say "the next entries are ..."
// byte for byte while skipping what it does not care about (IN re-arms, PnP traffic).
#pragma once

#include <wdk/wdk.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sim {

// The three data pipes of the modem's USB function.
enum class Pipe : uint8_t { BulkIn = 0, BulkOut = 1, Interrupt = 2 };
constexpr int kPipeCount = 3;
// "bulk-in", "bulk-out", "interrupt-in".
const char* PipeName(Pipe pipe);

// "STATUS_CANCELLED", or "0xC0001234" for a value without a name.
std::string StatusName(NTSTATUS status);
// "USBD_STATUS_STALL_PID", or "USBD 0xC0001234".
std::string UsbdStatusName(USBD_STATUS status);
// "21 20 00 00" (upper-case hex, one space between bytes).
std::string HexBytes(const uint8_t* data, size_t n);
std::string HexBytes(const std::vector<uint8_t>& data);

enum class TraceKind : uint8_t {
  End,          // not a real entry: what a cursor returns past the last entry
  Setup,        // a class request on the default pipe (SETUP packet and data stage)
  ResetPipe,    // URB_FUNCTION_RESET_PIPE
  AbortPipe,    // URB_FUNCTION_ABORT_PIPE (the transfers it cancels follow as *Done entries)
  InSubmit,     // a bulk-IN or interrupt-IN transfer was submitted and is now pending
  InDone,       // ... and completed (bytes, count, status)
  OutSubmit,    // a bulk-OUT transfer was submitted (bytes as sent)
  OutDone,      // ... and completed
  Refused,      // a URB or request the USB stack refused without touching the device
  Pnp,          // IRP_MJ_PNP at the bottom of the stack
  Power,        // IRP_MJ_POWER at the bottom of the stack
  Wmi,          // IRP_MJ_SYSTEM_CONTROL at the bottom of the stack
  Unplug,       // the device was pulled out
  Ioctl,        // an internal device control other than IOCTL_INTERNAL_USB_SUBMIT_URB
};
const char* TraceKindName(TraceKind kind);

struct TraceEntry {
  TraceKind kind = TraceKind::End;
  uint64_t sequence = 0;  // 0, 1, 2 ... per device
  int64_t time = 0;       // interrupt time (100 ns units) when it was recorded
  Pipe pipe = Pipe::BulkIn;  // ResetPipe, AbortPipe, In*, Out*; Refused when a pipe was named
  bool hasPipe = false;
  uint8_t setup[8] = {};       // Setup: the SETUP packet in bus order
  std::vector<uint8_t> data;   // Setup: data stage; InDone/OutSubmit: the bytes
  uint32_t length = 0;         // InSubmit/OutSubmit: TransferBufferLength asked for;
                               // InDone/OutDone: bytes transferred
  NTSTATUS status = STATUS_SUCCESS;         // completion status
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
  UCHAR major = 0;   // Pnp/Power/Wmi
  UCHAR minor = 0;
  ULONG code = 0;    // Ioctl: control code
  // Power: Parameters.Power.Type and State; Wmi: Parameters.WMI.* as they arrived.
  POWER_STATE_TYPE powerType = SystemPowerState;
  ULONG powerState = 0;
  ULONG_PTR wmiProviderId = 0;
  PVOID wmiDataPath = nullptr;
  ULONG wmiBufferSize = 0;
  PVOID wmiBuffer = nullptr;
  std::string detail;  // Refused: the reason; Pnp: the minor's name ...

  // One line, as documented in docs/device-side.md.
  std::string ToString() const;
};

class TraceCursor;

// The trace of one device. Thread-safe: the device records from any thread, tests read.
//
// By default every entry is kept with all its bytes. A device that runs for a long time on real
// threads (the serial bridge, many modems at once) keeps a bounded trace instead (Keep): only
// the latest entries, each with no more data than its line shows.
class BusTrace {
 public:
  // Bytes of an entry's data a bounded trace keeps: as many as ToString() prints.
  static constexpr size_t kBoundedData = 32;

  void Record(TraceEntry entry);
  // From now on keep only the latest `entries` entries (0: every entry, the default), and of
  // each at most kBoundedData bytes of data. Sequence numbers go on counting what was dropped.
  void Keep(size_t entries);
  // How many bytes of data an entry of `n` bytes keeps (n, or kBoundedData when bounded).
  size_t DataKept(size_t n) const;
  std::vector<TraceEntry> Entries() const;  // the entries kept
  std::vector<std::string> Lines() const;  // every kept entry's ToString()
  std::string Dump() const;                // the lines, one per line, for failure messages
  // Entries recorded so far (the next sequence number), kept or not.
  size_t Size() const;
  // The sequence number of the oldest entry kept (0 unless a bounded trace dropped some).
  size_t First() const;
  // The entry with this sequence number; End if out of range or dropped.
  TraceEntry At(size_t sequence) const;
  // How many kept entries of `kind` there are.
  size_t Count(TraceKind kind) const;
  // A cursor at the start (everything visible) or at the current end.
  TraceCursor Cursor() const;
  TraceCursor CursorAtEnd() const;

 private:
  mutable std::mutex mutex_;
  std::deque<TraceEntry> entries_;
  size_t dropped_ = 0;
  size_t keep_ = 0;
};

// A read position in a BusTrace with a set of kinds to skip. Cheap to copy.
class TraceCursor {
 public:
  TraceCursor() = default;
  TraceCursor(const BusTrace* trace, size_t position) : trace_(trace), position_(position) {}

  // Kinds to pass over silently from now on.
  TraceCursor& Ignore(TraceKind kind);
  TraceCursor& Ignore(std::initializer_list<TraceKind> kinds);
  TraceCursor& Show(TraceKind kind);
  TraceCursor& IgnoreInTraffic();   // InSubmit and InDone
  TraceCursor& IgnoreBusDriver();   // Pnp, Power and Wmi
  bool Ignored(TraceKind kind) const { return ignored_.count(kind) != 0; }

  // The next visible entry (kind End when there is none) and the position moves past it.
  TraceEntry Next();
  // The next visible entry without moving.
  TraceEntry Peek() const;
  // Next().ToString().
  std::string NextLine();
  // The next visible entry of `kind`, passing over everything else; End if none.
  TraceEntry NextOf(TraceKind kind);
  // Every visible entry left, as lines; the position moves to the end.
  std::vector<std::string> Rest();
  // True when no visible entry is left.
  bool AtEnd() const;
  // Moves past everything recorded so far.
  void SeekEnd();
  size_t position() const { return position_; }

 private:
  size_t FindVisible(size_t from) const;
  const BusTrace* trace_ = nullptr;
  size_t position_ = 0;
  std::set<TraceKind> ignored_;
};

}  // namespace sim

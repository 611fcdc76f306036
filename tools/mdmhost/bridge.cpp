// mdmhost bridge: an opened COM port of the driver, exposed as a Linux pseudo-terminal so that
// ordinary serial programs can use it. A threaded host session runs the driver above a simulated
// modem; the port is opened through the serial API and stays open until SIGINT or SIGTERM.
//
//   terminal program <-> /dev/pts/N (slave) <-> master <-> bridge <-> COM7 (driver) <-> modem
//
// Three threads move things: the receiver keeps overlapped ReadFiles going (two, alternating, so
// that one is in the driver while the other's bytes go to the master side); the sender reads
// what the terminal program wrote and sends it with overlapped WriteFile, gathering what the
// terminal has at once (never waiting for more) while the previous write is in the driver; the
// main thread watches the terminal (a hang-up drops DTR, a reopen raises it) and the signals.
// Nothing is held back in the bridge: bytes that arrive while no program has the terminal open
// are dropped, as on a real line.
//
// Line settings: the master runs in packet mode (TIOCPKT) and the terminal's local modes carry
// EXTPROC, so every tcsetattr a program makes reaches the sender as a TIOCPKT_IOCTL status ahead
// of the bytes the program writes after it; the sender turns it into SetCommState before it sends
// those bytes, as a UART would have the new rate before the next character. The main thread also
// compares the terminal's settings every 50 ms, for programs that clear EXTPROC. The Linux pty
// driver keeps 8 data bits and no parity whatever a program sets, so what reaches the driver from
// a pseudo-terminal is the rate, the stop bits and the flow control.
#include <iostream>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <comm/comm.h>

#include "binding.h"
#include "line_options.h"
#include "cli.h"
#include "names.h"
#include "stack.h"

namespace mdmhost {

const char* const kBridgeHelp =
    "Usage: mdmhost bridge --link PATH [--port COM7] [--modem at|loopback] [--quiet]\n"
    "\n"
    "Loads the driver in a threaded host session above a simulated modem, opens the port through\n"
    "the serial API and exposes it as a Linux pseudo-terminal; PATH becomes a symbolic link to\n"
    "the terminal's slave side (/dev/pts/N). Any serial program can then use PATH:\n"
    "\n"
    "  mdmhost bridge --link /tmp/ttyMDM0 &\n"
    "  picocom -b 115200 /tmp/ttyMDM0          # type ATZ, ATI, ATDT5551234 ...\n"
    "  python3 -c 'import serial; s = serial.Serial(\"/tmp/ttyMDM0\", 115200); ...'\n"
    "\n"
    "While it runs:\n"
    "  - bytes go both ways (overlapped ReadFile and WriteFile on the port);\n"
    "  - the baud rate, stop bits and RTS/CTS or XON/XOFF set on the terminal (tcsetattr,\n"
    "    stty, the program's own settings) become SetCommState requests before the bytes the\n"
    "    program writes next; a rate the driver refuses is reported and the line stays as it\n"
    "    was (a Linux pseudo-terminal itself keeps 8 data bits and no parity);\n"
    "  - when the last program closes the terminal (a hang-up) DTR is dropped, and raised\n"
    "    again when a program opens it;\n"
    "  - SIGINT or SIGTERM ends it cleanly: the port is closed, the device removed, the driver\n"
    "    unloaded, the link removed, and the verifier's report printed.\n"
    "\n"
    "The terminal starts in raw mode at 9600 baud with echo off, so a program that does not set\n"
    "the line itself (chat, cat) does not echo the modem's answers back to it.\n"
    "\n"
    "Options:\n"
    "  --link PATH           where to put the symbolic link (required); an old symbolic link\n"
    "                        there is replaced, anything else is left alone (an error)\n"
    "  --port NAME           the port name (\"PortName\"), default COM7\n"
    "  --modem at|loopback   the modem model, default at (the AT modem: dial any number for the\n"
    "                        built-in echo peer, or a.b.c.d:port for a TCP host)\n"
    "  --quiet               print only the ready line and errors\n"
    "  --image PATH          run the x86 image itself (build/x86/tavrinmdm.sys) instead of the\n"
    "                        host-compiled driver; needs the 32-bit host (build/host32)\n"
    "  --stack-report        with --image: print the kernel stack the image used, per routine\n"
    "  --max-stack BYTES     with --image: fail when the image used more kernel stack than this\n"
    "\n"
    "Exit status: 0 after a clean shutdown with the verifier clean (and the image within its\n"
    "stack limit), 1 otherwise.\n";

namespace {

std::atomic<bool> gStop{false};

// The largest ReadFile and WriteFile on the port, and what one read of the terminal's master side
// can bring (its line discipline hands over at most a 4 KiB buffer, plus the packet byte).
constexpr size_t kPortChunk = 64 * 1024;
constexpr size_t kTerminalRead = 4096 + 1;
constexpr size_t kTraceKeep = 1024;

struct LineSettings {
  unsigned long baud = 0;  // 0: hang up (B0)
  unsigned bits = 8;
  comm::BYTE parity = comm::NOPARITY;
  comm::BYTE stop = comm::ONESTOPBIT;
  bool rtscts = false;
  bool xon = false;   // IXON: the port obeys XON/XOFF from the line
  bool xoff = false;  // IXOFF: the port sends XON/XOFF
  bool operator==(const LineSettings&) const = default;
};

unsigned long SpeedValue(speed_t s) {
  static const std::pair<speed_t, unsigned long> kSpeeds[] = {
      {B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
      {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},
      {B1800, 1800},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
      {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
      {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
      {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
      {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
  };
  for (const auto& [code, value] : kSpeeds) {
    if (code == s) return value;
  }
  return 0;
}

LineSettings FromTermios(const struct termios& t) {
  LineSettings l;
  l.baud = SpeedValue(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: l.bits = 5; break;
    case CS6: l.bits = 6; break;
    case CS7: l.bits = 7; break;
    default: l.bits = 8; break;
  }
  if (t.c_cflag & PARENB) {
#ifdef CMSPAR
    if (t.c_cflag & CMSPAR) {
      l.parity = (t.c_cflag & PARODD) ? comm::MARKPARITY : comm::SPACEPARITY;
    } else
#endif
    {
      l.parity = (t.c_cflag & PARODD) ? comm::ODDPARITY : comm::EVENPARITY;
    }
  }
  l.stop = (t.c_cflag & CSTOPB) ? comm::TWOSTOPBITS : comm::ONESTOPBIT;
  l.rtscts = (t.c_cflag & CRTSCTS) != 0;
  l.xon = (t.c_iflag & IXON) != 0;
  l.xoff = (t.c_iflag & IXOFF) != 0;
  return l;
}

std::string Describe(const LineSettings& l) {
  if (l.baud == 0) return "speed 0 (hang up)";
  static const char kParity[] = "NOEMS";
  std::string s = std::to_string(l.baud) + " " + std::to_string(l.bits) + kParity[l.parity] +
                  (l.stop == comm::TWOSTOPBITS ? "2" : "1");
  if (l.rtscts) s += " RTS/CTS";
  if (l.xon || l.xoff) s += " XON/XOFF";
  return s;
}

class Bridge {
 public:
  Bridge(std::string link, std::string port, ModemModel model, bool quiet)
      : link_(std::move(link)), portName_(std::move(port)), model_(model), quiet_(quiet) {}
  int Run();

 private:
  void Say(const std::string& text);
  void Error(const std::string& text);  // a failure of the bridge: exit status 1
  void Warn(const std::string& text);   // what a program asked for and did not get
  bool BringUp();
  bool MakeTerminal();
  void Receiver();
  void Sender();
  void Watch();
  void Apply(const LineSettings& line);
  void ApplyTerminal();  // the terminal's current settings
  void SetDtr(bool on);
  void OnHangUp();   // the last program closed the terminal
  void OnConnect();  // a program has it open again
  bool WriteToTerminal(const char* data, size_t n);
  void TakeDown();

  std::string link_;
  std::string portName_;
  ModemModel model_;
  bool quiet_;

  std::unique_ptr<ViolationLog> log_;
  std::unique_ptr<Stack> stack_;
  size_t device_ = 0;
  comm::Port port_;
  int master_ = -1;
  std::string slave_;
  bool linkMade_ = false;

  std::atomic<bool> connected_{false};
  std::atomic<uint64_t> toTerminal_{0};
  std::atomic<uint64_t> fromTerminal_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<int> errors_{0};
  std::mutex lineMutex_;  // Apply from the sender and the main thread; guards the two below
  std::optional<LineSettings> applied_;
  std::optional<LineSettings> refused_;
  std::mutex sayMutex_;
};

void Bridge::Say(const std::string& text) {
  if (quiet_) return;
  std::lock_guard<std::mutex> lock(sayMutex_);
  std::fprintf(stdout, "bridge: %s\n", text.c_str());
  std::fflush(stdout);
}

void Bridge::Error(const std::string& text) {
  ++errors_;
  Warn(text);
}

void Bridge::Warn(const std::string& text) {
  std::lock_guard<std::mutex> lock(sayMutex_);
  std::fprintf(stderr, "bridge: %s\n", text.c_str());
  std::fflush(stderr);
}

bool Bridge::BringUp() {
  log_ = std::make_unique<ViolationLog>();
  log_->SetEcho([this](const host::verifier::Violation& v) { Error("verifier: " + v.message); });
  host::SessionOptions session;
  session.mode = host::Mode::Threaded;
  stack_ = std::make_unique<Stack>(session);
  // The bridge runs for as long as it is wanted: its bus trace keeps only the latest traffic.
  stack_->KeepTraces(kTraceKeep);
  NTSTATUS s = stack_->LoadDriver();
  if (!NT_SUCCESS(s)) {
    Error("DriverEntry failed: " + StatusName(s));
    return false;
  }
  device_ = stack_->Plug(model_, portName_, portName_);
  if (!NT_SUCCESS(s = stack_->AddDevice(device_))) {
    Error("AddDevice failed: " + StatusName(s));
    return false;
  }
  if (!NT_SUCCESS(s = stack_->Pnp(device_, IRP_MN_START_DEVICE))) {
    Error("IRP_MN_START_DEVICE failed: " + StatusName(s));
    return false;
  }
  if (!NT_SUCCESS(s = comm::CreateFile(portName_, &port_))) {
    Error("CreateFile(\"" + portName_ + "\") failed: " + StatusName(s));
    return false;
  }
  // Reads return as soon as data is there, or after 100 ms with nothing: the receiver's wait is
  // bounded, and its request is never left behind for long when the bridge stops.
  comm::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = comm::MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = comm::MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = 100;
  if (!NT_SUCCESS(s = comm::SetCommTimeouts(port_, timeouts))) {
    Error("SetCommTimeouts failed: " + StatusName(s));
    return false;
  }
  Say("driver loaded, " + portName_ + " opened over the " + ModelName(model_) + " modem");
  return true;
}

bool Bridge::MakeTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    Error(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    Error(std::string("ptsname: ") + std::strerror(errno));
    return false;
  }
  slave_ = name;
  struct termios t;
  if (tcgetattr(master_, &t) == 0) {
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_lflag |= EXTPROC;
    tcsetattr(master_, TCSANOW, &t);
  }
  int packet = 1;
  if (ioctl(master_, TIOCPKT, &packet) != 0) {
    Error(std::string("TIOCPKT: ") + std::strerror(errno));
    return false;
  }
  // Until a program opens the slave side, the master does not report a hang-up; opening and
  // closing it once puts the master in the hung-up state, so "no hang-up" means a program has
  // the terminal open from here on.
  int s = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s >= 0) close(s);

  struct stat st;
  if (lstat(link_.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      Error(link_ + " exists and is not a symbolic link; not replacing it");
      return false;
    }
    unlink(link_.c_str());
  }
  if (symlink(slave_.c_str(), link_.c_str()) != 0) {
    Error("cannot create the link " + link_ + ": " + std::strerror(errno));
    return false;
  }
  linkMade_ = true;
  return true;
}

void Bridge::SetDtr(bool on) {
  NTSTATUS s = comm::EscapeCommFunction(port_, on ? comm::SETDTR : comm::CLRDTR);
  Say(std::string(on ? "DTR raised" : "DTR dropped") + " (EscapeCommFunction " + (on ? "SETDTR" : "CLRDTR") +
      " -> " + StatusName(s) + ")");
}

void Bridge::ApplyTerminal() {
  struct termios t;
  if (tcgetattr(master_, &t) == 0) Apply(FromTermios(t));
}

void Bridge::Apply(const LineSettings& line) {
  std::lock_guard<std::mutex> lock(lineMutex_);
  if (applied_ && *applied_ == line) return;
  if (refused_ && *refused_ == line) return;
  if (line.baud == 0) {
    SetDtr(false);
    applied_ = line;
    return;
  }
  comm::DCB dcb;
  NTSTATUS s = comm::GetCommState(port_, &dcb);
  if (!NT_SUCCESS(s)) {
    Error("GetCommState failed: " + StatusName(s));
    refused_ = line;
    return;
  }
  dcb.BaudRate = static_cast<comm::DWORD>(line.baud);
  dcb.ByteSize = static_cast<comm::BYTE>(line.bits);
  dcb.Parity = line.parity;
  dcb.StopBits = line.stop;
  dcb.fDtrControl = comm::DTR_CONTROL_ENABLE;
  dcb.fRtsControl = line.rtscts ? comm::RTS_CONTROL_HANDSHAKE : comm::RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = line.rtscts;
  dcb.fOutX = line.xon;
  dcb.fInX = line.xoff;
  s = comm::SetCommState(port_, dcb);
  if (NT_SUCCESS(s)) {
    Say("terminal line " + Describe(line) + " -> SetCommState " + StatusName(s));
    applied_ = line;
    refused_.reset();
  } else {
    Warn("terminal line " + Describe(line) + " -> SetCommState " + StatusName(s) +
          "; the port keeps " + (applied_ ? Describe(*applied_) : std::string("its settings")));
    refused_ = line;
  }
}

void Bridge::OnHangUp() {
  if (!connected_.exchange(false)) return;
  Say("the terminal was hung up (its last program closed it)");
  std::lock_guard<std::mutex> lock(lineMutex_);
  SetDtr(false);
  applied_.reset();
  refused_.reset();
}

void Bridge::OnConnect() {
  if (connected_.exchange(true)) return;
  Say("a program opened the terminal");
}

bool Bridge::WriteToTerminal(const char* data, size_t n) {
  size_t done = 0;
  while (done < n && !gStop) {
    ssize_t w = write(master_, data + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      // The program is not reading: wait for room (bounded so a stop is seen).
      struct pollfd p = {master_, POLLOUT, 0};
      poll(&p, 1, 100);
      if (p.revents & POLLHUP) return false;
      continue;
    }
    return false;  // EIO: nobody has the terminal open
  }
  return done == n;
}

// Two reads alternate: while the bytes of one go to the terminal, the other is already in the
// driver, so the port is never left without a read while the terminal is being written.
void Bridge::Receiver() {
  struct Slot {
    std::vector<char> buffer = std::vector<char>(kPortChunk);
    comm::Overlapped overlapped;
    NTSTATUS status = STATUS_SUCCESS;
    comm::DWORD n = 0;
  } slots[2];
  auto start = [this](Slot& slot) {
    slot.n = 0;
    slot.status = comm::ReadFile(port_, slot.buffer.data(), static_cast<comm::DWORD>(slot.buffer.size()),
                                 &slot.n, &slot.overlapped);
  };
  start(slots[0]);
  for (unsigned current = 0; !gStop; current ^= 1) {
    Slot& slot = slots[current];
    if (slot.status == STATUS_PENDING) {
      slot.status = comm::GetOverlappedResult(port_, slot.overlapped, &slot.n, true);
    }
    if (gStop) break;
    if (!NT_SUCCESS(slot.status) && slot.status != STATUS_CANCELLED) {
      Error("ReadFile failed: " + StatusName(slot.status) + "; the receiver stops");
      break;
    }
    start(slots[current ^ 1]);
    if (slot.n == 0) continue;
    if (connected_ && WriteToTerminal(slot.buffer.data(), slot.n)) {
      toTerminal_ += slot.n;
    } else {
      dropped_ += slot.n;
    }
  }
  // The read still in the driver ends by its timeout (or the CancelIoEx of the shutdown).
  for (Slot& slot : slots) {
    if (slot.status == STATUS_PENDING) comm::GetOverlappedResult(port_, slot.overlapped, &slot.n, true);
  }
}

// What the program wrote is gathered, as long as the terminal has more at once, into one
// WriteFile of up to kPortChunk bytes; while it is in the driver the next one is gathered.
void Bridge::Sender() {
  std::vector<char> packet(kTerminalRead);
  struct Batch {
    std::vector<char> bytes;
    comm::Overlapped overlapped;
    bool inFlight = false;
  } batches[2];
  unsigned gathering = 0;
  // Waits for the batch in the driver, if any; false if it failed (the bytes are lost).
  auto finish = [this](Batch& batch) {
    if (!batch.inFlight) return true;
    batch.inFlight = false;
    comm::DWORD written = 0;
    NTSTATUS s = comm::GetOverlappedResult(port_, batch.overlapped, &written, true);
    fromTerminal_ += written;
    size_t done = written;
    // A write the driver ended early (a timeout) goes on with the rest, synchronously.
    while (NT_SUCCESS(s) && done < batch.bytes.size() && written != 0 && !gStop) {
      s = comm::WriteFile(port_, batch.bytes.data() + done, static_cast<comm::DWORD>(batch.bytes.size() - done),
                          &written, &batch.overlapped);
      if (s == STATUS_PENDING) s = comm::GetOverlappedResult(port_, batch.overlapped, &written, true);
      done += written;
      fromTerminal_ += written;
    }
    if (!NT_SUCCESS(s)) {
      if (!gStop) Error("WriteFile failed: " + StatusName(s) + "; " + std::to_string(batch.bytes.size() - done) + " bytes lost");
      return false;
    }
    return true;
  };
  // Sends the gathered batch once the previous one is done.
  auto send = [&] {
    Batch& batch = batches[gathering];
    Batch& previous = batches[gathering ^ 1];
    if (batch.bytes.empty()) return;
    finish(previous);
    previous.bytes.clear();
    // Stopping: the shutdown's cancel may have passed already; a new write on a slow line would
    // hold the sender (and the shutdown) for as long as the line takes to carry it.
    if (gStop) return;
    comm::DWORD written = 0;
    NTSTATUS s = comm::WriteFile(port_, batch.bytes.data(), static_cast<comm::DWORD>(batch.bytes.size()), &written,
                                 &batch.overlapped);
    // Pending or finished at once, finish() collects it; a refusal loses the batch.
    batch.inFlight = s == STATUS_PENDING || NT_SUCCESS(s);
    if (!batch.inFlight && !gStop) {
      Error("WriteFile failed: " + StatusName(s) + "; " + std::to_string(batch.bytes.size()) + " bytes lost");
    }
    gathering ^= 1;
  };
  while (!gStop) {
    Batch& batch = batches[gathering];
    // Nothing gathered: wait for the terminal (bounded, so that a stop is seen). Something
    // gathered: take only what the terminal has now, and send when it has no more.
    struct pollfd p = {master_, POLLIN, 0};
    if (poll(&p, 1, batch.bytes.empty() ? 100 : 0) <= 0) {
      send();
      continue;
    }
    // What the program wrote (or set) before it closed the terminal is read before its hang-up
    // is handled: a read in the hung-up state still returns them, then fails with EIO.
    ssize_t n = (p.revents & POLLIN) ? read(master_, packet.data(), packet.size()) : -1;
    if (n <= 0) {
      if (p.revents & POLLHUP) {
        send();
        finish(batches[gathering ^ 1]);
        // The sender sees the hang-up as it happens (the main thread's 50 ms check may miss a
        // close followed at once by the next program's open).
        OnHangUp();
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    OnConnect();
    // Packet mode: a leading 0 means data follows; anything else is a status byte alone. A new
    // line setting applies to the bytes written after it: what came before is sent first.
    if (packet[0] != TIOCPKT_DATA) {
      if (packet[0] & TIOCPKT_IOCTL) {
        send();
        finish(batches[gathering ^ 1]);
        ApplyTerminal();
      }
      continue;
    }
    batch.bytes.insert(batch.bytes.end(), packet.begin() + 1, packet.begin() + n);
    if (batch.bytes.size() + kTerminalRead > kPortChunk) send();
  }
  // A write sent after the shutdown's cancel is cancelled here: the sender sends nothing more.
  comm::CancelIoEx(port_, nullptr);
  finish(batches[0]);
  finish(batches[1]);
}

void Bridge::Watch() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  while (!gStop) {
    struct timespec tick = {0, 50 * 1000 * 1000};
    int sig = sigtimedwait(&signals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) {
      Say(std::string(sig == SIGINT ? "SIGINT" : "SIGTERM") + ": shutting down");
      gStop = true;
      break;
    }
    struct pollfd p = {master_, 0, 0};
    poll(&p, 1, 0);
    if (p.revents & POLLHUP) {
      OnHangUp();
    } else {
      OnConnect();
    }
    // A program that never sets the line still gets DTR raised and the terminal's settings (the
    // first Apply after a hang-up sends them); later changes normally come through the sender.
    if (connected_) ApplyTerminal();
  }
}

void Bridge::TakeDown() {
  if (linkMade_) {
    char target[256];
    ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0) {
      target[n] = 0;
      if (slave_ == target) unlink(link_.c_str());
    }
  }
  if (port_.IsOpen()) {
    NTSTATUS s = comm::CloseHandle(port_);
    Say("port closed (CloseHandle -> " + StatusName(s) + ")");
    if (stack_ && !stack_->WaitUntilClosed(device_, 5000)) Error("the port was still open 5 s after CloseHandle");
  }
  if (master_ >= 0) close(master_);
  if (!stack_) return;
  if (stack_->DeviceCount() > 0 && stack_->Fdo(device_) != nullptr) {
    NTSTATUS s = stack_->Pnp(device_, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(s)) stack_->Pnp(device_, IRP_MN_SURPRISE_REMOVAL);
    s = stack_->Pnp(device_, IRP_MN_REMOVE_DEVICE);
    Say("device removed (IRP_MN_REMOVE_DEVICE -> " + StatusName(s) + ")");
  }
  stack_->UnloadDriver();
  stack_->Teardown();
  Say("driver unloaded, host session ended");
}

int Bridge::Run() {
  bool ok = BringUp() && MakeTerminal();
  if (ok) {
    // The ready line: scripts wait for it (or for the link) before they start a program.
    std::fprintf(stdout, "bridge: %s is ready at %s (-> %s); SIGINT or SIGTERM ends the bridge\n",
                 portName_.c_str(), link_.c_str(), slave_.c_str());
    std::fflush(stdout);
    std::thread receiver([this] { Receiver(); });
    std::thread sender([this] { Sender(); });
    Watch();
    gStop = true;
    // Ends a write the modem may still hold; the receiver's read ends by its own timeout.
    comm::CancelIoEx(port_, nullptr);
    sender.join();
    receiver.join();
  }
  TakeDown();
  size_t violations = log_ ? log_->Count() : 0;
  std::fprintf(stdout, "bridge: %llu bytes to the terminal, %llu bytes from it, %llu dropped while it was closed\n",
               static_cast<unsigned long long>(toTerminal_.load()),
               static_cast<unsigned long long>(fromTerminal_.load()),
               static_cast<unsigned long long>(dropped_.load()));
  std::fprintf(stdout, "bridge: verifier %s\n",
               violations == 0 ? "clean" : (std::to_string(violations) + " violation(s)").c_str());
  std::fflush(stdout);
  const bool stackWithin = CheckImageStack(std::cout);
  log_.reset();
  return ok && violations == 0 && errors_ == 0 && stackWithin ? 0 : 1;
}

}  // namespace

// The link's place is checked before anything is started: a mistake there is one line.
static void CheckLinkPath(const std::string& link) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    throw RunError(link + " exists and is not a symbolic link; not replacing it");
  }
  std::string dir = link.find('/') == std::string::npos ? "." : link.substr(0, link.rfind('/'));
  if (dir.empty()) dir = "/";
  if (access(dir.c_str(), W_OK) != 0) {
    throw RunError("cannot create the link " + link + ": " + dir + ": " + std::strerror(errno));
  }
}

int BridgeCommand(const std::vector<std::string>& args) {
  Options options(args);
  auto link = options.Value("--link");
  std::string port = options.Value("--port").value_or("COM7");
  ModemModel model = ModemModel::At;
  if (auto m = options.Value("--modem")) {
    auto parsed = ParseModel(*m);
    if (!parsed || *parsed == ModemModel::Scripted) throw UsageError("--modem takes at or loopback, not '" + *m + "'");
    model = *parsed;
  }
  bool quiet = options.Flag("--quiet", "-q");
  SelectDriverFromOptions(options);
  SelectLineFromOptions(options);
  options.Rest(false);
  if (!link || link->empty()) throw UsageError("bridge needs --link PATH");
  if (port.empty() || port.size() > 60 || port.find('\\') != std::string::npos) {
    throw UsageError("--port takes a port name such as COM7");
  }
  CheckLinkPath(*link);
  // The signals are taken by the main thread only (sigtimedwait): block them before any thread
  // (the host kernel's included) exists, so every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Bridge bridge(*link, port, model, quiet);
  return bridge.Run();
}

}  // namespace mdmhost

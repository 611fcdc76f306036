// mdmhost demo: the driver's whole life with one modem, narrated. A threaded host session (DPC,
// timer and worker threads, the modem on its own device thread), the driver loaded, a modem
// plugged in with "PortName" COM7, the device added and started, COM7 opened through the serial
// API, the line set, the AT modem reset, asked who it is and dialled to the built-in echo peer,
// data sent and checked byte for byte as it comes back, modem status and statistics read, the
// call hung up ("+++", ATH) with the carrier drop seen through WaitCommEvent, and everything
// taken down again. Each step shows its requests with their statuses and a summary of the USB
// traffic it caused; the verifier watches throughout.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <thread>

#include <comm/comm.h>

#include "binding.h"
#include "line_options.h"
#include "cli.h"
#include "names.h"
#include "sim/at_modem.h"
#include "sim/loopback_modem.h"
#include "stack.h"
#include "transcript.h"

#ifndef MDMHOST_SOURCE_DIR
#define MDMHOST_SOURCE_DIR "."
#endif

namespace mdmhost {

const char* const kDemoHelp =
    "Usage: mdmhost demo [OPTIONS]\n"
    "\n"
    "Runs the driver's whole life with one modem and narrates it: a threaded host session, the\n"
    "driver loaded, a USB modem plugged in with \"PortName\" COM7, the device added and started,\n"
    "COM7 opened through the serial API, 115200 8N1 set, ATZ and ATI, the built-in echo peer\n"
    "dialled, data sent and checked byte for byte as it comes back, modem status and statistics,\n"
    "the call hung up (+++, ATH) with the carrier drop seen as an event, the port closed, the\n"
    "device removed and the driver unloaded. Each step shows its requests with their statuses\n"
    "and a summary of the USB traffic; the verifier checks every kernel call.\n"
    "\n"
    "Options:\n"
    "  --modem at|loopback   the modem model (default at; loopback sends every byte back, and\n"
    "                        its carrier follows DTR, so the hang-up is a DTR drop)\n"
    "  --port NAME           the port name written as \"PortName\" (default COM7)\n"
    "  --bytes N             how much data to exchange (default 64k; k and M suffixes)\n"
    "  --number DIGITS       the number to dial on the AT modem (default 5551234: the echo peer)\n"
    "  --bus full            print every bus-trace line instead of a summary per step\n"
    "  --image PATH          run the x86 image itself (build/x86/tavrinmdm.sys) instead of the\n"
    "                        host-compiled driver; needs the 32-bit host (build/host32)\n"
    "  --stack-report        with --image: print the kernel stack the image used, per routine\n"
    "  --max-stack BYTES     with --image: fail when the image used more kernel stack than this\n"
    "\n"
    "Exit status: 0 when every step worked, the verifier stayed clean and the image kept within\n"
    "its stack limit, 1 otherwise.\n";

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct DemoOptions {
  ModemModel model = ModemModel::At;
  std::string port = "COM7";
  uint64_t bytes = 64 * 1024;
  std::string number = "5551234";
  bool fullBus = false;
};

std::string ImagePath() {
  std::string path = std::string(MDMHOST_SOURCE_DIR) + "/build/x86/tavrinmdm.sys";
  return access(path.c_str(), R_OK) == 0 ? path : "";
}

class Demo {
 public:
  explicit Demo(const DemoOptions& options) : options_(options), t_(stdout) {}
  int Run();

 private:
  // One application call: its line in the transcript, counted, the step marked failed when the
  // status is a failure.
  NTSTATUS Call(const std::string& call, NTSTATUS status, int requests,
                const std::string& detail = "");
  void ShowBus(bool showArms = false);
  void Fail(const std::string& what);
  void Skip(const std::string& what) { t_.Line("skipped: " + what); }

  bool Bring_up();
  bool SetLine();
  bool Dialogue();
  bool Exchange();
  void Status();
  bool HangUp();
  void TakeDown();
  void Summary();

  // AT dialogue helpers.
  bool Command(const std::string& command, const std::vector<std::string>& finals,
               double seconds, std::string* response = nullptr);
  std::string ReadUntil(double seconds, const std::function<bool(const std::string&)>& done);
  bool WriteAll(const std::string& text);

  DemoOptions options_;
  Transcript t_;
  std::unique_ptr<ViolationLog> log_;
  std::unique_ptr<Stack> stack_;
  size_t device_ = 0;
  sim::TraceCursor cursor_;
  comm::Port port_;
  uint64_t requests_ = 0;
  uint64_t written_ = 0;
  uint64_t read_ = 0;
  uint64_t verified_ = 0;
  std::vector<std::string> problems_;
  Clock::time_point start_ = Clock::now();
  double exchangeSeconds_ = 0;
  SERIALPERF_STATS stats_{};
  bool haveStats_ = false;
};

NTSTATUS Demo::Call(const std::string& call, NTSTATUS status, int requests, const std::string& detail) {
  requests_ += static_cast<uint64_t>(requests);
  t_.Request(call, StatusName(status), detail);
  if (!NT_SUCCESS(status)) Fail(call + " failed with " + StatusName(status));
  return status;
}

void Demo::Fail(const std::string& what) {
  problems_.push_back(what);
  t_.Line("!! " + what);
}

void Demo::ShowBus(bool showArms) {
  if (stack_ && !stack_->TornDown()) stack_->Pump();
  t_.Bus(TakeEntries(cursor_), options_.fullBus, showArms);
}

bool Demo::Bring_up() {
  t_.Step("Start the host kernel (threaded: DPC, timer and worker threads; verifier on)");
  log_ = std::make_unique<ViolationLog>();
  log_->SetEcho([this](const host::verifier::Violation& v) {
    std::fprintf(stdout, "    !! verifier: %s\n", v.message.c_str());
    std::fflush(stdout);
  });
  host::SessionOptions session;
  session.mode = host::Mode::Threaded;
  stack_ = std::make_unique<Stack>(session);
  t_.Line("parent USB bus driver \\Driver\\usbsim loaded");

  t_.Step("Load the driver");
  NTSTATUS status = stack_->LoadDriver();
  t_.Line("driver: " + SelectedDriver().Describe());
  Call("DriverEntry(\\Driver\\tavrinmdm)", status, 0);
  for (const std::string& line : host::debug::DbgPrintCalls()) {
    std::string l = line;
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    if (!l.empty()) t_.Line("debugger: " + l);
  }
  host::debug::ClearDbgPrint();
  if (!NT_SUCCESS(status)) return false;

  t_.Step("Plug in a USB modem (" + std::string(ModelName(options_.model)) + " model), \"PortName\" = " +
          options_.port + " in its hardware key");
  device_ = stack_->Plug(options_.model, options_.port, options_.port);
  cursor_ = stack_->device(device_).bus->Trace().Cursor();
  cursor_.IgnoreBusDriver();
  t_.Line("physical device object " + host::objects::DeviceName(stack_->Pdo(device_)) + ", instance " +
          stack_->device(device_).bus->InstancePath());
  status = Call("AddDevice", stack_->AddDevice(device_), 0);
  if (!NT_SUCCESS(status)) return false;
  PDEVICE_EXTENSION ext = stack_->Extension(device_);
  t_.Line("created " + host::objects::ToUtf8(ext->DeviceName) + ", device interface " +
          host::objects::ToUtf8(ext->InterfaceName));
  ShowBus();

  t_.Step("Start the device (IRP_MN_START_DEVICE)");
  status = Call("IRP_MN_START_DEVICE", stack_->Pnp(device_, IRP_MN_START_DEVICE), 0);
  if (!NT_SUCCESS(status)) return false;
  auto link = host::objects::SymbolicLinkTarget("\\DosDevices\\" + options_.port);
  t_.Line("\\DosDevices\\" + options_.port + " -> " + (link ? *link : std::string("(no link)")));
  auto value = host::registry::GetValue(host::registry::kSerialComm, host::objects::ToUtf8(ext->DeviceName));
  t_.Line("SERIALCOMM " + host::objects::ToUtf8(ext->DeviceName) + " = " +
          (value ? value->AsString() : std::string("(no value)")));
  ShowBus();

  t_.Step("Open " + options_.port + " (CreateFile)");
  status = Call("CreateFile(\"" + options_.port + "\")", comm::CreateFile(options_.port, &port_), 1);
  ShowBus(true);
  return NT_SUCCESS(status);
}

bool Demo::SetLine() {
  t_.Step("Set the line: 115200 baud, 8 data bits, no parity, 1 stop bit, DTR and RTS on");
  comm::DCB dcb;
  NTSTATUS status = comm::GetCommState(port_, &dcb);
  Call("GetCommState", status, 4,
       NT_SUCCESS(status) ? std::to_string(dcb.BaudRate) + " baud, " + std::to_string(dcb.ByteSize) +
                                " data bits, stop-bits code " + std::to_string(dcb.StopBits) +
                                " (the defaults every open sets)"
                          : "");
  if (!NT_SUCCESS(status)) return false;
  dcb.BaudRate = comm::CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = comm::NOPARITY;
  dcb.StopBits = comm::ONESTOPBIT;
  dcb.fDtrControl = comm::DTR_CONTROL_ENABLE;
  dcb.fRtsControl = comm::RTS_CONTROL_ENABLE;
  status = Call("SetCommState(115200 8N1)", comm::SetCommState(port_, dcb), 6,
                "SET_BAUD_RATE SET_RTS SET_DTR SET_LINE_CONTROL SET_CHARS SET_HANDFLOW");
  if (!NT_SUCCESS(status)) return false;
  comm::DCB check;
  status = comm::GetCommState(port_, &check);
  Call("GetCommState", status, 4,
       NT_SUCCESS(status) ? std::to_string(check.BaudRate) + " baud, " + std::to_string(check.ByteSize) +
                                " data bits, stop-bits code " + std::to_string(check.StopBits)
                          : "");
  comm::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = comm::MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = comm::MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = 100;
  Call("SetCommTimeouts(reads: at most 100 ms)", comm::SetCommTimeouts(port_, timeouts), 1);
  ShowBus();
  return NT_SUCCESS(status);
}

std::string Demo::ReadUntil(double seconds, const std::function<bool(const std::string&)>& done) {
  std::string text;
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < deadline && !done(text)) {
    char buffer[512];
    comm::DWORD n = 0;
    NTSTATUS status = comm::ReadFile(port_, buffer, sizeof buffer, &n);
    ++requests_;
    if (!NT_SUCCESS(status)) {
      Fail("ReadFile failed with " + StatusName(status));
      break;
    }
    text.append(buffer, n);
    read_ += n;
  }
  return text;
}

bool Demo::WriteAll(const std::string& text) {
  // Overlapped, so that a write the driver never finishes is cancelled after 5 s instead of
  // holding the demo for ever.
  comm::DWORD n = 0;
  comm::Overlapped overlapped;
  NTSTATUS status =
      comm::WriteFile(port_, text.data(), static_cast<comm::DWORD>(text.size()), &n, &overlapped);
  ++requests_;
  if (status == STATUS_PENDING) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!comm::HasOverlappedIoCompleted(overlapped) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!comm::HasOverlappedIoCompleted(overlapped)) comm::CancelIoEx(port_, &overlapped);
    status = comm::GetOverlappedResult(port_, overlapped, &n, true);
  }
  if (!NT_SUCCESS(status) || n != text.size()) {
    Fail("WriteFile of " + std::to_string(text.size()) + " bytes: " + StatusName(status) + ", " +
         std::to_string(n) + " written");
    return false;
  }
  written_ += n;
  return true;
}

static std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!current.empty()) lines.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

bool Demo::Command(const std::string& command, const std::vector<std::string>& finals, double seconds,
                   std::string* response) {
  t_.Line("> " + command);
  if (!WriteAll(command + "\r")) return false;
  std::string got = ReadUntil(seconds, [&](const std::string& text) {
    for (const std::string& line : Lines(text)) {
      for (const std::string& f : finals) {
        if (line.rfind(f, 0) == 0 && text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") return true;
      }
    }
    return false;
  });
  bool ok = false;
  for (const std::string& line : Lines(got)) {
    if (line == command) continue;  // the modem's echo of the command
    t_.Line("< " + line);
    for (const std::string& f : finals) {
      if (line.rfind(f, 0) == 0) ok = true;
    }
  }
  if (response) *response = got;
  if (!ok) Fail("no answer to " + command + " (expected " + finals.front() + ")");
  return ok;
}

bool Demo::Dialogue() {
  if (options_.model != ModemModel::At) {
    t_.Step("The loopback modem: no AT dialogue, every byte comes straight back");
    return true;
  }
  t_.Step("Talk to the modem: ATZ (reset), ATI (identify)");
  bool ok = Command("ATZ", {"OK"}, 3.0) && Command("ATI", {"OK"}, 3.0) && Command("ATI1", {"OK"}, 3.0);
  ShowBus();
  if (!ok) return false;

  t_.Step("Dial the echo peer (ATDT" + options_.number + ")");
  std::string response;
  ok = Command("ATDT" + options_.number, {"CONNECT", "NO CARRIER", "BUSY", "NO DIALTONE", "ERROR"}, 5.0,
               &response);
  if (ok && response.find("CONNECT") == std::string::npos) {
    Fail("the call did not connect");
    ok = false;
  }
  comm::DWORD modem = 0;
  stack_->Pump();
  NTSTATUS s = comm::GetCommModemStatus(port_, &modem);
  Call("GetCommModemStatus", s, 1, ModemStatusText(modem));
  if (ok && NT_SUCCESS(s) && !(modem & comm::MS_RLSD_ON)) Fail("carrier (RLSD) is not reported after CONNECT");
  ShowBus();
  return ok;
}

bool Demo::Exchange() {
  const uint64_t total = options_.bytes;
  t_.Step("Exchange " + std::to_string(total) + " bytes with the peer and check every byte that comes back");
  std::vector<uint8_t> data(total);
  for (uint64_t i = 0; i < total; ++i) data[i] = sim::StreamPatternByte(i);

  std::atomic<uint64_t> sent{0};
  std::atomic<bool> writeFailed{false};
  std::atomic<bool> stopWriter{false};
  std::atomic<bool> writerDone{false};
  std::atomic<int> writes{0};
  NTSTATUS writeStatus = STATUS_SUCCESS;
  auto begin = Clock::now();
  std::thread writer([&] {
    const uint64_t chunk = 16 * 1024;
    for (uint64_t at = 0; at < total && !stopWriter;) {
      comm::DWORD n = 0;
      comm::DWORD length = static_cast<comm::DWORD>(std::min<uint64_t>(chunk, total - at));
      NTSTATUS s = comm::WriteFile(port_, data.data() + at, length, &n);
      writes.fetch_add(1);
      if (!NT_SUCCESS(s) || n == 0) {
        writeStatus = s;
        writeFailed = true;
        break;
      }
      at += n;
      sent = at;
    }
    writerDone = true;
  });

  const bool tty = isatty(STDOUT_FILENO);
  uint64_t received = 0;
  uint64_t mismatches = 0;
  uint64_t firstBad = 0;
  int reads = 0;
  auto lastProgress = Clock::now();
  int lastQuarter = 0;
  bool progressShown = false;
  auto idleSince = Clock::now();
  std::vector<uint8_t> buffer(64 * 1024);
  while (received < total) {
    comm::DWORD n = 0;
    NTSTATUS s = comm::ReadFile(port_, buffer.data(), static_cast<comm::DWORD>(buffer.size()), &n);
    ++reads;
    if (!NT_SUCCESS(s)) {
      Fail("ReadFile failed with " + StatusName(s));
      break;
    }
    for (comm::DWORD i = 0; i < n && received + i < total; ++i) {
      if (buffer[i] != data[received + i]) {
        if (mismatches++ == 0) firstBad = received + i;
      }
    }
    received += std::min<uint64_t>(n, total - received);
    auto now = Clock::now();
    if (n > 0) idleSince = now;
    if (Seconds(now - idleSince) > 5.0) {
      Fail("nothing came back for 5 s (" + std::to_string(received) + " of " + std::to_string(total) +
           " bytes received)");
      break;
    }
    if (writeFailed && received >= sent) break;
    if (tty && Seconds(now - lastProgress) > 0.2 && Seconds(now - begin) > 0.5) {
      std::fprintf(stdout, "\r    progress: sent %llu, received %llu of %llu bytes (%.0f%%)   ",
                   static_cast<unsigned long long>(sent.load()), static_cast<unsigned long long>(received),
                   static_cast<unsigned long long>(total), 100.0 * received / total);
      std::fflush(stdout);
      lastProgress = now;
      progressShown = true;
    } else if (!tty && total >= (1u << 20)) {
      int quarter = static_cast<int>(4 * received / total);
      if (quarter > lastQuarter && quarter < 4) {
        lastQuarter = quarter;
        t_.Line("progress: " + std::to_string(25 * quarter) + "% (" + std::to_string(received) + " bytes back)");
      }
    }
  }
  if (received < total) {
    // Given up: writes still in the driver's hands are cancelled until the writer has ended.
    stopWriter = true;
    while (!writerDone) {
      comm::CancelIoEx(port_, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (sent < total) writeFailed = true;
  }
  writer.join();
  if (progressShown) std::fprintf(stdout, "\r%78s\r", "");
  exchangeSeconds_ = Seconds(Clock::now() - begin);
  written_ += sent;
  read_ += received;
  verified_ = received - std::min(received, mismatches);
  requests_ += static_cast<uint64_t>(writes.load() + reads);
  if (writeFailed) Fail("WriteFile failed with " + StatusName(writeStatus));
  char line[160];
  std::snprintf(line, sizeof line, "WriteFile x%d: %llu bytes sent; ReadFile x%d: %llu bytes back in %.2f s",
                writes.load(), static_cast<unsigned long long>(sent.load()), reads,
                static_cast<unsigned long long>(received), exchangeSeconds_);
  t_.Line(line);
  if (mismatches != 0) {
    Fail(std::to_string(mismatches) + " bytes differ from what was sent, the first at offset " +
         std::to_string(firstBad));
  } else if (received == total) {
    t_.Line("every byte came back in order and unchanged");
  }
  ShowBus();
  return mismatches == 0 && received == total && !writeFailed;
}

void Demo::Status() {
  t_.Step("Modem status, port status and statistics");
  comm::DWORD modem = 0;
  NTSTATUS s = comm::GetCommModemStatus(port_, &modem);
  Call("GetCommModemStatus", s, 1, ModemStatusText(modem) + (modem & comm::MS_RLSD_ON ? " (carrier)" : ""));
  comm::DWORD errors = 0;
  comm::COMSTAT stat;
  s = comm::ClearCommError(port_, &errors, &stat);
  Call("ClearCommError", s, 1,
       "errors " + std::to_string(errors) + ", in queue " + std::to_string(stat.cbInQue) + ", out queue " +
           std::to_string(stat.cbOutQue));
  comm::COMMPROP prop;
  s = comm::GetCommProperties(port_, &prop);
  char caps[16];
  std::snprintf(caps, sizeof caps, "0x%X", prop.dwProvCapabilities);
  Call("GetCommProperties", s, 1,
       "receive queue " + std::to_string(prop.dwCurrentRxQueue) + " bytes, capabilities " + caps);
  s = comm::GetCommStatistics(port_, &stats_);
  Call("GetCommStatistics", s, 1,
       "received " + std::to_string(stats_.ReceivedCount) + ", transmitted " + std::to_string(stats_.TransmittedCount));
  haveStats_ = NT_SUCCESS(s);
  ShowBus();
}

bool Demo::HangUp() {
  comm::Overlapped overlapped;
  comm::DWORD events = 0;
  bool ok = true;
  if (options_.model == ModemModel::At) {
    t_.Step("Hang up: +++ (with a guard time of silence before and after), then ATH");
    Call("SetCommMask(EV_RLSD)", comm::SetCommMask(port_, comm::EV_RLSD), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    t_.Line("> +++");
    ok = WriteAll("+++");
    std::string got = ReadUntil(4.0, [](const std::string& text) { return text.find("OK\r\n") != std::string::npos; });
    for (const std::string& line : Lines(got)) {
      t_.Line("< " + line + (line == "+++" ? "   (the echo peer sends the escape characters back)" : ""));
    }
    if (got.find("OK") == std::string::npos) {
      Fail("the modem did not leave data mode");
      ok = false;
    }
    NTSTATUS s = comm::WaitCommEvent(port_, &events, &overlapped);
    ++requests_;
    t_.Request("WaitCommEvent (overlapped)", StatusName(s));
    if (ok) ok = Command("ATH", {"OK"}, 3.0);
  } else {
    t_.Step("Hang up: drop DTR (the loopback modem's carrier follows DTR)");
    Call("SetCommMask(EV_RLSD)", comm::SetCommMask(port_, comm::EV_RLSD), 1);
    NTSTATUS s = comm::WaitCommEvent(port_, &events, &overlapped);
    ++requests_;
    t_.Request("WaitCommEvent (overlapped)", StatusName(s));
    Call("EscapeCommFunction(CLRDTR)", comm::EscapeCommFunction(port_, comm::CLRDTR), 1);
  }
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!comm::HasOverlappedIoCompleted(overlapped) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!comm::HasOverlappedIoCompleted(overlapped)) {
    Fail("no carrier-drop event within 5 s");
    comm::CancelIoEx(port_, &overlapped);
    ok = false;
  }
  comm::DWORD bytes = 0;
  NTSTATUS s = comm::GetOverlappedResult(port_, overlapped, &bytes, true);
  t_.Request("GetOverlappedResult(WaitCommEvent)", StatusName(s), "events " + EventMaskText(events));
  if (NT_SUCCESS(s) && !(events & comm::EV_RLSD)) {
    Fail("the wait ended without EV_RLSD");
    ok = false;
  } else if (!NT_SUCCESS(s)) {
    ok = false;
  }
  comm::DWORD modem = 0;
  s = comm::GetCommModemStatus(port_, &modem);
  Call("GetCommModemStatus", s, 1,
       ModemStatusText(modem) + (modem & comm::MS_RLSD_ON ? " (carrier still on)" : " (carrier gone)"));
  if (NT_SUCCESS(s) && (modem & comm::MS_RLSD_ON)) {
    Fail("carrier (RLSD) still reported after the hang-up");
    ok = false;
  }
  ShowBus();
  return ok;
}

void Demo::TakeDown() {
  if (port_.IsOpen()) {
    t_.Step("Close " + options_.port + " (CloseHandle: cleanup, then close)");
    Call("CloseHandle", comm::CloseHandle(port_), 2);
    // The close goes down once the handle's last request has finished completing.
    if (!stack_->WaitUntilClosed(device_, 5000)) Fail("the port was still open 5 s after CloseHandle");
    ShowBus();
  }
  if (!stack_) return;
  if (stack_->Fdo(device_) != nullptr) {
    t_.Step("Remove the device (IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE)");
    NTSTATUS s = Call("IRP_MN_QUERY_REMOVE_DEVICE", stack_->Pnp(device_, IRP_MN_QUERY_REMOVE_DEVICE), 0);
    if (!NT_SUCCESS(s)) Call("IRP_MN_SURPRISE_REMOVAL", stack_->Pnp(device_, IRP_MN_SURPRISE_REMOVAL), 0);
    Call("IRP_MN_REMOVE_DEVICE", stack_->Pnp(device_, IRP_MN_REMOVE_DEVICE), 0);
    auto link = host::objects::SymbolicLinkTarget("\\DosDevices\\" + options_.port);
    t_.Line(link ? "!! \\DosDevices\\" + options_.port + " is still there" : "\\DosDevices\\" + options_.port + " is gone");
    if (link) problems_.push_back("the DOS name outlived the device");
    ShowBus();
  }
  if (stack_->Loaded()) {
    t_.Step("Unload the driver");
    host::debug::ClearDbgPrint();
    stack_->UnloadDriver();
    t_.Request("DriverUnload", "done");
    for (const std::string& line : host::debug::DbgPrintCalls()) {
      std::string l = line;
      while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
      if (!l.empty()) t_.Line("debugger: " + l);
    }
  }
  t_.Step("End the host kernel session (its checks: pool, requests, timers, threads)");
  stack_->Teardown();
  t_.Line("session ended");
}

void Demo::Summary() {
  std::printf("\n== Summary\n");
  std::printf("  modem model:        %s, port %s\n", ModelName(options_.model), options_.port.c_str());
  std::printf("  bytes written:      %llu (of which %llu data to the peer)\n",
              static_cast<unsigned long long>(written_), static_cast<unsigned long long>(options_.bytes));
  std::printf("  bytes read:         %llu (data checked: %llu bytes)\n", static_cast<unsigned long long>(read_),
              static_cast<unsigned long long>(verified_));
  if (haveStats_) {
    std::printf("  driver statistics:  ReceivedCount %u, TransmittedCount %u\n", stats_.ReceivedCount,
                stats_.TransmittedCount);
  }
  if (exchangeSeconds_ > 0) {
    std::printf("  data exchange:      %.2f s, %.1f KiB/s each way\n", exchangeSeconds_,
                options_.bytes / 1024.0 / exchangeSeconds_);
  }
  std::printf("  requests sent:      %llu application requests through the serial API\n",
              static_cast<unsigned long long>(requests_));
  size_t violations = log_ ? log_->Count() : 0;
  std::printf("  verifier:           %s\n",
              violations == 0 ? "clean (no violation in the whole session)"
                              : (std::to_string(violations) + " violation(s), listed above").c_str());
  std::string image = ImagePath();
  std::printf("  x86 driver image:   %s\n",
              image.empty() ? "not built yet (./run x86 builds build/x86/tavrinmdm.sys)" : image.c_str());
  std::printf("  time:               %.1f s\n", Seconds(Clock::now() - start_));
  if (problems_.empty() && violations == 0) {
    std::printf("  result:             every step worked\n");
  } else {
    std::printf("  result:             %zu problem(s):\n", problems_.size() + (violations ? 1 : 0));
    for (const std::string& p : problems_) std::printf("    - %s\n", p.c_str());
    if (violations) std::printf("    - the verifier reported %zu violation(s)\n", violations);
  }
}

int Demo::Run() {
  std::printf("== mdmhost demo: the tavrinmdm modem port driver on the host kernel\n");
  std::printf("   (the same driver sources as the x86 image, over a simulated USB %s modem)\n",
              options_.model == ModemModel::At ? "AT" : "loopback");
  if (Bring_up()) {
    bool lineSet = SetLine();
    bool connected = lineSet && Dialogue();
    if (!lineSet) {
      Skip("the modem dialogue, the data exchange and the hang-up: the line could not be set");
    } else if (!connected) {
      Skip("the data exchange and the hang-up: no call");
    }
    bool exchanged = connected && Exchange();
    Status();
    if (connected) {
      if (!exchanged) t_.Line("(hanging up although the exchange failed)");
      HangUp();
    }
  } else {
    Skip("everything that needs an open port");
  }
  TakeDown();
  Summary();
  std::fflush(stdout);
  const bool stackWithin = CheckImageStack(std::cout);
  size_t violations = log_ ? log_->Count() : 0;
  log_.reset();
  return problems_.empty() && violations == 0 && stackWithin ? 0 : 1;
}

}  // namespace

int DemoCommand(const std::vector<std::string>& args) {
  Options options(args);
  DemoOptions demo;
  if (auto m = options.Value("--modem")) {
    auto model = ParseModel(*m);
    if (!model || *model == ModemModel::Scripted) throw UsageError("--modem takes at or loopback, not '" + *m + "'");
    demo.model = *model;
  }
  if (auto p = options.Value("--port")) {
    if (p->empty() || p->size() > 60 || p->find('\\') != std::string::npos) {
      throw UsageError("--port takes a port name such as COM7");
    }
    demo.port = *p;
  }
  if (auto n = options.Number("--bytes", 1, 256ull << 20)) demo.bytes = *n;
  if (auto n = options.Value("--number")) {
    if (n->empty() || n->find_first_not_of("0123456789*#-") != std::string::npos) {
      throw UsageError("--number takes the digits to dial");
    }
    demo.number = *n;
  }
  if (auto b = options.Value("--bus")) {
    if (*b != "full" && *b != "summary") throw UsageError("--bus takes full or summary");
    demo.fullBus = *b == "full";
  }
  SelectDriverFromOptions(options);
  SelectLineFromOptions(options);
  options.Rest(false);
  Demo d(demo);
  return d.Run();
}

}  // namespace mdmhost

#include "fleet.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <comm/comm.h>

#include "driver_locks.h"
#include "host/host.h"
#include "sim/loopback_modem.h"
#include "sim/testbed.h"
#include "tavrinmdm/entry.h"
#include "tavrinmdm/extension.h"

namespace fleet {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Every port has its own pattern, so that bytes crossing from one port to another are caught.
uint8_t PatternByte(unsigned port, size_t i) {
  return static_cast<uint8_t>(i * 131 + i / 4099 + port * 17);
}

std::string PortName(unsigned i) { return "COM" + std::to_string(10 + i); }

// The first failure wins; later ones add nothing.
class FirstError {
 public:
  void Set(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text_.empty()) text_ = text;
    failed_ = true;
  }
  bool Failed() const { return failed_; }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  std::mutex mutex_;
  std::string text_;
  std::atomic<bool> failed_{false};
};

void Writer(comm::Port& port, unsigned index, const Options& o, FirstError& error) {
  host::SetThreadName(PortName(index) + " writer");
  std::vector<uint8_t> chunk(o.writeSize);
  for (size_t done = 0; done < o.bytesPerPort && !error.Failed();) {
    const size_t n = std::min(o.writeSize, o.bytesPerPort - done);
    for (size_t k = 0; k < n; ++k) chunk[k] = PatternByte(index, done + k);
    comm::DWORD written = 0;
    NTSTATUS s = comm::WriteFile(port, chunk.data(), static_cast<comm::DWORD>(n), &written);
    if (!NT_SUCCESS(s) || written == 0) {
      error.Set(PortName(index) + ": WriteFile returned 0x" + std::to_string(s) + " after " +
                std::to_string(done) + " bytes");
      return;
    }
    done += written;
  }
}

void Reader(comm::Port& port, unsigned index, const Options& o, FirstError& error) {
  host::SetThreadName(PortName(index) + " reader");
  std::vector<uint8_t> buffer(o.readSize);
  constexpr int kStallReads = 20;  // reads of one second each with nothing back
  int idle = 0;
  for (size_t got = 0; got < o.bytesPerPort && !error.Failed();) {
    comm::DWORD n = 0;
    const size_t want = std::min(o.readSize, o.bytesPerPort - got);
    NTSTATUS s = comm::ReadFile(port, buffer.data(), static_cast<comm::DWORD>(want), &n);
    if (!NT_SUCCESS(s)) {
      error.Set(PortName(index) + ": ReadFile failed after " + std::to_string(got) + " bytes");
      return;
    }
    if (n == 0) {
      if (++idle == kStallReads) {
        error.Set(PortName(index) + ": nothing came back for 20 s after " + std::to_string(got) +
                  " of " + std::to_string(o.bytesPerPort) + " bytes");
        return;
      }
      continue;
    }
    idle = 0;
    for (comm::DWORD k = 0; k < n; ++k) {
      if (buffer[k] != PatternByte(index, got + k)) {
        char text[160];
        std::snprintf(text, sizeof text, "%s: byte %zu came back as 0x%02X, sent as 0x%02X",
                      PortName(index).c_str(), got + k, buffer[k], PatternByte(index, got + k));
        error.Set(text);
        return;
      }
    }
    got += n;
  }
}

// Bounded: a CloseHandle sends IRP_MJ_CLOSE once the handle's last request has finished.
bool WaitUntilClosed(PDEVICE_OBJECT fdo) {
  for (int waited = 0; waited < 5000; ++waited) {
    auto* ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    if (!ext->DeviceOpen && ext->OpenCount == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace

Result Run(const Options& o) {
  Result r;
  FirstError error;
  host::verifier::ExpectViolations capture;
  const size_t residentBefore = ResidentBytes();
  {
    sim::TestbedOptions t;
    t.mode = host::Mode::Threaded;
    t.driverEntry = DriverEntry;
    t.onDeviceAdded = porttest::DeclareDriverLocks;
    t.usb.traceKeep = 1024;  // a stream of every byte twice over, per device, otherwise
    sim::Testbed tb(t);
    std::vector<comm::Port> ports(o.modems);
    if (tb.LoadDriver() != STATUS_SUCCESS) error.Set("DriverEntry failed");

    Clock::time_point start = Clock::now();
    for (unsigned i = 0; i < o.modems && !error.Failed(); ++i) {
      tb.Plug(std::make_unique<sim::LoopbackModem>(), PortName(i));
      if (tb.AddDevice(i) != STATUS_SUCCESS || tb.Start(i) != STATUS_SUCCESS) {
        error.Set(PortName(i) + ": AddDevice or start failed");
      }
    }
    r.addSeconds = Since(start);

    start = Clock::now();
    // Reads return as soon as bytes are there, or after a second with none.
    comm::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = comm::MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = comm::MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 1000;
    for (unsigned i = 0; i < o.modems && !error.Failed(); ++i) {
      if (comm::CreateFile(PortName(i), &ports[i]) != STATUS_SUCCESS ||
          comm::SetCommTimeouts(ports[i], timeouts) != STATUS_SUCCESS) {
        error.Set(PortName(i) + ": CreateFile or SetCommTimeouts failed");
      }
    }
    r.openSeconds = Since(start);

    if (!error.Failed()) {
      start = Clock::now();
      std::vector<std::thread> threads;
      for (unsigned i = 0; i < o.modems; ++i) {
        threads.emplace_back([&, i] { Reader(ports[i], i, o, error); });
        threads.emplace_back([&, i] { Writer(ports[i], i, o, error); });
      }
      for (std::thread& thread : threads) thread.join();
      r.streamSeconds = Since(start);
      if (!error.Failed()) r.bytes = uint64_t(o.bytesPerPort) * o.modems;
    }
    if (o.modems != 0) {
      const size_t resident = ResidentBytes();
      r.memoryPerDevice = resident > residentBefore ? (resident - residentBefore) / o.modems : 0;
      r.driverPoolPerDevice = host::verifier::CurrentPoolUsage().bytes / o.modems;
    }
    r.extensionBytes = sizeof(DEVICE_EXTENSION);

    start = Clock::now();
    for (unsigned i = 0; i < o.modems && i < tb.DeviceCount(); ++i) {
      if (ports[i].IsOpen()) comm::CloseHandle(ports[i]);
      if (tb.fdo(i) != nullptr && !WaitUntilClosed(tb.fdo(i))) {
        error.Set(PortName(i) + ": still open 5 s after CloseHandle");
      }
      if (tb.fdo(i) != nullptr && (tb.QueryRemove(i) != STATUS_SUCCESS || tb.Remove(i) != STATUS_SUCCESS)) {
        error.Set(PortName(i) + ": query-remove or remove failed");
      }
    }
    r.removeSeconds = Since(start);
    tb.Teardown();
  }
  r.error = error.Text();
  for (const host::verifier::Violation& v : capture.seen()) r.violations.push_back(v.message);
  return r;
}

}  // namespace fleet

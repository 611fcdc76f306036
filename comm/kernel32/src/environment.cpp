// The shared library's own machine: on the first CreateFile of a program that loaded the library,
// a host kernel session in threaded mode is started with the driver loaded, a simulated modem
// plugged in and its device started, so that the port is there as on a machine with the modem
// attached. The process's end closes what the program left open and takes everything down in
// the PnP manager's order; a verifier report ends the process with the report (the host's
// default), so a driver fault is never hidden from the program's test.
//
// Chosen by environment:
//   TAVRIN_K32_MODEM  at (default: the AT modem, with its echo peer) or loopback
//   TAVRIN_K32_PORT   the port's name, default COM7
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "driver_locks.h"
#include "host/host.h"
#include "kernel32_internal.h"
#include "sim/at_modem.h"
#include "sim/loopback_modem.h"
#include "sim/testbed.h"
#include "tavrinmdm/entry.h"

namespace kernel32 {
namespace {

sim::Testbed* gTestbed = nullptr;

// The machine is built and taken down on a thread of its own: the process's end runs the exit
// handlers after the main thread's thread-local state (the kernel's record of that thread) is
// gone, so the kernel must not be entered from there.
std::thread gOwner;
std::mutex gMu;
std::condition_variable gCv;
enum class Phase { Starting, Running, Stopping, Stopped } gPhase = Phase::Starting;

const char* Env(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

void Fatal(const std::string& what) {
  std::fprintf(stderr, "tavrin kernel32: %s\n", what.c_str());
  std::abort();
}

void Stop() {
  {
    std::lock_guard<std::mutex> lock(gMu);
    gPhase = Phase::Stopping;
  }
  gCv.notify_all();
  gOwner.join();
}

void Build() {
  std::string model = Env("TAVRIN_K32_MODEM", "at");
  std::string port = Env("TAVRIN_K32_PORT", "COM7");
  std::unique_ptr<sim::Modem> modem;
  if (model == "at") {
    modem = std::make_unique<sim::AtModem>();
  } else if (model == "loopback") {
    modem = std::make_unique<sim::LoopbackModem>();
  } else {
    Fatal("TAVRIN_K32_MODEM takes at or loopback, not '" + model + "'");
  }
  sim::TestbedOptions options;
  options.mode = host::Mode::Threaded;
  options.driverEntry = DriverEntry;
  options.portName = port;
  options.onDeviceAdded = porttest::DeclareDriverLocks;
  gTestbed = new sim::Testbed(options);
  NTSTATUS status = gTestbed->LoadDriver();
  if (!NT_SUCCESS(status)) Fatal("DriverEntry failed");
  gTestbed->Plug(std::move(modem));
  if (!NT_SUCCESS(status = gTestbed->AddDevice())) Fatal("AddDevice failed");
  if (!NT_SUCCESS(status = gTestbed->Start())) Fatal("the device did not start");
}

void Owner() {
  Build();
  std::unique_lock<std::mutex> lock(gMu);
  gPhase = Phase::Running;
  gCv.notify_all();
  gCv.wait(lock, [] { return gPhase == Phase::Stopping; });
  lock.unlock();
  CloseEverything();
  gTestbed->Teardown();
  delete gTestbed;
  gTestbed = nullptr;
}

void Start() {
  gOwner = std::thread(Owner);
  std::unique_lock<std::mutex> lock(gMu);
  gCv.wait(lock, [] { return gPhase == Phase::Running; });
  std::atexit(Stop);
}

struct Register {
  Register() { SetStarter(Start); }
} gRegister;

}  // namespace
}  // namespace kernel32

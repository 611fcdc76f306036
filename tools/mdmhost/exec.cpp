// mdmhost exec: a Windows program (tavrincheck.exe) run against the driver. A threaded host
// session runs the driver (the x86 image itself with --image) over a simulated modem; the
// host's loader maps the program, binds its kernel32.dll and advapi32.dll imports to the C ABI
// of comm/kernel32 (the serial functions over comm/, the registry functions over the host
// registry), and calls its entry point on this thread. The program's exit status is mdmhost's,
// unless the verifier reported something or the image went over its stack limit (then 1).
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "binding.h"
#include "cli.h"
#include "host/image.h"
#include "kernel32_internal.h"
#include "stack.h"

namespace mdmhost {

const char* const kExecHelp =
    "Usage: mdmhost exec [--port COM7] [--modem at|loopback] [--image DRIVER.sys]\n"
    "                    PROGRAM.exe [PROGRAM ARGUMENTS...]\n"
    "\n"
    "Loads the driver in a threaded host session above a simulated modem (its port as --port\n"
    "names it, default COM7), maps the Windows program PROGRAM.exe with the host's loader, binds\n"
    "its imports of kernel32.dll and advapi32.dll to the host's C ABI of them (the serial\n"
    "functions over the serial API, the registry functions over the host registry) and runs it\n"
    "with the arguments after its name:\n"
    "\n"
    "  mdmhost exec --image build/x86/tavrinmdm.sys build/x86/tavrincheck.exe --echo 5551234\n"
    "\n"
    "A program that imports anything else is refused, naming the import. Needs the 32-bit host\n"
    "(build/host32): the program's code runs natively.\n"
    "\n"
    "Options (before the program's name):\n"
    "  --port NAME           the port name (\"PortName\"), default COM7\n"
    "  --modem at|loopback   the modem model, default at (dial any number for the echo peer)\n"
    "  --image PATH          run the x86 driver image itself instead of the host-compiled driver\n"
    "  --stack-report        with --image: print the kernel stack the image used, per routine\n"
    "  --max-stack BYTES     with --image: fail when the image used more kernel stack than this\n"
    "  --unplug-after SECONDS  pull the modem out (surprise removal) SECONDS after the program\n"
    "                        starts, while it runs (tavrincheck --hold waits for that)\n"
    "\n"
    "Exit status: the program's (its ExitProcess code), or 1 when the verifier reported a\n"
    "violation, the image went over its stack limit or the program could not be loaded.\n";

namespace {

// mdmhost's options come first; the first word that is none of them is the program.
void SplitArguments(const std::vector<std::string>& args, std::vector<std::string>* own,
                    std::vector<std::string>* program) {
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--stack-report") {
      own->push_back(a);
    } else if (a == "--port" || a == "--modem" || a == "--image" || a == "--max-stack" ||
               a == "--unplug-after") {
      own->push_back(a);
      if (i + 1 < args.size()) own->push_back(args[++i]);
    } else if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
      own->push_back(a);
    } else if (a.rfind("-", 0) == 0) {
      own->push_back(a);  // an unknown option: Options::Rest names it
    } else {
      break;
    }
  }
  program->assign(args.begin() + static_cast<long>(i), args.end());
}

std::string Quote(const std::string& word) {
  return word.find_first_of(" \t") == std::string::npos ? word : "\"" + word + "\"";
}

}  // namespace

int ExecCommand(const std::vector<std::string>& args) {
  std::vector<std::string> own, program;
  SplitArguments(args, &own, &program);
  Options options(own);
  std::string port = options.Value("--port").value_or("COM7");
  ModemModel model = ModemModel::At;
  if (auto m = options.Value("--modem")) {
    auto parsed = ParseModel(*m);
    if (!parsed || *parsed == ModemModel::Scripted) {
      throw UsageError("--modem takes at or loopback, not '" + *m + "'");
    }
    model = *parsed;
  }
  long unplugAfter = -1;
  if (auto u = options.Value("--unplug-after")) {
    unplugAfter = std::atol(u->c_str());
    if (unplugAfter <= 0 || unplugAfter > 3600) {
      throw UsageError("--unplug-after takes a number of seconds from 1 to 3600");
    }
  }
  SelectDriverFromOptions(options);
  options.Rest(false);
  if (program.empty()) throw UsageError("exec needs a program (PROGRAM.exe)");
  if (!host::image::Supported()) {
    throw UsageError("exec runs a Windows program natively: it needs the 32-bit host (build/host32)");
  }

  ViolationLog log;
  log.SetEcho([](const host::verifier::Violation& v) {
    std::fprintf(stderr, "mdmhost: verifier: %s\n", v.message.c_str());
  });
  host::SessionOptions session;
  session.mode = host::Mode::Threaded;
  Stack stack(session);
  NTSTATUS s = stack.LoadDriver();
  if (!NT_SUCCESS(s)) throw RunError("DriverEntry failed");
  size_t device = stack.Plug(model, port, port);
  if (!NT_SUCCESS(s = stack.AddDevice(device)) ||
      !NT_SUCCESS(s = stack.Pnp(device, IRP_MN_START_DEVICE))) {
    throw RunError("the device did not start");
  }

  std::string error;
  std::unique_ptr<host::image::Image> image =
      host::image::LoadProgram(program[0], kernel32::FindExport, &error);
  int status = 1;
  bool unplugged = false;
  if (!image) {
    std::fprintf(stderr, "mdmhost: %s\n", error.c_str());
  } else {
    std::string commandLine;
    for (const std::string& word : program) {
      commandLine += (commandLine.empty() ? "" : " ") + Quote(word);
    }
    kernel32::SetCommandLine(commandLine);
    // The unplug happens on its own thread, as a surprise removal does, while the program runs;
    // a program that ends first calls it off.
    std::mutex mutex;
    std::condition_variable ended;
    bool programEnded = false;
    std::thread unplugger;
    if (unplugAfter > 0) {
      unplugger = std::thread([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (ended.wait_for(lock, std::chrono::seconds(unplugAfter), [&] { return programEnded; })) {
          return;
        }
        lock.unlock();
        std::fprintf(stderr, "mdmhost: unplugging the modem (surprise removal)\n");
        stack.Unplug(device);
        stack.Pnp(device, IRP_MN_SURPRISE_REMOVAL);
        unplugged = true;
      });
    }
    std::fflush(stdout);
    status = static_cast<int>(kernel32::RunProgram(reinterpret_cast<const void*>(image->entry())));
    std::fflush(stdout);
    if (unplugger.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        programEnded = true;
      }
      ended.notify_all();
      unplugger.join();
    }
  }
  // What the program left open is closed (cleanup cancels its requests), then the stack goes.
  kernel32::CloseEverything();
  stack.WaitUntilClosed(device, 5000);
  if (stack.Fdo(device) != nullptr) {
    if (!unplugged && !NT_SUCCESS(stack.Pnp(device, IRP_MN_QUERY_REMOVE_DEVICE))) {
      stack.Pnp(device, IRP_MN_SURPRISE_REMOVAL);
    }
    stack.Pnp(device, IRP_MN_REMOVE_DEVICE);
  }
  stack.UnloadDriver();
  stack.Teardown();
  image.reset();
  size_t violations = log.Count();
  std::fprintf(stderr, "mdmhost: %s exited with %d; verifier %s\n", program[0].c_str(), status,
               violations == 0 ? "clean" : (std::to_string(violations) + " violation(s)").c_str());
  const bool stackWithin = CheckImageStack(std::cout);
  if (violations != 0 || !stackWithin) return 1;
  return status;
}

}  // namespace mdmhost

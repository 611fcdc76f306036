// mdmhost: the modem port driver at work on the host kernel — a narrated demo, the scenario
// runner, and a bridge that exposes a driven COM port as a Linux pseudo-terminal.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "cli.h"
#include "line_options.h"
#include "names.h"

namespace mdmhost {

namespace {

const char* const kHelp =
    "mdmhost - the tavrinmdm modem port driver, running on the host kernel\n"
    "\n"
    "The driver (the same sources as build/x86/tavrinmdm.sys) is loaded into a user-space\n"
    "kernel with a built-in verifier, above a simulated USB modem, and driven through a\n"
    "Windows-like serial API.\n"
    "\n"
    "Usage: mdmhost COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  demo              load the driver, open COM7 over the AT modem, dial the echo peer,\n"
    "                    exchange data, hang up, tear down; a narrated transcript\n"
    "  run FILE...       run scenario files (docs/scenarios.md); exit 0 when all hold\n"
    "  bridge            expose an opened port as a pseudo-terminal for serial programs\n"
    "                    (picocom, minicom, pyserial, chat) until interrupted\n"
    "  exec PROGRAM.exe  run a Windows program (tavrincheck.exe) against the driver (32-bit host)\n"
#ifdef MDMHOST_USBREDIR
    "  usbredir          serve the simulated modem as a USB device over the network (usbredir)\n"
    "                    for a virtual machine to plug in\n"
#endif
    "  help [COMMAND]    this text, or a command's own help\n"
    "\n"
    "mdmhost COMMAND --help explains each command. Documentation: docs/mdmhost.md.\n";

int Help(const std::string& command) {
  if (command.empty()) {
    std::fputs(kHelp, stdout);
  } else if (command == "demo") {
    std::fputs(kDemoHelp, stdout);
  } else if (command == "run") {
    std::fputs(kRunHelp, stdout);
  } else if (command == "bridge") {
    std::fputs(kBridgeHelp, stdout);
  } else if (command == "exec") {
    std::fputs(kExecHelp, stdout);
#ifdef MDMHOST_USBREDIR
  } else if (command == "usbredir") {
    std::fputs(kUsbredirHelp, stdout);
    return 0;
#endif
  } else {
    throw UsageError("no command '" + command + "' (demo, run, bridge, exec)");
  }
  if (!command.empty()) std::printf("\nA modem that keeps time (demo, run, bridge):\n%s", kLineOptionsHelp);
  return 0;
}

}  // namespace

std::optional<std::string> Options::Value(const std::string& name, const std::string& alias) {
  for (size_t i = 0; i < args_.size(); ++i) {
    const std::string& a = args_[i];
    if (a == "--") break;
    if (a == name || (!alias.empty() && a == alias)) {
      if (i + 1 >= args_.size()) throw UsageError(a + " needs a value");
      std::string value = args_[i + 1];
      args_.erase(args_.begin() + static_cast<long>(i), args_.begin() + static_cast<long>(i) + 2);
      return value;
    }
    if (a.rfind(name + "=", 0) == 0) {
      std::string value = a.substr(name.size() + 1);
      args_.erase(args_.begin() + static_cast<long>(i));
      return value;
    }
  }
  return std::nullopt;
}

bool Options::Flag(const std::string& name, const std::string& alias) {
  for (size_t i = 0; i < args_.size(); ++i) {
    if (args_[i] == "--") break;
    if (args_[i] == name || (!alias.empty() && args_[i] == alias)) {
      args_.erase(args_.begin() + static_cast<long>(i));
      return true;
    }
  }
  return false;
}

std::optional<unsigned long long> Options::Number(const std::string& name, unsigned long long min,
                                                  unsigned long long max,
                                                  const std::string& alias) {
  auto text = Value(name, alias);
  if (!text) return std::nullopt;
  auto n = ParseSize(*text);
  if (!n || *n < min || *n > max) {
    throw UsageError(name + " takes a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not '" + *text + "'");
  }
  return n;
}

std::vector<std::string> Options::Rest(bool allowPositional) const {
  std::vector<std::string> rest;
  bool literal = false;
  for (const std::string& a : args_) {
    if (!literal && a == "--") {
      literal = true;
      continue;
    }
    if (!literal && a.size() > 1 && a[0] == '-') throw UsageError("unknown option " + a);
    if (!allowPositional) throw UsageError("unexpected argument '" + a + "'");
    rest.push_back(a);
  }
  return rest;
}

std::optional<unsigned long long> ParseSize(const std::string& text) {
  if (text.empty()) return std::nullopt;
  unsigned long long scale = 1;
  std::string digits = text;
  char last = text.back();
  if (last == 'k' || last == 'K') {
    scale = 1024;
    digits.pop_back();
  } else if (last == 'm' || last == 'M') {
    scale = 1024 * 1024;
    digits.pop_back();
  }
  auto n = ParseNumber(digits);
  if (!n || *n > (1ull << 40)) return std::nullopt;
  return *n * scale;
}

}  // namespace mdmhost

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.empty()) {
      std::fputs(mdmhost::kHelp, stderr);
      return 2;
    }
    std::string command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
      return mdmhost::Help(rest.empty() ? "" : rest[0]);
    }
    for (const std::string& a : rest) {
      if (a == "--" || (command == "exec" && a.rfind("-", 0) != 0)) break;  // the program's own
      if (a == "--help" || a == "-h") return mdmhost::Help(command);
    }
    if (command == "demo") return mdmhost::DemoCommand(rest);
    if (command == "run") return mdmhost::RunCommand(rest);
    if (command == "bridge") return mdmhost::BridgeCommand(rest);
    if (command == "exec") return mdmhost::ExecCommand(rest);
#ifdef MDMHOST_USBREDIR
    if (command == "usbredir") return mdmhost::UsbredirCommand(rest);
#endif
    throw mdmhost::UsageError("unknown command '" + command + "'");
  } catch (const mdmhost::UsageError& e) {
    std::fprintf(stderr, "mdmhost: %s (mdmhost --help)\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mdmhost: %s\n", e.what());
    return 1;
  } catch (...) {
    // A bug check that unwound past everything: the driver stopped the system.
    std::fprintf(stderr, "mdmhost: stopped by a bug check or an unexpected error\n");
    return 1;
  }
}

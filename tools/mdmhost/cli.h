// What the subcommands share: their entry points, option reading, and the one-line errors.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mdmhost {

// A mistake in the command line: printed as "mdmhost: <message>" with a hint, exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Something that could not be done: "mdmhost: <message>", exit status 1.
struct RunError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads "--name value", "--name=value" and flags from the arguments of one subcommand.
class Options {
 public:
  explicit Options(std::vector<std::string> args) : args_(std::move(args)) {}
  // "--name VALUE" or "--name=VALUE" (also a short alias "-x VALUE"); removed when found.
  std::optional<std::string> Value(const std::string& name, const std::string& alias = "");
  // A flag: true when present (removed).
  bool Flag(const std::string& name, const std::string& alias = "");
  // A number option with bounds; UsageError when it is not a number in range.
  std::optional<unsigned long long> Number(const std::string& name, unsigned long long min,
                                           unsigned long long max, const std::string& alias = "");
  // What is left; an unknown option left over is a UsageError.
  std::vector<std::string> Rest(bool allowPositional) const;

 private:
  std::vector<std::string> args_;
};

// "64k" "1M" "1000" -> bytes.
std::optional<unsigned long long> ParseSize(const std::string& text);

int DemoCommand(const std::vector<std::string>& args);
int RunCommand(const std::vector<std::string>& args);
int BridgeCommand(const std::vector<std::string>& args);
int ExecCommand(const std::vector<std::string>& args);
int UsbredirCommand(const std::vector<std::string>& args);  // where built (MDMHOST_USBREDIR)

extern const char* const kDemoHelp;
extern const char* const kRunHelp;
extern const char* const kBridgeHelp;
extern const char* const kExecHelp;
extern const char* const kUsbredirHelp;

}  // namespace mdmhost

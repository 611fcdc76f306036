// The scenario language: a plain-text script of driver and device steps, application requests,
// device events, virtual time and expectations, run in a deterministic host session.
// docs/scenarios.md is the reference; this header is what the parser and the runner share.
//
// Every line is parsed before anything runs (a parse error stops the file before its first
// step). Each line becomes a Statement whose action runs against the Runner's context; an action
// that finds something other than what the line expects throws Failure, which the runner reports
// as "file:line: message" with the expected and the actual value.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host/host.h"
#include "names.h"
#include "scenario/lexer.h"
#include "stack.h"

namespace mdmhost::scenario {

// An expectation that did not hold (or a step that could not be carried out).
struct Failure {
  std::string message;
  std::string expected;  // empty when the message says it all
  std::string actual;
};

// ---- Reading the tokens of one line -------------------------------------------------------------
class Args {
 public:
  explicit Args(std::vector<Token> tokens, std::string line)
      : tokens_(std::move(tokens)), line_(std::move(line)) {}

  bool AtEnd() const { return pos_ >= tokens_.size(); }
  bool AtArrow() const { return !AtEnd() && tokens_[pos_].kind == Token::Arrow; }
  const Token& Peek() const;
  const Token& Next();
  // True (and consumed) when the next token is the word `word` (case-insensitive).
  bool Take(const char* word);
  bool PeekWord(const char* word) const;
  bool PeekString() const { return !AtEnd() && tokens_[pos_].kind == Token::String; }
  // The next token as a word; `what` names it in the error.
  std::string Word(const char* what);
  uint64_t Number(const char* what);
  uint32_t Value(const char* what);  // number, symbol or a|b
  NTSTATUS Status(const char* what);
  // The raw text of the line from the current token on (comment removed, blanks normalised).
  std::string Rest();
  std::string RestText() const;  // the same without consuming
  void SkipToEnd() { pos_ = tokens_.size(); }
  // Fails unless every token has been used.
  void End();
  [[noreturn]] void Error(const std::string& message) const;

 private:
  std::vector<Token> tokens_;
  std::string line_;
  size_t pos_ = 0;
};

// Bytes given in a line: "text" (escapes allowed), bytes 41 54 0D, pattern N [from K]; several
// may follow each other and are joined. Returns nullopt when the next token starts none of them.
std::optional<std::vector<uint8_t>> ParseData(Args& args);
// The byte `i` of the data pattern (a hash of i without a short period).
uint8_t PatternByte(uint64_t i);

// ---- Expected results -------------------------------------------------------------------------------
struct ResultSpec {
  bool given = false;
  NTSTATUS status = STATUS_SUCCESS;
  std::optional<uint64_t> information;
  std::optional<std::vector<uint8_t>> data;
  std::vector<std::pair<std::string, uint32_t>> fields;  // Name=value
  std::optional<uint32_t> bare;                          // a bare value
  std::string text;                                      // as written, for messages
};
// After "->": STATUS [info N] [data] [Name=value ...] [value].
ResultSpec ParseResult(Args& args);
// "-> STATUS" or nothing (then STATUS_SUCCESS is expected when `successByDefault`).
ResultSpec ParseOptionalResult(Args& args);

// What a request's result means, for checking and display.
struct RequestKind {
  enum Kind { Read, Write, Control, Other } kind = Other;
  const ControlCode* code = nullptr;  // Control: the code's record layouts, if known
};
void CheckResult(const ResultSpec& spec, const RequestKind& kind, const host::app::IoResult& result);
std::string DescribeResult(const RequestKind& kind, const host::app::IoResult& result);

// ---- Script -------------------------------------------------------------------------------------
class Runner;
using Action = std::function<void(Runner&)>;

struct Statement {
  int line = 0;
  std::string text;
  Action run;
  bool settles = true;           // runs what is runnable first (unless "settle off")
  bool claimsViolations = false; // expect violation / expect verifier: runs before the check
};

struct Script {
  std::string file;
  std::vector<Statement> statements;
  std::vector<std::string> errors;  // "file:line: message"
};

Script ParseScript(const std::string& file, const std::string& text);

// One parser per leading keyword (some dispatch on a second word themselves).
using CommandParser = std::function<Statement(Args&)>;
using CommandTable = std::map<std::string, CommandParser>;
void AddSystemCommands(CommandTable& table);   // load, add, use, start, pnp, power, fail, ...
void AddRequestCommands(CommandTable& table);  // open, close, read, write, ioctl, wait, cancel ...
void AddDeviceCommands(CommandTable& table);   // device ...
void AddExpectCommands(CommandTable& table);   // expect ..., bus ...

// ---- Runner -------------------------------------------------------------------------------------
struct RunOptions {
  bool verbose = false;    // print every line as it runs, with what happened
  bool keepGoing = false;  // go on after a failure
  host::ScheduleOptions schedule;  // the session's scheduler (mdmhost run --explore)
  // What IoIsWdmVersionAvailable answers from the start of each file (major, minor as the
  // platform writes it: 1.10 is Windows 2000, 1.20 Windows XP); the host's default when empty.
  std::optional<std::pair<UCHAR, UCHAR>> wdmVersion;
};

// "1.10" -> (1, 0x10): a WDM version as the platform writes it; empty when malformed.
std::optional<std::pair<UCHAR, UCHAR>> ParseWdmVersion(const std::string& text);

class Runner {
 public:
  Runner(const Script& script, const RunOptions& options, std::ostream& out);
  ~Runner();
  // Runs the script; true when every expectation held and the verifier stayed clean.
  bool Run();
  size_t failures() const { return failures_; }

  // ---- Context for the actions ----
  Stack& stack() { return *stack_; }
  ViolationLog& violations() { return *violations_; }
  std::ostream& out() { return out_; }
  bool verbose() const { return options_.verbose; }
  void Note(const std::string& text);  // shown in verbose mode
  int line() const { return line_; }

  size_t Device();  // the current device (Failure if none)
  void UseDevice(size_t index) { currentDevice_ = index; }
  std::optional<size_t> currentDevice() const { return currentDevice_; }
  PDEVICE_EXTENSION Extension();  // of the current device (Failure if none)

  struct Handle {
    std::unique_ptr<host::app::File> file;
    bool cleanupSent = false;
  };
  // The named handle, or the current one when `name` is empty (Failure if none).
  host::app::File& File(const std::string& name);
  Handle& HandleOf(const std::string& name);
  void AddHandle(const std::string& name, std::unique_ptr<host::app::File> file);
  void DropHandle(const std::string& name);
  bool HasHandle(const std::string& name) const { return handles_.count(name) != 0; }

  struct PendingRequest {
    RequestKind kind;
    host::app::Request request;
    int line = 0;
  };
  void AddRequest(const std::string& name, PendingRequest request);
  PendingRequest& Request(const std::string& name);

  // The capabilities the last "pnp QUERY_CAPABILITIES" returned.
  std::optional<DEVICE_CAPABILITIES>& capabilities() { return capabilities_; }
  bool settle() const { return settle_; }
  void SetSettle(bool on) { settle_ = on; }
  size_t& dbgPrintCursor() { return dbgPrintCursor_; }

 private:
  void Report(int line, const std::string& text, const Failure& failure);
  bool CheckViolations();  // reports violations nobody claimed; false if there were some
  void Finish();

  const Script& script_;
  RunOptions options_;
  std::ostream& out_;
  std::unique_ptr<ViolationLog> violations_;
  std::unique_ptr<Stack> stack_;
  std::optional<size_t> currentDevice_;
  std::map<std::string, Handle> handles_;
  std::vector<std::string> openOrder_;  // names of the open handles, oldest first
  std::string currentHandle_;
  std::map<std::string, PendingRequest> requests_;
  std::optional<DEVICE_CAPABILITIES> capabilities_;
  bool settle_ = true;
  size_t dbgPrintCursor_ = 0;
  int line_ = 0;
  size_t failures_ = 0;
};

// "500ms", "2s", "100us", "1500" (milliseconds) -> 100 ns units.
std::optional<int64_t> ParseDuration(const std::string& text);

}  // namespace mdmhost::scenario

// The scenario language: a plain-text script of driver and device steps, application requests,
// device events, virtual time and expectations, run in a deterministic host session.
// docs/scenarios.md is the reference; this header is what the parser and the runner share.
//
// Every line is parsed before anything runs (a parse error stops the file before its first
// step). Each line becomes a Statement whose action runs against the Runner's context; an action
// that finds something other than what the line expects throws Failure, which the runner reports
// as "file:line: message" with the expected and the actual value.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
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
  int64_t Duration();  // "500ms", "2s", "100us" -> 100 ns units
  // "within DURATION" if it comes next (a bound on a wait), else nullopt.
  std::optional<int64_t> Within();
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
  bool any = false;  // "-> any": the result is recorded, not judged
  NTSTATUS status = STATUS_SUCCESS;
  // "-> SUCCESS|CANCELLED": every status the line accepts (status is the first). With PENDING
  // among them, a named request may also still be pending.
  std::vector<NTSTATUS> statuses{STATUS_SUCCESS};
  bool Accepts(NTSTATUS s) const {
    for (NTSTATUS a : statuses) {
      if (a == s) return true;
    }
    return false;
  }
  bool MayPend() const { return Accepts(STATUS_PENDING); }
  bool OnlyPending() const { return statuses.size() == 1 && status == STATUS_PENDING; }
  std::optional<uint64_t> information;
  std::optional<std::vector<uint8_t>> data;
  std::optional<uint32_t> crc32;  // of the bytes returned
  std::vector<std::pair<std::string, uint32_t>> fields;  // Name=value
  std::optional<uint32_t> bare;                          // a bare value
  std::string text;                                      // as written, for messages
};
// After "->": STATUS[|STATUS...] [info N] [data | crc32 X] [Name=value ...] [value], or "any".
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
class Runner;
// A finished request against its line: "-> any" records the result, a given result is checked,
// and without "->" the request must succeed (`what` names it in the failure).
void JudgeResult(Runner& r, const ResultSpec& spec, const RequestKind& kind,
                 const host::app::IoResult& result, const std::string& what);
// Every line of a request's outcome: status, Information, the bytes (hex and text, with their
// CRC-32) and the output record's fields.
std::string DumpResult(const RequestKind& kind, const host::app::IoResult& result);
// Two byte strings that should be equal: Failure{message, expected, actual} naming the first
// byte that differs when they are long.
void CheckBytes(const std::string& message, const std::vector<uint8_t>& expected,
                const std::vector<uint8_t>& actual);
uint32_t Crc32(const std::vector<uint8_t>& bytes);

// ---- Script -------------------------------------------------------------------------------------
using Action = std::function<void(Runner&)>;

struct Statement {
  // A step, or the lines that give a script its shape: "thread NAME" and "repeat N" open a
  // block that "end" closes; "exit" ends the thread block it is in.
  enum Kind { Step, Thread, Repeat, End, Exit } kind = Step;
  int line = 0;
  std::string text;
  Action run;
  bool settles = true;           // runs what is runnable first (unless "settle off")
  bool claimsViolations = false; // expect violation / expect verifier: runs before the check
  bool mainOnly = false;         // moves the clock for everyone: not in a thread block
  std::string name;              // Thread: the thread's name
  uint64_t count = 0;            // Repeat: how many times
  std::vector<Statement> body;   // Thread, Repeat: the lines up to "end"
};

struct Script {
  std::string file;
  std::vector<Statement> statements;
  std::vector<std::string> errors;  // "file:line: message"
  std::map<int, std::string> lines; // line number -> text, for reports
};

Script ParseScript(const std::string& file, const std::string& text);

// One parser per leading keyword (some dispatch on a second word themselves).
using CommandParser = std::function<Statement(Args&)>;
using CommandTable = std::map<std::string, CommandParser>;
void AddSystemCommands(CommandTable& table);   // load, add, use, start, pnp, power, fail, ...
void AddRequestCommands(CommandTable& table);  // open, close, read, write, ioctl, wait, cancel ...
void AddDeviceCommands(CommandTable& table);   // device ...
void AddExpectCommands(CommandTable& table);   // expect ..., bus ..., dump ...
void AddThreadCommands(CommandTable& table);   // thread, repeat, end, exit, join, sleep, seed
void AddFileCommands(CommandTable& table);     // explore N (commands_file.cpp)
// One line's step on its own (a prefix such as "within D" carries one).
Statement ParseStep(const std::string& text);
// The schedules a file's "explore N" line claims its expectations hold under (0: none).
unsigned ClaimedSchedules(const Script& script);
void AddParentCommands(CommandTable& table);   // parent ... (the chain: commands_parent.cpp)
void AddLineCommands(CommandTable& table);     // line ... (a modem that keeps time)

// ---- Runner -------------------------------------------------------------------------------------
// The low-resources simulation restricted to the driver's own allocations (mdmhost run
// --fail-alloc, --sweep-lowres): the nth pool or request allocation charged to the driver fails.
struct DriverAllocationFault {
  enum Kind { Pool, Irp } kind = Pool;
  unsigned nth = 0;
};

struct RunOptions {
  bool verbose = false;    // print every line as it runs, with what happened
  bool keepGoing = false;  // go on after a failure
  bool quiet = false;      // no recorded results or dumps
  std::optional<uint64_t> seed;  // replaces the file's "seed" lines
  std::optional<DriverAllocationFault> failAllocation;
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

  // What the verifier reported that no line claimed, in order, with the line it happened at
  // (-2: while the stack was taken down at the end).
  struct Reported {
    host::verifier::Rule rule;
    std::string message;
    int line;
  };
  const std::vector<Reported>& reported() const { return reported_; }
  // The driver's allocations counted after each line of the main script (for the sweep).
  struct LineAllocations {
    int line;
    uint64_t pool;
    uint64_t irp;
  };
  const std::vector<LineAllocations>& allocations() const { return allocations_; }

  // ---- Context for the actions ----
  Stack& stack() { return *stack_; }
  ViolationLog& violations() { return *violations_; }
  std::ostream& out() { return out_; }
  bool verbose() const { return options_.verbose; }
  void Note(const std::string& text);    // shown in verbose mode
  // Shown unless quiet: "FILE:LINE: TEXT" (a recorded result, a dump).
  void Record(const std::string& text);
  int line() const;  // the current line of the script thread running

  size_t Device();  // the current device (Failure if none)
  void UseDevice(size_t index) { currentDevice_ = index; }
  std::optional<size_t> currentDevice() const { return currentDevice_; }
  PDEVICE_EXTENSION Extension();  // of the current device (Failure if none)

  struct Handle {
    std::shared_ptr<host::app::File> file;
    bool cleanupSent = false;
  };
  // The named handle, or the current one when `name` is empty, for a request an application
  // sends on it (Failure if there is none, or if its cleanup has been sent: no application can
  // send a request on a handle it has closed).
  std::shared_ptr<host::app::File> File(const std::string& name);
  Handle& HandleOf(const std::string& name);
  void AddHandle(const std::string& name, std::unique_ptr<host::app::File> file);
  void DropHandle(const std::string& name);
  bool HasHandle(const std::string& name) const { return handles_.count(name) != 0; }
  // A handle the script closed (and did not open again under that name).
  bool WasClosed(const std::string& name) const { return closedHandles_.count(name) != 0; }

  // A request sent with "as R". A named request of the main script is sent from a thread of its
  // own, which then waits for it: a dispatch routine that blocks (on a class request the bus
  // holds, say) leaves the request pending instead of stopping the script, which may still
  // release it. In a thread block the block's thread sends it. `sent` turns true once the
  // dispatch routine has returned and `request` is valid.
  struct PendingRequest {
    RequestKind kind;
    host::app::Request request;
    std::atomic<bool> sent{false};
    int line = 0;
    std::string thread;  // the script thread that asked for it
    bool Done() const { return sent && request.Done(); }
  };
  std::shared_ptr<PendingRequest> SendNamed(const std::string& name, const RequestKind& kind,
                                            std::function<host::app::Request()> send);
  // A request already in flight (PnP and power requests the managers send on their own
  // threads).
  void AddRequest(const std::string& name, const RequestKind& kind, host::app::Request request);
  std::shared_ptr<PendingRequest> Request(const std::string& name);
  // Waits until `done` holds (the session runs meanwhile); nullopt waits without a bound (a
  // wait nothing can end is then the verifier's Deadlock). False when the bound passed first.
  bool WaitFor(const std::function<bool()>& done, const std::string& what,
               std::optional<int64_t> bound);

  // Virtual times recorded by "line mark NAME" (commands_line.cpp), 100 ns units.
  std::map<std::string, int64_t> timeMarks;

  // ---- Script threads ----
  // The script thread running the current line: "main", or a thread block's name.
  const std::string& ThreadName() const;
  bool OnMainThread() const;
  // Starts a thread block: its lines run on a kernel thread of their own (started at once, as a
  // cooperative thread runs until it blocks). When they are done, or at "exit", the thread
  // ends: as the platform's I/O manager does for an ending thread, the requests it issued that
  // are still pending are cancelled and waited for.
  void StartThread(const Statement& block);
  std::shared_ptr<host::Thread> ScriptThread(const std::string& name);
  // The script's random numbers (cancels at random moments), from the seed.
  uint64_t Random(uint64_t bound);  // uniform in [0, bound]
  void Seed(uint64_t seed);
  // A helper thread that cancels request `name` `delay` from now unless it has finished.
  void CancelLater(const std::string& name, int64_t delay);

  // Keeps something a request in flight points at (a power sequence record) until the end.
  void Keep(std::shared_ptr<void> object) { kept_.push_back(std::move(object)); }

  // The capabilities the last "pnp QUERY_CAPABILITIES" returned.
  std::optional<DEVICE_CAPABILITIES>& capabilities() { return capabilities_; }
  bool settle() const { return settle_; }
  void SetSettle(bool on) { settle_ = on; }
  size_t& dbgPrintCursor() { return dbgPrintCursor_; }
  size_t& powerCursor() { return powerCursor_; }

  // The script thread a kernel thread stands for (kept per OS thread).
  struct ThreadContext;

 private:
  // Runs the lines of a block on the calling thread; false when the thread must stop (a
  // failure without -k, or "exit").
  bool RunBlock(const std::vector<Statement>& body);
  bool RunStep(const Statement& statement);
  void EndThread(const std::string& name);
  void Report(int line, const std::string& text, const Failure& failure);
  bool CheckViolations();  // reports violations nobody claimed; false if there were some
  void CountAllocations();
  void Finish();

  const Script& script_;
  RunOptions options_;
  std::ostream& out_;
  std::unique_ptr<ViolationLog> violations_;
  std::unique_ptr<Stack> stack_;
  std::optional<size_t> currentDevice_;
  std::map<std::string, Handle> handles_;
  std::set<std::string> closedHandles_;
  std::vector<std::string> openOrder_;  // names of the open handles, oldest first
  std::string currentHandle_;
  std::map<std::string, std::shared_ptr<PendingRequest>> requests_;
  std::map<std::string, std::shared_ptr<host::Thread>> threads_;
  std::vector<std::shared_ptr<host::Thread>> helpers_;  // delayed cancels
  std::atomic<bool> ending_{false};                     // the helpers give up
  std::optional<DEVICE_CAPABILITIES> capabilities_;
  bool settle_ = true;
  size_t dbgPrintCursor_ = 0;
  size_t powerCursor_ = 0;
  int line_ = 0;
  size_t failures_ = 0;
  bool stopped_ = false;  // a failure without -k: every script thread stops
  uint64_t seed_ = 1;
  bool randomUsed_ = false;
  std::mt19937_64 random_;
  std::vector<std::shared_ptr<void>> kept_;
  std::vector<Reported> reported_;
  std::vector<LineAllocations> allocations_;
};

// "500ms", "2s", "100us", "1500" (milliseconds) -> 100 ns units.
std::optional<int64_t> ParseDuration(const std::string& text);

}  // namespace mdmhost::scenario

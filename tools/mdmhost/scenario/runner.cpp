// Running a parsed script: one deterministic host session per file, the statements in order,
// failures reported with file, line, expected and actual value, the verifier's reports checked
// after every step, and everything taken down at the end (handles closed, devices removed, the
// driver unloaded, the session's own end-of-session checks).
//
// Script threads. The main script runs on the calling thread ("main"). A "thread NAME" block runs
// its lines on a cooperative kernel thread of the deterministic session, and a named request of
// the main script is sent from a thread of its own: either may block (in a dispatch routine, in
// a wait) and hand the baton back, while the main script goes on. Exactly one of them runs at any
// moment, so the runner's tables need no lock; each thread keeps its own current line.
#include <algorithm>
#include <exception>

#include "scenario/scenario.h"

namespace mdmhost::scenario {

namespace {
constexpr int kEndTag = -2;  // violations reported while the scenario's stack is taken down
}

struct Runner::ThreadContext {
  std::string name;
  bool main = false;
  int line = 0;
};

static thread_local Runner::ThreadContext* tlsThread = nullptr;

Runner::Runner(const Script& script, const RunOptions& options, std::ostream& out)
    : script_(script), options_(options), out_(out) {}

Runner::~Runner() {
  // Handles, requests and threads belong to the session; they go before it does.
  handles_.clear();
  requests_.clear();
  threads_.clear();
  helpers_.clear();
  stack_.reset();
  violations_.reset();
}

void Runner::Note(const std::string& text) {
  if (options_.verbose) out_ << "    " << text << "\n";
}

void Runner::Record(const std::string& text) {
  if (!options_.quiet) out_ << script_.file << ":" << line() << ": " << text << "\n";
}

int Runner::line() const { return tlsThread != nullptr ? tlsThread->line : line_; }

const std::string& Runner::ThreadName() const {
  static const std::string kMain = "main";
  return tlsThread != nullptr ? tlsThread->name : kMain;
}

bool Runner::OnMainThread() const { return tlsThread == nullptr || tlsThread->main; }

size_t Runner::Device() {
  if (!currentDevice_) throw Failure{"no device has been added yet ('add device COM7')", "", ""};
  return *currentDevice_;
}

PDEVICE_EXTENSION Runner::Extension() {
  size_t i = Device();
  PDEVICE_EXTENSION ext = stack_->Extension(i);
  if (ext == nullptr) {
    throw Failure{"device " + stack_->device(i).label + " has no driver device object now", "", ""};
  }
  return ext;
}

Runner::Handle& Runner::HandleOf(const std::string& name) {
  const std::string& key = name.empty() ? currentHandle_ : name;
  auto it = handles_.find(key);
  if (it == handles_.end()) {
    if (name.empty()) throw Failure{"no handle is open ('open COM7' first)", "", ""};
    throw Failure{"no open handle named '" + name + "'", "", ""};
  }
  return it->second;
}

std::shared_ptr<host::app::File> Runner::File(const std::string& name) {
  Handle& h = HandleOf(name);
  if (h.cleanupSent) {
    throw Failure{"handle " + (name.empty() ? currentHandle_ : name) +
                      " has had its cleanup: no application can send a request on a handle it "
                      "has closed ('close' sends the close; a kernel client sends with 'to device')",
                  "", ""};
  }
  return h.file;
}

void Runner::AddHandle(const std::string& name, std::unique_ptr<host::app::File> file) {
  handles_[name] = Handle{std::move(file), false};
  closedHandles_.erase(name);
  openOrder_.push_back(name);
  currentHandle_ = name;
}

void Runner::DropHandle(const std::string& name) {
  const std::string key = name.empty() ? currentHandle_ : name;
  if (handles_.erase(key) != 0) closedHandles_.insert(key);
  openOrder_.erase(std::remove(openOrder_.begin(), openOrder_.end(), key), openOrder_.end());
  // The current handle is again the one opened last among those still open.
  if (key == currentHandle_) currentHandle_ = openOrder_.empty() ? std::string() : openOrder_.back();
}

std::shared_ptr<Runner::PendingRequest> Runner::SendNamed(const std::string& name,
                                                          const RequestKind& kind,
                                                          std::function<host::app::Request()> send) {
  auto p = std::make_shared<PendingRequest>();
  p->kind = kind;
  p->line = line();
  p->thread = ThreadName();
  requests_[name] = p;
  if (!OnMainThread()) {
    p->request = send();
    p->sent = true;
    return p;
  }
  // The sender runs at once, until the dispatch routine has returned or blocks; it then waits
  // for the request, so that its own end (which would cancel what it issued) comes after.
  stack_->session().Spawn(name, [p, send = std::move(send)] {
    p->request = send();
    p->sent = true;
    p->request.Wait();
  });
  return p;
}

void Runner::AddRequest(const std::string& name, const RequestKind& kind,
                        host::app::Request request) {
  auto p = std::make_shared<PendingRequest>();
  p->kind = kind;
  p->request = std::move(request);
  p->sent = true;
  p->line = line();
  p->thread = ThreadName();
  requests_[name] = p;
}

std::shared_ptr<Runner::PendingRequest> Runner::Request(const std::string& name) {
  auto it = requests_.find(name);
  if (it == requests_.end()) {
    throw Failure{"no request named '" + name + "' (name one with 'as " + name + "')", "", ""};
  }
  return it->second;
}

bool Runner::WaitFor(const std::function<bool()>& done, const std::string& what,
                     std::optional<int64_t> bound) {
  return stack_->session().WaitFor(done, what, bound);
}

// ---- Script threads ---------------------------------------------------------------------------

void Runner::StartThread(const Statement& block) {
  auto it = threads_.find(block.name);
  if (it != threads_.end() && !it->second->Finished()) {
    throw Failure{"thread " + block.name + " is still running ('join " + block.name +
                      "' first, or name this one otherwise)",
                  "", ""};
  }
  const Statement* b = &block;  // the script outlives the run
  threads_[block.name] = stack_->session().Spawn(block.name, [this, b] {
    ThreadContext context{b->name, false, b->line};
    tlsThread = &context;
    RunBlock(b->body);
    EndThread(b->name);
    tlsThread = nullptr;
  });
}

std::shared_ptr<host::Thread> Runner::ScriptThread(const std::string& name) {
  auto it = threads_.find(name);
  if (it == threads_.end()) throw Failure{"no thread named '" + name + "' has been started", "", ""};
  return it->second;
}

// The thread's end, on the thread itself: the I/O manager cancels what it issued and waits.
void Runner::EndThread(const std::string& name) {
  size_t left = host::app::EndThread();
  if (left != 0) {
    Note("thread " + name + " ends: " + std::to_string(left) +
         " request(s) still unfinished five minutes after their cancel");
  }
}

uint64_t Runner::Random(uint64_t bound) {
  randomUsed_ = true;
  uint64_t v = random_();
  return bound == UINT64_MAX ? v : v % (bound + 1);
}

void Runner::Seed(uint64_t seed) {
  if (options_.seed) return;  // the command line's seed replaces the file's
  seed_ = seed;
  random_.seed(seed);
}

void Runner::CancelLater(const std::string& name, int64_t delay) {
  std::shared_ptr<PendingRequest> p = Request(name);
  helpers_.push_back(stack_->session().Spawn("cancel " + name, [this, p, delay] {
    bool over = WaitFor([this, p] { return ending_.load() || p->Done(); },
                        "the moment to cancel a request", delay);
    if (!over && p->sent) p->request.Cancel();
  }));
}

// ---- Running ----------------------------------------------------------------------------------

void Runner::Report(int line, const std::string& text, const Failure& failure) {
  ++failures_;
  out_ << script_.file << ":";
  if (line == kEndTag) {
    out_ << "end";
  } else {
    out_ << line;
  }
  out_ << ": " << failure.message;
  if (!OnMainThread()) out_ << " (in thread " << ThreadName() << ")";
  out_ << "\n";
  if (!text.empty()) out_ << "    line:     " << text << "\n";
  if (!failure.expected.empty()) out_ << "    expected: " << failure.expected << "\n";
  if (!failure.actual.empty() || !failure.expected.empty()) {
    out_ << "    actual:   " << failure.actual << "\n";
  }
}

bool Runner::CheckViolations() {
  if (!violations_) return true;
  std::vector<ViolationLog::Entry> left = violations_->Take();
  for (const ViolationLog::Entry& e : left) {
    auto text = script_.lines.find(e.tag);
    Failure f{"the verifier reported " + e.violation.message, "", ""};
    Report(e.tag, text != script_.lines.end() ? text->second : "", f);
    if (!e.violation.details.empty()) out_ << "    " << e.violation.details << "\n";
    reported_.push_back({e.violation.rule, e.violation.message, e.tag});
  }
  return left.empty();
}

bool Runner::RunStep(const Statement& statement) {
  if (!statement.claimsViolations && !CheckViolations() && !options_.keepGoing) {
    stopped_ = true;
    return false;
  }
  if (tlsThread != nullptr) tlsThread->line = statement.line;
  line_ = statement.line;
  violations_->SetTag(statement.line);
  if (options_.verbose) {
    out_ << script_.file << ":" << statement.line << ": ";
    if (!OnMainThread()) out_ << "[" << ThreadName() << "] ";
    out_ << statement.text << "\n";
  }
  try {
    // A bug check in a routine the step ran unwinds to here (the verifier has its report).
    bool bugCheck = host::verifier::RunCatchingBugCheck([&] {
      if (statement.settles && settle_) stack_->Pump();
      if (statement.kind == Statement::Thread) {
        StartThread(statement);
      } else {
        statement.run(*this);
      }
    });
    if (bugCheck) throw Failure{"the driver stopped the system (bug check; see the verifier's report)", "", ""};
  } catch (const Failure& f) {
    Report(statement.line, statement.text, f);
    if (!options_.keepGoing) stopped_ = true;
  } catch (const std::exception& e) {
    Report(statement.line, statement.text, Failure{std::string("error: ") + e.what(), "", ""});
    if (!options_.keepGoing) stopped_ = true;
  }
  if (OnMainThread()) CountAllocations();
  return !stopped_;
}

bool Runner::RunBlock(const std::vector<Statement>& body) {
  for (const Statement& statement : body) {
    if (stopped_) return false;
    switch (statement.kind) {
      case Statement::Repeat:
        for (uint64_t i = 0; i < statement.count; ++i) {
          if (!RunBlock(statement.body)) return false;
        }
        break;
      case Statement::Exit:
        return false;
      default:
        if (!RunStep(statement)) return false;
        break;
    }
  }
  return true;
}

void Runner::CountAllocations() {
  host::verifier::AllocationCounts counts = host::verifier::DriverAllocationCounts(Stack::kDriverName);
  if (!allocations_.empty() && allocations_.back().pool == counts.pool &&
      allocations_.back().irp == counts.irp) {
    return;
  }
  allocations_.push_back({line_, counts.pool, counts.irp});
}

bool Runner::Run() {
  violations_ = std::make_unique<ViolationLog>();
  host::SessionOptions options;
  options.mode = host::Mode::Deterministic;
  options.schedule = options_.schedule;
  stack_ = std::make_unique<Stack>(options);
  if (options_.wdmVersion) {
    host::verifier::SetWdmVersion(options_.wdmVersion->first, options_.wdmVersion->second);
  }
  seed_ = options_.seed.value_or(1);
  random_.seed(seed_);
  if (options_.failAllocation) {
    const DriverAllocationFault& f = *options_.failAllocation;
    if (f.kind == DriverAllocationFault::Pool) {
      host::verifier::FailPoolAllocation(f.nth, Stack::kDriverName);
    } else {
      host::verifier::FailIrpAllocation(f.nth, Stack::kDriverName);
    }
  }
  ThreadContext main{"main", true, 0};
  tlsThread = &main;
  bool completed = RunBlock(script_.statements);
  if (completed) CheckViolations();
  if (failures_ != 0 && randomUsed_) {
    out_ << "    (random moments drawn with seed " << seed_ << ": mdmhost run --seed " << seed_
         << " draws them again)\n";
  }
  Finish();
  tlsThread = nullptr;
  return failures_ == 0;
}

void Runner::Finish() {
  // What the scenario left open is closed as an application that exits would: cleanup, then
  // close once the handle's requests are done. Then the stack is taken down with its checks.
  violations_->SetTag(kEndTag);
  line_ = kEndTag;
  ending_ = true;
  try {
    stack_->Pump();  // the delayed cancels give up
    for (auto& [name, handle] : handles_) {
      if (handle.file && handle.file->IsOpen()) {
        if (!handle.cleanupSent) handle.file->Cleanup();
        handle.file->CloseAsync().Wait();
      }
    }
  } catch (const std::exception& e) {
    Report(kEndTag, "", Failure{std::string("error while closing handles: ") + e.what(), "", ""});
  }
  handles_.clear();
  requests_.clear();
  stack_->Teardown();
  CheckViolations();
}

}  // namespace mdmhost::scenario

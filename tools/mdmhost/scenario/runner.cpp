// Running a parsed script: one deterministic host session per file, the statements in order,
// failures reported with file, line, expected and actual value, the verifier's reports checked
// after every step, and everything taken down at the end (handles closed, devices removed, the
// driver unloaded, the session's own end-of-session checks).
#include <algorithm>
#include <exception>

#include "scenario/scenario.h"

namespace mdmhost::scenario {

namespace {
constexpr int kEndTag = -2;  // violations reported while the scenario's stack is taken down
}

Runner::Runner(const Script& script, const RunOptions& options, std::ostream& out)
    : script_(script), options_(options), out_(out) {}

Runner::~Runner() {
  // Handles and requests belong to the session; they go before it does.
  handles_.clear();
  requests_.clear();
  stack_.reset();
  violations_.reset();
}

void Runner::Note(const std::string& text) {
  if (options_.verbose) out_ << "    " << text << "\n";
}

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

host::app::File& Runner::File(const std::string& name) { return *HandleOf(name).file; }

void Runner::AddHandle(const std::string& name, std::unique_ptr<host::app::File> file) {
  handles_[name] = Handle{std::move(file), false};
  openOrder_.push_back(name);
  currentHandle_ = name;
}

void Runner::DropHandle(const std::string& name) {
  const std::string key = name.empty() ? currentHandle_ : name;
  handles_.erase(key);
  openOrder_.erase(std::remove(openOrder_.begin(), openOrder_.end(), key), openOrder_.end());
  // The current handle is again the one opened last among those still open.
  if (key == currentHandle_) currentHandle_ = openOrder_.empty() ? std::string() : openOrder_.back();
}

void Runner::AddRequest(const std::string& name, PendingRequest request) {
  requests_[name] = std::move(request);
}

Runner::PendingRequest& Runner::Request(const std::string& name) {
  auto it = requests_.find(name);
  if (it == requests_.end()) {
    throw Failure{"no request named '" + name + "' (name one with 'as " + name + "')", "", ""};
  }
  return it->second;
}

void Runner::Report(int line, const std::string& text, const Failure& failure) {
  ++failures_;
  out_ << script_.file << ":";
  if (line == kEndTag) {
    out_ << "end";
  } else {
    out_ << line;
  }
  out_ << ": " << failure.message << "\n";
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
    std::string text;
    for (const Statement& s : script_.statements) {
      if (s.line == e.tag) text = s.text;
    }
    Failure f{"the verifier reported " + e.violation.message, "", ""};
    Report(e.tag, text, f);
    if (!e.violation.details.empty()) out_ << "    " << e.violation.details << "\n";
  }
  return left.empty();
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

  bool stopped = false;
  for (const Statement& statement : script_.statements) {
    if (!statement.claimsViolations && !CheckViolations() && !options_.keepGoing) {
      stopped = true;
      break;
    }
    line_ = statement.line;
    violations_->SetTag(statement.line);
    if (options_.verbose) out_ << script_.file << ":" << statement.line << ": " << statement.text << "\n";
    try {
      // A bug check in a routine the step ran unwinds to here (the verifier has its report).
      bool bugCheck = host::verifier::RunCatchingBugCheck([&] {
        if (statement.settles && settle_) stack_->Pump();
        statement.run(*this);
      });
      if (bugCheck) throw Failure{"the driver stopped the system (bug check; see the verifier's report)", "", ""};
    } catch (const Failure& f) {
      Report(statement.line, statement.text, f);
      if (!options_.keepGoing) {
        stopped = true;
        break;
      }
    } catch (const std::exception& e) {
      Report(statement.line, statement.text, Failure{std::string("error: ") + e.what(), "", ""});
      if (!options_.keepGoing) {
        stopped = true;
        break;
      }
    }
  }
  if (!stopped) CheckViolations();
  Finish();
  return failures_ == 0;
}

void Runner::Finish() {
  // What the scenario left open is closed as an application that exits would: cleanup, then
  // close once the handle's requests are done. Then the stack is taken down with its checks.
  violations_->SetTag(kEndTag);
  try {
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

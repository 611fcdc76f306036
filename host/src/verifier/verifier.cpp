// The verifier's reporting machinery: building a violation from the calling thread's context,
// recording it for the session, and passing it to the innermost capture scope or the handler.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "internal/core.h"

namespace host::internal {
namespace {

struct VerifierState {
  std::mutex mutex;
  std::vector<verifier::Violation> sessionViolations;
  verifier::ExpectViolations* capture = nullptr;
  verifier::Handler handler;
};
VerifierState& V() {
  static VerifierState* v = new VerifierState;
  return *v;
}

thread_local int tlsReporting = 0;

void DefaultHandler(const verifier::Violation& v) {
  std::fprintf(stderr, "\n*** host kernel verifier: %s\n%s\n", v.message.c_str(),
               v.details.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Details(const ThreadState& t) {
  std::string d = "thread '" + t.name + "' at " + IrqlName(t.irql);
  d += "; spin locks held: " + HeldLocksText(t);
  if (!t.heldFastMutexes.empty()) {
    d += "; fast mutexes held:";
    for (const void* m : t.heldFastMutexes) d += " " + Hex(reinterpret_cast<uintptr_t>(m));
  }
  if (!t.frames.empty()) {
    d += "\nroutines (innermost first):";
    for (size_t i = t.frames.size(); i-- > 0;) d += "\n  " + DescribeFrame(t.frames[i]);
  }
  return d;
}

}  // namespace

std::string Hex(uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

// Message: "<Rule>: <what happened>; request: <IRP>; in <routine>". The request is the one of
// the innermost frame that has one; the routine is the innermost frame's.
void Report(verifier::Rule rule, const std::string& message) {
  ThreadState& t = CurrentThread();
  verifier::Violation v;
  v.rule = rule;
  v.message = std::string(verifier::RuleName(rule)) + ": " + message;
  if (tlsReporting == 0) {
    ++tlsReporting;
    const Frame* irpFrame = nullptr;
    for (size_t i = t.frames.size(); i-- > 0;) {
      if (t.frames[i].irp != nullptr) {
        irpFrame = &t.frames[i];
        break;
      }
    }
    if (irpFrame != nullptr) v.message += "; request: " + DescribeIrp(irpFrame->irp);
    if (!t.frames.empty()) v.message += "; in " + DescribeFrame(t.frames.back());
    v.details = Details(t);
    --tlsReporting;
  } else {
    v.details = "thread '" + t.name + "' at " + IrqlName(t.irql);
  }
  if (TraceOn()) Trace("VERIFIER %s", v.message.c_str());

  VerifierState& s = V();
  verifier::Handler handler;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (SessionActive()) s.sessionViolations.push_back(v);
    if (s.capture != nullptr) {
      s.capture->Record(v);
      return;
    }
    handler = s.handler;
  }
  if (handler) {
    handler(v);
  } else {
    DefaultHandler(v);
  }
}

void VerifierSessionStart() {
  VerifierState& s = V();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sessionViolations.clear();
}

}  // namespace host::internal

namespace host::verifier {

const char* RuleName(Rule rule) {
  switch (rule) {
    case Rule::DoubleCompletion: return "DoubleCompletion";
    case Rule::CompletedWithCancelRoutine: return "CompletedWithCancelRoutine";
    case Rule::CompletedWithSpinLockHeld: return "CompletedWithSpinLockHeld";
    case Rule::SentWithSpinLockHeld: return "SentWithSpinLockHeld";
    case Rule::CompletedWithPendingStatus: return "CompletedWithPendingStatus";
    case Rule::InformationTooLarge: return "InformationTooLarge";
    case Rule::DispatchStatusMismatch: return "DispatchStatusMismatch";
    case Rule::IrpFreedInUse: return "IrpFreedInUse";
    case Rule::PowerIrpWithoutStartNext: return "PowerIrpWithoutStartNext";
    case Rule::WaitAtDispatchLevel: return "WaitAtDispatchLevel";
    case Rule::IrqlMisuse: return "IrqlMisuse";
    case Rule::SpinLockMisuse: return "SpinLockMisuse";
    case Rule::LockOrder: return "LockOrder";
    case Rule::FastMutexMisuse: return "FastMutexMisuse";
    case Rule::Deadlock: return "Deadlock";
    case Rule::RemoveLockReleaseWithoutAcquire: return "RemoveLockReleaseWithoutAcquire";
    case Rule::RemoveLockHeldAtDelete: return "RemoveLockHeldAtDelete";
    case Rule::PoolLeak: return "PoolLeak";
    case Rule::IrpLeak: return "IrpLeak";
    case Rule::PoolMisuse: return "PoolMisuse";
    case Rule::FreedObjectInUse: return "FreedObjectInUse";
    case Rule::DeviceMisuse: return "DeviceMisuse";
    case Rule::BugCheck: return "BugCheck";
    case Rule::ObjectMisuse: return "ObjectMisuse";
    case Rule::RequestUsedAfterRelease: return "RequestUsedAfterRelease";
    case Rule::DriverUnloadedInUse: return "DriverUnloadedInUse";
  }
  return "UnknownRule";
}

void SetHandler(Handler handler) {
  auto& s = internal::V();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.handler = std::move(handler);
}

std::vector<Violation> Violations() {
  auto& s = internal::V();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sessionViolations;
}

ExpectViolations::ExpectViolations() {
  auto& s = internal::V();
  std::lock_guard<std::mutex> lock(s.mutex);
  previous_ = s.capture;
  s.capture = this;
}

ExpectViolations::~ExpectViolations() {
  auto& s = internal::V();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.capture = previous_;
}

void ExpectViolations::Record(const Violation& v) { seen_.push_back(v); }

const std::vector<Violation>& ExpectViolations::seen() const { return seen_; }

bool ExpectViolations::Saw(Rule rule) const { return Count(rule) != 0; }

size_t ExpectViolations::Count(Rule rule) const {
  size_t n = 0;
  for (const Violation& v : seen_) n += v.rule == rule;
  return n;
}

std::string ExpectViolations::Text() const {
  std::string text;
  for (const Violation& v : seen_) text += v.message + "\n";
  return text;
}

bool RunCatchingBugCheck(const std::function<void()>& fn) {
  internal::ThreadState& t = internal::CurrentThread();
  const KIRQL irql = t.irql;
  const size_t locks = t.heldLocks.size();
  const size_t mutexes = t.heldFastMutexes.size();
  try {
    fn();
  } catch (const internal::BugCheckUnwind&) {
    // What the unwound routine took stays taken on the platform (the system is stopped); here
    // it is given back so that the test can go on.
    while (t.heldLocks.size() > locks) internal::ForceReleaseSpinLock(t, t.heldLocks.back().lock);
    internal::ForceReleaseFastMutexes(t, mutexes);
    t.irql = irql;
    return true;
  }
  return false;
}

}  // namespace host::verifier

// The service trace: each kernel service call with its arguments and result, prefixed with the
// interrupt time and the calling thread, to stderr and to TraceLines(). Off by default; on with
// SessionOptions::traceServices, HOST_TRACE=1 or SetServiceTrace(true).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/core.h"

namespace host::internal {
namespace {

struct TraceState {
  std::atomic<bool> on{false};
  std::mutex mutex;
  std::vector<std::string> lines;
};
TraceState& Tr() {
  static TraceState* t = new TraceState;
  return *t;
}

}  // namespace

bool TraceOn() { return Tr().on.load(std::memory_order_relaxed); }

void Trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char buffer[1024];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  ThreadState& t = CurrentThread();
  std::string line = Format("[%lld %s %s] %s", static_cast<long long>(NowTicks()),
                            t.name.c_str(), IrqlName(t.irql).c_str(), buffer);
  TraceState& s = Tr();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.lines.push_back(line);
  std::fprintf(stderr, "trace: %s\n", line.c_str());
}

void TraceSessionStart(bool on) {
  TraceState& s = Tr();
  const char* env = std::getenv("HOST_TRACE");
  bool fromEnvironment = env != nullptr && std::strcmp(env, "0") != 0 && env[0] != '\0';
  std::lock_guard<std::mutex> lock(s.mutex);
  s.lines.clear();
  s.on = on || fromEnvironment;
}

}  // namespace host::internal

namespace host::debug {

void SetServiceTrace(bool on) { internal::Tr().on = on; }

bool ServiceTraceOn() { return internal::TraceOn(); }

std::vector<std::string> TraceLines() {
  auto& s = internal::Tr();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.lines;
}

}  // namespace host::debug

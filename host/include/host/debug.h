// What drivers print on the debugger channel, and the trace of kernel service calls.
#pragma once

#include <string>
#include <vector>

namespace host::debug {

// Names as the verifier's reports print them: a routine by its symbol ("DispatchRead"; the
// address when it has none), a function code by its platform name ("IRP_MJ_READ").
std::string RoutineName(const void* routine);
const char* MajorFunctionName(unsigned char major);
// "IRP_MN_SET_POWER" for the PnP, power and WMI minor functions; "IRP_MN_(unknown)" otherwise.
const char* MinorFunctionName(unsigned char major, unsigned char minor);

// Everything printed with DbgPrint in this session, as one text, and the calls one by one.
std::string DbgPrintText();
std::vector<std::string> DbgPrintCalls();
void ClearDbgPrint();
// Also write DbgPrint output to stderr as it happens (default off).
void SetDbgPrintEcho(bool echo);

// The service trace: every kernel service call with its arguments and result, in order, for
// replaying a failing scenario with the whole conversation visible. Off by default; on with
// SessionOptions::traceServices or HOST_TRACE=1. Lines go to stderr and to TraceLines().
void SetServiceTrace(bool on);
bool ServiceTraceOn();
std::vector<std::string> TraceLines();

}  // namespace host::debug

// Shared by the control-request and write tests: an opened port and small helpers around it.
#pragma once

#include <host_test.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/app.h"
#include "host/verifier.h"
#include "port_testbed.h"
#include "sim/scripted_modem.h"
#include "sim/trace.h"
#include "tavrinmdm/extension.h"
#include "tavrinmdm/serial/serial.h"

namespace ioctltest {

// The port opened through the driver's own open, with requests sent on the handle.
class ControlPort {
 public:
  explicit ControlPort(porttest::PortTestbed& tb) : tb_(tb) { file_ = tb_.Open(); }

  host::app::File& file() { return file_; }

  host::app::Request Send(ULONG code, const void* input, ULONG inputLength, ULONG outputLength,
                          KIRQL irql = PASSIVE_LEVEL) {
    return file_.DeviceIoControlAsync(code, input, inputLength, outputLength, irql);
  }
  host::app::IoResult Call(ULONG code, const void* input = nullptr, ULONG inputLength = 0,
                           ULONG outputLength = 0, KIRQL irql = PASSIVE_LEVEL) {
    return Send(code, input, inputLength, outputLength, irql).Wait();
  }
  template <class In>
  host::app::IoResult Set(ULONG code, const In& input) {
    return Call(code, &input, sizeof(In), 0);
  }
  template <class Out>
  Out Get(ULONG code) {
    host::app::IoResult r = Call(code, nullptr, 0, sizeof(Out));
    EXPECT_EQ(r.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(r.information, sizeof(Out)) << std::hex << code;
    Out out{};
    if (r.output.size() >= sizeof(Out)) memcpy(&out, r.output.data(), sizeof(Out));
    return out;
  }

 private:
  porttest::PortTestbed& tb_;
  host::app::File file_;
};

// The bus trace of device 0 with only the class requests visible.
inline sim::TraceCursor ClassRequests(porttest::PortTestbed& tb) {
  sim::TraceCursor cursor = tb.fullTrace().CursorAtEnd();
  cursor.IgnoreBusDriver().IgnoreInTraffic().Ignore(
      {sim::TraceKind::ResetPipe, sim::TraceKind::AbortPipe, sim::TraceKind::OutSubmit,
       sim::TraceKind::OutDone});
  return cursor;
}

}  // namespace ioctltest

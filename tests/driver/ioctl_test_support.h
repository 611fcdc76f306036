// Shared by the control-request and write tests: a port to send control requests to.
#pragma once

#include <host_test.h>

#include <cstring>

#include "host/app.h"
#include "host/verifier.h"
#include "port_testbed.h"

namespace ioctltest {

// The port as the control and write tests use it. Until the driver's open exists it is opened
// white-box: DeviceOpen is set in the extension and requests go straight to the device object.
class ControlPort {
 public:
  explicit ControlPort(porttest::PortTestbed& tb) : tb_(tb) { SetOpen(true); }
  ~ControlPort() { SetOpen(false); }

  void SetOpen(bool open) { tb_.Ext()->DeviceOpen = open ? TRUE : FALSE; }

  host::app::Request Send(ULONG code, const void* input, ULONG inputLength, ULONG outputLength,
                          KIRQL irql = PASSIVE_LEVEL) {
    return host::app::SendRaw(tb_.fdo(), IRP_MJ_DEVICE_CONTROL, 0, code, input, inputLength,
                              outputLength, irql);
  }
  host::app::IoResult Call(ULONG code, const void* input, ULONG inputLength, ULONG outputLength,
                           KIRQL irql = PASSIVE_LEVEL) {
    return Send(code, input, inputLength, outputLength, irql).Wait();
  }

 private:
  porttest::PortTestbed& tb_;
};

}  // namespace ioctltest

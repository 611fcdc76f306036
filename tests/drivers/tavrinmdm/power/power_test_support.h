// Shared by the power tests (Power*): the power manager's log and the bus trace's power entries as
// readable lines, and a fixture on a started port with helpers that send system and device power
// requests and keep what the dispatch routine returned.
#pragma once

#include <host_test.h>

#include <string>
#include <vector>

#include "host/app.h"
#include "host/pnp.h"
#include "host/verifier.h"
#include "port_testbed.h"
#include "receive_test_support.h"
#include "sim/bus.h"
#include "sim/trace.h"
#include "tavrinmdm/power/power.h"
#include "tavrinmdm/usb/usb.h"

namespace powertest {

inline std::string StateText(POWER_STATE_TYPE type, ULONG state) {
  if (state == 0) return type == DevicePowerState ? "D-unspecified" : "S-unspecified";
  return (type == DevicePowerState ? "D" : "S") + std::to_string(state - 1);
}

inline std::string MinorText(UCHAR minor) {
  switch (minor) {
    case IRP_MN_SET_POWER:
      return "SET_POWER";
    case IRP_MN_QUERY_POWER:
      return "QUERY_POWER";
    case IRP_MN_WAIT_WAKE:
      return "WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE:
      return "POWER_SEQUENCE";
  }
  return "minor " + std::to_string(minor);
}

// "sent SET_POWER S3", "requested SET_POWER D3", "completed SET_POWER D3",
// "completed SET_POWER S0 -> STATUS_IO_DEVICE_ERROR" (a status only when it is not success).
inline std::vector<std::string> PowerLogLines() {
  std::vector<std::string> lines;
  for (const host::pnp::PowerEvent& e : host::pnp::PowerLog()) {
    const char* kind = e.kind == host::pnp::PowerEvent::Sent        ? "sent"
                       : e.kind == host::pnp::PowerEvent::Completed ? "completed"
                                                                    : "requested";
    ULONG state = e.type == DevicePowerState ? ULONG(e.state.DeviceState)
                                             : ULONG(e.state.SystemState);
    std::string line = std::string(kind) + " " + MinorText(e.minor);
    if (e.minor == IRP_MN_SET_POWER || e.minor == IRP_MN_QUERY_POWER) {
      line += " " + StateText(e.type, state);
    }
    if (e.kind == host::pnp::PowerEvent::Completed && e.status != STATUS_SUCCESS) {
      line += " -> " + sim::StatusName(e.status);
    }
    lines.push_back(line);
  }
  return lines;
}

// A cursor over the device's whole trace from now on.
inline sim::TraceCursor TraceFromHere(porttest::PortTestbed& tb, size_t i = 0) {
  return tb.fullTrace(i).CursorAtEnd();
}

// The same, showing only what reached the PDO as power requests.
inline sim::TraceCursor PowerTraceFromHere(porttest::PortTestbed& tb, size_t i = 0) {
  sim::TraceCursor c = tb.fullTrace(i).CursorAtEnd();
  c.Ignore({sim::TraceKind::Setup, sim::TraceKind::ResetPipe, sim::TraceKind::AbortPipe,
            sim::TraceKind::InSubmit, sim::TraceKind::InDone, sim::TraceKind::OutSubmit,
            sim::TraceKind::OutDone, sim::TraceKind::Refused, sim::TraceKind::Pnp,
            sim::TraceKind::Wmi, sim::TraceKind::Unplug, sim::TraceKind::Ioctl});
  return c;
}

struct Sent {
  NTSTATUS dispatch = STATUS_PENDING;  // what the top dispatch routine (DispatchPower) returned
  NTSTATUS status = STATUS_PENDING;    // the request's final status
};

class PowerFixture : public ::testing::Test {
 protected:
  explicit PowerFixture(porttest::PortTestbedOptions options = {}) : tb(std::move(options)) {
    rxtest::EnsureStarted(tb);
    host::pnp::ClearPowerLog();
  }

  PDEVICE_EXTENSION ext() { return tb.Ext(); }

  // A system power request as the power manager sends it, waited for (with the device requests
  // the driver asks for on the way).
  Sent System(UCHAR minor, SYSTEM_POWER_STATE state) {
    host::app::Request r = host::pnp::SendSystemPowerAsync(tb.pdo(), minor, state);
    Sent s;
    s.status = r.Wait().status;
    s.dispatch = r.DispatchStatus();
    tb.Pump();
    return s;
  }
  Sent SetSystem(SYSTEM_POWER_STATE state) { return System(IRP_MN_SET_POWER, state); }
  Sent QuerySystem(SYSTEM_POWER_STATE state) { return System(IRP_MN_QUERY_POWER, state); }

  // A device power request sent to the top of the stack, as another driver of the stack would ask
  // for one.
  NTSTATUS Device(UCHAR minor, DEVICE_POWER_STATE state) {
    NTSTATUS status = host::pnp::SendDevicePower(tb.pdo(), minor, state);
    tb.Pump();
    return status;
  }

  // The capabilities query the PnP manager sends before any power request; the driver keeps the
  // DeviceState table from it.
  void QueryCapabilities() {
    DEVICE_CAPABILITIES caps{};
    ASSERT_EQ(host::pnp::QueryCapabilities(tb.pdo(), &caps), STATUS_SUCCESS);
  }

  // The remove lock made to refuse every acquisition, as once a removal has begun, without a
  // removal: a hold of the test's own given back with release-and-wait. Restore() makes it
  // usable again so that the testbed can remove the device at the end.
  void RefuseRemoveLock() {
    ASSERT_EQ(IoAcquireRemoveLock(&ext()->RemoveLock, &removeTag), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&ext()->RemoveLock, &removeTag);
  }
  void RestoreRemoveLock() { IoInitializeRemoveLock(&ext()->RemoveLock, 0, 0, 0); }

  porttest::PortTestbed tb;
  int removeTag = 0;
};

}  // namespace powertest

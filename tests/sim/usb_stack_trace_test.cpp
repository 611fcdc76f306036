// The bus trace's lines and its cursor.

#include <gtest/gtest.h>

#include "sim/trace.h"

namespace sim {
namespace {

TraceEntry Entry(TraceKind kind) {
  TraceEntry e;
  e.kind = kind;
  return e;
}

TEST(UsbStackTrace, LinesOfEachKind) {
  TraceEntry setup = Entry(TraceKind::Setup);
  const uint8_t packet[8] = {0x21, 0x20, 0, 0, 0, 0, 7, 0};
  std::copy(packet, packet + 8, setup.setup);
  setup.data = {0x00, 0x08, 0x07, 0x00, 0x02, 0x00, 0x08};
  EXPECT_EQ(setup.ToString(), "SETUP 21 20 00 00 00 00 07 00 DATA 00 08 07 00 02 00 08");

  TraceEntry in = Entry(TraceKind::InSubmit);
  in.pipe = Pipe::Interrupt;
  in.length = 16;
  EXPECT_EQ(in.ToString(), "IN interrupt-in 16");

  TraceEntry cancelled = Entry(TraceKind::InDone);
  cancelled.status = STATUS_CANCELLED;
  cancelled.usbdStatus = USBD_STATUS_CANCELED;
  EXPECT_EQ(cancelled.ToString(), "IN-DONE bulk-in 0 -> STATUS_CANCELLED USBD_STATUS_CANCELED");

  TraceEntry refused = Entry(TraceKind::Refused);
  refused.hasPipe = true;
  refused.pipe = Pipe::BulkOut;
  refused.detail = "why";
  refused.status = STATUS_INVALID_PARAMETER;
  refused.usbdStatus = static_cast<USBD_STATUS>(0xC0001234);
  EXPECT_EQ(refused.ToString(), "REFUSED bulk-out: why -> STATUS_INVALID_PARAMETER USBD 0xC0001234");

  TraceEntry pnp = Entry(TraceKind::Pnp);
  pnp.detail = "START_DEVICE";
  pnp.status = static_cast<NTSTATUS>(0xC0009999);
  EXPECT_EQ(pnp.ToString(), "PNP START_DEVICE -> 0xC0009999");

  TraceEntry power = Entry(TraceKind::Power);
  power.minor = IRP_MN_SET_POWER;
  power.powerType = SystemPowerState;
  power.powerState = PowerSystemHibernate;
  EXPECT_EQ(power.ToString(), "POWER SET_POWER S4");
  power.powerType = DevicePowerState;
  power.powerState = PowerDeviceUnspecified;
  EXPECT_EQ(power.ToString(), "POWER SET_POWER D-unspecified");
  power.minor = IRP_MN_WAIT_WAKE;
  power.status = STATUS_NOT_SUPPORTED;
  EXPECT_EQ(power.ToString(), "POWER WAIT_WAKE -> STATUS_NOT_SUPPORTED");

  TraceEntry ioctl = Entry(TraceKind::Ioctl);
  ioctl.code = 0x220013;
  ioctl.status = STATUS_INVALID_DEVICE_REQUEST;
  EXPECT_EQ(ioctl.ToString(), "IOCTL 0x00220013 -> STATUS_INVALID_DEVICE_REQUEST");
  EXPECT_EQ(Entry(TraceKind::Unplug).ToString(), "UNPLUG");
  EXPECT_EQ(Entry(TraceKind::End).ToString(), "(end of trace)");

  TraceEntry longIn = Entry(TraceKind::InDone);
  longIn.length = 33;
  longIn.data.assign(33, 0xAB);
  EXPECT_EQ(longIn.ToString(),
            "IN-DONE bulk-in 33: AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB ... (+17)");
  // What a bounded trace keeps of it (its first 32 bytes) prints the same line.
  const std::string whole = longIn.ToString();
  longIn.data.resize(BusTrace::kBoundedData);
  EXPECT_EQ(longIn.ToString(), whole);
  longIn.length = 32;
  EXPECT_EQ(longIn.ToString().size(), std::string("IN-DONE bulk-in 32: ").size() + 32 * 3 - 1);
}

TEST(UsbStackTrace, CursorSkipsIgnoredKindsAndStopsAtTheEnd) {
  BusTrace trace;
  for (TraceKind k : {TraceKind::Pnp, TraceKind::ResetPipe, TraceKind::InSubmit,
                      TraceKind::InDone, TraceKind::AbortPipe, TraceKind::Power}) {
    trace.Record(Entry(k));
  }
  TraceCursor c = trace.Cursor();
  c.IgnoreBusDriver().IgnoreInTraffic();
  EXPECT_EQ(c.Peek().kind, TraceKind::ResetPipe);
  EXPECT_EQ(c.Next().kind, TraceKind::ResetPipe);
  EXPECT_FALSE(c.AtEnd());
  EXPECT_EQ(c.Next().kind, TraceKind::AbortPipe);
  EXPECT_TRUE(c.AtEnd());
  EXPECT_EQ(c.Next().kind, TraceKind::End);

  // A later entry shows up at the same cursor.
  trace.Record(Entry(TraceKind::Unplug));
  EXPECT_EQ(c.NextLine(), "UNPLUG");

  TraceCursor all = trace.Cursor();
  EXPECT_EQ(all.NextOf(TraceKind::InDone).sequence, 3u);
  EXPECT_EQ(all.Rest().size(), 3u);
  TraceCursor late = trace.CursorAtEnd();
  EXPECT_TRUE(late.AtEnd());
  trace.Record(Entry(TraceKind::Wmi));
  EXPECT_EQ(late.Next().kind, TraceKind::Wmi);
  EXPECT_EQ(trace.Count(TraceKind::InSubmit), 1u);
  EXPECT_EQ(trace.At(0).kind, TraceKind::Pnp);
  EXPECT_EQ(trace.At(100).kind, TraceKind::End);
  TraceCursor skip = trace.Cursor();
  skip.SeekEnd();
  EXPECT_TRUE(skip.AtEnd());
}

// A bounded trace (a device on real threads for a long time) keeps the latest entries, each
// with the bytes its line shows; sequence numbers and cursors go on as if nothing was dropped.
TEST(UsbStackTrace, ABoundedTraceKeepsTheLatestEntriesAndTheirLines) {
  BusTrace trace;
  trace.Record(Entry(TraceKind::Pnp));
  TraceCursor early = trace.Cursor();
  trace.Keep(3);
  EXPECT_EQ(trace.DataKept(4096), BusTrace::kBoundedData);
  std::vector<std::string> lines;
  for (uint32_t n = 1; n <= 5; ++n) {
    TraceEntry in = Entry(TraceKind::InDone);
    in.length = 4096 * n;
    in.data.assign(4096 * n, static_cast<uint8_t>(n));
    lines.push_back(in.ToString());
    trace.Record(in);
  }
  EXPECT_EQ(trace.Size(), 6u);
  EXPECT_EQ(trace.First(), 3u);
  EXPECT_EQ(trace.At(2).kind, TraceKind::End);
  EXPECT_EQ(trace.At(5).data.size(), BusTrace::kBoundedData);
  EXPECT_EQ(trace.Lines(), std::vector<std::string>(lines.begin() + 2, lines.end()));
  EXPECT_EQ(early.Next().sequence, 3u);  // the dropped ones are passed over
  EXPECT_EQ(early.NextLine(), lines[3]);
  EXPECT_EQ(trace.Count(TraceKind::InDone), 3u);
  trace.Keep(0);
  EXPECT_EQ(trace.DataKept(4096), 4096u);
}

TEST(UsbStackTrace, StatusNames) {
  EXPECT_EQ(StatusName(STATUS_DEVICE_NOT_CONNECTED), "STATUS_DEVICE_NOT_CONNECTED");
  EXPECT_EQ(UsbdStatusName(USBD_STATUS_DEVICE_GONE), "USBD_STATUS_DEVICE_GONE");
  EXPECT_EQ(UsbdStatusName(static_cast<USBD_STATUS>(0xC0000009)), "USBD_STATUS_DATA_UNDERRUN");
  EXPECT_EQ(PipeName(Pipe::Interrupt), std::string("interrupt-in"));
}

}  // namespace
}  // namespace sim

// Every serial control code: its length check, its values, and the class requests it sends.

#include <map>

#include "ioctl_test_support.h"

namespace {

using porttest::PortTestbed;
using ioctltest::ControlPort;

// The settings a control request may change, read white-box.
struct Settings {
  SERIAL_TIMEOUTS timeouts;
  ULONG baudRate;
  SERIAL_LINE_CONTROL lineControl;
  SERIAL_HANDFLOW handFlow;
  SERIAL_CHARS chars;
  ULONG waitMask;
  ULONG eventHistory;
  SERIALPERF_STATS stats;
  ULONG amountInOutQueue;
  USHORT modemStatus;
  USHORT controlLines;
  LONG ringCount;

  static Settings Of(PDEVICE_EXTENSION e) {
    Settings s;
    memset(&s, 0, sizeof s);
    s.timeouts = e->Timeouts;
    s.baudRate = e->BaudRate;
    s.lineControl = e->LineControl;
    s.handFlow = e->HandFlow;
    s.chars = e->SpecialChars;
    s.waitMask = e->WaitMask;
    s.eventHistory = e->EventHistory;
    s.stats = e->PerfStats;
    s.amountInOutQueue = e->AmountInOutQueue;
    s.modemStatus = e->ModemStatus;
    s.controlLines = e->ControlLineState;
    s.ringCount = e->RingCount;
    return s;
  }
  bool operator==(const Settings& o) const { return memcmp(this, &o, sizeof o) == 0; }
};

// "SETUP 21 20 00 00 00 00 07 00 DATA <rate> <stop> <parity> <bits>"
std::string LineCodingLine(ULONG rate, UCHAR stop, UCHAR parity, UCHAR bits) {
  uint8_t block[7] = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8),
                      static_cast<uint8_t>(rate >> 16), static_cast<uint8_t>(rate >> 24), stop,
                      parity, bits};
  return "SETUP 21 20 00 00 00 00 07 00 DATA " + sim::HexBytes(block, 7);
}

std::string LineStateLine(USHORT value) {
  uint8_t setup[8] = {0x21, 0x22, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                      0, 0, 0, 0};
  return "SETUP " + sim::HexBytes(setup, 8);
}

class IoctlCodes : public ::testing::Test {
 protected:
  PortTestbed tb;
  ControlPort port{tb};
  PDEVICE_EXTENSION ext = tb.Ext();
  sim::TraceCursor bus = ioctltest::ClassRequests(tb);
};

struct Need {
  ULONG code;
  const char* name;
  bool input;  // else output
  ULONG length;
};

const Need kNeeds[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE", true, 4},
    {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL", true, 3},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR", true, 1},
    {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS", true, 20},
    {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS", false, 20},
    {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK", false, 4},
    {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK", true, 4},
    {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK", false, 4},
    {IOCTL_SERIAL_PURGE, "PURGE", true, 4},
    {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE", false, 4},
    {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL", false, 3},
    {IOCTL_SERIAL_GET_CHARS, "GET_CHARS", false, 6},
    {IOCTL_SERIAL_SET_CHARS, "SET_CHARS", true, 6},
    {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW", false, 16},
    {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW", true, 16},
    {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS", false, 4},
    {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS", false, 20},
    {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES", false, 64},
    {IOCTL_SERIAL_GET_STATS, "GET_STATS", false, 24},
};

TEST_F(IoctlCodes, EveryCodeOneByteShortOfItsNeedIsRefusedAndChangesNothing) {
  // State worth protecting: a wait mask, received bytes, a stored rate, statistics.
  ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);
  tb.modem().PushBulkIn("received");
  tb.Pump();
  ASSERT_EQ(port.file().Write("sent", 4).status, STATUS_SUCCESS);
  bus.SeekEnd();
  size_t traceSize = tb.fullTrace().Size();
  Settings before = Settings::Of(ext);

  // Input that would change every setting if it were read (purge everything, wait for all).
  uint8_t input[64];
  memset(input, 0x01, sizeof input);
  memcpy(input, "\x01\x08\x00\x00", 4);  // 0x801 as a rate or mask, and 1, 8, 0 as line control

  for (const Need& need : kNeeds) {
    SCOPED_TRACE(need.name);
    ULONG in = need.input ? need.length - 1 : 0;
    ULONG out = need.input ? 0 : need.length - 1;
    auto r = port.Call(need.code, input, in, out);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(r.output.empty());
    tb.Pump();
    EXPECT_TRUE(Settings::Of(ext) == before);
    EXPECT_EQ(tb.fullTrace().Size(), traceSize) << tb.fullTrace().Dump();
  }
}

TEST_F(IoctlCodes, EveryCodeWithExactlyItsNeedIsServed) {
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);
  uint8_t input[64] = {};
  ULONG rate = 300;
  memcpy(input, &rate, 4);  // a valid rate (300), wait mask and purge mask (0x12C)
  for (const Need& need : kNeeds) {
    SCOPED_TRACE(need.name);
    if (need.code == IOCTL_SERIAL_WAIT_ON_MASK || need.code == IOCTL_SERIAL_SET_LINE_CONTROL) {
      continue;  // their own tests; a wait would pend here
    }
    ULONG in = need.input ? need.length : 0;
    ULONG out = need.input ? 0 : need.length;
    auto r = port.Call(need.code, input, in, out);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, need.input ? (need.code == IOCTL_SERIAL_SET_WAIT_MASK ? 4u : 0u)
                                        : need.length);
  }
}

TEST_F(IoctlCodes, CodesThatDoNothingSucceedWithInformationZero) {
  const ULONG codes[] = {IOCTL_SERIAL_SET_QUEUE_SIZE,     IOCTL_SERIAL_SET_BREAK_ON,
                         IOCTL_SERIAL_SET_BREAK_OFF,      IOCTL_SERIAL_XOFF_COUNTER,
                         IOCTL_SERIAL_GET_DTRRTS,         IOCTL_SERIAL_LSRMST_INSERT,
                         IOCTL_SERIAL_CONFIG_SIZE,        IOCTL_SERIAL_GET_MODEM_CONTROL,
                         IOCTL_SERIAL_SET_MODEM_CONTROL,  IOCTL_SERIAL_SET_FIFO_CONTROL};
  Settings before = Settings::Of(ext);
  uint8_t input[16] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (ULONG code : codes) {
    SCOPED_TRACE(code);
    // Without buffers, and with buffers that are neither read nor written.
    auto r = port.Call(code);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    r = port.Call(code, input, sizeof input, 16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_TRUE(Settings::Of(ext) == before);
  EXPECT_TRUE(bus.AtEnd()) << bus.Peek().ToString();
}

TEST_F(IoctlCodes, UnservedCodesAreInvalidParameters) {
  const ULONG codes[] = {IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON,
                         IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG,
                         CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS),
                         CTL_CODE(0x22, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)};
  Settings before = Settings::Of(ext);
  uint8_t buffer[64] = {};
  for (ULONG code : codes) {
    SCOPED_TRACE(code);
    auto r = port.Call(code, buffer, sizeof buffer, sizeof buffer);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_TRUE(Settings::Of(ext) == before);
  EXPECT_TRUE(bus.AtEnd());
}

TEST_F(IoctlCodes, EachOfTheSixteenRatesIsStoredAndSentAsLineCoding) {
  const ULONG rates[] = {300,   600,   1200,  1800,   2400,   4800,   7200,   9600,
                         14400, 19200, 38400, 57600, 115200, 128000, 230400, 460800};
  for (ULONG rate : rates) {
    SCOPED_TRACE(rate);
    SERIAL_BAUD_RATE b{rate};
    auto r = port.Set(IOCTL_SERIAL_SET_BAUD_RATE, b);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(bus.NextLine(), LineCodingLine(rate, 2, 0, 8));
    EXPECT_EQ(port.Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, rate);
  }
  EXPECT_TRUE(bus.AtEnd());
  EXPECT_EQ(tb.modem().LineCodings().back(), (sim::LineCoding{460800, 2, 0, 8}));
}

TEST_F(IoctlCodes, OtherRatesAreRefusedAndTheRateStays) {
  SERIAL_BAUD_RATE b{9600};
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_BAUD_RATE, b).status, STATUS_SUCCESS);
  bus.SeekEnd();
  for (ULONG rate : {0u, 75u, 110u, 134u, 150u, 56000u, 921600u, 9601u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(rate);
    SERIAL_BAUD_RATE bad{rate};
    auto r = port.Set(IOCTL_SERIAL_SET_BAUD_RATE, bad);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(port.Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u);
  }
  EXPECT_TRUE(bus.AtEnd()) << bus.Peek().ToString();
}

TEST_F(IoctlCodes, ARateTheModemDoesNotTakeFailsButStaysStored) {
  tb.usb().FailNextClassRequest(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  SERIAL_BAUD_RATE b{19200};
  auto r = port.Set(IOCTL_SERIAL_SET_BAUD_RATE, b);
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(port.Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u);
}

TEST_F(IoctlCodes, LineControlWithinItsLimitsIsStoredAndSent) {
  SERIAL_BAUD_RATE b{115200};
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_BAUD_RATE, b).status, STATUS_SUCCESS);
  bus.SeekEnd();
  for (UCHAR bits = 5; bits <= 8; ++bits) {
    for (UCHAR stop = 0; stop <= 2; ++stop) {
      for (UCHAR parity = 0; parity <= 4; ++parity) {
        SERIAL_LINE_CONTROL lc{stop, parity, bits};
        auto r = port.Set(IOCTL_SERIAL_SET_LINE_CONTROL, lc);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(bus.NextLine(), LineCodingLine(115200, stop, parity, bits));
        auto got = port.Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
        EXPECT_EQ(got.StopBits, stop);
        EXPECT_EQ(got.Parity, parity);
        EXPECT_EQ(got.WordLength, bits);
      }
    }
  }
}

TEST_F(IoctlCodes, LineControlOutsideItsLimitsIsRefusedAndSendsNothing) {
  const SERIAL_LINE_CONTROL bad[] = {{0, 0, 4}, {0, 0, 9}, {3, 0, 8}, {0, 5, 8}, {0xFF, 0, 8},
                                     {0, 0, 0}};
  Settings before = Settings::Of(ext);
  for (const SERIAL_LINE_CONTROL& lc : bad) {
    auto r = port.Set(IOCTL_SERIAL_SET_LINE_CONTROL, lc);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_TRUE(Settings::Of(ext) == before);
  EXPECT_TRUE(bus.AtEnd());
}

TEST_F(IoctlCodes, LineControlReportsTheModemsRefusalAndKeepsTheValues) {
  tb.usb().FailNextClassRequest(STATUS_IO_DEVICE_ERROR, USBD_STATUS_STALL_PID);
  SERIAL_LINE_CONTROL lc{0, 2, 7};
  EXPECT_EQ(port.Set(IOCTL_SERIAL_SET_LINE_CONTROL, lc).status, STATUS_IO_DEVICE_ERROR);
  auto got = port.Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
  EXPECT_EQ(got.Parity, 2);
  EXPECT_EQ(got.WordLength, 7);
}

TEST_F(IoctlCodes, AnOpenStartsWithBothLinesOnAndEachCodeChangesOnlyItsOwn) {
  EXPECT_EQ(ext->ControlLineState, LINE_STATE_DTR | LINE_STATE_RTS);
  struct Step {
    ULONG code;
    USHORT sent;
  } steps[] = {
      {IOCTL_SERIAL_CLR_DTR, 0x0002}, {IOCTL_SERIAL_CLR_RTS, 0x0000},
      {IOCTL_SERIAL_SET_RTS, 0x0002}, {IOCTL_SERIAL_SET_RTS, 0x0002},
      {IOCTL_SERIAL_SET_DTR, 0x0003}, {IOCTL_SERIAL_CLR_RTS, 0x0001},
      {IOCTL_SERIAL_CLR_DTR, 0x0000}, {IOCTL_SERIAL_SET_DTR, 0x0001},
  };
  for (const Step& step : steps) {
    auto r = port.Call(step.code);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(bus.NextLine(), LineStateLine(step.sent));
    EXPECT_EQ(ext->ControlLineState, step.sent);
  }
  EXPECT_EQ(tb.modem().ControlLineStates().back(), 0x0001);
}

TEST_F(IoctlCodes, TheLinesDoNotFollowTheModemsInputs) {
  // DCD and DSR are inputs: reporting them changes neither output line.
  tb.modem().PushSerialState(0x03);  // DCD and DSR on
  tb.Pump();
  ASSERT_EQ(ext->ModemStatus & 0xA0, 0xA0);
  EXPECT_EQ(port.Call(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.NextLine(), LineStateLine(0x0001));
  tb.modem().PushSerialState(0x00);
  tb.Pump();
  EXPECT_EQ(port.Call(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.NextLine(), LineStateLine(0x0003));
  EXPECT_EQ(ext->ModemStatus & 0xA0, 0);
}

TEST_F(IoctlCodes, ALineStateTheModemRefusesIsNotReported) {
  tb.usb().FailNextClassRequest(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  auto r = port.Call(IOCTL_SERIAL_CLR_DTR);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(ext->ControlLineState, LINE_STATE_RTS);
}

TEST_F(IoctlCodes, ALineRequestOvertakenByAnotherSendsTheLatestLevelsAgain) {
  // Both requests wait in the modem's control pipe; the first one's value (0x2) reaches the
  // modem after the record has already moved on to 0x0, so it sends 0x0 again.
  tb.usb().HoldControl();
  auto clrDtr = tb.session().Spawn("clr-dtr", [&] { port.Call(IOCTL_SERIAL_CLR_DTR); });
  auto clrRts = tb.session().Spawn("clr-rts", [&] { port.Call(IOCTL_SERIAL_CLR_RTS); });
  EXPECT_EQ(tb.usb().HeldControlRequests(), 2u);
  tb.usb().ReleaseControl();
  clrDtr->Join();
  clrRts->Join();
  EXPECT_EQ(bus.NextLine(), LineStateLine(0x0002));
  EXPECT_EQ(bus.NextLine(), LineStateLine(0x0000));
  EXPECT_EQ(bus.NextLine(), LineStateLine(0x0000));
  EXPECT_TRUE(bus.AtEnd());
  EXPECT_EQ(tb.modem().ControlLineStates().back(), 0x0000);
}

TEST_F(IoctlCodes, TimeoutsCharsAndHandflowAreStoredAsGiven) {
  SERIAL_TIMEOUTS t{0xFFFFFFFF, 0xFFFFFFFF, 500, 7, 8};
  EXPECT_EQ(port.Set(IOCTL_SERIAL_SET_TIMEOUTS, t).status, STATUS_SUCCESS);
  auto gt = port.Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(memcmp(&gt, &t, sizeof t), 0);

  SERIAL_CHARS c{0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13};
  EXPECT_EQ(port.Set(IOCTL_SERIAL_SET_CHARS, c).status, STATUS_SUCCESS);
  auto gc = port.Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
  EXPECT_EQ(memcmp(&gc, &c, sizeof c), 0);

  // Only the handshake and flow words are taken; the limits are ignored.
  SERIAL_HANDFLOW h{SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 100, 200};
  EXPECT_EQ(port.Set(IOCTL_SERIAL_SET_HANDFLOW, h).status, STATUS_SUCCESS);
  auto gh = port.Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
  EXPECT_EQ(gh.ControlHandShake, h.ControlHandShake);
  EXPECT_EQ(gh.FlowReplace, h.FlowReplace);
  EXPECT_EQ(gh.XonLimit, 0);
  EXPECT_EQ(gh.XoffLimit, 0);
  EXPECT_TRUE(bus.AtEnd());
}

TEST_F(IoctlCodes, ModemStatusIsReportedZeroExtended) {
  // The open marks DSR; a notification with DCD and DSR adds DCD.
  EXPECT_EQ(port.Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), 0x20u);
  tb.modem().PushSerialState(0x03);
  tb.Pump();
  EXPECT_EQ(port.Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), ULONG{ext->ModemStatus});
  EXPECT_EQ(port.Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS) & 0xFFFFFF00u, 0u);
  EXPECT_EQ(port.Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS) & 0xA0u, 0xA0u);
}

TEST_F(IoctlCodes, PropertiesHaveExactlyTheirFixedValues) {
  auto p = port.Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
  EXPECT_EQ(p.PacketLength, 64);
  EXPECT_EQ(p.PacketVersion, 2);
  EXPECT_EQ(p.ServiceMask, 0x1u);
  EXPECT_EQ(p.Reserved1, 0u);
  EXPECT_EQ(p.MaxTxQueue, 0u);
  EXPECT_EQ(p.MaxRxQueue, 0u);
  EXPECT_EQ(p.MaxBaud, 0x10000000u);
  EXPECT_EQ(p.ProvSubType, 0x1u);
  EXPECT_EQ(p.ProvCapabilities, 0xCFu);
  EXPECT_EQ(p.SettableParams, 0x7Fu);
  EXPECT_EQ(p.SettableBaud, 0x1007FFFFu);
  EXPECT_EQ(p.SettableData, 0x000F);
  EXPECT_EQ(p.SettableStopParity, 0x1F07);
  EXPECT_EQ(p.CurrentTxQueue, 0u);
  EXPECT_EQ(p.CurrentRxQueue, 1024000u);
  EXPECT_EQ(p.ProvSpec1, 0u);
  EXPECT_EQ(p.ProvSpec2, 0u);
  EXPECT_EQ(p.ProvChar[0], 0);
}

TEST_F(IoctlCodes, StatisticsCountBytesReadAndWrittenAndClear) {
  ASSERT_EQ(port.Call(IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
  tb.modem().PushBulkIn(std::string(1000, 'r'));
  tb.Pump();
  EXPECT_EQ(port.Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, 0u)
      << "counts bytes delivered to reads, not bytes received";
  ASSERT_EQ(port.file().Read(600).information, 600u);
  ASSERT_EQ(port.file().Read(600).information, 400u);
  std::string out(500, 'w');
  ASSERT_EQ(port.file().Write(out.data(), 500).information, 500u);

  auto s = port.Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
  EXPECT_EQ(s.ReceivedCount, 1000u);
  EXPECT_EQ(s.TransmittedCount, 500u);
  EXPECT_EQ(s.FrameErrorCount, 0u);
  EXPECT_EQ(s.SerialOverrunErrorCount, 0u);
  EXPECT_EQ(s.BufferOverrunErrorCount, 0u);
  EXPECT_EQ(s.ParityErrorCount, 0u);

  auto r = port.Call(IOCTL_SERIAL_CLEAR_STATS);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  s = port.Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
  SERIALPERF_STATS zero{};
  EXPECT_EQ(memcmp(&s, &zero, sizeof s), 0);
}

TEST_F(IoctlCodes, CommunicationStatusReportsTheBytesEachWayAndNoErrors) {
  tb.modem().PushBulkIn(std::string(3000, 'r'));
  tb.Pump();
  tb.usb().Hold(sim::Pipe::BulkOut);
  std::string out(5000, 'w');
  auto w1 = port.file().WriteAsync(out.data(), 5000);
  auto w2 = port.file().WriteAsync(out.data(), 700);
  UCHAR x = 'x';
  auto immediate = port.Send(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);

  auto s = port.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(s.Errors, 0u);
  EXPECT_EQ(s.HoldReasons, 0u);
  EXPECT_EQ(s.AmountInInQueue, 3000u);
  EXPECT_EQ(s.AmountInOutQueue, 5701u);
  EXPECT_EQ(s.EofReceived, 0);
  EXPECT_EQ(s.WaitForImmediate, 0);

  // Exactly what a read can take at once.
  EXPECT_EQ(port.file().Read(10000).information, 3000u);
  tb.usb().Release(sim::Pipe::BulkOut);
  w1.Wait();
  w2.Wait();
  immediate.Wait();
  s = port.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(s.AmountInInQueue, 0u);
  EXPECT_EQ(s.AmountInOutQueue, 0u);
}

TEST_F(IoctlCodes, SettingsLiveUntilTheNextOpenExceptTimeoutsAndStatistics) {
  SERIAL_BAUD_RATE b{9600};
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_BAUD_RATE, b).status, STATUS_SUCCESS);
  SERIAL_TIMEOUTS t{1, 2, 3, 4, 5};
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_TIMEOUTS, t).status, STATUS_SUCCESS);
  ASSERT_EQ(port.Call(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
  ASSERT_EQ(port.file().Write("abc", 3).status, STATUS_SUCCESS);
  ASSERT_EQ(port.file().Close(), STATUS_SUCCESS);
  EXPECT_EQ(ext->ControlLineState, 0) << "the close dropped both lines";

  ioctltest::ControlPort again(tb);
  EXPECT_EQ(again.Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 460800u);
  auto gt = again.Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(memcmp(&gt, &t, sizeof t), 0);
  EXPECT_EQ(again.Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 3u);
  EXPECT_EQ(ext->ControlLineState, LINE_STATE_DTR | LINE_STATE_RTS);
  bus.SeekEnd();
  ASSERT_EQ(again.Call(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.NextLine(), LineStateLine(0x0001));
}

TEST_F(IoctlCodes, AfterTheCloseHasBegunControlRequestsAreRefused) {
  // A kernel client's request sent while the handle's close is under way.
  tb.usb().HoldControl();
  auto close = tb.session().Spawn("close", [&] { port.file().Close(); });
  ASSERT_FALSE(close->Finished());
  auto r = host::app::SendRaw(tb.fdo(), IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_GET_BAUD_RATE,
                              nullptr, 0, 4)
               .Wait();
  EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
  tb.usb().ReleaseControl();
  close->Join();
}

}  // namespace

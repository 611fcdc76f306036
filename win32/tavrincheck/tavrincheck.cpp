// tavrincheck: checks a modem port of this driver from the command line, on Windows 2000 and XP.
//
//   tavrincheck [COMn] [--echo NUMBER] [--hold SECONDS]
//
// Lists the serial ports the hardware device map names (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM),
// opens the one named, or the only port of this driver (a value named \Device\TAVRINMDMn), sets
// 115200 baud 8N1 and timeouts, sends ATZ and ATI and prints the answers, shows the modem lines,
// the comm status and the driver's statistics. With --echo NUMBER it dials NUMBER (an echo peer),
// sends a block of data with overlapped WriteFile while an overlapped ReadFile takes the echo,
// compares it, and hangs up. With --hold SECONDS it then keeps the port open with a read pending
// and waits up to SECONDS for the modem to be unplugged: the read must end, the next request fail
// and the handle still close (a surprise removal seen from the application). It ends with one
// verdict line; exit status 0 when every step
// worked, 1 otherwise. Every failure names the call and the Windows error.
//
// Built without a C run-time library: it imports kernel32.dll and advapi32.dll only, and only
// functions that Windows 2000 exports (win32/tavrincheck/imports).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The serial statistics request (ntddser.h): CTL_CODE(FILE_DEVICE_SERIAL_PORT, 35,
// METHOD_BUFFERED, FILE_ANY_ACCESS), answered with SERIALPERF_STATS.
#define TAVRIN_IOCTL_SERIAL_GET_STATS 0x001B008Cu
struct SerialPerfStats {
  DWORD ReceivedCount;
  DWORD TransmittedCount;
  DWORD FrameErrorCount;
  DWORD SerialOverrunErrorCount;
  DWORD BufferOverrunErrorCount;
  DWORD ParityErrorCount;
};

// Without a C run-time library the compiler's own calls for block copies land here.
extern "C" void* memset(void* dest, int value, unsigned int count) {
  unsigned char* d = static_cast<unsigned char*>(dest);
  while (count--) *d++ = static_cast<unsigned char>(value);
  return dest;
}
extern "C" void* memcpy(void* dest, const void* src, unsigned int count) {
  unsigned char* d = static_cast<unsigned char*>(dest);
  const unsigned char* s = static_cast<const unsigned char*>(src);
  while (count--) *d++ = *s++;
  return dest;
}

namespace {

HANDLE gOut = INVALID_HANDLE_VALUE;

unsigned Length(const char* s) {
  unsigned n = 0;
  while (s[n]) ++n;
  return n;
}

void Put(const char* text, unsigned length) {
  DWORD written = 0;
  if (gOut != INVALID_HANDLE_VALUE && gOut != NULL) WriteFile(gOut, text, length, &written, NULL);
}
void Put(const char* text) { Put(text, Length(text)); }

void PutNumber(unsigned long value) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  char out[12];
  for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  Put(out, n);
}

void PutHex(unsigned long value) {
  char out[10] = {'0', 'x'};
  for (int i = 0; i < 8; ++i) out[2 + i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 0xF];
  Put(out, 10);
}

// Bytes from the modem as a line: CR and LF shown, other control bytes as <hex>.
void PutAnswer(const char* data, unsigned length) {
  for (unsigned i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == '\r') Put("\\r");
    else if (c == '\n') Put("\\n");
    else if (c >= 0x20 && c < 0x7F) Put(&data[i], 1);
    else { Put("<"); PutHex(c); Put(">"); }
  }
}

bool Equal(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

bool StartsWith(const char* s, const char* prefix) {
  while (*prefix) {
    char c = *s++;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *prefix++) return false;
  }
  return true;
}

bool Contains(const char* data, unsigned length, const char* what) {
  unsigned n = Length(what);
  for (unsigned i = 0; i + n <= length; ++i) {
    unsigned j = 0;
    while (j < n && data[i + j] == what[j]) ++j;
    if (j == n) return true;
  }
  return false;
}

void Copy(char* to, unsigned size, const char* from) {
  unsigned i = 0;
  for (; i + 1 < size && from[i]; ++i) to[i] = from[i];
  to[i] = 0;
}

// A failed call: its name and the Windows error, then the verdict.
[[noreturn]] void Fail(const char* call, DWORD error) {
  Put("  FAILED: ");
  Put(call);
  Put(" (Windows error ");
  PutNumber(error);
  Put(")\r\n");
  Put("tavrincheck: FAIL: ");
  Put(call);
  Put(" failed with error ");
  PutNumber(error);
  Put("\r\n");
  ExitProcess(1);
}

[[noreturn]] void FailWith(const char* what) {
  Put("tavrincheck: FAIL: ");
  Put(what);
  Put("\r\n");
  ExitProcess(1);
}

// ---- The command line -------------------------------------------------------------------------
struct Options {
  char port[32];
  char echo[32];
  DWORD holdSeconds;
};

// A decimal number of at most six digits, or -1.
long Number(const char* word) {
  long value = 0;
  unsigned digits = 0;
  for (; *word; ++word, ++digits) {
    if (*word < '0' || *word > '9' || digits == 6) return -1;
    value = value * 10 + (*word - '0');
  }
  return digits ? value : -1;
}

// The next word of the command line (quotes group, as the run-time library's parser would).
const char* NextWord(const char* p, char* word, unsigned size) {
  while (*p == ' ' || *p == '\t') ++p;
  unsigned n = 0;
  bool quoted = false;
  while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
    if (*p == '"') quoted = !quoted;
    else if (n + 1 < size) word[n++] = *p;
    ++p;
  }
  word[n] = 0;
  return p;
}

Options ParseCommandLine() {
  Options options;
  options.port[0] = options.echo[0] = 0;
  options.holdSeconds = 0;
  char word[64];
  const char* p = NextWord(GetCommandLineA(), word, sizeof(word));  // the program's own name
  for (;;) {
    p = NextWord(p, word, sizeof(word));
    if (!word[0]) break;
    if (Equal(word, "--echo")) {
      p = NextWord(p, options.echo, sizeof(options.echo));
      if (!options.echo[0]) FailWith("--echo needs a number to dial");
    } else if (Equal(word, "--hold")) {
      p = NextWord(p, word, sizeof(word));
      long seconds = Number(word);
      if (seconds <= 0) FailWith("--hold needs a number of seconds (1 to 999999)");
      options.holdSeconds = static_cast<DWORD>(seconds);
    } else if (Equal(word, "--help") || Equal(word, "/?")) {
      Put("Usage: tavrincheck [COMn] [--echo NUMBER] [--hold SECONDS]\r\n"
          "Checks a modem port of the tavrinmdm driver: ATZ, ATI, modem lines, status and\r\n"
          "statistics; with --echo, a dial-up to NUMBER and an echo of 4096 bytes; with\r\n"
          "--hold, the port kept open with a read pending until the modem is unplugged.\r\n");
      ExitProcess(0);
    } else if (StartsWith(word, "COM") && !options.port[0]) {
      Copy(options.port, sizeof(options.port), word);
    } else {
      Put("unknown argument: ");
      Put(word);
      Put("\r\n");
      FailWith("usage: tavrincheck [COMn] [--echo NUMBER] [--hold SECONDS]");
    }
  }
  return options;
}

// ---- Ports ------------------------------------------------------------------------------------
// Lists HKLM\HARDWARE\DEVICEMAP\SERIALCOMM and picks the port: the one named, or the only one
// whose device is this driver's.
void ChoosePort(Options& options) {
  HKEY key;
  LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                             &key);
  if (error != ERROR_SUCCESS) Fail("RegOpenKeyExA(HARDWARE\\DEVICEMAP\\SERIALCOMM)", error);
  Put("Serial ports (HARDWARE\\DEVICEMAP\\SERIALCOMM):\r\n");
  char ours[32];
  ours[0] = 0;
  int oursCount = 0;
  bool named = false;
  for (DWORD index = 0;; ++index) {
    char device[128];
    char port[32];
    DWORD deviceLength = sizeof(device), portLength = sizeof(port) - 1, type = 0;
    error = RegEnumValueA(key, index, device, &deviceLength, NULL, &type,
                          reinterpret_cast<BYTE*>(port), &portLength);
    if (error == ERROR_NO_MORE_ITEMS) break;
    if (error != ERROR_SUCCESS) {
      RegCloseKey(key);
      Fail("RegEnumValueA(HARDWARE\\DEVICEMAP\\SERIALCOMM)", error);
    }
    if (type != REG_SZ) continue;
    port[portLength < sizeof(port) ? portLength : sizeof(port) - 1] = 0;
    bool mine = StartsWith(device, "\\DEVICE\\TAVRINMDM");
    Put("  ");
    Put(port);
    Put("  ");
    Put(device);
    Put(mine ? "  (this driver)\r\n" : "\r\n");
    if (mine) {
      ++oursCount;
      Copy(ours, sizeof(ours), port);
    }
    if (options.port[0] && Equal(port, options.port)) named = true;
  }
  RegCloseKey(key);
  if (options.port[0]) {
    if (!named) FailWith("the port named is not in HARDWARE\\DEVICEMAP\\SERIALCOMM");
    return;
  }
  if (oursCount == 0) FailWith("no port of this driver (is the modem plugged in?)");
  if (oursCount > 1) FailWith("several ports of this driver: name one (tavrincheck COMn)");
  Copy(options.port, sizeof(options.port), ours);
}

// ---- Transfers --------------------------------------------------------------------------------
// One overlapped transfer, waited for: the handle is opened for overlapped I/O.
DWORD Transfer(HANDLE port, HANDLE event, bool write, void* buffer, DWORD length) {
  OVERLAPPED ov;
  memset(&ov, 0, sizeof(ov));
  ov.hEvent = event;
  DWORD done = 0;
  BOOL ok = write ? WriteFile(port, buffer, length, &done, &ov)
                  : ReadFile(port, buffer, length, &done, &ov);
  if (!ok) {
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) Fail(write ? "WriteFile" : "ReadFile", error);
    if (!GetOverlappedResult(port, &ov, &done, TRUE)) {
      Fail(write ? "GetOverlappedResult(WriteFile)" : "GetOverlappedResult(ReadFile)",
           GetLastError());
    }
  }
  return done;
}

// Sends a command and collects the answer until one of the final result codes, or until the
// reads (each ending at most a second after the last byte) have brought nothing for `rounds`.
unsigned Command(HANDLE port, HANDLE event, const char* command, char* answer, unsigned size,
                 int rounds) {
  char line[40];
  Copy(line, sizeof(line) - 1, command);
  unsigned n = Length(line);
  line[n++] = '\r';
  if (Transfer(port, event, true, line, n) != n) FailWith("a command was not written whole");
  unsigned got = 0;
  for (int quiet = 0; quiet < rounds && got < size;) {
    DWORD r = Transfer(port, event, false, answer + got, size - got);
    got += r;
    quiet = r ? 0 : quiet + 1;
    if (Contains(answer, got, "OK\r\n") || Contains(answer, got, "ERROR") ||
        Contains(answer, got, "CONNECT") || Contains(answer, got, "NO CARRIER") ||
        Contains(answer, got, "BUSY") || Contains(answer, got, "NO DIALTONE")) {
      break;
    }
  }
  Put("  ");
  Put(command);
  Put(" -> ");
  PutAnswer(answer, got);
  Put("\r\n");
  return got;
}

void Pause(HANDLE event, DWORD milliseconds) {
  ResetEvent(event);
  WaitForSingleObject(event, milliseconds);  // nothing sets it: a pause
}

void ShowStatus(HANDLE port) {
  DWORD modem = 0;
  if (!GetCommModemStatus(port, &modem)) Fail("GetCommModemStatus", GetLastError());
  Put("Modem lines: CTS ");
  Put(modem & MS_CTS_ON ? "on" : "off");
  Put(", DSR ");
  Put(modem & MS_DSR_ON ? "on" : "off");
  Put(", RING ");
  Put(modem & MS_RING_ON ? "on" : "off");
  Put(", RLSD (carrier) ");
  Put(modem & MS_RLSD_ON ? "on" : "off");
  Put("\r\n");
  DWORD errors = 0;
  COMSTAT stat;
  if (!ClearCommError(port, &errors, &stat)) Fail("ClearCommError", GetLastError());
  Put("Comm status: errors ");
  PutHex(errors);
  Put(", ");
  PutNumber(stat.cbInQue);
  Put(" bytes received and not read, ");
  PutNumber(stat.cbOutQue);
  Put(" bytes not yet sent\r\n");
  SerialPerfStats stats;
  memset(&stats, 0, sizeof(stats));
  DWORD returned = 0;
  if (!DeviceIoControl(port, TAVRIN_IOCTL_SERIAL_GET_STATS, NULL, 0, &stats, sizeof(stats),
                       &returned, NULL)) {
    Fail("DeviceIoControl(IOCTL_SERIAL_GET_STATS)", GetLastError());
  }
  Put("Statistics: received ");
  PutNumber(stats.ReceivedCount);
  Put(", transmitted ");
  PutNumber(stats.TransmittedCount);
  Put(", framing errors ");
  PutNumber(stats.FrameErrorCount);
  Put(", overruns ");
  PutNumber(stats.SerialOverrunErrorCount + stats.BufferOverrunErrorCount);
  Put(", parity errors ");
  PutNumber(stats.ParityErrorCount);
  Put("\r\n");
}

// Dials the echo peer, sends a block with an overlapped write while an overlapped read takes
// the echo, compares, and hangs up with the guarded escape and ATH.
void EchoTest(HANDLE port, HANDLE event, const char* number) {
  char answer[256];
  char dial[40] = "ATDT";
  Copy(dial + 4, sizeof(dial) - 4, number);
  unsigned n = Command(port, event, dial, answer, sizeof(answer), 30);
  if (!Contains(answer, n, "CONNECT")) FailWith("the dial-up did not connect");

  static char sent[4096];
  static char back[4096];
  for (unsigned i = 0; i < sizeof(sent); ++i) sent[i] = static_cast<char>(i * 7 + i / 251);
  HANDLE readEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE writeEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!readEvent || !writeEvent) Fail("CreateEventA", GetLastError());
  OVERLAPPED wov;
  memset(&wov, 0, sizeof(wov));
  wov.hEvent = writeEvent;
  DWORD written = 0;
  if (!WriteFile(port, sent, sizeof(sent), &written, &wov) && GetLastError() != ERROR_IO_PENDING) {
    Fail("WriteFile", GetLastError());
  }
  unsigned got = 0;
  for (int quiet = 0; got < sizeof(back) && quiet < 5;) {
    OVERLAPPED rov;
    memset(&rov, 0, sizeof(rov));
    rov.hEvent = readEvent;
    DWORD r = 0;
    if (!ReadFile(port, back + got, sizeof(back) - got, &r, &rov)) {
      if (GetLastError() != ERROR_IO_PENDING) Fail("ReadFile", GetLastError());
      HANDLE both[2] = {readEvent, writeEvent};
      DWORD which = WaitForMultipleObjects(2, both, FALSE, 10000);
      if (which == WAIT_FAILED) Fail("WaitForMultipleObjects", GetLastError());
      if (!GetOverlappedResult(port, &rov, &r, TRUE)) {
        Fail("GetOverlappedResult(ReadFile)", GetLastError());
      }
    }
    got += r;
    quiet = r ? 0 : quiet + 1;
  }
  if (!GetOverlappedResult(port, &wov, &written, TRUE)) {
    Fail("GetOverlappedResult(WriteFile)", GetLastError());
  }
  CloseHandle(readEvent);
  CloseHandle(writeEvent);
  Put("  echo: ");
  PutNumber(written);
  Put(" bytes written, ");
  PutNumber(got);
  Put(" bytes back\r\n");
  bool same = got == sizeof(sent) && written == sizeof(sent);
  for (unsigned i = 0; same && i < got; ++i) same = sent[i] == back[i];
  if (!same) FailWith("the echo did not bring back every byte unchanged");

  Pause(event, 1200);  // the escape's guard time
  char escape[] = "+++";
  Transfer(port, event, true, escape, 3);
  n = 0;
  for (int quiet = 0; quiet < 5 && !Contains(answer, n, "OK");) {
    DWORD r = Transfer(port, event, false, answer + n, sizeof(answer) - n);
    n += r;
    quiet = r ? 0 : quiet + 1;
  }
  Command(port, event, "ATH", answer, sizeof(answer), 5);
}

// Keeps the port open with a one-byte read pending (no read timeout) and waits for the modem to
// be unplugged: the driver must end the read, refuse the next request and still let the handle
// close. Fails if the read is still pending after `seconds`.
void HoldUntilRemoved(HANDLE port, const char* name, DWORD seconds) {
  COMMTIMEOUTS wait = {0, 0, 0, 0, 5000};
  if (!SetCommTimeouts(port, &wait)) Fail("SetCommTimeouts", GetLastError());
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!event) Fail("CreateEventA", GetLastError());
  Put("Holding ");
  Put(name);
  Put(" open with a read pending for up to ");
  PutNumber(seconds);
  Put(" s: unplug the modem now\r\n");
  // A read may also end with no byte while the modem stays (a zero-length transfer): then the
  // port still answers and the read is made again, a bounded number of times.
  for (unsigned round = 0;; ++round) {
    if (round == 1000) FailWith("the port kept ending reads with no byte and stayed");
    OVERLAPPED ov;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = event;
    char byte;
    DWORD got = 0;
    DWORD error = ERROR_SUCCESS;
    if (!ReadFile(port, &byte, 1, &got, &ov)) {
      error = GetLastError();
      if (error == ERROR_IO_PENDING) {
        DWORD waited = WaitForSingleObject(event, seconds * 1000);
        if (waited == WAIT_TIMEOUT) FailWith("the modem was not unplugged while the port was held");
        if (waited != WAIT_OBJECT_0) Fail("WaitForSingleObject", GetLastError());
        error = GetOverlappedResult(port, &ov, &got, TRUE) ? ERROR_SUCCESS : GetLastError();
      }
    }
    if (error == ERROR_SUCCESS && got == 1) continue;  // a byte from the modem: read on
    DWORD modem = 0;
    if (GetCommModemStatus(port, &modem)) {
      if (error == ERROR_SUCCESS) continue;
      Fail("ReadFile (the port still answers)", error);
    }
    DWORD statusError = GetLastError();
    // The driver ends a waiting read when the modem goes: with an error, or with the bytes it
    // had (none here) as a read that timed out.
    if (error == ERROR_SUCCESS) {
      Put("  the pending read ended with no byte\r\n");
    } else {
      Put("  the pending read ended: Windows error ");
      PutNumber(error);
      Put("\r\n");
    }
    Put("  GetCommModemStatus after the removal: Windows error ");
    PutNumber(statusError);
    Put("\r\n");
    break;
  }
  CloseHandle(event);
}

}  // namespace

extern "C" void __stdcall TavrinCheckMain() {
  gOut = GetStdHandle(STD_OUTPUT_HANDLE);
  Options options = ParseCommandLine();
  ChoosePort(options);

  char path[48] = "\\\\.\\";
  Copy(path + 4, sizeof(path) - 4, options.port);
  Put("Opening ");
  Put(options.port);
  Put("\r\n");
  HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, NULL);
  if (port == INVALID_HANDLE_VALUE) Fail("CreateFileA", GetLastError());

  DCB dcb;
  memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(port, &dcb)) Fail("GetCommState", GetLastError());
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutX = dcb.fInX = FALSE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (!SetCommState(port, &dcb)) Fail("SetCommState", GetLastError());
  // A read returns as soon as bytes are there, or after a second with none; writes may take
  // five seconds.
  COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1000, 0, 5000};
  if (!SetCommTimeouts(port, &timeouts)) Fail("SetCommTimeouts", GetLastError());
  if (!PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR)) Fail("PurgeComm", GetLastError());
  Put("Line: 115200 baud, 8 data bits, no parity, 1 stop bit; DTR and RTS on\r\n");

  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!event) Fail("CreateEventA", GetLastError());
  char answer[256];
  Put("Modem:\r\n");
  unsigned n = Command(port, event, "ATZ", answer, sizeof(answer), 5);
  if (!Contains(answer, n, "OK")) FailWith("the modem did not answer ATZ with OK");
  n = Command(port, event, "ATI", answer, sizeof(answer), 5);
  if (!Contains(answer, n, "OK")) FailWith("the modem did not answer ATI with OK");

  if (options.echo[0]) EchoTest(port, event, options.echo);
  ShowStatus(port);
  CloseHandle(event);
  if (options.holdSeconds) HoldUntilRemoved(port, options.port, options.holdSeconds);
  if (!CloseHandle(port)) Fail("CloseHandle", GetLastError());
  Put("tavrincheck: PASS: ");
  Put(options.port);
  Put(options.echo[0] ? " answered ATZ and ATI, and the echo came back whole"
                      : " answered ATZ and ATI");
  Put(options.holdSeconds ? "; held open, it was unplugged and closed cleanly\r\n" : "\r\n");
  ExitProcess(0);
}

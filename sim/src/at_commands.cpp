// AtModem: command-line editing, the AT interpreter and the result codes.
#include <cstdio>
#include <string>

#include "at_peers.h"
#include "byte_queue.h"
#include "sim/at_modem.h"

namespace sim {

namespace {

// Longest command body kept (after "AT"); a longer line is answered with ERROR.
constexpr size_t kMaxLine = 255;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Digits after a command letter; absent digits mean 0. False if the value is absurdly long.
bool ParseNumber(const std::string& s, size_t& pos, unsigned& value) {
  value = 0;
  size_t start = pos;
  while (pos < s.size() && IsDigit(s[pos])) {
    if (pos - start >= 9) return false;
    value = value * 10 + static_cast<unsigned>(s[pos] - '0');
    ++pos;
  }
  return true;
}

// Numeric code for "CONNECT <rate>"; rates without a code of their own report 1 (CONNECT).
unsigned ConnectCode(uint32_t rate) {
  switch (rate) {
    case 1200: return 5;
    case 2400: return 10;
    case 4800: return 11;
    case 9600: return 12;
    case 7200: return 13;
    case 12000: return 14;
    case 14400: return 15;
    case 19200: return 16;
    case 38400: return 17;
    case 57600: return 18;
    case 115200: return 19;
    default: return 1;
  }
}

// A dialled number as it is compared with the bindings: digits, '*' and '#'. Punctuation and
// the dial modifiers that only shape the dialling (',' 'W' '@' '!') are dropped; anything else
// makes the number invalid (empty result).
std::string NormaliseNumber(const std::string& s) {
  std::string out;
  for (char c : s) {
    char u = Upper(c);
    if (IsDigit(c) || c == '*' || c == '#') {
      out.push_back(c);
    } else if (c == ' ' || c == '-' || c == '(' || c == ')' || c == ',' || u == 'W' || c == '@' ||
               c == '!') {
      continue;
    } else {
      return std::string();
    }
  }
  return out;
}

}  // namespace

void AtModem::BindNumber(const std::string& number, const DialTarget& target) {
  bindings_[NormaliseNumber(number)] = target;
}

void AtModem::UnbindNumber(const std::string& number) { bindings_.erase(NormaliseNumber(number)); }

void AtModem::SetDefaultTarget(const DialTarget& target) { defaultTarget_ = target; }

void AtModem::ResetProfile() {
  echo_ = true;
  quiet_ = false;
  verbose_ = true;
  xLevel_ = 4;
  dtrMode_ = 2;
  dcdMode_ = 1;
  sregs_.fill(0);
  sregs_[0] = 0;    // rings before auto-answer (0: off)
  sregs_[2] = '+';  // escape character
  sregs_[3] = '\r';
  sregs_[4] = '\n';
  sregs_[5] = '\b';
  sregs_[6] = 2;    // wait for dial tone, s
  sregs_[7] = 50;   // wait for carrier, s
  sregs_[8] = 2;    // comma pause, s
  sregs_[9] = 6;
  sregs_[10] = 14;
  sregs_[11] = 95;
  sregs_[12] = 50;  // escape guard time, 1/50 s
  sregPointer_ = 0;
  UpdateSerialState();
}

unsigned AtModem::SRegister(unsigned n) const {
  if (n < sregs_.size()) return sregs_[n];
  switch (n) {
    case 100: return codingRate_;
    case 101: return codingData_;
    case 102: return codingParity_;
    case 103: return codingStop_;
    case 104: return codingCount_;
    default: return 0;
  }
}

void AtModem::HandleCommandByte(uint8_t b) {
  const uint8_t cr = sregs_[3];
  const uint8_t bs = sregs_[5];
  if (b == bs && b != cr) {
    if (!line_.empty()) {
      line_.pop_back();
      if (echo_) {
        const uint8_t erase[3] = {bs, ' ', bs};
        Emit(erase, sizeof erase);
      }
    }
    return;
  }
  if (echo_) Emit(&b, 1);
  const char c = static_cast<char>(b);
  if (line_.empty()) {
    // Everything before the 'A' of a command line is ignored.
    if (Upper(c) == 'A') line_.push_back(c);
    return;
  }
  if (line_.size() == 1) {
    if (Upper(c) == 'T') {
      line_.push_back(c);
    } else if (c == '/') {
      // A/ repeats the last command line at once, without waiting for CR.
      line_.clear();
      std::string again = lastCommand_;
      ExecuteLine(again);
    } else if (Upper(c) != 'A') {
      line_.clear();
    }
    return;
  }
  if (b == cr) {
    std::string body = line_.substr(2);
    bool overflow = lineOverflow_;
    line_.clear();
    lineOverflow_ = false;
    if (overflow) {
      Final(Result::Error);
    } else {
      ExecuteLine(body);
    }
    return;
  }
  // Control characters inside a command line are ignored.
  if (b < 0x20 || b == 0x7f) return;
  if (line_.size() - 2 >= kMaxLine) {
    lineOverflow_ = true;
    return;
  }
  line_.push_back(c);
}

// Commands run left to right; the first one that fails stops the line with ERROR (those before
// it keep their effect). D, A and O end the line and give their own result.
void AtModem::ExecuteLine(const std::string& body) {
  lastCommand_ = body;
  size_t pos = 0;
  bool ended = false;
  bool silent = false;
  while (!ended) {
    while (pos < body.size() && body[pos] == ' ') ++pos;
    if (pos >= body.size()) break;
    Exec r = ExecuteCommand(body, pos, ended);
    if (r == Exec::Error) {
      Final(Result::Error);
      return;
    }
    if (r == Exec::Silent) silent = true;
  }
  if (!silent) Final(Result::Ok);
}

AtModem::Exec AtModem::ExecuteCommand(const std::string& body, size_t& pos, bool& lineEnded) {
  const char c = Upper(body[pos++]);
  unsigned n = 0;
  if (c == '&') {
    if (pos >= body.size()) return Exec::Error;
    const char c2 = Upper(body[pos++]);
    if (!ParseNumber(body, pos, n)) return Exec::Error;
    switch (c2) {
      case 'F':
        if (n != 0) return Exec::Error;
        ResetProfile();
        return Exec::Ok;
      case 'D':
        if (n > 3) return Exec::Error;
        dtrMode_ = n;
        return Exec::Ok;
      case 'C':
        if (n > 1) return Exec::Error;
        dcdMode_ = n;
        UpdateSerialState();
        return Exec::Ok;
      case 'K':  // flow control: the USB link has its own, accepted and ignored
        return n <= 6 ? Exec::Ok : Exec::Error;
      default:
        return Exec::Error;
    }
  }
  switch (c) {
    case 'D':
      lineEnded = true;
      return ExecuteDial(body.substr(pos));
    case 'A':
      lineEnded = true;
      if (peer_ != nullptr) return Exec::Error;
      if (ringCaller_ != nullptr) {
        DialTarget caller = *ringCaller_;
        StartDial(caller);
      } else {
        Final(Result::NoCarrier);  // nobody is calling
      }
      return Exec::Silent;
    case 'S':
      return ExecuteSRegister(body, pos);
    case '?':
    case '=':
      --pos;  // the register pointer set by a bare "Sn"
      return ExecuteSRegister(body, pos);
    default:
      break;
  }
  if (!ParseNumber(body, pos, n)) return Exec::Error;
  switch (c) {
    case 'E':
      if (n > 1) return Exec::Error;
      echo_ = n == 1;
      return Exec::Ok;
    case 'Q':
      if (n > 1) return Exec::Error;
      quiet_ = n == 1;
      return Exec::Ok;
    case 'V':
      if (n > 1) return Exec::Error;
      verbose_ = n == 1;
      return Exec::Ok;
    case 'X':
      if (n > 4) return Exec::Error;
      xLevel_ = n;
      return Exec::Ok;
    case 'Z':
      if (n > 1) return Exec::Error;
      if (peer_ != nullptr) HangUp(false);
      AbortIncoming();
      ResetProfile();
      return Exec::Ok;
    case 'H':
      if (n > 1) return Exec::Error;
      if (n == 0 && peer_ != nullptr) HangUp(false);
      return Exec::Ok;
    case 'I': {
      if (n == 2) return Exec::Ok;  // memory test: passes, nothing to say
      std::string text = IdentityText(n);
      if (text.empty()) return Exec::Error;
      Info(text);
      return Exec::Ok;
    }
    case 'O':
      lineEnded = true;
      if (n > 1) return Exec::Error;
      if (state_ != State::OnlineCommand || peer_ == nullptr) {
        Final(Result::NoCarrier);
        return Exec::Silent;
      }
      Final(Result::Connect);
      EnterOnline(host_->NowNs());
      return Exec::Silent;
    case 'L':
    case 'M':  // speaker volume and mode: no speaker
      return n <= 3 ? Exec::Ok : Exec::Error;
    case 'P':
    case 'T':  // default dial method
      return Exec::Ok;
    default:
      return Exec::Error;
  }
}

// "Sn=v" sets register n, "Sn?" shows it, a bare "Sn" makes n the register that "?" and "=v"
// address. S0..S99 hold 0..255; S100..S104 show the last line coding and are read-only.
AtModem::Exec AtModem::ExecuteSRegister(const std::string& body, size_t& pos) {
  unsigned reg = sregPointer_;
  if (pos < body.size() && IsDigit(body[pos])) {
    if (!ParseNumber(body, pos, reg)) return Exec::Error;
  } else if (pos < body.size() && body[pos] != '?' && body[pos] != '=') {
    // "S" followed by another command letter selects S0.
    reg = 0;
  }
  const bool readOnly = reg >= 100 && reg <= 104;
  if (reg >= sregs_.size() && !readOnly) return Exec::Error;
  if (pos < body.size() && body[pos] == '?') {
    ++pos;
    char text[16];
    if (readOnly) {
      std::snprintf(text, sizeof text, "%u", SRegister(reg));
    } else {
      std::snprintf(text, sizeof text, "%03u", static_cast<unsigned>(sregs_[reg]));
    }
    Info(text);
    return Exec::Ok;
  }
  if (pos < body.size() && body[pos] == '=') {
    ++pos;
    unsigned value = 0;
    if (!ParseNumber(body, pos, value) || value > 255 || readOnly) return Exec::Error;
    sregs_[reg] = static_cast<uint8_t>(value);
    return Exec::Ok;
  }
  sregPointer_ = reg;
  return Exec::Ok;
}

AtModem::Exec AtModem::ExecuteDial(const std::string& rest) {
  if (peer_ != nullptr) return Exec::Error;  // a call is up (online command mode)
  std::string s;
  for (char ch : rest) {
    if (ch != ' ') s.push_back(ch);
  }
  if (!s.empty() && (Upper(s[0]) == 'T' || Upper(s[0]) == 'P')) s.erase(0, 1);
  if (s.empty()) return Exec::Error;
  std::string upper;
  for (char ch : s) upper.push_back(Upper(ch));
  const bool tcp = s.find_first_of(".:") != std::string::npos || upper.rfind("LOCALHOST", 0) == 0;
  if (tcp) {
    uint32_t address = 0;
    uint16_t port = 0;
    if (!detail::ParseTcpAddress(s, &address, &port)) return Exec::Error;
    StartDial(DialTarget::Tcp(s));
    return Exec::Silent;
  }
  std::string number = NormaliseNumber(s);
  if (number.empty()) return Exec::Error;
  auto it = bindings_.find(number);
  StartDial(it != bindings_.end() ? it->second : defaultTarget_);
  return Exec::Silent;
}

std::string AtModem::LineCodingText() const {
  static const char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  static const char* const kStop[] = {"1", "1.5", "2"};
  char text[64];
  std::snprintf(text, sizeof text, "%u,%u,%c,%s", codingRate_, static_cast<unsigned>(codingData_),
                codingParity_ < sizeof kParity ? kParity[codingParity_] : '?',
                codingStop_ < 3 ? kStop[codingStop_] : "?");
  return text;
}

std::string AtModem::IdentityText(unsigned n) const {
  switch (n) {
    case 0:
      return "TAVRINMDM";
    case 1:
      return "TAVRINMDM SIMULATED AT MODEM 1.0";
    case 3: {
      switch (state_) {
        case State::Command: return ringCaller_ ? "RINGING" : "IDLE";
        case State::Dialling: return "DIALLING";
        case State::Online: return "ONLINE";
        case State::OnlineCommand: return "ONLINE COMMAND";
      }
      return "IDLE";
    }
    case 4: {
      char text[160];
      std::snprintf(text, sizeof text,
                    "E%d Q%d V%d X%u &C%u &D%u\n"
                    "S0=%u S2=%u S3=%u S4=%u S5=%u S6=%u S7=%u S8=%u S10=%u S12=%u",
                    echo_ ? 1 : 0, quiet_ ? 1 : 0, verbose_ ? 1 : 0, xLevel_, dcdMode_, dtrMode_,
                    sregs_[0], sregs_[2], sregs_[3], sregs_[4], sregs_[5], sregs_[6], sregs_[7],
                    sregs_[8], sregs_[10], sregs_[12]);
      return text;
    }
    case 5:
      return LineCodingText();
    default:
      return std::string();
  }
}

// Information text: in verbal mode each line framed by CR LF before and after, in numeric mode
// each line followed by CR LF.
void AtModem::Info(const std::string& text) {
  const uint8_t crlf[2] = {sregs_[3], sregs_[4]};
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (verbose_) Emit(crlf, 2);
    Emit(reinterpret_cast<const uint8_t*>(text.data()) + start, end - start);
    Emit(crlf, 2);
    start = end + 1;
  }
}

// A result code in the current form: verbal "CR LF text CR LF" or numeric "digits CR"; nothing
// under Q1. X0..X3 fold BUSY and NO DIALTONE into NO CARRIER and X0 drops the rate.
void AtModem::Final(Result r) {
  if (quiet_) return;
  if (r == Result::Busy && xLevel_ < 3) r = Result::NoCarrier;
  if (r == Result::NoDialtone && xLevel_ != 2 && xLevel_ != 4) r = Result::NoCarrier;
  std::string text;
  unsigned code = 0;
  switch (r) {
    case Result::Ok: text = "OK"; code = 0; break;
    case Result::Connect:
      if (xLevel_ == 0) {
        text = "CONNECT";
        code = 1;
      } else {
        text = "CONNECT " + std::to_string(ConnectRate());
        code = ConnectCode(ConnectRate());
      }
      break;
    case Result::Ring: text = "RING"; code = 2; break;
    case Result::NoCarrier: text = "NO CARRIER"; code = 3; break;
    case Result::Error: text = "ERROR"; code = 4; break;
    case Result::NoDialtone: text = "NO DIALTONE"; code = 6; break;
    case Result::Busy: text = "BUSY"; code = 7; break;
  }
  std::string out;
  if (verbose_) {
    out.push_back(static_cast<char>(sregs_[3]));
    out.push_back(static_cast<char>(sregs_[4]));
    out += text;
    out.push_back(static_cast<char>(sregs_[3]));
    out.push_back(static_cast<char>(sregs_[4]));
  } else {
    out = std::to_string(code);
    out.push_back(static_cast<char>(sregs_[3]));
  }
  Emit(reinterpret_cast<const uint8_t*>(out.data()), out.size());
}

}  // namespace sim

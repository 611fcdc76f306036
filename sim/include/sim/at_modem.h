// A Hayes-style modem: command mode with an AT interpreter, data mode after CONNECT, "+++"
// escape with guard time, DTR handling, carrier and DSR through SERIAL_STATE. Dialling a plain
// number reaches a built-in peer (echo by default, or whatever the number is bound to); dialling
// "a.b.c.d:port" opens a non-blocking TCP connection and bridges the call to it.
//
// The model never blocks: every socket is non-blocking and time is only read through
// ModemHost::NowNs; whatever must happen later is asked for with ModemHost::WakeAt.
// docs/modems.md describes the command set, result codes and S-registers.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sim/modem.h"

namespace sim {

namespace detail {
class ByteQueue;
class Peer;
}  // namespace detail

// Byte `index` of what a streaming peer sends: a fixed pattern without a short period, so a
// reader can check every byte it received for loss, duplication and reordering.
uint8_t StreamPatternByte(uint64_t index);

// What answers a dialled number (or calls in, see AtModem::Ring).
struct DialTarget {
  enum class Kind : uint8_t {
    Echo,        // answers; sends back what it receives
    Stream,      // answers; sends streamBytes bytes of StreamPatternByte, discards what it receives
    Busy,        // BUSY
    NoAnswer,    // rings until S7 expires: NO CARRIER
    NoDialtone,  // NO DIALTONE
    Tcp,         // TCP connection to `address` ("a.b.c.d:port" or "localhost:port")
  };
  Kind kind = Kind::Echo;
  uint64_t streamBytes = 0;     // Stream: how many bytes to send
  bool hangUpWhenDone = false;  // Stream: hang up once every byte has been read by the modem
  std::string address;          // Tcp
  uint64_t answerDelayNs = 0;   // time between the dial and the result (not for Tcp, NoAnswer)

  static DialTarget Echo(uint64_t delayNs = 0);
  static DialTarget Stream(uint64_t bytes, bool hangUpWhenDone = false, uint64_t delayNs = 0);
  static DialTarget Busy(uint64_t delayNs = 0);
  static DialTarget NoAnswer();
  static DialTarget NoDialtone(uint64_t delayNs = 0);
  static DialTarget Tcp(std::string address);
};

class AtModem final : public Modem {
 public:
  // Where the modem is. Command and OnlineCommand both interpret AT commands; OnlineCommand keeps
  // a call up (after "+++" or a DTR drop with &D1) that ATO returns to.
  enum class State : uint8_t { Command, Dialling, Online, OnlineCommand };

  struct Counters {
    uint64_t bytesFromHost = 0;  // everything received on bulk-OUT
    uint64_t bytesToHost = 0;    // everything handed to the bulk-IN FIFO (echo, results, data)
    uint64_t bytesToPeer = 0;    // data-mode bytes the remote side accepted
    uint64_t bytesFromPeer = 0;  // data-mode bytes received from the remote side
    uint64_t calls = 0;          // connections made (dialled or answered)
  };

  AtModem();
  ~AtModem() override;
  AtModem(const AtModem&) = delete;
  AtModem& operator=(const AtModem&) = delete;

  // Modem.
  void Attach(ModemHost* host) override;
  void OnBulkOut(const uint8_t* data, size_t n) override;
  void OnControlLineState(uint16_t value) override;
  void OnLineCoding(uint32_t rate, uint8_t stopBits, uint8_t parity, uint8_t dataBits) override;
  void Poll() override;
  const char* Name() const override { return "at"; }

  // Configuration. Numbers are compared after dropping everything but digits, '*' and '#'
  // ("555-1234" and "5551234" are the same number).
  void BindNumber(const std::string& number, const DialTarget& target);
  void UnbindNumber(const std::string& number);
  void SetDefaultTarget(const DialTarget& target);  // for unbound numbers; Echo unless set
  // Rate in CONNECT messages: 0 (the default) reports the DTE rate of the last line coding.
  void SetConnectRate(uint32_t bitsPerSecond) { connectRate_ = bitsPerSecond; }
  // While a TCP call is dialling or up, ask to be polled at least this often (0: never; the host
  // then polls on its own, for example when ActiveSocket() is readable). Default 1 ms.
  void SetSocketPollInterval(uint64_t ns) { socketPollNs_ = ns; }
  // An incoming call: RING now and every 6 s while the modem is idle in command mode, until ATA
  // or auto-answer (S0 rings) answers it or the caller gives up after maxRings rings. Refused
  // (false) while a call is up, dialling or another call is ringing.
  bool Ring(const DialTarget& caller, unsigned maxRings = 10);

  // Inspection for tests and tools.
  State GetState() const { return state_; }
  bool CallUp() const { return peer_ != nullptr && state_ != State::Dialling; }
  bool Ringing() const { return ringCaller_ != nullptr; }
  unsigned SRegister(unsigned n) const;
  uint16_t SerialState() const { return serialState_; }  // last SERIAL_STATE bitmap sent
  uint16_t ControlLineState() const { return controlLines_; }
  const Counters& GetCounters() const { return counters_; }
  size_t PendingToHost() const;  // produced, waiting for room in the bulk-IN FIFO
  size_t PendingToPeer() const;  // data-mode bytes the remote side has not taken yet
  // Socket of the current TCP call or dial, -1 if none: a threaded host may wait on it.
  int ActiveSocket() const;

 private:
  enum class Result : uint8_t { Ok, Connect, Ring, NoCarrier, Error, NoDialtone, Busy };
  enum class Exec : uint8_t { Ok, Error, Silent };  // outcome of one command

  // at_modem.cpp: modes, data path, escape, line state, time.
  void HandleInput(const uint8_t* data, size_t n);
  size_t HandleDataBytes(const uint8_t* data, size_t n, uint64_t now);
  void Pump();
  void PumpPeer();
  void CheckEscapeGuard(uint64_t now);
  void CheckDial(uint64_t now);
  void CheckRing(uint64_t now);
  void ScheduleWake(uint64_t now);
  void StartDial(const DialTarget& target);
  void Connected();
  void HangUp(bool report);
  void EnterOnline(uint64_t now);
  void UpdateSerialState();
  void Emit(const uint8_t* data, size_t n);
  void FlushToHost();
  void AbortIncoming();
  uint32_t ConnectRate() const;

  // at_commands.cpp: command line editing, execution, results.
  void HandleCommandByte(uint8_t b);
  void ExecuteLine(const std::string& body);
  Exec ExecuteCommand(const std::string& body, size_t& pos, bool& lineEnded);
  Exec ExecuteDial(const std::string& rest);
  Exec ExecuteSRegister(const std::string& body, size_t& pos);
  void Info(const std::string& text);
  void Final(Result r);
  void ResetProfile();
  std::string IdentityText(unsigned n) const;
  std::string LineCodingText() const;

  ModemHost* host_ = nullptr;
  State state_ = State::Command;
  std::unique_ptr<detail::ByteQueue> toHost_;
  std::unique_ptr<detail::ByteQueue> toPeer_;
  std::unique_ptr<detail::Peer> peer_;

  // Profile (ATZ / AT&F restore these).
  bool echo_ = true;
  bool quiet_ = false;
  bool verbose_ = true;
  unsigned xLevel_ = 4;
  unsigned dtrMode_ = 2;  // &D
  unsigned dcdMode_ = 1;  // &C
  std::array<uint8_t, 100> sregs_{};
  unsigned sregPointer_ = 0;

  // Command line editing: line_ holds what was typed from the 'A' on.
  std::string line_;
  bool lineOverflow_ = false;
  std::string lastCommand_;  // body of the last executed line (after "AT"), for A/

  // Data mode and escape detection.
  uint64_t lastDataNs_ = 0;  // time of the last byte from the computer (or of entering data mode)
  unsigned escapeCount_ = 0;
  uint64_t escapeDoneNs_ = 0;  // time of the third escape character

  // Dialling.
  uint64_t dialResultNs_ = 0;  // built-in targets answer at this time
  uint64_t dialTimeoutNs_ = 0;

  // Incoming call.
  std::unique_ptr<DialTarget> ringCaller_;
  unsigned ringsLeft_ = 0;
  uint64_t nextRingNs_ = 0;

  // Configuration.
  std::map<std::string, DialTarget> bindings_;
  DialTarget defaultTarget_;
  uint32_t connectRate_ = 0;
  uint64_t socketPollNs_ = 1000000;

  // Line coding last received (CDC codes) and how many were received.
  uint32_t codingRate_ = 9600;
  uint8_t codingStop_ = 0;
  uint8_t codingParity_ = 0;
  uint8_t codingData_ = 8;
  uint32_t codingCount_ = 0;

  uint16_t controlLines_ = 0;
  uint16_t serialState_ = 0;
  bool stateReported_ = false;
  uint64_t lastWake_ = UINT64_MAX;
  Counters counters_;
};

}  // namespace sim

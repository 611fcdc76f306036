// AtModem: modes, the data path, the "+++" escape, DTR and carrier, dialling and incoming calls.
// The command interpreter itself is in at_commands.cpp.
//
// States and their transitions:
//   Command        --ATD-->            Dialling
//   Dialling       --answered-->       Online          (CONNECT, DCD on)
//   Dialling       --refused/timeout-> Command         (BUSY, NO DIALTONE, NO CARRIER)
//   Dialling       --any byte but LF-> Command         (NO CARRIER: the computer aborted the dial)
//   Command        --ATA/auto-answer-> Dialling -> Online
//   Online         --"+++" + guard-->  OnlineCommand   (OK, call kept)
//   Online         --DTR drop, &D1-->  OnlineCommand   (OK)
//   OnlineCommand  --ATO-->            Online          (CONNECT)
//   Online/OnlineCommand --ATH/ATZ-->  Command         (OK, DCD off)
//   Online/OnlineCommand --peer gone, DTR drop with &D2/&D3--> Command (NO CARRIER, DCD off)
#include <algorithm>

#include "at_peers.h"
#include "byte_queue.h"
#include "sim/at_modem.h"

namespace sim {

namespace {

constexpr uint16_t kStateDcd = 0x0001;
constexpr uint16_t kStateDsr = 0x0002;
constexpr uint16_t kStateRing = 0x0008;
constexpr uint64_t kNsPerSecond = 1000000000ull;
constexpr uint64_t kNsPerGuardUnit = 20000000ull;  // S12 counts fiftieths of a second
constexpr uint64_t kRingPeriodNs = 6 * kNsPerSecond;
constexpr size_t kReadChunk = 16384;

}  // namespace

AtModem::AtModem()
    : toHost_(std::make_unique<detail::ByteQueue>()), toPeer_(std::make_unique<detail::ByteQueue>()) {
  ResetProfile();
}

AtModem::~AtModem() = default;

void AtModem::Attach(ModemHost* host) {
  host_ = host;
  // Powered and ready: DSR on from the start (and DCD too under &C0).
  UpdateSerialState();
}

size_t AtModem::PendingToHost() const { return toHost_->Size(); }
size_t AtModem::PendingToPeer() const { return toPeer_->Size(); }
int AtModem::ActiveSocket() const { return peer_ ? peer_->Socket() : -1; }

uint32_t AtModem::ConnectRate() const { return connectRate_ != 0 ? connectRate_ : codingRate_; }

void AtModem::OnBulkOut(const uint8_t* data, size_t n) {
  if (host_ == nullptr || n == 0) return;
  counters_.bytesFromHost += n;
  HandleInput(data, n);
  Pump();
}

void AtModem::OnLineCoding(uint32_t rate, uint8_t stopBits, uint8_t parity, uint8_t dataBits) {
  codingRate_ = rate;
  codingStop_ = stopBits;
  codingParity_ = parity;
  codingData_ = dataBits;
  ++codingCount_;
}

void AtModem::OnControlLineState(uint16_t value) {
  uint16_t old = controlLines_;
  controlLines_ = value;
  if (host_ == nullptr || (old & 1) == 0 || (value & 1) != 0) return;
  // DTR has dropped.
  switch (dtrMode_) {
    case 0:
      break;
    case 1:
      if (state_ == State::Online) {
        escapeCount_ = 0;
        state_ = State::OnlineCommand;
        Final(Result::Ok);
      }
      break;
    case 2:
    case 3:
      if (peer_ != nullptr) {
        HangUp(false);
        Final(Result::NoCarrier);
      }
      if (dtrMode_ == 3) {
        AbortIncoming();
        ResetProfile();
      }
      break;
    default:
      break;
  }
  Pump();
}

void AtModem::Poll() {
  if (host_ == nullptr) return;
  Pump();
}

void AtModem::HandleInput(const uint8_t* data, size_t n) {
  uint64_t now = host_->NowNs();
  // Whatever fell due before these bytes arrived happens first: an escape whose closing guard
  // has passed makes these bytes commands, an answered dial makes them data.
  CheckEscapeGuard(now);
  CheckDial(now);
  CheckRing(now);
  size_t i = 0;
  while (i < n) {
    switch (state_) {
      case State::Online:
        i += HandleDataBytes(data + i, n - i, now);
        break;
      case State::Dialling:
        // A key pressed while dialling abandons the call, as on a real modem. LF is spared so
        // that a terminal ending its lines with CR LF does not abort its own ATD.
        if (data[i++] != sregs_[4]) {
          HangUp(false);
          Final(Result::NoCarrier);
        }
        break;
      case State::Command:
      case State::OnlineCommand:
        HandleCommandByte(data[i++]);
        break;
    }
  }
}

// Data mode: every byte goes to the remote side, escape characters included. The escape is
// recognised afterwards, once the guard time has passed in silence (CheckEscapeGuard), so that
// data which merely contains "+++" is never lost or delayed.
size_t AtModem::HandleDataBytes(const uint8_t* data, size_t n, uint64_t now) {
  const uint8_t esc = sregs_[2];
  const bool escEnabled = esc <= 127;
  const uint64_t guard = sregs_[12] * kNsPerGuardUnit;
  size_t i = 0;
  bool escaped = false;
  for (; i < n && !escaped; ++i) {
    if (!escEnabled || data[i] != esc) {
      escapeCount_ = 0;
    } else if (guard == 0) {
      // No guard time: three escape characters in a row escape at once.
      if (++escapeCount_ == 3) escaped = true;
    } else {
      bool silenceBefore = now - lastDataNs_ >= guard;
      if (escapeCount_ >= 1 && escapeCount_ < 3 && !silenceBefore) {
        ++escapeCount_;
      } else {
        // First of a sequence only after a guard time of silence; a fourth one cancels.
        escapeCount_ = silenceBefore ? 1 : 0;
      }
    }
    lastDataNs_ = now;
  }
  toPeer_->Append(data, i);
  if (escaped) {
    escapeCount_ = 0;
    state_ = State::OnlineCommand;
    Final(Result::Ok);
  }
  return i;
}

void AtModem::CheckEscapeGuard(uint64_t now) {
  if (state_ != State::Online || escapeCount_ != 3) return;
  // The third escape character was the last byte received, so lastDataNs_ is its time.
  if (now - lastDataNs_ < sregs_[12] * kNsPerGuardUnit) return;
  escapeCount_ = 0;
  state_ = State::OnlineCommand;
  line_.clear();
  Final(Result::Ok);
}

void AtModem::StartDial(const DialTarget& target) {
  uint64_t now = host_->NowNs();
  AbortIncoming();
  peer_ = detail::MakePeer(target);
  state_ = State::Dialling;
  escapeCount_ = 0;
  dialResultNs_ = target.kind == DialTarget::Kind::Tcp ? now : now + target.answerDelayNs;
  dialTimeoutNs_ = now + sregs_[7] * kNsPerSecond;
  CheckDial(now);
}

void AtModem::CheckDial(uint64_t now) {
  if (state_ != State::Dialling) return;
  detail::DialOutcome outcome = detail::DialOutcome::Pending;
  if (now >= dialResultNs_) outcome = peer_->Progress();
  if (outcome == detail::DialOutcome::Pending && now >= dialTimeoutNs_) {
    outcome = detail::DialOutcome::NoCarrier;
  }
  switch (outcome) {
    case detail::DialOutcome::Pending:
      break;
    case detail::DialOutcome::Connected:
      Connected();
      break;
    case detail::DialOutcome::Busy:
      HangUp(false);
      Final(Result::Busy);
      break;
    case detail::DialOutcome::NoDialtone:
      HangUp(false);
      Final(Result::NoDialtone);
      break;
    case detail::DialOutcome::NoCarrier:
      HangUp(false);
      Final(Result::NoCarrier);
      break;
  }
}

void AtModem::Connected() {
  ++counters_.calls;
  state_ = State::Online;
  UpdateSerialState();
  Final(Result::Connect);
  EnterOnline(host_->NowNs());
}

void AtModem::EnterOnline(uint64_t now) {
  state_ = State::Online;
  line_.clear();
  escapeCount_ = 0;
  // The guard before an escape counts from the CONNECT: "+++" right after it is data.
  lastDataNs_ = now;
}

void AtModem::HangUp(bool report) {
  peer_.reset();
  toPeer_->Clear();
  state_ = State::Command;
  escapeCount_ = 0;
  UpdateSerialState();
  if (report) Final(Result::NoCarrier);
}

bool AtModem::Ring(const DialTarget& caller, unsigned maxRings) {
  if (host_ == nullptr || state_ != State::Command || ringCaller_ != nullptr || maxRings == 0) {
    return false;
  }
  // Only a caller that can hold a conversation calls in.
  if (caller.kind != DialTarget::Kind::Echo && caller.kind != DialTarget::Kind::Stream &&
      caller.kind != DialTarget::Kind::Tcp) {
    return false;
  }
  ringCaller_ = std::make_unique<DialTarget>(caller);
  ringCaller_->answerDelayNs = 0;
  ringsLeft_ = maxRings;
  nextRingNs_ = host_->NowNs();
  sregs_[1] = 0;
  Pump();
  return true;
}

void AtModem::AbortIncoming() {
  ringCaller_.reset();
  ringsLeft_ = 0;
  sregs_[1] = 0;
}

void AtModem::CheckRing(uint64_t now) {
  if (ringCaller_ == nullptr) return;
  if (state_ != State::Command) {
    // Went off-hook for something else: the caller hears busy and goes away.
    AbortIncoming();
    return;
  }
  if (now < nextRingNs_) return;
  if (ringsLeft_ == 0) {
    AbortIncoming();  // the caller gave up
    return;
  }
  --ringsLeft_;
  if (sregs_[1] < 255) ++sregs_[1];
  nextRingNs_ = now + kRingPeriodNs;
  Final(Result::Ring);
  // The ring indicator is a pulse: one notification with bit 3 set, one without.
  host_->SendSerialState(static_cast<uint16_t>(serialState_ | kStateRing));
  host_->SendSerialState(serialState_);
  if (sregs_[0] != 0 && sregs_[1] >= sregs_[0]) {
    DialTarget caller = *ringCaller_;
    StartDial(caller);
  }
}

void AtModem::UpdateSerialState() {
  if (host_ == nullptr) return;
  bool carrier = dcdMode_ == 0 ||
                 (peer_ != nullptr && (state_ == State::Online || state_ == State::OnlineCommand));
  uint16_t state = static_cast<uint16_t>(kStateDsr | (carrier ? kStateDcd : 0));
  if (stateReported_ && state == serialState_) return;
  stateReported_ = true;
  serialState_ = state;
  host_->SendSerialState(state);
}

void AtModem::Emit(const uint8_t* data, size_t n) { toHost_->Append(data, n); }

void AtModem::FlushToHost() {
  if (toHost_->Empty()) return;
  size_t n = std::min(toHost_->Size(), host_->HostRoom());
  if (n == 0) return;
  host_->SendToHost(toHost_->Front(), n);
  toHost_->Consume(n);
  counters_.bytesToHost += n;
}

void AtModem::Pump() {
  uint64_t now = host_->NowNs();
  CheckEscapeGuard(now);
  CheckDial(now);
  CheckRing(now);
  FlushToHost();
  PumpPeer();
  FlushToHost();
  ScheduleWake(now);
}

void AtModem::PumpPeer() {
  if (peer_ == nullptr || state_ == State::Dialling) return;
  while (!toPeer_->Empty()) {
    size_t n = peer_->Write(toPeer_->Front(), toPeer_->Size());
    if (n == 0) break;
    toPeer_->Consume(n);
    counters_.bytesToPeer += n;
  }
  if (state_ == State::OnlineCommand) {
    // The remote side's data waits (in the socket or the peer) until ATO; a hang-up does not.
    if (peer_->RemoteGone()) HangUp(true);
    return;
  }
  // Online. Read only what the bulk-IN FIFO takes now, and only behind everything produced
  // before: what stays unread holds back the remote sender (TCP flow control).
  uint8_t buf[kReadChunk];
  while (toHost_->Empty()) {
    size_t room = host_->HostRoom();
    if (room == 0) break;
    size_t n = peer_->Read(buf, std::min(room, sizeof buf));
    if (n == 0) {
      // Nothing more to read now; if the remote side has hung up, everything it sent has been
      // delivered and the carrier is gone.
      if (peer_->Finished()) HangUp(true);
      break;
    }
    host_->SendToHost(buf, n);
    counters_.bytesToHost += n;
    counters_.bytesFromPeer += n;
  }
}

void AtModem::ScheduleWake(uint64_t now) {
  uint64_t next = UINT64_MAX;
  if (state_ == State::Online && escapeCount_ == 3) {
    next = std::min(next, lastDataNs_ + sregs_[12] * kNsPerGuardUnit);
  }
  if (state_ == State::Dialling) {
    if (now < dialResultNs_) next = std::min(next, dialResultNs_);
    next = std::min(next, dialTimeoutNs_);
  }
  if (ringCaller_ != nullptr) next = std::min(next, nextRingNs_);
  if (peer_ != nullptr && peer_->Socket() >= 0 && socketPollNs_ != 0) {
    next = std::min(next, now + socketPollNs_);
  }
  if (next == UINT64_MAX) return;
  // One request per distinct time; a request whose time has come was used up by this poll.
  if (next == lastWake_ && now < lastWake_) return;
  lastWake_ = next;
  host_->WakeAt(next);
}

}  // namespace sim

// The simulated modem as a whole USB device seen from the wire (see sim/usb_wire_device.h).
//
// Standard requests (USB 2.0, 9.4): GET_DESCRIPTOR of the device, configuration, string (0: the
// language list, 1: manufacturer, 2: product) and, for a high-speed device, the device qualifier
// and the other-speed configuration (9.6.2, 9.6.4; a full-speed-only device STALLs them);
// SET/GET_CONFIGURATION, SET/GET_INTERFACE, GET_STATUS, CLEAR_FEATURE and SET_FEATURE of
// ENDPOINT_HALT. The CDC requests go to the model as the USB stack below the driver sends them
// (cdc.h). Everything else STALLs.

#include "sim/usb_wire_device.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetInterface = 0x0B;
constexpr uint16_t kEndpointHalt = 0;
constexpr uint16_t kLangEnglishUs = 0x0409;

std::vector<uint8_t> Truncate(std::vector<uint8_t> bytes, uint16_t length) {
  if (bytes.size() > length) bytes.resize(length);
  return bytes;
}

}  // namespace

UsbWireDevice::UsbWireDevice(std::unique_ptr<Modem> modem, const UsbWireOptions& options,
                             std::function<uint64_t()> clock)
    : modem_(std::move(modem)), options_(options), clock_(std::move(clock)) {
  txMeter_.Start(clock_());
  rxMeter_.Start(clock_());
  modem_->Attach(this);
}

UsbWireDevice::~UsbWireDevice() = default;

std::vector<uint8_t> UsbWireDevice::DeviceDescriptor() const {
  return BuildDeviceDescriptor(options_.vendorId, options_.productId, options_.hub);
}

std::optional<std::vector<uint8_t>> UsbWireDevice::Control(const UsbSetup& setup,
                                                           const uint8_t* data, size_t n) {
  const bool in = (setup.requestType & 0x80) != 0;
  if (!in && n != setup.length) return std::nullopt;
  const uint8_t type = (setup.requestType >> 5) & 3;
  if (type == 0) return Standard(setup);
  if (configuration_ == 0) return std::nullopt;
  switch (ClassifyCdcRequest(setup.requestType, setup.request, setup.index, setup.length)) {
    case CdcRequest::SetLineCoding:
      lineCoding_ = DecodeLineCoding(data);
      // A paced line runs at the new rate from now on.
      txMeter_.Start(clock_());
      rxMeter_.Start(clock_());
      modem_->OnLineCoding(lineCoding_.rate, lineCoding_.stopBits, lineCoding_.parity,
                           lineCoding_.dataBits);
      Service();
      return std::vector<uint8_t>{};
    case CdcRequest::GetLineCoding: {
      std::vector<uint8_t> out(7);
      EncodeLineCoding(lineCoding_, out.data());
      return out;
    }
    case CdcRequest::SetControlLineState:
      // RTS rising lets a line under RTS flow control deliver again.
      if ((setup.value & 0x2) != 0 && (controlLines_ & 0x2) == 0) pollSoon_ = true;
      controlLines_ = setup.value;
      modem_->OnControlLineState(setup.value);
      Service();
      return std::vector<uint8_t>{};
    case CdcRequest::Stall:
      break;
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> UsbWireDevice::Standard(const UsbSetup& s) {
  const uint8_t recipient = s.requestType & 0x1F;
  const bool in = (s.requestType & 0x80) != 0;
  switch (s.request) {
    case kGetDescriptor:
      if (!in || recipient != 0) return std::nullopt;
      return Descriptor(static_cast<uint8_t>(s.value >> 8), static_cast<uint8_t>(s.value),
                        s.index);
    case kGetConfiguration:
      if (!in || recipient != 0 || s.length < 1) return std::nullopt;
      return std::vector<uint8_t>{configuration_};
    case kSetConfiguration:
      if (in || recipient != 0 || s.length != 0 || s.value > 0xFF) return std::nullopt;
      if (!SetConfiguration(static_cast<uint8_t>(s.value))) return std::nullopt;
      return std::vector<uint8_t>{};
    case kGetInterface: {
      if (!in || recipient != 1 || s.length < 1) return std::nullopt;
      auto alt = AltSetting(static_cast<uint8_t>(s.index));
      if (!alt) return std::nullopt;
      return std::vector<uint8_t>{*alt};
    }
    case kSetInterface:
      if (in || recipient != 1 || s.length != 0) return std::nullopt;
      if (s.index > 0xFF || s.value > 0xFF ||
          !SetInterface(static_cast<uint8_t>(s.index), static_cast<uint8_t>(s.value))) {
        return std::nullopt;
      }
      return std::vector<uint8_t>{};
    case kGetStatus: {
      if (!in || s.length < 2) return std::nullopt;
      uint8_t low = 0;  // bus-powered, no remote wakeup (the configuration's bmAttributes 0x80)
      if (recipient == 1) {
        if (!AltSetting(static_cast<uint8_t>(s.index)) || s.index > 0xFF) return std::nullopt;
      } else if (recipient == 2) {
        const uint8_t ep = static_cast<uint8_t>(s.index);
        if (s.index > 0xFF || ((ep & 0x7F) != 0 && !FindEndpoint(ep))) return std::nullopt;
        low = Halted(ep) ? 1 : 0;
      } else if (recipient != 0) {
        return std::nullopt;
      }
      return Truncate({low, 0}, s.length);
    }
    case kClearFeature:
    case kSetFeature: {
      // Only ENDPOINT_HALT of a data endpoint of the current configuration.
      if (in || recipient != 2 || s.value != kEndpointHalt || s.length != 0 || s.index > 0xFF) {
        return std::nullopt;
      }
      const uint8_t ep = static_cast<uint8_t>(s.index);
      if (!FindEndpoint(ep)) return std::nullopt;
      halted_.erase(std::remove(halted_.begin(), halted_.end(), ep), halted_.end());
      if (s.request == kSetFeature) halted_.push_back(ep);
      return std::vector<uint8_t>{};
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::vector<uint8_t>> UsbWireDevice::Descriptor(uint8_t type, uint8_t index,
                                                              uint16_t lang) {
  (void)lang;  // one language: every string is given in it whatever the request names
  switch (type) {
    case 0x01:
      if (index != 0) return std::nullopt;
      return DeviceDescriptor();
    case 0x02: {
      if (index >= ConfigurationCount(options_.hub)) return std::nullopt;
      size_t sent = 0;
      std::vector<uint8_t> config = BuildConfigurationDescriptor(options_.hub, index, &sent);
      config.resize(std::min(sent, config.size()));
      return config;
    }
    case 0x03:
      if (index == 0) {
        return std::vector<uint8_t>{4, 0x03, kLangEnglishUs & 0xFF, kLangEnglishUs >> 8};
      }
      if (index == 1) return StringDescriptor(options_.manufacturer);
      if (index == 2) return StringDescriptor(options_.product);
      return std::nullopt;
    case 0x06: {  // device qualifier: the device at the other speed (full)
      if (!HighSpeed() || index != 0) return std::nullopt;
      const std::vector<uint8_t> d = DeviceDescriptor();
      return std::vector<uint8_t>{10, 0x06, d[2], d[3], d[4], d[5], d[6], d[7], d[17], 0};
    }
    case 0x07: {  // other-speed configuration: the same at full speed (64-byte bulk packets)
      if (!HighSpeed() || index >= ConfigurationCount(options_.hub)) return std::nullopt;
      HubOptions full = options_.hub;
      full.bulkMaxPacket = 64;
      std::vector<uint8_t> config = BuildConfigurationDescriptor(full, index);
      config[1] = 0x07;
      return config;
    }
    default:
      return std::nullopt;
  }
}

std::vector<uint8_t> UsbWireDevice::StringDescriptor(const std::string& text) const {
  std::vector<uint8_t> d{0, 0x03};
  for (char c : text) {
    if (d.size() + 2 > 254) break;
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  d[0] = static_cast<uint8_t>(d.size());
  return d;
}

bool UsbWireDevice::SetConfiguration(uint8_t value) {
  if (value > ConfigurationCount(options_.hub)) return false;
  configuration_ = value;
  halted_.clear();
  ParseConfiguration();
  return true;
}

void UsbWireDevice::ParseConfiguration() {
  interfaces_.clear();
  endpoints_.clear();
  if (configuration_ == 0) return;
  const std::vector<uint8_t> c = BuildConfigurationDescriptor(options_.hub, configuration_ - 1u);
  for (size_t o = c.empty() ? 0 : c[0]; o + 2 <= c.size() && c[o] >= 2; o += c[o]) {
    if (o + c[o] > c.size()) break;
    if (c[o + 1] == 0x04 && c[o] >= 9 && c[o + 3] == 0) {
      interfaces_.push_back({c[o + 2], c[o + 5], c[o + 6], c[o + 7]});
    } else if (c[o + 1] == 0x05 && c[o] >= 7 && !interfaces_.empty()) {
      endpoints_.push_back({c[o + 2], static_cast<uint8_t>(c[o + 3] & 3), c[o + 6],
                            interfaces_.back().number,
                            static_cast<uint16_t>(c[o + 4] | c[o + 5] << 8)});
    }
  }
}

bool UsbWireDevice::SetInterface(uint8_t interface, uint8_t alt) {
  if (!AltSetting(interface) || alt != 0) return false;
  // Selecting the (only) alternate setting resets its endpoints' halts (USB 2.0, 9.4.10).
  for (const Endpoint& e : endpoints_) {
    if (e.interface == interface) {
      halted_.erase(std::remove(halted_.begin(), halted_.end(), e.address), halted_.end());
    }
  }
  return true;
}

std::optional<uint8_t> UsbWireDevice::AltSetting(uint8_t interface) const {
  for (const Interface& i : interfaces_) {
    if (i.number == interface) return 0;
  }
  return std::nullopt;
}

void UsbWireDevice::Reset() { halted_.clear(); }

const UsbWireDevice::Endpoint* UsbWireDevice::FindEndpoint(uint8_t address) const {
  for (const Endpoint& e : endpoints_) {
    if (e.address == address) return &e;
  }
  return nullptr;
}

bool UsbWireDevice::Halted(uint8_t address) const {
  return std::find(halted_.begin(), halted_.end(), address) != halted_.end();
}

// ---- The paced line -------------------------------------------------------------------------
// As the USB stack's paced line (usb_stack_line.cpp): the receive side banks at most about 32 ms
// of the line (at least a packet) and the model is woken in steps of about 4 ms of it; the
// transmit side sends the buffer's bytes, then the waiting transfers', at the line rate, banking
// nothing while it has nothing to send.

namespace {
uint64_t RxBurst(const LineClock& c) { return std::max<uint64_t>(64, c.CharactersPerSecond() / 32); }
uint64_t WakeStep(const LineClock& c) { return std::max<uint64_t>(1, c.CharactersPerSecond() / 250); }
}  // namespace

LineClock UsbWireDevice::Clock() const {
  const uint32_t bps = options_.line.bitsPerSecond ? options_.line.bitsPerSecond : lineCoding_.rate;
  return LineClock(bps, HalfBitsPerCharacter(lineCoding_.dataBits, lineCoding_.parity,
                                             lineCoding_.stopBits));
}

uint64_t UsbWireDevice::BulkOut(const uint8_t* data, size_t n) {
  const uint64_t ticket = nextTicket_++;
  if (!options_.line.paced) {
    if (n) modem_->OnBulkOut(data, n);
    completedOut_.push_back(ticket);
    Service();
    return ticket;
  }
  // A line with nothing to send has been idle: its time starts now.
  if (tx_.empty()) txMeter_.Start(clock_());
  tx_.insert(tx_.end(), data, data + n);
  txQueued_ += n;
  out_.push_back({ticket, txQueued_});
  CompleteOut();
  Service();
  return ticket;
}

std::vector<uint64_t> UsbWireDevice::TakeCompletedOut() {
  std::vector<uint64_t> done;
  done.swap(completedOut_);
  return done;
}

bool UsbWireDevice::CancelOut(uint64_t ticket) {
  uint64_t start = txOnLine_;
  for (auto it = out_.begin(); it != out_.end(); ++it) {
    if (it->ticket != ticket) {
      start = it->end;
      continue;
    }
    // Its bytes from the end of the transmit buffer on (or from its first, if later) go.
    const uint64_t from = std::max(start, txOnLine_ + options_.line.txBuffer);
    const uint64_t removed = it->end > from ? it->end - from : 0;
    if (removed) {
      const auto first = tx_.begin() + static_cast<long>(from - txOnLine_);
      tx_.erase(first, first + static_cast<long>(removed));
      txQueued_ -= removed;
      for (auto later = it + 1; later != out_.end(); ++later) later->end -= removed;
    }
    out_.erase(it);
    return true;
  }
  return false;
}

// Transfers whose last byte is within the transmit buffer are complete.
void UsbWireDevice::CompleteOut() {
  while (!out_.empty() && out_.front().end <= txOnLine_ + options_.line.txBuffer) {
    completedOut_.push_back(out_.front().ticket);
    out_.pop_front();
  }
}

void UsbWireDevice::DrainTx(uint64_t now) {
  if (!options_.line.paced || tx_.empty()) return;
  const uint64_t n = std::min<uint64_t>(txMeter_.Available(Clock(), now, UINT64_MAX), tx_.size());
  if (n == 0) return;
  std::vector<uint8_t> bytes(tx_.begin(), tx_.begin() + static_cast<long>(n));
  tx_.erase(tx_.begin(), tx_.begin() + static_cast<long>(n));
  txMeter_.Take(n);
  txOnLine_ += n;
  CompleteOut();
  modem_->OnBulkOut(bytes.data(), bytes.size());
}

std::vector<uint8_t> UsbWireDevice::TakeBulkIn(size_t max) {
  const size_t n = std::min(max, fifo_.size());
  std::vector<uint8_t> out(fifo_.begin(), fifo_.begin() + static_cast<long>(n));
  fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<long>(n));
  if (n) {
    // Room freed: the model may have more for the computer.
    pollSoon_ = true;
    Service();
  }
  return out;
}

std::vector<uint8_t> UsbWireDevice::TakeNotification() {
  if (notifications_.empty()) return {};
  std::vector<uint8_t> n = std::move(notifications_.front());
  notifications_.pop_front();
  return n;
}

void UsbWireDevice::Service() {
  DrainTx(clock_());
  // A model may ask again from inside Poll: loop only while it asks for "now" and has not been
  // polled for it yet (bounded, so a model that always asks cannot hold the caller).
  for (int round = 0; round < 8; ++round) {
    const uint64_t now = clock_();
    if (!pollSoon_ && wakeAtNs_ > now) return;
    pollSoon_ = false;
    // A wake time still ahead stays asked for; the one reached is used up by this poll.
    if (wakeAtNs_ <= now) wakeAtNs_ = UINT64_MAX;
    modem_->Poll();
  }
}

uint64_t UsbWireDevice::NextWakeNs() const {
  if (pollSoon_) return 0;
  uint64_t next = wakeAtNs_;
  if (options_.line.paced && !tx_.empty()) {
    const LineClock clock = Clock();
    next = std::min(next, txMeter_.TimeOf(clock, std::min<uint64_t>(tx_.size(), WakeStep(clock))));
  }
  return next;
}

void UsbWireDevice::SendToHost(const uint8_t* data, size_t n) {
  const size_t room =
      fifo_.size() >= options_.bulkInCapacity ? 0 : options_.bulkInCapacity - fifo_.size();
  n = std::min(n, room);
  fifo_.insert(fifo_.end(), data, data + n);
  if (options_.line.paced && n) {
    // The line brought these in; what the model still has comes as the line carries it.
    rxMeter_.Take(n);
    const LineClock clock = Clock();
    const uint64_t now = clock_();
    const uint64_t left = rxMeter_.Available(clock, now, RxBurst(clock));
    if (left < RxBurst(clock)) WakeAt(rxMeter_.TimeOf(clock, left + WakeStep(clock)));
  }
}

size_t UsbWireDevice::HostRoom() const {
  const size_t room =
      fifo_.size() >= options_.bulkInCapacity ? 0 : options_.bulkInCapacity - fifo_.size();
  if (!options_.line.paced) return room;
  if (options_.line.rtsFlow && (controlLines_ & 0x2) == 0) return 0;  // polled when RTS rises
  const LineClock clock = Clock();
  const uint64_t now = clock_();
  const uint64_t credit = rxMeter_.Available(clock, now, RxBurst(clock));
  if (credit >= room) return room;
  if (credit < RxBurst(clock)) {
    wakeAtNs_ = std::min(wakeAtNs_, rxMeter_.TimeOf(clock, credit + WakeStep(clock)));
  }
  return static_cast<size_t>(credit);
}

void UsbWireDevice::SendSerialState(uint16_t uartState) {
  lastState_ = uartState;
  notifications_.push_back(SerialStateNotification(uartState));
  while (notifications_.size() > options_.notificationsKept) notifications_.pop_front();
}

void UsbWireDevice::WakeAt(uint64_t ns) { wakeAtNs_ = std::min(wakeAtNs_, ns); }

}  // namespace sim

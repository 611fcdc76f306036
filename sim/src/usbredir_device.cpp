// The simulated modem over usbredir, the usb-host side (see sim/usbredir_device.h).

#include "sim/usbredir_device.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <usbredirparser.h>

namespace sim {

namespace {

// usbredir's endpoint index: OUT endpoints 0-15, IN endpoints 16-31.
int EndpointIndex(uint8_t address) { return ((address & 0x80) >> 3) | (address & 0x0F); }

UsbredirDevice* Self(void* priv) { return static_cast<UsbredirDevice*>(priv); }

const char* SpeedName(bool high) { return high ? "high speed" : "full speed"; }

}  // namespace

// The parser's callbacks, bound to the device's members.
struct UsbredirCallbacks {
  static void Log(void* priv, int level, const char* msg) {
    if (level <= usbredirparser_warning) Self(priv)->Event(std::string("protocol: ") + msg);
  }
  static int Read(void* priv, uint8_t* data, int count) { return Self(priv)->ReadSocket(data, count); }
  static int Write(void* priv, uint8_t* data, int count) {
    return Self(priv)->WriteSocket(data, count);
  }
  static void Hello(void* priv, usb_redir_hello_header* h) {
    char version[sizeof h->version + 1] = {};
    std::memcpy(version, h->version, sizeof h->version);
    Self(priv)->OnHello(version);
  }
  static void Reset(void* priv) { Self(priv)->OnReset(); }
  static void SetConfiguration(void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
    Self(priv)->OnSetConfiguration(id, h->configuration);
  }
  static void GetConfiguration(void* priv, uint64_t id) { Self(priv)->OnGetConfiguration(id); }
  static void SetAltSetting(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
    Self(priv)->OnSetAltSetting(id, h->interface, h->alt);
  }
  static void GetAltSetting(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
    Self(priv)->OnGetAltSetting(id, h->interface);
  }
  static void StartInterrupt(void* priv, uint64_t id,
                             usb_redir_start_interrupt_receiving_header* h) {
    Self(priv)->OnStartInterrupt(id, h->endpoint);
  }
  static void StopInterrupt(void* priv, uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
    Self(priv)->OnStopInterrupt(id, h->endpoint);
  }
  static void StartIso(void* priv, uint64_t id, usb_redir_start_iso_stream_header* h) {
    usb_redir_iso_stream_status_header s{usb_redir_inval, h->endpoint};
    usbredirparser_send_iso_stream_status(Self(priv)->parser_, id, &s);
  }
  static void StopIso(void* priv, uint64_t id, usb_redir_stop_iso_stream_header* h) {
    usb_redir_iso_stream_status_header s{usb_redir_inval, h->endpoint};
    usbredirparser_send_iso_stream_status(Self(priv)->parser_, id, &s);
  }
  static void AllocStreams(void* priv, uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
    usb_redir_bulk_streams_status_header s{h->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(Self(priv)->parser_, id, &s);
  }
  static void FreeStreams(void* priv, uint64_t id, usb_redir_free_bulk_streams_header* h) {
    usb_redir_bulk_streams_status_header s{h->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(Self(priv)->parser_, id, &s);
  }
  static void StartBulkReceiving(void* priv, uint64_t id,
                                 usb_redir_start_bulk_receiving_header* h) {
    usb_redir_bulk_receiving_status_header s{h->stream_id, h->endpoint, usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(Self(priv)->parser_, id, &s);
  }
  static void StopBulkReceiving(void* priv, uint64_t id, usb_redir_stop_bulk_receiving_header* h) {
    usb_redir_bulk_receiving_status_header s{h->stream_id, h->endpoint, usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(Self(priv)->parser_, id, &s);
  }
  static void Cancel(void* priv, uint64_t id) { Self(priv)->OnCancel(id); }
  static void FilterReject(void* priv) { Self(priv)->OnFilterReject(); }
  static void FilterFilter(void*, usbredirfilter_rule* rules, int) { std::free(rules); }
  static void DisconnectAck(void* priv) { Self(priv)->OnDisconnectAck(); }
  static void Control(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                      int len) {
    Self(priv)->OnControl(id, h, data, len);
    usbredirparser_free_packet_data(Self(priv)->parser_, data);
  }
  static void Bulk(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data,
                   int len) {
    Self(priv)->OnBulk(id, h, data, len);
    usbredirparser_free_packet_data(Self(priv)->parser_, data);
  }
  static void Iso(void* priv, uint64_t id, usb_redir_iso_packet_header* h, uint8_t* data, int) {
    Self(priv)->OnIso(id, h->endpoint);
    usbredirparser_free_packet_data(Self(priv)->parser_, data);
  }
  static void Interrupt(void* priv, uint64_t id, usb_redir_interrupt_packet_header* h,
                        uint8_t* data, int) {
    Self(priv)->OnInterrupt(id, h->endpoint);
    usbredirparser_free_packet_data(Self(priv)->parser_, data);
  }
  static void BufferedBulk(void* priv, uint64_t, usb_redir_buffered_bulk_packet_header*,
                           uint8_t* data, int) {
    // Only a usb-host sends these; the parser refuses them before they get here.
    usbredirparser_free_packet_data(Self(priv)->parser_, data);
  }
  // Messages only a usb-host sends: the parser refuses them from a usb-guest.
  static void DeviceConnect(void*, usb_redir_device_connect_header*) {}
  static void DeviceDisconnect(void*) {}
  static void InterfaceInfo(void*, usb_redir_interface_info_header*) {}
  static void EpInfo(void*, usb_redir_ep_info_header*) {}
  static void ConfigurationStatus(void*, uint64_t, usb_redir_configuration_status_header*) {}
  static void AltSettingStatus(void*, uint64_t, usb_redir_alt_setting_status_header*) {}
  static void IsoStatus(void*, uint64_t, usb_redir_iso_stream_status_header*) {}
  static void InterruptStatus(void*, uint64_t, usb_redir_interrupt_receiving_status_header*) {}
  static void StreamsStatus(void*, uint64_t, usb_redir_bulk_streams_status_header*) {}
  static void BulkReceivingStatus(void*, uint64_t, usb_redir_bulk_receiving_status_header*) {}
};

UsbredirDevice::UsbredirDevice(int fd, const UsbredirOptions& options, bool plugged)
    : fd_(fd), options_(options), plugged_(plugged) {
  using C = UsbredirCallbacks;
  parser_ = usbredirparser_create();
  if (parser_ == nullptr) throw std::bad_alloc();
  usbredirparser* p = parser_;
  p->priv = this;
  p->log_func = C::Log;
  p->read_func = C::Read;
  p->write_func = C::Write;
  p->hello_func = C::Hello;
  p->reset_func = C::Reset;
  p->set_configuration_func = C::SetConfiguration;
  p->get_configuration_func = C::GetConfiguration;
  p->set_alt_setting_func = C::SetAltSetting;
  p->get_alt_setting_func = C::GetAltSetting;
  p->start_interrupt_receiving_func = C::StartInterrupt;
  p->stop_interrupt_receiving_func = C::StopInterrupt;
  p->start_iso_stream_func = C::StartIso;
  p->stop_iso_stream_func = C::StopIso;
  p->alloc_bulk_streams_func = C::AllocStreams;
  p->free_bulk_streams_func = C::FreeStreams;
  p->start_bulk_receiving_func = C::StartBulkReceiving;
  p->stop_bulk_receiving_func = C::StopBulkReceiving;
  p->cancel_data_packet_func = C::Cancel;
  p->filter_reject_func = C::FilterReject;
  p->filter_filter_func = C::FilterFilter;
  p->device_disconnect_ack_func = C::DisconnectAck;
  p->control_packet_func = C::Control;
  p->bulk_packet_func = C::Bulk;
  p->iso_packet_func = C::Iso;
  p->interrupt_packet_func = C::Interrupt;
  p->buffered_bulk_packet_func = C::BufferedBulk;
  p->device_connect_func = C::DeviceConnect;
  p->device_disconnect_func = C::DeviceDisconnect;
  p->interface_info_func = C::InterfaceInfo;
  p->ep_info_func = C::EpInfo;
  p->configuration_status_func = C::ConfigurationStatus;
  p->alt_setting_status_func = C::AltSettingStatus;
  p->iso_stream_status_func = C::IsoStatus;
  p->interrupt_receiving_status_func = C::InterruptStatus;
  p->bulk_streams_status_func = C::StreamsStatus;
  p->bulk_receiving_status_func = C::BulkReceivingStatus;
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_filter);  // to hear when the peer refuses it
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(parser_, "tavrin mdmhost usbredir", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);
}

UsbredirDevice::~UsbredirDevice() { usbredirparser_destroy(parser_); }

void UsbredirDevice::Event(const std::string& line) {
  if (options_.event) options_.event(line);
}

int UsbredirDevice::ReadSocket(uint8_t* data, int count) {
  const ssize_t n = ::recv(fd_, data, static_cast<size_t>(count), 0);
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  peerClosed_ = true;
  return -1;
}

int UsbredirDevice::WriteSocket(const uint8_t* data, int count) {
  const ssize_t n = ::send(fd_, data, static_cast<size_t>(count), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  peerClosed_ = true;
  return -1;
}

bool UsbredirDevice::Read() {
  if (!Open()) return false;
  const int r = usbredirparser_do_read(parser_);
  if (peerClosed_) {
    closeReason_ = "peer closed";
  } else if (r == usbredirparser_read_parse_error) {
    closeReason_ = "peer sent a packet that is not usbredir (closing)";
  } else if (r < 0) {
    closeReason_ = "read error";
  }
  if (Open()) Service();
  return Open();
}

bool UsbredirDevice::Write() {
  if (!Open()) return false;
  if (usbredirparser_has_data_to_write(parser_) > 0 && usbredirparser_do_write(parser_) < 0) {
    closeReason_ = peerClosed_ ? "peer closed" : "write error";
  }
  return Open();
}

bool UsbredirDevice::WantsWrite() const {
  return Open() && usbredirparser_has_data_to_write(parser_) > 0;
}

uint64_t UsbredirDevice::NextWakeNs() const {
  return device_ ? device_->NextWakeNs() : UINT64_MAX;
}

void UsbredirDevice::CheckOutput() {
  if (Open() && usbredirparser_get_bufferered_output_size(parser_) > options_.maxQueuedOutput) {
    closeReason_ = "peer does not read what the device sends (closing)";
  }
}

// ---- Plugging ------------------------------------------------------------------------------------

void UsbredirDevice::OnHello(const char* version) {
  helloReceived_ = true;
  peerVersion_ = version;
  Event(std::string("peer connected (") + version + ")");
  if (plugged_ && !device_) Connect();
}

void UsbredirDevice::Plug() {
  plugged_ = true;
  if (helloReceived_ && !awaitingAck_ && !device_ && Open()) Connect();
}

void UsbredirDevice::Unplug() {
  plugged_ = false;
  refused_ = false;
  if (!device_) return;
  CancelPending(usb_redir_cancelled);
  interruptReceiving_ = false;
  device_.reset();
  usbredirparser_send_device_disconnect(parser_);
  awaitingAck_ = usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack) != 0;
  Event("device unplugged");
}

// The peer would not attach the device (QEMU: a speed its controller's port does not take, said
// on its standard error) and has already dropped it: nothing pending is answered.
void UsbredirDevice::OnFilterReject() {
  if (!device_) return;
  const bool high = device_->HighSpeed();
  pendingIn_.clear();
  pendingOut_.clear();
  interruptReceiving_ = false;
  device_.reset();
  refused_ = true;
  Event(std::string("peer refused the device at ") + SpeedName(high) +
        " (QEMU's usb-ehci takes only --speed high, UHCI and OHCI want --speed full)");
}

void UsbredirDevice::OnDisconnectAck() {
  awaitingAck_ = false;
  if (plugged_ && !device_) Connect();
}

void UsbredirDevice::Connect() {
  refused_ = false;
  std::unique_ptr<Modem> modem = options_.makeModem();
  device_ = std::make_unique<UsbWireDevice>(std::move(modem), options_.device, options_.clock);
  // The device comes as the computer's own system left it: configured (as a usbredir host
  // serves a device its operating system configured); the peer's requests change it from there.
  device_->SetConfiguration(1);
  SendInfo();
  const std::vector<uint8_t> d = device_->DeviceDescriptor();
  usb_redir_device_connect_header c{};
  c.speed = device_->HighSpeed() ? usb_redir_speed_high : usb_redir_speed_full;
  c.device_class = d[4];
  c.device_subclass = d[5];
  c.device_protocol = d[6];
  c.vendor_id = options_.device.vendorId;
  c.product_id = options_.device.productId;
  c.device_version_bcd = static_cast<uint16_t>(d[12] | d[13] << 8);
  usbredirparser_send_device_connect(parser_, &c);
  char line[128];
  std::snprintf(line, sizeof line, "device plugged (%s, VID_%04X&PID_%04X&REV_%04X)",
                SpeedName(device_->HighSpeed()), c.vendor_id, c.product_id,
                c.device_version_bcd);
  Event(line);
  Service();
}

void UsbredirDevice::SendInfo() {
  usb_redir_interface_info_header ii{};
  const auto& interfaces = device_->Interfaces();
  for (const auto& i : interfaces) {
    if (ii.interface_count >= 32) break;
    const uint32_t k = ii.interface_count++;
    ii.interface[k] = i.number;
    ii.interface_class[k] = i.cls;
    ii.interface_subclass[k] = i.subClass;
    ii.interface_protocol[k] = i.protocol;
  }
  usbredirparser_send_interface_info(parser_, &ii);
  usb_redir_ep_info_header ep{};
  for (int k = 0; k < 32; ++k) ep.type[k] = usb_redir_type_invalid;
  const std::vector<uint8_t> d = device_->DeviceDescriptor();
  for (int k : {0, 16}) {
    ep.type[k] = usb_redir_type_control;
    ep.max_packet_size[k] = d[7];
  }
  for (const auto& e : device_->Endpoints()) {
    const int k = EndpointIndex(e.address);
    ep.type[k] = e.type;
    ep.interval[k] = e.interval;
    ep.interface[k] = e.interface;
    ep.max_packet_size[k] = e.maxPacket;
  }
  usbredirparser_send_ep_info(parser_, &ep);
}

// ---- Requests as messages of their own -------------------------------------------------------

void UsbredirDevice::OnReset() {
  if (!device_) return;
  CancelPending(usb_redir_cancelled);
  device_->Reset();
}

void UsbredirDevice::OnSetConfiguration(uint64_t id, uint8_t configuration) {
  usb_redir_configuration_status_header s{usb_redir_ioerror, 0};
  if (device_) {
    if (device_->SetConfiguration(configuration)) {
      // The endpoints of the old configuration are gone with their transfers.
      CancelPending(usb_redir_cancelled);
      interruptReceiving_ = false;
      SendInfo();
      s.status = usb_redir_success;
    } else {
      s.status = usb_redir_stall;
    }
    s.configuration = device_->Configuration();
  }
  usbredirparser_send_configuration_status(parser_, id, &s);
}

void UsbredirDevice::OnGetConfiguration(uint64_t id) {
  usb_redir_configuration_status_header s{usb_redir_ioerror, 0};
  if (device_) {
    s.status = usb_redir_success;
    s.configuration = device_->Configuration();
  }
  usbredirparser_send_configuration_status(parser_, id, &s);
}

void UsbredirDevice::OnSetAltSetting(uint64_t id, uint8_t interface, uint8_t alt) {
  usb_redir_alt_setting_status_header s{usb_redir_ioerror, interface, 0};
  if (device_) {
    s.status = device_->SetInterface(interface, alt) ? usb_redir_success : usb_redir_stall;
    s.alt = device_->AltSetting(interface).value_or(0);
  }
  usbredirparser_send_alt_setting_status(parser_, id, &s);
}

void UsbredirDevice::OnGetAltSetting(uint64_t id, uint8_t interface) {
  usb_redir_alt_setting_status_header s{usb_redir_ioerror, interface, 0};
  if (device_) {
    const auto alt = device_->AltSetting(interface);
    s.status = alt ? usb_redir_success : usb_redir_stall;
    s.alt = alt.value_or(0);
  }
  usbredirparser_send_alt_setting_status(parser_, id, &s);
}

void UsbredirDevice::OnStartInterrupt(uint64_t id, uint8_t endpoint) {
  usb_redir_interrupt_receiving_status_header s{usb_redir_ioerror, endpoint};
  if (device_) {
    const auto* e = device_->FindEndpoint(endpoint);
    if (e && e->type == usb_redir_type_interrupt && (endpoint & 0x80)) {
      s.status = usb_redir_success;
      interruptReceiving_ = true;
    } else {
      s.status = usb_redir_inval;
    }
  }
  usbredirparser_send_interrupt_receiving_status(parser_, id, &s);
  Service();
}

void UsbredirDevice::OnStopInterrupt(uint64_t id, uint8_t endpoint) {
  usb_redir_interrupt_receiving_status_header s{usb_redir_ioerror, endpoint};
  if (device_) {
    const auto* e = device_->FindEndpoint(endpoint);
    s.status = e && e->type == usb_redir_type_interrupt ? usb_redir_success : usb_redir_inval;
    if (s.status == usb_redir_success) interruptReceiving_ = false;
  }
  usbredirparser_send_interrupt_receiving_status(parser_, id, &s);
}

// ---- Data packets ------------------------------------------------------------------------------

void UsbredirDevice::OnControl(uint64_t id, const void* header, const uint8_t* data, int length) {
  usb_redir_control_packet_header h;
  std::memcpy(&h, header, sizeof h);
  const bool in = (h.requesttype & 0x80) != 0;
  std::vector<uint8_t> reply;
  if (!device_) {
    h.status = usb_redir_ioerror;
  } else if ((h.endpoint & 0x7F) != 0 || (h.endpoint & 0x80) != (h.requesttype & 0x80) ||
             (in ? length != 0 : length != h.length)) {
    h.status = usb_redir_inval;
  } else {
    const sim::UsbSetup setup{h.requesttype, h.request, h.value, h.index, h.length};
    const uint8_t configuration = device_->Configuration();
    auto result = device_->Control(setup, data, static_cast<size_t>(length));
    if (!result) {
      h.status = usb_redir_stall;
    } else {
      h.status = usb_redir_success;
      if (result->size() > h.length) result->resize(h.length);
      if (in) reply = std::move(*result);
      // A SET_CONFIGURATION carried as a control packet changes the endpoints as the message does.
      if (device_->Configuration() != configuration ||
          ((h.requesttype & 0x60) == 0 && (h.request == 0x09 || h.request == 0x0B))) {
        CancelPending(usb_redir_cancelled);
        interruptReceiving_ = false;
        SendInfo();
      }
    }
  }
  h.length = static_cast<uint16_t>(in ? reply.size() : (h.status == usb_redir_success ? h.length : 0));
  usbredirparser_send_control_packet(parser_, id, &h, reply.empty() ? nullptr : reply.data(),
                                     static_cast<int>(reply.size()));
  Service();
}

void UsbredirDevice::OnBulk(uint64_t id, const void* header, const uint8_t* data, int length) {
  usb_redir_bulk_packet_header h;
  std::memcpy(&h, header, sizeof h);
  uint32_t asked = h.length;
  if (usbredirparser_peer_has_cap(parser_, usb_redir_cap_32bits_bulk_length) &&
      usbredirparser_have_cap(parser_, usb_redir_cap_32bits_bulk_length)) {
    asked |= static_cast<uint32_t>(h.length_high) << 16;
  }
  const bool in = (h.endpoint & 0x80) != 0;
  auto refuse = [&](uint8_t status) {
    h.status = status;
    h.length = 0;
    h.length_high = 0;
    usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0);
  };
  const UsbWireDevice::Endpoint* e = device_ ? device_->FindEndpoint(h.endpoint) : nullptr;
  if (!device_) return refuse(usb_redir_ioerror);
  if (!e || e->type != usb_redir_type_bulk || h.stream_id != 0 ||
      (in ? length != 0 : static_cast<uint32_t>(length) != asked)) {
    return refuse(usb_redir_inval);
  }
  if (device_->Halted(h.endpoint)) return refuse(usb_redir_stall);
  if (in) {
    if (pendingIn_.size() >= options_.maxPendingIn) return refuse(usb_redir_inval);
    pendingIn_.push_back({id, h.endpoint, asked, h.stream_id});
  } else {
    if (pendingOut_.size() >= options_.maxPendingIn) return refuse(usb_redir_inval);
    const uint64_t ticket = device_->BulkOut(data, static_cast<size_t>(length));
    pendingOut_.push_back({id, ticket, h.endpoint, asked});
  }
  Service();
}

void UsbredirDevice::OnInterrupt(uint64_t id, uint8_t endpoint) {
  // The device has no interrupt-OUT endpoint, and interrupt-IN data comes by receiving.
  usb_redir_interrupt_packet_header h{endpoint, device_ ? uint8_t{usb_redir_inval}
                                                        : uint8_t{usb_redir_ioerror}, 0};
  usbredirparser_send_interrupt_packet(parser_, id, &h, nullptr, 0);
}

void UsbredirDevice::OnIso(uint64_t id, uint8_t endpoint) {
  usb_redir_iso_packet_header h{endpoint, device_ ? uint8_t{usb_redir_inval}
                                                  : uint8_t{usb_redir_ioerror}, 0};
  usbredirparser_send_iso_packet(parser_, id, &h, nullptr, 0);
}

void UsbredirDevice::OnCancel(uint64_t id) {
  for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
    if (it->id == id) {
      const PendingIn p = *it;
      pendingIn_.erase(it);
      CompleteIn(p, usb_redir_cancelled, {});
      return;
    }
  }
  for (auto it = pendingOut_.begin(); it != pendingOut_.end(); ++it) {
    if (it->id == id) {
      const PendingOut p = *it;
      pendingOut_.erase(it);
      if (device_) device_->CancelOut(p.ticket);
      CompleteOut(p, usb_redir_cancelled, 0);
      return;
    }
  }
  // Already completed (the completion crossed the cancel on the wire): nothing to do.
}

void UsbredirDevice::CompleteIn(const PendingIn& p, uint8_t status,
                                const std::vector<uint8_t>& data) {
  usb_redir_bulk_packet_header h{};
  h.endpoint = p.endpoint;
  h.status = status;
  h.length = static_cast<uint16_t>(data.size() & 0xFFFF);
  h.length_high = static_cast<uint16_t>(data.size() >> 16);
  h.stream_id = p.streamId;
  usbredirparser_send_bulk_packet(parser_, p.id, &h,
                                  data.empty() ? nullptr : const_cast<uint8_t*>(data.data()),
                                  static_cast<int>(data.size()));
}

void UsbredirDevice::CompleteOut(const PendingOut& p, uint8_t status, uint32_t length) {
  usb_redir_bulk_packet_header h{};
  h.endpoint = p.endpoint;
  h.status = status;
  h.length = static_cast<uint16_t>(length & 0xFFFF);
  h.length_high = static_cast<uint16_t>(length >> 16);
  usbredirparser_send_bulk_packet(parser_, p.id, &h, nullptr, 0);
}

void UsbredirDevice::CancelPending(uint8_t status) {
  while (!pendingIn_.empty()) {
    const PendingIn p = pendingIn_.front();
    pendingIn_.pop_front();
    CompleteIn(p, status, {});
  }
  while (!pendingOut_.empty()) {
    const PendingOut p = pendingOut_.front();
    pendingOut_.pop_front();
    if (device_) device_->CancelOut(p.ticket);
    CompleteOut(p, status, 0);
  }
}

void UsbredirDevice::Service() {
  if (!device_ || !Open()) return;
  device_->Service();
  for (uint64_t ticket : device_->TakeCompletedOut()) {
    for (auto it = pendingOut_.begin(); it != pendingOut_.end(); ++it) {
      if (it->ticket == ticket) {
        CompleteOut(*it, usb_redir_success, it->length);
        pendingOut_.erase(it);
        break;
      }
    }
  }
  while (!pendingIn_.empty()) {
    const PendingIn p = pendingIn_.front();
    if (device_->Halted(p.endpoint)) {
      pendingIn_.pop_front();
      CompleteIn(p, usb_redir_stall, {});
      continue;
    }
    if (p.length != 0 && device_->BulkInQueued() == 0) break;
    pendingIn_.pop_front();
    CompleteIn(p, usb_redir_success, device_->TakeBulkIn(p.length));
  }
  if (interruptReceiving_) {
    uint8_t endpoint = 0;
    for (const auto& e : device_->Endpoints()) {
      if (e.type == usb_redir_type_interrupt && (e.address & 0x80)) endpoint = e.address;
    }
    while (device_->NotificationQueued()) {
      std::vector<uint8_t> n = device_->TakeNotification();
      usb_redir_interrupt_packet_header h{endpoint, usb_redir_success,
                                          static_cast<uint16_t>(n.size())};
      usbredirparser_send_interrupt_packet(parser_, interruptId_++, &h, n.data(),
                                           static_cast<int>(n.size()));
    }
  }
  CheckOutput();
}

}  // namespace sim

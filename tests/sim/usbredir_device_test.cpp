// The modem served over usbredir (sim::UsbredirDevice), driven by a usbredirparser in the
// usb-guest role, the role QEMU's usb-redir plays, over a socket pair in one thread with a
// virtual clock: what a virtual machine's USB stack sees of the device, and what it cannot do to
// it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <usbredirparser.h>

#include "sim/at_modem.h"
#include "sim/loopback_modem.h"
#include "sim/modem_ids.h"
#include "sim/usb_descriptors.h"
#include "sim/usbredir_device.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

// What came back for one packet id.
struct Reply {
  int status = -1;
  Bytes data;
};

// The usb-guest end: sends requests and records what the device side answers.
class Guest {
 public:
  explicit Guest(int fd) : fd_(fd) {
    p_ = usbredirparser_create();
    p_->priv = this;
    p_->log_func = [](void*, int, const char*) {};
    p_->read_func = [](void* priv, uint8_t* d, int n) -> int {
      ssize_t r = recv(static_cast<Guest*>(priv)->fd_, d, static_cast<size_t>(n), MSG_DONTWAIT);
      return r > 0 ? static_cast<int>(r) : (r == 0 ? -1 : 0);
    };
    p_->write_func = [](void* priv, uint8_t* d, int n) -> int {
      ssize_t r = send(static_cast<Guest*>(priv)->fd_, d, static_cast<size_t>(n), MSG_DONTWAIT);
      return r >= 0 ? static_cast<int>(r) : 0;
    };
    p_->hello_func = [](void* priv, usb_redir_hello_header*) { G(priv)->hello = true; };
    p_->device_connect_func = [](void* priv, usb_redir_device_connect_header* h) {
      G(priv)->connect = *h;
      ++G(priv)->connects;
    };
    p_->device_disconnect_func = [](void* priv) {
      ++G(priv)->disconnects;  // the parser acknowledges it by itself
    };
    p_->interface_info_func = [](void* priv, usb_redir_interface_info_header* h) {
      G(priv)->interfaces = *h;
    };
    p_->ep_info_func = [](void* priv, usb_redir_ep_info_header* h) { G(priv)->eps = *h; };
    p_->configuration_status_func = [](void* priv, uint64_t id,
                                       usb_redir_configuration_status_header* h) {
      G(priv)->replies[id] = {h->status, {h->configuration}};
    };
    p_->alt_setting_status_func = [](void* priv, uint64_t id,
                                     usb_redir_alt_setting_status_header* h) {
      G(priv)->replies[id] = {h->status, {h->alt}};
    };
    p_->interrupt_receiving_status_func = [](void* priv, uint64_t id,
                                             usb_redir_interrupt_receiving_status_header* h) {
      G(priv)->replies[id] = {h->status, {}};
    };
    p_->control_packet_func = [](void* priv, uint64_t id, usb_redir_control_packet_header* h,
                                 uint8_t* d, int n) {
      G(priv)->replies[id] = {h->status, Bytes(d, d + n)};
      usbredirparser_free_packet_data(G(priv)->p_, d);
    };
    p_->bulk_packet_func = [](void* priv, uint64_t id, usb_redir_bulk_packet_header* h,
                              uint8_t* d, int n) {
      G(priv)->replies[id] = {h->status, Bytes(d, d + n)};
      usbredirparser_free_packet_data(G(priv)->p_, d);
    };
    p_->interrupt_packet_func = [](void* priv, uint64_t id, usb_redir_interrupt_packet_header* h,
                                   uint8_t* d, int n) {
      if (h->endpoint == 0x83 && h->status == usb_redir_success) {
        G(priv)->notifications.push_back(Bytes(d, d + n));
      } else {
        G(priv)->replies[id] = {h->status, {}};
      }
      usbredirparser_free_packet_data(G(priv)->p_, d);
    };
    p_->iso_packet_func = [](void* priv, uint64_t id, usb_redir_iso_packet_header* h, uint8_t* d,
                             int) {
      G(priv)->replies[id] = {h->status, {}};
      usbredirparser_free_packet_data(G(priv)->p_, d);
    };
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_device_disconnect_ack,
                    usb_redir_cap_filter,
                    usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                    usb_redir_cap_32bits_bulk_length}) {
      usbredirparser_caps_set_cap(caps, cap);
    }
    usbredirparser_init(p_, "test guest", caps, USB_REDIR_CAPS_SIZE, 0);
  }
  ~Guest() { usbredirparser_destroy(p_); }
  static Guest* G(void* priv) { return static_cast<Guest*>(priv); }

  usbredirparser* p() { return p_; }
  uint64_t Control(uint8_t bm, uint8_t req, uint16_t value, uint16_t index, uint16_t length,
                   Bytes out = {}) {
    usb_redir_control_packet_header h{static_cast<uint8_t>(bm & 0x80), req, bm, 0, value, index,
                                      length};
    usbredirparser_send_control_packet(p_, ++id_, &h, out.empty() ? nullptr : out.data(),
                                       static_cast<int>(out.size()));
    return id_;
  }
  uint64_t Bulk(uint8_t ep, uint32_t length, Bytes out = {}) {
    usb_redir_bulk_packet_header h{ep, 0, static_cast<uint16_t>(length), 0,
                                   static_cast<uint16_t>(length >> 16)};
    usbredirparser_send_bulk_packet(p_, ++id_, &h, out.empty() ? nullptr : out.data(),
                                    static_cast<int>(out.size()));
    return id_;
  }
  uint64_t Next() { return ++id_; }

  bool hello = false;
  int connects = 0, disconnects = 0;
  usb_redir_device_connect_header connect{};
  usb_redir_interface_info_header interfaces{};
  usb_redir_ep_info_header eps{};
  std::map<uint64_t, Reply> replies;
  std::vector<Bytes> notifications;
  int fd_;

 private:
  usbredirparser* p_;
  uint64_t id_ = 0;
};

class UsbredirTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(true); }
  void TearDown() override { Stop(); }

  void Start(bool plugged, LineOptions line = {}, bool loopback = false) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    serverFd_ = sv[0];
    guestFd_ = sv[1];
    UsbredirOptions o;
    o.device.vendorId = kModemVendorId;
    o.device.productId = kModemProductId;
    o.device.hub.bulkMaxPacket = 512;
    o.device.line = line;
    o.makeModem = [this, loopback]() -> std::unique_ptr<Modem> {
      ++modems_;
      if (loopback) return std::make_unique<LoopbackModem>();
      return std::make_unique<AtModem>();
    };
    o.clock = [this] { return now_; };
    o.event = [this](const std::string& e) { events_.push_back(e); };
    o.maxPendingIn = 4;
    server_ = std::make_unique<UsbredirDevice>(serverFd_, o, plugged);
    guest_ = std::make_unique<Guest>(guestFd_);
    Pump();
  }
  void Stop() {
    guest_.reset();
    server_.reset();
    close(serverFd_);
    close(guestFd_);
  }
  // Moves everything queued both ways until neither side has more to say.
  void Pump(uint64_t advanceNs = 0) {
    now_ += advanceNs;
    for (int round = 0; round < 20; ++round) {
      server_->Service();
      server_->Write();
      usbredirparser_do_write(guest_->p());
      usbredirparser_do_read(guest_->p());
      if (server_->Open()) server_->Read();
    }
  }
  // A control transfer's reply: status and data.
  Reply Ctl(uint8_t bm, uint8_t req, uint16_t value, uint16_t index, uint16_t length,
            Bytes out = {}) {
    const uint64_t id = guest_->Control(bm, req, value, index, length, std::move(out));
    Pump();
    return guest_->replies.count(id) ? guest_->replies[id] : Reply{};
  }
  std::string ReadIn() {
    const uint64_t id = guest_->Bulk(0x81, 4096);
    Pump(1000000);
    return guest_->replies.count(id) ? S(guest_->replies[id].data) : "(pending)";
  }
  void Out(const std::string& s) {
    const uint64_t id = guest_->Bulk(0x02, static_cast<uint32_t>(s.size()), B(s));
    Pump(1000000);
    EXPECT_EQ(guest_->replies[id].status, usb_redir_success);
  }

  uint64_t now_ = 0;
  int serverFd_ = -1, guestFd_ = -1;
  int modems_ = 0;
  std::vector<std::string> events_;
  std::unique_ptr<UsbredirDevice> server_;
  std::unique_ptr<Guest> guest_;
};

// The whole life of the device as a virtual machine sees it, in order.
TEST_F(UsbredirTest, ServesTheModemFromConnectionToReplug) {
  HubOptions hub;
  hub.bulkMaxPacket = 512;
  // Hello, then the interfaces and endpoints of configuration 1, then the device itself.
  ASSERT_TRUE(guest_->hello);
  ASSERT_EQ(guest_->connects, 1);
  EXPECT_EQ(guest_->connect.speed, usb_redir_speed_high);
  EXPECT_EQ(guest_->connect.vendor_id, kModemVendorId);
  EXPECT_EQ(guest_->connect.product_id, kModemProductId);
  EXPECT_EQ(guest_->connect.device_class, 0x02);
  EXPECT_EQ(guest_->connect.device_version_bcd, 0x0100);
  EXPECT_EQ(guest_->interfaces.interface_count, 2u);
  EXPECT_EQ(guest_->interfaces.interface_class[0], 0x02);
  EXPECT_EQ(guest_->interfaces.interface_class[1], 0x0A);
  EXPECT_EQ(guest_->eps.type[0x11], usb_redir_type_bulk);       // 0x81
  EXPECT_EQ(guest_->eps.type[0x02], usb_redir_type_bulk);       // 0x02
  EXPECT_EQ(guest_->eps.type[0x13], usb_redir_type_interrupt);  // 0x83
  EXPECT_EQ(guest_->eps.max_packet_size[0x11], 512);
  EXPECT_EQ(guest_->eps.interval[0x13], 10);
  EXPECT_EQ(guest_->eps.type[0x01], usb_redir_type_invalid);

  // Descriptors read back byte for byte, short reads as asked; strings; the qualifier.
  const Bytes device = BuildDeviceDescriptor(kModemVendorId, kModemProductId, hub);
  const Bytes config = BuildConfigurationDescriptor(hub, 0);
  EXPECT_EQ(Ctl(0x80, 6, 0x0100, 0, 8).data, Bytes(device.begin(), device.begin() + 8));
  EXPECT_EQ(Ctl(0x80, 6, 0x0100, 0, 64).data, device);
  EXPECT_EQ(Ctl(0x80, 6, 0x0200, 0, 9).data, Bytes(config.begin(), config.begin() + 9));
  EXPECT_EQ(Ctl(0x80, 6, 0x0200, 0, 255).data, config);
  EXPECT_EQ(Ctl(0x80, 6, 0x0300, 0, 255).data, (Bytes{4, 3, 0x09, 0x04}));
  EXPECT_EQ(Ctl(0x80, 6, 0x0302, 0x0409, 255).data.size(), 2u + 2 * std::strlen("Tavrin USB Modem"));
  EXPECT_EQ(Ctl(0x80, 6, 0x0600, 0, 10).data.size(), 10u);
  EXPECT_EQ(Ctl(0x80, 6, 0x0700, 0, 255).data[1], 0x07);

  // Resets, as a virtual machine's enumeration makes them; SET_CONFIGURATION and
  // GET_CONFIGURATION as usb-redir sends them (messages of their own).
  usbredirparser_send_reset(guest_->p());
  usbredirparser_send_reset(guest_->p());
  usb_redir_set_configuration_header sc{1};
  uint64_t id = guest_->Next();
  usbredirparser_send_set_configuration(guest_->p(), id, &sc);
  Pump();
  EXPECT_EQ(guest_->replies[id].status, usb_redir_success);
  EXPECT_EQ(guest_->replies[id].data, Bytes{1});
  id = guest_->Next();
  usbredirparser_send_get_configuration(guest_->p(), id);
  Pump();
  EXPECT_EQ(guest_->replies[id].data, Bytes{1});

  // Line coding round trip; the control lines reach the modem.
  const Bytes coding = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};  // 115200 8N1
  EXPECT_EQ(Ctl(0x21, 0x20, 0, 0, 7, coding).status, usb_redir_success);
  EXPECT_EQ(Ctl(0xA1, 0x21, 0, 0, 7).data, coding);
  EXPECT_EQ(Ctl(0x21, 0x22, 3, 0, 0).status, usb_redir_success);
  EXPECT_EQ(server_->Device()->ControlLineState(), 3);
  EXPECT_EQ(Ctl(0x02, 0x01, 0, 0x81, 0).status, usb_redir_success);  // CLEAR_FEATURE(HALT)
  EXPECT_EQ(Ctl(0x82, 0x00, 0, 0x81, 2).data, (Bytes{0, 0}));        // GET_STATUS

  // Notifications flow once interrupt receiving starts.
  id = guest_->Next();
  usb_redir_start_interrupt_receiving_header si{0x83};
  usbredirparser_send_start_interrupt_receiving(guest_->p(), id, &si);
  Pump();
  EXPECT_EQ(guest_->replies[id].status, usb_redir_success);
  // The modem's first SERIAL_STATE (DSR on) waited through the resets for the first reader.
  ASSERT_EQ(guest_->notifications.size(), 1u);
  EXPECT_EQ(guest_->notifications[0], SerialStateNotification(0x0002));
  guest_->notifications.clear();

  // The AT dialogue: ATZ out, OK back.
  Out("ATZ\r");
  EXPECT_EQ(ReadIn(), "ATZ\r\r\nOK\r\n");

  // A bulk-IN packet waits for data, then is cancelled.
  const uint64_t pending = guest_->Bulk(0x81, 64);
  Pump(5000000);
  EXPECT_EQ(guest_->replies.count(pending), 0u);
  EXPECT_EQ(server_->PendingBulkIn(), 1u);
  usbredirparser_send_cancel_data_packet(guest_->p(), pending);
  Pump();
  EXPECT_EQ(guest_->replies[pending].status, usb_redir_cancelled);
  EXPECT_EQ(server_->PendingBulkIn(), 0u);

  // A carrier change: dialling the echo peer raises DCD, seen as SERIAL_STATE on 0x83.
  Out("ATE0D1\r");
  EXPECT_EQ(ReadIn(), "ATE0D1\r\r\nCONNECT 115200\r\n");  // echoed before E0 takes effect
  ASSERT_FALSE(guest_->notifications.empty());
  EXPECT_EQ(guest_->notifications.back(), SerialStateNotification(0x0003));
  Out("echo me");
  EXPECT_EQ(ReadIn(), "echo me");

  // Unplug with a packet pending: it ends cancelled, the peer hears of the removal.
  const uint64_t orphan = guest_->Bulk(0x81, 64);
  Pump();
  server_->Unplug();
  Pump();
  EXPECT_EQ(guest_->replies[orphan].status, usb_redir_cancelled);
  EXPECT_EQ(guest_->disconnects, 1);
  EXPECT_FALSE(server_->Connected());
  // A packet that crosses the removal gets an I/O error, not a crash.
  const uint64_t late = guest_->Bulk(0x02, 2, B("AT"));
  Pump();
  EXPECT_EQ(guest_->replies[late].status, usb_redir_ioerror);

  // Replug: a new device (a new modem) connects, in command mode again.
  server_->Plug();
  Pump();
  EXPECT_EQ(guest_->connects, 2);
  EXPECT_EQ(modems_, 2);
  Out("AT\r");
  EXPECT_EQ(ReadIn(), "AT\r\r\nOK\r\n");
  EXPECT_EQ(events_.front(), "peer connected (test guest)");

  // The peer refuses the device (QEMU: a speed its port does not take): it is dropped, and said.
  usbredirparser_send_filter_reject(guest_->p());
  Pump();
  EXPECT_TRUE(server_->Refused());
  EXPECT_FALSE(server_->Connected());
  EXPECT_NE(events_.back().find("peer refused the device at high speed"), std::string::npos);
}

// A line kept at 9600 bit/s (960 characters a second, 8N1) with a 64-byte transmit buffer: a
// bulk-OUT packet completes when its last byte is in the buffer, and the bytes come back from
// the loopback modem no faster than the line carries them, all of them, in order.
TEST_F(UsbredirTest, PacedLineKeepsTime) {
  Stop();
  LineOptions line;
  line.paced = true;
  line.bitsPerSecond = 9600;
  Start(true, line, /*loopback=*/true);
  Bytes sent(200);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
  const uint64_t out = guest_->Bulk(0x02, 200, sent);
  Pump();
  EXPECT_EQ(guest_->replies.count(out), 0u) << "136 bytes wait for room in the buffer";
  for (int ms = 0; ms < 130; ms += 10) Pump(10000000);
  EXPECT_EQ(guest_->replies.count(out), 0u) << "130 ms carry 124 characters";
  for (int ms = 130; ms < 150; ms += 10) Pump(10000000);
  EXPECT_EQ(guest_->replies[out].status, usb_redir_success) << "150 ms carry 144";
  Bytes back;
  while (back.size() < sent.size() && now_ < 2000000000) {
    const uint64_t in = guest_->Bulk(0x81, 512);
    Pump(10000000);
    while (!guest_->replies.count(in)) Pump(10000000);
    const Bytes& got = guest_->replies[in].data;
    back.insert(back.end(), got.begin(), got.end());
    // Never ahead of the line: the modem's bytes came in after the computer's went out.
    EXPECT_LE(back.size(), 64u + 960u * (now_ / 1000000) / 1000) << "at " << now_ / 1000000 << " ms";
  }
  EXPECT_EQ(back, sent);
}

// What the device refuses, each on a fresh connection: the answer, or the connection closed for
// a packet the parser cannot read. The server must survive all of them.
TEST_F(UsbredirTest, RefusesWhatTheDeviceDoesNotHave) {
  auto send = [](Guest& g, uint64_t id, uint32_t type, const Bytes& header, const Bytes& data) {
    // A packet written raw, as a hostile peer could: 16-byte header with a 64-bit id.
    Bytes p(16);
    const uint32_t length = static_cast<uint32_t>(header.size() + data.size());
    std::memcpy(&p[0], &type, 4);
    std::memcpy(&p[4], &length, 4);
    std::memcpy(&p[8], &id, 8);
    p.insert(p.end(), header.begin(), header.end());
    p.insert(p.end(), data.begin(), data.end());
    ASSERT_EQ(::send(g.fd_, p.data(), p.size(), 0), static_cast<ssize_t>(p.size()));
  };
  struct Case {
    const char* what;
    std::function<uint64_t(Guest&)> send;
    int status;  // -1: the connection is closed
  };
  const Case cases[] = {
      {"bulk to an endpoint the device lacks", [](Guest& g) { return g.Bulk(0x85, 8); },
       usb_redir_inval},
      {"bulk-OUT to an endpoint the device lacks",
       [](Guest& g) { return g.Bulk(0x03, 2, B("AT")); }, usb_redir_inval},
      {"bulk-IN on the interrupt endpoint", [](Guest& g) { return g.Bulk(0x83, 16); },
       usb_redir_inval},
      {"a fifth pending bulk-IN packet",
       [](Guest& g) {
         for (int i = 0; i < 4; ++i) g.Bulk(0x81, 64);
         return g.Bulk(0x81, 64);
       },
       usb_redir_inval},
      {"bulk-IN on a halted endpoint",
       [](Guest& g) {
         g.Control(0x02, 0x03, 0, 0x81, 0);  // SET_FEATURE(ENDPOINT_HALT)
         return g.Bulk(0x81, 64);
       },
       usb_redir_stall},
      {"a descriptor type the device lacks", [](Guest& g) { return g.Control(0x80, 6, 0x2200, 0, 64); },
       usb_redir_stall},
      {"a string index the device lacks", [](Guest& g) { return g.Control(0x80, 6, 0x0309, 0, 64); },
       usb_redir_stall},
      {"a vendor request", [](Guest& g) { return g.Control(0xC0, 1, 0, 0, 4); }, usb_redir_stall},
      {"a class request to the data interface",
       [](Guest& g) { return g.Control(0xA1, 0x21, 0, 1, 7); }, usb_redir_stall},
      {"SET_LINE_CODING of 6 bytes",
       [](Guest& g) { return g.Control(0x21, 0x20, 0, 0, 6, Bytes(6)); }, usb_redir_stall},
      {"SEND_BREAK (the ACM descriptor does not offer it)",
       [](Guest& g) { return g.Control(0x21, 0x23, 100, 0, 0); }, usb_redir_stall},
      {"CLEAR_FEATURE(HALT) of an endpoint the device lacks",
       [](Guest& g) { return g.Control(0x02, 0x01, 0, 0x85, 0); }, usb_redir_stall},
      {"configuration 2",
       [](Guest& g) {
         usb_redir_set_configuration_header h{2};
         uint64_t id = g.Next();
         usbredirparser_send_set_configuration(g.p(), id, &h);
         return id;
       },
       usb_redir_stall},
      {"alternate setting 1",
       [](Guest& g) {
         usb_redir_set_alt_setting_header h{0, 1};
         uint64_t id = g.Next();
         usbredirparser_send_set_alt_setting(g.p(), id, &h);
         return id;
       },
       usb_redir_stall},
      {"interrupt receiving on a bulk endpoint",
       [](Guest& g) {
         usb_redir_start_interrupt_receiving_header h{0x81};
         uint64_t id = g.Next();
         usbredirparser_send_start_interrupt_receiving(g.p(), id, &h);
         return id;
       },
       usb_redir_inval},
      {"an interrupt-OUT packet",
       [](Guest& g) {
         usb_redir_interrupt_packet_header h{0x03, 0, 2};
         uint8_t d[2] = {1, 2};
         uint64_t id = g.Next();
         usbredirparser_send_interrupt_packet(g.p(), id, &h, d, 2);
         return id;
       },
       usb_redir_inval},
      {"a control packet for endpoint 1",
       [&](Guest& g) {
         send(g, 900, usb_redir_control_packet, {0x81, 6, 0x80, 0, 0, 1, 0, 0, 18, 0}, {});
         return uint64_t{900};
       },
       usb_redir_inval},
      {"a control-OUT packet with 2 of its 7 data bytes",
       [&](Guest& g) {
         send(g, 901, usb_redir_control_packet, {0x00, 0x20, 0x21, 0, 0, 0, 0, 0, 7, 0}, {1, 2});
         return uint64_t{901};
       },
       -1},
      {"a bulk-IN packet carrying data",
       [&](Guest& g) {
         send(g, 902, usb_redir_bulk_packet, {0x81, 0, 4, 0, 0, 0, 0, 0, 0, 0}, {1, 2, 3, 4});
         return uint64_t{902};
       },
       -1},
      {"a device_connect (only a usb-host sends it)",
       [&](Guest& g) {
         send(g, 903, usb_redir_device_connect, Bytes(10), {});
         return uint64_t{903};
       },
       -1},
      {"a packet that says it is 2 GiB long",
       [&](Guest& g) {
         Bytes p(16);
         const uint32_t type = usb_redir_bulk_packet, length = 0x7FFFFFF0;
         std::memcpy(&p[0], &type, 4);
         std::memcpy(&p[4], &length, 4);
         p.insert(p.end(), {0x02, 0, 0xF0, 0xFF, 0, 0, 0, 0, 0xFF, 0x7F});
         EXPECT_EQ(::send(g.fd_, p.data(), p.size(), 0), static_cast<ssize_t>(p.size()));
         return uint64_t{905};
       },
       -1},
      {"an unknown packet type",
       [&](Guest& g) {
         send(g, 904, 77, Bytes(3), {});
         return uint64_t{904};
       },
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Stop();
    Start(true);
    const uint64_t id = c.send(*guest_);
    Pump();
    if (c.status < 0) {
      EXPECT_FALSE(server_->Open());
      continue;
    }
    ASSERT_TRUE(server_->Open()) << server_->CloseReason();
    ASSERT_EQ(guest_->replies.count(id), 1u);
    EXPECT_EQ(guest_->replies[id].status, c.status);
    // The device still answers afterwards.
    EXPECT_EQ(Ctl(0x80, 0x08, 0, 0, 1).data, Bytes{1});
  }
}

}  // namespace
}  // namespace sim

// mdmhost usbredir: the simulated modem as a USB device over the network, in the usbredir
// protocol, for a virtual machine to plug in (QEMU's usb-redir device connects to it as a TCP
// client). One thread: a poll loop over the listening socket, the peer, standard input (the
// commands plug, unplug, status, quit) and a self-pipe for SIGINT and SIGTERM; the modem's time
// runs on the machine's monotonic clock. The protocol itself is sim::UsbredirDevice.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "line_options.h"
#include "sim/at_modem.h"
#include "sim/loopback_modem.h"
#include "sim/modem_ids.h"
#include "sim/usbredir_device.h"

namespace mdmhost {

const char* const kUsbredirHelp =
    "Usage: mdmhost usbredir --listen PORT [--host ADDR] [--modem at|loopback]\n"
    "                        [--speed high|full] [--once] [--unplugged] [--unplug-after SECONDS]\n"
    "                        [--rate BPS | --paced] [--tx-buffer BYTES] [--rts-flow]\n"
    "\n"
    "Serves the simulated modem as a USB device in the usbredir protocol, the device's side\n"
    "(usb-host), so that a virtual machine plugs it in as a USB modem of its own:\n"
    "\n"
    "  mdmhost usbredir --listen 4000 &\n"
    "  qemu-system-i386 ... -device usb-ehci,id=ehci \\\n"
    "      -chardev socket,id=m,host=127.0.0.1,port=4000 -device usb-redir,chardev=m,bus=ehci.0\n"
    "\n"
    "The device is the modem's USB device with its CDC ACM descriptors (VID_1A2B&PID_0001), the\n"
    "one the package's tavrinbus.inf installs on. Standard input takes one command a line:\n"
    "  plug      plug the device in (it is plugged at start unless --unplugged)\n"
    "  unplug    pull it out (surprise removal: pending transfers end, the peer is told)\n"
    "  status    one line of state\n"
    "  quit      end (as SIGINT and SIGTERM do)\n"
    "Each event is one line on standard output, beginning \"usbredir: \": listening on ADDR:PORT,\n"
    "peer connected (VERSION), device plugged (SPEED, VID_xxxx&PID_xxxx&REV_xxxx), device\n"
    "unplugged, peer closed (WHY), stopped. A harness waits for these lines.\n"
    "\n"
    "Options:\n"
    "  --listen PORT          the TCP port to listen on (0: any free port, printed)\n"
    "  --host ADDR            the address to listen on, default 127.0.0.1\n"
    "  --modem at|loopback    the modem model, default at (the AT modem: dial any number for the\n"
    "                         built-in echo peer, or a.b.c.d:port for a TCP host)\n"
    "  --speed high|full      high (the default: 512-byte bulk packets, for an EHCI controller)\n"
    "                         or full (64-byte packets, for UHCI or OHCI)\n"
    "  --once                 end when the first peer goes, instead of waiting for the next\n"
    "  --unplugged            start with the device pulled out (plug it with \"plug\")\n"
    "  --unplug-after SECONDS pull the device out this long after it was first plugged into a\n"
    "                         peer\n"
    "\n"
    "A modem that keeps time:\n"
    "  --rate BPS             the modem keeps time at a fixed line rate of BPS bit/s (the AT\n"
    "                         modem also reports it as its CONNECT rate)\n"
    "  --paced                the modem keeps time at the rate the guest sets (SET_LINE_CODING)\n"
    "  --tx-buffer BYTES      with --rate or --paced: the modem's transmit buffer (default 64);\n"
    "                         a bulk-OUT packet completes once its last byte is in it\n"
    "  --rts-flow             with --rate or --paced: the modem sends nothing to the guest\n"
    "                         while the guest holds RTS low\n"
    "\n"
    "Each device plugged into a peer has a new modem, as a modem put back in starts afresh.\n"
    "Exit status: 0 after quit or a signal (or with --once when the peer goes), 1 on an error.\n";

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 's';
  ssize_t ignored = write(gSignalPipe[1], &c, 1);
  (void)ignored;
}

uint64_t NowNs() {
  static const auto start = std::chrono::steady_clock::now();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count());
}

void Say(const std::string& line) {
  std::printf("usbredir: %s\n", line.c_str());
  std::fflush(stdout);
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

struct Config {
  std::string host = "127.0.0.1";
  unsigned port = 0;
  bool at = true;
  bool once = false;
  bool plugged = true;
  uint64_t unplugAfterNs = 0;
  uint32_t connectRate = 0;
  sim::UsbredirOptions options;
};

class Server {
 public:
  explicit Server(Config config) : c_(std::move(config)) {}

  int Run() {
    Listen();
    plugged_ = c_.plugged;
    bool stdinOpen = true;
    std::string input;
    while (!stop_) {
      std::vector<pollfd> fds;
      fds.push_back({gSignalPipe[0], POLLIN, 0});
      fds.push_back({listenFd_, POLLIN, 0});
      fds.push_back({stdinOpen ? 0 : -1, POLLIN, 0});
      fds.push_back({peer_ ? peerFd_ : -1,
                     static_cast<short>(POLLIN | (peer_ && peer_->WantsWrite() ? POLLOUT : 0)), 0});
      const int timeout = Timeout();
      if (poll(fds.data(), fds.size(), timeout) < 0) {
        if (errno == EINTR) continue;
        throw RunError(std::string("poll: ") + std::strerror(errno));
      }
      if (fds[0].revents) break;
      if (fds[2].revents) stdinOpen = ReadCommands(&input);
      if (fds[1].revents & POLLIN) Accept();
      if (peer_ && fds[3].revents) peer_->Read();
      if (peer_) {
        peer_->Service();
        peer_->Write();
        if (peer_->Connected() && c_.unplugAfterNs && unplugAt_ == 0) {
          unplugAt_ = NowNs() + c_.unplugAfterNs;
        }
        if (unplugAt_ && NowNs() >= unplugAt_ && plugged_) {
          unplugAt_ = UINT64_MAX;
          Unplug();
        }
        if (!peer_->Open()) {
          const std::string why = peer_->CloseReason();
          Say(why == "peer closed" ? why : "peer closed (" + why + ")");
          DropPeer();
          if (c_.once) break;
        }
      }
    }
    DropPeer();
    close(listenFd_);
    Say("stopped");
    return 0;
  }

 private:
  void Listen() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(c_.port);
    if (int e = getaddrinfo(c_.host.c_str(), port.c_str(), &hints, &found)) {
      throw RunError("--host " + c_.host + ": " + gai_strerror(e));
    }
    listenFd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listenFd_ < 0 || bind(listenFd_, found->ai_addr, found->ai_addrlen) < 0 ||
        listen(listenFd_, 2) < 0) {
      const std::string why = std::strerror(errno);
      freeaddrinfo(found);
      throw RunError("cannot listen on " + c_.host + ":" + port + ": " + why);
    }
    freeaddrinfo(found);
    SetNonBlocking(listenFd_);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &len);
    const unsigned actual = ntohs(bound.ss_family == AF_INET6
                                      ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                      : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    char line[256];
    std::snprintf(line, sizeof line, "listening on %s:%u (modem %s, %s, VID_%04X&PID_%04X)",
                  c_.host.c_str(), actual, c_.at ? "at" : "loopback",
                  c_.options.device.hub.bulkMaxPacket >= 512 ? "high speed" : "full speed",
                  c_.options.device.vendorId, c_.options.device.productId);
    Say(line);
  }

  int Timeout() const {
    uint64_t next = peer_ ? peer_->NextWakeNs() : UINT64_MAX;
    if (unplugAt_ && unplugAt_ != UINT64_MAX) next = std::min(next, unplugAt_);
    if (next == UINT64_MAX) return -1;
    const uint64_t now = NowNs();
    if (next <= now) return 0;
    return static_cast<int>(std::min<uint64_t>((next - now + 999999) / 1000000, 1000));
  }

  void Accept() {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (peer_ && peer_->PeerVersion().empty()) {
      // The one being served never said hello (a port probe, not a usbredir guest): the new
      // peer takes its place.
      Say("dropped a peer that never said hello");
      DropPeer();
    }
    if (peer_) {
      Say("refused a second peer (one at a time)");
      close(fd);
      return;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    peerFd_ = fd;
    peer_ = std::make_unique<sim::UsbredirDevice>(fd, c_.options, plugged_);
    peer_->Write();
  }

  void DropPeer() {
    if (!peer_) return;
    peer_.reset();
    close(peerFd_);
    peerFd_ = -1;
  }

  void Unplug() {
    if (!plugged_) return Say("device already unplugged");
    plugged_ = false;
    if (peer_ && peer_->Connected()) {
      peer_->Unplug();
      peer_->Write();
    } else {
      if (peer_) peer_->Unplug();
      Say("device unplugged");
    }
  }

  void Plug() {
    if (plugged_) return Say("device already plugged");
    plugged_ = true;
    if (peer_) {
      peer_->Plug();
      peer_->Write();
      if (peer_->Connected()) return;
      return Say("device plugged in; it connects when the peer is ready");
    }
    Say("device plugged in, waiting for a peer");
  }

  void Status() {
    std::string s = "status: listening";
    if (!peer_) {
      s += ", no peer";
    } else {
      s += ", peer " + (peer_->PeerVersion().empty() ? std::string("(no hello yet)")
                                                     : peer_->PeerVersion());
    }
    s += plugged_ ? ", device plugged" : ", device unplugged";
    if (peer_ && peer_->Refused()) s += " (refused by the peer: see --speed)";
    if (peer_ && peer_->Device()) {
      sim::UsbWireDevice& d = *peer_->Device();
      const sim::LineCoding& lc = d.CurrentLineCoding();
      char buf[256];
      std::snprintf(buf, sizeof buf,
                    " into the peer, configuration %u, line %u %u%c%s, DTR %s RTS %s, serial "
                    "state 0x%04X, bulk-IN pending %zu, interrupt %s",
                    d.Configuration(), lc.rate, lc.dataBits, "NOEMS"[lc.parity % 5],
                    lc.stopBits == 0 ? "1" : lc.stopBits == 1 ? "1.5" : "2",
                    d.ControlLineState() & 1 ? "on" : "off",
                    d.ControlLineState() & 2 ? "on" : "off", d.LastSerialState(),
                    peer_->PendingBulkIn(), peer_->InterruptReceiving() ? "receiving" : "stopped");
      s += buf;
      if (auto* at = dynamic_cast<sim::AtModem*>(&d.GetModem())) {
        static const char* const kStates[] = {"command", "dialling", "online", "online-command"};
        s += std::string(", AT modem ") + kStates[static_cast<int>(at->GetState())];
      }
    }
    Say(s);
  }

  bool ReadCommands(std::string* input) {
    char buf[1024];
    const ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) return n < 0 && errno == EINTR;  // end of input: commands stop, serving goes on
    input->append(buf, static_cast<size_t>(n));
    size_t eol;
    while ((eol = input->find('\n')) != std::string::npos) {
      std::string line = input->substr(0, eol);
      input->erase(0, eol + 1);
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      while (!line.empty() && line.front() == ' ') line.erase(0, 1);
      if (line.empty()) continue;
      if (line == "plug") {
        Plug();
      } else if (line == "unplug") {
        Unplug();
      } else if (line == "status") {
        Status();
      } else if (line == "quit") {
        stop_ = true;
      } else {
        Say("unknown command '" + line + "' (plug, unplug, status, quit)");
      }
    }
    if (input->size() > 4096) input->clear();  // not a command line
    return true;
  }

  Config c_;
  int listenFd_ = -1;
  int peerFd_ = -1;
  std::unique_ptr<sim::UsbredirDevice> peer_;
  bool plugged_ = true;
  bool stop_ = false;
  uint64_t unplugAt_ = 0;
};

}  // namespace

int UsbredirCommand(const std::vector<std::string>& args) {
  Options options(args);
  Config c;
  auto port = options.Number("--listen", 0, 65535);
  if (!port) throw UsageError("usbredir needs --listen PORT");
  c.port = static_cast<unsigned>(*port);
  if (auto host = options.Value("--host")) c.host = *host;
  if (auto m = options.Value("--modem")) {
    if (*m == "loopback") {
      c.at = false;
    } else if (*m != "at") {
      throw UsageError("--modem takes at or loopback, not '" + *m + "'");
    }
  }
  c.options.device.vendorId = sim::kModemVendorId;
  c.options.device.productId = sim::kModemProductId;
  c.options.device.hub.bulkMaxPacket = 512;
  if (auto speed = options.Value("--speed")) {
    if (*speed == "full") {
      c.options.device.hub.bulkMaxPacket = 64;
    } else if (*speed != "high") {
      throw UsageError("--speed takes high or full, not '" + *speed + "'");
    }
  }
  c.once = options.Flag("--once");
  c.plugged = !options.Flag("--unplugged");
  if (auto s = options.Number("--unplug-after", 1, 1000000)) c.unplugAfterNs = *s * 1000000000ull;
  SelectLineFromOptions(options);
  c.options.device.line = SelectedLine();
  if (c.options.device.line.shortOut) throw UsageError("usbredir does not take --short-writes");
  // A modem connected at a fixed line rate reports it as its CONNECT rate.
  c.connectRate = c.options.device.line.bitsPerSecond;
  options.Rest(false);

  const bool at = c.at;
  const uint32_t connectRate = c.connectRate;
  c.options.makeModem = [at, connectRate]() -> std::unique_ptr<sim::Modem> {
    if (!at) return std::make_unique<sim::LoopbackModem>();
    auto modem = std::make_unique<sim::AtModem>();
    if (connectRate) modem->SetConnectRate(connectRate);
    return modem;
  };
  c.options.clock = NowNs;
  c.options.event = Say;

  if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) < 0) throw RunError("pipe failed");
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Server server(std::move(c));
  return server.Run();
}

}  // namespace mdmhost

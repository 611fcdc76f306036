// Dialling a TCP host on loopback: the bridge both ways, hang-ups from either side, refused
// connections and flow control in both directions. Every wait is bounded: the loops poll the
// sockets with a 1 ms timeout and give up after a fixed number of rounds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "at_fixture.h"

namespace sim::testing {
namespace {

// A listening socket on 127.0.0.1 with an ephemeral port, and the connection it accepts.
class Server {
 public:
  explicit Server(bool listen = true) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    bound_ = ::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    socklen_t len = sizeof sa;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    if (listen) bound_ = bound_ && ::listen(listenFd_, 4) == 0;
  }
  ~Server() {
    CloseConnection();
    if (listenFd_ >= 0) ::close(listenFd_);
  }
  bool ok() const { return bound_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  uint16_t port() const { return port_; }

  bool Accept() {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return false;
    conn_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    return conn_ >= 0;
  }
  void Write(const std::string& s) {
    size_t done = 0;
    for (int i = 0; i < 2000 && done < s.size(); ++i) {
      ssize_t n = ::send(conn_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
      if (n > 0) done += static_cast<size_t>(n);
      pollfd p{conn_, POLLOUT, 0};
      if (done < s.size()) ::poll(&p, 1, 1);
    }
    ASSERT_EQ(done, s.size());
  }
  // Non-blocking send; returns bytes taken (0 when the socket buffer is full).
  size_t TrySend(const uint8_t* data, size_t n) {
    ssize_t r = ::send(conn_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    return r > 0 ? static_cast<size_t>(r) : 0;
  }
  // Reads until `n` bytes came or nothing more came within the bounded wait.
  std::string Read(size_t n) {
    std::string out;
    for (int i = 0; i < 2000 && out.size() < n; ++i) {
      char buf[65536];
      ssize_t r = ::recv(conn_, buf, std::min(sizeof buf, n - out.size()), MSG_DONTWAIT);
      if (r > 0) {
        out.append(buf, static_cast<size_t>(r));
        continue;
      }
      if (r == 0) break;
      pollfd p{conn_, POLLIN, 0};
      ::poll(&p, 1, 1);
    }
    return out;
  }
  // True once the other side has closed (recv gives 0), within the bounded wait.
  bool SeesEof() {
    for (int i = 0; i < 2000; ++i) {
      char c;
      ssize_t r = ::recv(conn_, &c, 1, MSG_DONTWAIT);
      if (r == 0) return true;
      if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return true;
      pollfd p{conn_, POLLIN, 0};
      ::poll(&p, 1, 1);
    }
    return false;
  }
  void CloseConnection() {
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
  }

 private:
  int listenFd_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
  bool bound_ = false;
};

class ModemAtTcp : public AtModemTest {
 protected:
  // Polls the modem until `done` holds, waiting up to 1 ms per round for its socket.
  bool PumpUntil(const std::function<bool()>& done, int rounds = 3000) {
    for (int i = 0; i < rounds; ++i) {
      modem.Poll();
      if (done()) return true;
      int fd = modem.ActiveSocket();
      if (fd >= 0) {
        short events = modem.GetState() == AtModem::State::Dialling ? POLLOUT : (POLLIN | POLLRDHUP);
        pollfd p{fd, events, 0};
        ::poll(&p, 1, 1);
      }
    }
    return done();
  }
  bool ReceivedContains(const std::string& s) { return host.received.find(s) != std::string::npos; }

  // Dials the server with echo off and accepts the connection.
  void Connect(Server& server) {
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(Cmd("ATE0\r"), "ATE0\r\r\nOK\r\n");
    Send("ATD" + server.Address() + "\r");
    ASSERT_TRUE(PumpUntil([&] { return modem.GetState() != AtModem::State::Dialling; }));
    ASSERT_EQ(host.Take(), "\r\nCONNECT 9600\r\n");
    ASSERT_TRUE(server.Accept());
  }
  // "+++" with its guard times on the virtual clock; expects OK.
  void Escape() {
    host.Advance(modem, kSecond);
    Send("+++");
    host.Advance(modem, kSecond);
    ASSERT_EQ(modem.GetState(), AtModem::State::OnlineCommand);
  }
};

TEST_F(ModemAtTcp, BridgesBothWays) {
  Server server;
  Connect(server);
  EXPECT_EQ(modem.SerialState(), 0x0003);
  EXPECT_GE(modem.ActiveSocket(), 0);
  Send("hello");
  EXPECT_EQ(server.Read(5), "hello");
  server.Write("world");
  EXPECT_TRUE(PumpUntil([&] { return host.received.size() >= 5; }));
  EXPECT_EQ(host.Take(), "world");
  EXPECT_EQ(modem.GetCounters().bytesToPeer, 5u);
  EXPECT_EQ(modem.GetCounters().bytesFromPeer, 5u);
  EXPECT_EQ(Cmd("ATI3\r"), "") << "data mode: no commands";
  EXPECT_EQ(server.Read(5), "ATI3\r");
}

TEST_F(ModemAtTcp, PeerCloseDeliversItsDataThenNoCarrier) {
  Server server;
  Connect(server);
  server.Write("bye");
  server.CloseConnection();
  EXPECT_TRUE(PumpUntil([&] { return ReceivedContains("NO CARRIER"); }));
  EXPECT_EQ(host.Take(), "bye\r\nNO CARRIER\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::Command);
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002, 0x0003, 0x0002}));
  EXPECT_EQ(modem.ActiveSocket(), -1);
  EXPECT_EQ(Cmd("AT\r"), "\r\nOK\r\n");
}

TEST_F(ModemAtTcp, RefusedConnectionIsNoCarrier) {
  Server closed(/*listen=*/false);  // bound, so the port stays ours, but nobody listens
  ASSERT_TRUE(closed.ok());
  Send("ATD" + closed.Address() + "\r");
  EXPECT_TRUE(PumpUntil([&] { return modem.GetState() == AtModem::State::Command; }));
  EXPECT_EQ(host.Take(), "ATD" + closed.Address() + "\r\r\nNO CARRIER\r\n");
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002}));
  EXPECT_EQ(modem.ActiveSocket(), -1);
}

TEST_F(ModemAtTcp, HangUpClosesTheConnection) {
  Server server;
  Connect(server);
  Escape();
  EXPECT_EQ(host.Take(), "\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATH\r"), "\r\nOK\r\n");
  EXPECT_TRUE(server.SeesEof());
}

TEST_F(ModemAtTcp, DtrDropClosesTheConnection) {
  Server server;
  modem.OnControlLineState(1);
  Connect(server);
  modem.OnControlLineState(0);
  EXPECT_EQ(host.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_TRUE(server.SeesEof());
}

TEST_F(ModemAtTcp, OnlineCommandModeHoldsThePeersDataUntilAto) {
  Server server;
  Connect(server);
  Escape();
  host.Take();
  server.Write("late");
  pollfd p{modem.ActiveSocket(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1) << "the data reached the modem's socket";
  for (int i = 0; i < 10; ++i) modem.Poll();
  EXPECT_EQ(host.received, "");
  EXPECT_EQ(Cmd("ATO\r"), "\r\nCONNECT 9600\r\nlate");
}

TEST_F(ModemAtTcp, PeerCloseInOnlineCommandModeIsNoCarrier) {
  Server server;
  Connect(server);
  Escape();
  host.Take();
  server.CloseConnection();
  EXPECT_TRUE(PumpUntil([&] { return !modem.CallUp(); }));
  EXPECT_EQ(host.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(modem.SerialState(), 0x0002);
}

TEST_F(ModemAtTcp, FullFifoHoldsThePeerBack) {
  Server server;
  Connect(server);
  host.room = 0;
  // The peer sends until its socket refuses more: the modem reads nothing while the FIFO is
  // full, so the sender is held back by TCP flow control.
  std::vector<uint8_t> chunk(65536);
  uint64_t sent = 0;
  for (int i = 0; i < 4096; ++i) {
    for (size_t k = 0; k < chunk.size(); ++k) chunk[k] = StreamPatternByte(sent + k);
    size_t n = server.TrySend(chunk.data(), chunk.size());
    if (n == 0) {
      // Give the modem a chance to read (it must not) and the kernel to move data along.
      modem.Poll();
      pollfd p{modem.ActiveSocket(), POLLIN, 0};
      ::poll(&p, 1, 1);
      if (server.TrySend(chunk.data(), 1) == 0) break;
      sent += 1;
      continue;
    }
    sent += n;
  }
  ASSERT_LT(sent, 4096ull * 65536) << "the sender was never held back";
  EXPECT_EQ(host.received.size(), 0u);
  EXPECT_EQ(modem.GetCounters().bytesFromPeer, 0u);
  server.CloseConnection();

  // Drain through a small FIFO: every byte, in order, then the hang-up.
  EXPECT_TRUE(PumpUntil(
      [&] {
        host.room = 4096;
        return ReceivedContains("NO CARRIER");
      },
      100000));
  std::string tail = "\r\nNO CARRIER\r\n";
  ASSERT_EQ(host.received.size(), sent + tail.size());
  for (uint64_t i = 0; i < sent; ++i) {
    ASSERT_EQ(static_cast<uint8_t>(host.received[i]), StreamPatternByte(i)) << i;
  }
  EXPECT_EQ(host.received.substr(sent), tail);
}

TEST_F(ModemAtTcp, SlowPeerLosesNothingFromTheComputer) {
  Server server;
  Connect(server);
  std::string data;
  for (size_t i = 0; i < 8u << 20; ++i) data.push_back(static_cast<char>(StreamPatternByte(i)));
  for (size_t off = 0; off < data.size(); off += 4096) Send(data.substr(off, 4096));
  EXPECT_GT(modem.PendingToPeer(), 0u) << "the peer's socket cannot have taken 8 MiB unread";
  std::string got;
  for (int i = 0; i < 100000 && got.size() < data.size(); ++i) {
    got += server.Read(std::min<size_t>(1 << 20, data.size() - got.size()));
    modem.Poll();
  }
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "bytes lost or reordered on the way to the peer";
  EXPECT_EQ(modem.PendingToPeer(), 0u);
}

TEST_F(ModemAtTcp, BoundNumberAndLocalhostReachTheHost) {
  Server server;
  ASSERT_TRUE(server.ok());
  modem.BindNumber("555-1234", DialTarget::Tcp("localhost:" + std::to_string(server.port())));
  Send("ATDT5551234\r");
  EXPECT_TRUE(PumpUntil([&] { return modem.GetState() != AtModem::State::Dialling; }));
  EXPECT_EQ(host.Take(), "ATDT5551234\r\r\nCONNECT 9600\r\n");
  EXPECT_TRUE(server.Accept());
}

TEST_F(ModemAtTcp, SocketCallsAskToBePolled) {
  Server server;
  Connect(server);
  host.wakes.clear();
  host.now += 3 * kMs;
  modem.Poll();
  EXPECT_EQ(host.NextWake(), host.now + kMs);
  modem.SetSocketPollInterval(0);
  host.wakes.clear();
  host.now += 5 * kMs;
  modem.Poll();
  EXPECT_TRUE(host.wakes.empty());
}

}  // namespace
}  // namespace sim::testing

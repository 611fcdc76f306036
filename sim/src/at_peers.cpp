#include "at_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "byte_queue.h"

namespace sim {

uint8_t StreamPatternByte(uint64_t index) {
  // splitmix64 finaliser: every index maps to an unrelated byte, so a lost, repeated or
  // misplaced run of bytes shows up at its first byte with probability 255/256.
  uint64_t x = index + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  return static_cast<uint8_t>(x);
}

DialTarget DialTarget::Echo(uint64_t delayNs) {
  DialTarget t;
  t.kind = Kind::Echo;
  t.answerDelayNs = delayNs;
  return t;
}

DialTarget DialTarget::Stream(uint64_t bytes, bool hangUpWhenDone, uint64_t delayNs) {
  DialTarget t;
  t.kind = Kind::Stream;
  t.streamBytes = bytes;
  t.hangUpWhenDone = hangUpWhenDone;
  t.answerDelayNs = delayNs;
  return t;
}

DialTarget DialTarget::Busy(uint64_t delayNs) {
  DialTarget t;
  t.kind = Kind::Busy;
  t.answerDelayNs = delayNs;
  return t;
}

DialTarget DialTarget::NoAnswer() {
  DialTarget t;
  t.kind = Kind::NoAnswer;
  return t;
}

DialTarget DialTarget::NoDialtone(uint64_t delayNs) {
  DialTarget t;
  t.kind = Kind::NoDialtone;
  t.answerDelayNs = delayNs;
  return t;
}

DialTarget DialTarget::Tcp(std::string address) {
  DialTarget t;
  t.kind = Kind::Tcp;
  t.address = std::move(address);
  return t;
}

namespace detail {
namespace {

class EchoPeer final : public Peer {
 public:
  DialOutcome Progress() override { return DialOutcome::Connected; }
  size_t Write(const uint8_t* data, size_t n) override {
    queue_.Append(data, n);
    return n;
  }
  size_t Read(uint8_t* buf, size_t max) override {
    size_t n = std::min(max, queue_.Size());
    std::copy_n(queue_.Front(), n, buf);
    queue_.Consume(n);
    return n;
  }
  bool RemoteGone() override { return false; }
  bool Finished() override { return false; }

 private:
  ByteQueue queue_;
};

class StreamPeer final : public Peer {
 public:
  StreamPeer(uint64_t total, bool hangUp) : total_(total), hangUp_(hangUp) {}
  DialOutcome Progress() override { return DialOutcome::Connected; }
  size_t Write(const uint8_t*, size_t n) override { return n; }
  size_t Read(uint8_t* buf, size_t max) override {
    size_t n = static_cast<size_t>(std::min<uint64_t>(max, total_ - next_));
    for (size_t i = 0; i < n; ++i) buf[i] = StreamPatternByte(next_ + i);
    next_ += n;
    return n;
  }
  bool RemoteGone() override { return hangUp_ && next_ == total_; }
  bool Finished() override { return RemoteGone(); }

 private:
  uint64_t total_;
  uint64_t next_ = 0;
  bool hangUp_;
};

// A call that never connects, for BUSY, NO DIALTONE and no answer.
class FixedPeer final : public Peer {
 public:
  explicit FixedPeer(DialOutcome outcome) : outcome_(outcome) {}
  DialOutcome Progress() override { return outcome_; }
  size_t Write(const uint8_t*, size_t) override { return 0; }
  size_t Read(uint8_t*, size_t) override { return 0; }
  bool RemoteGone() override { return true; }
  bool Finished() override { return true; }

 private:
  DialOutcome outcome_;
};

class TcpPeer final : public Peer {
 public:
  TcpPeer(uint32_t address, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      failed_ = true;
      return;
    }
    // Interactive traffic (keystrokes, prompts) should not wait for Nagle.
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
      connected_ = true;
    } else if (errno != EINPROGRESS) {
      failed_ = true;
    }
  }
  ~TcpPeer() override {
    if (fd_ >= 0) ::close(fd_);
  }

  DialOutcome Progress() override {
    if (failed_) return DialOutcome::NoCarrier;
    if (connected_) return DialOutcome::Connected;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0) return DialOutcome::Pending;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      failed_ = true;
      return DialOutcome::NoCarrier;
    }
    connected_ = true;
    return DialOutcome::Connected;
  }

  size_t Write(const uint8_t* data, size_t n) override {
    if (!connected_ || gone_ || n == 0) return 0;
    ssize_t r = ::send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) gone_ = true;
    return 0;
  }

  size_t Read(uint8_t* buf, size_t max) override {
    if (!connected_ || eof_ || max == 0) return 0;
    ssize_t r = ::recv(fd_, buf, max, MSG_DONTWAIT);
    if (r > 0) return static_cast<size_t>(r);
    if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      eof_ = true;
      gone_ = true;
    }
    return 0;
  }

  bool RemoteGone() override {
    if (gone_) return true;
    if (!connected_) return false;
    pollfd p{fd_, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) gone_ = true;
    return gone_;
  }

  bool Finished() override { return eof_; }

  int Socket() const override { return fd_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool failed_ = false;
  bool gone_ = false;  // the remote closed or reset the connection
  bool eof_ = false;   // nothing more will ever be read
};

bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseTcpAddress(const std::string& text, uint32_t* address, uint16_t* port) {
  std::string host = text;
  *port = 23;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    if (!ParsePort(text.substr(colon + 1), port)) return false;
  }
  std::string lower;
  for (char c : host) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
  if (lower == "localhost") {
    *address = INADDR_LOOPBACK;
    return true;
  }
  // Four decimal parts of at most three digits, each 0..255; nothing else (no name lookups,
  // which would block).
  uint32_t value = 0;
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= host.size() || host[i] != '.') return false;
      ++i;
    }
    size_t start = i;
    unsigned n = 0;
    while (i < host.size() && host[i] >= '0' && host[i] <= '9' && i - start < 3) {
      n = n * 10 + static_cast<unsigned>(host[i] - '0');
      ++i;
    }
    if (i == start || n > 255) return false;
    value = (value << 8) | n;
  }
  if (i != host.size()) return false;
  *address = value;
  return true;
}

std::unique_ptr<Peer> MakePeer(const DialTarget& target) {
  switch (target.kind) {
    case DialTarget::Kind::Echo:
      return std::make_unique<EchoPeer>();
    case DialTarget::Kind::Stream:
      return std::make_unique<StreamPeer>(target.streamBytes, target.hangUpWhenDone);
    case DialTarget::Kind::Busy:
      return std::make_unique<FixedPeer>(DialOutcome::Busy);
    case DialTarget::Kind::NoAnswer:
      return std::make_unique<FixedPeer>(DialOutcome::Pending);
    case DialTarget::Kind::NoDialtone:
      return std::make_unique<FixedPeer>(DialOutcome::NoDialtone);
    case DialTarget::Kind::Tcp: {
      uint32_t address = 0;
      uint16_t port = 0;
      if (!ParseTcpAddress(target.address, &address, &port)) {
        return std::make_unique<FixedPeer>(DialOutcome::NoCarrier);
      }
      return std::make_unique<TcpPeer>(address, port);
    }
  }
  return std::make_unique<FixedPeer>(DialOutcome::NoCarrier);
}

}  // namespace detail
}  // namespace sim

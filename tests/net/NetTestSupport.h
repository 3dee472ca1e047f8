// Shared helpers of the socket tests: pumping the event loop with a deadline, raw loopback
// peers (plain POSIX sockets, so that the binding under test is not its own witness) and an
// event recorder.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "tests/support/PumpUntil.h"

namespace nettest {

using Clock = std::chrono::steady_clock;

using testsupport::PumpUntil;

// Dispatches until nothing is pending any more (a quiet loop), bounded by the deadline.
inline void PumpIdle(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline && EventLoop::Current().ProcessMessages()) {
  }
}

// The text of the ESocketException that f raises.
inline std::string Thrown(const std::function<void()>& f) {
  try {
    f();
  } catch (const ESocketException& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

inline int OpenFdCount() {
  int count = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++count;
    ::closedir(d);
  }
  return count;
}

inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline int PortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A raw socket owned by the test.
class RawFd {
 public:
  explicit RawFd(int fd = -1) : fd_(fd) {}
  RawFd(RawFd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  RawFd& operator=(RawFd&& o) noexcept {
    Reset(o.fd_);
    o.fd_ = -1;
    return *this;
  }
  ~RawFd() { Reset(); }
  int Get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes with a reset (SO_LINGER on, 0 s).
  void Abort() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Reset();
  }

 private:
  int fd_;
};

// A listening loopback socket on a free port.
inline RawFd RawListen(int backlog = 8) {
  RawFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(0);
  ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd.Get(), backlog);
  return fd;
}

// A port on which nothing listens: bound, not listening, so that nobody else takes it.
inline RawFd RawClosedPort() {
  RawFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(0);
  ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

inline RawFd RawConnect(int port) {
  RawFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(port);
  ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

// Accepts one connection, waiting at most 5 s.
inline RawFd RawAccept(const RawFd& listener) {
  pollfd p{listener.Get(), POLLIN, 0};
  if (::poll(&p, 1, 5000) != 1) return RawFd();
  return RawFd(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

inline void SetNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

inline void WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Reads what is waiting without blocking.
inline std::string ReadAvailable(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

// Records every event of a socket as a line of text, in order.
struct EventLog {
  std::vector<std::string> lines;
  void Attach(TCustomWSocket& s) {
    s.OnChangeState = [this](TCustomWSocket*, TSocketState o, TSocketState n) {
      lines.push_back(std::string("ChangeState(") + SocketStateName(o) + "," + SocketStateName(n) +
                      ")");
    };
    s.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
      lines.push_back("SessionConnected(" + std::to_string(e) + ")");
    };
    s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
      lines.push_back("SessionClosed(" + std::to_string(e) + ")");
    };
    s.OnDataSent = [this](TCustomWSocket*, std::uint16_t e) {
      lines.push_back("DataSent(" + std::to_string(e) + ")");
    };
  }
  int Count(const std::string& line) const {
    int n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
  }
  bool Has(const std::string& line) const { return Count(line) > 0; }
  int IndexOf(const std::string& line) const {
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i] == line) return static_cast<int>(i);
    return -1;
  }
};

// Exposes the protected parts the tests look at.
class ProbeSocket : public TWSocket {
 public:
  using TCustomWSocket::SendBufferChunks;
  std::vector<int> recvSizes;
  int RecvRaw(void* Buffer, int Size, int Flags) override {
    recvSizes.push_back(Size);
    return TWSocket::RecvRaw(Buffer, Size, Flags);
  }
};

// Connects a socket object to a raw listener and accepts the peer; asserts through the result.
struct ConnectedPair {
  RawFd listener = RawListen();
  std::unique_ptr<ProbeSocket> client = std::make_unique<ProbeSocket>();
  RawFd peer;
  bool connected = false;

  bool Open() {
    client->SetAddr("127.0.0.1");
    client->SetPort(std::to_string(PortOf(listener.Get())));
    auto previous = client->OnSessionConnected;
    client->OnSessionConnected = [this, previous](TCustomWSocket* s, std::uint16_t e) {
      connected = e == 0;
      if (previous) previous(s, e);
    };
    client->Connect();
    peer = RawAccept(listener);
    return PumpUntil([&] { return connected; }) && peer.Get() >= 0;
  }
};

}  // namespace nettest

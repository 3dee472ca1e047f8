// Loopback helpers for the socket layer tests: pumping the event loop until something happened,
// blocking POSIX sockets for the peers, an echo server, and a recorder of socket events.
// Everything stays on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/WSocketCore.h"
#include "platform/EventLoop.h"
#include "tests/support/PumpUntil.h"

namespace socks_test {

// Runs f and returns the text of the ESocketException it raises ("" when none).
template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const ESocketException& e) {
    return e.what();
  }
  return "";
}

using testsupport::PumpUntil;

// Dispatches what is pending right now (several rounds, for messages posted by handlers).
inline void PumpPending() {
  for (int i = 0; i < 20 && EventLoop::Current().ProcessMessages(); ++i) {
  }
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A listening TCP socket on 127.0.0.1 and a free port.
inline Fd ListenLoopback(int& port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = Loopback(0);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd.get(), 16) != 0)
    return Fd();
  socklen_t len = sizeof a;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// A port that was free a moment ago (for programs that bind it themselves).
inline int FreeLoopbackPort() {
  int port = 0;
  Fd fd = ListenLoopback(port);
  return fd ? port : 0;
}

inline bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

inline Fd AcceptWithin(int listenFd, int timeoutMs) {
  if (!WaitReadable(listenFd, timeoutMs)) return Fd();
  return Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
}

inline Fd ConnectLoopback(int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(port);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fd();
  int on = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

inline bool WriteAll(int fd, std::string_view s) {
  while (!s.empty()) {
    ssize_t n = ::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    s.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads exactly n bytes (appended to out); false on end of stream, error or timeout.
inline bool ReadExactly(int fd, std::string& out, std::size_t n, int timeoutMs = 5000) {
  char buf[512];
  while (n > 0) {
    if (!WaitReadable(fd, timeoutMs)) return false;
    ssize_t got = ::recv(fd, buf, std::min(n, sizeof buf), 0);
    if (got <= 0) return false;
    out.append(buf, static_cast<std::size_t>(got));
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// Reads until the peer closes (or timeout); returns what came.
inline std::string ReadToEnd(int fd, int timeoutMs = 5000) {
  std::string out;
  char buf[512];
  while (WaitReadable(fd, timeoutMs)) {
    ssize_t got = ::recv(fd, buf, sizeof buf, 0);
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

// An echo server on 127.0.0.1: every accepted client first receives Greeting (when not empty),
// then gets back every byte it sends, until it closes. Serves any number of clients at once.
class EchoServer {
 public:
  explicit EchoServer(std::string greeting = "") : greeting_(std::move(greeting)) {
    listener_ = ListenLoopback(port_);
    thread_ = std::thread([this] { AcceptLoop(); });
  }
  ~EchoServer() {
    stop_ = true;
    thread_.join();
    for (auto& t : clients_) t.join();
  }
  int Port() const { return port_; }
  int Accepted() const { return accepted_; }

 private:
  void AcceptLoop() {
    while (!stop_) {
      if (!WaitReadable(listener_.get(), 20)) continue;
      Fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client) continue;
      ++accepted_;
      clients_.emplace_back([this, fd = std::make_shared<Fd>(std::move(client))] { Serve(*fd); });
    }
  }
  void Serve(Fd& fd) {
    if (!greeting_.empty() && !WriteAll(fd.get(), greeting_)) return;
    char buf[4096];
    while (!stop_) {
      if (!WaitReadable(fd.get(), 20)) continue;
      ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
      if (n <= 0 || !WriteAll(fd.get(), std::string_view(buf, static_cast<std::size_t>(n)))) return;
    }
  }

  std::string greeting_;
  Fd listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
  std::vector<std::thread> clients_;
};

// Records events as text lines ("SessionConnected(0)") in the order they fire.
struct EventLog {
  std::vector<std::string> Lines;
  void Add(std::string line) { Lines.push_back(std::move(line)); }
  bool Has(const std::string& line) const {
    for (const auto& l : Lines)
      if (l == line) return true;
    return false;
  }
};

}  // namespace socks_test

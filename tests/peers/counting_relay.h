// CountingRelay: a loopback TCP relay that counts every byte it passes, both ways. The client is
// pointed at Port(); each connection is carried to 127.0.0.1:TargetPort by a thread of its own
// until either side closes. Bytes() is what crossed the network in total; ClientBursts() is what
// the client sent, one entry per turn: the bytes it sent before the server answered anything,
// so a client that waits for every reply sends one command per burst.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class CountingRelay {
 public:
  explicit CountingRelay(int TargetPort) : target_(TargetPort) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 4) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("relay: cannot listen");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CountingRelay() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  CountingRelay(const CountingRelay&) = delete;
  CountingRelay& operator=(const CountingRelay&) = delete;

  int Port() const { return port_; }
  long Bytes() const { return bytes_.load(); }
  std::vector<std::string> ClientBursts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bursts_;
  }

 private:
  static sockaddr_in Loopback(int Port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(Port));
    return a;
  }

  void Serve() {
    std::vector<std::thread> carriers;
    for (;;) {
      const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) break;
      carriers.emplace_back([this, client] { Carry(client); });
    }
    for (std::thread& t : carriers) t.join();
  }

  void Carry(int Client) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(target_);
    if (::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
      pollfd p[2] = {{Client, POLLIN, 0}, {server, POLLIN, 0}};
      char buffer[65536];
      bool clientsTurn = false;
      while (!stop_) {
        if (::poll(p, 2, 100) < 0) break;
        bool closed = false;
        for (int i = 0; i < 2; ++i) {
          if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          const ssize_t n = ::recv(p[i].fd, buffer, sizeof buffer, 0);
          if (n <= 0 ||
              ::send(p[1 - i].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
            closed = true;
            break;
          }
          bytes_ += n;
          Record(i == 0, clientsTurn, buffer, n);
        }
        if (closed) break;
      }
    }
    ::close(server);
    ::close(Client);
  }

  void Record(bool FromClient, bool& ClientsTurn, const char* Data, ssize_t Len) {
    if (!FromClient) {
      ClientsTurn = false;
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ClientsTurn || bursts_.empty()) bursts_.emplace_back();
    bursts_.back().append(Data, static_cast<std::size_t>(Len));
    ClientsTurn = true;
  }

  int target_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long> bytes_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> bursts_;
  std::thread thread_;
};

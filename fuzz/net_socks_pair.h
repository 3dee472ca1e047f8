// A connected stream pair for the socket fuzz targets: one end accepted through the Winsock
// binding (so that the socket object owns and closes it as in real use), the other a plain
// descriptor for the fuzzer to write the peer's bytes. Unix domain sockets in the abstract
// namespace: nothing touches the network or the file system.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "net/Winsock.h"

namespace fuzz_pair {

inline sockaddr_un Address() {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  const std::string name = "tarvik-fuzz-" + std::to_string(::getpid());
  std::memcpy(a.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  return a;
}

inline int Listener() {
  static int fd = [] {
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = Address();
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 16) != 0)
      std::abort();
    return s;
  }();
  return fd;
}

// Returns the binding's end and sets peer to the fuzzer's end (non-blocking).
inline TSocket Make(int& peer) {
  const int listener = Listener();
  peer = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un a = Address();
  if (peer < 0 || ::connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
  TSocket s = Winsock::accept(listener, nullptr, nullptr);
  if (s == Winsock::INVALID_SOCKET) std::abort();
  return s;
}

}  // namespace fuzz_pair

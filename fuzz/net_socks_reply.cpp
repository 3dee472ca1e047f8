// Fuzzes the SOCKS negotiation: the proxy's replies (method, credentials, SOCKS 4 and SOCKS 5
// connect replies, with application data behind them) arrive as arbitrary bytes split at
// arbitrary points. The socket runs over a local stream pair; nothing leaves the process.
//
// Input: byte 0 selects the SOCKS level, authentication and starting phase; then chunks, each a
// length byte followed by that many bytes, fed one read notification at a time.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/WSocket.h"
#include "net_socks_pair.h"

namespace {

class FuzzSocket : public TWSocket {
 public:
  void Start(std::uint8_t Mode) {
    static const char* const levels[] = {"5", "4", "4A", "5"};
    FSocksLevel = levels[Mode & 3];
    SocksServerAssigned = true;
    FSocksAuthentication = (Mode & 4) ? socksAuthenticateUsercode : socksNoAuthentication;
    SocksAuthMethod = (Mode & 4) ? 2 : 0;
    FSocksUsercode = "joe";
    FSocksPassword = "pw";
    // The target the requests name: localhost, port 25 (the proxy's own address is not used).
    ConnectThrough("127.0.0.1", "1080");
    switch ((Mode >> 3) & 3) {
      case 0:
        FSocksPhase = TSocksPhase::socksPhaseConnecting;
        break;
      case 1:
        FSocksPhase = TSocksPhase::socksPhaseAuthenticating;
        break;
      default:
        FSocksPhase = TSocksPhase::socksPhaseRequesting;
        break;
    }
  }
  bool Feed() { return FireDataAvailable(0); }
};

void Drain(int fd) {
  char sink[4096];
  while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 1) return 0;
  // Keeps the Winsock binding started between runs.
  static TWSocket keeper;
  int fds[2];
  fds[0] = fuzz_pair::Make(fds[1]);
  std::string received;
  {
    FuzzSocket sock;
    sock.OnError = [](TCustomWSocket*) {};
    sock.OnDataAvailable = [&received](TCustomWSocket* s, std::uint16_t) {
      char buf[64];
      int n = s->Receive(buf, sizeof buf);
      if (n > 0) received.append(buf, static_cast<std::size_t>(n));
    };
    sock.SetAddr("localhost");
    sock.SetPort("25");
    sock.Dup(fds[0]);
    sock.Start(Data[0]);
    std::size_t pos = 1;
    while (pos < Size && sock.State() == wsConnected) {
      std::size_t len = Data[pos++];
      if (len > Size - pos) len = Size - pos;
      if (len > 0 && ::send(fds[1], Data + pos, len, MSG_NOSIGNAL) < 0) break;
      pos += len;
      sock.Feed();
      Drain(fds[1]);
    }
  }
  EventLoop::Current().ProcessMessages();
  ::close(fds[1]);
  return 0;
}

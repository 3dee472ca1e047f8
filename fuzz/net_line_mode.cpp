// Fuzzes line mode: arbitrary bytes split at arbitrary points, an arbitrary line end, a small
// line limit, echo and editing, and a handler that reads a few bytes per call and switches line
// mode off and on. Without editing, the bytes the handler reads must be exactly the bytes sent,
// in order, once the peer has closed.
//
// Input: 4 header bytes (options, line-end length and bytes, line limit, read size), then
// chunks, each a length byte followed by that many bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/WSocket.h"
#include "net_socks_pair.h"

namespace {

void Pump() {
  for (int i = 0; i < 64 && EventLoop::Current().ProcessMessages(); ++i) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 4) return 0;
  // Keeps the Winsock binding started between runs.
  static TWSocket keeper;
  const std::uint8_t options = Data[0];
  std::string lineEnd;
  for (int i = 0; i < 1 + (options & 1); ++i) lineEnd.push_back(i == 0 ? '\r' : '\n');
  if (Data[1] != 0 && (options & 2)) lineEnd = std::string(1, static_cast<char>(Data[1]));
  const int limit = 1 + Data[2];
  const int readSize = 1 + (Data[3] & 15);
  const bool edit = options & 4;
  const bool echo = options & 8;
  const bool toggle = options & 16;

  int fds[2];
  fds[0] = fuzz_pair::Make(fds[1]);
  std::string sent, read;
  bool closed = false;
  {
    TWSocket sock;
    sock.OnError = [](TCustomWSocket*) {};
    int calls = 0;
    sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
      auto* line = static_cast<TWSocket*>(s);
      char buf[16];
      int n = s->Receive(buf, readSize);
      if (n > 0) read.append(buf, static_cast<std::size_t>(n));
      if (toggle && ++calls % 3 == 0) line->SetLineMode(!line->LineMode());
    };
    sock.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { closed = true; };
    sock.Dup(fds[0]);
    sock.SetLineEnd(lineEnd);
    sock.SetLineLimit(limit);
    sock.SetLineEdit(edit);
    sock.SetLineEcho(echo);
    sock.SetLineMode(true);
    std::size_t pos = 4;
    while (pos < Size) {
      std::size_t len = Data[pos++];
      if (len > Size - pos) len = Size - pos;
      if (len > 0) {
        ssize_t n = ::send(fds[1], Data + pos, len, MSG_NOSIGNAL);
        if (n > 0)
          sent.append(reinterpret_cast<const char*>(Data + pos), static_cast<std::size_t>(n));
      }
      pos += len;
      Pump();
      char sink[4096];
      while (::recv(fds[1], sink, sizeof sink, MSG_DONTWAIT) > 0) {
      }
    }
    ::shutdown(fds[1], SHUT_WR);
    for (int i = 0; i < 16 && !closed; ++i) Pump();
    // Whatever a handler left unread after line mode was switched off is read here.
    if (!closed) {
      char buf[256];
      int n;
      while ((n = sock.Receive(buf, sizeof buf)) > 0) read.append(buf, static_cast<std::size_t>(n));
    }
  }
  Pump();
  ::close(fds[1]);
  if (!edit && closed && read != sent) std::abort();
  return 0;
}

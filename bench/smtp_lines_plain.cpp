// The reference loops of the SMTP attachment benchmark: the same SMTP dialogue as the client,
// then COUNT lines of 62 bytes (60 characters and CR LF), then ".".
//   bench_smtp_lines_plain HOST PORT COUNT [cork | batch]
// By default each line goes with one blocking send(), the least a line-by-line client must do;
// with "cork" the same under TCP_CORK, as the client sends a message body; with "batch" the
// lines are gathered and the kernel is handed 62 KB at a time, the least any client must do.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int sock = -1;

bool SendAll(const char* p, size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(sock, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Reads one reply (the last line of a multi-line one) and checks its code.
bool Reply(int Expected) {
  static std::string pending;
  for (;;) {
    const auto eol = pending.find("\r\n");
    if (eol != std::string::npos) {
      const std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 2);
      if (line.size() > 3 && line[3] == '-') continue;
      return std::atoi(line.c_str()) == Expected;
    }
    char buf[512];
    const ssize_t n = ::recv(sock, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending.append(buf, static_cast<size_t>(n));
  }
}

bool Command(const char* Line, int Expected) {
  return SendAll(Line, std::strlen(Line)) && Reply(Expected);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s HOST PORT COUNT\n", argv[0]);
    return 2;
  }
  const long count = std::atol(argv[3]);
  sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  ::inet_pton(AF_INET, argv[1], &a.sin_addr);
  int one = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
  if (!Reply(220) || !Command("HELO bench\r\n", 250) ||
      !Command("MAIL FROM:<bench@tarvik.example>\r\n", 250) ||
      !Command("RCPT TO:<sink@tarvik.example>\r\n", 250) || !Command("DATA\r\n", 354))
    return 1;
  const bool cork = argc > 4 && std::strcmp(argv[4], "cork") == 0;
  int corked = 1;
  if (cork) ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &corked, sizeof corked);
  const char* header = "Subject: plain loop\r\n\r\n";
  if (!SendAll(header, std::strlen(header))) return 1;
  char line[62];
  std::memset(line, 'Q', 60);
  line[60] = '\r';
  line[61] = '\n';
  if (argc > 4 && std::strcmp(argv[4], "batch") == 0) {
    static char batch[62 * 1024];
    size_t used = 0;
    for (long i = 0; i < count; ++i) {
      std::memcpy(batch + used, line, sizeof line);
      used += sizeof line;
      if (used + sizeof line > sizeof batch || i + 1 == count) {
        if (!SendAll(batch, used)) return 1;
        used = 0;
      }
    }
  } else {
    for (long i = 0; i < count; ++i)
      if (::send(sock, line, sizeof line, MSG_NOSIGNAL) != sizeof line) return 1;
  }
  corked = 0;
  if (cork) ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &corked, sizeof corked);
  if (!Command(".\r\n", 250) || !Command("QUIT\r\n", 221)) return 1;
  ::close(sock);
  return 0;
}

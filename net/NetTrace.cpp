#include "net/NetTrace.h"

#include "platform/EventLoop.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace NetTrace {

namespace {
bool SwitchedOnByEnvironment() {
  const char* value = std::getenv("TARVIK_NET_TRACE");
  return value && *value && std::strcmp(value, "0") != 0;
}
}  // namespace

bool Enabled = SwitchedOnByEnvironment();

void SetEnabled(bool On) {
  Enabled = On;
}

void Write(const char* Fmt, ...) {
  char line[512];
  va_list args;
  va_start(args, Fmt);
  std::vsnprintf(line, sizeof line, Fmt, args);
  va_end(args);
  // One write per line, so that lines of several threads or processes do not interleave.
  std::fprintf(stderr, "net: %s\n", line);
}

std::string EventNames(std::uint32_t Bits) {
  static const struct {
    std::uint32_t Bit;
    const char* Name;
  } names[] = {{FD_READ, "FD_READ"},
               {FD_WRITE, "FD_WRITE"},
               {FD_ACCEPT, "FD_ACCEPT"},
               {FD_CONNECT, "FD_CONNECT"},
               {FD_CLOSE, "FD_CLOSE"}};
  std::string out;
  for (const auto& n : names) {
    if (!(Bits & n.Bit)) continue;
    if (!out.empty()) out += '|';
    out += n.Name;
  }
  return out.empty() ? "none" : out;
}

}  // namespace NetTrace

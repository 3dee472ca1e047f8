// The socket layer's trace: with TARVIK_NET_TRACE set to anything but "" or "0" in the
// environment, one line per notification posted by the layers or consumed by a socket, per
// re-arm of FD_READ/FD_WRITE by the binding and per TLS state change goes to standard error,
// each starting with "net: ". Off, a trace point costs one test of a flag read at start-up; the
// text is not even formatted.
#pragma once

#include <cstdint>
#include <string>

namespace NetTrace {

// Read once from the environment; tests may switch it.
extern bool Enabled;
void SetEnabled(bool On);

void Write(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));

// "FD_READ|FD_CLOSE" for notification bits.
std::string EventNames(std::uint32_t Bits);

}  // namespace NetTrace

// Formats and writes only when the trace is on.
#define NET_TRACE(...)                                   \
  do {                                                   \
    if (NetTrace::Enabled) NetTrace::Write(__VA_ARGS__); \
  } while (0)

// Fuzzes the tlsfingerprint setting's reader: a value is either refused (empty) or exactly the
// 32 bytes its hex digits spell, whatever the separators and case.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_check.h"
#include "net/WSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string text(reinterpret_cast<const char*>(Data), Size);
  const std::string bytes = ParseTlsFingerprint(text);
  std::string digits;
  bool onlyHex = true;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    onlyHex = onlyHex && std::isxdigit(static_cast<unsigned char>(c));
    digits += c;
  }
  const bool wellFormed = onlyHex && digits.size() == 64;
  Check(bytes.empty() != wellFormed, "accepted exactly the well-formed values");
  if (!wellFormed) return 0;
  Check(bytes.size() == 32, "32 bytes");
  static const char hex[] = "0123456789abcdef";
  std::string again;
  for (unsigned char b : bytes) {
    again += hex[b >> 4];
    again += hex[b & 15];
  }
  for (char& c : digits) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Check(again == digits, "the bytes the digits spell");
  return 0;
}

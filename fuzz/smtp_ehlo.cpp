// Fuzzes the EHLO reply: the parser on its own (lines split at LF) and the client's Ehlo request
// fed the same bytes as server input. Checks what the capability struct promises: bounded
// mechanism lists of well-formed, upper-case, distinct names; nothing kept from a refused
// reply; the request ends exactly once.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/smtp_fuzz_client.h"

namespace {

void CheckCapabilities(const TSmtpCapabilities& Caps) {
  Check(Caps.AuthMechanisms.size() <= TSmtpCapabilities::MaxAuthMechanisms, "mechanism count");
  std::set<std::string> seen;
  for (const std::string& name : Caps.AuthMechanisms) {
    Check(!name.empty() && name.size() <= TSmtpCapabilities::MaxMechanismLength, "name length");
    for (char c : name)
      Check((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_',
            "name characters");
    Check(seen.insert(name).second, "duplicate mechanism");
  }
  Check(Caps.SizeLimit == 0 || Caps.Size, "limit without SIZE");
}

class FuzzClient : public TFuzzSmtpClient {
 public:
  FuzzClient() { SetSignOn("fuzz.example"); }
  void StartEhlo() {
    FConnected = true;
    Ehlo();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view input(reinterpret_cast<const char*>(Data), Size);

  std::vector<std::string> lines;
  for (std::size_t start = 0; start < input.size();) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    std::string line(input.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  TSmtpCapabilities caps;
  std::string problem;
  if (ParseEhloReply(lines, caps, problem)) {
    Check(caps.Ehlo, "accepted reply without Ehlo");
    CheckCapabilities(caps);
  } else {
    Check(!caps.Ehlo && caps.AuthMechanisms.empty() && !problem.empty(), "refused reply kept");
  }

  int done = 0;
  {
    FuzzClient client;
    client.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest, std::uint16_t) { ++done; };
    client.StartEhlo();
    client.Feed(input);
    client.SessionClosed();
    EventLoop::Current().ProcessMessages();
    CheckCapabilities(client.Capabilities());
  }
  Check(done == 1, "the Ehlo request did not end exactly once");
  return 0;
}

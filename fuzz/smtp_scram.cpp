// Fuzzes SCRAM-SHA-256's reading of the server's messages: the input is the server-first
// message, a line feed, and the server-final message. Whatever they hold, the exchange must
// never trust a server that has not proved the password, and must not answer a malformed
// first message.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "smtp/SmtpAuth.h"

namespace {

// Iteration counts are the server's to choose, up to a million: too slow to fuzz with.
bool CheapEnough(std::string_view First) {
  const std::size_t at = First.find(",i=");
  return at == std::string_view::npos || First.size() - (at + 3) <= 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view input(reinterpret_cast<const char*>(Data), Size);
  const std::size_t lf = input.find('\n');
  const std::string_view first = input.substr(0, lf);
  const std::string_view last = lf == std::string_view::npos ? "" : input.substr(lf + 1);
  if (!CheapEnough(first)) return 0;

  const TSecret password("pencil");
  auto scram = MakeSaslMechanism("SCRAM-SHA-256", "user", password, "rOprNGfwEbeRWgbNEkqO");
  TSecret response;
  Check(scram->InitialResponse(response), "client-first");
  Check(response.View() == "n,,n=user,r=rOprNGfwEbeRWgbNEkqO", "client-first text");
  std::string problem;
  const bool answered = scram->Respond(first, response, problem);
  Check(answered == problem.empty(), "a refusal says why");
  if (answered) {
    Check(first.starts_with("r=rOprNGfwEbeRWgbNEkqO"), "answered a foreign nonce");
    Check(response.View().starts_with("c=biws,r="), "client-final text");
    Check(response.View().find(",p=") != std::string_view::npos, "client-final proof");
  }
  std::string notTrusted;
  Check(!scram->Accept(notTrusted), "trusted before the server-final message");
  if (!answered) return 0;
  problem.clear();
  const bool verified = scram->Respond(last, response, problem);
  Check(verified == problem.empty(), "a refusal of the final message says why");
  std::string trust;
  Check(scram->Accept(trust) == verified, "trusted exactly when verified");
  Check(!verified || last.starts_with("v="), "verified without a signature");
  return 0;
}

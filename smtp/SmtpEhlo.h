// What an SMTP server announces in its reply to EHLO (RFC 5321 4.1.1.1), parsed once into one
// capability struct. Only the extensions the client uses are kept; everything else in the reply
// is ignored. The reply is server input: every count and size here is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TSmtpCapabilities {
  // At most this many AUTH mechanisms are kept (RFC 4422 names are 1-20 characters; servers
  // announce a handful). Further ones are dropped.
  static constexpr std::size_t MaxAuthMechanisms = 16;
  static constexpr std::size_t MaxMechanismLength = 20;

  bool Ehlo = false;  // the server answered EHLO with 250: what follows is valid
  bool StartTls = false;
  bool Pipelining = false;
  bool EightBitMime = false;
  bool SmtpUtf8 = false;  // RFC 6531: addresses and header beyond ASCII
  bool Size = false;
  // The SIZE limit in bytes (RFC 1870); 0 when the server announced SIZE without a limit (or
  // with one too large to mean anything).
  std::uint64_t SizeLimit = 0;
  // Mechanism names in upper case, in the server's order, without duplicates.
  std::vector<std::string> AuthMechanisms;

  bool HasAuth(std::string_view Mechanism) const;
};

// Parses the lines of a reply to EHLO (each without its CR LF). Strict about the form of the
// reply: every line must be "250" followed by "-" (all lines but the last) or " " or nothing
// (the last). Returns false, with the reason in Problem, for anything else; Caps then holds
// nothing. Within a well-formed reply, an extension line that cannot be read is skipped (it
// names nothing the client relies on), so one odd keyword never costs the session.
bool ParseEhloReply(const std::vector<std::string>& Lines, TSmtpCapabilities& Caps,
                    std::string& Problem);

// SMTP AUTH (RFC 4954): the SASL mechanisms the client speaks, as small exchange objects that
// turn server challenges into responses. Nothing here touches the network; the client sends
// what they produce, Base64-encoded, and shows "****" in its trace instead.
//
//  - SCRAM-SHA-256 (RFC 5802, RFC 7677): the password never crosses the wire, and the server
//    proves that it knows it too; an exchange the server does not complete with its signature
//    fails. Crypto from OpenSSL (PBKDF2, HMAC, SHA-256, RAND).
//  - PLAIN (RFC 4616) with the initial response on the AUTH line.
//  - LOGIN (the draft mechanism many servers still offer): user name, then password.
//  - XOAUTH2 (the bearer-token form mail providers use) and OAUTHBEARER (RFC 7628, its
//    standard form): the token stands where the password would. A refused token comes back as
//    a challenge holding the provider's JSON error, which is answered as each mechanism asks
//    and kept for the error text (FailureDetail).
//
// Every buffer that holds the password or anything derived from it is a TSecret or is wiped
// before it is given back.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/Secret.h"
#include "smtp/SmtpEhlo.h"

enum class TSmtpAuthType : std::uint8_t {
  smtpAuthAuto,        // the strongest mechanism both sides have: SCRAM-SHA-256, PLAIN, LOGIN
  smtpAuthOAuth2,      // XOAUTH2 with the password as the bearer token
  smtpAuthOAuthBearer  // OAUTHBEARER (RFC 7628), the same
};

class TSaslMechanism {
 public:
  virtual ~TSaslMechanism() = default;
  virtual const char* Name() const = 0;
  // The initial response sent on the AUTH line; false when the mechanism starts without one.
  virtual bool InitialResponse(TSecret& Out) = 0;
  // The answer to one decoded server challenge (a "334" line); false, with the reason in
  // Problem, when the challenge is not one this exchange can accept.
  virtual bool Respond(std::string_view Challenge, TSecret& Out, std::string& Problem) = 0;
  // Called when the server says the exchange succeeded ("235"): false, with the reason, when
  // the mechanism has not seen what it needs to trust that (SCRAM: the server's signature).
  virtual bool Accept(std::string& Problem) const;
  // What the server said when it refused the exchange in a challenge (an OAuth JSON error),
  // printable and bounded; "" when it said nothing of the kind.
  virtual std::string FailureDetail() const { return ""; }
};

// The mechanism to use with a server that offers Caps: for smtpAuthAuto the first of
// SCRAM-SHA-256, PLAIN, LOGIN that it offers, for smtpAuthOAuth2 XOAUTH2, for
// smtpAuthOAuthBearer OAUTHBEARER; "" when there is none.
std::string ChooseSaslMechanism(const TSmtpCapabilities& Caps, TSmtpAuthType Type);
// The mechanisms Type can use, for an error text: "SCRAM-SHA-256, PLAIN or LOGIN".
std::string SaslMechanismsWanted(TSmtpAuthType Type);

// A new exchange for Name (one ChooseSaslMechanism returns). ClientNonce is for SCRAM; empty
// means a fresh random one (a fixed one is only for checking against published vectors). Host
// and Port are the server's, for OAUTHBEARER.
std::unique_ptr<TSaslMechanism> MakeSaslMechanism(std::string_view Name, std::string_view User,
                                                  const TSecret& Password,
                                                  std::string_view ClientNonce = {},
                                                  std::string_view Host = {},
                                                  std::string_view Port = {});

// Strict Base64 (RFC 4648): padding required, no blanks, no other characters. False for
// anything else.
bool Base64Decode(std::string_view Text, std::string& Out);
// Base64 of a secret, into a secret.
void Base64EncodeSecret(std::string_view Bytes, TSecret& Out);

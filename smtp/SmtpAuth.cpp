// The SASL mechanisms of SMTP AUTH.
#include "smtp/SmtpAuth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <array>
#include <cstring>
#include <stdexcept>

#include "smtp/SmtpProt.h"

namespace {

using TDigest = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

// A digest that holds key material: zeroed when it goes.
struct TSecretDigest {
  TDigest Bytes{};
  ~TSecretDigest() { OPENSSL_cleanse(Bytes.data(), Bytes.size()); }
  unsigned char* data() { return Bytes.data(); }
  const unsigned char* data() const { return Bytes.data(); }
  static constexpr std::size_t size() { return SHA256_DIGEST_LENGTH; }
};

// RFC 5802 5.1: iteration counts are the server's choice. RFC 7677 asks for at least 4096;
// far beyond this bound a server would only make the client hang in PBKDF2.
constexpr long MaxScramIterations = 1000000;
constexpr std::size_t ScramNonceBytes = 18;  // 24 characters in Base64

int Base64Value(char C) {
  if (C >= 'A' && C <= 'Z') return C - 'A';
  if (C >= 'a' && C <= 'z') return C - 'a' + 26;
  if (C >= '0' && C <= '9') return C - '0' + 52;
  if (C == '+') return 62;
  if (C == '/') return 63;
  return -1;
}

std::string Base64Text(const unsigned char* Data, std::size_t Len) {
  return Base64EncodeLine(Data, Len);
}

void Hmac(const unsigned char* Key, std::size_t KeyLen, std::string_view Text, unsigned char* Out) {
  unsigned int len = 0;
  if (!HMAC(EVP_sha256(), Key, static_cast<int>(KeyLen),
            reinterpret_cast<const unsigned char*>(Text.data()), Text.size(), Out, &len))
    throw std::runtime_error("HMAC-SHA-256 failed");
}

// RFC 5802 5.1: "," and "=" in a user name are written "=2C" and "=3D".
std::string SaslName(std::string_view User) {
  std::string out;
  for (char C : User) {
    if (C == ',')
      out += "=2C";
    else if (C == '=')
      out += "=3D";
    else
      out += C;
  }
  return out;
}

// The value of attribute Name ("r", "s", ...) at the start of Attr ("r=..."), or false.
bool AttributeValue(std::string_view Attr, char Name, std::string_view& Value) {
  if (Attr.size() < 2 || Attr[0] != Name || Attr[1] != '=') return false;
  Value = Attr.substr(2);
  return true;
}

std::vector<std::string_view> SplitCommas(std::string_view Text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = Text.find(',', start);
    parts.push_back(Text.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (comma == std::string_view::npos) return parts;
    start = comma + 1;
  }
}

class TPlain : public TSaslMechanism {
 public:
  TPlain(std::string_view User, const TSecret& Password) {
    // authzid (empty), NUL, authcid, NUL, password.
    FMessage.Append('\0');
    FMessage.Append(User);
    FMessage.Append('\0');
    FMessage.Append(Password.View());
  }
  const char* Name() const override { return "PLAIN"; }
  bool InitialResponse(TSecret& Out) override {
    Out = FMessage;
    return true;
  }
  // A server that ignored the initial response asks with an empty challenge: once.
  bool Respond(std::string_view Challenge, TSecret& Out, std::string& Problem) override {
    if (!Challenge.empty() || FAsked) {
      Problem = "unexpected challenge in PLAIN authentication";
      return false;
    }
    FAsked = true;
    Out = FMessage;
    return true;
  }

 private:
  TSecret FMessage;
  bool FAsked = false;
};

class TLogin : public TSaslMechanism {
 public:
  TLogin(std::string_view User, const TSecret& Password) : FUser(User), FPassword(Password) {}
  const char* Name() const override { return "LOGIN"; }
  bool InitialResponse(TSecret&) override { return false; }
  // The prompts' wording varies between servers ("Username:", "User Name"): their order counts.
  bool Respond(std::string_view, TSecret& Out, std::string& Problem) override {
    switch (FStep++) {
      case 0:
        Out = FUser;
        return true;
      case 1:
        Out = FPassword;
        return true;
      default:
        Problem = "unexpected third challenge in LOGIN authentication";
        return false;
    }
  }

 private:
  TSecret FUser;
  TSecret FPassword;
  int FStep = 0;
};

// A server's error text as the user may see it: control characters shown as '?', at most a
// few hundred characters.
std::string PrintableDetail(std::string_view Text) {
  constexpr std::size_t MaxDetail = 300;
  std::string out(Text.substr(0, MaxDetail));
  for (char& C : out)
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) C = '?';
  if (Text.size() > MaxDetail) out += "...";
  return out;
}

// OAUTHBEARER and XOAUTH2: the whole message goes in the AUTH line; a refused token comes back
// as one challenge holding the server's error, which is answered with Answer so that the server
// ends the exchange with its refusal code.
class TBearerMechanism : public TSaslMechanism {
 public:
  bool InitialResponse(TSecret& Out) override {
    Out = FMessage;
    return true;
  }
  bool Respond(std::string_view Challenge, TSecret& Out, std::string& Problem) override {
    if (FAnswered) {
      Problem = std::string("unexpected second challenge in ") + Name() + " authentication";
      return false;
    }
    FAnswered = true;
    FDetail = PrintableDetail(Challenge);
    Out.Assign(FAnswer);
    return true;
  }
  std::string FailureDetail() const override { return FDetail; }

 protected:
  explicit TBearerMechanism(std::string_view Answer) : FAnswer(Answer) {}
  TSecret FMessage;

 private:
  std::string_view FAnswer;
  bool FAnswered = false;
  std::string FDetail;
};

// RFC 7628 3.1: gs2-header, then key=value pairs each ended by ^A, and a final ^A. Its error
// challenge is answered with a lone ^A (3.2.2).
class TOAuthBearer : public TBearerMechanism {
 public:
  TOAuthBearer(std::string_view User, const TSecret& Token, std::string_view Host,
               std::string_view Port)
      : TBearerMechanism("\x01") {
    FMessage.Append("n,a=");
    FMessage.Append(SaslName(User));
    FMessage.Append(",\x01");
    if (!Host.empty()) {
      FMessage.Append("host=");
      FMessage.Append(Host);
      FMessage.Append('\x01');
    }
    if (!Port.empty() && Port.find_first_not_of("0123456789") == std::string_view::npos) {
      FMessage.Append("port=");
      FMessage.Append(Port);
      FMessage.Append('\x01');
    }
    FMessage.Append("auth=Bearer ");
    FMessage.Append(Token.View());
    FMessage.Append("\x01\x01");
  }
  const char* Name() const override { return "OAUTHBEARER"; }
};

class TXOAuth2 : public TBearerMechanism {
 public:
  TXOAuth2(std::string_view User, const TSecret& Token) : TBearerMechanism("") {
    FMessage.Append("user=");
    FMessage.Append(User);
    FMessage.Append(
        "\x01"
        "auth=Bearer ");
    FMessage.Append(Token.View());
    FMessage.Append("\x01\x01");
  }
  const char* Name() const override { return "XOAUTH2"; }
};

class TScramSha256 : public TSaslMechanism {
 public:
  TScramSha256(std::string_view User, const TSecret& Password, std::string_view Nonce)
      : FPassword(Password) {
    if (Nonce.empty()) {
      unsigned char random[ScramNonceBytes];
      if (RAND_bytes(random, sizeof random) != 1)
        throw std::runtime_error("no random bytes for the SCRAM nonce");
      FClientNonce = Base64Text(random, sizeof random);
    } else {
      FClientNonce = Nonce;
    }
    FClientFirstBare = "n=" + SaslName(User) + ",r=" + FClientNonce;
  }
  ~TScramSha256() override {
    OPENSSL_cleanse(FExpectedServerSignature.data(), FExpectedServerSignature.size());
  }
  TScramSha256(const TScramSha256&) = delete;
  TScramSha256& operator=(const TScramSha256&) = delete;
  const char* Name() const override { return "SCRAM-SHA-256"; }

  bool InitialResponse(TSecret& Out) override {
    Out.Assign("n,,");  // no channel binding, no authorisation identity
    Out.Append(FClientFirstBare);
    return true;
  }

  bool Respond(std::string_view Challenge, TSecret& Out, std::string& Problem) override {
    switch (FStep++) {
      case 0:
        return ClientFinal(Challenge, Out, Problem);
      case 1:
        if (!CheckServerFinal(Challenge, Problem)) return false;
        Out.Clear();
        return true;
      default:
        Problem = "unexpected challenge after the end of SCRAM-SHA-256 authentication";
        return false;
    }
  }

  bool Accept(std::string& Problem) const override {
    if (FServerVerified) return true;
    Problem =
        "the server accepted SCRAM-SHA-256 authentication without proving that it knows "
        "the password";
    return false;
  }

 private:
  bool ClientFinal(std::string_view ServerFirst, TSecret& Out, std::string& Problem) {
    const std::vector<std::string_view> attrs = SplitCommas(ServerFirst);
    std::string_view nonce, salt64, iterText;
    if (attrs.size() < 3 || !AttributeValue(attrs[0], 'r', nonce) ||
        !AttributeValue(attrs[1], 's', salt64) || !AttributeValue(attrs[2], 'i', iterText)) {
      Problem = "malformed SCRAM-SHA-256 challenge from the server";
      return false;
    }
    if (nonce.size() <= FClientNonce.size() ||
        nonce.substr(0, FClientNonce.size()) != FClientNonce) {
      Problem = "the server's SCRAM-SHA-256 nonce does not continue the client's";
      return false;
    }
    std::string salt;
    if (!Base64Decode(salt64, salt) || salt.empty()) {
      Problem = "the server's SCRAM-SHA-256 salt is not Base64";
      return false;
    }
    long iterations = 0;
    for (char C : iterText) {
      if (C < '0' || C > '9' || iterations > MaxScramIterations) {
        iterations = -1;
        break;
      }
      iterations = iterations * 10 + (C - '0');
    }
    if (iterText.empty() || iterations < 1 || iterations > MaxScramIterations) {
      Problem = "the server's SCRAM-SHA-256 iteration count is not between 1 and " +
                std::to_string(MaxScramIterations);
      return false;
    }

    const std::string withoutProof = "c=biws,r=" + std::string(nonce);
    const std::string authMessage =
        FClientFirstBare + "," + std::string(ServerFirst) + "," + withoutProof;

    TSecretDigest salted, clientKey, clientSignature, serverKey;
    TDigest storedKey{};
    if (PKCS5_PBKDF2_HMAC(FPassword.Data(), static_cast<int>(FPassword.Size()),
                          reinterpret_cast<const unsigned char*>(salt.data()),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                          static_cast<int>(salted.size()), salted.data()) != 1)
      throw std::runtime_error("PBKDF2 failed");
    Hmac(salted.data(), salted.size(), "Client Key", clientKey.data());
    SHA256(clientKey.data(), clientKey.size(), storedKey.data());
    Hmac(storedKey.data(), storedKey.size(), authMessage, clientSignature.data());
    TSecretDigest proof;
    for (std::size_t i = 0; i < proof.size(); ++i)
      proof.Bytes[i] = clientKey.Bytes[i] ^ clientSignature.Bytes[i];
    Hmac(salted.data(), salted.size(), "Server Key", serverKey.data());
    Hmac(serverKey.data(), serverKey.size(), authMessage, FExpectedServerSignature.data());
    OPENSSL_cleanse(storedKey.data(), storedKey.size());

    Out.Assign(withoutProof);
    Out.Append(",p=");
    TSecret proof64;
    Base64EncodeSecret(std::string_view(reinterpret_cast<const char*>(proof.data()), proof.size()),
                       proof64);
    Out.Append(proof64.View());
    return true;
  }

  bool CheckServerFinal(std::string_view ServerFinal, std::string& Problem) {
    std::string_view value;
    if (AttributeValue(ServerFinal, 'e', value)) {
      Problem = "the server ended SCRAM-SHA-256 authentication: " + std::string(value);
      return false;
    }
    std::string signature;
    if (!AttributeValue(SplitCommas(ServerFinal)[0], 'v', value) ||
        !Base64Decode(value, signature) || signature.size() != FExpectedServerSignature.size() ||
        CRYPTO_memcmp(signature.data(), FExpectedServerSignature.data(), signature.size()) != 0) {
      Problem = "the server's SCRAM-SHA-256 signature is wrong: it does not know the password";
      return false;
    }
    FServerVerified = true;
    return true;
  }

  TSecret FPassword;
  std::string FClientNonce;
  std::string FClientFirstBare;
  TDigest FExpectedServerSignature{};
  int FStep = 0;
  bool FServerVerified = false;
};

}  // namespace

bool TSaslMechanism::Accept(std::string&) const {
  return true;
}

std::string ChooseSaslMechanism(const TSmtpCapabilities& Caps, TSmtpAuthType Type) {
  if (Type == TSmtpAuthType::smtpAuthOAuth2) return Caps.HasAuth("XOAUTH2") ? "XOAUTH2" : "";
  if (Type == TSmtpAuthType::smtpAuthOAuthBearer)
    return Caps.HasAuth("OAUTHBEARER") ? "OAUTHBEARER" : "";
  for (const char* name : {"SCRAM-SHA-256", "PLAIN", "LOGIN"})
    if (Caps.HasAuth(name)) return name;
  return "";
}

std::string SaslMechanismsWanted(TSmtpAuthType Type) {
  switch (Type) {
    case TSmtpAuthType::smtpAuthAuto:
      return "SCRAM-SHA-256, PLAIN or LOGIN";
    case TSmtpAuthType::smtpAuthOAuth2:
      return "XOAUTH2";
    case TSmtpAuthType::smtpAuthOAuthBearer:
      return "OAUTHBEARER";
  }
  return "";
}

std::unique_ptr<TSaslMechanism> MakeSaslMechanism(std::string_view Name, std::string_view User,
                                                  const TSecret& Password,
                                                  std::string_view ClientNonce,
                                                  std::string_view Host, std::string_view Port) {
  if (Name == "SCRAM-SHA-256") return std::make_unique<TScramSha256>(User, Password, ClientNonce);
  if (Name == "PLAIN") return std::make_unique<TPlain>(User, Password);
  if (Name == "LOGIN") return std::make_unique<TLogin>(User, Password);
  if (Name == "XOAUTH2") return std::make_unique<TXOAuth2>(User, Password);
  if (Name == "OAUTHBEARER") return std::make_unique<TOAuthBearer>(User, Password, Host, Port);
  return nullptr;
}

bool Base64Decode(std::string_view Text, std::string& Out) {
  Out.clear();
  if (Text.size() % 4 != 0) return false;
  for (std::size_t i = 0; i < Text.size(); i += 4) {
    const bool lastGroup = i + 4 == Text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char C = Text[i + static_cast<std::size_t>(k)];
      if (C == '=' && lastGroup && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;  // a character after padding
      v[k] = Base64Value(C);
      if (v[k] < 0) return false;
    }
    const unsigned bits =
        (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
    Out += static_cast<char>((bits >> 16) & 0xFF);
    if (pad < 2) Out += static_cast<char>((bits >> 8) & 0xFF);
    if (pad < 1) Out += static_cast<char>(bits & 0xFF);
  }
  return true;
}

void Base64EncodeSecret(std::string_view Bytes, TSecret& Out) {
  Out.Resize((Bytes.size() + 2) / 3 * 4 + 1);
  const std::size_t n = Base64Encode(reinterpret_cast<const unsigned char*>(Bytes.data()),
                                     Bytes.size(), Out.MutableData());
  Out.Resize(n);
}

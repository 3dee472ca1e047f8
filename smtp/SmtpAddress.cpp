#include "smtp/SmtpAddress.h"

#include <idn2.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

unsigned char Byte(char c) {
  return static_cast<unsigned char>(c);
}

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

// The length of the well-formed UTF-8 character at Text[i] (RFC 3629: no overlong forms, no
// surrogates, nothing beyond U+10FFFF), or 0 when the bytes there are none.
std::size_t Utf8Length(std::string_view Text, std::size_t i) {
  const unsigned char b = Byte(Text[i]);
  if (b < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > Text.size()) return 0;
  if (Byte(Text[i + 1]) < low || Byte(Text[i + 1]) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (Byte(Text[i + k]) < 0x80 || Byte(Text[i + k]) > 0xBF) return 0;
  return length;
}

bool HoldsNonAscii(std::string_view Text) {
  for (char c : Text)
    if (Byte(c) >= 0x80) return true;
  return false;
}

std::string Hex(unsigned char c) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", c);
  return text;
}

std::string_view Trimmed(std::string_view Text) {
  while (!Text.empty() && Byte(Text.front()) <= ' ') Text.remove_prefix(1);
  while (!Text.empty() && Byte(Text.back()) <= ' ') Text.remove_suffix(1);
  return Text;
}

struct Parts {
  std::string_view Local;
  std::string_view Domain;  // empty for a bare local part
};

// Split at the last "@": a quoted local part may hold "@" itself.
Parts Split(std::string_view Address) {
  const std::size_t at = Address.rfind('@');
  if (at == std::string_view::npos) return {Address, {}};
  return {Address.substr(0, at), Address.substr(at + 1)};
}

struct Idna {
  std::string Label;
  std::string Problem;
};

Idna ToALabel(std::string_view Domain) {
  const std::string input(Domain);
  char* output = nullptr;
  const int rc = idn2_to_ascii_8z(input.c_str(), &output, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT);
  const std::unique_ptr<char, decltype(&idn2_free)> owned(output, &idn2_free);
  if (rc != IDN2_OK)
    return {"", std::string("is no valid international domain name (") + idn2_strerror(rc) + ")"};
  return {output, ""};
}

std::string LengthProblem(const char* What, std::size_t Length, std::size_t Limit) {
  return std::string("has a ") + What + " of " + std::to_string(Length) + " octets (at most " +
         std::to_string(Limit) + ")";
}

}  // namespace

std::string EnvelopeAddress(std::string_view Value) {
  const std::size_t open = Value.find('<');
  if (open != std::string_view::npos && Value.find('>') != std::string_view::npos) {
    const std::size_t close = Value.find('>', open + 1);
    if (close != std::string_view::npos)
      return std::string(Value.substr(open + 1, close - open - 1));
  }
  return std::string(Trimmed(Value));
}

std::string TextProblem(std::string_view Text) {
  for (std::size_t i = 0; i < Text.size();) {
    if (IsControl(Byte(Text[i]))) return "holds the control character " + Hex(Byte(Text[i]));
    const std::size_t length = Utf8Length(Text, i);
    if (length == 0)
      return "is not valid UTF-8 (byte " + std::to_string(i + 1) + " is " + Hex(Byte(Text[i])) +
             ")";
    i += length;
  }
  return "";
}

std::string DomainProblem(std::string_view Name) {
  if (std::string problem = TextProblem(Name); !problem.empty()) return problem;
  if (Name.size() > MaxDomain) return LengthProblem("domain", Name.size(), MaxDomain);
  if (Name.starts_with("[")) {
    // An address literal (RFC 5321 4.1.3) is ASCII by definition.
    if (HoldsNonAscii(Name) || !Name.ends_with("]")) return "is no valid address literal";
    return "";
  }
  if (!HoldsNonAscii(Name)) return "";
  const Idna idna = ToALabel(Name);
  if (!idna.Problem.empty()) return idna.Problem;
  if (idna.Label.size() > MaxDomain)
    return LengthProblem("domain (as A-label)", idna.Label.size(), MaxDomain);
  return "";
}

std::string AddressProblem(std::string_view Address) {
  if (std::string problem = TextProblem(Address); !problem.empty()) return problem;
  const Parts parts = Split(Address);
  if (parts.Local.size() > MaxLocalPart)
    return LengthProblem("local part", parts.Local.size(), MaxLocalPart);
  if (!parts.Domain.empty() || Address.find('@') != std::string_view::npos) {
    if (parts.Domain.empty()) return "has nothing after the \"@\"";
    if (std::string problem = DomainProblem(parts.Domain); !problem.empty()) return problem;
  }
  const std::size_t path = AsciiDomainAddress(Address).size() + 2;
  if (Address.size() + 2 > MaxPath || path > MaxPath)
    return LengthProblem("path", std::max(Address.size() + 2, path), MaxPath);
  return "";
}

bool NeedsSmtpUtf8(std::string_view Address) {
  return HoldsNonAscii(Split(Address).Local);
}

std::string AsciiDomain(std::string_view Domain) {
  if (!HoldsNonAscii(Domain) || Domain.starts_with("[")) return std::string(Domain);
  Idna idna = ToALabel(Domain);
  return idna.Problem.empty() ? std::move(idna.Label) : std::string(Domain);
}

std::string AsciiDomainAddress(std::string_view Address) {
  const std::size_t at = Address.rfind('@');
  if (at == std::string_view::npos) return std::string(Address);
  return std::string(Address.substr(0, at + 1)) + AsciiDomain(Address.substr(at + 1));
}

std::string VisibleText(std::string_view Text) {
  std::string out;
  for (std::size_t i = 0; i < Text.size();) {
    const std::size_t length = IsControl(Byte(Text[i])) ? 0 : Utf8Length(Text, i);
    if (length == 0) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", Byte(Text[i]));
      out += hex;
      ++i;
      continue;
    }
    out.append(Text.substr(i, length));
    i += length;
  }
  return out;
}

// The EHLO reply parser.
#include "smtp/SmtpEhlo.h"

#include <algorithm>

namespace {

bool IsDigit(char C) {
  return C >= '0' && C <= '9';
}
bool IsAlnum(char C) {
  return IsDigit(C) || (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
}
char Upper(char C) {
  return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C;
}
std::string UpperText(std::string_view Text) {
  std::string out(Text);
  std::transform(out.begin(), out.end(), out.begin(), Upper);
  return out;
}

// RFC 5321: ehlo-keyword = (ALPHA / DIGIT) *(ALPHA / DIGIT / "-").
bool IsKeyword(std::string_view Word) {
  if (Word.empty() || !IsAlnum(Word[0])) return false;
  return std::all_of(Word.begin(), Word.end(), [](char C) { return IsAlnum(C) || C == '-'; });
}

// RFC 4422 3.1: a mechanism name is 1 to 20 of upper-case letters, digits, "-" and "_".
bool IsMechanism(std::string_view Name) {
  return !Name.empty() && Name.size() <= TSmtpCapabilities::MaxMechanismLength &&
         std::all_of(Name.begin(), Name.end(),
                     [](char C) { return IsAlnum(C) || C == '-' || C == '_'; });
}

std::vector<std::string_view> Words(std::string_view Text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < Text.size()) {
    while (i < Text.size() && (Text[i] == ' ' || Text[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < Text.size() && Text[i] != ' ' && Text[i] != '\t') ++i;
    if (i > start) words.push_back(Text.substr(start, i - start));
  }
  return words;
}

// RFC 1870: "SIZE" [SP number]. A number beyond 20 digits or with anything else in it is no
// usable limit.
std::uint64_t SizeLimitOf(const std::vector<std::string_view>& Params) {
  if (Params.size() != 1 || Params[0].size() > 19) return 0;
  std::uint64_t value = 0;
  for (char C : Params[0]) {
    if (!IsDigit(C)) return 0;
    value = value * 10 + static_cast<std::uint64_t>(C - '0');
  }
  return value;
}

void AddMechanisms(const std::vector<std::string_view>& Params, TSmtpCapabilities& Caps) {
  for (std::string_view param : Params) {
    if (!IsMechanism(param)) continue;
    std::string name = UpperText(param);
    if (Caps.HasAuth(name)) continue;
    if (Caps.AuthMechanisms.size() >= TSmtpCapabilities::MaxAuthMechanisms) return;
    Caps.AuthMechanisms.push_back(std::move(name));
  }
}

void ReadExtension(std::string_view Text, TSmtpCapabilities& Caps) {
  std::vector<std::string_view> words = Words(Text);
  if (words.empty()) return;
  std::string_view keyword = words.front();
  std::vector<std::string_view> params(words.begin() + 1, words.end());
  // Some servers also announce AUTH the way a draft of RFC 2554 did: "AUTH=LOGIN PLAIN".
  if (keyword.size() > 5 && UpperText(keyword.substr(0, 5)) == "AUTH=") {
    params.insert(params.begin(), keyword.substr(5));
    keyword = keyword.substr(0, 4);
  }
  if (!IsKeyword(keyword)) return;
  const std::string name = UpperText(keyword);
  if (name == "STARTTLS") {
    Caps.StartTls = params.empty();
  } else if (name == "PIPELINING") {
    Caps.Pipelining = params.empty();
  } else if (name == "8BITMIME") {
    Caps.EightBitMime = params.empty();
  } else if (name == "SMTPUTF8") {
    Caps.SmtpUtf8 = params.empty();
  } else if (name == "SIZE") {
    Caps.Size = true;
    Caps.SizeLimit = SizeLimitOf(params);
  } else if (name == "AUTH") {
    AddMechanisms(params, Caps);
  }
}

}  // namespace

bool TSmtpCapabilities::HasAuth(std::string_view Mechanism) const {
  return std::find(AuthMechanisms.begin(), AuthMechanisms.end(), Mechanism) != AuthMechanisms.end();
}

bool ParseEhloReply(const std::vector<std::string>& Lines, TSmtpCapabilities& Caps,
                    std::string& Problem) {
  Caps = TSmtpCapabilities{};
  Problem.clear();
  if (Lines.empty()) {
    Problem = "empty reply to EHLO";
    return false;
  }
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    const std::string& line = Lines[i];
    const bool last = i + 1 == Lines.size();
    const bool codeOk = line.size() >= 3 && line.compare(0, 3, "250") == 0;
    const char separator = line.size() > 3 ? line[3] : '\0';
    const bool separatorOk = last ? (separator == ' ' || separator == '\0') : separator == '-';
    if (!codeOk || !separatorOk) {
      Problem = "malformed line " + std::to_string(i + 1) + " in the reply to EHLO";
      return false;
    }
  }
  TSmtpCapabilities caps;
  caps.Ehlo = true;
  // The first line names the server; each further line is one extension.
  for (std::size_t i = 1; i < Lines.size(); ++i)
    ReadExtension(std::string_view(Lines[i]).substr(std::min<std::size_t>(4, Lines[i].size())),
                  caps);
  Caps = std::move(caps);
  return true;
}

// RFC 2047 encoded-words, display-name quoting, RFC 2231 parameters and quoted-printable lines.
#include "smtp/SmtpEncoding.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

unsigned char Byte(char c) {
  return static_cast<unsigned char>(c);
}

bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

void AppendHex(std::string& Out, char Prefix, unsigned char c) {
  Out += Prefix;
  Out += HexDigits[c >> 4];
  Out += HexDigits[c & 15];
}

// RFC 2047 5 (3): in a phrase only these stand for themselves in the "Q" encoding; they are safe
// in unstructured text as well.
bool IsQLiteral(unsigned char c) {
  return IsAsciiAlnum(c) || c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
}

std::size_t QWidth(unsigned char c) {
  return IsQLiteral(c) || c == ' ' ? 1 : 3;
}

// The bytes of the character at I: a UTF-8 lead byte and its continuation bytes, else one byte.
std::size_t CharLength(std::string_view Text, std::size_t I, bool Utf8) {
  std::size_t n = 1;
  if (Utf8)
    while (I + n < Text.size() && (Byte(Text[I + n]) & 0xC0) == 0x80) ++n;
  return n;
}

std::size_t LineUsed(const std::string& Out, std::size_t Used) {
  const std::size_t fold = Out.rfind("\r\n");
  return fold == std::string::npos ? Used + Out.size() : Out.size() - fold - 2;
}

// Text as encoded-words, one per physical line, each holding whole characters only.
std::string EncodedWords(std::string_view Text, std::string_view CharSet, std::size_t Used) {
  const bool utf8 = EqualsIgnoringCase(CharSet, "utf-8");
  std::size_t qLength = 0;
  for (char c : Text) qLength += QWidth(Byte(c));
  // "B" where it is shorter (mostly non-Latin text), "Q" where the text stays readable.
  const bool base64 = (Text.size() + 2) / 3 * 4 < qLength;
  const std::size_t overhead = CharSet.size() + 7;  // "=?" charset "?Q?" ... "?="
  // The longest character (12 Q characters) must always fit a word.
  const std::size_t leastPayload = 12;
  std::string out;
  std::size_t lineUsed = Used;
  if (lineUsed + overhead + leastPayload > MaxEncodedLine) {
    out += "\r\n ";
    lineUsed = 1;
  }
  std::size_t i = 0;
  while (i < Text.size()) {
    if (i > 0) {
      out += "\r\n ";
      lineUsed = 1;
    }
    const std::size_t budget = std::min(MaxEncodedWord, MaxEncodedLine - lineUsed) - overhead;
    std::size_t end = i, width = 0;
    while (end < Text.size()) {
      const std::size_t n = CharLength(Text, end, utf8);
      std::size_t next = 0;
      if (base64) {
        next = (end + n - i + 2) / 3 * 4;
      } else {
        next = width;
        for (std::size_t k = end; k < end + n; ++k) next += QWidth(Byte(Text[k]));
      }
      if (next > budget && end > i) break;
      width = next;
      end += n;
    }
    out += "=?";
    out += CharSet;
    out += base64 ? "?B?" : "?Q?";
    const std::string_view word = Text.substr(i, end - i);
    if (base64) {
      static constexpr char Alphabet[] =
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      for (std::size_t k = 0; k < word.size(); k += 3) {
        const std::size_t left = word.size() - k;
        unsigned v = unsigned{Byte(word[k])} << 16;
        if (left > 1) v |= unsigned{Byte(word[k + 1])} << 8;
        if (left > 2) v |= Byte(word[k + 2]);
        out += Alphabet[(v >> 18) & 63];
        out += Alphabet[(v >> 12) & 63];
        out += left > 1 ? Alphabet[(v >> 6) & 63] : '=';
        out += left > 2 ? Alphabet[v & 63] : '=';
      }
    } else {
      for (char c : word) {
        if (c == ' ')
          out += '_';
        else if (IsQLiteral(Byte(c)))
          out += c;
        else
          AppendHex(out, '=', Byte(c));
      }
    }
    out += "?=";
    i = end;
  }
  return out;
}

// Text that a reader would take for encoded-words must be encoded itself to come out unchanged.
bool NeedsEncodedWords(std::string_view Text) {
  return HoldsEightBit(Text) || Text.find("=?") != std::string_view::npos;
}

bool IsSpecial(char c) {
  return std::strchr("()<>[]:;@\\,.\"", c) != nullptr;
}

bool IsQuotedString(std::string_view Text) {
  return Text.size() >= 2 && Text.front() == '"' && Text.back() == '"';
}

std::string Unquoted(std::string_view Text) {
  std::string out;
  for (std::size_t i = 1; i + 1 < Text.size(); ++i) {
    if (Text[i] == '\\' && i + 2 < Text.size()) ++i;
    out += Text[i];
  }
  return out;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Splits an address list at the commas between addresses: not inside quotes, angle brackets or
// comments.
std::vector<std::string_view> SplitAtTopLevelCommas(std::string_view Value) {
  std::vector<std::string_view> pieces;
  bool quoted = false;
  int angle = 0, comment = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < Value.size(); ++i) {
    const char c = Value[i];
    if (quoted) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      ++comment;
    } else if (c == ')' && comment > 0) {
      --comment;
    } else if (c == '<' && comment == 0) {
      ++angle;
    } else if (c == '>' && angle > 0) {
      --angle;
    } else if (c == ',' && angle == 0 && comment == 0) {
      pieces.push_back(Value.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(Value.substr(start));
  return pieces;
}

// Where the angle-bracketed address of a mailbox starts, outside quotes; npos without one.
std::size_t AddressStart(std::string_view Mailbox) {
  bool quoted = false;
  for (std::size_t i = 0; i < Mailbox.size(); ++i) {
    const char c = Mailbox[i];
    if (quoted && c == '\\')
      ++i;
    else if (c == '"')
      quoted = !quoted;
    else if (!quoted && c == '<')
      return i;
  }
  return std::string_view::npos;
}

std::string EncodeMailbox(std::string_view Mailbox, std::string_view CharSet, std::size_t Used) {
  const std::size_t lt = AddressStart(Mailbox);
  if (lt == std::string_view::npos) return std::string(Mailbox);
  const std::string_view display = Mailbox.substr(0, lt);
  std::size_t b = 0, e = display.size();
  while (b < e && IsBlank(display[b])) ++b;  // leading blanks stay as they are
  while (e > b && IsBlank(display[e - 1])) --e;
  const std::string_view name = display.substr(b, e - b);
  if (name.empty()) return std::string(Mailbox);
  const std::string encoded = EncodePhrase(name, CharSet, Used + b);
  if (encoded == name) return std::string(Mailbox);
  std::string out(display.substr(0, b));
  out += encoded;
  // The address needs a blank before it; an encoded name must not touch "<".
  out += e < display.size() ? display.substr(e) : " ";
  out += Mailbox.substr(lt);
  return out;
}

bool IsAttributeChar(unsigned char c) {
  return IsAsciiAlnum(c) || std::strchr("!#$&+-.^_`|~", c) != nullptr;
}

}  // namespace

bool HoldsEightBit(std::string_view Text) {
  return std::any_of(Text.begin(), Text.end(), [](char c) { return Byte(c) >= 0x80; });
}

bool IsValidUtf8(std::string_view Text) {
  std::size_t i = 0;
  while (i < Text.size()) {
    const unsigned char c = Byte(Text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char secondMin = 0x80, secondMax = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) secondMin = 0xA0;  // no overlong forms
      if (c == 0xED) secondMax = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) secondMin = 0x90;
      if (c == 0xF4) secondMax = 0x8F;
    } else {
      return false;
    }
    if (i + length > Text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char d = Byte(Text[i + k]);
      if (d < (k == 1 ? secondMin : 0x80) || d > (k == 1 ? secondMax : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

std::string EncodeUnstructured(std::string_view Text, std::string_view CharSet, std::size_t Used) {
  if (!NeedsEncodedWords(Text)) return std::string(Text);
  return EncodedWords(Text, CharSet, Used);
}

std::string EncodePhrase(std::string_view Name, std::string_view CharSet, std::size_t Used) {
  if (NeedsEncodedWords(Name))
    return EncodedWords(IsQuotedString(Name) ? Unquoted(Name) : std::string(Name), CharSet, Used);
  if (IsQuotedString(Name) || std::none_of(Name.begin(), Name.end(), IsSpecial))
    return std::string(Name);
  std::string quoted = "\"";
  for (char c : Name) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string EncodeAddressList(std::string_view Value, std::string_view CharSet, std::size_t Used) {
  const std::vector<std::string_view> pieces = SplitAtTopLevelCommas(Value);
  std::string out;
  // Pieces are taken together up to the next one that holds an address.
  std::size_t start = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::string_view piece = pieces[i];
    const bool address =
        piece.find('@') != std::string_view::npos || piece.find('<') != std::string_view::npos;
    if (!address && i + 1 < pieces.size()) continue;
    const std::size_t begin = pieces[start].data() - Value.data();
    const std::size_t end = piece.data() + piece.size() - Value.data();
    if (start > 0) out += ',';
    out += EncodeMailbox(Value.substr(begin, end - begin), CharSet, LineUsed(out, Used));
    start = i + 1;
  }
  return out;
}

bool NeedsExtendedParameter(std::string_view Value) {
  return std::any_of(Value.begin(), Value.end(), [](char c) {
    const unsigned char u = Byte(c);
    return u >= 0x80 || u < 0x20 || u == 0x7F || c == '"' || c == '\\';
  });
}

std::string ExtendedParameterValue(std::string_view Value) {
  std::string out = IsValidUtf8(Value) ? "utf-8''" : "iso-8859-1''";
  for (char c : Value) {
    if (IsAttributeChar(Byte(c)))
      out += c;
    else
      AppendHex(out, '%', Byte(c));
  }
  return out;
}

std::string EncodedParameterValue(std::string_view Value, std::size_t Used) {
  return EncodedWords(Value, IsValidUtf8(Value) ? "utf-8" : "iso-8859-1", Used);
}

std::size_t EncodeQuotedPrintable(std::string_view Text, std::size_t& Offset, char* Out) {
  std::size_t n = 0;
  while (Offset < Text.size()) {
    const unsigned char c = Byte(Text[Offset]);
    const bool last = Offset + 1 == Text.size();
    bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
    if (n == 0 && Text.substr(Offset).starts_with("From ")) literal = false;
    const std::size_t width = literal ? 1 : 3;
    // Room for the soft break "=" unless this is the text's last character.
    const std::size_t room = last ? MaxQuotedPrintableLine : MaxQuotedPrintableLine - 1;
    if (n + width > room) {
      Out[n++] = '=';
      break;
    }
    if (literal) {
      Out[n++] = static_cast<char>(c);
    } else {
      Out[n++] = '=';
      Out[n++] = HexDigits[c >> 4];
      Out[n++] = HexDigits[c & 15];
    }
    ++Offset;
  }
  Out[n] = '\0';
  return n;
}

std::size_t QuotedPrintableSize(std::string_view Text) {
  char wire[MaxQuotedPrintableLine + 1];
  std::size_t offset = 0, size = 0;
  do size += EncodeQuotedPrintable(Text, offset, wire) + 2;
  while (offset < Text.size());
  return size;
}

#include "app/MailtoUri.h"

#include <algorithm>
#include <stdexcept>

#include "app/Tarvik2_unit1.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0)
      throw std::invalid_argument("\"" + std::string(text.substr(i, 3)) +
                                  "\" is no percent escape (% and two hex digits)");
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return decoded;
}

// Well-formed UTF-8: no stray continuation byte, no overlong form, no surrogate, nothing
// beyond U+10FFFF.
bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    const auto second = length > 1 ? static_cast<unsigned char>(text[i + 1]) : 0x80;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
      return false;
    i += length;
  }
  return true;
}

bool HoldsControl(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

// A decoded value of the address; what names it goes into the error.
std::string Value(std::string_view encoded, std::string_view what) {
  try {
    std::string value = PercentDecoded(encoded);
    if (!IsUtf8(value)) throw std::invalid_argument("the text is no UTF-8");
    return value;
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(std::string(what) + ": " + e.what());
  }
}

void AddAddresses(std::vector<std::string>& to, std::string_view encoded, std::string_view what) {
  // The addresses are separated by "," before decoding: an encoded "%2C" belongs to one.
  for (std::size_t start = 0; start <= encoded.size();) {
    const std::size_t comma = std::min(encoded.find(',', start), encoded.size());
    const std::string address = Value(encoded.substr(start, comma - start), what);
    start = comma + 1;
    if (address.empty()) continue;
    if (address.find('@') == std::string::npos)
      throw std::invalid_argument(std::string(what) + ": \"" + address + "\" has no \"@\"");
    if (address.find(';') != std::string::npos || HoldsControl(address))
      throw std::invalid_argument(std::string(what) + ": \"" + TerminalText(address) +
                                  "\" cannot be a recipient here");
    to.push_back(address);
  }
}

}  // namespace

bool IsMailtoUri(std::string_view argument) {
  return StartsWithIgnoringAsciiCase(argument, "mailto:");
}

bool IsFileUri(std::string_view argument) {
  return StartsWithIgnoringAsciiCase(argument, "file:/");
}

TMailto ParseMailto(std::string_view uri) {
  TMailto mailto;
  std::string_view rest = uri.substr(std::string_view("mailto:").size());
  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos)
    throw std::invalid_argument("a mailto: address has no fragment (\"#\")");
  const std::size_t question = rest.find('?');
  AddAddresses(mailto.To, rest.substr(0, question), "the address");
  if (question == std::string_view::npos) return mailto;
  const std::string_view fields = rest.substr(question + 1);
  for (std::size_t start = 0; start < fields.size();) {
    const std::size_t amp = std::min(fields.find('&', start), fields.size());
    const std::string_view field = fields.substr(start, amp - start);
    start = amp + 1;
    if (field.empty()) continue;
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos)
      throw std::invalid_argument("\"" + std::string(field) + "\" is no field=value pair");
    const std::string name = Value(field.substr(0, equals), "a field name");
    const std::string_view value = field.substr(equals + 1);
    if (EqualIgnoringAsciiCase(name, "to")) {
      AddAddresses(mailto.To, value, "to");
    } else if (EqualIgnoringAsciiCase(name, "cc")) {
      AddAddresses(mailto.Cc, value, "cc");
    } else if (EqualIgnoringAsciiCase(name, "bcc")) {
      AddAddresses(mailto.Bcc, value, "bcc");
    } else if (EqualIgnoringAsciiCase(name, "subject")) {
      // A line break in the subject would begin a header line of the page's choosing.
      mailto.Subject = Value(value, "subject");
      if (HoldsControl(*mailto.Subject))
        throw std::invalid_argument("subject: a line break or control character");
    } else if (EqualIgnoringAsciiCase(name, "body")) {
      mailto.Body = Value(value, "body");
      if (mailto.Body->find('\0') != std::string::npos)
        throw std::invalid_argument("body: a NUL byte");
    }
  }
  return mailto;
}

std::string LocalPathOfFileUri(std::string_view uri) {
  std::string_view rest = uri.substr(std::string_view("file:").size());
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const std::size_t slash = rest.find('/');
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !EqualIgnoringAsciiCase(host, "localhost"))
      throw std::invalid_argument("\"" + std::string(host) + "\" is another machine");
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }
  if (!rest.starts_with('/')) throw std::invalid_argument("the address names no absolute path");
  const std::string path = PercentDecoded(rest.substr(0, rest.find_first_of("?#")));
  if (path.find('\0') != std::string::npos) throw std::invalid_argument("a NUL byte in the path");
  return path;
}

// The SOCKS proxy of a send: the setting proxy or the option -proxy:, written as a URL.
#include <optional>
#include <string>
#include <string_view>

#include "app/Tarvik2_unit1.h"

namespace {

struct Scheme {
  std::string_view Prefix;
  const char* Level;
  bool RemoteResolve;
};

// socks4a and socks5h hand the server's name to the proxy; socks4 and socks5 its address.
constexpr Scheme kSchemes[] = {
    {"socks4://", "4", false},
    {"socks4a://", "4A", true},
    {"socks5://", "5", false},
    {"socks5h://", "5", true},
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX escapes undone, as a URL's user and password are written; nullopt for a broken escape.
std::optional<std::string> PercentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0)
      return std::nullopt;
    out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
    i += 2;
  }
  return out;
}

}  // namespace

std::string ProxyForDisplay(const std::string& text) {
  const std::size_t scheme = text.find("://");
  const std::size_t at = text.rfind('@');
  if (scheme == std::string::npos || at == std::string::npos || at < scheme) return text;
  const std::size_t colon = text.find(':', scheme + 3);
  if (colon == std::string::npos || colon > at) return text;
  return text.substr(0, colon + 1) + "****" + text.substr(at);
}

std::string ParseProxy(const std::string& text, TCustomSmtpClient::TSmtpProxy& proxy) {
  proxy = {};
  if (text.empty()) return "";
  const std::string shown = ProxyForDisplay(text);
  const std::string form =
      "\", not socks4://, socks4a://, socks5:// or socks5h:// followed by [user[:password]@]"
      "host:port, can't send mail.";
  const Scheme* scheme = nullptr;
  for (const Scheme& candidate : kSchemes)
    if (StartsWithIgnoringAsciiCase(text, candidate.Prefix)) scheme = &candidate;
  if (!scheme) return "The proxy (setting proxy, option -proxy:) is \"" + shown + form;
  proxy.Level = scheme->Level;
  proxy.RemoteResolve = scheme->RemoteResolve;
  std::string_view rest = std::string_view(text).substr(scheme->Prefix.size());
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view userInfo = rest.substr(0, at);
    const std::size_t colon = userInfo.find(':');
    const std::optional<std::string> user = PercentDecoded(userInfo.substr(0, colon));
    const std::optional<std::string> password = colon == std::string_view::npos
                                                    ? std::string()
                                                    : PercentDecoded(userInfo.substr(colon + 1));
    if (!user || !password || user->empty())
      return "The proxy (setting proxy, option -proxy:) is \"" + shown + form;
    if (proxy.Level != "5" && colon != std::string_view::npos)
      return "The proxy \"" + shown +
             "\" names a password, which SOCKS 4 cannot carry (it takes a user id only); use "
             "socks5:// or socks5h://, can't send mail.";
    proxy.User = *user;
    proxy.Password = TSecret(*password);
    rest = rest.substr(at + 1);
  }
  if (rest.ends_with("/")) rest.remove_suffix(1);
  const std::size_t colon = rest.rfind(':');
  const std::string_view port = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
  const bool portOk = !port.empty() && port.size() <= 5 &&
                      port.find_first_not_of("0123456789") == std::string_view::npos &&
                      std::stoul(std::string(port)) >= 1 && std::stoul(std::string(port)) <= 65535;
  if (colon == 0 || !portOk || rest.substr(0, colon).find_first_of("/@ ") != std::string::npos)
    return "The proxy (setting proxy, option -proxy:) is \"" + shown + form;
  proxy.Host = std::string(rest.substr(0, colon));
  proxy.Port = std::string(port);
  return "";
}

// Address, port and protocol resolution of the socket layer.
#include <arpa/inet.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/NameService.h"
#include "net/WSocketCore.h"

namespace {

constexpr std::size_t kMaxHostLength = 256;     // longer host texts are refused
constexpr std::size_t kMaxPortLength = 31;      // a port or protocol text of 32+ is refused
constexpr std::size_t kMaxProtoArgLength = 31;  // protocol text passed to getservbyname

bool IsBlank(char c) {
  return c == ' ';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace

bool IsDottedQuad(std::string_view S) {
  std::size_t i = 0;
  while (i < S.size() && IsBlank(S[i])) ++i;
  if (i < S.size() && S[i] == '.') return false;
  int dots = 0;
  long value = 0;
  while (i < S.size()) {
    char c = S[i];
    if (IsDigit(c)) {
      value = value * 10 + (c - '0');
      if (value > 255) value = 256;  // stays "too big" without overflowing on long runs
    } else if (c == '.') {
      ++dots;
      if (dots > 3 || value > 255 || i + 1 >= S.size() || !IsDigit(S[i + 1])) return false;
      value = 0;
    } else if (IsBlank(c)) {
      while (i < S.size() && IsBlank(S[i])) ++i;
      if (i < S.size()) return false;  // blanks are allowed only at the end
      break;
    } else {
      return false;
    }
    ++i;
  }
  return dots == 3 && value <= 255;
}

int LeadingNumber(std::string_view S) {
  std::size_t i = 0;
  while (i < S.size() && IsBlank(S[i])) ++i;
  unsigned int value = 0;  // wraps like the original, without signed overflow
  while (i < S.size() && IsDigit(S[i])) value = value * 10u + static_cast<unsigned>(S[i++] - '0');
  return static_cast<int>(value);
}

in_addr_t WSocketResolveHost(const std::string& InAddr) {
  if (InAddr.empty() || InAddr.size() > kMaxHostLength)
    throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
  std::string copy = Trim(InAddr);
  if (IsDottedQuad(InAddr)) {
    in_addr_t a = Winsock::inet_addr(copy);
    if (a == INADDR_NONE && copy != "255.255.255.255")
      throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
    return a;
  }
  Winsock::HostEntry entry;
  if (!Winsock::gethostbyname(copy, entry) || entry.Addresses.empty())
    throw ESocketException("WSocketResolveHost: Cannot convert host address '" + InAddr + "'");
  return entry.Addresses.front();
}

int WSocketResolvePort(const std::string& Port, const std::string& Proto) {
  if (Port.empty() || Port.size() > kMaxPortLength)
    throw ESocketException("WSocketResolvePort: Invalid Port.");
  if (IsDigit(Port[0])) return LeadingNumber(Port);
  std::string service = Trim(Port);
  std::string proto = Trim(Proto).substr(0, kMaxProtoArgLength);
  int portNetworkOrder = 0;
  if (!Winsock::getservbyname(service, proto.empty() ? nullptr : proto.c_str(), portNetworkOrder))
    throw ESocketException("WSocketResolvePort: Cannot convert port '" + Port + "'");
  return ntohs(static_cast<std::uint16_t>(portNetworkOrder));
}

int WSocketResolveProto(const std::string& Proto) {
  if (Proto.empty() || Proto.size() > kMaxPortLength)
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  std::string proto = Trim(Proto);
  if (proto.empty()) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  if (IsDigit(proto[0])) return LeadingNumber(proto);
  int number = 0;
  if (!Winsock::getprotobyname(proto, number))
    throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + proto + "'");
  return static_cast<std::int16_t>(number);
}

std::string GetLocalHostName() {
  char name[64] = {};
  if (Winsock::gethostname(name, sizeof name) != 0)
    throw ESocketException("Winsock.GetHostName failed");
  return std::string(name, strnlen(name, sizeof name));
}

namespace {

bool IsUsableDomainName(std::string_view Name) {
  // A dot makes a name fully qualified; "localhost.localdomain" and its kind name no host that
  // anyone else could reach.
  return Name.find('.') != std::string_view::npos && !Name.starts_with("localhost") &&
         !Name.ends_with(".localdomain") && !Name.ends_with(".") && !Name.starts_with(".");
}

}  // namespace

std::string FqdnFromHosts(const std::string& HostName, std::string_view HostsText) {
  if (IsUsableDomainName(HostName)) return HostName;
  if (HostName.empty()) return "";
  while (!HostsText.empty()) {
    const std::size_t end = std::min(HostsText.find('\n'), HostsText.size());
    std::string_view line = HostsText.substr(0, end);
    HostsText.remove_prefix(std::min(end + 1, HostsText.size()));
    line = line.substr(0, std::min(line.find('#'), line.size()));
    std::vector<std::string_view> names;
    for (std::size_t i = 0; i < line.size();) {
      const std::size_t start = line.find_first_not_of(" \t\r", i);
      if (start == std::string_view::npos) break;
      const std::size_t stop = std::min(line.find_first_of(" \t\r", start), line.size());
      names.push_back(line.substr(start, stop - start));
      i = stop;
    }
    if (names.size() < 2) continue;  // an address and at least one name
    const auto first = names.begin() + 1;
    if (std::find(first, names.end(), HostName) == names.end()) continue;
    for (auto it = first; it != names.end(); ++it)
      if (IsUsableDomainName(*it)) return std::string(*it);
  }
  return "";
}

std::string LocalFqdn() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  std::string hosts;
  if (FILE* f = std::fopen("/etc/hosts", "re")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && hosts.size() < (1u << 20))
      hosts.append(buffer, n);
    std::fclose(f);
  }
  return FqdnFromHosts(name, hosts);
}

// ---- the addressing properties ----

bool TCustomWSocket::SetAddressingText(const char* Name, std::string& Text, bool& Assigned,
                                       bool& Resolved, const std::string& Value) {
  if (Assigned && Value == Text) return true;
  if (FState != wsClosed) {
    ReportError(std::string("Cannot change ") + Name + " if not closed");
    return false;
  }
  Text = Trim(Value);
  if (Text.empty()) {
    Assigned = false;
  } else {
    Resolved = false;
    Assigned = true;
  }
  return true;
}

void TCustomWSocket::SetAddr(const std::string& Value) {
  if (SetAddressingText("Addr", FAddr, AddrAssigned, AddrResolved, Value) && !AddrList.empty()) {
    AddrList.clear();
    AddrResolved = false;
  }
}

void TCustomWSocket::SetAddrList(const TStringList& Addresses) {
  std::vector<std::string> list;
  for (const std::string& address : Addresses)
    if (std::string text = Trim(address); !text.empty()) list.push_back(std::move(text));
  if (list == AddrList && AddrAssigned) return;
  if (FState != wsClosed) return ReportError("Cannot change Addr if not closed");
  SetAddr(list.empty() ? std::string() : list.front());
  AddrList = std::move(list);
  AddrResolved = false;
}

void TCustomWSocket::UseLookupResult() {
  if (FDnsResultList.Count() > 0)
    SetAddrList(FDnsResultList);
  else
    SetAddr(FDnsResult);  // an address given as such
}

void TCustomWSocket::ConnectThrough(const std::string& Host, const std::string& Service) {
  if (!PortResolved) {
    SockAddr.sin_port =
        htons(static_cast<std::uint16_t>(WSocketResolvePort(Service, FProto) & 0xFFFF));
    PortResolved = true;
  }
  if (!AddrResolved) {
    SockAddr.sin_family = AF_INET;
    SockAddr.sin_addr.s_addr = WSocketResolveHost(Host);
    AddrResolved = true;
  }
  FPortNumber = WSocketResolvePort(FPort, FProto) & 0xFFFF;
}

void TCustomWSocket::ResolveConnectTargets() {
  ConnectTargets.clear();
  ConnectTargetIndex = 0;
  auto add = [this](const std::string& text) {
    sockaddr_storage target{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(target);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(target);
    if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1)
      v4.sin_family = AF_INET;
    else if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1)
      v6.sin6_family = AF_INET6;
    else
      return false;
    // A local IPv4 address to bind to cannot reach an IPv6 one.
    if (target.ss_family == AF_INET6 && FLocalAddr != "0.0.0.0") return true;
    ConnectTargets.push_back(target);
    return true;
  };
  const std::string addr = Trim(FAddr);
  in6_addr v6{};
  if (!AddrList.empty()) {
    for (const std::string& text : AddrList)
      if (!add(text))
        throw ESocketException("WSocketResolveHost: '" + text + "' Invalid IP address.");
  } else if (::inet_pton(AF_INET6, addr.c_str(), &v6) == 1) {
    add(addr);
  } else if (FSocketFamily == sfAny && !IsDottedQuad(FAddr) && FAddr.size() <= kMaxHostLength) {
    Winsock::HostEntry entry;
    if (Winsock::gethostbyname(addr, entry)) {
      if (entry.AllAddresses.empty())
        for (in_addr_t a : entry.Addresses) add(Winsock::inet_ntoa(a));
      for (const std::string& text : entry.AllAddresses) add(text);
    }
    if (ConnectTargets.empty())
      throw ESocketException("WSocketResolveHost: Cannot convert host address '" + FAddr + "'");
  } else {
    add(Winsock::inet_ntoa(WSocketResolveHost(FAddr)));
  }
  if (ConnectTargets.empty())
    throw ESocketException("WSocketResolveHost: '" + FAddr + "' no address usable from " +
                           FLocalAddr);
}

void TCustomWSocket::SetPort(const std::string& Value) {
  SetAddressingText("Port", FPort, PortAssigned, PortResolved, Value);
}

void TCustomWSocket::SetProto(const std::string& Value) {
  SetAddressingText("Proto", FProto, ProtoAssigned, ProtoResolved, Value);
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
  if (FState != wsClosed) return ReportError("Cannot change LocalPort if not closed");
  FLocalPort = Value;
  LocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
  if (FState != wsClosed) return ReportError("Cannot change LocalAddr if not closed");
  std::string text = Value.empty() ? std::string("0.0.0.0") : Value;
  in_addr_t a = Winsock::inet_addr(text);
  if (a == INADDR_NONE) ReportError("SetLocalAddr(): Invalid IP address");
  FLocalAddr = Winsock::inet_ntoa(a);
}

// Address, port and protocol resolution of the socket layer.
#include <cstring>

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
  SetAddressingText("Addr", FAddr, AddrAssigned, AddrResolved, Value);
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

#include "net/WSocketSocks.h"

#include <cxxabi.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

namespace {

std::string Trimmed(const std::string& S) {
  const char* blanks = " \t\r\n";
  auto first = S.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  auto last = S.find_last_not_of(blanks);
  return S.substr(first, last - first + 1);
}

std::string LowerCase(std::string S) {
  for (auto& c : S) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return S;
}

// The class name of an exception as the failure report shows it ("ESocketException").
std::string ExceptionClassName(const std::exception& E) {
  const char* mangled = typeid(E).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && demangled ? demangled.get() : mangled;
}

void AppendPort(std::vector<std::uint8_t>& Out, std::uint16_t Port) {
  Out.push_back(static_cast<std::uint8_t>(Port >> 8));
  Out.push_back(static_cast<std::uint8_t>(Port & 0xFF));
}

void AppendText(std::vector<std::uint8_t>& Out, const std::string& Text) {
  Out.insert(Out.end(), Text.begin(), Text.end());
}

// The reply of the method selection and of the credentials sub-negotiation is 2 bytes; a read
// takes at most 127 bytes so that nothing can overrun the receive area.
constexpr int ShortReplyRead = 127;
constexpr int Socks4ReplyLength = 8;
constexpr std::uint8_t Socks4Granted = 90;

}  // namespace

const char* SocksPhaseName(TSocksPhase Phase) {
  switch (Phase) {
    case TSocksPhase::socksPhaseNone:
      return "socksPhaseNone";
    case TSocksPhase::socksPhaseConnecting:
      return "socksPhaseConnecting";
    case TSocksPhase::socksPhaseAuthenticating:
      return "socksPhaseAuthenticating";
    case TSocksPhase::socksPhaseRequesting:
      return "socksPhaseRequesting";
  }
  return "?";
}

// --- wire formats ---

namespace SocksWire {

std::vector<std::uint8_t> MethodSelection(std::uint8_t Method) {
  return {5, 1, Method};
}

std::vector<std::uint8_t> Credentials(const std::string& User, const std::string& Password) {
  std::vector<std::uint8_t> out{1, static_cast<std::uint8_t>(User.size())};
  AppendText(out, User);
  out.push_back(static_cast<std::uint8_t>(Password.size()));
  AppendText(out, Password);
  return out;
}

std::vector<std::uint8_t> Socks5Connect(const std::string& Host, std::uint16_t Port) {
  std::vector<std::uint8_t> out{5, 1, 0, 3, static_cast<std::uint8_t>(Host.size())};
  AppendText(out, Host);
  AppendPort(out, Port);
  return out;
}

std::vector<std::uint8_t> Socks4Connect(std::uint16_t Port, in_addr_t Address,
                                        const std::string& User, bool Socks4A,
                                        const std::string& Host) {
  // 4, 1, port, address, user code, 0 [, host name, 0]: built at its final size, the zero
  // terminators already in place.
  const std::size_t userAt = 8;
  const std::size_t hostAt = userAt + User.size() + 1;
  std::vector<std::uint8_t> out(hostAt + (Socks4A ? Host.size() + 1 : 0), 0);
  out[0] = 4;
  out[1] = 1;
  out[2] = static_cast<std::uint8_t>(Port >> 8);
  out[3] = static_cast<std::uint8_t>(Port & 0xFF);
  if (Socks4A)
    out[7] = 1;  // the address 0.0.0.1 asks the proxy to resolve the name
  else
    std::memcpy(out.data() + 4, &Address, 4);  // already in network order
  std::copy(User.begin(), User.end(), out.begin() + userAt);
  if (Socks4A) std::copy(Host.begin(), Host.end(), out.begin() + hostAt);
  return out;
}

std::pair<int, std::string> Socks5ReplyError(std::uint8_t Code) {
  static const char* const texts[] = {
      "general SOCKS server failure", "connection not allowed by ruleset",
      "network unreachable",          "host unreachable",
      "connection refused",           "time to live expired",
      "command not supported",        "address type not supported"};
  if (Code >= 1 && Code <= 8) return {SocksError::GeneralFailure + Code - 1, texts[Code - 1]};
  return {SocksError::Unassigned, "unassigned error #" + std::to_string(Code)};
}

std::pair<int, std::string> Socks4StatusError(std::uint8_t Status) {
  switch (Status) {
    case 91:
      return {SocksError::RequestRejected, "request rejected or failed"};
    case 92:
      return {SocksError::ConnectionRefused, "connection refused"};
    case 93:
      return {SocksError::AuthenticationFailed, "authentification failed"};
    default:
      return {SocksError::Unassigned, "unassigned error #" + std::to_string(Status)};
  }
}

Socks5ReplyVerdict JudgeSocks5Reply(const std::uint8_t* Data, std::size_t N) {
  Socks5ReplyVerdict v;
  if (N >= 1 && Data[0] != 5) {
    v.What = Socks5ReplyVerdict::Fail;
    v.Error = SocksError::VersionError;
    v.Message = "socks version error";
    return v;
  }
  if (N >= 2 && Data[1] != 0) {
    v.What = Socks5ReplyVerdict::Fail;
    std::tie(v.Error, v.Message) = Socks5ReplyError(Data[1]);
    return v;
  }
  if (N < 5) return v;
  const std::uint8_t addressType = Data[3];
  std::size_t length = addressType == 1 ? 10 : addressType == 3 ? 7u + Data[4] : 5;
  if (N < length) return v;
  if (addressType != 1 && addressType != 3) {
    v.What = Socks5ReplyVerdict::Fail;
    v.Error = SocksError::AddressTypeNotSupported;
    v.Message = "address type not supported";
    return v;
  }
  v.What = Socks5ReplyVerdict::Granted;
  v.ReplyLength = length;
  return v;
}

}  // namespace SocksWire

// --- construction and properties ---

// The fields start at the values ResetDefaults gives them.
TCustomSocksWSocket::TCustomSocksWSocket() = default;

TCustomSocksWSocket::~TCustomSocksWSocket() = default;

void TCustomSocksWSocket::ResetDefaults() {
  LowerLayer::ResetDefaults();
  FSocksPhase = TSocksPhase::socksPhaseNone;
  FSocksServer.clear();
  FSocksPort.clear();
  FSocksLevel = "5";
  SocksDataCount = 0;
  SocksDataPos = 0;
  SocksRcvCount = 0;
  SocksPortAssigned = false;
  SocksServerAssigned = false;
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
  if (State() != wsClosed) return ReportError("Can't change socks level if not closed");
  if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a")
    return ReportError("Invalid socks level. Must be 4, 4A or 5.");
  FSocksLevel = Value == "4a" ? "4A" : Value;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
  if (State() != wsClosed) return ReportError("Can't change socks port if not closed");
  FSocksPort = Trimmed(Value);
  SocksPortAssigned = !FSocksPort.empty();
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
  if (State() != wsClosed) return ReportError("Can't change socks server if not closed");
  FSocksServer = Trimmed(Value);
  SocksServerAssigned = !FSocksServer.empty();
}

// --- events ---

void TCustomSocksWSocket::FireSocksConnected(std::uint16_t Error) {
  if (OnSocksConnected) CallHandler(OnSocksConnected, this, Error);
}

void TCustomSocksWSocket::FireSocksError(int Error, const std::string& Msg) {
  if (OnSocksError) CallHandler(OnSocksError, this, Error, Msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState) {
  if (OnSocksAuthState) CallHandler(OnSocksAuthState, this, AuthState);
}

// --- opening ---

void TCustomSocksWSocket::Listen() {
  if (SocksServerAssigned) return ReportError("listening is not supported thru socks server");
  LowerLayer::Listen();
}

std::string TCustomSocksWSocket::SocksRequestTooLong() const {
  using namespace SocksWire;
  if (IsSocks4()) {
    // The SOCKS 4 request ends its texts with a zero byte.
    if (FSocksUsercode.find('\0') != std::string::npos ||
        (FSocksLevel == "4A" && Addr().find('\0') != std::string::npos))
      return "socks user code and host name must not contain a zero byte";
    if (FSocksLevel == "4A" && FSocksUsercode.size() + Addr().size() > MaxSocks4AUserHost)
      return "socks user code and host name too long (at most 118 bytes together)";
    if (FSocksLevel == "4" && FSocksUsercode.size() > MaxSocks4User)
      return "socks user code too long (at most 119 bytes)";
    return {};
  }
  if (FSocksAuthentication == socksAuthenticateUsercode &&
      FSocksUsercode.size() + FSocksPassword.size() > MaxCredentials)
    return "socks user code and password too long (at most 125 bytes together)";
  if (Addr().size() > MaxSocks5Host) return "socks host name too long (at most 121 bytes)";
  return {};
}

void TCustomSocksWSocket::ForgetSessionData() {
  FSocksPhase = TSocksPhase::socksPhaseNone;
  SocksRcvCount = 0;
  SocksDataCount = 0;
  SocksDataPos = 0;
}

void TCustomSocksWSocket::Dup(TSocket NewHandle) {
  // Bytes of the connection being replaced must not show up on the adopted one.
  ForgetSessionData();
  LowerLayer::Dup(NewHandle);
}

void TCustomSocksWSocket::Connect() {
  // A session that ended through an error report was not reset: drop what it left.
  if (State() == wsClosed) ForgetSessionData();
  if (!SocksServerAssigned) return LowerLayer::Connect();
  if (LowerCase(Proto()) != "tcp")
    return ReportError("tcp is the only protocol supported thru socks server");
  if (auto tooLong = SocksRequestTooLong(); !tooLong.empty()) return ReportError(tooLong);
  try {
    ConnectThrough(FSocksServer, FSocksPort);
  } catch (const std::exception& e) {
    return ReportError(std::string("connect: ") + e.what());
  }
  FSocksPhase = TSocksPhase::socksPhaseConnecting;
  SocksRcvCount = 0;
  LowerLayer::Connect();
}

void TCustomSocksWSocket::FireSessionConnected(std::uint16_t Error) {
  if (FSocksPhase != TSocksPhase::socksPhaseConnecting)
    return LowerLayer::FireSessionConnected(Error);
  auto alive = AliveToken();
  FireSocksConnected(Error);
  if (Gone(alive)) return;
  if (Error != 0) return LowerLayer::FireSessionConnected(Error);
  if (State() != wsConnected) return;  // the handler closed the socket
  if (IsSocks4()) return SendSocksRequest();
  SocksAuthMethod = FSocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
  SendSocksBytes(SocksWire::MethodSelection(SocksAuthMethod));
}

void TCustomSocksWSocket::SendSocksBytes(const std::vector<std::uint8_t>& Bytes) {
  try {
    Send(Bytes.data(), static_cast<int>(Bytes.size()));
  } catch (const std::exception&) {
    // A failed send is already reported by the core; the negotiation simply waits.
  }
}

void TCustomSocksWSocket::SendSocksCredentials() {
  FSocksPhase = TSocksPhase::socksPhaseAuthenticating;
  auto alive = AliveToken();
  FireSocksAuthState(socksAuthBegin);
  if (Gone(alive) || State() != wsConnected) return;
  SendSocksBytes(SocksWire::Credentials(FSocksUsercode, FSocksPassword));
}

void TCustomSocksWSocket::SendSocksRequest() {
  FSocksPhase = TSocksPhase::socksPhaseRequesting;
  const auto port = static_cast<std::uint16_t>(PortNumber());
  if (!IsSocks4()) return SendSocksBytes(SocksWire::Socks5Connect(Addr(), port));
  const bool socks4A = FSocksLevel == "4A";
  in_addr_t target = 0;
  if (!socks4A) {
    try {
      target = WSocketResolveHost(Addr());
    } catch (const std::exception& e) {
      auto alive = AliveToken();
      FireSocksError(SocksError::ResolveFailed, ExceptionClassName(e) + " " + e.what());
      if (Gone(alive)) return;
      return DoClose(true, SocksError::ResolveFailed);
    }
  }
  SendSocksBytes(SocksWire::Socks4Connect(port, target, FSocksUsercode, socks4A, Addr()));
}

void TCustomSocksWSocket::SocksFail(int Error, const std::string& Msg) {
  auto alive = AliveToken();
  FireSocksError(Error, Msg);
  if (Gone(alive)) return;
  LowerLayer::FireSessionConnected(static_cast<std::uint16_t>(Error));
  if (Gone(alive)) return;
  DoClose(true, static_cast<std::uint16_t>(Error));
}

// --- the negotiation ---

bool TCustomSocksWSocket::ReadSocksReply(int Limit) {
  const int room = Limit - SocksRcvCount;
  if (room <= 0) return true;
  int n = AccountReceived(LowerLayer::RecvRaw(SocksRcvBuf.data() + SocksRcvCount, room, 0));
  if (n < 0) return false;
  SocksRcvCount += n;
  return true;
}

bool TCustomSocksWSocket::FireDataAvailable(std::uint16_t Error) {
  if (PassesThrough()) return LowerLayer::FireDataAvailable(Error);
  if (Error != 0) {
    SocksFail(Error, "data receive error");
    return false;
  }
  switch (FSocksPhase) {
    case TSocksPhase::socksPhaseNone:
      break;  // handled above
    case TSocksPhase::socksPhaseConnecting:
      if (ReadSocksReply(ShortReplyRead)) HandleMethodReply();
      return true;
    case TSocksPhase::socksPhaseAuthenticating:
      if (ReadSocksReply(ShortReplyRead)) HandleCredentialsReply();
      return true;
    case TSocksPhase::socksPhaseRequesting:
      if (IsSocks4()) return ReadSocksReply(Socks4ReplyLength) ? HandleSocks4Reply() : true;
      return ReadSocksReply(SocksWire::ReceiveArea - 1) ? HandleSocks5Reply() : true;
  }
  return true;
}

void TCustomSocksWSocket::HandleMethodReply() {
  if (IsSocks4()) return SocksFail(SocksError::LogicError, "TWSocket logic error");
  if (SocksRcvCount < 2) return;
  SocksRcvCount = 0;  // anything beyond the two bytes is not part of the reply
  if (SocksRcvBuf[0] != 5) return SocksFail(SocksError::VersionError, "socks version error");
  switch (SocksRcvBuf[1]) {
    case 0:
      if (SocksAuthMethod != 0) {
        auto alive = AliveToken();
        FireSocksAuthState(socksAuthSkipped);
        if (Gone(alive) || State() != wsConnected) return;
      }
      return SendSocksRequest();
    case 2:
      return SendSocksCredentials();
    default:
      return SocksFail(SocksError::MethodNotAcceptable, "authentification method not acceptable");
  }
}

void TCustomSocksWSocket::HandleCredentialsReply() {
  auto reject = [this](int Error, const char* Msg) {
    auto alive = AliveToken();
    FireSocksAuthState(socksAuthRejected);
    if (Gone(alive) || State() != wsConnected) return;
    SocksFail(Error, Msg);
  };
  if (SocksRcvCount >= 1 && SocksRcvBuf[0] != 1)
    return reject(SocksError::VersionError, "socks version error");
  if (SocksRcvCount > 2) return reject(SocksError::LogicError, "too much data availaible");
  if (SocksRcvCount < 2) return;
  if (SocksRcvBuf[1] != 0)
    return reject(SocksError::AuthenticationFailed, "socks authentication failed");
  SocksRcvCount = 0;
  auto alive = AliveToken();
  FireSocksAuthState(socksAuthAccepted);
  if (Gone(alive) || State() != wsConnected) return;
  SendSocksRequest();
}

bool TCustomSocksWSocket::HandleSocks4Reply() {
  if (SocksRcvCount < Socks4ReplyLength) return true;
  SocksRcvCount = 0;
  if (SocksRcvBuf[0] != 0) {
    SocksFail(SocksError::VersionError, "socks version error");
    return true;
  }
  if (SocksRcvBuf[1] == Socks4Granted) return SocksGranted();
  auto [error, message] = SocksWire::Socks4StatusError(SocksRcvBuf[1]);
  SocksFail(error, message);
  return true;
}

bool TCustomSocksWSocket::HandleSocks5Reply() {
  auto verdict = SocksWire::JudgeSocks5Reply(SocksRcvBuf.data(), SocksRcvCount);
  switch (verdict.What) {
    case SocksWire::Socks5ReplyVerdict::Wait:
      return true;
    case SocksWire::Socks5ReplyVerdict::Fail:
      SocksFail(verdict.Error, verdict.Message);
      return true;
    case SocksWire::Socks5ReplyVerdict::Granted:
      break;
  }
  const int replyLength = static_cast<int>(verdict.ReplyLength);
  SocksDataCount = std::max(0, SocksRcvCount - replyLength);
  SocksDataPos = replyLength;
  SocksRcvCount = 0;
  return SocksGranted();
}

bool TCustomSocksWSocket::SocksGranted() {
  FSocksPhase = TSocksPhase::socksPhaseNone;
  auto alive = AliveToken();
  // Virtual: a layer above may hold the session back (TLS starts its handshake here).
  FireSessionConnected(0);
  if (Gone(alive)) return true;
  if (State() != wsConnected) return true;  // closed by the handler
  // Through the most derived layer, so that line mode switched on by OnSessionConnected
  // already assembles the bytes that came behind the reply. The receive loop keeps offering
  // them (HeldByteCount) while the handler takes some.
  bool assigned = FireDataAvailable(0);
  return Gone(alive) ? true : assigned;
}

// --- reading ---

int TCustomSocksWSocket::RcvdCount() {
  if (SocksDataCount > 0) return SocksDataCount;
  return LowerLayer::RcvdCount();
}

int TCustomSocksWSocket::RecvRaw(void* Buffer, int Size, int Flags) {
  if (SocksDataCount <= 0) return LowerLayer::RecvRaw(Buffer, Size, Flags);
  const int n = std::max(0, std::min(Size, SocksDataCount));
  std::memcpy(Buffer, SocksRcvBuf.data() + SocksDataPos, static_cast<std::size_t>(n));
  SocksDataPos += n;
  SocksDataCount -= n;
  if (SocksDataCount == 0) RenewReadNotification();
  return n;
}

int TCustomSocksWSocket::HeldByteCount() const {
  return std::max(0, SocksDataCount) + LowerLayer::HeldByteCount();
}

void TCustomSocksWSocket::FireSessionClosed(std::uint16_t Error) {
  if (FSocksPhase == TSocksPhase::socksPhaseAuthenticating) {
    auto alive = AliveToken();
    FireSocksAuthState(socksAuthRejected);
    if (Gone(alive)) return;
  }
  LowerLayer::FireSessionClosed(Error);
}

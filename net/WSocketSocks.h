// TCustomSocksWSocket: the SOCKS 4/4A/5 client layer of the socket class chain.
//
// With SocksServer set, a TCP Connect goes to the proxy, negotiates with it (SOCKS 5 with no
// authentication or user name and password, SOCKS 4, SOCKS 4A), asks it to connect to Addr and
// Port, and only then fires OnSessionConnected. The proxy's replies arrive as ordinary data
// notifications and are consumed here; the application never sees them. Bytes the proxy sent
// right behind its connect reply are handed to the application first, in order, through the
// usual OnDataAvailable and Receive. Without SocksServer everything passes through.
//
// Events, in order for a SOCKS 5 session with authentication: OnSocksConnected(0),
// OnSocksAuthState(socksAuthBegin), OnSocksAuthState(socksAuthAccepted),
// OnSessionConnected(0), then OnDataAvailable. Every negotiation failure fires
// OnSocksError(code, text), OnSessionConnected(code) and, once the socket has closed,
// OnSessionClosed(code), with a SOCKS code 20001..20017 or the receive error.
//
// Configuration errors go through ReportError (OnError or ESocketException): the setters refuse
// while the socket is open; Listen and non-TCP protocols are refused while SocksServer is set;
// Connect refuses a user name, password or target host name that does not fit the request
// (limits below) before anything is opened or sent.
//
// SocksServer, SocksPort and SocksLevel return to their defaults after every close; SocksUsercode,
// SocksPassword and SocksAuthentication keep their values.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/WSocketCore.h"

enum TSocksAuthentication : std::uint8_t { socksNoAuthentication, socksAuthenticateUsercode };

enum TSocksAuthState : std::uint8_t {
  socksAuthBegin,
  socksAuthAccepted,
  socksAuthRejected,
  socksAuthSkipped
};

enum class TSocksPhase : std::uint8_t {
  socksPhaseNone,
  socksPhaseConnecting,
  socksPhaseAuthenticating,
  socksPhaseRequesting
};
const char* SocksPhaseName(TSocksPhase Phase);

using TSocksErrorEvent =
    std::function<void(TCustomWSocket* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TCustomWSocket* Sender, TSocksAuthState AuthState)>;

// Error codes of the negotiation, as passed to OnSocksError, OnSessionConnected and
// OnSessionClosed.
namespace SocksError {
constexpr int LogicError = 20001;  // method reply under SOCKS 4, or an oversized reply
constexpr int VersionError = 20002;
constexpr int MethodNotAcceptable = 20003;
constexpr int GeneralFailure = 20004;  // SOCKS 5 reply codes 1..8 map to 20004..20011
constexpr int ConnectionRefused = 20008;
constexpr int AddressTypeNotSupported = 20011;
constexpr int Unassigned = 20012;
constexpr int AuthenticationFailed = 20015;
constexpr int RequestRejected = 20016;
constexpr int ResolveFailed = 20017;
}  // namespace SocksError

// Wire formats. Each builder returns the bytes of one client message; the limits are checked by
// Connect before any of them is called (SocksRequestTooLong).
namespace SocksWire {
// Requests are built in a 128-byte area, so these are the longest values that fit.
constexpr std::size_t MaxCredentials = 125;      // user name + password, SOCKS 5
constexpr std::size_t MaxSocks5Host = 121;       // target host name, SOCKS 5
constexpr std::size_t MaxSocks4User = 119;       // user id, SOCKS 4
constexpr std::size_t MaxSocks4AUserHost = 118;  // user id + target host name, SOCKS 4A
// The longest valid SOCKS 5 connect reply: 4 header bytes, a length byte, a 255-byte name and
// a port. The receive area holds one such reply and the bytes that may follow it in one read.
constexpr std::size_t MaxSocks5Reply = 4 + 1 + 255 + 2;
constexpr std::size_t ReceiveArea = 512;

std::vector<std::uint8_t> MethodSelection(std::uint8_t Method);
std::vector<std::uint8_t> Credentials(const std::string& User, const std::string& Password);
std::vector<std::uint8_t> Socks5Connect(const std::string& Host, std::uint16_t Port);
// Address in network byte order; Socks4A selects the 0.0.0.1 form that carries Host.
std::vector<std::uint8_t> Socks4Connect(std::uint16_t Port, in_addr_t Address,
                                        const std::string& User, bool Socks4A,
                                        const std::string& Host);

// Judging a SOCKS 5 connect reply of N bytes collected so far.
struct Socks5ReplyVerdict {
  enum Kind { Wait, Fail, Granted } What = Wait;
  int Error = 0;
  std::string Message;
  std::size_t ReplyLength = 0;  // Granted: the bytes that belong to the reply
};
Socks5ReplyVerdict JudgeSocks5Reply(const std::uint8_t* Data, std::size_t N);
// Error code and text of a SOCKS 5 reply code other than 0.
std::pair<int, std::string> Socks5ReplyError(std::uint8_t Code);
// Error code and text of a SOCKS 4 status other than 90.
std::pair<int, std::string> Socks4StatusError(std::uint8_t Status);
}  // namespace SocksWire

class TCustomSocksWSocket : public TCustomWSocket {
  using LowerLayer = TCustomWSocket;

 public:
  TCustomSocksWSocket();
  ~TCustomSocksWSocket() override;

  // --- properties ---
  const std::string& SocksServer() const { return FSocksServer; }
  virtual void SetSocksServer(const std::string& Value);
  const std::string& SocksPort() const { return FSocksPort; }
  virtual void SetSocksPort(const std::string& Value);
  const std::string& SocksLevel() const { return FSocksLevel; }
  void SetSocksLevel(const std::string& Value);
  const std::string& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
  const std::string& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }
  TSocksPhase SocksPhase() const { return FSocksPhase; }

  int RcvdCount() override;
  int RecvRaw(void* Buffer, int Size, int Flags) override;
  // The bytes that came behind the proxy's connect reply and are not read yet.
  int HeldByteCount() const override;
  void Connect() override;
  void Listen() override;
  void Dup(TSocket NewHandle) override;

  // --- events ---
  TSessionConnected OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;

 protected:
  void ResetDefaults() override;
  bool FireDataAvailable(std::uint16_t Error) override;
  void FireSessionConnected(std::uint16_t Error) override;
  void FireSessionClosed(std::uint16_t Error) override;

  virtual void FireSocksConnected(std::uint16_t Error);
  virtual void FireSocksError(int Error, const std::string& Msg);
  void FireSocksAuthState(TSocksAuthState AuthState);
  void SendSocksCredentials();
  void SendSocksRequest();
  void SocksFail(int Error, const std::string& Msg);
  // No negotiation with a proxy is under way: the session's bytes are the application's.
  bool PassesThrough() const { return FSocksPhase == TSocksPhase::socksPhaseNone; }

  TSocksPhase FSocksPhase = TSocksPhase::socksPhaseNone;
  std::string FSocksServer;
  std::string FSocksLevel = "5";
  std::string FSocksPort;
  bool SocksPortAssigned = false;
  bool SocksServerAssigned = false;
  std::string FSocksUsercode;
  std::string FSocksPassword;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
  std::uint8_t SocksAuthMethod = 0;
  std::array<std::uint8_t, SocksWire::ReceiveArea> SocksRcvBuf{};
  int SocksRcvCount = 0;
  int SocksDataCount = 0;
  int SocksDataPos = 0;

 private:
  void ForgetSessionData();
  bool IsSocks4() const { return !FSocksLevel.empty() && FSocksLevel[0] == '4'; }
  // Text of the configuration error when a value does not fit its request, else empty.
  std::string SocksRequestTooLong() const;
  // Appends up to Limit - SocksRcvCount bytes to SocksRcvBuf; false when the read failed.
  bool ReadSocksReply(int Limit);
  void SendSocksBytes(const std::vector<std::uint8_t>& Bytes);
  void HandleMethodReply();
  void HandleCredentialsReply();
  bool HandleSocks4Reply();
  bool HandleSocks5Reply();
  // The connect reply was granted: report the session and hand over the bytes behind it.
  bool SocksGranted();
};

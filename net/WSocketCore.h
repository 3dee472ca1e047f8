// TCustomWSocket: the non-blocking TCP/UDP socket object.
//
// One object owns one socket handle, a message window on the calling thread's event loop that
// receives the socket notifications and lookup completions, a send buffer of TBuffer chunks and
// its addressing texts. Set Addr, Port and Proto, call Connect (or Listen), and follow the
// session through the events: OnChangeState for every state change, OnSessionConnected when the
// connection attempt ends, OnDataAvailable when bytes arrive, OnDataSent when the send buffer
// has drained, OnSessionClosed once per session.
//
// Errors: usage errors and Winsock failures go through ReportError, which fires OnError when it
// is assigned and otherwise throws ESocketException. Outcomes of asynchronous work never throw:
// they arrive as the Error argument of the events (0 = success, otherwise a Winsock code).
//
// Handlers may close or destroy the object that calls them; after every event the object
// checks that it still exists before it touches itself again. Exceptions escaping a handler
// while a notification is handled go to HandleBgException (OnBgException, then by default
// AbortSession); those from OnDataAvailable end the receive loop and go no further.
//
// Each handler is called through a copy of the event member, so a handler may destroy the
// object (and with it the member) while it runs. During destruction no event fires.
//
// Derived layers: the constructor's call of ResetDefaults runs this class's version only (C++
// does not dispatch to overrides from a constructor), so each layer resets its own fields in
// its constructor as well.
//
// FreeLater takes the one owning pointer of the object (see its comment); every other object
// is owned by whoever created it.
//
// The descriptor belongs to the binding: FD_READ is re-armed only inside the binding's recv (and
// FD_WRITE by a send that would block), so no layer and no library (a TLS library included) may
// read or write the descriptor itself; they go through RecvRaw and RawSend of the layer below.
// Bytes a layer has already taken from the network and holds for the application are announced
// through one mechanism: each layer adds its own to HeldByteCount, the receive loop keeps calling
// OnDataAvailable while the network or a layer holds bytes and the handler takes some, and a
// layer whose bytes are read outside that loop calls RenewReadNotification, which posts an
// FD_READ to the object itself when anything is left.
//
// Field naming: fields that share their name with a property accessor carry an F prefix
// (FAddr behind Addr()); the others keep their plain names (SocketHandle, AllSent, ...).
//
// Writing a layer
// ---------------
// A layer is a class derived from the layer below it (TCustomSocksWSocket from this class,
// TCustomTlsWSocket from TCustomSocksWSocket, ...), naming it `using LowerLayer = ...;`. It keeps
// its own state private and reads the object's state through the public accessors (State,
// HSocket, Handle, Addr, PortNumber, SocketType, IsAllSent) and the protected ones below
// (IsDestroying, ConnectThrough, PostReadNotification, RenewReadNotification, WireSend,
// WireSendv, AliveToken, Gone, NotifyWParam). The core's fields are its own.
//
// A layer may override exactly these operations. In each, call the layer below
// (LowerLayer::Operation) whenever the layer does not act itself; a layer that has nothing to do
// in the current session says so in one place, PassesThrough(), and every override begins with
// `if (PassesThrough()) return LowerLayer::...`. No call goes past the layer below.
//   receiving   RecvRaw         serve the layer's own bytes first, else read from below
//               RcvdCount       the bytes the next RecvRaw can give
//               HeldByteCount   the layer's held bytes plus those of the layers below
//               FireDataAvailable  bytes arrived below: consume them (a negotiation, a
//                               handshake) or pass the notification up by calling the layer
//                               below, which ends in the application's OnDataAvailable
//   sending     RawSend, RawSendv  transform or hold back what the application sends, then
//                               write through the layer below (a layer's own bytes, such as a
//                               handshake, go through WireSend/WireSendv)
//               FireDataSent    the network took everything: go on with the layer's own work
//   session     Connect, Dup, Listen  set up the layer's session state, then call below
//               FireSessionConnected, FireSessionClosed  the session's start and end
//               DoClose         last words before the close (close_notify), then below
//               ResetDefaults   the layer's settings to their defaults, then below
//   messages    HandleWindowMessage  the layer's private messages; every other one below
// Every other member is the core's own. A layer that reads the network outside the receive
// loop calls RenewReadNotification, so that bytes it leaves are announced again.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "net/SocketErrors.h"
#include "net/WSockbuf.h"
#include "net/Winsock.h"
#include "platform/EventLoop.h"
#include "platform/StringList.h"

// Private messages of the socket window.
constexpr std::uint32_t WM_SOCKET_NOTIFY = WM_USER + 1;     // 0x401
constexpr std::uint32_t WM_LOOKUP_NAME_DONE = WM_USER + 2;  // 0x402
constexpr std::uint32_t WM_LOOKUP_ADDR_DONE = WM_USER + 3;  // 0x403
constexpr std::uint32_t WM_CLOSE_LATER = WM_USER + 4;       // 0x404
constexpr std::uint32_t WM_FREE_LATER = WM_USER + 5;        // 0x405
constexpr std::uint32_t WM_TEST_EXCEPTION = WM_USER + 6;    // 0x406

// Unscoped so that both wsConnected and TSocketState::wsConnected read naturally.
enum TSocketState : std::uint8_t {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};
// "wsClosed" etc.
const char* SocketStateName(TSocketState state);

enum TSocketLingerOnOff : std::uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };
// The address families a stream connection may use: IPv4 only (the routines of Winsock 1.1), or
// IPv6 and IPv4 as the name service orders them.
enum TSocketFamily : std::uint8_t { sfIPv4, sfAny };
enum TSocketSendFlags : std::uint8_t { wsSendNormal, wsSendUrgent };

class ESocketException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TCustomWSocket;

// One piece of a gathered send.
struct TSendPart {
  const std::uint8_t* Data;
  int Len;
};

// A liveness flag shared between an object and the tokens taken from it: the object kills it
// when it is destroyed, and a token taken before firing an event tells afterwards whether the
// object still exists.
class TAliveToken {
 public:
  static TAliveToken Create() { return TAliveToken(std::make_shared<bool>(true)); }
  TAliveToken() = default;
  bool Alive() const { return alive_ && *alive_; }
  void Kill() {
    if (alive_) *alive_ = false;
  }

 private:
  explicit TAliveToken(std::shared_ptr<bool> alive) : alive_(std::move(alive)) {}
  std::shared_ptr<bool> alive_;
};

using TDataAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSendData = std::function<void(TCustomWSocket* Sender, int BytesSent)>;
using TSessionClosed = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TChangeState =
    std::function<void(TCustomWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent =
    std::function<void(TCustomWSocket* Sender, const std::exception& E, bool& CanClose)>;
using TSocketNotifyEvent = std::function<void(TCustomWSocket* Sender)>;

// Live socket objects; the last one destroyed ends the Winsock binding.
int SocketObjectCount();

// Resolution routines; each throws ESocketException with its own text.
in_addr_t WSocketResolveHost(const std::string& InAddr);                    // network byte order
int WSocketResolvePort(const std::string& Port, const std::string& Proto);  // host order
int WSocketResolveProto(const std::string& Proto);
bool IsDottedQuad(std::string_view S);
int LeadingNumber(std::string_view S);
std::string GetLocalHostName();
// The host's fully-qualified domain name: the host name when it is one, else the first such
// name that /etc/hosts gives for the host name; "" when the host has none (names under
// "localhost" and ".localdomain" do not count: nobody else can reach them).
std::string LocalFqdn();
// The rule of LocalFqdn, given the host name and the text of a hosts file.
std::string FqdnFromHosts(const std::string& HostName, std::string_view HostsText);

class TCustomWSocket {
 public:
  static constexpr int ChunkSize = 1514;
  static constexpr int kDiscardChunk = 1024;  // read size when nobody handles OnDataAvailable
  // OnDataAvailable calls per read notification at the most (as libuv reads per readiness);
  // when bytes are still waiting after them, a read notification is posted for the rest, so
  // that timers, other sockets and posted messages get their turn.
  static constexpr int kMaxReadsPerReadiness = 32;

  TCustomWSocket();
  virtual ~TCustomWSocket();
  TCustomWSocket(const TCustomWSocket&) = delete;
  TCustomWSocket& operator=(const TCustomWSocket&) = delete;

  // --- addressing (properties) ---
  const std::string& Addr() const { return FAddr; }
  void SetAddr(const std::string& Value);
  // The numeric addresses (IPv4 or IPv6 texts) the next stream Connect tries in turn, usually
  // DnsResultList after LookupHost: when a connection attempt fails, the next address is tried
  // without any event, and only the outcome of the last attempt is reported. Addr reads the
  // first. Refused like Addr while the socket is open; SetAddr and the reset after a close clear
  // the list.
  void SetAddrList(const TStringList& Addresses);
  // sfIPv4 (the default) keeps names to their IPv4 addresses; with sfAny, LookupHost and a
  // stream Connect to a name take the IPv6 and IPv4 addresses. An IPv6 address given as Addr is
  // used in either case. Kept across sessions.
  TSocketFamily SocketFamily() const { return FSocketFamily; }
  void SetSocketFamily(TSocketFamily Value) { FSocketFamily = Value; }
  const std::string& Port() const { return FPort; }
  virtual void SetPort(const std::string& Value);
  const std::string& Proto() const { return FProto; }
  virtual void SetProto(const std::string& Value);
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& Value);
  const std::string& LocalPort() const { return FLocalPort; }
  void SetLocalPort(const std::string& Value);
  virtual std::string PeerAddr();
  virtual std::string PeerPort();
  virtual std::string BoundPort();
  // The local address of a bound, connected or listening socket as numeric text ("127.0.0.1",
  // "::1"); "error" otherwise.
  std::string BoundAddr();
  virtual int ReadPeerName(sockaddr_in& Name, int NameLen);
  virtual int ReadSockName(sockaddr_in& Name, int& NameLen);

  // --- state and options (properties) ---
  TSocketState State() const { return FState; }
  int ReadCount() const { return FReadCount; }
  virtual int RcvdCount();
  int LastError() const { return FLastError; }
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
  int FlushTimeout() const { return FFlushTimeout; }
  void SetFlushTimeout(int Value) { FFlushTimeout = Value; }
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
  int LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(int Value) { FLingerTimeout = Value; }
  TSocketSendFlags SendFlags();
  void SetSendFlags(TSocketSendFlags Value);
  TSocket HSocket() const { return SocketHandle; }
  HWND Handle() const { return WindowHandle; }
  bool IsAllSent() const { return AllSent; }
  bool QuitSeen() const { return FQuitSeen; }
  void ClearQuitSeen() { FQuitSeen = false; }
  int SocketType() const { return FSocketType; }
  int ProtoNumber() const { return FProtoNumber; }
  int PortNumber() const { return FPortNumber; }
  const std::string& DnsResult() const { return FDnsResult; }
  const TStringList& DnsResultList() const { return FDnsResultList; }
  // The next Connect goes where the last LookupHost found the host: every address it gave, or
  // the address that was given as such.
  void UseLookupResult();
  // Bytes waiting in the send buffer (not yet taken by the network).
  int BufferedByteCount() const { return BufferedBytes; }

  // --- opening and closing ---
  virtual void Connect();
  virtual void Close();
  virtual void DoClose(bool Shut, std::uint16_t Error);
  virtual void AbortSession();
  virtual void ShutdownSocket(int How);
  virtual void CloseLater();
  // Destroys the object from the event loop once the current handler has returned. The object
  // owns itself from here on: the caller hands over the one owning pointer to it (Owned must
  // hold this object, otherwise ReportError "FreeLater: object not owned"). Until the message
  // is handled the object stays fully usable.
  virtual void FreeLater(std::unique_ptr<TCustomWSocket> Owned);
  virtual void WaitUntilClosed();
  virtual void Dup(TSocket NewHandle);
  virtual void Listen();
  virtual TSocket Accept();

  // --- receiving ---
  virtual int Receive(void* Buffer, int Size);
  virtual std::string ReceiveText();
  virtual int ReceiveDatagram(void* Buffer, int Size, sockaddr_in& From, int& FromLen);
  // One recv; the layers above override it to deliver their buffered bytes first.
  virtual int RecvRaw(void* Buffer, int Size, int Flags);
  // Bytes this object's layers took from the network and hold above the kernel, not yet handed
  // to the application, which no FD_READ will announce (SOCKS leftovers, decrypted records,
  // line-mode buffers). Each layer adds its own to those of the layers below; the core holds
  // none.
  virtual int HeldByteCount() const;
  virtual int RecvFromRaw(TSocket Handle, void* Buffer, int Size, int Flags, sockaddr_in& From,
                          int& FromLen);

  // --- sending ---
  // Queues and tries to send. Returns the bytes accepted (Len), 0 for Len <= 0, -1 when not
  // connected. OnDataSent follows from the event loop once the buffer has drained, never from
  // inside Send.
  virtual int Send(const void* Data, int Len);
  virtual int SendText(std::string_view S);
  // SendText for a line holding a secret: the send-buffer chunks that carry it are wiped once
  // they have drained, and the layers below wipe their copies (the TLS record) too.
  int SendSecretText(std::string_view S);
  virtual int SendDatagram(const sockaddr_in& Dest, int DestLen, const void* Data, int Len);
  void QueueSendData(const void* Data, int Len, bool Secret = false);
  int SendQueued(const void* Data, int Len, bool Secret);
  void TryToSend();
  virtual int RawSend(const void* Data, int Len);
  // One network write of Count parts in order, as RawSend does for one (OnSendData with the
  // bytes taken). TryToSend hands it up to MaxGatheredParts chunks of the send buffer at once, so
  // that a full buffer leaves in one write instead of one per chunk.
  virtual int RawSendv(const TSendPart* Parts, int Count);
  static constexpr int MaxGatheredParts = 64;
  virtual void Flush();
  void DiscardSendBuffer();

  // --- name lookup ---
  virtual void LookupHost(const std::string& HostName);
  virtual void LookupAddr(const std::string& HostAddr);
  virtual void CancelLookup();

  // --- control ---
  virtual int SuspendEvents();
  virtual int ResumeEvents();
  virtual void PumpMessages();
  void ApplyLinger();

  // --- time values (kept for the interface; nothing here calls them) ---
  virtual bool TimeValueIsSet(const timeval& T) const;
  virtual void ClearTimeValue(timeval& T) const;
  virtual bool CompareTimeValues(const timeval& A, const timeval& B, bool WantEqual) const;

  // --- error reporting ---
  virtual void ReportError(const std::string& Msg);
  virtual void ReportErrorFmt(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
  void ReportSocketError(const std::string& OperationName);
  virtual void HandleBgException(const std::exception& E);

  // --- the window's message handler ---
  virtual void HandleWindowMessage(TMessage& Message);

  // --- events ---
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TChangeState OnChangeState;
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSocketNotifyEvent OnLineTooLong;
  TDnsLookupDone OnDnsLookupDone;
  TSocketNotifyEvent OnError;
  TBgExceptionEvent OnBgException;

 protected:
  virtual void ResetDefaults();
  virtual void BindLocal();
  void EnterState(TSocketState NewState);
  void HandleSocketEvent(const TMessage& Message);
  // Offers what arrived to OnDataAvailable until it is taken; Bounded: kMaxReadsPerReadiness
  // calls at the most.
  void DrainReceived(std::uint16_t Error, bool Bounded = true);
  void HandleLookupDone(const TMessage& Message, bool ByName);
  // Posts FD_READ to the object itself (at most one waits in the queue at a time), so that held
  // bytes reach OnDataAvailable from the event loop.
  void PostReadNotification();
  // After a layer served a read from its own buffer: the network is not read in that call and
  // therefore does not announce its waiting bytes again; post a read notification when the
  // network or a layer still holds bytes.
  void RenewReadNotification();
  // The network or a layer holds bytes the application can read.
  bool BytesWaiting();
  // The network write itself, without OnSendData: RawSend and RawSendv, and layers that write
  // bytes of their own (a TLS handshake), go through these.
  int WireSend(const void* Data, int Len);
  int WireSendv(const TSendPart* Parts, int Count);
  // Runs one PeekMessage/DispatchMessage step of the own pump; false when nothing waited.
  bool PumpOneMessage();
  // Adopts a new socket handle and starts a new session generation.
  void NewSocketHandle(TSocket Handle);
  // wParam of the notifications the object posts to itself: the socket handle in the low half,
  // the session generation in the high half, so that a post meant for an earlier socket that
  // had the same descriptor number is recognised as stale.
  WPARAM NotifyWParam() const {
    return static_cast<WPARAM>(SessionGeneration) << 32 | static_cast<std::uint32_t>(SocketHandle);
  }

  // Fire*: call the handler when one is assigned. FireDataAvailable returns whether one was.
  virtual bool FireDataAvailable(std::uint16_t Error);
  virtual void FireSessionAvailable(std::uint16_t Error);
  virtual void FireSessionConnected(std::uint16_t Error);
  virtual void FireSessionClosed(std::uint16_t Error);
  virtual void FireDataSent(std::uint16_t Error);
  virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
  virtual void FireDnsLookupDone(std::uint16_t Error);
  virtual void FireError();
  void FireSendData(int BytesSent);
  // Every handler runs from a copy: it may destroy the object, and with it the event member
  // that holds the handler's own closure.
  template <typename Handler, typename... Args>
  static void CallHandler(const Handler& handler, Args... args) {
    Handler keep = handler;
    keep(args...);
  }

  // Take a token before firing an event and check it afterwards: a handler may have destroyed
  // the object.
  TAliveToken AliveToken() const { return Alive; }
  // True when the object was destroyed by whatever ran since `token` was taken.
  static bool Gone(const TAliveToken& token) { return !token.Alive(); }

  // For layers: the object is being destroyed (no event may fire).
  bool IsDestroying() const { return Destroying; }
  // For a proxy layer's Connect: the connection is made to Host:Service (each resolved once per
  // session, as Addr and Port are) while Addr and Port keep naming the target, whose port
  // becomes PortNumber. Throws ESocketException when a name or port does not resolve.
  void ConnectThrough(const std::string& Host, const std::string& Service);
  // What Receive does with the result of a read (ReadCount, LastError), for a layer that reads
  // from the layer below itself: `n = AccountReceived(LowerLayer::RecvRaw(...))`.
  int AccountReceived(int Received);
  // The application's OnDataAvailable, for bytes a layer holds itself (line mode's lines); true
  // when a handler is assigned. The notification from below goes through FireDataAvailable.
  bool NotifyDataAvailable(std::uint16_t Error);
  // The send buffer's chunks, for the send-buffer tests.
  const std::vector<std::unique_ptr<TBuffer>>& SendBufferChunks() const { return SendChunks; }

 private:
  // Addressing (see the accessors above).
  std::string FAddr;
  bool AddrAssigned = false;
  bool AddrResolved = false;
  std::string FPort;
  bool PortAssigned = false;
  bool PortResolved = false;
  int FPortNumber = 0;
  std::string FProto = "tcp";
  bool ProtoAssigned = true;
  bool ProtoResolved = false;
  int FProtoNumber = 6;
  int FSocketType = SOCK_STREAM;
  int AddrFamily = AF_INET;
  std::string FLocalAddr = "0.0.0.0";
  std::string FLocalPort = "0";
  bool LocalPortResolved = false;
  int LocalPortNumber = 0;
  sockaddr_in SockAddr{};
  std::vector<std::string> AddrList;
  TSocketFamily FSocketFamily = sfIPv4;
  // Where a stream Connect goes: every address it may try, and the one in hand.
  std::vector<sockaddr_storage> ConnectTargets;
  std::size_t ConnectTargetIndex = 0;

  // Send buffer.
  std::vector<std::unique_ptr<TBuffer>> SendChunks;
  int ChunkCapacity = ChunkSize;
  bool AllSent = true;
  int SendFlagWord = 0;
  int BufferedBytes = 0;  // the bytes in SendChunks not sent yet

  // Lookup.
  Winsock::AsyncHandle LookupHandle = 0;
  std::string FDnsResult;
  TStringList FDnsResultList;

  // Session.
  TSocket SocketHandle = Winsock::INVALID_SOCKET;
  HWND WindowHandle = 0;
  TSocketState FState = wsClosed;
  int FLastError = 0;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  int FLingerTimeout = 0;
  int FReadCount = 0;
  bool EventsSuspended = false;
  bool SessionClosedFired = false;
  int FFlushTimeout = 60;
  bool FMultiThreaded = false;
  bool FQuitSeen = false;
  bool Destroying = false;
  std::uint32_t SessionGeneration = 0;
  // Receives on the handle that brought bytes (DrainReceived's progress check).
  std::uint64_t RecvCalls = 0;
  bool ReadNotificationPosted = false;

  bool ResolveForOpen(const char* Prefix, bool WithLocalPort);
  // Fills ConnectTargets from the address list or Addr; throws ESocketException.
  void ResolveConnectTargets();
  // The options of a stream connection and its notifications, on SocketHandle; a failure is
  // reported when Report is set (the socket then stays open), otherwise only returned.
  bool PrepareStreamSocket(bool Report);
  // After the attempt on the current target failed with Error: connects to the next target on a
  // new socket, without any event. False when none is left (Error then holds the last failure).
  bool ConnectNextTarget(std::uint16_t& Error);
  const sockaddr* CurrentTarget(int& Length);
  // Blocks until the event loop has something to dispatch (or a short while has passed).
  void WaitForLoopActivity();
  bool SetAddressingText(const char* Name, std::string& Text, bool& Assigned, bool& Resolved,
                         const std::string& Value);

  TAliveToken Alive = TAliveToken::Create();
  std::unique_ptr<TCustomWSocket> SelfOwner;  // set by FreeLater
};

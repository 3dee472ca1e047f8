#include "net/WSocketCore.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "net/NameService.h"
#include "net/NetTrace.h"
#include "platform/Application.h"

namespace {

std::atomic<int> g_socketObjectCount{0};  // objects may live on several threads

// Winsock codes that mean the connection is gone when a send fails.
bool EndsConnection(int code) {
  return code == WSAECONNRESET || code == WSAENOTSOCK || code == WSAENOTCONN || code == WSAEINVAL ||
         code == WSAECONNABORTED;
}

constexpr std::uint32_t kConnectMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr std::uint32_t kListenMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
constexpr std::uint32_t kSessionMask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

constexpr int kSockAddrLen = sizeof(sockaddr_in);

// The binding is released when the last socket object goes.
void UnloadWinsock() {
  if (Winsock::IsStarted()) Winsock::WSACleanup();
}

}  // namespace

int SocketObjectCount() {
  return g_socketObjectCount;
}

const char* SocketStateName(TSocketState state) {
  switch (state) {
    case wsInvalidState:
      return "wsInvalidState";
    case wsOpened:
      return "wsOpened";
    case wsBound:
      return "wsBound";
    case wsConnecting:
      return "wsConnecting";
    case wsConnected:
      return "wsConnected";
    case wsAccepting:
      return "wsAccepting";
    case wsListening:
      return "wsListening";
    case wsClosed:
      return "wsClosed";
  }
  return "?";
}

// ---- construction and destruction ----

TCustomWSocket::TCustomWSocket() {
  WindowHandle = AllocateHWnd([this, alive = Alive](TMessage& m) {
    if (alive.Alive()) HandleWindowMessage(m);
  });
  TCustomWSocket::ResetDefaults();
  ++g_socketObjectCount;
}

TCustomWSocket::~TCustomWSocket() {
  // No event fires from here on: the handlers' owners may be half destroyed themselves.
  Destroying = true;
  try {
    CancelLookup();
  } catch (...) {
  }
  try {
    if (FState != wsClosed) Close();
  } catch (...) {
  }
  if (SocketHandle != Winsock::INVALID_SOCKET) {  // e.g. closed by an error report's state
    Winsock::closesocket(SocketHandle);
    SocketHandle = Winsock::INVALID_SOCKET;
  }
  if (--g_socketObjectCount <= 0) {
    g_socketObjectCount = 0;
    UnloadWinsock();
  }
  DiscardSendBuffer();
  DeallocateHWnd(WindowHandle);
  Alive.Kill();
}

void TCustomWSocket::ResetDefaults() {
  SockAddr = {};
  SockAddr.sin_family = AF_INET;
  AddrFamily = AF_INET;
  AddrAssigned = AddrResolved = false;
  AddrList.clear();
  ConnectTargets.clear();
  ConnectTargetIndex = 0;
  PortAssigned = PortResolved = false;
  ProtoResolved = LocalPortResolved = false;
  ProtoAssigned = true;
  FProtoNumber = 6;
  FProto = "tcp";
  FSocketType = SOCK_STREAM;
  FLocalPort = "0";
  FLocalAddr = "0.0.0.0";
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  SocketHandle = Winsock::INVALID_SOCKET;
  FState = wsClosed;
  AllSent = true;
  EventsSuspended = false;
  FReadCount = 0;
  SessionClosedFired = false;
  FFlushTimeout = 60;
}

// ---- events ----

bool TCustomWSocket::FireDataAvailable(std::uint16_t Error) {
  return NotifyDataAvailable(Error);
}
bool TCustomWSocket::NotifyDataAvailable(std::uint16_t Error) {
  if (!OnDataAvailable || Destroying) return false;
  CallHandler(OnDataAvailable, this, Error);
  return true;
}
void TCustomWSocket::FireSessionAvailable(std::uint16_t Error) {
  if (OnSessionAvailable && !Destroying) CallHandler(OnSessionAvailable, this, Error);
}
void TCustomWSocket::FireSessionConnected(std::uint16_t Error) {
  if (OnSessionConnected && !Destroying) CallHandler(OnSessionConnected, this, Error);
}
void TCustomWSocket::FireSessionClosed(std::uint16_t Error) {
  if (OnSessionClosed && !Destroying) CallHandler(OnSessionClosed, this, Error);
}
void TCustomWSocket::FireDataSent(std::uint16_t Error) {
  if (OnDataSent && !Destroying) CallHandler(OnDataSent, this, Error);
}
void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState) {
  if (OnChangeState && !Destroying) CallHandler(OnChangeState, this, OldState, NewState);
}
void TCustomWSocket::FireDnsLookupDone(std::uint16_t Error) {
  if (OnDnsLookupDone && !Destroying) CallHandler(OnDnsLookupDone, this, Error);
}
void TCustomWSocket::FireError() {
  if (OnError && !Destroying) CallHandler(OnError, this);
}
void TCustomWSocket::FireSendData(int BytesSent) {
  if (OnSendData && !Destroying) CallHandler(OnSendData, this, BytesSent);
}

void TCustomWSocket::EnterState(TSocketState NewState) {
  TSocketState old = FState;
  FState = NewState;
  FireChangeState(old, NewState);
}

// ---- error reporting ----

void TCustomWSocket::ReportError(const std::string& Msg) {
  if (OnError) {
    FireError();
    return;
  }
  throw ESocketException(Msg);
}

void TCustomWSocket::ReportErrorFmt(const char* Fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, Fmt);
  std::vsnprintf(text, sizeof text, Fmt, args);
  va_end(args);
  ReportError(text);
}

void TCustomWSocket::ReportSocketError(const std::string& OperationName) {
  int code = Winsock::WSAGetLastError();
  std::string text = SocketErrorMessage(code, OperationName);
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    if (SocketHandle != Winsock::INVALID_SOCKET) Winsock::closesocket(SocketHandle);
    SocketHandle = Winsock::INVALID_SOCKET;
    auto alive = AliveToken();
    EnterState(wsClosed);
    if (Gone(alive)) return;
  }
  FLastError = code;
  ReportError(text);
}

void TCustomWSocket::HandleBgException(const std::exception& E) {
  auto alive = AliveToken();
  bool CanClose = true;
  if (OnBgException && !Destroying) {
    try {
      TBgExceptionEvent handler = OnBgException;
      handler(this, E, CanClose);
    } catch (...) {
    }
    if (Gone(alive)) return;
  }
  if (CanClose) {
    try {
      AbortSession();
    } catch (...) {
    }
  }
}

// ---- closing ----

void TCustomWSocket::Close() {
  DoClose(true, 0);
}

void TCustomWSocket::DoClose(bool Shut, std::uint16_t Error) {
  auto alive = AliveToken();
  if (SocketHandle == Winsock::INVALID_SOCKET) {
    if (FState != wsClosed) {
      EnterState(wsClosed);
      if (Gone(alive)) return;
      ResetDefaults();
    }
    return;
  }
  if (FState == wsClosed) return;
  if (Shut) ShutdownSocket(SHUT_WR);
  for (;;) {
    if (Winsock::closesocket(SocketHandle) == 0) {
      SocketHandle = Winsock::INVALID_SOCKET;
      break;
    }
    FLastError = Winsock::WSAGetLastError();
    if (FLastError == WSAEWOULDBLOCK) {
      PumpMessages();
      if (Gone(alive)) return;
      continue;
    }
    SocketHandle = Winsock::INVALID_SOCKET;
    if (FLastError == WSANOTINITIALISED) break;
    ReportSocketError("Disconnect (closesocket)");
    return;
  }
  EnterState(wsClosed);
  if (Gone(alive)) return;
  if (!Destroying && !SessionClosedFired) {
    SessionClosedFired = true;
    FireSessionClosed(Error);
    if (Gone(alive)) return;
  }
  try {
    ResetDefaults();
  } catch (...) {
  }
}

void TCustomWSocket::AbortSession() {
  auto alive = AliveToken();
  CancelLookup();
  if (Gone(alive)) return;
  DiscardSendBuffer();
  if (FState == wsConnected && FProtoNumber == IPPROTO_TCP) {
    FLingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  DoClose(false, 0);
}

void TCustomWSocket::ShutdownSocket(int How) {
  if (SocketHandle != Winsock::INVALID_SOCKET) Winsock::shutdown(SocketHandle, How);
}

void TCustomWSocket::CloseLater() {
  PostMessageA(WindowHandle, WM_CLOSE_LATER, 0, 0);
}

void TCustomWSocket::FreeLater(std::unique_ptr<TCustomWSocket> Owned) {
  if (Owned.get() != this) {
    ReportError("FreeLater: object not owned");
    return;
  }
  SelfOwner = std::move(Owned);
  PostMessageA(WindowHandle, WM_FREE_LATER, 0, 0);
}

void TCustomWSocket::WaitUntilClosed() {
  auto alive = AliveToken();
  while (SocketHandle != Winsock::INVALID_SOCKET && FState != wsClosed) {
    PumpMessages();
    if (Gone(alive) || SocketHandle == Winsock::INVALID_SOCKET || FState == wsClosed) return;
    unsigned long waiting = 0;
    if (Winsock::ioctlsocket(SocketHandle, FIONREAD, &waiting) != 0) break;
    if (waiting > 0) {
      FireDataAvailable(0);
      if (Gone(alive) || SocketHandle == Winsock::INVALID_SOCKET) return;
    }
    // A zero-length receive tells nothing on this platform: peek at one byte instead. End of
    // data means the close notification is on its way; only a failure ends the wait early.
    char probe;
    if (Winsock::recv(SocketHandle, &probe, 1, MSG_PEEK) < 0) {
      FLastError = Winsock::WSAGetLastError();
      if (FLastError != WSAEWOULDBLOCK) break;
    }
    PumpMessages();
    if (Gone(alive)) return;
    WaitForLoopActivity();
  }
}

void TCustomWSocket::WaitForLoopActivity() {
  constexpr int kLongestWaitMs = 100;  // bytes nobody reads are offered again this often
  pollfd loop{EventLoop::Current().Fd(), POLLIN, 0};
  ::poll(&loop, 1, kLongestWaitMs);
}

// ---- opening ----

bool TCustomWSocket::ResolveForOpen(const char* Prefix, bool WithLocalPort) {
  try {
    if (!ProtoResolved) {
      FProtoNumber = WSocketResolveProto(FProto);
      FSocketType = FProtoNumber == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
      ProtoResolved = true;
    }
    if (!PortResolved) {
      FPortNumber = WSocketResolvePort(FPort, FProto) & 0xFFFF;
      SockAddr.sin_port = htons(static_cast<std::uint16_t>(FPortNumber));
      PortResolved = true;
    }
    if (WithLocalPort && !LocalPortResolved) {
      LocalPortNumber = WSocketResolvePort(FLocalPort, FProto) & 0xFFFF;
      LocalPortResolved = true;
    }
    const bool streamConnect = WithLocalPort && FSocketType == SOCK_STREAM;
    if (!AddrResolved) {
      SockAddr.sin_family = AF_INET;
      if (streamConnect) {
        ResolveConnectTargets();
        const sockaddr_storage& first = ConnectTargets.front();
        if (first.ss_family == AF_INET)
          SockAddr.sin_addr = reinterpret_cast<const sockaddr_in&>(first).sin_addr;
      } else {
        SockAddr.sin_addr.s_addr = WSocketResolveHost(FAddr);
      }
      AddrResolved = true;
    }
    if (streamConnect) {
      // An address a layer above resolved itself (the SOCKS proxy's) is the one target.
      if (ConnectTargets.empty()) {
        sockaddr_storage target{};
        std::memcpy(&target, &SockAddr, sizeof SockAddr);
        ConnectTargets.push_back(target);
      }
      // SockAddr holds the port to connect to, whoever resolved it; both families keep the
      // port at the same place.
      for (sockaddr_storage& target : ConnectTargets)
        reinterpret_cast<sockaddr_in&>(target).sin_port = SockAddr.sin_port;
    }
  } catch (const std::exception& e) {
    ReportError(std::string(Prefix) + e.what());
    return false;
  }
  return true;
}

void TCustomWSocket::NewSocketHandle(TSocket Handle) {
  SocketHandle = Handle;
  ReadNotificationPosted = false;
  if (++SessionGeneration == 0) ++SessionGeneration;
}

void TCustomWSocket::Connect() {
  auto alive = AliveToken();
  if (SocketHandle != Winsock::INVALID_SOCKET && FState != wsClosed) {
    ReportError("Connect: Socket already in use");
    return;
  }
  if (!PortAssigned) return ReportError("Connect: No Port Specified");
  if (!AddrAssigned) return ReportError("Connect: No IP Address Specified");
  if (!ProtoAssigned) return ReportError("Connect: No Protocol Specified");
  if (!ResolveForOpen("connect: ", true)) return;
  DiscardSendBuffer();

  int targetLength = 0;
  AddrFamily = FSocketType == SOCK_STREAM ? CurrentTarget(targetLength)->sa_family : AF_INET;
  TSocket s = Winsock::socket(AddrFamily, FSocketType, FProtoNumber);
  if (s == Winsock::INVALID_SOCKET) return ReportSocketError("Connect (socket)");
  NewSocketHandle(s);
  EnterState(wsOpened);
  if (Gone(alive)) return;

  if (FSocketType == SOCK_DGRAM) {
    BindLocal();
    if (Gone(alive) || SocketHandle == Winsock::INVALID_SOCKET) return;
    if (SockAddr.sin_addr.s_addr == INADDR_NONE) {
      int on = 1;
      if (Winsock::setsockopt(SocketHandle, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return ReportSocketError("setsockopt(SO_BROADCAST)");
    }
    if (Winsock::WSAAsyncSelect(SocketHandle, WindowHandle, WM_SOCKET_NOTIFY, kConnectMask) != 0)
      return ReportSocketError("WSAAsyncSelect");
    EnterState(wsConnected);
    if (Gone(alive)) return;
    FireSessionConnected(0);
    return;
  }
  if (!PrepareStreamSocket(true)) return;
  if (Gone(alive)) return;
  const sockaddr* target = CurrentTarget(targetLength);
  if (Winsock::connect(SocketHandle, target, targetLength) == 0 ||
      Winsock::WSAGetLastError() == WSAEWOULDBLOCK) {
    EnterState(wsConnecting);
    return;
  }
  // Refused or unreachable at once: the next address, if there is one, is tried the same way.
  auto error = static_cast<std::uint16_t>(Winsock::WSAGetLastError());
  if (ConnectNextTarget(error)) {
    EnterState(wsConnecting);
    return;
  }
  Winsock::WSASetLastError(error);
  FLastError = error;
  ReportSocketError("Connect");
}

bool TCustomWSocket::PrepareStreamSocket(bool Report) {
  auto alive = AliveToken();
  auto fail = [this, Report](const char* operation) {
    if (Report) ReportSocketError(operation);
    return false;
  };
  if (LocalPortNumber != 0 || FLocalAddr != "0.0.0.0") {
    if (!Report) return false;  // binding reports by itself
    BindLocal();
    if (Gone(alive) || SocketHandle == Winsock::INVALID_SOCKET) return false;
  }
  if (Report) {
    ApplyLinger();
    if (Gone(alive) || SocketHandle == Winsock::INVALID_SOCKET) return false;
  } else if (FLingerOnOff != wsLingerNoSet) {
    linger value{FLingerOnOff == wsLingerOn ? 1 : 0, FLingerTimeout & 0xFFFF};
    if (Winsock::setsockopt(SocketHandle, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0)
      return false;
  }
  int on = -1;
  if (Winsock::setsockopt(SocketHandle, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
    return fail("setsockopt(SO_KEEPALIVE)");
  if (Winsock::setsockopt(SocketHandle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return fail("setsockopt(SO_REUSEADDR)");
  if (Winsock::WSAAsyncSelect(SocketHandle, WindowHandle, WM_SOCKET_NOTIFY, kConnectMask) != 0)
    return fail("WSAAsyncSelect");
  return true;
}

const sockaddr* TCustomWSocket::CurrentTarget(int& Length) {
  const sockaddr_storage& target = ConnectTargets.at(ConnectTargetIndex);
  Length = target.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : kSockAddrLen;
  return reinterpret_cast<const sockaddr*>(&target);
}

bool TCustomWSocket::ConnectNextTarget(std::uint16_t& Error) {
  while (ConnectTargetIndex + 1 < ConnectTargets.size()) {
    ++ConnectTargetIndex;
    int length = 0;
    const sockaddr* target = CurrentTarget(length);
    const TSocket s = Winsock::socket(target->sa_family, SOCK_STREAM, FProtoNumber);
    if (s == Winsock::INVALID_SOCKET) continue;
    const TSocket failed = SocketHandle;
    NewSocketHandle(s);
    if (!PrepareStreamSocket(false)) {
      Winsock::closesocket(s);
      SocketHandle = failed;
      continue;
    }
    Winsock::closesocket(failed);
    AddrFamily = target->sa_family;
    if (Winsock::connect(SocketHandle, target, length) == 0 ||
        Winsock::WSAGetLastError() == WSAEWOULDBLOCK)
      return true;
    Error = static_cast<std::uint16_t>(Winsock::WSAGetLastError());
  }
  return false;
}

void TCustomWSocket::BindLocal() {
  if (AddrFamily == AF_INET6) {
    // Only the port can be chosen: an IPv6 target is never tried from a local IPv4 address.
    sockaddr_in6 local6{};
    local6.sin6_family = AF_INET6;
    local6.sin6_port = htons(static_cast<std::uint16_t>(LocalPortNumber));
    if (Winsock::bind(SocketHandle, reinterpret_cast<const sockaddr*>(&local6), sizeof local6) != 0)
      return ReportErrorFmt("winsock.bind failed, error #%d", Winsock::WSAGetLastError());
    return;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(LocalPortNumber));
  local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
  if (Winsock::bind(SocketHandle, reinterpret_cast<const sockaddr*>(&local), kSockAddrLen) != 0)
    return ReportErrorFmt("winsock.bind failed, error #%d", Winsock::WSAGetLastError());
  sockaddr_in bound{};
  int len = kSockAddrLen;
  if (Winsock::getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&bound), &len) != 0)
    return ReportErrorFmt("winsock.getsockname failed, error #%d", Winsock::WSAGetLastError());
  LocalPortNumber = ntohs(bound.sin_port);
  FLocalPort = std::to_string(LocalPortNumber);
}

void TCustomWSocket::ApplyLinger() {
  if (FLingerOnOff == wsLingerNoSet) return;
  if (SocketHandle == Winsock::INVALID_SOCKET)
    return ReportError("Cannot set linger option at this time");
  linger value{};
  value.l_onoff = FLingerOnOff == wsLingerOn ? 1 : 0;
  value.l_linger = FLingerTimeout & 0xFFFF;
  if (Winsock::setsockopt(SocketHandle, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0)
    ReportSocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::Dup(TSocket NewHandle) {
  auto alive = AliveToken();
  if (NewHandle == 0 || NewHandle == Winsock::INVALID_SOCKET) {
    Winsock::WSASetLastError(WSAEINVAL);
    return ReportSocketError("Dup");
  }
  if (FState != wsClosed) {
    int rc = SocketHandle == Winsock::INVALID_SOCKET ? 0 : Winsock::closesocket(SocketHandle);
    SocketHandle = Winsock::INVALID_SOCKET;
    if (rc != 0) return ReportSocketError("Dup (closesocket)");
    EnterState(wsClosed);
    if (Gone(alive)) return;
  }
  NewSocketHandle(NewHandle);
  ApplyLinger();
  if (Gone(alive) || SocketHandle != NewHandle) return;
  if (Winsock::WSAAsyncSelect(SocketHandle, WindowHandle, WM_SOCKET_NOTIFY, kSessionMask) != 0)
    return ReportSocketError("WSAAsyncSelect");
  EnterState(wsConnected);
}

void TCustomWSocket::Listen() {
  auto alive = AliveToken();
  auto refuse = [this](const char* what) {
    Winsock::WSASetLastError(WSAEINVAL);
    ReportSocketError(what);
  };
  if (!PortAssigned) return refuse("listen: port not assigned");
  if (!ProtoAssigned) return refuse("listen: protocol not assigned");
  if (!AddrAssigned) return refuse("listen: address not assigned");
  if (!ResolveForOpen("listen: ", false)) return;
  DiscardSendBuffer();

  // Listen runs even while a socket is open; the old handle would otherwise be lost.
  if (SocketHandle != Winsock::INVALID_SOCKET) {
    Winsock::closesocket(SocketHandle);
    SocketHandle = Winsock::INVALID_SOCKET;
  }
  TSocket s = Winsock::socket(AddrFamily, FSocketType, FProtoNumber);
  if (s == Winsock::INVALID_SOCKET) return ReportSocketError("socket");
  NewSocketHandle(s);
  if (Winsock::bind(SocketHandle, reinterpret_cast<const sockaddr*>(&SockAddr), kSockAddrLen) !=
      0) {
    // The handle is released before the report, which may throw: nothing else would close it,
    // as the state is still wsClosed.
    int code = Winsock::WSAGetLastError();
    Winsock::closesocket(SocketHandle);
    SocketHandle = Winsock::INVALID_SOCKET;
    Winsock::WSASetLastError(code);
    ReportSocketError("Bind");
    if (Gone(alive)) return;
    Close();
    return;
  }
  EnterState(wsBound);
  if (Gone(alive)) return;
  if (FSocketType == SOCK_DGRAM) {
    EnterState(wsListening);
    if (Gone(alive)) return;
    EnterState(wsConnected);
    if (Gone(alive)) return;
    FireSessionConnected(0);
    if (Gone(alive) || SocketHandle == Winsock::INVALID_SOCKET) return;
  } else {
    if (Winsock::listen(SocketHandle, 5) != 0) return ReportSocketError("Listen");
    EnterState(wsListening);
    if (Gone(alive) || SocketHandle == Winsock::INVALID_SOCKET) return;
  }
  if (Winsock::WSAAsyncSelect(SocketHandle, WindowHandle, WM_SOCKET_NOTIFY, kListenMask) != 0)
    ReportSocketError("WSAASyncSelect");
}

TSocket TCustomWSocket::Accept() {
  if (FState != wsListening) {
    Winsock::WSASetLastError(WSAEINVAL);
    ReportSocketError("not a listening socket");
    return Winsock::INVALID_SOCKET;
  }
  sockaddr_in peer{};
  int len = kSockAddrLen;
  TSocket s = Winsock::accept(SocketHandle, reinterpret_cast<sockaddr*>(&peer), &len);
  if (s == Winsock::INVALID_SOCKET) {
    ReportSocketError("Accept");
    return Winsock::INVALID_SOCKET;
  }
  return s;
}

// ---- receiving ----

int TCustomWSocket::RecvRaw(void* Buffer, int Size, int Flags) {
  const int n = Winsock::recv(SocketHandle, Buffer, Size, Flags);
  if (n > 0) ++RecvCalls;
  return n;
}

int TCustomWSocket::HeldByteCount() const {
  return 0;
}

void TCustomWSocket::PostReadNotification() {
  if (SocketHandle == Winsock::INVALID_SOCKET || ReadNotificationPosted) return;
  ReadNotificationPosted = true;
  NET_TRACE("fd %d posted FD_READ (%d bytes held)", SocketHandle, HeldByteCount());
  PostMessageA(WindowHandle, WM_SOCKET_NOTIFY, NotifyWParam(), MakeSelectLParam(FD_READ, 0));
}

bool TCustomWSocket::BytesWaiting() {
  if (SocketHandle == Winsock::INVALID_SOCKET) return false;
  if (HeldByteCount() > 0) return true;
  unsigned long waiting = 0;
  return Winsock::ioctlsocket(SocketHandle, FIONREAD, &waiting) == 0 && waiting > 0;
}

void TCustomWSocket::RenewReadNotification() {
  if (BytesWaiting()) PostReadNotification();
}

int TCustomWSocket::RecvFromRaw(TSocket Handle, void* Buffer, int Size, int Flags,
                                sockaddr_in& From, int& FromLen) {
  const int n =
      Winsock::recvfrom(Handle, Buffer, Size, Flags, reinterpret_cast<sockaddr*>(&From), &FromLen);
  if (n > 0) ++RecvCalls;
  return n;
}

int TCustomWSocket::Receive(void* Buffer, int Size) {
  return AccountReceived(RecvRaw(Buffer, Size, 0));
}

int TCustomWSocket::AccountReceived(int Received) {
  if (Received < 0)
    FLastError = Winsock::WSAGetLastError();
  else
    FReadCount += Received;
  return Received;
}

std::string TCustomWSocket::ReceiveText() {
  int waiting = RcvdCount();
  if (waiting <= 0) return {};
  std::string text(static_cast<std::size_t>(waiting), '\0');
  int n = RecvRaw(text.data(), waiting, 0);
  if (n <= 0) return {};
  text.resize(static_cast<std::size_t>(n));
  return text;
}

int TCustomWSocket::ReceiveDatagram(void* Buffer, int Size, sockaddr_in& From, int& FromLen) {
  int n = RecvFromRaw(SocketHandle, Buffer, Size, 0, From, FromLen);
  if (n < 0)
    FLastError = Winsock::WSAGetLastError();
  else
    FReadCount += n;
  return n;
}

int TCustomWSocket::RcvdCount() {
  unsigned long waiting = 0;
  if (Winsock::ioctlsocket(SocketHandle, FIONREAD, &waiting) != 0) {
    ReportSocketError("ioctlSocket");
    return -1;
  }
  return static_cast<int>(waiting);
}

// ---- sending ----

void TCustomWSocket::QueueSendData(const void* Data, int Len, bool Secret) {
  if (Len <= 0) return;
  BufferedBytes += Len;
  const auto* bytes = static_cast<const std::uint8_t*>(Data);
  if (SendChunks.empty()) SendChunks.push_back(std::make_unique<TBuffer>(ChunkCapacity));
  for (;;) {
    if (Secret) SendChunks.back()->MarkSecret();
    int n = SendChunks.back()->AppendData(bytes, Len);
    if (n >= Len) return;
    bytes += n;
    Len -= n;
    SendChunks.push_back(std::make_unique<TBuffer>(ChunkCapacity));
  }
}

int TCustomWSocket::Send(const void* Data, int Len) {
  return SendQueued(Data, Len, false);
}

int TCustomWSocket::SendSecretText(std::string_view S) {
  return SendQueued(S.data(), static_cast<int>(S.size()), true);
}

int TCustomWSocket::SendQueued(const void* Data, int Len, bool Secret) {
  if (FState != wsConnected) {
    Winsock::WSASetLastError(WSAENOTCONN);
    ReportSocketError("Send");
    return -1;
  }
  auto alive = AliveToken();
  AllSent = false;
  int result = Len <= 0 ? 0 : Len;
  if (Len > 0) QueueSendData(Data, Len, Secret);
  TryToSend();
  if (Gone(alive)) return result;
  // OnDataSent always comes from the loop, never from inside Send.
  if (AllSent && SocketHandle != Winsock::INVALID_SOCKET) {
    NET_TRACE("fd %d posted FD_WRITE (buffer drained)", SocketHandle);
    PostMessageA(WindowHandle, WM_SOCKET_NOTIFY, NotifyWParam(), MakeSelectLParam(FD_WRITE, 0));
  }
  return result;
}

int TCustomWSocket::SendText(std::string_view S) {
  return Send(S.data(), static_cast<int>(S.size()));
}

void TCustomWSocket::TryToSend() {
  if (SocketHandle == Winsock::INVALID_SOCKET) return;
  if (SendChunks.empty()) {
    // Nothing was ever queued: an empty buffer has drained as much as a drained chunk has.
    AllSent = true;
    return;
  }
  auto alive = AliveToken();
  // Datagrams keep one chunk per write; urgent data keeps its one-buffer send.
  const bool gather = FSocketType == SOCK_STREAM && SendFlagWord == 0;
  TSendPart parts[MaxGatheredParts];
  for (;;) {
    while (SendChunks.size() > 1 && SendChunks.front()->WritePos() == SendChunks.front()->ReadPos())
      SendChunks.erase(SendChunks.begin());
    int count = 0;
    int total = 0;
    for (const auto& chunk : SendChunks) {
      int len = 0;
      const std::uint8_t* p = chunk->PeekData(len);
      if (len <= 0) continue;
      parts[count++] = TSendPart{p, len};
      total += len;
      if (!gather || count == MaxGatheredParts) break;
    }
    if (count == 0) {
      AllSent = true;
      return;
    }
    const TBuffer* first = SendChunks.front().get();
    int n = count == 1 ? RawSend(parts[0].Data, parts[0].Len) : RawSendv(parts, count);
    if (Gone(alive)) return;
    if (n == 0) return;
    if (n < 0) {
      int code = Winsock::WSAGetLastError();
      if (EndsConnection(code)) {
        SessionClosedFired = true;
        Close();
        if (Gone(alive)) return;
        FireSessionClosed(static_cast<std::uint16_t>(code));
        return;
      }
      if (code == WSAEWOULDBLOCK) return;  // the next FD_WRITE resumes
      ReportSocketError("TryToSend failed");
      return;
    }
    // The handler of OnSendData may have closed or discarded the buffer.
    if (SendChunks.empty() || first != SendChunks.front().get()) return;
    for (int left = n; left > 0;) {
      auto it = std::find_if(SendChunks.begin(), SendChunks.end(),
                             [](const auto& c) { return c->WritePos() > c->ReadPos(); });
      if (it == SendChunks.end()) break;
      const int consumed = (*it)->ConsumeData(left);
      left -= consumed;
      BufferedBytes -= consumed;
    }
    if (n < total) return;  // the network took part of it; the rest waits for FD_WRITE
  }
}

int TCustomWSocket::WireSend(const void* Data, int Len) {
  return FSocketType == SOCK_DGRAM
             ? Winsock::sendto(SocketHandle, Data, Len, SendFlagWord,
                               reinterpret_cast<const sockaddr*>(&SockAddr), kSockAddrLen)
             : Winsock::send(SocketHandle, Data, Len, SendFlagWord);
}

int TCustomWSocket::WireSendv(const TSendPart* Parts, int Count) {
  Winsock::WSABUF buffers[MaxGatheredParts];
  Count = std::min(Count, MaxGatheredParts);
  for (int i = 0; i < Count; ++i) buffers[i] = Winsock::WSABUF{Parts[i].Data, Parts[i].Len};
  return Winsock::WSASend(SocketHandle, buffers, Count, SendFlagWord);
}

int TCustomWSocket::RawSend(const void* Data, int Len) {
  int n = WireSend(Data, Len);
  if (n > 0) FireSendData(n);
  return n;
}

int TCustomWSocket::RawSendv(const TSendPart* Parts, int Count) {
  int n = WireSendv(Parts, Count);
  if (n > 0) FireSendData(n);
  return n;
}

int TCustomWSocket::SendDatagram(const sockaddr_in& Dest, int DestLen, const void* Data, int Len) {
  sockaddr_in copy = Dest;
  int n = Winsock::sendto(SocketHandle, Data, Len, SendFlagWord,
                          reinterpret_cast<const sockaddr*>(&copy), DestLen);
  if (n > 0) FireSendData(n);
  return n;
}

void TCustomWSocket::Flush() {
  auto alive = AliveToken();
  while (SocketHandle != Winsock::INVALID_SOCKET && !AllSent) {
    TryToSend();
    if (Gone(alive)) return;
    PumpMessages();
    if (Gone(alive)) return;
  }
}

void TCustomWSocket::DiscardSendBuffer() {
  SendChunks.clear();
  BufferedBytes = 0;
}

TSocketSendFlags TCustomWSocket::SendFlags() {
  switch (SendFlagWord) {
    case 0:
      return wsSendNormal;
    case 1:
      return wsSendUrgent;
    default:
      ReportError("Invalid internal SendFlags");
      return wsSendNormal;
  }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
  switch (Value) {
    case wsSendNormal:
      SendFlagWord = 0;
      return;
    case wsSendUrgent:
      SendFlagWord = MSG_OOB;
      return;
  }
  ReportError("Invalid SendFlags");
}

// ---- control ----

int TCustomWSocket::SuspendEvents() {
  EventsSuspended = true;
  return Winsock::WSAAsyncSelect(SocketHandle, WindowHandle, 0, 0);
}

int TCustomWSocket::ResumeEvents() {
  EventsSuspended = false;
  return Winsock::WSAAsyncSelect(SocketHandle, WindowHandle, WM_SOCKET_NOTIFY, kSessionMask);
}

bool TCustomWSocket::PumpOneMessage() {
  QueuedMessage message;
  if (!EventLoop::Current().PeekMessage(message)) return false;
  if (message.Msg == WM_QUIT && message.Window == 0) {
    FQuitSeen = true;
    return true;
  }
  EventLoop::Current().DispatchMessage(message);
  return true;
}

void TCustomWSocket::PumpMessages() {
  if (!FMultiThreaded) {
    Application().ProcessMessages();
    return;
  }
  auto alive = AliveToken();
  while (PumpOneMessage())
    if (Gone(alive)) return;
}

bool TCustomWSocket::TimeValueIsSet(const timeval& T) const {
  return T.tv_sec != 0 || T.tv_usec != 0;
}
void TCustomWSocket::ClearTimeValue(timeval& T) const {
  T = {};
}
bool TCustomWSocket::CompareTimeValues(const timeval& A, const timeval& B, bool WantEqual) const {
  bool equal = A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
  return equal == WantEqual;
}

// ---- addressing read-outs ----

std::string TCustomWSocket::PeerAddr() {
  if (FState != wsConnected) return "error";
  sockaddr_storage peer{};
  int len = sizeof peer;
  if (Winsock::getpeername(SocketHandle, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    ReportSocketError("GetPeerName");
    return "error";
  }
  return NumericAddress(reinterpret_cast<const sockaddr&>(peer));
}

std::string TCustomWSocket::PeerPort() {
  if (FState != wsConnected) return "error";
  sockaddr_storage peer{};
  int len = sizeof peer;
  if (Winsock::getpeername(SocketHandle, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    ReportSocketError("GetPeerPort");
    return "error";
  }
  // The port sits at the same place in both families' records.
  return std::to_string(ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port));
}

// The local end of a bound, connected or listening socket; false in any other state.
static bool LocalEnd(TSocket Handle, TSocketState State, sockaddr_storage& Local) {
  if (State != wsBound && State != wsConnected && State != wsListening) return false;
  int len = sizeof Local;
  return Winsock::getsockname(Handle, reinterpret_cast<sockaddr*>(&Local), &len) == 0;
}

std::string TCustomWSocket::BoundAddr() {
  sockaddr_storage local{};
  if (!LocalEnd(SocketHandle, FState, local)) return "error";
  return NumericAddress(reinterpret_cast<const sockaddr&>(local));
}

std::string TCustomWSocket::BoundPort() {
  sockaddr_storage local{};
  if (!LocalEnd(SocketHandle, FState, local)) return "error";
  // The port sits at the same place in both families' records.
  return std::to_string(ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port));
}

int TCustomWSocket::ReadPeerName(sockaddr_in& Name, int NameLen) {
  if (FState != wsConnected) return -1;
  return Winsock::getpeername(SocketHandle, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}

int TCustomWSocket::ReadSockName(sockaddr_in& Name, int& NameLen) {
  return Winsock::getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}

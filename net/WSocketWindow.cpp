// The socket window's messages: notification dispatch, the receive loop and name lookups.
#include <arpa/inet.h>

#include "net/NameService.h"
#include "net/NetTrace.h"
#include "net/WSocketCore.h"

void TCustomWSocket::HandleWindowMessage(TMessage& Message) {
  auto alive = AliveToken();
  try {
    switch (Message.Msg) {
      case WM_SOCKET_NOTIFY:
        HandleSocketEvent(Message);
        break;
      case WM_LOOKUP_NAME_DONE:
        HandleLookupDone(Message, true);
        break;
      case WM_LOOKUP_ADDR_DONE:
        HandleLookupDone(Message, false);
        break;
      case WM_CLOSE_LATER:
        Close();
        break;
      case WM_FREE_LATER: {
        // Destroys this object; the event loop keeps the window procedure alive meanwhile.
        std::unique_ptr<TCustomWSocket> self = std::move(SelfOwner);
        self.reset();
        return;
      }
      case WM_TEST_EXCEPTION:
        throw ESocketException("Test exception in WSocket");
      default:
        Message.Result = 0;
        break;
    }
  } catch (const std::exception& e) {
    if (!Gone(alive)) HandleBgException(e);
  } catch (...) {
    if (!Gone(alive)) HandleBgException(ESocketException("Unknown exception in WSocket"));
  }
}

void TCustomWSocket::HandleSocketEvent(const TMessage& Message) {
  TSocket handle = static_cast<TSocket>(static_cast<std::uint32_t>(Message.WParam));
  std::uint32_t generation = static_cast<std::uint32_t>(Message.WParam >> 32);
  if (handle != SocketHandle || SocketHandle == Winsock::INVALID_SOCKET || EventsSuspended) {
    NET_TRACE("fd %d dropped %s (stale or suspended)", handle,
              NetTrace::EventNames(SelectEvent(Message.LParam)).c_str());
    return;
  }
  if (generation != 0 && generation != SessionGeneration) return;  // an own post, now stale
  NET_TRACE("fd %d consumed %s error %u%s", handle,
            NetTrace::EventNames(SelectEvent(Message.LParam)).c_str(), SelectError(Message.LParam),
            generation != 0 ? " (own post)" : "");

  auto alive = AliveToken();
  // A handler may close the socket (or open another one): the remaining bits then no longer
  // belong to the session in hand.
  auto sessionGone = [&] { return Gone(alive) || SocketHandle != handle; };
  std::uint32_t events = SelectEvent(Message.LParam);
  auto error = static_cast<std::uint16_t>(SelectError(Message.LParam));

  if (events & FD_CONNECT) {
    // A failed attempt with another address left goes on quietly with that address.
    if (error != 0 && FState == wsConnecting && ConnectNextTarget(error)) return;
    EnterState(wsConnected);
    if (sessionGone()) return;
    FireSessionConnected(error);
    if (sessionGone()) return;
    if (error != 0 && FState != wsClosed) {
      Close();
      return;
    }
  }
  if (events & FD_READ) {
    // A read notification the object posted itself may find its bytes taken meanwhile: no
    // empty OnDataAvailable for it.
    const bool ownPost = generation != 0;
    if (ownPost) ReadNotificationPosted = false;
    if (!ownPost || BytesWaiting()) DrainReceived(error);
    if (sessionGone()) return;
  }
  if (events & FD_WRITE) {
    TryToSend();
    if (sessionGone()) return;
    if (AllSent) {
      FireDataSent(error);
      if (sessionGone()) return;
    }
  }
  if (events & FD_ACCEPT) {
    FireSessionAvailable(error);
    if (sessionGone()) return;
  }
  if ((events & FD_CLOSE) && FState != wsConnecting) {
    // Everything the peer sent before its close is read before the close is reported.
    DrainReceived(0, /*Bounded=*/false);
    if (sessionGone()) return;
    if (!SessionClosedFired) {
      SessionClosedFired = true;
      FireSessionClosed(error);
      if (sessionGone()) return;
    }
    if (FState != wsClosed) Close();
  }
}

void TCustomWSocket::DrainReceived(std::uint16_t Error, bool Bounded) {
  auto alive = AliveToken();
  for (int round = 1;; ++round) {
    FLastError = 0;
    const std::uint64_t receivesBefore = RecvCalls;
    const int heldBefore = HeldByteCount();
    try {
      if (!FireDataAvailable(Error)) {
        if (Gone(alive)) return;
        char scratch[kDiscardChunk];
        if (RecvRaw(scratch, sizeof scratch, 0) == -1) {
          FLastError = Winsock::WSAGetLastError();
          if (FLastError == WSAEWOULDBLOCK) {
            FLastError = 0;
            return;
          }
        }
      }
      if (Gone(alive)) return;
      if (FLastError != 0 || SocketHandle == Winsock::INVALID_SOCKET) return;
      unsigned long waiting = 0;
      if (Winsock::ioctlsocket(SocketHandle, FIONREAD, &waiting) != 0) {
        FLastError = Winsock::WSAGetLastError();
        return;
      }
      const int held = HeldByteCount();
      if (waiting == 0 && held == 0) return;
      // A handler that read nothing would be called for ever; the bytes wait for its next
      // Receive, which re-arms FD_READ (or renews the notification for held bytes).
      if (RecvCalls == receivesBefore && held == heldBefore) return;
      // A fast peer must not hold the loop: the rest waits for the next turn.
      if (Bounded && round == kMaxReadsPerReadiness) {
        PostReadNotification();
        return;
      }
    } catch (...) {
      return;  // handler exceptions end the receive loop and go no further
    }
  }
}

// ---- name lookup ----

void TCustomWSocket::LookupHost(const std::string& HostName) {
  auto alive = AliveToken();
  if (HostName.empty()) {
    ReportError("DNS lookup: invalid host name.");
    if (Gone(alive)) return;
    FireDnsLookupDone(WSAEINVAL);
    return;
  }
  if (LookupHandle != 0) {
    Winsock::WSACancelAsyncRequest(LookupHandle);  // its result is dropped, no event for it
    LookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList.Clear();
  in_addr_t a = Winsock::inet_addr(HostName);
  if (a != INADDR_NONE) {
    FDnsResult = Winsock::inet_ntoa(a);
    FireDnsLookupDone(0);
    return;
  }
  if (in6_addr v6{}; ::inet_pton(AF_INET6, HostName.c_str(), &v6) == 1) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = v6;
    FDnsResult = NumericAddress(reinterpret_cast<const sockaddr&>(address));
    FireDnsLookupDone(0);
    return;
  }
  LookupHandle = Winsock::WSAAsyncGetHostByName(WindowHandle, WM_LOOKUP_NAME_DONE, HostName);
  if (LookupHandle == 0)
    ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(),
                   Winsock::WSAGetLastError());
}

void TCustomWSocket::LookupAddr(const std::string& HostAddr) {
  auto alive = AliveToken();
  if (HostAddr.empty()) {
    ReportError("DNS lookup: invalid host name.");
    if (Gone(alive)) return;
    FireDnsLookupDone(WSAEINVAL);
    return;
  }
  if (LookupHandle != 0) {
    Winsock::WSACancelAsyncRequest(LookupHandle);
    LookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList.Clear();
  in_addr_t a = Winsock::inet_addr(HostAddr);
  LookupHandle = Winsock::WSAAsyncGetHostByAddr(WindowHandle, WM_LOOKUP_ADDR_DONE, a);
  if (LookupHandle == 0)
    ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(),
                   Winsock::WSAGetLastError());
}

void TCustomWSocket::CancelLookup() {
  if (LookupHandle == 0) return;
  Winsock::AsyncHandle handle = LookupHandle;
  LookupHandle = 0;
  if (Winsock::WSACancelAsyncRequest(handle) != 0) {
    ReportSocketError("WSACancelAsyncRequest");
    return;
  }
  if (!Destroying) FireDnsLookupDone(WSAEINTR);
}

void TCustomWSocket::HandleLookupDone(const TMessage& Message, bool ByName) {
  if (LookupHandle == 0 || Message.WParam != LookupHandle) return;  // cancelled or replaced
  LookupHandle = 0;
  auto error = static_cast<std::uint16_t>(SelectError(Message.LParam));
  Winsock::HostEntry entry;
  // Taken whatever the error: a failed lookup's outcome waits on the worker side as well.
  bool found =
      Winsock::WSAFetchAsyncResult(static_cast<Winsock::AsyncHandle>(Message.WParam), entry);
  if (error == 0 && !found) error = WSANO_DATA;
  if (error == 0) {
    if (ByName) {
      if (FSocketFamily == sfAny && !entry.AllAddresses.empty())
        for (const std::string& text : entry.AllAddresses) FDnsResultList.Add(text);
      else
        for (in_addr_t a : entry.Addresses) FDnsResultList.Add(Winsock::inet_ntoa(a));
      if (FDnsResultList.Count() > 0) FDnsResult = FDnsResultList[0];
      if (FDnsResultList.Count() == 0) error = WSANO_DATA;  // an IPv6-only name for IPv4 only
    } else {
      FDnsResult = entry.Name;
      FDnsResultList.Clear();
      FDnsResultList.Add(entry.Name);
    }
  }
  FireDnsLookupDone(error);
}

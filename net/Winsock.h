// The Winsock binding: Winsock 1.1 function names and error codes over POSIX sockets.
//
// Every socket call of the socket layer goes through these wrappers. They keep Winsock's
// contract: handles are non-blocking, a failed call returns SOCKET_ERROR (or INVALID_SOCKET)
// and leaves a Winsock error code (10000 and up, WSAHOST_NOT_FOUND..WSANO_DATA for lookups) in the
// calling thread's last error, sends never raise SIGPIPE, receives re-arm FD_READ and a send that
// would block re-arms FD_WRITE, as Winsock does. Only these wrappers re-arm the notifications, so
// no code (no library either) may read or write a descriptor of the binding directly: it would take
// bytes without re-arming FD_READ, or leave FD_WRITE unarmed after a full buffer.
//
// Start-up: the first call of any wrapper starts the binding (WSAStartup); WSACleanup ends it
// and closes every handle the binding still holds. The socket objects count themselves in
// SocketObjectCount and the last one destroyed ends the binding, so start-up and clean-up
// follow the live socket objects. IsStarted and StartupCount make this observable.
//
// Option levels, option names and ioctl commands are the platform's own constants (SOL_SOCKET,
// SO_KEEPALIVE, FIONREAD, ...): only the error codes and the notification bits keep their
// Winsock numbers.
#pragma once

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/SocketErrors.h"
#include "platform/EventLoop.h"

using TSocket = int;

namespace Winsock {

constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr std::uint16_t WinsockVersion11 = 0x0101;

struct WSAData {
  std::uint16_t wVersion = 0;
  std::uint16_t wHighVersion = 0;
  std::string szDescription;
};

// A host entry as gethostbyname and the lookups deliver it. Addresses holds the IPv4 addresses
// that the routines of Winsock 1.1 know; AllAddresses every address of either family as numeric
// text, for connections that take IPv6 too (a name service that leaves it empty knows IPv4 only,
// and Addresses then stands for all).
struct HostEntry {
  std::string Name;
  std::vector<std::string> Aliases;
  std::vector<in_addr_t> Addresses;       // network byte order, in the order of the name service
  std::vector<std::string> AllAddresses;  // "::1", "127.0.0.1", ... in the order of the service
};

// Task handle of an asynchronous lookup; 0 means "none" / "could not start".
using AsyncHandle = std::uint32_t;

// Start-up and clean-up. WSAStartup returns 0 or a Winsock error code; WSACleanup returns 0, or
// SOCKET_ERROR with WSANOTINITIALISED when the binding is not started.
int WSAStartup(std::uint16_t version, WSAData* data);
int WSACleanup();
bool IsStarted();
// Number of start-ups since the process began (each WSAStartup that found the binding idle).
int StartupCount();

int WSAGetLastError();
void WSASetLastError(int code);
// The one map from errno values to Winsock codes (EAGAIN and EINPROGRESS to WSAEWOULDBLOCK,
// ECONNREFUSED to WSAECONNREFUSED, ...); an errno without a Winsock counterpart gives unknown.
// The socket notifications translate their pending errors through it as well.
int WinsockErrorFromErrno(int err, int unknown = WSAEINVAL);

// Notifications (WSAAsyncSelect over the event loop). mask 0 stops them.
int WSAAsyncSelect(TSocket s, HWND window, std::uint32_t msg, std::uint32_t mask);

// Asynchronous lookups on the lookup worker thread. The completion is posted to window as msg
// with wParam = the task handle and the Winsock error in the high word of lParam; the result
// waits on the worker side until WSAFetchAsyncResult takes it. A cancelled task posts nothing.
AsyncHandle WSAAsyncGetHostByName(HWND window, std::uint32_t msg, const std::string& name);
AsyncHandle WSAAsyncGetHostByAddr(HWND window, std::uint32_t msg, in_addr_t addr);
int WSACancelAsyncRequest(AsyncHandle handle);
// Takes the outcome of a finished task, releasing it; true when the lookup found the host (false
// when it failed or there is none: unknown, cancelled or taken). A finished task stays
// cancellable until its outcome is taken.
bool WSAFetchAsyncResult(AsyncHandle handle, HostEntry& out);
// Stops and joins the lookup worker (also done at process exit).
void ShutdownLookupWorker();

// Blocking database routines. Each returns false when there is no entry, with the last error
// set (WSAHOST_NOT_FOUND..WSANO_DATA for hosts).
bool gethostbyname(const std::string& name, HostEntry& out);
bool getservbyname(const std::string& name, const char* proto, int& portNetworkOrder);
bool getprotobyname(const std::string& name, int& protoNumber);
int gethostname(char* name, int nameLen);

TSocket socket(int af, int type, int protocol);
int shutdown(TSocket s, int how);
int setsockopt(TSocket s, int level, int optname, const void* optval, int optlen);
int getsockopt(TSocket s, int level, int optname, void* optval, int* optlen);
int send(TSocket s, const void* buf, int len, int flags);
int sendto(TSocket s, const void* buf, int len, int flags, const sockaddr* to, int tolen);
// One send of several buffers in order (gathered); returns the bytes taken, as send does.
struct WSABUF {
  const void* buf;
  int len;
};
int WSASend(TSocket s, const WSABUF* buffers, int count, int flags);
int recv(TSocket s, void* buf, int len, int flags);
int recvfrom(TSocket s, void* buf, int len, int flags, sockaddr* from, int* fromlen);
int ioctlsocket(TSocket s, unsigned long cmd, unsigned long* argp);
int connect(TSocket s, const sockaddr* name, int namelen);
int bind(TSocket s, const sockaddr* name, int namelen);
int listen(TSocket s, int backlog);
TSocket accept(TSocket s, sockaddr* addr, int* addrlen);
int closesocket(TSocket s);
int getsockname(TSocket s, sockaddr* name, int* namelen);
int getpeername(TSocket s, sockaddr* name, int* namelen);

in_addr_t inet_addr(const std::string& text);
std::string inet_ntoa(in_addr_t addr);
// htons and ntohs are the system's own (glibc may define them as macros).

}  // namespace Winsock

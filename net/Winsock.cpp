#include "net/Winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "net/NameService.h"
#include "net/NetTrace.h"

namespace Winsock {
namespace {

thread_local int t_lastError = 0;

// ---- start-up state and the handles the binding holds ----

struct SocketInfo {
  bool sendShutdown = false;  // shutdown(SD_SEND/SD_BOTH) was called on it
  bool connected = false;     // it was connected once (connect started, or accepted)
};

std::mutex g_bindingMutex;
std::atomic<bool> g_started{false};
int g_startupCount = 0;
WSAData g_wsaData;
std::unordered_map<TSocket, SocketInfo> g_sockets;

// The first call of any wrapper starts the binding, as loading the library did.
void EnsureStarted() {
  if (!g_started.load(std::memory_order_acquire)) WSAStartup(WinsockVersion11, &g_wsaData);
}

int Fail(int code) {
  t_lastError = code;
  return SOCKET_ERROR;
}
int FailErrno() {
  return Fail(WinsockErrorFromErrno(errno));
}

void Register(TSocket s, bool connected) {
  std::lock_guard lock(g_bindingMutex);
  g_sockets[s] = SocketInfo{false, connected};
}

SocketInfo InfoOf(TSocket s) {
  std::lock_guard lock(g_bindingMutex);
  auto it = g_sockets.find(s);
  return it == g_sockets.end() ? SocketInfo{} : it->second;
}

void MarkConnected(TSocket s) {
  std::lock_guard lock(g_bindingMutex);
  auto it = g_sockets.find(s);
  if (it != g_sockets.end()) it->second.connected = true;
}

// Linux answers a send on a socket that cannot send with EPIPE in three situations that Winsock
// tells apart: our own shutdown (WSAESHUTDOWN), a connection the peer broke (WSAECONNRESET), and a
// socket that was never connected (WSAENOTCONN).
int SendPipeError(TSocket s) {
  SocketInfo info = InfoOf(s);
  if (info.sendShutdown) return WSAESHUTDOWN;
  return info.connected ? WSAECONNRESET : WSAENOTCONN;
}

socklen_t ToLen(int len) {
  return len < 0 ? 0 : static_cast<socklen_t>(len);
}

// ---- the lookup worker ----

struct LookupTask {
  AsyncHandle handle = 0;
  bool byName = true;
  std::string name;
  in_addr_t addr = 0;
  HWND window = 0;
  std::uint32_t msg = 0;
};

class LookupWorker {
 public:
  ~LookupWorker() { Stop(); }

  AsyncHandle Start(LookupTask task) {
    std::lock_guard lock(mutex_);
    if (++lastHandle_ == 0) ++lastHandle_;  // 0 means "none"
    task.handle = lastHandle_;
    pending_.push_back(task);
    if (!thread_.joinable()) {
      stopping_ = false;
      thread_ = std::thread([this] { Loop(); });
    }
    wake_.notify_one();
    return task.handle;
  }

  // Succeeds for a task that is queued, running, or finished (found or not) with its outcome
  // not yet taken: from the caller's side all of these are still pending.
  bool Cancel(AsyncHandle handle) {
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (it->handle == handle) {
        pending_.erase(it);
        return true;
      }
    }
    if (running_ == handle) {
      runningCancelled_ = true;
      return true;
    }
    return results_.erase(handle) > 0;
  }

  // Takes the outcome of a finished task; true when it found the host.
  bool Fetch(AsyncHandle handle, HostEntry& out) {
    std::lock_guard lock(mutex_);
    auto it = results_.find(handle);
    if (it == results_.end()) return false;
    bool found = it->second.error == 0;
    if (found) out = std::move(it->second.entry);
    results_.erase(it);
    return found;
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      pending_.clear();
      runningCancelled_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    results_.clear();
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
      if (stopping_) return;
      LookupTask task = std::move(pending_.front());
      pending_.pop_front();
      running_ = task.handle;
      runningCancelled_ = false;
      lock.unlock();
      HostEntry entry;
      int error =
          task.byName ? ResolveNameToHost(task.name, entry) : ResolveAddrToHost(task.addr, entry);
      lock.lock();
      running_ = 0;
      if (runningCancelled_ || stopping_) continue;  // a cancelled lookup posts nothing
      // A failed lookup is kept as well: until its completion is handled it can be cancelled.
      results_[task.handle] = Outcome{error, std::move(entry)};
      // Posted under the lock so that a Cancel either sees the result or prevents the post.
      if (!PostMessageA(task.window, task.msg, task.handle, MakeSelectLParam(0, error)))
        results_.erase(task.handle);  // the window is gone: nobody will fetch it
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<LookupTask> pending_;
  struct Outcome {
    int error = 0;
    HostEntry entry;
  };
  std::map<AsyncHandle, Outcome> results_;
  AsyncHandle lastHandle_ = 0;
  AsyncHandle running_ = 0;
  bool runningCancelled_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

// The worker is joined by its destructor at exit. A child made by fork() has no worker thread,
// and the copy of the parent's worker (its mutex and condition variable possibly mid-use) must
// not be touched there: the child puts it aside, still reachable, and starts afresh on demand.
struct WorkerHolder {
  std::unique_ptr<LookupWorker> worker;
  LookupWorker* abandonedByFork = nullptr;
  WorkerHolder() { ::pthread_atfork(nullptr, nullptr, &AbandonInChild); }
  static void AbandonInChild();
};

WorkerHolder& Holder() {
  static WorkerHolder holder;
  return holder;
}

void WorkerHolder::AbandonInChild() {
  WorkerHolder& h = Holder();
  if (h.worker) h.abandonedByFork = h.worker.release();
}

LookupWorker& Worker() {
  WorkerHolder& h = Holder();
  if (!h.worker) h.worker = std::make_unique<LookupWorker>();
  return *h.worker;
}

}  // namespace

int WinsockErrorFromErrno(int err, int unknown) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
    case EINPROGRESS:
      return WSAEWOULDBLOCK;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
    case EBADF:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
    case EPIPE:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    case EUSERS:
      return WSAEUSERS;
    case EDQUOT:
      return WSAEDQUOT;
    case ESTALE:
      return WSAESTALE;
    case EREMOTE:
      return WSAEREMOTE;
    default:
      return unknown;
  }
}

int WSAStartup(std::uint16_t version, WSAData* data) {
  // Version 1.1 or later is served as 1.1.
  std::uint8_t major = version & 0xFF, minor = version >> 8;
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  std::lock_guard lock(g_bindingMutex);
  if (!g_started.load(std::memory_order_relaxed)) {
    ++g_startupCount;
    g_started.store(true, std::memory_order_release);
  }
  if (data) {
    data->wVersion = WinsockVersion11;
    data->wHighVersion = WinsockVersion11;
    data->szDescription = "Tarvik POSIX sockets";
  }
  return 0;
}

int WSACleanup() {
  std::unordered_map<TSocket, SocketInfo> leftovers;
  {
    std::lock_guard lock(g_bindingMutex);
    if (!g_started.load(std::memory_order_relaxed)) return Fail(WSANOTINITIALISED);
    g_started.store(false, std::memory_order_release);
    leftovers.swap(g_sockets);
  }
  // Winsock closes every socket of the process at clean-up; so do we (e.g. an accepted handle
  // that no object adopted).
  for (const auto& entry : leftovers) {
    EventLoop::Current().ForgetSocket(entry.first);
    ::close(entry.first);
  }
  return 0;
}

bool IsStarted() {
  return g_started.load(std::memory_order_acquire);
}

int StartupCount() {
  std::lock_guard lock(g_bindingMutex);
  return g_startupCount;
}

int WSAGetLastError() {
  return t_lastError;
}
void WSASetLastError(int code) {
  t_lastError = code;
}

namespace {
// A socket's pending error ends its connection: one without a Winsock counterpart reads as an
// aborted connection.
std::uint32_t PendingErrorCode(int err) {
  return static_cast<std::uint32_t>(WinsockErrorFromErrno(err, WSAECONNABORTED));
}
}  // namespace

int WSAAsyncSelect(TSocket s, HWND window, std::uint32_t msg, std::uint32_t mask) {
  EnsureStarted();
  if (EventLoop::Current().SelectSocket(s, window, msg, mask, PendingErrorCode) != 0)
    return FailErrno();
  return 0;
}

AsyncHandle WSAAsyncGetHostByName(HWND window, std::uint32_t msg, const std::string& name) {
  EnsureStarted();
  LookupTask task;
  task.byName = true;
  task.name = name;
  task.window = window;
  task.msg = msg;
  return Worker().Start(std::move(task));
}

AsyncHandle WSAAsyncGetHostByAddr(HWND window, std::uint32_t msg, in_addr_t addr) {
  EnsureStarted();
  LookupTask task;
  task.byName = false;
  task.addr = addr;
  task.window = window;
  task.msg = msg;
  return Worker().Start(std::move(task));
}

int WSACancelAsyncRequest(AsyncHandle handle) {
  EnsureStarted();
  if (handle == 0 || !Worker().Cancel(handle)) return Fail(WSAEINVAL);
  return 0;
}

bool WSAFetchAsyncResult(AsyncHandle handle, HostEntry& out) {
  return Worker().Fetch(handle, out);
}

void ShutdownLookupWorker() {
  Worker().Stop();
}

bool gethostbyname(const std::string& name, HostEntry& out) {
  EnsureStarted();
  int error = ResolveNameToHost(name, out);
  if (error != 0) {
    t_lastError = error;
    return false;
  }
  return true;
}

bool getservbyname(const std::string& name, const char* proto, int& portNetworkOrder) {
  EnsureStarted();
  servent entry;
  servent* found = nullptr;
  char buffer[1024];
  if (::getservbyname_r(name.c_str(), proto, &entry, buffer, sizeof buffer, &found) != 0 ||
      !found) {
    t_lastError = WSANO_DATA;
    return false;
  }
  portNetworkOrder = found->s_port;
  return true;
}

bool getprotobyname(const std::string& name, int& protoNumber) {
  EnsureStarted();
  protoent entry;
  protoent* found = nullptr;
  char buffer[1024];
  if (::getprotobyname_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || !found) {
    t_lastError = WSANO_DATA;
    return false;
  }
  protoNumber = found->p_proto;
  return true;
}

int gethostname(char* name, int nameLen) {
  EnsureStarted();
  if (!name || nameLen <= 0) return Fail(WSAEFAULT);
  if (::gethostname(name, static_cast<std::size_t>(nameLen)) != 0) return FailErrno();
  name[nameLen - 1] = '\0';
  return 0;
}

TSocket socket(int af, int type, int protocol) {
  EnsureStarted();
  TSocket s = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (s < 0) return FailErrno();
  Register(s, false);
  return s;
}

int shutdown(TSocket s, int how) {
  EnsureStarted();
  if (::shutdown(s, how) != 0) return FailErrno();
  if (how == SHUT_WR || how == SHUT_RDWR) {
    std::lock_guard lock(g_bindingMutex);
    auto it = g_sockets.find(s);
    if (it != g_sockets.end()) it->second.sendShutdown = true;
  }
  return 0;
}

int setsockopt(TSocket s, int level, int optname, const void* optval, int optlen) {
  EnsureStarted();
  if (::setsockopt(s, level, optname, optval, ToLen(optlen)) != 0) return FailErrno();
  return 0;
}

int getsockopt(TSocket s, int level, int optname, void* optval, int* optlen) {
  EnsureStarted();
  if (!optlen) return Fail(WSAEFAULT);
  socklen_t len = ToLen(*optlen);
  if (::getsockopt(s, level, optname, optval, &len) != 0) return FailErrno();
  *optlen = static_cast<int>(len);
  return 0;
}

namespace {
// A send that did not take everything has met a full socket buffer: Winsock's "would block",
// after which the next FD_WRITE tells when to go on.
int FinishSend(TSocket s, ssize_t n, int len) {
  if (n < 0) {
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      NET_TRACE("fd %d send would block: FD_WRITE re-armed", s);
      EventLoop::Current().ReenableSocketEvent(s, FD_WRITE);
    }
    if (err == EPIPE) return Fail(SendPipeError(s));
    return Fail(WinsockErrorFromErrno(err));
  }
  if (n < len) {
    NET_TRACE("fd %d send took %zd of %d: FD_WRITE re-armed", s, n, len);
    EventLoop::Current().ReenableSocketEvent(s, FD_WRITE);
  }
  return static_cast<int>(n);
}
}  // namespace

int send(TSocket s, const void* buf, int len, int flags) {
  EnsureStarted();
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t n = ::send(s, buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL);
  return FinishSend(s, n, len);
}

int sendto(TSocket s, const void* buf, int len, int flags, const sockaddr* to, int tolen) {
  EnsureStarted();
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t n =
      ::sendto(s, buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL, to, ToLen(tolen));
  return FinishSend(s, n, len);
}

int WSASend(TSocket s, const WSABUF* buffers, int count, int flags) {
  EnsureStarted();
  if (count <= 0 || count > IOV_MAX || !buffers) return Fail(WSAEINVAL);
  iovec parts[IOV_MAX];
  int total = 0;
  for (int i = 0; i < count; ++i) {
    if (buffers[i].len < 0) return Fail(WSAEINVAL);
    parts[i].iov_base = const_cast<void*>(buffers[i].buf);
    parts[i].iov_len = static_cast<std::size_t>(buffers[i].len);
    total += buffers[i].len;
  }
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = static_cast<std::size_t>(count);
  ssize_t n = ::sendmsg(s, &message, flags | MSG_NOSIGNAL);
  return FinishSend(s, n, total);
}

int recv(TSocket s, void* buf, int len, int flags) {
  EnsureStarted();
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t n = ::recv(s, buf, static_cast<std::size_t>(len), flags);
  int err = errno;
  // Every receive re-enables FD_READ, as in Winsock.
  NET_TRACE("fd %d recv %zd of %d: FD_READ re-armed", s, n, len);
  EventLoop::Current().ReenableSocketEvent(s, FD_READ);
  if (n < 0) return Fail(WinsockErrorFromErrno(err));
  return static_cast<int>(n);
}

int recvfrom(TSocket s, void* buf, int len, int flags, sockaddr* from, int* fromlen) {
  EnsureStarted();
  if (len < 0) return Fail(WSAEINVAL);
  socklen_t flen = fromlen ? ToLen(*fromlen) : 0;
  ssize_t n =
      ::recvfrom(s, buf, static_cast<std::size_t>(len), flags, from, fromlen ? &flen : nullptr);
  int err = errno;
  EventLoop::Current().ReenableSocketEvent(s, FD_READ);
  if (n < 0) return Fail(WinsockErrorFromErrno(err));
  if (fromlen) *fromlen = static_cast<int>(flen);
  return static_cast<int>(n);
}

int ioctlsocket(TSocket s, unsigned long cmd, unsigned long* argp) {
  EnsureStarted();
  if (!argp) return Fail(WSAEFAULT);
  if (cmd == FIONREAD) {
    int count = 0;
    if (::ioctl(s, FIONREAD, &count) != 0) return FailErrno();
    *argp = static_cast<unsigned long>(count < 0 ? 0 : count);
    return 0;
  }
  if (cmd == FIONBIO) {
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return FailErrno();
    flags = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(s, F_SETFL, flags) != 0) return FailErrno();
    return 0;
  }
  return Fail(WSAEINVAL);
}

int connect(TSocket s, const sockaddr* name, int namelen) {
  EnsureStarted();
  int rc = ::connect(s, name, ToLen(namelen));
  if (rc == 0 || errno == EINPROGRESS) {
    MarkConnected(s);
    // The outcome, immediate or not, arrives as FD_CONNECT.
    EventLoop::Current().SocketConnectStarted(s);
    return rc == 0 ? 0 : Fail(WSAEWOULDBLOCK);
  }
  return FailErrno();
}

int bind(TSocket s, const sockaddr* name, int namelen) {
  EnsureStarted();
  if (::bind(s, name, ToLen(namelen)) != 0) return FailErrno();
  return 0;
}

int listen(TSocket s, int backlog) {
  EnsureStarted();
  if (::listen(s, backlog) != 0) return FailErrno();
  return 0;
}

TSocket accept(TSocket s, sockaddr* addr, int* addrlen) {
  EnsureStarted();
  socklen_t len = addrlen ? ToLen(*addrlen) : 0;
  TSocket n = ::accept4(s, addr, addrlen ? &len : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  int err = errno;
  // Each accept re-arms FD_ACCEPT for the next pending connection.
  EventLoop::Current().ReenableSocketEvent(s, FD_ACCEPT);
  if (n < 0) return Fail(WinsockErrorFromErrno(err));
  if (addrlen) *addrlen = static_cast<int>(len);
  Register(n, true);
  return n;
}

int closesocket(TSocket s) {
  EnsureStarted();
  {
    std::lock_guard lock(g_bindingMutex);
    // Only handles this binding created are closed: a stale number may by now belong to an
    // unrelated file.
    if (g_sockets.erase(s) == 0) return Fail(WSAENOTSOCK);
  }
  EventLoop::Current().ForgetSocket(s);
  // Linux ignores O_NONBLOCK for a lingering close and would block the caller for up to the
  // linger time; the data then goes out in the background instead, as after Winsock's
  // non-blocking closesocket. A zero linger time (an abortive close) never blocks and stays.
  linger value{};
  socklen_t len = sizeof value;
  if (::getsockopt(s, SOL_SOCKET, SO_LINGER, &value, &len) == 0 && value.l_onoff &&
      value.l_linger > 0) {
    value = {};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &value, sizeof value);
  }
  ::close(s);  // on Linux the descriptor is released even when close reports an error
  return 0;
}

namespace {

// getsockname and getpeername: the same call pattern around a different query.
int AddressQuery(int (*query)(int, sockaddr*, socklen_t*), TSocket s, sockaddr* name,
                 int* namelen) {
  EnsureStarted();
  if (!namelen) return Fail(WSAEFAULT);
  socklen_t len = ToLen(*namelen);
  if (query(s, name, &len) != 0) return FailErrno();
  *namelen = static_cast<int>(len);
  return 0;
}

}  // namespace

int getsockname(TSocket s, sockaddr* name, int* namelen) {
  return AddressQuery(::getsockname, s, name, namelen);
}

int getpeername(TSocket s, sockaddr* name, int* namelen) {
  return AddressQuery(::getpeername, s, name, namelen);
}

in_addr_t inet_addr(const std::string& text) {
  EnsureStarted();
  return ::inet_addr(text.c_str());
}

std::string inet_ntoa(in_addr_t addr) {
  EnsureStarted();
  const auto* b = reinterpret_cast<const unsigned char*>(&addr);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

}  // namespace Winsock

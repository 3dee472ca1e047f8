#include "net/NameService.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "net/SocketErrors.h"

namespace {

// Lookup error codes (the Winsock numbers of h_errno).
constexpr int kHostNotFound = WSAHOST_NOT_FOUND;
constexpr int kTryAgain = WSATRY_AGAIN;
constexpr int kNoRecovery = WSANO_RECOVERY;
constexpr int kNoData = WSANO_DATA;

int LookupErrorFromGai(int gaiError) {
  switch (gaiError) {
    case EAI_NONAME:
      return kHostNotFound;
    case EAI_AGAIN:
      return kTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return kNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return kNoData;
#endif
    default:
      return kNoRecovery;
  }
}

int DefaultNameToHost(const std::string& name, Winsock::HostEntry& out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) return LookupErrorFromGai(rc);
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(list, &::freeaddrinfo);
  out = {};
  out.Name = (list->ai_canonname && *list->ai_canonname) ? list->ai_canonname : name;
  for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
    const std::string text = NumericAddress(*ai->ai_addr);
    if (text.empty()) continue;
    if (std::find(out.AllAddresses.begin(), out.AllAddresses.end(), text) == out.AllAddresses.end())
      out.AllAddresses.push_back(text);
    if (ai->ai_family != AF_INET) continue;
    in_addr_t a = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    if (std::find(out.Addresses.begin(), out.Addresses.end(), a) == out.Addresses.end())
      out.Addresses.push_back(a);
  }
  return out.AllAddresses.empty() ? kNoData : 0;
}

int DefaultAddrToHost(in_addr_t addr, Winsock::HostEntry& out) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  char host[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host,
                         nullptr, 0, NI_NAMEREQD);
  if (rc != 0) return LookupErrorFromGai(rc);
  out = {};
  out.Name = host;
  out.Addresses.push_back(addr);
  return 0;
}

// The lookup worker reads these, so they are guarded. The lock is held across fork() so that a
// child never inherits it locked by the worker thread, which does not exist there.
std::mutex g_mutex;
NameToHostFn g_byName;
AddrToHostFn g_byAddr;

[[maybe_unused]] const int g_forkGuard =
    ::pthread_atfork([] { g_mutex.lock(); }, [] { g_mutex.unlock(); }, [] { g_mutex.unlock(); });

}  // namespace

std::string NumericAddress(const sockaddr& address) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* bytes = nullptr;
  if (address.sa_family == AF_INET)
    bytes = &reinterpret_cast<const sockaddr_in&>(address).sin_addr;
  else if (address.sa_family == AF_INET6)
    bytes = &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
  if (!bytes || !::inet_ntop(address.sa_family, bytes, text, sizeof text)) return "";
  return text;
}

void SetNameService(NameToHostFn byName, AddrToHostFn byAddr) {
  std::lock_guard lock(g_mutex);
  g_byName = std::move(byName);
  g_byAddr = std::move(byAddr);
}

void ResetNameService() {
  SetNameService(nullptr, nullptr);
}

int ResolveNameToHost(const std::string& name, Winsock::HostEntry& out) {
  NameToHostFn fn;
  {
    std::lock_guard lock(g_mutex);
    fn = g_byName;
  }
  return fn ? fn(name, out) : DefaultNameToHost(name, out);
}

int ResolveAddrToHost(in_addr_t addr, Winsock::HostEntry& out) {
  AddrToHostFn fn;
  {
    std::lock_guard lock(g_mutex);
    fn = g_byAddr;
  }
  return fn ? fn(addr, out) : DefaultAddrToHost(addr, out);
}

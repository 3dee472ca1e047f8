// The name service behind gethostbyname and the asynchronous lookups: one replaceable function
// per direction, so that tests can answer without asking any name server.
//
// A function returns 0 and fills the entry, or a lookup error code (WSAHOST_NOT_FOUND host not
// found, WSATRY_AGAIN try again, WSANO_RECOVERY non-recoverable, WSANO_DATA no data). The lookups
// may call them from the lookup worker thread, so a replacement must be safe to call from any
// thread.
#pragma once

#include <functional>
#include <string>

#include "net/Winsock.h"

using NameToHostFn = std::function<int(const std::string& name, Winsock::HostEntry& out)>;
using AddrToHostFn = std::function<int(in_addr_t addr, Winsock::HostEntry& out)>;

void SetNameService(NameToHostFn byName, AddrToHostFn byAddr = nullptr);
void ResetNameService();

// Through the current name service (by default getaddrinfo for both families, getnameinfo).
int ResolveNameToHost(const std::string& name, Winsock::HostEntry& out);
int ResolveAddrToHost(in_addr_t addr, Winsock::HostEntry& out);

// The numeric text of an IPv4 or IPv6 socket address ("127.0.0.1", "::1"); "" for another family.
std::string NumericAddress(const sockaddr& address);

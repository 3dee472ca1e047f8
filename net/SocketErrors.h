// Winsock error codes, their names and English texts, and the standard socket error text.
#pragma once

#include <string>
#include <string_view>

// The table of Winsock error codes: X(code, name, English text). It yields the named constants
// below (WSAEWOULDBLOCK, ...), which the code uses instead of the numbers, and the texts.
#define TARVIK_WINSOCK_ERRORS(X)                                               \
  X(0, NO_ERROR, "No Error")                                                   \
  X(10004, WSAEINTR, "Interrupted system call")                                \
  X(10009, WSAEBADF, "Bad file number")                                        \
  X(10013, WSAEACCES, "Permission denied")                                     \
  X(10014, WSAEFAULT, "Bad address")                                           \
  X(10022, WSAEINVAL, "Invalid argument")                                      \
  X(10024, WSAEMFILE, "Too many open files")                                   \
  X(10035, WSAEWOULDBLOCK, "Operation would block")                            \
  X(10036, WSAEINPROGRESS, "Operation now in progress")                        \
  X(10037, WSAEALREADY, "Operation already in progress")                       \
  X(10038, WSAENOTSOCK, "Socket operation on non-socket")                      \
  X(10039, WSAEDESTADDRREQ, "Destination address required")                    \
  X(10040, WSAEMSGSIZE, "Message too long")                                    \
  X(10041, WSAEPROTOTYPE, "Protocol wrong type for socket")                    \
  X(10042, WSAENOPROTOOPT, "Protocol not available")                           \
  X(10043, WSAEPROTONOSUPPORT, "Protocol not supported")                       \
  X(10044, WSAESOCKTNOSUPPORT, "Socket type not supported")                    \
  X(10045, WSAEOPNOTSUPP, "Operation not supported on socket")                 \
  X(10046, WSAEPFNOSUPPORT, "Protocol family not supported")                   \
  X(10047, WSAEAFNOSUPPORT, "Address family not supported by protocol family") \
  X(10048, WSAEADDRINUSE, "Address already in use")                            \
  X(10049, WSAEADDRNOTAVAIL, "Address not available")                          \
  X(10050, WSAENETDOWN, "Network is down")                                     \
  X(10051, WSAENETUNREACH, "Network is unreachable")                           \
  X(10052, WSAENETRESET, "Network dropped connection on reset")                \
  X(10053, WSAECONNABORTED, "Connection aborted")                              \
  X(10054, WSAECONNRESET, "Connection reset by peer")                          \
  X(10055, WSAENOBUFS, "No buffer space available")                            \
  X(10056, WSAEISCONN, "Socket is already connected")                          \
  X(10057, WSAENOTCONN, "Socket is not connected")                             \
  X(10058, WSAESHUTDOWN, "Can't send after socket shutdown")                   \
  X(10059, WSAETOOMANYREFS, "Too many references: can't splice")               \
  X(10060, WSAETIMEDOUT, "Connection timed out")                               \
  X(10061, WSAECONNREFUSED, "Connection refused")                              \
  X(10062, WSAELOOP, "Too many levels of symbolic links")                      \
  X(10063, WSAENAMETOOLONG, "File name too long")                              \
  X(10064, WSAEHOSTDOWN, "Host is down")                                       \
  X(10065, WSAEHOSTUNREACH, "No route to host")                                \
  X(10066, WSAENOTEMPTY, "Directory not empty")                                \
  X(10067, WSAEPROCLIM, "Too many processes")                                  \
  X(10068, WSAEUSERS, "Too many users")                                        \
  X(10069, WSAEDQUOT, "Disc quota exceeded")                                   \
  X(10070, WSAESTALE, "Stale NFS file handle")                                 \
  X(10071, WSAEREMOTE, "Too many levels of remote in path")                    \
  X(10091, WSASYSNOTREADY, "Network sub-system is unusable")                   \
  X(10092, WSAVERNOTSUPPORTED, "WinSock DLL cannot support this application")  \
  X(10093, WSANOTINITIALISED, "WinSock not initialized")                       \
  X(11001, WSAHOST_NOT_FOUND, "Host not found")                                \
  X(11002, WSATRY_AGAIN, "Non-authoritative host not found")                   \
  X(11003, WSANO_RECOVERY, "Non-recoverable error")                            \
  X(11004, WSANO_DATA, "No Data")

#define TARVIK_WINSOCK_CONSTANT(code, name, text) inline constexpr int name = code;
TARVIK_WINSOCK_ERRORS(TARVIK_WINSOCK_CONSTANT)
#undef TARVIK_WINSOCK_CONSTANT

// The English text of a Winsock error code; codes not in the table give "Not a WinSock error".
std::string SocketErrorText(int code);
// The symbolic name of a code ("WSAECONNREFUSED"), or "" for codes not in the table.
std::string_view SocketErrorName(int code);
// "Error <code> in function <operation>\r\n<text of code>".
std::string SocketErrorMessage(int code, std::string_view operation);

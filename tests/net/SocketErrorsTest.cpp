#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

#include "net/SocketErrors.h"
#include "net/Winsock.h"

TEST(SocketErrorText, KnownCodesGiveTheirTexts) {
  EXPECT_EQ(SocketErrorText(0), "No Error");
  EXPECT_EQ(SocketErrorText(10004), "Interrupted system call");
  EXPECT_EQ(SocketErrorText(10035), "Operation would block");
  EXPECT_EQ(SocketErrorText(10047), "Address family not supported by protocol family");
  EXPECT_EQ(SocketErrorText(10054), "Connection reset by peer");
  EXPECT_EQ(SocketErrorText(10058), "Can't send after socket shutdown");
  EXPECT_EQ(SocketErrorText(10093), "WinSock not initialized");
  EXPECT_EQ(SocketErrorText(11001), "Host not found");
  EXPECT_EQ(SocketErrorText(11004), "No Data");
  EXPECT_EQ(SocketErrorName(10061), "WSAECONNREFUSED");
}

TEST(SocketErrorText, CodesOutsideTheTableAreNotWinsockErrors) {
  for (int code : {10072, 10090, 11000, 11005, -1, -10061, 1, 10001})
    EXPECT_EQ(SocketErrorText(code), "Not a WinSock error") << code;
  EXPECT_EQ(SocketErrorName(10072), "");
}

TEST(SocketErrorText, StandardTextNamesCodeAndOperationOnTwoLines) {
  EXPECT_EQ(SocketErrorMessage(10061, "Connect"),
            "Error 10061 in function Connect\r\nConnection refused");
  EXPECT_EQ(SocketErrorMessage(12345, "Bind"),
            "Error 12345 in function Bind\r\nNot a WinSock error");
}

TEST(SocketErrorText, TheNamedConstantsAreTheTableCodes) {
  EXPECT_EQ(WSAEWOULDBLOCK, 10035);
  EXPECT_EQ(WSAECONNREFUSED, 10061);
  EXPECT_EQ(WSANO_DATA, 11004);
}

TEST(SocketErrorText, EveryErrnoOfTheBindingHasAWinsockCodeWithAText) {
  const std::pair<int, int> rows[] = {{EWOULDBLOCK, WSAEWOULDBLOCK},
                                      {EAGAIN, WSAEWOULDBLOCK},
                                      {EINPROGRESS, WSAEWOULDBLOCK},
                                      {ECONNREFUSED, WSAECONNREFUSED},
                                      {ECONNRESET, WSAECONNRESET},
                                      {ENOTCONN, WSAENOTCONN},
                                      {EINVAL, WSAEINVAL},
                                      {ENOTSOCK, WSAENOTSOCK},
                                      {EBADF, WSAENOTSOCK},
                                      {EADDRINUSE, WSAEADDRINUSE},
                                      {ETIMEDOUT, WSAETIMEDOUT},
                                      {EHOSTUNREACH, WSAEHOSTUNREACH},
                                      {ENETUNREACH, WSAENETUNREACH},
                                      {ECONNABORTED, WSAECONNABORTED},
                                      {EPIPE, WSAESHUTDOWN},
                                      {EINTR, WSAEINTR},
                                      {EACCES, WSAEACCES},
                                      {EMFILE, WSAEMFILE},
                                      {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
                                      {EMSGSIZE, WSAEMSGSIZE},
                                      {EISCONN, WSAEISCONN},
                                      {EALREADY, WSAEALREADY},
                                      {ENOBUFS, WSAENOBUFS},
                                      {EAFNOSUPPORT, WSAEAFNOSUPPORT},
                                      {EHOSTDOWN, WSAEHOSTDOWN},
                                      {ENETDOWN, WSAENETDOWN}};
  for (auto [err, code] : rows) {
    EXPECT_EQ(Winsock::WinsockErrorFromErrno(err), code) << err;
    EXPECT_EQ(Winsock::WinsockErrorFromErrno(err, WSAECONNABORTED), code) << err;
    EXPECT_NE(SocketErrorText(code), "Not a WinSock error") << code;
  }
  EXPECT_EQ(Winsock::WinsockErrorFromErrno(0), 0);
  EXPECT_EQ(Winsock::WinsockErrorFromErrno(ENOENT), WSAEINVAL) << "no counterpart";
  EXPECT_EQ(Winsock::WinsockErrorFromErrno(ENOENT, WSAECONNABORTED), WSAECONNABORTED);
}

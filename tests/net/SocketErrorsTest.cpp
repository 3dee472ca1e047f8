#include <gtest/gtest.h>

#include <cerrno>

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

TEST(SocketErrorText, EveryErrnoOfTheBindingHasAWinsockCodeWithAText) {
  struct Row {
    int err;
    int code;
  };
  const Row rows[] = {
      {EWOULDBLOCK, 10035}, {EAGAIN, 10035},       {EINPROGRESS, 10035},   {ECONNREFUSED, 10061},
      {ECONNRESET, 10054},  {ENOTCONN, 10057},     {EINVAL, 10022},        {ENOTSOCK, 10038},
      {EBADF, 10038},       {EADDRINUSE, 10048},   {ETIMEDOUT, 10060},     {EHOSTUNREACH, 10065},
      {ENETUNREACH, 10051}, {ECONNABORTED, 10053}, {EPIPE, 10058},         {EINTR, 10004},
      {EACCES, 10013},      {EMFILE, 10024},       {EADDRNOTAVAIL, 10049}, {EMSGSIZE, 10040},
      {EISCONN, 10056},     {EALREADY, 10037},     {ENOBUFS, 10055},       {EAFNOSUPPORT, 10047}};
  for (const Row& r : rows) {
    EXPECT_EQ(Winsock::WinsockErrorFromErrno(r.err), r.code) << r.err;
    EXPECT_NE(SocketErrorText(r.code), "Not a WinSock error") << r.code;
  }
}

// The binding: its start-up lifecycle and the Winsock codes that real POSIX conditions give.
#include <gtest/gtest.h>

#include <csignal>

#include "NetTestSupport.h"

using namespace nettest;

namespace {

void EnsureStopped() {
  ASSERT_EQ(SocketObjectCount(), 0);
  if (Winsock::IsStarted()) Winsock::WSACleanup();
}

}  // namespace

TEST(WinsockLifecycle, LiveSocketObjectsKeepTheBindingStarted) {
  EnsureStopped();
  int startups = Winsock::StartupCount();
  auto first = std::make_unique<TWSocket>();
  auto second = std::make_unique<TWSocket>();
  EXPECT_FALSE(Winsock::IsStarted()) << "constructing objects does not start the binding";
  first->SetLocalAddr("127.0.0.1");  // the first Winsock call starts it
  EXPECT_TRUE(Winsock::IsStarted());
  EXPECT_EQ(Winsock::StartupCount(), startups + 1);
  EXPECT_EQ(SocketObjectCount(), 2);

  first.reset();
  EXPECT_TRUE(Winsock::IsStarted());
  second.reset();
  EXPECT_FALSE(Winsock::IsStarted());
  EXPECT_EQ(SocketObjectCount(), 0);

  auto third = std::make_unique<TWSocket>();
  EXPECT_FALSE(Winsock::IsStarted());
  third->SetLocalAddr("127.0.0.1");
  EXPECT_TRUE(Winsock::IsStarted());
  EXPECT_EQ(Winsock::StartupCount(), startups + 2);
  third.reset();
  EXPECT_FALSE(Winsock::IsStarted());
}

TEST(WinsockLifecycle, AnUnusedObjectEndsWithoutStarting) {
  EnsureStopped();
  int startups = Winsock::StartupCount();
  { TWSocket unused; }
  EXPECT_EQ(SocketObjectCount(), 0);
  EXPECT_FALSE(Winsock::IsStarted());
  EXPECT_EQ(Winsock::StartupCount(), startups);
}

TEST(WinsockLifecycle, CleanupWhenNotStartedGives10093AndCleanupClosesLeftoverHandles) {
  EnsureStopped();
  EXPECT_EQ(Winsock::WSACleanup(), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSANOTINITIALISED);

  EventLoop::Current();  // the loop's own descriptors are not the binding's
  int before = OpenFdCount();
  TSocket s = Winsock::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  EXPECT_EQ(OpenFdCount(), before + 1);
  EXPECT_EQ(Winsock::WSACleanup(), 0);
  EXPECT_EQ(OpenFdCount(), before);
  EXPECT_EQ(Winsock::WSAStartup(0x0001, nullptr), WSAVERNOTSUPPORTED) << "version 1.0 is refused";
}

TEST(WinsockCodes, PosixConditionsGiveTheirWinsockCodes) {
  RawFd listener = RawListen();
  TSocket s = Winsock::socket(AF_INET, SOCK_STREAM, 0);
  char buf[16];

  // ENOTCONN: receive on a socket that never connected; EPIPE on such a send is the same.
  EXPECT_EQ(Winsock::recv(s, buf, sizeof buf, 0), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAENOTCONN);
  EXPECT_EQ(Winsock::send(s, "x", 1, 0), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAENOTCONN);

  // EINVAL: binding a socket twice.
  sockaddr_in any = Loopback(0);
  ASSERT_EQ(Winsock::bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  EXPECT_EQ(Winsock::bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAEINVAL);

  // EADDRINUSE: binding a port that is listened on.
  TSocket t = Winsock::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in taken = Loopback(PortOf(listener.Get()));
  EXPECT_EQ(Winsock::bind(t, reinterpret_cast<sockaddr*>(&taken), sizeof taken),
            Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAEADDRINUSE);

  // EINPROGRESS on a non-blocking connect is "would block"; EAGAIN on an empty receive too.
  sockaddr_in target = Loopback(PortOf(listener.Get()));
  int rc = Winsock::connect(t, reinterpret_cast<sockaddr*>(&target), sizeof target);
  EXPECT_TRUE(rc == 0 || Winsock::WSAGetLastError() == WSAEWOULDBLOCK);
  RawFd peer = RawAccept(listener);
  pollfd p{t, POLLOUT, 0};
  ::poll(&p, 1, 5000);
  EXPECT_EQ(Winsock::recv(t, buf, sizeof buf, 0), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAEWOULDBLOCK);

  // ECONNRESET: the peer aborts; EPIPE after it is a reset as well (and never a SIGPIPE).
  peer.Abort();
  p = {t, POLLIN, 0};
  ::poll(&p, 1, 5000);
  EXPECT_EQ(Winsock::recv(t, buf, sizeof buf, 0), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAECONNRESET);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Winsock::send(t, "data", 4, 0), Winsock::SOCKET_ERROR);
    EXPECT_EQ(Winsock::WSAGetLastError(), WSAECONNRESET);
  }

  // EBADF / ENOTSOCK: a closed handle, and a handle the binding did not create.
  EXPECT_EQ(Winsock::closesocket(s), 0);
  EXPECT_EQ(Winsock::recv(s, buf, sizeof buf, 0), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(Winsock::closesocket(s), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAENOTSOCK);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  EXPECT_EQ(Winsock::closesocket(pipeFds[0]), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAENOTSOCK);
  EXPECT_NE(::fcntl(pipeFds[0], F_GETFD), -1) << "a foreign descriptor stays open";
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  Winsock::closesocket(t);
}

TEST(WinsockCodes, SendAfterOwnShutdownGives10058WithoutSignal) {
  RawFd listener = RawListen();
  TSocket s = Winsock::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in target = Loopback(PortOf(listener.Get()));
  Winsock::connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target);
  RawFd peer = RawAccept(listener);
  pollfd p{s, POLLOUT, 0};
  ::poll(&p, 1, 5000);
  ASSERT_EQ(Winsock::shutdown(s, SHUT_WR), 0);
  EXPECT_EQ(Winsock::send(s, "x", 1, 0), Winsock::SOCKET_ERROR);
  EXPECT_EQ(Winsock::WSAGetLastError(), WSAESHUTDOWN);
  Winsock::closesocket(s);
}

TEST(WinsockCodes, DatabasesOfThisMachine) {
  Winsock::HostEntry entry;
  ASSERT_TRUE(Winsock::gethostbyname("localhost", entry));
  ASSERT_FALSE(entry.Addresses.empty());
  EXPECT_EQ(Winsock::inet_ntoa(entry.Addresses[0]), "127.0.0.1");
  int port = 0;
  ASSERT_TRUE(Winsock::getservbyname("smtp", "tcp", port));
  EXPECT_EQ(ntohs(static_cast<std::uint16_t>(port)), 25);
  int proto = 0;
  ASSERT_TRUE(Winsock::getprotobyname("udp", proto));
  EXPECT_EQ(proto, 17);
  EXPECT_EQ(Winsock::inet_addr("10.1.2.3"), htonl(0x0A010203));
  EXPECT_EQ(Winsock::inet_ntoa(htonl(0x0A010203)), "10.1.2.3");
  char name[64];
  EXPECT_EQ(Winsock::gethostname(name, sizeof name), 0);
}

// Connections beyond IPv4: IPv6 addresses, lookups that give both families, Connect going on to
// the next address when one fails, and the host's fully-qualified name.
#include <gtest/gtest.h>

#include "NetTestSupport.h"
#include "net/NameService.h"

using namespace nettest;

namespace {

// A socket of Family bound to Address:Port, listening or not (then connections are refused).
RawFd RawBound(int Family, const char* Address, int Port, bool Listening) {
  RawFd fd(::socket(Family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage a{};
  socklen_t len = 0;
  if (Family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(a);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(Port));
    ::inet_pton(AF_INET6, Address, &v6.sin6_addr);
    len = sizeof v6;
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(a);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(Port));
    ::inet_pton(AF_INET, Address, &v4.sin_addr);
    len = sizeof v4;
  }
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), len) != 0) return RawFd();
  if (Listening) ::listen(fd.Get(), 4);
  return fd;
}

int BoundPortOf(const RawFd& Fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  ::getsockname(Fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
}

// "dual.test" has the addresses given, in that order; every other name is unknown.
struct DualNames {
  explicit DualNames(std::vector<std::string> All) {
    SetNameService([All](const std::string& name, Winsock::HostEntry& out) {
      if (name != "dual.test") return WSAHOST_NOT_FOUND;
      out.Name = name;
      out.AllAddresses = All;
      for (const std::string& a : All)
        if (a.find(':') == std::string::npos) out.Addresses.push_back(::inet_addr(a.c_str()));
      return 0;
    });
  }
  ~DualNames() { ResetNameService(); }
};

std::vector<std::string> Lookup(TWSocket& Socket, const std::string& Name, int& Error) {
  Error = -1;
  Socket.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { Error = e; };
  Socket.LookupHost(Name);
  PumpUntil([&] { return Error >= 0; });
  std::vector<std::string> list = Socket.DnsResultList().Lines();
  if (list.empty() && Error == 0) list.push_back(Socket.DnsResult());
  return list;
}

const std::vector<std::string> QuietConnect = {
    "ChangeState(wsClosed,wsOpened)", "ChangeState(wsOpened,wsConnecting)",
    "ChangeState(wsConnecting,wsConnected)", "SessionConnected(0)"};

}  // namespace

TEST(ConnectFamilies, LookupsGiveIPv6AndIPv4OnlyWhenAsked) {
  DualNames names({"::1", "127.0.0.1", "::2"});
  TWSocket s;
  int error = 0;
  EXPECT_EQ(Lookup(s, "dual.test", error), std::vector<std::string>{"127.0.0.1"});
  s.SetSocketFamily(sfAny);
  EXPECT_EQ(Lookup(s, "dual.test", error), (std::vector<std::string>{"::1", "127.0.0.1", "::2"}));
  EXPECT_EQ(Lookup(s, "::1", error), std::vector<std::string>{"::1"}) << "an address as such";
  EXPECT_EQ(error, 0);
  DualNames v6only({"::1"});
  s.SetSocketFamily(sfIPv4);
  EXPECT_TRUE(Lookup(s, "dual.test", error).empty());
  EXPECT_EQ(error, WSANO_DATA) << "no IPv4 address is no address for IPv4";
}

TEST(ConnectFamilies, AFailedAddressIsFollowedByTheNextWithoutAnyEvent) {
  RawFd listener = RawBound(AF_INET, "127.0.0.1", 0, true);
  const int port = BoundPortOf(listener);
  RawFd refusing = RawBound(AF_INET6, "::1", port, false);
  ASSERT_GE(refusing.Get(), 0) << "[::1]:" << port << " is taken";
  TWSocket s;
  EventLog log;
  log.Attach(s);
  s.SetAddrList({"::1", "127.0.0.1"});
  EXPECT_EQ(s.Addr(), "::1");
  s.SetPort(std::to_string(port));
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.Has("SessionConnected(0)"); })) << log.lines.size();
  std::erase(log.lines, "DataSent(0)");  // the connection is writable: no part of the story
  EXPECT_EQ(log.lines, QuietConnect);
  EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(s.BoundAddr(), "127.0.0.1");
  RawFd peer = RawAccept(listener);
  EXPECT_GE(peer.Get(), 0);
}

TEST(ConnectFamilies, WhenEveryAddressFailsOnlyTheLastFailureIsReported) {
  RawFd closed4 = RawBound(AF_INET, "127.0.0.1", 0, false);
  const int port = BoundPortOf(closed4);
  RawFd closed6 = RawBound(AF_INET6, "::1", port, false);
  ASSERT_GE(closed6.Get(), 0);
  DualNames names({"::1", "127.0.0.1"});
  TWSocket s;
  s.SetSocketFamily(sfAny);
  EventLog log;
  log.Attach(s);
  s.SetAddr("dual.test");  // resolved by Connect itself this time
  s.SetPort(std::to_string(port));
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.Has("SessionClosed(0)"); }));
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "ChangeState(wsClosed,wsOpened)", "ChangeState(wsOpened,wsConnecting)",
                           "ChangeState(wsConnecting,wsConnected)", "SessionConnected(10061)",
                           "ChangeState(wsConnected,wsClosed)", "SessionClosed(0)"}));
}

TEST(ConnectFamilies, AnIPv6AddressConnectsAndNamesBothEnds) {
  RawFd listener = RawBound(AF_INET6, "::1", 0, true);
  ASSERT_GE(listener.Get(), 0);
  const int port = BoundPortOf(listener);
  TWSocket s;  // IPv4 by default: an IPv6 address is still taken as given
  EventLog log;
  log.Attach(s);
  s.SetAddr("::1");
  s.SetPort(std::to_string(port));
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.Has("SessionConnected(0)"); }));
  EXPECT_EQ(s.PeerAddr(), "::1");
  EXPECT_EQ(s.PeerPort(), std::to_string(port));
  EXPECT_EQ(s.BoundAddr(), "::1");
  RawFd peer = RawAccept(listener);
  ASSERT_GE(peer.Get(), 0);
  EXPECT_EQ(s.SendText("over IPv6\r\n"), 11);
  std::string got;
  PumpUntil([&] { return (got += ReadAvailable(peer.Get())).size() >= 11; });
  EXPECT_EQ(got, "over IPv6\r\n");
}

TEST(LocalFqdn, TheHostNameWhenDottedElseItsDottedNameInTheHostsFile) {
  EXPECT_EQ(FqdnFromHosts("mail.example.org", ""), "mail.example.org");
  const std::string hosts =
      "127.0.0.1 localhost\n"
      "# 127.0.1.1 old.example.org vm\n"
      "127.0.1.1\tvm.example.org  vm # the host\n";
  EXPECT_EQ(FqdnFromHosts("vm", hosts), "vm.example.org");
  EXPECT_EQ(FqdnFromHosts("other", hosts), "");
  EXPECT_EQ(FqdnFromHosts("vm", "127.0.1.1 vm vm.localdomain localhost.localdomain\n"), "")
      << "names nobody else can reach do not count";
  EXPECT_EQ(FqdnFromHosts("localhost.localdomain", ""), "");
}

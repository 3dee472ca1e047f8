// Sessions through real SOCKS proxies started on 127.0.0.1 (Debian's microsocks and danted) to
// a loopback echo server that greets each client at once, so that its first bytes travel right
// behind the proxy's reply. Data goes both ways; nothing is lost, added or reordered.
#include <gtest/gtest.h>

#include <string>

#include "../peers/socks_real_proxies.h"
#include "net/WSocket.h"

using socks_test::EchoServer;
using socks_test::EventLog;
using socks_test::ProxyProcess;
using socks_test::PumpUntil;

namespace {

const std::string kGreeting = "220 echo ready\r\n";

struct Session {
  TWSocket sock;
  EventLog log;
  std::string data;
  bool closed = false;

  Session() {
    sock.OnSocksConnected = [this](TCustomWSocket*, std::uint16_t e) {
      log.Add("SocksConnected(" + std::to_string(e) + ")");
    };
    sock.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState s) {
      log.Add("AuthState(" + std::to_string(static_cast<int>(s)) + ")");
    };
    sock.OnSocksError = [this](TCustomWSocket*, int e, const std::string& m) {
      log.Add("SocksError(" + std::to_string(e) + "," + m + ")");
    };
    sock.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
      log.Add("SessionConnected(" + std::to_string(e) + ")");
    };
    sock.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
      log.Add("SessionClosed(" + std::to_string(e) + ")");
      closed = true;
    };
    sock.OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) { data += s->ReceiveText(); };
  }

  void Connect(const ProxyProcess& proxy, const std::string& level, int targetPort) {
    sock.SetSocksServer("127.0.0.1");
    sock.SetSocksPort(std::to_string(proxy.Port()));
    sock.SetSocksLevel(level);
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(targetPort));
    sock.Connect();
  }

  // Greeting, then a line out and back, then a clean close.
  void Exchange() {
    ASSERT_TRUE(PumpUntil([&] { return data == kGreeting || closed; })) << data;
    ASSERT_EQ(data, kGreeting);
    const std::string line = "ping through the proxy\r\n";
    sock.SendText(line);
    ASSERT_TRUE(PumpUntil([&] { return data.size() >= kGreeting.size() + line.size(); }));
    EXPECT_EQ(data, kGreeting + line);
    sock.Close();
    EXPECT_TRUE(closed);
  }
};

TEST(SocksRealProxy, MicrosocksSocks5WithoutAuthentication) {
  EchoServer echo(kGreeting);
  ProxyProcess proxy;
  ASSERT_TRUE(socks_test::StartMicrosocks(proxy)) << proxy.Error();
  Session s;
  s.Connect(proxy, "5", echo.Port());
  s.Exchange();
  EXPECT_EQ(s.log.Lines, (std::vector<std::string>{"SocksConnected(0)", "SessionConnected(0)",
                                                   "SessionClosed(0)"}));
}

TEST(SocksRealProxy, MicrosocksSocks5WithUserAndPassword) {
  EchoServer echo(kGreeting);
  ProxyProcess proxy;
  ASSERT_TRUE(socks_test::StartMicrosocks(proxy, "joe", "s3cret")) << proxy.Error();
  Session s;
  s.sock.SetSocksAuthentication(socksAuthenticateUsercode);
  s.sock.SetSocksUsercode("joe");
  s.sock.SetSocksPassword("s3cret");
  s.Connect(proxy, "5", echo.Port());
  s.Exchange();
  EXPECT_EQ(s.log.Lines,
            (std::vector<std::string>{"SocksConnected(0)", "AuthState(0)", "AuthState(1)",
                                      "SessionConnected(0)", "SessionClosed(0)"}));
}

TEST(SocksRealProxy, MicrosocksRefusesAWrongPassword) {
  EchoServer echo(kGreeting);
  ProxyProcess proxy;
  ASSERT_TRUE(socks_test::StartMicrosocks(proxy, "joe", "s3cret")) << proxy.Error();
  Session s;
  s.sock.SetSocksAuthentication(socksAuthenticateUsercode);
  s.sock.SetSocksUsercode("joe");
  s.sock.SetSocksPassword("wrong");
  s.Connect(proxy, "5", echo.Port());
  ASSERT_TRUE(PumpUntil([&] { return s.closed; }));
  EXPECT_TRUE(s.log.Has("AuthState(2)"));
  EXPECT_FALSE(s.log.Has("SessionConnected(0)"));
  EXPECT_EQ(echo.Accepted(), 0);
  EXPECT_EQ(s.data, "");
}

TEST(SocksRealProxy, MicrosocksWithoutCredentialsWhenTheyAreRequired) {
  EchoServer echo(kGreeting);
  ProxyProcess proxy;
  ASSERT_TRUE(socks_test::StartMicrosocks(proxy, "joe", "s3cret")) << proxy.Error();
  Session s;
  s.Connect(proxy, "5", echo.Port());
  ASSERT_TRUE(PumpUntil([&] { return s.closed; }));
  EXPECT_EQ(s.log.Lines.front(), "SocksConnected(0)");
  EXPECT_TRUE(s.log.Has("SocksError(20003,authentification method not acceptable)"))
      << ::testing::PrintToString(s.log.Lines);
  EXPECT_EQ(echo.Accepted(), 0);
}

TEST(SocksRealProxy, DanteSocks5) {
  EchoServer echo(kGreeting);
  ProxyProcess proxy;
  ASSERT_TRUE(socks_test::StartDante(proxy)) << proxy.Error();
  Session s;
  s.Connect(proxy, "5", echo.Port());
  s.Exchange();
  EXPECT_EQ(s.log.Lines, (std::vector<std::string>{"SocksConnected(0)", "SessionConnected(0)",
                                                   "SessionClosed(0)"}));
}

TEST(SocksRealProxy, DanteSocks4) {
  EchoServer echo(kGreeting);
  ProxyProcess proxy;
  ASSERT_TRUE(socks_test::StartDante(proxy)) << proxy.Error();
  Session s;
  s.sock.SetSocksUsercode("tarvik");
  s.Connect(proxy, "4", echo.Port());
  s.Exchange();
  EXPECT_EQ(s.log.Lines, (std::vector<std::string>{"SocksConnected(0)", "SessionConnected(0)",
                                                   "SessionClosed(0)"}));
}

TEST(SocksRealProxy, DanteRefusesATargetOutsideItsRules) {
  // The rules allow targets on 127.0.0.0/8 only; 0.0.0.0 is refused by the proxy itself.
  ProxyProcess proxy;
  ASSERT_TRUE(socks_test::StartDante(proxy)) << proxy.Error();
  Session s;
  s.sock.SetSocksServer("127.0.0.1");
  s.sock.SetSocksPort(std::to_string(proxy.Port()));
  s.sock.SetSocksLevel("4");
  s.sock.SetAddr("0.0.0.0");
  s.sock.SetPort("9");
  s.sock.Connect();
  ASSERT_TRUE(PumpUntil([&] { return s.closed; }));
  EXPECT_EQ(s.log.Lines, (std::vector<std::string>{
                             "SocksConnected(0)", "SocksError(20016,request rejected or failed)",
                             "SessionConnected(20016)", "SessionClosed(20016)"}));
}

}  // namespace

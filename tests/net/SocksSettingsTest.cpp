// SOCKS configuration: the setters, what a close resets, the refusals of Listen and of other
// protocols, and the size limits checked before anything is opened or sent.
#include <gtest/gtest.h>

#include <string>

#include "../peers/socks_scripted_proxy.h"
#include "net/WSocket.h"

using socks_test::ErrorOf;
using socks_test::PumpUntil;
using socks_test::ScriptedProxy;

namespace {

TEST(SocksSettings, LevelAcceptsOnlyFourFourAAndFive) {
  TWSocket s;
  EXPECT_EQ(s.SocksLevel(), "5");
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
  s.SetSocksLevel("4");
  EXPECT_EQ(s.SocksLevel(), "4");
  for (const char* bad : {"4b", "6", "", "5 "}) {
    EXPECT_EQ(ErrorOf([&] { s.SetSocksLevel(bad); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(s.SocksLevel(), "4");
  }
}

TEST(SocksSettings, ServerAndPortAreTrimmed) {
  TWSocket s;
  s.SetSocksServer("  127.0.0.1 \t");
  s.SetSocksPort(" 1080 ");
  EXPECT_EQ(s.SocksServer(), "127.0.0.1");
  EXPECT_EQ(s.SocksPort(), "1080");
}

TEST(SocksSettings, SettersRefusedWhileConnectedAndResetAfterClose) {
  ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(std::string("\5\0", 2)),
                       ScriptedProxy::Expect(7 + 9),
                       ScriptedProxy::Send(std::string("\5\0\0\1\0\0\0\0\0\0", 10))});
  TWSocket s;
  bool connected = false, closed = false;
  s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { connected = e == 0; };
  s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { closed = true; };
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(proxy.Port()));
  s.SetSocksUsercode("joe");
  s.SetSocksPassword("pw");
  s.SetSocksAuthentication(socksAuthenticateUsercode);
  s.SetSocksAuthentication(socksNoAuthentication);
  s.SetAddr("localhost");
  s.SetPort("25");
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return connected; }));

  EXPECT_EQ(ErrorOf([&] { s.SetSocksLevel("4"); }), "Can't change socks level if not closed");
  EXPECT_EQ(ErrorOf([&] { s.SetSocksPort("9"); }), "Can't change socks port if not closed");
  EXPECT_EQ(ErrorOf([&] { s.SetSocksServer("x"); }), "Can't change socks server if not closed");
  EXPECT_EQ(s.SocksLevel(), "5");
  EXPECT_EQ(s.SocksPort(), std::to_string(proxy.Port()));
  EXPECT_EQ(s.SocksServer(), "127.0.0.1");

  s.Close();
  EXPECT_TRUE(closed);
  EXPECT_EQ(s.SocksServer(), "");
  EXPECT_EQ(s.SocksPort(), "");
  EXPECT_EQ(s.SocksLevel(), "5");
  EXPECT_EQ(s.SocksUsercode(), "joe");
  EXPECT_EQ(s.SocksPassword(), "pw");
  EXPECT_EQ(s.SocksAuthentication(), socksNoAuthentication);
}

TEST(SocksSettings, ListenAndUdpRefusedThroughAProxy) {
  TWSocket s;
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort("1080");
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  EXPECT_EQ(ErrorOf([&] { s.Listen(); }), "listening is not supported thru socks server");
  s.SetProto("udp");
  EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "tcp is the only protocol supported thru socks server");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
}

TEST(SocksSettings, UnresolvableProxyIsAConnectError) {
  SetNameService([](const std::string&, Winsock::HostEntry&) { return WSAHOST_NOT_FOUND; });
  TWSocket s;
  s.SetSocksServer("proxy.nowhere.test");
  s.SetSocksPort("1080");
  s.SetAddr("localhost");
  s.SetPort("25");
  std::string error = ErrorOf([&] { s.Connect(); });
  ResetNameService();
  EXPECT_EQ(error.rfind("connect: ", 0), 0u) << error;
  EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
}

// Each request is limited to what a 128-byte request area holds; larger values are refused
// before a socket is opened.
TEST(SocksSettings, ValuesThatDoNotFitTheRequestAreRefusedBeforeConnecting) {
  struct Case {
    const char* level;
    bool auth;
    std::size_t user, password, host;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {"5", false, 0, 0, 121, nullptr},
      {"5", false, 0, 0, 122, "socks host name too long (at most 121 bytes)"},
      {"5", true, 100, 25, 9, nullptr},
      {"5", true, 100, 26, 9, "socks user code and password too long (at most 125 bytes together)"},
      {"4", false, 119, 0, 9, nullptr},
      {"4", false, 120, 0, 9, "socks user code too long (at most 119 bytes)"},
      {"4A", false, 100, 0, 18, nullptr},
      {"4A", false, 100, 0, 19,
       "socks user code and host name too long (at most 118 bytes together)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.level) + " " + std::to_string(c.user) + "/" +
                 std::to_string(c.password) + "/" + std::to_string(c.host));
    TWSocket s;
    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    // An unused port: an accepted configuration gets as far as a refused TCP connection.
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(socks_test::FreeLoopbackPort()));
    s.SetSocksLevel(c.level);
    s.SetSocksAuthentication(c.auth ? socksAuthenticateUsercode : socksNoAuthentication);
    s.SetSocksUsercode(std::string(c.user, 'u'));
    s.SetSocksPassword(std::string(c.password, 'p'));
    s.SetAddr(std::string(c.host, 'h'));
    s.SetPort("25");
    s.OnError = nullptr;
    std::string error = ErrorOf([&] { s.Connect(); });
    if (c.error) {
      EXPECT_EQ(error, c.error);
      EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
    } else {
      EXPECT_EQ(error, "");
      EXPECT_NE(s.HSocket(), Winsock::INVALID_SOCKET);
    }
  }
}

TEST(SocksSettings, ZeroByteInASocks4UserCodeIsRefused) {
  TWSocket s;
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort("1080");
  s.SetSocksLevel("4");
  s.SetSocksUsercode(std::string("bob\0evil", 8));
  s.SetAddr("127.0.0.1");
  s.SetPort("25");
  EXPECT_EQ(ErrorOf([&] { s.Connect(); }),
            "socks user code and host name must not contain a zero byte");
  EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
}

TEST(SocksWireFormats, RequestBuilders) {
  using namespace SocksWire;
  EXPECT_EQ(MethodSelection(2), (std::vector<std::uint8_t>{5, 1, 2}));
  EXPECT_EQ(Credentials("joe", "pw"),
            (std::vector<std::uint8_t>{1, 3, 'j', 'o', 'e', 2, 'p', 'w'}));
  EXPECT_EQ(Socks5Connect("ab", 0x1234),
            (std::vector<std::uint8_t>{5, 1, 0, 3, 2, 'a', 'b', 0x12, 0x34}));
  in_addr_t a = htonl(0x0A000102);  // 10.0.1.2
  EXPECT_EQ(Socks4Connect(25, a, "", false, "ignored"),
            (std::vector<std::uint8_t>{4, 1, 0, 25, 10, 0, 1, 2, 0}));
}

}  // namespace

// SOCKS negotiation against a scripted proxy on 127.0.0.1: the exact bytes the client sends,
// replies in pieces and one byte at a time, application data right behind the reply, and every
// refusal and malformed reply with its code, text and the order of the events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../peers/socks_scripted_proxy.h"
#include "net/WSocket.h"

using socks_test::EventLog;
using socks_test::PumpUntil;
using socks_test::ScriptedProxy;
using Steps = std::vector<ScriptedProxy::Step>;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// 5, 0, 0, address type 1, 127.0.0.1, port 2525 (0x09DD).
const std::string kGranted5 = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x09, 0xDD});
// The connect request for localhost:2525.
const std::string kRequest5 = Bytes({5, 1, 0, 3, 9}) + "localhost" + Bytes({0x09, 0xDD});

Steps Concat(std::initializer_list<Steps> parts) {
  Steps all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class SocksScripted : public ::testing::Test {
 protected:
  void SetUp() override {
    sock.OnSocksConnected = [this](TCustomWSocket*, std::uint16_t e) {
      log.Add("SocksConnected(" + std::to_string(e) + ")");
    };
    sock.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState s) {
      log.Add("AuthState(" + std::to_string(static_cast<int>(s)) + ")");
    };
    sock.OnSocksError = [this](TCustomWSocket*, int e, const std::string& msg) {
      log.Add("SocksError(" + std::to_string(e) + "," + msg + ")");
    };
    sock.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
      log.Add("SessionConnected(" + std::to_string(e) + ")");
    };
    sock.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
      log.Add("SessionClosed(" + std::to_string(e) + ")");
      closed = true;
    };
    sock.OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
      if (firstDataCount < 0) firstDataCount = s->RcvdCount();
      char buf[512];
      int n = s->Receive(buf, sizeof buf);
      if (n > 0) data.append(buf, static_cast<std::size_t>(n));
    };
  }

  void Start(const ScriptedProxy& proxy, const std::string& level = "5",
             const std::string& addr = "localhost", const std::string& port = "2525") {
    sock.SetSocksServer("127.0.0.1");
    sock.SetSocksPort(std::to_string(proxy.Port()));
    sock.SetSocksLevel(level);
    sock.SetAddr(addr);
    sock.SetPort(port);
    sock.Connect();
  }

  bool WaitClosed() {
    return PumpUntil([this] { return closed; });
  }

  // The refusal sequence every negotiation failure produces.
  std::vector<std::string> Refused(std::vector<std::string> before, int code,
                                   const std::string& msg) {
    std::string c = std::to_string(code);
    before.insert(before.end(), {"SocksError(" + c + "," + msg + ")", "SessionConnected(" + c + ")",
                                 "SessionClosed(" + c + ")"});
    return before;
  }

  EventLog log;
  std::string data;
  int firstDataCount = -1;
  bool closed = false;
  TWSocket sock;
};

TEST_F(SocksScripted, Socks5WithoutAuthenticationSendsExactBytesAndDeliversDataBehindReply) {
  ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 0})),
                       ScriptedProxy::Expect(kRequest5.size()),
                       ScriptedProxy::Send(kGranted5 + "DATA"), ScriptedProxy::Echo()});
  Start(proxy);
  ASSERT_TRUE(PumpUntil([&] { return data.size() >= 4; }));
  EXPECT_EQ(proxy.Received(), Bytes({5, 1, 0}) + kRequest5);
  EXPECT_EQ(firstDataCount, 4);  // the bytes behind the reply, before any network data
  EXPECT_EQ(data, "DATA");
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(0)", "SessionConnected(0)"}));
  EXPECT_EQ(sock.State(), wsConnected);

  sock.SendText("ping");
  ASSERT_TRUE(PumpUntil([&] { return data == "DATAping"; }));
  sock.Close();
  EXPECT_TRUE(closed);
}

TEST_F(SocksScripted, BytesBehindTheReplyAndStillInTheNetworkAreAllDelivered) {
  // One write: the reply and 600 bytes; the first read takes only part of them.
  const std::string payload(600, 'x');
  ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 0})),
                       ScriptedProxy::Expect(kRequest5.size()),
                       ScriptedProxy::Send(kGranted5 + payload), ScriptedProxy::Echo()});
  sock.OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
    char buf[100];
    int n = s->Receive(buf, sizeof buf);
    if (n > 0) data.append(buf, static_cast<std::size_t>(n));
  };
  Start(proxy);
  ASSERT_TRUE(PumpUntil([&] { return data.size() == payload.size(); })) << data.size();
  EXPECT_EQ(data, payload);
}

TEST_F(SocksScripted, LineModeSwitchedOnTooEarlyStillLetsTheNegotiationThrough) {
  ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 0})),
                       ScriptedProxy::Expect(kRequest5.size()),
                       ScriptedProxy::Send(kGranted5 + "L1\r\nL2"), ScriptedProxy::Echo()});
  std::vector<std::string> lines;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    const int count = s->RcvdCount();
    lines.push_back(std::to_string(count) + ":" + s->ReceiveText());
  };
  sock.SetLineMode(true);
  Start(proxy);
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
  sock.SendText("\r\n");  // echoed back: completes "L2"
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"4:L1\r\n", "4:L2\r\n"}));
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(0)", "SessionConnected(0)"}));
}

TEST_F(SocksScripted, Socks5WithCredentialsInOrder) {
  ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 2})),
                       ScriptedProxy::Expect(8), ScriptedProxy::Send(Bytes({1, 0})),
                       ScriptedProxy::Expect(kRequest5.size()), ScriptedProxy::Send(kGranted5),
                       ScriptedProxy::Echo()});
  sock.SetSocksAuthentication(socksAuthenticateUsercode);
  sock.SetSocksUsercode("joe");
  sock.SetSocksPassword("pw");
  Start(proxy);
  ASSERT_TRUE(PumpUntil([&] { return log.Has("SessionConnected(0)"); }));
  EXPECT_EQ(proxy.Received(), Bytes({5, 1, 2, 1, 3}) + "joe" + Bytes({2}) + "pw" + kRequest5);
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(0)", "AuthState(0)",
                                                 "AuthState(1)", "SessionConnected(0)"}));
  EXPECT_EQ(firstDataCount, 0);  // the one OnDataAvailable right after connecting, empty
}

TEST_F(SocksScripted, CredentialsOfferedButSkippedByProxy) {
  ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 0})),
                       ScriptedProxy::Expect(kRequest5.size()), ScriptedProxy::Send(kGranted5)});
  sock.SetSocksAuthentication(socksAuthenticateUsercode);
  sock.SetSocksUsercode("joe");
  Start(proxy);
  ASSERT_TRUE(PumpUntil([&] { return log.Has("SessionConnected(0)"); }));
  EXPECT_EQ(proxy.Received(), Bytes({5, 1, 2}) + kRequest5);  // no credentials sent
  EXPECT_EQ(log.Lines,
            (std::vector<std::string>{"SocksConnected(0)", "AuthState(3)", "SessionConnected(0)"}));
}

TEST_F(SocksScripted, MethodRepliesRefused) {
  struct Case {
    std::string reply;
    int code;
    std::string msg;
  };
  for (const auto& c : {Case{Bytes({5, 255}), 20003, "authentification method not acceptable"},
                        Case{Bytes({5, 1}), 20003, "authentification method not acceptable"},
                        Case{Bytes({4, 0}), 20002, "socks version error"}}) {
    SCOPED_TRACE(c.msg);
    log.Lines.clear();
    closed = false;
    ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(c.reply)});
    Start(proxy);
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(log.Lines, Refused({"SocksConnected(0)"}, c.code, c.msg));
    EXPECT_EQ(sock.State(), wsClosed);
  }
}

TEST_F(SocksScripted, CredentialsReplyOneByteAtATimeIsDecidedByTheSecondByte) {
  ScriptedProxy proxy(Concat(
      {{ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 2})), ScriptedProxy::Expect(8)},
       ScriptedProxy::SendBytewise(Bytes({1, 0})),
       {ScriptedProxy::Expect(kRequest5.size()), ScriptedProxy::Send(kGranted5)}}));
  sock.SetSocksAuthentication(socksAuthenticateUsercode);
  sock.SetSocksUsercode("joe");
  sock.SetSocksPassword("pw");
  Start(proxy);
  // The method reply (2 bytes) and the first credentials byte have been read.
  ASSERT_TRUE(PumpUntil([&] { return sock.ReadCount() == 3; }));
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(0)", "AuthState(0)"}));
  proxy.Release();
  ASSERT_TRUE(PumpUntil([&] { return log.Has("SessionConnected(0)"); }));
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(0)", "AuthState(0)",
                                                 "AuthState(1)", "SessionConnected(0)"}));
}

TEST_F(SocksScripted, CredentialsRefusedOrMalformed) {
  struct Case {
    Steps reply;
    int code;
    std::string msg;
  };
  const std::vector<Case> cases = {
      {ScriptedProxy::SendBytewise(Bytes({1, 1})), 20015, "socks authentication failed"},
      {{ScriptedProxy::Send(Bytes({2, 0}))}, 20002, "socks version error"},
      {{ScriptedProxy::Send(Bytes({1, 0, 0}))}, 20001, "too much data availaible"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.msg);
    log.Lines.clear();
    closed = false;
    ScriptedProxy proxy(Concat(
        {{ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 2})), ScriptedProxy::Expect(8)},
         c.reply}));
    sock.SetSocksAuthentication(socksAuthenticateUsercode);
    sock.SetSocksUsercode("joe");
    sock.SetSocksPassword("pw");
    Start(proxy);
    if (c.reply.size() > 1) {
      ASSERT_TRUE(PumpUntil([&] { return sock.ReadCount() == 3; }));
      EXPECT_FALSE(log.Has("AuthState(2)"));  // one byte decides nothing
      proxy.Release();
    }
    ASSERT_TRUE(WaitClosed());
    // Rejected once when judged and once more as the connection closes while authenticating.
    const std::string code = std::to_string(c.code);
    EXPECT_EQ(log.Lines,
              (std::vector<std::string>{"SocksConnected(0)", "AuthState(0)", "AuthState(2)",
                                        "SocksError(" + code + "," + c.msg + ")",
                                        "SessionConnected(" + code + ")", "AuthState(2)",
                                        "SessionClosed(" + code + ")"}));
  }
}

TEST_F(SocksScripted, ProxyClosingDuringAuthenticationReportsRejectedAndOrdinaryClose) {
  ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 2})),
                       ScriptedProxy::Expect(8), ScriptedProxy::Close()});
  sock.SetSocksAuthentication(socksAuthenticateUsercode);
  sock.SetSocksUsercode("joe");
  sock.SetSocksPassword("pw");
  Start(proxy);
  ASSERT_TRUE(WaitClosed());
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(0)", "AuthState(0)",
                                                 "AuthState(2)", "SessionClosed(0)"}));
}

TEST_F(SocksScripted, Socks5ReplyCodesMapToTheirErrors) {
  const std::vector<std::pair<int, std::string>> expected = {
      {20004, "general SOCKS server failure"}, {20005, "connection not allowed by ruleset"},
      {20006, "network unreachable"},          {20007, "host unreachable"},
      {20008, "connection refused"},           {20009, "time to live expired"},
      {20010, "command not supported"},        {20011, "address type not supported"},
      {20012, "unassigned error #9"}};
  for (int code : {1, 2, 3, 4, 5, 6, 7, 8, 9, 42}) {
    SCOPED_TRACE(code);
    log.Lines.clear();
    closed = false;
    auto [error, msg] = code <= 9 ? expected[static_cast<std::size_t>(code - 1)]
                                  : std::pair<int, std::string>{20012, "unassigned error #42"};
    ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 0})),
                         ScriptedProxy::Expect(kRequest5.size()),
                         ScriptedProxy::Send(Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0}))});
    Start(proxy);
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(log.Lines, Refused({"SocksConnected(0)"}, error, msg));
  }
}

TEST_F(SocksScripted, MalformedSocks5ConnectReplies) {
  struct Case {
    std::string reply;
    int code;
    std::string msg;
  };
  for (const auto& c : {Case{Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0}), 20002, "socks version error"},
                        Case{Bytes({5, 0, 0, 4, 0}), 20011, "address type not supported"},  // IPv6
                        Case{Bytes({5, 0, 0, 0, 0}), 20011, "address type not supported"}}) {
    SCOPED_TRACE(c.msg);
    log.Lines.clear();
    closed = false;
    ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 0})),
                         ScriptedProxy::Expect(kRequest5.size()), ScriptedProxy::Send(c.reply)});
    Start(proxy);
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(log.Lines, Refused({"SocksConnected(0)"}, c.code, c.msg));
  }
}

TEST_F(SocksScripted, Socks5ReplyInPiecesWithNameAddressIsAssembled) {
  const std::string reply = Bytes({5, 0, 0, 3, 9}) + "localhost" + Bytes({0, 25});
  ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 0})),
                       ScriptedProxy::Expect(kRequest5.size()),
                       ScriptedProxy::Send(reply.substr(0, 3)), ScriptedProxy::Pause(),
                       ScriptedProxy::Send(reply.substr(3) + "tail"), ScriptedProxy::Echo()});
  Start(proxy);
  ASSERT_TRUE(PumpUntil([&] { return sock.ReadCount() == 5; }));  // 2 + the first 3 bytes
  EXPECT_FALSE(log.Has("SessionConnected(0)"));
  proxy.Release();
  ASSERT_TRUE(PumpUntil([&] { return data == "tail"; }));
  EXPECT_EQ(firstDataCount, 4);
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(0)", "SessionConnected(0)"}));
}

TEST_F(SocksScripted, LongestNameReplyWithDataBehindIsReadInFull) {
  // A 255-byte bound name makes a 262-byte reply: more than a 128-byte area could hold.
  const std::string reply = Bytes({5, 0, 0, 3, 255}) + std::string(255, 'n') + Bytes({0, 25});
  ScriptedProxy proxy({ScriptedProxy::Expect(3), ScriptedProxy::Send(Bytes({5, 0})),
                       ScriptedProxy::Expect(kRequest5.size()),
                       ScriptedProxy::Send(reply + "behind"), ScriptedProxy::Echo()});
  Start(proxy);
  ASSERT_TRUE(PumpUntil([&] { return data == "behind"; }));
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(0)", "SessionConnected(0)"}));
}

TEST_F(SocksScripted, Socks4RequestAndStatuses) {
  const std::string request = Bytes({4, 1, 0x09, 0xDD, 127, 0, 0, 1, 0});  // empty user code
  struct Case {
    int status;
    int code;
    std::string msg;
  };
  for (const auto& c :
       {Case{91, 20016, "request rejected or failed"}, Case{92, 20008, "connection refused"},
        Case{93, 20015, "authentification failed"}, Case{94, 20012, "unassigned error #94"}}) {
    SCOPED_TRACE(c.status);
    log.Lines.clear();
    closed = false;
    ScriptedProxy proxy({ScriptedProxy::Expect(request.size()),
                         ScriptedProxy::Send(Bytes({0, c.status, 0, 0, 0, 0, 0, 0}))});
    Start(proxy, "4", "127.0.0.1");
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(proxy.Received(), request);
    EXPECT_EQ(log.Lines, Refused({"SocksConnected(0)"}, c.code, c.msg));
  }
}

TEST_F(SocksScripted, Socks4GrantedThenDataBothWays) {
  ScriptedProxy proxy({ScriptedProxy::Expect(9),
                       ScriptedProxy::Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "hi"),
                       ScriptedProxy::Echo()});
  Start(proxy, "4", "127.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return data == "hi"; }));
  sock.SendText("there");
  ASSERT_TRUE(PumpUntil([&] { return data == "hithere"; }));
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(0)", "SessionConnected(0)"}));
}

TEST_F(SocksScripted, Socks4ReplyWithWrongVersion) {
  ScriptedProxy proxy(
      {ScriptedProxy::Expect(9), ScriptedProxy::Send(Bytes({4, 90, 0, 0, 0, 0, 0, 0}))});
  Start(proxy, "4", "127.0.0.1");
  ASSERT_TRUE(WaitClosed());
  EXPECT_EQ(log.Lines, Refused({"SocksConnected(0)"}, 20002, "socks version error"));
}

TEST_F(SocksScripted, Socks4ARequestCarriesUserAndHostName) {
  const std::string request =
      Bytes({4, 1, 0x09, 0xDD, 0, 0, 0, 1}) + "bob" + Bytes({0}) + "mail" + Bytes({0});
  ScriptedProxy proxy({ScriptedProxy::Expect(request.size()),
                       ScriptedProxy::Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}))});
  sock.SetSocksUsercode("bob");
  Start(proxy, "4a", "mail");
  ASSERT_TRUE(PumpUntil([&] { return log.Has("SessionConnected(0)"); }));
  EXPECT_EQ(proxy.Received().substr(0, request.size()), request);
  EXPECT_EQ(sock.SocksLevel(), "4A");
}

TEST_F(SocksScripted, Socks4TargetThatCannotBeResolvedFailsWith20017) {
  SetNameService([](const std::string&, Winsock::HostEntry&) { return WSAHOST_NOT_FOUND; });
  ScriptedProxy proxy({});
  Start(proxy, "4", "nowhere.test");
  ASSERT_TRUE(WaitClosed());
  ResetNameService();
  ASSERT_EQ(log.Lines.size(), 3u);
  EXPECT_EQ(log.Lines[0], "SocksConnected(0)");
  EXPECT_EQ(log.Lines[1].rfind("SocksError(20017,ESocketException ", 0), 0u) << log.Lines[1];
  EXPECT_EQ(log.Lines[2], "SessionClosed(20017)");
  EXPECT_EQ(proxy.Received(), "");  // nothing was sent
}

TEST_F(SocksScripted, RefusedTcpConnectionToTheProxy) {
  const int port = socks_test::FreeLoopbackPort();
  sock.SetSocksServer("127.0.0.1");
  sock.SetSocksPort(std::to_string(port));
  sock.SetAddr("localhost");
  sock.SetPort("25");
  sock.Connect();
  ASSERT_TRUE(WaitClosed());
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"SocksConnected(10061)", "SessionConnected(10061)",
                                                 "SessionClosed(0)"}));
}

}  // namespace

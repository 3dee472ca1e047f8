// The command engine against scripted loopback servers: reply assembly, completion, errors,
// the sequences, abort, and failures of the connection itself.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "net/NetTrace.h"
#include "tests/smtp/SmtpTestSupport.h"

using namespace smtptest;
using S = ScriptedServer;

namespace {

class SmtpEngine : public ::testing::Test {
 protected:
  void Use(const ScriptedServer& Server) {
    client.SetHost("127.0.0.1");
    client.SetPort(Server.PortText());
  }
  bool WaitDone(std::size_t Count) {
    return PumpUntil([&] { return log.done.size() >= Count; });
  }
  // Opens a session with Server, then sends MAIL FROM; true once both requests completed.
  bool OpenThenMailFrom(const ScriptedServer& Server) {
    Use(Server);
    client.Open();
    if (!WaitDone(1)) return false;
    client.SetFromName("a@b.example");
    client.MailFrom();
    return WaitDone(2);
  }
  // Lets a stray second completion show up before the counts are asserted.
  void Settle() { EventLoop::Current().ProcessMessages(); }

  TestSmtpCli client;
  EventLog log;
  void SetUp() override { log.Attach(client); }
};

std::vector<S::Step> Greeting(const std::string& Banner = "220 scripted ready\r\n") {
  return {S::Reply(Banner), S::ReadLine(), S::Reply("250 hello\r\n")};
}

// The greeting, then the server's side of the next command: it reads the line and goes on with
// Steps.
std::vector<S::Step> GreetingThenCommand(std::initializer_list<S::Step> Steps) {
  std::vector<S::Step> script = Greeting();
  script.push_back(S::ReadLine());
  script.insert(script.end(), Steps);
  return script;
}

}  // namespace

TEST_F(SmtpEngine, OpenSendsHeloAndCompletesOnceWithSmtpOpen) {
  ScriptedServer server(Greeting());
  Use(server);
  client.SetSignOn(" my.host ");
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  Settle();
  ASSERT_EQ(log.done.size(), 1u);
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpOpen);
  EXPECT_EQ(log.done[0].error, 0);
  EXPECT_EQ(log.sessionConnected, 1);
  EXPECT_EQ(client.State(), TSmtpState::smtpReady);
  PumpUntil([&] { return server.Done(); });
  // SignOn goes out as it is, not trimmed.
  EXPECT_EQ(server.Transcript(), "HELO  my.host \r\n");
}

TEST_F(SmtpEngine, MultiLineReplyCompletesOnceOnItsLastLine) {
  ScriptedServer server(
      GreetingThenCommand({S::Reply("250-first\r\n250-second\r\n"), S::Reply("250 last\r\n")}));
  ASSERT_TRUE(OpenThenMailFrom(server));
  Settle();
  ASSERT_EQ(log.done.size(), 2u);
  EXPECT_EQ(log.done[1].request, TSmtpRequest::smtpMailFrom);
  EXPECT_EQ(log.done[1].error, 0);
  const std::vector<std::string> tail(log.response.end() - 3, log.response.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"250-first", "250-second", "250 last"}));
  const std::vector<std::string> shown(log.display.end() - 3, log.display.end());
  EXPECT_EQ(shown, (std::vector<std::string>{"< 250-first", "< 250-second", "< 250 last"}));
  EXPECT_EQ(client.LastResponse(), "250 last");
}

TEST_F(SmtpEngine, ReplySplitAcrossReadsIsEvaluatedOnceWhenItsLineEndArrives) {
  ScriptedServer server(GreetingThenCommand({S::Reply("25"), S::Gate(), S::Reply("0 ok\r\n")}));
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  client.SetFromName("a@b.example");
  const int before = client.Socket().ReadCount();
  client.MailFrom();
  // The first two digits arrive in a read of their own; nothing is evaluated yet.
  ASSERT_TRUE(PumpUntil([&] { return client.Socket().ReadCount() >= before + 2; }));
  Settle();
  EXPECT_EQ(log.done.size(), 1u);
  EXPECT_EQ(client.State(), TSmtpState::smtpWaitingResponse);
  server.Release();
  ASSERT_TRUE(WaitDone(2));
  Settle();
  ASSERT_EQ(log.done.size(), 2u);
  EXPECT_EQ(log.done[1].error, 0);
  EXPECT_EQ(log.response.back(), "250 ok");
}

TEST_F(SmtpEngine, TwoLineGreetingConnectsOnceAfterItsSecondLine) {
  ScriptedServer server({S::Reply("220-welcome\r\n"), S::Gate(), S::Reply("220 ready\r\n")});
  Use(server);
  client.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.response.size() == 1; }));
  Settle();
  EXPECT_EQ(log.sessionConnected, 0);
  server.Release();
  ASSERT_TRUE(WaitDone(1));
  Settle();
  EXPECT_EQ(log.sessionConnected, 1);
  ASSERT_EQ(log.done.size(), 1u);
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpConnect);
  EXPECT_EQ(log.done[0].error, 0);
}

TEST_F(SmtpEngine, TwoReplyLinesInOneReadAreHandledInOrder) {
  // The greeting and the reply to HELO arrive together, before HELO is even sent.
  ScriptedServer server({S::Reply("220 ready\r\n250 hello\r\n"), S::ReadLine()});
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  Settle();
  ASSERT_EQ(log.done.size(), 1u);
  EXPECT_EQ(log.done[0].error, 0);
  EXPECT_EQ(log.response, (std::vector<std::string>{"220 ready", "250 hello"}));
}

TEST_F(SmtpEngine, RefusedGreetingClosesAndCompletesWith10004) {
  ScriptedServer server({S::Reply("554 go away\r\n250 never read\r\n"), S::ReadToEnd()});
  Use(server);
  client.Connect();
  ASSERT_TRUE(WaitDone(1));
  Settle();
  ASSERT_EQ(log.done.size(), 1u);
  EXPECT_EQ(log.done[0].error, WSAEINTR);
  EXPECT_EQ(client.ErrorMessage(), "554 go away");
  EXPECT_EQ(log.sessionConnected, 0);
  EXPECT_EQ(log.sessionClosed, 1);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(log.response.size(), 1u);  // the line after it stays unread
}

// A line without digits reads as code 0; it is refused, and the refusal is reported as 500, not
// as a 0 that would read as success.
TEST_F(SmtpEngine, ReplyWithoutDigitsReadsAsCodeZeroAndIsReportedAsFailure) {
  ScriptedServer server(GreetingThenCommand({S::Reply("what?\r\n")}));
  ASSERT_TRUE(OpenThenMailFrom(server));
  EXPECT_EQ(log.done[1].error, 500);
  EXPECT_EQ(client.ErrorMessage(), "what?");
}

TEST_F(SmtpEngine, QuitAnsweredThenClosedGivesNoSecondCompletion) {
  ScriptedServer server(GreetingThenCommand({S::Reply("221 bye\r\n"), S::Close()}));
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  client.Quit();
  ASSERT_TRUE(PumpUntil([&] { return log.sessionClosed == 1 && log.done.size() >= 2; }));
  Settle();
  ASSERT_EQ(log.done.size(), 2u);
  EXPECT_EQ(log.done[1].request, TSmtpRequest::smtpQuit);
  EXPECT_EQ(log.done[1].error, 0);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(server.Transcript().substr(server.Transcript().size() - 6), "QUIT\r\n");
}

TEST_F(SmtpEngine, QuitWithoutConnectionCompletesAtOnceWithoutTraffic) {
  client.Quit();
  ASSERT_TRUE(WaitDone(1));
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpQuit);
  EXPECT_EQ(log.done[0].error, 0);
  EXPECT_TRUE(log.command.empty());
}

TEST_F(SmtpEngine, CommandsChainFromInsideOnRequestDone) {
  auto script = Greeting();
  for (const char* reply : {"250 sender ok\r\n", "250 rcpt ok\r\n", "221 bye\r\n"}) {
    script.push_back(S::ReadLine());
    script.push_back(S::Reply(reply));
  }
  ScriptedServer server(script);
  Use(server);
  client.SetFromName("a@b.example");
  client.RcptName().Add("c@d.example");
  log.onDone = [](TCustomSmtpClient* c, TSmtpRequest r, std::uint16_t e) {
    if (e != 0) return;
    if (r == TSmtpRequest::smtpOpen) c->MailFrom();
    if (r == TSmtpRequest::smtpMailFrom) c->RcptTo();
    if (r == TSmtpRequest::smtpRcptTo) c->Quit();
  };
  client.Open();
  ASSERT_TRUE(WaitDone(4));
  Settle();
  ASSERT_EQ(log.done.size(), 4u);
  EXPECT_EQ(log.done[3].request, TSmtpRequest::smtpQuit);
  for (const auto& d : log.done) EXPECT_EQ(d.error, 0);
  PumpUntil([&] { return server.Done(); });
  EXPECT_EQ(server.Transcript().substr(server.Transcript().find("MAIL")),
            "MAIL FROM:<a@b.example>\r\nRCPT TO:<c@d.example>\r\nQUIT\r\n");
}

TEST_F(SmtpEngine, RecipientsGoOneByOneAndAFirstRefusalOnlyLeavesItsLine) {
  auto script = Greeting();
  for (const char* reply : {"550 no such user\r\n", "250 ok\r\n", "251 forwarded\r\n"}) {
    script.push_back(S::ReadLine());
    script.push_back(S::Reply(reply));
  }
  ScriptedServer server(script);
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  // Brackets: added to a bare address, kept (trimmed) when both are there, added around the
  // whole value when only one is there.
  client.SetRcptName({" bad@x.example ", "Name <good@x.example> ", "<half@x.example"});
  client.RcptTo();
  ASSERT_TRUE(WaitDone(2));
  Settle();
  ASSERT_EQ(log.done.size(), 2u);
  EXPECT_EQ(log.done[1].request, TSmtpRequest::smtpRcptTo);
  EXPECT_EQ(log.done[1].error, 0);
  EXPECT_EQ(client.ErrorMessage(), "550 no such user");
  PumpUntil([&] { return server.Done(); });
  EXPECT_EQ(server.Transcript().substr(server.Transcript().find("RCPT")),
            "RCPT TO:<bad@x.example>\r\nRCPT TO:Name <good@x.example>\r\n"
            "RCPT TO:<<half@x.example>\r\n");
}

TEST_F(SmtpEngine, SingleRefusedRecipientCompletesWithItsCode) {
  ScriptedServer server(GreetingThenCommand({S::Reply("550 5.1.1 unknown\r\n")}));
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  client.RcptName().Add("x@y.example");
  client.RcptTo();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(log.done[1].error, 550);
  EXPECT_EQ(client.ErrorMessage(), "550 5.1.1 unknown");
}

TEST_F(SmtpEngine, OpenWithRefusedHeloReportsOpenThenSingleHeloReportsHelo) {
  ScriptedServer server({S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply("501 bad name\r\n"),
                         S::ReadLine(), S::Reply("250 fine\r\n")});
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpOpen);
  EXPECT_EQ(log.done[0].error, 501);
  EXPECT_EQ(client.ErrorMessage(), "501 bad name");
  client.Helo();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(log.done[1].request, TSmtpRequest::smtpHelo);
  EXPECT_EQ(log.done[1].error, 0);
  EXPECT_EQ(client.ErrorMessage(), "501 bad name");  // single commands do not clear it
}

TEST_F(SmtpEngine, MisuseRaisesTheExactTextsAndChangesNothing) {
  auto expectText = [](const std::function<void()>& f, const std::string& text) {
    try {
      f();
      ADD_FAILURE() << "no exception, expected: " << text;
    } catch (const SmtpException& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
  };
  expectText([&] { client.Helo(); }, "SMTP component not connected");
  expectText([&] { client.RcptTo(); }, "RcptName list is empty");
  ScriptedServer server({S::Reply("220 ready\r\n"), S::ReadLine()});
  Use(server);
  client.Connect();
  expectText([&] { client.Helo(); }, "SMTP component not ready");
  ASSERT_TRUE(WaitDone(1));
  expectText([&] { client.Connect(); }, "SMTP component already connected");
  expectText([&] { client.Open(); }, "SMTP component already connected");
  client.SetFromName("a@b\r\nRSET");
  expectText([&] { client.MailFrom(); }, "FromName holds a line break");
  EXPECT_EQ(client.State(), TSmtpState::smtpReady);
  Settle();
  EXPECT_EQ(log.done.size(), 1u);
}

TEST_F(SmtpEngine, MailSequenceCompletesOnceAfterTheFinalDot) {
  auto script = Greeting();
  for (const char* reply : {"250 ok\r\n", "250 ok\r\n", "354 go\r\n"}) {
    script.push_back(S::ReadLine());
    script.push_back(S::Reply(reply));
  }
  script.push_back(S::ReadData());
  script.push_back(S::Reply("250 queued\r\n"));
  ScriptedServer server(script);
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  client.SetFromName("a@b.example");
  client.RcptName().Add("c@d.example");
  client.Mail();
  ASSERT_TRUE(WaitDone(2));
  Settle();
  ASSERT_EQ(log.done.size(), 2u);
  EXPECT_EQ(log.done[1].request, TSmtpRequest::smtpMail);
  EXPECT_EQ(log.done[1].error, 0);
}

TEST_F(SmtpEngine, VrfyVerifiesHdrTo) {
  ScriptedServer server(GreetingThenCommand({S::Reply("250 known\r\n")}));
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  client.SetHdrTo("Someone <s@x.example>");
  client.RcptName().Add("other@x.example");
  client.Vrfy();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(log.done[1].request, TSmtpRequest::smtpVrfy);
  PumpUntil([&] { return server.Done(); });
  EXPECT_NE(server.Transcript().find("VRFY Someone <s@x.example>\r\n"), std::string::npos);
}

TEST_F(SmtpEngine, OverlongReplyLineEndsTheRequestWith500AndClosesTheConnection) {
  ScriptedServer server(GreetingThenCommand(
      {S::Reply("250-" + std::string(10000, 'x') + "\r\n250 ok\r\n"), S::ReadToEnd()}));
  ASSERT_TRUE(OpenThenMailFrom(server));
  ASSERT_TRUE(PumpUntil([&] { return log.sessionClosed == 1; }));
  Settle();
  ASSERT_EQ(log.done.size(), 2u);
  EXPECT_EQ(log.done[1].error, 500);
  EXPECT_EQ(client.ErrorMessage(),
            "500 Reply line from the server longer than 4093 bytes; connection closed");
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.State(), TSmtpState::smtpReady);
}

TEST_F(SmtpEngine, ServerTextIsShownWithoutControlCharacters) {
  ScriptedServer server(
      GreetingThenCommand({S::Reply(std::string("550 \x1b[31mred\0zero\r\n", 20))}));
  ASSERT_TRUE(OpenThenMailFrom(server));
  EXPECT_EQ(log.done[1].error, 550);
  EXPECT_EQ(client.ErrorMessage(), "550 ?[31mred?zero");
}

TEST_F(SmtpEngine, ConnectionLostWhileWaitingCompletesWith10004AndSaysSo) {
  ScriptedServer server(GreetingThenCommand({S::Close()}));
  ASSERT_TRUE(OpenThenMailFrom(server));
  Settle();
  EXPECT_EQ(log.done[1].error, WSAEINTR);
  EXPECT_EQ(log.sessionClosed, 1);
  EXPECT_EQ(client.ErrorMessage().rfind("500 Connection closed", 0), 0u) << client.ErrorMessage();
}

// --- failures of the connection itself ---

TEST_F(SmtpEngine, ClosedPortCompletesWithTheWinsockCodeAndText) {
  // A port that was just free: bind, read the number, close.
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  client.SetHost("127.0.0.1");
  client.SetPort(std::to_string(ntohs(a.sin_port)));
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  Settle();
  ASSERT_EQ(log.done.size(), 1u);
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpOpen);
  EXPECT_EQ(log.done[0].error, WSAECONNREFUSED);
  EXPECT_EQ(client.ErrorMessage(), "500 Connection refused (Winsock error #10061)");
  EXPECT_EQ(client.State(), TSmtpState::smtpReady);
  EXPECT_FALSE(client.Connected());
}

TEST_F(SmtpEngine, SilentServerEndsTheRequestAfterTheTimeoutInsteadOfHanging) {
  // The kernel completes the connection on a listening socket nobody serves: no greeting ever.
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(s, 1), 0);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  client.SetHost("127.0.0.1");
  client.SetPort(std::to_string(ntohs(a.sin_port)));
  client.SetTimeout(1);
  FakeClock clock(FakeClock::Timers::Driven);
  client.SetClock(clock.Clock());
  client.Open();
  ASSERT_TRUE(PumpUntil([&] { return client.State() == TSmtpState::smtpWaitingBanner; }));
  clock.Advance(std::chrono::milliseconds(999));
  PumpFor(50);
  EXPECT_TRUE(log.done.empty()) << "a millisecond early";
  clock.Advance(std::chrono::milliseconds(1));
  const bool done = WaitDone(1);
  ::close(s);
  ASSERT_TRUE(done);
  Settle();
  ASSERT_EQ(log.done.size(), 1u);
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpOpen);
  EXPECT_EQ(log.done[0].error, 500);
  EXPECT_EQ(client.ErrorMessage(),
            "500 No complete reply from the server within 1 seconds; connection closed");
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.State(), TSmtpState::smtpReady);
}

TEST_F(SmtpEngine, UnknownHostCompletesWithTheLookupCode) {
  SetNameService([](const std::string&, Winsock::HostEntry&) { return WSAHOST_NOT_FOUND; });
  client.SetHost("no-such-host.invalid");
  client.SetPort("25");
  client.Open();
  const bool done = WaitDone(1);
  ResetNameService();
  ASSERT_TRUE(done);
  EXPECT_EQ(log.done[0].error, WSAHOST_NOT_FOUND);
  EXPECT_EQ(client.ErrorMessage(),
            "500 " + SocketErrorText(WSAHOST_NOT_FOUND) + " (Winsock error #11001)");
}

TEST_F(SmtpEngine, UnknownServiceNameCompletesWith500AndTheSocketsMessage) {
  client.SetHost("127.0.0.1");
  client.SetPort("no-such-service");
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  EXPECT_EQ(log.done[0].error, 500);
  EXPECT_EQ(client.ErrorMessage().rfind("500 ESocketException: ", 0), 0u) << client.ErrorMessage();
}

// --- abort in every phase ---

TEST_F(SmtpEngine, AbortDuringLookupEndsTheRequestOnce) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  SetNameService([&](const std::string&, Winsock::HostEntry&) {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return release; });
    return WSAHOST_NOT_FOUND;
  });
  client.SetHost("slow.example");
  client.Open();
  EXPECT_EQ(client.State(), TSmtpState::smtpDnsLookup);
  client.Abort();
  const bool done = WaitDone(1);
  {
    std::lock_guard<std::mutex> g(m);
    release = true;
  }
  cv.notify_all();
  Settle();
  ASSERT_TRUE(done);
  ASSERT_EQ(log.done.size(), 1u);
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpOpen);
  EXPECT_NE(log.done[0].error, 0);
  EXPECT_EQ(client.State(), TSmtpState::smtpReady);
  Winsock::ShutdownLookupWorker();  // joins the worker once the blocked lookup has returned
  ResetNameService();
}

TEST_F(SmtpEngine, AbortWhileConnectingEndsTheRequestOnce) {
  ScriptedServer server({S::Reply("220 ready\r\n"), S::ReadToEnd()});
  Use(server);
  client.Open();
  ASSERT_EQ(client.State(), TSmtpState::smtpConnecting);
  client.Abort();
  ASSERT_TRUE(WaitDone(1));
  Settle();
  ASSERT_EQ(log.done.size(), 1u);
  EXPECT_EQ(log.done[0].error, WSAEINTR);
  EXPECT_FALSE(client.Connected());
}

TEST_F(SmtpEngine, AbortWhileWaitingForAReplyEndsTheRequestOnceAndAllowsANewOpen) {
  ScriptedServer server({S::Reply("220 ready\r\n"), S::ReadLine(), S::ReadToEnd()}, 2);
  Use(server);
  client.Open();
  ASSERT_TRUE(PumpUntil([&] { return client.State() == TSmtpState::smtpWaitingResponse; }));
  client.Abort();
  ASSERT_TRUE(WaitDone(1));
  Settle();
  ASSERT_EQ(log.done.size(), 1u);
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpOpen);
  EXPECT_EQ(log.done[0].error, WSAEINTR);
  EXPECT_EQ(client.ErrorMessage(), "426 Operation aborted.");
  // The retry of the composer: a new Open right away works.
  client.Open();
  ASSERT_TRUE(PumpUntil([&] { return client.State() == TSmtpState::smtpWaitingResponse; }));
  client.Abort();
  ASSERT_TRUE(WaitDone(2));
}

TEST(SmtpEngineLifetime, ClientDestroyedFromItsOwnRequestDoneHandler) {
  ScriptedServer server(
      {S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply("250 hello\r\n"), S::ReadToEnd()});
  auto client = std::make_unique<TSmtpCli>();
  int calls = 0;
  client->SetHost("127.0.0.1");
  client->SetPort(server.PortText());
  client->OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest, std::uint16_t) {
    ++calls;
    client.reset();
  };
  client->Open();
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  EventLoop::Current().ProcessMessages();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(client, nullptr);
}

// --- replies: line ends, every line kept, bounded size and time ---

TEST_F(SmtpEngine, RepliesEndingInABareLineFeedAreRecognised) {
  ScriptedServer server({S::Reply("220-hello\n220 ready\n"), S::ReadLine(),
                         S::Reply("250-first\n250 last\r\n"), S::ReadLine(), S::Reply("250 ok\n")});
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  EXPECT_EQ(log.done[0].error, 0);
  EXPECT_EQ(log.response,
            (std::vector<std::string>{"220-hello", "220 ready", "250-first", "250 last"}));
  client.SetFromName("a@b.example");
  client.MailFrom();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(log.done[1].error, 0);
  EXPECT_EQ(client.LastResponse(), "250 ok");
}

TEST_F(SmtpEngine, EveryLineOfAMultiLineReplyIsKeptUntilTheNextReplyBegins) {
  ScriptedServer server(
      GreetingThenCommand({S::Reply("250-mail.example\r\n250-SIZE 1000\r\n250 8BITMIME\r\n"),
                           S::ReadLine(), S::Reply("250 ok\r\n")}));
  Use(server);
  client.Open();
  ASSERT_TRUE(WaitDone(1));
  EXPECT_EQ(client.ReplyLines(), (TStringList{"250 hello"}));
  std::vector<std::string> seenOnDone;
  log.onDone = [&](TCustomSmtpClient* c, TSmtpRequest, std::uint16_t) {
    seenOnDone = c->ReplyLines().Lines();
  };
  client.SetFromName("a@b.example");
  client.MailFrom();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(seenOnDone,
            (std::vector<std::string>{"250-mail.example", "250-SIZE 1000", "250 8BITMIME"}));
  client.RcptName().Add("c@d.example");
  client.RcptTo();
  ASSERT_TRUE(WaitDone(3));
  EXPECT_EQ(client.ReplyLines(), (TStringList{"250 ok"}));
}

// Only three digits (2 to 5 first), then the end, a blank or "-", make a reply line, and every
// line of a reply carries its first line's code; anything else fails the command.
TEST_F(SmtpEngine, MalformedReplyCodesFailTheCommand) {
  struct Case {
    std::string reply;
    std::string error;  // ErrorMessage
  };
  const std::vector<Case> cases = {
      {"2500 ok\r\n", "2500 ok"},
      {" 250 ok\r\n", " 250 ok"},
      {"250ok\r\n", "250ok"},
      {"650 what\r\n", "650 what"},
      {"250-first\r\n251 other\r\n", "251 other"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    TestSmtpCli fresh;
    EventLog events;
    events.Attach(fresh);
    ScriptedServer server(GreetingThenCommand({S::Reply(c.reply)}));
    fresh.SetHost("127.0.0.1");
    fresh.SetPort(server.PortText());
    fresh.Open();
    ASSERT_TRUE(PumpUntil([&] { return events.done.size() == 1; }));
    fresh.SetFromName("a@b.example");
    fresh.MailFrom();
    ASSERT_TRUE(PumpUntil([&] { return events.done.size() == 2; }));
    EXPECT_EQ(events.done[1].error, 500);
    EXPECT_EQ(fresh.ErrorMessage(), c.error);
    EXPECT_FALSE(fresh.ErrorIsPermanent()) << "no code, no permanent refusal";
  }
}

TEST_F(SmtpEngine, ReplyOfTooManyLinesEndsTheRequestAndTheConnection) {
  std::string endless;
  for (int i = 0; i < TCustomSmtpClient::MaxReplyLines; ++i) endless += "250-more\r\n";
  ScriptedServer server(GreetingThenCommand({S::Reply(endless + "250 end\r\n"), S::ReadToEnd()}));
  ASSERT_TRUE(OpenThenMailFrom(server));
  Settle();
  EXPECT_EQ(log.done[1].error, 500);
  EXPECT_EQ(client.ErrorMessage(),
            "500 Reply from the server longer than 100 lines or 51200 bytes; connection closed");
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.ReplyLines().Count(), TCustomSmtpClient::MaxReplyLines);
}

// "220-please wait" every 30 seconds: each line is news, but the greeting as a whole gets its
// five minutes and no more.
TEST_F(SmtpEngine, AServerTricklingLinesCannotStretchAReplyBeyondItsBound) {
  std::vector<S::Step> script;
  for (int i = 0; i < 12; ++i) {
    script.push_back(S::Reply("220-please wait\r\n"));
    script.push_back(S::Gate());
  }
  script.push_back(S::ReadToEnd());
  ScriptedServer server(script);
  FakeClock clock;
  client.SetClock(clock.Clock());
  Use(server);
  client.Open();
  for (std::size_t line = 1; log.done.empty() && line <= 12; ++line) {
    ASSERT_TRUE(PumpUntil([&] { return log.response.size() == line || !log.done.empty(); }));
    clock.Advance(std::chrono::seconds(30));
    server.Release();
  }
  ASSERT_TRUE(WaitDone(1));
  EXPECT_EQ(log.response.size(), 10u) << "the line that comes after 300 seconds ends the wait";
  EXPECT_EQ(log.done[0].error, 500);
  EXPECT_EQ(client.ErrorMessage(),
            "500 No complete reply from the server within 300 seconds; connection closed");
  EXPECT_EQ(log.sessionConnected, 0);
}

// Each command's reply is bounded on its own (RFC 5321 4.5.3.2), and Timeout caps every bound;
// QUIT, after which nothing is at stake, waits a few seconds only.
TEST_F(SmtpEngine, EachReplyHasItsOwnBoundAndTimeoutCapsThem) {
  struct Case {
    std::uint32_t timeout;
    bool quit;
    int seconds;  // the bound that applies
  };
  for (const Case& c : {Case{0, false, 300}, Case{60, false, 60}, Case{0, true, 5}}) {
    SCOPED_TRACE(c.seconds);
    TestSmtpCli fresh;
    EventLog events;
    events.Attach(fresh);
    FakeClock clock(FakeClock::Timers::Driven);
    fresh.SetClock(clock.Clock());
    fresh.SetTimeout(c.timeout);
    ScriptedServer server(GreetingThenCommand({S::ReadToEnd()}));
    fresh.SetHost("127.0.0.1");
    fresh.SetPort(server.PortText());
    fresh.Open();
    ASSERT_TRUE(PumpUntil([&] { return events.done.size() == 1; }));
    fresh.SetFromName("a@b.example");
    if (c.quit)
      fresh.Quit();
    else
      fresh.MailFrom();
    clock.Advance(std::chrono::seconds(c.seconds - 1));
    PumpFor(50);
    EXPECT_EQ(events.done.size(), 1u) << "not yet";
    clock.Advance(std::chrono::seconds(1));
    ASSERT_TRUE(PumpUntil([&] { return events.done.size() == 2; }));
    EXPECT_EQ(events.done[1].error, 500);
    EXPECT_EQ(fresh.ErrorMessage(), "500 No complete reply from the server within " +
                                        std::to_string(c.seconds) + " seconds; connection closed");
  }
}

// With the socket trace on, every change of the client's state is one "old -> new" line, also
// the client's own quiet steps; the owner's OnStateChange is not told more than before. Off, the
// trace writes nothing.
TEST(SmtpState, TraceShowsEveryChangeOldToNewOnlyWhenSwitchedOn) {
  auto run = [](bool Trace, int& Notices) {
    TestSmtpCli client;
    client.OnStateChange = [&](TCustomSmtpClient*) { ++Notices; };
    ::testing::internal::CaptureStderr();
    NetTrace::SetEnabled(Trace);
    client.SetWaitingBanner();
    client.Feed("220 ready\r\n");
    client.SetRcptName({"a@x.example", "b@x.example"});
    client.RcptTo();
    client.Feed("250 a\r\n250 b\r\n");
    NetTrace::SetEnabled(false);
    return ::testing::internal::GetCapturedStderr();
  };
  int noticesOn = 0, noticesOff = 0;
  const std::string trace = run(true, noticesOn);
  for (const char* change : {"net: smtp state smtpReady -> smtpWaitingBanner\n",
                             "net: smtp state smtpWaitingBanner -> smtpConnected\n",
                             "net: smtp state smtpConnected -> smtpReady\n",
                             "net: smtp state smtpReady -> smtpWaitingResponse\n",
                             "net: smtp state smtpWaitingResponse -> smtpInternalReady\n",
                             "net: smtp state smtpInternalReady -> smtpWaitingResponse\n",
                             "net: smtp state smtpWaitingResponse -> smtpReady\n"})
    EXPECT_NE(trace.find(change), std::string::npos) << change << "in:\n" << trace;
  EXPECT_EQ(run(false, noticesOff), "");
  // Banner, connected, ready, waiting, waiting again for the second recipient, ready.
  EXPECT_EQ(noticesOn, 6);
  EXPECT_EQ(noticesOff, noticesOn);
}

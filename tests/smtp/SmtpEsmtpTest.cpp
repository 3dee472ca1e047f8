// ESMTP: the EHLO reply parser, EHLO in the client, SIZE and BODY on MAIL FROM, STARTTLS before
// the handshake, and AUTH (SCRAM-SHA-256 against RFC 7677's exchange, PLAIN, LOGIN, XOAUTH2)
// against scripted servers. AUTH needs an encrypted session: these tests let it run over plain
// loopback (PretendEncrypted); the real TLS sessions are tested against real servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "tests/smtp/SmtpTestSupport.h"

using namespace smtptest;
using S = ScriptedServer;

namespace {

std::vector<std::string> Lines(std::initializer_list<const char*> Texts) {
  return {Texts.begin(), Texts.end()};
}

TSmtpCapabilities Parse(const std::vector<std::string>& Reply) {
  TSmtpCapabilities caps;
  std::string problem;
  EXPECT_TRUE(ParseEhloReply(Reply, caps, problem)) << problem;
  return caps;
}

std::string B64(std::string_view Text) {
  return Base64EncodeLine(reinterpret_cast<const unsigned char*>(Text.data()), Text.size());
}

// The greeting and an EHLO answered with Extensions (each "250-" but the last "250 ").
std::vector<S::Step> EhloGreeting(std::initializer_list<const char*> Extensions) {
  std::string reply = "250-scripted.example";
  for (const char* e : Extensions) reply += std::string("\r\n250-") + e;
  reply += "\r\n";
  reply.replace(reply.rfind("250-"), 4, "250 ");
  return {S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply(reply)};
}

std::vector<S::Step> Then(std::vector<S::Step> Script, std::initializer_list<S::Step> More) {
  Script.insert(Script.end(), More);
  return Script;
}

class SmtpEsmtp : public ::testing::Test {
 protected:
  void SetUp() override {
    log.Attach(client);
    client.SetSignOn("client.example");
  }
  // Open with a user set (Connect, Ehlo, Auth); true once it completed.
  bool OpenWithUser(const ScriptedServer& Server, const std::string& User,
                    const std::string& Password, TestSmtpCli* Client = nullptr) {
    TestSmtpCli& c = Client ? *Client : client;
    c.SetHost("127.0.0.1");
    c.SetPort(Server.PortText());
    c.SetUsername(User);
    c.SetPassword(TSecret(Password));
    c.Open();
    const bool done = PumpUntil([&] { return !log.done.empty(); });
    EventLoop::Current().ProcessMessages();
    return done;
  }
  // A client of its own for one of several sessions in a test, logged afresh, that may
  // authenticate over plain loopback.
  TestSmtpCli& FreshClient() {
    others.push_back(std::make_unique<TestSmtpCli>());
    TestSmtpCli& c = *others.back();
    log = {};
    log.Attach(c);
    c.SetSignOn("client.example");
    c.PretendEncrypted();
    return c;
  }
  // Nothing the client showed or keeps as a reply holds Secret.
  void ExpectNowhere(const std::string& Secret) {
    for (const auto* list : {&log.command, &log.display, &log.response})
      for (const std::string& line : *list) EXPECT_EQ(line.find(Secret), std::string::npos) << line;
    EXPECT_EQ(client.LastResponse().find(Secret), std::string::npos);
    EXPECT_EQ(client.ErrorMessage().find(Secret), std::string::npos);
  }

  TestSmtpCli client;
  EventLog log;
  std::vector<std::unique_ptr<TestSmtpCli>> others;
};

}  // namespace

// --- the parser ---

TEST(SmtpEhloParse, ReadsTheExtensionsTheClientUses) {
  const TSmtpCapabilities caps =
      Parse(Lines({"250-mail.example.org Hello", "250-PIPELINING", "250-SIZE 10240000", "250-VRFY",
                   "250-etrn", "250-auth login Plain", "250-AUTH=LOGIN CRAM-MD5",
                   "250-ENHANCEDSTATUSCODES", "250-8bitmime", "250-DSN", "250 STARTTLS"}));
  EXPECT_TRUE(caps.Ehlo);
  EXPECT_TRUE(caps.Pipelining);
  EXPECT_TRUE(caps.Size);
  EXPECT_EQ(caps.SizeLimit, 10240000u);
  EXPECT_TRUE(caps.EightBitMime);
  EXPECT_TRUE(caps.StartTls);
  // Upper case, in order, each once, from both spellings of the AUTH line.
  EXPECT_EQ(caps.AuthMechanisms, (std::vector<std::string>{"LOGIN", "PLAIN", "CRAM-MD5"}));

  // A bare "250" greeting line announces nothing; SIZE without a usable number has no limit.
  const TSmtpCapabilities bare = Parse(Lines({"250"}));
  EXPECT_TRUE(bare.Ehlo);
  EXPECT_FALSE(bare.Size || bare.StartTls || bare.EightBitMime || bare.Pipelining);
  for (const char* size : {"250 SIZE", "250 SIZE 12x", "250 SIZE 99999999999999999999999"}) {
    const TSmtpCapabilities c = Parse({"250-x", size});
    EXPECT_TRUE(c.Size) << size;
    EXPECT_EQ(c.SizeLimit, 0u) << size;
  }
}

TEST(SmtpEhloParse, IsStrictAboutTheReplyAndBoundsWhatItKeeps) {
  for (const auto& bad :
       {Lines({}), Lines({"250-x", "251 y"}), Lines({"250 x", "250 y"}), Lines({"250-x", "250-y"}),
        Lines({"250x"}), Lines({"25"}), Lines({"250-x", " 250 y"})}) {
    TSmtpCapabilities caps;
    caps.StartTls = true;
    std::string problem;
    EXPECT_FALSE(ParseEhloReply(bad, caps, problem));
    EXPECT_FALSE(problem.empty());
    EXPECT_FALSE(caps.StartTls) << "nothing of a refused reply is kept";
  }
  // Forty mechanisms: the first sixteen valid ones are kept; names that break RFC 4422's
  // form (too long, odd characters) are skipped.
  std::string auth = "250 AUTH X*Y " + std::string(21, 'A');
  for (int i = 0; i < 40; ++i) auth += " M" + std::to_string(i);
  const TSmtpCapabilities caps = Parse({"250-x", auth});
  ASSERT_EQ(caps.AuthMechanisms.size(), TSmtpCapabilities::MaxAuthMechanisms);
  EXPECT_EQ(caps.AuthMechanisms.front(), "M0");
  EXPECT_EQ(caps.AuthMechanisms.back(), "M15");
}

// --- EHLO, SIZE and BODY in the client ---

TEST(SmtpEsmtpSend, MailFromDeclaresTheExactSizeAndEightBitBody) {
  TestTempDir dir;
  WriteFile(dir.File("a.bin"), std::string(100000, 'x'));
  WriteFile(dir.File("b.bin"), std::string(46, 'y'));
  WriteFile(dir.File("c.bin"), "");
  MimeSend send;
  send.client.SetSignOn("client.example");
  send.client.SetTextTransferEncoding("8bit");
  send.client.MailMessage().Add(".leading dot, doubled on the wire but not counted");
  send.client.MailMessage().Add(std::string(998, 'w'));  // the longest line 8bit can carry
  send.client.OnGetData = [](TCustomSmtpClient*, int n, char* line, int, bool& more) {
    more = n <= 2;
    std::strcpy(line, n == 1 ? "bare\nline feed" : "caf\xc3\xa9");
  };
  send.client.SetEmailFiles({dir.File("a.bin"), dir.File("b.bin"), dir.File("c.bin")});
  std::vector<S::Step> script = SinkScript();
  script[2] = S::Reply("250-scripted\r\n250-SIZE 100000000\r\n250 8BITMIME\r\n");
  ScriptedServer server(script);
  ASSERT_TRUE(send.Run(server.Port(), 60000, /*WithEhlo=*/true));
  EXPECT_EQ(send.DataError(), 0);
  EXPECT_TRUE(send.client.Server8BitMime());
  PumpUntil([&] { return server.Done(); });
  const std::string transcript = server.Transcript();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(transcript, m,
                                std::regex("MAIL FROM:<sender@x.example> SIZE=(\\d+) "
                                           "BODY=8BITMIME\r\n")))
      << transcript.substr(0, 200);
  // The data as received, less the doubled dot; the declared size is one byte over it at most
  // (the Date line is counted with a two-digit day).
  const std::string data = DataOf(transcript);
  const std::uint64_t exact = data.size() - 1;
  const std::uint64_t declared = std::stoull(m[1]);
  EXPECT_GE(declared, exact);
  EXPECT_LE(declared, exact + 1);
}

// A line too long for 8bit makes the text quoted-printable: no BODY=8BITMIME, and the size counts
// the encoded lines the client makes of the owner's lines and of MailMessage.
TEST(SmtpEsmtpSend, SizeCountsTextThatGoesOutQuotedPrintable) {
  MimeSend send;
  send.client.SetSignOn("client.example");
  send.client.SetTextTransferEncoding("8bit");
  send.client.MailMessage().Add(std::string(1500, 'w') + " ");
  send.client.OnGetData = [](TCustomSmtpClient*, int n, char* line, int, bool& more) {
    more = n <= 2;
    std::strcpy(line, n == 1 ? "From a caf\xc3\xa9 " : ".");
  };
  std::vector<S::Step> script = SinkScript();
  script[2] = S::Reply("250-scripted\r\n250-SIZE 100000000\r\n250 8BITMIME\r\n");
  ScriptedServer server(script);
  ASSERT_TRUE(send.Run(server.Port(), 60000, /*WithEhlo=*/true));
  EXPECT_EQ(send.DataError(), 0);
  PumpUntil([&] { return server.Done(); });
  const std::string transcript = server.Transcript();
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(transcript, m, std::regex("MAIL FROM:<sender@x.example> SIZE=(\\d+)\r\n")))
      << transcript.substr(0, 200);
  const std::string data = DataOf(transcript);
  EXPECT_NE(data.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
  const std::uint64_t exact = data.size() - 1;  // less the doubled dot
  EXPECT_GE(std::stoull(m[1]), exact);
  EXPECT_LE(std::stoull(m[1]), exact + 1);
}

TEST(SmtpEsmtpSend, OversizedMessageIsRefusedAtMailFromBeforeAnyDataGoesOut) {
  TestTempDir dir;
  const std::uint64_t fileSize = 14 * 1000 * 1000;
  WriteFile(dir.File("big.bin"), "");
  std::filesystem::resize_file(dir.File("big.bin"), fileSize);
  MimeSend send;
  send.client.SetSignOn("client.example");
  send.client.SetEmailFiles({dir.File("big.bin")});
  ScriptedServer server(
      {S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply("250-x\r\n250 SIZE 5242880\r\n"),
       S::ReadLine(), S::Reply("552 5.3.4 Message size exceeds fixed limit\r\n"), S::ReadToEnd()});
  ASSERT_TRUE(send.Run(server.Port(), 60000, /*WithEhlo=*/true));
  ASSERT_FALSE(send.log.done.empty());
  EXPECT_EQ(send.log.done.back().request, TSmtpRequest::smtpMailFrom);
  EXPECT_EQ(send.log.done.back().error, 552);
  send.client.Abort();
  PumpUntil([&] { return server.Done(); });
  const std::string transcript = server.Transcript();
  EXPECT_LT(transcript.size(), 10u * 1024);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(transcript, m, std::regex("SIZE=(\\d+)\r\n")));
  EXPECT_GT(std::stoull(m[1]), TSmtpCli::Base64PartSize(fileSize));
  // 311111 full lines of 45 bytes, then 5 bytes: "xxxxxxxx" and CR LF.
  EXPECT_EQ(TSmtpCli::Base64PartSize(fileSize), 311111u * 62 + 10);
}

TEST_F(SmtpEsmtp, RepliesToEhloThatAreMalformedOrEndlessEndTheRequest) {
  std::string endless = "250-x\r\n";
  for (int i = 0; i < 100; ++i) endless += "250-EXT" + std::to_string(i) + "\r\n";
  endless += "250 END\r\n";
  for (const std::string& reply : {std::string("251-x\r\n250 y\r\n"), endless}) {
    ScriptedServer server({S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply(reply)});
    log = {};
    log.Attach(client);
    client.SetHost("127.0.0.1");
    client.SetPort(server.PortText());
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.done.size() == 1; }));
    client.Ehlo();
    ASSERT_TRUE(PumpUntil([&] { return log.done.size() == 2; }));
    EXPECT_EQ(log.done[1].request, TSmtpRequest::smtpEhlo);
    EXPECT_EQ(log.done[1].error, 500);
    EXPECT_FALSE(client.Capabilities().Ehlo);
    client.Abort();
  }
}

// --- STARTTLS, up to the handshake ---

TEST_F(SmtpEsmtp, StartTlsModeEndsWhenTheServerOffersNoStartTls) {
  ScriptedServer server(Then(EhloGreeting({"SIZE 1000", "8BITMIME"}), {S::ReadToEnd()}));
  client.SetHost("127.0.0.1");
  client.SetPort(server.PortText());
  client.SetTlsMode(TSmtpTlsMode::smtpTlsStartTls);
  client.Open();
  ASSERT_TRUE(PumpUntil([&] { return !log.done.empty(); }));
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpOpen);
  EXPECT_EQ(log.done[0].error, 500);
  EXPECT_NE(client.ErrorMessage().find("does not offer STARTTLS"), std::string::npos);
  client.Abort();
  PumpUntil([&] { return server.Done(); });
  EXPECT_EQ(server.Transcript(), "EHLO client.example\r\n");
}

TEST_F(SmtpEsmtp, BytesAfterTheServersStartTlsReplyFailTheSession) {
  // The 220 and an injected reply arrive together, before any handshake.
  ScriptedServer server(
      Then(EhloGreeting({"STARTTLS"}),
           {S::ReadLine(), S::Reply("220 go ahead\r\n250 injected\r\n"), S::ReadToEnd()}));
  client.SetHost("127.0.0.1");
  client.SetPort(server.PortText());
  client.SetTlsMode(TSmtpTlsMode::smtpTlsStartTls);
  client.Open();
  ASSERT_TRUE(PumpUntil([&] { return !log.done.empty(); }));
  EXPECT_EQ(log.done[0].error, 500);
  EXPECT_NE(client.ErrorMessage().find("injection"), std::string::npos) << client.ErrorMessage();
  EXPECT_TRUE(PumpUntil([&] { return server.Done(); }));
  EXPECT_EQ(server.Transcript(), "EHLO client.example\r\nSTARTTLS\r\n");
  EXPECT_FALSE(client.Connected());
}

// --- AUTH ---

TEST_F(SmtpEsmtp, ScramSha256FollowsThePublishedExchange) {
  // RFC 7677 section 3: user "user", password "pencil".
  const std::string clientFirst = "n,,n=user,r=rOprNGfwEbeRWgbNEkqO";
  const std::string serverFirst =
      "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
  const std::string clientFinal =
      "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
      "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
  const std::string serverFinal = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";
  ScriptedServer server(
      Then(EhloGreeting({"AUTH PLAIN LOGIN SCRAM-SHA-256"}),
           {S::ReadLine(), S::Reply("334 " + B64(serverFirst) + "\r\n"), S::ReadLine(),
            S::Reply("334 " + B64(serverFinal) + "\r\n"), S::ReadLine(),
            S::Reply("235 2.7.0 Authentication successful\r\n"), S::ReadToEnd()}));
  client.PretendEncrypted();
  client.SetScramNonce("rOprNGfwEbeRWgbNEkqO");
  ASSERT_TRUE(OpenWithUser(server, "user", "pencil"));
  EXPECT_EQ(log.done[0].request, TSmtpRequest::smtpOpen);
  EXPECT_EQ(log.done[0].error, 0) << client.ErrorMessage();
  client.Abort();
  PumpUntil([&] { return server.Done(); });
  EXPECT_EQ(server.Transcript(), "EHLO client.example\r\nAUTH SCRAM-SHA-256 " + B64(clientFirst) +
                                     "\r\n" + B64(clientFinal) + "\r\n\r\n");
  const std::vector<std::string> trace(log.command.end() - 3, log.command.end());
  EXPECT_EQ(trace, (std::vector<std::string>{"AUTH SCRAM-SHA-256 ****", "****", "****"}));
  ExpectNowhere("pencil");
  ExpectNowhere(B64(clientFinal));
}

TEST_F(SmtpEsmtp, ScramFailsWhenTheServerCannotProveItKnowsThePassword) {
  const std::string serverFirst =
      "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
  // A server that skips its signature, and one whose signature is wrong.
  for (const std::vector<S::Step>& tail :
       {std::vector<S::Step>{S::ReadLine(), S::Reply("235 ok\r\n"), S::ReadToEnd()},
        std::vector<S::Step>{S::ReadLine(), S::Reply("334 " + B64("v=AAAA") + "\r\n"),
                             S::ReadToEnd()}}) {
    std::vector<S::Step> script =
        Then(EhloGreeting({"AUTH SCRAM-SHA-256"}),
             {S::ReadLine(), S::Reply("334 " + B64(serverFirst) + "\r\n")});
    script.insert(script.end(), tail.begin(), tail.end());
    ScriptedServer server(script);
    TestSmtpCli& fresh = FreshClient();
    fresh.SetScramNonce("rOprNGfwEbeRWgbNEkqO");
    ASSERT_TRUE(OpenWithUser(server, "user", "pencil", &fresh));
    EXPECT_EQ(log.done[0].error, 500);
    EXPECT_NE(fresh.ErrorMessage().find("SCRAM-SHA-256"), std::string::npos)
        << fresh.ErrorMessage();
    EXPECT_TRUE(PumpUntil([&] { return server.Done(); })) << "the connection is dropped";
  }
}

TEST_F(SmtpEsmtp, PlainLoginAndXOAuth2SendTheirResponsesWhileTheTraceShowsStars) {
  const std::string secret = "S3cret-Marker-7731";
  struct Case {
    const char* mechanisms;
    TSmtpAuthType type;
    std::vector<S::Step> exchange;
    std::string wire;
    std::uint16_t error;
  };
  const std::vector<Case> cases = {
      {"AUTH LOGIN PLAIN",
       TSmtpAuthType::smtpAuthAuto,
       {S::ReadLine(), S::Reply("235 2.7.0 ok\r\n")},
       "AUTH PLAIN " + B64(std::string("\0ann\0", 5) + secret) + "\r\n",
       0},
      {"AUTH LOGIN",
       TSmtpAuthType::smtpAuthAuto,
       {S::ReadLine(), S::Reply("334 VXNlcm5hbWU6\r\n"), S::ReadLine(),
        S::Reply("334 UGFzc3dvcmQ6\r\n"), S::ReadLine(),
        S::Reply("535 5.7.8 Authentication credentials invalid\r\n")},
       "AUTH LOGIN\r\n" + B64("ann") + "\r\n" + B64(secret) + "\r\n",
       535},
      {"AUTH XOAUTH2",
       TSmtpAuthType::smtpAuthOAuth2,
       {S::ReadLine(), S::Reply("235 2.7.0 Accepted\r\n")},
       "AUTH XOAUTH2 " +
           B64("user=ann\x01"
               "auth=Bearer " +
               secret + "\x01\x01") +
           "\r\n",
       0},
      {"AUTH PLAIN XOAUTH2",
       TSmtpAuthType::smtpAuthOAuth2,
       {S::ReadLine(), S::Reply("334 " + B64("{\"status\":\"401\"}") + "\r\n"), S::ReadLine(),
        S::Reply("535 5.7.8 Username and Password not accepted\r\n")},
       "AUTH XOAUTH2 " +
           B64("user=ann\x01"
               "auth=Bearer " +
               secret + "\x01\x01") +
           "\r\n\r\n",
       535},
  };
  for (const Case& c : cases) {
    std::vector<S::Step> script = EhloGreeting({c.mechanisms});
    script.insert(script.end(), c.exchange.begin(), c.exchange.end());
    script.push_back(S::ReadToEnd());
    ScriptedServer server(script);
    TestSmtpCli& fresh = FreshClient();
    fresh.SetAuthType(c.type);
    ASSERT_TRUE(OpenWithUser(server, "ann", secret, &fresh));
    EXPECT_EQ(log.done[0].error, c.error) << c.mechanisms << ": " << fresh.ErrorMessage();
    fresh.Abort();
    PumpUntil([&] { return server.Done(); });
    EXPECT_EQ(server.Transcript(), "EHLO client.example\r\n" + c.wire) << c.mechanisms;
    for (const std::string& command : log.command)
      EXPECT_TRUE(command.starts_with("EHLO") || command.ends_with("****") ||
                  command == "AUTH LOGIN")
          << command;
    EXPECT_EQ(fresh.ErrorMessage().find(secret), std::string::npos);
    for (const auto* list : {&log.command, &log.display, &log.response})
      for (const std::string& line : *list) {
        EXPECT_EQ(line.find(secret), std::string::npos) << line;
        EXPECT_EQ(line.find(B64(secret)), std::string::npos) << line;
      }
  }
}

TEST_F(SmtpEsmtp, CredentialsAreRefusedOnAPlainConnectionAndWithoutACommonMechanism) {
  {
    ScriptedServer server(Then(EhloGreeting({"AUTH PLAIN"}), {S::ReadToEnd()}));
    ASSERT_TRUE(OpenWithUser(server, "ann", "pw-marker"));
    EXPECT_EQ(log.done[0].error, 500);
    EXPECT_NE(client.ErrorMessage().find("not encrypted"), std::string::npos);
    client.Abort();
    PumpUntil([&] { return server.Done(); });
    EXPECT_EQ(server.Transcript(), "EHLO client.example\r\n");
  }
  for (const char* offered : {"SIZE 100", "AUTH CRAM-MD5 GSSAPI"}) {
    ScriptedServer server(Then(EhloGreeting({offered}), {S::ReadToEnd()}));
    log = {};
    log.Attach(client);
    client.PretendEncrypted();
    ASSERT_TRUE(OpenWithUser(server, "ann", "pw-marker"));
    EXPECT_EQ(log.done[0].error, 500);
    EXPECT_NE(client.ErrorMessage().find("authentication"), std::string::npos)
        << client.ErrorMessage();
    client.Abort();
    PumpUntil([&] { return server.Done(); });
    EXPECT_EQ(server.Transcript(), "EHLO client.example\r\n");
  }
}

// With OnCredentialsNeeded the client asks for the password only once AUTH is next, waits
// without a reply bound, and sends OAUTHBEARER's initial response (RFC 7628 3.1); the JSON
// error challenge is answered with a lone ^A (3.2.2) and reported with the refusal.
TEST_F(SmtpEsmtp, CredentialsAreAskedWhenAuthIsNextAndOAuthBearerAnswersTheErrorChallenge) {
  const std::string json = "{\"status\":\"invalid_token\",\"scope\":\"mail\"}";
  ScriptedServer server(Then(EhloGreeting({"AUTH OAUTHBEARER"}),
                             {S::ReadLine(), S::Reply("334 " + B64(json) + "\r\n"), S::ReadLine(),
                              S::Reply("535 5.7.8 Token refused\r\n"), S::ReadToEnd()}));
  TestSmtpCli& fresh = FreshClient();
  fresh.SetAuthType(TSmtpAuthType::smtpAuthOAuthBearer);
  fresh.SetTimeout(1);
  std::vector<std::string> asked;
  fresh.OnCredentialsNeeded = [&](TCustomSmtpClient* c, const std::string& mechanism) {
    asked.push_back(mechanism + " " + SmtpStateName(c->State()) + " " +
                    std::to_string(server.Transcript().size()));
  };
  fresh.SetHost("127.0.0.1");
  fresh.SetPort(server.PortText());
  fresh.SetUsername("ann");
  fresh.Open();
  ASSERT_TRUE(PumpUntil([&] { return !asked.empty(); }));
  const std::string ehlo = "EHLO client.example\r\n";
  EXPECT_EQ(asked, std::vector<std::string>{"OAUTHBEARER smtpWaitingCredentials " +
                                            std::to_string(ehlo.size())});
  // Longer than the 1-second bound of any reply: the owner's time is not the server's.
  PumpUntil([] { return false; }, 1500);
  EXPECT_TRUE(log.done.empty());
  EXPECT_TRUE(fresh.ProvideCredentials(TSecret("tok-en")));
  ASSERT_TRUE(PumpUntil([&] { return !log.done.empty(); }));
  EXPECT_EQ(log.done[0].error, 535);
  EXPECT_EQ(fresh.ErrorMessage(), "535 5.7.8 Token refused (the server said: " + json + ")");
  EXPECT_FALSE(fresh.ProvideCredentials(TSecret("late"))) << "nobody waits any more";
  fresh.Abort();
  PumpUntil([&] { return server.Done(); });
  EXPECT_EQ(server.Transcript(), ehlo + "AUTH OAUTHBEARER " +
                                     B64("n,a=ann,\x01host=127.0.0.1\x01port=" + server.PortText() +
                                         "\x01"
                                         "auth=Bearer tok-en\x01\x01") +
                                     "\r\nAQ==\r\n");
}

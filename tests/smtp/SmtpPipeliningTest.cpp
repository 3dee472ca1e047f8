// Pipelining against scripted servers: the envelope in one write, replies matched in order, a
// refused recipient among many, servers out of step, and QUIT with the final dot.
#include <gtest/gtest.h>

#include "tests/smtp/SmtpTestSupport.h"

using namespace smtptest;
using S = ScriptedServer;

namespace {

constexpr const char* kPipeliningEhlo = "250-scripted.example\r\n250 PIPELINING\r\n";

class SmtpPipelining : public ::testing::Test {
 protected:
  void SetUp() override {
    log.Attach(client);
    client.SetSignOn("client.example");
    client.SetUseEhlo(true);
    client.SetFromName("a@x.example");
    for (int i = 1; i <= 50; ++i) client.RcptName().Add("r" + std::to_string(i) + "@x.example");
  }
  bool Open(const ScriptedServer& Server) {
    client.SetHost("127.0.0.1");
    client.SetPort(Server.PortText());
    client.Open();
    return WaitDone(1);
  }
  bool WaitDone(std::size_t Count) {
    return PumpUntil([&] { return log.done.size() >= Count; });
  }
  // The greeting, EHLO, then the envelope read whole (51 lines) before any reply: a client that
  // waited for MAIL's reply would never get one.
  static std::vector<S::Step> EnvelopeRead() {
    std::vector<S::Step> script = {S::Reply("220 ready\r\n"), S::ReadLine(),
                                   S::Reply(kPipeliningEhlo)};
    for (int i = 0; i < 51; ++i) script.push_back(S::ReadLine());
    return script;
  }

  TestSmtpCli client;
  EventLog log;
};

// 50 recipients, the 25th refused: every reply is matched to its command, RcptTo names the
// refused one and fails with its line, and DATA never goes out.
TEST_F(SmtpPipelining, EnvelopeGoesInOneGroupAndARefusalInTheMiddleIsNamed) {
  auto script = EnvelopeRead();
  std::string replies = "250 sender ok\r\n";
  for (int i = 1; i <= 50; ++i) replies += i == 25 ? "550 5.1.1 no such user\r\n" : "250 ok\r\n";
  script.push_back(S::Reply(replies));
  script.push_back(S::ReadLine());  // RSET
  script.push_back(S::Reply("250 reset\r\n"));
  ScriptedServer server(script);
  ASSERT_TRUE(Open(server));
  ASSERT_TRUE(client.Pipelining());
  client.MailFrom();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(log.done[1].request, TSmtpRequest::smtpMailFrom);
  EXPECT_EQ(log.done[1].error, 0);
  EXPECT_EQ(client.LastResponse(), "250 sender ok");
  client.RcptTo();
  ASSERT_TRUE(WaitDone(3));
  EXPECT_EQ(log.done[2].request, TSmtpRequest::smtpRcptTo);
  EXPECT_EQ(client.ErrorMessage(), "550 5.1.1 no such user");
  EXPECT_TRUE(client.ErrorIsPermanent());
  EXPECT_EQ(client.RefusedRcptName(), "r25@x.example");
  client.Rset();
  ASSERT_TRUE(WaitDone(4));
  EXPECT_EQ(log.done[3].error, 0);
  PumpUntil([&] { return server.Done(); });
  const std::string wire = server.Transcript();
  std::string envelope = "MAIL FROM:<a@x.example>\r\n";
  for (int i = 1; i <= 50; ++i) envelope += "RCPT TO:<r" + std::to_string(i) + "@x.example>\r\n";
  EXPECT_EQ(wire.substr(wire.find("MAIL")), envelope + "RSET\r\n");
  EXPECT_EQ(wire.find("DATA"), std::string::npos);
}

// A reply no MAIL or RCPT gets, and a reply to nothing, both end the session with a clear
// error; a server that closes in the middle of the group ends it too.
TEST_F(SmtpPipelining, ServersOutOfStepOrClosingMidGroupEndTheSessionWithAClearError) {
  struct Case {
    const char* name;
    std::string replies;
    bool close;
    const char* expected;
  };
  std::string extra = "250 sender ok\r\n";
  for (int i = 1; i <= 50; ++i) extra += "250 ok\r\n";
  extra += "250 one too many\r\n";
  const Case cases[] = {
      {"354 to a recipient", "250 sender ok\r\n354 go ahead\r\n", false, "out of step"},
      {"more replies than commands", extra, false, "more replies than there were commands"},
      {"close mid-group", "250 sender ok\r\n250 ok\r\n", true, "Connection closed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log = {};
    log.Attach(client);
    auto script = EnvelopeRead();
    script.push_back(S::Reply(c.replies));
    if (!c.close) script.push_back(S::ReadToEnd());
    ScriptedServer server(script);
    ASSERT_TRUE(Open(server));
    client.MailFrom();
    ASSERT_TRUE(WaitDone(2));
    EXPECT_NE(log.done[1].error, 0);
    EXPECT_NE(client.ErrorMessage().find(c.expected), std::string::npos) << client.ErrorMessage();
    PumpUntil([&] { return !client.Connected(); });
    EXPECT_FALSE(client.Connected());
  }
}

// Where the server pipelines, QUIT leaves with the final "." in one write; Data still ends on
// the 250, and Quit takes the 221 that has come meanwhile without sending anything. With
// PipelineData, DATA goes with the sole recipient: the server reads the three commands before
// it answers any of them.
TEST_F(SmtpPipelining, QuitGoesWithTheFinalDotAndDataStillEndsOnItsReply) {
  for (const bool pipelineData : {false, true}) {
    SCOPED_TRACE(pipelineData ? "DATA pipelined" : "DATA after the replies");
    log = {};
    log.Attach(client);
    client.SetRcptName({"r@x.example"});
    client.SetQuitAfterData(true);
    client.SetPipelineData(pipelineData);
    std::vector<S::Step> script = {S::Reply("220 ready\r\n"),
                                   S::ReadLine(),
                                   S::Reply(kPipeliningEhlo),
                                   S::ReadLine(),
                                   S::ReadLine(),
                                   S::Reply("250 sender ok\r\n")};
    if (pipelineData)
      script.insert(script.end(), {S::ReadLine(), S::Reply("250 rcpt ok\r\n354 go\r\n")});
    else
      script.insert(script.end(),
                    {S::Reply("250 rcpt ok\r\n"), S::ReadLine(), S::Reply("354 go\r\n")});
    script.insert(script.end(), {S::ReadData(), S::ReadLine(),
                                 S::Reply("250 queued\r\n221 bye\r\n"), S::ReadToEnd()});
    ScriptedServer server(script);
    ASSERT_TRUE(Open(server));
    client.MailFrom();
    ASSERT_TRUE(WaitDone(2));
    client.RcptTo();
    ASSERT_TRUE(WaitDone(3));
    EXPECT_EQ(log.done[2].error, 0);
    client.Data();
    ASSERT_TRUE(WaitDone(4)) << server.Transcript();
    EXPECT_EQ(log.done[3].request, TSmtpRequest::smtpData);
    EXPECT_EQ(log.done[3].error, 0);
    ASSERT_GE(log.response.size(), 2u);
    EXPECT_EQ(log.response[log.response.size() - 2], "250 queued");
    client.Quit();
    ASSERT_TRUE(WaitDone(5));
    EXPECT_EQ(log.done[4].request, TSmtpRequest::smtpQuit);
    EXPECT_EQ(log.done[4].error, 0);
    const std::string wire = server.Transcript();
    EXPECT_TRUE(wire.ends_with("\r\n.\r\nQUIT\r\n")) << wire.substr(wire.size() - 20);
    EXPECT_EQ(std::count(log.command.begin(), log.command.end(), "QUIT"), 1);
    EXPECT_EQ(std::count(log.command.begin(), log.command.end(), "DATA"), 1);
    client.Abort();  // the scripted server waits for the close
  }
}

// DATA pipelined with a refused sole recipient: the server refuses DATA too and the session goes
// on with RSET as without pipelining; a server that takes DATA all the same gets nothing of the
// message, the connection is closed.
TEST_F(SmtpPipelining, ARefusedSoleRecipientNeverLetsTheMessageOut) {
  client.SetRcptName({"r@x.example"});
  client.SetPipelineData(true);
  for (const bool dataTaken : {false, true}) {
    SCOPED_TRACE(dataTaken ? "DATA taken all the same" : "DATA refused too");
    log = {};
    log.Attach(client);
    ScriptedServer server({S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply(kPipeliningEhlo),
                           S::ReadLine(), S::ReadLine(), S::ReadLine(),
                           S::Reply(std::string("250 sender ok\r\n550 5.1.1 no such user\r\n") +
                                    (dataTaken ? "354 go\r\n" : "554 no valid recipients\r\n")),
                           S::ReadLine(), S::Reply("250 reset\r\n"), S::ReadToEnd()});
    ASSERT_TRUE(Open(server));
    client.MailFrom();
    ASSERT_TRUE(WaitDone(2));
    if (dataTaken) {
      EXPECT_NE(log.done[1].error, 0);
      EXPECT_TRUE(client.ErrorMessage().starts_with("550 5.1.1 no such user"))
          << client.ErrorMessage();
      EXPECT_TRUE(client.ErrorIsPermanent());
      ASSERT_TRUE(PumpUntil([&] { return !client.Connected(); }));
    } else {
      EXPECT_EQ(log.done[1].error, 0);
      client.RcptTo();
      ASSERT_TRUE(WaitDone(3));
      EXPECT_EQ(client.ErrorMessage(), "550 5.1.1 no such user");
      EXPECT_EQ(client.RefusedRcptName(), "r@x.example");
      client.Rset();
      ASSERT_TRUE(WaitDone(4));
      EXPECT_EQ(log.done[3].error, 0);
      client.Abort();
    }
    PumpUntil([&] { return server.Done(); });
    const std::string wire = server.Transcript();
    EXPECT_EQ(wire.substr(wire.find("MAIL")),
              std::string("MAIL FROM:<a@x.example>\r\nRCPT TO:<r@x.example>\r\nDATA\r\n") +
                  (dataTaken ? "" : "RSET\r\n"));
  }
}

}  // namespace

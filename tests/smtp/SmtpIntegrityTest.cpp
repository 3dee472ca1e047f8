// What the client refuses to put on the wire: a message that mixes two states of a file (a file
// rewritten while it is sent), and addresses a server would take other than meant (control
// characters, bytes that are not UTF-8, limits); and how addresses beyond ASCII go out
// (SMTPUTF8 where offered, A-labels otherwise).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <random>

#include "tests/smtp/SmtpTestSupport.h"

using namespace smtptest;
using S = ScriptedServer;

namespace {

// Overwrites the file's bytes in place: same inode, same size, new content (an editor that
// saves without rename, "cp new file").
void RewriteInPlace(const std::string& Path) {
  std::fstream f(Path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(0);
  f << "rewritten";
}

std::string ReadAll(const std::string& Path) {
  std::ifstream f(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

TEST(SmtpIntegrity, AnAttachmentRewrittenInPlaceDuringASlowUploadIsNotSent) {
  TestTempDir dir;
  const std::string file = dir.File("big.bin");
  WriteFile(file, std::string(30 << 20, 'a'));  // far more than the socket buffers hold
  S server(GatedSinkScript(/*BeforeData=*/true));
  MimeSend send;
  send.client.SetEmailFiles({file});
  send.client.SetHost("127.0.0.1");
  send.client.SetPort(server.PortText());
  send.client.Open();
  ASSERT_TRUE(PumpUntil([&] { return !send.client.SentAttachments().empty(); }));
  RewriteInPlace(file);
  server.Release();
  ASSERT_TRUE(
      PumpUntil([&] { return !send.log.done.empty() && send.log.done.back().error != 0; }, 60000));
  EXPECT_EQ(send.DataError(), 500);
  EXPECT_EQ(send.client.ErrorMessage(),
            "500 The file '" + file + "' changed while it was sent; message not sent");
  EXPECT_FALSE(send.client.Connected());
  ASSERT_TRUE(PumpUntil([&] { return server.Done(); }));
  EXPECT_EQ(server.DataEnds(), 0) << "the server never saw the final dot";
}

// A file whose text the owner put into the message is checked too, before the final dot.
TEST(SmtpIntegrity, ASourceFileThatChangedIsNamedAndTheDotNeverSent) {
  TestTempDir dir;
  const std::string text = dir.File("message.txt");
  WriteFile(text, "Hello\n");
  const TFileIdentity asRead = *IdentityOfPath(text);
  std::ofstream(text, std::ios::app) << "a line the message does not hold\n";
  S server(SinkScript());
  MimeSend send;
  send.client.SetSourceFiles({{text, asRead}});
  ASSERT_TRUE(send.Run(server.Port()));
  EXPECT_EQ(send.DataError(), 500);
  EXPECT_EQ(send.client.ErrorMessage(),
            "500 The file '" + text + "' changed while it was sent; message not sent");
  EXPECT_TRUE(send.client.ErrorIsPermanent()) << "trying again cannot send what was read";
  ASSERT_TRUE(PumpUntil([&] { return server.Done(); }));
  EXPECT_EQ(server.DataEnds(), 0);
}

TEST(SmtpIntegrity, AddressesAServerWouldMisreadAreRefusedBeforeAnyConnection) {
  struct Case {
    std::function<void(TSmtpCli&)> Set;
    std::string Refusal;
  };
  const std::vector<Case> cases = {
      {[](TSmtpCli& c) { c.RcptName().Add("b\x01@example.org"); },
       "The recipient address (RCPT TO) \"b\\x01@example.org\" holds the control character "
       "0x01, message not sent"},
      {[](TSmtpCli& c) { c.SetFromName("c\xff\xfe@example.org"); },
       "The sender address (MAIL FROM) \"c\\xFF\\xFE@example.org\" is not valid UTF-8 (byte 2 "
       "is 0xFF), message not sent"},
      {[](TSmtpCli& c) { c.RcptName().Add(std::string(65, 'l') + "@example.org"); },
       "has a local part of 65 octets (at most 64)"},
      {[](TSmtpCli& c) { c.RcptName().Add("b@" + std::string(252, 'd') + ".org"); },
       "has a domain of 256 octets (at most 255)"},
      {[](TSmtpCli& c) { c.RcptName().Add("bob@a\u200db.example"); },
       "is no valid international domain name"},
      {[](TSmtpCli& c) { c.SetHdrTo("Bob\x7f <bob@example.org>"); },
       "The To header \"Bob\\x7F <bob@example.org>\" holds the control character 0x7F"},
      {[](TSmtpCli& c) { c.SetSignOn("host\x1b[1m"); }, "The HELO name \"host\\x1B[1m\""},
  };
  IdleListener listener;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.Refusal);
    TestSmtpCli client;
    client.SetHost("127.0.0.1");
    client.SetPort(listener.PortText());
    client.SetFromName("ann@example.org");
    client.RcptName().Add("root");  // a bare local part, as ever
    client.RcptName().Add("bob@[192.0.2.1]");
    test.Set(client);
    try {
      client.Open();
      ADD_FAILURE() << "Open started";
    } catch (const SmtpException& e) {
      EXPECT_NE(std::string(e.what()).find(test.Refusal), std::string::npos) << e.what();
    }
    EXPECT_FALSE(listener.SawConnection());
  }
}

TEST(SmtpIntegrity, ALocalPartBeyondAsciiGoesWithSmtpUtf8WhereOfferedAndStopsBeforeMailWhereNot) {
  TestTempDir dir;
  auto fill = [](TSmtpCli& c) {
    c.SetFromName("jörg@example.org");
    c.SetHdrFrom("Jörg <jörg@example.org>");
    c.RcptName().Clear();
    c.RcptName().Add("zoë@bücher.example");
    c.SetHdrTo("zoë@bücher.example");
  };
  AiosmtpdServer offered(dir.File("in"), {"--smtputf8"});
  MimeSend send;
  fill(send.client);
  ASSERT_TRUE(send.Run(offered.Port()));
  EXPECT_EQ(send.DataError(), 0) << send.client.ErrorMessage();
  EXPECT_EQ(ReadAll(dir.File("in/msg-1.env")), "FROM jörg@example.org\nRCPT zoë@bücher.example\n");
  EXPECT_NE(ReadAll(dir.File("in/msg-1.opt")).find("SMTPUTF8"), std::string::npos);
  EXPECT_NE(ReadAll(dir.File("in/msg-1.eml")).find("<jörg@example.org>"), std::string::npos)
      << "the header carries the address in UTF-8";

  S plain({S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply("250-hi\r\n250 8BITMIME\r\n"),
           S::ReadToEnd()});
  MimeSend refused;
  fill(refused.client);
  ASSERT_TRUE(refused.Run(plain.Port()));
  EXPECT_EQ(refused.log.done.back().request, TSmtpRequest::smtpMailFrom);
  EXPECT_EQ(refused.client.ErrorMessage(),
            "500 The server does not offer SMTPUTF8, which the address \"jörg@example.org\" "
            "needs (its local part is beyond ASCII); message not sent");
  refused.client.Abort();
  ASSERT_TRUE(PumpUntil([&] { return plain.Done(); }));
  EXPECT_EQ(plain.Transcript().find("MAIL"), std::string::npos) << plain.Transcript();
}

TEST(SmtpIntegrity, ADomainBeyondAsciiGoesOutAsItsALabelWithoutSmtpUtf8) {
  S server(SinkScript());
  MimeSend send;
  send.client.RcptName().Clear();
  send.client.RcptName().Add("bob@bücher.example");
  ASSERT_TRUE(send.Run(server.Port()));
  EXPECT_EQ(send.DataError(), 0) << send.client.ErrorMessage();
  EXPECT_NE(server.Transcript().find("HELO "), std::string::npos) << "a plain session still";
  EXPECT_NE(server.Transcript().find("RCPT TO:<bob@xn--bcher-kva.example>\r\n"), std::string::npos)
      << server.Transcript();
}

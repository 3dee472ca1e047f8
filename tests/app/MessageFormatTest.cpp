// Whole sends as a reader and a server see them: a message beyond ASCII through a real Postfix
// (strict_8bitmime, fully-qualified HELO names only) read back by Python's email package, the
// HELO name and the polite end of a refused send in Postfix's own log, IPv6 servers, a name
// whose first address fails, server fields that cannot be sent to, and what makes each message
// unique, and a refused recipient among several ended politely and named.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <cctype>

#include "app/Tarvik2_unit1.h"
#include "net/NameService.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "tests/peers/postfix_server.h"
#include "tests/smtp/SmtpTestSupport.h"

namespace {

using namespace apptest;
using namespace composertest;

class MessageFormatTest : public ComposerTest {
 protected:
  TForm1& Ready(const std::string& server, const std::vector<std::string>& arguments = {}) {
    TForm1& f = Start(arguments);
    f.SMTPServer.Text = server;
    f.from.Text = "Ann <ann@example.org>";
    f.sendto.Text = "john@example.org";
    f.subject.Text = "Hello";
    f.MessageText.Lines.Add("Hello John,");
    return f;
  }
  void Send(TForm1& f) {
    f.SendBtn.Click();
    ASSERT_TRUE(PumpUntil([&] { return !f.Sending(); })) << "the send did not end";
  }
  std::vector<std::string> Boxes() const {
    std::vector<std::string> texts;
    for (const auto& box : frontEnd.MessageBoxes) texts.push_back(box.Text);
    return texts;
  }
  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
};

TEST_F(MessageFormatTest, PostfixDeliversTextBeyondAsciiThatPythonDecodesExactly) {
  peers::PostfixServer postfix(folder.File("postfix"));
  TForm1& f = Ready("127.0.0.1:" + std::to_string(postfix.Port()));
  f.from.Text = "Ånn Müller <ann@example.org>";
  f.sendto.Text = "Doe, John <john@example.org>";
  f.subject.Text = "Grüße – the résumé, as promised";
  std::string words;  // 2,000 characters, the last one a blank
  for (int i = 0; i < 400; ++i) words += "wörd ";
  const TStringList text{"Hallo Jöhn,",
                         words,
                         std::string(5000, 'x'),
                         "trailing blanks   ",
                         ".a line that starts with a dot",
                         "",
                         "From the start of a line",
                         "Ånn"};
  f.MessageText.Lines = text;
  const std::string attachment = folder.File("résumé ü.txt");
  WriteFile(attachment, std::string("bytes \x00\xFF\r\n", 10));
  f.AttachedFiles.Items.Add(attachment);
  Send(f);
  EXPECT_TRUE(Boxes().empty()) << Boxes()[0] << "\n" << postfix.Log();
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message sent successfully.");

  const std::vector<std::string> mails = postfix.WaitForMessages(1);
  ASSERT_EQ(mails.size(), 1u) << postfix.Log();
  ::mkdir(folder.File("parts").c_str(), 0700);
  const std::string parsed = ParseMessage(mails[0], folder.File("parts"), "default");
  // The one cost of name= as the common mail programs write it: RFC 2047 keeps encoded-words
  // out of quoted strings, and Python says so (and decodes them all the same).
  EXPECT_TRUE(Has(parsed,
                  "\ndefects 2\n"
                  "defect part 1 Content-Type: encoded word inside quoted string\n"
                  "defect part 1 Content-Type: missing trailing whitespace after "
                  "encoded-word\n"))
      << parsed;
  EXPECT_TRUE(Has(parsed, "header Subject: Grüße – the résumé, as promised\n")) << parsed;
  EXPECT_TRUE(Has(parsed, "mailbox From 0: \"Ånn Müller\" <ann@example.org>\n")) << parsed;
  EXPECT_TRUE(Has(parsed, "mailbox Sender 0: \"Ånn Müller\" <ann@example.org>\n")) << parsed;
  EXPECT_TRUE(Has(parsed, "mailbox To 0: \"Doe, John\" <john@example.org>\n")) << parsed;
  EXPECT_FALSE(Has(parsed, "mailbox To 1:")) << "one mailbox, not two";
  EXPECT_TRUE(Has(parsed, "part 0 type=text/plain charset=utf-8")) << parsed;
  EXPECT_TRUE(Has(parsed, "name=résumé ü.txt filename=résumé ü.txt encoding=base64")) << parsed;
  const std::string mime =
      testsupport::RunCapture({"/bin/sh", "-c", "reformime -i <\"$0\"", mails[0]});
  EXPECT_TRUE(Has(mime, "content-disposition-filename: résumé ü.txt\n")) << mime;
  // The text exactly as written (the delivered file ends its lines with LF).
  std::string expected;
  for (const std::string& line : text) expected += line + "\n";
  EXPECT_TRUE(ReadFile(folder.File("parts/part-0")) == expected);
  EXPECT_TRUE(ReadFile(folder.File("parts/part-1")) == std::string("bytes \x00\xFF\r\n", 10));
  // The client greeted with a name Postfix takes and ended the session itself.
  const std::string summary = postfix.WaitForLog("helo=1 mail=1 rcpt=1 data=1 quit=1");
  EXPECT_TRUE(Has(summary, "helo=1 mail=1 rcpt=1 data=1 quit=1")) << summary;
}

TEST_F(MessageFormatTest, HeloNameFromSettingAndOptionAndARefusalEndedWithRsetAndQuit) {
  peers::PostfixServer postfix(folder.File("postfix"));
  const std::string server = "127.0.0.1:" + std::to_string(postfix.Port());
  WriteFile(SettingsFile(), "[defaults]\nhelo=vm\n");
  TForm1& taken = Ready(server, {"-helo:mail.example.org"});
  Send(taken);
  EXPECT_TRUE(Boxes().empty()) << Boxes()[0];
  ASSERT_EQ(postfix.WaitForMessages(1).size(), 1u);

  // The setting alone: a bare host name, which Postfix refuses for the recipient.
  TForm1& refused = Ready(server);
  Send(refused);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0],
            "Error occured while sending mail:\r504 5.5.2 <vm>: Helo command rejected: need "
            "fully-qualified hostname (recipient john@example.org)");
  EXPECT_EQ(refused.StatusBar1.SimpleText, "Status: Message not sent due to an error.");
  // Postfix's log: the session ended with RSET and QUIT, no lost connection.
  const std::string log = postfix.WaitForLog("rcpt=0/1 rset=1 quit=1");
  EXPECT_TRUE(Has(log, "rcpt=0/1 rset=1 quit=1")) << log;
  EXPECT_FALSE(Has(log, "lost connection")) << log;
}

TEST_F(MessageFormatTest, OneRecipientOfFiveRefusedWithoutItsNameEndsWithRsetAndQuit) {
  SmtpPeer server(folder.File("server"),
                  {"--refuse-rcpt-unnamed", "c@example.org", "--commands", folder.File("cmds")});
  TForm1& f = Ready(server.Server());
  f.sendto.Text = "a@example.org; b@example.org; c@example.org; d@example.org; e@example.org";
  Send(f);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0],
            "Error occured while sending mail:\r550 5.1.1 Mailbox unavailable (recipient "
            "c@example.org)");
  EXPECT_EQ(server.Received(), 0);
  const std::string commands = ReadFile(folder.File("cmds"));
  EXPECT_TRUE(commands.ends_with("\nRSET\nQUIT\n")) << commands;
}

// The polite end cannot hold the send: a server that closes after RSET still gets its refusal
// reported, and Abort pressed while RSET waits for an answer ends the send at once, quietly.
TEST_F(MessageFormatTest, TheEndOfARefusedSendGivesWayToACloseAndToAbort) {
  using S = smtptest::ScriptedServer;
  const std::vector<S::Step> upToRset = {
      S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply("250 hi\r\n"), S::ReadLine(),
      S::Reply("250 ok\r\n"),    S::ReadLine(), S::Reply("550 no\r\n"), S::ReadLine()};
  {
    std::vector<S::Step> script = upToRset;
    script.push_back(S::Close());
    S server(script);
    TForm1& f = Ready("127.0.0.1:" + server.PortText());
    Send(f);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0], "Error occured while sending mail:\r550 no (recipient john@example.org)");
    EXPECT_TRUE(server.Transcript().ends_with("RCPT TO:<john@example.org>\r\nRSET\r\n"));
  }
  frontEnd.MessageBoxes.clear();
  std::vector<S::Step> script = upToRset;
  script.push_back(S::ReadToEnd());  // RSET is never answered
  S server(script);
  TForm1& f = Ready("127.0.0.1:" + server.PortText());
  f.SendBtn.Click();
  ASSERT_TRUE(PumpUntil([&] { return server.Transcript().ends_with("RSET\r\n"); }));
  f.SendBtn.Click();  // Abort
  ASSERT_TRUE(PumpUntil([&] { return !f.Sending(); }));
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Sending aborted.");
  EXPECT_TRUE(Boxes().empty()) << Boxes()[0];
}

TEST_F(MessageFormatTest, AnIPv6ServerInBrackets) {
  SmtpPeer server(folder.File("server"), {"--host", "::1", "--commands", folder.File("cmds")});
  TForm1& f = Ready("[::1]:" + std::to_string(server.Port()));
  Send(f);
  EXPECT_TRUE(Boxes().empty()) << Boxes()[0];
  EXPECT_EQ(server.Received(), 1);
  EXPECT_EQ(ReadFile(folder.File("cmds")),
            "HELO " + (LocalFqdn().empty() ? "[IPv6:::1]" : LocalFqdn()) + "\nQUIT\n");
}

TEST_F(MessageFormatTest, ANameWhoseFirstAddressFailsIsReachedOnItsSecond) {
  SmtpPeer server(folder.File("server"), {"--commands", folder.File("cmds")});
  // [::1] on the server's port takes no connections while this socket holds it.
  const int refusing = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(static_cast<std::uint16_t>(server.Port()));
  a.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(refusing, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  struct DualName {
    DualName() {
      SetNameService([](const std::string& name, Winsock::HostEntry& out) {
        if (name != "dual.test") return WSAHOST_NOT_FOUND;
        out.AllAddresses = {"::1", "127.0.0.1"};
        out.Addresses = {::inet_addr("127.0.0.1")};
        return 0;
      });
    }
    ~DualName() { ResetNameService(); }
  } dualName;
  TForm1& f = Ready("dual.test:" + std::to_string(server.Port()));
  Send(f);
  ::close(refusing);
  EXPECT_TRUE(Boxes().empty()) << Boxes()[0];
  EXPECT_EQ(server.Received(), 1);
  EXPECT_TRUE(
      ReadFile(folder.File("cmds"))
          .starts_with("HELO " + (LocalFqdn().empty() ? "[127.0.0.1]" : LocalFqdn()) + "\n"));
}

TEST_F(MessageFormatTest, AServerFieldThatCannotBeSentToIsRefusedBeforeAnythingStarts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"127.0.0.1:25x",
       "The port \"25x\" of the server \"127.0.0.1:25x\" is not a number from 1 "
       "to 65535, can't send mail."},
      {"127.0.0.1:0", "The port \"0\""},
      {"host:65536", "The port \"65536\""},
      {"host:", "The port \"\""},
      {"[::1]:x", "The port \"x\""},
      {"[::1", "is not written as [address] or [address]:port"},
      {"[::1]25", "is not written as [address] or [address]:port"},
  };
  for (const auto& [field, error] : cases) {
    frontEnd.MessageBoxes.clear();
    TForm1& f = Ready(field);
    f.SendBtn.Click();
    ASSERT_EQ(Boxes().size(), 1u) << field;
    EXPECT_TRUE(Has(Boxes()[0], error)) << Boxes()[0];
    EXPECT_FALSE(f.Sending());
    EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Ready.");
  }
}

TEST_F(MessageFormatTest, CopiesAreNamedInCcBlindCopiesNowhereAndEveryAddressGetsOneCopy) {
  SmtpPeer server(folder.File("server"));
  TForm1& f = Ready(server.Server());
  f.sendto.Text = "john@example.org; Carol <carol@example.org>";
  f.cc.Text = "Dörte Ü <dora@example.org>; JOHN@example.org";
  f.bcc.Text = "Eve Hidden <eve@example.org>; carol@EXAMPLE.org";
  Send(f);
  ASSERT_EQ(server.Received(), 1) << (Boxes().empty() ? "" : Boxes()[0]);
  EXPECT_EQ(ReadFile(server.Envelope(1)),
            "FROM ann@example.org\nRCPT john@example.org\nRCPT carol@example.org\n"
            "RCPT dora@example.org\nRCPT eve@example.org\n");
  std::string raw = ReadFile(server.Message(1));
  for (char& c : raw) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_FALSE(Has(raw, "bcc")) << raw;
  EXPECT_FALSE(Has(raw, "eve")) << raw;
  const std::string parsed = ParseMessage(server.Message(1), folder.File("."), "default");
  EXPECT_TRUE(Has(parsed, "mailbox Cc 0: \"Dörte Ü\" <dora@example.org>\n")) << parsed;
  EXPECT_TRUE(Has(parsed, "mailbox Cc 1: \"\" <JOHN@example.org>\n")) << parsed;
  EXPECT_FALSE(Has(parsed, "mailbox Cc 2:")) << parsed;
  EXPECT_TRUE(Has(parsed, "mailbox To 1: \"Carol\" <carol@example.org>\n")) << parsed;
  EXPECT_TRUE(Has(parsed, "defects 0\n")) << parsed;
}

TEST_F(MessageFormatTest,
       TwoMessagesInTheSameSecondHaveTheirOwnIdAndBoundaryAndACommaStaysInTheName) {
  SmtpPeer server(folder.File("server"));
  WriteFile(folder.File("a.txt"), "attached");
  for (int i = 0; i < 2; ++i) {
    TForm1& f = Ready(server.Server());
    f.from.Text = "Doe, John <ann@example.org>";
    f.AttachedFiles.Items.Add(folder.File("a.txt"));
    Send(f);
  }
  ASSERT_EQ(server.Received(), 2);
  // The comma stays inside one display name, in From and in Sender alike.
  const std::string parsed = ParseMessage(server.Message(1), folder.File("."), "default");
  for (const char* field : {"From", "Sender"}) {
    EXPECT_TRUE(
        Has(parsed, "mailbox " + std::string(field) + " 0: \"Doe, John\" <ann@example.org>\n"))
        << parsed;
    EXPECT_FALSE(Has(parsed, "mailbox " + std::string(field) + " 1:")) << parsed;
  }
  // The text between Start and the next End.
  auto valueOf = [](const std::string& message, const std::string& start, char end) {
    const std::size_t at = message.find(start);
    if (at == std::string::npos) return std::string();
    const std::size_t from = at + start.size();
    return message.substr(from, message.find(end, from) - from);
  };
  std::vector<std::string> ids, boundaries;
  for (int n = 1; n <= 2; ++n) {
    const std::string message = ReadFile(server.Message(n));
    ids.push_back(valueOf(message, "\r\nMessage-ID: <", '>'));
    boundaries.push_back(valueOf(message, "boundary=\"", '"'));
    EXPECT_TRUE(ids.back().ends_with("@example.org")) << message;
    EXPECT_TRUE(boundaries.back().starts_with("= Multipart Boundary ")) << message;
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(boundaries[0], boundaries[1]);
}

}  // namespace

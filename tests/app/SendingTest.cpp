// Sending through the form model with the scripted front-end: the checks and their order, what
// the client is given (envelope, header fields, server, signature, charset), the body lines,
// and whole sends against the aiosmtpd test server: the request chain with its status texts and
// progress steps, retry, abort in every phase, and files that are deleted only after the server
// accepted the message.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "net/NameService.h"
#include "platform/Timer.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "tests/smtp/SmtpTestSupport.h"

namespace {

using namespace apptest;
using namespace composertest;

class SendingTest : public ComposerTest {
 protected:
  // A composer with a sendable message for the server.
  TForm1& Ready(const std::string& server) {
    TForm1& f = Start();
    f.SMTPServer.Text = server;
    f.from.Text = "Ann Example <ann@example.org>";
    f.sendto.Text = "bob@example.org";
    f.subject.Text = "Greetings";
    f.MessageText.Lines.Add("Hello Bob,");
    f.MessageText.Lines.Add(".a line that starts with a dot");
    f.RetryPacing = {20, 80};  // the waits between tries, made short
    Record();
    return f;
  }
  // Records, after each completion the composer handled, its status text and progress.
  void Record() {
    form().SmtpCli1->OnRequestDone = [this](TCustomSmtpClient* sender, TSmtpRequest rq,
                                            std::uint16_t error) {
      if (rq == TSmtpRequest::smtpOpen && error == 0) ++connections;
      form().SmtpCli1RequestDone(sender, rq, error);
      steps.push_back(form().StatusBar1.SimpleText + " | " +
                      std::to_string(form().ProgressBar1.Position()));
      if (afterCompletion) afterCompletion(rq, error);
    };
  }
  // A message file and an attachment on disk, both to be deleted after a successful send, and a
  // draft to be kept.
  void WithFilesToDelete(TForm1& f, const std::string& attachment) {
    WriteFile(folder.File("message.txt"), "Hello\r\n");
    WriteFile(folder.File("a.bin"), attachment);
    f.MessageFileName = folder.File("message.txt");
    f.MessageFileIdentity = IdentityOfPath(f.MessageFileName);  // as -f: read it
    f.DeleteMessageFile = true;
    f.AutoDeleteAttached.Checked = true;
    f.AttachedFiles.Items.Add(folder.File("a.bin"));
    f.KeepDraft = true;
  }
  bool Idle() { return !form().Sending(); }
  // Presses Send and runs the loop until the send has ended.
  void Send() {
    form().SendBtn.Click();
    ASSERT_TRUE(PumpUntil([this] { return Idle(); })) << "the send did not end";
  }
  // Presses Send against a closed port and waits for the failure (the client is then filled).
  void SendToClosedPort() {
    form().SMTPServer.Text = "127.0.0.1:" + std::to_string(ClosedPort());
    Send();
  }
  std::vector<std::string> Boxes() const {
    std::vector<std::string> texts;
    for (const auto& box : frontEnd.MessageBoxes) texts.push_back(box.Text);
    return texts;
  }
  std::vector<std::string> Rcpt() const { return form().SmtpCli1->RcptName().Lines(); }
  TForm1& form() const { return *Form1; }

  int connections = 0;
  std::vector<std::string> steps;
  std::function<void(TSmtpRequest, std::uint16_t)> afterCompletion;
};

// ---- Checks before anything is sent

TEST_F(SendingTest, RequiredFieldsAreCheckedInOrderAndNothingStarts) {
  TForm1& f = Start();
  f.SMTPServer.Text.clear();
  f.from.Text.clear();
  const std::vector<std::pair<std::function<void()>, std::string>> steps = {
      {[] {}, "No SMTP Server specified, can't send mail."},
      {[&] { f.SMTPServer.Text = "127.0.0.1"; },
       "Sender not specified (from-field), can't send mail."},
      {[&] { f.from.Text = "ann@example.org"; },
       "Reciptient not specified (to-field), can't send mail."},
      {[&] { f.sendto.Text = "bob@example.org"; }, "No message text written, can't send mail."},
  };
  for (const auto& [fill, message] : steps) {
    fill();
    frontEnd.MessageBoxes.clear();
    f.SendBtn.Click();
    ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
    EXPECT_EQ(frontEnd.MessageBoxes[0].Text, message);
    EXPECT_EQ(frontEnd.MessageBoxes[0].Caption, "Tarvik 2.0 - ERROR");
    EXPECT_EQ(frontEnd.MessageBoxes[0].Type, MB_ICONERROR);
    EXPECT_EQ(f.SendBtn.Caption, "&Send");
    EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Ready.");
    EXPECT_EQ(f.SmtpCli1->State(), TSmtpState::smtpReady);
  }
}

TEST_F(SendingTest, EmptyAddressesAndLineBreaksAreRefusedBeforeAnythingIsSent) {
  struct Case {
    std::string from, sendto, subject;
    std::string expected;  // part of the error text
  };
  const std::vector<Case> cases = {
      {"ann@example.org", "Bob <>", "s", "\"Bob <>\" holds no address"},
      {"ann@example.org", "Bob <bob@example.org", "s", "\"Bob <bob@example.org\" holds no address"},
      {"ann@example.org", "bob@example.org;Bob <bob>", "s",
       "\"Bob <bob>\" holds no mail address (no \"@\")"},
      {"ann@example.org", "bob@example.org; <>; carol@example.org", "s", "\"<>\" holds no address"},
      {"ann@example.org", "bob@example.org\r\nRCPT TO:<eve@example.org>", "s",
       "to-field holds a line break"},
      {"ann@example.org", "bob@example.org", "Hi\nBcc: eve@example.org",
       "subject-field holds a line break"},
      {"ann@example.org\r", "bob@example.org", "s", "from-field holds a line break"},
      {"Ann <>", "bob@example.org", "s", "sender \"Ann <>\" holds no address"},
  };
  for (const Case& c : cases) {
    TForm1& f = Start();
    f.SMTPServer.Text = "127.0.0.1:1";
    f.from.Text = c.from;
    f.sendto.Text = c.sendto;
    f.subject.Text = c.subject;
    f.MessageText.Lines.Add("text");
    frontEnd.MessageBoxes.clear();
    f.SendBtn.Click();
    ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u) << c.sendto;
    EXPECT_NE(frontEnd.MessageBoxes[0].Text.find(c.expected), std::string::npos)
        << frontEnd.MessageBoxes[0].Text;
    EXPECT_EQ(f.SendBtn.Caption, "&Send");
    EXPECT_EQ(f.SmtpCli1->State(), TSmtpState::smtpReady) << "nothing may start";
    EXPECT_TRUE(f.SmtpCli1->RcptName().Empty());
  }
}

TEST_F(SendingTest, AttachmentThatVanishedIsReportedNotThrown) {
  TForm1& f = Ready("127.0.0.1:1");
  f.AttachedFiles.Items.Add(folder.File("gone.bin"));
  f.SendBtn.Click();
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_NE(frontEnd.MessageBoxes[0].Text.find("File not found"), std::string::npos);
  EXPECT_EQ(f.SendBtn.Caption, "&Send");
}

// ---- What the client is given

TEST_F(SendingTest, SenderRecipientsAndHeaderFields) {
  struct Case {
    std::string from, sendto;
    std::vector<std::string> rcpt;
    std::string hdrTo;
  };
  const std::vector<Case> cases = {
      {"Ann Example <ann@example.org>",
       "Bob <bob@example.org>; Carol <carol@example.org>",
       {"bob@example.org", "carol@example.org"},
       "Bob <bob@example.org>, Carol <carol@example.org>"},
      {"ann@example.org",
       "bob@example.org;carol@example.org",
       {"bob@example.org", "carol@example.org"},
       "bob@example.org, carol@example.org"},
      // empty and blank entries are skipped: every real one gets the message, and the header
      // names exactly the envelope's recipients
      {"ann@example.org",
       "bob@example.org;;carol@example.org; ;dave@example.org;",
       {"bob@example.org", "carol@example.org", "dave@example.org"},
       "bob@example.org, carol@example.org, dave@example.org"},
      // one blank is removed, not two
      {"ann@example.org",
       "bob@example.org;  carol@example.org",
       {"bob@example.org", " carol@example.org"},
       "bob@example.org,  carol@example.org"},
      // without ";" the blank stays
      {"ann@example.org", " bob@example.org", {" bob@example.org"}, " bob@example.org"},
      // the "; " left after the last address is no recipient
      {"ann@example.org", "bob@example.org; ", {"bob@example.org"}, "bob@example.org"},
  };
  for (const Case& c : cases) {
    TForm1& f = Ready("127.0.0.1:1");
    f.from.Text = c.from;
    f.sendto.Text = c.sendto;
    SendToClosedPort();
    EXPECT_EQ(f.SmtpCli1->HdrFrom(), c.from);
    EXPECT_EQ(f.SmtpCli1->FromName(),
              f.from.Text.find('<') != std::string::npos ? "ann@example.org" : c.from);
    EXPECT_EQ(Rcpt(), c.rcpt) << c.sendto;
    EXPECT_EQ(f.SmtpCli1->HdrTo(), c.hdrTo);
    EXPECT_EQ(f.SmtpCli1->HdrSubject(), "Greetings");
  }
}

TEST_F(SendingTest, EveryRecipientOfALongListIsKept) {
  TForm1& f = Ready("127.0.0.1:1");
  f.sendto.Text.clear();
  for (int i = 0; i < 300; ++i) f.sendto.Text += "user" + std::to_string(i) + "@example.org;";
  SendToClosedPort();
  ASSERT_EQ(Rcpt().size(), 300u);
  EXPECT_EQ(Rcpt().back(), "user299@example.org");
}

TEST_F(SendingTest, SendForwardAddsTheSenderToTheRecipients) {
  TForm1& f = Ready("127.0.0.1:1");
  f.SendForward = true;
  SendToClosedPort();
  EXPECT_EQ(Rcpt(), (std::vector<std::string>{"bob@example.org", "ann@example.org"}));
  f.from.Text = "ann@example.org";
  SendToClosedPort();
  EXPECT_EQ(Rcpt(), (std::vector<std::string>{"bob@example.org", "ann@example.org"}));
}

TEST_F(SendingTest, ServerTextGivesHostAndPort) {
  TForm1& f = Ready("");
  for (const auto& [server, host, port] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"127.0.0.1", "127.0.0.1", "25"}, {"127.0.0.1:2525", "127.0.0.1", "2525"}}) {
    f.SMTPServer.Text = server;
    f.SendBtn.Click();
    EXPECT_EQ(f.SmtpCli1->Host(), host);
    EXPECT_EQ(f.SmtpCli1->Port(), port);
    if (!Idle()) f.SendBtn.Click();  // abort at once
    ASSERT_TRUE(PumpUntil([this] { return Idle(); }));
  }
  // A text ending in ":" names no port: refused before anything starts (MessageFormatTest has
  // the other forms).
  frontEnd.MessageBoxes.clear();
  f.SMTPServer.Text = "127.0.0.1:";
  f.SendBtn.Click();
  EXPECT_TRUE(Idle());
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_TRUE(Boxes()[0].starts_with("The port \"\" of the server \"127.0.0.1:\"")) << Boxes()[0];
}

TEST_F(SendingTest, SignatureLinesFollowTheMessage) {
  TForm1& f = Ready("127.0.0.1:1");
  WriteFile(folder.File("sign.txt"), "Ann\r\nhttps://example.org\r\n");
  f.SignFile.Text = folder.File("sign.txt");
  SendToClosedPort();
  EXPECT_EQ(f.SignLines, (TStringList{"", "--", "Ann", "https://example.org"}));

  char line[1024];
  std::vector<std::string> body;
  for (int n = 1;; ++n) {
    bool more = true;
    f.SmtpCli1GetData(f.SmtpCli1.get(), n, line, 1023, more);
    if (!more) break;
    body.push_back(line);
  }
  EXPECT_EQ(body, (std::vector<std::string>{"Hello Bob,", ".a line that starts with a dot", "",
                                            "--", "Ann", "https://example.org"}));

  f.SignFile.Text.clear();
  SendToClosedPort();
  EXPECT_TRUE(f.SignLines.Empty());
}

TEST_F(SendingTest, UnreadableSignatureAsksAndNoCancelsTheSend) {
  TForm1& f = Ready("127.0.0.1:1");
  f.SignFile.Text = folder.File("missing.txt");
  frontEnd.MessageBoxAnswers = {IDNO};
  f.SendBtn.Click();
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text,
            "The signfile cannot be opened, sign will not be added.\rSend message anyway?");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Caption, "SignFile Error");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Type, MB_YESNO + MB_ICONQUESTION);
  EXPECT_EQ(f.SendBtn.Caption, "&Send");
  EXPECT_EQ(f.SmtpCli1->State(), TSmtpState::smtpReady);

  f.SignFile.Text = folder.Path();  // a folder is not a signature file either
  f.SendBtn.Click();
  EXPECT_EQ(frontEnd.MessageBoxes.size(), 2u);
  EXPECT_EQ(f.SendBtn.Caption, "&Send");

  frontEnd.MessageBoxAnswers = {IDYES};
  f.SendBtn.Click();
  EXPECT_EQ(f.SendBtn.Caption, "&Abort") << "Yes sends without the signature";
  EXPECT_TRUE(f.SignLines.Empty());
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }));
}

TEST_F(SendingTest, CharsetLabelMatchesTheBytes) {
  TForm1& f = Ready("127.0.0.1:1");
  SendToClosedPort();
  EXPECT_EQ(f.SmtpCli1->CharSet(), "iso-8859-1");
  EXPECT_EQ(f.SmtpCli1->TextTransferEncoding(), "7bit");
  f.MessageText.Lines.Add(
      "Gr\xC3\xBC\xC3\x9F"
      "e");  // UTF-8
  SendToClosedPort();
  EXPECT_EQ(f.SmtpCli1->CharSet(), "utf-8");
  EXPECT_EQ(f.SmtpCli1->TextTransferEncoding(), "8bit");
  f.MessageText.Lines.Add("caf\xE9");  // a Latin-1 byte: not UTF-8
  SendToClosedPort();
  EXPECT_EQ(f.SmtpCli1->CharSet(), "iso-8859-1");
  EXPECT_EQ(f.SmtpCli1->TextTransferEncoding(), "8bit");
  f.MessageText.Lines.Delete(f.MessageText.Lines.Count() - 1);
  f.MessageText.Lines.Delete(f.MessageText.Lines.Count() - 1);
  f.subject.Text = "\xE2\x82\xAC 5";  // euro sign in the subject
  SendToClosedPort();
  EXPECT_EQ(f.SmtpCli1->CharSet(), "utf-8");
  EXPECT_EQ(f.SmtpCli1->TextTransferEncoding(), "7bit") << "the body itself is ASCII";
}

TEST_F(SendingTest, MailerLineIsAddedToTheHeader) {
  TForm1& f = Start();
  TStringList header{"From: a", "Date: x"};
  f.SmtpCli1ProcessHeader(f.SmtpCli1.get(), header);
  ASSERT_EQ(header.Count(), 3);
  EXPECT_TRUE(header[2].starts_with("X-Mailer: Tarvik v2.0"));
  EXPECT_EQ(header[0], "From: a");
}

// ---- Body lines: the text arrives exactly as written

std::vector<std::string> BodyOf(TForm1& f) {
  std::vector<std::string> body;
  char line[1025];
  for (int n = 1; n < (1 << 20); ++n) {
    bool more = true;
    std::memset(line, 'X', sizeof line);
    f.SmtpCli1GetData(f.SmtpCli1.get(), n, line, 1023, more);
    if (!more) break;
    body.emplace_back(line);
  }
  return body;
}

// RFC 2045 6.7: "=" at the end of a wire line joins it to the next, "=XX" is one byte.
std::vector<std::string> QuotedPrintableDecoded(const std::vector<std::string>& wire) {
  std::vector<std::string> lines(1);
  for (const std::string& piece : wire) {
    const bool soft = piece.ends_with("=");
    for (std::size_t i = 0; i < piece.size() - (soft ? 1 : 0); ++i) {
      if (piece[i] == '=') {
        lines.back() += static_cast<char>(std::stoi(piece.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        lines.back() += piece[i];
      }
    }
    if (!soft) lines.emplace_back();
  }
  lines.pop_back();
  return lines;
}

TEST_F(SendingTest, LinesTheWireCannotCarryGoOutQuotedPrintableAndDecodeToTheTextAsWritten) {
  TForm1& f = Ready("127.0.0.1:1");
  std::string words;
  while (words.size() < 2500) words += "word" + std::to_string(words.size()) + " ";
  std::string utf8;
  while (utf8.size() < 1200) utf8 += "\xC3\xA4";  // two-byte characters, no blank
  const TStringList text{words,
                         std::string(5000, 'x'),
                         utf8,
                         "." + std::string(1500, 'y'),
                         "From here",
                         "",
                         "trailing blanks   ",
                         std::string(998, 'e')};
  f.MessageText.Lines = text;
  SendToClosedPort();  // the send chooses the encoding from the text
  EXPECT_EQ(f.SmtpCli1->TextTransferEncoding(), "quoted-printable");
  const std::vector<std::string> body = BodyOf(f);
  for (const std::string& piece : body) {
    EXPECT_LE(piece.size(), 76u);
    EXPECT_FALSE(HoldsEightBit(piece));
  }
  EXPECT_EQ(QuotedPrintableDecoded(body), text.Lines());

  // ASCII lines of up to 998 characters go as they are, one body line each.
  const TStringList plain{std::string(998, 'e'), ".dot", "", "trailing blanks   "};
  f.MessageText.Lines = plain;
  SendToClosedPort();
  EXPECT_EQ(f.SmtpCli1->TextTransferEncoding(), "7bit");
  EXPECT_EQ(BodyOf(f), plain.Lines());
}

TEST_F(SendingTest, BodyLinesAreServedInAnyOrderTheClientAsks) {
  TForm1& f = Ready("127.0.0.1:1");
  f.MessageText.Lines = TStringList{std::string(1500, 'a'), "second"};
  SendToClosedPort();
  const std::vector<std::string> body = BodyOf(f);
  ASSERT_GT(body.size(), 3u);
  char line[1025];
  bool more = true;
  for (int n = static_cast<int>(body.size()); n >= 1; n -= 3) {
    f.SmtpCli1GetData(f.SmtpCli1.get(), n, line, 1023, more);
    EXPECT_TRUE(more);
    EXPECT_EQ(line, body[static_cast<std::size_t>(n - 1)]) << n;
  }
  f.SmtpCli1GetData(f.SmtpCli1.get(), static_cast<int>(body.size()) + 1, line, 1023, more);
  EXPECT_FALSE(more);
}

// ---- Whole sends against the test server

TEST_F(SendingTest, RequestChainShowsEachStepAndDeletesFilesAfterSuccess) {
  SmtpPeer server(folder.File("server"));
  TForm1& f = Ready(server.Server());
  WithFilesToDelete(f, std::string("\x00\x01\x02", 3));

  f.SendBtn.Click();
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Connecting to server...");
  EXPECT_EQ(f.ProgressBar1.Position(), 1);
  EXPECT_EQ(f.SendBtn.Caption, "&Abort");
  EXPECT_FALSE(f.PageControl1.Enabled);
  EXPECT_FALSE(f.MessageText.Enabled);
  EXPECT_FALSE(f.ClearBtn.Enabled);
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }));

  EXPECT_EQ(steps, (std::vector<std::string>{
                       "Status: Connected, waiting for reply... | 2",
                       "Status: Sending reciptient information... | 3",
                       "Status: Sending email message... | 4",
                       "Status: Sending completed, closing connection... | 5",
                       "Status: Message sent successfully. | 0",
                   }));
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  EXPECT_TRUE(f.PageControl1.Enabled);
  EXPECT_TRUE(f.MessageText.Enabled);
  EXPECT_TRUE(f.ClearBtn.Enabled);
  EXPECT_FALSE(f.KeepDraft);
  ASSERT_EQ(server.Received(), 1);
  EXPECT_EQ(ReadFile(server.Envelope(1)), "FROM ann@example.org\nRCPT bob@example.org\n");
  const std::string message = ReadFile(server.Message(1));
  EXPECT_NE(message.find("\r\nX-Mailer: Tarvik v2.0"), std::string::npos);
  EXPECT_NE(message.find("\r\n.a line that starts with a dot\r\n"), std::string::npos);
  EXPECT_FALSE(Exists(folder.File("message.txt")));
  EXPECT_FALSE(Exists(folder.File("a.bin")));
  EXPECT_EQ(f.AttachedFiles.Items.Count(), 1) << "the list keeps its entries";
}

TEST_F(SendingTest, RetryUntilSentAgainstAServerThatRefusesTwice) {
  SmtpPeer server(folder.File("server"), {"--fail-first", "2"});
  TForm1& f = Ready(server.Server());
  f.DoRetry = true;
  Send();
  EXPECT_EQ(connections, 3);
  EXPECT_EQ(server.Received(), 1);
  EXPECT_TRUE(frontEnd.MessageBoxes.empty()) << "failures are silent while retrying";
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message sent successfully.");
  EXPECT_TRUE(f.DoRetry) << "retry stays in force for later sends";
}

TEST_F(SendingTest, RetryOnceRetriesExactlyOnce) {
  SmtpPeer server(folder.File("server"), {"--fail-first", "2"});
  TForm1& f = Ready(server.Server());
  f.DoRetry = true;
  f.DoRetryOnce = true;
  Send();
  EXPECT_EQ(connections, 2);
  EXPECT_EQ(server.Received(), 0);
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_TRUE(frontEnd.MessageBoxes[0].Text.starts_with("Error occured while sending mail:\r451"))
      << frontEnd.MessageBoxes[0].Text;
  EXPECT_FALSE(f.DoRetry);
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message not sent due to an error.");
}

TEST_F(SendingTest, ShiftHeldWhilePressingSendRetriesSilently) {
  SmtpPeer server(folder.File("server"), {"--fail-first", "1"});
  TForm1& f = Ready(server.Server());
  frontEnd.SetKeyDown(VK_SHIFT, true);
  f.SendBtn.Click();
  frontEnd.SetKeyDown(VK_SHIFT, false);
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }));
  EXPECT_TRUE(f.DoRetry);
  EXPECT_EQ(connections, 2);
  EXPECT_EQ(server.Received(), 1);
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
}

TEST_F(SendingTest, FailureIsReportedWithTheServersReplyAndKeepsTheFiles) {
  struct Case {
    std::vector<std::string> serverOptions;
    std::string reply;
  };
  const std::vector<Case> cases = {
      {{"--refuse-rcpt", "bob@example.org"}, "550 5.1.1 <bob@example.org>"},
      {{"--close-in-data", "1"}, ""},  // the connection closes in the middle of the data
      {{"--fail-first", "1", "--fail-at", "data", "--fail-code", "554"}, "554"},
  };
  for (const Case& c : cases) {
    SmtpPeer server(folder.File("server"), c.serverOptions);
    TForm1& f = Ready(server.Server());
    WithFilesToDelete(f, "attachment");
    frontEnd.MessageBoxes.clear();
    Send();
    ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
    EXPECT_TRUE(
        frontEnd.MessageBoxes[0].Text.starts_with("Error occured while sending mail:\r" + c.reply))
        << frontEnd.MessageBoxes[0].Text;
    EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message not sent due to an error.");
    EXPECT_EQ(f.ProgressBar1.Position(), 0);
    EXPECT_EQ(ReadFile(folder.File("message.txt")), "Hello\r\n");
    EXPECT_EQ(ReadFile(folder.File("a.bin")), "attachment");
    EXPECT_TRUE(f.KeepDraft);
    EXPECT_EQ(server.Received(), 0);
  }
}

// A connection nobody takes, or a server name that does not resolve (no such name, or a name
// without an address), names what to check and the setting, after the failure's own text.
TEST_F(SendingTest, ConnectionAndLookupFailuresNameWhatToCheckAndTheSetting) {
  Ready("");
  SendToClosedPort();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_TRUE(Boxes()[0].starts_with("Error occured while sending mail:\r500 Connection refused"))
      << Boxes()[0];
  EXPECT_NE(Boxes()[0].find("\rNo SMTP server answered at 127.0.0.1 port " +
                            form().SmtpCli1->Port() + ": check the setting SMTPServer"),
            std::string::npos)
      << Boxes()[0];

  // A server's own words draw no hint about where it is.
  smtptest::ScriptedServer listed(
      {smtptest::ScriptedServer::Reply("554 5.7.1 Connection refused: your address is listed\r\n"),
       smtptest::ScriptedServer::ReadToEnd()});
  frontEnd.MessageBoxes.clear();
  form().SMTPServer.Text = "127.0.0.1:" + listed.PortText();
  Send();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0],
            "Error occured while sending mail:\r554 5.7.1 Connection refused: your "
            "address is listed");

  for (const auto& [code, text] :
       {std::pair{WSAHOST_NOT_FOUND, "Host not found"}, std::pair{WSANO_DATA, "No Data"}}) {
    SetNameService([code](const std::string&, Winsock::HostEntry&) { return code; });
    frontEnd.MessageBoxes.clear();
    form().SMTPServer.Text = "mail.nowhere.test";
    Send();
    ResetNameService();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0], "Error occured while sending mail:\r500 " + std::string(text) +
                              " (Winsock error #" + std::to_string(code) +
                              ")\rThe name mail.nowhere.test does not resolve to an address: "
                              "check the setting SMTPServer (option -server:HOST:PORT) and the "
                              "name service.");
  }
}

// While a large message goes out, the bar and the status line follow the bytes sent of its
// total, a few times a second, rising; before and after, the phases stand as ever.
TEST_F(SendingTest, TransferShowsTheBytesSentOfTheTotal) {
  SmtpPeer server(folder.File("server"));
  TForm1& f = Ready(server.Server());
  WriteFile(folder.File("big.bin"), std::string(12 << 20, 'x'));
  f.AttachedFiles.Items.Add(folder.File("big.bin"));
  std::vector<std::pair<std::string, int>> seen;  // status and per mille, as each tick left them
  TTimer watch("watch", 20, true);
  watch.OnTimer = [&](TTimer*) {
    if (f.ProgressBar1.Max == 1000 &&
        (seen.empty() || seen.back().first != f.StatusBar1.SimpleText.Get()))
      seen.emplace_back(f.StatusBar1.SimpleText, f.ProgressBar1.Position());
  };
  Send();
  watch.SetEnabled(false);
  ASSERT_EQ(server.Received(), 1);
  ASSERT_FALSE(seen.empty()) << "no byte count shown";
  EXPECT_TRUE(seen.front().first.starts_with("Status: Sending email message... ")) << seen[0].first;
  EXPECT_NE(seen.front().first.find(" of 17.3 MB ("), std::string::npos) << seen[0].first;
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i].second, seen[i - 1].second);
  EXPECT_EQ(steps.at(steps.size() - 2), "Status: Sending completed, closing connection... | 5");
  EXPECT_EQ(f.ProgressBar1.Max, 6);
}

TEST_F(SendingTest, OneRefusedRecipientAmongSeveralStopsTheSend) {
  SmtpPeer server(folder.File("server"), {"--refuse-rcpt", "bob@example.org"});
  TForm1& f = Ready(server.Server());
  f.sendto.Text = "Bob <bob@example.org>; Carol <carol@example.org>";
  Send();
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_NE(frontEnd.MessageBoxes[0].Text.find("550 5.1.1 <bob@example.org>"), std::string::npos);
  EXPECT_EQ(server.Received(), 0) << "no recipient gets it while one would silently miss it";
}

// A window's error box runs the event loop while it is open, and the failed session is still
// live then: timers tick (the automatic send presses the button, which reads "&Abort" until the
// box is confirmed; the draft is saved) and the session's own events arrive. Nothing of that
// may leave a second report, a half-restored window or a stale flag that spoils the next send.
TEST_F(SendingTest, ErrorBoxThatPumpsTheLoopLeavesAConsistentIdleWindow) {
  SmtpPeer server(folder.File("server"), {"--refuse-rcpt", "bob@example.org"});
  TForm1& f = Ready(server.Server());
  f.AutoSend = true;
  f.SaveDraftTimer.SetInterval(5);
  int draftTicks = 0;
  f.SaveDraftTimer.OnTimer = [&](TTimer* sender) {
    ++draftTicks;
    f.SaveDraftTimerTimer(sender);
  };
  std::vector<std::string> captionsWhileOpen;
  frontEnd.OnMessageBox = [&](const ScriptedFrontEnd::MessageBoxCall&) {
    f.ShowTimer.SetInterval(1);
    f.ShowTimer.SetEnabled(true);  // its tick presses the button while the box is open
    EXPECT_TRUE(PumpUntil([&] { return !f.ShowTimer.Enabled() && draftTicks >= 3; }));
    captionsWhileOpen.push_back(f.SendBtn.Caption);
  };
  Send();
  frontEnd.OnMessageBox = nullptr;
  ASSERT_EQ(Boxes().size(), 1u) << "one report, however long the box stayed open";
  EXPECT_EQ(captionsWhileOpen, std::vector<std::string>{"&Abort"});
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message not sent due to an error.");
  EXPECT_EQ(f.SendBtn.Caption, "&Send");
  EXPECT_TRUE(f.PageControl1.Enabled);
  EXPECT_TRUE(f.MessageText.Enabled);
  EXPECT_TRUE(f.ClearBtn.Enabled);
  EXPECT_EQ(f.ProgressBar1.Position(), 0);
  EXPECT_FALSE(f.SendSucceeded);
  EXPECT_EQ(connections, 1) << "the tick during the box started no second session";

  // The next send is whole: it is not taken for an abort, and it reaches the server.
  f.sendto.Text = "carol@example.org";
  Send();
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message sent successfully.");
  EXPECT_EQ(server.Received(), 1);
  EXPECT_EQ(Boxes().size(), 1u);
}

// A server may hold the connection a while after its 221: the send is over for the window,
// which is idle again, and Send pressed at once starts a new session instead of failing on the
// old one ("already connected").
TEST_F(SendingTest, SendRightAfterASendWhoseServerHasNotClosedYet) {
  using smtptest::ScriptedServer;
  using S = ScriptedServer;
  ScriptedServer server(
      {S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply("250 hi\r\n"), S::ReadLine(),
       S::Reply("250 ok\r\n"), S::ReadLine(), S::Reply("250 ok\r\n"), S::ReadLine(),
       S::Reply("354 go\r\n"), S::ReadData(), S::Reply("250 queued\r\n"), S::ReadLine(),
       S::Reply("221 bye\r\n"), S::ReadToEnd()},
      2);
  TForm1& f = Ready("127.0.0.1:" + server.PortText());
  Send();
  ASSERT_TRUE(f.SmtpCli1->Connected()) << "the server still holds the first session";
  f.MessageText.Lines.Add("a second message");  // not a copy of the first
  Send();
  EXPECT_TRUE(Boxes().empty()) << (Boxes().empty() ? "" : Boxes()[0]);
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message sent successfully.");
  EXPECT_EQ(connections, 2);
}

class AbortTest : public SendingTest, public ::testing::WithParamInterface<int> {};

// Abort pressed while connecting (0), during MAIL FROM (1), RCPT TO (2), DATA (3).
TEST_P(AbortTest, AbortEndsTheSendQuietlyAndKeepsEverything) {
  SmtpPeer server(folder.File("server"));
  TForm1& f = Ready(server.Server());
  WriteFile(folder.File("a.bin"), "attachment");
  f.AutoDeleteAttached.Checked = true;
  f.AttachedFiles.Items.Add(folder.File("a.bin"));
  f.DoRetry = true;
  f.ReportFailure = true;
  const int phase = GetParam();
  int completions = 0;
  afterCompletion = [&](TSmtpRequest, std::uint16_t error) {
    if (error == 0 && ++completions == phase) f.SendBtn.Click();
  };
  f.SendBtn.Click();
  if (phase == 0) f.SendBtn.Click();
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }));
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Sending aborted.");
  EXPECT_EQ(f.ProgressBar1.Position(), 0);
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  EXPECT_FALSE(f.DoRetry) << "Abort ends the retrying";
  EXPECT_FALSE(f.AbortRequested);
  EXPECT_TRUE(f.PageControl1.Enabled);
  EXPECT_EQ(ReadFile(folder.File("a.bin")), "attachment");
  EXPECT_EQ(server.Received(), 0);
  EXPECT_EQ(connections, phase == 0 ? 0 : 1) << "no retry after an abort";
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, AbortTest, ::testing::Values(0, 1, 2, 3));

TEST_F(SendingTest, NotifierIsToldTheOutcome) {
  // A stand-in notifier on PATH that records its argument.
  const std::string bin = folder.File("bin");
  ::mkdir(bin.c_str(), 0700);
  const std::string log = folder.File("notifier.log");
  WriteFile(bin + "/vorelclient", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + log + "'\n");
  ::chmod((bin + "/vorelclient").c_str(), 0700);
  env.Set("PATH", bin + ":" + std::string(std::getenv("PATH")));
  auto logged = [&](std::size_t lines) {
    return PumpUntil([&] {
      const std::string text = ReadFile(log);
      return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines;
    });
  };

  SmtpPeer server(folder.File("server"));
  TForm1& f = Ready(server.Server());
  f.ReportFailure = f.ReportSuccess = true;
  Send();
  ASSERT_TRUE(logged(1));
  f.MessageText.Lines.Add("a second message");  // not a copy of the first
  SendToClosedPort();
  ASSERT_TRUE(logged(2));
  EXPECT_EQ(ReadFile(log),
            "soundchime:100 /noresult\nsay:tarvik reports: sendmail failed /noresult\n");
}

TEST_F(SendingTest, CloseWhenSentClosesTheWindowAfterSuccessOnly) {
  SmtpPeer server(folder.File("server"));
  TForm1& f = Ready("127.0.0.1:" + std::to_string(ClosedPort()));
  f.CloseWhenSent.Checked = true;
  Send();
  EXPECT_FALSE(f.Closed());
  f.SMTPServer.Text = server.Server();
  Send();
  EXPECT_TRUE(f.Closed());
}

}  // namespace

namespace {

using namespace apptest;
using namespace composertest;

// Once the server has accepted the message, the send has succeeded: an Abort pressed (or a
// failure) during QUIT neither reports an error nor keeps the files nor sends it again.
TEST_F(SendingTest, AbortDuringQuitAfterTheServerAcceptedCountsAsSent) {
  SmtpPeer server(folder.File("server"));
  TForm1& f = Ready(server.Server());
  WriteFile(folder.File("a.bin"), "attachment");
  f.AutoDeleteAttached.Checked = true;
  f.AttachedFiles.Items.Add(folder.File("a.bin"));
  f.DoRetry = true;
  int completions = 0;
  afterCompletion = [&](TSmtpRequest, std::uint16_t error) {
    if (error == 0 && ++completions == 4) f.SendBtn.Click();
  };
  Send();
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message sent successfully.");
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  EXPECT_FALSE(f.AbortRequested);
  EXPECT_EQ(connections, 1);
  EXPECT_EQ(server.Received(), 1);
  EXPECT_FALSE(Exists(folder.File("a.bin")));
}

}  // namespace

namespace {

using namespace apptest;
using namespace composertest;

// ---- Recipients

TEST_F(SendingTest, NicksInAListAreLookedUpAndAnUnknownOneRefusesTheSend) {
  WriteFile(SettingsFile(), "[adresses]\nBob Builder=bob@example.org\n");
  TForm1& f = Ready("127.0.0.1:1");
  f.sendto.Text = "bob;carl@example.org";  // Ctrl+Enter: the field was never left
  SendToClosedPort();
  EXPECT_EQ(Rcpt(), (std::vector<std::string>{"bob@example.org", "carl@example.org"}));
  EXPECT_EQ(f.SmtpCli1->HdrTo(), "Bob Builder <bob@example.org>, carl@example.org");

  f.sendto.Text = "carl@example.org; zed";
  frontEnd.MessageBoxes.clear();
  f.SendBtn.Click();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0],
            "Can't find name in adressbook, please specify address.\r\"zed\" is not in the "
            "adressbook.");
  EXPECT_FALSE(f.Sending()) << "nothing starts";
}

// ---- Bytes

// A message of one 8 MB line (a Base64 blob pasted as text) goes out quoted-printable in time
// that grows with its length, not with its square (scanning back to the start of the line made
// 2 MB take 16 s). The bound is a hundred times what the work needs.
TEST_F(SendingTest, ALongLineWithoutBlanksIsCutIntoPiecesInLinearTime) {
  TForm1& f = Ready("127.0.0.1:1");
  std::string blob(8 << 20, 'A');
  for (std::size_t i = 0; i < blob.size(); i += 7) blob[i] = 'z';
  f.MessageText.Lines = TStringList{blob};
  SendToClosedPort();
  const auto start = std::chrono::steady_clock::now();
  const std::vector<std::string> body = BodyOf(f);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(QuotedPrintableDecoded(body) == std::vector<std::string>{blob});
  EXPECT_EQ(body.size(), (blob.size() + 74) / 75);
  EXPECT_LT(took, std::chrono::seconds(10));
}

// ---- Waits

// Once the server has accepted the message it is sent: the files go at once, and QUIT, which
// this server never answers, holds the end for a few seconds only (the fake clock stands in
// for them).
TEST_F(SendingTest, AcceptedMessageDeletesTheFilesAtOnceAndQuitWaitsBriefly) {
  using S = smtptest::ScriptedServer;
  S server({S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply("250 hello\r\n"), S::ReadLine(),
            S::Reply("250 ok\r\n"), S::ReadLine(), S::Reply("250 ok\r\n"), S::ReadLine(),
            S::Reply("354 go\r\n"), S::DiscardData(), S::Reply("250 queued\r\n"), S::ReadLine(),
            S::ReadToEnd()});
  TForm1& f = Ready("127.0.0.1:" + server.PortText());
  WithFilesToDelete(f, "attachment");
  testsupport::FakeClock clock;
  f.SmtpCli1->SetClock(clock.Clock());
  f.SendBtn.Click();
  ASSERT_TRUE(PumpUntil([&] { return server.Transcript().ends_with("QUIT\r\n"); }));
  EXPECT_FALSE(Exists(folder.File("message.txt"))) << "deleted when the server took it";
  EXPECT_FALSE(Exists(folder.File("a.bin")));
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Sending completed, closing connection...");
  clock.Advance(std::chrono::seconds(TCustomSmtpClient::QuitWait));
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }, 5000));
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message sent successfully.");
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  EXPECT_EQ(connections, 1);
}

// ---- Retry

TEST(RetryPacingTest, WaitsGrowFromSecondsToACapOfMinutes) {
  const TForm1::TRetryPacing pacing;
  std::vector<std::uint32_t> waits;
  for (int failures = 1; failures <= 9; ++failures) waits.push_back(pacing.DelayMs(failures));
  EXPECT_EQ(waits, (std::vector<std::uint32_t>{5000, 10000, 20000, 40000, 80000, 160000, 300000,
                                               300000, 300000}));
  EXPECT_EQ(pacing.DelayMs(1000000), 300000u);
}

TEST_F(SendingTest, RetryWaitsLongerAfterEachFailureAndAbortEndsTheWait) {
  TForm1& f = Ready("127.0.0.1:" + std::to_string(ClosedPort()));
  WithFilesToDelete(f, "attachment");
  f.DoRetry = true;
  std::vector<std::chrono::steady_clock::time_point> failures;
  afterCompletion = [&](TSmtpRequest, std::uint16_t error) {
    if (error != 0) failures.push_back(std::chrono::steady_clock::now());
  };
  f.SendBtn.Click();
  ASSERT_TRUE(PumpUntil([&] { return failures.size() == 4; }));
  EXPECT_TRUE(f.Sending()) << "the wait belongs to the send: Send reads Abort";
  EXPECT_EQ(f.StatusBar1.SimpleText,
            "Status: Message not sent due to an error, trying again in 1 seconds...");
  for (std::size_t i = 1; i < failures.size(); ++i)
    EXPECT_GE(failures[i] - failures[i - 1],
              std::chrono::milliseconds(f.RetryPacing.DelayMs(static_cast<int>(i))))
        << "try " << i + 1 << " came early";
  f.SendBtn.Click();  // Abort, during the wait
  EXPECT_FALSE(f.Sending());
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Sending aborted.");
  EXPECT_FALSE(f.RetryTimer.Enabled());
  EXPECT_FALSE(f.DoRetry);
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  EXPECT_EQ(ReadFile(folder.File("a.bin")), "attachment");
  EXPECT_TRUE(Exists(folder.File("message.txt")));
}

// A 5yz reply will not change however often the same request is repeated (RFC 5321 4.2.1),
// and a port that is no port cannot be tried: either ends the retrying with its report.
TEST_F(SendingTest, PermanentRefusalOrABadPortEndsTheRetryingAfterOneTry) {
  SmtpPeer server(folder.File("server"), {"--fail-first", "100", "--fail-code", "550"});
  for (const std::string& where : {server.Server(), std::string("127.0.0.1:no-port")}) {
    SCOPED_TRACE(where);
    TForm1& f = Ready(where);
    f.DoRetry = true;
    frontEnd.MessageBoxes.clear();
    connections = 0;
    Send();
    EXPECT_FALSE(f.RetryTimer.Enabled());
    EXPECT_EQ(connections, where == server.Server() ? 1 : 0);
    ASSERT_EQ(Boxes().size(), 1u) << "the retrying ends with the report";
    if (where == server.Server()) {
      EXPECT_NE(Boxes()[0].find("\r550 Transaction failed"), std::string::npos) << Boxes()[0];
      EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message not sent due to an error.");
    } else {
      // A port that is no number is refused before a send starts, so nothing is retried.
      EXPECT_TRUE(Boxes()[0].starts_with("The port \"no-port\"")) << Boxes()[0];
      EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Ready.");
    }
  }
}

}  // namespace

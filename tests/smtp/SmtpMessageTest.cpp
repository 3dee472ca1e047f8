// The message on the wire, byte for byte, against a scripted loopback server: the header lines,
// the body lines from OnGetData with dot-stuffing, the hooks, and the failures during DATA.
#include <gtest/gtest.h>

#include <regex>

#include "tests/smtp/SmtpTestSupport.h"

using namespace smtptest;
using S = ScriptedServer;

namespace {

const std::regex DateLine(
    "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? "
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
    "[0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}\r\n");
// Right after Date: "<" UTC time "." 96 random bits "@" the sender's domain or the host's ">".
const std::regex MessageIdLine("Message-ID: <[0-9]{14}\\.[0-9a-f]{24}@[-.a-zA-Z0-9]+>\r\n");

std::vector<S::Step> Transaction(const std::string& DataReply = "354 go ahead\r\n",
                                 const std::string& DotReply = "250 queued\r\n") {
  std::vector<S::Step> s = {
      S::Reply("220 ready\r\n"), S::ReadLine(), S::Reply("250 hello\r\n"), S::ReadLine(),
      S::Reply("250 ok\r\n"),    S::ReadLine(), S::Reply("250 ok\r\n"),    S::ReadLine(),
      S::Reply(DataReply)};
  if (DataReply.rfind("354", 0) == 0) {
    s.push_back(S::ReadData());
    s.push_back(S::Reply(DotReply));
  }
  return s;
}

class SmtpMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    log.Attach(client);
    client.SetFromName("a@b.example");
    client.RcptName().Add("c@d.example");
    log.onDone = [this](TCustomSmtpClient* c, TSmtpRequest r, std::uint16_t e) {
      if (e != 0) return;
      if (r == TSmtpRequest::smtpOpen) c->MailFrom();
      if (r == TSmtpRequest::smtpMailFrom) c->RcptTo();
      if (r == TSmtpRequest::smtpRcptTo) c->Data();
    };
  }

  // Runs Open, MailFrom, RcptTo, Data and returns what the server received after "DATA".
  std::string Send(const std::vector<S::Step>& Script = Transaction()) {
    ScriptedServer server(Script);
    client.SetHost("127.0.0.1");
    client.SetPort(server.PortText());
    client.Open();
    EXPECT_TRUE(PumpUntil([&] {
      return !log.done.empty() &&
             (log.done.back().request == TSmtpRequest::smtpData || log.done.back().error != 0);
    }));
    EventLoop::Current().ProcessMessages();
    PumpUntil([&] { return server.Done(); }, 2000);
    const std::string all = server.Transcript();
    const auto pos = all.find("DATA\r\n");
    return pos == std::string::npos ? std::string() : all.substr(pos + 6);
  }

  // The data without its Date and Message-ID lines, which are checked on their own.
  static std::string WithoutDate(const std::string& Data) {
    std::smatch m;
    EXPECT_TRUE(std::regex_search(Data, m, DateLine)) << Data;
    EXPECT_TRUE(std::regex_search(Data, m, MessageIdLine)) << Data;
    return std::regex_replace(std::regex_replace(Data, DateLine, ""), MessageIdLine, "");
  }

  void Body(std::vector<std::string> Lines) {
    bodyLines = std::move(Lines);
    client.OnGetData = [this](TCustomSmtpClient*, int n, char* line, int maxLen, bool& more) {
      askedFor.push_back(n);
      EXPECT_EQ(maxLen, 1023);
      if (n > static_cast<int>(bodyLines.size())) {
        more = false;
        return;
      }
      std::snprintf(line, static_cast<size_t>(maxLen) + 1, "%s", bodyLines[n - 1].c_str());
    };
  }

  TestSmtpCli client;
  EventLog log;
  std::vector<std::string> bodyLines;
  std::vector<int> askedFor;
};

constexpr const char* PlainType = "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n";

}  // namespace

TEST_F(SmtpMessage, EmptyPropertiesGiveTheSixStandardLinesOnly) {
  const std::string data = Send();
  EXPECT_EQ(WithoutDate(data), std::string("From: \r\nTo: \r\nSubject: \r\nMime-Version: 1.0\r\n") +
                                   PlainType + "\r\n.\r\n");
  ASSERT_EQ(log.done.size(), 4u);
  EXPECT_EQ(log.done[3].request, TSmtpRequest::smtpData);
  EXPECT_EQ(log.done[3].error, 0);
}

TEST_F(SmtpMessage, AllPropertiesSetGiveTheLinesInOrder) {
  client.SetHdrReplyTo("  reply@x.example");
  client.SetHdrReturnPath("<bounce@x.example>");
  client.SetHdrFrom("Me <me@x.example>");
  client.SetHdrTo("You <you@x.example>");
  client.SetHdrSubject("Hello");
  client.SetHdrSender("sender@x.example");
  client.SetCharSet("utf-8");
  client.SetContentType(TSmtpContentType::smtpHTML);
  client.OnProcessHeader = [](TCustomSmtpClient*, TStringList& h) { h.Add("X-Mailer: test"); };
  const std::string data = Send();
  EXPECT_EQ(WithoutDate(data),
            "Reply-To:   reply@x.example\r\nReturn-Path: <bounce@x.example>\r\n"
            "From: Me <me@x.example>\r\nTo: You <you@x.example>\r\nSubject: Hello\r\n"
            "Sender: sender@x.example\r\nMime-Version: 1.0\r\n"
            "Content-Type: text/html; charset=\"utf-8\"\r\nX-Mailer: test\r\n\r\n.\r\n");
  // The added line comes after Date.
  EXPECT_LT(data.find("Date: "), data.find("X-Mailer: test"));
}

TEST_F(SmtpMessage, BlankSenderFallsBackToFrom) {
  client.SetHdrFrom("me@x.example");
  client.SetHdrSender("   ");
  const std::string data = Send();
  EXPECT_NE(data.find("\r\nSender: me@x.example\r\nMime-Version: 1.0\r\n"), std::string::npos)
      << data;
}

// Without 8BITMIME agreed (a HELO session) 8-bit text travels quoted-printable; a server that
// announced it gets the bytes as they are.
TEST_F(SmtpMessage, EightBitTextDeclaresItsTransferEncodingAfterTheContentType) {
  client.SetCharSet("utf-8");
  client.SetTextTransferEncoding("8bit");
  Body(
      {"Gr\xC3\xBC\xC3\x9F"
       "e"});
  const std::string data = Send();
  EXPECT_EQ(WithoutDate(data), std::string("From: \r\nTo: \r\nSubject: \r\nMime-Version: 1.0\r\n") +
                                   "Content-Type: text/plain; charset=\"utf-8\"\r\n"
                                   "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                                   "Gr=C3=BC=C3=9Fe\r\n.\r\n");
}

TEST_F(SmtpMessage, EightBitTextGoesOutAsItIsToAServerThatAnnouncedEightBitMime) {
  client.SetCharSet("utf-8");
  client.SetTextTransferEncoding("8bit");
  Body(
      {"Gr\xC3\xBC\xC3\x9F"
       "e"});
  log.onDone = [](TCustomSmtpClient* c, TSmtpRequest r, std::uint16_t e) {
    if (e != 0) return;
    if (r == TSmtpRequest::smtpOpen) {
      c->SetServer8BitMime(true);  // as an EHLO reply listing 8BITMIME would
      c->MailFrom();
    }
    if (r == TSmtpRequest::smtpMailFrom) c->RcptTo();
    if (r == TSmtpRequest::smtpRcptTo) c->Data();
  };
  const std::string data = Send();
  EXPECT_NE(data.find("\r\nContent-Transfer-Encoding: 8bit\r\n"), std::string::npos) << data;
  EXPECT_TRUE(
      data.ends_with("\r\n\r\nGr\xC3\xBC\xC3\x9F"
                     "e\r\n.\r\n"))
      << data;
}

TEST_F(SmtpMessage, BodyLinesAreDotStuffedAndEmptyLinesSentAsLineEnds) {
  Body({".", ".x", "a.b", "", "last"});
  // A header line that starts with a dot is stuffed too; one with dots inside is not.
  client.OnProcessHeader = [](TCustomSmtpClient*, TStringList& h) {
    h.Add(".Dotted: 1");
    h.Add("X-Dots: ...");
  };
  const std::string data = Send();
  const std::string tail = data.substr(data.find("X-Dots"));
  EXPECT_EQ(tail, "X-Dots: ...\r\n\r\n..\r\n..x\r\na.b\r\n\r\nlast\r\n.\r\n");
  EXPECT_NE(data.find("\r\n..Dotted: 1\r\n"), std::string::npos);
  EXPECT_EQ(askedFor, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

TEST_F(SmtpMessage, AFullLineStartingWithADotGoesOutWithItsSecondDot) {
  const std::string line = "." + std::string(1022, 'y');
  Body({line});
  const std::string data = Send();
  EXPECT_NE(data.find("\r\n\r\n." + line + "\r\n.\r\n"), std::string::npos);
}

TEST_F(SmtpMessage, GetDataEndingAtOnceGivesHeaderSeparatorAndDot) {
  Body({});
  const std::string data = Send();
  EXPECT_EQ(data.substr(data.size() - 7), "\r\n\r\n.\r\n");
  EXPECT_EQ(askedFor, (std::vector<int>{1}));
}

TEST_F(SmtpMessage, GetDataThrowingOnLineFiveSendsLinesOneToFourThenTheDot) {
  client.OnGetData = [](TCustomSmtpClient*, int n, char* line, int, bool&) {
    if (n == 5) throw std::runtime_error("editor gone");
    std::snprintf(line, 16, "line %d", n);
  };
  const std::string data = Send();
  EXPECT_EQ(data.substr(data.find("\r\n\r\n")),
            "\r\n\r\nline 1\r\nline 2\r\nline 3\r\nline 4\r\n.\r\n");
  EXPECT_EQ(log.done.back().error, 0);
}

TEST_F(SmtpMessage, RefusedDataSendsNothingAndCompletesWithTheCode) {
  Body({"never"});
  const std::string data = Send(Transaction("554 no thanks\r\n"));
  EXPECT_EQ(data, "");
  ASSERT_EQ(log.done.size(), 4u);
  EXPECT_EQ(log.done[3].error, 554);
  EXPECT_EQ(client.ErrorMessage(), "554 no thanks");
  EXPECT_TRUE(askedFor.empty());
}

TEST_F(SmtpMessage, RefusedDotCompletesWithItsCode) {
  Body({"x"});
  Send(Transaction("354 go\r\n", "552 too big\r\n"));
  EXPECT_EQ(log.done.back().error, 552);
}

TEST_F(SmtpMessage, DisplayShowsEveryLineAsSentAndCommandOnlyTheCommands) {
  Body({".dot", "plain"});
  client.OnHeaderLine = [](TCustomSmtpClient*, char* line, int size) {
    if (std::strncmp(line, "Subject:", 8) == 0)
      std::snprintf(line, static_cast<size_t>(size), "Subject: rewritten");
  };
  const std::string data = Send();
  EXPECT_NE(data.find("Subject: rewritten\r\n"), std::string::npos);
  auto shown = [&](const std::string& s) {
    return std::find(log.display.begin(), log.display.end(), s) != log.display.end();
  };
  EXPECT_TRUE(shown("> Subject: rewritten"));
  EXPECT_TRUE(shown("> ..dot"));
  EXPECT_TRUE(shown("> plain"));
  EXPECT_TRUE(shown("> "));
  EXPECT_TRUE(shown("> ."));
  EXPECT_EQ(log.command, (std::vector<std::string>{log.command[0], "MAIL FROM:<a@b.example>",
                                                   "RCPT TO:<c@d.example>", "DATA", "."}));
}

TEST_F(SmtpMessage, LongHeaderLinesAreFoldedAtBlanksWithNothingLost) {
  std::string to;
  for (int i = 0; i < 150; ++i) to += (i ? ", " : "") + ("user" + std::to_string(i) + "@x.example");
  client.SetHdrTo(to);
  client.SetHdrSubject(std::string(1500, 'S'));  // no blank at all
  const std::string data = Send();
  const std::string header = data.substr(0, data.find("\r\n\r\n") + 2);
  std::size_t start = 0, longest = 0;
  for (std::size_t pos; (pos = header.find("\r\n", start)) != std::string::npos; start = pos + 2)
    longest = std::max(longest, pos - start);
  EXPECT_LE(longest, 998u);
  // Unfolding (removing each CR LF before a blank) gives the value back.
  const std::string unfolded = std::regex_replace(header, std::regex("\r\n(?=[ \t])"), "");
  EXPECT_NE(unfolded.find("To: " + to + "\r\n"), std::string::npos);
  // A run without blanks is broken where it must be; the continuation brings its own blank.
  EXPECT_NE(
      unfolded.find("Subject: " + std::string(997, 'S') + " " + std::string(503, 'S') + "\r\n"),
      std::string::npos);
}

TEST_F(SmtpMessage, LineEndsInsideValuesCannotEndTheHeaderOrTheData) {
  client.SetHdrSubject("hi\r\n.\r\nRSET\r\n\r\nInjected: yes");
  Body({"one\r\n.\r\nQUIT", "two\nthree"});
  const std::string data = Send();
  EXPECT_NE(data.find("Subject: hi\r\n .\r\n RSET\r\n \r\n Injected: yes\r\n"), std::string::npos)
      << data;
  EXPECT_NE(data.find("\r\n\r\none\r\n..\r\nQUIT\r\ntwo\r\nthree\r\n.\r\n"), std::string::npos)
      << data;
}

TEST_F(SmtpMessage, StrayServerLinesDuringTheBodyAreOnlyShown) {
  Body({"a", "b", "c"});
  const std::string data = Send(Transaction("354 go\r\n250 early\r\n550 noise\r\n"));
  EXPECT_EQ(data.substr(data.find("\r\n\r\n")), "\r\n\r\na\r\nb\r\nc\r\n.\r\n");
  ASSERT_EQ(log.done.size(), 4u);
  EXPECT_EQ(log.done[3].error, 0);
}

TEST_F(SmtpMessage, ConnectionLostDuringTheBodyCompletesWith10004) {
  client.OnGetData = [](TCustomSmtpClient*, int n, char* line, int, bool& more) {
    more = n < 200000;
    std::snprintf(line, 64, "line %d", n);
  };
  auto script = Transaction("354 go\r\n");
  script.resize(script.size() - 2);
  script.push_back(S::ReadLine());
  script.push_back(S::Close());
  Send(script);
  ASSERT_EQ(log.done.size(), 4u);
  EXPECT_EQ(log.done[3].error, WSAEINTR);
  EXPECT_EQ(log.sessionClosed, 1);
}

TEST_F(SmtpMessage, TheSessionIsNeverSetToEndWithAReset) {
  linger seen{1, 1};
  log.onDone = [&](TCustomSmtpClient* c, TSmtpRequest r, std::uint16_t e) {
    if (e != 0) return;
    if (r == TSmtpRequest::smtpOpen) {
      socklen_t size = sizeof seen;
      ::getsockopt(client.Socket().HSocket(), SOL_SOCKET, SO_LINGER, &seen, &size);
      c->MailFrom();
    }
    if (r == TSmtpRequest::smtpMailFrom) c->RcptTo();
    if (r == TSmtpRequest::smtpRcptTo) c->Data();
  };
  Send();
  EXPECT_EQ(seen.l_onoff, 0) << "a close with SO_LINGER 0 would reset the connection";
}

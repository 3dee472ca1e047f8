// TSmtpCli attachments: the MIME structure on the wire against a scripted server, and the
// message parsed back by Python's email package after a real server (aiosmtpd) received it.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <regex>

#include "tests/smtp/SmtpTestSupport.h"

using namespace smtptest;
using S = ScriptedServer;

namespace {

std::string RandomBytes(std::size_t Size, unsigned Seed) {
  std::mt19937 gen(Seed);
  std::string s(Size, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// The parse of a received message: "key value" lines and the parts in order.
struct Parsed {
  std::map<std::string, std::string> items;
  std::vector<std::string> headers;
  std::vector<std::map<std::string, std::string>> parts;
};

Parsed ParseBack(const std::string& Message, const std::string& PartsDir) {
  const std::string text = RunCapture(
      {"/usr/bin/python3", PeerScript("parse_message.py"), Message, "--parts-dir", PartsDir});
  Parsed p;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto sp = line.find(' ');
    const std::string key = line.substr(0, sp), rest = line.substr(sp + 1);
    if (key == "header") {
      p.headers.push_back(rest);
    } else if (key == "part") {
      std::map<std::string, std::string> part;
      std::regex field("(\\w+)=(\\S*)");
      for (std::sregex_iterator it(rest.begin(), rest.end(), field), e; it != e; ++it)
        part[(*it)[1]] = (*it)[2];
      p.parts.push_back(part);
    } else {
      p.items[key] = rest;
    }
  }
  return p;
}

}  // namespace

TEST(SmtpMime, EmailFilesTrimsSkipsBlanksAndRefusesAMissingFile) {
  TestTempDir dir;
  WriteFile(dir.File("a.txt"), "a");
  WriteFile(dir.File("b.txt"), "b");
  TSmtpCli client;
  client.SetEmailFiles({"  " + dir.File("a.txt") + "  ", "", "   ", dir.File("b.txt")});
  EXPECT_EQ(client.EmailFiles(), (TStringList{dir.File("a.txt"), dir.File("b.txt")}));
  try {
    client.SetEmailFiles({dir.File("a.txt"), dir.File("missing.txt"), dir.File("b.txt")});
    FAIL() << "missing file accepted";
  } catch (const SmtpException& e) {
    EXPECT_EQ(std::string(e.what()), "File not found '" + dir.File("missing.txt") + "'");
  }
  EXPECT_EQ(client.EmailFiles(), (TStringList{dir.File("a.txt")}));
  // A folder is no file to attach.
  EXPECT_THROW(client.SetEmailFiles({dir.Path()}), SmtpException);
}

TEST(SmtpMime, WireImageOfTwoAttachments) {
  TestTempDir dir;
  WriteFile(dir.File("one.bin"), std::string(46, 'A'));
  WriteFile(dir.File("empty.dat"), "");
  MimeSend send;
  send.client.MailMessage().Add("Fixed line");
  send.client.MailMessage().Add(".dotted");
  send.client.OnGetData = [](TCustomSmtpClient*, int n, char* line, int, bool& more) {
    more = n <= 2;
    std::snprintf(line, 32, "owner line %d", n);  // numbered from 1 whatever came before
  };
  send.client.OnProcessHeader = [](TCustomSmtpClient*, TStringList& h) {
    h.Add("content-type: text/extra");
  };
  send.client.OnAttachContentType = [](TCustomSmtpClient*, int n, std::string& name,
                                       std::string& type) {
    if (n == 0) {
      name = "renamed.bin";
      type = "application/x-test";
    }
  };
  send.client.OnAttachHeader = [](TCustomSmtpClient*, int n, const std::string& name,
                                  TStringList& lines) {
    EXPECT_EQ(lines.Count(), 6);
    lines.Add("X-Part: " + std::to_string(n) + " " + name);
  };
  send.client.SetEmailFiles({dir.File("one.bin"), dir.File("empty.dat")});
  ScriptedServer server(SinkScript());
  ASSERT_TRUE(send.Run(server.Port()));
  EXPECT_EQ(send.DataError(), 0);
  PumpUntil([&] { return server.Done(); });
  const std::string data = DataOf(server.Transcript());

  std::smatch m;
  ASSERT_TRUE(std::regex_search(data, m, std::regex("boundary=\"(= Multipart Boundary \\d{10})\"")))
      << data;
  const std::string b = m[1];
  // Both Content-Type lines of the header, the built one and the added one, became multipart.
  const std::string multipart = "Content-Type: multipart/mixed;\r\n\tboundary=\"" + b + "\"\r\n";
  const auto first = data.find(multipart);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(data.find(multipart, first + 1), std::string::npos);
  const std::string body = data.substr(data.find("\r\n\r\n") + 4);
  EXPECT_EQ(body,
            "This is a multipart MIME message.\r\n\r\n--" + b +
                "\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                "Content-Transfer-Encoding: 7bit\r\n\r\n"
                "Fixed line\r\n..dotted\r\nowner line 1\r\nowner line 2\r\n"
                "\r\n--" +
                b +
                "\r\nContent-Type: application/x-test;\r\n\tname=\"renamed.bin\"\r\n"
                "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
                "\tfilename=\"one.bin\"\r\nX-Part: 0 renamed.bin\r\n\r\n" +
                "QUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFB\r\nQQ==\r\n"
                "\r\n--" +
                b +
                "\r\nContent-Type: application/octet-stream;\r\n\tname=\"empty.dat\"\r\n"
                "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
                "\tfilename=\"empty.dat\"\r\nX-Part: 1 empty.dat\r\n\r\n"
                "\r\n"  // the one empty data line of an empty file
                "\r\n--" +
                b + "--\r\n");
}

TEST(SmtpMime, WithoutAttachmentsTheBodyIsTheFixedThenTheOwnersLines) {
  MimeSend send;
  send.client.MailMessage().Add("fixed");
  send.client.OnGetData = [](TCustomSmtpClient*, int n, char* line, int, bool& more) {
    more = n == 1;
    std::strcpy(line, "owner");
  };
  ScriptedServer server(SinkScript());
  ASSERT_TRUE(send.Run(server.Port()));
  PumpUntil([&] { return server.Done(); });
  const std::string data = DataOf(server.Transcript());
  EXPECT_NE(data.find("Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"), std::string::npos);
  EXPECT_EQ(data.substr(data.find("\r\n\r\n")), "\r\n\r\nfixed\r\nowner\r\n");
}

TEST(SmtpMime, OverlongQueuedLinesGoOutQuotedPrintableAndComeBackWhole) {
  MimeSend send;
  const std::string words = [] {
    std::string s;
    for (int i = 0; i < 300; ++i) s += "word" + std::to_string(i) + " ";
    return s;
  }();
  send.client.MailMessage().Add(words);
  send.client.MailMessage().Add("=short=");
  ScriptedServer server(SinkScript());
  ASSERT_TRUE(send.Run(server.Port()));
  PumpUntil([&] { return server.Done(); });
  const std::string data = DataOf(server.Transcript());
  EXPECT_NE(data.find("\r\nContent-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
  const std::string body = data.substr(data.find("\r\n\r\n") + 4);
  std::size_t start = 0, longest = 0;
  for (std::size_t pos; (pos = body.find("\r\n", start)) != std::string::npos; start = pos + 2)
    longest = std::max(longest, pos - start);
  EXPECT_LE(longest, 76u);
  // Decoded (RFC 2045 6.7): soft line breaks join, "=XX" is one byte.
  std::string decoded;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body.compare(i, 3, "=\r\n") == 0) {
      i += 2;
    } else if (body[i] == '=') {
      decoded += static_cast<char>(std::stoi(body.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += body[i];
    }
  }
  EXPECT_EQ(decoded, words + "\r\n=short=\r\n");
}

// --- against aiosmtpd, parsed back by Python's email package ---

class SmtpMimeInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", dir.Path().c_str(), 1);
    ::setenv("XDG_STATE_HOME", dir.Path().c_str(), 1);
    std::filesystem::create_directories(dir.File("in"));
    std::filesystem::create_directories(dir.File("parts"));
  }
  TestTempDir dir;
};

TEST_F(SmtpMimeInterop, OpenMailFromTwoRecipientsAndQuitSucceedAndRefusalsCarryTheServersText) {
  AiosmtpdServer server(dir.File("in"), {"--refuse-rcpt", "bad@x.example"});
  MimeSend send;
  send.client.RcptName().Clear();
  send.client.RcptName().Add("one@x.example");
  send.client.RcptName().Add("<two@x.example>");
  ASSERT_TRUE(send.Run(server.Port()));
  ASSERT_EQ(send.log.done.size(), 5u);
  for (const auto& d : send.log.done) EXPECT_EQ(d.error, 0);
  EXPECT_EQ(ReadWholeFile(dir.File("in/msg-1.env")),
            "FROM sender@x.example\nRCPT one@x.example\n"
            "RCPT two@x.example\n");

  MimeSend refused;
  refused.client.RcptName().Clear();
  refused.client.RcptName().Add("bad@x.example");
  ASSERT_TRUE(refused.Run(server.Port()));
  EXPECT_EQ(refused.log.done.back().request, TSmtpRequest::smtpRcptTo);
  EXPECT_EQ(refused.log.done.back().error, 550);
  EXPECT_EQ(refused.client.ErrorMessage(), "550 5.1.1 <bad@x.example>: Recipient address rejected");
}

TEST_F(SmtpMimeInterop, AttachmentsOfEverySizeComeBackByteExact) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"zero.bin", ""},
      {"one.bin", "x"},
      {"two.bin", "xy"},
      {"three.bin", "xyz"},
      {"fortyfive.bin", RandomBytes(45, 1)},
      {"fortysix.bin", RandomBytes(46, 2)},
      {"million.bin", RandomBytes(1000000, 3)},
      {"binary.bin", RandomBytes(65537, 4)},
  };
  TStringList names;
  for (const auto& [name, bytes] : files) {
    WriteFile(dir.File(name), bytes);
    names.Add(dir.File(name));
  }
  AiosmtpdServer server(dir.File("in"));
  MimeSend send;
  send.client.OnGetData = [](TCustomSmtpClient*, int n, char* line, int, bool& more) {
    more = n <= 2;
    std::strcpy(line, n == 1 ? "Hello." : ".");
  };
  send.client.SetEmailFiles(names);
  ASSERT_TRUE(send.Run(server.Port()));
  ASSERT_EQ(send.DataError(), 0) << send.client.ErrorMessage();

  const Parsed p = ParseBack(dir.File("in/msg-1.eml"), dir.File("parts"));
  EXPECT_EQ(p.items.at("multipart"), "yes");
  EXPECT_EQ(p.items.at("defects"), "0");
  ASSERT_EQ(p.parts.size(), files.size() + 1);
  EXPECT_EQ(p.parts[0].at("type"), "text/plain");
  EXPECT_EQ(p.parts[0].at("charset"), "iso-8859-1");
  // The parser hands text back with its own line ends; the dot line lost its stuffing.
  EXPECT_EQ(ReadWholeFile(dir.File("parts/part-0")), "Hello.\n.\n");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto& part = p.parts[i + 1];
    EXPECT_EQ(part.at("type"), "application/octet-stream");
    EXPECT_EQ(part.at("filename"), files[i].first);
    EXPECT_EQ(part.at("name"), files[i].first);
    EXPECT_EQ(part.at("encoding"), "base64");
    EXPECT_TRUE(ReadWholeFile(dir.File("parts/part-" + std::to_string(i + 1))) == files[i].second)
        << files[i].first;
  }
}

TEST_F(SmtpMimeInterop, AnAttachmentThatVanishesIsNotSentTruncated) {
  WriteFile(dir.File("gone.bin"), "data");
  AiosmtpdServer server(dir.File("in"));
  MimeSend send;
  send.client.SetEmailFiles({dir.File("gone.bin")});
  std::filesystem::remove(dir.File("gone.bin"));
  ASSERT_TRUE(send.Run(server.Port()));
  EXPECT_EQ(send.DataError(), 500);
  EXPECT_EQ(send.client.ErrorMessage(), "500 Cannot open attachment '" + dir.File("gone.bin") +
                                            "': No such file or directory; message not sent");
  EXPECT_FALSE(send.client.Connected());
  // The server never saw the end of the data, so it kept nothing.
  MimeSend probe;  // a later message on a new connection still goes through
  ASSERT_TRUE(probe.Run(server.Port()));
  EXPECT_EQ(probe.DataError(), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.File("in/msg-1.eml")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("in/msg-2.eml")));
  EXPECT_EQ(ParseBack(dir.File("in/msg-1.eml"), dir.File("parts")).items.at("multipart"), "no");
}

// The file changes after it was opened (the part header hook runs then): shrunk, it would go
// out cut short; grown, as neither version. Either fails the message before its end.
TEST_F(SmtpMimeInterop, AnAttachmentThatChangesSizeWhileSentIsNotSent) {
  AiosmtpdServer server(dir.File("in"));
  for (const bool shrink : {true, false}) {
    SCOPED_TRACE(shrink ? "shrinks" : "grows");
    const std::string file = dir.File(shrink ? "shrinks.bin" : "grows.bin");
    WriteFile(file, RandomBytes(100000, 6));
    MimeSend send;
    send.client.SetEmailFiles({file});
    send.client.OnAttachHeader = [&](TCustomSmtpClient*, int, const std::string&, TStringList&) {
      if (shrink)
        std::filesystem::resize_file(file, 50);
      else
        std::ofstream(file, std::ios::app) << "more";
    };
    ASSERT_TRUE(send.Run(server.Port()));
    EXPECT_EQ(send.DataError(), 500);
    EXPECT_EQ(send.client.ErrorMessage(), "500 The file '" + file +
                                              "' changed while it was sent (100000 "
                                              "bytes when opened); message not sent");
    EXPECT_FALSE(send.client.Connected());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("in/msg-1.eml"))) << "the server kept nothing";
}

TEST_F(SmtpMimeInterop, ServerClosingInTheMiddleOfDataFailsTheRequest) {
  WriteFile(dir.File("big.bin"), RandomBytes(300000, 5));
  AiosmtpdServer server(dir.File("in"), {"--close-in-data", "1"});
  MimeSend send;
  send.client.SetEmailFiles({dir.File("big.bin")});
  ASSERT_TRUE(send.Run(server.Port()));
  EXPECT_EQ(send.DataError(), WSAEINTR);
  EXPECT_FALSE(send.client.ErrorMessage().empty());
  EXPECT_FALSE(std::filesystem::exists(dir.File("in/msg-1.eml")));
}

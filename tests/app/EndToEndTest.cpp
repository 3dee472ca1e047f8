// End to end as a user's script would do it: the built program with "-nogui" against the
// aiosmtpd test server on loopback, the received message parsed back with Python's email
// package, the exit code and standard error read, and the files on disk checked afterwards.
#include <random>
#include <string>
#include <vector>

#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"

namespace {

using namespace apptest;
using namespace composertest;

struct ProgramRun {
  int exitCode = -1;
  std::string out, err;
};

class EndToEndTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return folder.File(name); }
  // Runs the program in scripting mode with its own settings, home and state folders.
  ProgramRun Tarvik(std::vector<std::string> arguments) {
    std::vector<std::string> argv = {ProgramPath(), "-nogui"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = {"TARVIK_INI=" + Path("tarvik2.ini"), "HOME=" + Path("home"),
                                    "XDG_STATE_HOME=" + Path("state"), "PATH=/usr/bin:/bin",
                                    "LANG=C.UTF-8"};
    ChildProcess program(argv, env, true);
    ProgramRun run;
    run.exitCode = program.Finish(run.out, run.err);
    return run;
  }
  std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
  }
  // "header", "part" ... lines of the parsed message; parts written to folder/parts.
  std::string Parsed(const SmtpPeer& server, int n) {
    std::filesystem::create_directories(Path("parts"));
    return ParseMessage(server.Message(n), Path("parts"));
  }
  static bool Has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
  }

  TempFolder folder;
};

TEST_F(EndToEndTest, MessageWithSignatureAndTwoAttachmentsArrivesWhole) {
  SmtpPeer server(Path("server"));
  WriteFile(Path("message.txt"), "Hello Bob and Carol,\n.\n..two dots\n.starts with a dot\nbye\n");
  WriteFile(Path("sign.txt"), "Ann Example\nExample Org\n");
  const std::string first = RandomBytes(1000, 1), second = RandomBytes(46, 2);
  WriteFile(Path("report.bin"), first);
  WriteFile(Path("notes.dat"), second);
  WriteFile(Path("tarvik2.ini"), "[defaults]\nSignFile=" + Path("sign.txt") + "\n");

  const ProgramRun run =
      Tarvik({"-from:Ann Example <ann@example.org>",
              "Bob Builder <bob@example.org>;Carol <carol@example.org>", "-s:Weekly_report",
              "-f:" + Path("message.txt"), Path("report.bin"), Path("notes.dat"),
              "-server:" + server.Server(), "-fdel", "-adel", "-send", "-close"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_EQ(server.Received(), 1);
  EXPECT_EQ(ReadFile(server.Envelope(1)),
            "FROM ann@example.org\nRCPT bob@example.org\nRCPT carol@example.org\n");

  const std::string parsed = Parsed(server, 1);
  EXPECT_TRUE(Has(parsed, "header Subject: Weekly report\n")) << parsed;
  EXPECT_TRUE(Has(parsed, "header From: Ann Example <ann@example.org>\n"));
  EXPECT_TRUE(Has(parsed, "header To: Bob Builder <bob@example.org>, Carol <carol@example.org>\n"));
  EXPECT_TRUE(Has(parsed, "header X-Mailer: Tarvik v2.0"));
  EXPECT_TRUE(Has(parsed, "multipart yes\n"));
  EXPECT_TRUE(Has(parsed, "defects 0\n"));
  EXPECT_TRUE(Has(parsed, "part 1 type=application/octet-stream"));
  EXPECT_TRUE(Has(parsed, "filename=report.bin encoding=base64 size=1000\n"));
  EXPECT_TRUE(Has(parsed, "filename=notes.dat encoding=base64 size=46\n"));
  // (the parser hands the text part over with its line ends as LF)
  EXPECT_EQ(ReadFile(Path("parts/part-0")),
            "Hello Bob and Carol,\n.\n..two dots\n.starts with a dot\nbye\n\n--\nAnn Example\n"
            "Example Org\n");
  EXPECT_EQ(ReadFile(Path("parts/part-1")), first);
  EXPECT_EQ(ReadFile(Path("parts/part-2")), second);

  EXPECT_FALSE(Exists(Path("message.txt"))) << "-fdel after success";
  EXPECT_FALSE(Exists(Path("report.bin"))) << "-adel after success";
  EXPECT_FALSE(Exists(Path("notes.dat")));
  EXPECT_TRUE(Exists(Path("sign.txt")));
  EXPECT_FALSE(Exists(Path("state/tarvik"))) << "scripting mode leaves drafts alone";
}

TEST_F(EndToEndTest, LongLinesAndUtf8TextArriveWithoutALostCharacter) {
  SmtpPeer server(Path("server"));
  std::string longLine;
  while (longLine.size() < 3000)
    longLine +=
        "Gr\xC3\xBC\xC3\x9F"
        "e aus K\xC3\xB6ln, ";
  WriteFile(Path("message.txt"), longLine + "\n" + std::string(2500, 'x') + "\nend\n");
  const ProgramRun run =
      Tarvik({"-from:ann@example.org", "bob@example.org", "-s:Long", "-f:" + Path("message.txt"),
              "-server:" + server.Server(), "-send"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string parsed = Parsed(server, 1);
  EXPECT_TRUE(Has(parsed, "charset=utf-8")) << parsed;
  std::string body = ReadFile(Path("parts/part-0"));
  for (const std::string& line : [&] {
         TStringList lines;
         lines.SetText(body);
         return lines;
       }())
    EXPECT_LE(line.size(), 998u);
  std::string joined;
  for (char c : body)
    if (c != '\r' && c != '\n') joined += c;
  EXPECT_EQ(joined, longLine + std::string(2500, 'x') + "end");
}

TEST_F(EndToEndTest, RefusedRecipientEndsWithExitCodeOneAndKeepsTheFiles) {
  SmtpPeer server(Path("server"), {"--refuse-rcpt", "bob@example.org"});
  WriteFile(Path("message.txt"), "text\n");
  WriteFile(Path("a.bin"), "attachment");
  const ProgramRun run =
      Tarvik({"-from:ann@example.org", "bob@example.org", "-f:" + Path("message.txt"),
              Path("a.bin"), "-server:" + server.Server(), "-fdel", "-adel", "-send", "-close"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.err, "Error occured while sending mail:")) << run.err;
  EXPECT_TRUE(Has(run.err, "550 5.1.1 <bob@example.org>: Recipient address rejected")) << run.err;
  EXPECT_EQ(ReadFile(Path("message.txt")), "text\n");
  EXPECT_EQ(ReadFile(Path("a.bin")), "attachment");
  EXPECT_EQ(server.Received(), 0);
}

TEST_F(EndToEndTest, ClosedPortEndsWithExitCodeOne) {
  const ProgramRun run =
      Tarvik({"-from:ann@example.org", "bob@example.org", "-msg:hello",
              "-server:127.0.0.1:" + std::to_string(ClosedPort()), "-send", "-close"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.err, "Error occured while sending mail:")) << run.err;
  EXPECT_TRUE(Has(run.err, "10061")) << "the connection refusal is named: " << run.err;
}

TEST_F(EndToEndTest, ServerClosingInTheMiddleOfTheDataLosesNothing) {
  SmtpPeer server(Path("server"), {"--close-in-data", "1"});
  WriteFile(Path("message.txt"), "text\n");
  WriteFile(Path("a.bin"), RandomBytes(5000, 3));
  const ProgramRun run =
      Tarvik({"-from:ann@example.org", "bob@example.org", "-f:" + Path("message.txt"),
              Path("a.bin"), "-server:" + server.Server(), "-fdel", "-adel", "-send"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.err, "Error occured while sending mail:")) << run.err;
  EXPECT_EQ(ReadFile(Path("message.txt")), "text\n");
  EXPECT_EQ(ReadFile(Path("a.bin")), RandomBytes(5000, 3));
}

TEST_F(EndToEndTest, RetryOnceAgainstAServerThatFailsOnceThenAccepts) {
  SmtpPeer server(Path("server"), {"--fail-first", "1"});
  const ProgramRun run =
      Tarvik({"-from:ann@example.org", "bob@example.org", "-msg:second_time_lucky",
              "-server:" + server.Server(), "-doretryonce", "-send", "-close"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(server.Received(), 1);
  EXPECT_FALSE(Has(run.err, "Error occured")) << "the first failure is retried silently";
}

TEST_F(EndToEndTest, NickFromTheAddressBook) {
  SmtpPeer server(Path("server"));
  WriteFile(Path("tarvik2.ini"),
            "[defaults]\nfrom=Ann <ann@example.org>\n[adresses]\nBob Builder=bob@example.org\n");
  const ProgramRun run =
      Tarvik({"bob", "-msg:hi", "-server:" + server.Server(), "-send", "-close"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(ReadFile(server.Envelope(1)), "FROM ann@example.org\nRCPT bob@example.org\n");
  EXPECT_TRUE(Has(Parsed(server, 1), "header To: Bob Builder <bob@example.org>\n"));
}

TEST_F(EndToEndTest, NickMissingFromTheAddressBookSendsNothingAndFails) {
  SmtpPeer server(Path("server"));
  WriteFile(Path("tarvik2.ini"),
            "[defaults]\nfrom=Ann <ann@example.org>\n[adresses]\nBob Builder=bob@example.org\n");
  const ProgramRun run =
      Tarvik({"carl", "-msg:hi", "-server:" + server.Server(), "-send", "-close"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.err,
                  "Can't find name in adressbook, please specify address.\n"
                  "Tarvik 2.0 - ERROR: The message was not sent.\n"))
      << run.err;
  EXPECT_EQ(server.Received(), 0) << "the bare nick is no recipient";
}

TEST_F(EndToEndTest, InjectedCommandInARecipientIsRefused) {
  SmtpPeer server(Path("server"));
  const ProgramRun run =
      Tarvik({"-from:ann@example.org", "bob@example.org>\r\nRCPT TO:<eve@example.org", "-msg:x",
              "-server:" + server.Server(), "-send", "-close"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.err, "line break")) << run.err;
  EXPECT_EQ(server.Received(), 0);
}

}  // namespace

// End to end as a user's script would do it: the built program with "-nogui" against the
// aiosmtpd test server on loopback, the received message parsed back with Python's email
// package, the exit code and standard error read, and the files on disk checked afterwards.
#include <signal.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/IniFile.h"

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
  // The program in scripting mode with its own settings, home and state folders, started.
  std::unique_ptr<ChildProcess> Start(std::vector<std::string> arguments) {
    std::vector<std::string> argv = {ProgramPath(), "-nogui"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return std::make_unique<ChildProcess>(argv, Environment(), true);
  }
  std::vector<std::string> Environment() const {
    return {"TARVIK_INI=" + Path("tarvik2.ini"), "HOME=" + Path("home"),
            "XDG_STATE_HOME=" + Path("state"), "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
  }
  // Runs it to its end.
  ProgramRun Tarvik(std::vector<std::string> arguments) {
    std::unique_ptr<ChildProcess> program = Start(std::move(arguments));
    ProgramRun run;
    run.exitCode = program->Finish(run.out, run.err);
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
  // Every line on the wire within the limit; the text read back exactly as written, its long
  // lines whole.
  for (const std::string& line : [&] {
         TStringList lines;
         lines.SetText(ReadFile(server.Message(1)));
         return lines;
       }())
    EXPECT_LE(line.size(), 998u);
  std::string body;
  for (char c : ReadFile(Path("parts/part-0")))
    if (c != '\r') body += c;
  EXPECT_EQ(body, longLine + "\n" + std::string(2500, 'x') + "\nend\n");
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
  // In a list with addresses, a nick is a nick all the same.
  const ProgramRun run =
      Tarvik({"bob;carl;dave@example.org", "-msg:hi", "-server:" + server.Server(), "-send"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.err,
                  "Can't find name in adressbook, please specify address.\n"
                  "\"carl\" is not in the adressbook.\n"
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

// ---- Recipients: every one named reaches the envelope, and the To header names just them

TEST_F(EndToEndTest, EveryRecipientAndEveryAttachedPathArriveAsWritten) {
  SmtpPeer server(Path("server"));
  WriteFile(Path("tarvik2.ini"), "[adresses]\nBob Builder=bob@example.org\n");
  std::filesystem::create_directories(Path("img"));
  WriteFile(Path("img/logo@2x.png"), "png bytes");
  const ProgramRun run =
      Tarvik({"-from:ann@example.org", "a@example.org;;b@example.org; ;bob", "c@example.org",
              Path("img/logo@2x.png"), "-msg:hi", "-serv:" + server.Server(), "-send"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(ReadFile(server.Envelope(1)),
            "FROM ann@example.org\nRCPT a@example.org\nRCPT b@example.org\n"
            "RCPT bob@example.org\nRCPT c@example.org\n");
  const std::string parsed = Parsed(server, 1);
  EXPECT_TRUE(Has(parsed,
                  "header To: a@example.org, b@example.org, Bob Builder <bob@example.org>, "
                  "c@example.org\n"))
      << parsed;
  EXPECT_TRUE(Has(parsed, "filename=logo@2x.png encoding=base64 size=9\n")) << parsed;
}

// ---- Bytes: a message file goes out whole or not at all

TEST_F(EndToEndTest, MessageFileThatCannotGoOutWholeEndsWithExitCodeOne) {
  SmtpPeer server(Path("server"));
  WriteFile(Path("message.txt"), std::string("text\0more\n", 10));
  const ProgramRun nul =
      Tarvik({"-from:ann@example.org", "bob@example.org", "-f:" + Path("message.txt"),
              "-server:" + server.Server(), "-fdel", "-send"});
  ASSERT_EQ(nul.exitCode, 1) << nul.err;
  EXPECT_TRUE(Has(nul.err, "holds a NUL byte (byte 5)")) << nul.err;
  EXPECT_TRUE(Exists(Path("message.txt")));
  // A device never ends: refused before a byte is read (once it grew without bound).
  const ProgramRun device = Tarvik({"-from:ann@example.org", "bob@example.org", "-f:/dev/zero",
                                    "-server:" + server.Server(), "-send"});
  EXPECT_EQ(device.exitCode, 1);
  EXPECT_TRUE(Has(device.err, "It is not a regular file.")) << device.err;
  EXPECT_EQ(server.Received(), 0);
}

// ---- Waits and output: the exit code tells what happened to the message, nothing else

// After the message was delivered, a close-time warning (the settings cannot be saved: their
// folder is a file) goes to a standard error nobody reads any more.
TEST_F(EndToEndTest, AClosedStandardErrorNeverChangesTheExitCode) {
  SmtpPeer server(Path("server"));
  WriteFile(Path("not-a-folder"), "");
  std::vector<std::string> env = Environment();
  env[0] = "TARVIK_INI=" + Path("not-a-folder/tarvik2.ini");
  ChildProcess shell({"/bin/bash", "-c", "\"$@\" 2>&1 >/dev/null | true; exit ${PIPESTATUS[0]}",
                      "-", ProgramPath(), "-nogui", "-from:ann@example.org", "bob@example.org",
                      "-msg:hi", "-server:" + server.Server(), "-send"},
                     env, true);
  std::string out, err;
  EXPECT_EQ(shell.Finish(out, err), 0) << "the message was delivered: " << err;
  EXPECT_EQ(server.Received(), 1);
}

// With no descriptors to spare, the event loop cannot be made: a clear error, exit code 1,
// never an abort with a core dump.
TEST_F(EndToEndTest, AStartUpFailureIsAnErrorWithExitCodeOne) {
  ChildProcess shell(
      {"/bin/sh", "-c", "ulimit -n 5 && exec \"$@\"", "-", ProgramPath(), "-nogui",
       "-from:ann@example.org", "bob@example.org", "-msg:hi", "-server:127.0.0.1:1", "-send"},
      Environment(), true);
  std::string out, err;
  EXPECT_EQ(shell.Finish(out, err), 1) << err;
#ifndef __SANITIZE_ADDRESS__
  // (The sanitizers check memory through descriptors of their own and end the process first.)
  EXPECT_TRUE(Has(err, "Tarvik 2.0 - ERROR: Tarvik cannot run: ")) << err;
#endif
}

// ---- Retry: paced, shown, and stopped by a signal at once with nothing deleted

TEST_F(EndToEndTest, SigtermDuringTheWaitBetweenTriesEndsTheRunAtOnceKeepingTheFiles) {
  WriteFile(Path("message.txt"), "text\n");
  WriteFile(Path("a.bin"), "attachment");
  std::unique_ptr<ChildProcess> program = Start(
      {"-from:ann@example.org", "bob@example.org", "-f:" + Path("message.txt"), Path("a.bin"),
       "-server:127.0.0.1:" + std::to_string(ClosedPort()), "-fdel", "-adel", "-doretry", "-send"});
  EXPECT_TRUE(program->ReadLine(20000, true).starts_with("Tarvik v2.0: Try 1 failed: 500 "));
  EXPECT_EQ(program->ReadLine(20000, true), "Trying again in 5 seconds.");
  const auto signalled = std::chrono::steady_clock::now();
  ::kill(program->Pid(), SIGTERM);
  std::string out, err;
  EXPECT_EQ(program->Finish(out, err), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(3));
  EXPECT_EQ(
      err,
      "Tarvik 2.0 - ERROR: Stopped by SIGTERM.\nTarvik 2.0 - ERROR: The message was not sent.\n");
  EXPECT_EQ(ReadFile(Path("message.txt")), "text\n");
  EXPECT_EQ(ReadFile(Path("a.bin")), "attachment");
}

// ---- Concurrency: runs that share one settings file lose none of each other's updates

TEST_F(EndToEndTest, TenParallelRunsAddingTenNicksKeepAllTen) {
  const std::string port = std::to_string(ClosedPort());
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (int i = 0; i < 10; ++i) {
    const std::string n = std::to_string(i);
    runs.push_back(Start({"-from:ann@example.org", "Nick" + n + " <nick" + n + "@example.org>",
                          "-msg:hi", "-server:127.0.0.1:" + port, "-send"}));
  }
  for (auto& run : runs) {
    std::string out, err;
    EXPECT_EQ(run->Finish(out, err), 1) << "nobody listens: " << err;
  }
  TStringList book;
  TIniFile(Path("tarvik2.ini")).ReadSectionValues("adresses", book);
  EXPECT_EQ(book.Count(), 10) << ReadFile(Path("tarvik2.ini"));
}

}  // namespace

// Other programs sending through Tarvik: git send-email and mailx with the program started as
// "sendmail", a cron-style call with -t, the lone "." rule, the exit statuses callers act on,
// and a script's text on standard input at flat memory.
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/SendmailMode.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "tests/smtp/SmtpTestSupport.h"

namespace {

using apptest::ReadFile;
using apptest::WriteFile;
using composertest::ChangedEnvironment;
using composertest::ChildProcess;
using composertest::EnvironmentChanges;
using composertest::ProgramPath;
using composertest::SmtpPeer;
using testsupport::RunResult;

class SendmailTest : public ::testing::Test {
 protected:
  SendmailTest() {
    std::filesystem::create_directories(folder.File("home"));
    std::filesystem::create_symlink(ProgramPath(), Sendmail());
  }
  // The program under the name other programs call.
  std::string Sendmail() const { return folder.File("sendmail"); }
  std::string SettingsFile() const { return folder.File("tarvik2.ini"); }
  void Settings(const std::string& lines) { WriteFile(SettingsFile(), "[defaults]\n" + lines); }
  EnvironmentChanges Environment() const {
    EnvironmentChanges env = composertest::PrivateEnvironment(folder, SettingsFile());
    env["TMPDIR"] = folder.Path();
    return env;
  }
  // Runs argv with standard input from a file holding input.
  RunResult Run(std::vector<std::string> argv, const std::string& input,
                EnvironmentChanges more = {}) const {
    const std::string inputFile = folder.File("input");
    WriteFile(inputFile, input);
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$@\" < \"$0\"", inputFile});
    EnvironmentChanges env = Environment();
    for (const auto& [name, value] : more) env[name] = value;
    return testsupport::RunToEnd(argv, ChangedEnvironment(env), 120000);
  }

  apptest::TempFolder folder;
};

TEST_F(SendmailTest, GitSendEmailDeliversATwoPatchSeriesWithItsThreading) {
  SmtpPeer server(folder.File("in"));
  Settings("SMTPServer=" + server.Server() + "\n");
  const std::string repo = folder.File("repo");
  std::filesystem::create_directories(repo);
  const std::string script =
      "set -e; cd \"$0\"; git init -q; git config user.name 'Ann Dev'; "
      "git config user.email ann@example.org; "
      "echo one > a.txt; git add a.txt; git commit -q -m 'Add a'; "
      "echo two >> a.txt; git commit -q -am 'Grow a'; "
      "echo three > b.txt; git add b.txt; git commit -q -m 'Add b'; "
      "git format-patch -q -2 -o patches; "
      "git send-email --quiet --confirm=never --no-validate --suppress-cc=all "
      "--to=bob@example.org "
      "--from='Ann Dev <ann@example.org>' --smtp-server=\"$1\" patches/*.patch";
  const RunResult r = Run({"/bin/sh", "-c", script, repo, Sendmail()}, "");
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_EQ(server.Received(), 2);
  std::vector<std::string> ids;
  for (int n : {1, 2}) {
    SCOPED_TRACE(n);
    const std::string message = ReadFile(server.Message(n));
    EXPECT_EQ(ReadFile(server.Envelope(n)), "FROM ann@example.org\nRCPT bob@example.org\n");
    EXPECT_NE(message.find("Subject: [PATCH " + std::to_string(n) + "/2] "), std::string::npos)
        << message;
    EXPECT_NE(message.find("From: Ann Dev <ann@example.org>"), std::string::npos) << message;
    EXPECT_EQ(message.find("X-Mailer: Tarvik"), std::string::npos) << "the header is git's own";
    const std::size_t id = message.find("\nMessage-Id: ");  // as git writes it
    ASSERT_NE(id, std::string::npos) << message;
    ids.push_back(message.substr(id + 13, message.find('\n', id + 1) - id - 13));
  }
  EXPECT_NE(ReadFile(server.Message(1)).find("\n+two\r\n"), std::string::npos);
  const std::string second = ReadFile(server.Message(2));
  EXPECT_NE(second.find("\n+three\r\n"), std::string::npos) << second;
  EXPECT_NE(second.find("In-Reply-To: " + ids[0]), std::string::npos) << second;
  EXPECT_NE(second.find("References: " + ids[0]), std::string::npos) << second;
}

TEST_F(SendmailTest, MailxSendsWithTarvikAsItsSendmail) {
  SmtpPeer server(folder.File("in"));
  Settings("SMTPServer=" + server.Server() + "\nfrom=Cron Job <cron@example.org>\n");
  WriteFile(folder.File("mailrc"), "set sendmail=" + Sendmail() + "\n");
  const RunResult r =
      Run({"/usr/bin/bsd-mailx", "-s", "Disk report", "ops@example.org"},
          "All disks fine.\n.\nstill the report\n", {{"MAILRC", folder.File("mailrc")}});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_EQ(server.Received(), 1);
  EXPECT_EQ(ReadFile(server.Envelope(1)), "FROM cron@example.org\nRCPT ops@example.org\n");
  const std::string message = ReadFile(server.Message(1));
  EXPECT_NE(message.find("Subject: Disk report"), std::string::npos) << message;
  EXPECT_NE(message.find("\r\n\r\nAll disks fine.\r\n.\r\nstill the report\r\n"), std::string::npos)
      << "mailx asks for -i: the lone dot is text\n"
      << message;
}

// As cron and scripts call it: no From, Date or Message-ID of their own, recipients in the
// header and on the command line, a Bcc that no recipient may see.
TEST_F(SendmailTest, DashTTakesToCcAndBccOnceEachAndSendsNoBccLine) {
  SmtpPeer server(folder.File("in"));
  Settings("SMTPServer=" + server.Server() + "\nfrom=cron@example.org\n");
  const RunResult r = Run({ProgramPath(), "--sendmail", "-t", "-oem", "-odi", "to@example.org"},
                          "To: To Person <to@example.org>, cc@example.org\n"
                          "Bcc: hidden@example.org,\n  \"Also, hidden\" <hidden2@example.org>\n"
                          "Cc: (team) cc@example.org\n"
                          "Subject: x\n\n.hidden dot\nbody\n");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(server.Received(), 1);
  EXPECT_EQ(ReadFile(server.Envelope(1)),
            "FROM cron@example.org\nRCPT to@example.org\nRCPT cc@example.org\n"
            "RCPT hidden@example.org\nRCPT hidden2@example.org\n");
  const std::string message = ReadFile(server.Message(1));
  EXPECT_EQ(message.find("hidden@"), std::string::npos) << message;
  EXPECT_EQ(message.find("hidden2@"), std::string::npos) << message;
  EXPECT_EQ(message.find("Bcc"), std::string::npos) << message;
  EXPECT_EQ(message.rfind("To: To Person <to@example.org>, cc@example.org\r\n", 0), 0u) << message;
  for (const char* added : {"\r\nFrom: cron@example.org\r\n", "\r\nDate: ", "\r\nMessage-ID: <"})
    EXPECT_NE(message.find(added), std::string::npos) << added << "\n" << message;
  EXPECT_NE(message.find("\r\n\r\n.hidden dot\r\nbody\r\n"), std::string::npos) << message;
}

TEST_F(SendmailTest, ALoneDotEndsTheInputUnlessDashIIsGiven) {
  SmtpPeer server(folder.File("in"));
  Settings("SMTPServer=" + server.Server() + "\n");
  const std::string input =
      "From: ann@example.org\r\nSubject: dots\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\n"
      "before\r\n.\r\nafter\r\n";
  ASSERT_EQ(Run({Sendmail(), "bob@example.org"}, input).exitCode, 0);
  ASSERT_EQ(Run({Sendmail(), "-i", "bob@example.org"}, input).exitCode, 0);
  ASSERT_EQ(
      Run({Sendmail(), "-oi", "-f", "env@example.org", "--", "bob@example.org"}, input).exitCode,
      0);
  ASSERT_EQ(server.Received(), 3);
  EXPECT_EQ(ReadFile(server.Envelope(1)), "FROM ann@example.org\nRCPT bob@example.org\n");
  EXPECT_EQ(ReadFile(server.Envelope(3)), "FROM env@example.org\nRCPT bob@example.org\n");
  const std::string cut = ReadFile(server.Message(1));
  EXPECT_TRUE(cut.ends_with("\r\n\r\nbefore\r\n")) << cut;
  EXPECT_NE(cut.find("Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n"), std::string::npos);
  EXPECT_EQ(cut.find("Date: ", cut.find("Date: ") + 1), std::string::npos) << "one Date only";
  for (int n : {2, 3})
    EXPECT_TRUE(ReadFile(server.Message(n)).ends_with("\r\nbefore\r\n.\r\nafter\r\n"));
}

TEST_F(SendmailTest, FailuresEndWithTheExitStatusCallersActOn) {
  SmtpPeer server(folder.File("in"), {"--refuse-rcpt", "gone@example.org"});
  const std::string message = "Subject: s\n\nbody\n";
  Settings("SMTPServer=" + server.Server() + "\nfrom=ann@example.org\n");
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    int exitCode;
    std::string why;
  };
  const Case cases[] = {
      {{"-bs"}, message, SysExit::Usage, "-bs"},
      {{"-q", "bob@example.org"}, message, SysExit::Usage, "unknown option -q"},
      {{}, message, SysExit::Usage, "no recipient"},
      {{"root"}, message, SysExit::Usage, "\"root\" is no mail address"},
      {{"gone@example.org"}, message, SysExit::Unavailable, "550 5.1.1 <gone@example.org>"},
      {{"bob@example.org"},
       std::string("Subject: s\n\nnul \0 byte\n", 23),
       SysExit::DataErr,
       "NUL byte (byte 17)"},
      {{"bob@example.org"},
       "Subject: s\n\n" + std::string(999, 'x') + "\n",
       SysExit::DataErr,
       "longer than 998"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<std::string> argv = {Sendmail()};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const RunResult r = Run(argv, c.input);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
  }
  EXPECT_EQ(server.Received(), 0);
  Settings("SMTPServer=127.0.0.1:" + std::to_string(composertest::ClosedPort()) + "\n");
  EXPECT_EQ(Run({Sendmail(), "-fann@example.org", "bob@example.org"}, message).exitCode,
            SysExit::TempFail);
  Settings("from=ann@example.org\n");
  const RunResult noServer = Run({Sendmail(), "bob@example.org"}, message);
  EXPECT_EQ(noServer.exitCode, SysExit::Config);
  EXPECT_NE(noServer.err.find("No server is set"), std::string::npos) << noServer.err;
}

TEST_F(SendmailTest, AScriptsTextFromStandardInputIsTheBodyAndANulByteIsRefused) {
  SmtpPeer server(folder.File("in"));
  const std::vector<std::string> argv = {ProgramPath(),
                                         "-nogui",
                                         "-send",
                                         "-server:" + server.Server(),
                                         "-from:a@example.org",
                                         "b@example.org",
                                         "-s:piped",
                                         "-msg:lost",
                                         "-f:-",
                                         "-msg:after",
                                         "-fdel"};
  const RunResult sent = Run(argv, "line one\r\n.dot\nlast");
  ASSERT_EQ(sent.exitCode, 0) << sent.err;
  const std::string message = ReadFile(server.Message(1));
  EXPECT_TRUE(message.ends_with("\r\n\r\nline one\r\n.dot\r\nlast\r\nafter\r\n")) << message;
  EXPECT_TRUE(std::filesystem::exists(folder.File("input"))) << "-fdel has no file to delete";
  const RunResult refused = Run(argv, std::string("text\0more", 9));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("The standard input (-f:-) holds a NUL byte (byte 5)"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(server.Received(), 1);
}

// The text of "-f:-" is stored in a temporary file and sent from there: 200 MB need no more
// memory than 2 MB. The peak resident set of the children is the kernel's count.
TEST_F(SendmailTest, TextFromStandardInputIsSentAtFlatMemory) {
  // Returns the bytes the server took.
  auto send = [&](long long bytes) {
    smtptest::ScriptedServer server(smtptest::SinkScript(/*KeepData=*/false));
    const std::string script =
        "yes 'A line of a long report, as a script would hand it over on standard input.' |"
        " head -c " +
        std::to_string(bytes) + " | exec \"$@\"";
    EnvironmentChanges env = Environment();
    env["ASAN_OPTIONS"] = "quarantine_size_mb=0:detect_leaks=0";
    ChildProcess child({"/bin/sh", "-c", script, "sh", ProgramPath(), "-nogui", "-send",
                        "-server:127.0.0.1:" + server.PortText(), "-from:a@example.org",
                        "b@example.org", "-s:report", "-f:-"},
                       ChangedEnvironment(env), true);
    std::string out, err;
    EXPECT_EQ(child.Finish(out, err, 100000), 0) << err;
    return server.DataBytes();
  };
  // The largest child so far, in KiB: the kernel's count of the program's peak.
  auto peak = [] {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
  };
  EXPECT_GT(send(2'000'000), 2'000'000);
  const long small = peak();
  EXPECT_GT(send(200'000'000), 200'000'000);
  const long large = peak();
  EXPECT_LT(large, small + 16 * 1024)
      << "peak RSS in KiB: " << small << " for 2 MB, " << large << " for 200 MB";
}

TEST(SendmailOptions, AreReadAsSendmailTakesThem) {
  const TSendmailOptions o =
      ParseSendmailArguments({"-ti", "-FCron Daemon", "-B8BITMIME", "-f", "a@x.example", "-oem",
                              "-odb", "-Am", "b@x.example, c@x.example", "--", "-odd@x.example"});
  EXPECT_TRUE(o.RecipientsFromHeader);
  EXPECT_FALSE(o.DotEndsInput);
  EXPECT_EQ(o.FullName, "Cron Daemon");
  EXPECT_EQ(o.Sender, "a@x.example");
  EXPECT_EQ(o.Recipients,
            (std::vector<std::string>{"b@x.example", "c@x.example", "-odd@x.example"}));
  EXPECT_EQ(o.Problem, "");
  EXPECT_TRUE(ParseSendmailArguments({"-oem", "x@y.example"}).DotEndsInput);
  EXPECT_NE(ParseSendmailArguments({"-f"}).Problem, "");
  EXPECT_NE(ParseSendmailArguments({"-C", "/etc/mail.cf"}).Problem, "");
  EXPECT_EQ(AddressesOf("undisclosed-recipients:;"), std::vector<std::string>{});
  EXPECT_EQ(AddressesOf("team: \"Doe, J.\" <j@x.example>, k@x.example (Kay);, l@x.example"),
            (std::vector<std::string>{"j@x.example", "k@x.example", "l@x.example"}));
  EXPECT_TRUE(SendmailModeRequested("/usr/sbin/sendmail", {}));
  EXPECT_TRUE(SendmailModeRequested("tarvik", {"--sendmail", "-t"}));
  EXPECT_FALSE(SendmailModeRequested("tarvik", {"-t", "--sendmail"}));
}

}  // namespace

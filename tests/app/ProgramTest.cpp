// The program as a user or a script runs it: the built binary in a child process, with its
// settings, home and state folders in a private folder.
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "tests/smtp/SmtpTestSupport.h"

namespace {

using apptest::Exists;
using apptest::ReadFile;
using apptest::WriteFile;
using composertest::ChangedEnvironment;
using composertest::EnvironmentChanges;
using composertest::ProgramPath;
using composertest::SmtpPeer;
using testsupport::RunResult;

std::string HelpForTerminal() {
  std::string text;
  for (const std::string& line : CommandLineHelpLines()) text += line + "\n";
  return text;
}

class ProgramTest : public ::testing::Test {
 protected:
  EnvironmentChanges Environment() const {
    return composertest::PrivateEnvironment(folder, SettingsFile());
  }
  std::string SettingsFile() const { return folder.File("tarvik2.ini"); }

  RunResult Run(const std::vector<std::string>& arguments, EnvironmentChanges changes = {}) const {
    EnvironmentChanges env = Environment();
    for (const auto& [name, value] : changes) env[name] = value;
    std::vector<std::string> argv = {ProgramPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testsupport::RunToEnd(argv, ChangedEnvironment(env));
  }

  apptest::TempFolder folder;
};

TEST_F(ProgramTest, HelpPrintsTheCommandLineHelpOnStandardOutput) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"},
        std::vector<std::string>{"-nogui", "--help", "-send"}}) {
    const RunResult r = Run(arguments);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, HelpForTerminal());
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(Exists(SettingsFile()));
}

TEST_F(ProgramTest, VersionPrintsTheWindowCaption) {
  const RunResult r = Run({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Tarvik V2.06\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ProgramTest, HeadlessWithoutSendHasNothingToDoAndSaysHow) {
  // Asked for with -nogui, or chosen because there is no display.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"-nogui"}, std::vector<std::string>{},
        std::vector<std::string>{"-nogui", "-s:subject", "x@example.org", "-close"}}) {
    const RunResult r = Run(arguments);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, HelpForTerminal());
  }
  EXPECT_FALSE(Exists(SettingsFile())) << "a run that did nothing writes no settings";
  EXPECT_FALSE(Exists(folder.File("state")));
}

TEST_F(ProgramTest, UnreadableMessageFileEndsAScriptWithExitCode1AndSendsNothing) {
  smtptest::IdleListener server;
  const std::string missing = folder.File("missing.txt");
  const RunResult r = Run({"-nogui", "-send", "-server:127.0.0.1:" + server.PortText(),
                           "-from:a@example.org", "b@example.org", "-f:" + missing});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Cannot open file \"" + missing + "\""), std::string::npos) << r.err;
  EXPECT_FALSE(server.SawConnection()) << "nothing may be sent without the message file";
  EXPECT_FALSE(Exists(SettingsFile()));
}

TEST_F(ProgramTest, BadSavedraftdelayIsReportedAndTheRunGoesOn) {
  WriteFile(SettingsFile(), "[defaults]\nsavedraftdelay=2min\n");
  const RunResult r = Run({"-nogui"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind("Tarvik 2.0 - ERROR: The setting savedraftdelay=2min in " + SettingsFile() +
                            " is not a whole number of seconds",
                        0),
            0u)
      << r.err;
  EXPECT_NE(r.err.find("\nDrafts are saved every 120 seconds instead.\n" + HelpForTerminal()),
            std::string::npos)
      << r.err;
}

TEST_F(ProgramTest, ScriptSendsToTheExactNickAndCopiesAndRefusesAnAmbiguousPrefix) {
  WriteFile(SettingsFile(),
            "[adresses]\nbobby=bobby.tables@example.org\nbob=bob@example.org\n"
            "carol=carol@example.org\n");
  SmtpPeer server(folder.File("mail"));
  const std::vector<std::string> common = {"-nogui", "-send", "-server:" + server.Server(),
                                           "-from:ann@example.org", "-msg:x"};
  auto run = [&](std::vector<std::string> more) {
    more.insert(more.begin(), common.begin(), common.end());
    return Run(more);
  };
  const RunResult exact = run({"bob", "-cc:carol;dave@example.org", "-bcc:eve@example.org"});
  ASSERT_EQ(exact.exitCode, 0) << exact.err;
  EXPECT_EQ(ReadFile(server.Envelope(1)),
            "FROM ann@example.org\nRCPT bob@example.org\nRCPT carol@example.org\n"
            "RCPT dave@example.org\nRCPT eve@example.org\n");
  const std::string message = ReadFile(server.Message(1));
  EXPECT_NE(message.find("To: bob <bob@example.org>\r\n"), std::string::npos) << message;
  EXPECT_NE(message.find("Cc: carol <carol@example.org>, dave@example.org\r\n"), std::string::npos)
      << message;
  EXPECT_EQ(message.find("eve@"), std::string::npos) << message;

  // A prefix of several nicks, in the to-field or in a copy: named, exit 1, nothing sent.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"bo"}, std::vector<std::string>{"bob", "-bcc:bo"}}) {
    const RunResult ambiguous = run(arguments);
    EXPECT_EQ(ambiguous.exitCode, 1) << ambiguous.err;
    EXPECT_NE(ambiguous.err.find("bobby <bobby.tables@example.org>, bob <bob@example.org>"),
              std::string::npos)
        << ambiguous.err;
  }
  const RunResult unknown = run({"bob", "-cc:zed"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.err.find("\"zed\" is not in the adressbook"), std::string::npos) << unknown.err;
  EXPECT_EQ(server.Received(), 1);
}

// A script's command line is for one send: the person's section of settings stays as it was,
// byte for byte, while the server it used joins the list; what is stored is what the next
// script without those options gets.
TEST_F(ProgramTest, AScriptsSendLeavesTheStoredSettingsAloneAndGrowsTheServerList) {
  SmtpPeer server(folder.File("mail"));
  const std::string defaults =
      "; kept as written\n[defaults]\nfrom=Ann <ann@example.org>\nSMTPServer=" + server.Server() +
      "\ntls = off\nAutoSave=1\n\n";
  WriteFile(SettingsFile(), defaults + "[servers]\nserver1=old.example\n");

  const RunResult first =
      Run({"-nogui", "-send", "-server:" + server.Server(), "-from:cron@host.example", "-tls:auto",
           "bob@example.org", "-s:first", "-msg:one"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  const std::string after = ReadFile(SettingsFile());
  EXPECT_EQ(after.substr(0, defaults.size()), defaults);
  EXPECT_EQ(after.substr(defaults.size()),
            "[servers]\nserver1=old.example\nserver2=" + server.Server() + "\n");

  const RunResult second = Run({"-nogui", "-send", "carl@example.org", "-s:second", "-msg:two"});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  ASSERT_EQ(server.Received(), 2);
  EXPECT_EQ(ReadFile(server.Envelope(1)), "FROM cron@host.example\nRCPT bob@example.org\n");
  EXPECT_EQ(ReadFile(server.Envelope(2)), "FROM ann@example.org\nRCPT carl@example.org\n");
  const std::string message = ReadFile(server.Message(2));
  EXPECT_NE(message.find("From: Ann <ann@example.org>"), std::string::npos) << message;
  EXPECT_NE(message.find("Subject: second"), std::string::npos) << message;
  EXPECT_FALSE(Exists(folder.File("state") + "/tarvik/tarvik2.dft"))
      << "a script never leaves a draft";
}

TEST_F(ProgramTest, AMisspeltOptionEndsAScriptWithExitCode1AndSendsNothing) {
  smtptest::IdleListener server;
  const RunResult r = Run({"-nogui", "-send", "-server:127.0.0.1:" + server.PortText(),
                           "-from:a@example.org", "b@example.org", "-subjcet:Hello", "-msg:x"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Unknown option \"-subjcet:Hello\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"-subject:\""), std::string::npos) << r.err;
  EXPECT_FALSE(server.SawConnection());
}

}  // namespace

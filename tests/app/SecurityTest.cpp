// Sending securely through the form model: the settings tls, user, passwordcmd, auth, cafile and
// tlsfingerprint with the options -tls: and -user:, the TLS mode each port gets, the password
// sources in their order, a login that is never sent unencrypted, and the hint on refusals that
// ask for TLS or a login.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/Credentials.h"
#include "app/Tarvik2_unit1.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "tests/smtp/SmtpTestSupport.h"

namespace {

using namespace apptest;
using namespace composertest;

class SecurityTest : public ComposerTest {
 protected:
  TForm1& Ready(const std::string& server) {
    TForm1& f = Start();
    f.SMTPServer.Text = server;
    f.from.Text = "ann@example.org";
    f.sendto.Text = "bob@example.org";
    f.MessageText.Lines.Add("Hello");
    return f;
  }
  void Send() {
    form().SendBtn.Click();
    ASSERT_TRUE(PumpUntil([this] { return !form().Sending(); })) << "the send did not end";
  }
  TForm1& form() const { return *Form1; }
  std::string Netrc() const { return folder.File("home/.netrc"); }
  void WriteNetrc(const std::string& text, mode_t mode = 0600) {
    std::filesystem::create_directories(folder.File("home"));
    WriteFile(Netrc(), text);
    ::chmod(Netrc().c_str(), mode);
  }
  // The password the sources give, or "(none: " + the reason + ")".
  std::string Password(const std::string& host, const std::string& user,
                       const std::string& command = "") {
    TPasswordQuestion question;
    question.Host = host;
    question.User = user;
    question.Port = "587";
    question.Command = command;
    std::optional<std::string> answer;
    TPasswordRequest request;
    request.Start(question, [&](bool found, const TSecret& password, const std::string& problem) {
      answer = found ? std::string(password.View()) : "(none: " + problem + ")";
    });
    EXPECT_TRUE(PumpUntil([&] { return answer.has_value(); }));
    return answer.value_or("(no answer)");
  }
};

}  // namespace

TEST_F(SecurityTest, TlsUserAndPasswordSourceAreStoredLikeTheOtherSettings) {
  WriteFile(SettingsFile(),
            "[defaults]\ntls=starttls\nuser=ann\npasswordcmd=pass show mail\nauth=oauth2\n"
            "cafile=/etc/private-ca.pem\ntlsfingerprint=AB:CD\n");
  TForm1& f = Start({"-user:bob"});
  EXPECT_EQ(f.tls.Text, "starttls");
  EXPECT_EQ(f.user.Text, "bob");  // the option wins over the setting
  EXPECT_EQ(f.passwordcmd.Text, "pass show mail");
  EXPECT_EQ(f.AuthMethod, "oauth2");
  EXPECT_EQ(f.CaFile, "/etc/private-ca.pem");
  EXPECT_EQ(f.TlsFingerprint, "AB:CD");
  for (const TControl* c : {static_cast<TControl*>(&f.tls), static_cast<TControl*>(&f.user),
                            static_cast<TControl*>(&f.passwordcmd)})
    EXPECT_EQ(c->Parent, &f.TabSheet3) << c->Name;

  f.ApplyArgument("-tls:smtps");
  f.SaveSettings();
  EXPECT_EQ(IniValue("defaults", "tls"), "smtps");
  EXPECT_EQ(IniValue("defaults", "user"), "bob");
  EXPECT_EQ(IniValue("defaults", "passwordcmd"), "pass show mail");
  EXPECT_EQ(IniValue("defaults", "cafile"), "/etc/private-ca.pem");  // hand-edited, kept

  // A fresh file gets the defaults: auto, no user, no command.
  std::filesystem::remove(SettingsFile());
  TForm1& fresh = Start();
  EXPECT_EQ(fresh.tls.Text, "auto");
  EXPECT_EQ(fresh.tls.Items, (TStringList{"auto", "starttls", "smtps", "off"}));
  EXPECT_EQ(fresh.user.Text, "");
}

TEST(TlsModeOf, FollowsTheSettingAndThePort) {
  using enum TSmtpTlsMode;
  const struct {
    const char* setting;
    const char* port;
    std::optional<TSmtpTlsMode> mode;
  } cases[] = {
      {"auto", "25", smtpTlsNone},         {"", "2525", smtpTlsNone},
      {"auto", "465", smtpTlsImplicit},    {"Auto", "smtps", smtpTlsImplicit},
      {"auto", "587", smtpTlsStartTls},    {"auto", "submission", smtpTlsStartTls},
      {"starttls", "25", smtpTlsStartTls}, {"STARTTLS", "465", smtpTlsStartTls},
      {"smtps", "25", smtpTlsImplicit},    {"off", "465", smtpTlsNone},
      {"off", "587", smtpTlsNone},         {"tls", "25", std::nullopt},
      {"on", "587", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TlsModeOf(c.setting, c.port), c.mode) << c.setting << " " << c.port;
}

// With TLS off (or auto on a port that is neither 465 nor 587) and no user, the session is the
// plain one it always was: HELO, even to a server that says ESMTP, and MAIL FROM without SIZE
// or BODY.
TEST_F(SecurityTest, WithoutTlsAndUserTheWireImageIsThePlainHeloSession) {
  using S = smtptest::ScriptedServer;
  std::vector<S::Step> script = smtptest::SinkScript(/*KeepData=*/false);
  script.front() = S::Reply("220 mail.example.org ESMTP ready\r\n");
  S server(script, 2);
  for (const char* tls : {"auto", "off"}) {
    TForm1& f = Ready("127.0.0.1:" + server.PortText());
    f.tls.Text = tls;
    const std::string before = server.Transcript();
    Send();
    ASSERT_TRUE(PumpUntil([&] { return server.Transcript().ends_with("QUIT\r\n"); })) << tls;
    const std::string wire = server.Transcript().substr(before.size());
    EXPECT_TRUE(wire.starts_with("HELO ")) << wire;
    EXPECT_EQ(wire.substr(wire.find("\r\n") + 2),
              "MAIL FROM:<ann@example.org>\r\nRCPT TO:<bob@example.org>\r\nDATA\r\nQUIT\r\n")
        << tls;
  }
  EXPECT_TRUE(frontEnd.PasswordPrompts.empty());
}

TEST_F(SecurityTest, ALoginIsNeverSentUnencryptedAndABadModeIsRefused) {
  SmtpPeer server(folder.File("server"));
  for (const auto& [tls, expected] : std::vector<std::pair<std::string, std::string>>{
           {"off",
            "A login (user ann) is never sent over an unencrypted connection: set "
            "tls=starttls or tls=smtps in the settings, or use the option -tls:starttls or "
            "-tls:smtps, can't send mail."},
           {"auto", "A login (user ann) is never sent"},
           {"yes",
            "The setting tls (option -tls:) is \"yes\", not one of auto, starttls, smtps "
            "or off, can't send mail."}}) {
    TForm1& f = Ready(server.Server());
    f.tls.Text = tls;
    f.user.Text = tls == "yes" ? "" : "ann";
    frontEnd.MessageBoxes.clear();
    f.SendBtn.Click();
    ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u) << tls;
    EXPECT_TRUE(frontEnd.MessageBoxes[0].Text.starts_with(expected))
        << frontEnd.MessageBoxes[0].Text;
    EXPECT_FALSE(f.Sending());
    EXPECT_TRUE(frontEnd.PasswordPrompts.empty()) << "no password is asked for a login not sent";
  }
  EXPECT_EQ(server.Received(), 0);
}

TEST_F(SecurityTest, PasswordComesFromTheCommandThenTheNetrcFileThenThePrompt) {
  WriteNetrc(
      "machine other.example login ann password other\n"
      "machine mail.example.org login bob password bobs\n"
      "macdef init\nmachine mail.example.org login ann password macro\n\n"
      "machine MAIL.example.org login ann password \"se cret\\\"x\"\n"
      "default login ann password fallback\n");
  // The command's first line wins over everything else.
  EXPECT_EQ(Password("mail.example.org", "ann", "printf 'first\\r\\nsecond\\n'"), "first");
  const std::string failed = Password("mail.example.org", "ann", "echo leaked; exit 3");
  EXPECT_TRUE(failed.starts_with("(none: ")) << failed;
  EXPECT_NE(failed.find("exit status 3"), std::string::npos);
  EXPECT_EQ(failed.find("leaked"), std::string::npos) << "neither command nor output reported";
  EXPECT_NE(Password("mail.example.org", "ann", "true").find("printed no password"),
            std::string::npos);

  // netrc: the host's entry for the user (names compared without case, macros skipped, quoted
  // words read), else the default entry.
  EXPECT_EQ(Password("mail.example.org", "ann"), "se cret\"x");
  EXPECT_EQ(Password("mail.example.org", "bob"), "bobs");
  EXPECT_EQ(Password("unknown.example", "ann"), "fallback");
  ::setenv("NETRC", folder.File("other-netrc").c_str(), 1);
  WriteFile(folder.File("other-netrc"), "machine mail.example.org password any-user\n");
  ::chmod(folder.File("other-netrc").c_str(), 0600);
  EXPECT_EQ(Password("mail.example.org", "carl"), "any-user");
  ::unsetenv("NETRC");

  // Nothing in netrc for carl: the front-end asks, or the send cannot start.
  frontEnd.PasswordAnswers = {"typed", std::nullopt};
  EXPECT_EQ(Password("mail.example.org", "carl"), "typed");
  EXPECT_EQ(frontEnd.PasswordPrompts,
            (std::vector<std::string>{"Password for carl at mail.example.org:"}));
  EXPECT_TRUE(Password("mail.example.org", "carl").starts_with("(none: No password for carl"));

  // A netrc file others can read is refused, not used and not skipped.
  WriteNetrc("machine mail.example.org login ann password open\n", 0644);
  const std::string refused = Password("mail.example.org", "ann");
  EXPECT_NE(refused.find("chmod 600 " + Netrc()), std::string::npos) << refused;
  EXPECT_EQ(refused.find("open"), std::string::npos);
}

TEST_F(SecurityTest, RefusalsAskingForTlsOrALoginNameTheSettingAndOption) {
  const std::string tlsHint =
      "\rThe server wants an encrypted connection: set tls=starttls in the settings or use the "
      "option -tls:starttls.";
  const std::string loginHint =
      "\rThe server wants a login: set user in the settings or use the option -user:NAME (the "
      "password comes from passwordcmd, ~/.netrc or a prompt).";
  for (const auto& [refusal, hint] : std::vector<std::pair<std::string, std::string>>{
           {"530 Must issue a STARTTLS command first", tlsHint},
           {"530 5.7.0 Authentication required", loginHint},
           {"538 5.7.11 Encryption required for requested authentication mechanism", tlsHint},
           {"530 5.7.1 Relaying denied", ""},
           {"550 5.7.1 Authentication required, says this odd server", ""}}) {
    SmtpPeer server(folder.File("server"),
                    {"--fail-first", "1", "--fail-at", "mail", "--fail-text", refusal});
    Ready(server.Server());
    frontEnd.MessageBoxes.clear();
    Send();
    ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
    EXPECT_EQ(frontEnd.MessageBoxes[0].Text,
              "Error occured while sending mail:\r" + refusal + hint);
  }
}

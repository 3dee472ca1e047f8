// The program over TLS against real servers started here on loopback with certificates made
// here: aiosmtpd requiring STARTTLS, requiring a login after STARTTLS, and speaking TLS from the
// first byte; every failed certificate check, a server without STARTTLS, one that closes during
// the handshake and a plain one under smtps; the SIZE refusal before any data; the password from
// a terminal prompt; and no password in anything the program writes.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "tests/peers/counting_relay.h"
#include "tests/peers/postfix_server.h"
#include "tests/peers/socks_real_proxies.h"
#include "tests/peers/tls_peers.h"
#include "tests/peers/tls_test_ca.h"

namespace {

using apptest::Exists;
using apptest::ReadFile;
using apptest::WriteFile;
using namespace composertest;

constexpr const char* kMarker = "Pw-Marker-5309-Zq";

class TlsProgramTest : public ::testing::Test {
 protected:
  TlsProgramTest() {
    std::filesystem::create_directories(folder.File("home"));
    for (int i = 0; i < 70000; ++i) attachmentBytes += static_cast<char>((i * 7919) >> 3);
    WriteFile(Attachment(), attachmentBytes);
    // The password lives outside the folder the program writes to, so that a search of that
    // folder finds only what the program wrote.
    WriteFile(secrets.File("password"), std::string(kMarker) + "\n");
  }
  std::string SettingsFile() const { return folder.File("tarvik2.ini"); }
  std::string Attachment() const { return folder.File("report.bin"); }
  void Settings(const std::string& lines) { WriteFile(SettingsFile(), "[defaults]\n" + lines); }
  std::string PasswordCommand() const {
    return "passwordcmd=cat " + secrets.File("password") + "\n";
  }

  std::vector<std::string> SendArguments(const std::string& server,
                                         const std::vector<std::string>& extra) const {
    std::vector<std::string> argv = {ProgramPath(),     "-nogui",         "-from:ann@example.org",
                                     "bob@example.org", "-s:Secure_mail", "-msg:Hello_over_TLS",
                                     Attachment(),      "-adel",          "-server:" + server,
                                     "-send",           "-close"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }
  EnvironmentChanges Environment() const {
    return composertest::PrivateEnvironment(folder, SettingsFile());
  }
  struct RunResult {
    int exitCode = -1;
    std::string out, err;
    double seconds = 0;
  };
  RunResult Send(const std::string& server, const std::vector<std::string>& extra = {}) {
    const auto start = std::chrono::steady_clock::now();
    ChildProcess child(SendArguments(server, extra), ChangedEnvironment(Environment()), true);
    RunResult r;
    r.exitCode = child.Finish(r.out, r.err);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
  }

  // The message arrived whole: the text and the attachment byte for byte.
  void ExpectDelivered(const RunResult& r, const SmtpPeer& server, int n = 1) {
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(server.Received(), n);
    ExpectWholeMessage(server.Message(n));
  }
  void ExpectWholeMessage(const std::string& message) {
    std::filesystem::create_directories(folder.File("parts"));
    const std::string parsed = ParseMessage(message, folder.File("parts"));
    EXPECT_NE(parsed.find("defects 0"), std::string::npos) << parsed;
    EXPECT_EQ(ReadFile(folder.File("parts/part-0")), "Hello over TLS\n");
    EXPECT_EQ(ReadFile(folder.File("parts/part-1")), attachmentBytes);
    EXPECT_FALSE(Exists(Attachment())) << "-adel deletes the file after the send";
  }
  // The run failed with Why in its error text, sent nothing and deleted nothing.
  void ExpectRefused(const RunResult& r, const std::string& why, int received = 0,
                     const SmtpPeer* server = nullptr) {
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    if (server) {
      EXPECT_EQ(server->Received(), received);
    }
    EXPECT_TRUE(Exists(Attachment()));
  }
  // Nothing the program printed or wrote holds the password.
  void ExpectNoPasswordAnywhere(const RunResult& r) {
    EXPECT_EQ(r.out.find(kMarker), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find(kMarker), std::string::npos) << r.err;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.Path())) {
      if (!entry.is_regular_file() || entry.path() == folder.File("home/.netrc")) continue;
      EXPECT_EQ(ReadFile(entry.path()).find(kMarker), std::string::npos) << entry.path();
    }
  }

  apptest::TempFolder folder;
  apptest::TempFolder secrets;
  std::string attachmentBytes;
  TlsTestCa ca;
  TlsTestCert localhost = ca.Issue("localhost");
};

std::vector<std::string> TlsOptions(const TlsTestCert& Cert, std::vector<std::string> More) {
  std::vector<std::string> options = {"--tls-cert", Cert.Cert, "--tls-key", Cert.Key};
  options.insert(options.end(), More.begin(), More.end());
  return options;
}

}  // namespace

TEST_F(TlsProgramTest, StartTlsServerTakesTheMessageWithTlsAndRefusesItWithout) {
  SmtpPeer server(folder.File("in"), TlsOptions(localhost, {"--starttls"}));
  const std::string host = "localhost:" + std::to_string(server.Port());
  // Plain (auto on another port): the server's 530 gets the hint that names the fix.
  ExpectRefused(Send(host), "530 Must issue a STARTTLS command first", 0, &server);
  ExpectRefused(Send(host), "set tls=starttls in the settings or use the option -tls:starttls");
  Settings("cafile=" + ca.CaFile() + "\n");
  ExpectDelivered(Send(host, {"-tls:starttls"}), server);
}

// Through real proxies: microsocks with a login carries a STARTTLS session whose certificate is
// checked against the server's name although the proxy only got its address; Dante carries a
// plain one under SOCKS 4 (option) and SOCKS 5 (setting). A wrong proxy password is refused
// by name and shown nowhere.
TEST_F(TlsProgramTest, ProxiesCarryPlainAndStartTlsSessionsAndAWrongProxyPasswordIsRefused) {
  socks_test::ProxyProcess microsocks, dante;
  ASSERT_TRUE(socks_test::StartMicrosocks(microsocks, "ann", "proxy-pw")) << microsocks.Error();
  ASSERT_TRUE(socks_test::StartDante(dante)) << dante.Error();
  const std::string viaMicrosocks = "127.0.0.1:" + std::to_string(microsocks.Port());
  const std::string viaDante = "127.0.0.1:" + std::to_string(dante.Port());

  SmtpPeer secure(folder.File("secure"), TlsOptions(localhost, {"--starttls"}));
  Settings("cafile=" + ca.CaFile() + "\n");
  ExpectDelivered(Send("localhost:" + std::to_string(secure.Port()),
                       {"-tls:starttls", "-proxy:socks5://ann:proxy-pw@" + viaMicrosocks}),
                  secure);

  SmtpPeer plain(folder.File("plain"));
  WriteFile(Attachment(), attachmentBytes);
  ExpectDelivered(Send(plain.Server(), {"-proxy:socks4://" + viaDante}), plain, 1);
  WriteFile(Attachment(), attachmentBytes);
  Settings("proxy=SOCKS5://" + viaDante + "\n");
  ExpectDelivered(Send(plain.Server()), plain, 2);

  WriteFile(Attachment(), attachmentBytes);
  const RunResult wrong =
      Send(plain.Server(), {"-proxy:socks5h://ann:" + std::string(kMarker) + "@" + viaMicrosocks});
  ExpectRefused(wrong,
                "The SOCKS proxy " + viaMicrosocks +
                    " did not connect to 127.0.0.1: " + "socks authentication failed",
                2, &plain);
  ExpectNoPasswordAnywhere(wrong);
  const RunResult bad =
      Send(plain.Server(), {"-proxy:http://ann:" + std::string(kMarker) + "@" + viaMicrosocks});
  ExpectRefused(bad, "The proxy (setting proxy, option -proxy:) is \"http://ann:****@");
  ExpectNoPasswordAnywhere(bad);
}

TEST_F(TlsProgramTest, ImplicitTlsAcceptsTheSameCertificateThroughCafileAndThroughItsFingerprint) {
  SmtpPeer server(folder.File("in"), TlsOptions(localhost, {"--implicit-tls"}));
  const std::string host = "localhost:" + std::to_string(server.Port());
  Settings("tls=smtps\ncafile=" + ca.CaFile() + "\n");
  ExpectDelivered(Send(host), server, 1);
  WriteFile(Attachment(), attachmentBytes);
  // Without the CA, pinned by its fingerprint (lower case, as some tools print it).
  std::string pin = localhost.Fingerprint;
  for (char& c : pin) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Settings("tls=smtps\ntlsfingerprint=" + pin + "\n");
  ExpectDelivered(Send(host), server, 2);
}

// A certificate that fails verification is reported with the way to accept it: the fingerprint
// the report shows, set as tlsfingerprint, is the one that lets the next send through.
TEST_F(TlsProgramTest, UntrustedCertificateReportNamesTheFingerprintThatAcceptsIt) {
  const TlsTestCert own = ca.Issue("localhost", TlsTestCa::SelfSigned);
  SmtpPeer server(folder.File("in"), TlsOptions(own, {"--implicit-tls"}));
  const std::string host = "localhost:" + std::to_string(server.Port());
  Settings("tls=smtps\n");
  const RunResult refused = Send(host);
  ExpectRefused(refused, "certificate verify failed", 0, &server);
  const std::string hint =
      "set cafile to a file with the certificate of the CA that issued its "
      "certificate, or tlsfingerprint=";
  const std::size_t at = refused.err.find(hint);
  ASSERT_NE(at, std::string::npos) << refused.err;
  const std::string shown = refused.err.substr(at + hint.size(), own.Fingerprint.size());
  EXPECT_EQ(shown, own.Fingerprint);
  Settings("tls=smtps\ntlsfingerprint=" + shown + "\n");
  ExpectDelivered(Send(host), server);
}

TEST_F(TlsProgramTest, LoginAfterStartTlsWithPlainOrLoginAndAWrongPasswordGetsThe535) {
  struct Case {
    std::vector<std::string> serverOptions;
    std::string settings;
  };
  for (const Case& c : std::vector<Case>{
           {{}, PasswordCommand()},
           {{"--auth-exclude", "PLAIN"}, ""},  // LOGIN, the password from ~/.netrc
       }) {
    apptest::TempFolder in;
    std::vector<std::string> options = {"--starttls", "--auth-user", "ann", "--auth-password",
                                        kMarker};
    options.insert(options.end(), c.serverOptions.begin(), c.serverOptions.end());
    SmtpPeer server(in.Path(), TlsOptions(localhost, options));
    WriteFile(folder.File("home/.netrc"),
              std::string("machine localhost login ann password ") + kMarker + "\n");
    ::chmod(folder.File("home/.netrc").c_str(), 0600);
    Settings("cafile=" + ca.CaFile() + "\nuser=ann\n" + c.settings);
    WriteFile(Attachment(), attachmentBytes);
    const RunResult r = Send("localhost:" + std::to_string(server.Port()), {"-tls:starttls"});
    ExpectDelivered(r, server);
    ExpectNoPasswordAnywhere(r);
    std::filesystem::remove(folder.File("parts/part-0"));
  }
  SmtpPeer server(folder.File("wrong"),
                  TlsOptions(localhost, {"--starttls", "--auth-user", "ann", "--auth-password",
                                         "another-password"}));
  WriteFile(Attachment(), attachmentBytes);
  Settings("cafile=" + ca.CaFile() + "\n" + PasswordCommand());
  const RunResult r =
      Send("localhost:" + std::to_string(server.Port()), {"-tls:starttls", "-user:ann"});
  ExpectRefused(r, "535 5.7.8 Authentication credentials invalid", 0, &server);
  ExpectNoPasswordAnywhere(r);
}

TEST_F(TlsProgramTest, FailedChecksEndWithAClearErrorAndSendNothing) {
  const TlsTestCert own = ca.Issue("localhost", TlsTestCa::SelfSigned);
  const TlsTestCert other = ca.Issue("mail.example.org");
  const TlsTestCert expired = ca.Issue("localhost", TlsTestCa::Expired);
  Settings("cafile=" + ca.CaFile() + "\n");
  struct Case {
    const TlsTestCert* cert;
    std::vector<std::string> serverOptions;
    std::string tls;
    std::string why;
  };
  for (const Case& c : std::vector<Case>{
           {&own, {"--implicit-tls"}, "-tls:smtps", "certificate verify failed"},
           {&other, {"--implicit-tls"}, "-tls:smtps", "(host localhost)"},
           {&expired, {"--implicit-tls"}, "-tls:smtps", "certificate has expired"},
           {&localhost, {}, "-tls:starttls", "does not offer STARTTLS"},
       }) {
    apptest::TempFolder in;
    SmtpPeer server(in.Path(), TlsOptions(*c.cert, c.serverOptions));
    const RunResult r = Send("localhost:" + std::to_string(server.Port()), {c.tls});
    std::cout << c.why << " -> " << r.err;
    ExpectRefused(r, c.why, 0, &server);
    if (c.why.find("STARTTLS") == std::string::npos) {
      EXPECT_NE(r.err.find("TLS: "), std::string::npos) << r.err;
    }
  }
  // A server that closes during the handshake, and a plain one where TLS is expected: both end
  // at once with a TLS error, not after a long silence.
  tlstest::TlsScriptedPeer closing("close", localhost.Cert, localhost.Key);
  RunResult r = Send("localhost:" + std::to_string(closing.Port()), {"-tls:smtps"});
  std::cout << "close during the handshake -> " << r.err;
  ExpectRefused(r, "TLS");
  apptest::TempFolder in;
  SmtpPeer plain(in.Path());
  r = Send("localhost:" + std::to_string(plain.Port()), {"-tls:smtps"});
  std::cout << "plain server under smtps, " << r.seconds << " s -> " << r.err;
  ExpectRefused(r, "TLS", 0, &plain);
  EXPECT_LT(r.seconds, 10.0);
}

TEST_F(TlsProgramTest, OversizedMessageIsRefusedAtMailFromWithLittleTraffic) {
  SmtpPeer server(folder.File("in"),
                  TlsOptions(localhost, {"--starttls", "--size-limit", "5242880"}));
  CountingRelay relay(server.Port());
  const std::string big = folder.File("big.bin");
  WriteFile(big, "");
  std::filesystem::resize_file(big, 14 * 1000 * 1000);
  Settings("cafile=" + ca.CaFile() + "\n");
  const RunResult r = Send("localhost:" + std::to_string(relay.Port()), {"-tls:starttls", big});
  ExpectRefused(r, "552", 0, &server);
  EXPECT_TRUE(Exists(big));
  std::cout << "bytes on the wire, both ways: " << relay.Bytes() << '\n';
  EXPECT_LT(relay.Bytes(), 10 * 1024);
}

// The program in a session of its own whose controlling terminal (and standard input) is a
// pseudo-terminal the test types into; standard output and error go to pipes.
class TerminalRun {
 public:
  TerminalRun(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
      throw std::runtime_error("no pseudo-terminal");
    const std::string slave = ::ptsname(master_);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setsid();
      const int tty = ::open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
      ::dup2(tty, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~TerminalRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {master_, out_, err_}) ::close(fd);
  }
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  // Reads what the program writes to its terminal (into screen) until Text shows, 30 s at most.
  bool ScreenShows(const std::string& Text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (screen.find(Text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      screen.append(buffer, static_cast<std::size_t>(n));
    }
    return screen.find(Text) != std::string::npos;
  }
  void Type(const std::string& Keys) {
    if (::write(master_, Keys.data(), Keys.size()) != static_cast<ssize_t>(Keys.size()))
      throw std::runtime_error("cannot type");
  }
  // Waits for the end; the exit code (128 + the signal when one ended it), out and err.
  int Finish(std::string& Out, std::string& Err) {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    char buffer[4096];
    for (int fd : {out_, err_}) {
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        (fd == out_ ? Out : Err).append(buffer, static_cast<std::size_t>(n));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // The terminal echoes what is typed.
  bool Echoes() const {
    termios t{};
    return ::tcgetattr(master_, &t) == 0 && (t.c_lflag & ECHO);
  }

  std::string screen;

 private:
  pid_t pid_ = -1;
  int master_ = -1, out_ = -1, err_ = -1;
};

// The scripting mode asks on the terminal, without echo; Ctrl+C there stops the send and gives
// the terminal its echo back.
TEST_F(TlsProgramTest, PasswordTypedAtTheTerminalPromptIsNeitherEchoedNorKept) {
  SmtpPeer server(folder.File("in"), TlsOptions(localhost, {"--implicit-tls", "--auth-user", "ann",
                                                            "--auth-password", kMarker}));
  Settings("cafile=" + ca.CaFile() + "\n");
  const std::vector<std::string> argv =
      SendArguments("localhost:" + std::to_string(server.Port()), {"-tls:smtps", "-user:ann"});
  {
    TerminalRun run(argv, ChangedEnvironment(Environment()));
    ASSERT_TRUE(run.ScreenShows("Password for ann at localhost: ")) << run.screen;
    EXPECT_FALSE(run.Echoes());
    run.Type("\x03");  // Ctrl+C
    RunResult r;
    r.exitCode = run.Finish(r.out, r.err);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(run.Echoes());
    EXPECT_EQ(server.Received(), 0);
    EXPECT_TRUE(Exists(Attachment()));
  }
  TerminalRun run(argv, ChangedEnvironment(Environment()));
  ASSERT_TRUE(run.ScreenShows("Password for ann at localhost: ")) << run.screen;
  run.Type(std::string(kMarker) + "\n");
  RunResult r;
  r.exitCode = run.Finish(r.out, r.err);
  ExpectDelivered(r, server);
  EXPECT_EQ(run.screen.find(kMarker), std::string::npos) << "echoed: " << run.screen;
  EXPECT_TRUE(run.Echoes());
  ExpectNoPasswordAnywhere(r);
}

// Started as sendmail, the program logs in with what passwordcmd prints; with no password
// source it stops with the configuration status and never prompts on the caller's terminal,
// though it has one.
TEST_F(TlsProgramTest, TheSendmailModeLogsInWithoutEverAskingOnTheTerminal) {
  SmtpPeer server(folder.File("in"), TlsOptions(localhost, {"--starttls", "--auth-user", "ann",
                                                            "--auth-password", kMarker}));
  WriteFile(folder.File("message"), "From: ann@example.org\nSubject: nightly\n\nAll fine.\n");
  // A prompt would wait for an answer: timeout ends such a run.
  const std::vector<std::string> argv = {"/bin/sh",
                                         "-c",
                                         "exec /usr/bin/timeout --foreground 60 \"$@\" < \"$0\"",
                                         folder.File("message"),
                                         ProgramPath(),
                                         "--sendmail",
                                         "bob@example.org"};
  const std::string common = "SMTPServer=localhost:" + std::to_string(server.Port()) +
                             "\ntls=starttls\nuser=ann\ncafile=" + ca.CaFile() + "\n";
  Settings(common);
  TerminalRun unanswered(argv, ChangedEnvironment(Environment()));
  RunResult r;
  r.exitCode = unanswered.Finish(r.out, r.err);
  EXPECT_EQ(r.exitCode, 78) << r.err;
  EXPECT_NE(r.err.find("No password for ann at localhost: none was given"), std::string::npos)
      << r.err;
  EXPECT_FALSE(unanswered.ScreenShows("Password")) << unanswered.screen;
  EXPECT_EQ(server.Received(), 0);

  Settings(common + PasswordCommand());
  TerminalRun answered(argv, ChangedEnvironment(Environment()));
  r.exitCode = answered.Finish(r.out, r.err);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(server.Received(), 1);
  EXPECT_EQ(ReadFile(server.Envelope(1)), "FROM ann@example.org\nRCPT bob@example.org\n");
  ExpectNoPasswordAnywhere(r);
}

// Last, a real MTA: Postfix's smtpd with STARTTLS required takes the message over TLS.
TEST_F(TlsProgramTest, PostfixRequiringStartTlsTakesTheMessage) {
  peers::PostfixServer postfix(
      folder.File("postfix"),
      {"smtpd_tls_cert_file = " + localhost.Cert, "smtpd_tls_key_file = " + localhost.Key,
       "smtpd_tls_security_level = encrypt", "smtpd_tls_loglevel = 1"});
  const std::string host = "localhost:" + std::to_string(postfix.Port());
  ExpectRefused(Send(host), "530 5.7.0 Must issue a STARTTLS command first");
  Settings("cafile=" + ca.CaFile() + "\n");
  const RunResult r = Send(host, {"-tls:starttls"});
  ASSERT_EQ(r.exitCode, 0) << r.err << postfix.Log();
  const std::vector<std::string> mails = postfix.WaitForMessages(1);
  ASSERT_EQ(mails.size(), 1u) << postfix.Log();
  ExpectWholeMessage(mails[0]);
  EXPECT_NE(postfix.Log().find("TLS connection established from"), std::string::npos)
      << postfix.Log();
}

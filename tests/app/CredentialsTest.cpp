// The password of an SMTP login, asked for only when AUTH is about to go, against aiosmtpd over
// STARTTLS: no source touched without AUTH; passwordcmd as a child of the loop (its deadline
// while timers fire, its first line of a flood, its exit status, Abort); the keyring of a
// private Secret Service (a stored password used, one remembered, a refused one replaced, no
// bus skipped at once); OAUTHBEARER with its error challenge.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "tests/peers/keyring_peer.h"
#include "tests/peers/tls_test_ca.h"

namespace {

using namespace apptest;
using namespace composertest;

constexpr const char* kPassword = "right-password";

class CredentialsTest : public ComposerTest {
 protected:
  // A server that wants ann's login over STARTTLS (Extra: more server options).
  std::unique_ptr<SmtpPeer> Server(std::vector<std::string> Extra = {}) {
    std::vector<std::string> options = {"--tls-cert", cert.Cert,         "--tls-key",
                                        cert.Key,     "--starttls",      "--auth-user",
                                        "ann",        "--auth-password", kPassword};
    options.insert(options.end(), Extra.begin(), Extra.end());
    return std::make_unique<SmtpPeer>(folder.File("in" + std::to_string(++servers)), options);
  }
  TForm1& Ready(const SmtpPeer& server, const std::string& command = "") {
    TForm1& f = Start();
    f.SMTPServer.Text = "localhost:" + std::to_string(server.Port());
    f.from.Text = "ann@example.org";
    f.sendto.Text = "bob@example.org";
    f.MessageText.Lines.Add("Hello");
    f.tls.Text = "starttls";
    f.CaFile = ca.CaFile();
    f.user.Text = "ann";
    f.passwordcmd.Text = command;
    return f;
  }
  // Sends and returns the error shown ("" after a successful send).
  std::string Send() {
    frontEnd.MessageBoxes.clear();
    form().SendBtn.Click();
    EXPECT_TRUE(PumpUntil([this] { return !form().Sending(); }, 30000)) << "send did not end";
    return frontEnd.MessageBoxes.empty() ? "" : frontEnd.MessageBoxes.back().Text;
  }
  // A command that notes its process in a file, then does Rest.
  std::string NotingCommand(const std::string& Rest) const {
    return "echo $$ > " + folder.File("pid") + "; " + Rest;
  }
  bool NotedProcessAlive() const {
    const std::string pid = ReadFile(folder.File("pid"));
    return !pid.empty() && ::kill(std::stoi(pid), 0) == 0;
  }

  TlsTestCa ca;
  TlsTestCert cert = ca.Issue("localhost");
  int servers = 0;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(CredentialsTest, NoSourceIsAskedWhenTheServerOffersNoAuthOrFailsBeforeIt) {
  const std::string asked = folder.File("asked");
  const std::string command = "touch " + asked + "; echo " + std::string(kPassword);
  // STARTTLS but no AUTH; and a server that refuses the greeting.
  SmtpPeer noAuth(folder.File("in-noauth"),
                  {"--tls-cert", cert.Cert, "--tls-key", cert.Key, "--starttls"});
  auto refusing = Server({"--fail-first", "1", "--fail-at", "connect", "--fail-code", "554"});
  Ready(noAuth, command);
  EXPECT_NE(Send().find("offers no authentication"), std::string::npos);
  Ready(*refusing, command);
  EXPECT_NE(Send().find("554"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(asked)) << "passwordcmd ran without AUTH";
  EXPECT_TRUE(frontEnd.PasswordPrompts.empty());
}

TEST_F(CredentialsTest, AHungPasswordCommandEndsAtItsDeadlineWhileTheLoopRuns) {
  auto server = Server();
  TForm1& f = Ready(*server, NotingCommand("exec sleep 60"));
  f.PasswordTimeoutSeconds = 1;
  int ticks = 0;
  TTimer ticker("ticker", 20);
  ticker.OnTimer = [&](TTimer*) { ++ticks; };
  const auto start = std::chrono::steady_clock::now();
  const std::string error = Send();
  EXPECT_LT(SecondsSince(start), 10);
  EXPECT_NE(error.find("The password command (setting passwordcmd) failed: no answer within 1 "
                       "seconds; it was ended"),
            std::string::npos)
      << error;
  EXPECT_GE(ticks, 25) << "the loop stood still while the command ran";
  EXPECT_FALSE(NotedProcessAlive());
  EXPECT_EQ(server->Received(), 0);
}

TEST_F(CredentialsTest, OnlyTheFirstLineOfAFloodCountsAndAFailureIsNamedWithItsStatus) {
  auto server = Server();
  Ready(*server, "printf '" + std::string(kPassword) + "\\r\\n'; head -c 10485760 /dev/zero");
  EXPECT_EQ(Send(), "");
  EXPECT_EQ(server->Received(), 1);

  Ready(*server, "echo " + std::string(kPassword) + "; exit 3");
  const std::string error = Send();
  EXPECT_NE(error.find("The password command (setting passwordcmd) failed: exit status 3"),
            std::string::npos)
      << error;
  EXPECT_EQ(error.find(kPassword), std::string::npos);
  Ready(*server, "printf '\\n'");
  EXPECT_NE(Send().find("passwordcmd) printed no password"), std::string::npos);
  EXPECT_EQ(server->Received(), 1);
}

TEST_F(CredentialsTest, AbortEndsARunningPasswordCommandAtOnce) {
  auto server = Server();
  TForm1& f = Ready(*server, NotingCommand("exec sleep 60"));
  f.SendBtn.Click();
  ASSERT_TRUE(PumpUntil([&] { return !ReadFile(folder.File("pid")).empty(); }));
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Getting the password...");
  const auto start = std::chrono::steady_clock::now();
  f.SendBtn.Click();  // Abort
  ASSERT_TRUE(PumpUntil([&] { return !f.Sending(); }));
  EXPECT_LT(SecondsSince(start), 2);
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Sending aborted.");
  EXPECT_FALSE(NotedProcessAlive());
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
}

TEST_F(CredentialsTest, ScriptStoppedBySigtermEndsItsPasswordCommandAtOnce) {
  auto server = Server();
  WriteFile(SettingsFile(), "[defaults]\ntls=starttls\nuser=ann\ncafile=" + ca.CaFile() +
                                "\npasswordcmd=" + NotingCommand("exec sleep 60") + "\n");
  ChildProcess run(
      {ProgramPath(), "-nogui", "-from:ann@example.org", "bob@example.org", "-s:Hi", "-msg:Hello",
       "-server:localhost:" + std::to_string(server->Port()), "-send", "-close"},
      ChangedEnvironment(PrivateEnvironment(folder, SettingsFile())), true);
  ASSERT_TRUE(PumpUntil([&] { return !ReadFile(folder.File("pid")).empty(); }));
  const auto start = std::chrono::steady_clock::now();
  ::kill(run.Pid(), SIGTERM);
  std::string out, err;
  EXPECT_EQ(run.Finish(out, err), 1);
  EXPECT_LT(SecondsSince(start), 3);
  EXPECT_NE(err.find("Stopped by SIGTERM"), std::string::npos) << err;
  EXPECT_FALSE(NotedProcessAlive());
}

TEST_F(CredentialsTest, AKeyringPasswordIsUsedAndWithoutABusTheKeyringIsSkippedAtOnce) {
  auto server = Server();
  TPrivateKeyring keyring(folder);
  keyring.Store("Tarvik ann@localhost", kPassword,
                {"service", "smtp", "host", "localhost", "user", "ann"});
  // Another port's item is not this server's.
  keyring.Store("Tarvik ann@localhost:1", "other-port",
                {"service", "smtp", "host", "localhost", "user", "ann", "port", "1"});
  for (const auto& [name, value] : keyring.Changes()) env.Set(name, value);
  Ready(*server);
  EXPECT_EQ(Send(), "");
  EXPECT_EQ(server->Received(), 1);
  EXPECT_TRUE(frontEnd.PasswordPrompts.empty());

  // No bus at all, or one that is not there: the prompt comes at once.
  for (const std::optional<std::string>& bus :
       {std::optional<std::string>(), std::optional<std::string>("unix:path=/nonexistent")}) {
    env.Set("DBUS_SESSION_BUS_ADDRESS", bus);
    frontEnd.PasswordPrompts.clear();
    frontEnd.PasswordAnswers = {kPassword};
    Ready(*server);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(), "");
    EXPECT_LT(SecondsSince(start), 4);
    EXPECT_EQ(frontEnd.PasswordPrompts.size(), 1u);
  }
  EXPECT_EQ(server->Received(), 3);
}

TEST_F(CredentialsTest, ARefusedKeyringPasswordIsAskedAgainAndReplacedOnceAccepted) {
  auto server = Server();
  TPrivateKeyring keyring(folder);
  const std::vector<std::string> item = {"service", "smtp", "host", "localhost", "user", "ann"};
  keyring.Store("Tarvik ann@localhost", "stale-password", item);
  for (const auto& [name, value] : keyring.Changes()) env.Set(name, value);
  TForm1& f = Ready(*server);
  frontEnd.PasswordAnswers = {kPassword};
  frontEnd.RememberAnswer = true;
  EXPECT_EQ(Send(), "");
  EXPECT_EQ(server->Received(), 1);
  ASSERT_EQ(frontEnd.PasswordPrompts.size(), 1u);
  EXPECT_EQ(frontEnd.PasswordPrompts[0],
            "The server refused the password stored in the keyring for ann at localhost.\rPassword "
            "for ann at localhost:");
  EXPECT_EQ(frontEnd.RememberOffered, std::vector<bool>{true});
  ASSERT_TRUE(PumpUntil([&] { return !f.KeyringStore.Running(); }));
  const std::string port = std::to_string(server->Port());
  std::vector<std::string> withPort = item;
  withPort.insert(withPort.end(), {"port", port});
  EXPECT_EQ(keyring.Lookup(withPort), kPassword);
  EXPECT_EQ(keyring.Count(item), 1) << "the stale item is gone";

  // The next send takes the stored one without a word.
  frontEnd.PasswordPrompts.clear();
  Ready(*server);
  EXPECT_EQ(Send(), "");
  EXPECT_TRUE(frontEnd.PasswordPrompts.empty());
  EXPECT_EQ(server->Received(), 2);
}

TEST_F(CredentialsTest, OAuthBearerLogsInWithTheTokenAndReportsTheServersJsonError) {
  auto server = Server({"--oauth-token", "good-token"});
  TForm1& f = Ready(*server, "echo good-token");
  f.AuthMethod = "oauthbearer";
  EXPECT_EQ(Send(), "");
  EXPECT_EQ(server->Received(), 1);

  Ready(*server, "echo expired-token").AuthMethod = "oauthbearer";
  const std::string error = Send();
  // A wrong answer to the challenge would have drawn the server's 501.
  EXPECT_NE(error.find("535 5.7.8 Authentication credentials invalid (the server said: "
                       "{\"status\":\"invalid_token\",\"scope\":\"mail\",\"schemes\":\"Bearer\"})"),
            std::string::npos)
      << error;
  EXPECT_EQ(error.find("expired-token"), std::string::npos);
  EXPECT_EQ(server->Received(), 1);
}

namespace {

// True when Needle is anywhere in the readable memory of process Pid (read through
// /proc/PID/mem, which a parent may read).
bool ProcessMemoryHolds(pid_t Pid, const std::string& Needle) {
  const std::string proc = "/proc/" + std::to_string(Pid);
  std::istringstream maps(ReadFile(proc + "/maps"));
  const int mem = ::open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0) throw std::runtime_error("cannot read " + proc + "/mem");
  bool found = false;
  std::string line;
  std::vector<char> block;
  while (!found && std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms;
    fields >> range >> perms;
    if (perms.empty() || perms[0] != 'r' || line.find("[vvar") != std::string::npos) continue;
    const std::uint64_t start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
    const std::uint64_t end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
    // The sanitizers' shadow memory spans terabytes of nothing.
    if (end - start > (std::uint64_t{1} << 30)) continue;
    constexpr std::uint64_t kChunk = 8 << 20;
    for (std::uint64_t at = start; !found && at < end; at += kChunk) {
      block.resize(std::min(kChunk + Needle.size(), end - at));
      const ssize_t n = ::pread(mem, block.data(), block.size(), static_cast<off_t>(at));
      if (n <= 0) break;
      found = std::string_view(block.data(), static_cast<std::size_t>(n)).find(Needle) !=
              std::string_view::npos;
    }
  }
  ::close(mem);
  return found;
}

}  // namespace

TEST_F(CredentialsTest, AfterTheLoginNoCopyOfThePasswordIsLeftInTheProgramsMemory) {
  const std::string marker = "Pw-Marker-7731-Kq";
  const std::string plain = std::string("\0ann\0", 5) + marker;
  auto base64 = [](const std::string& Bytes) {
    return Base64EncodeLine(reinterpret_cast<const unsigned char*>(Bytes.data()), Bytes.size());
  };
  // PLAIN with the password from passwordcmd's pipe; LOGIN with it from a netrc file.
  for (const bool plainLogin : {true, false}) {
    SCOPED_TRACE(plainLogin ? "PLAIN, passwordcmd" : "LOGIN, netrc");
    SmtpPeer server(folder.File(plainLogin ? "in-plain" : "in-login"),
                    {"--tls-cert", cert.Cert, "--tls-key", cert.Key, "--starttls", "--auth-user",
                     "ann", "--auth-password", marker, "--stall-at-mail", "--auth-exclude",
                     plainLogin ? "LOGIN" : "PLAIN"});
    TestTempDir secrets;
    WriteFile(secrets.File("password"), marker + "\n");
    WriteFile(secrets.File("netrc"), "machine localhost login ann password " + marker + "\n");
    ::chmod(secrets.File("netrc").c_str(), 0600);
    WriteFile(SettingsFile(),
              "[defaults]\ntls=starttls\nuser=ann\ncafile=" + ca.CaFile() + "\n" +
                  (plainLogin ? "passwordcmd=cat " + secrets.File("password") + "\n" : ""));
    EnvironmentChanges changes = PrivateEnvironment(folder, SettingsFile());
    if (!plainLogin) changes["NETRC"] = secrets.File("netrc");
    ChildProcess run(
        {ProgramPath(), "-nogui", "-from:ann@example.org", "bob@example.org", "-s:Hi", "-msg:Hello",
         "-server:localhost:" + std::to_string(server.Port()), "-send", "-close"},
        ChangedEnvironment(changes), true);
    // MAIL FROM came: the login was accepted, and the program waits for the server.
    ASSERT_TRUE(PumpUntil([&] { return std::filesystem::exists(server.Folder() + "/stalled"); }));
    EXPECT_TRUE(ProcessMemoryHolds(run.Pid(), "bob@example.org"))
        << "the memory search finds what is there";
    for (const std::string& copy : {marker, base64(marker), base64(plain)})
      EXPECT_FALSE(ProcessMemoryHolds(run.Pid(), copy)) << copy;
  }
}

// Whole sends of the program against real servers started here on loopback, seen through a relay
// that records what the program sent in each turn: aiosmtpd, which offers no pipelining and so
// gets one command per turn; Postfix's smtpd requiring STARTTLS and a SASL login; Postfix's
// smtp-sink, which pipelines, taking 1000 recipients. Last, a scripted server that holds its
// reply to the final dot: QUIT has already come with the dot, and no file is deleted before the
// 250.
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "tests/peers/counting_relay.h"
#include "tests/peers/postfix_server.h"
#include "tests/peers/tls_test_ca.h"
#include "tests/smtp/SmtpTestSupport.h"

namespace {

using apptest::Exists;
using apptest::ReadFile;
using apptest::WriteFile;
using namespace composertest;
using testsupport::RunResult;

class ServerSessionsTest : public ::testing::Test {
 protected:
  ServerSessionsTest() { std::filesystem::create_directories(folder.File("home")); }

  std::string SettingsFile() const { return folder.File("tarvik2.ini"); }
  void Settings(const std::string& lines) { WriteFile(SettingsFile(), "[defaults]\n" + lines); }

  // One -nogui send from ann@example.org to the recipients, with the extra options.
  RunResult Send(const std::string& server, const std::vector<std::string>& recipients,
                 const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {ProgramPath(), "-nogui", "-from:ann@example.org",
                                     recipients.front()};
    std::string bcc;
    for (std::size_t i = 1; i < recipients.size(); ++i) bcc += (i > 1 ? ";" : "") + recipients[i];
    if (!bcc.empty()) argv.push_back("-bcc:" + bcc);
    argv.insert(argv.end(), {"-s:Sessions", "-msg:Hello", "-server:" + server, "-send", "-close"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testsupport::RunToEnd(
        argv, ChangedEnvironment(composertest::PrivateEnvironment(folder, SettingsFile())), 120000);
  }

  static std::vector<std::string> Recipients(int Count) {
    std::vector<std::string> list;
    for (int i = 1; i <= Count; ++i) list.push_back("r" + std::to_string(i) + "@example.org");
    return list;
  }

  // The lines of a burst, each with its CR LF.
  static std::vector<std::string> Lines(const std::string& Burst) {
    std::vector<std::string> lines;
    for (std::size_t from = 0; from < Burst.size();) {
      std::size_t end = Burst.find("\r\n", from);
      end = end == std::string::npos ? Burst.size() : end + 2;
      lines.push_back(Burst.substr(from, end - from));
      from = end;
    }
    return lines;
  }

  apptest::TempFolder folder;
};

TEST_F(ServerSessionsTest, AiosmtpdOffersNoPipeliningAndGetsOneCommandPerTurn) {
  SmtpPeer server(folder.File("in"));
  CountingRelay relay(server.Port());
  const RunResult r = Send("127.0.0.1:" + std::to_string(relay.Port()), Recipients(3), {"-ehlo"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(server.Received(), 1);
  EXPECT_EQ(ReadFile(server.Envelope(1)),
            "FROM ann@example.org\nRCPT r1@example.org\nRCPT r2@example.org\nRCPT "
            "r3@example.org\n");

  // EHLO, MAIL, three RCPTs, DATA, the message, QUIT: each alone in its turn.
  const std::vector<std::string> bursts = relay.ClientBursts();
  ASSERT_EQ(bursts.size(), 8u);
  EXPECT_TRUE(bursts[0].starts_with("EHLO ")) << bursts[0];
  EXPECT_TRUE(bursts[1].starts_with("MAIL FROM:<ann@example.org>")) << bursts[1];
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(bursts[2 + i], "RCPT TO:<r" + std::to_string(i + 1) + "@example.org>\r\n");
  }
  EXPECT_EQ(bursts[5], "DATA\r\n");
  EXPECT_TRUE(bursts[6].ends_with("\r\n.\r\n")) << "QUIT waits for the 250 without pipelining";
  EXPECT_EQ(bursts[7], "QUIT\r\n");
  for (std::size_t i = 0; i < bursts.size(); ++i) {
    if (i == 6) continue;
    EXPECT_EQ(Lines(bursts[i]).size(), 1u) << bursts[i];
  }
}

TEST_F(ServerSessionsTest, PostfixWithStartTlsAndSaslLoginTakesTheMessage) {
  TlsTestCa ca;
  const TlsTestCert localhost = ca.Issue("localhost");
  peers::PostfixServer postfix(
      folder.File("postfix"),
      {"smtpd_tls_cert_file = " + localhost.Cert, "smtpd_tls_key_file = " + localhost.Key,
       "smtpd_tls_security_level = encrypt", "smtpd_tls_loglevel = 1"},
      {{"ann", "Sasl-Pw-77"}});
  WriteFile(folder.File("password"), "Sasl-Pw-77\n");
  Settings("cafile=" + ca.CaFile() + "\npasswordcmd=cat " + folder.File("password") + "\n");
  const std::string host = "localhost:" + std::to_string(postfix.Port());

  RunResult r = Send(host, {"bob@example.org"}, {"-tls:starttls", "-user:nobody"});
  EXPECT_EQ(r.exitCode, 1) << "a login Postfix does not know is refused";
  EXPECT_NE(r.err.find("535 5.7.8"), std::string::npos) << r.err;

  r = Send(host, Recipients(2), {"-tls:starttls", "-user:ann"});
  ASSERT_EQ(r.exitCode, 0) << r.err << postfix.Log();
  // One delivered file per recipient.
  const std::vector<std::string> mails = postfix.WaitForMessages(2);
  ASSERT_EQ(mails.size(), 2u) << postfix.Log();
  EXPECT_NE(ReadFile(mails[0]).find("Subject: Sessions"), std::string::npos);
  const std::string log = postfix.WaitForLog("sasl_username=ann");
  EXPECT_NE(log.find("TLS connection established from"), std::string::npos) << log;
  EXPECT_NE(log.find("sasl_method=PLAIN, sasl_username=ann"), std::string::npos) << log;
}

// smtp-sink on a free loopback port, writing each transaction into a file of its own in Dump.
class SmtpSink {
 public:
  explicit SmtpSink(const std::string& Dump)
      : port_(ClosedPort()),
        process_(Arguments(Dump, port_), testsupport::CurrentEnvironment(), true) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Listening()) {
      if (std::chrono::steady_clock::now() > deadline)
        throw std::runtime_error("smtp-sink did not open its port");
      ::poll(nullptr, 0, 20);
    }
  }
  int Port() const { return port_; }

 private:
  static std::vector<std::string> Arguments(const std::string& Dump, int Port) {
    std::vector<std::string> argv = {"/usr/sbin/smtp-sink"};
    // As root it must drop to a user of its own, who then writes the dump files.
    if (::geteuid() == 0) {
      argv.insert(argv.end(), {"-u", "nobody"});
      std::filesystem::create_directories(Dump);
      ::chmod(std::filesystem::path(Dump).parent_path().c_str(), 0755);
      ::chmod(Dump.c_str(), 0777);
    }
    argv.insert(argv.end(), {"-d", Dump + "/%M.", "127.0.0.1:" + std::to_string(Port), "16"});
    return argv;
  }
  bool Listening() const { return peers::LoopbackPortTaken(port_); }
  int port_;
  ChildProcess process_;
};

TEST_F(ServerSessionsTest, SmtpSinkPipeliningTakesAThousandRecipientsEachOnce) {
  const std::string dump = folder.File("dump");
  SmtpSink sink(dump);
  CountingRelay relay(sink.Port());
  const RunResult r =
      Send("127.0.0.1:" + std::to_string(relay.Port()), Recipients(1000), {"-ehlo"});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  std::vector<std::string> files;
  ASSERT_TRUE(PumpUntil([&] {
    files.clear();
    for (const auto& entry : std::filesystem::directory_iterator(dump))
      files.push_back(entry.path());
    return !files.empty() && ReadFile(files[0]).find("Hello") != std::string::npos;
  }));
  ASSERT_EQ(files.size(), 1u) << "one transaction";
  std::map<std::string, int> seen;
  std::istringstream dumped(ReadFile(files[0]));
  for (std::string line; std::getline(dumped, line);)
    if (line.starts_with("X-Rcpt-Args: ")) ++seen[line.substr(13)];
  ASSERT_EQ(seen.size(), 1000u);
  for (const auto& [recipient, count] : seen) EXPECT_EQ(count, 1) << recipient;

  // The envelope leaves while its replies come in: a few turns (the relay splits what arrives
  // together), not 1001.
  const std::vector<std::string> bursts = relay.ClientBursts();
  EXPECT_LE(bursts.size(), 12u) << bursts.size() << " turns";
  std::size_t envelopeLines = 0;
  for (const std::string& burst : bursts)
    for (const std::string& line : Lines(burst))
      if (line.starts_with("MAIL FROM:") || line.starts_with("RCPT TO:")) ++envelopeLines;
  EXPECT_EQ(envelopeLines, 1001u);
}

// A sole recipient: DATA goes with the envelope and QUIT with the message, so the whole session
// takes three turns after the greeting.
TEST_F(ServerSessionsTest, SmtpSinkGetsDataWithASoleRecipient) {
  SmtpSink sink(folder.File("dump"));
  CountingRelay relay(sink.Port());
  const RunResult r = Send("127.0.0.1:" + std::to_string(relay.Port()), Recipients(1), {"-ehlo"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> bursts = relay.ClientBursts();
  ASSERT_EQ(bursts.size(), 3u);
  EXPECT_TRUE(bursts[0].starts_with("EHLO ")) << bursts[0];
  EXPECT_TRUE(bursts[1].starts_with("MAIL FROM:<ann@example.org>")) << bursts[1];
  EXPECT_TRUE(bursts[1].ends_with("\r\nRCPT TO:<r1@example.org>\r\nDATA\r\n")) << bursts[1];
  EXPECT_TRUE(bursts[2].ends_with("\r\n.\r\nQUIT\r\n")) << bursts[2];
}

// A server that pipelines and holds its 250 to the final dot until the test lets it go: QUIT has
// come with the dot, and the message file (-fdel) and the attachment (-adel) are still there
// until the 250 arrives.
TEST_F(ServerSessionsTest, FilesAreDeletedOnlyAfterThe250ThatQuitDidNotWaitFor) {
  using S = smtptest::ScriptedServer;
  smtptest::ScriptedServer server(
      {S::Reply("220 scripted\r\n"), S::ReadLine(), S::Reply("250-scripted\r\n250 PIPELINING\r\n"),
       S::ReadLine(), S::ReadLine(), S::Reply("250 sender ok\r\n250 rcpt ok\r\n"), S::ReadLine(),
       S::Reply("354 go on\r\n"), S::ReadData(), S::ReadLine(), S::Gate(),
       S::Reply("250 queued\r\n221 bye\r\n"), S::ReadToEnd()});
  WriteFile(folder.File("body.txt"), "Body from a file\n");
  WriteFile(folder.File("report.bin"), "attached");
  std::vector<std::string> argv = {ProgramPath(),
                                   "-nogui",
                                   "-from:ann@example.org",
                                   "bob@example.org",
                                   "-s:Held",
                                   "-f:" + folder.File("body.txt"),
                                   "-fdel",
                                   folder.File("report.bin"),
                                   "-adel",
                                   "-ehlo",
                                   "-server:127.0.0.1:" + server.PortText(),
                                   "-send",
                                   "-close"};
  ChildProcess child(
      argv, ChangedEnvironment(composertest::PrivateEnvironment(folder, SettingsFile())), true);
  // The script reaches its gate only once QUIT came after the dot, before any 250.
  ASSERT_TRUE(PumpUntil([&] { return server.Transcript().ends_with("\r\n.\r\nQUIT\r\n"); }))
      << server.Transcript();
  // The program has all it needs but the 250; give it time to go wrong.
  ::poll(nullptr, 0, 300);
  EXPECT_TRUE(Exists(folder.File("body.txt"))) << "-fdel before the 250";
  EXPECT_TRUE(Exists(folder.File("report.bin"))) << "-adel before the 250";
  server.Release();
  std::string out, err;
  ASSERT_EQ(child.Finish(out, err), 0) << err;
  EXPECT_FALSE(Exists(folder.File("body.txt")));
  EXPECT_FALSE(Exists(folder.File("report.bin")));
}

}  // namespace

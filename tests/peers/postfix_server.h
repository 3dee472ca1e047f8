// A private Postfix for tests: Debian's own postfix binaries run for real with a configuration,
// queue and data folder of the test's own ("postfix -c DIR start-fg"), listening on a free
// loopback port. Every message for example.org is delivered by Postfix's virtual(8) agent into
// one Maildir folder that the test reads; mail for any other domain is refused at RCPT, and
// nothing asks a name server (no peer name lookups, no outside delivery, no bounces sent out).
// Several instances may run at once: each has its own folders and port.
//
// Use (Postfix needs root, as the tests run in CI, and the postfix user of the package):
//   peers::PostfixServer postfix(dir.File("postfix"), {"strict_8bitmime = yes"});
//   ... send to 127.0.0.1 and postfix.Port() ...
//   std::vector<std::string> mails = postfix.WaitForMessages(1);   // delivered files
//   std::string log = postfix.Log();                                  // the mail log
// The extra lines are appended to main.cf, so they may override the defaults below (for TLS:
// "smtpd_tls_cert_file = ...", "smtpd_tls_key_file = ...", "smtpd_tls_security_level = may").
// Logins (user, password) switch on SMTP AUTH (PLAIN and LOGIN, after STARTTLS only) through
// Cyrus SASL with a password database of the instance's own (saslpasswd2 from sasl2-bin); the
// users log in by their plain names.
// The folder's parent must exist; the folder and the parent become readable by Postfix's own
// user (0755). The instance stops with this object.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace peers {

// A server holds its loopback port once it listens: a trial bind tells without a connection,
// which would show up in the server's log as a lost one.
inline bool LoopbackPortTaken(int Port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool taken =
      ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
  ::close(fd);
  return taken;
}

class PostfixServer {
 public:
  using Logins = std::vector<std::pair<std::string, std::string>>;

  explicit PostfixServer(const std::string& Folder, const std::vector<std::string>& Extra = {},
                         const Logins& SaslLogins = {})
      : folder_(Folder) {
    namespace fs = std::filesystem;
    const passwd* user = ::getpwnam("postfix");
    if (!user) throw std::runtime_error("no postfix user: is the postfix package installed?");
    for (const char* sub : {"conf", "queue", "data", "mail"}) fs::create_directories(Path(sub));
    // Postfix's daemons run as its user: they must reach the queue and write the mail folder.
    ::chmod(fs::path(folder_).parent_path().c_str(), 0755);
    ::chmod(folder_.c_str(), 0755);
    for (const char* sub : {"data", "mail"})
      if (::chown(Path(sub).c_str(), user->pw_uid, user->pw_gid) != 0)
        throw std::runtime_error("cannot hand " + Path(sub) + " to the postfix user");
    port_ = FreePort();
    std::vector<std::string> extra = Extra;
    if (!SaslLogins.empty()) {
      SetUpSasl(SaslLogins, *user);
      extra.insert(extra.begin(), {"smtpd_sasl_auth_enable = yes", "smtpd_sasl_type = cyrus",
                                   "smtpd_sasl_path = smtpd", "smtpd_tls_auth_only = yes",
                                   "smtpd_sasl_local_domain = " + std::string(kSaslRealm)});
    }
    WriteFile("conf/main.cf", MainCf(user->pw_uid, user->pw_gid, extra));
    WriteFile("conf/master.cf", MasterCf());
    Start();
  }
  ~PostfixServer() { Stop(); }
  PostfixServer(const PostfixServer&) = delete;
  PostfixServer& operator=(const PostfixServer&) = delete;

  int Port() const { return port_; }
  // The Maildir folder that receives every message for example.org.
  std::string MailFolder() const { return Path("mail/box/new"); }
  std::string Log() const { return ReadAll(Path("maillog")); }
  // The log once it holds Text (smtpd writes a session's summary after the client has gone);
  // the log as it is after TimeoutMs.
  std::string WaitForLog(const std::string& Text, int TimeoutMs = 20000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
      std::string log = Log();
      if (log.find(Text) != std::string::npos || std::chrono::steady_clock::now() > deadline)
        return log;
      ::poll(nullptr, 0, 20);
    }
  }

  // The delivered message files once there are at least Count, sorted by delivery; fewer after
  // TimeoutMs.
  std::vector<std::string> WaitForMessages(std::size_t Count, int TimeoutMs = 20000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
      std::vector<std::string> files = Messages();
      if (files.size() >= Count || std::chrono::steady_clock::now() > deadline) return files;
      ::poll(nullptr, 0, 20);  // delivery is another process's work: look again shortly
    }
  }
  std::vector<std::string> Messages() const {
    std::vector<std::pair<std::filesystem::file_time_type, std::string>> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(MailFolder(), ec))
      found.emplace_back(entry.last_write_time(), entry.path().string());
    std::sort(found.begin(), found.end());
    std::vector<std::string> files;
    for (auto& [time, name] : found) files.push_back(name);
    return files;
  }

 private:
  static constexpr const char* kSaslRealm = "mail.example.org";

  std::string Path(const std::string& Sub) const { return folder_ + "/" + Sub; }

  // Debian's smtpd reads its SASL settings from sasl/smtpd.conf in its configuration folder.
  void SetUpSasl(const Logins& SaslLogins, const passwd& User) const {
    std::filesystem::create_directories(Path("conf/sasl"));
    const std::string db = Path("conf/sasl/sasldb2");
    WriteFile("conf/sasl/smtpd.conf",
              "pwcheck_method: auxprop\nauxprop_plugin: sasldb\nmech_list: PLAIN LOGIN\n"
              "sasldb_path: " +
                  db + "\n");
    for (const auto& [name, password] : SaslLogins) {
      const std::string passwordFile = Path("conf/sasl/password");
      WriteFile("conf/sasl/password", password);
      std::vector<std::string> argv = {
          "/usr/sbin/saslpasswd2", "-p", "-c", "-f", db, "-u", kSaslRealm, name};
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, 0, passwordFile.c_str(), O_RDONLY, 0);
      pid_t pid = -1;
      const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      int status = 0;
      if (rc != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
          WEXITSTATUS(status) != 0)
        throw std::runtime_error("saslpasswd2 failed: is sasl2-bin installed?");
      std::filesystem::remove(passwordFile);
    }
    if (::chown(db.c_str(), User.pw_uid, User.pw_gid) != 0)
      throw std::runtime_error("cannot hand " + db + " to the postfix user");
  }

  static std::string ReadAll(const std::string& File) {
    std::ifstream in(File, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  void WriteFile(const std::string& Sub, const std::string& Text) const {
    std::ofstream out(Path(Sub), std::ios::binary | std::ios::trunc);
    out << Text;
    if (!out) throw std::runtime_error("cannot write " + Path(Sub));
  }

  // A port nobody listens on now; Postfix binds it moments later.
  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
  }

  std::string MainCf(uid_t Uid, gid_t Gid, const std::vector<std::string>& Extra) const {
    std::ostringstream cf;
    cf << "compatibility_level = 3.6\n"
       << "queue_directory = " << Path("queue") << "\n"
       << "data_directory = " << Path("data") << "\n"
       << "maillog_file = " << Path("maillog") << "\n"
       << "maillog_file_prefixes = " << folder_ << "\n"
       << "mail_owner = postfix\n"
       << "setgid_group = postdrop\n"
       << "myhostname = mail.example.org\n"
       << "mydomain = example.org\n"
       << "myorigin = example.org\n"
       << "mydestination =\n"
       << "inet_interfaces = 127.0.0.1\n"
       << "inet_protocols = ipv4\n"
       << "mynetworks = 127.0.0.0/8\n"
       // Only example.org is taken; nothing is relayed, delivered outside or looked up.
       << "smtpd_relay_restrictions = reject_unauth_destination\n"
       << "default_transport = error:outside delivery is off in tests\n"
       << "relay_transport = error:outside delivery is off in tests\n"
       << "smtpd_peername_lookup = no\n"
       << "smtp_dns_support_level = disabled\n"
       << "append_dot_mydomain = no\n"
       << "biff = no\n"
       << "alias_maps =\n"
       << "alias_database =\n"
       << "local_recipient_maps =\n"
       << "virtual_mailbox_domains = example.org\n"
       << "virtual_mailbox_base = " << Path("mail") << "\n"
       << "virtual_mailbox_maps = static:box/\n"
       << "virtual_uid_maps = static:" << Uid << "\n"
       << "virtual_gid_maps = static:" << Gid << "\n"
       << "smtpd_helo_required = yes\n"
       << "smtpd_helo_restrictions = reject_non_fqdn_helo_hostname\n"
       << "strict_8bitmime = yes\n";
    for (const std::string& line : Extra) cf << line << "\n";
    return cf.str();
  }

  std::string MasterCf() const {
    return "127.0.0.1:" + std::to_string(port_) +
           " inet n - n - - smtpd\n"
           "cleanup unix n - n - 0 cleanup\n"
           "qmgr unix n - n 300 1 qmgr\n"
           "rewrite unix - - n - - trivial-rewrite\n"
           "bounce unix - - n - 0 bounce\n"
           "defer unix - - n - 0 bounce\n"
           "trace unix - - n - 0 bounce\n"
           "verify unix - - n - 1 verify\n"
           "proxymap unix - - n - - proxymap\n"
           "error unix - - n - - error\n"
           "retry unix - - n - - error\n"
           "discard unix - - n - - discard\n"
           "virtual unix - n n - - virtual\n"
           "anvil unix - - n - 1 anvil\n"
           "scache unix - - n - 1 scache\n"
           "postlog unix-dgram n - n - 1 postlogd\n"
           "tlsmgr unix - - n 1000? 1 tlsmgr\n";
  }

  void Start() {
    const std::string out = Path("postfix.out");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const std::string conf = Path("conf");
    std::vector<std::string> argv = {"/usr/sbin/postfix", "-c", conf, "start-fg"};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start /usr/sbin/postfix");
    // Ready once the port takes connections; a Postfix that ends before that failed to start.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Accepting()) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("postfix did not start:\n" + ReadAll(out) + Log());
      }
      if (std::chrono::steady_clock::now() > deadline) {
        Stop();
        throw std::runtime_error("postfix did not open its port:\n" + ReadAll(out) + Log());
      }
      ::poll(nullptr, 0, 20);
    }
  }

  bool Accepting() const { return LoopbackPortTaken(port_); }

  // Runs "postfix -c conf Command" to its end.
  void Control(const char* Command) const {
    const std::string conf = Path("conf");
    std::vector<std::string> argv = {"/usr/sbin/postfix", "-c", conf, Command};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
  }

  // True once the start-fg process (and with it the master it runs) has ended.
  bool Ended(int TimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ::poll(nullptr, 0, 20);
    }
    return true;
  }

  void Stop() {
    if (pid_ <= 0) return;
    // The master ends its daemons and then itself; one that will not is killed.
    Control("stop");
    if (!Ended(15000)) {
      Control("abort");
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

  std::string folder_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace peers

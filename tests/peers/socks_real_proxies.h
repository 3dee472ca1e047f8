// Launches the real SOCKS proxies of the tests, Debian's microsocks (SOCKS 5, optionally with
// user name and password) and dante-server (danted, SOCKS 4 and 5), on a free 127.0.0.1 port
// with a generated configuration in a temporary folder. The process is killed and the folder
// removed when the object goes. A missing binary is an error the test reports (it fails).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "socks_test_support.h"

extern char** environ;

namespace socks_test {

class ProxyProcess {
 public:
  ProxyProcess() = default;
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;
  ~ProxyProcess() { Stop(); }

  // Empty when the proxy runs and accepts connections; otherwise what went wrong.
  const std::string& Error() const { return error_; }
  int Port() const { return port_; }
  std::string Log() const {
    std::ifstream in(dir_ / "proxy.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  bool Start(const std::string& binary, std::vector<std::string> args, int port,
             const std::filesystem::path& dir) {
    port_ = port;
    dir_ = dir;
    if (::access(binary.c_str(), X_OK) != 0) {
      error_ = binary + " is not installed (Debian package needed)";
      return false;
    }
    args.insert(args.begin(), binary);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = (dir_ / "proxy.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      error_ = "cannot start " + binary;
      return false;
    }
    // Ready when it accepts a connection (there is no other signal to wait for).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (ConnectLoopback(port_)) return true;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        error_ = binary + " ended at start: " + Log();
        return false;
      }
      ::poll(nullptr, 0, 20);
    }
    error_ = binary + " did not start listening: " + Log();
    return false;
  }

  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
      dir_.clear();
    }
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::filesystem::path dir_;
  std::string error_;
};

inline std::filesystem::path MakeProxyDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-socks-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return {};
  return pattern;
}

// microsocks on 127.0.0.1; with a user name the proxy demands user name and password.
inline bool StartMicrosocks(ProxyProcess& proxy, const std::string& user = "",
                            const std::string& password = "") {
  std::vector<std::string> args{"-i", "127.0.0.1", "-p", std::to_string(FreeLoopbackPort())};
  if (!user.empty()) args.insert(args.end(), {"-u", user, "-P", password});
  return proxy.Start("/usr/bin/microsocks", args, std::stoi(args[3]), MakeProxyDir());
}

// danted on 127.0.0.1, SOCKS 4 and 5 without authentication, for clients on 127.0.0.1 asking
// for targets on the loopback network only.
inline bool StartDante(ProxyProcess& proxy) {
  const auto dir = MakeProxyDir();
  const int port = FreeLoopbackPort();
  const auto config = dir / "danted.conf";
  std::ofstream out(config);
  out << "logoutput: " << (dir / "danted.log").string() << "\n"
      << "internal: 127.0.0.1 port = " << port << "\n"
      << "external: 127.0.0.1\n"
      << "clientmethod: none\n"
      << "socksmethod: none\n";
  if (::geteuid() == 0) out << "user.privileged: root\nuser.unprivileged: nobody\n";
  out << "client pass {\n  from: 127.0.0.1/32 to: 0.0.0.0/0\n  log: error\n}\n"
      << "socks pass {\n  from: 127.0.0.1/32 to: 127.0.0.0/8\n  command: connect\n"
      << "  protocol: tcp\n  socksmethod: none\n  log: error\n}\n";
  out.close();
  return proxy.Start("/usr/sbin/danted",
                     {"-f", config.string(), "-p", (dir / "danted.pid").string(), "-N", "1"}, port,
                     dir);
}

}  // namespace socks_test

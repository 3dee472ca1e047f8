// Real peers and processes for the composer tests: the aiosmtpd test server on loopback, running
// the event loop until something happened, and running the built program.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/EventLoop.h"
#include "tests/platform/TestTempDir.h"

extern char** environ;

namespace composertest {

inline std::string SourceDir() {
  return TARVIK_SOURCE_DIR;
}
inline std::string ProgramPath() {
  return std::string(TARVIK_BINARY_DIR) + "/frontend/tarvik";
}

// A child process with its standard input and output on pipes (standard error inherited unless
// asked for).
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               bool captureError) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
      throw std::runtime_error("pipe failed");
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      if (captureError) ::dup2(err[1], 2);
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    const int rc = pid_ < 0 ? -1 : 0;
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  ~ChildProcess() {
    CloseInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      Wait();
    }
    if (stdout_ >= 0) ::close(stdout_);
    if (stderr_ >= 0) ::close(stderr_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  void CloseInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  // One line of standard output, or of standard error when captured and asked for (without
  // the line end); throws at end of output or timeout.
  std::string ReadLine(int timeoutMs = 20000, bool fromError = false) {
    const int fd = fromError ? stderr_ : stdout_;
    std::string line;
    char c;
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) throw std::runtime_error("no output from the child");
      if (::read(fd, &c, 1) != 1) throw std::runtime_error("child output ended");
      if (c == '\n') return line;
      line += c;
    }
  }
  // Reads standard output and error to their ends, then waits; returns the exit status.
  int Finish(std::string& out, std::string& err, int timeoutMs = 60000) {
    CloseInput();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (stdout_ >= 0 || stderr_ >= 0) {
      pollfd p[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || ::poll(p, 2, static_cast<int>(left)) <= 0)
        throw std::runtime_error("the child did not finish in time");
      for (int i = 0; i < 2; ++i) {
        if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[4096];
        const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
        } else {
          ::close(p[i].fd);
          (i == 0 ? stdout_ : stderr_) = -1;
        }
      }
    }
    return Wait();
  }
  int Wait() {
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
};

inline std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  return env;
}

// Changes to an environment: a value sets the variable, nullopt removes it.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

// The environment of a program run that keeps to Folder: its settings file (SettingsFile),
// home and state folders there, no configuration folder of the user, no display (scripting
// mode) and no netrc file named from outside.
inline EnvironmentChanges PrivateEnvironment(const TestTempDir& Folder,
                                             const std::string& SettingsFile) {
  return {{"TARVIK_INI", SettingsFile},
          {"HOME", Folder.File("home")},
          {"XDG_STATE_HOME", Folder.File("state")},
          {"XDG_CONFIG_HOME", std::nullopt},
          {"DISPLAY", std::nullopt},
          {"WAYLAND_DISPLAY", std::nullopt},
          {"NETRC", std::nullopt},
          {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
          {"XDG_RUNTIME_DIR", std::nullopt}};
}

// The current environment with the changes made.
inline std::vector<std::string> ChangedEnvironment(const EnvironmentChanges& changes) {
  std::vector<std::string> env;
  for (const std::string& entry : CurrentEnvironment())
    if (!changes.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
  for (const auto& [name, value] : changes)
    if (value) env.push_back(name + "=" + *value);
  return env;
}

// The aiosmtpd test server (tests/peers/smtp_server.py) on a free loopback port, saving what
// it accepts in a folder. It ends with this object (its standard input closes).
class SmtpPeer {
 public:
  SmtpPeer(const std::string& folder, const std::vector<std::string>& options = {})
      : folder_(folder),
        process_(Arguments(folder, options), CurrentEnvironment(), /*captureError=*/false) {
    const std::string line = process_.ReadLine();
    if (!line.starts_with("PORT ")) throw std::runtime_error("unexpected server output " + line);
    port_ = std::stoi(line.substr(5));
  }
  int Port() const { return port_; }
  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::string& Folder() const { return folder_; }
  // Messages accepted so far.
  int Received() const {
    int n = 0;
    while (std::filesystem::exists(folder_ + "/msg-" + std::to_string(n + 1) + ".env")) ++n;
    return n;
  }
  std::string Message(int n) const { return folder_ + "/msg-" + std::to_string(n) + ".eml"; }
  std::string Envelope(int n) const { return folder_ + "/msg-" + std::to_string(n) + ".env"; }

 private:
  static std::vector<std::string> Arguments(const std::string& folder,
                                            const std::vector<std::string>& options) {
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     SourceDir() + "/tests/peers/smtp_server.py", "--dir", folder,
                                     "--stdin-eof"};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
  }
  std::string folder_;
  ChildProcess process_;
  int port_ = 0;
};

// Runs the event loop until done() holds; false after the timeout.
inline bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
  EventLoop& loop = EventLoop::Current();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{loop.Fd(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
    Application().ProcessMessages();
  }
  return true;
}

// A free loopback port with nothing listening on it.
inline int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// The parsed form of a saved message (tests/peers/parse_message.py), one item per line; policy
// "default" parses as a modern reader does.
inline std::string ParseMessage(const std::string& message, const std::string& partsDir,
                                const std::string& policy = "compat32") {
  ChildProcess parser({"/usr/bin/python3", SourceDir() + "/tests/peers/parse_message.py", message,
                       "--parts-dir", partsDir, "--policy", policy},
                      CurrentEnvironment(), true);
  std::string out, err;
  if (parser.Finish(out, err) != 0) throw std::runtime_error("parse_message failed: " + err);
  return out;
}

}  // namespace composertest

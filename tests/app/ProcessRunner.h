// Running programs from tests: a child process with pipes on its standard streams, its
// environment given as changes to ours, every wait bounded by a deadline.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace apptest {

// Environment changes: a value sets the variable, nullopt removes it.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const EnvironmentChanges& changes) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
      throw std::runtime_error("pipe failed");
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const std::vector<std::string> envp = Environment(changes);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      std::vector<char*> a, e;
      for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
      for (const auto& s : envp) e.push_back(const_cast<char*>(s.c_str()));
      a.push_back(nullptr);
      e.push_back(nullptr);
      ::execve(program.c_str(), a.data(), e.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~ChildProcess() {
    CloseInput();
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // The next line of standard output (without its newline); nullopt at end or on timeout.
  std::optional<std::string> ReadOutputLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto nl = out.find('\n'); nl != std::string::npos) {
        std::string line = out.substr(0, nl);
        out.erase(0, nl + 1);
        return line;
      }
      if (!Pump(deadline)) return std::nullopt;
    }
  }

  // Waits for the end of the process, collecting its output; nullopt on timeout (then killed).
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_ >= 0 || err_ >= 0)
      if (!Pump(deadline)) break;
    if (out_ >= 0 || err_ >= 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      exited_ = true;
      return std::nullopt;
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
  }

  std::string out;
  std::string err;

 private:
  static std::vector<std::string> Environment(const EnvironmentChanges& changes) {
    std::vector<std::string> result;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      if (!changes.count(name)) result.push_back(entry);
    }
    for (const auto& [name, value] : changes)
      if (value) result.push_back(name + "=" + *value);
    return result;
  }

  // Reads what is there from the open output pipes; false when the deadline passed or both
  // pipes are closed.
  bool Pump(std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int n = ::poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    ReadFrom(fds[0], out_, out);
    ReadFrom(fds[1], err_, err);
    return true;
  }
  static void ReadFrom(const pollfd& p, int& fd, std::string& into) {
    if (fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  bool exited_ = false;
};

}  // namespace apptest

// Starting other programs from tests: one child process with its standard input and output on
// pipes, standard error inherited, captured on its own pipe or joined to standard output. The
// child is ended (SIGTERM) and reaped with this object, so no peer outlives its test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

inline std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  return env;
}

// Changes to an environment: a value sets the variable, nullopt removes it.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

// The current environment with the changes made.
inline std::vector<std::string> ChangedEnvironment(const EnvironmentChanges& changes) {
  std::vector<std::string> env;
  for (const std::string& entry : CurrentEnvironment())
    if (!changes.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
  for (const auto& [name, value] : changes)
    if (value) env.push_back(name + "=" + *value);
  return env;
}

class ChildProcess {
 public:
  enum class ErrorOutput { Inherit, Capture, JoinOutput };

  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               ErrorOutput error = ErrorOutput::Inherit) {
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
      if (error == ErrorOutput::Capture) ::dup2(err[1], 2);
      if (error == ErrorOutput::JoinOutput) ::dup2(out[1], 2);
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
    if (pid_ < 0) throw std::runtime_error("cannot start " + argv[0]);
  }
  // The same with an inherited environment; captureError as ErrorOutput::Capture.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               bool captureError)
      : ChildProcess(argv, env, captureError ? ErrorOutput::Capture : ErrorOutput::Inherit) {}
  explicit ChildProcess(const std::vector<std::string>& argv,
                        ErrorOutput error = ErrorOutput::Inherit)
      : ChildProcess(argv, CurrentEnvironment(), error) {}
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
  int Input() const { return stdin_; }
  int Output() const { return stdout_; }
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
  // Waits for the end; the exit code, or 128 + the signal that ended the child.
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

// What a program run to its end left behind.
struct RunResult {
  int exitCode = -1;
  std::string out, err;
};

// Runs argv in Environment to its end, standard error kept apart, within TimeoutMs.
inline RunResult RunToEnd(const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment, int timeoutMs = 60000) {
  ChildProcess child(argv, environment, /*captureError=*/true);
  RunResult r;
  r.exitCode = child.Finish(r.out, r.err, timeoutMs);
  return r;
}

// Runs a program to its end with the current environment; its standard output.
inline std::string RunCapture(const std::vector<std::string>& argv, int* exitCode = nullptr) {
  ChildProcess child(argv);
  std::string out, err;
  const int code = child.Finish(out, err);
  if (exitCode) *exitCode = code;
  return out;
}

}  // namespace testsupport

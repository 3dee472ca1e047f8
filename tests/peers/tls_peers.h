// TLS servers for the tests, started as child processes on a free 127.0.0.1 port:
//  - OpenSslServer: Debian's `openssl s_server -rev` (a real TLS server that answers each line
//    with the line reversed), one connection; with Interactive, `s_server` without -rev instead:
//    what the client sends appears on its output, and each line written to its input is sent
//    to the client or, for "K", "k" and "r", starts a key update or a renegotiation;
//  - TlsScriptedPeer: tests/peers/tls_peer.py for the edge cases (STARTTLS with injected bytes,
//    a plain-text server, a close during the handshake); it reports how each session ended.
// Certificates come from tls_test_ca.h. The child ends with the object (stdin closed, SIGTERM).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

extern char** environ;

namespace tlstest {

// A child process whose standard output the test reads line by line.
class PeerProcess {
 public:
  explicit PeerProcess(const std::vector<std::string>& Argv)
      : child_(Argv, testsupport::ChildProcess::ErrorOutput::JoinOutput),
        stdin_(child_.Input()),
        stdout_(child_.Output()) {}

  // The next line of output (without its line end); empty when none came within TimeoutMs.
  std::string ReadLine(int TimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
      auto end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char buf[512];
      const ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) return {};
      pending_.append(buf, static_cast<std::size_t>(n));
    }
  }

  // Writes Text to the child's standard input.
  void Write(const std::string& Text) {
    if (::write(stdin_, Text.data(), Text.size()) != static_cast<ssize_t>(Text.size()))
      throw std::runtime_error("cannot write to the peer");
  }

  // Waits until the child has read everything written to its standard input; false when it did
  // not within TimeoutMs.
  bool WaitInputTaken(int TimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (int unread = 1; ::ioctl(stdin_, FIONREAD, &unread) == 0;) {
      if (unread == 0) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      ::usleep(1000);
    }
    return false;
  }

  // Reads lines until one starts with Prefix; returns it (empty when none came in time).
  std::string ReadLineStarting(const std::string& Prefix, int TimeoutMs = 10000) {
    for (;;) {
      std::string line = ReadLine(TimeoutMs);
      if (line.empty() || line.rfind(Prefix, 0) == 0) return line;
    }
  }

 private:
  testsupport::ChildProcess child_;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string pending_;
};

// openssl s_server on 127.0.0.1, one connection, answering each line reversed (or, Interactive,
// driven through Output().Write); Options are added to its command line (e.g. "-tls1_2").
class OpenSslServer {
 public:
  enum Mode { Reverse, Interactive };
  OpenSslServer(const std::string& Cert, const std::string& Key, Mode How = Reverse,
                const std::vector<std::string>& Options = {})
      : process_(Argv(Cert, Key, How, Options)) {
    const std::string line = process_.ReadLineStarting("ACCEPT");
    const auto colon = line.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("openssl s_server: " + line);
    port_ = std::stoi(line.substr(colon + 1));
  }
  int Port() const { return port_; }
  PeerProcess& Output() { return process_; }

 private:
  static std::vector<std::string> Argv(const std::string& Cert, const std::string& Key, Mode How,
                                       const std::vector<std::string>& Options) {
    std::vector<std::string> argv = {
        "/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", Cert, "-key", Key,
        "-naccept",         "1"};
    if (How == Reverse) argv.push_back("-rev");
    argv.insert(argv.end(), Options.begin(), Options.end());
    return argv;
  }

  PeerProcess process_;
  int port_ = 0;
};

// tests/peers/tls_peer.py with the given mode and options.
class TlsScriptedPeer {
 public:
  TlsScriptedPeer(const std::string& Mode, const std::string& Cert, const std::string& Key,
                  const std::vector<std::string>& Options = {})
      : process_(Argv(Mode, Cert, Key, Options)) {
    const std::string line = process_.ReadLine();
    if (line.rfind("PORT ", 0) != 0) throw std::runtime_error("tls_peer.py: " + line);
    port_ = std::stoi(line.substr(5));
  }
  int Port() const { return port_; }
  // How the next session ended: "END close_notify", "END eof" or "END error ...".
  std::string SessionEnd(int TimeoutMs = 10000) {
    return process_.ReadLineStarting("END", TimeoutMs);
  }

 private:
  static std::vector<std::string> Argv(const std::string& Mode, const std::string& Cert,
                                       const std::string& Key,
                                       const std::vector<std::string>& Options) {
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     std::string(TARVIK_SOURCE_DIR) + "/tests/peers/tls_peer.py",
                                     "--mode", Mode};
    if (!Cert.empty()) argv.insert(argv.end(), {"--cert", Cert, "--key", Key});
    argv.insert(argv.end(), Options.begin(), Options.end());
    return argv;
  }

  PeerProcess process_;
  int port_ = 0;
};

}  // namespace tlstest

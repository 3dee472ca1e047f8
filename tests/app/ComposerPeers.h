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
#include "tests/support/ChildProcess.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace composertest {

inline std::string SourceDir() {
  return TARVIK_SOURCE_DIR;
}
inline std::string ProgramPath() {
  return std::string(TARVIK_BINARY_DIR) + "/frontend/tarvik";
}

using testsupport::ChangedEnvironment;
using testsupport::ChildProcess;
using testsupport::CurrentEnvironment;
using testsupport::EnvironmentChanges;
using testsupport::PumpUntil;

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

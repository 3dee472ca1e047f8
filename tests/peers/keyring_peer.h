// A private desktop keyring for tests: a session bus of its own (dbus-daemon) and GNOME
// Keyring's Secret Service on it (gnome-keyring-daemon, its login keyring made and unlocked in
// a folder of the test), and secret-tool to look at it from outside the program. Nothing of
// the person's own session is touched. Everything ends with this object.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/ComposerPeers.h"
#include "tests/support/TempDir.h"

class TPrivateKeyring {
 public:
  explicit TPrivateKeyring(const TestTempDir& Folder)
      : folder_(Folder),
        prepared_(std::filesystem::create_directories(Folder.File("keyring-home/data"))),
        bus_({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"},
             composertest::CurrentEnvironment(), /*captureError=*/false),
        address_(bus_.ReadLine()),
        keyring_({"/bin/sh", "-c",
                  "echo keyring-password | exec gnome-keyring-daemon --unlock "
                  "--components=secrets --foreground"},
                 Environment(), /*captureError=*/true) {
    // The daemon names its control folder once it serves.
    keyring_.ReadLine();
  }

  const std::string& Address() const { return address_; }
  // The environment of a program that is to use this keyring (and nothing of the person's).
  composertest::EnvironmentChanges Changes() const {
    return {{"DBUS_SESSION_BUS_ADDRESS", address_},
            {"XDG_RUNTIME_DIR", std::nullopt},
            {"HOME", folder_.File("keyring-home")},
            {"XDG_DATA_HOME", folder_.File("keyring-home/data")}};
  }
  std::vector<std::string> Environment() const {
    return composertest::ChangedEnvironment(Changes());
  }

  // secret-tool store with these attributes ("service", "smtp", "host", ...).
  void Store(const std::string& Label, const std::string& Password,
             const std::vector<std::string>& Attributes) {
    std::string command =
        "printf %s '" + Password + "' | exec secret-tool store --label='" + Label + "'";
    for (const std::string& a : Attributes) command += " '" + a + "'";
    Run({"/bin/sh", "-c", command});
  }
  // secret-tool lookup: the password, or "" when there is none.
  std::string Lookup(const std::vector<std::string>& Attributes) {
    std::vector<std::string> argv = {"/usr/bin/secret-tool", "lookup"};
    argv.insert(argv.end(), Attributes.begin(), Attributes.end());
    return Run(argv);
  }
  // How many items secret-tool finds for these attributes.
  int Count(const std::vector<std::string>& Attributes) {
    std::vector<std::string> argv = {"/usr/bin/secret-tool", "search", "--all"};
    argv.insert(argv.end(), Attributes.begin(), Attributes.end());
    const std::string out = Run(argv, /*errorToo=*/true);
    int n = 0;
    for (std::size_t at = 0; (at = out.find("label = ", at)) != std::string::npos; ++at) ++n;
    return n;
  }

 private:
  std::string Run(const std::vector<std::string>& Argv, bool ErrorToo = false) {
    composertest::ChildProcess child(Argv, Environment(), /*captureError=*/true);
    std::string out, err;
    child.Finish(out, err);
    return ErrorToo ? out + err : out;
  }

  const TestTempDir& folder_;
  bool prepared_;
  composertest::ChildProcess bus_;
  std::string address_;
  composertest::ChildProcess keyring_;
};

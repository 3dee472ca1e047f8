// Shared pieces of the composer tests: a private folder for the settings and drafts, the
// environment pointing there, the scripted front-end, and the composer in Form1.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "platform/IniFile.h"
#include "platform/ScriptedFrontEnd.h"
#include "tests/support/TempDir.h"

namespace apptest {

// A fresh folder, removed with everything in it at the end.
using TempFolder = TestTempDir;

// Sets (or with nullopt removes) environment variables and restores them at the end.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) Apply(name, value);
  }
  void Set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    Apply(name, value);
  }

 private:
  static void Apply(const std::string& name, const std::optional<std::string>& value) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

inline std::string ReadFile(const std::string& fileName) {
  return ReadWholeFile(fileName);
}

inline void WriteFile(const std::string& fileName, const std::string& content) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + fileName);
}

inline bool Exists(const std::string& fileName) {
  return std::filesystem::exists(fileName);
}

// A composer with its settings file, home and state folders in a private folder; the scripted
// front-end answers every question. Each test may start the composer again ("next start").
class ComposerTest : public ::testing::Test {
 protected:
  ComposerTest() {
    env.Set("TARVIK_INI", SettingsFile());
    env.Set("HOME", folder.File("home"));
    env.Set("XDG_STATE_HOME", folder.File("state"));
    env.Set("XDG_CONFIG_HOME", std::nullopt);
    // The person's keyring is never asked; keyring tests start a private one.
    env.Set("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    env.Set("XDG_RUNTIME_DIR", std::nullopt);
    NewComposer();
  }
  ~ComposerTest() override { Form1.reset(); }

  std::string SettingsFile() const { return folder.File("tarvik2.ini"); }

  // A new composer in Form1, as at a new program start (nothing initialised yet).
  TForm1& NewComposer() {
    Form1.reset();
    Form1 = std::make_unique<TForm1>();
    return *Form1;
  }
  // Starts the composer with these arguments: settings, then the command line.
  TForm1& Start(const std::vector<std::string>& arguments = {}) {
    TForm1& form = NewComposer();
    form.Arguments = arguments;
    form.OnInit(&form);
    return form;
  }
  TForm1& form() { return *Form1; }

  std::string IniValue(const std::string& section, const std::string& key,
                       const std::string& def = "<absent>") const {
    return TIniFile(SettingsFile()).ReadString(section, key, def);
  }
  TStringList IniSection(const std::string& section) const {
    TStringList values;
    TIniFile(SettingsFile()).ReadSectionValues(section, values);
    return values;
  }

  TempFolder folder;
  ScopedEnvironment env;
  ScriptedFrontEnd frontEnd;
  ScopedFrontEnd currentFrontEnd{frontEnd};
};

}  // namespace apptest

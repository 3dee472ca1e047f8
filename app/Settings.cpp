// Settings and server list: the settings file's place, LoadSettings, SaveSettings, SaveServers.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/SettingKeys.h"
#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"
#include "platform/IniFile.h"
#include "util/IniUtils.h"
#include "util/IniUtilsExt.h"
#include "util/Tokenutils.h"

namespace {

// The most seconds whose interval in milliseconds fits a timer.
constexpr std::uint32_t kMaxTimerSeconds = UINT32_MAX / 1000;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// An XDG base folder: the variable when it holds an absolute path, else the fallback below home.
std::string XdgFolder(const char* variable, const char* fallbackBelowHome) {
  const std::string value = Environment(variable);
  if (value.starts_with("/")) return value;
  return HomeFolder() + fallbackBelowHome;
}

}  // namespace

std::string HomeFolder() {
  std::string home = Environment("HOME");
  if (home.empty())
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) home = entry->pw_dir;
  return home;
}

std::string SettingsFileName() {
  if (std::string ini = Environment("TARVIK_INI"); !ini.empty()) return ini;
  return XdgFolder("XDG_CONFIG_HOME", "/.config") + "/tarvik/tarvik2.ini";
}

std::string DefaultDraftDir() {
  return XdgFolder("XDG_STATE_HOME", "/.local/state") + "/tarvik";
}

void TForm1::LoadSettings(const std::string& section) {
  SettingsSection = section;
  // A file that is there but cannot be read gives the defaults, as a missing one does; unlike
  // a missing one, it is worth a word.
  if (const std::string problem = TIniFile(SettingsFileName()).ReadProblem(); !problem.empty())
    MessageBoxA(0,
                "The settings file " + SettingsFileName() + " cannot be read (" + problem +
                    ").\rThe stored settings are not used.",
                kErrorCaption, MB_ICONERROR);
  SetIniFile(SettingsFileName(), section, true);
  LoadControl(SMTPServer);
  LoadControl(SignFile);
  LoadControl(AutoSave);
  LoadControl(CloseWhenSent);

  if (IniReadString(setting::kSaveDraft, "1") == "0") SaveDraftTimer.SetEnabled(false);
  if (const std::string delay = IniReadString(setting::kSaveDraftDelay, ""); !delay.empty()) {
    if (const std::optional<std::uint32_t> seconds = ParseWholeSeconds(delay)) {
      SaveDraftTimer.SetInterval(*seconds * 1000);
    } else {
      // A typing error in the file must not cost the rest of the settings or the command line.
      MessageBoxA(0,
                  "The setting savedraftdelay=" + delay + " in " + SettingsFileName() +
                      " is not a whole number of seconds (0 to " +
                      std::to_string(kMaxTimerSeconds) + ").\rDrafts are saved every " +
                      std::to_string(SaveDraftTimer.Interval() / 1000) + " seconds instead.",
                  kErrorCaption, MB_ICONERROR);
    }
  }

  if (const std::string wait = IniReadString(setting::kPasswordTimeout, ""); !wait.empty()) {
    const std::optional<std::uint32_t> seconds = ParseWholeSeconds(wait);
    if (seconds && *seconds > 0)
      PasswordTimeoutSeconds = *seconds;
    else
      MessageBoxA(0,
                  "The setting passwordtimeout=" + wait + " in " + SettingsFileName() +
                      " is not a whole number of seconds (1 to " +
                      std::to_string(kMaxTimerSeconds) + ").\rThe password command gets " +
                      std::to_string(PasswordTimeoutSeconds) + " seconds.",
                  kErrorCaption, MB_ICONERROR);
  }

  if (const std::string timeout = IniReadString(setting::kTimeout, ""); !timeout.empty()) {
    if (const std::optional<std::uint32_t> seconds = ParseWholeSeconds(timeout)) {
      SmtpCli1->SetTimeout(*seconds);
    } else {
      MessageBoxA(0,
                  "The setting timeout=" + timeout + " in " + SettingsFileName() +
                      " is not a whole number of seconds (0 to " +
                      std::to_string(kMaxTimerSeconds) +
                      ").\rThe waits of the SMTP protocol apply uncapped.",
                  kErrorCaption, MB_ICONERROR);
    }
  }

  LoadControl(from);
  if (std::string file = IniReadString(setting::kAddressFile, ""); !file.empty())
    AddressFile = file;
  // The HELO name; empty leaves it to the client (the host's FQDN or the address literal).
  const std::string helo = IniReadString(setting::kHelo, "");
  const std::size_t first = helo.find_first_not_of(" \t");
  HeloName = first == std::string::npos
                 ? ""
                 : helo.substr(first, helo.find_last_not_of(" \t") - first + 1);
  const std::string tempDir = IniReadString(setting::kTempDir, "");
  DraftDir = tempDir.empty() ? DefaultDraftDir() : tempDir;
  LoadControl(tls);
  LoadControl(user);
  LoadControl(passwordcmd);
  AuthMethod = IniReadString(setting::kAuth, "");
  CaFile = IniReadString(setting::kCaFile, "");
  TlsFingerprint = IniReadString(setting::kTlsFingerprint, "");
  UseEhlo = IniReadBool(setting::kEhlo, false);
  Proxy = IniReadString(setting::kProxy, "");
  IniClose();

  SetIniSection(setting::kServers, true);
  IniReadSectionValues(SMTPServer.Items);
  for (int i = 0; i < SMTPServer.Items.Count(); ++i)
    SMTPServer.Items[i] = GetToken(SMTPServer.Items[i], "=", 2);
  IniClose();
}

void TForm1::SaveSettings() {
  SetIniFile(SettingsFileName(), SettingsSection, true);
  SaveControl(SMTPServer);
  SaveControl(SignFile);
  SaveControl(AutoSave);
  SaveControl(CloseWhenSent);
  SaveControl(from);
  SaveControl(tls);
  SaveControl(user);
  SaveControl(passwordcmd);
  IniClose();
  SaveServers();
}

void TForm1::SaveServers() {
  bool listed = false;
  for (const std::string& entry : SMTPServer.Items)
    if (EqualIgnoringAsciiCase(entry, SMTPServer.Text)) listed = true;
  // A text with a line break is no server name, and an ini line cannot hold it: adding it would
  // make the rewrite below fail half-way and lose the list.
  const bool storable = SMTPServer.Text.find_first_of("\r\n") == std::string::npos;
  if (!listed && storable) SMTPServer.Items.Add(SMTPServer.Text);

  // Servers another run has added since this one read the list are kept after ours.
  TStringList stored;
  SetIniSection(setting::kServers, true);
  IniReadSectionValues(stored);
  for (const std::string& line : stored) {
    const std::string server = GetToken(line, "=", 2);
    const bool known =
        std::any_of(SMTPServer.Items.begin(), SMTPServer.Items.end(),
                    [&](const std::string& e) { return EqualIgnoringAsciiCase(e, server); });
    if (!known) SMTPServer.Items.Add(server);
  }

  // The list replaces the section in one write, so a crash never leaves it half erased and an
  // unchanged list costs no write at all.
  TStringList entries;
  for (int i = 0; i < SMTPServer.Items.Count(); ++i)
    entries.Add("server" + std::to_string(i + 1) + "=" + SMTPServer.Items[i]);
  IniReplaceSection(entries);
  IniClose();
}

void TForm1::SaveSettingsBtnClick(TControl*) {
  SaveSettings();
}

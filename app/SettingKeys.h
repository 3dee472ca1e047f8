// The settings file's sections and keys, in one table. The code reads and writes the settings
// through these names only, and the test of the manual page checks the page against the table,
// so a key added here and not documented fails there.
#pragma once

#include <string_view>

namespace setting {

// Sections.
inline constexpr char kDefaults[] = "defaults";
inline constexpr char kServers[] = "servers";
inline constexpr char kAddresses[] = "adresses";  // spelled so in every stored file

// Keys of [defaults] that restore a control of the same name.
inline constexpr char kSMTPServer[] = "SMTPServer";
inline constexpr char kFrom[] = "from";
inline constexpr char kSignFile[] = "SignFile";
inline constexpr char kAutoSave[] = "AutoSave";
inline constexpr char kCloseWhenSent[] = "CloseWhenSent";
inline constexpr char kTls[] = "tls";
inline constexpr char kUser[] = "user";
inline constexpr char kPasswordCmd[] = "passwordcmd";

// Keys of [defaults] that only the file sets.
inline constexpr char kSaveDraft[] = "savedraft";
inline constexpr char kSaveDraftDelay[] = "savedraftdelay";
inline constexpr char kAddressFile[] = "addressfile";
inline constexpr char kTempDir[] = "tempdir";
inline constexpr char kAuth[] = "auth";
inline constexpr char kPasswordTimeout[] = "passwordtimeout";
inline constexpr char kCaFile[] = "cafile";
inline constexpr char kTlsFingerprint[] = "tlsfingerprint";
inline constexpr char kHelo[] = "helo";
inline constexpr char kEhlo[] = "ehlo";
inline constexpr char kTimeout[] = "timeout";
inline constexpr char kProxy[] = "proxy";

struct Entry {
  std::string_view Section;
  std::string_view Key;  // empty: the section's lines are the entries of a list
};

inline constexpr Entry kTable[] = {
    {kDefaults, kSMTPServer},
    {kDefaults, kFrom},
    {kDefaults, kSignFile},
    {kDefaults, kAutoSave},
    {kDefaults, kCloseWhenSent},
    {kDefaults, kTls},
    {kDefaults, kUser},
    {kDefaults, kPasswordCmd},
    {kDefaults, kSaveDraft},
    {kDefaults, kSaveDraftDelay},
    {kDefaults, kAddressFile},
    {kDefaults, kTempDir},
    {kDefaults, kAuth},
    {kDefaults, kPasswordTimeout},
    {kDefaults, kCaFile},
    {kDefaults, kTlsFingerprint},
    {kDefaults, kHelo},
    {kDefaults, kEhlo},
    {kDefaults, kTimeout},
    {kDefaults, kProxy},
    {kServers, ""},
    {kAddresses, ""},
};

}  // namespace setting

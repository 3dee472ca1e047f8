#include "platform/IniFile.h"

// First cut: reads give the defaults, writes are refused. Replaced by the full accessor.

std::string TIniFile::ReadString(const std::string&, const std::string&,
                                 const std::string& def) const {
  return def;
}

void TIniFile::WriteString(const std::string&, const std::string&, const std::string&) {
  throw EIniFileError("Cannot write " + fileName_ + ": not implemented yet");
}

bool TIniFile::ReadBool(const std::string&, const std::string&, bool def) const {
  return def;
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::ReadSectionValues(const std::string&, TStringList& values) const {
  values.Clear();
}

void TIniFile::EraseSection(const std::string&) {}

void ReplaceFileContent(const std::string& fileName, const std::string&, RenameFunction) {
  throw EIniFileError("Cannot write " + fileName + ": not implemented yet");
}

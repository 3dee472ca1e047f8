// Ini access through a process-wide current file and section: callers read and write by key.
// Every operation uses the held accessor when one is kept open (SetIniFile / SetIniSection with
// keepOpen), otherwise an accessor made for that one call. Errors of the accessor
// (EIniFileError) propagate to the caller; a held accessor stays held.
#pragma once

#include <string>

#include "platform/StringList.h"

// Releases a held accessor (even for the same file), sets the file and section, holds a new
// accessor when keepOpen.
void SetIniFile(const std::string& fileName, const std::string& section, bool keepOpen);
// Sets the section; holds an accessor on the current file when keepOpen and none is held. A held
// accessor stays held whatever keepOpen says.
void SetIniSection(const std::string& section, bool keepOpen);
void IniWriteString(const std::string& key, const std::string& value);
std::string IniReadString(const std::string& key, const std::string& def);
void IniWriteBool(const std::string& key, bool value);
bool IniReadBool(const std::string& key, bool def);
// Fills the list with the current section's entries as "key=value".
void IniReadSectionValues(TStringList& values);
// Erases the named section (not necessarily the current one); the current section stays.
void IniEraseSection(const std::string& section);
// Replaces the current section's entries by the given "key=value" lines in one write.
void IniReplaceSection(const TStringList& entries);
// Releases the held accessor, if any; the file and section names stay.
void IniClose();

// The module state, for inspection.
const std::string& IniFileName();
const std::string& IniSectionName();
bool IniKeepOpen();

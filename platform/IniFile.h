// TIniFile: the ini-file accessor. "[section]" lines and "key=value" lines; section and key
// names are matched case-insensitively (ASCII), values are read as written (only the blanks
// around the key and around "=" are dropped). Lines the accessor does not understand (comments,
// garbage, lines before the first section) are kept as they are, as are the file's line ends.
//
// There is no cache: every read parses the file as it is on disk, and every write is on disk
// when the call returns (written to a temporary file in the same folder, flushed, renamed over
// the original, keeping its permissions; a new file is readable by its owner only, a missing
// folder is created with mode 0700). A missing or unreadable file reads as empty.
// A write that cannot be done raises EIniFileError and leaves the file as it was. Each write
// reads, changes and replaces the file under an advisory lock (flock on the file's folder), so
// that writes of several processes follow one another and none is lost. The wait for a lock
// another process holds is bounded (IniLockWait); then the write raises EIniFileLocked and
// changes nothing. Texts that
// cannot be stored on one line (CR or LF anywhere, "=" or a leading "[" or ";" in a key, "]"
// in a section name, an empty key) are refused with EIniFileError.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

#include "platform/StringList.h"

class EIniFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A write gave up waiting for the lock of the file's folder, which another process holds.
// Stopped: the wait ended early because SIGINT or SIGTERM came (or StopIniLockWaits was called).
class EIniFileLocked : public EIniFileError {
 public:
  EIniFileLocked(const std::string& Text, bool Stopped) : EIniFileError(Text), stopped_(Stopped) {}
  bool Stopped() const { return stopped_; }

 private:
  bool stopped_;
};

// How long a write waits for a lock held by another process: 10 seconds, or the milliseconds of
// $TARVIK_LOCK_WAIT_MS when set (read once), or what SetIniLockWait set. While the waiting
// thread has SIGINT and SIGTERM blocked (scripting mode reads them from a signalfd), such a
// signal ends the wait at once; it is taken, and every later wait gives up at once too.
std::chrono::milliseconds IniLockWait();
void SetIniLockWait(std::chrono::milliseconds Wait);
// From now on, a write that finds the lock held gives up at once: the process is stopping.
void StopIniLockWaits();

class TIniFile {
 public:
  explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

  const std::string& FileName() const { return fileName_; }
  // Why the file, which exists, cannot be read ("file too large", "not a regular file", the
  // system's reason), or "" when it can be read or is missing. Reads then see an empty file.
  std::string ReadProblem() const;

  // The value, or def when the section or key is absent.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // The value read as an integer, non-zero = true; def when absent or not a number.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  // Writes "1" or "0".
  void WriteBool(const std::string& section, const std::string& key, bool value);
  // Replaces the list's content with the section's entries as "key=value", in file order.
  void ReadSectionValues(const std::string& section, TStringList& values) const;
  // Removes the section (every occurrence) with all its lines.
  void EraseSection(const std::string& section);
  // Replaces the section's entries by the given "key=value" lines in one write: the file ends
  // up as EraseSection followed by one WriteString per entry would leave it, but no crash can
  // leave it with the section half written, and nothing is written when nothing changes.
  void ReplaceSection(const std::string& section, const TStringList& entries);

 private:
  std::string fileName_;
};

// Replaces the file's content safely: temporary file in the same folder, fsync, rename over
// fileName, folder flush. The folder is created when missing. On failure raises EIniFileError,
// removes the temporary file and leaves fileName untouched. renameFn stands in for rename(2)
// (tests inject failures through it).
using RenameFunction = int (*)(const char* from, const char* to);
void ReplaceFileContent(const std::string& fileName, const std::string& content,
                        RenameFunction renameFn = nullptr);

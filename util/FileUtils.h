// The program's folder, the temporary folder and probing a file.
#pragma once

#include <optional>
#include <string>

// The folder holding the running program (/proc/self/exe) without a trailing slash; "" for a
// program in the root folder (callers append "/" and a file name).
std::string GetExeDir();
// $TMPDIR when set and not empty, else "/tmp", unchanged.
std::string GetTempDir();
// True when the file can be opened for reading. A folder is not a file: false.
bool FileCanOpen(const std::string& fileName);

// What tells one state of a file from another: the file (device and inode) and its content as
// far as the system records it (size, modification and change time to the nanosecond). A file
// rewritten in place keeps device and inode but gets new times; a file replaced by rename gets
// another inode.
struct TFileIdentity {
  unsigned long long Device = 0;
  unsigned long long Inode = 0;
  long long Size = 0;
  long long ModifiedSec = 0, ModifiedNsec = 0;
  long long ChangedSec = 0, ChangedNsec = 0;

  bool operator==(const TFileIdentity&) const = default;
};

// The identity of the open file fd (fstat); nullopt when it cannot be had.
std::optional<TFileIdentity> IdentityOfOpenFile(int fd);
// The identity of the file the path names now (stat, following links); nullopt when there is
// none.
std::optional<TFileIdentity> IdentityOfPath(const std::string& fileName);
// True when the path still names the file that had Identity, unchanged.
bool FileUnchanged(const std::string& fileName, const TFileIdentity& identity);
// Deletes the file only when it is still the one that had Identity; false when it changed, is
// gone or cannot be deleted (then it is left as it is).
bool DeleteFileIfUnchanged(const std::string& fileName, const TFileIdentity& identity);

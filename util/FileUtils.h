// The program's folder, the temporary folder and probing a file.
#pragma once

#include <string>

// The folder holding the running program (/proc/self/exe) without a trailing slash; "" for a
// program in the root folder (callers append "/" and a file name).
std::string GetExeDir();
// $TMPDIR when set and not empty, else "/tmp", unchanged.
std::string GetTempDir();
// True when the file can be opened for reading. A folder is not a file: false.
bool FileCanOpen(const std::string& fileName);

#include "util/FileUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

std::string GetExeDir() {
  std::error_code error;
  const std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string GetTempDir() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir && *tmpdir ? std::string(tmpdir) : std::string("/tmp");
}

bool FileCanOpen(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  const bool isFolder = ::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode);
  ::close(fd);
  return !isFolder;
}

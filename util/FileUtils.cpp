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

namespace {

TFileIdentity IdentityOf(const struct stat& info) {
  TFileIdentity identity;
  identity.Device = static_cast<unsigned long long>(info.st_dev);
  identity.Inode = static_cast<unsigned long long>(info.st_ino);
  identity.Size = static_cast<long long>(info.st_size);
  identity.ModifiedSec = static_cast<long long>(info.st_mtim.tv_sec);
  identity.ModifiedNsec = static_cast<long long>(info.st_mtim.tv_nsec);
  identity.ChangedSec = static_cast<long long>(info.st_ctim.tv_sec);
  identity.ChangedNsec = static_cast<long long>(info.st_ctim.tv_nsec);
  return identity;
}

}  // namespace

std::optional<TFileIdentity> IdentityOfOpenFile(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return IdentityOf(info);
}

std::optional<TFileIdentity> IdentityOfPath(const std::string& fileName) {
  struct stat info {};
  if (::stat(fileName.c_str(), &info) != 0) return std::nullopt;
  return IdentityOf(info);
}

bool FileUnchanged(const std::string& fileName, const TFileIdentity& identity) {
  const std::optional<TFileIdentity> now = IdentityOfPath(fileName);
  return now && *now == identity;
}

bool DeleteFileIfUnchanged(const std::string& fileName, const TFileIdentity& identity) {
  // What another program does between the check and the unlink cannot be seen from here; the
  // check narrows that to the moment between two system calls.
  return FileUnchanged(fileName, identity) && ::unlink(fileName.c_str()) == 0;
}

#include "platform/Shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The program's path as execvp would find it, looked up here so that the child only has to
// call async-signal-safe functions.
std::optional<std::string> FindProgram(const std::string& program) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    if (IsExecutableFile(program)) return program;
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  const std::string searchPath = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = searchPath.find(':', start);
    std::string folder =
        searchPath.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (folder.empty()) folder = ".";
    const std::string candidate = folder + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
    if (colon == std::string::npos) return std::nullopt;
    start = colon + 1;
  }
}

// Runs in the grandchild, after fork: async-signal-safe calls only.
[[noreturn]] void ExecDetached(const char* file, char* const argv[]) {
  ::setsid();
  // Nothing of ours is held open by the program: a caller reading our output to its end
  // (x=$(tarvik ...)) must not wait for the program too.
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
    if (null > 2) ::close(null);
  }
  // The program gets a clean signal state and none of our descriptors but the standard ones.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  ::close_range(3, ~0U, 0);
  ::execv(file, argv);
  ::_exit(127);
}

}  // namespace

void StartProgram(const std::string& program, const std::string& parameter) {
  const auto file = FindProgram(program);
  if (!file) return;
  std::string argument0 = program;
  std::string argument1 = parameter;
  std::vector<char*> argv{argument0.data(), argument1.data(), nullptr};

  // Double fork: the intermediate child exits at once and is reaped here; the program itself
  // becomes a child of init, which reaps it, so nothing waits and no zombie stays behind.
  const pid_t child = ::fork();
  if (child < 0) return;
  if (child == 0) {
    const pid_t grandchild = ::fork();
    if (grandchild == 0) ExecDetached(file->c_str(), argv.data());
    ::_exit(grandchild < 0 ? 1 : 0);
  }
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

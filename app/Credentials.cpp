// Password sources for SMTP AUTH: the password command, the netrc file, the prompt.
#include "app/Credentials.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"

extern char** environ;

namespace {

// Enough for any password or token; more output than this is not one.
constexpr std::size_t kMaxCommandOutput = 64 * 1024;
// A netrc file is a few lines; a larger one is not read into memory.
constexpr std::size_t kMaxNetrcSize = 1024 * 1024;

// Reads fd to its end (at most limit bytes) into out; false on a read error.
bool ReadAll(int fd, TSecret& out, std::size_t limit) {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (out.Size() < limit)
      out.Append(
          std::string_view(chunk, std::min(static_cast<std::size_t>(n), limit - out.Size())));
  }
  explicit_bzero(chunk, sizeof chunk);
  return true;
}

std::string ExitText(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// The whitespace-separated words of a netrc file; a word in double quotes may hold blanks and
// backslash escapes (as curl reads it).
class TNetrcWords {
 public:
  explicit TNetrcWords(std::string_view text) : text_(text) {}

  bool Next(TSecret& word) {
    word.Clear();
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
    if (pos_ >= text_.size()) return false;
    if (text_[pos_] == '"') {
      for (++pos_; pos_ < text_.size() && text_[pos_] != '"'; ++pos_) {
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
        word.Append(text_[pos_]);
      }
      ++pos_;  // the closing quote
      return true;
    }
    while (pos_ < text_.size() && !IsSpace(text_[pos_])) word.Append(text_[pos_++]);
    return true;
  }
  // A macro definition runs to the next empty line.
  void SkipMacro() {
    const std::size_t end = text_.find("\n\n", pos_);
    pos_ = end == std::string_view::npos ? text_.size() : end + 2;
  }

 private:
  static bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  }
  std::string_view text_;
  std::size_t pos_ = 0;
};

// One entry of the file while it is read.
struct TNetrcEntry {
  bool forHost = false;
  bool isDefault = false;
  bool hasLogin = false;
  TSecret login;
  bool hasPassword = false;
  TSecret password;

  bool Serves(const std::string& user) const {
    return (forHost || isDefault) && hasPassword && (!hasLogin || login.View() == user);
  }
};

// The password of the host's entry, else of the default entry, from the file's text.
bool FindNetrcPassword(std::string_view text, const std::string& host, const std::string& user,
                       TSecret& password) {
  TNetrcWords words(text);
  TNetrcEntry entry;
  bool haveDefault = false;
  TSecret word;
  // Ends the entry read so far: a host entry that serves the user wins at once.
  auto finish = [&]() {
    if (entry.Serves(user) && (entry.forHost || !haveDefault)) {
      password = entry.password;
      if (entry.forHost) return true;
      haveDefault = true;
    }
    entry = TNetrcEntry{};
    return false;
  };
  while (words.Next(word)) {
    const std::string_view keyword = word.View();
    if (keyword == "machine" || keyword == "default") {
      if (finish()) return true;
      entry.isDefault = keyword == "default";
      if (!entry.isDefault && words.Next(word))
        entry.forHost = EqualIgnoringAsciiCase(word.View(), host);
    } else if (keyword == "login") {
      entry.hasLogin = words.Next(entry.login);
    } else if (keyword == "password") {
      entry.hasPassword = words.Next(entry.password);
    } else if (keyword == "account") {
      words.Next(word);
    } else if (keyword == "macdef") {
      words.Next(word);
      words.SkipMacro();
    }
  }
  return finish() || haveDefault;
}

std::string NetrcFileName() {
  const char* netrc = std::getenv("NETRC");
  if (netrc && *netrc) return netrc;
  return HomeFolder() + "/.netrc";
}

}  // namespace

bool PasswordFromCommand(const std::string& command, TSecret& password, std::string& problem) {
  // The command text is not repeated in any report: it may hold the password itself.
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    problem = std::string("The password command (setting passwordcmd) cannot be started: ") +
              std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  const int rc =
      ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  TSecret output;
  const bool read = rc == 0 && ReadAll(out[0], output, kMaxCommandOutput);
  ::close(out[0]);
  int status = 0;
  if (rc == 0)
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  if (rc != 0 || !read) {
    problem = std::string("The password command (setting passwordcmd) cannot be run: ") +
              std::strerror(rc != 0 ? rc : errno);
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    problem = "The password command (setting passwordcmd) failed (" + ExitText(status) + ")";
    return false;
  }
  std::string_view text = output.View();
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.empty()) {
    problem = "The password command (setting passwordcmd) printed no password";
    return false;
  }
  password.Assign(text);
  return true;
}

TNetrcResult PasswordFromNetrc(const std::string& host, const std::string& user, TSecret& password,
                               std::string& problem) {
  const std::string file = NetrcFileName();
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return TNetrcResult::NotFound;
    problem = "The netrc file " + file + " cannot be read: " + std::strerror(errno);
    return TNetrcResult::Refused;
  }
  struct stat st {};
  const bool statted = ::fstat(fd, &st) == 0;
  std::string unsafe;
  if (!statted || !S_ISREG(st.st_mode))
    unsafe = "is not a regular file";
  else if (st.st_uid != ::geteuid())
    unsafe = "belongs to another user";
  else if (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH))
    unsafe = "can be read or written by other users; make it private with: chmod 600 " + file;
  else if (static_cast<std::size_t>(st.st_size) > kMaxNetrcSize)
    unsafe = "is larger than a netrc file can be";
  TSecret text;
  const bool read = unsafe.empty() && ReadAll(fd, text, kMaxNetrcSize);
  ::close(fd);
  if (!unsafe.empty() || !read) {
    problem = "The netrc file " + file + " is not used for the password: it " +
              (unsafe.empty() ? std::string("cannot be read") : unsafe);
    return TNetrcResult::Refused;
  }
  return FindNetrcPassword(text.View(), host, user, password) ? TNetrcResult::Found
                                                              : TNetrcResult::NotFound;
}

bool ObtainPassword(const std::string& host, const std::string& user,
                    const std::string& passwordCommand, TSecret& password, std::string& problem) {
  if (!passwordCommand.empty()) return PasswordFromCommand(passwordCommand, password, problem);
  switch (PasswordFromNetrc(host, user, password, problem)) {
    case TNetrcResult::Found:
      return true;
    case TNetrcResult::Refused:
      return false;
    case TNetrcResult::NotFound:
      break;
  }
  if (GetFrontEnd().AskPassword("Password for " + user + " at " + host + ":", password))
    return true;
  problem = "No password for " + user + " at " + host +
            ": none was given, and neither the setting passwordcmd nor a netrc entry names one";
  return false;
}

#include "platform/IniFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

namespace {

// Settings files are small; anything beyond this is not one of ours and is not loaded whole.
constexpr off_t kMaxIniFileSize = 64 * 1024 * 1024;

struct Line {
  std::string text;  // without the line end
  std::string eol;   // "\n", "\r\n" or "" (last line without a line end)
};

struct Entry {
  std::string key;
  std::string value;
};

std::string ErrnoText(int error) {
  return std::strerror(error);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view Trim(std::string_view s) {
  s = TrimLeft(s);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// "[name]" (blanks allowed around), anything after the "]" ignored.
std::optional<std::string_view> SectionOf(const Line& line) {
  std::string_view s = TrimLeft(line.text);
  if (s.empty() || s.front() != '[') return std::nullopt;
  const std::size_t close = s.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(s.substr(1, close - 1));
}

// "key=value"; comments (";" or "#" first) and lines without "=" or without a key are not
// entries.
std::optional<Entry> EntryOf(const Line& line) {
  const std::string_view s = TrimLeft(line.text);
  if (s.empty() || s.front() == ';' || s.front() == '#' || s.front() == '[') return std::nullopt;
  const std::size_t equals = s.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  const std::string_view key = Trim(s.substr(0, equals));
  if (key.empty()) return std::nullopt;
  return Entry{std::string(key), std::string(TrimLeft(s.substr(equals + 1)))};
}

std::vector<Line> SplitLines(const std::string& content) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t lf = content.find('\n', start);
    if (lf == std::string::npos) {
      lines.push_back({content.substr(start), ""});
      break;
    }
    const bool crlf = lf > start && content[lf - 1] == '\r';
    const std::size_t end = crlf ? lf - 1 : lf;
    lines.push_back({content.substr(start, end - start), crlf ? "\r\n" : "\n"});
    start = lf + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<Line>& lines) {
  std::string content;
  for (const auto& line : lines) {
    content += line.text;
    content += line.eol;
  }
  return content;
}

// The line end new lines get: the file's own (its first), "\n" for a new file.
std::string LineEndOf(const std::vector<Line>& lines) {
  for (const auto& line : lines)
    if (!line.eol.empty()) return line.eol;
  return "\n";
}

enum class ReadResult { Ok, Missing, Failed };

// Reads the whole file. Failed with errorText set when it exists but cannot be read.
ReadResult ReadFile(const std::string& fileName, std::string& content, std::string& errorText) {
  content.clear();
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ReadResult::Missing;
    errorText = ErrnoText(errno);
    return ReadResult::Failed;
  }
  struct stat info {};
  ReadResult result = ReadResult::Ok;
  if (::fstat(fd, &info) != 0) {
    errorText = ErrnoText(errno);
    result = ReadResult::Failed;
  } else if (!S_ISREG(info.st_mode)) {
    errorText = "not a regular file";
    result = ReadResult::Failed;
  } else if (info.st_size > kMaxIniFileSize) {
    errorText = "file too large";
    result = ReadResult::Failed;
  } else {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        errorText = ErrnoText(errno);
        result = ReadResult::Failed;
        break;
      }
      if (n == 0) break;
      content.append(buffer, static_cast<std::size_t>(n));
      if (content.size() > static_cast<std::size_t>(kMaxIniFileSize)) {
        errorText = "file too large";
        result = ReadResult::Failed;
        break;
      }
    }
  }
  ::close(fd);
  if (result != ReadResult::Ok) content.clear();
  return result;
}

// For reads: a file that is missing or cannot be read has no sections.
std::vector<Line> LoadForReading(const std::string& fileName) {
  std::string content;
  std::string errorText;
  ReadFile(fileName, content, errorText);
  return SplitLines(content);
}

// For writes: a file that exists but cannot be read must not be replaced by what little we know.
std::vector<Line> LoadForWriting(const std::string& fileName) {
  std::string content;
  std::string errorText;
  if (ReadFile(fileName, content, errorText) == ReadResult::Failed)
    throw EIniFileError("Cannot read the ini file \"" + fileName + "\": " + errorText);
  return SplitLines(content);
}

// Index of the first header line of the section, or lines.size().
std::size_t FindSection(const std::vector<Line>& lines, const std::string& section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionOf(lines[i]);
    if (name && SameName(*name, section)) return i;
  }
  return lines.size();
}

// One past the last line belonging to the section whose header is at index header.
std::size_t SectionEnd(const std::vector<Line>& lines, std::size_t header) {
  std::size_t i = header + 1;
  while (i < lines.size() && !SectionOf(lines[i])) ++i;
  return i;
}

void CheckStorable(const std::string& text, const char* what) {
  if (text.find_first_of("\r\n") != std::string::npos)
    throw EIniFileError(std::string("An ini ") + what + " cannot hold a line break");
}

void CheckSectionAndKey(const std::string& section, const std::string& key) {
  CheckStorable(section, "section name");
  CheckStorable(key, "key");
  if (section.find(']') != std::string::npos || Trim(section) != section)
    throw EIniFileError("Invalid ini section name \"" + section + "\"");
  const std::string_view trimmed = Trim(key);
  if (trimmed.empty() || trimmed != key || key.find('=') != std::string::npos ||
      key.front() == ';' || key.front() == '#' || key.front() == '[')
    throw EIniFileError("Invalid ini key \"" + key + "\"");
}

// An integer as the toolkit reads one: optional sign, decimal digits, or hex after "$" or "0x".
std::optional<long long> ParseInteger(std::string_view s) {
  s = Trim(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return std::nullopt;
  long long value = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFLL) return std::nullopt;
  }
  return negative ? -value : value;
}

void WriteAll(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EIniFileError(ErrnoText(errno));
    done += static_cast<std::size_t>(n);
  }
}

void CreateFolders(const std::string& folder) {
  if (folder.empty()) return;
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) return;
  const std::size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0) CreateFolders(folder.substr(0, slash));
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw EIniFileError("Cannot create the folder \"" + folder + "\": " + ErrnoText(errno));
}

// The file a write must replace: the target of a symbolic link rather than the link itself.
std::string WriteTarget(const std::string& fileName) {
  struct stat info {};
  if (::lstat(fileName.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (char* resolved = ::realpath(fileName.c_str(), nullptr)) {
      std::string target(resolved);
      std::free(resolved);
      return target;
    }
  }
  return fileName;
}

// The lock wait's settings; process-wide, as the lock itself is.
struct LockWaitState {
  std::optional<std::chrono::milliseconds> Wait;
  bool Stopped = false;
};

LockWaitState& LockWait() {
  static LockWaitState state;
  return state;
}

constexpr std::chrono::milliseconds kDefaultLockWait{10000};
// A held lock is polled (flock has no timeout): first often, for the holder that is just
// finishing its own write, then at most this seldom.
constexpr long kMaxPollMs = 50;

// The stop signals the calling thread has blocked: they can be awaited without a handler.
sigset_t BlockedStopSignals() {
  sigset_t blocked, stops;
  sigemptyset(&stops);
  if (::pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0) return stops;
  for (const int sig : {SIGINT, SIGTERM})
    if (sigismember(&blocked, sig) == 1) sigaddset(&stops, sig);
  return stops;
}

bool IsEmpty(const sigset_t& set) {
  return sigismember(&set, SIGINT) != 1 && sigismember(&set, SIGTERM) != 1;
}

// Waits up to Ms for a blocked stop signal, or simply sleeps; true when a stop signal came.
bool PauseForStop(const sigset_t& stops, long ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  if (IsEmpty(stops)) {
    ::nanosleep(&pause, nullptr);  // an unblocked signal ends the process or this sleep
    return false;
  }
  return ::sigtimedwait(&stops, nullptr, &pause) > 0;
}

// Takes the lock on the open folder fd, waiting at most IniLockWait for another holder.
void TakeLock(int fd, const std::string& folder) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
  if (errno != EWOULDBLOCK && errno != EINTR) return;  // unlockable: the write goes on unlocked
  const auto wait = IniLockWait();
  const auto deadline = std::chrono::steady_clock::now() + wait;
  const sigset_t stops = BlockedStopSignals();
  const std::string holder = "Another process holds the lock on the folder \"" + folder + "\"";
  for (long step = 1;; step = std::min(step * 2, kMaxPollMs)) {
    if (LockWait().Stopped) throw EIniFileLocked(holder + "; the wait was stopped", true);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0)
      throw EIniFileLocked(holder + " (waited " + std::to_string(wait.count()) + " ms)", false);
    if (PauseForStop(stops, std::min<long>(step, static_cast<long>(left))))
      LockWait().Stopped = true;
    else if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
      return;
  }
}

// Holds the advisory lock that serialises the read-modify-write of the ini files of one folder
// between processes: flock on the folder itself. Not on the file, which every write replaces by
// rename (a lock on it would guard an inode nobody reads any more), and not on a lock file of
// its own, which would be one more file beside the settings. A folder that does not exist yet
// is not locked: the first write makes it. When the lock cannot be had, the write goes on
// unlocked and fails or succeeds on its own.
class WriteLock {
 public:
  explicit WriteLock(const std::string& fileName) {
    // Two names of one file (a symbolic link and its target) share one lock.
    const std::string target = WriteTarget(fileName);
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : target.substr(0, slash);
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    try {
      TakeLock(fd_, folder);
    } catch (...) {
      ::close(fd_);
      throw;
    }
  }
  ~WriteLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

std::chrono::milliseconds IniLockWait() {
  LockWaitState& state = LockWait();
  if (!state.Wait) {
    state.Wait = kDefaultLockWait;
    if (const char* text = std::getenv("TARVIK_LOCK_WAIT_MS"); text && *text) {
      char* end = nullptr;
      const long long ms = std::strtoll(text, &end, 10);
      if (*end == '\0' && ms >= 0) state.Wait = std::chrono::milliseconds(ms);
    }
  }
  return *state.Wait;
}

void SetIniLockWait(std::chrono::milliseconds Wait) {
  LockWait().Wait = Wait;
  LockWait().Stopped = false;
}

void StopIniLockWaits() {
  LockWait().Stopped = true;
}

void ReplaceFileContent(const std::string& fileName, const std::string& content,
                        RenameFunction renameFn) {
  if (!renameFn) renameFn = &::rename;
  const std::string target = WriteTarget(fileName);
  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : target.substr(0, slash);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  const std::string failure = "Cannot write the ini file \"" + fileName + "\": ";
  try {
    CreateFolders(folder);
  } catch (const EIniFileError& e) {
    throw EIniFileError(failure + e.what());
  }

  std::string temporary = (folder == "/" ? "" : folder) + "/." + base + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) throw EIniFileError(failure + ErrnoText(errno));
  try {
    struct stat original {};
    if (::stat(target.c_str(), &original) == 0) ::fchmod(fd, original.st_mode & 07777);
    WriteAll(fd, content);
    if (::fsync(fd) != 0) throw EIniFileError(ErrnoText(errno));
  } catch (const EIniFileError& e) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw EIniFileError(failure + e.what());
  }
  if (::close(fd) != 0 || renameFn(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw EIniFileError(failure + ErrnoText(error));
  }
  // Make the rename itself durable.
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
}

std::string TIniFile::ReadProblem() const {
  std::string content;
  std::string errorText;
  return ReadFile(fileName_, content, errorText) == ReadResult::Failed ? errorText : "";
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  const std::vector<Line> lines = LoadForReading(fileName_);
  const std::size_t header = FindSection(lines, section);
  if (header == lines.size()) return def;
  const std::size_t end = SectionEnd(lines, header);
  const std::string_view wanted = Trim(key);
  for (std::size_t i = header + 1; i < end; ++i) {
    auto entry = EntryOf(lines[i]);
    if (entry && SameName(entry->key, wanted)) return std::move(entry->value);
  }
  return def;
}

namespace {

// Sets key=value in section inside lines: replaces an existing entry, else adds the entry after
// the section's last filled line, else appends the section at the end.
void SetValue(std::vector<Line>& lines, const std::string& section, const std::string& key,
              const std::string& value, const std::string& eol) {
  const std::size_t header = FindSection(lines, section);
  if (header == lines.size()) {
    if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
    lines.push_back({"[" + section + "]", eol});
    lines.push_back({key + "=" + value, eol});
    return;
  }
  const std::size_t end = SectionEnd(lines, header);
  std::size_t lastFilled = header;
  for (std::size_t i = header + 1; i < end; ++i) {
    const auto entry = EntryOf(lines[i]);
    if (entry && SameName(entry->key, key)) {
      lines[i].text = entry->key + "=" + value;
      return;
    }
    if (!Trim(lines[i].text).empty()) lastFilled = i;
  }
  if (lines[lastFilled].eol.empty()) lines[lastFilled].eol = eol;
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastFilled) + 1,
               Line{key + "=" + value, eol});
}

// Removes every occurrence of the section with all its lines; true when there was one.
bool RemoveSection(std::vector<Line>& lines, const std::string& section) {
  bool erased = false;
  for (std::size_t header = FindSection(lines, section); header < lines.size();
       header = FindSection(lines, section)) {
    const std::size_t end = SectionEnd(lines, header);
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header),
                lines.begin() + static_cast<std::ptrdiff_t>(end));
    erased = true;
  }
  return erased;
}

}  // namespace

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  CheckSectionAndKey(section, key);
  CheckStorable(value, "value");
  const WriteLock lock(fileName_);
  std::vector<Line> lines = LoadForWriting(fileName_);
  const std::string original = JoinLines(lines);
  SetValue(lines, section, key, value, LineEndOf(lines));
  std::string content = JoinLines(lines);
  if (content != original) ReplaceFileContent(fileName_, content);
}

void TIniFile::ReplaceSection(const std::string& section, const TStringList& entries) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const std::string& entry : entries) {
    const std::size_t eq = entry.find('=');
    std::string key = eq == std::string::npos ? entry : entry.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : entry.substr(eq + 1);
    CheckSectionAndKey(section, key);
    CheckStorable(value, "value");
    pairs.emplace_back(std::move(key), std::move(value));
  }
  const WriteLock lock(fileName_);
  std::vector<Line> lines = LoadForWriting(fileName_);
  const std::string original = JoinLines(lines);
  const std::string eol = LineEndOf(lines);
  RemoveSection(lines, section);
  for (const auto& [key, value] : pairs) SetValue(lines, section, key, value, eol);
  std::string content = JoinLines(lines);
  if (content != original) ReplaceFileContent(fileName_, content);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  const auto value = ParseInteger(ReadString(section, key, ""));
  return value ? *value != 0 : def;
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::ReadSectionValues(const std::string& section, TStringList& values) const {
  values.Clear();
  const std::vector<Line> lines = LoadForReading(fileName_);
  const std::size_t header = FindSection(lines, section);
  if (header == lines.size()) return;
  const std::size_t end = SectionEnd(lines, header);
  for (std::size_t i = header + 1; i < end; ++i)
    if (auto entry = EntryOf(lines[i])) values.Add(entry->key + "=" + entry->value);
}

void TIniFile::EraseSection(const std::string& section) {
  const WriteLock lock(fileName_);
  std::vector<Line> lines = LoadForWriting(fileName_);
  if (RemoveSection(lines, section)) ReplaceFileContent(fileName_, JoinLines(lines));
}

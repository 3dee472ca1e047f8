// Password sources for SMTP AUTH: the password command, the netrc file, the prompt.
#include "app/Credentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"
#include "util/FileUtils.h"

namespace {

// Enough for any password or OAuth access token (a few KB at most); a longer first line is not
// one.
constexpr std::size_t kMaxPasswordLine = 8 * 1024;
// The keyring answers at once or not at all; only the window's unlock prompt may take a person's
// time.
constexpr std::uint32_t kKeyringLookupMs = 5000;
constexpr std::uint32_t kKeyringUnlockMs = 120000;
constexpr std::uint32_t kKeyringStoreMs = 20000;
constexpr const char* kKeyringHelper = "tarvik-keyring";
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

}  // namespace

bool NetrcPassword(std::string_view text, const std::string& host, const std::string& user,
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

namespace {

std::string NetrcFileName() {
  const char* netrc = std::getenv("NETRC");
  if (netrc && *netrc) return netrc;
  return HomeFolder() + "/.netrc";
}

}  // namespace

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
  return NetrcPassword(text.View(), host, user, password) ? TNetrcResult::Found
                                                          : TNetrcResult::NotFound;
}

// ---- the keyring helper

std::string KeyringHelperPath() {
  const std::string exeDir = GetExeDir();
  for (const std::string& candidate :
       {exeDir + "/" + kKeyringHelper,
        exeDir + "/../" TARVIK_INSTALL_LIBDIR "/tarvik/" + std::string(kKeyringHelper)})
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  return "";
}

bool SessionBusAvailable() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 &&
         S_ISSOCK(st.st_mode);
}

namespace {

std::vector<std::string> HelperArguments(const std::string& helper, const char* action,
                                         const TPasswordQuestion& q) {
  return {helper, action, q.Host, q.User, q.Port};
}

}  // namespace

// ---- the search

TPasswordRequest::TPasswordRequest() {
  FChild.OnDone = [this](TChildCommand&) {
    if (FSource == TPasswordSource::Command)
      CommandDone();
    else
      KeyringDone();
  };
}

TPasswordRequest::~TPasswordRequest() = default;

void TPasswordRequest::Start(const TPasswordQuestion& Question, TDone Done) {
  Cancel();
  FQuestion = Question;
  FDone = std::move(Done);
  FRunning = true;
  FRemember = false;
  FSource = TPasswordSource::None;
  if (FQuestion.Refused != TPasswordSource::None) return FromNetrcOrPrompt();
  if (!FQuestion.Command.empty()) return StartCommand();
  StartKeyring();
}

void TPasswordRequest::Cancel() {
  FChild.Cancel();
  FRunning = false;
  FDone = nullptr;
}

void TPasswordRequest::StartCommand() {
  FSource = TPasswordSource::Command;
  std::string problem;
  // The command text is never repeated in a report: it may hold the password itself.
  if (!FChild.Start({"/bin/sh", "-c", FQuestion.Command}, FQuestion.CommandTimeoutSeconds * 1000,
                    kMaxPasswordLine, problem))
    Finish(false, TSecret(),
           "The password command (setting passwordcmd) cannot be started: " + problem,
           TPasswordSource::Command);
}

void TPasswordRequest::CommandDone() {
  const TSecret password = FChild.FirstLine();
  FChild.WipeOutput();
  const bool succeeded =
      FChild.Outcome() == TChildCommand::TOutcome::Exited && FChild.ExitStatus() == 0;
  if (!succeeded)
    return Finish(false, TSecret(),
                  "The password command (setting passwordcmd) failed: " + FChild.OutcomeText(),
                  TPasswordSource::Command);
  if (password.Empty())
    return Finish(false, TSecret(),
                  "The password command (setting passwordcmd) printed no password",
                  TPasswordSource::Command);
  Finish(true, password, "", TPasswordSource::Command);
}

void TPasswordRequest::StartKeyring() {
  const std::string helper = KeyringHelperPath();
  if (helper.empty() || !SessionBusAvailable()) return FromNetrcOrPrompt();
  FSource = TPasswordSource::Keyring;
  std::vector<std::string> argv = HelperArguments(helper, "lookup", FQuestion);
  // A script must never end up waiting on a keyring's unlock dialog.
  if (FQuestion.Interactive) argv.push_back("--unlock");
  std::string problem;
  if (!FChild.Start(argv, FQuestion.Interactive ? kKeyringUnlockMs : kKeyringLookupMs,
                    kMaxPasswordLine, problem))
    FromNetrcOrPrompt();
}

void TPasswordRequest::KeyringDone() {
  // Anything but a password (no item, no Secret Service, a locked keyring, a timeout) leaves
  // the choice to the next source.
  const TSecret password = FChild.FirstLine();
  FChild.WipeOutput();
  if (FChild.Outcome() == TChildCommand::TOutcome::Exited && FChild.ExitStatus() == 0 &&
      !password.Empty())
    return Finish(true, password, "", TPasswordSource::Keyring);
  FromNetrcOrPrompt();
}

void TPasswordRequest::FromNetrcOrPrompt() {
  const std::string& host = FQuestion.Host;
  const std::string& user = FQuestion.User;
  TSecret password;
  std::string problem;
  if (FQuestion.Refused == TPasswordSource::None) {
    switch (PasswordFromNetrc(host, user, password, problem)) {
      case TNetrcResult::Found:
        return Finish(true, password, "", TPasswordSource::Netrc);
      case TNetrcResult::Refused:
        return Finish(false, TSecret(), problem, TPasswordSource::Netrc);
      case TNetrcResult::NotFound:
        break;
    }
  }
  const std::string ask = "Password for " + user + " at " + host + ":";
  std::string prompt = ask;
  if (FQuestion.Refused == TPasswordSource::Keyring)
    prompt = "The server refused the password stored in the keyring for " + user + " at " + host +
             ".\r" + ask;
  else if (FQuestion.Refused != TPasswordSource::None)
    prompt =
        "The server refused the password that was typed for " + user + " at " + host + ".\r" + ask;
  bool remember = FQuestion.RememberTicked;
  const bool answered = FQuestion.Interactive && !KeyringHelperPath().empty()
                            ? GetFrontEnd().AskPasswordToRemember(prompt, password, remember)
                            : GetFrontEnd().AskPassword(prompt, password);
  if (answered) {
    FRemember = remember;
    return Finish(true, password, "", TPasswordSource::Prompt);
  }
  Finish(false, TSecret(),
         "No password for " + user + " at " + host +
             ": none was given, and neither the setting passwordcmd, the keyring nor a netrc "
             "entry names one",
         TPasswordSource::Prompt);
}

void TPasswordRequest::Finish(bool Found, const TSecret& Password, const std::string& Problem,
                              TPasswordSource Source) {
  FSource = Source;
  FRunning = false;
  TDone done = std::move(FDone);
  FDone = nullptr;
  if (done) done(Found, Password, Problem);  // may destroy this object
}

void TKeyringStore::Start(const TPasswordQuestion& Question, const TSecret& Password, TDone Done) {
  FChild.Cancel();
  const std::string helper = KeyringHelperPath();
  std::string problem =
      helper.empty() ? "the keyring helper " + std::string(kKeyringHelper) + " is not installed"
                     : "no session bus (DBUS_SESSION_BUS_ADDRESS is not set)";
  if (!helper.empty() && SessionBusAvailable()) {
    TSecret input(Password.View());
    input.Append('\n');
    FChild.OnDone = [Done](TChildCommand& child) {
      const bool stored =
          child.Outcome() == TChildCommand::TOutcome::Exited && child.ExitStatus() == 0;
      if (Done) Done(stored, stored ? "" : "the keyring helper failed: " + child.OutcomeText());
    };
    if (FChild.Start(HelperArguments(helper, "store", Question), kKeyringStoreMs, kMaxPasswordLine,
                     problem, &input))
      return;
  }
  if (Done) Done(false, problem);
}

// Drafts: the unsent message kept in three files of the draft folder (text, header fields,
// attachments), saved by the timer, by Ctrl+S/Ctrl+D and at close, offered at the next start.
//
// Each file is written to a fresh temporary name in the same folder (mode 0600), flushed to
// disk and renamed over the old one, so that a crash or a full disk during a save never leaves
// a half-written draft in place of the previous one. The folder is created with mode 0700: a
// draft is private.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"

namespace {

constexpr const char* kTextFile = "/tarvik2.dft";
constexpr const char* kHeaderFile = "/tarvik2.dfh";
constexpr const char* kAttachmentsFile = "/tarvik2.dfa";

// A draft file that cannot be written or read.
class EDraftFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  throw EDraftFileError("Cannot " + what + " \"" + path + "\". " + std::strerror(error));
}

// Creates the folder and any missing parent (new ones with mode 0700).
void MakeFolder(const std::string& folder) {
  struct stat info {};
  if (folder.empty() || ::stat(folder.c_str(), &info) == 0) return;
  if (const std::size_t slash = folder.find_last_of('/'); slash != std::string::npos && slash > 0)
    MakeFolder(folder.substr(0, slash));
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    Fail("create the draft folder", folder, errno);
}

std::string LinesText(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

// A header field as one line of the header file: a line break in it (possible only from the
// command line) would shift every field after it, so it becomes a blank.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

// A draft file being written: the content goes to a temporary file that replaces the real one
// only on Commit. An uncommitted file is removed.
class PendingFile {
 public:
  PendingFile(std::string path, const std::string& content) : path_(std::move(path)) {
    temporary_ = path_ + ".XXXXXX";
    const int fd = ::mkstemp(temporary_.data());  // mode 0600
    if (fd < 0) Fail("write the draft file", path_, errno);
    std::size_t written = 0;
    int error = 0;
    while (written < content.size()) {
      const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : EIO;
        break;
      }
      written += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) {
      ::unlink(temporary_.c_str());
      Fail("write the draft file", path_, error);
    }
  }
  ~PendingFile() {
    if (!committed_) ::unlink(temporary_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  void Commit() {
    if (::rename(temporary_.c_str(), path_.c_str()) != 0)
      Fail("write the draft file", path_, errno);
    committed_ = true;
  }

 private:
  std::string path_;
  std::string temporary_;
  bool committed_ = false;
};

bool FileExists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

TStringList ReadLines(const std::string& path) {
  TStringList lines;
  lines.SetText(FileContent(path));
  return lines;
}

// The draft folder: DraftDir, which the settings fill; the default folder before they ran (a
// bare file name in the root folder is never meant).
std::string Folder(const TForm1& form) {
  return form.DraftDir.empty() ? DefaultDraftDir() : form.DraftDir;
}

// Temporary files that a save killed midway left behind ("tarvik2.dft.XXXXXX" ...). Only old ones
// go: a fresh one may belong to a save that another composer is making right now.
void RemoveStaleTemporaries(const std::string& folder) {
  constexpr std::time_t kStaleSeconds = 600;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    const bool temporary = name.size() == std::strlen("tarvik2.dft.XXXXXX") &&
                           name.starts_with("tarvik2.df") && name[11] == '.';
    struct stat info {};
    if (temporary && ::lstat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_mtime + kStaleSeconds < std::time(nullptr))
      ::unlink(entry.path().c_str());
  }
}

void DeleteDraftFiles(const std::string& folder) {
  for (const char* name : {kTextFile, kHeaderFile, kAttachmentsFile})
    ::unlink((folder + name).c_str());  // a missing file is no error
}

}  // namespace

void TForm1::SaveDraft() {
  if (Scripting || MessageText.Lines.Empty()) return;
  const std::string folder = Folder(*this);
  MakeFolder(folder);
  // Everything is written first; the text file, which marks a draft, is replaced last.
  PendingFile header(folder + kHeaderFile,
                     LinesText({OneLine(from.Text), OneLine(sendto.Text), OneLine(subject.Text),
                                OneLine(SMTPServer.Text)}));
  std::unique_ptr<PendingFile> attachments;
  if (!AttachedFiles.Items.Empty())
    attachments = std::make_unique<PendingFile>(folder + kAttachmentsFile,
                                                LinesText(AttachedFiles.Items.Lines()));
  PendingFile text(folder + kTextFile, LinesText(MessageText.Lines.Lines()));
  header.Commit();
  if (attachments) attachments->Commit();
  text.Commit();
}

void TForm1::SaveDraftTimerTimer(TTimer*) {
  SaveDraft();
}

void TForm1::OfferSavedDraft() {
  if (Scripting) return;
  const std::string folder = Folder(*this);
  RemoveStaleTemporaries(folder);
  if (!FileExists(folder + kTextFile)) return;
  const int answer = MessageBoxA(0, "There is an unsent saved draft.\r\rWould you like to load it?",
                                 "Draft Saved", MB_YESNO + MB_ICONQUESTION);
  if (answer != IDYES) {
    DeleteDraftFiles(folder);
    return;
  }
  MessageText.Lines = ReadLines(folder + kTextFile);
  KeepDraft = true;
  if (FileExists(folder + kHeaderFile)) {
    const TStringList header = ReadLines(folder + kHeaderFile);
    TEdit* fields[] = {&from, &sendto, &subject};
    for (int i = 0; i < 3; ++i) fields[i]->Text = i < header.Count() ? header[i] : "";
    SMTPServer.Text = header.Count() > 3 ? header[3] : "";
  }
  if (FileExists(folder + kAttachmentsFile))
    AttachedFiles.Items = ReadLines(folder + kAttachmentsFile);
  MessageText.SetFocus();
}

void TForm1::SaveOrDeleteDraft() {
  if (Scripting) return;
  const std::string folder = Folder(*this);
  if (KeepDraft)
    SaveDraft();
  else
    DeleteDraftFiles(folder);
}

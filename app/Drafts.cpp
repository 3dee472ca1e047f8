// Drafts: the unsent message kept in three files of the draft folder (text, header fields,
// attachments), saved by the timer, by Ctrl+S/Ctrl+D and at close, offered at the next start.
//
// A window owns one slot of the draft folder (TForm1::TDraftSlot): the first slot keeps the
// historic names, so drafts written before slots existed still load. A window takes the first
// slot no other window holds: for the offer at start-up one that holds a draft (the draft of a
// window that died), for a save without an offer one that holds none (never someone else's
// draft). When every slot is held, the window has no draft: saving reports it.
//
// Each file is written to a fresh temporary name in the same folder (mode 0600), flushed to
// disk and renamed over the old one, so that a crash or a full disk during a save never leaves
// a half-written draft in place of the previous one. The folder is created with mode 0700: a
// draft is private.
#include <fcntl.h>
#include <sys/file.h>
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

constexpr int kDraftSlots = 16;

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

// A temporary file of a save: a draft file's name of any slot ("tarvik2.dft", "tarvik2-2.dfh"
// ...) and a dot with six characters after it.
bool IsDraftTemporary(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.size() - dot != 7 || !name.starts_with("tarvik2"))
    return false;
  const std::string file = name.substr(0, dot);
  return file.ends_with(".dft") || file.ends_with(".dfh") || file.ends_with(".dfa");
}

// Temporary files that a save killed midway left behind. Only old ones go: a fresh one may
// belong to a save that another composer is making right now.
void RemoveStaleTemporaries(const std::string& folder) {
  constexpr std::time_t kStaleSeconds = 600;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    struct stat info {};
    if (IsDraftTemporary(entry.path().filename().string()) &&
        ::lstat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_mtime + kStaleSeconds < std::time(nullptr))
      ::unlink(entry.path().c_str());
  }
}

void DeleteDraftFiles(const TForm1::TDraftSlot& slot) {
  for (const char* extension : {"dft", "dfh", "dfa"})
    ::unlink(slot.File(extension).c_str());  // a missing file is no error
}

// Takes a slot for this window unless it has one: the first free slot that holds a draft when
// wantDraft, else the first free one that holds none. False when every slot is held by others.
bool TakeSlot(TForm1& form, bool wantDraft) {
  if (form.DraftSlot.Held()) return true;
  const std::string folder = Folder(form);
  MakeFolder(folder);
  for (int number = 0; number < kDraftSlots; ++number) {
    if (!form.DraftSlot.TryLock(folder, number)) continue;
    if (FileExists(form.DraftSlot.File("dft")) == wantDraft) return true;
    form.DraftSlot.Release();
  }
  if (!wantDraft) return false;
  return TakeSlot(form, false);
}

}  // namespace

void TForm1::SaveDraft() {
  if (Scripting || MessageText.Lines.Empty()) return;
  if (!TakeSlot(*this, false))
    throw EDraftFileError("Cannot save the draft: each of the " + std::to_string(kDraftSlots) +
                          " drafts in \"" + Folder(*this) + "\" belongs to a window still open.");
  // Everything is written first; the text file, which marks a draft, is replaced last. The
  // copy fields, when there are any, follow the four lines of old, so that a draft of either
  // kind loads in both.
  std::vector<std::string> fields = {OneLine(from.Text), OneLine(sendto.Text),
                                     OneLine(subject.Text), OneLine(SMTPServer.Text)};
  if (!cc.Text.empty() || !bcc.Text.empty()) {
    fields.push_back(OneLine(cc.Text));
    fields.push_back(OneLine(bcc.Text));
  }
  PendingFile header(DraftSlot.File("dfh"), LinesText(fields));
  std::unique_ptr<PendingFile> attachments;
  if (!AttachedFiles.Items.Empty())
    attachments = std::make_unique<PendingFile>(DraftSlot.File("dfa"),
                                                LinesText(AttachedFiles.Items.Lines()));
  PendingFile text(DraftSlot.File("dft"), LinesText(MessageText.Lines.Lines()));
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
  if (!FileExists(folder)) return;  // no draft yet; the first save makes the folder
  RemoveStaleTemporaries(folder);
  if (!TakeSlot(*this, true) || !FileExists(DraftSlot.File("dft"))) return;
  const int answer = MessageBoxA(0, "There is an unsent saved draft.\r\rWould you like to load it?",
                                 "Draft Saved", MB_YESNO + MB_ICONQUESTION);
  if (answer != IDYES) {
    DeleteDraftFiles(DraftSlot);
    return;
  }
  MessageText.Lines = ReadLines(DraftSlot.File("dft"));
  KeepDraft = true;
  if (FileExists(DraftSlot.File("dfh"))) {
    const TStringList header = ReadLines(DraftSlot.File("dfh"));
    auto line = [&](int i) { return i < header.Count() ? header[i] : std::string(); };
    from.Text = line(0);
    sendto.Text = line(1);
    subject.Text = line(2);
    SMTPServer.Text = line(3);
    cc.Text = line(4);
    bcc.Text = line(5);
  }
  if (FileExists(DraftSlot.File("dfa"))) AttachedFiles.Items = ReadLines(DraftSlot.File("dfa"));
  MessageText.SetFocus();
}

void TForm1::SaveOrDeleteDraft() {
  if (Scripting) return;
  if (KeepDraft)
    SaveDraft();
  else if (DraftSlot.Held())  // a window that never took a slot has no draft of its own
    DeleteDraftFiles(DraftSlot);
}

TForm1::TDraftSlot::~TDraftSlot() {
  Release();
}

std::string TForm1::TDraftSlot::File(const std::string& extension) const {
  const std::string base = number_ == 0 ? "/tarvik2" : "/tarvik2-" + std::to_string(number_ + 1);
  return folder_ + base + "." + extension;
}

bool TForm1::TDraftSlot::TryLock(const std::string& folder, int number) {
  Release();
  folder_ = folder;
  number_ = number;
  const int fd = ::open(File("lck").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  lockFd_ = fd;
  return true;
}

void TForm1::TDraftSlot::Release() {
  if (lockFd_ >= 0) ::close(lockFd_);  // drops the lock
  lockFd_ = -1;
}

std::string TForm1::MessageImage() const {
  std::string image;
  for (const TEdit* field : {&from, &sendto, &cc, &bcc, &subject}) {
    image += field->Text.Get();
    image += '\0';
  }
  image += MessageText.Text();
  for (const std::string& file : AttachedFiles.Items) {
    image += '\0';
    image += file;
  }
  return image;
}

bool TForm1::HoldsUnsavedText() const {
  if (KeepDraft) return false;  // the close saves it
  const std::string text = MessageText.Text();
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) return false;
  return MessageImage() != SentMessageImage;
}

bool TForm1::CanClose() {
  if (Scripting || !HoldsUnsavedText()) return true;
  enum { kSave, kDiscard, kCancel };
  const int answer = GetFrontEnd().AskChoice(
      "This message has been neither sent nor saved.\r\rSave it as a draft, to be offered at "
      "the next start?",
      "Unsent message", {"&Save draft", "&Discard", "&Cancel"}, kCancel);
  if (answer == kDiscard) return true;  // the close deletes the draft, as after a send
  if (answer != kSave) return false;
  try {
    SaveDraft();  // now, so that a draft that cannot be written keeps the window open
  } catch (const std::exception& e) {
    ErrorBox(std::string("The draft could not be saved, the window stays open:\r") + e.what());
    return false;
  }
  KeepDraft = true;
  return true;
}

void TForm1::EndSession() {
  if (HoldsUnsavedText()) KeepDraft = true;
  Close();
}

// The address book: when the focus leaves the to-field, a nick typed there is completed from
// the book ("Nick <address>"), and a recipient typed in that full form is stored under its
// nick. The book is the section "adresses" of the settings file or of a separate address file.
//
// A nick that is already in the book is rewritten with the address just typed: the full form a
// user types is the newest and most deliberate word on that person's address (a corrected or
// changed address), and a book that kept the old one would keep completing the nick to an
// address the user has just replaced. The file is only written when the address changes, so
// leaving the field after a completion does not rewrite it.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"
#include "util/FileUtils.h"
#include "util/IniUtils.h"

namespace {

constexpr const char* kBookSection = "adresses";
constexpr std::size_t kMaxAddress = 255;

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool Contains(const std::string& text, char c) {
  return text.find(c) != std::string::npos;
}

void SetStatus(TForm1& form, const std::string& text, bool repaint) {
  form.StatusBar1.SimpleText = text;
  if (repaint) form.StatusBar1.Repaint();
}

// The book line (nick "=" address) that the typed text begins, completed to "Nick <address>";
// "" when no line begins with it.
std::string Completion(const TStringList& book, const std::string& typed) {
  for (const std::string& line : book) {
    if (!StartsWithIgnoringAsciiCase(line, typed)) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) return line + " <>";
    return line.substr(0, equals) + " <" + line.substr(equals + 1, kMaxAddress) + ">";
  }
  return "";
}

bool IsBlankOnly(const std::string& text) {
  return text.find_first_not_of(" \t") == std::string::npos;
}

// An entry of the to-field that the book is to complete: one without "@". One in full form
// ("Name <...>") is not: it names its address itself, and the send refuses it when that holds
// no "@".
bool IsNick(const std::string& entry) {
  return !IsBlankOnly(entry) && !Contains(entry, '@') && !Contains(entry, '<');
}

bool HoldsNick(const std::string& field) {
  for (std::size_t start = 0; start <= field.size();) {
    const std::size_t end = std::min(field.find(';', start), field.size());
    const std::string entry = field.substr(start, end - start);
    start = end + 1;
    if (IsNick(entry)) return true;
  }
  return false;
}

// Completes every entry of the field that holds no "@" from the book, keeping the blanks and
// separators around it; returns the first entry the book does not know ("" when none).
std::string CompleteNicks(TProperty<std::string>& text, const TStringList& book) {
  const std::string& field = text;
  std::string unknown;
  std::string completedField;
  for (std::size_t start = 0; start <= field.size();) {
    const std::size_t end = std::min(field.find(';', start), field.size());
    std::string entry = field.substr(start, end - start);
    if (IsNick(entry)) {
      const std::size_t first = entry.find_first_not_of(" \t");
      const std::size_t last = entry.find_last_not_of(" \t");
      const std::string nick = entry.substr(first, last - first + 1);
      if (const std::string completed = Completion(book, nick); !completed.empty())
        entry.replace(first, last - first + 1, completed);
      else if (unknown.empty())
        unknown = nick;
    }
    completedField += entry;
    if (end < field.size()) completedField += ';';
    start = end + 1;
  }
  text = completedField;  // tells the window only when something changed
  return unknown;
}

// One recipient in full form, split into the nick (the text before "<" without the blank in
// front of it) and the address between the angle brackets.
struct BookEntry {
  std::string Nick;
  std::string Address;
};

std::vector<BookEntry> FullFormEntries(const std::string& field) {
  std::vector<BookEntry> entries;
  for (std::size_t start = 0; start <= field.size();) {
    const std::size_t end = std::min(field.find(';', start), field.size());
    const std::string entry = field.substr(start, end - start);
    start = end + 1;
    if (entry.empty()) break;
    const std::size_t open = entry.find('<');
    const std::size_t close = entry.find('>', open == std::string::npos ? 0 : open + 1);
    if (open == std::string::npos || close == std::string::npos ||
        !Contains(entry.substr(open), '@'))
      continue;
    std::string nick = entry.substr(0, open);
    if (!nick.empty()) nick.pop_back();  // the blank before "<"
    nick.erase(0, nick.find_first_not_of(' '));
    // A nick the book could not read back as a key is not stored.
    const std::string address = entry.substr(open + 1, std::min(close - open - 1, kMaxAddress));
    if (nick.empty() || Contains(nick, '=') || nick.starts_with('[') || nick.starts_with(';') ||
        nick.find_first_of("\r\n") != std::string::npos ||
        address.find_first_of("\r\n") != std::string::npos)
      continue;
    entries.push_back({nick, address});
  }
  return entries;
}

// The address the book holds for the nick (keys compared as the ini file compares them), or
// nothing.
std::optional<std::string> StoredAddress(const TStringList& book, const std::string& nick) {
  for (const std::string& line : book) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos && EqualIgnoringAsciiCase(line.substr(0, equals), nick))
      return line.substr(equals + 1);
  }
  return std::nullopt;
}

// Puts the helpers back on the settings file when the event ends, however it ends.
class BookFileScope {
 public:
  explicit BookFileScope(const TForm1& form) : form_(form) {}
  ~BookFileScope() {
    IniClose();
    if (!form_.AddressFile.empty()) SetIniFile(SettingsFileName(), form_.SettingsSection, false);
  }
  BookFileScope(const BookFileScope&) = delete;
  BookFileScope& operator=(const BookFileScope&) = delete;

 private:
  const TForm1& form_;
};

// The book's lines; an unreadable book file is an empty book.
TStringList ReadBook() {
  TStringList book;
  try {
    SetIniSection(kBookSection, false);
    IniReadSectionValues(book);
  } catch (const std::exception&) {
    book.Clear();
  }
  return book;
}

void StoreEntries(const std::string& field, const TStringList& book, bool noAccess, TForm1& form) {
  for (const BookEntry& entry : FullFormEntries(field)) {
    if (noAccess) {
      form.ErrorBox("Cannot store address, no access to adressfile.");
      return;
    }
    if (StoredAddress(book, entry.Nick) == entry.Address) continue;
    try {
      IniWriteString(entry.Nick, entry.Address);
    } catch (const std::exception& e) {
      // The recipient stays as typed; only the book misses it.
      MessageBoxA(0, std::string("Cannot store address in the adressbook:\r") + e.what(),
                  kErrorCaption, MB_ICONERROR);
      return;
    }
  }
}

}  // namespace

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  return true;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithIgnoringAsciiCase(a, b);
}

void TForm1::sendtoExit(TControl*) {
  if (sendto.Text.empty()) return;
  bool noAccess = false;
  BookFileScope scope(*this);
  if (!AddressFile.empty()) {
    SetStatus(*this, "Status: Looking for address...", true);
    if (!FileCanOpen(AddressFile)) {
      ErrorBox("Cannot access adressfile, please check server.");
      if (HoldsNick(sendto.Text)) {
        sendto.SetFocus();
        SetStatus(*this, "Status: Ready (warning: cannot access adressfile).", false);
        return;
      }
      noAccess = true;
    } else {
      SetIniFile(AddressFile, SettingsSection, true);
    }
    SetStatus(*this, "Status: Ready.", true);
  }

  const TStringList book = ReadBook();
  // Every entry without "@" is a nick, in a list as well as alone.
  if (const std::string unknown = CompleteNicks(sendto.Text, book); !unknown.empty()) {
    MessageBoxA(0, NickNotFoundText(unknown), kErrorCaption, MB_ICONERROR);
    // Nobody is there to correct the field before the automatic send, which would go out to
    // the bare nick: a local user of the server's choosing, or nobody at all.
    if (Scripting) AutoSend = false;
    sendto.SetFocus();
  }
  if (Contains(sendto.Text, '@') && Contains(sendto.Text, '<') && Contains(sendto.Text, '>'))
    StoreEntries(sendto.Text, book, noAccess, *this);
}

std::string TForm1::ResolveNicks() {
  if (!HoldsNick(sendto.Text)) return "";
  BookFileScope scope(*this);
  // An address file that cannot be reached is an empty book: the nick stays unknown.
  const bool reachable = AddressFile.empty() || FileCanOpen(AddressFile);
  if (!AddressFile.empty() && reachable) SetIniFile(AddressFile, SettingsSection, true);
  const TStringList book = reachable ? ReadBook() : TStringList{};
  return CompleteNicks(sendto.Text, book);
}

std::string NickNotFoundText(const std::string& nick) {
  return "Can't find name in adressbook, please specify address.\r\"" + nick +
         "\" is not in the adressbook.";
}

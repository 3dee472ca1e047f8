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

#include "app/SettingKeys.h"
#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"
#include "util/FileUtils.h"
#include "util/IniUtils.h"

namespace {

constexpr const char* kBookSection = setting::kAddresses;
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

using TBookEntry = TForm1::TBookEntry;

TBookEntry EntryOfLine(const std::string& line) {
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos) return {line, ""};
  return {line.substr(0, equals), line.substr(equals + 1, kMaxAddress)};
}

// What the book makes of one typed nick: the entry it completes to, or every entry it could
// mean (none: unknown; several: ambiguous).
struct Lookup {
  std::optional<TBookEntry> Entry;
  std::vector<TBookEntry> Candidates;
};

// A nick equal to the typed text (letters compared without case) wins wherever it stands;
// otherwise the lines that begin with it (the nick, or the nick "=" and the start of the
// address) must be exactly one: taking the first of several would send to whoever happens to
// stand higher in the book.
Lookup LookUp(const TStringList& book, const std::string& typed) {
  Lookup result;
  for (const std::string& line : book) {
    const TBookEntry entry = EntryOfLine(line);
    if (EqualIgnoringAsciiCase(entry.Nick, typed)) {
      result.Entry = entry;
      result.Candidates = {entry};
      return result;
    }
    if (StartsWithIgnoringAsciiCase(line, typed)) result.Candidates.push_back(entry);
  }
  if (result.Candidates.size() == 1) result.Entry = result.Candidates.front();
  return result;
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

// Why an entry of a field was left as typed: the book does not know it, or it begins several
// nicks.
struct NickProblem {
  std::string Nick;
  std::vector<TBookEntry> Candidates;
  bool Found() const { return !Nick.empty(); }
  std::string Text() const {
    return Candidates.empty() ? NickNotFoundText(Nick) : AmbiguousNickText(Nick, Candidates);
  }
};

// Completes every entry of the field that holds no "@" from the book, keeping the blanks and
// separators around it; returns the first entry it could not complete.
NickProblem CompleteNicks(TProperty<std::string>& text, const TStringList& book) {
  const std::string& field = text;
  NickProblem problem;
  std::string completedField;
  for (std::size_t start = 0; start <= field.size();) {
    const std::size_t end = std::min(field.find(';', start), field.size());
    std::string entry = field.substr(start, end - start);
    if (IsNick(entry)) {
      const std::size_t first = entry.find_first_not_of(" \t");
      const std::size_t last = entry.find_last_not_of(" \t");
      const std::string nick = entry.substr(first, last - first + 1);
      if (const Lookup lookup = LookUp(book, nick); lookup.Entry)
        entry.replace(first, last - first + 1, lookup.Entry->FullForm());
      else if (!problem.Found())
        problem = {nick, lookup.Candidates};
    }
    completedField += entry;
    if (end < field.size()) completedField += ';';
    start = end + 1;
  }
  text = completedField;  // tells the window only when something changed
  return problem;
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

namespace {

// The exit event of every recipient field.
void RecipientFieldExit(TForm1& form, TEdit& field) {
  if (field.Text.empty()) return;
  bool noAccess = false;
  BookFileScope scope(form);
  if (!form.AddressFile.empty()) {
    SetStatus(form, "Status: Looking for address...", true);
    if (!FileCanOpen(form.AddressFile)) {
      form.ErrorBox("Cannot access adressfile, please check server.");
      if (HoldsNick(field.Text)) {
        field.SetFocus();
        SetStatus(form, "Status: Ready (warning: cannot access adressfile).", false);
        return;
      }
      noAccess = true;
    } else {
      SetIniFile(form.AddressFile, form.SettingsSection, true);
    }
    SetStatus(form, "Status: Ready.", true);
  }

  const TStringList book = ReadBook();
  // Every entry without "@" is a nick, in a list as well as alone.
  if (const NickProblem problem = CompleteNicks(field.Text, book); problem.Found()) {
    // Nobody is there to correct the field before the automatic send, which would go out to
    // the bare nick: a local user of the server's choosing, or nobody at all.
    if (form.Scripting) form.AutoSend = false;
    if (!problem.Candidates.empty() && form.OnAmbiguousNick)
      form.OnAmbiguousNick(field, problem.Nick, problem.Candidates);
    else
      MessageBoxA(0, problem.Text(), kErrorCaption, MB_ICONERROR);
    field.SetFocus();
  }
  if (Contains(field.Text, '@') && Contains(field.Text, '<') && Contains(field.Text, '>'))
    StoreEntries(field.Text, book, noAccess, form);
}

// The book as a lookup without questions reads it: a separate address file that cannot be
// reached is an empty book.
TStringList ReadBookQuietly(const TForm1& form) {
  const bool reachable = form.AddressFile.empty() || FileCanOpen(form.AddressFile);
  if (!form.AddressFile.empty() && reachable)
    SetIniFile(form.AddressFile, form.SettingsSection, true);
  return reachable ? ReadBook() : TStringList{};
}

}  // namespace

void TForm1::sendtoExit(TControl*) {
  RecipientFieldExit(*this, sendto);
}

void TForm1::ccExit(TControl*) {
  RecipientFieldExit(*this, cc);
}

void TForm1::bccExit(TControl*) {
  RecipientFieldExit(*this, bcc);
}

std::vector<TEdit*> TForm1::RecipientFields() {
  return {&sendto, &cc, &bcc};
}

std::string TForm1::ResolveNicks() {
  std::vector<TEdit*> withNicks;
  for (TEdit* field : RecipientFields())
    if (HoldsNick(field->Text)) withNicks.push_back(field);
  if (withNicks.empty()) return "";
  BookFileScope scope(*this);
  const TStringList book = ReadBookQuietly(*this);
  for (TEdit* field : withNicks)
    if (const NickProblem problem = CompleteNicks(field->Text, book); problem.Found())
      return problem.Text();
  return "";
}

std::vector<TForm1::TBookEntry> TForm1::AddressBookMatches(const std::string& typed) {
  std::vector<TBookEntry> matches;
  if (typed.empty()) return matches;
  BookFileScope scope(*this);
  for (const std::string& line : ReadBookQuietly(*this)) {
    const TBookEntry entry = EntryOfLine(line);
    if (EqualIgnoringAsciiCase(entry.Nick, typed))
      matches.insert(matches.begin(), entry);
    else if (StartsWithIgnoringAsciiCase(entry.Nick, typed) ||
             StartsWithIgnoringAsciiCase(entry.Address, typed))
      matches.push_back(entry);
  }
  return matches;
}

std::string TForm1::TBookEntry::FullForm() const {
  return Nick + " <" + Address + ">";
}

std::string NickNotFoundText(const std::string& nick) {
  return "Can't find name in adressbook, please specify address.\r\"" + nick +
         "\" is not in the adressbook.";
}

std::string AmbiguousNickText(const std::string& typed,
                              const std::vector<TForm1::TBookEntry>& candidates) {
  std::string names;
  for (const TForm1::TBookEntry& candidate : candidates)
    names += (names.empty() ? "" : ", ") + candidate.FullForm();
  return "\"" + typed + "\" begins several nicks in the adressbook: " + names +
         ".\rPlease type the whole nick or the address.";
}

// Start-up and command line: OnInit, OnShow, the argument table, the help text, ErrorBox, the
// exception report, the close event and reading a whole file.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "app/MailtoUri.h"
#include "app/MessageStream.h"
#include "app/SettingKeys.h"
#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"
#include "platform/IniFile.h"
#include "util/IniUtils.h"
#include "util/StringUtils.h"

namespace {

std::string Blanks(const std::string& value) {
  return ReplaceAll(value, "_", " ");
}

// Several recipient options or arguments make one ";"-separated list.
void AddRecipients(TEdit& field, const std::string& recipients) {
  field.Text += (field.Text.empty() ? "" : ";") + recipients;
}

// "-f:-": a script's text stays in a temporary file and is sent from there, so that its size
// costs no memory; the window shows it in the memo. There is no file for "-fdel" to delete.
void ReadMessageFromStandardInput(TForm1& form) {
  std::unique_ptr<TMessageStream> text = TMessageStream::Read(
      STDIN_FILENO, "The standard input (-f:-)", /*DotEnds=*/false, TextBoundaryStart());
  form.MessageFileName.clear();
  form.MessageFileIdentity.reset();
  form.MessageText.Lines.Clear();
  form.MessageStream.reset();
  if (form.Scripting) {
    form.MessageStream = std::move(text);
    return;
  }
  for (int i = 0; i < text->LineCount(); ++i) form.MessageText.Lines.Add(*text->Line(i));
}

std::string Joined(const std::vector<std::string>& addresses) {
  std::string list;
  for (const std::string& address : addresses) list += (list.empty() ? "" : ";") + address;
  return list;
}

// A link's mailto: address fills the fields it names (recipients join those already given); a
// file: address is a file to attach. One that cannot be read is refused as a whole.
void ApplyDesktopUri(TForm1& form, const std::string& argument) {
  try {
    if (IsFileUri(argument)) {
      form.AttachedFiles.Items.Add(LocalPathOfFileUri(argument));
      return;
    }
    const TMailto mailto = ParseMailto(argument);
    if (!mailto.To.empty()) AddRecipients(form.sendto, Joined(mailto.To));
    if (!mailto.Cc.empty()) AddRecipients(form.cc, Joined(mailto.Cc));
    if (!mailto.Bcc.empty()) AddRecipients(form.bcc, Joined(mailto.Bcc));
    if (mailto.Subject) form.subject.Text = *mailto.Subject;
    if (mailto.Body) form.MessageText.Lines.SetText(*mailto.Body);
    if (!mailto.To.empty()) form.FocusTimer.SetEnabled(true);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error("Cannot use the address \"" + TerminalText(argument) +
                             "\": " + e.what() + ".");
  }
}

// One command-line option: an argument that begins with Literal (case-sensitive) applies it with
// the rest of the argument as its value. The first matching entry wins, so the order matters
// ("-doretryonce" before "-doretry").
struct CommandLineOption {
  std::string_view Literal;
  void (*Apply)(TForm1& form, const std::string& value);
};

constexpr CommandLineOption kOptions[] = {
    {"-s:", [](TForm1& f, const std::string& v) { f.subject.Text = Blanks(v); }},
    {"-subject:", [](TForm1& f, const std::string& v) { f.subject.Text = Blanks(v); }},
    {"-f:",
     [](TForm1& f, const std::string& v) {
       if (v == "-") return ReadMessageFromStandardInput(f);
       TFileIdentity identity;
       f.MessageText.Lines.SetText(TextFileContent(v, &identity));
       f.MessageFileName = v;
       f.MessageFileIdentity = identity;
       f.MessageStream.reset();
     }},
    {"-msg:", [](TForm1& f, const std::string& v) { f.MessageText.Lines.Add(Blanks(v)); }},
    {"-fdel", [](TForm1& f, const std::string&) { f.DeleteMessageFile = true; }},
    {"-send", [](TForm1& f, const std::string&) { f.AutoSend = true; }},
    {"-server:", [](TForm1& f, const std::string& v) { f.SMTPServer.Text = v; }},
    // The help text has always named the server option so.
    {"-serv:", [](TForm1& f, const std::string& v) { f.SMTPServer.Text = v; }},
    {"-from:", [](TForm1& f, const std::string& v) { f.from.Text = v; }},
    {"-cc:", [](TForm1& f, const std::string& v) { AddRecipients(f.cc, v); }},
    {"-bcc:", [](TForm1& f, const std::string& v) { AddRecipients(f.bcc, v); }},
    {"-helo:", [](TForm1& f, const std::string& v) { f.HeloName = v; }},
    {"-adel", [](TForm1& f, const std::string&) { f.AutoDeleteAttached.Checked = true; }},
    {"-close", [](TForm1& f, const std::string&) { f.CloseWhenDone = true; }},
    {"-doretryonce",
     [](TForm1& f, const std::string&) {
       f.DoRetry = true;
       f.DoRetryOnce = true;
     }},
    {"-doretry", [](TForm1& f, const std::string&) { f.DoRetry = true; }},
    {"-vorelreport",
     [](TForm1& f, const std::string&) {
       f.ReportFailure = true;
       f.ReportSuccess = true;
     }},
    {"-tls:", [](TForm1& f, const std::string& v) { f.tls.Text = v; }},
    {"-user:", [](TForm1& f, const std::string& v) { f.user.Text = v; }},
    {"-ehlo", [](TForm1& f, const std::string&) { f.UseEhlo = true; }},
    {"-proxy:", [](TForm1& f, const std::string& v) { f.Proxy = v; }},
    {"-timeout:",
     [](TForm1& f, const std::string& v) {
       const std::optional<std::uint32_t> seconds = ParseWholeSeconds(v);
       if (!seconds)
         throw std::runtime_error("The option -timeout:" + v +
                                  " is not a whole number of seconds.");
       f.SmtpCli1->SetTimeout(*seconds);
     }},
    // The front-end is chosen by program entry before the form exists; the option is known.
    {"-nogui", [](TForm1&, const std::string&) {}},
};

const CommandLineOption* FindOption(const std::string& argument) {
  for (const CommandLineOption& option : kOptions)
    if (argument.starts_with(option.Literal)) return &option;
  return nullptr;
}

bool IsCloseOption(const std::string& argument) {
  const CommandLineOption* option = FindOption(argument);
  return option && option->Literal == "-close";
}

// Levenshtein distance: insertions, deletions and substitutions of single bytes.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The known option closest to what was typed: the argument's name (up to its first ":")
// against each literal, letter case aside ("-SEND" means "-send"); the first of equally close
// ones.
std::string_view NearestOption(const std::string& argument) {
  const std::size_t colon = argument.find(':');
  std::string name = argument.substr(0, colon == std::string::npos ? colon : colon + 1);
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::string_view best;
  std::size_t bestDistance = SIZE_MAX;
  for (const CommandLineOption& option : kOptions)
    if (const std::size_t d = EditDistance(name, option.Literal); d < bestDistance) {
      bestDistance = d;
      best = option.Literal;
    }
  return best;
}

void WriteErrorToStandardError(const std::string& caption, const std::string& text) {
  std::cerr << caption << ": " << TerminalText(text) << '\n';
}

}  // namespace

void WriteNotice(const std::string& text) {
  WriteErrorToStandardError(kTarvikTitle, text);
  std::cerr.flush();
}

// ---- Files

std::string FileContent(const std::string& fileName, TFileIdentity* identity) {
  std::FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file)
    throw std::runtime_error("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
  struct stat info {};
  if (::fstat(::fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    std::fclose(file);
    throw std::runtime_error("Cannot read file \"" + fileName + "\". It is not a regular file.");
  }
  const std::optional<TFileIdentity> atOpen = IdentityOfOpenFile(::fileno(file));
  std::string content;
  char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, n);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  const std::optional<TFileIdentity> atEnd = IdentityOfOpenFile(::fileno(file));
  std::fclose(file);
  if (failed)
    throw std::runtime_error("Cannot read file \"" + fileName + "\". " + std::strerror(error));
  if (identity) {
    // The text must be one state of the file, not the start of one and the end of another.
    if (!atOpen || !atEnd || *atOpen != *atEnd ||
        static_cast<long long>(content.size()) != atEnd->Size)
      throw std::runtime_error("Cannot read file \"" + fileName +
                               "\". It changed while it was read.");
    *identity = *atEnd;
  }
  return content;
}

std::string TextFileContent(const std::string& fileName, TFileIdentity* identity) {
  std::string content = FileContent(fileName, identity);
  if (const std::size_t nul = content.find('\0'); nul != std::string::npos)
    throw std::runtime_error("The file \"" + fileName + "\" holds a NUL byte (byte " +
                             std::to_string(nul + 1) +
                             "), which a mail text cannot carry. Attach the file instead.");
  return content;
}

std::optional<std::uint32_t> ParseWholeSeconds(const std::string& text) {
  // The largest number of seconds whose interval in milliseconds fits a timer.
  constexpr std::uint64_t kMaxSeconds = UINT32_MAX / 1000;
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::nullopt;
  const std::size_t last = text.find_last_not_of(" \t");
  std::uint64_t value = 0;
  for (std::size_t i = first; i <= last; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (value > kMaxSeconds) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// ---- Help text

std::vector<std::string_view> CommandLineOptionLiterals() {
  std::vector<std::string_view> literals;
  for (const CommandLineOption& option : kOptions) literals.push_back(option.Literal);
  return literals;
}

const std::vector<std::string>& CommandLineHelpLines() {
  static const std::vector<std::string> lines = {
      "Tarvik 2.0 accepts the following commandline:",
      "",
      "A nick/emailaddress or file can be specified anywhere.",
      "",
      "-from:<from>",
      "-s:<subject> or",
      "-subject:<subject>",
      "-msg:<message> (only for short messages)",
      "-f:<file with message in plain text>",
      "-fdel deletes the messagefile when sent successfully",
      "-send sends the message automatically",
      "-serv:<smtp-server>",
      "-adel deletes attached files when sent successfully",
      "-doretry does automatically retry until sent",
      "-doretryonce same as above but only once",
      "-close closes tarvik when the messages has been sent (returns errorlevel)",
      "",
      "Don't use spaces anywhere, use underscores (_) instead.",
  };
  return lines;
}

std::string CommandLineHelpText() {
  std::string text;
  for (const std::string& line : CommandLineHelpLines()) text += line + "\r";
  return text;
}

std::string TerminalText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out += '?';  // U+0080-U+009F in UTF-8: a C1 control all the same
      ++i;
    } else if (c >= 0x80 && c <= 0x9F) {
      // A continuation byte of the UTF-8 character before it passed with that character; one
      // standing alone is a C1 control to a terminal that takes single bytes.
      out += '?';
    } else if (c >= 0xC2 && c <= 0xF4) {
      // The lead byte of a UTF-8 character passes with its continuation bytes.
      const std::size_t length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      std::size_t n = 1;
      while (n < length && i + n < text.size() &&
             (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80)
        ++n;
      out.append(text, i, n);
      i += n - 1;
    } else if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7F)) {
      out += static_cast<char>(c);
    } else {
      out += '?';  // no escape sequence from a server reply reaches the terminal
    }
  }
  return out;
}

[[noreturn]] void EndProcess(int exitCode) {
  GetFrontEnd().EndProcess(exitCode);
}

// ---- Start-up

void TForm1::OnInit(TControl*) {
  SettingsSection = setting::kDefaults;
  LoadSettings(SettingsSection);
  for (std::size_t i = 0; i < Arguments.size(); ++i) {
    try {
      ApplyArgument(Arguments[i]);
    } catch (...) {
      // The arguments after a failing one are not applied. A message that lost its text must
      // not go out by itself, and "-close" anywhere on the line still makes the failure end
      // the process with exit code 1.
      AutoSend = false;
      for (std::size_t j = i + 1; j < Arguments.size(); ++j)
        if (IsCloseOption(Arguments[j])) CloseWhenDone = true;
      throw;
    }
  }
}

void TForm1::ApplyArgument(const std::string& argument) {
  if (const CommandLineOption* option = FindOption(argument)) {
    option->Apply(*this, argument.substr(option->Literal.size()));
    return;
  }
  if (IsMailtoUri(argument) || IsFileUri(argument)) {
    ApplyDesktopUri(*this, argument);
    return;
  }
  // A path is a file to attach, even with an "@" in it ("logo@2x.png"): one that holds a "/",
  // or names an existing file here.
  struct stat info {};
  if (argument.find('/') != std::string::npos ||
      (::stat(argument.c_str(), &info) == 0 && S_ISREG(info.st_mode))) {
    AttachedFiles.Items.Add(argument);
  } else if (argument.find('@') != std::string::npos || !argument.starts_with("-")) {
    // Several recipient arguments make one list; a nick is resolved by the address book when
    // the field is left.
    sendto.Text += (sendto.Text.empty() ? "" : ";") + argument;
    FocusTimer.SetEnabled(true);
  } else {
    // A misspelt option must not send a message that lacks what it was meant to set.
    throw std::runtime_error("Unknown option \"" + argument +
                             "\": no option begins so and no file has that name. Did you mean \"" +
                             std::string(NearestOption(argument)) +
                             "\"? (tarvik --help lists the options)");
  }
}

void TForm1::OnShow(TControl*) {
  if (!Scripting && !SessionSignals)
    SessionSignals = std::make_unique<TSignalWatch>(std::initializer_list<int>{SIGTERM, SIGHUP},
                                                    [this](int) { EndSession(); });
  from.SetFocus();
  if (!from.Text.empty()) sendto.SetFocus();
  ShowTimer.SetEnabled(true);
  OfferSavedDraft();
}

void TForm1::CommandLineHelp1Click(TMenuItem*) {
  ShowMessage(CommandLineHelpText());
}

void TForm1::ErrorBox(const std::string& text) {
  if (CloseWhenDone) {
    // The exit code is the caller's signal; the text still goes where a script can log it.
    WriteErrorToStandardError(kErrorCaption, text);
    EndProcess(1);
  }
  MessageBoxA(0, text, kErrorCaption, MB_ICONERROR);
}

void TForm1::ReportException(const std::exception& e) {
  if (CloseWhenDone) {
    WriteErrorToStandardError(kTarvikTitle, e.what());
    EndProcess(1);
  }
  GetFrontEnd().ShowException(e);
}

// ---- Close

void TForm1::FormClose(TControl*) {
  // A settings file that cannot be written must neither hide the draft part nor turn a sent
  // message into a failure: it is reported and the close goes on. A script's command line
  // describes one send, not the person's choices: it never rewrites the section of settings;
  // only the server list grows.
  try {
    if (AutoSave.Checked && !Scripting) {
      SaveSettings();
    } else {
      SetIniFile(SettingsFileName(), SettingsSection, false);
      SaveServers();
    }
  } catch (const EIniFileLocked& e) {
    // Another program's lock must not hold the close (and a script's exit code) for ever, nor
    // turn the send's outcome, reported before, into something else.
    IniClose();
    const std::string text =
        "The settings were not saved because another process holds them: " + SettingsFileName() +
        (e.Stopped() ? " (the wait was stopped)." : ".");
    if (Scripting)
      WriteNotice(text);
    else
      StatusBar1.SimpleText = "Status: " + text;
  } catch (const std::exception& e) {
    IniClose();
    MessageBoxA(0, std::string("The settings could not be saved:\r") + e.what(), kErrorCaption,
                MB_ICONERROR);
  }
  SaveOrDeleteDraft();
}

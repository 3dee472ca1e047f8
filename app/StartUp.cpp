// Start-up and command line: OnInit, OnShow, the argument table, the help text, ErrorBox, the
// exception report, the close event and reading a whole file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string_view>

#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"
#include "util/IniUtils.h"
#include "util/StringUtils.h"

namespace {

std::string Blanks(const std::string& value) {
  return ReplaceAll(value, "_", " ");
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
       f.MessageText.Lines.SetText(FileContent(v));
       f.MessageFileName = v;
     }},
    {"-msg:", [](TForm1& f, const std::string& v) { f.MessageText.Lines.Add(Blanks(v)); }},
    {"-fdel", [](TForm1& f, const std::string&) { f.DeleteMessageFile = true; }},
    {"-send", [](TForm1& f, const std::string&) { f.AutoSend = true; }},
    {"-server:", [](TForm1& f, const std::string& v) { f.SMTPServer.Text = v; }},
    {"-from:", [](TForm1& f, const std::string& v) { f.from.Text = v; }},
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

void WriteErrorToStandardError(const std::string& caption, const std::string& text) {
  std::cerr << caption << ": " << TerminalText(text) << '\n';
}

}  // namespace

// ---- Files

std::string FileContent(const std::string& fileName) {
  std::FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file)
    throw std::runtime_error("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
  std::string content;
  char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, n);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed)
    throw std::runtime_error("Cannot read file \"" + fileName + "\". " + std::strerror(error));
  return content;
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
  SettingsSection = "defaults";
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
  const bool hasAt = argument.find('@') != std::string::npos;
  const bool hasSlash = argument.find('/') != std::string::npos;
  if (hasAt || (!hasSlash && !argument.starts_with("-"))) {
    sendto.Text = argument;  // a nick is resolved by the address book when the field is left
    FocusTimer.SetEnabled(true);
  } else if (hasSlash) {
    AttachedFiles.Items.Add(argument);
  }
  // Anything else is an unknown option: ignored.
}

void TForm1::OnShow(TControl*) {
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
  // message into a failure: it is reported and the close goes on.
  try {
    if (AutoSave.Checked) {
      SaveSettings();
    } else {
      SetIniFile(SettingsFileName(), SettingsSection, false);
      SaveServers();
    }
  } catch (const std::exception& e) {
    IniClose();
    MessageBoxA(0, std::string("The settings could not be saved:\r") + e.what(), kErrorCaption,
                MB_ICONERROR);
  }
  SaveOrDeleteDraft();
}

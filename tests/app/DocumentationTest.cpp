// The manual page (docs/tarvik.1) and the bash completion (packaging/bash-completion/tarvik)
// against the code. Every option of the option table, every option the help text names, every
// settings key and section of the settings table and every environment variable the program
// reads must be in the page, and the completion must offer every option.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/SettingKeys.h"
#include "app/Tarvik2_unit1.h"
#include "tests/app/ComposerPeers.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using composertest::ChildProcess;
using composertest::SourceDir;

std::string ManPagePath() {
  return SourceDir() + "/docs/tarvik.1";
}
std::string CompletionPath() {
  return SourceDir() + "/packaging/bash-completion/tarvik";
}

// Switches that program entry and the front-end choice answer before the option table is read.
const std::vector<std::string> kProgramSwitches = {"-nogui", "--help", "--version", "--sendmail"};

// ---- The manual page as plain text

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void ReplaceEvery(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

// The arguments of a roff macro line: blank-separated words, or text in double quotes.
std::vector<std::string> MacroArguments(const std::string& rest) {
  std::vector<std::string> arguments;
  for (std::size_t i = 0; i < rest.size();) {
    if (rest[i] == ' ') {
      ++i;
    } else if (rest[i] == '"') {
      const std::size_t close = std::min(rest.find('"', i + 1), rest.size());
      arguments.push_back(rest.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      const std::size_t blank = std::min(rest.find(' ', i), rest.size());
      arguments.push_back(rest.substr(i, blank - i));
      i = blank;
    }
  }
  return arguments;
}

// The text a roff source line shows: a font macro's arguments joined (without blanks for the
// alternating ones such as .BR), other macros nothing, escapes resolved.
std::string PlainText(const std::string& line) {
  std::string text = line;
  if (line.starts_with(".")) {
    const std::size_t blank = std::min(line.find(' '), line.size());
    const std::string macro = line.substr(1, blank - 1);
    const bool spaced = macro == "B" || macro == "I";
    const bool alternating =
        macro.size() == 2 && macro.find_first_not_of("BIR") == std::string::npos;
    if (!spaced && !alternating) return "";
    text.clear();
    for (const std::string& argument : MacroArguments(line.substr(blank)))
      text += (spaced && !text.empty() ? " " : "") + argument;
  }
  for (const char* font : {"\\fB", "\\fI", "\\fR", "\\fP"}) ReplaceEvery(text, font, "");
  for (const auto& [escape, shown] :
       {std::pair{"\\-", "-"}, std::pair{"\\(dq", "\""}, std::pair{"\\(bu", ""},
        std::pair{"\\&", ""}, std::pair{"\\e", "\\"}})
    ReplaceEvery(text, escape, shown);
  return text;
}

// One ".SH" section of the page: the tags of its items (the line after ".TP" or ".TQ"), its
// ".SS" headings and all its text, in plain text.
struct ManSection {
  std::vector<std::string> Tags;
  std::vector<std::string> Headings;
  std::string Text;
};

struct ManPage {
  std::vector<std::string> SectionOrder;
  std::map<std::string, ManSection> Sections;

  const ManSection& Section(const std::string& name) const {
    static const ManSection none;
    const auto it = Sections.find(name);
    return it == Sections.end() ? none : it->second;
  }
};

std::string Unquoted(std::string text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    text = text.substr(1, text.size() - 2);
  return text;
}

ManPage ReadManPage() {
  std::istringstream in(ReadWholeFile(ManPagePath()));
  ManPage page;
  ManSection* current = nullptr;
  bool tagFollows = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(".SH ")) {
      const std::string name = Unquoted(line.substr(4));
      page.SectionOrder.push_back(name);
      current = &page.Sections[name];
    } else if (current && line.starts_with(".SS ")) {
      current->Headings.push_back(Unquoted(line.substr(4)));
    } else if (line == ".TP" || line == ".TQ") {
      tagFollows = true;
      continue;
    } else if (current && tagFollows) {
      current->Tags.push_back(PlainText(line));
    }
    if (current) current->Text += PlainText(line) + "\n";
    tagFollows = false;
  }
  return page;
}

// The alternatives of a tag: ".BR DISPLAY , WAYLAND_DISPLAY" documents both names.
std::vector<std::string> Alternatives(const std::string& tag) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t comma; (comma = tag.find(", ", start)) != std::string::npos; start = comma + 2)
    parts.push_back(tag.substr(start, comma - start));
  parts.push_back(tag.substr(start));
  return parts;
}

// An option is documented by an item whose tag begins with it: "-s:" by "-s:subject", "-send" by
// "-send" but not "-doretry" by "-doretryonce".
bool DocumentsOption(const ManSection& section, const std::string& option) {
  for (const std::string& tag : section.Tags)
    for (const std::string& form : Alternatives(tag)) {
      if (!form.starts_with(option)) continue;
      if (option.ends_with(":") || form.size() == option.size() || !IsWordChar(form[option.size()]))
        return true;
    }
  return false;
}

// A key or a variable is documented by an item whose tag is that name (first word).
bool DocumentsName(const ManSection& section, const std::string& name) {
  for (const std::string& tag : section.Tags)
    for (const std::string& form : Alternatives(tag))
      if (form.substr(0, form.find(' ')) == name) return true;
  return false;
}

// ---- What the code reads, collected from the sources

struct SourceFile {
  std::string Path;
  std::string Text;
};

std::vector<SourceFile> Sources(const std::vector<std::string>& folders) {
  std::vector<SourceFile> files;
  for (const std::string& folder : folders)
    for (const auto& entry : fs::recursive_directory_iterator(SourceDir() + "/" + folder)) {
      const std::string ext = entry.path().extension();
      if (entry.is_regular_file() && (ext == ".cpp" || ext == ".h"))
        files.push_back({entry.path().string(), ReadWholeFile(entry.path().string())});
    }
  return files;
}

// The arguments, as written, of every call of `function` in the text (a name that follows a
// letter, digit or "_" is another function). Parentheses and string literals are respected.
std::vector<std::vector<std::string>> CallArguments(const std::string& text,
                                                    const std::string& function) {
  std::vector<std::vector<std::string>> calls;
  for (std::size_t at = 0; (at = text.find(function, at)) != std::string::npos; ++at) {
    if (at > 0 && IsWordChar(text[at - 1])) continue;
    std::size_t i = at + function.size();
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i >= text.size() || text[i] != '(') continue;
    std::vector<std::string> arguments(1);
    int depth = 0;
    for (++i; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '"') {
        const std::size_t start = i;
        for (++i; i < text.size() && text[i] != '"'; ++i)
          if (text[i] == '\\') ++i;
        arguments.back() += text.substr(start, i - start + 1);
        continue;
      }
      if (c == ')' && depth == 0) break;
      if (c == '(') ++depth;
      if (c == ')') --depth;
      if (c == ',' && depth == 0)
        arguments.emplace_back();
      else
        arguments.back() += c;
    }
    for (std::string& argument : arguments) argument = Trimmed(argument);
    calls.push_back(arguments);
  }
  return calls;
}

bool IsLiteral(const std::string& argument) {
  return argument.size() >= 2 && argument.front() == '"' && argument.back() == '"';
}

// Every environment variable the program's code asks for by name.
std::set<std::string> EnvironmentTheCodeReads() {
  std::set<std::string> variables;
  for (const SourceFile& file : Sources({"app", "frontend", "platform", "net", "smtp"}))
    for (const char* reader : {"getenv", "secure_getenv", "Environment", "XdgFolder", "Set"})
      for (const std::vector<std::string>& arguments : CallArguments(file.Text, reader)) {
        const std::string& name = arguments[0];
        if (IsLiteral(name) && name.size() > 2 &&
            std::isupper(static_cast<unsigned char>(name[1])) &&
            name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_", 1) == name.size() - 1)
          variables.insert(name.substr(1, name.size() - 2));
      }
  return variables;
}

// Every option the program takes: the option table, the options the help text names and the
// switches answered before the table.
std::set<std::string> OptionsOfTheProgram() {
  std::set<std::string> options(kProgramSwitches.begin(), kProgramSwitches.end());
  for (std::string_view literal : CommandLineOptionLiterals()) options.emplace(literal);
  for (const std::string& line : CommandLineHelpLines()) {
    if (!line.starts_with("-")) continue;
    std::size_t end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz", 1);
    if (end != std::string::npos && line[end] == ':') ++end;
    options.insert(line.substr(0, end));
  }
  return options;
}

TEST(ManPage, HasTheSectionsOfAManualPageInTheirOrder) {
  const std::vector<std::string> expected = {"NAME",        "SYNOPSIS",    "DESCRIPTION",
                                             "OPTIONS",     "SETTINGS",    "FILES",
                                             "ENVIRONMENT", "EXIT STATUS", "EXAMPLES"};
  const ManPage page = ReadManPage();
  std::size_t next = 0;
  for (const std::string& name : page.SectionOrder)
    if (next < expected.size() && name == expected[next]) ++next;
  EXPECT_EQ(next, expected.size()) << "missing or out of order: " << expected[next];
  ASSERT_FALSE(page.SectionOrder.empty());
  EXPECT_EQ(page.SectionOrder.back(), "SEE ALSO");
  // whatis and apropos read the NAME line as "name \- summary".
  EXPECT_NE(ReadWholeFile(ManPagePath()).find(".SH NAME\ntarvik \\- "), std::string::npos);
}

TEST(ManPage, FormatsWithoutAWarning) {
  // The same check as lintian's: man renders the page with every groff warning on.
  ChildProcess man(
      {"/usr/bin/man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", ManPagePath()},
      composertest::ChangedEnvironment({{"LC_ALL", "C.UTF-8"}, {"MANWIDTH", "80"}}),
      /*captureError=*/true);
  std::string out, err;
  EXPECT_EQ(man.Finish(out, err), 0);
  EXPECT_EQ(err, "");
  EXPECT_FALSE(out.empty());
}

TEST(ManPage, DocumentsEveryOptionOfTheProgram) {
  const ManPage page = ReadManPage();
  const ManSection& options = page.Section("OPTIONS");
  const std::set<std::string> all = OptionsOfTheProgram();
  EXPECT_GE(all.size(), 16u);  // the table, -serv: from the help text, the switches
  for (const std::string& option : all)
    EXPECT_TRUE(DocumentsOption(options, option))
        << option << " has no item in OPTIONS of docs/tarvik.1";
}

// Both ways: every key and section of the settings table has its item, and every item of the
// page names a key the program reads (a key dropped from the code leaves no stale item).
TEST(ManPage, DocumentsExactlyTheSettingsOfTheTable) {
  const ManPage page = ReadManPage();
  const ManSection& settings = page.Section("SETTINGS");
  std::set<std::string> keys;
  for (const setting::Entry& entry : setting::kTable) {
    if (!entry.Key.empty()) {
      keys.emplace(entry.Key);
      EXPECT_TRUE(DocumentsName(settings, std::string(entry.Key)))
          << entry.Key << " has no item in SETTINGS";
    }
    const std::string heading = "[" + std::string(entry.Section) + "]";
    EXPECT_TRUE(
        std::any_of(settings.Headings.begin(), settings.Headings.end(),
                    [&](const std::string& h) { return h.find(heading) != std::string::npos; }))
        << heading << " has no subsection in SETTINGS";
  }
  for (const std::string& tag : settings.Tags) {
    const std::string key = tag.substr(0, tag.find_first_of(" ="));
    EXPECT_TRUE(keys.count(key)) << "SETTINGS documents " << key
                                 << ", which the program never reads";
  }
}

TEST(ManPage, NamesEveryFileTheComposerKeeps) {
  // The settings file and the draft files, by the names the code gives them.
  std::set<std::string> names;
  for (const SourceFile& file : Sources({"app"}))
    for (std::size_t at = 0; (at = file.Text.find("tarvik2.", at)) != std::string::npos; ++at) {
      const std::size_t end =
          file.Text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.", at);
      const std::string name = file.Text.substr(at, end - at);
      if (end != std::string::npos && file.Text[end] == '"' && !name.ends_with("."))
        names.insert(name);
    }
  EXPECT_TRUE(names.count("tarvik2.ini"));
  EXPECT_TRUE(names.count("tarvik2.dft"));
  const ManPage page = ReadManPage();
  for (const std::string& name : names)
    EXPECT_NE(page.Section("FILES").Text.find(name), std::string::npos) << name << " not in FILES";
}

TEST(ManPage, DocumentsEveryEnvironmentVariableTheCodeReads) {
  const std::set<std::string> variables = EnvironmentTheCodeReads();
  for (const char* variable : {"TARVIK_INI", "XDG_CONFIG_HOME", "HOME", "DISPLAY"})
    EXPECT_TRUE(variables.count(variable)) << variable << " not found in the sources";
  const ManPage page = ReadManPage();
  const ManSection& environment = page.Section("ENVIRONMENT");
  for (const std::string& variable : variables)
    EXPECT_TRUE(DocumentsName(environment, variable)) << variable << " has no item in ENVIRONMENT";
}

// ---- The bash completion, run by bash with the bash-completion library as a shell loads it

class BashCompletion : public ::testing::Test {
 protected:
  BashCompletion() {
    WriteWholeFile(folder.File("complete.sh"), R"sh(
source /usr/share/bash-completion/bash_completion || exit 2
source "$1" || exit 2
cd "$2"
# Words split as readline splits them, with ":" among the word breaks.
COMP_LINE=$3 COMP_POINT=${#3} COMP_WORDS=()
read -ra tokens <<<"$COMP_LINE"
[[ $COMP_LINE == *' ' ]] && tokens+=('')
for token in "${tokens[@]}"; do
  while [[ $token == *:* ]]; do COMP_WORDS+=("${token%%:*}" :); token=${token#*:}; done
  COMP_WORDS+=("$token")
done
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
_tarvik tarvik "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}"
)sh");
    fs::create_directories(folder.File("work/sub"));
    for (const char* name : {"work/msg.txt", "work/mail.csv", "work/logo@2x.png"})
      WriteWholeFile(folder.File(name), "x");
  }

  // What readline would offer for the line typed so far (the part after the last ":").
  std::set<std::string> Complete(const std::string& line) {
    ChildProcess bash({"/bin/bash", "--norc", "--noprofile", folder.File("complete.sh"),
                       CompletionPath(), folder.File("work"), line},
                      composertest::ChangedEnvironment({{"TARVIK_INI", folder.File("tarvik2.ini")},
                                                        {"HOME", folder.Path()},
                                                        {"XDG_CONFIG_HOME", std::nullopt}}),
                      /*captureError=*/true);
    std::string out, err;
    EXPECT_EQ(bash.Finish(out, err), 0) << err;
    EXPECT_EQ(err, "");
    std::set<std::string> offered;
    std::istringstream lines(out);
    for (std::string word; std::getline(lines, word);)
      if (!word.empty()) offered.insert(word);
    return offered;
  }

  TestTempDir folder;
};

TEST_F(BashCompletion, OffersEveryOptionOfTheProgram) {
  const std::set<std::string> offered = Complete("tarvik -");
  for (const std::string& option : OptionsOfTheProgram())
    EXPECT_TRUE(offered.count(option)) << option << " is not offered by the completion";
  EXPECT_EQ(Complete("tarvik -doretry"), (std::set<std::string>{"-doretry", "-doretryonce"}));
}

TEST_F(BashCompletion, CompletesFilesForTheMessageAndForAttachments) {
  // After "-f:" only the path is replaced: readline breaks the word at the colon.
  EXPECT_EQ(Complete("tarvik -f:m"), (std::set<std::string>{"msg.txt", "mail.csv"}));
  EXPECT_EQ(Complete("tarvik -s:Hello -f:s"), (std::set<std::string>{"sub"}));
  EXPECT_EQ(Complete("tarvik bob@example.org lo"), (std::set<std::string>{"logo@2x.png"}));
  EXPECT_EQ(Complete("tarvik -s:"), std::set<std::string>{});  // free text: nothing to offer
}

TEST_F(BashCompletion, OffersTlsModesStoredServersAndAddressBookNicks) {
  WriteWholeFile(
      folder.File("tarvik2.ini"),
      "[defaults]\r\naddressfile=" + folder.File("book.ini") +
          "\r\n[Servers]\r\nserver1=mail.example.org:587\r\nserver2=relay.example.net\r\n"
          "[adresses]\r\nnot-this-one=x@example.org\r\n");
  WriteWholeFile(folder.File("book.ini"),
                 "[ADRESSES]\nmartha=m@example.org\nMax Power=max@example.org\n");
  EXPECT_EQ(Complete("tarvik -tls:s"), (std::set<std::string>{"starttls", "smtps"}));
  EXPECT_EQ(Complete("tarvik -serv:"),
            (std::set<std::string>{"mail.example.org:587", "relay.example.net"}));
  // A server with a port: readline replaces what follows the last colon only.
  EXPECT_EQ(Complete("tarvik -server:mail.example.org:5"), (std::set<std::string>{"587"}));
  // Nicks come from the file named by addressfile, and files of the folder come too.
  EXPECT_EQ(Complete("tarvik M"), (std::set<std::string>{"Max Power"}));
  EXPECT_EQ(Complete("tarvik m"), (std::set<std::string>{"martha", "msg.txt", "mail.csv"}));
}

}  // namespace

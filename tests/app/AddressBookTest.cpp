// The address book: completing a nick when the focus leaves the to-field, storing a recipient
// typed in full form, with the book in the settings file and in a separate address file that
// is present or missing.
#include <sys/stat.h>

#include <string>

#include "app/Tarvik2_unit1.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "util/IniUtils.h"

namespace {

using namespace apptest;

constexpr const char* kBook =
    "[adresses]\n"
    "Sales=sales@example.org\n"
    "Sam=sam@example.org\n"
    "Help Desk=helpdesk@example.org\n";

class AddressBookTest : public ComposerTest {
 protected:
  // Types the text into the to-field and leaves it.
  std::string Leave(const std::string& typed) {
    form().sendto.SetFocus();
    form().sendto.Text = typed;
    form().subject.SetFocus();
    return form().sendto.Text;
  }
  std::vector<std::string> Boxes() const {
    std::vector<std::string> texts;
    for (const auto& box : frontEnd.MessageBoxes) texts.push_back(box.Text);
    return texts;
  }
  static ino_t Inode(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_ino;
  }
};

TEST_F(AddressBookTest, NickIsCompletedFromTheBookInTheSettingsFile) {
  WriteFile(SettingsFile(), kBook);
  Start();
  EXPECT_EQ(Leave("sales"), "Sales <sales@example.org>");
  EXPECT_EQ(Leave("SAM"), "Sam <sam@example.org>");
  EXPECT_EQ(Leave("sal"), "Sales <sales@example.org>") << "a prefix of exactly one nick";
  EXPECT_EQ(Leave("Sam=sam"), "Sam <sam@example.org>") << "a text that begins a whole line";
  EXPECT_EQ(Leave("help"), "Help Desk <helpdesk@example.org>");
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  EXPECT_EQ(form().StatusBar1.SimpleText, "Status: Ready.");
  EXPECT_EQ(frontEnd.RepaintCount(), 0) << "no status texts without a separate address file";
  EXPECT_EQ(IniFileName(), SettingsFile());
}

TEST_F(AddressBookTest, ExactNickWinsOverALongerOneAboveIt) {
  WriteFile(SettingsFile(), "[adresses]\nbobby=bobby.tables@example.org\nbob=bob@example.org\n");
  Start();
  EXPECT_EQ(Leave("bob"), "bob <bob@example.org>");
  EXPECT_EQ(Leave("BOB; bobb"), "bob <bob@example.org>; bobby <bobby.tables@example.org>");
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  EXPECT_EQ(form().ResolveNicks(), "");
}

TEST_F(AddressBookTest, PrefixOfSeveralNicksIsOfferedAndNeverTakenForTheFirst) {
  WriteFile(SettingsFile(),
            "[adresses]\nbobby=bobby.tables@example.org\nbob=bob@example.org\n"
            "ann=ann@example.org\n");
  Start();
  // Without a window the box names every candidate.
  EXPECT_EQ(Leave("ann; bo"), "ann <ann@example.org>; bo");
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("bobby <bobby.tables@example.org>, bob <bob@example.org>"),
            std::string::npos)
      << Boxes()[0];
  EXPECT_EQ(form().ActiveControl(), &form().sendto);

  // A window offers them in its completion list instead, for the field being left.
  form().sendto.Text.clear();
  std::vector<TForm1::TBookEntry> offered;
  TEdit* offeredFor = nullptr;
  form().OnAmbiguousNick = [&](TEdit& field, const std::string& typed,
                               const std::vector<TForm1::TBookEntry>& candidates) {
    EXPECT_EQ(typed, "bo");
    offeredFor = &field;
    offered = candidates;
  };
  form().cc.SetFocus();
  form().cc.Text = "bo";
  form().subject.SetFocus();
  EXPECT_EQ(form().cc.Text, "bo");
  EXPECT_EQ(offeredFor, &form().cc);
  const std::vector<TForm1::TBookEntry> both = {{"bobby", "bobby.tables@example.org"},
                                                {"bob", "bob@example.org"}};
  EXPECT_EQ(offered, both);
  EXPECT_EQ(form().ActiveControl(), &form().cc);
  EXPECT_EQ(Boxes().size(), 1u);

  // The send refuses it as well, whichever field holds it.
  EXPECT_NE(form().ResolveNicks().find("begins several nicks"), std::string::npos);

  // Completion while typing: nicks and addresses that begin with the text, an exact nick first.
  const std::vector<TForm1::TBookEntry> forBob = {{"bob", "bob@example.org"},
                                                  {"bobby", "bobby.tables@example.org"}};
  EXPECT_EQ(form().AddressBookMatches("BOB"), forBob);
  EXPECT_EQ(form().AddressBookMatches("ann@"),
            (std::vector<TForm1::TBookEntry>{{"ann", "ann@example.org"}}));
  EXPECT_TRUE(form().AddressBookMatches("").empty());
}

TEST_F(AddressBookTest, UnknownNickIsReportedAndTheFieldTakesTheFocusAgain) {
  WriteFile(SettingsFile(), kBook);
  Start();
  EXPECT_EQ(Leave("nobody"), "nobody");
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text,
            "Can't find name in adressbook, please specify address.\r\"nobody\" is not in the "
            "adressbook.");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Caption, "Tarvik 2.0 - ERROR");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Type, MB_ICONERROR);
  EXPECT_EQ(form().ActiveControl(), &form().sendto);
}

// In a list too, every entry without "@" is a nick: completed in its place, or named when the
// book does not know it (it would otherwise reach the server as a local user's name).
TEST_F(AddressBookTest, EveryNickOfAListIsCompletedAndAnUnknownOneIsNamed) {
  WriteFile(SettingsFile(), kBook);
  Start();
  EXPECT_EQ(Leave("sam; new@example.org;help"),
            "Sam <sam@example.org>; new@example.org;Help Desk <helpdesk@example.org>");
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  EXPECT_EQ(Leave("sam;carl@example.org; zed ;"), "Sam <sam@example.org>;carl@example.org; zed ;");
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_NE(frontEnd.MessageBoxes[0].Text.find("\"zed\" is not in the adressbook."),
            std::string::npos);
  EXPECT_EQ(form().ActiveControl(), &form().sendto);
}

TEST_F(AddressBookTest, EmptyFieldAndBareAddressAreLeftAlone) {
  WriteFile(SettingsFile(), kBook);
  const ino_t before = Inode(SettingsFile());
  Start();
  EXPECT_EQ(Leave(""), "");
  EXPECT_EQ(Leave("someone@example.org"), "someone@example.org");
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  EXPECT_EQ(ReadFile(SettingsFile()), kBook);
  EXPECT_EQ(Inode(SettingsFile()), before) << "nothing was written";
}

TEST_F(AddressBookTest, FullFormRecipientsAreStoredUnderTheirNicks) {
  WriteFile(SettingsFile(), kBook);
  Start();
  Leave("New Person <new@example.org>");
  EXPECT_EQ(IniValue("adresses", "New Person"), "new@example.org");
  Leave("Bob<bob@example.org>");  // no blank before "<": the last letter goes
  EXPECT_EQ(IniValue("adresses", "Bo"), "bob@example.org");
  Leave("Carol <carol@example.org>; Dave <dave@example.org>");
  EXPECT_EQ(IniValue("adresses", "Carol"), "carol@example.org");
  EXPECT_EQ(IniValue("adresses", "Dave"), "dave@example.org");
  EXPECT_EQ(IniValue("adresses", "Carol <carol@example.org>; Dave"), "<absent>")
      << "no key made of two recipients";
  // A nick the book could not read back is not stored.
  Leave("<anon@example.org>");
  Leave("a=b <ab@example.org>");
  EXPECT_EQ(IniSection("adresses").Count(), 7);
}

TEST_F(AddressBookTest, KnownNickTakesTheNewAddressAndAnUnchangedOneIsNotRewritten) {
  WriteFile(SettingsFile(), kBook);
  Start();
  Leave("Sales <orders@example.org>");
  EXPECT_EQ(IniValue("adresses", "Sales"), "orders@example.org");
  EXPECT_EQ(IniSection("adresses").Count(), 3) << "rewritten, not added";
  EXPECT_EQ(Leave("sales"), "Sales <orders@example.org>");

  const ino_t before = Inode(SettingsFile());
  Leave("Sales <orders@example.org>");  // the completed field, left again
  EXPECT_EQ(Inode(SettingsFile()), before);
}

class SeparateAddressFileTest : public AddressBookTest {
 protected:
  std::string BookFile() const { return folder.File("shared-book.ini"); }
  void SetUp() override {
    WriteFile(SettingsFile(), "[defaults]\naddressfile=" + BookFile() + "\n");
  }
};

TEST_F(SeparateAddressFileTest, PresentFileIsUsedAndTheSettingsFileStaysCurrent) {
  WriteFile(BookFile(), kBook);
  const std::string settings = ReadFile(SettingsFile());
  Start();
  EXPECT_EQ(Leave("sam"), "Sam <sam@example.org>");
  EXPECT_EQ(form().StatusBar1.SimpleText, "Status: Ready.");
  EXPECT_EQ(frontEnd.RepaintCount(), 2) << "after Looking for address and after Ready";
  Leave("Eve <eve@example.org>");
  EXPECT_NE(ReadFile(BookFile()).find("Eve=eve@example.org"), std::string::npos);
  EXPECT_EQ(ReadFile(SettingsFile()), settings) << "the settings file holds no book";
  EXPECT_EQ(IniFileName(), SettingsFile());
  EXPECT_FALSE(IniKeepOpen());
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
}

TEST_F(SeparateAddressFileTest, MissingFileWithANickWarnsAndKeepsTheFocus) {
  Start();
  EXPECT_EQ(Leave("sam"), "sam");
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Cannot access adressfile, please check server."});
  EXPECT_EQ(form().ActiveControl(), &form().sendto);
  EXPECT_EQ(form().StatusBar1.SimpleText, "Status: Ready (warning: cannot access adressfile).");
  EXPECT_FALSE(Exists(BookFile()));
}

TEST_F(SeparateAddressFileTest, MissingFileWithAFullAddressAcceptsItButCannotStoreIt) {
  Start();
  EXPECT_EQ(Leave("Eve <eve@example.org>"), "Eve <eve@example.org>");
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"Cannot access adressfile, please check server.",
                                               "Cannot store address, no access to adressfile."}));
  EXPECT_FALSE(Exists(BookFile()));
  EXPECT_EQ(IniValue("adresses", "Eve"), "<absent>");
  EXPECT_EQ(IniFileName(), SettingsFile());
}

TEST_F(AddressBookTest, CommandLineNickIsResolvedByTheFirstFocusMove) {
  WriteFile(SettingsFile(), std::string(kBook) + "[defaults]\nfrom=ann@example.org\n");
  TForm1& f = Start({"help"});
  EXPECT_TRUE(f.FocusTimer.Enabled());
  f.Show();
  EXPECT_EQ(f.ActiveControl(), &f.sendto);
  ASSERT_TRUE(composertest::PumpUntil([&] { return !f.FocusTimer.Enabled(); }));
  EXPECT_EQ(f.ActiveControl(), &f.subject);
  EXPECT_EQ(f.sendto.Text, "Help Desk <helpdesk@example.org>");
}

}  // namespace

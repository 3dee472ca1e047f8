// Settings and server list against real files: defaults, the draft timer keys, the server list
// as it is read and written, AutoSave, the settings file's place, and write failures at close.
#include <sys/stat.h>

#include <string>

#include "app/Tarvik2_unit1.h"
#include "tests/app/AppTestSupport.h"

namespace {

using apptest::ComposerTest;
using apptest::Exists;
using apptest::ReadFile;
using apptest::WriteFile;

using SettingsTest = ComposerTest;

TEST_F(SettingsTest, MissingFileGivesTheDefaultsAndIsNotCreated) {
  TForm1& f = Start();
  EXPECT_EQ(f.SettingsSection, "defaults");
  EXPECT_EQ(f.SMTPServer.Text, "");
  EXPECT_EQ(f.SMTPServer.Items.Count(), 0);
  EXPECT_EQ(f.SignFile.Text, "");
  EXPECT_TRUE(f.AutoSave.Checked);
  EXPECT_FALSE(f.CloseWhenSent.Checked);
  EXPECT_EQ(f.from.Text, "");
  EXPECT_TRUE(f.SaveDraftTimer.Enabled());
  EXPECT_EQ(f.SaveDraftTimer.Interval(), 120000u);
  EXPECT_EQ(f.AddressFile, "");
  EXPECT_EQ(f.DraftDir, folder.File("state") + "/tarvik");
  EXPECT_FALSE(Exists(SettingsFile()));
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
}

TEST_F(SettingsTest, StoredValuesFillTheFieldsAndTheCommandLineOverridesThem) {
  WriteFile(SettingsFile(),
            "[defaults]\r\nSMTPServer=mail.example:2525\r\nSignFile=/home/u/sig.txt\r\n"
            "AutoSave=0\r\nCloseWhenSent=1\r\nfrom=Me <me@example.org>\r\n"
            "addressfile=/srv/book.ini\r\ntempdir=/var/tmp/drafts/\r\n");
  TForm1& f = Start();
  EXPECT_EQ(f.SMTPServer.Text, "mail.example:2525");
  EXPECT_EQ(f.SignFile.Text, "/home/u/sig.txt");
  EXPECT_FALSE(f.AutoSave.Checked);
  EXPECT_TRUE(f.CloseWhenSent.Checked);
  EXPECT_EQ(f.from.Text, "Me <me@example.org>");
  EXPECT_EQ(f.AddressFile, "/srv/book.ini");
  EXPECT_EQ(f.DraftDir, "/var/tmp/drafts/") << "used as it stands";

  TForm1& g = Start({"-from:other@example.org", "-server:h"});
  EXPECT_EQ(g.from.Text, "other@example.org");
  EXPECT_EQ(g.SMTPServer.Text, "h");
}

TEST_F(SettingsTest, SavedraftZeroStopsTheDraftTimerAnythingElseLeavesIt) {
  WriteFile(SettingsFile(), "[defaults]\nsavedraft=0\n");
  EXPECT_FALSE(Start().SaveDraftTimer.Enabled());
  WriteFile(SettingsFile(), "[defaults]\nsavedraft=no\n");
  EXPECT_TRUE(Start().SaveDraftTimer.Enabled());
  WriteFile(SettingsFile(), "[defaults]\nsavedraft=\n");
  EXPECT_TRUE(Start().SaveDraftTimer.Enabled());
}

TEST_F(SettingsTest, SavedraftdelaySetsThePeriodInSeconds) {
  WriteFile(SettingsFile(), "[defaults]\nsavedraftdelay=30\n");
  TForm1& f = Start();
  EXPECT_EQ(f.SaveDraftTimer.Interval(), 30000u);
  EXPECT_TRUE(f.SaveDraftTimer.Running());

  WriteFile(SettingsFile(), "[defaults]\nsavedraftdelay=0\n");
  TForm1& g = Start();
  EXPECT_EQ(g.SaveDraftTimer.Interval(), 0u);
  EXPECT_FALSE(g.SaveDraftTimer.Running()) << "interval 0 stops the timer";

  WriteFile(SettingsFile(), "[defaults]\nsavedraftdelay=\n");
  EXPECT_EQ(Start().SaveDraftTimer.Interval(), 120000u);
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
}

TEST_F(SettingsTest, BadSavedraftdelayIsReportedAndEverythingElseStillLoads) {
  for (const char* bad : {"abc", "12x", "-5", "1.5", "99999999999"}) {
    SCOPED_TRACE(bad);
    frontEnd.MessageBoxes.clear();
    WriteFile(SettingsFile(), std::string("[defaults]\nsavedraftdelay=") + bad +
                                  "\nfrom=me@example.org\naddressfile=/srv/book.ini\n"
                                  "tempdir=/var/tmp/d\n[servers]\nserver1=a.example\n");
    TForm1& f = Start({"-s:still_parsed"});
    ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
    const auto& box = frontEnd.MessageBoxes[0];
    EXPECT_EQ(box.Caption, "Tarvik 2.0 - ERROR");
    EXPECT_NE(box.Text.find(std::string("savedraftdelay=") + bad), std::string::npos) << box.Text;
    EXPECT_NE(box.Text.find("every 120 seconds"), std::string::npos) << box.Text;
    EXPECT_EQ(f.SaveDraftTimer.Interval(), 120000u);
    EXPECT_TRUE(f.SaveDraftTimer.Running());
    EXPECT_EQ(f.from.Text, "me@example.org");
    EXPECT_EQ(f.AddressFile, "/srv/book.ini");
    EXPECT_EQ(f.DraftDir, "/var/tmp/d");
    EXPECT_EQ(f.SMTPServer.Items, (TStringList{"a.example"}));
    EXPECT_EQ(f.subject.Text, "still parsed");
  }
  // Not an ErrorBox: a typing error in the file does not end a script run under "-close".
  WriteFile(SettingsFile(), "[defaults]\nsavedraftdelay=abc\n");
  EXPECT_TRUE(Start({"-close"}).CloseWhenDone);
}

TEST_F(SettingsTest, ServerListKeepsFileOrderAndOnlyTheSecondEqualsField) {
  WriteFile(SettingsFile(),
            "[servers]\nserver1=first.example\nserver2=second.example:2525\n"
            "server3=odd=value=more\n");
  TForm1& f = Start();
  EXPECT_EQ(f.SMTPServer.Items, (TStringList{"first.example", "second.example:2525", "odd"}));
}

TEST_F(SettingsTest, ANewServerIsAppendedUnderTheNextNumber) {
  WriteFile(SettingsFile(), "[servers]\nserver1=a.example\nserver2=b.example\n");
  TForm1& f = Start({"-server:c.example:2525"});
  f.Close();
  EXPECT_EQ(IniSection("servers"),
            (TStringList{"server1=a.example", "server2=b.example", "server3=c.example:2525"}));
  EXPECT_EQ(Start().SMTPServer.Items, (TStringList{"a.example", "b.example", "c.example:2525"}));
}

TEST_F(SettingsTest, AServerListedInAnotherLetterCaseIsNotAddedAgain) {
  WriteFile(SettingsFile(), "[servers]\nserver1=Mail.Example\nserver2=b.example\n");
  TForm1& f = Start({"-server:MAIL.example"});
  f.Close();
  EXPECT_EQ(IniSection("servers"), (TStringList{"server1=Mail.Example", "server2=b.example"}));
}

TEST_F(SettingsTest, AnEmptyServerFieldIsAddedOnce) {
  WriteFile(SettingsFile(), "[servers]\nserver1=a.example\n");
  Start().Close();
  Start().Close();
  EXPECT_EQ(IniSection("servers"), (TStringList{"server1=a.example", "server2="}));
}

TEST_F(SettingsTest, CloseWithAutoSaveWritesTheSettingsThatTheNextStartReads) {
  TForm1& f = Start({"-from:Me_Too <me@example.org>", "-server:smtp.example:587"});
  f.SignFile.Text = "/home/u/sig.txt";
  f.CloseWhenSent.Checked = true;
  f.Close();
  EXPECT_EQ(IniValue("defaults", "from"), "Me_Too <me@example.org>");
  EXPECT_EQ(IniValue("defaults", "AutoSave"), "1");
  EXPECT_EQ(IniValue("defaults", "CloseWhenSent"), "1");

  TForm1& g = Start();
  EXPECT_EQ(g.from.Text, "Me_Too <me@example.org>");
  EXPECT_EQ(g.SMTPServer.Text, "smtp.example:587");
  EXPECT_EQ(g.SMTPServer.Items, (TStringList{"smtp.example:587"}));
  EXPECT_EQ(g.SignFile.Text, "/home/u/sig.txt");
  EXPECT_TRUE(g.CloseWhenSent.Checked);
  EXPECT_TRUE(g.AutoSave.Checked);
}

TEST_F(SettingsTest, WithAutoSaveOffOnlyTheServerListIsSavedAtClose) {
  WriteFile(SettingsFile(),
            "; my settings\n[defaults]\nAutoSave=0\nfrom=old@example.org\nSignFile=/old\n"
            "[adresses]\nSales=sales@example.org\n");
  TForm1& f = Start({"-from:new@example.org", "-server:new.example"});
  f.SignFile.Text = "/new";
  f.Close();
  EXPECT_EQ(IniValue("defaults", "from"), "old@example.org");
  EXPECT_EQ(IniValue("defaults", "SignFile"), "/old");
  EXPECT_EQ(IniValue("defaults", "SMTPServer"), "<absent>");
  EXPECT_EQ(IniSection("servers"), (TStringList{"server1=new.example"}));
  EXPECT_EQ(IniValue("adresses", "Sales"), "sales@example.org") << "the address book stays";
  EXPECT_EQ(ReadFile(SettingsFile()).rfind("; my settings", 0), 0u) << "comments stay";
}

TEST_F(SettingsTest, AServerTextWithALineBreakNeverCostsTheStoredList) {
  WriteFile(SettingsFile(), "[defaults]\nAutoSave=0\n[servers]\nserver1=a.example\n");
  TForm1& f = Start({"-server:evil\r\nserver9=x"});
  f.Close();
  EXPECT_EQ(IniSection("servers"), (TStringList{"server1=a.example"}));

  // With AutoSave the settings cannot be stored; that is reported and nothing is lost.
  WriteFile(SettingsFile(), "[servers]\nserver1=a.example\n");
  TForm1& g = Start({"-server:evil\nx"});
  g.Close();
  EXPECT_EQ(IniSection("servers"), (TStringList{"server1=a.example"}));
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text.rfind("The settings could not be saved:", 0), 0u);
}

TEST_F(SettingsTest, SaveSettingsButtonWritesAtOnce) {
  TForm1& f = Start({"-from:btn@example.org"});
  f.AutoSave.Checked = false;
  f.SaveSettingsBtn.Click();
  EXPECT_EQ(IniValue("defaults", "from"), "btn@example.org");
  EXPECT_EQ(IniValue("defaults", "AutoSave"), "0");
  EXPECT_EQ(IniSection("servers"), (TStringList{"server1="}));
}

TEST_F(SettingsTest, BytesOfTheFieldsAreStoredAsGiven) {
  const std::string name = "J\xC3\xBCrgen <j@example.org>";
  Start({"-from:" + name}).Close();
  EXPECT_EQ(Start().from.Text, name);
}

TEST_F(SettingsTest, SettingsThatCannotBeWrittenAreReportedAndTheCloseGoesOn) {
  WriteFile(folder.File("plainfile"), "x");
  env.Set("TARVIK_INI", folder.File("plainfile") + "/tarvik2.ini");
  TForm1& f = Start({"-from:me@example.org"});
  EXPECT_NO_THROW(f.Close());
  EXPECT_TRUE(f.Closed());
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_EQ(frontEnd.MessageBoxes[0].Caption, "Tarvik 2.0 - ERROR");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text.rfind("The settings could not be saved:\r", 0), 0u);
}

TEST_F(SettingsTest, SettingsFileFollowsTarvikIniThenXdgConfigHomeThenHome) {
  EXPECT_EQ(SettingsFileName(), SettingsFile());
  env.Set("TARVIK_INI", std::nullopt);
  EXPECT_EQ(SettingsFileName(), folder.File("home") + "/.config/tarvik/tarvik2.ini");
  env.Set("XDG_CONFIG_HOME", "relative/ignored");
  EXPECT_EQ(SettingsFileName(), folder.File("home") + "/.config/tarvik/tarvik2.ini");
  env.Set("XDG_CONFIG_HOME", folder.File("config"));
  EXPECT_EQ(SettingsFileName(), folder.File("config") + "/tarvik/tarvik2.ini");

  // The folder appears with the first write.
  TForm1& f = Start({"-from:me@example.org"});
  EXPECT_FALSE(Exists(folder.File("config") + "/tarvik"));
  f.Close();
  EXPECT_TRUE(Exists(folder.File("config") + "/tarvik/tarvik2.ini"));
  EXPECT_EQ(Start().from.Text, "me@example.org");
}

TEST_F(SettingsTest, DraftFolderDefaultFollowsXdgStateHomeThenHome) {
  EXPECT_EQ(DefaultDraftDir(), folder.File("state") + "/tarvik");
  env.Set("XDG_STATE_HOME", std::nullopt);
  EXPECT_EQ(DefaultDraftDir(), folder.File("home") + "/.local/state/tarvik");
  EXPECT_EQ(Start().DraftDir, folder.File("home") + "/.local/state/tarvik");
}

}  // namespace

namespace {

using apptest::ComposerTest;
using apptest::WriteFile;
using SettingsTest = ComposerTest;

TEST_F(SettingsTest, TimeoutCapsTheWaitsOfTheProtocolAndTheCommandLineOverridesIt) {
  WriteFile(SettingsFile(), "[defaults]\ntimeout=45\n");
  EXPECT_EQ(Start().SmtpCli1->Timeout(), 45u);
  EXPECT_EQ(Start({"-timeout:10"}).SmtpCli1->Timeout(), 10u);
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());
  WriteFile(SettingsFile(), "[defaults]\ntimeout=1min\nfrom=me@example.org\n");
  TForm1& f = Start();
  EXPECT_EQ(f.SmtpCli1->Timeout(), 0u);
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_EQ(
      frontEnd.MessageBoxes[0].Text.rfind(
          "The setting timeout=1min in " + SettingsFile() + " is not a whole number of seconds", 0),
      0u);
  EXPECT_EQ(f.from.Text, "me@example.org") << "the rest of the settings is read";
}

// A file over the size limit reads as empty, like a missing one, but unlike a missing one it
// is reported at once, not found out when the settings are written back.
TEST_F(SettingsTest, ASettingsFileThatCannotBeReadIsReportedAtStart) {
  WriteFile(SettingsFile(), "[defaults]\nfrom=me@example.org\n");
  std::filesystem::resize_file(SettingsFile(), 65 << 20);  // sparse: no 65 MB written
  TForm1& f = Start();
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text, "The settings file " + SettingsFile() +
                                               " cannot be read (file too large).\rThe stored "
                                               "settings are not used.");
  EXPECT_EQ(f.from.Text, "");
}

}  // namespace

#include "util/IniUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/IniFile.h"
#include "tests/support/TempDir.h"
#include "util/IniUtilsExt.h"

namespace {

// The module state is process-wide: every test starts from a known state.
class IniUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetIniFile(path, "defaults", false); }
  void TearDown() override {
    IniClose();
    SetIniFile("", "", false);
  }
  TestTempDir dir;
  std::string path = dir.File("tarvik2.ini");
};

TEST_F(IniUtilsTest, HeldAccessorSurvivesSectionChangesUntilClosed) {
  SetIniFile(path, "defaults", true);
  EXPECT_TRUE(IniKeepOpen());
  SetIniSection("servers", false);
  EXPECT_TRUE(IniKeepOpen());
  EXPECT_EQ(IniSectionName(), "servers");
  IniWriteString("0", "mail.example.org");
  SetIniSection("defaults", true);
  IniWriteString("from", "me@example.org");
  EXPECT_TRUE(IniKeepOpen());
  // Every write is on disk while the accessor is still held.
  EXPECT_EQ(ReadWholeFile(path),
            "[servers]\n0=mail.example.org\n[defaults]\nfrom=me@example.org\n");
  IniClose();
  EXPECT_FALSE(IniKeepOpen());
  EXPECT_EQ(IniFileName(), path);
  EXPECT_EQ(IniSectionName(), "defaults");
  IniClose();  // nothing held: nothing happens
  EXPECT_FALSE(IniKeepOpen());
}

TEST_F(IniUtilsTest, SetIniSectionHoldsWhenAskedAndSetIniFileAlwaysReleases) {
  SetIniSection("servers", true);
  EXPECT_TRUE(IniKeepOpen());
  EXPECT_EQ(IniFileName(), path);
  SetIniFile(path, "defaults", false);  // same file: released all the same
  EXPECT_FALSE(IniKeepOpen());
  const std::string other = dir.File("book.ini");
  SetIniFile(other, "adresses", true);
  IniWriteString("bob", "bob@example.org");
  EXPECT_EQ(ReadWholeFile(other), "[adresses]\nbob=bob@example.org\n");
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(IniUtilsTest, ReadsAndWritesGoToTheCurrentSection) {
  IniWriteString("from", "me@example.org");
  IniWriteBool("AutoSave", true);
  EXPECT_EQ(IniReadString("FROM", "x"), "me@example.org");
  EXPECT_TRUE(IniReadBool("autosave", false));
  EXPECT_EQ(IniReadString("missing", "def"), "def");
  EXPECT_FALSE(IniReadBool("missing", false));
  SetIniSection("servers", false);
  EXPECT_EQ(IniReadString("from", "none"), "none");
  IniWriteString("0", "a");
  IniWriteString("1", "b:587");
  TStringList values;
  IniReadSectionValues(values);
  EXPECT_EQ(values, (TStringList{"0=a", "1=b:587"}));
}

TEST_F(IniUtilsTest, EraseSectionErasesTheNamedSectionNotTheCurrentOne) {
  IniWriteString("from", "me@example.org");
  SetIniSection("servers", false);
  IniWriteString("0", "a");
  SetIniSection("defaults", false);
  IniEraseSection("servers");
  EXPECT_EQ(IniSectionName(), "defaults");
  EXPECT_EQ(IniReadString("from", ""), "me@example.org");
  EXPECT_EQ(ReadWholeFile(path), "[defaults]\nfrom=me@example.org\n");
}

TEST_F(IniUtilsTest, AccessorErrorsPropagateAndAHeldAccessorStaysHeld) {
  std::filesystem::create_directory(path);  // a folder where the file should be
  SetIniFile(path, "defaults", true);
  EXPECT_THROW(IniWriteString("from", "x"), EIniFileError);
  EXPECT_TRUE(IniKeepOpen());
  EXPECT_EQ(IniReadString("from", "def"), "def");
}

// ---- control persistence

class ControlPersistenceTest : public IniUtilsTest {
 protected:
  TForm form;
  TEdit& edit = form.Make<TEdit>("from");
  TCheckBox& check = form.Make<TCheckBox>("AutoSave");
  TComboBox& combo = form.Make<TComboBox>("SMTPServer");
  TMemo& memo = form.Make<TMemo>("MessageText");
  TListBox& list = form.Make<TListBox>("AttachedFiles");
};

TEST_F(ControlPersistenceTest, ControlsAreStoredUnderTheirNamesAndComeBack) {
  edit.Text = "Me <me@example.org>";
  check.Checked = true;
  combo.Text = "mail.example.org:587";
  combo.Items.Add("not stored");
  for (TControl* control : std::initializer_list<TControl*>{&edit, &check, &combo})
    SaveControl(*control);
  EXPECT_EQ(ReadWholeFile(path),
            "[defaults]\nfrom=Me <me@example.org>\nAutoSave=1\nSMTPServer=mail.example.org:587\n");
  edit.Text.clear();
  check.Checked = false;
  combo.Text.clear();
  for (TControl* control : std::initializer_list<TControl*>{&edit, &check, &combo})
    LoadControl(*control);
  EXPECT_EQ(edit.Text, "Me <me@example.org>");
  EXPECT_TRUE(check.Checked);
  EXPECT_EQ(combo.Text, "mail.example.org:587");
}

TEST_F(ControlPersistenceTest, MemoLinesAreStoredOnOneLineWithFF) {
  memo.Lines.Add("first line");
  memo.Lines.Add("second line");
  SaveControl(memo);
  EXPECT_EQ(ReadWholeFile(path), "[defaults]\nMessageText=first line\xFFsecond line\n");
  memo.Lines.Clear();
  LoadControl(memo);
  EXPECT_EQ(memo.Lines, (TStringList{"first line", "second line"}));

  // A 0xFF byte of the text itself comes back as a line break.
  memo.SetText("caf\xFF");
  SaveControl(memo);
  memo.Lines.Clear();
  LoadControl(memo);
  EXPECT_EQ(memo.Lines, (TStringList{"caf", ""}));
}

TEST_F(ControlPersistenceTest, LoneLineBreaksCannotBreakTheFileApart) {
  memo.Lines.Add("a\rb");
  memo.Lines.Add("c\nd");
  SaveControl(memo);
  edit.Text = "after";
  SaveControl(edit);
  EXPECT_EQ(ReadWholeFile(path),
            "[defaults]\nMessageText=a\xFF"
            "b\xFF"
            "c\xFF"
            "d\nfrom=after\n");
  memo.Lines.Clear();
  LoadControl(memo);
  EXPECT_EQ(memo.Lines, (TStringList{"a", "b", "c", "d"}));

  // A value holding a lone CR (written by hand) loads as a line break.
  WriteWholeFile(path, "[defaults]\nMessageText=x\ry\n");
  LoadControl(memo);
  EXPECT_EQ(memo.Lines, (TStringList{"x", "y"}));
}

TEST_F(ControlPersistenceTest, AbsentKeysLeaveControlsAsTheyWereAndOtherControlsAreIgnored) {
  WriteWholeFile(path, "[defaults]\nother=1\n");
  edit.Text = "typed";
  check.Checked = true;
  combo.Text = "server";
  memo.SetText("one\r\ntwo");
  for (TControl* control : std::initializer_list<TControl*>{&edit, &check, &combo, &memo})
    LoadControl(*control);
  EXPECT_EQ(edit.Text, "typed");
  EXPECT_TRUE(check.Checked);
  EXPECT_EQ(combo.Text, "server");
  EXPECT_EQ(memo.Lines, (TStringList{"one", "two"}));

  list.Items.Add("/tmp/file");
  list.ItemIndex = 0;
  auto& button = form.Make<TButton>("SendBtn");
  SaveControl(list);
  SaveControl(button);
  SaveControl(form);
  LoadControl(list);
  EXPECT_EQ(ReadWholeFile(path), "[defaults]\nother=1\n");
  EXPECT_EQ(list.Items, (TStringList{"/tmp/file"}));
}

}  // namespace

#include "platform/IniFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace {

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class IniFileTest : public ::testing::Test {
 protected:
  TestTempDir dir;
  std::string path = dir.File("tarvik2.ini");
  TIniFile ini{path};
};

TEST_F(IniFileTest, MissingFileGivesDefaultsAndTheFirstWriteCreatesFolderAndFile) {
  TIniFile nested(dir.File("config/tarvik/tarvik2.ini"));
  EXPECT_EQ(nested.ReadString("defaults", "from", "none"), "none");
  EXPECT_TRUE(nested.ReadBool("defaults", "AutoSave", true));
  TStringList values{"stale"};
  nested.ReadSectionValues("defaults", values);
  EXPECT_TRUE(values.Empty());
  nested.EraseSection("defaults");
  EXPECT_FALSE(std::filesystem::exists(dir.File("config")));

  nested.WriteString("defaults", "from", "me@example.org");
  EXPECT_EQ(ReadWholeFile(dir.File("config/tarvik/tarvik2.ini")),
            "[defaults]\nfrom=me@example.org\n");
  EXPECT_EQ(nested.ReadString("defaults", "from", ""), "me@example.org");
}

TEST_F(IniFileTest, NamesMatchCaseInsensitivelyAndValuesReadAsWritten) {
  WriteWholeFile(path,
                 "[Defaults]\n"
                 "  From  =   me@example.org  \n"
                 "empty=\n"
                 "spaced = a = b\n");
  EXPECT_EQ(ini.ReadString("defaults", "FROM", "x"), "me@example.org  ");
  EXPECT_EQ(ini.ReadString("DEFAULTS", "empty", "x"), "");
  EXPECT_EQ(ini.ReadString("defaults", "spaced", "x"), "a = b");
  EXPECT_EQ(ini.ReadString("defaults", "missing", "x"), "x");
  EXPECT_EQ(ini.ReadString("other", "from", "x"), "x");

  ini.WriteString("DEFAULTS", "from", "you@example.org");
  EXPECT_EQ(ReadWholeFile(path),
            "[Defaults]\n"
            "From=you@example.org\n"
            "empty=\n"
            "spaced = a = b\n");
}

TEST_F(IniFileTest, BooleansAreIntegers) {
  WriteWholeFile(path,
                 "[d]\none=1\nzero=0\nminus=-1\nhex=$10\nword=yes\nblank=\nbig=99999999999\n"
                 "padded= 1 \n");
  EXPECT_TRUE(ini.ReadBool("d", "one", false));
  EXPECT_FALSE(ini.ReadBool("d", "zero", true));
  EXPECT_TRUE(ini.ReadBool("d", "minus", false));
  EXPECT_TRUE(ini.ReadBool("d", "hex", false));
  EXPECT_TRUE(ini.ReadBool("d", "word", true));
  EXPECT_FALSE(ini.ReadBool("d", "word", false));
  EXPECT_TRUE(ini.ReadBool("d", "blank", true));
  EXPECT_FALSE(ini.ReadBool("d", "big", false));
  EXPECT_TRUE(ini.ReadBool("d", "padded", false));
  EXPECT_TRUE(ini.ReadBool("d", "missing", true));

  ini.WriteBool("d", "one", false);
  ini.WriteBool("new", "flag", true);
  EXPECT_EQ(ini.ReadString("d", "one", ""), "0");
  EXPECT_EQ(ini.ReadString("new", "flag", ""), "1");
}

TEST_F(IniFileTest, SectionValuesInFileOrderWithoutCommentsOrGarbage) {
  WriteWholeFile(path,
                 "[servers]\n"
                 "; the servers used so far\n"
                 "0=mail.example.org\n"
                 "garbage without equals\n"
                 "1 = smtp.example.org:587\n"
                 "\n"
                 "[adresses]\n"
                 "bob=bob@example.org\n");
  TStringList values{"old"};
  ini.ReadSectionValues("SERVERS", values);
  EXPECT_EQ(values, (TStringList{"0=mail.example.org", "1=smtp.example.org:587"}));
}

TEST_F(IniFileTest, WritesKeepEverythingTheyDoNotOwn) {
  const std::string original =
      "# written by hand\n"
      "stray line before any section\n"
      "[defaults]\n"
      "; keep me\n"
      "from=me@example.org\n"
      "=no key\n"
      "!!garbage!!\n"
      "\n"
      "[servers]\n"
      "0=a\n";
  WriteWholeFile(path, original);
  ini.WriteString("defaults", "SignFile", "/home/me/sign.txt");
  EXPECT_EQ(ReadWholeFile(path),
            "# written by hand\n"
            "stray line before any section\n"
            "[defaults]\n"
            "; keep me\n"
            "from=me@example.org\n"
            "=no key\n"
            "!!garbage!!\n"
            "SignFile=/home/me/sign.txt\n"
            "\n"
            "[servers]\n"
            "0=a\n");
  ini.EraseSection("defaults");
  EXPECT_EQ(ReadWholeFile(path),
            "# written by hand\n"
            "stray line before any section\n"
            "[servers]\n"
            "0=a\n");
}

TEST_F(IniFileTest, NoFinalNewlineAndCrLfLineEnds) {
  WriteWholeFile(path, "[a]\r\nx=1\r\n[b]\r\ny=2");
  EXPECT_EQ(ini.ReadString("a", "x", ""), "1");
  EXPECT_EQ(ini.ReadString("b", "y", ""), "2");
  ini.WriteString("b", "z", "3");
  EXPECT_EQ(ReadWholeFile(path), "[a]\r\nx=1\r\n[b]\r\ny=2\r\nz=3\r\n");
  ini.WriteString("c", "w", "4");
  EXPECT_EQ(ReadWholeFile(path), "[a]\r\nx=1\r\n[b]\r\ny=2\r\nz=3\r\n[c]\r\nw=4\r\n");

  WriteWholeFile(path, "[a]\nx=1");
  ini.WriteString("a", "x", "2");
  EXPECT_EQ(ReadWholeFile(path), "[a]\nx=2");
  ini.WriteString("new", "k", "v");
  EXPECT_EQ(ReadWholeFile(path), "[a]\nx=2\n[new]\nk=v\n");
}

TEST_F(IniFileTest, LargeValuesAndHighBytesRoundTrip) {
  std::string big(1 << 20, 'v');
  big[1000] = '\xFF';
  ini.WriteString("draft", "MessageText", big);
  EXPECT_EQ(ini.ReadString("draft", "MessageText", ""), big);

  const std::string high = "caf\xE9 \x80\x9F\xA0\xFF";
  ini.WriteString("S\xC9KTION", "k\xE9y", high);
  EXPECT_EQ(ini.ReadString("s\xC9ktion", "K\xE9Y", ""), high);
  // Bytes beyond ASCII are compared exactly.
  EXPECT_EQ(ini.ReadString("s\xE9ktion", "k\xE9y", "none"), "none");
  EXPECT_EQ(ini.ReadString("draft", "MessageText", ""), big);
}

TEST_F(IniFileTest, UnreadableFileGivesDefaultsAndWritesFailWithoutDamage) {
  // A folder where the file should be: cannot be read as a file and must not be replaced.
  std::filesystem::create_directory(path);
  WriteWholeFile(path + "/keep", "content");
  EXPECT_EQ(ini.ReadString("defaults", "from", "def"), "def");
  EXPECT_FALSE(ini.ReadBool("defaults", "AutoSave", false));
  EXPECT_THROW(ini.WriteString("defaults", "from", "x"), EIniFileError);
  EXPECT_THROW(ini.EraseSection("defaults"), EIniFileError);
  EXPECT_EQ(ReadWholeFile(path + "/keep"), "content");
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"tarvik2.ini"});

  // A fifo must not block a read, nor be replaced by a write.
  const std::string fifo = dir.File("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TIniFile fifoIni(fifo);
  EXPECT_EQ(fifoIni.ReadString("a", "b", "def"), "def");
  EXPECT_THROW(fifoIni.WriteString("a", "b", "c"), EIniFileError);

  // A file inside something that is not a folder: the write reports why.
  WriteWholeFile(dir.File("plain"), "x");
  TIniFile blocked(dir.File("plain/tarvik2.ini"));
  EXPECT_EQ(blocked.ReadString("a", "b", "def"), "def");
  try {
    blocked.WriteString("a", "b", "c");
    FAIL() << "write succeeded";
  } catch (const EIniFileError& e) {
    EXPECT_NE(std::string(e.what()).find("plain/tarvik2.ini"), std::string::npos) << e.what();
  }
}

TEST_F(IniFileTest, TextsThatCannotBeStoredOnOneLineAreRefused) {
  WriteWholeFile(path, "[d]\nk=v\n");
  EXPECT_THROW(ini.WriteString("d", "k", "two\nlines"), EIniFileError);
  EXPECT_THROW(ini.WriteString("d", "k", "cr\r"), EIniFileError);
  EXPECT_THROW(ini.WriteString("d", "a=b", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("d", "", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("d", ";k", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("d", "[k", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("d]", "k", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("d\n[x", "k", "v"), EIniFileError);
  EXPECT_EQ(ReadWholeFile(path), "[d]\nk=v\n");
}

TEST_F(IniFileTest, DuplicatesUseTheFirstAndEraseRemovesEveryCopy) {
  WriteWholeFile(path, "[d]\nk=1\nk=2\n[e]\nx=1\n[D]\nk=3\nz=4\n");
  EXPECT_EQ(ini.ReadString("d", "k", ""), "1");
  EXPECT_EQ(ini.ReadString("d", "z", "none"), "none");
  ini.WriteString("d", "k", "9");
  EXPECT_EQ(ini.ReadString("d", "k", ""), "9");
  ini.EraseSection("d");
  EXPECT_EQ(ReadWholeFile(path), "[e]\nx=1\n");
}

TEST_F(IniFileTest, WritesLeaveNoTemporaryFileAndKeepModeAndLinks) {
  WriteWholeFile(path, "[d]\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  for (int i = 0; i < 5; ++i) ini.WriteString("d", "k" + std::to_string(i), "v");
  ini.EraseSection("d");
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"tarvik2.ini"});
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  // Writing through a symbolic link updates the file it points to.
  std::filesystem::create_directory(dir.File("real"));
  WriteWholeFile(dir.File("real/target.ini"), "[d]\n");
  std::filesystem::create_symlink("real/target.ini", dir.File("link.ini"));
  TIniFile linked(dir.File("link.ini"));
  linked.WriteString("d", "k", "v");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
  EXPECT_EQ(ReadWholeFile(dir.File("real/target.ini")), "[d]\nk=v\n");
}

int FailingRename(const char*, const char*) {
  errno = EXDEV;
  return -1;
}

TEST_F(IniFileTest, FailedRenameKeepsTheOriginalAndRemovesTheTemporaryFile) {
  WriteWholeFile(path, "[d]\nk=original\n");
  try {
    ReplaceFileContent(path, "[d]\nk=new\n", &FailingRename);
    FAIL() << "replacement reported success";
  } catch (const EIniFileError& e) {
    EXPECT_NE(std::string(e.what()).find("tarvik2.ini"), std::string::npos);
  }
  EXPECT_EQ(ReadWholeFile(path), "[d]\nk=original\n");
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"tarvik2.ini"});
}

TEST_F(IniFileTest, EveryWriteIsVisibleToAnotherAccessorAtOnce) {
  TIniFile other(path);
  ini.WriteString("d", "k", "1");
  EXPECT_EQ(other.ReadString("d", "k", ""), "1");
  other.WriteString("d", "k", "2");
  EXPECT_EQ(ini.ReadString("d", "k", ""), "2");
}

}  // namespace

namespace {

TEST_F(IniFileTest, ReplaceSectionLeavesWhatEraseAndWritesWouldInOneWriteAndSkipsNoChange) {
  const std::string start = "; kept\n[servers]\nserver1=a\nserver2=b\n[defaults]\nfrom=x\n";
  WriteWholeFile(path, start);
  TIniFile stepwise(dir.File("stepwise.ini"));
  WriteWholeFile(stepwise.FileName(), start);
  stepwise.EraseSection("servers");
  stepwise.WriteString("servers", "server1", "a");
  stepwise.WriteString("servers", "server2", "b=c");
  stepwise.WriteString("servers", "server3", "");

  ini.ReplaceSection("servers", TStringList{"server1=a", "server2=b=c", "server3="});
  EXPECT_EQ(ReadWholeFile(path), ReadWholeFile(stepwise.FileName()));

  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  ini.ReplaceSection("servers", TStringList{"server1=a", "server2=b=c", "server3="});
  struct stat after {};
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // unchanged: no new file renamed into place

  EXPECT_THROW(ini.ReplaceSection("servers", TStringList{"server1=line\nbreak"}), EIniFileError);
  EXPECT_EQ(ini.ReadString("servers", "server2", ""), "b=c");  // refused before any change
}

}  // namespace

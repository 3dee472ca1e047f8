#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/ScriptedFrontEnd.h"
#include "tests/support/TempDir.h"
#include "util/FileUtils.h"
#include "util/KeyUtils.h"

namespace {

// Sets or clears an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(GetExeDir, IsTheFolderOfTheRunningTestProgram) {
  const std::string dir = GetExeDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_EQ(std::filesystem::canonical(dir),
            std::filesystem::canonical(TARVIK_BINARY_DIR "/tests/util"));
}

TEST(GetTempDir, TakesTmpdirAsItIsElseTmp) {
  {
    ScopedEnv env("TMPDIR", "/some/where/");
    EXPECT_EQ(GetTempDir(), "/some/where/");
  }
  {
    ScopedEnv env("TMPDIR", nullptr);
    EXPECT_EQ(GetTempDir(), "/tmp");
  }
  {
    ScopedEnv env("TMPDIR", "");
    EXPECT_EQ(GetTempDir(), "/tmp");
  }
}

TEST(FileCanOpen, FilesYesMissingFilesAndFoldersNo) {
  TestTempDir dir;
  WriteWholeFile(dir.File("book.ini"), "[adresses]\n");
  EXPECT_TRUE(FileCanOpen(dir.File("book.ini")));
  EXPECT_FALSE(FileCanOpen(dir.File("missing.ini")));
  EXPECT_FALSE(FileCanOpen(dir.File("missing/book.ini")));
  EXPECT_FALSE(FileCanOpen(dir.Path()));
  EXPECT_FALSE(FileCanOpen(""));
  // A fifo without a writer must not block the probe.
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_TRUE(FileCanOpen(dir.File("fifo")));
}

TEST(IsKeyDown, FollowsTheFrontEndsKeyStateHighBit) {
  ScriptedFrontEnd frontEnd;
  ScopedFrontEnd scope(frontEnd);
  EXPECT_FALSE(IsKeyDown(16));
  frontEnd.SetKeyDown(16, true);
  EXPECT_TRUE(IsKeyDown(16));
  EXPECT_FALSE(IsKeyDown(17));
  frontEnd.KeyStates[16] = 0x0001;  // toggled, not down
  EXPECT_FALSE(IsKeyDown(16));
  frontEnd.KeyStates[16] = 0x0080;
  EXPECT_TRUE(IsKeyDown(16));
}

}  // namespace

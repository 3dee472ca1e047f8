#include "platform/Shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/TempDir.h"

namespace {

class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) {
    if (const char* old = std::getenv("PATH")) old_ = old;
    ::setenv("PATH", value.c_str(), 1);
  }
  ~ScopedPath() {
    if (old_)
      ::setenv("PATH", old_->c_str(), 1);
    else
      ::unsetenv("PATH");
  }

 private:
  std::optional<std::string> old_;
};

// True when this process has no child left, running or unreaped.
bool NoChildLeft() {
  return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Waits until the file exists (it is renamed into place complete), up to a generous deadline.
bool AwaitFile(const std::string& fileName) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::exists(fileName)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void WriteScript(const std::string& fileName, const std::string& body) {
  WriteWholeFile(fileName, "#!/bin/sh\n" + body);
  ASSERT_EQ(::chmod(fileName.c_str(), 0755), 0);
}

TEST(StartProgram, MissingProgramIsIgnored) {
  TestTempDir dir;
  ScopedPath path(dir.Path());
  StartProgram("vorelclient", "say:tarvik reports: sendmail succeeded");
  StartProgram(dir.File("nowhere/vorelclient"), "x");
  StartProgram("", "x");
  // Not executable: ignored as well.
  WriteWholeFile(dir.File("vorelclient"), "#!/bin/sh\n");
  StartProgram("vorelclient", "x");
  EXPECT_TRUE(NoChildLeft());
}

TEST(StartProgram, RunsTheProgramFromPathWithOneArgumentWithoutWaitingOrZombie) {
  TestTempDir dir;
  const std::string out = dir.File("argument.txt");
  // The program takes its time and writes its argument count and argument.
  WriteScript(dir.File("vorelclient"), "printf '%s|%s' \"$#\" \"$1\" > '" + out + ".tmp' && mv '" +
                                           out + ".tmp' '" + out + "'\n");
  // A folder of the same name earlier on the path is skipped.
  std::filesystem::create_directories(dir.File("first/vorelclient"));
  ScopedPath path(dir.File("first") + ":" + dir.Path() + ":/usr/bin:/bin");
  const std::string argument = "say:tarvik reports: sendmail failed /noresult 'q' \"d\" $HOME";
  StartProgram("vorelclient", argument);
  EXPECT_TRUE(NoChildLeft());  // nothing to wait for, nothing left unreaped
  ASSERT_TRUE(AwaitFile(out));
  EXPECT_EQ(ReadWholeFile(out), "1|" + argument);
}

TEST(StartProgram, AcceptsAPathAndDoesNotPassOurDescriptors) {
  TestTempDir dir;
  const std::string out = dir.File("fds.txt");
  // Lists the program's open descriptors beyond the standard three.
  WriteScript(dir.File("notifier"),
              "ls /proc/$$/fd > '" + out + ".tmp' && mv '" + out + ".tmp' '" + out + "'\n");
  ScopedPath path("/usr/bin:/bin");
  const int extra = ::dup(1);  // an open descriptor without close-on-exec
  ASSERT_GE(extra, 3);
  StartProgram(dir.File("notifier"), "x");
  ::close(extra);
  ASSERT_TRUE(AwaitFile(out));
  const std::string listed = ReadWholeFile(out);
  EXPECT_EQ(listed.find("\n" + std::to_string(extra) + "\n"), std::string::npos) << listed;
}

}  // namespace

namespace {

// A caller that reads our output to its end (x=$(tarvik ...)) must not wait for the program:
// it gets /dev/null for its standard streams and a session of its own.
TEST(StartProgram, TheProgramHoldsNoneOfOurStreamsAndHasItsOwnSession) {
  TestTempDir dir;
  const std::string out = dir.File("streams.txt");
  // Copies of the standard streams are read, as the shell may point its own elsewhere while
  // it runs a command with redirected output.
  WriteScript(dir.File("notifier"), "exec 4<&0 5>&1 6>&2 3>'" + out + ".tmp'\n" +
                                        "readlink /proc/$$/fd/4 /proc/$$/fd/5 /proc/$$/fd/6 >&3\n" +
                                        "cut -d' ' -f6 /proc/$$/stat >&3\n" + "exec 3>&-\nmv '" +
                                        out + ".tmp' '" + out + "'\n");
  ScopedPath path("/usr/bin:/bin");
  StartProgram(dir.File("notifier"), "x");
  ASSERT_TRUE(AwaitFile(out));
  const std::string listed = ReadWholeFile(out);
  EXPECT_EQ(listed.substr(0, listed.find_last_of('\n', listed.size() - 2) + 1),
            "/dev/null\n/dev/null\n/dev/null\n");
  const std::string session = listed.substr(listed.find_last_of('\n', listed.size() - 2) + 1);
  EXPECT_NE(std::stol(session), static_cast<long>(::getsid(0)));
}

}  // namespace

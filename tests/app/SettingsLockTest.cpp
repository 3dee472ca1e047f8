// The settings lock held by another process while a script sends: the send is delivered and
// reported, the wait for the lock at the close is bounded, and SIGTERM ends it at once.
#include <sys/syscall.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"

namespace {

using namespace composertest;
using Clock = std::chrono::steady_clock;

// True when the process is blocked in that system call now (/proc/PID/syscall, which a parent
// may read).
bool InSystemCall(pid_t pid, long number) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  long current = -1;
  return file >> current && current == number;
}

// Watches a state of another process, which sends no event when it gets there.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class SettingsLockTest : public ::testing::Test {
 protected:
  // Another process holding the lock on the settings folder as flock(1) takes it, until this
  // object closes its standard input.
  std::unique_ptr<ChildProcess> HoldLock() const {
    auto holder = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "exec 9<\"$1\" && flock 9 && echo locked && read never", "sh",
                                 folder.Path()},
        CurrentEnvironment(), /*captureError=*/false);
    if (holder->ReadLine() != "locked") throw std::runtime_error("no lock taken");
    return holder;
  }
  std::unique_ptr<ChildProcess> StartSend(const SmtpPeer& server, const std::string& waitMs) const {
    EnvironmentChanges env = PrivateEnvironment(folder, folder.File("tarvik2.ini"));
    env["TARVIK_LOCK_WAIT_MS"] = waitMs;
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{ProgramPath(), "-nogui", "-send", "-server:" + server.Server(),
                                 "-from:ann@example.org", "bob@example.org", "-msg:hello"},
        ChangedEnvironment(env), /*captureError=*/true);
  }
  std::string Warning() const {
    return "The settings were not saved because another process holds them: " +
           folder.File("tarvik2.ini");
  }

  apptest::TempFolder folder;
};

TEST_F(SettingsLockTest, TheSendIsDeliveredAndTheCloseWaitsOnlyUntilTheBound) {
  SmtpPeer server(folder.File("mail"));
  const auto holder = HoldLock();
  const auto started = Clock::now();
  const auto send = StartSend(server, "300");
  std::string out, err;
  EXPECT_EQ(send->Finish(out, err, 20000), 0) << err;
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(8));
  EXPECT_EQ(server.Received(), 1);
  EXPECT_NE(err.find(Warning() + ".\n"), std::string::npos) << err;
}

TEST_F(SettingsLockTest, SigtermEndsTheWaitAtOnceAfterTheSendWasReported) {
  SmtpPeer server(folder.File("mail"));
  const auto holder = HoldLock();
  const auto send = StartSend(server, "600000");
  // The program waits for the lock in sigtimedwait, and nowhere else.
  ASSERT_TRUE(Eventually([&] { return InSystemCall(send->Pid(), SYS_rt_sigtimedwait); }));
  ASSERT_EQ(server.Received(), 1);
  const auto signalled = Clock::now();
  ::kill(send->Pid(), SIGTERM);
  std::string out, err;
  EXPECT_EQ(send->Finish(out, err, 5000), 0) << "the send's outcome: " << err;
  EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(3));
  EXPECT_NE(err.find(Warning() + " (the wait was stopped)."), std::string::npos) << err;
}

}  // namespace

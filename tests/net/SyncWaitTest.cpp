// Synchronous wait: RunAndWait and WaitForFlag pump messages until a handler sets the flag, and
// give up with 12001 on the time limit or a quit message. The last test writes an SMTP-like
// dialogue in blocking style against a loopback server thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "../peers/socks_test_support.h"
#include "net/WSocket.h"
#include "platform/Application.h"

using socks_test::Fd;

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(SyncWait, FlagSetByTheProcReturnsAtOnceWithoutPumping) {
  TWSocket s;
  int dispatched = 0;
  HWND window = AllocateHWnd([&](TMessage&) { ++dispatched; });
  PostMessageA(window, WM_USER + 77, 0, 0);
  bool done = true;  // RunAndWait clears it first
  int calls = 0;
  EXPECT_EQ(s.RunAndWait(
                [&] {
                  EXPECT_FALSE(done);
                  ++calls;
                  done = true;
                },
                done),
            0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(dispatched, 0);
  socks_test::PumpPending();
  EXPECT_EQ(dispatched, 1);
  DeallocateHWnd(window);
}

TEST(SyncWait, TimeLimitGives12001AfterALittleMoreThanIt) {
  TWSocket s;
  s.SetSyncTimeout(500);
  bool done = false;
  const auto start = Clock::now();
  EXPECT_EQ(s.WaitForFlag(done), SYNC_WAIT_TIMEOUT);
  const long elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 500);
  EXPECT_LT(elapsed, 1000);
}

TEST(SyncWait, NoTimeLimitWaitsForTheFlagSetByAnEvent) {
  TWSocket s;  // SyncTimeout 0: no limit
  bool done = false;
  auto& loop = EventLoop::Current();
  auto timer = loop.SetTimer(30, [&] { done = true; });
  const auto start = Clock::now();
  EXPECT_EQ(s.WaitForFlag(done), 0);
  EXPECT_GE(MillisecondsSince(start), 25);
  loop.KillTimer(timer);
}

TEST(SyncWait, QuitMessageSeenByTheOwnPumpEndsTheWait) {
  TWSocket s;
  s.SetMultiThreaded(true);
  auto& loop = EventLoop::Current();
  loop.PostQuitMessage();
  bool done = false;
  EXPECT_EQ(s.WaitForFlag(done), SYNC_WAIT_TIMEOUT);
  EXPECT_TRUE(s.QuitSeen());
  s.ClearQuitSeen();
  loop.ResetTerminated();
}

TEST(SyncWait, ApplicationToldToTerminateEndsTheWait) {
  // In a child process (started afresh, as this process has threads): the terminate flag
  // cannot be taken back.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TWSocket s;
        Application().Terminate();
        bool done = false;
        // _Exit: the child must not run the exit handlers of threads it does not have.
        std::_Exit(s.WaitForFlag(done) == SYNC_WAIT_TIMEOUT ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(SyncWait, TickCountIsMonotonic) {
  const auto a = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto b = GetTickCount();
  EXPECT_GE(static_cast<std::int32_t>(b - a), 19);
}

// The server side of a tiny SMTP-like dialogue on a blocking socket.
void ServeDialogue(int listener, std::string* transcript) {
  Fd c = socks_test::AcceptWithin(listener, 5000);
  if (!c) return;
  auto expectLine = [&](const std::string& want) {
    std::string got;
    while (got.size() < want.size() && socks_test::ReadExactly(c.get(), got, 1)) {
    }
    *transcript += got;
    return got == want;
  };
  socks_test::WriteAll(c.get(), "220 ready\r\n");
  if (!expectLine("HELO tarvik\r\n")) return;
  socks_test::WriteAll(c.get(), "250-hello\r\n250 ok\r\n");
  if (!expectLine("QUIT\r\n")) return;
  socks_test::WriteAll(c.get(), "221 bye\r\n");
}

TEST(SyncWait, SmtpLikeExchangeWrittenWithRunAndWait) {
  int port = 0;
  Fd listener = socks_test::ListenLoopback(port);
  std::string transcript;
  std::thread server(ServeDialogue, listener.get(), &transcript);

  TWSocket s;
  s.SetSyncTimeout(5000);
  s.SetLineMode(true);
  std::string reply;  // the lines of the reply being read
  bool done = false;
  bool closed = false;
  // A reply ends with a line whose fourth byte is a blank.
  s.OnDataAvailable = [&](TCustomWSocket* sock, std::uint16_t) {
    std::string line = sock->ReceiveText();
    reply += line;
    if (line.size() >= 4 && line[3] == ' ') done = true;
  };
  s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) {
    if (e != 0) done = true;
  };
  s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) {
    closed = true;
    done = true;
  };
  auto command = [&](const std::string& line) {
    reply.clear();
    return s.RunAndWait([&] { s.SendText(line); }, done);
  };

  reply.clear();
  ASSERT_EQ(s.RunAndWait(
                [&] {
                  s.SetAddr("localhost");
                  s.SetPort(std::to_string(port));
                  s.Connect();
                },
                done),
            0)
      << SocketStateName(s.State()) << " read " << s.ReadCount() << " buffered "
      << s.LineBufferCount() << " reply " << reply;
  EXPECT_EQ(reply, "220 ready\r\n");
  ASSERT_EQ(command("HELO tarvik\r\n"), 0);
  EXPECT_EQ(reply, "250-hello\r\n250 ok\r\n");
  ASSERT_EQ(command("QUIT\r\n"), 0);
  EXPECT_EQ(reply, "221 bye\r\n");
  // The server closes after its last reply (the close may have come with it already).
  if (!closed) {
    EXPECT_EQ(s.RunAndWait(nullptr, done), 0);
  }
  EXPECT_TRUE(closed);
  server.join();
  EXPECT_EQ(transcript, "HELO tarvik\r\nQUIT\r\n");
}

}  // namespace

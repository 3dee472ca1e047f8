#include "platform/EventLoop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Application.h"
#include "platform/Timer.h"
#include "tests/support/FakeClock.h"
#include "tests/support/PumpUntil.h"

namespace {

constexpr std::uint32_t kNotify = WM_USER + 1;
using namespace std::chrono_literals;

using testsupport::FakeClock;
using testsupport::PumpFor;
using testsupport::PumpUntil;

bool FdReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

struct Recorder {
  std::vector<TMessage> seen;
  HWND window = 0;
  Recorder() {
    window = AllocateHWnd([this](TMessage& m) { seen.push_back(m); });
  }
  ~Recorder() {
    if (window) DeallocateHWnd(window);
  }
  int Count(std::uint32_t event) const {
    int n = 0;
    for (const auto& m : seen)
      if (m.Msg == kNotify && (SelectEvent(m.LParam) & event)) ++n;
    return n;
  }
};

struct SocketPair {
  int fds[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0); }
  ~SocketPair() {
    for (int fd : fds)
      if (fd >= 0) {
        EventLoop::Current().ForgetSocket(fd);
        close(fd);
      }
  }
};

int ListenOnLoopback(std::uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(listen(fd, 5), 0);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

int StartConnect(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  EXPECT_TRUE(rc == 0 || errno == EINPROGRESS);
  return fd;
}

TEST(EventLoopMessages, DeliveredOncePerPostInPostingOrderAndDroppedAfterDestroy) {
  Recorder a, b;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(PostMessageA(a.window, WM_USER + i, i, -i));
    ASSERT_TRUE(PostMessageA(b.window, WM_USER + i, i, i));
  }
  HWND gone = AllocateHWnd([](TMessage&) { FAIL() << "message for a destroyed window"; });
  PostMessageA(gone, WM_USER, 0, 0);
  DeallocateHWnd(gone);
  EXPECT_FALSE(PostMessageA(gone, WM_USER, 0, 0));
  EXPECT_TRUE(EventLoop::Current().ProcessMessages());
  ASSERT_EQ(a.seen.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(a.seen[i].Msg, WM_USER + static_cast<std::uint32_t>(i));
    EXPECT_EQ(a.seen[i].LParam, -i);
  }
  EXPECT_EQ(b.seen.size(), 5u);
  EXPECT_FALSE(EventLoop::Current().ProcessMessages());
}

TEST(EventLoopMessages, HandlerMayPumpAndDestroyItsOwnWindow) {
  std::vector<int> order;
  HWND self = 0;
  Recorder other;
  self = AllocateHWnd([&](TMessage& m) {
    order.push_back(static_cast<int>(m.WParam));
    if (m.WParam == 1) {
      EventLoop::Current().ProcessMessages();  // delivers 2 and the other window's message here
      DeallocateHWnd(self);
    }
  });
  PostMessageA(self, WM_USER, 1, 0);
  PostMessageA(self, WM_USER, 2, 0);
  PostMessageA(other.window, WM_USER, 9, 0);
  PostMessageA(self, WM_USER, 3, 0);
  EventLoop::Current().ProcessMessages();
  EventLoop::Current().ProcessMessages();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));  // 3 arrived inside the handler too
  EXPECT_EQ(other.seen.size(), 1u);
}

TEST(EventLoopMessages, ExceptionFromHandlerGoesToApplicationReport) {
  std::string reported;
  Application().OnException = [&](const std::exception& e) { reported = e.what(); };
  HWND w = AllocateHWnd([](TMessage&) { throw std::runtime_error("boom"); });
  PostMessageA(w, WM_USER, 0, 0);
  EventLoop::Current().ProcessMessages();
  Application().OnException = nullptr;
  DeallocateHWnd(w);
  EXPECT_EQ(reported, "boom");
}

// A handler that posts itself again would hold an unbounded ProcessMessages for ever (a million
// rounds took a quarter of a second): each call takes only what was pending on entry, and the
// loop's descriptor stays readable for what comes after, so a host loop calls again later.
TEST(EventLoopMessages, ProcessMessagesTakesOnlyWhatWasPendingOnEntry) {
  EventLoop& loop = EventLoop::Current();
  int rounds = 0;
  HWND self = 0;
  self = AllocateHWnd([&](TMessage&) {
    ++rounds;
    PostMessageA(self, WM_USER, 0, 0);
  });
  Recorder other;
  PostMessageA(self, WM_USER, 0, 0);
  PostMessageA(other.window, WM_USER, 7, 0);
  EXPECT_TRUE(loop.ProcessMessages());
  EXPECT_EQ(rounds, 1);
  EXPECT_EQ(other.seen.size(), 1u) << "everything pending on entry is dispatched";
  EXPECT_TRUE(FdReadable(loop.Fd())) << "the re-posted message keeps the descriptor readable";
  EXPECT_TRUE(loop.ProcessMessages());
  EXPECT_EQ(rounds, 2);
  DeallocateHWnd(self);
  EXPECT_TRUE(loop.ProcessMessages());  // the last re-post, now for a destroyed window
  EXPECT_FALSE(loop.ProcessMessages());
  EXPECT_FALSE(FdReadable(loop.Fd())) << "an empty loop goes quiet";
}

// A long queue is cut into slices by the budget; the rest stays pending, in order.
TEST(EventLoopMessages, BudgetEndsASliceEarlyAndKeepsTheRestInOrder) {
  EventLoop& loop = EventLoop::Current();
  std::vector<int> order;
  HWND slow = AllocateHWnd([&](TMessage& m) {
    order.push_back(static_cast<int>(m.WParam));
    const auto until = std::chrono::steady_clock::now() + 2ms;
    while (std::chrono::steady_clock::now() < until) {
    }
  });
  for (int i = 0; i < 20; ++i) PostMessageA(slow, WM_USER, i, 0);
  EXPECT_TRUE(loop.ProcessMessages(std::chrono::microseconds(5000)));
  EXPECT_GE(order.size(), 1u);
  EXPECT_LT(order.size(), 20u) << "the slice ended when its budget was spent";
  EXPECT_TRUE(FdReadable(loop.Fd()));
  while (loop.ProcessMessages(std::chrono::microseconds(5000))) {
  }
  ASSERT_EQ(order.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
  DeallocateHWnd(slow);
}

TEST(EventLoopThreads, PostFromAnotherThreadWakesRunAndFdIsReadableWhilePending) {
  EventLoop& loop = EventLoop::Current();
  loop.ResetTerminated();
  EventLoop::Current().ProcessMessages();
  EventLoop::Current().ProcessMessages();  // idle: clears the wake-up
  EXPECT_FALSE(FdReadable(loop.Fd()));
  Recorder r;
  PostMessageA(r.window, WM_USER, 0, 0);
  EXPECT_TRUE(FdReadable(loop.Fd()));
  loop.ProcessMessages();
  loop.ProcessMessages();
  EXPECT_FALSE(FdReadable(loop.Fd()));

  HWND quitter = AllocateHWnd([&](TMessage& m) {
    if (m.WParam == 42) loop.Quit();
  });
  std::thread poster([quitter] {
    std::this_thread::sleep_for(50ms);  // let Run block first
    PostMessageA(quitter, WM_USER, 42, 0);
  });
  auto start = std::chrono::steady_clock::now();
  loop.Run();
  poster.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(loop.Terminated());
  loop.ResetTerminated();
  DeallocateHWnd(quitter);
}

TEST(EventLoopThreads, WmQuitEndsRun) {
  EventLoop& loop = EventLoop::Current();
  loop.ResetTerminated();
  loop.PostQuitMessage();
  loop.Run();
  EXPECT_TRUE(loop.Terminated());
  loop.ResetTerminated();
}

// Under the driven clock a tick comes exactly when its interval is over, never a millisecond
// before; the real clock is then out of the picture.
TEST(EventLoopTimers, FireOnTheIntervalRestartOnEnableAndZeroNeverFires) {
  FakeClock clock(FakeClock::Timers::Driven);
  int ticks = 0, zeroTicks = 0;
  TTimer timer("t", 20, false);
  timer.OnTimer = [&](TTimer*) { ++ticks; };
  TTimer zero("z", 0, true);
  zero.OnTimer = [&](TTimer*) { ++zeroTicks; };
  EXPECT_FALSE(zero.Running());
  // The loop itself keeps a zero interval quiet too, not only TTimer.
  EventLoop::TimerId loopZero = EventLoop::Current().SetTimer(0, [&] { ++zeroTicks; });
  auto ticksAfter = [&](std::chrono::milliseconds step) {
    clock.Advance(step);
    EventLoop::Current().ProcessMessages();
    return ticks;
  };
  timer.SetEnabled(true);
  EXPECT_EQ(ticksAfter(19ms), 0);
  EXPECT_EQ(ticksAfter(1ms), 1);
  EXPECT_EQ(ticksAfter(19ms), 1);
  EXPECT_EQ(ticksAfter(1ms), 2);
  // A late loop gives one tick, not one per interval missed.
  EXPECT_EQ(ticksAfter(100ms), 3);
  timer.SetEnabled(false);
  EXPECT_EQ(ticksAfter(1h), 3);
  EXPECT_EQ(zeroTicks, 0);
  EventLoop::Current().KillTimer(loopZero);

  // Re-enabling restarts the interval: a tick comes one whole interval after the restart.
  timer.SetInterval(80);
  timer.SetEnabled(true);
  EXPECT_EQ(ticksAfter(50ms), 3);
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  EXPECT_EQ(ticksAfter(79ms), 3);
  EXPECT_EQ(ticksAfter(1ms), 4);
}

TEST(EventLoopTimers, RealClockStillDrivesTimersWhenNoneIsSet) {
  int ticks = 0;
  TTimer timer("real", 20, true);
  timer.OnTimer = [&](TTimer*) { ++ticks; };
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 2; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
}

TEST(EventLoopTimers, TimerStoppedInsideItsOwnTickDoesNotFireAgain) {
  FakeClock clock(FakeClock::Timers::Driven);
  int ticks = 0;
  TTimer timer("once", 5, true);
  timer.OnTimer = [&](TTimer* t) {
    ++ticks;
    t->SetEnabled(false);
  };
  clock.Advance(5ms);
  EventLoop::Current().ProcessMessages();
  EXPECT_EQ(ticks, 1);
  clock.Advance(1h);
  EventLoop::Current().ProcessMessages();
  EXPECT_EQ(ticks, 1);
}

TEST(EventLoopSockets, ReadIsReArmedOnlyByAReceive) {
  SocketPair p;
  Recorder r;
  EventLoop& loop = EventLoop::Current();
  ASSERT_EQ(loop.SelectSocket(p.fds[0], r.window, kNotify, FD_READ | FD_WRITE | FD_CLOSE), 0);
  ASSERT_TRUE(PumpUntil([&] { return r.Count(FD_WRITE) == 1; }));  // connected: one FD_WRITE
  ASSERT_EQ(write(p.fds[1], "abc", 3), 3);
  ASSERT_TRUE(PumpUntil([&] { return r.Count(FD_READ) == 1; }));
  ASSERT_EQ(write(p.fds[1], "def", 3), 3);
  PumpFor(30);
  EXPECT_EQ(r.Count(FD_READ), 1);  // not re-armed yet
  char buf[2];
  ASSERT_EQ(read(p.fds[0], buf, 2), 2);
  loop.ReenableSocketEvent(p.fds[0], FD_READ);
  ASSERT_TRUE(PumpUntil([&] { return r.Count(FD_READ) == 2; }));  // data remains: again
  char rest[16];
  ASSERT_EQ(read(p.fds[0], rest, sizeof rest), 4);
  loop.ReenableSocketEvent(p.fds[0], FD_READ);
  PumpFor(30);
  EXPECT_EQ(r.Count(FD_READ), 2);
  EXPECT_EQ(r.Count(FD_WRITE), 1);
  EXPECT_EQ(r.Count(FD_CLOSE), 0);
  for (const auto& m : r.seen) EXPECT_EQ(m.WParam, static_cast<WPARAM>(p.fds[0]));
}

TEST(EventLoopSockets, WriteComesBackOnlyAfterAWouldBlock) {
  SocketPair p;
  Recorder r;
  EventLoop& loop = EventLoop::Current();
  loop.SelectSocket(p.fds[0], r.window, kNotify, FD_READ | FD_WRITE | FD_CLOSE);
  ASSERT_TRUE(PumpUntil([&] { return r.Count(FD_WRITE) == 1; }));
  std::vector<char> block(65536, 'x');
  while (write(p.fds[0], block.data(), block.size()) > 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  loop.ReenableSocketEvent(p.fds[0], FD_WRITE);
  PumpFor(20);
  EXPECT_EQ(r.Count(FD_WRITE), 1);  // still full
  while (read(p.fds[1], block.data(), block.size()) > 0) {
  }
  ASSERT_TRUE(PumpUntil([&] { return r.Count(FD_WRITE) == 2; }));
  PumpFor(20);
  EXPECT_EQ(r.Count(FD_WRITE), 2);
}

TEST(EventLoopSockets, PeerCloseIsReportedOnceAfterTheData) {
  SocketPair p;
  Recorder r;
  EventLoop& loop = EventLoop::Current();
  loop.SelectSocket(p.fds[0], r.window, kNotify, FD_READ | FD_CLOSE);
  ASSERT_EQ(write(p.fds[1], "bye", 3), 3);
  close(p.fds[1]);
  p.fds[1] = -1;
  ASSERT_TRUE(PumpUntil([&] { return r.Count(FD_CLOSE) == 1; }));
  PumpFor(30);
  ASSERT_EQ(r.seen.size(), 2u);
  EXPECT_EQ(SelectEvent(r.seen[0].LParam), FD_READ);
  EXPECT_EQ(SelectEvent(r.seen[1].LParam), FD_CLOSE);
  EXPECT_EQ(SelectError(r.seen[1].LParam), 0u);
  // The reader drains the rest and re-enables: nothing more is reported, and nothing spins.
  char buf[8];
  EXPECT_EQ(read(p.fds[0], buf, sizeof buf), 3);
  loop.ReenableSocketEvent(p.fds[0], FD_READ);
  PumpFor(30);
  EXPECT_EQ(r.seen.size(), 2u);
}

TEST(EventLoopSockets, ConnectAndAcceptNotifications) {
  std::uint16_t port = 0;
  int listener = ListenOnLoopback(port);
  Recorder server, client;
  EventLoop& loop = EventLoop::Current();
  loop.SelectSocket(listener, server.window, kNotify, FD_ACCEPT | FD_READ | FD_CLOSE);
  int c1 = StartConnect(port);
  loop.SelectSocket(c1, client.window, kNotify, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
  loop.SocketConnectStarted(c1);
  int c2 = StartConnect(port);
  ASSERT_TRUE(
      PumpUntil([&] { return client.Count(FD_CONNECT) == 1 && server.Count(FD_ACCEPT) == 1; }));
  EXPECT_EQ(SelectError(client.seen[0].LParam), 0u);
  ASSERT_TRUE(PumpUntil([&] { return client.Count(FD_WRITE) == 1; }));
  PumpFor(20);
  EXPECT_EQ(server.Count(FD_ACCEPT), 1);  // re-armed only by an accept
  int a1 = accept(listener, nullptr, nullptr);
  ASSERT_GE(a1, 0);
  loop.ReenableSocketEvent(listener, FD_ACCEPT);
  ASSERT_TRUE(PumpUntil([&] { return server.Count(FD_ACCEPT) == 2; }));
  int a2 = accept(listener, nullptr, nullptr);
  ASSERT_GE(a2, 0);
  loop.ReenableSocketEvent(listener, FD_ACCEPT);
  PumpFor(20);
  EXPECT_EQ(server.Count(FD_ACCEPT), 2);
  EXPECT_EQ(client.Count(FD_CONNECT), 1);
  for (int fd : {listener, c1, c2, a1, a2}) {
    loop.ForgetSocket(fd);
    close(fd);
  }
}

TEST(EventLoopSockets, RefusedConnectGivesOneConnectWithTheErrorAndNoClose) {
  std::uint16_t port = 0;
  int listener = ListenOnLoopback(port);
  close(listener);  // nothing listens there any more
  Recorder r;
  EventLoop& loop = EventLoop::Current();
  int c = StartConnect(port);
  loop.SelectSocket(c, r.window, kNotify, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
  loop.SocketConnectStarted(c);
  ASSERT_TRUE(PumpUntil([&] { return r.Count(FD_CONNECT) == 1; }));
  PumpFor(30);
  ASSERT_EQ(r.seen.size(), 1u);
  EXPECT_EQ(SelectError(r.seen[0].LParam), static_cast<std::uint32_t>(ECONNREFUSED))
      << "without a translation the error word is the errno";
  loop.ForgetSocket(c);
  close(c);
}

TEST(EventLoopSockets, ResetPeerReportsCloseWithTheTranslatedError) {
  std::uint16_t port = 0;
  int listener = ListenOnLoopback(port);
  int c = StartConnect(port);
  Recorder r;
  EventLoop& loop = EventLoop::Current();
  auto translate = [](int err) -> std::uint32_t { return err == ECONNRESET ? 0x1234 : 0xFFFF; };
  loop.SelectSocket(c, r.window, kNotify, FD_CONNECT | FD_READ | FD_CLOSE, translate);
  loop.SocketConnectStarted(c);
  ASSERT_TRUE(PumpUntil([&] { return r.Count(FD_CONNECT) == 1; }));
  int a = -1;
  ASSERT_TRUE(PumpUntil([&] { return (a = accept(listener, nullptr, nullptr)) >= 0; }));
  linger hard{1, 0};
  setsockopt(a, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(a);
  ASSERT_TRUE(PumpUntil([&] { return r.Count(FD_CLOSE) == 1; }));
  PumpFor(20);
  EXPECT_EQ(r.Count(FD_CLOSE), 1);
  EXPECT_EQ(SelectError(r.seen.back().LParam), 0x1234u);
  EXPECT_EQ(SelectError(r.seen.front().LParam), 0u) << "success is 0, never translated";
  loop.ForgetSocket(c);
  close(c);
  close(listener);
}

TEST(EventLoopSockets, ForgetDropsQueuedNotifications) {
  SocketPair p;
  Recorder r;
  EventLoop& loop = EventLoop::Current();
  loop.SelectSocket(p.fds[0], r.window, kNotify, FD_READ | FD_WRITE);
  PostMessageA(r.window, kNotify, static_cast<WPARAM>(p.fds[0]), MakeSelectLParam(FD_WRITE, 0));
  PostMessageA(r.window, WM_USER + 7, 0, 0);
  loop.ForgetSocket(p.fds[0]);
  loop.ProcessMessages();
  ASSERT_EQ(r.seen.size(), 1u);
  EXPECT_EQ(r.seen[0].Msg, WM_USER + 7);
}

}  // namespace

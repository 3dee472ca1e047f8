// Asynchronous name and address lookups through the lookup worker.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <sys/wait.h>

#include <condition_variable>
#include <csignal>
#include <mutex>

#include "NetTestSupport.h"

using namespace nettest;

// The parent's worker thread leaves its thread-exit bookkeeping behind in a forked child, which
// LeakSanitizer would count there; the leak check of the test process itself stays on.
static int g_inForkedChild = 0;
extern "C" int __lsan_is_turned_off() {
  return g_inForkedChild;
}

namespace {

// A name service whose answer for "slow.test" waits until the test releases it.
struct GatedNames {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
  bool slowStarted = false;
  GatedNames() {
    SetNameService(
        [this](const std::string& name, Winsock::HostEntry& out) {
          if (name == "slow.test") {
            std::unique_lock lock(mutex);
            slowStarted = true;
            cv.notify_all();
            cv.wait(lock, [this] { return released; });
          }
          if (name == "unknown.test") return WSAHOST_NOT_FOUND;
          out.Name = name;
          if (name == "three.test") {
            for (const char* a : {"10.0.0.3", "10.0.0.1", "10.0.0.2"})
              out.Addresses.push_back(::inet_addr(a));
          } else {
            out.Addresses.push_back(::inet_addr(name == "slow.test" ? "10.9.9.9" : "10.1.1.1"));
          }
          return 0;
        },
        [](in_addr_t addr, Winsock::HostEntry& out) {
          if (addr != ::inet_addr("10.1.1.1")) return WSAHOST_NOT_FOUND;
          out.Name = "host.test";
          return 0;
        });
  }
  void WaitSlowStarted() {
    std::unique_lock lock(mutex);
    cv.wait(lock, [this] { return slowStarted; });
  }
  void Release() {
    std::lock_guard lock(mutex);
    released = true;
    cv.notify_all();
  }
  ~GatedNames() {
    Release();
    // Let the worker finish with this service before it goes: one more lookup in order.
    TWSocket s;
    bool done = false;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { done = true; };
    s.LookupHost("after.test");
    PumpUntil([&] { return done; });
    ResetNameService();
  }
};

struct LookupLog {
  std::vector<int> errors;
  void Attach(TCustomWSocket& s) {
    s.OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) { errors.push_back(e); };
  }
};

}  // namespace

TEST(Lookup, DottedAddressCompletesInsideTheCall) {
  TWSocket s;
  LookupLog log;
  log.Attach(s);
  s.LookupHost("127.0.0.1");
  EXPECT_EQ(log.errors, std::vector<int>{0});
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_EQ(s.DnsResultList().Count(), 0);
}

TEST(Lookup, LocalhostCompletesFromTheLoop) {
  TWSocket s;
  LookupLog log;
  log.Attach(s);
  s.LookupHost("localhost");
  EXPECT_TRUE(log.errors.empty()) << "not inside the call";
  ASSERT_TRUE(PumpUntil([&] { return !log.errors.empty(); }));
  EXPECT_EQ(log.errors, std::vector<int>{0});
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  ASSERT_GE(s.DnsResultList().Count(), 1);
  EXPECT_EQ(s.DnsResultList()[0], "127.0.0.1");
}

TEST(Lookup, AllAddressesInOrderAndUnknownNames) {
  GatedNames names;
  TWSocket s;
  LookupLog log;
  log.Attach(s);
  s.LookupHost("three.test");
  ASSERT_TRUE(PumpUntil([&] { return log.errors.size() == 1; }));
  EXPECT_EQ(log.errors[0], 0);
  EXPECT_EQ(s.DnsResultList().Lines(),
            (std::vector<std::string>{"10.0.0.3", "10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(s.DnsResult(), "10.0.0.3");

  s.LookupHost("unknown.test");
  EXPECT_EQ(s.DnsResult(), "") << "cleared when a lookup starts";
  ASSERT_TRUE(PumpUntil([&] { return log.errors.size() == 2; }));
  EXPECT_EQ(log.errors[1], WSAHOST_NOT_FOUND);
  EXPECT_EQ(s.DnsResultList().Count(), 0);

  s.LookupAddr("10.1.1.1");
  ASSERT_TRUE(PumpUntil([&] { return log.errors.size() == 3; }));
  EXPECT_EQ(log.errors[2], 0);
  EXPECT_EQ(s.DnsResult(), "host.test");
  EXPECT_EQ(s.DnsResultList().Lines(), std::vector<std::string>{"host.test"});
}

TEST(Lookup, SecondLookupReplacesAPendingOne) {
  GatedNames names;
  TWSocket s;
  LookupLog log;
  log.Attach(s);
  s.LookupHost("slow.test");
  names.WaitSlowStarted();
  s.LookupHost("fast.test");
  names.Release();
  ASSERT_TRUE(PumpUntil([&] { return !log.errors.empty(); }));
  EXPECT_EQ(s.DnsResult(), "10.1.1.1");
  // The worker serves in order: once a later lookup is done, nothing of the first can follow.
  TWSocket witness;
  bool witnessDone = false;
  witness.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { witnessDone = true; };
  witness.LookupHost("after.test");
  ASSERT_TRUE(PumpUntil([&] { return witnessDone; }));
  PumpIdle();
  EXPECT_EQ(log.errors, std::vector<int>{0}) << "exactly one completion, for the second name";
  EXPECT_EQ(s.DnsResult(), "10.1.1.1");
}

TEST(Lookup, CancelLookupGives10004AndDropsTheResult) {
  GatedNames names;
  TWSocket s;
  LookupLog log;
  log.Attach(s);
  s.CancelLookup();
  EXPECT_TRUE(log.errors.empty()) << "nothing pending: nothing happens";
  s.LookupHost("slow.test");
  names.WaitSlowStarted();
  s.CancelLookup();
  EXPECT_EQ(log.errors, std::vector<int>{WSAEINTR});
  names.Release();
  TWSocket witness;
  bool witnessDone = false;
  witness.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { witnessDone = true; };
  witness.LookupHost("after.test");
  ASSERT_TRUE(PumpUntil([&] { return witnessDone; }));
  PumpIdle();
  EXPECT_EQ(log.errors, std::vector<int>{WSAEINTR});
  EXPECT_EQ(s.DnsResult(), "");
}

// A lookup that has failed on the worker but whose completion still waits in the queue is
// pending for its owner: cancelling it is the ordinary cancel, not a socket error.
TEST(Lookup, CancelAfterAFailedLookupFinishedButBeforeItsCompletionIsHandled) {
  GatedNames names;
  TWSocket s;
  LookupLog log;
  log.Attach(s);
  PumpIdle();  // a quiet loop: its descriptor turns readable only for the completion below
  s.LookupHost("unknown.test");
  pollfd loop{EventLoop::Current().Fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&loop, 1, 5000), 1) << "the failed lookup's completion was posted";
  EXPECT_NO_THROW(s.CancelLookup());
  EXPECT_EQ(log.errors, std::vector<int>{WSAEINTR});
  PumpIdle();
  EXPECT_EQ(log.errors, std::vector<int>{WSAEINTR}) << "the queued completion is dropped";
}

TEST(Lookup, DestroyingASocketWithAPendingLookupIsSafe) {
  GatedNames names;
  int events = 0;
  {
    TWSocket s;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { ++events; };
    s.LookupHost("slow.test");
    names.WaitSlowStarted();
  }
  names.Release();
  PumpIdle();
  EXPECT_EQ(events, 0);
}

TEST(Lookup, EmptyNameIsReported) {
  TWSocket s;
  LookupLog log;
  log.Attach(s);
  try {
    s.LookupHost("");
    ADD_FAILURE();
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "DNS lookup: invalid host name.");
  }
  EXPECT_TRUE(log.errors.empty());
  s.OnError = [](TCustomWSocket*) {};
  s.LookupHost("");
  EXPECT_EQ(log.errors, std::vector<int>{WSAEINVAL});
}

TEST(Lookup, AForkedChildLooksUpAndExitsCleanly) {
  TWSocket s;
  LookupLog log;
  log.Attach(s);
  s.LookupHost("localhost");  // the worker thread now exists in this process
  ASSERT_TRUE(PumpUntil([&] { return !log.errors.empty(); }));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child has no worker thread; its lookups and its exit must not wait for one.
    g_inForkedChild = 1;
    TWSocket inChild;
    bool done = false;
    inChild.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done = e == 0; };
    inChild.LookupHost("localhost");
    bool ok = PumpUntil([&] { return done; });
    std::exit(ok ? 0 : 3);  // runs the static destructors, the worker's among them
  }
  int status = -1;
  RawFd exited(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
  pollfd p{exited.Get(), POLLIN, 0};
  if (::poll(&p, 1, 20000) != 1) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "the child hung";
  }
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Sending 500,000 lines of 62 bytes to a loopback reader thread through the socket object:
//  - SendTextPerOnDataSent: one line with SendText, the next one only after OnDataSent (the
//    SMTP body transfer as it was);
//  - QueuedBatchPerOnDataSent: lines queued with QueueSendData until about 63 KB wait, one Send
//    for the batch, the next batch after OnDataSent (the SMTP body transfer now);
// compared in the same run with plain loops on a blocking socket: send() once per line, and
// send() of 62 KB of lines at a time. Reports bytes per second, system calls per line on the
// sending thread (counted by wrappers around the libc calls the socket layer and the event loop
// make) and the ratios.
//
//   cmake -S . -B build-net-bench -DCMAKE_BUILD_TYPE=Release -DTARVIK_BENCH=ON
//   cmake --build build-net-bench --target bench_net_send_lines -j2
//   build-net-bench/bench/bench_net_send_lines
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "net/WSocket.h"
#include "platform/EventLoop.h"

namespace {

constexpr int kLines = 500000;
const std::string kLine = std::string(60, 'x').replace(0, 23, "Subject: line transfer ") + "\r\n";

// ---- counting the sending thread's system calls ----

thread_local bool t_counting = false;
std::map<std::string, long> g_calls;

void Count(const char* name) {
  if (t_counting) ++g_calls[name];
}

template <typename F>
F Real(const char* name) {
  static_assert(sizeof(F) == sizeof(void*));
  void* p = dlsym(RTLD_NEXT, name);
  F f;
  std::memcpy(&f, &p, sizeof f);
  return f;
}

long TotalCalls() {
  long total = 0;
  for (const auto& [name, n] : g_calls) total += n;
  return total;
}

// ---- the loopback reader ----

struct Reader {
  int listener = -1;
  int port = 0;
  std::atomic<long> received{0};
  std::thread thread;

  Reader() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 4);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread = std::thread([this] {
      int fd = ::accept(listener, nullptr, nullptr);
      static char buf[1 << 16];
      for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        received += n;
      }
      ::close(fd);
    });
  }
  void WaitFor(long bytes) const {
    while (received.load() < bytes) std::this_thread::yield();
  }
  ~Reader() {
    thread.join();
    ::close(listener);
  }
};

// Seconds per run, by TCP_NODELAY off (0) and on (1): the SMTP client switches Nagle off.
double g_socketSeconds[2] = {}, g_plainSeconds[2] = {};

void SetNoDelay(int fd, bool on) {
  int value = on ? 1 : 0;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
}

// Context switches of the calling thread: voluntary (it blocked) and involuntary (preempted).
struct Switches {
  long voluntary = 0, involuntary = 0;
};
Switches ContextSwitches() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return {usage.ru_nvcsw, usage.ru_nivcsw};
}
Switches g_switchesAtStart;

void SetCounters(benchmark::State& state, double seconds, long calls) {
  Switches now = ContextSwitches();
  state.counters["vswitch_per_line"] =
      static_cast<double>(now.voluntary - g_switchesAtStart.voluntary) / kLines;
  state.counters["iswitch_per_line"] =
      static_cast<double>(now.involuntary - g_switchesAtStart.involuntary) / kLines;
  state.SetBytesProcessed(static_cast<std::int64_t>(kLines) *
                          static_cast<std::int64_t>(kLine.size()));
  state.counters["syscalls_per_line"] = static_cast<double>(calls) / kLines;
  state.counters["lines_per_s"] = kLines / seconds;
}

void BM_SendTextPerOnDataSent(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto reader = std::make_unique<Reader>();
    auto socket = std::make_unique<TWSocket>();
    socket->SetAddr("127.0.0.1");
    socket->SetPort(std::to_string(reader->port));
    bool connected = false;
    socket->OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { connected = e == 0; };
    // The handler captures one pointer, as a client object's member handler would.
    struct Transfer {
      int sent = 0;
      bool started = false;
      void DataSent(TCustomWSocket* s) {
        if (!started) return;
        if (sent == kLines) {
          EventLoop::Current().Quit();
          return;
        }
        ++sent;
        s->SendText(kLine);
      }
    } transfer;
    socket->OnDataSent = [t = &transfer](TCustomWSocket* s, std::uint16_t) { t->DataSent(s); };
    socket->Connect();
    while (!connected) EventLoop::Current().ProcessMessages();
    SetNoDelay(socket->HSocket(), state.range(0) != 0);
    EventLoop::Current().ProcessMessages();  // the connection's own OnDataSent
    g_calls.clear();
    g_switchesAtStart = ContextSwitches();
    state.ResumeTiming();

    auto begin = std::chrono::steady_clock::now();
    t_counting = true;
    transfer.started = true;
    ++transfer.sent;
    socket->SendText(kLine);
    EventLoop::Current().Run();
    t_counting = false;
    reader->WaitFor(static_cast<long>(kLines) * static_cast<long>(kLine.size()));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    state.PauseTiming();
    EventLoop::Current().ResetTerminated();
    g_socketSeconds[state.range(0)] = seconds;
    SetCounters(state, seconds, TotalCalls());
    for (const auto& [name, n] : g_calls)
      state.counters["calls_" + name] = static_cast<double>(n) / kLines;
    socket->Close();
    socket.reset();
    reader.reset();
    state.ResumeTiming();
  }
}

constexpr int kBatchBytes = 4 * 16384 - 1024;  // as the SMTP client's SendBatchBytes
double g_batchSeconds = 0, g_plainBatchSeconds = 0;

void BM_QueuedBatchPerOnDataSent(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto reader = std::make_unique<Reader>();
    auto socket = std::make_unique<TWSocket>();
    socket->SetAddr("127.0.0.1");
    socket->SetPort(std::to_string(reader->port));
    bool connected = false;
    socket->OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { connected = e == 0; };
    struct Transfer {
      int queued = 0;
      bool started = false;
      void DataSent(TCustomWSocket* s) {
        if (!started) return;
        if (queued == kLines) {
          EventLoop::Current().Quit();
          return;
        }
        while (queued < kLines && s->BufferedByteCount() < kBatchBytes) {
          s->QueueSendData(kLine.data(), static_cast<int>(kLine.size()));
          ++queued;
        }
        s->Send(nullptr, 0);
      }
    } transfer;
    socket->OnDataSent = [t = &transfer](TCustomWSocket* s, std::uint16_t) { t->DataSent(s); };
    socket->Connect();
    while (!connected) EventLoop::Current().ProcessMessages();
    SetNoDelay(socket->HSocket(), true);
    EventLoop::Current().ProcessMessages();  // the connection's own OnDataSent
    g_calls.clear();
    g_switchesAtStart = ContextSwitches();
    state.ResumeTiming();

    auto begin = std::chrono::steady_clock::now();
    t_counting = true;
    transfer.started = true;
    transfer.DataSent(socket.get());
    EventLoop::Current().Run();
    t_counting = false;
    reader->WaitFor(static_cast<long>(kLines) * static_cast<long>(kLine.size()));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    state.PauseTiming();
    EventLoop::Current().ResetTerminated();
    g_batchSeconds = seconds;
    SetCounters(state, seconds, TotalCalls());
    socket->Close();
    socket.reset();
    reader.reset();
    state.ResumeTiming();
  }
}

void BM_PlainBatchLoop(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto reader = std::make_unique<Reader>();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(reader->port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    SetNoDelay(fd, true);
    static char batch[62 * 1024];
    g_calls.clear();
    g_switchesAtStart = ContextSwitches();
    state.ResumeTiming();

    auto begin = std::chrono::steady_clock::now();
    t_counting = true;
    std::size_t used = 0;
    for (int i = 0; i < kLines; ++i) {
      std::memcpy(batch + used, kLine.data(), kLine.size());
      used += kLine.size();
      if (used + kLine.size() > sizeof batch || i + 1 == kLines) {
        for (std::size_t done = 0; done < used;) {
          const ssize_t n = ::send(fd, batch + done, used - done, MSG_NOSIGNAL);
          if (n <= 0) break;
          done += static_cast<std::size_t>(n);
        }
        used = 0;
      }
    }
    t_counting = false;
    reader->WaitFor(static_cast<long>(kLines) * static_cast<long>(kLine.size()));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    state.PauseTiming();
    g_plainBatchSeconds = seconds;
    SetCounters(state, seconds, TotalCalls());
    ::close(fd);
    reader.reset();
    state.ResumeTiming();
  }
}

void BM_PlainSendLoop(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto reader = std::make_unique<Reader>();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(reader->port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    SetNoDelay(fd, state.range(0) != 0);
    g_calls.clear();
    g_switchesAtStart = ContextSwitches();
    state.ResumeTiming();

    auto begin = std::chrono::steady_clock::now();
    t_counting = true;
    for (int i = 0; i < kLines; ++i) ::send(fd, kLine.data(), kLine.size(), MSG_NOSIGNAL);
    t_counting = false;
    reader->WaitFor(static_cast<long>(kLines) * static_cast<long>(kLine.size()));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    state.PauseTiming();
    g_plainSeconds[state.range(0)] = seconds;
    SetCounters(state, seconds, TotalCalls());
    ::close(fd);
    reader.reset();
    state.ResumeTiming();
  }
}

}  // namespace

// Counting wrappers: the executable's definitions come before libc's for every caller in it.
extern "C" {
ssize_t send(int fd, const void* buf, size_t len, int flags) {
  static auto real = Real<ssize_t (*)(int, const void*, size_t, int)>("send");
  Count("send");
  return real(fd, buf, len, flags);
}
ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  static auto real = Real<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
  Count("sendmsg");
  return real(fd, message, flags);
}
ssize_t recv(int fd, void* buf, size_t len, int flags) {
  static auto real = Real<ssize_t (*)(int, void*, size_t, int)>("recv");
  Count("recv");
  return real(fd, buf, len, flags);
}
ssize_t read(int fd, void* buf, size_t len) {
  static auto real = Real<ssize_t (*)(int, void*, size_t)>("read");
  Count("read");
  return real(fd, buf, len);
}
ssize_t write(int fd, const void* buf, size_t len) {
  static auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  Count("write");
  return real(fd, buf, len);
}
int epoll_wait(int epfd, epoll_event* events, int maxevents, int timeout) {
  static auto real = Real<int (*)(int, epoll_event*, int, int)>("epoll_wait");
  Count("epoll_wait");
  return real(epfd, events, maxevents, timeout);
}
int epoll_ctl(int epfd, int op, int fd, epoll_event* event) {
  static auto real = Real<int (*)(int, int, int, epoll_event*)>("epoll_ctl");
  Count("epoll_ctl");
  return real(epfd, op, fd, event);
}
int ioctl(int fd, unsigned long request, ...) {
  static auto real = Real<int (*)(int, unsigned long, void*)>("ioctl");
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  Count("ioctl");
  return real(fd, request, arg);
}
int getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
  static auto real = Real<int (*)(int, int, int, void*, socklen_t*)>("getsockopt");
  Count("getsockopt");
  return real(fd, level, name, value, len);
}
int poll(pollfd* fds, nfds_t n, int timeout) {
  static auto real = Real<int (*)(pollfd*, nfds_t, int)>("poll");
  Count("poll");
  return real(fds, n, timeout);
}
}

BENCHMARK(BM_PlainSendLoop)
    ->ArgName("nodelay")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SendTextPerOnDataSent)
    ->ArgName("nodelay")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK(BM_PlainBatchLoop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueuedBatchPerOnDataSent)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (int nodelay = 0; nodelay < 2; ++nodelay)
    if (g_plainSeconds[nodelay] > 0 && g_socketSeconds[nodelay] > 0)
      std::printf("nodelay=%d: SendText per OnDataSent takes %.2f times the plain loop's time\n",
                  nodelay, g_socketSeconds[nodelay] / g_plainSeconds[nodelay]);
  if (g_batchSeconds > 0 && g_plainSeconds[1] > 0 && g_plainBatchSeconds > 0)
    std::printf(
        "queued batches per OnDataSent take %.2f times the per-line loop's time and %.2f times "
        "the 62 KB loop's\n",
        g_batchSeconds / g_plainSeconds[1], g_batchSeconds / g_plainBatchSeconds);
  return 0;
}

// Cost of the event loop's two hot paths: one posted message (post plus dispatch) and one
// socket notification round trip (data written, FD_READ posted and dispatched, read, re-armed).
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/EventLoop.h"

namespace {

void BM_PostAndProcessMessages(benchmark::State& state) {
  EventLoop& loop = EventLoop::Current();
  std::int64_t delivered = 0;
  HWND w = AllocateHWnd([&](TMessage&) { ++delivered; });
  for (auto _ : state) {
    PostMessageA(w, WM_USER, 0, 0);
    loop.ProcessMessages();
  }
  DeallocateHWnd(w);
  if (delivered != state.iterations()) state.SkipWithError("lost messages");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostAndProcessMessages);

// The pattern of a socket's own deferred notification: each handler posts the next message,
// and Run dispatches it.
void BM_PostFromHandlerInRun(benchmark::State& state) {
  EventLoop& loop = EventLoop::Current();
  std::int64_t remaining = 0;
  HWND w = 0;
  w = AllocateHWnd([&](TMessage&) {
    if (--remaining > 0)
      PostMessageA(w, WM_USER, 0, 0);
    else
      loop.Quit();
  });
  constexpr std::int64_t kBatch = 100000;
  for (auto _ : state) {
    remaining = kBatch;
    loop.ResetTerminated();
    PostMessageA(w, WM_USER, 0, 0);
    loop.Run();
  }
  loop.ResetTerminated();
  DeallocateHWnd(w);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PostFromHandlerInRun)->Unit(benchmark::kMillisecond);

void BM_SocketNotificationRoundTrip(benchmark::State& state) {
  EventLoop& loop = EventLoop::Current();
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds);
  bool got = false;
  char byte = 'x';
  HWND w = AllocateHWnd([&](TMessage& m) {
    if (SelectEvent(m.LParam) & FD_READ) {
      got = read(fds[0], &byte, 1) == 1;
      loop.ReenableSocketEvent(fds[0], FD_READ);
    }
  });
  loop.SelectSocket(fds[0], w, WM_USER + 1, FD_READ);
  for (auto _ : state) {
    got = false;
    if (write(fds[1], &byte, 1) != 1) state.SkipWithError("write failed");
    while (!got) loop.ProcessMessages();
  }
  loop.ForgetSocket(fds[0]);
  close(fds[0]);
  close(fds[1]);
  DeallocateHWnd(w);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SocketNotificationRoundTrip);

}  // namespace

BENCHMARK_MAIN();

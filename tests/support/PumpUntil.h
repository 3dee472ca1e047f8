// Waiting for the event loop in tests: the one way to run the calling thread's loop until
// something happened. It waits on the loop's descriptor in between, so nothing sleeps for a
// fixed time, and the bound is only there to end a test that would otherwise hang.
#pragma once

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "platform/EventLoop.h"

namespace testsupport {

// Dispatches the loop until done() holds; false once milliseconds have passed without it.
inline bool PumpUntil(const std::function<bool()>& done, int milliseconds = 20000) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  EventLoop& loop = EventLoop::Current();
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    if (!loop.ProcessMessages()) {
      pollfd p{loop.Fd(), POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 20)));
    }
  }
  return true;
}

// Dispatches whatever arrives during the next milliseconds: for asserting that something
// does NOT happen (a second notification, a late event).
inline void PumpFor(int milliseconds) {
  PumpUntil([] { return false; }, milliseconds);
}

}  // namespace testsupport

// The one fake clock of the tests: the event loop's timers (when it drives them) and clients
// that take a clock (SetClock) read the time the test sets, so an interval or a bound of
// minutes is proven to the millisecond without waiting for it. It starts at the real time.
#pragma once

#include <chrono>
#include <functional>

#include "platform/EventLoop.h"

namespace testsupport {

class FakeClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  enum class Timers { Real, Driven };
  // Driven: the calling thread's loop reads this clock for its timers while the object lives.
  explicit FakeClock(Timers timers = Timers::Real) : drivesLoop_(timers == Timers::Driven) {
    if (drivesLoop_) EventLoop::Current().SetTimeSource(Clock());
  }
  ~FakeClock() {
    if (drivesLoop_) EventLoop::Current().SetTimeSource({});
  }
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  std::function<TimePoint()> Clock() const {
    return [this] { return now_; };
  }
  // Moves the time on; loop timers that fall due are queued for the next dispatch.
  void Advance(std::chrono::steady_clock::duration by) {
    now_ += by;
    if (drivesLoop_) EventLoop::Current().TimeMoved();
  }

 private:
  bool drivesLoop_;
  TimePoint now_ = std::chrono::steady_clock::now();
};

}  // namespace testsupport

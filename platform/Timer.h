// TTimer: a timer on the calling thread's event loop.
// Interval in milliseconds (default 1000), Enabled (default true), OnTimer fired on the loop's
// thread. An interval of 0 never fires; enabling a timer or changing its interval restarts
// the interval.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/EventLoop.h"

class TTimer {
 public:
  explicit TTimer(std::string name = {}, std::uint32_t intervalMs = 1000, bool enabled = true);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  const std::string& Name() const { return name_; }
  std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t intervalMs);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  // True while the timer is enabled with a non-zero interval (it will fire).
  bool Running() const { return id_ != 0; }

  std::function<void(TTimer* Sender)> OnTimer;

 private:
  void Update();

  std::string name_;
  std::uint32_t interval_;
  bool enabled_;
  EventLoop::TimerId id_ = 0;
};

#include "platform/Timer.h"

TTimer::TTimer(std::string name, std::uint32_t intervalMs, bool enabled)
    : name_(std::move(name)), interval_(intervalMs), enabled_(enabled) {
  Update();
}

TTimer::~TTimer() {
  if (id_ != 0) EventLoop::Current().KillTimer(id_);
}

void TTimer::SetInterval(std::uint32_t intervalMs) {
  if (intervalMs == interval_) return;
  interval_ = intervalMs;
  Update();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Update();
}

// Like the toolkit's timer: every change kills the running timer and starts a new one, so the
// interval restarts; an interval of 0 means no timer at all.
void TTimer::Update() {
  EventLoop& loop = EventLoop::Current();
  if (id_ != 0) loop.KillTimer(id_);
  id_ = 0;
  if (!enabled_ || interval_ == 0) return;
  id_ = loop.SetTimer(interval_, [this] {
    if (OnTimer) OnTimer(this);
  });
}

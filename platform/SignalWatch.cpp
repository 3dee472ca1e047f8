#include "platform/SignalWatch.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/EventLoop.h"

namespace {

sigset_t SetOf(std::initializer_list<int> numbers) {
  sigset_t set;
  sigemptyset(&set);
  for (int number : numbers) sigaddset(&set, number);
  return set;
}

}  // namespace

void BlockSignals(std::initializer_list<int> numbers) {
  const sigset_t set = SetOf(numbers);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void UnblockSignals(std::initializer_list<int> numbers) {
  const sigset_t set = SetOf(numbers);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

TSignalWatch::TSignalWatch(std::initializer_list<int> numbers,
                           std::function<void(int signal)> onSignal)
    : onSignal_(std::move(onSignal)) {
  const sigset_t set = SetOf(numbers);
  ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
  fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd_ >= 0 && EventLoop::Current().WatchReadable(fd_, [this] { ReadSignals(); }) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (fd_ < 0) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

TSignalWatch::~TSignalWatch() {
  if (fd_ < 0) return;
  EventLoop::Current().UnwatchReadable(fd_);
  ::close(fd_);
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void TSignalWatch::ReadSignals() {
  signalfd_siginfo info{};
  // All that wait are read first: the handler may end the watch.
  int arrived[8];
  int count = 0;
  while (count < 8 && ::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    arrived[count++] = static_cast<int>(info.ssi_signo);
  const std::function<void(int)> onSignal = onSignal_;
  for (int i = 0; i < count; ++i) onSignal(arrived[i]);
}

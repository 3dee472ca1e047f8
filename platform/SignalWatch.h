// Signals taken as events of the thread's event loop instead of in a signal handler: they are
// blocked and read from a signalfd that the loop watches, so the handler runs from the loop
// like any other event and may do anything an event handler does (save a file, close the
// window).
//
// A signal sent to the process reaches a signalfd only when every thread blocks it; otherwise
// a thread that does not takes the default action (for SIGTERM: the end of the process). Call
// BlockSignals in the main thread before any other thread starts (a toolkit starts its own),
// so that all of them inherit the mask. Programs started later get an empty mask (Shell.h).
#pragma once

#include <signal.h>

#include <functional>
#include <initializer_list>

// Blocks the signals in the calling thread (and in the threads it starts afterwards); the
// previous mask comes back with UnblockSignals.
void BlockSignals(std::initializer_list<int> numbers);
void UnblockSignals(std::initializer_list<int> numbers);

class TSignalWatch {
 public:
  // Blocks the signals in the calling thread and watches them on its event loop: every arrival
  // runs onSignal with the signal's number, from the loop. Active is false when no signalfd
  // could be had (the signals then keep their default action).
  TSignalWatch(std::initializer_list<int> numbers, std::function<void(int signal)> onSignal);
  // Stops watching and restores the calling thread's mask as it was before.
  ~TSignalWatch();
  TSignalWatch(const TSignalWatch&) = delete;
  TSignalWatch& operator=(const TSignalWatch&) = delete;

  bool Active() const { return fd_ >= 0; }

 private:
  void ReadSignals();

  sigset_t previous_{};
  int fd_ = -1;
  std::function<void(int)> onSignal_;
};

// TChildCommand: a program run as a child of the event loop, never waited for by blocking. Its
// standard output comes through a pipe the loop watches and its end through a pidfd, so the loop
// (timers, sockets, a window's repaints) keeps running while it works.
//
// Contract:
//  - Start spawns Argv[0] (a path) with Argv, in a process group of its own, standard output on
//    the pipe, standard error the program's. Standard input is the program's unless Input is
//    given: then it is a pipe that gets Input and is closed (Input must fit a pipe, 64 KB).
//  - Only the first line of the output is kept (without CR LF), at most MaxKept bytes; the rest
//    is read and dropped, so a chatty child does not block on a full pipe.
//  - OnDone fires once, from the loop, after the child has ended and its output was read to the
//    end, or when the deadline (TimeoutMs) passed: the child's whole group is then killed.
//  - Cancel (and the destructor) kills the group at once; OnDone does not fire.
// The kept line lives in a TSecret: a child that prints a password leaves no copy behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Secret.h"
#include "platform/Timer.h"

class TChildCommand {
 public:
  enum class TOutcome : std::uint8_t {
    Exited,      // ExitStatus() holds the status, 0 for success
    Signalled,   // ended by signal Signal()
    TimedOut,    // the deadline passed: the group was killed
    LineTooLong  // the first line is longer than MaxKept: the group was killed
  };

  TChildCommand();
  ~TChildCommand();
  TChildCommand(const TChildCommand&) = delete;
  TChildCommand& operator=(const TChildCommand&) = delete;

  // False with the reason in Problem when the child cannot be started (nothing runs then and
  // OnDone never fires).
  bool Start(const std::vector<std::string>& Argv, std::uint32_t TimeoutMs, std::size_t MaxKept,
             std::string& Problem, const TSecret* Input = nullptr);
  void Cancel();
  bool Running() const { return FPid > 0; }

  TOutcome Outcome() const { return FOutcome; }
  int ExitStatus() const { return FExitStatus; }
  int Signal() const { return FSignal; }
  // The first line of the output (complete or not).
  const TSecret& FirstLine() const { return FLine; }
  // Zeroes the kept line once it has been taken.
  void WipeOutput() { FLine.Clear(); }
  // The text that says how the child ended: "exit status 3", "signal 9", "no end within 30
  // seconds", "a first line longer than 8192 bytes".
  std::string OutcomeText() const;

  std::function<void(TChildCommand& Sender)> OnDone;

 private:
  void WndProc(TMessage& Msg);
  void ReadOutput();
  void Reap();
  void KillGroup();
  void Finish(TOutcome Outcome);
  void CloseOutput();
  void Release();

  HWND FWindow = 0;
  pid_t FPid = -1;
  int FPidFd = -1;
  int FOutput = -1;
  bool FExited = false;
  bool FLineComplete = false;
  std::size_t FMaxKept = 0;
  std::uint32_t FTimeoutMs = 0;
  TSecret FLine;
  TOutcome FOutcome = TOutcome::Exited;
  int FExitStatus = 0;
  int FSignal = 0;
  TTimer FDeadline{"ChildDeadline", 0, false};
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

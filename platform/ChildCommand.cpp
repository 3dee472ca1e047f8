#include "platform/ChildCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

constexpr std::uint32_t WM_CHILD_OUTPUT = WM_USER + 1;
constexpr std::uint32_t WM_CHILD_ENDED = WM_USER + 2;

void CloseFd(int& Fd) {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

// The spawn's settings: a process group of its own (so that everything the command started can
// be ended together), and the signals our loop blocks or ignores back to their defaults.
class TSpawnAttributes {
 public:
  TSpawnAttributes() {
    posix_spawnattr_init(&Attr);
    posix_spawnattr_setpgroup(&Attr, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&Attr, &none);
    posix_spawnattr_setsigdefault(&Attr, &defaults);
    posix_spawnattr_setflags(
        &Attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~TSpawnAttributes() { posix_spawnattr_destroy(&Attr); }
  TSpawnAttributes(const TSpawnAttributes&) = delete;
  TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;
  posix_spawnattr_t Attr;
};

}  // namespace

TChildCommand::TChildCommand() {
  FWindow = AllocateHWnd([this](TMessage& Msg) { WndProc(Msg); });
  FDeadline.OnTimer = [this](TTimer*) {
    KillGroup();
    Finish(TOutcome::TimedOut);
  };
}

TChildCommand::~TChildCommand() {
  *FAlive = false;
  Cancel();
  DeallocateHWnd(FWindow);
}

bool TChildCommand::Start(const std::vector<std::string>& Argv, std::uint32_t TimeoutMs,
                          std::size_t MaxKept, std::string& Problem, const TSecret* Input) {
  Cancel();
  FLine.Clear();
  FLineComplete = false;
  FExited = false;
  FExitStatus = FSignal = 0;
  FMaxKept = MaxKept;
  FTimeoutMs = TimeoutMs;
  int out[2] = {-1, -1}, in[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || (Input && ::pipe2(in, O_CLOEXEC) != 0)) {
    Problem = std::string("no pipe: ") + std::strerror(errno);
    for (int* fd : {&out[0], &out[1], &in[0], &in[1]}) CloseFd(*fd);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (Input) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  std::vector<char*> args;
  for (const std::string& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const TSpawnAttributes attributes;
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, &attributes.Attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  CloseFd(out[1]);
  CloseFd(in[0]);
  if (rc != 0) {
    Problem = std::strerror(rc);
    CloseFd(out[0]);
    CloseFd(in[1]);
    return false;
  }
  FPid = pid;
  FOutput = out[0];
  if (Input) {
    // Into an empty pipe: as long as it fits the pipe, this cannot block.
    const ssize_t n = ::write(in[1], Input->Data(), Input->Size());
    (void)n;  // a child that does not read its input fails in its own way
    CloseFd(in[1]);
  }
  ::fcntl(FOutput, F_SETFL, ::fcntl(FOutput, F_GETFL) | O_NONBLOCK);
  // Through syscall(): Debian 12's <sys/pidfd.h> does not declare it for C++.
  FPidFd = static_cast<int>(::syscall(SYS_pidfd_open, FPid, 0));
  EventLoop& loop = EventLoop::Current();
  if (FPidFd < 0 || loop.WatchFd(FOutput, FWindow, WM_CHILD_OUTPUT) != 0 ||
      loop.WatchFd(FPidFd, FWindow, WM_CHILD_ENDED) != 0) {
    Problem = std::string("cannot watch the child: ") + std::strerror(errno);
    Cancel();
    return false;
  }
  FDeadline.SetInterval(TimeoutMs);
  FDeadline.SetEnabled(true);
  return true;
}

void TChildCommand::WndProc(TMessage& Msg) {
  const std::shared_ptr<bool> alive = FAlive;
  if (Msg.Msg == WM_CHILD_OUTPUT && FOutput >= 0)
    ReadOutput();
  else if (Msg.Msg == WM_CHILD_ENDED && FPidFd >= 0)
    Reap();
  if (!*alive) return;  // OnDone (after a line too long) destroyed this object
  if (FExited && FOutput < 0 && FPid > 0) {
    FPid = -1;
    Finish(FSignal != 0 ? TOutcome::Signalled : TOutcome::Exited);
  }
}

void TChildCommand::ReadOutput() {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(FOutput, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      EventLoop::Current().RearmFd(FOutput);
      break;
    }
    if (n <= 0) {
      CloseOutput();
      break;
    }
    if (FLineComplete) continue;  // only the first line counts
    std::string_view text(chunk, static_cast<std::size_t>(n));
    const std::size_t end = text.find('\n');
    FLine.Append(text.substr(0, end));
    FLineComplete = end != std::string_view::npos;
    if (FLine.Size() > FMaxKept) {
      explicit_bzero(chunk, sizeof chunk);
      KillGroup();
      return Finish(TOutcome::LineTooLong);
    }
    if (FLineComplete && !FLine.Empty() && FLine.View().back() == '\r')
      FLine.Resize(FLine.Size() - 1);
  }
  explicit_bzero(chunk, sizeof chunk);
}

void TChildCommand::Reap() {
  int status = 0;
  const pid_t r = ::waitpid(FPid, &status, WNOHANG);
  if (r == 0) {
    EventLoop::Current().RearmFd(FPidFd);
    return;
  }
  FExited = true;
  if (r == FPid && WIFSIGNALED(status)) FSignal = WTERMSIG(status);
  if (r == FPid && WIFEXITED(status)) FExitStatus = WEXITSTATUS(status);
  // Reaped by someone else (SIGCHLD ignored): how it ended is unknown, and never success.
  if (r != FPid) FExitStatus = -1;
  EventLoop::Current().UnwatchFd(FPidFd);
  CloseFd(FPidFd);
}

void TChildCommand::KillGroup() {
  if (FPid <= 0) return;
  // The leader's pid names the group even after the leader has gone.
  ::kill(-FPid, SIGKILL);
  if (!FExited) {
    // SIGKILL cannot be caught: this returns as soon as the kernel has ended the child.
    while (::waitpid(FPid, nullptr, 0) < 0 && errno == EINTR) {
    }
    FExited = true;
  }
}

void TChildCommand::CloseOutput() {
  if (FOutput < 0) return;
  EventLoop::Current().UnwatchFd(FOutput);
  CloseFd(FOutput);
}

void TChildCommand::Release() {
  FDeadline.SetEnabled(false);
  CloseOutput();
  if (FPidFd >= 0) EventLoop::Current().UnwatchFd(FPidFd);
  CloseFd(FPidFd);
  FPid = -1;
}

void TChildCommand::Finish(TOutcome Outcome) {
  Release();
  FOutcome = Outcome;
  if (OnDone) OnDone(*this);  // may destroy this object: nothing follows
}

void TChildCommand::Cancel() {
  KillGroup();
  Release();
}

std::string TChildCommand::OutcomeText() const {
  switch (FOutcome) {
    case TOutcome::Exited:
      return "exit status " + std::to_string(FExitStatus);
    case TOutcome::Signalled:
      return std::string("signal ") + std::to_string(FSignal) + " (" + ::strsignal(FSignal) + ")";
    case TOutcome::TimedOut:
      return "no answer within " + std::to_string((FTimeoutMs + 999) / 1000) +
             " seconds; it was ended";
    case TOutcome::LineTooLong:
      return "a first line longer than " + std::to_string(FMaxKept) + " bytes; it was ended";
  }
  return "";
}

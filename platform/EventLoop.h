// The per-thread event loop that stands in for the Windows message queue: hidden message
// windows with handles, posted messages, timers and socket notifications (the
// WSAAsyncSelect contract). The whole loop is watchable through one file descriptor.
//
// Contract:
//  - Messages posted to a window are delivered one at a time, in posting order, on the thread
//    that owns the window. A message for a window destroyed before delivery is dropped.
//  - ProcessMessages dispatches what is pending when it is called and never blocks; what the
//    handlers post meanwhile waits for the next call, so no handler can hold one call by
//    re-posting itself. Run blocks until Quit (or a WM_QUIT message). Handlers may call
//    ProcessMessages: messages are then dispatched inside them.
//  - PostMessageA is the only call that may come from another thread; it wakes a blocked Run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

using HWND = std::uint64_t;  // 0 is "no window"
using WPARAM = std::uint64_t;
using LPARAM = std::int64_t;

constexpr std::uint32_t WM_QUIT = 0x0012;
constexpr std::uint32_t WM_TIMER = 0x0113;
constexpr std::uint32_t WM_USER = 0x0400;

// Winsock notification bits carried in the low word of a socket notification's lParam; the
// high word carries the error word: the socket's pending errno as the selector's
// SocketErrorCode translates it (the socket binding gives its Winsock code).
constexpr std::uint32_t FD_READ = 0x01;
constexpr std::uint32_t FD_WRITE = 0x02;
constexpr std::uint32_t FD_OOB = 0x04;
constexpr std::uint32_t FD_ACCEPT = 0x08;
constexpr std::uint32_t FD_CONNECT = 0x10;
constexpr std::uint32_t FD_CLOSE = 0x20;

inline LPARAM MakeSelectLParam(std::uint32_t event, std::uint32_t error) {
  return static_cast<LPARAM>((error & 0xFFFF) << 16 | (event & 0xFFFF));
}
inline std::uint32_t SelectEvent(LPARAM l) {
  return static_cast<std::uint32_t>(l) & 0xFFFF;
}
inline std::uint32_t SelectError(LPARAM l) {
  return (static_cast<std::uint32_t>(l) >> 16) & 0xFFFF;
}

struct TMessage {
  std::uint32_t Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  std::int64_t Result = 0;
};

// A queued message as PeekMessage hands it out (PumpOneMessage of the socket layer).
struct QueuedMessage {
  HWND Window = 0;
  std::uint32_t Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
};

using WindowProc = std::function<void(TMessage&)>;

class EventLoop {
 public:
  // The calling thread's loop, created on first use.
  static EventLoop& Current();

  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  ~EventLoop();

  // Message windows (AllocateHWnd / DeallocateHWnd).
  HWND AllocateHWnd(WindowProc proc);
  void DeallocateHWnd(HWND window);
  bool IsWindow(HWND window) const;

  // Dispatches the messages pending on entry: the queue as one look at the timers and sockets
  // leaves it. Messages posted, timers falling due and sockets becoming ready during the call
  // wait for the next call. Never blocks. Returns true when anything was dispatched. A WM_QUIT
  // taken here sets Terminated and ends the call.
  bool ProcessMessages();
  // The same, ending early once the budget is spent (after at least one message): the slice a
  // host loop gives ours, so that its own events are never held up by a long queue.
  bool ProcessMessages(std::chrono::microseconds budget);
  // Blocks and dispatches until Quit is called or a WM_QUIT message arrives.
  void Run();
  // Makes Run return once the current message has been handled.
  void Quit();
  bool Terminated() const { return terminated_; }
  void ResetTerminated() { terminated_ = false; }
  // Posts WM_QUIT (with no window) to this loop's queue.
  void PostQuitMessage();

  // PeekMessageA(PM_REMOVE) / DispatchMessageA for a pump of one's own: takes the next queued
  // message (gathering due timers and socket notifications first) without blocking.
  bool PeekMessage(QueuedMessage& out);
  void DispatchMessage(const QueuedMessage& message);

  // The loop's one file descriptor: readable whenever something is pending (a posted message,
  // a due timer, a socket notification waiting to be posted).
  int Fd() const;

  // Timers, used by TTimer. An interval of 0 never fires. Setting a timer again restarts its
  // interval.
  using TimerId = std::uint64_t;
  TimerId SetTimer(std::uint32_t intervalMs, std::function<void()> onTimer);
  void KillTimer(TimerId id);
  // The clock the timers read; empty puts back the steady clock. Under a set clock nothing
  // falls due by itself: whoever moves the clock calls TimeMoved, and the timers that are due
  // then are queued. Tests prove intervals of minutes this way in microseconds.
  using TimeSource = std::function<std::chrono::steady_clock::time_point()>;
  void SetTimeSource(TimeSource now);
  void TimeMoved();

  // Socket notifications (WSAAsyncSelect). mask 0 stops all notifications for the socket.
  // FD_CONNECT and FD_CLOSE are posted once; FD_READ is posted when data waits and again only
  // after ReenableSocketEvent(FD_READ) (called by every receive); FD_WRITE after the connection
  // is made and again only after ReenableSocketEvent(FD_WRITE) (called when a send would
  // block); FD_ACCEPT per pending connection, re-armed by ReenableSocketEvent(FD_ACCEPT).
  // The error word of FD_CONNECT and FD_CLOSE is errorCode(errno) of the socket's pending error
  // (a connect that ended unconnected without one counts as ECONNREFUSED), or the errno itself
  // without a translation; 0 stays 0. Returns 0, or -1 with errno set.
  using SocketErrorCode = std::uint32_t (*)(int err);
  int SelectSocket(int fd, HWND window, std::uint32_t msg, std::uint32_t mask,
                   SocketErrorCode errorCode = nullptr);
  // A non-blocking connect() was started on fd (it returned 0 or EINPROGRESS): its outcome is
  // posted as FD_CONNECT. A stream socket that is neither connecting, connected nor listening
  // when selected gets no notifications until this call.
  void SocketConnectStarted(int fd);
  void ReenableSocketEvent(int fd, std::uint32_t bits);
  // The socket is about to be closed: forget it. Notifications for it that are still queued
  // are dropped, so a later socket that reuses the descriptor never sees them.
  void ForgetSocket(int fd);

  // A descriptor that is no socket (a pipe, a pidfd): msg is posted to window, with fd as
  // wParam, once when fd becomes readable or hung up, and again only after RearmFd. Returns 0,
  // or -1 with errno set. UnwatchFd forgets fd and drops its notifications still queued; it
  // must come before fd is closed.
  int WatchFd(int fd, HWND window, std::uint32_t msg);
  void RearmFd(int fd);
  void UnwatchFd(int fd);
  // A descriptor that is no socket (a signalfd, a pipe) watched for input: while it is
  // readable, onReadable runs from the loop, once per look that finds it readable (it must
  // read what waits, or it runs again). UnwatchReadable before closing the descriptor.
  // Returns 0, or -1 with errno set.
  int WatchReadable(int fd, std::function<void()> onReadable);
  void UnwatchReadable(int fd);

  // Thread-safe post; false when the window does not exist.
  bool Post(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);

 private:
  EventLoop();
  class Impl;
  std::unique_ptr<Impl> impl_;
  bool terminated_ = false;
  friend bool PostMessageA(HWND, std::uint32_t, WPARAM, LPARAM);
};

// PostMessageA: posts to the loop that owns the window, from any thread. False when the window
// does not exist (any more).
bool PostMessageA(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);

// The calling thread's loop shortcuts used throughout the code (AllocateHWnd, the application
// object's ProcessMessages).
inline HWND AllocateHWnd(WindowProc proc) {
  return EventLoop::Current().AllocateHWnd(std::move(proc));
}
inline void DeallocateHWnd(HWND window) {
  EventLoop::Current().DeallocateHWnd(window);
}

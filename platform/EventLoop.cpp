// The event loop: one epoll set per thread holding an eventfd (wake-up for posted messages),
// a timerfd (the earliest timer) and the watched sockets. Posted messages live in a plain
// queue owned by the thread; only posts from other threads go through a locked inbox.
#include "platform/EventLoop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/Application.h"

namespace {

using Clock = std::chrono::steady_clock;

// Windows-style handles carry the owning loop in their high half so that a post from any
// thread finds the right queue.
constexpr int kLoopShift = 32;
std::uint32_t LoopIndexOf(HWND window) {
  return static_cast<std::uint32_t>(window >> kLoopShift);
}

// While messages keep coming, sockets and timers are still looked at this often, so that a
// busy queue cannot starve them.
constexpr int kMaxDispatchesBetweenPolls = 32;
constexpr auto kMaxTimeBetweenPolls = std::chrono::microseconds(200);

int PendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

bool HasBytesWaiting(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 && count > 0;
}

int IntOption(int fd, int option) {
  int value = 0;
  socklen_t len = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, option, &value, &len) != 0) return -1;
  return value;
}

bool IsConnected(int fd) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

struct LoopRegistry {
  std::mutex mutex;
  std::unordered_map<std::uint32_t, EventLoop*> loops;
  std::uint32_t nextIndex = 1;
};

LoopRegistry& Registry() {
  static LoopRegistry* registry = new LoopRegistry;  // never destroyed: threads may post at exit
  return *registry;
}

thread_local std::unique_ptr<EventLoop> tlsLoop;

}  // namespace

class EventLoop::Impl {
 public:
  struct Timer {
    std::uint32_t interval = 0;
    Clock::time_point due;
    bool queued = false;  // a WM_TIMER for it waits in the queue (Windows coalesces them)
    std::shared_ptr<std::function<void()>> onTimer;
  };

  // One socket under WSAAsyncSelect.
  struct SocketWatch {
    HWND window = 0;
    std::uint32_t msg = 0;
    std::uint32_t mask = 0;
    bool stream = true;
    bool listening = false;
    bool established = false;  // connected (or a datagram socket): data events apply
    bool connectPending = false;
    bool readArmed = true;
    bool writeArmed = true;
    bool acceptArmed = true;
    bool closeReported = false;
    std::uint32_t registered = 0;  // epoll events currently asked for
    bool inEpoll = false;
    SocketErrorCode errorCode = nullptr;
  };

  explicit Impl(EventLoop& owner) : owner_(owner) {
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (epollFd_ < 0 || wakeFd_ < 0 || timerFd_ < 0)
      throw std::system_error(errno, std::generic_category(), "event loop set-up");
    AddInternalFd(wakeFd_);
    AddInternalFd(timerFd_);
    std::lock_guard lock(Registry().mutex);
    index_ = Registry().nextIndex++;
    Registry().loops[index_] = &owner_;
  }

  ~Impl() {
    {
      std::lock_guard lock(Registry().mutex);
      Registry().loops.erase(index_);
    }
    close(timerFd_);
    close(wakeFd_);
    close(epollFd_);
  }

  // --- windows ------------------------------------------------------------------------------

  HWND Allocate(WindowProc proc) {
    std::uint32_t id = nextWindowId_++;
    windows_[id] = std::make_unique<WindowProc>(std::move(proc));
    return (static_cast<HWND>(index_) << kLoopShift) | id;
  }

  void Deallocate(HWND window) {
    if (LoopIndexOf(window) != index_) return;
    auto it = windows_.find(static_cast<std::uint32_t>(window));
    if (it == windows_.end()) return;
    // A window destroyed from inside a dispatch may be the one whose procedure is running:
    // keep the procedure alive until the outermost dispatch returns.
    if (dispatchDepth_ > 0) retiredProcs_.push_back(std::move(it->second));
    windows_.erase(it);
  }

  bool Exists(HWND window) const {
    return LoopIndexOf(window) == index_ && windows_.count(static_cast<std::uint32_t>(window)) != 0;
  }

  std::uint32_t Index() const { return index_; }

  // --- posting -------------------------------------------------------------------------------

  bool PostLocal(const QueuedMessage& message) {
    if (message.Window != 0 && !Exists(message.Window)) return false;
    queue_.push_back(message);
    SignalWake();
    return true;
  }

  void PostFromOtherThread(const QueuedMessage& message) {
    {
      std::lock_guard lock(inboxMutex_);
      inbox_.push_back(message);
      inboxNonEmpty_.store(true);  // sequentially consistent: see ClearWake
    }
    SignalWake();
  }

  // --- dispatching ---------------------------------------------------------------------------

  bool Peek(QueuedMessage& out, bool mustPoll) {
    // The clock is read only every few messages: it is the dearest part of a busy round.
    if (mustPoll || queue_.empty() || dispatchesSincePoll_ >= kMaxDispatchesBetweenPolls ||
        (dispatchesSincePoll_ % 8 == 7 && Clock::now() - lastPoll_ >= kMaxTimeBetweenPolls))
      Poll(0);
    if (queue_.empty()) return false;
    out = queue_.front();
    queue_.pop_front();
    ++dispatchesSincePoll_;
    return true;
  }

  void Dispatch(const QueuedMessage& message) {
    if (message.Msg == WM_TIMER && message.Window == 0) {
      FireTimer(message.WParam);
      return;
    }
    if (message.Msg == kReadableMessage && message.Window == 0) {
      FireReadable(static_cast<int>(message.WParam));
      return;
    }
    auto it = windows_.find(static_cast<std::uint32_t>(message.Window));
    if (LoopIndexOf(message.Window) != index_ || it == windows_.end()) return;
    WindowProc* proc = it->second.get();
    TMessage m{message.Msg, message.WParam, message.LParam, 0};
    ++dispatchDepth_;
    RunHandler([&] { (*proc)(m); });
    if (--dispatchDepth_ == 0) retiredProcs_.clear();
  }

  // Blocks until something is pending or the next timer is due.
  void WaitForWork() {
    ClearWake();
    if (!queue_.empty() || inboxNonEmpty_.load(std::memory_order_acquire)) {
      Poll(0);
      return;
    }
    Poll(MillisecondsToNextTimer());
  }

  int Fd() const { return epollFd_; }

  bool HasPending() const { return !queue_.empty(); }
  std::size_t QueuedCount() const { return queue_.size(); }

  // --- timers -------------------------------------------------------------------------------

  TimerId SetTimer(std::uint32_t interval, std::function<void()> onTimer) {
    TimerId id = nextTimerId_++;
    Timer& t = timers_[id];
    t.interval = interval;
    t.due = TimerNow() + std::chrono::milliseconds(interval);
    t.onTimer = std::make_shared<std::function<void()>>(std::move(onTimer));
    ArmTimerFd();
    return id;
  }

  void KillTimer(TimerId id) {
    if (timers_.erase(id) != 0) ArmTimerFd();
  }

  void SetTimeSource(TimeSource now) {
    timeSource_ = std::move(now);
    ArmTimerFd();
  }

  void TimeMoved() { QueueDueTimers(); }

  // --- sockets -------------------------------------------------------------------------------

  int Select(int fd, HWND window, std::uint32_t msg, std::uint32_t mask,
             SocketErrorCode errorCode) {
    if (mask == 0) {
      auto it = sockets_.find(fd);
      if (it != sockets_.end()) {
        bool pending = it->second.connectPending;
        Unregister(fd, it->second);
        sockets_.erase(it);
        if (pending) connectingWithoutWatch_[fd] = true;
      }
      return 0;
    }
    int type = IntOption(fd, SO_TYPE);
    if (type < 0) return -1;
    SocketWatch& w = sockets_[fd];
    bool connecting = w.connectPending || connectingWithoutWatch_.erase(fd) != 0;
    w = SocketWatch{};
    w.window = window;
    w.msg = msg;
    w.mask = mask;
    w.errorCode = errorCode;
    w.stream = type == SOCK_STREAM;
    w.listening = w.stream && IntOption(fd, SO_ACCEPTCONN) == 1;
    w.connectPending = connecting;
    w.established = !w.stream || (!connecting && !w.listening && IsConnected(fd));
    return Update(fd, w);
  }

  void ConnectStarted(int fd) {
    auto it = sockets_.find(fd);
    if (it == sockets_.end()) {
      connectingWithoutWatch_[fd] = true;
      return;
    }
    it->second.connectPending = true;
    it->second.established = false;
    Update(fd, it->second);
  }

  void Reenable(int fd, std::uint32_t bits) {
    auto it = sockets_.find(fd);
    if (it == sockets_.end()) return;
    SocketWatch& w = it->second;
    if (bits & FD_READ) w.readArmed = true;
    if (bits & FD_WRITE) w.writeArmed = true;
    if (bits & FD_ACCEPT) w.acceptArmed = true;
    if (w.closeReported) {
      // The descriptor left the epoll set at the close; data still waiting is announced here.
      if ((bits & FD_READ) && (w.mask & FD_READ) && HasBytesWaiting(fd)) {
        w.readArmed = false;
        PostNotify(fd, w, FD_READ, 0);
      }
      return;
    }
    Update(fd, w);
  }

  // --- other descriptors ----------------------------------------------------------------------

  int WatchReadable(int fd, std::function<void()> onReadable) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) return -1;
    readWatches_[fd] = ReadWatch{std::make_shared<std::function<void()>>(std::move(onReadable))};
    return 0;
  }

  void UnwatchReadable(int fd) {
    if (readWatches_.erase(fd) == 0) return;
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    std::erase_if(queue_, [&](const QueuedMessage& m) {
      return m.Window == 0 && m.Msg == kReadableMessage && m.WParam == static_cast<WPARAM>(fd);
    });
  }

  void Forget(int fd) {
    auto it = sockets_.find(fd);
    connectingWithoutWatch_.erase(fd);
    if (it == sockets_.end()) return;
    HWND window = it->second.window;
    std::uint32_t msg = it->second.msg;
    Unregister(fd, it->second);
    sockets_.erase(it);
    std::erase_if(queue_, [&](const QueuedMessage& m) {
      return m.Window == window && m.Msg == msg && m.WParam == static_cast<WPARAM>(fd);
    });
  }

  // --- other descriptors ----------------------------------------------------------------------

  int WatchFd(int fd, HWND window, std::uint32_t msg) {
    const bool known = fdWatches_.count(fd) != 0;
    fdWatches_[fd] = FdWatch{window, msg};
    return ArmFd(fd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD);
  }

  void RearmFd(int fd) {
    if (fdWatches_.count(fd)) ArmFd(fd, EPOLL_CTL_MOD);
  }

  void UnwatchFd(int fd) {
    auto it = fdWatches_.find(fd);
    if (it == fdWatches_.end()) return;
    const FdWatch watch = it->second;
    fdWatches_.erase(it);
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    std::erase_if(queue_, [&](const QueuedMessage& m) {
      return m.Window == watch.window && m.Msg == watch.msg && m.WParam == static_cast<WPARAM>(fd);
    });
  }

 private:
  struct FdWatch {
    HWND window = 0;
    std::uint32_t msg = 0;
  };

  // One-shot: a descriptor that stays readable until its handler reads it is posted once.
  int ArmFd(int fd, int op) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.fd = fd;
    return epoll_ctl(epollFd_, op, fd, &ev);
  }

  template <typename F>
  void RunHandler(F&& handler) {
    try {
      handler();
    } catch (const std::exception& e) {
      Application().HandleException(e);
    } catch (...) {
      Application().HandleException(std::runtime_error("Unknown exception in an event handler"));
    }
  }

  void AddInternalFd(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0)
      throw std::system_error(errno, std::generic_category(), "event loop set-up");
  }

  // The eventfd stays signalled while the queue may hold messages; it is cleared only when
  // the loop is about to block (or an idle ProcessMessages found nothing), so a busy queue
  // costs no system call per message.
  void SignalWake() {
    if (wakeSignalled_.exchange(true)) return;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
  }

 public:
  void ClearWake() {
    if (!wakeSignalled_.load(std::memory_order_acquire)) return;
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
    wakeSignalled_.store(false);
    // A post from another thread that raced with the clear finds the flag false and signals
    // again; one that came before is in the inbox, which the next poll drains. Both sides store
    // one flag and then read the other, so all four accesses are sequentially consistent:
    // with acquire/release alone the clear's load may pass its store, both sides see the old
    // values, and the loop blocks with a message in the inbox and no wake-up.
    if (inboxNonEmpty_.load() || !queue_.empty()) SignalWake();
  }

  void Poll(int timeoutMs) {
    DrainInbox();
    epoll_event events[64];
    int n = epoll_wait(epollFd_, events, 64, timeoutMs);
    lastPoll_ = Clock::now();
    dispatchesSincePoll_ = 0;
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == wakeFd_) continue;
      if (fd == timerFd_) {
        std::uint64_t ticks;
        [[maybe_unused]] ssize_t r = read(timerFd_, &ticks, sizeof ticks);
        continue;
      }
      if (auto watch = readWatches_.find(fd); watch != readWatches_.end()) {
        if (!watch->second.queued) {
          watch->second.queued = true;
          queue_.push_back(QueuedMessage{0, kReadableMessage, static_cast<WPARAM>(fd), 0});
          SignalWake();
        }
        continue;
      }
      auto it = sockets_.find(fd);
      if (it != sockets_.end()) {
        HandleReadiness(fd, it->second, events[i].events);
      } else if (auto watch = fdWatches_.find(fd); watch != fdWatches_.end()) {
        PostLocal(
            QueuedMessage{watch->second.window, watch->second.msg, static_cast<WPARAM>(fd), 0});
      }
    }
    DrainInbox();
    QueueDueTimers();
  }

 private:
  void DrainInbox() {
    if (!inboxNonEmpty_.load(std::memory_order_acquire)) return;
    std::vector<QueuedMessage> incoming;
    {
      std::lock_guard lock(inboxMutex_);
      incoming.swap(inbox_);
      inboxNonEmpty_.store(false, std::memory_order_release);
    }
    for (const auto& m : incoming)
      if (m.Window == 0 || Exists(m.Window)) queue_.push_back(m);
    if (!queue_.empty()) SignalWake();
  }

  // --- timers -------------------------------------------------------------------------------

  Clock::time_point TimerNow() const { return timeSource_ ? timeSource_() : Clock::now(); }

  int MillisecondsToNextTimer() const {
    auto next = NextDue();
    if (!next) return -1;
    if (timeSource_) return *next <= TimerNow() ? 0 : -1;  // a set clock moves only by TimeMoved
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return wait < 0 ? 0 : static_cast<int>(std::min<long long>(wait, 1 << 30));
  }

  // A timer with an interval of 0 never fires; one whose tick is queued waits for it first.
  static bool Waiting(const Timer& t) { return t.interval != 0 && !t.queued; }

  std::optional<Clock::time_point> NextDue() const {
    std::optional<Clock::time_point> next;
    for (const auto& [id, t] : timers_)
      if (Waiting(t) && (!next || t.due < *next)) next = t.due;
    return next;
  }

  void ArmTimerFd() {
    itimerspec when{};
    if (timeSource_) {
      // Nothing falls due in real time under a set clock.
    } else if (auto next = NextDue()) {
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*next - Clock::now()).count();
      if (ns < 1) ns = 1;  // zero would disarm
      when.it_value.tv_sec = ns / 1000000000;
      when.it_value.tv_nsec = ns % 1000000000;
    }
    timerfd_settime(timerFd_, 0, &when, nullptr);
  }

  void QueueDueTimers() {
    if (timers_.empty()) return;
    auto now = TimerNow();
    bool queuedAny = false;
    for (auto& [id, t] : timers_) {
      if (!Waiting(t) || t.due > now) continue;
      t.queued = true;
      queue_.push_back(QueuedMessage{0, WM_TIMER, id, 0});
      queuedAny = true;
    }
    if (queuedAny) {
      SignalWake();
      ArmTimerFd();
    }
  }

  void FireReadable(int fd) {
    auto it = readWatches_.find(fd);
    if (it == readWatches_.end()) return;  // unwatched while its message waited
    it->second.queued = false;
    std::shared_ptr<std::function<void()>> onReadable = it->second.onReadable;
    RunHandler([&] { (*onReadable)(); });
  }

  void FireTimer(TimerId id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;  // killed while its tick waited
    Timer& t = it->second;
    t.queued = false;
    t.due = TimerNow() + std::chrono::milliseconds(t.interval);
    ArmTimerFd();
    std::shared_ptr<std::function<void()>> onTimer = t.onTimer;
    RunHandler([&] { (*onTimer)(); });
  }

  // --- sockets -------------------------------------------------------------------------------

  static std::uint32_t Interest(const SocketWatch& w) {
    if (w.connectPending) return EPOLLOUT;
    if (w.closeReported) return 0;
    if (w.listening) return (w.mask & FD_ACCEPT) && w.acceptArmed ? std::uint32_t{EPOLLIN} : 0u;
    if (!w.established) return 0;
    std::uint32_t events = 0;
    if ((w.mask & FD_READ) && w.readArmed) events |= EPOLLIN;
    if ((w.mask & FD_WRITE) && w.writeArmed) events |= EPOLLOUT;
    if (w.stream && (w.mask & FD_CLOSE)) events |= EPOLLRDHUP;
    return events;
  }

  // Brings the epoll registration to what the watch wants, plus the bits in keep.
  int Update(int fd, SocketWatch& w, std::uint32_t keep = 0) {
    std::uint32_t wanted = Interest(w);
    if (wanted != 0) wanted |= keep;
    if (wanted == 0) {
      Unregister(fd, w);
      return 0;
    }
    if (w.inEpoll && wanted == w.registered) return 0;
    epoll_event ev{};
    ev.events = wanted;
    ev.data.fd = fd;
    if (epoll_ctl(epollFd_, w.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) return -1;
    w.inEpoll = true;
    w.registered = wanted;
    return 0;
  }

  void Unregister(int fd, SocketWatch& w) {
    if (!w.inEpoll) return;
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    w.inEpoll = false;
    w.registered = 0;
  }

  void PostNotify(int fd, const SocketWatch& w, std::uint32_t event, std::uint32_t error) {
    PostLocal(
        QueuedMessage{w.window, w.msg, static_cast<WPARAM>(fd), MakeSelectLParam(event, error)});
  }

  void HandleReadiness(int fd, SocketWatch& w, std::uint32_t revents) {
    if (w.connectPending) {
      HandleConnectOutcome(fd, w);
      Update(fd, w);
      return;
    }
    if (w.listening) {
      if ((revents & EPOLLIN) && w.acceptArmed && (w.mask & FD_ACCEPT)) {
        w.acceptArmed = false;
        PostNotify(fd, w, FD_ACCEPT, 0);
      }
      Update(fd, w);
      return;
    }
    bool peerGone = w.stream && (revents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR));
    bool acted = false;
    bool postedRead = false;
    if ((revents & (EPOLLIN | EPOLLERR)) && w.readArmed && (w.mask & FD_READ) &&
        (!peerGone || HasBytesWaiting(fd))) {
      w.readArmed = false;
      PostNotify(fd, w, FD_READ, 0);
      acted = postedRead = true;
    }
    if ((revents & EPOLLOUT) && w.writeArmed && (w.mask & FD_WRITE) && !peerGone) {
      w.writeArmed = false;
      PostNotify(fd, w, FD_WRITE, 0);
      acted = true;
    }
    if (peerGone && !w.closeReported) {
      w.closeReported = true;
      if (w.mask & FD_CLOSE) PostNotify(fd, w, FD_CLOSE, ErrorWord(w, PendingSocketError(fd)));
      acted = true;
    }
    // A datagram socket's pending error that nobody reads would be reported for ever.
    if (!acted && (revents & EPOLLERR)) PendingSocketError(fd);
    // Dropping EPOLLIN right after posting FD_READ would cost two epoll_ctl calls per read
    // cycle, and the receive that follows usually re-arms it before the next poll. It is
    // dropped only when it fires again while FD_READ is not armed.
    Update(fd, w, postedRead ? (w.registered & EPOLLIN) : 0);
  }

  static std::uint32_t ErrorWord(const SocketWatch& w, int err) {
    if (err == 0) return 0;
    return w.errorCode ? w.errorCode(err) : static_cast<std::uint32_t>(err);
  }

  void HandleConnectOutcome(int fd, SocketWatch& w) {
    w.connectPending = false;
    int err = PendingSocketError(fd);
    if (err == 0 && !IsConnected(fd)) err = ECONNREFUSED;
    std::uint32_t error = ErrorWord(w, err);
    if (w.mask & FD_CONNECT) PostNotify(fd, w, FD_CONNECT, error);
    if (error != 0) {
      w.closeReported = true;  // the failed connect is the whole story of this socket
      return;
    }
    w.established = true;
    if ((w.mask & FD_WRITE) && w.writeArmed) {
      w.writeArmed = false;
      PostNotify(fd, w, FD_WRITE, 0);
    }
  }

  EventLoop& owner_;
  std::uint32_t index_ = 0;
  int epollFd_ = -1;
  int wakeFd_ = -1;
  int timerFd_ = -1;
  std::atomic<bool> wakeSignalled_{false};

  std::uint32_t nextWindowId_ = 1;
  std::unordered_map<std::uint32_t, std::unique_ptr<WindowProc>> windows_;
  int dispatchDepth_ = 0;
  std::vector<std::unique_ptr<WindowProc>> retiredProcs_;

  std::deque<QueuedMessage> queue_;
  std::mutex inboxMutex_;
  std::vector<QueuedMessage> inbox_;
  std::atomic<bool> inboxNonEmpty_{false};
  int dispatchesSincePoll_ = 0;
  Clock::time_point lastPoll_{};
  TimeSource timeSource_;  // empty: the steady clock

  TimerId nextTimerId_ = 1;
  std::map<TimerId, Timer> timers_;

  std::unordered_map<int, SocketWatch> sockets_;
  std::unordered_map<int, bool> connectingWithoutWatch_;
  std::unordered_map<int, FdWatch> fdWatches_;
  // Descriptors watched for input only (WatchReadable); their message carries the descriptor.
  static constexpr std::uint32_t kReadableMessage = WM_USER + 0x3F0;
  struct ReadWatch {
    std::shared_ptr<std::function<void()>> onReadable;
    bool queued = false;  // its message waits in the queue
  };
  std::unordered_map<int, ReadWatch> readWatches_;
};

// --- EventLoop ---------------------------------------------------------------------------------

EventLoop& EventLoop::Current() {
  if (!tlsLoop) tlsLoop.reset(new EventLoop);
  return *tlsLoop;
}

EventLoop::EventLoop() : impl_(std::make_unique<Impl>(*this)) {}
EventLoop::~EventLoop() = default;

HWND EventLoop::AllocateHWnd(WindowProc proc) {
  return impl_->Allocate(std::move(proc));
}
void EventLoop::DeallocateHWnd(HWND window) {
  impl_->Deallocate(window);
}
bool EventLoop::IsWindow(HWND window) const {
  return impl_->Exists(window);
}

bool EventLoop::ProcessMessages() {
  return ProcessMessages(std::chrono::microseconds::max());
}

bool EventLoop::ProcessMessages(std::chrono::microseconds budget) {
  QueuedMessage m;
  if (!impl_->Peek(m, /*mustPoll=*/true)) {
    impl_->ClearWake();
    return false;
  }
  const bool timed = budget != std::chrono::microseconds::max();
  const Clock::time_point stop = timed ? Clock::now() + budget : Clock::time_point::max();
  // The queue is first in, first out: the messages pending on entry are the next `left` ones.
  for (std::size_t left = impl_->QueuedCount() + 1;;) {
    if (m.Msg == WM_QUIT && m.Window == 0) {
      terminated_ = true;
      break;
    }
    impl_->Dispatch(m);
    if (--left == 0 || (timed && Clock::now() >= stop) || !impl_->Peek(m, false)) break;
  }
  // Nothing left: the loop's descriptor goes quiet until something new comes.
  if (!impl_->HasPending()) impl_->ClearWake();
  return true;
}

void EventLoop::Run() {
  QueuedMessage m;
  while (!terminated_) {
    if (!impl_->Peek(m, false)) {
      impl_->WaitForWork();
      continue;
    }
    if (m.Msg == WM_QUIT && m.Window == 0) {
      terminated_ = true;
      break;
    }
    impl_->Dispatch(m);
  }
}

void EventLoop::Quit() {
  terminated_ = true;
}

void EventLoop::PostQuitMessage() {
  impl_->PostLocal(QueuedMessage{0, WM_QUIT, 0, 0});
}

bool EventLoop::PeekMessage(QueuedMessage& out) {
  return impl_->Peek(out, false);
}
void EventLoop::DispatchMessage(const QueuedMessage& message) {
  impl_->Dispatch(message);
}

int EventLoop::Fd() const {
  return impl_->Fd();
}

EventLoop::TimerId EventLoop::SetTimer(std::uint32_t intervalMs, std::function<void()> onTimer) {
  return impl_->SetTimer(intervalMs, std::move(onTimer));
}
void EventLoop::KillTimer(TimerId id) {
  impl_->KillTimer(id);
}
void EventLoop::SetTimeSource(TimeSource now) {
  impl_->SetTimeSource(std::move(now));
}
void EventLoop::TimeMoved() {
  impl_->TimeMoved();
}

int EventLoop::SelectSocket(int fd, HWND window, std::uint32_t msg, std::uint32_t mask,
                            SocketErrorCode errorCode) {
  return impl_->Select(fd, window, msg, mask, errorCode);
}
void EventLoop::SocketConnectStarted(int fd) {
  impl_->ConnectStarted(fd);
}
void EventLoop::ReenableSocketEvent(int fd, std::uint32_t bits) {
  impl_->Reenable(fd, bits);
}
int EventLoop::WatchReadable(int fd, std::function<void()> onReadable) {
  return impl_->WatchReadable(fd, std::move(onReadable));
}
void EventLoop::UnwatchReadable(int fd) {
  impl_->UnwatchReadable(fd);
}
void EventLoop::ForgetSocket(int fd) {
  impl_->Forget(fd);
}

int EventLoop::WatchFd(int fd, HWND window, std::uint32_t msg) {
  return impl_->WatchFd(fd, window, msg);
}
void EventLoop::RearmFd(int fd) {
  impl_->RearmFd(fd);
}
void EventLoop::UnwatchFd(int fd) {
  impl_->UnwatchFd(fd);
}

bool EventLoop::Post(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
  QueuedMessage m{window, msg, wParam, lParam};
  if (tlsLoop.get() == this) return impl_->PostLocal(m);
  impl_->PostFromOtherThread(m);
  return true;
}

bool PostMessageA(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
  std::uint32_t index = LoopIndexOf(window);
  if (tlsLoop && tlsLoop->impl_->Index() == index)
    return tlsLoop->Post(window, msg, wParam, lParam);
  std::lock_guard lock(Registry().mutex);
  auto it = Registry().loops.find(index);
  if (it == Registry().loops.end()) return false;
  it->second->impl_->PostFromOtherThread(QueuedMessage{window, msg, wParam, lParam});
  return true;
}

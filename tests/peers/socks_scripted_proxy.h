// A scripted SOCKS proxy for tests: one thread with blocking POSIX sockets on 127.0.0.1 that
// accepts one connection and plays a script: expect a number of bytes, send bytes (replies,
// application data right behind a reply), pause until the test releases it (to hand out a
// reply one byte at a time), close, or echo. Everything received is recorded.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "socks_test_support.h"

namespace socks_test {

class ScriptedProxy {
 public:
  struct Step {
    enum Kind { Expect, Send, Pause, Close, Echo } What;
    std::string Bytes;
    std::size_t Count = 0;
  };
  static Step Expect(std::size_t n) { return {Step::Expect, {}, n}; }
  static Step Send(std::string bytes) { return {Step::Send, std::move(bytes), 0}; }
  static Step Pause() { return {Step::Pause, {}, 0}; }
  static Step Close() { return {Step::Close, {}, 0}; }
  static Step Echo() { return {Step::Echo, {}, 0}; }
  // Each byte sent on its own, with a pause after every byte but the last.
  static std::vector<Step> SendBytewise(const std::string& bytes) {
    std::vector<Step> steps;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      steps.push_back(Send(bytes.substr(i, 1)));
      if (i + 1 < bytes.size()) steps.push_back(Pause());
    }
    return steps;
  }

  explicit ScriptedProxy(std::vector<Step> script) : script_(std::move(script)) {
    listener_ = ListenLoopback(port_);
    thread_ = std::thread([this] { Play(); });
  }
  ~ScriptedProxy() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      released_ += 1000;
      // Ends a read that waits for the client, which may still be connected.
      if (conn_ >= 0) ::shutdown(conn_, SHUT_RDWR);
    }
    changed_.notify_all();
    thread_.join();
  }
  int Port() const { return port_; }
  std::string Received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  // Lets the script go on past one Pause.
  void Release() {
    {
      std::lock_guard lock(mutex_);
      ++released_;
    }
    changed_.notify_all();
  }
  // True once the script is through (the connection is closed).
  bool Done() const {
    std::lock_guard lock(mutex_);
    return done_;
  }
  bool Failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
  }
  // Waits (without the event loop) until the proxy has received at least n bytes.
  bool WaitReceived(std::size_t n, int timeoutMs = 5000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return received_.size() >= n; });
  }

 private:
  void Record(const std::string& bytes) {
    {
      std::lock_guard lock(mutex_);
      received_ += bytes;
    }
    changed_.notify_all();
  }
  void Finish(bool failed) {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
      failed_ = failed;
    }
    changed_.notify_all();
  }
  void Play() {
    Fd conn = AcceptWithin(listener_.get(), 10000);
    if (!conn) return Finish(true);
    int on = 1;
    ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
      conn_ = conn.get();
    }
    bool failed = !PlayScript(conn.get());
    // Forget the descriptor before it is closed, so that the destructor never touches a number
    // that another socket may have taken meanwhile.
    {
      std::lock_guard lock(mutex_);
      conn_ = -1;
    }
    conn.reset();
    Finish(failed);
  }

  // False when the client did not behave as the script expects.
  bool PlayScript(int conn) {
    int pausesTaken = 0;
    for (const auto& step : script_) {
      switch (step.What) {
        case Step::Expect: {
          std::string got;
          bool ok = ReadExactly(conn, got, step.Count);
          Record(got);
          if (!ok) return false;
          break;
        }
        case Step::Send:
          if (!WriteAll(conn, step.Bytes)) return false;
          break;
        case Step::Pause: {
          std::unique_lock lock(mutex_);
          ++pausesTaken;
          changed_.wait(lock, [&] { return released_ >= pausesTaken || stop_; });
          if (stop_) return true;
          break;
        }
        case Step::Close:
          return true;
        case Step::Echo: {
          char buf[4096];
          for (;;) {
            if (!WaitReadable(conn, 10000)) return false;
            ssize_t n = ::recv(conn, buf, sizeof buf, 0);
            if (n <= 0) return true;
            std::string bytes(buf, static_cast<std::size_t>(n));
            Record(bytes);
            if (!WriteAll(conn, bytes)) return false;
          }
        }
      }
    }
    // Script through: record what else comes until the client closes.
    Record(ReadToEnd(conn, 10000));
    return true;
  }

  std::vector<Step> script_;
  Fd listener_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string received_;
  int released_ = 0;
  bool stop_ = false;
  bool done_ = false;
  bool failed_ = false;
  int conn_ = -1;  // the accepted connection while the script runs
  std::thread thread_;
};

}  // namespace socks_test

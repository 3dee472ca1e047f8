// Test support for the SMTP client: a scripted loopback SMTP peer on a thread with blocking
// POSIX sockets, the aiosmtpd peer process of tests/peers, an event pump that waits for a
// condition, and a recorder of the client's events (temporary folders: TestTempDir).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/EventLoop.h"
#include "smtp/SmtpProt.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeClock.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace smtptest {

using testsupport::PumpFor;
using testsupport::PumpUntil;

inline void WriteFile(const std::string& Path, const std::string& Bytes) {
  std::ofstream f(Path, std::ios::binary | std::ios::trunc);
  f.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + Path);
}

using testsupport::RunCapture;

inline std::string PeerScript(const std::string& Name) {
  return std::string(TARVIK_SOURCE_DIR) + "/tests/peers/" + Name;
}

// tests/peers/smtp_server.py (aiosmtpd) as a child process. The server also ends when this
// object closes its standard input, so it never outlives the test process.
class AiosmtpdServer {
 public:
  explicit AiosmtpdServer(const std::string& Dir, const std::vector<std::string>& Options = {})
      : process_(Arguments(Dir, Options)) {
    const std::string line = process_.ReadLine();
    if (line.rfind("PORT ", 0) != 0) throw std::runtime_error("aiosmtpd peer failed: " + line);
    port_ = std::stoi(line.substr(5));
  }
  int Port() const { return port_; }

 private:
  static std::vector<std::string> Arguments(const std::string& Dir,
                                            const std::vector<std::string>& Options) {
    std::vector<std::string> argv = {"/usr/bin/python3", PeerScript("smtp_server.py"), "--dir", Dir,
                                     "--stdin-eof"};
    argv.insert(argv.end(), Options.begin(), Options.end());
    return argv;
  }
  testsupport::ChildProcess process_;
  int port_ = 0;
};

// A scripted SMTP peer: one thread, blocking sockets, one connection per script run. The
// script is a list of steps; everything the client sends is kept in Transcript() (except data
// read with DiscardData) so that a test can compare the wire image byte for byte.
class ScriptedServer {
 public:
  struct Step {
    enum Kind { Reply, ReadLine, ReadData, DiscardData, Gate, Close, ReadToEnd } kind;
    std::string text;
  };
  static Step Reply(std::string Text) { return {Step::Reply, std::move(Text)}; }
  static Step ReadLine() { return {Step::ReadLine, {}}; }
  // Reads up to and including the CR LF "." CR LF that ends the data.
  static Step ReadData() { return {Step::ReadData, {}}; }
  static Step DiscardData() { return {Step::DiscardData, {}}; }
  // Waits until the test calls Release() (to split a reply between two reads of the client).
  static Step Gate() { return {Step::Gate, {}}; }
  static Step Close() { return {Step::Close, {}}; }
  // Reads until the client closes.
  static Step ReadToEnd() { return {Step::ReadToEnd, {}}; }

  // Serves Connections connections, each with the same script.
  explicit ScriptedServer(std::vector<Step> Script, int Connections = 1)
      : script_(std::move(Script)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 4) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("scripted server: cannot listen");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, Connections] { Serve(Connections); });
  }
  ~ScriptedServer() {
    Release();
    {
      std::lock_guard<std::mutex> g(mutex_);
      stop_ = true;
    }
    ::shutdown(listen_, SHUT_RDWR);
    int c = conn_.load();
    if (c >= 0) ::shutdown(c, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  std::string Transcript() const {
    std::lock_guard<std::mutex> g(mutex_);
    return transcript_;
  }
  long DataBytes() const { return dataBytes_.load(); }
  // How many messages arrived whole, up to their final ".".
  int DataEnds() const { return dataEnds_.load(); }
  bool Done() const { return done_.load(); }
  void Release() {
    std::lock_guard<std::mutex> g(mutex_);
    gates_++;
    cv_.notify_all();
  }

 private:
  void Serve(int Connections) {
    for (int i = 0; i < Connections; ++i) {
      const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) break;
      timeval tv{20, 0};
      ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      conn_ = c;
      RunScript(c);
      conn_ = -1;
      ::close(c);
    }
    done_ = true;
  }

  void Append(const char* p, size_t n) {
    std::lock_guard<std::mutex> g(mutex_);
    transcript_.append(p, n);
  }

  void RunScript(int c) {
    std::string pending;  // received but not yet consumed by a step
    auto fill = [&]() {
      char buf[65536];
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) return false;
      pending.append(buf, static_cast<size_t>(n));
      return true;
    };
    auto take = [&](size_t n, bool keep) {
      if (keep) Append(pending.data(), n);
      pending.erase(0, n);
    };
    for (const Step& s : script_) {
      switch (s.kind) {
        case Step::Reply:
          if (::send(c, s.text.data(), s.text.size(), MSG_NOSIGNAL) < 0) return;
          break;
        case Step::ReadLine: {
          size_t pos;
          while ((pos = pending.find("\r\n")) == std::string::npos)
            if (!fill()) return;
          take(pos + 2, true);
          break;
        }
        case Step::ReadData:
        case Step::DiscardData: {
          // The data ends with CR LF "." CR LF (a message always has its header first).
          const bool keep = s.kind == Step::ReadData;
          std::size_t scanned = 0;
          for (;;) {
            const std::size_t from = scanned > 4 ? scanned - 4 : 0;
            const std::size_t end = pending.find("\r\n.\r\n", from);
            if (end != std::string::npos) {
              dataBytes_ += static_cast<long>(end + 5);
              ++dataEnds_;
              take(end + 5, keep);
              break;
            }
            if (!keep && pending.size() > (1u << 20)) {
              // Only the tail can still hold the start of the end marker.
              dataBytes_ += static_cast<long>(pending.size() - 4);
              pending.erase(0, pending.size() - 4);
            }
            scanned = pending.size();
            if (!fill()) return;
          }
          break;
        }
        case Step::Gate: {
          std::unique_lock<std::mutex> g(mutex_);
          cv_.wait_for(g, std::chrono::seconds(20), [&] { return gates_ > 0 || stop_; });
          if (gates_ > 0) gates_--;
          break;
        }
        case Step::Close:
          return;
        case Step::ReadToEnd:
          take(pending.size(), true);
          while (fill()) take(pending.size(), true);
          return;
      }
    }
  }

  std::vector<Step> script_;
  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<int> conn_{-1};
  std::atomic<bool> done_{false};
  std::atomic<long> dataBytes_{0};
  std::atomic<int> dataEnds_{0};
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int gates_ = 0;
  bool stop_ = false;
  std::string transcript_;
};

using testsupport::FakeClock;

// Records every event of a client, in order.
struct EventLog {
  struct Done {
    TSmtpRequest request;
    std::uint16_t error;
  };
  std::vector<Done> done;
  std::vector<std::string> display, command, response;
  int sessionConnected = 0, sessionClosed = 0;
  std::function<void(TCustomSmtpClient*, TSmtpRequest, std::uint16_t)> onDone;

  void Attach(TCustomSmtpClient& c) {
    c.OnRequestDone = [this](TCustomSmtpClient* s, TSmtpRequest r, std::uint16_t e) {
      done.push_back({r, e});
      if (onDone) onDone(s, r, e);
    };
    c.OnDisplay = [this](TCustomSmtpClient*, const std::string& m) { display.push_back(m); };
    c.OnCommand = [this](TCustomSmtpClient*, const std::string& m) { command.push_back(m); };
    c.OnResponse = [this](TCustomSmtpClient*, const std::string& m) { response.push_back(m); };
    c.OnSessionConnected = [this](TCustomSmtpClient*, std::uint16_t) { sessionConnected++; };
    c.OnSessionClosed = [this](TCustomSmtpClient*, std::uint16_t) { sessionClosed++; };
  }
};

// A TSmtpCli that lets tests see its socket and hand it server bytes directly.
class TestSmtpCli : public TSmtpCli {
 public:
  TWSocket& Socket() { return *FWSocket; }
  const TStringList* HeaderLines() const { return FHdrLines.get(); }
  // Pretends a session is up without a socket: commands are traced but not sent.
  void FakeConnected() { FConnected = true; }
  void SetWaitingBanner() {
    FConnected = true;
    FRequestDoneFlag = false;
    FRequestType = TSmtpRequest::smtpConnect;
    StateChange(TSmtpState::smtpWaitingBanner);
    StartWait(TWaitFor::Reply, GreetingWait);
  }
  // Hands Bytes to the reply assembly as the socket would, in reads of at most the free room.
  void Feed(std::string_view Bytes) {
    while (!Bytes.empty()) {
      const int room = ReceiveBufferSize - FRcvdCount - 1;
      if (room <= 0) return;
      const int n = std::min<int>(room, static_cast<int>(Bytes.size()));
      std::memcpy(FReceiveBuffer + FRcvdCount, Bytes.data(), static_cast<size_t>(n));
      Bytes.remove_prefix(static_cast<size_t>(n));
      ReceivedBytes(n, 0);
    }
  }
  void FakeSessionClosed(std::uint16_t Error) { WSocketSessionClosed(FWSocket.get(), Error); }
  // Lets AUTH run over a plain loopback connection, as if it were encrypted.
  void PretendEncrypted() { pretendEncrypted_ = true; }
  // Fixes the SCRAM client nonce (for published test vectors).
  void SetScramNonce(std::string Nonce) { FScramNonce = std::move(Nonce); }

 protected:
  bool SessionEncrypted() const override {
    return pretendEncrypted_ || TSmtpCli::SessionEncrypted();
  }

 private:
  bool pretendEncrypted_ = false;
};

// One send through Open, MailFrom, RcptTo, Data, Quit, each started from OnRequestDone.
class MimeSend {
 public:
  MimeSend() {
    log.Attach(client);
    client.SetFromName("sender@x.example");
    client.SetHdrFrom("Sender <sender@x.example>");
    client.SetHdrTo("rcpt@x.example");
    client.SetHdrSubject("attachments");
    client.RcptName().Add("rcpt@x.example");
    log.onDone = [](TCustomSmtpClient* c, TSmtpRequest r, std::uint16_t e) {
      if (e != 0) return;
      if (r == TSmtpRequest::smtpConnect) c->Ehlo();
      if (r == TSmtpRequest::smtpOpen || r == TSmtpRequest::smtpEhlo) c->MailFrom();
      if (r == TSmtpRequest::smtpMailFrom) c->RcptTo();
      if (r == TSmtpRequest::smtpRcptTo) c->Data();
      if (r == TSmtpRequest::smtpData) c->Quit();
    };
  }
  // True when the send ran to its end (QUIT answered, or a failure). WithEhlo greets with
  // EHLO (Connect, then Ehlo) instead of Open.
  bool Run(int Port, int TimeoutMs = 60000, bool WithEhlo = false) {
    client.SetHost("127.0.0.1");
    client.SetPort(std::to_string(Port));
    if (WithEhlo)
      client.Connect();
    else
      client.Open();
    const bool ended = PumpUntil(
        [&] {
          return !log.done.empty() &&
                 (log.done.back().request == TSmtpRequest::smtpQuit || log.done.back().error != 0);
        },
        TimeoutMs);
    EventLoop::Current().ProcessMessages();
    return ended;
  }
  std::uint16_t DataError() const {
    for (const auto& d : log.done)
      if (d.request == TSmtpRequest::smtpData) return d.error;
    return 0xFFFF;
  }

  TestSmtpCli client;
  EventLog log;
};

// A server that takes one message: greeting, HELO, MAIL, RCPT, DATA and QUIT all accepted. The
// data is kept in the transcript, or only counted (DataBytes) when KeepData is false.
inline std::vector<ScriptedServer::Step> SinkScript(bool KeepData = true) {
  using S = ScriptedServer;
  return {S::Reply("220 ready\r\n"),  S::ReadLine(),
          S::Reply("250 hi\r\n"),     S::ReadLine(),
          S::Reply("250 ok\r\n"),     S::ReadLine(),
          S::Reply("250 ok\r\n"),     S::ReadLine(),
          S::Reply("354 go\r\n"),     KeepData ? S::ReadData() : S::DiscardData(),
          S::Reply("250 queued\r\n"), S::ReadLine(),
          S::Reply("221 bye\r\n")};
}

// A server that takes one message as SinkScript does, but stops at a gate until the test calls
// Release(): in the data right after its 354 (BeforeData: the client's upload stalls on a full
// socket), or after the final "." before its 250 (the message is whole, not yet accepted).
inline std::vector<ScriptedServer::Step> GatedSinkScript(bool BeforeData) {
  using S = ScriptedServer;
  std::vector<S::Step> script = SinkScript(/*KeepData=*/false);
  const auto data = std::find_if(script.begin(), script.end(),
                                 [](const S::Step& s) { return s.kind == S::Step::DiscardData; });
  script.insert(BeforeData ? data : data + 1, S::Gate());
  return script;
}

// A listening socket that nobody serves: a connection attempt shows as a pending accept.
class IdleListener {
 public:
  IdleListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("cannot listen");
    port_ = ntohs(a.sin_port);
  }
  ~IdleListener() { ::close(fd_); }
  std::string PortText() const { return std::to_string(port_); }
  bool SawConnection() const {
    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) ::close(c);
    return c >= 0;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

inline std::string DataOf(const std::string& Transcript) {
  const auto start = Transcript.find("DATA\r\n") + 6;
  const auto end = Transcript.find("\r\n.\r\n", start);
  return Transcript.substr(start, end + 2 - start);
}

}  // namespace smtptest

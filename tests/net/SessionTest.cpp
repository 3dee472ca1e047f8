// Real TCP sessions on 127.0.0.1 driven by the event loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "NetTestSupport.h"

using namespace nettest;

TEST(Session, ConnectAndExchangeDataBothWays) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  EventLog log;
  log.Attach(s);
  std::string received;
  s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t e) {
    EXPECT_EQ(sender, &s);
    EXPECT_EQ(e, 0);
    char buf[100];
    int n = sender->Receive(buf, sizeof buf);
    if (n > 0) received.append(buf, static_cast<std::size_t>(n));
  };
  ASSERT_TRUE(pair.Open());
  EXPECT_EQ(log.lines[0], "ChangeState(wsClosed,wsOpened)");
  EXPECT_EQ(log.lines[1], "ChangeState(wsOpened,wsConnecting)");
  EXPECT_EQ(log.lines[2], "ChangeState(wsConnecting,wsConnected)");
  EXPECT_EQ(s.State(), wsConnected);

  WriteAll(pair.peer.Get(), "220 hello there\r\n");
  ASSERT_TRUE(PumpUntil([&] { return received == "220 hello there\r\n"; }));
  EXPECT_EQ(s.ReadCount(), 17);

  std::string big(2500, 'z');  // more than one Receive of 100 bytes: the handler is called again
  WriteAll(pair.peer.Get(), big);
  ASSERT_TRUE(PumpUntil([&] { return received.size() == 17 + big.size(); }));

  EXPECT_EQ(s.SendText("HELO me\r\n"), 9);
  std::string atPeer;
  ASSERT_TRUE(PumpUntil([&] {
    atPeer += ReadAvailable(pair.peer.Get());
    return atPeer == "HELO me\r\n";
  }));

  s.Close();
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(log.lines[log.lines.size() - 2], "ChangeState(wsConnected,wsClosed)");
  EXPECT_EQ(log.lines.back(), "SessionClosed(0)");
  std::size_t count = log.lines.size();
  s.Close();
  EXPECT_EQ(log.lines.size(), count) << "a second Close does nothing";
  EXPECT_EQ(::recv(pair.peer.Get(), nullptr, 0, 0), 0);
}

TEST(Session, RefusedPortGivesExactlyTheFourEventSequence) {
  RawFd closed = RawClosedPort();
  TWSocket s;
  EventLog log;
  log.Attach(s);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(PortOf(closed.Get())));
  s.Connect();
  ASSERT_EQ(s.State(), wsConnecting);
  std::size_t start = log.lines.size();
  ASSERT_TRUE(PumpUntil([&] { return log.Has("SessionClosed(0)"); }));
  PumpIdle();
  std::vector<std::string> after(log.lines.begin() + static_cast<long>(start), log.lines.end());
  EXPECT_EQ(after, (std::vector<std::string>{
                       "ChangeState(wsConnecting,wsConnected)", "SessionConnected(10061)",
                       "ChangeState(wsConnected,wsClosed)", "SessionClosed(0)"}));
  EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
  // The reset after the close forgot Addr and Port: they must be assigned again.
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  try {
    s.Connect();
    ADD_FAILURE() << "Connect without assigned port";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Connect: No Port Specified");
  }
}

TEST(Session, OrderlyCloseDeliversRemainingDataFirst) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  std::vector<std::string> order;
  std::string received;
  s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
    std::string t = sender->ReceiveText();
    received += t;
    if (!t.empty()) order.push_back("data");
  };
  ASSERT_TRUE(pair.Open());
  s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) {
    order.push_back("closed(" + std::to_string(e) + ")");
  };
  s.OnChangeState = [&](TCustomWSocket*, TSocketState, TSocketState n) {
    if (n == wsClosed) order.push_back("state closed");
  };
  std::string data(3000, 'd');
  WriteAll(pair.peer.Get(), data);
  pair.peer.Reset();  // orderly close right after the data
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
  EXPECT_EQ(received, data);
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order[order.size() - 2], "closed(0)");
  EXPECT_EQ(order.back(), "state closed");
  for (std::size_t i = 0; i + 2 < order.size(); ++i) EXPECT_EQ(order[i], "data");
}

TEST(Session, WithoutDataHandlerBytesAreDiscardedInReadsOfAtMost1024) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  ASSERT_TRUE(pair.Open());
  WriteAll(pair.peer.Get(), std::string(3000, 'x'));
  ASSERT_TRUE(PumpUntil([&] { return !s.recvSizes.empty() && s.RcvdCount() == 0; }));
  for (int size : s.recvSizes) EXPECT_EQ(size, 1024);
  EXPECT_GE(s.recvSizes.size(), 3u);
  EXPECT_EQ(s.State(), wsConnected);
}

TEST(Session, AHandlerThatReadsNothingDoesNotSpinTheLoop) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  int calls = 0;
  bool reading = false;
  std::string received;
  s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
    ++calls;
    if (reading) received += sender->ReceiveText();
  };
  ASSERT_TRUE(pair.Open());
  WriteAll(pair.peer.Get(), "waiting");
  ASSERT_TRUE(PumpUntil([&] { return calls >= 1; }));
  PumpIdle(std::chrono::milliseconds(200));
  EXPECT_EQ(calls, 1) << "the bytes wait for the handler's next Receive";
  reading = true;
  received = s.ReceiveText();  // reading re-arms FD_READ
  WriteAll(pair.peer.Get(), " more");
  ASSERT_TRUE(PumpUntil([&] { return received == "waiting more"; }));
}

TEST(Session, PeerResetGivesOneSessionClosed10054) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  EventLog log;
  log.Attach(s);
  int lastReadError = 0;
  s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
    char buf[64];
    if (sender->Receive(buf, sizeof buf) < 0) lastReadError = sender->LastError();
  };
  ASSERT_TRUE(pair.Open());
  pair.peer.Abort();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
  PumpIdle();
  EXPECT_EQ(log.Count("SessionClosed(10054)"), 1);
  EXPECT_EQ(log.Count("SessionClosed(0)"), 0);
  EXPECT_TRUE(lastReadError == 0 || lastReadError == WSAECONNRESET);
}

TEST(Session, HandlerExceptionReachesOnBgExceptionAndAbortsByDefault) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  EventLog log;
  log.Attach(s);
  s.OnSessionConnected = [](TCustomWSocket*, std::uint16_t) {
    throw std::runtime_error("handler failed");
  };
  std::string seen;
  s.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool& canClose) {
    seen = e.what();
    EXPECT_TRUE(canClose);
  };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(PortOf(pair.listener.Get())));
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty() && s.State() == wsClosed; }));
  EXPECT_EQ(seen, "handler failed");
  EXPECT_EQ(log.Count("SessionClosed(0)"), 1);
}

TEST(Session, OnBgExceptionMayKeepTheSessionAndDataHandlerExceptionsAreSwallowed) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  int dataSent = 0, bg = 0, dataCalls = 0;
  s.OnDataSent = [&](TCustomWSocket*, std::uint16_t) {
    ++dataSent;
    throw ESocketException("from OnDataSent");
  };
  s.OnBgException = [&](TCustomWSocket*, const std::exception&, bool& canClose) {
    ++bg;
    canClose = false;
  };
  s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
    ++dataCalls;
    sender->ReceiveText();
    throw std::runtime_error("from OnDataAvailable");
  };
  ASSERT_TRUE(pair.Open());
  ASSERT_TRUE(PumpUntil([&] { return bg == 1; }));
  EXPECT_EQ(s.State(), wsConnected) << "CanClose false keeps the session";
  WriteAll(pair.peer.Get(), "x");
  ASSERT_TRUE(PumpUntil([&] { return dataCalls == 1; }));
  PumpIdle();
  EXPECT_EQ(bg, 1) << "OnDataAvailable exceptions end the receive loop only";
  EXPECT_EQ(s.State(), wsConnected);
}

TEST(Session, TestExceptionMessageIsHandledInTheBackground) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.Open());
  std::string seen;
  pair.client->OnBgException = [&](TCustomWSocket*, const std::exception& e, bool&) {
    seen = e.what();
  };
  PostMessageA(pair.client->Handle(), WM_TEST_EXCEPTION, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "Test exception in WSocket");
  EXPECT_EQ(pair.client->State(), wsClosed);
}

TEST(Session, HandlersMayDestroyTheirSocket) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.Open());
  bool destroyed = false;
  pair.client->OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) {
    pair.client.reset();  // from inside the receive loop
    destroyed = true;
  };
  WriteAll(pair.peer.Get(), "bye");
  pair.peer.Reset();
  ASSERT_TRUE(PumpUntil([&] { return destroyed; }));
  PumpIdle();

  ConnectedPair second;
  ASSERT_TRUE(second.Open());
  bool closedFired = false;
  second.client->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) {
    closedFired = true;
    second.client.reset();  // from inside Close, during FD_CLOSE handling
  };
  second.peer.Reset();
  ASSERT_TRUE(PumpUntil([&] { return closedFired; }));
  PumpIdle();
}

TEST(Session, CloseLaterAndFreeLaterActAfterTheCurrentHandler) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.Open());
  TWSocket* raw = pair.client.get();
  EventLog log;
  log.Attach(*raw);
  raw->CloseLater();
  EXPECT_EQ(raw->State(), wsConnected);
  ASSERT_TRUE(PumpUntil([&] { return raw->State() == wsClosed; }));
  EXPECT_EQ(log.Count("SessionClosed(0)"), 1);

  // FreeLater: the object takes its own ownership and is gone after the loop came round.
  ConnectedPair other;
  ASSERT_TRUE(other.Open());
  bool gone = false;
  other.client->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { gone = true; };
  TCustomWSocket* self = other.client.get();
  self->FreeLater(std::move(other.client));
  EXPECT_EQ(self->State(), wsConnected) << "still usable until the message is handled";
  int before = SocketObjectCount();
  ASSERT_TRUE(PumpUntil([&] { return SocketObjectCount() == before - 1; }));
  EXPECT_FALSE(gone) << "destruction fires no events";
}

TEST(Session, StaleNotificationsOfAnEarlierSocketChangeNothing) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  int dataSent = 0;
  s.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++dataSent; };
  ASSERT_TRUE(pair.Open());
  ASSERT_TRUE(PumpUntil([&] { return dataSent == 1; }));
  PostMessageA(s.Handle(), WM_SOCKET_NOTIFY, static_cast<WPARAM>(s.HSocket() + 1000),
               MakeSelectLParam(FD_WRITE, 0));
  s.SuspendEvents();
  PostMessageA(s.Handle(), WM_SOCKET_NOTIFY, static_cast<WPARAM>(s.HSocket()),
               MakeSelectLParam(FD_WRITE, 0));
  PumpIdle();
  EXPECT_EQ(dataSent, 1);
  s.ResumeEvents();
  PostMessageA(s.Handle(), WM_SOCKET_NOTIFY, static_cast<WPARAM>(s.HSocket()),
               MakeSelectLParam(FD_WRITE, 0));
  ASSERT_TRUE(PumpUntil([&] { return dataSent >= 2; })) << "resumed events are handled";
}

TEST(Session, MultiThreadedPumpRecordsQuit) {
  TWSocket s;
  s.SetMultiThreaded(true);
  int delivered = 0;
  HWND w = AllocateHWnd([&](TMessage&) { ++delivered; });
  PostMessageA(w, WM_USER + 50, 0, 0);
  EventLoop::Current().PostQuitMessage();
  s.PumpMessages();
  EXPECT_EQ(delivered, 1);
  EXPECT_TRUE(s.QuitSeen());
  DeallocateHWnd(w);
}

TEST(Session, LingerAndKeepAliveAreSetOnConnect) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.Open());
  int keepAlive = 0;
  socklen_t len = sizeof keepAlive;
  ::getsockopt(pair.client->HSocket(), SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &len);
  EXPECT_NE(keepAlive, 0);
  linger l{};
  len = sizeof l;
  ::getsockopt(pair.client->HSocket(), SOL_SOCKET, SO_LINGER, &l, &len);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 0);
}

TEST(Session, OneMessageWithReadAndCloseDeliversDataFirst) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  std::vector<std::string> order;
  s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
    if (!sender->ReceiveText().empty()) order.push_back("data");
  };
  ASSERT_TRUE(pair.Open());
  s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) {
    order.push_back("closed(" + std::to_string(e) + ")");
  };
  WriteAll(pair.peer.Get(), "last words");
  pollfd p{s.HSocket(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  // Queued before the loop looks at the socket again, so this one message brings the data.
  PostMessageA(s.Handle(), WM_SOCKET_NOTIFY, static_cast<WPARAM>(s.HSocket()),
               MakeSelectLParam(FD_READ | FD_CLOSE, 0));
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order.front(), "data");
  EXPECT_EQ(order.back(), "closed(0)");
  EXPECT_EQ(std::count(order.begin(), order.end(), "closed(0)"), 1);
}

TEST(Session, FlushPumpsUntilTheBufferHasDrained) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  ASSERT_TRUE(pair.Open());
  int small = 4096;
  ::setsockopt(s.HSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(pair.peer.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::string data(128 * 1024, 'f');
  s.Send(data.data(), static_cast<int>(data.size()));
  EXPECT_GT(s.BufferedByteCount(), 0) << "the peer has not read yet";
  std::atomic<std::size_t> got{0};
  std::thread reader([&, fd = pair.peer.Get()] {
    char buf[8192];
    while (got < data.size()) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
  });
  s.Flush();
  EXPECT_TRUE(s.IsAllSent());
  EXPECT_EQ(s.BufferedByteCount(), 0);
  reader.join();
  EXPECT_EQ(got.load(), data.size());
}

TEST(Session, ClosingWithALingerTimeDoesNotBlock) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  s.SetLingerTimeout(30);
  ASSERT_TRUE(pair.Open());
  int small = 4096;
  ::setsockopt(s.HSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string data(256 * 1024, 'l');
  s.Send(data.data(), static_cast<int>(data.size()));  // the peer reads nothing
  auto begin = Clock::now();
  s.Close();
  EXPECT_LT(Clock::now() - begin, std::chrono::seconds(5));
  EXPECT_EQ(s.State(), wsClosed);
}

TEST(Session, WaitUntilClosedReturnsOnceThePeerHasClosed) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  std::string received;
  s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
    received += sender->ReceiveText();
  };
  ASSERT_TRUE(pair.Open());
  // The peer speaks and closes from the loop, while WaitUntilClosed pumps it.
  HWND helper = AllocateHWnd([&](TMessage&) {
    WriteAll(pair.peer.Get(), "goodbye");
    pair.peer.Reset();
  });
  PostMessageA(helper, WM_USER + 60, 0, 0);
  s.WaitUntilClosed();
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(received, "goodbye");
  DeallocateHWnd(helper);
}

TEST(Session, OneReadNotificationOffersABoundedNumberOfReadsAndTheRestLater) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  std::string received;
  int calls = 0;
  int callsWhenOtherWorkRan = -1;
  const HWND other = AllocateHWnd([&](TMessage&) { callsWhenOtherWorkRan = calls; });
  bool closed = false;
  std::size_t receivedAtClose = 0;
  s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) {
    closed = true;
    receivedAtClose = received.size();
  };
  s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
    // Work posted by the first handler call waits behind the reads of this notification.
    if (++calls == 1) PostMessageA(other, WM_USER + 7, 0, 0);
    char c;
    if (sender->Receive(&c, 1) == 1) received += c;
  };
  ASSERT_TRUE(pair.Open());
  const std::string bytes = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  WriteAll(pair.peer.Get(), bytes);
  ASSERT_TRUE(PumpUntil([&] { return received == bytes; }));
  EXPECT_EQ(callsWhenOtherWorkRan, TCustomWSocket::kMaxReadsPerReadiness)
      << "the loop got its turn after the bounded reads, not after all of them";

  // Before a close every byte is read, however many reads it takes.
  WriteAll(pair.peer.Get(), bytes);
  pair.peer.Reset();
  ASSERT_TRUE(PumpUntil([&] { return closed; }));
  EXPECT_EQ(receivedAtClose, 2 * bytes.size());
  DeallocateHWnd(other);
}

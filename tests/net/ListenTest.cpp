// Listening, accepting and adopting connections.
#include <gtest/gtest.h>

#include <memory>

#include "NetTestSupport.h"

using namespace nettest;

TEST(Listen, AcceptAndDupServeTwoClients) {
  TWSocket server;
  EventLog log;
  log.Attach(server);
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  std::vector<std::unique_ptr<TWSocket>> sessions;
  std::vector<std::string> received(2);
  int closed = 0;
  server.OnSessionAvailable = [&](TCustomWSocket* sender, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    auto session = std::make_unique<TWSocket>();
    std::size_t index = sessions.size();
    session->OnDataAvailable = [&, index](TCustomWSocket* s, std::uint16_t) {
      received[index] += s->ReceiveText();
      if (received[index] == "ping") s->SendText("pong " + std::to_string(index));
    };
    session->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++closed; };
    session->Dup(sender->Accept());
    EXPECT_EQ(session->State(), wsConnected);
    sessions.push_back(std::move(session));
  };
  server.Listen();
  EXPECT_EQ(log.lines, (std::vector<std::string>{"ChangeState(wsClosed,wsBound)",
                                                 "ChangeState(wsBound,wsListening)"}));
  int port = std::stoi(server.BoundPort());
  ASSERT_GT(port, 0);

  RawFd a = RawConnect(port);
  RawFd b = RawConnect(port);
  ASSERT_TRUE(PumpUntil([&] { return sessions.size() == 2; })) << "one FD_ACCEPT per connection";
  WriteAll(a.Get(), "ping");
  WriteAll(b.Get(), "ping");
  std::string ra, rb;
  ASSERT_TRUE(PumpUntil([&] {
    ra += ReadAvailable(a.Get());
    rb += ReadAvailable(b.Get());
    return ra.size() == 6 && rb.size() == 6;
  }));
  EXPECT_NE(ra, rb);
  a.Reset();
  b.Reset();
  ASSERT_TRUE(PumpUntil([&] { return closed == 2; }));
  EXPECT_EQ(server.State(), wsListening) << "the listener keeps listening";
  server.Close();
  EXPECT_EQ(server.State(), wsClosed);
  EXPECT_EQ(log.lines.back(), "SessionClosed(0)");
}

TEST(Listen, PortInUseGives10048BindTextAndLeaksNoHandle) {
  RawFd taken = RawListen();
  TWSocket server;
  server.SetAddr("127.0.0.1");
  server.SetPort(std::to_string(PortOf(taken.Get())));
  int before = OpenFdCount();
  EXPECT_EQ(Thrown([&] { server.Listen(); }),
            "Error 10048 in function Bind\r\nAddress already in use");
  EXPECT_EQ(server.State(), wsClosed);
  EXPECT_EQ(server.HSocket(), Winsock::INVALID_SOCKET);
  EXPECT_EQ(OpenFdCount(), before);

  int errors = 0;
  server.OnError = [&](TCustomWSocket*) { ++errors; };
  server.Listen();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(server.LastError(), WSAEADDRINUSE);
  EXPECT_EQ(OpenFdCount(), before);
}

TEST(Listen, MissingAddressingIsInvalidArgument) {
  TWSocket server;
  int before = OpenFdCount();
  EXPECT_EQ(Thrown([&] { server.Listen(); }),
            "Error 10022 in function listen: port not assigned\r\nInvalid argument");
  server.SetPort("0");
  EXPECT_EQ(Thrown([&] { server.Listen(); }),
            "Error 10022 in function listen: address not assigned\r\nInvalid argument");
  EXPECT_EQ(OpenFdCount(), before);
}

TEST(Listen, DatagramListenEndsConnected) {
  TWSocket server;
  EventLog log;
  log.Attach(server);
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.SetProto("udp");
  server.Listen();
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "ChangeState(wsClosed,wsBound)", "ChangeState(wsBound,wsListening)",
                           "ChangeState(wsListening,wsConnected)", "SessionConnected(0)"}));
  int port = std::stoi(server.BoundPort());
  std::string got;
  sockaddr_in from{};
  server.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    char buf[64];
    int len = sizeof from;
    int n = s->ReceiveDatagram(buf, sizeof buf, from, len);
    if (n > 0) got.assign(buf, static_cast<std::size_t>(n));
  };
  RawFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in to = Loopback(port);
  ::sendto(udp.Get(), "dgram", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ASSERT_TRUE(PumpUntil([&] { return got == "dgram"; }));
  EXPECT_EQ(ntohs(from.sin_port), PortOf(udp.Get()));
  server.Close();
}

TEST(Listen, AcceptOnAConnectedSocketIsRefused) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.Open());
  EXPECT_EQ(Thrown([&] { pair.client->Accept(); }),
            "Error 10022 in function not a listening socket\r\nInvalid argument");
  int errors = 0;
  pair.client->OnError = [&](TCustomWSocket*) { ++errors; };
  EXPECT_EQ(pair.client->Accept(), Winsock::INVALID_SOCKET);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(Thrown([] {
              TWSocket s;
              s.Dup(Winsock::INVALID_SOCKET);
            }),
            "Error 10022 in function Dup\r\nInvalid argument");
}

TEST(Listen, ListeningAgainReleasesTheEarlierHandle) {
  TWSocket server;
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.Listen();
  int first = std::stoi(server.BoundPort());
  int before = OpenFdCount();
  server.Listen();
  EXPECT_EQ(server.State(), wsListening);
  EXPECT_EQ(OpenFdCount(), before);
  RawFd probe = RawConnect(first);
  pollfd p{probe.Get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  char c;
  EXPECT_EQ(::recv(probe.Get(), &c, 1, 0), -1) << "nobody listens on the first port any more";
}

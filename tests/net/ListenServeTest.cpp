// A TWSocket server: listening, one OnSessionAvailable per pending connection, sessions adopted
// with Dup that echo what they receive (also in line mode), and the refusals of Listen.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../peers/socks_test_support.h"
#include "net/WSocket.h"

using socks_test::ErrorOf;
using socks_test::PumpUntil;

namespace {

// A listening TWSocket on 127.0.0.1 whose sessions run `setup` after Dup.
struct Server {
  TWSocket listener;
  std::vector<std::unique_ptr<TWSocket>> sessions;
  int available = 0;
  int port = 0;

  explicit Server(std::function<void(TWSocket&)> setup) {
    listener.OnSessionAvailable = [this, setup](TCustomWSocket*, std::uint16_t e) {
      EXPECT_EQ(e, 0);
      ++available;
      auto session = std::make_unique<TWSocket>();
      setup(*session);
      session->Dup(listener.Accept());
      EXPECT_EQ(session->State(), wsConnected);
      sessions.push_back(std::move(session));
    };
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.Listen();
    port = std::stoi(listener.BoundPort());
  }
};

TEST(ListenServe, SeveralClientsAtOnceAreServedBySessionsAdoptedWithDup) {
  Server server([](TWSocket& session) {
    session.OnDataAvailable = [](TCustomWSocket* s, std::uint16_t) {
      std::string bytes = s->ReceiveText();
      if (!bytes.empty()) s->SendText(bytes);
    };
  });
  EXPECT_EQ(server.listener.State(), wsListening);

  constexpr int kClients = 5;
  std::vector<std::unique_ptr<TWSocket>> clients;
  std::vector<std::string> echoed(kClients);
  for (int i = 0; i < kClients; ++i) {
    auto c = std::make_unique<TWSocket>();
    c->OnSessionConnected = [i](TCustomWSocket* s, std::uint16_t e) {
      ASSERT_EQ(e, 0);
      s->SendText("client " + std::to_string(i) + " says hello\r\n");
    };
    c->OnDataAvailable = [&echoed, i](TCustomWSocket* s, std::uint16_t) {
      echoed[static_cast<std::size_t>(i)] += s->ReceiveText();
    };
    c->SetAddr("127.0.0.1");
    c->SetPort(std::to_string(server.port));
    c->Connect();
    clients.push_back(std::move(c));
  }
  ASSERT_TRUE(PumpUntil([&] {
    for (int i = 0; i < kClients; ++i)
      if (echoed[static_cast<std::size_t>(i)] != "client " + std::to_string(i) + " says hello\r\n")
        return false;
    return true;
  }));
  EXPECT_EQ(server.available, kClients);
  EXPECT_EQ(server.listener.State(), wsListening);  // still listening after the accepts

  // A client closing ends its session on the server side.
  bool sessionClosed = false;
  server.sessions[0]->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) {
    sessionClosed = true;
  };
  for (auto& c : clients) c->Close();
  ASSERT_TRUE(PumpUntil([&] { return sessionClosed; }));
  server.listener.Close();
  EXPECT_EQ(server.listener.State(), wsClosed);
}

TEST(ListenServe, SessionsInLineModeEchoLineByLine) {
  Server server([](TWSocket& session) {
    session.SetLineMode(true);
    session.OnDataAvailable = [](TCustomWSocket* s, std::uint16_t) {
      std::string line = s->ReceiveText();
      s->SendText("[" + line.substr(0, line.size() - 2) + "]\r\n");
    };
  });
  TWSocket client;
  std::string got;
  client.OnSessionConnected = [](TCustomWSocket* s, std::uint16_t) { s->SendText("one\r\ntw"); };
  client.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    got += s->ReceiveText();
    if (got == "[one]\r\n") s->SendText("o\r\nthree\r\n");
  };
  client.SetAddr("127.0.0.1");
  client.SetPort(std::to_string(server.port));
  client.Connect();
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= 21; }));
  EXPECT_EQ(got, "[one]\r\n[two]\r\n[three]\r\n");
}

TEST(ListenServe, PortInUseGivesTheBindTextFor10048) {
  int port = 0;
  socks_test::Fd taken = socks_test::ListenLoopback(port);
  TWSocket s;
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
  EXPECT_EQ(ErrorOf([&] { s.Listen(); }), SocketErrorMessage(WSAEADDRINUSE, "Bind"));
  EXPECT_EQ(SocketErrorMessage(WSAEADDRINUSE, "Bind"),
            "Error 10048 in function Bind\r\nAddress already in use");
  EXPECT_EQ(s.State(), wsClosed);
}

TEST(ListenServe, UnassignedPortProtocolAndAddressAreInvalidArguments) {
  {
    TWSocket s;
    s.SetAddr("127.0.0.1");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }),
              "Error 10022 in function listen: port not assigned\r\nInvalid argument");
    EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
  }
  {
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    s.SetProto("");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }),
              "Error 10022 in function listen: protocol not assigned\r\nInvalid argument");
  }
  {
    TWSocket s;
    s.SetPort("0");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }),
              "Error 10022 in function listen: address not assigned\r\nInvalid argument");
    EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
  }
  {
    TWSocket s;  // merely closed, not listening
    EXPECT_EQ(ErrorOf([&] { s.Accept(); }),
              "Error 10022 in function not a listening socket\r\nInvalid argument");
  }
}

TEST(ListenServe, UdpListeningEndsConnectedAndReceivesDatagrams) {
  TWSocket s;
  std::vector<std::string> states;
  int connected = -1;
  std::string datagram;
  s.OnChangeState = [&](TCustomWSocket*, TSocketState, TSocketState to) {
    states.push_back(SocketStateName(to));
  };
  s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { connected = e; };
  s.OnDataAvailable = [&](TCustomWSocket* sock, std::uint16_t) {
    char buf[64];
    sockaddr_in from{};
    int fromLen = sizeof from;
    int n = sock->ReceiveDatagram(buf, sizeof buf, from, fromLen);
    if (n > 0) datagram.assign(buf, static_cast<std::size_t>(n));
  };
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  s.Listen();
  EXPECT_EQ(states, (std::vector<std::string>{"wsBound", "wsListening", "wsConnected"}));
  EXPECT_EQ(connected, 0);

  socks_test::Fd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in to = socks_test::Loopback(std::stoi(s.BoundPort()));
  ASSERT_EQ(::sendto(sender.get(), "datagram", 8, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            8);
  ASSERT_TRUE(PumpUntil([&] { return !datagram.empty(); }));
  EXPECT_EQ(datagram, "datagram");
}

}  // namespace

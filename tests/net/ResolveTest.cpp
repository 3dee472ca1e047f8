// Address, port and protocol resolution and the addressing properties.
#include <gtest/gtest.h>

#include <mutex>

#include "NetTestSupport.h"

using namespace nettest;

namespace {

// A name service that records the names it is asked for and knows only what it is told.
struct FakeNames {
  std::mutex mutex;
  std::vector<std::string> asked;
  FakeNames() {
    SetNameService([this](const std::string& name, Winsock::HostEntry& out) {
      std::lock_guard lock(mutex);
      asked.push_back(name);
      if (name != "three.test") return WSAHOST_NOT_FOUND;
      out.Name = name;
      for (const char* a : {"10.0.0.3", "10.0.0.1", "10.0.0.2"})
        out.Addresses.push_back(::inet_addr(a));
      return 0;
    });
  }
  ~FakeNames() { ResetNameService(); }
};

}  // namespace

TEST(IsDottedQuad, AcceptsOnlyFourFieldsUpTo255WithTrailingBlanks) {
  EXPECT_TRUE(IsDottedQuad("1.2.3.4"));
  EXPECT_TRUE(IsDottedQuad("  1.2.3.4"));
  EXPECT_TRUE(IsDottedQuad("1.2.3.4   "));
  EXPECT_TRUE(IsDottedQuad("255.255.255.255"));
  EXPECT_FALSE(IsDottedQuad("256.1.1.1"));
  EXPECT_FALSE(IsDottedQuad("1.2.3.256"));
  EXPECT_FALSE(IsDottedQuad("1.2.3"));
  EXPECT_FALSE(IsDottedQuad("1.2.3.4.5"));
  EXPECT_FALSE(IsDottedQuad("1.2.3.4x"));
  EXPECT_FALSE(IsDottedQuad("1..2.3"));
  EXPECT_FALSE(IsDottedQuad(".1.2.3"));
  EXPECT_FALSE(IsDottedQuad("1.2.3."));
  EXPECT_FALSE(IsDottedQuad("1.2 .3.4"));
  EXPECT_FALSE(IsDottedQuad("99999999999999999999.1.1.1")) << "long digit runs do not overflow";
  EXPECT_FALSE(IsDottedQuad(""));
}

TEST(LeadingNumber, ReadsLeadingDigitsAfterBlanks) {
  EXPECT_EQ(LeadingNumber("25abc"), 25);
  EXPECT_EQ(LeadingNumber("  110"), 110);
  EXPECT_EQ(LeadingNumber("smtp"), 0);
  EXPECT_EQ(LeadingNumber(""), 0);
}

TEST(WSocketResolveHost, DottedNamesAndTheNameService) {
  FakeNames names;
  EXPECT_EQ(WSocketResolveHost("10.1.2.3"), ::inet_addr("10.1.2.3"));
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), INADDR_NONE);
  EXPECT_EQ(WSocketResolveHost("three.test"), ::inet_addr("10.0.0.3")) << "first address";
  EXPECT_EQ(Thrown([] { WSocketResolveHost("256.1.1.1"); }),
            "WSocketResolveHost: Cannot convert host address '256.1.1.1'");
  EXPECT_EQ(Thrown([] { WSocketResolveHost("1.2.3"); }),
            "WSocketResolveHost: Cannot convert host address '1.2.3'");
  EXPECT_EQ(names.asked, (std::vector<std::string>{"three.test", "256.1.1.1", "1.2.3"}));

  std::string longName(257, 'a');
  EXPECT_EQ(Thrown([&] { WSocketResolveHost(longName); }),
            "WSocketResolveHost: '" + longName + "' Invalid Hostname.");
  EXPECT_EQ(Thrown([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
  EXPECT_EQ(names.asked.size(), 3u) << "refused names never reach the name service";
}

TEST(WSocketResolveHost, LocalhostComesFromEtcHosts) {
  EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
}

TEST(WSocketResolvePort, NumbersServicesAndLimits) {
  EXPECT_EQ(WSocketResolvePort("25", "tcp"), 25);
  EXPECT_EQ(WSocketResolvePort("smtp", "tcp"), 25);
  EXPECT_EQ(WSocketResolvePort(" smtp ", ""), 25);
  EXPECT_EQ(WSocketResolvePort("25abc", "tcp"), 25);
  EXPECT_EQ(WSocketResolvePort("70000", "tcp"), 70000) << "callers keep the low 16 bits";
  EXPECT_EQ(Thrown([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(Thrown([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
            "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(Thrown([] { WSocketResolvePort("nosuchservice", "tcp"); }),
            "WSocketResolvePort: Cannot convert port 'nosuchservice'");
}

TEST(WSocketResolveProto, NumbersNamesAndLimits) {
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  EXPECT_EQ(WSocketResolveProto(" tcp "), 6);
  EXPECT_EQ(WSocketResolveProto("6"), 6);
  EXPECT_EQ(Thrown([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(Thrown([] { WSocketResolveProto("   "); }), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(Thrown([] { WSocketResolveProto(std::string(32, 'u')); }),
            "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(Thrown([] { WSocketResolveProto(" nosuchproto"); }),
            "WSocketResolveProto: Cannot convert protocol 'nosuchproto'");
}

TEST(AddressingProperties, SettersTrimAndRefuseChangesWhileOpen) {
  ConnectedPair pair;
  TWSocket& s = *pair.client;
  s.SetAddr(" 10.1.2.3 ");
  EXPECT_EQ(s.Addr(), "10.1.2.3");
  s.SetAddr("127.0.0.1");
  ASSERT_TRUE(pair.Open());

  s.SetAddr("127.0.0.1");  // the same text: nothing happens, even while connected
  EXPECT_EQ(Thrown([&] { s.SetAddr("10.1.2.3"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(Thrown([&] { s.SetPort("26"); }), "Cannot change Port if not closed");
  EXPECT_EQ(Thrown([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(Thrown([&] { s.SetLocalPort("0"); }), "Cannot change LocalPort if not closed");
  EXPECT_EQ(Thrown([&] { s.SetLocalAddr("0.0.0.0"); }), "Cannot change LocalAddr if not closed");
  EXPECT_EQ(s.Addr(), "127.0.0.1");

  int errors = 0;
  s.OnError = [&](TCustomWSocket*) { ++errors; };
  s.SetAddr("10.9.9.9");
  EXPECT_EQ(errors, 1) << "with OnError nothing is thrown";
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(s.PeerPort(), std::to_string(PortOf(pair.listener.Get())));
}

TEST(AddressingProperties, LocalAddrIsStoredInNormalForm) {
  TWSocket s;
  s.SetLocalAddr("");
  EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
  s.SetLocalAddr("127.000.000.001");
  EXPECT_EQ(s.LocalAddr(), "127.0.0.1");
  EXPECT_EQ(Thrown([&] { s.SetLocalAddr("not an address"); }),
            "SetLocalAddr(): Invalid IP address");
  EXPECT_EQ(s.PeerAddr(), "error") << "not connected: no report";
  EXPECT_EQ(s.PeerPort(), "error");
}

TEST(AddressingProperties, ConnectReportsMissingAndUnresolvableAddressing) {
  FakeNames names;
  TWSocket s;
  s.SetPort("25");
  EXPECT_EQ(Thrown([&] { s.Connect(); }), "Connect: No IP Address Specified");
  EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
  s.SetAddr("nohost.test");
  EXPECT_EQ(Thrown([&] { s.Connect(); }),
            "connect: WSocketResolveHost: Cannot convert host address 'nohost.test'");
  EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
  TWSocket t;
  t.SetAddr("127.0.0.1");
  EXPECT_EQ(Thrown([&] { t.Connect(); }), "Connect: No Port Specified");
}

TEST(AddressingProperties, NumericPortAbove65535WrapsToItsLow16Bits) {
  TWSocket s;
  s.SetAddr("127.0.0.1");
  s.SetPort("70000");
  s.OnSessionConnected = [](TCustomWSocket*, std::uint16_t) {};
  s.Connect();
  EXPECT_EQ(s.PortNumber(), 4464);
  s.Close();
}

TEST(AddressingProperties, UdpProtoMakesADatagramSocket) {
  TWSocket s;
  s.SetAddr("127.0.0.1");
  s.SetPort("9");
  s.SetProto("udp");
  int connected = -1;
  s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { connected = e; };
  s.Connect();
  EXPECT_EQ(s.ProtoNumber(), 17);
  EXPECT_EQ(s.SocketType(), SOCK_DGRAM);
  EXPECT_EQ(s.State(), wsConnected);
  EXPECT_EQ(connected, 0) << "a datagram Connect is connected at once";
  EXPECT_NE(s.LocalPort(), "0") << "the datagram socket was bound and reads back its port";
  s.Close();
}

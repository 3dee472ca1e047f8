// The TLS layer against TLS servers started on 127.0.0.1 with certificates the test makes: the
// real `openssl s_server`, and tests/peers/tls_peer.py for STARTTLS, plain-text servers and
// servers that give up during the handshake. Every failure must end in one clear text, the
// session closed and nothing of the application's data on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../peers/socks_real_proxies.h"
#include "../peers/tls_peers.h"
#include "../peers/tls_test_ca.h"
#include "net/NetTrace.h"
#include "net/WSocket.h"
#include "tests/support/TempDir.h"

using socks_test::PumpUntil;
using tlstest::OpenSslServer;
using tlstest::TlsScriptedPeer;

namespace {

// One CA and its certificates for the whole suite: openssl runs take a while.
struct Certificates {
  TlsTestCa ca;
  TlsTestCert localhost = ca.Issue("localhost");
  TlsTestCert otherHost = ca.Issue("mail.example.org");
  TlsTestCert expired = ca.Issue("localhost", TlsTestCa::Expired);
  TlsTestCert selfSigned = ca.Issue("localhost", TlsTestCa::SelfSigned);
};

Certificates& Certs() {
  static Certificates certs;
  return certs;
}

// A client socket with every event recorded in order.
template <typename Socket>
struct BasicClient {
  Socket sock;
  std::vector<std::string> events;
  std::string received;
  int sentBytes = 0;
  bool closed = false;

  BasicClient() {
    sock.OnTlsDone = [this](TCustomWSocket*, std::uint16_t e) {
      events.push_back("TlsDone(" + std::to_string(e) + ")");
    };
    sock.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
      events.push_back("SessionConnected(" + std::to_string(e) + ")");
    };
    sock.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
      events.push_back("SessionClosed(" + std::to_string(e) + ")");
      closed = true;
    };
    sock.OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
      received += s->ReceiveText();
    };
    sock.OnSendData = [this](TCustomWSocket*, int n) { sentBytes += n; };
  }

  void ConnectImplicit(int Port, const std::string& CaFile = Certs().ca.CaFile()) {
    sock.SetTlsImplicit(true);
    sock.SetTlsHostName("localhost");
    sock.SetTlsCaFile(CaFile);
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(Port));
    sock.Connect();
  }

  bool Has(const std::string& Event) const {
    return std::find(events.begin(), events.end(), Event) != events.end();
  }
  bool WaitFor(const std::string& Text, int TimeoutMs = 10000) {
    return PumpUntil([&] { return received.find(Text) != std::string::npos || closed; },
                     TimeoutMs) &&
           received.find(Text) != std::string::npos;
  }
};
using Client = BasicClient<TWSocket>;

TEST(TlsLayer, ImplicitTlsWithARealServerCarriesDataBothWays) {
  OpenSslServer server(Certs().localhost.Cert, Certs().localhost.Key);
  Client c;
  c.ConnectImplicit(server.Port());
  ASSERT_TRUE(PumpUntil([&] { return !c.events.empty(); }, 10000));
  ASSERT_TRUE(PumpUntil([&] { return c.events.size() >= 2; }, 10000));
  EXPECT_EQ(c.events[0], "TlsDone(0)") << c.sock.TlsErrorText();
  EXPECT_EQ(c.events[1], "SessionConnected(0)") << "the application hears of the session last";
  EXPECT_TRUE(c.sock.TlsActive());
  EXPECT_TRUE(c.sock.TlsVersion() == "TLSv1.3" || c.sock.TlsVersion() == "TLSv1.2");

  c.sock.SendText("hello over tls\n");
  ASSERT_TRUE(c.WaitFor("slt revo olleh\n")) << c.received;
  EXPECT_EQ(c.sentBytes, 15) << "OnSendData counts the plain text";
  c.sock.Close();
  EXPECT_EQ(c.events.back(), "SessionClosed(0)");
}

TEST(TlsLayer, StartTlsInTheMiddleOfASessionAndCloseNotifyAtTheEnd) {
  TlsScriptedPeer peer("starttls", Certs().localhost.Cert, Certs().localhost.Key);
  Client c;
  // The commands of a plain session, then the switch from inside the data handler, as an SMTP
  // client does after the server's go-ahead.
  c.sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    c.received += s->ReceiveText();
    if (c.received == "220 plain\r\n") {
      c.received.clear();
      s->SendText("STARTTLS\r\n");
    } else if (c.received == "220 go ahead\r\n") {
      c.received.clear();
      c.sock.StartTls();
      EXPECT_FALSE(c.Has("TlsDone(0)")) << "OnTlsDone comes from the loop, not from StartTls";
      s->SendText("sent during the handshake\r\n");  // waits, then leaves encrypted
    }
  };
  c.sock.SetTlsHostName("localhost");
  c.sock.SetTlsCaFile(Certs().ca.CaFile());
  c.sock.SetAddr("127.0.0.1");
  c.sock.SetPort(std::to_string(peer.Port()));
  c.sock.Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.Has("TlsDone(0)") || c.closed; }, 10000))
      << c.sock.TlsErrorText();
  ASSERT_TRUE(c.Has("TlsDone(0)")) << c.sock.TlsErrorText();
  ASSERT_TRUE(c.WaitFor("sent during the handshake\r\n")) << c.received;
  c.sock.Close();
  EXPECT_EQ(peer.SessionEnd(), "END close_notify");
}

TEST(TlsLayer, StartTlsRefusesBytesThatCameBeforeTheHandshake) {
  TlsScriptedPeer peer("starttls", Certs().localhost.Cert, Certs().localhost.Key,
                       {"--inject", "250 injected\r\n"});
  Client c;
  const std::string goAhead = "220 go ahead\r\n";
  c.sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    if (c.received.empty()) {
      c.received = s->ReceiveText();  // the greeting
      s->SendText("STARTTLS\r\n");
      return;
    }
    // Read exactly the go-ahead line, as a reply parser would, and switch at once.
    char line[64];
    ASSERT_EQ(s->Receive(line, static_cast<int>(goAhead.size())), static_cast<int>(goAhead.size()));
    c.sock.StartTls();
    s->SendText("MAIL FROM:<secret@example.org>\r\n");
  };
  c.sock.SetTlsHostName("localhost");
  c.sock.SetTlsCaFile(Certs().ca.CaFile());
  c.sock.SetAddr("127.0.0.1");
  c.sock.SetPort(std::to_string(peer.Port()));
  c.sock.Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }, 10000));
  EXPECT_EQ(c.events, (std::vector<std::string>{"SessionConnected(0)", "TlsDone(20104)",
                                                "SessionClosed(20104)"}));
  EXPECT_EQ(c.sock.TlsErrorText(),
            "TLS: the server sent data before the handshake; the session is not safe (host "
            "localhost)");
  EXPECT_EQ(c.sentBytes, 10) << "STARTTLS only: the command sent afterwards never left";
}

TEST(TlsLayer, AnApplicationThatClosesDuringTheHandshakeHearsOnlyOfTheClose) {
  TlsScriptedPeer peer("starttls", Certs().localhost.Cert, Certs().localhost.Key);
  Client c;
  c.sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    c.received += s->ReceiveText();
    if (c.received == "220 plain\r\n") {
      c.received.clear();
      s->SendText("STARTTLS\r\n");
    } else if (c.received == "220 go ahead\r\n") {
      c.sock.StartTls();
      c.sock.Close();  // e.g. the client's own timeout
    }
  };
  c.sock.SetTlsHostName("localhost");
  c.sock.SetAddr("127.0.0.1");
  c.sock.SetPort(std::to_string(peer.Port()));
  c.sock.Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }, 10000));
  socks_test::PumpPending();
  EXPECT_EQ(c.events, (std::vector<std::string>{"SessionConnected(0)", "SessionClosed(20103)"}));
}

struct Fault {
  const char* name;
  std::string mode;
  TlsTestCert* cert;
  std::string hostName;
  int error;
  std::string text;
};

// Each check that can fail, with the text the user sees: nothing of the application leaves, the
// failure is reported once, and it is quick (no waiting for a timeout).
TEST(TlsLayer, EachVerificationFaultEndsTheSessionWithAClearText) {
  Certificates& certs = Certs();
  std::vector<Fault> faults = {
      {"self-signed", "echo", &certs.selfSigned, "localhost", TlsError::Verify,
       "TLS: certificate verify failed: self-signed certificate (host localhost)"},
      {"other host", "echo", &certs.otherHost, "localhost", TlsError::Verify,
       "TLS: certificate verify failed: hostname mismatch (host localhost)"},
      {"other host by name", "echo", &certs.localhost, "mail.example.org", TlsError::Verify,
       "TLS: certificate verify failed: hostname mismatch (host mail.example.org)"},
      {"expired", "echo", &certs.expired, "localhost", TlsError::Verify,
       "TLS: certificate verify failed: certificate has expired (host localhost)"},
      {"closed in handshake", "close", &certs.localhost, "localhost", TlsError::Closed,
       "TLS: handshake failed: connection closed by the server (host localhost)"},
      {"plain server", "plain", &certs.localhost, "localhost", TlsError::Handshake,
       "TLS: handshake failed: the server answered in plain text, not TLS: \"220 plain smtp\" "
       "(host localhost)"},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    TlsScriptedPeer peer(f.mode, f.cert->Cert, f.cert->Key);
    Client c;
    c.sock.OnChangeState = [&](TCustomWSocket* s, TSocketState, TSocketState n) {
      if (n == wsConnected) s->SendText("secret\r\n");  // must wait for the handshake, in vain
    };
    c.ConnectImplicit(peer.Port());
    c.sock.SetTlsHostName(f.hostName);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(PumpUntil([&] { return c.closed; }, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const std::string code = std::to_string(f.error);
    EXPECT_EQ(c.events,
              (std::vector<std::string>{"TlsDone(" + code + ")", "SessionConnected(" + code + ")",
                                        "SessionClosed(" + code + ")"}));
    EXPECT_EQ(c.sock.TlsErrorText(), f.text);
    EXPECT_EQ(c.sentBytes, 0) << "nothing of the application went out";
    EXPECT_EQ(c.sock.BufferedByteCount(), 0) << "and nothing waits to go out";
    EXPECT_NE(peer.SessionEnd(), "") << "the peer saw the session end";
  }
}

// A record the session did not make (a man in the middle's) ends the session with the reason.
TEST(TlsLayer, AForgedRecordAfterTheHandshakeEndsTheSession) {
  TlsScriptedPeer peer("forge", Certs().localhost.Cert, Certs().localhost.Key);
  Client c;
  c.ConnectImplicit(peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }, 10000));
  EXPECT_EQ(c.events, (std::vector<std::string>{"TlsDone(0)", "SessionConnected(0)",
                                                "SessionClosed(20105)"}));
  EXPECT_EQ(c.received, "") << "nothing of the forged record reached the application";
  EXPECT_EQ(c.sock.TlsErrorText(), "TLS: decryption failed or bad record mac (host localhost)");
}

TEST(TlsLayer, ASelfSignedCertificateIsAcceptedThroughItsCaFileOrItsFingerprint) {
  Certificates& certs = Certs();
  {
    SCOPED_TRACE("cafile");
    TlsScriptedPeer peer("echo", certs.selfSigned.Cert, certs.selfSigned.Key);
    Client c;
    c.ConnectImplicit(peer.Port(), certs.selfSigned.Cert);
    ASSERT_TRUE(PumpUntil([&] { return c.Has("SessionConnected(0)") || c.closed; }, 10000));
    EXPECT_TRUE(c.Has("TlsDone(0)")) << c.sock.TlsErrorText();
  }
  {
    SCOPED_TRACE("fingerprint, written in lower case without colons");
    TlsScriptedPeer peer("echo", certs.selfSigned.Cert, certs.selfSigned.Key);
    Client c;
    std::string pin;
    for (char ch : certs.selfSigned.Fingerprint)
      if (ch != ':') pin += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    c.sock.SetTlsFingerprint(pin);
    c.ConnectImplicit(peer.Port(), "");
    ASSERT_TRUE(PumpUntil([&] { return c.Has("SessionConnected(0)") || c.closed; }, 10000));
    EXPECT_TRUE(c.Has("TlsDone(0)")) << c.sock.TlsErrorText();
    c.sock.SendText("pinned\r\n");
    EXPECT_TRUE(c.WaitFor("pinned\r\n"));
  }
  {
    SCOPED_TRACE("another certificate's fingerprint");
    TlsScriptedPeer peer("echo", certs.selfSigned.Cert, certs.selfSigned.Key);
    Client c;
    c.sock.SetTlsFingerprint(certs.localhost.Fingerprint);
    c.ConnectImplicit(peer.Port(), "");
    ASSERT_TRUE(PumpUntil([&] { return c.closed; }, 10000));
    EXPECT_TRUE(c.Has("TlsDone(20102)"));
    EXPECT_EQ(c.sock.TlsErrorText(), "TLS: certificate fingerprint mismatch: the server's is " +
                                         certs.selfSigned.Fingerprint + ", not " +
                                         certs.localhost.Fingerprint + " (host localhost)");
  }
}

// The system's trust store is read as a hashed certificate folder (SSL_CERT_DIR names it here):
// a CA found there under its hash name is trusted without TlsCaFile, and a folder without it
// fails the chain. The session is prepared before the connection, for the folder of that time.
TEST(TlsLayer, TheSystemStoreIsAHashedCertificateFolder) {
  TestTempDir folder;
  const std::string hashed = folder.File("hashed"), empty = folder.File("empty");
  std::filesystem::create_directories(hashed);
  std::filesystem::create_directories(empty);
  std::filesystem::copy_file(Certs().ca.CaFile(), hashed + "/test-ca.pem");
  ASSERT_EQ(std::system(("openssl rehash " + hashed + " 2>/dev/null").c_str()), 0);
  const char* before = std::getenv("SSL_CERT_DIR");
  const std::string saved = before ? before : "";
  for (const std::string& store : {hashed, empty}) {
    SCOPED_TRACE(store);
    ::setenv("SSL_CERT_DIR", store.c_str(), 1);
    OpenSslServer server(Certs().localhost.Cert, Certs().localhost.Key);
    Client c;
    c.ConnectImplicit(server.Port(), "");
    ASSERT_TRUE(PumpUntil([&] { return !c.events.empty(); }, 10000));
    if (store == hashed)
      EXPECT_EQ(c.events[0], "TlsDone(0)") << c.sock.TlsErrorText();
    else
      EXPECT_EQ(c.sock.TlsErrorText(),
                "TLS: certificate verify failed: unable to get local issuer certificate (host "
                "localhost)");
  }
  if (before)
    ::setenv("SSL_CERT_DIR", saved.c_str(), 1);
  else
    ::unsetenv("SSL_CERT_DIR");
}

// What a server may send after the handshake: a TLS 1.3 key update (with a request for ours) is
// read through and the session goes on both ways; a TLS 1.2 renegotiation is refused, which the
// server answers with a fatal alert: the session ends with the reason, it is not renegotiated.
TEST(TlsLayer, AKeyUpdateIsReadThroughAndARenegotiationIsRefused) {
  {
    SCOPED_TRACE("key update");
    OpenSslServer server(Certs().localhost.Cert, Certs().localhost.Key, OpenSslServer::Interactive,
                         {"-tls1_3"});
    Client c;
    c.ConnectImplicit(server.Port());
    ASSERT_TRUE(PumpUntil([&] { return c.Has("SessionConnected(0)") || c.closed; }, 10000));
    ASSERT_TRUE(c.Has("TlsDone(0)")) << c.sock.TlsErrorText();
    server.Output().Write("K\n");
    ASSERT_TRUE(server.Output().WaitInputTaken());  // one command per read of its input
    server.Output().Write("after the key update\n");
    ASSERT_TRUE(c.WaitFor("after the key update\n")) << c.sock.TlsErrorText();
    const std::string reply = "the client's keys were updated too\n";
    c.sock.SendText(reply);
    ASSERT_TRUE(PumpUntil([&] { return c.sentBytes == static_cast<int>(reply.size()); }, 10000));
    EXPECT_NE(server.Output().ReadLineStarting("the client's keys"), "");
    EXPECT_FALSE(c.closed) << c.sock.TlsErrorText();
  }
  {
    SCOPED_TRACE("renegotiation");
    OpenSslServer server(Certs().localhost.Cert, Certs().localhost.Key, OpenSslServer::Interactive,
                         {"-tls1_2"});
    Client c;
    c.ConnectImplicit(server.Port());
    ASSERT_TRUE(PumpUntil([&] { return c.Has("SessionConnected(0)") || c.closed; }, 10000));
    ASSERT_TRUE(c.Has("TlsDone(0)")) << c.sock.TlsErrorText();
    server.Output().Write("r\n");
    ASSERT_TRUE(server.Output().WaitInputTaken());
    ASSERT_TRUE(PumpUntil([&] { return c.closed; }, 10000));
    // s_server closes right after its alert; when our refusal is still unread there, its kernel
    // resets the connection and the alert may be lost on the way. Either way the session ends
    // without a renegotiation, and a reason given is the server's alert.
    if (c.events.back() == "SessionClosed(20105)")
      EXPECT_EQ(c.sock.TlsErrorText(), "TLS: sslv3 alert handshake failure (host localhost)");
    else
      EXPECT_EQ(c.sock.TlsErrorText(), "") << c.events.back();
    EXPECT_EQ(std::count(c.events.begin(), c.events.end(), "TlsDone(0)"), 1)
        << "no second handshake";
    EXPECT_EQ(c.received, "");
  }
}

TEST(TlsLayer, TlsThroughARealSocksProxy) {
  socks_test::ProxyProcess proxy;
  ASSERT_TRUE(socks_test::StartMicrosocks(proxy)) << proxy.Error();
  OpenSslServer server(Certs().localhost.Cert, Certs().localhost.Key);
  Client c;
  c.sock.SetSocksServer("127.0.0.1");
  c.sock.SetSocksPort(std::to_string(proxy.Port()));
  c.ConnectImplicit(server.Port());
  ASSERT_TRUE(PumpUntil([&] { return c.Has("SessionConnected(0)") || c.closed; }, 10000));
  ASSERT_EQ(c.events.front(), "TlsDone(0)") << c.sock.TlsErrorText();
  c.sock.SendText("through the proxy\n");
  EXPECT_TRUE(c.WaitFor("yxorp eht hguorht\n")) << c.received;
}

// Line mode above TLS sees plain lines, also when one read notification brings many records and
// the handler takes a line in small reads.
TEST(TlsLayer, LineModeOverTlsDeliversPlainLines) {
  TlsScriptedPeer peer("lines", Certs().localhost.Cert, Certs().localhost.Key, {"--count", "5000"});
  Client c;
  std::vector<std::string> lines;
  std::string partial;
  c.sock.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) {
    if (e == 0) c.sock.SetLineMode(true);
  };
  c.sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    char piece[4];
    const int n = s->Receive(piece, sizeof piece);
    if (n <= 0) return;
    partial.append(piece, static_cast<std::size_t>(n));
    if (s->RcvdCount() == 0) lines.push_back(std::exchange(partial, std::string()));
  };
  c.ConnectImplicit(peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 5000 || c.closed; }, 20000)) << lines.size();
  EXPECT_EQ(lines.front(), "line 1\r\n");
  EXPECT_EQ(lines[4998], "line 4999\r\n");
  EXPECT_EQ(lines.back(), "line 5000\r\n");
}

// A large send leaves in full records and comes back whole, over TLS 1.3 and 1.2.
TEST(TlsLayer, ALargeSendLeavesInFullRecords) {
  for (const char* version : {"TLSv1.3", "TLSv1.2"}) {
    SCOPED_TRACE(version);
    std::vector<std::string> options;
    if (std::string(version) == "TLSv1.2") options.push_back("--tls12");
    TlsScriptedPeer peer("echo", Certs().localhost.Cert, Certs().localhost.Key, options);
    Client c;
    c.ConnectImplicit(peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return c.Has("SessionConnected(0)") || c.closed; }, 10000));
    EXPECT_EQ(c.sock.TlsVersion(), version);
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i * 7 % 26);
    c.sock.Send(data.data(), static_cast<int>(data.size()));
    ASSERT_TRUE(PumpUntil([&] { return c.received.size() >= data.size() || c.closed; }, 20000));
    EXPECT_TRUE(c.received == data) << "every byte once, in order";
    EXPECT_EQ(c.sock.TlsPlainBytesSent(), data.size());
    ASSERT_GT(c.sock.TlsRecordsSent(), 0u);
    EXPECT_GE(c.sock.TlsPlainBytesSent() / c.sock.TlsRecordsSent(), 16000u)
        << c.sock.TlsRecordsSent() << " records";
  }
}

// The socket trace shows the notifications and the TLS steps of a session.
TEST(TlsLayer, TraceShowsNotificationsAndTlsSteps) {
  TlsScriptedPeer peer("echo", Certs().localhost.Cert, Certs().localhost.Key);
  TestTempDir dir;
  const std::string file = dir.File("trace");
  const int saved = ::dup(2);
  const int traceFd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(traceFd, 2);
  NetTrace::SetEnabled(true);
  std::vector<std::string> events;
  {
    Client c;
    c.ConnectImplicit(peer.Port());
    PumpUntil([&] { return c.Has("SessionConnected(0)") || c.closed; });
    // The FD_READ that the end of the handshake posts is consumed in a later dispatch, as late
    // as the machine's load makes it. (No assertion before stderr is back.)
    PumpUntil([&] { return ReadWholeFile(file).find("consumed FD_READ") != std::string::npos; });
    c.sock.Close();
    events = c.events;
  }
  NetTrace::SetEnabled(false);
  ::dup2(saved, 2);
  ::close(saved);
  ::close(traceFd);
  const std::string trace = ReadWholeFile(file);
  ASSERT_EQ(events.front(), "TlsDone(0)") << trace;
  for (const char* expected :
       {"consumed FD_CONNECT", "tls tlsOff -> tlsHandshaking (host localhost)",
        "tls tlsHandshaking -> tlsActive", "consumed FD_READ", "FD_READ re-armed",
        "tls close_notify sent"})
    EXPECT_NE(trace.find(expected), std::string::npos) << expected << "\n" << trace;
}

// A layer written from the contract in net/WSocketCore.h alone, put on top of the chain with
// nothing changed below it: it records the bytes that pass through it both ways.
class TTapSocket : public TWSocket {
  using LowerLayer = TWSocket;

 public:
  std::string Sent;
  std::string Received;

  int RawSend(const void* Data, int Len) override {
    const int n = LowerLayer::RawSend(Data, Len);
    if (n > 0) Sent.append(static_cast<const char*>(Data), static_cast<std::size_t>(n));
    return n;
  }
  int RawSendv(const TSendPart* Parts, int Count) override {
    const int n = LowerLayer::RawSendv(Parts, Count);
    for (int i = 0, left = n; i < Count && left > 0; ++i) {
      const int taken = std::min(left, Parts[i].Len);
      Sent.append(reinterpret_cast<const char*>(Parts[i].Data), static_cast<std::size_t>(taken));
      left -= taken;
    }
    return n;
  }
  int RecvRaw(void* Buffer, int Size, int Flags) override {
    const int n = LowerLayer::RecvRaw(Buffer, Size, Flags);
    if (n > 0) Received.append(static_cast<const char*>(Buffer), static_cast<std::size_t>(n));
    return n;
  }
};

TEST(LayerContract, ATapOnTopSeesThePlainTextOnceEachWayUnderTlsAndLineMode) {
  OpenSslServer server(Certs().localhost.Cert, Certs().localhost.Key);
  BasicClient<TTapSocket> c;
  c.sock.SetLineEnd("\n");
  c.sock.SetLineMode(true);
  c.ConnectImplicit(server.Port());
  ASSERT_TRUE(PumpUntil([&] { return c.Has("SessionConnected(0)") || c.closed; }));
  ASSERT_EQ(c.events.front(), "TlsDone(0)") << c.sock.TlsErrorText();

  c.sock.SendText("first line\n");
  c.sock.SendText("second\n");
  ASSERT_TRUE(c.WaitFor("dnoces\n")) << c.received;
  EXPECT_NE(c.received.find("enil tsrif\ndnoces\n"), std::string::npos) << c.received;
  EXPECT_EQ(c.sock.Sent, "first line\nsecond\n") << "the plain text, not the records";
  EXPECT_EQ(c.sock.Received, c.received)
      << "what the application read, once: line mode reads the network below the tap";
  c.sock.Close();
  EXPECT_EQ(c.events.back(), "SessionClosed(0)");
}

}  // namespace

// Line mode over a real loopback connection: the test writes bytes from a plain POSIX peer and
// watches the lines the socket hands to its OnDataAvailable handler.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../peers/socks_test_support.h"
#include "net/WSocket.h"

using socks_test::Fd;
using socks_test::PumpPending;
using socks_test::PumpUntil;

namespace {

class LineMode : public ::testing::Test {
 protected:
  void SetUp() override {
    int port = 0;
    Fd listener = socks_test::ListenLoopback(port);
    ASSERT_TRUE(listener);
    bool connected = false;
    sock.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { connected = e == 0; };
    sock.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) {
      events.push_back("closed");
      closed = true;
    };
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(port));
    sock.Connect();
    peer = socks_test::AcceptWithin(listener.get(), 5000);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    sock.OnSessionConnected = nullptr;
    sock.SetLineMode(true);
  }

  // Each call reads the whole line and records it with the RcvdCount seen on entry.
  void ReadWholeLines() {
    sock.OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
      counts.push_back(s->RcvdCount());
      std::string line = s->ReceiveText();
      lines.push_back(line);
      events.push_back("line:" + line);
    };
  }

  void PeerSends(const std::string& bytes) { ASSERT_TRUE(socks_test::WriteAll(peer.get(), bytes)); }

  // Waits until the socket has read n bytes from the network in all.
  bool WaitRead(int n) {
    return PumpUntil([&] { return sock.ReadCount() >= n; });
  }

  // Everything the peer has received so far (the echo).
  std::string PeerReceived(std::size_t n) {
    std::string out;
    socks_test::ReadExactly(peer.get(), out, n);
    return out;
  }

  TWSocket sock;
  Fd peer;
  std::vector<std::string> lines;
  std::vector<int> counts;
  std::vector<std::string> events;
  bool closed = false;
};

TEST_F(LineMode, LineIsDeliveredWithItsLineEndAndTheRestWaits) {
  ReadWholeLines();
  PeerSends("HELO x\r\nMAIL");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "HELO x\r\n");
  EXPECT_EQ(counts[0], 8);
  EXPECT_EQ(sock.LineBufferCount(), 4);  // MAIL
  PeerSends(" FROM:\r\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines[1], "MAIL FROM:\r\n");
  EXPECT_EQ(sock.LineBufferCount(), 0);
}

TEST_F(LineMode, LineEndSplitAcrossReadsIsFound) {
  ReadWholeLines();
  PeerSends("HELO x\r");
  ASSERT_TRUE(WaitRead(7));
  EXPECT_TRUE(lines.empty());
  PeerSends("\nNEXT\r\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"HELO x\r\n", "NEXT\r\n"}));
}

TEST_F(LineMode, SeveralLinesInOneReceiveComeInOrder) {
  ReadWholeLines();
  PeerSends("one\r\ntwo\r\nthree\r\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", "two\r\n", "three\r\n"}));
  EXPECT_EQ(sock.ReadCount(), 17);  // one network read; ReceiveText does not count
}

TEST_F(LineMode, OtherLineEndSequence) {
  ReadWholeLines();
  sock.SetLineEnd("\n.\n");
  PeerSends("a\nb\n.\nc\n.");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
  PeerSends("\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"a\nb\n.\n", "c\n.\n"}));
}

TEST_F(LineMode, HandlerReadingThreeBytesPerCallIsCalledUntilTheLineIsRead) {
  std::vector<std::string> pieces;
  std::vector<int> seen;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    seen.push_back(s->RcvdCount());
    char buf[3];
    int n = s->Receive(buf, 3);
    pieces.emplace_back(buf, static_cast<std::size_t>(std::max(n, 0)));
  };
  PeerSends("abcdefghij\r\nXYZ");
  ASSERT_TRUE(PumpUntil([&] { return pieces.size() == 4; }));
  PumpPending();
  EXPECT_EQ(pieces, (std::vector<std::string>{"abc", "def", "ghi", "j\r\n"}));
  EXPECT_EQ(seen, (std::vector<int>{12, 9, 6, 3}));
  EXPECT_EQ(sock.LineBufferCount(), 3);
  PeerSends("\r\n");
  ASSERT_TRUE(PumpUntil([&] { return pieces.size() == 6; }));
  EXPECT_EQ(pieces[4] + pieces[5], "XYZ\r\n");
}

TEST_F(LineMode, SwitchedOffMidLineLosesAndAddsNothing) {
  const std::string input = "hello world\r\nsecond line\r\ntail without end";
  std::string got;
  bool switched = false;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    auto* line = static_cast<TWSocket*>(s);
    char buf[64];
    int n = s->Receive(buf, switched ? sizeof buf : 4);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    if (!switched) {
      switched = true;
      line->SetLineMode(false);  // after "hell"
    }
  };
  PeerSends(input);
  ASSERT_TRUE(PumpUntil([&] { return got.size() == input.size(); }));
  EXPECT_EQ(got, input);
  EXPECT_FALSE(sock.LineMode());
  EXPECT_EQ(sock.LineBufferCount(), 0);
  PeerSends("more");
  ASSERT_TRUE(PumpUntil([&] { return got.size() == input.size() + 4; }));
  EXPECT_EQ(got, input + "more");
}

TEST_F(LineMode, SwitchedOffWithAPartialLineBufferedDeliversItLater) {
  std::string got;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { got += s->ReceiveText(); };
  PeerSends("partial");
  ASSERT_TRUE(WaitRead(7));
  EXPECT_EQ(got, "");
  sock.SetLineMode(false);  // posts the deferred delivery
  EXPECT_EQ(got, "");
  ASSERT_TRUE(PumpUntil([&] { return got == "partial"; }));
}

TEST_F(LineMode, NetworkBytesWaitingBehindTheLeftoverAreNotStranded) {
  std::string got;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { got += s->ReceiveText(); };
  PeerSends("abc");
  ASSERT_TRUE(WaitRead(3));
  sock.SetLineMode(false);  // "abc" left over, its delivery posted
  PeerSends("def");
  // Wait, without dispatching anything, until "def" is waiting in the socket.
  ASSERT_TRUE(socks_test::WaitReadable(sock.HSocket(), 5000));
  ASSERT_TRUE(PumpUntil([&] { return got == "abcdef"; })) << got;
}

TEST_F(LineMode, NetworkBytesArrivingWhileSwitchingOffAreNotStranded) {
  std::string got;
  bool first = true;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    got += s->ReceiveText();
    if (!first) return;
    first = false;
    sock.SetLineMode(false);
    // More bytes reach the socket before this handler returns.
    PeerSends("def");
    ASSERT_TRUE(socks_test::WaitReadable(sock.HSocket(), 5000));
  };
  PeerSends("one\r\nabc");
  ASSERT_TRUE(PumpUntil([&] { return got == "one\r\nabcdef"; })) << got;
}

TEST_F(LineMode, SwitchedBackOnBeforeTheDeferredDeliveryDeliversCompleteLinesAndEnds) {
  int calls = 0;
  ReadWholeLines();
  auto whole = sock.OnDataAvailable;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t e) {
    if (++calls == 1) {  // first line: off and on again without reading anything
      sock.SetLineMode(false);
      sock.SetLineMode(true);
      return;
    }
    whole(s, e);
  };
  PeerSends("first\r\nsecond\r\nthird\r\npart");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
  PumpPending();
  // The first call switched modes and so kept its line; everything comes in order.
  EXPECT_EQ(lines, (std::vector<std::string>{"first\r\n", "second\r\n", "third\r\n"}));
  EXPECT_EQ(sock.LineBufferCount(), 4);
  PeerSends("\r\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 4; }));
  EXPECT_EQ(lines[3], "part\r\n");
}

TEST_F(LineMode, WithoutHandlerCompleteLinesAreDroppedAndTheTailStays) {
  PeerSends("a\r\nb\r\nc");
  ASSERT_TRUE(WaitRead(7));
  PumpPending();
  EXPECT_EQ(sock.LineBufferCount(), 1);
  ReadWholeLines();
  PeerSends("\r\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "c\r\n");
}

TEST_F(LineMode, HandlerThatReadsNothingDropsTheLineInsteadOfLooping) {
  int calls = 0;
  sock.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++calls; };
  PeerSends("ignored\r\nrest");
  ASSERT_TRUE(WaitRead(13));
  PumpPending();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(sock.LineBufferCount(), 4);
}

TEST_F(LineMode, EditingAndEchoByteForByte) {
  sock.SetLineEdit(true);
  sock.SetLineEcho(true);
  ReadWholeLines();
  PeerSends("ab\bc\r\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "ac\r\n");
  EXPECT_EQ(PeerReceived(8), "ab\b \bc\r\n");
}

TEST_F(LineMode, BackspaceCanRemoveBytesOfAnEarlierReceive) {
  sock.SetLineEdit(true);
  ReadWholeLines();
  PeerSends("abc");
  ASSERT_TRUE(WaitRead(3));
  PeerSends("\b\bX\r\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "aX\r\n");
}

TEST_F(LineMode, BackspaceAtTheStartRemovesAndEchoesNothing) {
  sock.SetLineEdit(true);
  sock.SetLineEcho(true);
  ReadWholeLines();
  PeerSends("\bab\r\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "ab\r\n");
  EXPECT_EQ(PeerReceived(4), "ab\r\n");
}

TEST_F(LineMode, TabsExpandToStopsOfEight) {
  sock.SetLineEdit(true);
  ReadWholeLines();
  PeerSends("x\t\r\n" + std::string(100, '\t') + "\r\n");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines[0], "x       \r\n");
  EXPECT_EQ(lines[1], std::string(800, ' ') + "\r\n");
}

TEST_F(LineMode, EchoWithoutEditingReturnsEachReceiveUnchanged) {
  sock.SetLineEcho(true);
  std::string echoedBeforeLine;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    // The echo of this receive was handed to the network before the line came up.
    socks_test::ReadExactly(peer.get(), echoedBeforeLine, 9, 2000);
    lines.push_back(s->ReceiveText());
  };
  PeerSends("a\b\tb\r\nzz\r");
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(echoedBeforeLine, "a\b\tb\r\nzz\r");
  EXPECT_EQ(lines[0], "a\b\tb\r\n");
}

TEST_F(LineMode, LastLineWithoutLineEndIsDeliveredBeforeTheClose) {
  ReadWholeLines();
  PeerSends("QUIT");
  ASSERT_TRUE(WaitRead(4));
  peer.reset();
  ASSERT_TRUE(PumpUntil([&] { return closed; }));
  EXPECT_EQ(events, (std::vector<std::string>{"line:QUIT", "closed"}));
  EXPECT_EQ(counts, (std::vector<int>{4}));
}

TEST_F(LineMode, CloseFromInsideTheHandlerHandsOverTheRestBeforeOnSessionClosed) {
  std::string got;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    got += s->ReceiveText();
    if (got == "one\r\n") s->Close();
  };
  PeerSends("one\r\ntwo\r\nthr");
  ASSERT_TRUE(PumpUntil([&] { return closed; }));
  EXPECT_EQ(got, "one\r\ntwo\r\nthr");
  EXPECT_EQ(sock.LineBufferCount(), 0);
}

TEST_F(LineMode, EmptyLineEndPassesDataThroughAndCountsIt) {
  sock.SetLineEnd("");
  std::vector<int> seen;
  std::string got;
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    seen.push_back(s->RcvdCount());
    got += s->ReceiveText();
  };
  PeerSends("no\r\nlines");
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 9; }));
  EXPECT_EQ(got, "no\r\nlines");
  EXPECT_EQ(seen.front(), 9);
}

TEST_F(LineMode, OverlongLineIsReportedAndDeliveredWithoutGrowingTheBuffer) {
  sock.SetLineLimit(16);
  int tooLong = 0;
  int largest = 0;
  std::string got;
  sock.OnLineTooLong = [&](TCustomWSocket*) { ++tooLong; };
  sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
    largest = std::max(largest, sock.LineBufferCount());
    got += s->ReceiveText();
  };
  const std::string flood(100, 'x');
  PeerSends(flood + "\r\nok\r\n");
  ASSERT_TRUE(PumpUntil([&] { return got.size() == flood.size() + 6; }));
  EXPECT_EQ(got, flood + "\r\nok\r\n");
  EXPECT_EQ(tooLong, 6);  // 6 x 16 bytes, then "xxxx\r\n" is an ordinary line
  EXPECT_LE(largest, 16);
  EXPECT_ANY_THROW(sock.SetLineLimit(0));
}

TEST_F(LineMode, BytesOfAReplacedConnectionDoNotReachTheAdoptedOne) {
  ReadWholeLines();
  PeerSends("stale tail");
  ASSERT_TRUE(WaitRead(10));
  EXPECT_EQ(sock.LineBufferCount(), 10);
  int port = 0;
  Fd listener = socks_test::ListenLoopback(port);
  Fd other = socks_test::ConnectLoopback(port);
  ASSERT_TRUE(socks_test::WaitReadable(listener.get(), 5000));
  sock.Dup(Winsock::accept(listener.get(), nullptr, nullptr));
  EXPECT_EQ(sock.LineBufferCount(), 0);
  ASSERT_TRUE(socks_test::WriteAll(other.get(), "fresh\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "fresh\r\n");
}

TEST(LineModeOwnership, OnLineTooLongMayDestroyTheSocket) {
  int port = 0;
  Fd listener = socks_test::ListenLoopback(port);
  ASSERT_TRUE(listener);
  auto sock = std::make_unique<TWSocket>();
  bool connected = false;
  sock->OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { connected = e == 0; };
  sock->SetAddr("127.0.0.1");
  sock->SetPort(std::to_string(port));
  sock->Connect();
  Fd peer = socks_test::AcceptWithin(listener.get(), 5000);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(PumpUntil([&] { return connected; }));
  sock->SetLineLimit(4);
  sock->SetLineMode(true);
  // The closure is too large to live inside the event member itself; it reads its own copy
  // after the object, and with it the member, is gone.
  const std::string note(64, 'x');
  std::string seen;
  sock->OnLineTooLong = [&sock, note, &seen](TCustomWSocket*) {
    sock.reset();
    seen = note;
  };
  ASSERT_TRUE(socks_test::WriteAll(peer.get(), "overlong line\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return sock == nullptr; }));
  EXPECT_EQ(seen, note);
  PumpPending();
}

TEST(LineEditing, EditLineBytesKeepsBytesBeforeTheFloor) {
  std::string buf = "abc\b\b\b\bd";
  auto r = EditLineBytes(buf, 3, 1, "\r\n", true);
  EXPECT_EQ(buf, "ad");
  EXPECT_EQ(r.FirstChanged, 1u);
  EXPECT_EQ(r.Echo, (std::vector<std::string>{"\b \b", "\b \b", "d"}));
}

}  // namespace

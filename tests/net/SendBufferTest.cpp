// TBuffer and the send path: chunking, partial sends resumed by FD_WRITE, OnDataSent from the
// loop only, and connection-ending send errors.
#include <gtest/gtest.h>

#include "NetTestSupport.h"

using namespace nettest;

TEST(TBuffer, PositionsFollowAppendPeekAndConsume) {
  TBuffer b(0);
  EXPECT_EQ(b.Capacity(), 1514);
  std::string data(2000, 'x');
  EXPECT_EQ(b.AppendData(data.data(), 2000), 1514);
  EXPECT_EQ(b.AppendData(data.data(), 10), 0) << "a full chunk takes nothing";
  int len = 0;
  const std::uint8_t* p = b.PeekData(len);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(len, 1514);
  EXPECT_EQ(b.ConsumeData(1000), 1000);
  EXPECT_EQ(b.PeekData(len), p + 1000) << "a partly sent chunk is not compacted";
  EXPECT_EQ(len, 514);
  EXPECT_EQ(b.AppendData(data.data(), 10), 0) << "bytes before ReadPos are not reused";
  EXPECT_EQ(b.ConsumeData(9999), 514);
  EXPECT_EQ(b.ReadPos(), 0);
  EXPECT_EQ(b.WritePos(), 0);
  EXPECT_EQ(b.PeekData(len), nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(b.ConsumeData(1), 0);
}

TEST(SendBuffer, FourThousandBytesOccupyChunksOf1514_1514_972) {
  ProbeSocket s;
  std::string data(4000, 'a');
  s.QueueSendData(data.data(), 4000);
  ASSERT_EQ(s.SendBufferChunks().size(), 3u);
  EXPECT_EQ(s.SendBufferChunks()[0]->WritePos(), 1514);
  EXPECT_EQ(s.SendBufferChunks()[1]->WritePos(), 1514);
  EXPECT_EQ(s.SendBufferChunks()[2]->WritePos(), 972);
  s.QueueSendData(data.data(), 600);
  ASSERT_EQ(s.SendBufferChunks().size(), 4u) << "later bytes first fill the free tail";
  EXPECT_EQ(s.SendBufferChunks()[2]->WritePos(), 1514);
  EXPECT_EQ(s.SendBufferChunks()[3]->WritePos(), 58);
  EXPECT_EQ(s.BufferedByteCount(), 4600);
}

TEST(SendBuffer, SendFiresOnSendDataPerWriteAndOneOnDataSentFromTheLoop) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  int dataSent = 0, sentBytes = 0;
  bool inSend = false, firedInsideSend = false;
  s.OnDataSent = [&](TCustomWSocket*, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    ++dataSent;
    firedInsideSend |= inSend;
  };
  s.OnSendData = [&](TCustomWSocket*, int n) { sentBytes += n; };
  ASSERT_TRUE(pair.Open());
  ASSERT_TRUE(PumpUntil([&] { return dataSent == 1; })) << "the connection's FD_WRITE";

  std::string data(4000, 'q');
  inSend = true;
  EXPECT_EQ(s.Send(data.data(), 4000), 4000);
  inSend = false;
  EXPECT_EQ(sentBytes, 4000);
  EXPECT_EQ(dataSent, 1) << "never inside Send";
  ASSERT_TRUE(PumpUntil([&] { return dataSent == 2; }));
  std::string got;
  ASSERT_TRUE(PumpUntil([&] {
    got += ReadAvailable(pair.peer.Get());
    return got.size() == 4000;
  }));
  EXPECT_EQ(got, data);

  // An empty Send also ends in one OnDataSent, also on a buffer that never held a chunk.
  ConnectedPair fresh;
  int freshSent = 0;
  fresh.client->OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++freshSent; };
  ASSERT_TRUE(fresh.Open());
  ASSERT_TRUE(PumpUntil([&] { return freshSent == 1; }));
  ASSERT_TRUE(fresh.client->SendBufferChunks().empty());
  EXPECT_EQ(fresh.client->Send("", 0), 0);
  ASSERT_TRUE(PumpUntil([&] { return freshSent == 2; })) << "an empty send signals drained";
  EXPECT_FALSE(firedInsideSend);
}

TEST(SendBuffer, PartialSendResumesOnTheNextWriteNotification) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  int dataSent = 0;
  s.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++dataSent; };
  ASSERT_TRUE(pair.Open());
  ASSERT_TRUE(PumpUntil([&] { return dataSent == 1; }));
  int small = 4096;
  ASSERT_EQ(::setsockopt(s.HSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ::setsockopt(pair.peer.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

  std::string data(1 << 17, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
  EXPECT_EQ(s.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  EXPECT_GT(s.BufferedByteCount(), 0) << "the non-reading peer left bytes in the buffer";
  EXPECT_FALSE(s.IsAllSent());
  PumpIdle(std::chrono::milliseconds(200));
  EXPECT_EQ(dataSent, 1) << "not drained while the peer does not read";

  std::string got;
  ASSERT_TRUE(PumpUntil(
      [&] {
        got += ReadAvailable(pair.peer.Get());
        return got.size() == data.size() && dataSent == 2;
      },
      20000));
  EXPECT_TRUE(got == data) << "every byte once, in order";
  EXPECT_EQ(s.BufferedByteCount(), 0);
  EXPECT_EQ(dataSent, 2) << "one OnDataSent for the drained buffer";
}

TEST(SendBuffer, SendWhileNotConnectedReports10057) {
  RawFd listener = RawListen();
  TWSocket s;
  EXPECT_EQ(
      [&] {
        try {
          s.SendText("x");
        } catch (const ESocketException& e) {
          return std::string(e.what());
        }
        return std::string();
      }(),
      "Error 10057 in function Send\r\nSocket is not connected");
  int errors = 0;
  s.OnError = [&](TCustomWSocket*) { ++errors; };
  EXPECT_EQ(s.SendText("x"), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.LastError(), WSAENOTCONN);

  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(PortOf(listener.Get())));
  s.Connect();
  ASSERT_EQ(s.State(), wsConnecting);
  EXPECT_EQ(s.SendText("early"), -1);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(s.State(), wsClosed) << "10057 closes the handle";
  EXPECT_EQ(s.HSocket(), Winsock::INVALID_SOCKET);
}

TEST(SendBuffer, SendingToAResetPeerGivesOneSessionClosed10054) {
  ConnectedPair pair;
  ProbeSocket& s = *pair.client;
  EventLog log;
  log.Attach(s);
  ASSERT_TRUE(pair.Open());
  pair.peer.Abort();
  // Send until the reset is seen, without letting the loop deliver FD_CLOSE first.
  pollfd p{s.HSocket(), POLLIN, 0};
  ::poll(&p, 1, 5000);
  std::string line(100, 'x');
  for (int i = 0; i < 10 && s.State() == wsConnected; ++i) s.SendText(line);
  PumpIdle();
  EXPECT_EQ(log.Count("SessionClosed(10054)"), 1);
  EXPECT_EQ(log.Count("SessionClosed(0)"), 0);
  EXPECT_TRUE(log.Has("ChangeState(wsConnected,wsClosed)"));
  EXPECT_EQ(s.State(), wsClosed);
}

TEST(SendBuffer, UrgentFlagReachesEverySend) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.Open());
  pair.client->SetSendFlags(wsSendUrgent);
  EXPECT_EQ(pair.client->SendFlags(), wsSendUrgent);
  pair.client->SendText("u");
  char c = 0;
  pollfd p{pair.peer.Get(), POLLPRI, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  EXPECT_EQ(::recv(pair.peer.Get(), &c, 1, MSG_OOB), 1);
  EXPECT_EQ(c, 'u');
}

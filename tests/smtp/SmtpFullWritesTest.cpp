// The message leaves in full writes: lines are gathered in the socket's buffer instead of one
// send per line, while every line still passes the hooks and the trace once, in order.
#include <gtest/gtest.h>

#include <random>

#include "tests/smtp/SmtpTestSupport.h"

using namespace smtptest;

TEST(SmtpFullWrites, AnAttachmentLeavesInFullWritesAndEveryLineIsShownInOrder) {
  TestTempDir dir;
  std::string bytes(2 << 20, '\0');
  std::mt19937 gen(12);
  for (char& c : bytes) c = static_cast<char>(gen() & 0xFF);
  WriteFile(dir.File("big.bin"), bytes);

  ScriptedServer server(SinkScript());
  MimeSend send;
  TStringList files;
  files.Add(dir.File("big.bin"));
  send.client.SetEmailFiles(files);
  int writes = 0;
  send.client.Socket().OnSendData = [&](TCustomWSocket*, int) { ++writes; };
  ASSERT_TRUE(send.Run(server.Port()));
  ASSERT_EQ(send.DataError(), 0);

  // The wire carries exactly the lines the trace showed, in order.
  const std::string data = DataOf(server.Transcript());
  std::string shown;
  bool inData = false;
  for (const std::string& line : send.log.display) {
    if (line == "> DATA") {
      inData = true;
      continue;
    }
    if (line == "> .") break;
    if (inData && line.rfind("> ", 0) == 0) shown += line.substr(2) + "\r\n";
  }
  EXPECT_TRUE(shown == data) << "shown " << shown.size() << " bytes, sent " << data.size();
  const int lines = static_cast<int>(bytes.size() / 45);
  EXPECT_LT(writes, lines / 100) << "a write per batch of lines, not one per line (" << lines
                                 << " lines)";
}

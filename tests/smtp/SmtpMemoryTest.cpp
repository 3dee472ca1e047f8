// Constant memory: a message with a 200 MB attachment needs no more memory than one with a
// 2 MB attachment. Each send runs in a fresh process (this test binary started again for the
// child test below), so that its peak resident set is its own; the server is a thread here.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <fstream>
#include <string>

#include "tests/smtp/SmtpTestSupport.h"

using namespace smtptest;
using S = ScriptedServer;

namespace {

// Sends one message with File attached in a child process; returns its peak RSS in KiB.
long PeakRssOfSend(const std::string& File, long* DataBytes) {
  ScriptedServer server(SinkScript(/*KeepData=*/false));
  ::setenv("TARVIK_MEMORY_FILE", File.c_str(), 1);
  ::setenv("TARVIK_MEMORY_PORT", server.PortText().c_str(), 1);
  // Freed memory is handed back at once rather than kept in quarantine, which would otherwise
  // grow with the number of lines and hide what the client itself holds.
  const char* oldAsan = std::getenv("ASAN_OPTIONS");
  const std::string saved = oldAsan ? oldAsan : "";
  ::setenv("ASAN_OPTIONS",
           (saved + (saved.empty() ? "" : ":") + "quarantine_size_mb=0:detect_leaks=0").c_str(), 1);
  int status = 0;
  const std::string out = RunCapture({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                      "--gtest_filter=SmtpMemoryChild.DISABLED_SendOneMessage"},
                                     &status);
  if (oldAsan)
    ::setenv("ASAN_OPTIONS", saved.c_str(), 1);
  else
    ::unsetenv("ASAN_OPTIONS");
  ::unsetenv("TARVIK_MEMORY_FILE");
  ::unsetenv("TARVIK_MEMORY_PORT");
  EXPECT_EQ(status, 0) << out;
  *DataBytes = server.DataBytes();
  const auto pos = out.find("MAXRSS ");
  return pos == std::string::npos ? -1 : std::stol(out.substr(pos + 7));
}

}  // namespace

// Run only as the child of the test below.
TEST(SmtpMemoryChild, DISABLED_SendOneMessage) {
  const char* file = std::getenv("TARVIK_MEMORY_FILE");
  const char* port = std::getenv("TARVIK_MEMORY_PORT");
  ASSERT_TRUE(file && port);
  TSmtpCli client;
  bool ended = false;
  std::uint16_t dataError = 0xFFFF;
  client.SetHost("127.0.0.1");
  client.SetPort(port);
  client.SetFromName("a@x.example");
  client.RcptName().Add("b@x.example");
  client.SetEmailFiles({file});
  client.OnRequestDone = [&](TCustomSmtpClient* c, TSmtpRequest r, std::uint16_t e) {
    if (r == TSmtpRequest::smtpData) dataError = e;
    if (e != 0 || r == TSmtpRequest::smtpQuit) {
      ended = true;
      return;
    }
    if (r == TSmtpRequest::smtpOpen) c->MailFrom();
    if (r == TSmtpRequest::smtpMailFrom) c->RcptTo();
    if (r == TSmtpRequest::smtpRcptTo) c->Data();
    if (r == TSmtpRequest::smtpData) c->Quit();
  };
  client.Open();
  ASSERT_TRUE(PumpUntil([&] { return ended; }, 240000));
  EXPECT_EQ(dataError, 0) << client.ErrorMessage();
  // The peak of this address space (VmHWM, in KiB): unlike ru_maxrss it starts anew at exec,
  // so the test process the child was forked from does not count.
  std::ifstream status("/proc/self/status");
  std::string line;
  long peak = -1;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) peak = std::stol(line.substr(6));
  std::printf("MAXRSS %ld\n", peak);
}

TEST(SmtpMemory, TwoHundredMegabytesNeedNoMoreMemoryThanTwo) {
  TestTempDir dir;
  // Sparse files: the client reads every byte, the disk holds none.
  auto make = [&](const std::string& name, off_t size) {
    const std::string path = dir.File(name);
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    EXPECT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
    return path;
  };
  const std::string small = make("small.bin", 2L << 20);
  const std::string large = make("large.bin", 200L << 20);
  long smallData = 0, largeData = 0;
  const long smallRss = PeakRssOfSend(small, &smallData);
  const long largeRss = PeakRssOfSend(large, &largeData);
  ASSERT_GT(smallRss, 0);
  ASSERT_GT(largeRss, 0);
  // Base64 grows the data by 4/3 plus line ends: the whole attachment went out.
  EXPECT_GT(largeData, 270L << 20);
  EXPECT_GT(smallData, 2L << 20);
  std::printf("peak RSS: 2 MB attachment %ld KiB, 200 MB attachment %ld KiB\n", smallRss, largeRss);
  EXPECT_LE(largeRss - smallRss, 2048)
      << "2 MB: " << smallRss << " KiB, 200 MB: " << largeRss << " KiB";
}

// The built program on a real X server: Xvfb started here on a free display, xdotool typing into
// the window as a person would, ImageMagick taking a screenshot of it; and the headless path,
// which never maps a Qt library.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"

namespace {

using namespace composertest;

struct Finished {
  int exitCode = -1;
  std::string out, err;
};

Finished RunTool(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 int timeoutMs = 30000) {
  ChildProcess tool(argv, env, true);
  Finished result;
  result.exitCode = tool.Finish(result.out, result.err, timeoutMs);
  return result;
}

// Xvfb on the first free display (it says which through -displayfd); ends with the object.
class XServer {
 public:
  XServer()
      : process_(
            {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            CurrentEnvironment(), true) {
    display_ = ":" + process_.ReadLine();
  }
  const std::string& Display() const { return display_; }
  // The X server goes away, as when a session ends under a running program.
  void Stop() {
    ::kill(process_.Pid(), SIGTERM);
    process_.Wait();
  }

 private:
  ChildProcess process_;
  std::string display_;
};

class RealWindowTest : public ::testing::Test {
 protected:
  std::vector<std::string> Environment(const std::string& display) const {
    ::mkdir(folder.File("runtime").c_str(), 0700);
    return {"DISPLAY=" + display,
            "TARVIK_INI=" + folder.File("tarvik2.ini"),
            "HOME=" + folder.File("home"),
            "XDG_STATE_HOME=" + folder.File("state"),
            "XDG_RUNTIME_DIR=" + folder.File("runtime"),
            "PATH=/usr/bin:/bin",
            "LANG=C.UTF-8",
            "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1",
            "LSAN_OPTIONS=" TARVIK_LSAN_OPTIONS};
  }
  Finished Tool(const std::vector<std::string>& argv) const {
    return RunTool(argv, Environment(x.Display()));
  }
  // The program's window id, once it is mapped.
  std::string WaitForWindow() const {
    const Finished found = Tool({"/usr/bin/timeout", "30", "/usr/bin/xdotool", "search", "--sync",
                                 "--onlyvisible", "--name", "^Tarvik V2\\.06$"});
    EXPECT_EQ(found.exitCode, 0) << found.err;
    return found.out.substr(0, found.out.find('\n'));
  }
  void Xdotool(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "/usr/bin/xdotool");
    const Finished done = Tool(arguments);
    EXPECT_EQ(done.exitCode, 0) << done.err;
  }
  static bool Eventually(const std::function<bool()>& done, int timeoutMs = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling a file on disk
    }
    return true;
  }

  apptest::TempFolder folder;
  XServer x;
};

// A person types the sender, picks the recipient from the completion popup (the exact nick,
// which the book holds below a longer one that begins with it), fills Cc, types the subject and
// two body lines (Enter moves through the fields) and presses Ctrl+Enter: the message goes to
// exactly those two, with the chosen address in To, the copy in Cc and the typed bytes. Alt+X
// then closes the window and the program ends with 0.
TEST_F(RealWindowTest, TypedMessageWithARecipientFromThePopupArrivesByteForByte) {
  apptest::WriteFile(folder.File("tarvik2.ini"),
                     "[adresses]\nbobby=bobby.tables@example.org\nbob=bob@example.org\n");
  SmtpPeer server(folder.File("server"));
  ChildProcess program({ProgramPath(), "-server:" + server.Server()}, Environment(x.Display()),
                       true);
  const std::string window = WaitForWindow();
  Xdotool({"windowfocus", "--sync", window});
  // xdotool types a line break as the Linefeed key, which no keyboard has: Return is pressed.
  auto line = [&](const char* text, std::vector<std::string> keys) {
    Xdotool({"type", "--delay", "2", text});
    keys.insert(keys.begin(), "key");
    Xdotool(keys);
  };
  line("Ann Example <ann@example.org>", {"Return"});
  line("bob", {"Down", "Return", "Tab"});  // the first entry offered: the exact nick
  line("carl@example.org", {"Tab", "Tab"});
  line("Typed here", {"Return"});
  line("First line, typed.", {"Return"});
  line(".second line starts with a dot", {"ctrl+Return"});
  ASSERT_TRUE(Eventually([&] { return server.Received() == 1; })) << "no message arrived";
  EXPECT_EQ(apptest::ReadFile(server.Envelope(1)),
            "FROM ann@example.org\nRCPT bob@example.org\nRCPT carl@example.org\n");
  const std::string message = apptest::ReadFile(server.Message(1));
  const std::size_t body = message.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(message.substr(body + 4), "First line, typed.\r\n.second line starts with a dot\r\n");
  for (const char* header : {"From: Ann Example <ann@example.org>", "To: bob <bob@example.org>",
                             "Cc: carl@example.org", "Subject: Typed here"})
    EXPECT_NE(("\r\n" + message).find("\r\n" + std::string(header) + "\r\n"), std::string::npos)
        << header << "\n"
        << message;
  Xdotool({"key", "alt+x"});
  std::string out, err;
  EXPECT_EQ(program.Finish(out, err), 0) << err;
}

// A script on a desktop: "-send -close" sends through the window and ends with exit code 0.
TEST_F(RealWindowTest, SendAndCloseWithADisplayEndsWithZero) {
  SmtpPeer server(folder.File("server"));
  const Finished run =
      RunTool({ProgramPath(), "-send", "-close", "-server:" + server.Server(),
               "-from:ann@example.org", "-s:Scripted", "-msg:Hello", "bob@example.org"},
              Environment(x.Display()));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err.find("cannot open the window"), std::string::npos) << run.err;
  EXPECT_EQ(server.Received(), 1);
}

// The window as a screenshot: the picture has the window's size and is not blank.
TEST_F(RealWindowTest, ScreenshotShowsTheWindow) {
  ChildProcess program({ProgramPath()}, Environment(x.Display()), true);
  const std::string window = WaitForWindow();
  const Finished geometry = Tool({"/usr/bin/xdotool", "getwindowgeometry", window});
  const std::size_t at = geometry.out.find("Geometry: ");
  ASSERT_NE(at, std::string::npos) << geometry.out;
  const std::string size = geometry.out.substr(at + 10, geometry.out.find('\n', at) - at - 10);
  const std::string width = size.substr(0, size.find('x')),
                    height = size.substr(size.find('x') + 1);
  EXPECT_GE(std::stoi(width), 333);
  EXPECT_GE(std::stoi(height), 379);
  const std::string shot = folder.File("window.png");
  // The first paint may still be on its way: the picture is taken until it shows something.
  Finished colours;
  ASSERT_TRUE(Eventually([&] {
    if (Tool({"/usr/bin/import", "-window", window, shot}).exitCode != 0) return false;
    colours = Tool({"/usr/bin/identify", "-format", "%w %h %k", shot});
    return colours.exitCode == 0 && std::stoi(colours.out.substr(colours.out.rfind(' '))) > 16;
  })) << colours.out;
  EXPECT_EQ(colours.out.substr(0, colours.out.rfind(' ')), width + " " + height);
  Xdotool({"windowfocus", "--sync", window});
  Xdotool({"key", "alt+x"});
  std::string out, err;
  EXPECT_EQ(program.Finish(out, err), 0) << err;
}

// The X server goes away under the running window: the program ends with 1 at once, without
// tearing down the form after the event loop it uses is gone.
TEST_F(RealWindowTest, LostDisplayEndsTheProgramCleanly) {
  ChildProcess program({ProgramPath()}, Environment(x.Display()), true);
  WaitForWindow();
  x.Stop();
  std::string out, err;
  EXPECT_EQ(program.Finish(out, err), 1);
  EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
}

// A display that is set but cannot be reached: one line on standard error, then the send runs
// headless. The module was loaded (and its symbols resolved against the program) to find that
// out.
TEST_F(RealWindowTest, UnreachableDisplayRunsHeadlessAfterOneLine) {
  SmtpPeer server(folder.File("server"));
  const Finished run = RunTool({ProgramPath(), "-send", "-server:" + server.Server(),
                                "-from:ann@example.org", "-msg:Hello", "bob@example.org"},
                               Environment(":4097"));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err,
            "tarvik: cannot open the window (cannot connect to the X display \":4097\"), running "
            "headless\n");
  EXPECT_EQ(server.Received(), 1);
}

// Scripts never pay for the window: the program is not linked with Qt, and a headless run loads
// neither the module nor any Qt library.
TEST_F(RealWindowTest, HeadlessRunMapsNoQtLibrary) {
  const Finished ldd = RunTool({"/usr/bin/ldd", ProgramPath()}, CurrentEnvironment());
  EXPECT_EQ(ldd.out.find("Qt"), std::string::npos) << ldd.out;
  SmtpPeer server(folder.File("server"));
  std::vector<std::string> env = Environment(x.Display());
  env.push_back("LD_DEBUG=files");
  const Finished run = RunTool({ProgramPath(), "-nogui", "-send", "-server:" + server.Server(),
                                "-from:ann@example.org", "-msg:Hello", "bob@example.org"},
                               env);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.err.find("file=libc.so.6"), std::string::npos) << "the loader reported its files";
  EXPECT_EQ(run.err.find("Qt6"), std::string::npos);
  EXPECT_EQ(run.err.find("tarvik-window"), std::string::npos);
  EXPECT_EQ(server.Received(), 1);
}

}  // namespace

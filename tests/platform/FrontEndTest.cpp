#include "platform/FrontEnd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

#include "platform/Application.h"
#include "platform/ScriptedFrontEnd.h"
#include "platform/Timer.h"

namespace {

TEST(ScriptedFrontEnd, AnswersBoxesFromItsScriptThenWithTheSafeDefault) {
  ScriptedFrontEnd frontEnd;
  ScopedFrontEnd scope(frontEnd);
  frontEnd.MessageBoxAnswers = {IDYES};
  EXPECT_EQ(MessageBoxA(0, "Load it?", "Draft Saved", MB_YESNO + MB_ICONQUESTION), IDYES);
  EXPECT_EQ(MessageBoxA(0, "Send anyway?", "SignFile Error", MB_YESNO + MB_ICONQUESTION), IDNO);
  EXPECT_EQ(MessageBoxA(0, "Oops", "Tarvik 2.0 - ERROR", MB_ICONERROR), IDOK);
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 3u);
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text, "Load it?");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Caption, "Draft Saved");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Type, 0x24u);
  EXPECT_EQ(frontEnd.MessageBoxes[2].Type, 0x10u);
  EXPECT_EQ(frontEnd.MessageBoxes[1].Answer, IDNO);
}

TEST(ScriptedFrontEnd, RecordsMessagesExceptionsAndRunsTheBoxHook) {
  ScriptedFrontEnd frontEnd;
  ScopedFrontEnd scope(frontEnd);
  int seenWhileOpen = 0;
  frontEnd.OnMessageBox = [&](const ScriptedFrontEnd::MessageBoxCall& call) {
    EXPECT_EQ(call.Text, "question");
    ++seenWhileOpen;
  };
  MessageBoxA(0, "question", "caption", MB_OK);
  ShowMessage("Send forward is ON");
  GetFrontEnd().ShowException(std::runtime_error("boom"));
  EXPECT_EQ(seenWhileOpen, 1);
  EXPECT_EQ(frontEnd.Messages, std::vector<std::string>{"Send forward is ON"});
  EXPECT_EQ(frontEnd.Exceptions, std::vector<std::string>{"boom"});
}

TEST(ScriptedFrontEnd, KeyStateCursorAndLayout) {
  ScriptedFrontEnd frontEnd;
  ScopedFrontEnd scope(frontEnd);
  EXPECT_EQ(GetKeyState(VK_SHIFT) & 0x80, 0);
  frontEnd.SetKeyDown(VK_SHIFT, true);
  EXPECT_NE(GetKeyState(VK_SHIFT) & 0x80, 0);
  frontEnd.SetKeyDown(VK_SHIFT, false);
  EXPECT_EQ(GetKeyState(VK_SHIFT) & 0x80, 0);
  frontEnd.CursorPos = {640, 480};
  EXPECT_EQ(GetCursorPos(), (TPoint{640, 480}));
  for (char c = 'a'; c <= 'z'; ++c) EXPECT_EQ(VkKeyScanA(c), 0x41 + (c - 'a')) << c;
  EXPECT_EQ(VkKeyScanA('S') & 0xFF, 0x53);
  EXPECT_NE(VkKeyScanA('S') & 0xFF00, 0);  // needs Shift: never equals a plain key code
}

TEST(FrontEnd, ScopedFrontEndsNestAndTheFallbackAnswersSafely) {
  // Without a front-end: questions are answered No, dialogs cancelled, no key down.
  EXPECT_EQ(MessageBoxA(0, "fallback question", "test", MB_YESNO), IDNO);
  EXPECT_EQ(MessageBoxA(0, "fallback note", "test", MB_OK), IDOK);
  EXPECT_EQ(GetKeyState(VK_SHIFT), 0);
  {
    ScriptedFrontEnd outer;
    ScopedFrontEnd outerScope(outer);
    {
      ScriptedFrontEnd inner;
      ScopedFrontEnd innerScope(inner);
      ShowMessage("inner");
      EXPECT_EQ(inner.Messages.size(), 1u);
    }
    ShowMessage("outer");
    EXPECT_EQ(outer.Messages, std::vector<std::string>{"outer"});
  }
  EXPECT_EQ(MessageBoxA(0, "fallback again", "test", MB_YESNO), IDNO);
}

}  // namespace

namespace {

// A front-end whose toolkit loop is a plain counter of rounds around the event loop.
class LoopOwningFrontEnd : public ScriptedFrontEnd {
 public:
  void Run() override {
    ++runs;
    while (!quit) EventLoop::Current().ProcessMessages();
  }
  void Terminate() override { quit = true; }
  void CloseWindows() override { std::fputs("window closed\n", stderr); }
  int runs = 0;
  bool quit = false;
};

// The front-end owns the main loop: Run is its loop, Terminate ends it (the event loop's flag is
// set too, which synchronous waits look at).
TEST(FrontEnd, TheFrontEndRunsAndEndsTheMainLoop) {
  LoopOwningFrontEnd frontEnd;
  ScopedFrontEnd scope(frontEnd);
  TTimer stop("stop", 1);
  stop.OnTimer = [](TTimer*) { Application().Terminate(); };
  Application().Run();
  EXPECT_EQ(frontEnd.runs, 1);
  EXPECT_TRUE(frontEnd.quit);
  EXPECT_TRUE(Application().Terminated());
  EventLoop::Current().ResetTerminated();
}

// Ending the process goes through the front-end, which takes its window down before the exit.
TEST(FrontEndDeathTest, EndProcessClosesTheWindowsFirst) {
  EXPECT_EXIT(
      {
        LoopOwningFrontEnd frontEnd;
        ScopedFrontEnd scope(frontEnd);
        std::fputs("before\n", stderr);
        GetFrontEnd().EndProcess(3);
      },
      ::testing::ExitedWithCode(3), "before\nwindow closed\n");
}

}  // namespace

// The headless front-end: what it prints where, how it answers questions, when it is chosen,
// and the end of a scripting run.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/Tarvik2_unit1.h"
#include "frontend/HeadlessFrontEnd.h"
#include "tests/app/AppTestSupport.h"

namespace {

struct Streams {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
};

TEST(HeadlessFrontEndTest, MessageBoxesGoToTheErrorStreamAsLinesOfTheTerminal) {
  Streams s;
  THeadlessFrontEnd fe(s.in, s.out, s.err, false);
  EXPECT_EQ(fe.MessageBox("Error occured while sending mail:\r550 unknown\x1b[31m user",
                          "Tarvik 2.0 - ERROR", MB_ICONERROR),
            IDOK);
  EXPECT_EQ(s.err.str(),
            "Tarvik 2.0 - ERROR: Error occured while sending mail:\n550 unknown?[31m user\n");
  EXPECT_EQ(s.out.str(), "");
}

TEST(HeadlessFrontEndTest, QuestionsWithoutATerminalAreAnsweredNo) {
  Streams s;
  s.in.str("y\n");  // present but not a terminal: never read
  THeadlessFrontEnd fe(s.in, s.out, s.err, false);
  EXPECT_EQ(fe.MessageBox("Send message anyway?", "SignFile Error", MB_YESNO | MB_ICONQUESTION),
            IDNO);
  EXPECT_EQ(fe.MessageBox("Go on?", "Question", MB_OKCANCEL), IDCANCEL);
  EXPECT_NE(s.err.str().find("SignFile Error: Send message anyway?\n"), std::string::npos);
  EXPECT_NE(s.err.str().find("answered No"), std::string::npos);
  std::string rest;
  std::getline(s.in, rest);
  EXPECT_EQ(rest, "y");
}

TEST(HeadlessFrontEndTest, QuestionsOnATerminalTakeTheTypedAnswer) {
  struct Case {
    const char* typed;
    int answer;
  };
  for (const Case& c :
       {Case{"y\n", IDYES}, Case{"Yes\n", IDYES}, Case{"  y\n", IDYES}, Case{"n\n", IDNO},
        Case{"\n", IDNO}, Case{"maybe\n", IDNO}, Case{"", IDNO}}) {
    SCOPED_TRACE(c.typed);
    Streams s;
    s.in.str(c.typed);
    THeadlessFrontEnd fe(s.in, s.out, s.err, true);
    EXPECT_EQ(fe.MessageBox("Load it?", "Draft Saved", MB_YESNO | MB_ICONQUESTION), c.answer);
    EXPECT_NE(s.err.str().find("[y/N]"), std::string::npos);
  }
}

TEST(HeadlessFrontEndTest, PlainMessagesGoToStandardOutputAndReportsToTheErrorStream) {
  Streams s;
  THeadlessFrontEnd fe(s.in, s.out, s.err, false);
  fe.ShowMessage(CommandLineHelpText());
  std::string expected;
  for (const std::string& line : CommandLineHelpLines()) expected += line + "\n";
  EXPECT_EQ(s.out.str(), expected);

  fe.ShowException(std::runtime_error("Cannot open file \"x\". No such file or directory"));
  EXPECT_EQ(s.err.str(), "Tarvik v2.0: Cannot open file \"x\". No such file or directory\n");
}

TEST(HeadlessFrontEndTest, NothingIsEverChosenOrPressed) {
  Streams s;
  THeadlessFrontEnd fe(s.in, s.out, s.err, true);
  TForm form;
  TOpenDialog& dialog = form.Make<TOpenDialog>("OpenDialog1");
  dialog.FileName = "kept";
  EXPECT_FALSE(fe.ExecuteOpenDialog(dialog));
  EXPECT_EQ(dialog.FileName, "kept");
  EXPECT_EQ(fe.GetKeyState(VK_SHIFT), 0);
  EXPECT_EQ(s.err.str() + s.out.str(), "");
}

TEST(HeadlessFrontEndTest, ChosenByNoguiOrForLackOfADisplay) {
  apptest::ScopedEnvironment env;
  env.Set("DISPLAY", std::nullopt);
  env.Set("WAYLAND_DISPLAY", std::nullopt);
  EXPECT_TRUE(HeadlessRequested({}));

  env.Set("DISPLAY", ":0");
  EXPECT_FALSE(HeadlessRequested({"-send"}));
  EXPECT_TRUE(HeadlessRequested({"-send", "-nogui"}));
  EXPECT_FALSE(HeadlessRequested({"-noguix"}));

  env.Set("DISPLAY", "");
  env.Set("WAYLAND_DISPLAY", "wayland-0");
  EXPECT_FALSE(HeadlessRequested({}));
}

class HeadlessRunTest : public ::testing::Test {
 protected:
  HeadlessRunTest() {
    Form1 = std::make_unique<TForm1>();
    PrepareHeadless(*Form1);
  }
  ~HeadlessRunTest() override { Form1.reset(); }
  Streams s;
  THeadlessFrontEnd fe{s.in, s.out, s.err, false};
  ScopedFrontEnd current{fe};
};

TEST_F(HeadlessRunTest, WithoutSendThereIsNothingToDo) {
  std::ostringstream err;
  EXPECT_EQ(RunHeadless(*Form1, err), 1);
  std::string help;
  for (const std::string& line : CommandLineHelpLines()) help += line + "\n";
  EXPECT_EQ(err.str(), help);
  EXPECT_FALSE(Form1->ShowTimer.Enabled()) << "the form was never shown";
}

TEST_F(HeadlessRunTest, ASendThatNeverStartsEndsTheRunWithExitCode1) {
  TForm1& f = *Form1;
  f.AutoSend = true;
  f.SMTPServer.Text = "127.0.0.1:1";
  f.from.Text = "a@example.org";
  f.sendto.Text = "b@example.org";
  f.MessageText.Lines.Add("text");
  f.SignFile.Text = "/nonexistent/folder/sign.txt";  // its question is answered No
  std::ostringstream err;
  EXPECT_EQ(RunHeadless(f, err), 1);
  EXPECT_EQ(err.str(), "Tarvik 2.0 - ERROR: The message was not sent.\n");
  EXPECT_NE(s.err.str().find("SignFile Error: The signfile cannot be opened"), std::string::npos)
      << s.err.str();
  EXPECT_FALSE(f.Closed());
}

}  // namespace

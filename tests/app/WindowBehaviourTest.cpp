// Window behaviour: every shortcut and notice, Enter in the header fields and the swallowed
// character after a shortcut, the attachment and signature buttons, Clear, the start-up timers
// and the logo's pop-up, delivered through the form model as a front-end delivers them.
#include <string>

#include "app/Tarvik2_unit1.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"

namespace {

using namespace apptest;

class WindowBehaviourTest : public ComposerTest {
 protected:
  TForm1& f() { return form(); }
  // A key-down with modifiers on a control; returns the key after the handlers.
  std::uint16_t Key(TControl& control, char letterOrCode, TShiftState shift) {
    return f().KeyDown(control, static_cast<std::uint16_t>(letterOrCode), shift);
  }
};

TEST_F(WindowBehaviourTest, SendForwardToggleShowsNoticesAndTheOldTextReturns) {
  f().StatusBar1.SimpleText = "Status: Ready.";
  Key(f().MessageText, 'F', ssCtrl);
  EXPECT_TRUE(f().SendForward);
  EXPECT_EQ(f().StatusBar1.SimpleText, "Send forward is ON");
  EXPECT_TRUE(f().StatusBarTimer.Running());
  EXPECT_EQ(f().StatusBarTimer.Interval(), 2000u);
  EXPECT_TRUE(f().SuppressKeyPress);

  Key(f().MessageText, 'F', ssCtrl);  // a notice while a notice shows
  EXPECT_FALSE(f().SendForward);
  EXPECT_EQ(f().StatusBar1.SimpleText, "Send forward is OFF");
  f().StatusBarTimer.OnTimer(&f().StatusBarTimer);
  EXPECT_EQ(f().StatusBar1.SimpleText, "Status: Ready.") << "the text from before the first notice";
  EXPECT_FALSE(f().StatusBarTimer.Running());
}

TEST_F(WindowBehaviourTest, NoticeEndsByItselfAfterItsTime) {
  f().StatusBar1.SimpleText = "Status: before";
  f().SetStatusNotice("short notice");
  ASSERT_TRUE(composertest::PumpUntil([&] { return !f().StatusBarTimer.Running(); }, 10000));
  EXPECT_EQ(f().StatusBar1.SimpleText, "Status: before");
}

TEST_F(WindowBehaviourTest, MessageSizeNotice) {
  Key(f().MessageText, 'T', ssCtrl);
  EXPECT_EQ(f().StatusBar1.SimpleText, "Message info: 0 bytes in 0 lines.");
  f().OnStatusBarTimer(&f().StatusBarTimer);

  f().MessageText.Lines = TStringList{"ab", "c"};
  f().MessageText.SetSelStart(1);
  Key(f().MessageText, 'T', ssCtrl);
  EXPECT_EQ(f().StatusBar1.SimpleText, "Message info: 5 bytes in 2 lines.");
  EXPECT_EQ(f().MessageText.SelStart(), 1);
  EXPECT_EQ(f().MessageText.SelLength(), 0);
  EXPECT_TRUE(f().SuppressKeyPress);
}

TEST_F(WindowBehaviourTest, ZoomTogglesFontWrapAndWindowAndKeepsTheCaret) {
  f().MessageText.Lines = TStringList{"first", "second line"};
  f().MessageText.SetCaretPos({3, 1});
  Key(f().MessageText, 'Z', ssCtrl);
  EXPECT_EQ(f().MessageText.Font, (TFont{"Times New Roman", 18}));
  EXPECT_FALSE(f().MessageText.WordWrap);
  EXPECT_EQ(f().WindowState, TWindowState::wsMaximized);
  EXPECT_EQ(f().MessageText.CaretPos(), (TPoint{3, 1}));
  Key(f().MessageText, 'Z', ssCtrl);
  EXPECT_EQ(f().MessageText.Font, (TFont{"MS Sans Serif", 8}));
  EXPECT_TRUE(f().MessageText.WordWrap);
  EXPECT_EQ(f().WindowState, TWindowState::wsNormal);
  EXPECT_EQ(f().MessageText.CaretPos(), (TPoint{3, 1}));
}

TEST_F(WindowBehaviourTest, EnterMovesThroughTheHeaderFieldsAndBreaksLinesInTheMemo) {
  f().from.SetFocus();
  EXPECT_EQ(f().KeyPress(f().from, '\r'), 0);
  EXPECT_EQ(f().ActiveControl(), &f().sendto);
  EXPECT_EQ(f().KeyPress(f().sendto, '\r'), 0);
  EXPECT_EQ(f().ActiveControl(), &f().subject);
  EXPECT_EQ(f().KeyPress(f().subject, '\r'), 0);
  EXPECT_EQ(f().ActiveControl(), &f().MessageText);
  EXPECT_EQ(f().KeyPress(f().MessageText, '\r'), '\r');
  EXPECT_EQ(f().KeyPress(f().subject, 'x'), 'x');
}

TEST_F(WindowBehaviourTest, ShortcutOnAButtonSwallowsTheNextCharacterTypedIntoAField) {
  f().MessageText.Lines = TStringList{"draft"};
  f().SendBtn.SetFocus();
  Key(f().SendBtn, 'S', ssCtrl);
  EXPECT_TRUE(Exists(folder.File("state") + "/tarvik/tarvik2.dft"));
  EXPECT_TRUE(f().KeepDraft);
  EXPECT_EQ(f().KeyPress(f().subject, 's'), 0);
  EXPECT_EQ(f().KeyPress(f().subject, 'x'), 'x');
  Key(f().SendBtn, 13, ssCtrl);  // Ctrl+Enter leaves the next character alone
  EXPECT_EQ(f().KeyPress(f().subject, 'y'), 'y');
}

TEST_F(WindowBehaviourTest, ModifierGroupsAreExclusiveAndOtherKeysPass) {
  // A shortcut acted on comes back handled, so a text field's own binding of the key (select
  // all, undo) does not run as well.
  EXPECT_EQ(Key(f().MessageText, 'F', ssCtrl), 0);
  EXPECT_EQ(Key(f().MessageText, 'F', ssCtrl), 0);
  EXPECT_EQ(Key(f().MessageText, 'Z', ssCtrl), 0);
  EXPECT_EQ(Key(f().MessageText, 'Z', ssCtrl), 0);
  f().SuppressKeyPress = false;
  EXPECT_EQ(Key(f().MessageText, 'X', ssCtrl | ssAlt), 'X');
  EXPECT_FALSE(f().Closed()) << "Ctrl held: the Alt group does not apply";
  EXPECT_EQ(Key(f().MessageText, 'F', ssAlt), 'F');
  EXPECT_FALSE(f().SendForward);
  EXPECT_EQ(Key(f().MessageText, 'Q', ssCtrl), 'Q');
  EXPECT_FALSE(f().SuppressKeyPress);
  EXPECT_EQ(f().SMTPServer.OnKeyDown, nullptr) << "shortcuts do not work in the server field";
  Key(f().MessageText, 'X', ssAlt);
  EXPECT_TRUE(f().Closed());
}

TEST_F(WindowBehaviourTest, CtrlEnterSendsAndShiftEnterOnlyOnTheSendButton) {
  Key(f().MessageText, 13, ssCtrl);
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text, "No SMTP Server specified, can't send mail.");
  Key(f().MessageText, 13, ssShift);
  EXPECT_EQ(frontEnd.MessageBoxes.size(), 1u) << "Shift+Enter elsewhere does nothing";
  f().SendBtn.SetFocus();
  Key(f().SendBtn, 13, ssShift);
  EXPECT_EQ(frontEnd.MessageBoxes.size(), 2u);
}

TEST_F(WindowBehaviourTest, CtrlEnterWhileSendingAborts) {
  composertest::SmtpPeer server(folder.File("server"));
  f().SMTPServer.Text = server.Server();
  f().from.Text = "ann@example.org";
  f().sendto.Text = "bob@example.org";
  f().MessageText.Lines = TStringList{"x"};
  Key(f().MessageText, 13, ssCtrl);
  EXPECT_EQ(f().SendBtn.Caption, "&Abort");
  Key(f().MessageText, 13, ssCtrl);
  ASSERT_TRUE(composertest::PumpUntil([&] { return f().SendBtn.Caption == "&Send"; }));
  EXPECT_EQ(f().StatusBar1.SimpleText, "Status: Sending aborted.");
  EXPECT_EQ(server.Received(), 0);
}

TEST_F(WindowBehaviourTest, CtrlEnterAbortsASendStartedFromTheSubject) {
  composertest::SmtpPeer server(folder.File("server"));
  f().SMTPServer.Text = server.Server();
  f().from.Text = "ann@example.org";
  f().sendto.Text = "bob@example.org";
  f().MessageText.Lines = TStringList{"x"};
  f().subject.SetFocus();
  Key(f().subject, 13, ssCtrl);
  ASSERT_EQ(f().SendBtn.Caption, "&Abort");
  // The subject is disabled now; the keys go where the focus went.
  ASSERT_EQ(f().ActiveControl(), &f().SendBtn);
  Key(*f().ActiveControl(), 13, ssCtrl);
  ASSERT_TRUE(composertest::PumpUntil([&] { return f().SendBtn.Caption == "&Send"; }));
  EXPECT_EQ(f().StatusBar1.SimpleText, "Status: Sending aborted.");
  EXPECT_EQ(server.Received(), 0);
  EXPECT_EQ(f().ActiveControl(), &f().subject);
}

TEST_F(WindowBehaviourTest, AttachmentButtons) {
  frontEnd.OpenDialogAnswers = {{"/data/a.pdf", "/data/b.txt"}, {"/data/a.pdf"}, {}};
  Key(f().AttachedFiles, 'A', ssCtrl);
  EXPECT_TRUE(f().SuppressKeyPress);
  EXPECT_EQ(frontEnd.OpenDialogTitles, std::vector<std::string>{"Select file(s) to attach:"});
  f().AddFileBtn.Click();
  f().AddFileBtn.Click();  // cancelled
  EXPECT_EQ(f().AttachedFiles.Items, (TStringList{"/data/a.pdf", "/data/b.txt", "/data/a.pdf"}));

  f().RemoveFileBtn.Click();  // nothing selected
  EXPECT_EQ(f().AttachedFiles.Items.Count(), 3);
  f().AttachedFiles.ItemIndex = 1;
  f().RemoveFileBtn.Click();
  EXPECT_EQ(f().AttachedFiles.Items, (TStringList{"/data/a.pdf", "/data/a.pdf"}));
}

TEST_F(WindowBehaviourTest, BrowseChoosesTheSignatureFile) {
  frontEnd.OpenDialogAnswers = {{"/home/ann/sign.txt"}, {}};
  f().BrowseBtn.Click();
  EXPECT_EQ(f().SignFile.Text, "/home/ann/sign.txt");
  f().BrowseBtn.Click();
  EXPECT_EQ(f().SignFile.Text, "/home/ann/sign.txt");
  EXPECT_EQ(frontEnd.OpenDialogTitles.back(), "Select file to use as sign:");
}

TEST_F(WindowBehaviourTest, ClearStartsANewMessageWithTheStoredSender) {
  WriteFile(SettingsFile(), "[defaults]\nfrom=Ann <ann@example.org>\n");
  TForm1& g = Start();
  g.from.Text = "someone else";
  g.sendto.Text = "bob@example.org";
  g.subject.Text = "s";
  g.MessageText.Lines = TStringList{"text"};
  g.AttachedFiles.Items = TStringList{"/x"};
  g.ProgressBar1.SetPosition(3);
  g.KeepDraft = true;
  g.ClearBtn.Click();
  EXPECT_EQ(g.from.Text, "Ann <ann@example.org>");
  EXPECT_EQ(g.sendto.Text, "");
  EXPECT_EQ(g.subject.Text, "");
  EXPECT_TRUE(g.MessageText.Lines.Empty());
  EXPECT_TRUE(g.AttachedFiles.Items.Empty());
  EXPECT_EQ(g.ProgressBar1.Position(), 0);
  EXPECT_FALSE(g.KeepDraft);
  EXPECT_EQ(g.ActiveControl(), &g.sendto);

  WriteFile(SettingsFile(), "");
  g.ClearBtn.Click();
  EXPECT_EQ(g.from.Text, "");
  EXPECT_EQ(g.ActiveControl(), &g.from);
}

TEST_F(WindowBehaviourTest, ShowTimerSendsOnlyWithAutoSend) {
  TForm1& g = Start();
  g.ShowTimer.SetEnabled(true);
  g.ShowTimer.OnTimer(&g.ShowTimer);
  EXPECT_FALSE(g.ShowTimer.Enabled());
  EXPECT_TRUE(frontEnd.MessageBoxes.empty());

  g.AutoSend = true;
  g.Show();
  EXPECT_TRUE(g.ShowTimer.Enabled());
  EXPECT_EQ(g.ShowTimer.Interval(), 500u);
  ASSERT_TRUE(composertest::PumpUntil([&] { return !g.ShowTimer.Enabled(); }, 10000));
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u) << "Send was pressed";
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text, "No SMTP Server specified, can't send mail.");
}

TEST_F(WindowBehaviourTest, FocusTimerMovesToFromWhenItIsEmpty) {
  TForm1& g = Start({"bob@example.org"});
  g.from.Text.clear();
  g.FocusTimer.OnTimer(&g.FocusTimer);
  EXPECT_EQ(g.ActiveControl(), &g.from);
  EXPECT_FALSE(g.FocusTimer.Enabled());
}

TEST_F(WindowBehaviourTest, LogoOpensThePopupAtTheMouse) {
  frontEnd.CursorPos = {120, 45};
  f().Image1.Click();
  ASSERT_EQ(frontEnd.Popups.size(), 1u);
  EXPECT_EQ(frontEnd.Popups[0].Menu, &f().TarvikPopup);
  EXPECT_EQ(frontEnd.Popups[0].At, (TPoint{120, 45}));
  f().Tarvikv2001.Click();  // no action
  f().CommandLineHelp1.Click();
  ASSERT_EQ(frontEnd.Messages.size(), 1u);
  EXPECT_TRUE(frontEnd.Messages[0].starts_with("Tarvik 2.0 accepts the following commandline:"));
}

}  // namespace

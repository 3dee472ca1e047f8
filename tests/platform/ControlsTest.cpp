#include "platform/Controls.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/ScriptedFrontEnd.h"

namespace {

class ComposerLikeForm : public TForm {
 public:
  ComposerLikeForm() : TForm("Form1") {}
  TEdit& from = Make<TEdit>("from");
  TEdit& sendto = Make<TEdit>("sendto");
  TEdit& subject = Make<TEdit>("subject");
  TMemo& message = Make<TMemo>("MessageText");
  TButton& sendButton = Make<TButton>("SendBtn");

  std::vector<std::string> events;

 protected:
  void DoShow() override { events.push_back("show"); }
  void DoClose() override {
    events.push_back("close");
    Close();  // closing again from the close hook is ignored
  }
};

TEST(Form, OwnsAndFindsItsControls) {
  ComposerLikeForm form;
  EXPECT_EQ(form.FindControl("sendto"), &form.sendto);
  EXPECT_EQ(form.FindControl("SendBtn"), &form.sendButton);
  EXPECT_EQ(form.FindControl("SENDTO"), nullptr);
  EXPECT_EQ(&form.sendto.Form(), &form);
  EXPECT_EQ(form.Controls().size(), 5u);
}

TEST(Form, EveryFocusMoveFiresTheLosersExitOnce) {
  ComposerLikeForm form;
  std::vector<std::string> exits;
  for (TEdit* edit : {&form.from, &form.sendto, &form.subject})
    edit->OnExit = [&](TControl* sender) { exits.push_back(sender->Name); };

  form.from.SetFocus();  // nothing had the focus
  EXPECT_TRUE(form.from.Focused());
  form.from.SetFocus();  // already there
  form.sendto.SetFocus();
  form.FocusControl(&form.subject);
  form.message.SetFocus();
  form.FocusControl(&form);  // the form itself: nothing focused
  EXPECT_EQ(form.ActiveControl(), nullptr);
  EXPECT_EQ(exits, (std::vector<std::string>{"from", "sendto", "subject"}));
}

TEST(Form, ExitHandlerMovingTheFocusBackIsSafe) {
  ComposerLikeForm form;
  int sendtoExits = 0;
  int subjectExits = 0;
  // Like the address book: a nick that cannot be resolved puts the focus back on the field.
  form.sendto.OnExit = [&](TControl*) {
    ++sendtoExits;
    EXPECT_EQ(form.ActiveControl(), &form.subject);
    form.sendto.SetFocus();
  };
  form.subject.OnExit = [&](TControl*) { ++subjectExits; };
  form.sendto.SetFocus();
  form.subject.SetFocus();
  EXPECT_EQ(form.ActiveControl(), &form.sendto);
  EXPECT_EQ(sendtoExits, 1);
  EXPECT_EQ(subjectExits, 1);

  // A handler moving the focus on to a third control.
  form.sendto.OnExit = [&](TControl*) {
    ++sendtoExits;
    form.message.SetFocus();
  };
  form.from.SetFocus();
  EXPECT_EQ(form.ActiveControl(), &form.message);
  EXPECT_EQ(sendtoExits, 2);
}

TEST(Form, FocusPingPongBetweenTwoExitHandlersEnds) {
  ComposerLikeForm form;
  int exits = 0;
  form.from.OnExit = [&](TControl*) {
    ++exits;
    form.from.SetFocus();
  };
  form.sendto.OnExit = [&](TControl*) {
    ++exits;
    form.sendto.SetFocus();
  };
  form.from.SetFocus();
  form.sendto.SetFocus();
  EXPECT_GT(exits, 1);
  EXPECT_LE(exits, 64);
  EXPECT_TRUE(form.ActiveControl() == &form.from || form.ActiveControl() == &form.sendto);
  // The form still works afterwards.
  form.sendto.OnExit = nullptr;
  form.from.OnExit = nullptr;
  form.subject.SetFocus();
  EXPECT_EQ(form.ActiveControl(), &form.subject);
}

TEST(Form, KeysReachTheHandlersWhichMayChangeOrSwallowThem) {
  ComposerLikeForm form;
  std::vector<std::string> seen;
  form.subject.OnKeyDown = [&](TControl* sender, std::uint16_t& key, TShiftState shift) {
    seen.push_back(sender->Name + ":" + std::to_string(key) +
                   (shift.Contains(TShiftState::Ctrl) ? "+ctrl" : "") +
                   (shift.Contains(TShiftState::Shift) ? "+shift" : ""));
    if (key == 'S') key = 0;
  };
  form.subject.OnKeyPress = [&](TControl*, char& key) {
    if (key == '\r') key = 0;
  };
  EXPECT_EQ(form.KeyDown(form.subject, 'S', ssCtrl), 0);
  EXPECT_EQ(form.KeyDown(form.subject, 'T', TShiftState::Ctrl | TShiftState::Shift), 'T');
  EXPECT_EQ(seen, (std::vector<std::string>{"subject:83+ctrl", "subject:84+ctrl+shift"}));
  EXPECT_EQ(form.KeyPress(form.subject, '\r'), 0);
  EXPECT_EQ(form.KeyPress(form.subject, 'x'), 'x');
  EXPECT_EQ(form.KeyPress(form.from, '\r'), '\r');  // no handler
  EXPECT_EQ(form.KeyDown(form.from, 13, TShiftState()), 13);
}

TEST(Form, ShowAndCloseRunTheHooksAndCloseTellsTheRunnerOnce) {
  ComposerLikeForm form;
  int closed = 0;
  form.OnClosed = [&](TForm* sender) {
    EXPECT_EQ(sender, &form);
    EXPECT_TRUE(form.Closed());
    ++closed;
  };
  form.Show();
  form.Close();
  form.Close();
  EXPECT_EQ(form.events, (std::vector<std::string>{"show", "close"}));
  EXPECT_EQ(closed, 1);
}

TEST(Memo, TextJoinsLinesWithCrLfBetweenThem) {
  ComposerLikeForm form;
  TMemo& memo = form.message;
  EXPECT_EQ(memo.Text(), "");
  memo.Lines.Add("ab");
  memo.Lines.Add("c");
  EXPECT_EQ(memo.Text(), "ab\r\nc");

  memo.SetText("one\r\ntwo\r\n");
  EXPECT_EQ(memo.Lines, (TStringList{"one", "two", ""}));
  EXPECT_EQ(memo.Text(), "one\r\ntwo\r\n");
  memo.SetText("a\nb\rc\r\r\nd");
  EXPECT_EQ(memo.Lines, (TStringList{"a", "b", "c", "", "d"}));
  memo.SetText("");
  EXPECT_EQ(memo.Lines.Count(), 0);
}

TEST(Memo, SelectionIsClampedAndCaretPositionsRoundTrip) {
  ComposerLikeForm form;
  TMemo& memo = form.message;
  memo.SetSelStart(0);
  memo.SetSelLength(32767);
  EXPECT_EQ(memo.SelLength(), 0);  // empty memo

  memo.SetText("ab\r\nc");
  memo.SetSelStart(0);
  memo.SetSelLength(32767);
  EXPECT_EQ(memo.SelLength(), 5);
  memo.SetSelStart(100);
  EXPECT_EQ(memo.SelStart(), 5);
  EXPECT_EQ(memo.SelLength(), 0);

  memo.SetSelStart(4);  // before "c"
  EXPECT_EQ(memo.CaretPos(), (TPoint{0, 1}));
  memo.SetSelStart(2);
  EXPECT_EQ(memo.CaretPos(), (TPoint{2, 0}));
  const TPoint caret = memo.CaretPos();
  memo.Font = TFont{"Times New Roman", 18};
  memo.WordWrap = false;
  memo.SetSelStart(0);
  memo.SetCaretPos(caret);
  EXPECT_EQ(memo.SelStart(), 2);
  memo.SetCaretPos({99, 99});
  EXPECT_EQ(memo.SelStart(), 5);

  // Lines removed under a selection: reads stay inside the text.
  memo.Lines.Clear();
  EXPECT_EQ(memo.SelStart(), 0);
  EXPECT_EQ(memo.CaretPos(), (TPoint{0, 0}));
}

TEST(ProgressBar, StepsWithinItsRange) {
  ComposerLikeForm form;
  auto& bar = form.Make<TProgressBar>("ProgressBar1");
  bar.Min = 0;
  bar.Max = 6;
  bar.Step = 1;
  bar.SetPosition(1);
  for (int i = 0; i < 4; ++i) bar.StepIt();
  EXPECT_EQ(bar.Position(), 5);
  bar.SetPosition(99);
  EXPECT_EQ(bar.Position(), 6);
  bar.StepIt();
  EXPECT_GE(bar.Position(), 0);
  EXPECT_LE(bar.Position(), 6);
  bar.SetPosition(-3);
  EXPECT_EQ(bar.Position(), 0);
}

TEST(Controls, ButtonsImagesAndMenuItemsFireTheirClicks) {
  ComposerLikeForm form;
  std::vector<std::string> clicks;
  form.sendButton.OnClick = [&](TControl* sender) { clicks.push_back(sender->Name); };
  form.sendButton.Enabled = false;
  form.sendButton.Click();  // a program's press works whatever the state
  auto& image = form.Make<TImage>("Image1");
  image.Click();  // no handler
  image.OnClick = [&](TControl* sender) { clicks.push_back(sender->Name); };
  image.Click();
  auto& popup = form.Make<TPopupMenu>("TarvikPopup");
  popup.Add("Tarvikv2001", "&Tarvik v2.0");
  popup.Add("N1", "-");
  TMenuItem& help = popup.Add("CommandLineHelp1", "&CommandLine Help");
  help.OnClick = [&](TMenuItem* sender) { clicks.push_back(sender->Name); };
  popup.Items()[0]->Click();
  help.Click();
  EXPECT_EQ(clicks, (std::vector<std::string>{"SendBtn", "Image1", "CommandLineHelp1"}));
}

TEST(Controls, FrontEndRequestsGoToTheCurrentFrontEnd) {
  ScriptedFrontEnd frontEnd;
  ScopedFrontEnd scope(frontEnd);
  ComposerLikeForm form;

  auto& status = form.Make<TStatusBar>("StatusBar1");
  status.SimpleText = "Status: Looking for address...";
  status.Repaint();
  EXPECT_EQ(frontEnd.Repainted, std::vector<TControl*>{&status});

  auto& popup = form.Make<TPopupMenu>("TarvikPopup");
  popup.Popup(10, 20);
  ASSERT_EQ(frontEnd.Popups.size(), 1u);
  EXPECT_EQ(frontEnd.Popups[0].Menu, &popup);
  EXPECT_EQ(frontEnd.Popups[0].At, (TPoint{10, 20}));

  auto& dialog = form.Make<TOpenDialog>("OpenDialog1");
  dialog.Title = "Select file(s) to attach:";
  dialog.AllowMultiSelect = true;
  frontEnd.OpenDialogAnswers.push_back({"/a/one.txt", "/b/two.pdf"});
  frontEnd.OpenDialogAnswers.push_back({});
  ASSERT_TRUE(dialog.Execute());
  EXPECT_EQ(dialog.Files, (TStringList{"/a/one.txt", "/b/two.pdf"}));
  EXPECT_EQ(dialog.FileName, "/a/one.txt");
  EXPECT_FALSE(dialog.Execute());  // cancelled: the last choice stays
  EXPECT_FALSE(dialog.Execute());  // nothing scripted: cancelled too
  EXPECT_EQ(dialog.FileName, "/a/one.txt");
  EXPECT_EQ(frontEnd.OpenDialogTitles.size(), 3u);
  EXPECT_EQ(frontEnd.OpenDialogTitles[0], "Select file(s) to attach:");
}

TEST(Controls, PageControlKeepsItsPagesInOrder) {
  ComposerLikeForm form;
  auto& pages = form.Make<TPageControl>("PageControl1");
  auto& standard = form.Make<TTabSheet>("TabSheet1");
  auto& attachments = form.Make<TTabSheet>("TabSheet2");
  standard.Caption = "&Standard";
  attachments.Caption = "&Attachments";
  pages.AddPage(standard);
  pages.AddPage(attachments);
  EXPECT_EQ(pages.Pages(), (std::vector<TTabSheet*>{&standard, &attachments}));
  EXPECT_EQ(pages.ActivePage, &standard);
  EXPECT_EQ(attachments.Parent, &pages);
}

}  // namespace

namespace {

// Records every change notice of a form as "control.what".
struct ChangeLog {
  explicit ChangeLog(TForm& form) {
    form.OnControlChanged = [this](TControl& control, TControlChange what) {
      notices.push_back(control.Name + "." + std::to_string(static_cast<int>(what)));
    };
  }
  static std::string Of(const TControl& control, TControlChange what) {
    return control.Name + "." + std::to_string(static_cast<int>(what));
  }
  std::vector<std::string> Take() { return std::exchange(notices, {}); }
  std::vector<std::string> notices;
};

using C = TControlChange;

// The model tells its one observer what changed, once per change, and nothing when a value is
// assigned again: a window then refreshes only that, and its own write-back of what a person
// typed (the same value) causes nothing.
TEST(ChangeNotice, EveryPropertyChangeIsToldOnceAndAnEqualValueIsNot) {
  ComposerLikeForm form;
  auto& box = form.Make<TCheckBox>("AutoSave");
  auto& list = form.Make<TListBox>("AttachedFiles");
  auto& bar = form.Make<TProgressBar>("ProgressBar1");
  bar.Max = 6;
  ChangeLog log(form);

  form.sendto.Text = "bob";
  form.sendto.Text = std::string("bob");  // the same text
  form.sendto.Text.clear();
  form.sendButton.Caption = "&Abort";
  form.message.Enabled = false;
  box.Checked = true;
  list.ItemIndex = -1;  // unchanged
  bar.SetPosition(1);
  bar.StepIt();
  bar.SetPosition(9);  // clamped to 6
  bar.SetPosition(6);  // unchanged
  form.message.Font = TFont{"Times New Roman", 18};
  form.WindowState = TWindowState::wsMaximized;
  form.subject.SetFocus();
  form.subject.SetFocus();  // already there
  EXPECT_EQ(log.Take(),
            (std::vector<std::string>{
                ChangeLog::Of(form.sendto, C::Text), ChangeLog::Of(form.sendto, C::Text),
                ChangeLog::Of(form.sendButton, C::Caption), ChangeLog::Of(form.message, C::Enabled),
                ChangeLog::Of(box, C::Checked), ChangeLog::Of(bar, C::Position),
                ChangeLog::Of(bar, C::Position), ChangeLog::Of(bar, C::Position),
                ChangeLog::Of(form.message, C::Font), ChangeLog::Of(form, C::WindowState),
                ChangeLog::Of(form, C::Focus)}));
  EXPECT_EQ(bar.Position(), 6);
}

TEST(ChangeNotice, ListsOfControlsTellTheirFormAndCopiesDoNot) {
  ComposerLikeForm form;
  auto& list = form.Make<TListBox>("AttachedFiles");
  ChangeLog log(form);
  const std::string items = ChangeLog::Of(list, C::Items);
  const std::string lines = ChangeLog::Of(form.message, C::Lines);

  list.Items.Add("/a");
  list.Items.Insert(0, "/b");
  list.Items[1] = "/c";  // told when the line is handed out for writing
  list.Items.Delete(0);
  EXPECT_EQ(log.Take(), (std::vector<std::string>(4, items)));

  TStringList copy = list.Items;  // a copy is a plain list
  copy.Add("/d");
  TStringList moved = std::move(copy);
  moved.Clear();
  EXPECT_TRUE(log.Take().empty());

  list.Items = TStringList{"/x", "/y"};  // the control's list keeps its hook
  list.Items.Add("/z");
  list.Items.Clear();
  list.Items.Clear();  // already empty
  EXPECT_EQ(log.Take(), (std::vector<std::string>(3, items)));

  form.message.SetText("ab\r\ncd");
  form.message.SetSelStart(3);
  form.message.SetSelStart(3);  // unchanged
  form.message.SetSelLength(1);
  form.message.Lines.SetText("x");
  EXPECT_EQ(log.Take(),
            (std::vector<std::string>{lines, ChangeLog::Of(form.message, C::Selection),
                                      ChangeLog::Of(form.message, C::Selection), lines}));
  EXPECT_EQ(list.Items, TStringList{});
}

// A text property reads like the string it holds, so the composer's code reads it unchanged.
TEST(ChangeNotice, TextPropertiesReadLikeStrings) {
  ComposerLikeForm form;
  ChangeLog log(form);
  form.from.Text = "Ann <ann@example.org>";
  const std::string& asString = form.from.Text;
  EXPECT_EQ(asString.size(), 21u);
  EXPECT_EQ(form.from.Text.find('<'), 4u);
  EXPECT_TRUE(form.from.Text.starts_with("Ann"));
  EXPECT_EQ(form.from.Text.substr(5, 3), "ann");
  EXPECT_EQ("to: " + form.from.Text + ".", "to: Ann <ann@example.org>.");
  EXPECT_TRUE(form.from.Text == "Ann <ann@example.org>");
  EXPECT_FALSE(form.from.Text != std::string("Ann <ann@example.org>"));
  std::string_view view = form.from.Text;
  EXPECT_EQ(view.back(), '>');
  form.from.Text.pop_back();
  form.from.Text += ">";             // the same text again after two changes
  EXPECT_EQ(log.Take().size(), 3u);  // the assignment, pop_back and +=
  form.subject.Text = form.from.Text;
  EXPECT_EQ(form.subject.Text, form.from.Text);
}

}  // namespace

// The composer window as a person uses it, under Qt's offscreen platform: keys typed into the
// widgets, buttons clicked, boxes answered; the model and the window checked against each
// other, and whole sends to the aiosmtpd test server on loopback.
#include <QAbstractItemView>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <QWindow>
#include <filesystem>
#include <map>
#include <tuple>

#include "platform/Timer.h"
#include "tests/app/ComposerPeers.h"
#include "tests/frontend/qt/WindowTestSupport.h"

namespace {

using namespace windowtest;
using composertest::SmtpPeer;

class ComposerWindowTest : public WindowTest {
 protected:
  QLineEdit* Edit(const char* name) { return Widget<QLineEdit>(name); }
  QPlainTextEdit* Memo() { return Widget<QPlainTextEdit>("MessageText"); }
  QLabel* Status() { return Widget<QLabel>("StatusBar1"); }
  QPushButton* Button(const char* name) { return Widget<QPushButton>(name); }
  // Types text into a widget as key presses; a character beyond ASCII comes as an input method
  // would send it (a key press carrying the text, no key code).
  void Type(QWidget* widget, const char* text) {
    for (const QChar ch : QString::fromUtf8(text)) {
      if (ch.unicode() < 0x80)
        QTest::keyClick(widget, static_cast<char>(ch.unicode()));
      else
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
  }
  // A completion popup (a window of its own, so no child of the composer's).
  QAbstractItemView* Popup(const char* name) {
    for (QWidget* widget : QApplication::allWidgets())
      if (widget->objectName() == QLatin1String(name))
        return qobject_cast<QAbstractItemView*>(widget);
    ADD_FAILURE() << name;
    return nullptr;
  }
  void Key(QWidget* widget, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(widget, key, modifiers);
  }
};

// Enter moves from the sender to the recipient, the subject and the message; in the message it
// breaks the line. What is typed reaches the model at once.
TEST_F(ComposerWindowTest, TypingAndEnterMoveThroughTheFields) {
  Open();
  EXPECT_TRUE(Edit("from")->hasFocus());
  Type(Edit("from"), "Ann <ann@example.org>");
  EXPECT_EQ(form().from.Text, "Ann <ann@example.org>");
  Key(Edit("from"), Qt::Key_Return);
  EXPECT_TRUE(Edit("sendto")->hasFocus());
  EXPECT_EQ(form().ActiveControl(), &form().sendto);
  Type(Edit("sendto"), "bob@example.org");
  Key(Edit("sendto"), Qt::Key_Return);
  Type(Edit("subject"), "Grüße");
  Key(Edit("subject"), Qt::Key_Enter);
  EXPECT_TRUE(Memo()->hasFocus());
  EXPECT_EQ(form().subject.Text, "Grüße") << "nothing of the Enter in the field";
  Type(Memo(), "ab");
  Key(Memo(), Qt::Key_Return);
  Type(Memo(), "c");
  EXPECT_EQ(form().MessageText.Lines, (TStringList{"ab", "c"}));
  EXPECT_EQ(form().MessageText.SelStart(), 5) << "the caret, counted as the model counts";
}

// The program's shortcuts win over the text fields' own bindings: Ctrl+A adds a file instead
// of selecting all, Ctrl+Z zooms instead of undoing, Ctrl+S saves the draft; the character of a
// shortcut never reaches a field, and the next character typed after a shortcut on a button is
// swallowed.
TEST_F(ComposerWindowTest, ShortcutsWinOverTheFieldsOwnBindings) {
  Open();
  std::vector<std::string> dialogs;
  frontEnd.ChooseFiles = [&](const TOpenDialog& dialog) {
    dialogs.push_back(dialog.Title);
    return QStringList{"/data/a.pdf", "/data/b.txt"};
  };
  Type(Edit("from"), "ann@example.org");
  Key(Edit("from"), Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(dialogs, std::vector<std::string>{"Select file(s) to attach:"});
  EXPECT_FALSE(Edit("from")->hasSelectedText()) << "Qt's select-all did not run";
  EXPECT_EQ(Widget<QTreeWidget>("AttachedFiles")->topLevelItemCount(), 2);
  Type(Edit("from"), "x");
  EXPECT_EQ(Edit("from")->text(), "ann@example.org") << "the character after Ctrl+A is swallowed";

  Type(Memo(), "abc");
  Key(Memo(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Memo()->toPlainText(), "abc") << "Qt's undo did not run";
  EXPECT_EQ(form().MessageText.Font->Size, 18);
  EXPECT_EQ(Memo()->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_GT(Memo()->font().pointSizeF(), QApplication::font().pointSizeF());
  EXPECT_TRUE(frontEnd.Window()->isMaximized());
  Key(Memo(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Memo()->font(), QApplication::font());
  EXPECT_EQ(Memo()->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_FALSE(frontEnd.Window()->isMaximized());
  EXPECT_EQ(Memo()->textCursor().position(), 3) << "the caret stays";

  form().SendBtn.SetFocus();
  QTest::qWait(0);
  Key(Button("SendBtn"), Qt::Key_S, Qt::ControlModifier);
  EXPECT_TRUE(apptest::Exists(folder.File("state") + "/tarvik/tarvik2.dft"));
  EXPECT_TRUE(form().KeepDraft);
  Type(Edit("subject"), "sx");
  EXPECT_EQ(Edit("subject")->text(), "x");
  Key(Memo(), Qt::Key_D, Qt::ControlModifier);
  Type(Memo(), "d");
  EXPECT_EQ(Memo()->toPlainText(), "abc") << "Ctrl+D's character is swallowed too";
}

// Ctrl+F and Ctrl+T show notices in the status bar; the text from before returns after 2 s.
TEST_F(ComposerWindowTest, NoticesShowInTheStatusBarAndTheTextReturns) {
  Open();
  EXPECT_EQ(Status()->text(), "Status: Ready.");
  Type(Memo(), "ab");
  Key(Memo(), Qt::Key_Return);
  Type(Memo(), "c");
  Key(Memo(), Qt::Key_T, Qt::ControlModifier);
  EXPECT_EQ(Status()->text(), "Message info: 5 bytes in 2 lines.");
  Key(Memo(), Qt::Key_F, Qt::ControlModifier);
  EXPECT_EQ(Status()->text(), "Send forward is ON");
  EXPECT_TRUE(form().SendForward);
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(WaitUntil([&] { return Status()->text() == "Status: Ready."; }, 10000));
  EXPECT_GE(clock.elapsed(), 1900) << "the notice stood for its 2 s";
  EXPECT_EQ(Memo()->toPlainText(), "ab\nc");
}

// Clear restores the stored sender; the attachment buttons go through the file dialog seam;
// Alt+X closes the window with the form's close processing.
TEST_F(ComposerWindowTest, ClearAttachmentsAndAltX) {
  Ini("[defaults]\nfrom=Ann <ann@example.org>\nAutoSave=0\n");
  Open();
  EXPECT_EQ(Edit("from")->text(), "Ann <ann@example.org>");
  EXPECT_TRUE(Edit("sendto")->hasFocus()) << "a stored sender moves the first focus on";
  Edit("from")->selectAll();
  Type(Edit("from"), "someone else");
  Type(Edit("sendto"), "bob@example.org");
  Type(Memo(), "text");
  frontEnd.ChooseFiles = [](const TOpenDialog&) { return QStringList{"/x/1", "/x/2"}; };
  QTest::mouseClick(Widget<QTabWidget>("PageControl1")->tabBar(), Qt::LeftButton, {},
                    Widget<QTabWidget>("PageControl1")->tabBar()->tabRect(1).center());
  EXPECT_EQ(form().PageControl1.ActivePage, &form().TabSheet2);
  QTest::mouseClick(Button("AddFileBtn"), Qt::LeftButton);
  auto* list = Widget<QTreeWidget>("AttachedFiles");
  ASSERT_EQ(list->topLevelItemCount(), 2);
  list->setCurrentItem(list->topLevelItem(0));
  EXPECT_EQ(form().AttachedFiles.ItemIndex, 0);
  QTest::mouseClick(Button("RemoveFileBtn"), Qt::LeftButton);
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->toolTip(0), "/x/2");
  EXPECT_EQ(form().AttachedFiles.Items, TStringList{"/x/2"});

  QTest::mouseClick(Button("ClearBtn"), Qt::LeftButton);
  EXPECT_EQ(Edit("from")->text(), "Ann <ann@example.org>");
  EXPECT_EQ(Edit("sendto")->text(), "");
  EXPECT_EQ(Memo()->toPlainText(), "");
  EXPECT_EQ(list->topLevelItemCount(), 0);
  EXPECT_TRUE(Edit("sendto")->hasFocus());

  Key(Memo(), Qt::Key_X, Qt::AltModifier);
  EXPECT_TRUE(form().Closed());
  EXPECT_TRUE(Application().Terminated());
}

// The window manager's close (here QWidget::close, which sends the same close event) with an
// unsent message asks as Alt+X does: Cancel keeps the window, Save draft keeps the text for the
// next start and closes.
TEST_F(ComposerWindowTest, WindowManagerCloseAsksAboutUnsentText) {
  Open();
  Type(Memo(), "worth keeping");
  boxes.Choices = {"&Cancel"};
  EXPECT_FALSE(frontEnd.Window()->close());
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Caption, "Unsent message");
  EXPECT_TRUE(frontEnd.Window()->isVisible());
  EXPECT_FALSE(form().Closed());

  boxes.Choices = {"&Save draft"};
  EXPECT_TRUE(frontEnd.Window()->close());
  EXPECT_EQ(boxes.Boxes.size(), 2u);
  EXPECT_TRUE(form().Closed());
  EXPECT_EQ(apptest::ReadFile(folder.File("state") + "/tarvik/tarvik2.dft"), "worth keeping\r\n");
}

// The address book completes a nick when the focus leaves the recipient field by Tab or mouse.
TEST_F(ComposerWindowTest, AddressBookRewritesTheRecipientWhenTheFocusLeaves) {
  Ini("[adresses]\nSales=sales@example.org\n");
  Open();
  QTest::mouseClick(Edit("sendto"), Qt::LeftButton);
  Type(Edit("sendto"), "sa");
  Key(Edit("sendto"), Qt::Key_Tab);
  EXPECT_EQ(Edit("sendto")->text(), "Sales <sales@example.org>");
  EXPECT_EQ(form().ActiveControl(), &form().cc);

  QTest::mouseClick(Edit("sendto"), Qt::LeftButton);
  Edit("sendto")->selectAll();
  Type(Edit("sendto"), "nobody");
  boxes.Answers = {QMessageBox::Ok};
  QTest::mouseClick(Memo()->viewport(), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return boxes.Boxes.size() == 1; }));
  EXPECT_EQ(boxes.Boxes[0].Text.rfind("Can't find name in adressbook, please specify address.", 0),
            0u);
  EXPECT_EQ(boxes.Boxes[0].Caption, "Tarvik 2.0 - ERROR");
  ASSERT_TRUE(WaitUntil([&] { return Edit("sendto")->hasFocus(); }, 3000))
      << "back to the field"
      << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString()
                                      : "none")
      << " model " << (form().ActiveControl() ? form().ActiveControl()->Name : "none") << " active "
      << (QApplication::activeWindow() ? QApplication::activeWindow()->objectName().toStdString()
                                       : "none");
}

// Typing a recipient opens the book's matches, an exact nick first even below a longer one;
// the choice replaces only the entry being typed. A prefix of several nicks left by Tab offers
// them in the same popup, with no error box and the focus kept.
TEST_F(ComposerWindowTest, RecipientCompletionPopupOffersTheBookAndTheCandidates) {
  Ini("[adresses]\nbobby=bobby.tables@example.org\nbob=bob@example.org\n");
  Open();
  QTest::mouseClick(Edit("sendto"), Qt::LeftButton);
  Type(Edit("sendto"), "bob");
  auto* popup = Popup("sendtoCompletion");
  ASSERT_TRUE(WaitUntil([&] { return popup->isVisible(); }));
  ASSERT_EQ(popup->model()->rowCount(), 2);
  EXPECT_EQ(popup->model()->index(0, 0).data().toString(), "bob <bob@example.org>");
  Key(popup, Qt::Key_Down);
  Key(popup, Qt::Key_Return);
  EXPECT_FALSE(popup->isVisible());
  EXPECT_EQ(form().sendto.Text, "bob <bob@example.org>");

  QTest::mouseClick(Edit("cc"), Qt::LeftButton);
  Type(Edit("cc"), "carl@example.org; BOBB");
  auto* ccPopup = Popup("ccCompletion");
  ASSERT_TRUE(WaitUntil([&] { return ccPopup->isVisible(); }));
  ASSERT_EQ(ccPopup->model()->rowCount(), 1);
  QTest::mouseClick(ccPopup->viewport(), Qt::LeftButton, {},
                    ccPopup->visualRect(ccPopup->model()->index(0, 0)).center());
  EXPECT_EQ(Edit("cc")->text(), "carl@example.org; bobby <bobby.tables@example.org>");

  QTest::mouseClick(Edit("bcc"), Qt::LeftButton);
  Type(Edit("bcc"), "bo");
  auto* bccPopup = Popup("bccCompletion");
  ASSERT_TRUE(WaitUntil([&] { return bccPopup->isVisible(); }));
  bccPopup->hide();
  Key(Edit("bcc"), Qt::Key_Tab);
  ASSERT_TRUE(WaitUntil([&] { return bccPopup->isVisible(); }));
  EXPECT_EQ(bccPopup->model()->rowCount(), 2);
  EXPECT_EQ(form().bcc.Text, "bo");
  EXPECT_EQ(form().ActiveControl(), &form().bcc);
  EXPECT_TRUE(boxes.Boxes.empty());
}

// Every control a person can reach has a name to be read out. Tab walks every enabled control
// round in the order a person reads the window and comes back to the header fields, after
// Clear too; Shift+Tab walks back. Each page's mnemonics are its own (with the tabs, the
// message frame and the buttons seen beside it), every field label has one, and Alt with it
// reaches the field.
TEST_F(ComposerWindowTest, EveryControlIsNamedTabComesRoundAndMnemonicsAreUniquePerPage) {
  TComposerWindow& window = Open();
  for (QWidget* widget : window.findChildren<QWidget*>()) {
    if (widget->focusPolicy() == Qt::NoFocus || !window.ControlOf(widget)) continue;
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    ASSERT_NE(accessible, nullptr);
    EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty())
        << window.ControlOf(widget)->Name << " " << widget->metaObject()->className();
  }
  EXPECT_EQ(Edit("from")->toolTip(), "The sender of the mail");
  EXPECT_EQ(Widget<QTabWidget>("PageControl1")->tabPosition(), QTabWidget::South);
  EXPECT_EQ(window.windowTitle(), "Tarvik V2.06");
  EXPECT_EQ(Widget<QTabWidget>("PageControl1")->tabText(2), "S&ettings")
      << "Alt+S is the Send button's";
  QTest::mouseClick(Button("ClearBtn"), Qt::LeftButton);
  auto focused = [&] {
    TControl* control = frontEnd.Window()->ControlOf(QApplication::focusWidget());
    return control ? control->Name : std::string("none");
  };
  auto walk = [&](Qt::Key key, int steps) {
    std::vector<std::string> seen;
    for (int i = 0; i < steps; ++i) {
      QTest::keyClick(QApplication::focusWidget(), key);
      seen.push_back(focused());
    }
    return seen;
  };
  const std::vector<std::string> round = {"from",        "sendto",  "cc",
                                          "bcc",         "subject", "PageControl1",
                                          "MessageText", "SendBtn", "ClearBtn"};
  ASSERT_EQ(focused(), "from") << "no stored sender";
  std::vector<std::string> expected(round.begin() + 1, round.end());
  expected.insert(expected.end(), round.begin(), round.begin() + 2);
  EXPECT_EQ(walk(Qt::Key_Tab, static_cast<int>(round.size()) + 1), expected);
  EXPECT_EQ(walk(Qt::Key_Backtab, 3), (std::vector<std::string>{round[0], "ClearBtn", "SendBtn"}));

  auto* pages = Widget<QTabWidget>("PageControl1");
  for (int page = 0; page < pages->count(); ++page) {
    pages->setCurrentIndex(page);
    std::map<QChar, QStringList> owners;
    auto note = [&](const QString& text) {
      const qsizetype at = text.indexOf(QRegularExpression(QStringLiteral("&[^&]")));
      if (at >= 0) owners[text.at(at + 1).toLower()].push_back(text);
    };
    for (int tab = 0; tab < pages->count(); ++tab) note(pages->tabText(tab));
    for (QWidget* widget : frontEnd.Window()->findChildren<QWidget*>()) {
      if (!widget->isVisible()) continue;
      if (auto* button = qobject_cast<QAbstractButton*>(widget)) note(button->text());
      if (auto* group = qobject_cast<QGroupBox*>(widget)) note(group->title());
      if (auto* label = qobject_cast<QLabel*>(widget); label && label->buddy()) {
        EXPECT_TRUE(label->text().contains('&')) << label->text().toStdString();
        note(label->text());
      }
    }
    EXPECT_FALSE(owners.count('x')) << "Alt+X closes the window";
    for (const auto& [letter, texts] : owners)
      EXPECT_EQ(texts.size(), 1u) << "page " << page << ": Alt+" << QString(letter).toStdString()
                                  << " on " << texts.join(", ").toStdString();
  }
  pages->setCurrentIndex(0);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_U, Qt::AltModifier);
  EXPECT_EQ(focused(), "subject");
  EXPECT_EQ(form().ActiveControl(), &form().subject);
}

// The text fields' menus name the keys that really do each action: where Ctrl+Z zooms and
// Ctrl+A adds files, undo and select-all have keys of their own, and those keys work.
TEST_F(ComposerWindowTest, ContextMenusNameTheKeysThatWork) {
  Open();
  auto menuTexts = [&](QWidget* widget) {
    QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(5, 5),
                            widget->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(widget, &event);
    QStringList texts;
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      for (QAction* action : menu->actions()) texts.push_back(action->text());
      menu->close();
    }
    return texts.join(QChar('|')).toStdString();
  };
  for (QWidget* field : {static_cast<QWidget*>(Edit("subject")), static_cast<QWidget*>(Memo())}) {
    const std::string texts = menuTexts(field);
    EXPECT_NE(texts.find("&Undo\tAlt+Backspace"), std::string::npos) << texts;
    EXPECT_NE(texts.find("Select All\tCtrl+/"), std::string::npos) << texts;
    EXPECT_NE(texts.find("&Redo\tCtrl+Y"), std::string::npos) << texts;
    EXPECT_EQ(texts.find("Ctrl+Z"), std::string::npos) << texts;
    EXPECT_EQ(texts.find("Ctrl+A"), std::string::npos) << texts;
  }
  // The server field does not take the program's shortcuts: Qt's own keys are true there.
  EXPECT_NE(menuTexts(Widget<QComboBox>("SMTPServer")->lineEdit()).find("Select All\tCtrl+A"),
            std::string::npos);

  Type(Edit("subject"), "abc");
  Key(Edit("subject"), Qt::Key_Backspace, Qt::AltModifier);
  EXPECT_EQ(Edit("subject")->text(), "");
  EXPECT_EQ(form().subject.Text, "") << "the undo reached the model";
  Key(Edit("subject"), Qt::Key_Y, Qt::ControlModifier);
  EXPECT_EQ(form().subject.Text, "abc");
  Key(Edit("subject"), Qt::Key_Slash, Qt::ControlModifier);
  EXPECT_EQ(Edit("subject")->selectedText(), "abc");
  Type(Memo(), "line");
  Key(Memo(), Qt::Key_Slash, Qt::ControlModifier);
  EXPECT_EQ(form().MessageText.SelLength(), 4);
}

// Files dropped from a file manager (text/uri-list of file:// addresses), here on the message
// area, which would otherwise take the addresses as text: they are attached, listed with name
// and size, the full path as tooltip, and counted with their total; Delete removes the selected.
TEST_F(ComposerWindowTest, DroppedFilesAreAttachedListedWithSizesAndDeleted) {
  Open();
  const std::string small = folder.File("notes.txt"), big = folder.File("figures.bin");
  apptest::WriteFile(small, std::string(1000, 'n'));
  apptest::WriteFile(big, std::string(3000, 'f'));
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(small)),
                QUrl::fromLocalFile(QString::fromStdString(big))});
  QWidget* target = Memo()->viewport();
  const QPointF at(10, 10);
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                        Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  EXPECT_TRUE(drop.isAccepted());
  EXPECT_EQ(drop.dropAction(), Qt::CopyAction) << "the file manager keeps its files";
  EXPECT_EQ(form().AttachedFiles.Items, (TStringList{small, big}));
  EXPECT_EQ(Memo()->toPlainText(), "") << "no address typed into the message";

  auto* list = Widget<QTreeWidget>("AttachedFiles");
  auto* summary = Widget<QLabel>("AttachedFilesSummary");
  QTest::qWait(0);
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(list->topLevelItem(0)->text(0), "notes.txt");
  EXPECT_EQ(list->topLevelItem(0)->text(1), "1000 bytes");
  EXPECT_EQ(list->topLevelItem(1)->text(1), "2.9 KiB");
  EXPECT_EQ(list->topLevelItem(1)->toolTip(0).toStdString(), big);
  EXPECT_EQ(summary->text(), "2 files, 3.9 KiB");

  std::filesystem::remove(small);
  form().AttachedFiles.Items.Add(small);
  QTest::qWait(0);
  EXPECT_EQ(list->topLevelItem(0)->text(1), "not found");
  EXPECT_EQ(list->topLevelItem(2)->text(1), "not found");
  EXPECT_EQ(summary->text(), "3 files, 2.9 KiB (2 not found)");

  list->setCurrentItem(list->topLevelItem(0));
  list->topLevelItem(2)->setSelected(true);
  Key(list, Qt::Key_Delete);
  EXPECT_EQ(form().AttachedFiles.Items, TStringList{big});
  QTest::qWait(0);
  EXPECT_EQ(summary->text(), "1 file, 2.9 KiB");
  Key(list, Qt::Key_Delete);
  EXPECT_EQ(form().AttachedFiles.Items.Count(), 0);
  EXPECT_EQ(summary->text(), "No files attached.");
}

// The logo opens the pop-up menu at the mouse; its help item shows the help text.
TEST_F(ComposerWindowTest, LogoMenuShowsTheHelp) {
  Open();
  QTest::mouseClick(Widget<QWidget>("Image1"), Qt::LeftButton);
  QMenu* menu = nullptr;
  ASSERT_TRUE(
      WaitUntil([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }));
  ASSERT_EQ(menu->actions().size(), 3);
  EXPECT_TRUE(menu->actions()[1]->isSeparator());
  QAction* help = menu->actions()[2];
  QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(help).center());
  EXPECT_FALSE(menu->isVisible());
  ASSERT_TRUE(WaitUntil([&] { return boxes.Boxes.size() == 1; }));
  EXPECT_EQ(boxes.Boxes[0].Caption, "Tarvik v2.0");
  EXPECT_EQ(boxes.Boxes[0].Text.substr(0, 45), "Tarvik 2.0 accepts the following commandline:");
}

// The draft question at start, answered Yes (the draft fills the window) and No (it is gone).
TEST_F(ComposerWindowTest, DraftQuestionAtStart) {
  const std::string drafts = folder.File("state") + "/tarvik";
  std::filesystem::create_directories(drafts);
  auto writeDraft = [&] {
    apptest::WriteFile(drafts + "/tarvik2.dft", "first line\r\nsecond\r\n");
    apptest::WriteFile(drafts + "/tarvik2.dfh", "ann@example.org\r\nbob@example.org\r\nHi\r\n");
  };
  writeDraft();
  boxes.Answers = {QMessageBox::Yes};
  Open();
  ASSERT_TRUE(WaitUntil([&] { return Memo()->toPlainText() == "first line\nsecond"; }));
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Caption, "Draft Saved");
  EXPECT_EQ(boxes.Boxes[0].Text, "There is an unsent saved draft.\n\nWould you like to load it?");
  EXPECT_EQ(Edit("sendto")->text(), "bob@example.org");
  EXPECT_TRUE(WaitUntil([&] { return Memo()->hasFocus(); }));
  frontEnd.CloseForm();
  Form1.reset();

  writeDraft();
  boxes.Answers = {QMessageBox::No};
  Open();
  ASSERT_TRUE(WaitUntil([&] { return boxes.Boxes.size() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return !apptest::Exists(drafts + "/tarvik2.dft"); }));
  EXPECT_EQ(Memo()->toPlainText(), "");
}

class SendThroughWindowTest : public ComposerWindowTest {
 protected:
  void Fill(const SmtpPeer& server) {
    Open({"-server:" + server.Server()});
    Type(Edit("from"), "Ann <ann@example.org>");
    Type(Edit("sendto"), "bob@example.org");
    Type(Edit("subject"), "Hello");
    Type(Memo(), "Hi Bob");
    QObject::connect(Widget<QProgressBar>("ProgressBar1"), &QProgressBar::valueChanged,
                     [this](int value) { progress.push_back(value); });
  }
  std::vector<int> progress;
};

// Fields typed, Send clicked: the message arrives, the progress bar walks its steps and the
// status bar says so.
TEST_F(SendThroughWindowTest, SendReachesTheServerAndTheWindowShowsEachStep) {
  SmtpPeer server(folder.File("server"));
  Fill(server);
  std::vector<std::string> captions;
  QTest::mouseClick(Button("SendBtn"), Qt::LeftButton);
  EXPECT_EQ(form().SendBtn.Caption, "&Abort");
  EXPECT_EQ(Button("SendBtn")->text(), "Ab&ort") << "Alt+A is the Attachments tab's";
  EXPECT_FALSE(Widget<QTabWidget>("PageControl1")->isEnabled());
  EXPECT_FALSE(Memo()->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return Status()->text() == "Status: Message sent successfully."; }));
  EXPECT_EQ(server.Received(), 1);
  EXPECT_EQ(progress, (std::vector<int>{1, 2, 3, 4, 5, 0}));
  EXPECT_EQ(Button("SendBtn")->text(), "&Send");
  EXPECT_TRUE(Memo()->isEnabled());
  const std::string message = apptest::ReadFile(server.Message(1));
  EXPECT_NE(message.find("Subject: Hello\r\n"), std::string::npos);
  EXPECT_NE(message.find("\r\n\r\nHi Bob"), std::string::npos);
}

// A running send is aborted quietly by the same button, or by a second Ctrl+Enter: pressed in
// the subject, the first one starts the send, whose fields are then disabled and keep no focus,
// and the second, where the keyboard now goes, still aborts it.
TEST_F(SendThroughWindowTest, AbortByTheButtonOrByCtrlEnterFromTheSubject) {
  SmtpPeer server(folder.File("server"));
  Fill(server);
  // A big attachment keeps the send running long enough to abort it in the middle.
  const std::string big = folder.File("big.bin");
  apptest::WriteFile(big, std::string(8 << 20, 'x'));
  form().AttachedFiles.Items.Add(big);
  QWindow* keyboard = frontEnd.Window()->windowHandle();
  for (const bool byKey : {false, true}) {
    auto press = [&] {
      if (byKey)
        QTest::keyClick(keyboard, Qt::Key_Return, Qt::ControlModifier);
      else
        QTest::mouseClick(Button("SendBtn"), Qt::LeftButton);
    };
    if (byKey) QTest::mouseClick(Edit("subject"), Qt::LeftButton);
    press();
    ASSERT_TRUE(WaitUntil([&] { return Status()->text().startsWith("Status: Sending email"); }));
    EXPECT_FALSE(Edit("subject")->isEnabled());
    press();
    ASSERT_TRUE(WaitUntil([&] { return Status()->text() == "Status: Sending aborted."; }));
    EXPECT_EQ(Button("SendBtn")->text(), "&Send");
  }
  EXPECT_TRUE(boxes.Boxes.empty());
  EXPECT_EQ(server.Received(), 0);
}

// Ctrl+Enter while the completion popup is open sends, as everywhere: the highlighted entry is
// taken first, so the message goes where the field says; with none highlighted the popup
// closes and the typed text is resolved as at any send (a prefix of two nicks is refused).
TEST_F(SendThroughWindowTest, CtrlEnterWithThePopupOpenTakesTheChoiceThenSends) {
  Ini("[adresses]\nbob=bob@example.org\nbobby=bobby.tables@example.org\n");
  SmtpPeer server(folder.File("server"));
  Open({"-server:" + server.Server(), "-from:ann@example.org", "-s:Hi", "-msg:Hello"});
  QWindow* keyboard = frontEnd.Window()->windowHandle();
  auto* popup = Popup("sendtoCompletion");
  // The key as the window system brings it (to the window, Qt routing it), and the bare key
  // press given to the popup, without the shortcut override that would come before it.
  for (const auto& [typed, downs, shown, toPopup] :
       {std::tuple{"bo", 0, "bo", true}, {"bob", 2, "bobby <bobby.tables@example.org>", false}}) {
    QTest::mouseClick(Edit("sendto"), Qt::LeftButton);
    Edit("sendto")->clear();
    Type(Edit("sendto"), typed);
    ASSERT_TRUE(WaitUntil([&] { return popup->isVisible(); }));
    for (int i = 0; i < downs; ++i) QTest::keyClick(keyboard, Qt::Key_Down);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::ControlModifier);
    if (toPopup)
      QApplication::sendEvent(popup, &press);
    else
      QTest::keyClick(keyboard, Qt::Key_Return, Qt::ControlModifier);
    ASSERT_TRUE(WaitUntil(
        [&] { return (!form().Sending() && !boxes.Boxes.empty()) || server.Received() == 1; }));
    EXPECT_FALSE(popup->isVisible());
    EXPECT_EQ(Edit("sendto")->text().toStdString(), shown);
  }
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_NE(boxes.Boxes[0].Text.find("bobby"), std::string::npos) << boxes.Boxes[0].Text;
  EXPECT_EQ(apptest::ReadFile(server.Envelope(1)),
            "FROM ann@example.org\nRCPT bobby.tables@example.org\n");
}

// A refusal is reported in an error box; while the box is open both loops run (a timer of the
// model fires), and after it the window is idle again.
TEST_F(SendThroughWindowTest, RefusalShowsAnErrorBoxWhileTheLoopRuns) {
  SmtpPeer server(folder.File("server"), {"--refuse-rcpt", "bob@example.org"});
  Fill(server);
  int ticks = 0;
  TTimer timer("tick", 20, false);
  timer.OnTimer = [&](TTimer*) { ++ticks; };
  boxes.HoldOpenUntil = [&] {
    timer.SetEnabled(true);
    return ticks >= 3;
  };
  Key(Memo(), Qt::Key_Return, Qt::ControlModifier);
  ASSERT_TRUE(
      WaitUntil([&] { return Status()->text() == "Status: Message not sent due to an error."; }));
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Caption, "Tarvik 2.0 - ERROR");
  EXPECT_EQ(boxes.Boxes[0].Text.rfind("Error occured while sending mail:\n550", 0), 0u)
      << boxes.Boxes[0].Text;
  EXPECT_GE(ticks, 3);
  EXPECT_EQ(Memo()->toPlainText(), "Hi Bob") << "Ctrl+Enter left no line break";
  EXPECT_EQ(Button("SendBtn")->text(), "&Send");
}

// Shift+Enter on the Send button sends with retry.
TEST_F(SendThroughWindowTest, ShiftEnterOnSendRetries) {
  SmtpPeer server(folder.File("server"), {"--fail-first", "1"});
  Fill(server);
  form().SendBtn.SetFocus();
  ASSERT_TRUE(WaitUntil([&] { return Button("SendBtn")->hasFocus(); }));
  Key(Button("SendBtn"), Qt::Key_Return, Qt::ShiftModifier);
  ASSERT_TRUE(WaitUntil([&] { return Status()->text() == "Status: Message sent successfully."; }));
  EXPECT_TRUE(form().DoRetry);
  EXPECT_TRUE(boxes.Boxes.empty()) << "a retried failure is not reported";
  EXPECT_EQ(server.Received(), 1);
}

}  // namespace

// Shared pieces of the window tests: the composer shown in a real Qt window (offscreen), a
// composer with its settings and state in a private folder, waiting on Qt's loop (which hosts
// ours), and a person at the message boxes.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "frontend/qt/ComposerWindow.h"
#include "frontend/qt/QtFrontEnd.h"
#include "platform/Application.h"
#include "platform/EventLoop.h"
#include "tests/app/AppTestSupport.h"

namespace windowtest {

// Runs Qt's loop (and with it the hosted event loop) until done() holds; false after the time.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;  // wakes the wait now and then to look at done() again
  tick.start(10);
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// A person at the message boxes: each box that opens is read and answered, the next answer of
// the queue or else the box's escape button. A box can be held open until a condition holds
// (the loops keep running meanwhile).
class BoxReader : public QObject {
 public:
  struct Seen {
    std::string Caption;
    std::string Text;
  };
  BoxReader() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Look(); });
    timer_.start();
  }
  std::deque<QMessageBox::StandardButton> Answers;
  // Answers to boxes with buttons of their own, by caption ("&Save draft"); before Answers.
  std::deque<QString> Choices;
  std::function<bool()> HoldOpenUntil;
  std::vector<Seen> Boxes;

 private:
  void Look() {
    QMessageBox* box = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* shown = qobject_cast<QMessageBox*>(widget); shown && shown->isVisible())
        box = shown;
    if (!box) return;
    // A box is read once; a later box may be made at the address of an earlier one.
    if (box->property("read").toBool() && !pending_) return;
    box->setProperty("read", true);
    if (!pending_) Boxes.push_back({box->windowTitle().toStdString(), box->text().toStdString()});
    pending_ = HoldOpenUntil && !HoldOpenUntil();
    if (pending_) return;
    QAbstractButton* button = box->escapeButton();
    if (!button && box->buttons().size() == 1) button = box->buttons().front();
    if (!Choices.empty()) {
      for (QAbstractButton* offered : box->buttons())
        if (offered->text() == Choices.front()) button = offered;
      Choices.pop_front();
    } else if (!Answers.empty()) {
      button = box->button(Answers.front());
      Answers.pop_front();
    }
    if (button) button->click();
  }
  QTimer timer_;
  bool pending_ = false;
};

// A composer with its settings file, home and state folders in a private folder, shown in a
// window of the Qt front-end.
class WindowTest : public ::testing::Test {
 protected:
  WindowTest() {
    env.Set("TARVIK_INI", folder.File("tarvik2.ini"));
    env.Set("HOME", folder.File("home"));
    env.Set("XDG_STATE_HOME", folder.File("state"));
    env.Set("XDG_CONFIG_HOME", std::nullopt);
    Application().Title = kTarvikTitle;  // as the program sets it
  }
  ~WindowTest() override {
    frontEnd.CloseForm();
    Form1.reset();
    EventLoop::Current().ResetTerminated();
  }

  // Starts the composer with the arguments and shows its window; returns once its show event
  // has run.
  TComposerWindow& Open(const std::vector<std::string>& arguments = {}) {
    Form1 = std::make_unique<TForm1>();
    Form1->Arguments = arguments;
    Form1->OnInit(Form1.get());
    frontEnd.ShowForm(*Form1);
    TComposerWindow& window = *frontEnd.Window();
    window.activateWindow();
    EXPECT_TRUE(WaitUntil([&] { return window.isVisible() && Form1->ShowTimer.Enabled(); }))
        << "the window did not come up";
    return window;
  }
  TForm1& form() { return *Form1; }
  template <class W>
  W* Widget(const char* name) {
    W* widget = frontEnd.Window()->findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  std::string Ini(const std::string& content) {
    apptest::WriteFile(folder.File("tarvik2.ini"), content);
    return folder.File("tarvik2.ini");
  }

  apptest::TempFolder folder;
  apptest::ScopedEnvironment env;
  TQtFrontEnd frontEnd;
  ScopedFrontEnd current{frontEnd};
  BoxReader boxes;
};

}  // namespace windowtest

// The desktop window's front-end (Qt 6 Widgets): message boxes, plain messages, the file-open
// dialogs, the pop-up menu, the key and mouse state, and the main loop, which is Qt's, hosting
// the thread's event loop through its one descriptor (a socket notifier running a bounded
// slice of ProcessMessages whenever the descriptor is readable). Modal boxes and dialogs run
// Qt's loop, so the hosted loop keeps running while they are open.
//
// Every call from Qt into the model goes through InModel: it reports an exception the way the
// toolkit's standard report does (Qt must never see one) and lets the window show what the
// call changed when it returns.
#pragma once

#include <QPointer>
#include <QSocketNotifier>
#include <QStringList>
#include <Qt>
#include <functional>
#include <memory>
#include <set>

#include "frontend/WindowModule.h"

class QDialog;
class QMenu;
class QWidget;
class TComposerWindow;

class TQtFrontEnd : public TWindowFrontEnd {
 public:
  TQtFrontEnd();
  ~TQtFrontEnd() override;

  // ---- TFrontEnd
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
  void ShowMessage(const std::string& text) override;
  bool ExecuteOpenDialog(TOpenDialog& dialog) override;
  std::int16_t GetKeyState(int virtualKey) override;
  TPoint GetCursorPos() override;
  void PopupMenu(TPopupMenu& menu, TPoint at) override;
  void Repaint(TControl& control) override;
  void ShowException(const std::exception& e) override;
  bool AskPassword(const std::string& prompt, TSecret& password) override;
  bool AskPasswordToRemember(const std::string& prompt, TSecret& password, bool& remember) override;
  int AskChoice(const std::string& text, const std::string& caption,
                const std::vector<std::string>& buttons, int cancelIndex) override;
  void Run() override;
  void Terminate() override;
  int RunForm(TForm1& form) override;

  // RunForm in two halves, for tests that drive Qt's loop themselves: ShowForm builds and shows
  // the window (the show event follows from the loop), CloseForm takes it down.
  void ShowForm(TForm1& form);
  void CloseForm();

  // ---- For the window
  // Runs a call into the model: exceptions go to the application's report, and the window
  // shows the changes when the outermost call returns. Nothing runs once the process is ending.
  void InModel(const std::function<void()>& call);
  // The window of the form being run (null before RunForm and after it).
  TComposerWindow* Window() const { return window_.get(); }

  // The file dialog seam: shows the dialog and returns the chosen files (empty: cancelled).
  // Tests replace it; the default is the desktop's own file dialog.
  std::function<QStringList(const TOpenDialog& dialog)> ChooseFiles;

  // The hosted loop's slice: the longest time one readiness of the loop's descriptor may take
  // before Qt gets its own events again.
  static constexpr int kSliceBudgetMicroseconds = 8000;

 protected:
  void CloseWindows() override;

 private:
  bool PasswordDialog(const std::string& prompt, TSecret& password, bool* remember);
  class InputWatch;
  QStringList ChooseWithFileDialog(const TOpenDialog& dialog);
  // The parent of a dialog: the window, brought up to date, while it is shown.
  QWidget* DialogParent();
  int RunModal(QDialog& dialog);
  void RunHostedSlice();

  std::unique_ptr<TComposerWindow> window_;
  std::unique_ptr<QSocketNotifier> hostedLoop_;
  std::unique_ptr<InputWatch> inputWatch_;
  std::unique_ptr<QMenu> popup_;
  int modelDepth_ = 0;
  bool ending_ = false;
};

// Virtual-key code (the program's codes: letters 0x41..0x5A, VK_RETURN ...) of a Qt key, or 0.
std::uint16_t VirtualKeyOf(int qtKey);
// The program's modifier set of Qt's modifiers.
TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers);
// A model text (UTF-8 bytes, CR or CR LF line breaks) as Qt shows it. Bytes that are not UTF-8
// are taken as Latin-1, so every byte shows as some character.
QString ToQt(const std::string& text);
std::string FromQt(const QString& text);

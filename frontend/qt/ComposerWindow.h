// The composer window: every control of the form model as a Qt widget, laid out in pages with
// their tabs at the bottom, the message area, the buttons, the progress bar and the status bar.
//
// The model is the one truth. The window observes it (TForm::OnControlChanged), collects what
// changed and shows exactly that when the call into the model that changed it returns (Flush);
// it never re-reads the whole form. What a person does reaches the model at once: typed text,
// check marks, the chosen list entry and page, the caret, focus moves made by mouse or keyboard
// (which fire the model's exit events), and keys: each key-down goes to the model's key
// handler before Qt's own bindings or shortcuts see it (a key the handler acts on never reaches
// them), and each character to the key-press handler, which may swallow it.
#pragma once

#include <QPointer>
#include <QWidget>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Controls.h"

class QGroupBox;
class QLabel;
class QKeyEvent;
class QPlainTextEdit;
class QProgressBar;
class QStatusBar;
class QTabWidget;
class TForm1;
class TQtFrontEnd;

class TComposerWindow : public QWidget {
 public:
  TComposerWindow(TForm1& form, TQtFrontEnd& frontEnd);
  ~TComposerWindow() override;

  // The widget that shows a control (null for a control without one, like a dialog).
  QWidget* WidgetOf(const TControl& control) const;
  // The control a widget (or a part of it, like a combo box's text field) shows, or null.
  TControl* ControlOf(const QObject* object) const;

  // Shows what changed in the model since the last flush.
  void Flush();
  // Shows the status bar's text at once (a repaint asked by the model).
  void PaintStatusNow();
  // Shows the window at its starting size, centred, as the model's state says.
  void ShowAtStart();
  // The process is ending: the window closes without running the form's close.
  void CloseForEnd();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Pending {
    int key = 0;
    Qt::KeyboardModifiers modifiers;
    quint64 timestamp = 0;
    bool swallow = false;
  };

  void BuildPages();
  QWidget* BuildStandardPage();
  QWidget* BuildAttachmentsPage();
  QWidget* BuildSettingsPage();
  void PlaceUnplacedControls();
  void Bind(TControl& control, QWidget* widget);
  void BindInputs();
  void SetTabOrder();
  void ShowWholeState();

  void OnModelChanged(TControl& control, TControlChange what);
  void Refresh(TControl& control, TControlChange what);
  void RefreshMemoSelection();
  void RefreshFocus();
  void WriteBack(TControl& control, const std::function<void()>& write);
  void MemoTextEdited();
  void MemoCaretMoved();

  bool Propagated(QWidget* widget, QEvent* event);
  bool KeyDownFirst(QWidget* widget, QKeyEvent* event);
  bool KeyPressed(QWidget* widget, QKeyEvent* event);
  void FocusedByPerson(QWidget* widget, Qt::FocusReason reason);

  TForm1& form_;
  TQtFrontEnd& frontEnd_;
  std::map<const TControl*, QWidget*> widgets_;
  std::map<const QObject*, TControl*> controls_;
  std::vector<std::pair<TControl*, TControlChange>> changes_;
  std::set<std::pair<TControl*, TControlChange>> changed_;
  TControl* writingBack_ = nullptr;  // notices of this control are the window's own doing
  bool applying_ = false;            // the window is showing the model: no write-back
  bool flushQueued_ = false;
  int memoRevision_ = 0;  // the memo's document revision the model holds
  bool ending_ = false;
  std::optional<Pending> pendingKey_;
  const QEvent* keyEvent_ = nullptr;  // the key event handled last, and its target
  QPointer<QWidget> keyTarget_;

  QTabWidget* pages_ = nullptr;
  QPlainTextEdit* memo_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QStatusBar* statusBar_ = nullptr;
  QLabel* statusText_ = nullptr;
  std::map<const TTabSheet*, QWidget*> sheets_;
};

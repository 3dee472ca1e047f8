// The composer window: the controls of the form model laid out as a person sees them, in pages
// with their tabs at the bottom, the message area, the buttons, the progress bar and the status
// bar. The widgets, what they show and what they write into the model are the bindings'
// (Bindings.h); keys and focus moves go to the model through the input routing
// (InputRouting.h). The window itself is the layout, with what belongs to the window as a whole:
// the order Tab walks, files dropped anywhere on it, and its close.
#pragma once

#include <QStringList>
#include <QWidget>
#include <map>
#include <memory>
#include <vector>

#include "frontend/qt/Bindings.h"
#include "frontend/qt/InputRouting.h"

class QLabel;
class QStatusBar;
class QTabWidget;
class TForm1;
class TQtFrontEnd;
class TRecipientCompletion;

class TComposerWindow : public QWidget {
 public:
  TComposerWindow(TForm1& form, TQtFrontEnd& frontEnd);
  ~TComposerWindow() override;

  // The widget that shows a control (null for a control without one, like a dialog).
  QWidget* WidgetOf(const TControl& control) const { return bindings_.WidgetOf(control); }
  // The control a widget (or a part of it, like a combo box's text field) shows, or null.
  TControl* ControlOf(const QObject* object) const { return bindings_.ControlOf(object); }

  // Shows what changed in the model since the last flush.
  void Flush() { bindings_.Flush(); }
  // Shows the status bar's text at once (a repaint asked by the model).
  void PaintStatusNow();
  // Shows the window at its starting size, centred, as the model's state says.
  void ShowAtStart();
  // The process is ending: the window closes without running the form's close.
  void CloseForEnd();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QTabWidget* BuildPages();
  void BuildStandardPage(QWidget* page);
  void BuildAttachmentsPage(QWidget* page);
  void BuildSettingsPage(QWidget* page);
  void PlaceUnplacedControls();
  // A field with its label (the label's buddy, and the name read out for the field).
  QLabel* Labelled(TControl& control, QWidget* field);
  void SetTabOrder();
  void CompleteRecipients();
  void AcceptFileDrops();
  void Attach(const QStringList& files);

  TForm1& form_;
  TQtFrontEnd& frontEnd_;
  TBindings bindings_;
  TInputRouting input_;
  bool ending_ = false;
  QStatusBar* statusBar_ = nullptr;
  std::vector<QWidget*> tabOrder_;
  std::map<const TEdit*, TRecipientCompletion*> completions_;  // owned by their fields
};

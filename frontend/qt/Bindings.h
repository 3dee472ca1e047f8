// How the composer window shows the form model and feeds it back: one binding per kind of
// control. A binding makes the control's widget, connects the widget's signals to the model
// (what a person does reaches the model at once) and shows each change the model announces.
//
// TBindings holds the bindings of one form. It observes the form (TForm::OnControlChanged),
// collects what changed and shows exactly that when the call into the model that changed it
// returns (Flush); it never re-reads the whole form. A change the window writes back into the
// model is not shown again, and nothing is written back while the window shows the model.
#pragma once

#include <QString>
#include <QTreeWidget>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Controls.h"

class QLabel;
class QObject;
class QWidget;
class TBindings;
class TQtFrontEnd;

class TBinding {
 public:
  TBinding(TBindings& bindings, TControl& control, QWidget* widget);
  virtual ~TBinding() = default;
  TBinding(const TBinding&) = delete;
  TBinding& operator=(const TBinding&) = delete;

  TControl& Control() const { return control_; }
  QWidget* Widget() const { return widget_; }
  // The Qt objects through which a person reaches the control: the widget and its parts (a
  // combo box's text field, the tab bar of the pages).
  virtual std::vector<QObject*> Targets() const;
  // The name read out for the control (its label without the mnemonic marker).
  virtual void SetSpokenName(const QString& name);
  // Shows one change of the model. The base shows what every control has.
  virtual void Show(TControlChange what);

 protected:
  // Writes what a person did into the model; nothing while the window shows the model.
  void WriteBack(const std::function<void()>& write);
  // A call into the model that is no write-back of the control's state (a click).
  void InModel(const std::function<void()>& call);
  bool Showing() const;

  TBindings& bindings_;
  TControl& control_;
  QWidget* widget_;
};

// The attached files: each file's name and size in two columns with its full path as tooltip,
// a summary line with the count and the total size, and Delete removing the selected entries.
class TFileListBinding : public TBinding {
 public:
  TFileListBinding(TBindings& bindings, TListBox& list);
  // The summary line, for the layout to place.
  QLabel* Summary() const { return summary_; }
  void Show(TControlChange what) override;
  void RemoveSelected();

 private:
  void ShowItems();
  TListBox& list_;
  QTreeWidget* tree_;
  QLabel* summary_;
};

class TBindings {
 public:
  // The window is the widget of the form itself (its caption and state) and the context of
  // the deferred flush.
  TBindings(TForm& form, QWidget& window, TQtFrontEnd& frontEnd);
  ~TBindings();
  TBindings(const TBindings&) = delete;
  TBindings& operator=(const TBindings&) = delete;

  // Makes the binding of a control of a kind the window shows and returns its widget, not yet
  // laid out; null for a control without one (a dialog, a menu). A tab sheet's page is added
  // to the pages of its page control, which must be made first.
  QWidget* Make(TControl& control);
  template <class W>
  W* Make(TControl& control) {
    return static_cast<W*>(Make(control));
  }
  // A list of files rather than of texts (TFileListBinding).
  TFileListBinding& MakeFileList(TListBox& list);
  // How captions show: the window may place a caption's mnemonic elsewhere so that no two
  // controls seen together share one. A caption not in the table shows as it is. Set before
  // the controls are made.
  void ShowCaptionsAs(std::map<std::string, std::string> shown) { captions_ = std::move(shown); }
  QString Caption(const std::string& caption) const;
  // The widget that shows a control (null for a control without one).
  QWidget* WidgetOf(const TControl& control) const;
  // The control a widget (or a part of it) shows, or null.
  TControl* ControlOf(const QObject* object) const;
  template <class B>
  B* BindingOf(const TControl& control) const {
    return dynamic_cast<B*>(Find(control));
  }
  const std::vector<std::unique_ptr<TBinding>>& All() const { return bindings_; }

  // Shows the whole state once and starts observing the form.
  void ShowWholeStateAndObserve();
  // Shows what changed in the model since the last flush.
  void Flush();
  // The window is going: nothing is shown or written back any more.
  void Stop();
  bool Stopped() const { return stopped_; }

  // For the bindings.
  void WriteBack(TControl& control, const std::function<void()>& write);
  bool Showing() const { return showing_; }
  TQtFrontEnd& FrontEnd() const { return frontEnd_; }

 private:
  TBinding* Find(const TControl& control) const;
  void Add(std::unique_ptr<TBinding> binding);
  void OnModelChanged(TControl& control, TControlChange what);
  void ShowFocus();

  TForm& form_;
  QWidget& window_;
  TQtFrontEnd& frontEnd_;
  std::map<std::string, std::string> captions_;
  std::unique_ptr<TBinding> formBinding_;
  std::vector<std::unique_ptr<TBinding>> bindings_;
  std::map<const TControl*, TBinding*> byControl_;
  std::map<const QObject*, TControl*> controls_;
  std::vector<std::pair<TControl*, TControlChange>> changes_;
  std::set<std::pair<TControl*, TControlChange>> changed_;
  TControl* writingBack_ = nullptr;  // notices of this control are the window's own doing
  bool showing_ = false;             // the window is showing the model: no write-back
  bool flushQueued_ = false;
  bool stopped_ = false;
};

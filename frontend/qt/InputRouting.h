// Keys and focus moves of the composer window into the form model. Each key-down goes to the
// model's key handler before Qt's own bindings or shortcuts see it (a key the handler acts on
// never reaches them), and each character to the key-press handler, which may swallow it. A
// focus move a person made (mouse, Tab, a mnemonic) moves the model's focus, which fires the
// exit event of the control that had it.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <optional>

class QKeyEvent;
class TBindings;
class TControl;
class TForm;
class TQtFrontEnd;

class TInputRouting : public QObject {
 public:
  TInputRouting(TForm& form, const TBindings& bindings, TQtFrontEnd& frontEnd);

  // Routes the keys and focus moves of every bound widget that can have the focus, and the
  // keys that reach the window itself (no widget has the focus, as when the focused field was
  // disabled): those go to the form's own key handler.
  void Watch(QWidget& window);
  // The window is going: nothing reaches the model any more.
  void Stop() { stopped_ = true; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Pending {
    int key = 0;
    Qt::KeyboardModifiers modifiers;
    quint64 timestamp = 0;
    bool swallow = false;
  };

  TControl* ControlOf(const QWidget* widget) const;
  bool Propagated(QWidget* widget, QEvent* event);
  bool KeyDownFirst(QWidget* widget, QKeyEvent* event);
  bool KeyPressed(QWidget* widget, QKeyEvent* event);
  void FocusedByPerson(QWidget* widget, Qt::FocusReason reason);

  TForm& form_;
  const TBindings& bindings_;
  TQtFrontEnd& frontEnd_;
  const QWidget* window_ = nullptr;
  bool stopped_ = false;
  std::optional<Pending> pendingKey_;
  const QEvent* keyEvent_ = nullptr;  // the key event handled last, and its target
  QPointer<QWidget> keyTarget_;
};

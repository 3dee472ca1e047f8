#include "frontend/qt/InputRouting.h"

#include <QFocusEvent>
#include <QKeyEvent>

#include "frontend/qt/Bindings.h"
#include "frontend/qt/QtFrontEnd.h"

TInputRouting::TInputRouting(TForm& form, const TBindings& bindings, TQtFrontEnd& frontEnd)
    : form_(form), bindings_(bindings), frontEnd_(frontEnd) {}

void TInputRouting::Watch(QWidget& window) {
  window_ = &window;
  window.installEventFilter(this);
  for (const auto& binding : bindings_.All())
    for (QObject* target : binding->Targets()) {
      auto* widget = qobject_cast<QWidget*>(target);
      if (widget && widget->focusPolicy() != Qt::NoFocus) widget->installEventFilter(this);
    }
}

bool TInputRouting::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget || stopped_) return false;
  switch (event->type()) {
    case QEvent::ShortcutOverride:
      return !Propagated(widget, event) && KeyDownFirst(widget, static_cast<QKeyEvent*>(event));
    case QEvent::KeyPress:
      return !Propagated(widget, event) && KeyPressed(widget, static_cast<QKeyEvent*>(event));
    case QEvent::FocusIn:
      FocusedByPerson(widget, static_cast<QFocusEvent*>(event)->reason());
      return false;
    default:
      return false;
  }
}

TControl* TInputRouting::ControlOf(const QWidget* widget) const {
  return widget == window_ ? &form_ : bindings_.ControlOf(widget);
}

// A key event the target did not take goes on to its parents; the model had it already.
bool TInputRouting::Propagated(QWidget* widget, QEvent* event) {
  if (event == keyEvent_ && keyTarget_ && widget != keyTarget_ && widget->isAncestorOf(keyTarget_))
    return true;
  keyEvent_ = event;
  keyTarget_ = widget;
  return false;
}

// Qt offers every key press as a shortcut override before shortcuts and mnemonics see it: the
// model's key-down handler comes first here. A key it handles is taken from Qt altogether.
bool TInputRouting::KeyDownFirst(QWidget* widget, QKeyEvent* event) {
  pendingKey_.reset();
  TControl* control = ControlOf(widget);
  const std::uint16_t key = VirtualKeyOf(event->key());
  if (!control || key == 0) return false;
  std::uint16_t after = key;
  frontEnd_.InModel(
      [&] { after = form_.KeyDown(*control, key, ShiftStateOf(event->modifiers())); });
  pendingKey_ = Pending{event->key(), event->modifiers(), event->timestamp(), after == 0};
  if (after != 0) return false;
  event->accept();  // overridden: no shortcut runs, the key press comes here and is dropped
  return true;
}

// The key press follows its shortcut override at once, but not always to the same widget: the
// key-down handler may have moved the focus or disabled the control (Ctrl+Enter sends, and the
// message area is disabled during the send). It is the same key all the same, and its key-down
// has run.
bool TInputRouting::KeyPressed(QWidget* widget, QKeyEvent* event) {
  const bool keyDownDone = pendingKey_ && pendingKey_->key == event->key() &&
                           pendingKey_->modifiers == event->modifiers() &&
                           pendingKey_->timestamp == event->timestamp();
  const bool swallow = keyDownDone && pendingKey_->swallow;
  pendingKey_.reset();
  if (swallow) return true;
  TControl* control = ControlOf(widget);
  if (!control) return false;
  if (!keyDownDone) {
    const std::uint16_t key = VirtualKeyOf(event->key());
    std::uint16_t after = key;
    if (key != 0)
      frontEnd_.InModel(
          [&] { after = form_.KeyDown(*control, key, ShiftStateOf(event->modifiers())); });
    if (key != 0 && after == 0) return true;
  }
  // The character, for the controls that take key presses. Tab moves the focus and is no
  // character of a field.
  if (!control->OnKeyPress || event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab)
    return false;
  char ch = 0;
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
    ch = '\r';
  else if (!event->text().isEmpty())
    ch = event->text().toUtf8().at(0);
  if (ch == 0) return false;
  char after = ch;
  frontEnd_.InModel([&] { after = form_.KeyPress(*control, ch); });
  return after == 0;
}

// Moves the window makes itself are the model's own.
void TInputRouting::FocusedByPerson(QWidget* widget, Qt::FocusReason reason) {
  if (reason != Qt::MouseFocusReason && reason != Qt::TabFocusReason &&
      reason != Qt::BacktabFocusReason && reason != Qt::ShortcutFocusReason)
    return;
  TControl* control = widget == window_ ? nullptr : bindings_.ControlOf(widget);
  if (control && control != form_.ActiveControl())
    frontEnd_.InModel([&] { form_.FocusControl(control); });
}

#include "frontend/qt/RecipientCompletion.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStringListModel>
#include <utility>

#include "frontend/qt/QtFrontEnd.h"

TRecipientCompletion::TRecipientCompletion(TForm1& form, TEdit& field, QLineEdit& line,
                                           TQtFrontEnd& frontEnd)
    : QObject(&line),
      form_(form),
      field_(field),
      line_(line),
      frontEnd_(frontEnd),
      completer_(new QCompleter(this)),
      offered_(new QStringListModel(this)) {
  // The book decides what matches (an exact nick first); the popup shows it as it is.
  completer_->setModel(offered_);
  completer_->setCompletionMode(QCompleter::UnfilteredPopupCompletion);
  completer_->setWidget(&line_);
  completer_->popup()->setObjectName(QString::fromStdString(field.Name) + "Completion");
  completer_->popup()->setAccessibleName(QStringLiteral("Address book matches"));
  line_.installEventFilter(this);
  completer_->popup()->installEventFilter(this);
  QObject::connect(&line_, &QLineEdit::textEdited, this, [this] { Typed(); });
  QObject::connect(completer_, qOverload<const QString&>(&QCompleter::activated), this,
                   [this](const QString& chosen) { Chosen(chosen); });
}

bool TRecipientCompletion::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut &&
      static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
    completer_->popup()->hide();
  if (event->type() != QEvent::ShortcutOverride && event->type() != QEvent::KeyPress)
    return QObject::eventFilter(watched, event);
  const auto& key = *static_cast<QKeyEvent*>(event);
  // The key's shortcut override comes to the field before the key goes to the popup: the
  // choice is taken then, and the key goes on to the model, which sends.
  if (watched == &line_) {
    sendKeyOverridden_ = event->type() == QEvent::ShortcutOverride && IsSendKey(key);
    if (sendKeyOverridden_) TakeChoiceBeforeSend();
  }
  // Should the key itself reach the popup, which would take it for its own Enter (completing
  // the entry) and drop it: the model had it already through its override, or the field gets
  // it now as though no popup had been open.
  if (watched == completer_->popup() && event->type() == QEvent::KeyPress && IsSendKey(key)) {
    TakeChoiceBeforeSend();
    if (!std::exchange(sendKeyOverridden_, false)) {
      QKeyEvent again(QEvent::KeyPress, key.key(), key.modifiers(), key.text());
      QCoreApplication::sendEvent(&line_, &again);
    }
    return true;
  }
  return QObject::eventFilter(watched, event);
}

bool TRecipientCompletion::IsSendKey(const QKeyEvent& key) {
  return (key.modifiers() & Qt::ControlModifier) &&
         (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter);
}

// Ctrl+Enter sends, the popup open or not. The entry highlighted in the popup is taken first,
// so that the message goes where the field then says; with none highlighted the entry stays as
// typed, for the send to resolve (or refuse) like any nick.
void TRecipientCompletion::TakeChoiceBeforeSend() {
  QAbstractItemView& popup = *completer_->popup();
  if (!popup.isVisible()) return;
  const QModelIndexList highlighted = popup.selectionModel()->selectedIndexes();
  popup.hide();
  if (!highlighted.isEmpty()) Chosen(highlighted.front().data().toString());
}

TRecipientCompletion::Span TRecipientCompletion::EntryAtCaret() const {
  const QString text = line_.text();
  const int caret = line_.cursorPosition();
  const int separatorBefore = caret > 0 ? text.lastIndexOf(QChar(';'), caret - 1) : -1;
  const int separatorAfter = text.indexOf(QChar(';'), caret);
  return {separatorBefore + 1, separatorAfter < 0 ? static_cast<int>(text.size()) : separatorAfter};
}

void TRecipientCompletion::Typed() {
  const Span span = EntryAtCaret();
  const std::string typed = FromQt(line_.text().mid(span.Begin, span.End - span.Begin).trimmed());
  std::vector<TForm1::TBookEntry> matches;
  if (!typed.empty()) frontEnd_.InModel([&] { matches = form_.AddressBookMatches(typed); });
  // An entry already in its full form is what the popup would make of it.
  if (matches.size() == 1 && matches.front().FullForm() == typed) matches.clear();
  Offer(matches);
}

void TRecipientCompletion::Offer(const std::vector<TForm1::TBookEntry>& entries) {
  QStringList shown;
  for (const TForm1::TBookEntry& entry : entries) shown.push_back(ToQt(entry.FullForm()));
  offered_->setStringList(shown);
  if (shown.isEmpty()) {
    completer_->popup()->hide();
    return;
  }
  completer_->complete();
}

void TRecipientCompletion::OfferCandidates(const std::string& typed,
                                           const std::vector<TForm1::TBookEntry>& entries) {
  const QString text = line_.text();
  for (int begin = 0; begin <= text.size();) {
    const int separator = text.indexOf(QChar(';'), begin);
    const int end = separator < 0 ? static_cast<int>(text.size()) : separator;
    if (text.mid(begin, end - begin).trimmed() == ToQt(typed)) {
      line_.setCursorPosition(end);
      break;
    }
    begin = end + 1;
  }
  Offer(entries);
}

// The entry keeps the blank that followed its ";", and the caret goes behind the choice.
void TRecipientCompletion::Chosen(const QString& fullForm) {
  const Span span = EntryAtCaret();
  const QString text = line_.text();
  const QString entry = text.mid(span.Begin, span.End - span.Begin);
  const QString lead = span.Begin > 0 && entry.startsWith(QChar(' ')) ? QStringLiteral(" ") : "";
  const QString completed = text.left(span.Begin) + lead + fullForm + text.mid(span.End);
  frontEnd_.InModel([&] { field_.Text = FromQt(completed); });
  line_.setCursorPosition(span.Begin + static_cast<int>(lead.size() + fullForm.size()));
}

// Completion while a recipient is typed: under a recipient field, a popup of the address book's
// entries that match the entry being typed (the ";"-separated part the caret is in), chosen with
// the arrow keys and Enter or with the mouse. The choice replaces that entry by its full form
// ("Nick <address>"); the other entries stay as they are. Ctrl+Enter sends with the popup open
// too, after the entry highlighted in it is taken. The same popup offers the candidates
// of a nick that begins several of the book's nicks when the field is left.
#pragma once

#include <QObject>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"

class QCompleter;
class QKeyEvent;
class QLineEdit;
class QStringListModel;
class TQtFrontEnd;

class TRecipientCompletion : public QObject {
 public:
  TRecipientCompletion(TForm1& form, TEdit& field, QLineEdit& line, TQtFrontEnd& frontEnd);

  // Shows the entries for the entry the caret is in; none: the popup closes.
  void Offer(const std::vector<TForm1::TBookEntry>& entries);
  // The candidates of an entry that begins several nicks: the caret goes behind that entry.
  void OfferCandidates(const std::string& typed, const std::vector<TForm1::TBookEntry>& entries);
  QCompleter& Completer() const { return *completer_; }

 protected:
  // The popup goes when the field is left (by Tab, the mouse, a mnemonic).
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Where the entry the caret is in begins and ends in the line's text (in characters).
  struct Span {
    int Begin = 0;
    int End = 0;
  };
  Span EntryAtCaret() const;
  static bool IsSendKey(const QKeyEvent& key);
  void TakeChoiceBeforeSend();
  void Typed();
  void Chosen(const QString& fullForm);

  TForm1& form_;
  TEdit& field_;
  QLineEdit& line_;
  TQtFrontEnd& frontEnd_;
  QCompleter* completer_;
  QStringListModel* offered_;
  bool sendKeyOverridden_ = false;  // the field had the override of the Ctrl+Enter under way
};

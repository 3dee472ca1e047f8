#include "frontend/qt/ComposerWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "app/Tarvik2_unit1.h"
#include "frontend/qt/QtFrontEnd.h"

namespace {

// The memo's font size in the model when the window is not zoomed.
constexpr int kNormalFontSize = 8;

// Labels of the fields; the model's controls carry no label of their own.
const std::map<std::string, const char*>& FieldLabels() {
  static const std::map<std::string, const char*> labels = {
      {"from", "From:"},           {"sendto", "To:"},
      {"subject", "Subject:"},     {"SMTPServer", "SMTP Server:"},
      {"SignFile", "Sign File:"},  {"tls", "TLS:"},
      {"user", "User:"},           {"passwordcmd", "Password command:"},
      {"auth", "Authentication:"},
  };
  return labels;
}

QString LabelFor(const TControl& control) {
  const auto found = FieldLabels().find(control.Name);
  return found != FieldLabels().end() ? QString::fromUtf8(found->second)
                                      : QString::fromStdString(control.Name + ":");
}

// A caption or label as a name to read out: no mnemonic marker, no trailing colon or dot.
QString SpokenName(QString text) {
  text.remove(QRegularExpression(QStringLiteral("&(?!&)")));
  while (text.endsWith(':') || text.endsWith('.')) text.chop(1);
  return text.trimmed();
}

// The desktop's font for a model font: the normal size is the default UI font; any other
// size is a serif font scaled from it (the zoomed memo), so it grows with the desktop's font.
QFont DesktopFont(const TFont& font) {
  QFont result = QApplication::font();
  if (font.Size == kNormalFontSize) return result;
  result.setFamily(QStringLiteral("serif"));
  result.setStyleHint(QFont::Serif);
  result.setPointSizeF(result.pointSizeF() * font.Size / kNormalFontSize);
  return result;
}

// The memo's lines as one Qt text and back.
QString MemoText(const TMemo& memo) {
  QStringList lines;
  for (const std::string& line : memo.Lines) lines.push_back(ToQt(line));
  return lines.join(QChar('\n'));
}

// The logo: the initials and the product line, a click area that opens the pop-up menu.
class TLogo : public QFrame {
 public:
  explicit TLogo(std::function<void()> onClick) : onClick_(std::move(onClick)) {
    auto* initials = new QLabel(QStringLiteral("TV"));
    QFont big = initials->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 2);
    initials->setFont(big);
    auto* product = new QLabel(QStringLiteral("Tarvik 2.0"));
    for (QLabel* label : {initials, product}) {
      label->setStyleSheet(QStringLiteral("color: #1a4fb4;"));
      label->setAlignment(Qt::AlignCenter);
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->addWidget(initials);
    layout->addWidget(product);
    setCursor(Qt::PointingHandCursor);
  }

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton) onClick_();
  }

 private:
  std::function<void()> onClick_;
};

QWidget* NewWidgetFor(TControl& control) {
  if (dynamic_cast<TEdit*>(&control)) return new QLineEdit;
  if (dynamic_cast<TMemo*>(&control)) return new QPlainTextEdit;
  if (auto* box = dynamic_cast<TCheckBox*>(&control)) return new QCheckBox(ToQt(box->Caption));
  if (dynamic_cast<TComboBox*>(&control)) {
    auto* combo = new QComboBox;
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    return combo;
  }
  if (dynamic_cast<TListBox*>(&control)) return new QListWidget;
  if (auto* button = dynamic_cast<TButton*>(&control))
    return new QPushButton(ToQt(button->Caption));
  return nullptr;
}

}  // namespace

TComposerWindow::TComposerWindow(TForm1& form, TQtFrontEnd& frontEnd)
    : form_(form), frontEnd_(frontEnd) {
  setObjectName(QString::fromStdString(form.Name));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 0);

  BuildPages();
  layout->addWidget(pages_);

  auto* frame = new QGroupBox(QStringLiteral(" Message "));
  auto* frameLayout = new QVBoxLayout(frame);
  memo_ = new QPlainTextEdit;
  memo_->setTabChangesFocus(true);
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  frameLayout->addWidget(memo_);
  Bind(form.MessageText, memo_);
  memo_->setAccessibleName(QStringLiteral("Message"));
  layout->addWidget(frame, 1);

  auto* row = new QHBoxLayout;
  progress_ = new QProgressBar;
  progress_->setTextVisible(false);
  progress_->setAccessibleName(QStringLiteral("Send progress"));
  Bind(form.ProgressBar1, progress_);
  row->addWidget(progress_, 1);
  for (TButton* button : {&form.SendBtn, &form.ClearBtn}) {
    auto* widget = NewWidgetFor(*button);
    Bind(*button, widget);
    row->addWidget(widget);
  }
  layout->addLayout(row);

  statusBar_ = new QStatusBar;
  statusBar_->setSizeGripEnabled(true);
  statusText_ = new QLabel;
  statusText_->setAccessibleName(QStringLiteral("Status"));
  statusBar_->addWidget(statusText_, 1);
  Bind(form.StatusBar1, statusText_);
  layout->addWidget(statusBar_);

  PlaceUnplacedControls();
  BindInputs();
  SetTabOrder();
  ShowWholeState();
  form_.OnControlChanged = [this](TControl& control, TControlChange what) {
    OnModelChanged(control, what);
  };
}

TComposerWindow::~TComposerWindow() {
  form_.OnControlChanged = nullptr;
}

// ---- Building

void TComposerWindow::BuildPages() {
  pages_ = new QTabWidget;
  pages_->setTabPosition(form_.PageControl1.TabsAtBottom ? QTabWidget::South : QTabWidget::North);
  pages_->setAccessibleName(QStringLiteral("Pages"));
  Bind(form_.PageControl1, pages_);
  controls_[pages_->tabBar()] = &form_.PageControl1;
  pages_->tabBar()->setAccessibleName(QStringLiteral("Pages"));
  for (TTabSheet* sheet : form_.PageControl1.Pages()) {
    QWidget* page = sheet == &form_.TabSheet1   ? BuildStandardPage()
                    : sheet == &form_.TabSheet2 ? BuildAttachmentsPage()
                    : sheet == &form_.TabSheet3 ? BuildSettingsPage()
                                                : new QWidget;
    if (!page->layout()) new QFormLayout(page);
    sheets_[sheet] = page;
    Bind(*sheet, page);
    pages_->addTab(page, ToQt(sheet->Caption));
  }
}

QWidget* TComposerWindow::BuildStandardPage() {
  auto* page = new QWidget;
  auto* grid = new QGridLayout(page);
  int row = 0;
  for (TEdit* edit : {&form_.from, &form_.sendto, &form_.subject}) {
    auto* widget = NewWidgetFor(*edit);
    auto* label = new QLabel(LabelFor(*edit));
    label->setBuddy(widget);
    grid->addWidget(label, row, 0);
    grid->addWidget(widget, row, 1);
    Bind(*edit, widget);
    ++row;
  }
  auto* logo = new TLogo([this] { frontEnd_.InModel([this] { form_.Image1.Click(); }); });
  logo->setAccessibleName(QStringLiteral("Tarvik logo"));
  Bind(form_.Image1, logo);
  grid->addWidget(logo, 0, 2, 3, 1);
  grid->setColumnStretch(1, 1);
  return page;
}

QWidget* TComposerWindow::BuildAttachmentsPage() {
  auto* page = new QWidget;
  auto* grid = new QGridLayout(page);
  auto* list = NewWidgetFor(form_.AttachedFiles);
  list->setAccessibleName(QStringLiteral("Attached files"));
  Bind(form_.AttachedFiles, list);
  grid->addWidget(list, 0, 0, 3, 1);
  auto* add = NewWidgetFor(form_.AddFileBtn);
  auto* remove = NewWidgetFor(form_.RemoveFileBtn);
  Bind(form_.AddFileBtn, add);
  Bind(form_.RemoveFileBtn, remove);
  grid->addWidget(add, 0, 1);
  grid->addWidget(remove, 1, 1);
  auto* autoDelete = NewWidgetFor(form_.AutoDeleteAttached);
  Bind(form_.AutoDeleteAttached, autoDelete);
  grid->addWidget(autoDelete, 3, 0, 1, 2);
  grid->setColumnStretch(0, 1);
  return page;
}

QWidget* TComposerWindow::BuildSettingsPage() {
  auto* page = new QWidget;
  auto* form = new QFormLayout(page);
  auto* server = NewWidgetFor(form_.SMTPServer);
  Bind(form_.SMTPServer, server);
  form->addRow(LabelFor(form_.SMTPServer), server);
  auto* signRow = new QHBoxLayout;
  auto* sign = NewWidgetFor(form_.SignFile);
  auto* browse = NewWidgetFor(form_.BrowseBtn);
  Bind(form_.SignFile, sign);
  Bind(form_.BrowseBtn, browse);
  signRow->addWidget(sign, 1);
  signRow->addWidget(browse);
  auto* signLabel = new QLabel(LabelFor(form_.SignFile));
  signLabel->setBuddy(sign);
  form->addRow(signLabel, signRow);
  for (TControl* control :
       {static_cast<TControl*>(&form_.AutoSave), static_cast<TControl*>(&form_.CloseWhenSent),
        static_cast<TControl*>(&form_.SaveSettingsBtn)}) {
    auto* widget = NewWidgetFor(*control);
    Bind(*control, widget);
    form->addRow(widget);
  }
  return page;
}

// Controls the layout above does not know (added to the model later, such as further settings)
// still appear: on their page when they have one, with a label for a text field.
void TComposerWindow::PlaceUnplacedControls() {
  for (const auto& owned : form_.Controls()) {
    TControl& control = *owned;
    if (widgets_.count(&control)) continue;
    auto* sheet = dynamic_cast<TTabSheet*>(control.Parent);
    if (!sheet || !sheets_.count(sheet)) continue;
    QWidget* widget = NewWidgetFor(control);
    if (!widget) continue;
    Bind(control, widget);
    auto* layout = qobject_cast<QFormLayout*>(sheets_[sheet]->layout());
    if (!layout) {
      sheets_[sheet]->layout()->addWidget(widget);
    } else if (qobject_cast<QLineEdit*>(widget) || qobject_cast<QComboBox*>(widget)) {
      layout->addRow(LabelFor(control), widget);
    } else {
      layout->addRow(widget);
    }
  }
}

void TComposerWindow::Bind(TControl& control, QWidget* widget) {
  widgets_[&control] = widget;
  controls_[widget] = &control;
  widget->setObjectName(QString::fromStdString(control.Name));
  if (!control.Hint.empty()) {
    widget->setToolTip(ToQt(control.Hint));
    widget->setAccessibleDescription(ToQt(control.Hint));
  }
  if (widget->accessibleName().isEmpty()) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
      widget->setAccessibleName(SpokenName(button->text()));
    else if (qobject_cast<QLineEdit*>(widget) || qobject_cast<QComboBox*>(widget))
      widget->setAccessibleName(SpokenName(LabelFor(control)));
  }
  if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    controls_[combo->lineEdit()] = &control;
    combo->lineEdit()->setAccessibleName(combo->accessibleName());
  }
}

// What a person does reaches the model at once.
void TComposerWindow::BindInputs() {
  for (const auto& [control, widget] : widgets_) {
    TControl* c = const_cast<TControl*>(control);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      auto* model = static_cast<TEdit*>(c);
      connect(edit, &QLineEdit::textEdited, this, [this, model](const QString& text) {
        WriteBack(*model, [&] { model->Text = FromQt(text); });
      });
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      auto* model = static_cast<TComboBox*>(c);
      connect(combo, &QComboBox::editTextChanged, this, [this, model](const QString& text) {
        if (!applying_) WriteBack(*model, [&] { model->Text = FromQt(text); });
      });
    } else if (auto* box = qobject_cast<QCheckBox*>(widget)) {
      auto* model = static_cast<TCheckBox*>(c);
      connect(box, &QCheckBox::clicked, this, [this, model](bool checked) {
        WriteBack(*model, [&] { model->Checked = checked; });
      });
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
      auto* model = static_cast<TButton*>(c);
      connect(button, &QPushButton::clicked, this,
              [this, model] { frontEnd_.InModel([model] { model->Click(); }); });
    } else if (auto* list = qobject_cast<QListWidget*>(widget)) {
      auto* model = static_cast<TListBox*>(c);
      connect(list, &QListWidget::currentRowChanged, this, [this, model](int row) {
        if (!applying_) WriteBack(*model, [&] { model->ItemIndex = row; });
      });
    }
  }
  connect(pages_, &QTabWidget::currentChanged, this, [this](int index) {
    if (applying_ || index < 0) return;
    TPageControl& model = form_.PageControl1;
    WriteBack(model, [&] { model.ActivePage = model.Pages()[static_cast<std::size_t>(index)]; });
  });
  connect(memo_, &QPlainTextEdit::textChanged, this, [this] {
    if (!applying_) MemoTextEdited();
  });
  connect(memo_, &QPlainTextEdit::cursorPositionChanged, this, [this] {
    if (!applying_) MemoCaretMoved();
  });
  connect(memo_, &QPlainTextEdit::selectionChanged, this, [this] {
    if (!applying_) MemoCaretMoved();
  });
  // Keys and focus of every control that can have the focus.
  for (const auto& [object, control] : controls_) {
    auto* widget = qobject_cast<QWidget*>(const_cast<QObject*>(object));
    if (widget && widget->focusPolicy() != Qt::NoFocus) widget->installEventFilter(this);
  }
}

// The natural order: the fields of each page, the page tabs, the message, the buttons.
void TComposerWindow::SetTabOrder() {
  std::vector<QWidget*> order;
  for (TTabSheet* sheet : form_.PageControl1.Pages())
    for (const auto& owned : form_.Controls())
      if (owned->Parent == sheet && widgets_.count(owned.get()) &&
          widgets_[owned.get()]->focusPolicy() != Qt::NoFocus)
        order.push_back(widgets_[owned.get()]);
  order.push_back(pages_->tabBar());
  for (TControl* control :
       {static_cast<TControl*>(&form_.MessageText), static_cast<TControl*>(&form_.SendBtn),
        static_cast<TControl*>(&form_.ClearBtn)})
    order.push_back(widgets_[control]);
  for (std::size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

// ---- Showing the model

void TComposerWindow::ShowWholeState() {
  applying_ = true;
  setWindowTitle(ToQt(form_.Caption));
  progress_->setRange(form_.ProgressBar1.Min, form_.ProgressBar1.Max);
  for (const auto& [control, widget] : widgets_) {
    TControl& c = *const_cast<TControl*>(control);
    for (TControlChange what :
         {TControlChange::Text, TControlChange::Lines, TControlChange::Items,
          TControlChange::ItemIndex, TControlChange::Checked, TControlChange::Caption,
          TControlChange::Enabled, TControlChange::Font, TControlChange::WordWrap,
          TControlChange::Selection, TControlChange::Position, TControlChange::ActivePage})
      Refresh(c, what);
  }
  applying_ = false;
}

void TComposerWindow::OnModelChanged(TControl& control, TControlChange what) {
  if (ending_ || &control == writingBack_) return;
  if (changed_.insert({&control, what}).second) changes_.emplace_back(&control, what);
  // A change made outside any call from the window (a test, a hosted slice before the window
  // existed) is shown from Qt's loop.
  if (!flushQueued_) {
    flushQueued_ = true;
    QTimer::singleShot(0, this, [this] { Flush(); });
  }
}

void TComposerWindow::Flush() {
  flushQueued_ = false;
  if (ending_ || changes_.empty()) return;
  std::vector<std::pair<TControl*, TControlChange>> changes;
  changes.swap(changes_);
  changed_.clear();
  applying_ = true;
  bool focus = false;
  for (const auto& [control, what] : changes) {
    if (what == TControlChange::Focus)
      focus = true;
    else
      Refresh(*control, what);
  }
  if (focus) RefreshFocus();  // last: the target may just have been enabled
  applying_ = false;
}

void TComposerWindow::Refresh(TControl& control, TControlChange what) {
  if (&control == &form_) {
    if (what == TControlChange::Caption) setWindowTitle(ToQt(form_.Caption));
    if (what == TControlChange::WindowState) {
      const bool maximized = form_.WindowState == TWindowState::wsMaximized;
      if (!isVisible())
        setWindowState(maximized ? Qt::WindowMaximized : Qt::WindowNoState);
      else if (maximized)
        showMaximized();
      else
        showNormal();
    }
    return;
  }
  QWidget* widget = WidgetOf(control);
  if (!widget) return;
  switch (what) {
    case TControlChange::Enabled:
      widget->setEnabled(control.Enabled);
      return;
    case TControlChange::Visible:
      if (!dynamic_cast<TTabSheet*>(&control)) widget->setVisible(control.Visible);
      return;
    default:
      break;
  }
  if (auto* edit = dynamic_cast<TEdit*>(&control)) {
    auto* line = static_cast<QLineEdit*>(widget);
    if (what == TControlChange::Text && line->text() != ToQt(edit->Text)) {
      line->setText(ToQt(edit->Text));
      if (!line->hasFocus()) line->setCursorPosition(0);  // a long text shows its start
    }
  } else if (auto* memo = dynamic_cast<TMemo*>(&control)) {
    if (what == TControlChange::Lines) {
      const QString text = MemoText(*memo);
      if (memo_->toPlainText() != text) memo_->setPlainText(text);
      memoRevision_ = memo_->document()->revision();
      RefreshMemoSelection();
    } else if (what == TControlChange::Selection) {
      RefreshMemoSelection();
    } else if (what == TControlChange::Font) {
      memo_->setFont(DesktopFont(memo->Font));
    } else if (what == TControlChange::WordWrap) {
      memo_->setLineWrapMode(memo->WordWrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    }
  } else if (auto* box = dynamic_cast<TCheckBox*>(&control)) {
    auto* check = static_cast<QCheckBox*>(widget);
    if (what == TControlChange::Checked) check->setChecked(box->Checked);
    if (what == TControlChange::Caption) check->setText(ToQt(box->Caption));
  } else if (auto* combo = dynamic_cast<TComboBox*>(&control)) {
    auto* qcombo = static_cast<QComboBox*>(widget);
    if (what == TControlChange::Items) {
      qcombo->clear();
      for (const std::string& item : combo->Items) qcombo->addItem(ToQt(item));
    }
    if ((what == TControlChange::Items || what == TControlChange::Text) &&
        qcombo->currentText() != ToQt(combo->Text))
      qcombo->setEditText(ToQt(combo->Text));
  } else if (auto* listBox = dynamic_cast<TListBox*>(&control)) {
    auto* list = static_cast<QListWidget*>(widget);
    if (what == TControlChange::Items) {
      list->clear();
      for (const std::string& item : listBox->Items) list->addItem(ToQt(item));
    }
    if (what == TControlChange::Items || what == TControlChange::ItemIndex)
      list->setCurrentRow(listBox->ItemIndex);
  } else if (auto* button = dynamic_cast<TButton*>(&control)) {
    if (what == TControlChange::Caption)
      static_cast<QPushButton*>(widget)->setText(ToQt(button->Caption));
  } else if (auto* sheet = dynamic_cast<TTabSheet*>(&control)) {
    if (what == TControlChange::Caption)
      pages_->setTabText(pages_->indexOf(widget), ToQt(sheet->Caption));
  } else if (dynamic_cast<TPageControl*>(&control)) {
    if (what == TControlChange::ActivePage && form_.PageControl1.ActivePage)
      pages_->setCurrentWidget(sheets_[form_.PageControl1.ActivePage.Get()]);
  } else if (auto* status = dynamic_cast<TStatusBar*>(&control)) {
    if (what == TControlChange::Text) {
      QString text = ToQt(status->SimpleText);
      text.replace(QChar('\n'), QChar(' '));
      statusText_->setText(text);
    }
  } else if (auto* bar = dynamic_cast<TProgressBar*>(&control)) {
    if (what == TControlChange::Position) {
      progress_->setRange(bar->Min, bar->Max);
      progress_->setValue(bar->Position());
    }
  }
}

// The model's caret and selection count bytes of the text with CR LF line breaks; Qt's count
// characters with one separator per line break.
void TComposerWindow::RefreshMemoSelection() {
  const TMemo& memo = form_.MessageText;
  auto toQt = [&](int offset) {
    int line = 0;
    while (line + 1 < memo.Lines.Count() &&
           offset > static_cast<int>(memo.Lines[line].size()) + 1) {
      offset -= static_cast<int>(memo.Lines[line].size()) + 2;
      ++line;
    }
    if (memo.Lines.Count() == 0) return 0;
    const std::string& text = memo.Lines[line];
    const int bytes = std::clamp(offset, 0, static_cast<int>(text.size()));
    return memo_->document()->findBlockByNumber(line).position() +
           static_cast<int>(ToQt(text.substr(0, static_cast<std::size_t>(bytes))).size());
  };
  QTextCursor cursor = memo_->textCursor();
  cursor.setPosition(toQt(memo.SelStart()));
  if (memo.SelLength() > 0)
    cursor.setPosition(toQt(memo.SelStart() + memo.SelLength()), QTextCursor::KeepAnchor);
  memo_->setTextCursor(cursor);
}

void TComposerWindow::RefreshFocus() {
  TControl* active = form_.ActiveControl();
  QWidget* widget = active ? WidgetOf(*active) : nullptr;
  if (widget && widget->focusPolicy() != Qt::NoFocus && !widget->hasFocus())
    widget->setFocus(Qt::OtherFocusReason);
}

void TComposerWindow::PaintStatusNow() {
  Flush();
  statusText_->repaint();
}

void TComposerWindow::ShowAtStart() {
  resize(form_.ClientWidth, form_.ClientHeight);
  if (form_.Position == TPosition::poScreenCenter)
    if (const QScreen* screen = QGuiApplication::primaryScreen())
      move(screen->availableGeometry().center() - rect().center());
  if (form_.WindowState == TWindowState::wsMaximized)
    showMaximized();
  else
    show();
}

void TComposerWindow::CloseForEnd() {
  ending_ = true;
  hide();
}

void TComposerWindow::closeEvent(QCloseEvent* event) {
  if (!ending_ && !form_.Closed()) frontEnd_.InModel([this] { form_.Close(); });
  event->accept();
}

// ---- What a person does

QWidget* TComposerWindow::WidgetOf(const TControl& control) const {
  const auto found = widgets_.find(&control);
  return found == widgets_.end() ? nullptr : found->second;
}

TControl* TComposerWindow::ControlOf(const QObject* object) const {
  const auto found = controls_.find(object);
  return found == controls_.end() ? nullptr : found->second;
}

void TComposerWindow::WriteBack(TControl& control, const std::function<void()>& write) {
  frontEnd_.InModel([&] {
    TControl* outer = writingBack_;
    writingBack_ = &control;
    write();
    writingBack_ = outer;
  });
}

void TComposerWindow::MemoTextEdited() {
  memoRevision_ = memo_->document()->revision();
  WriteBack(form_.MessageText, [this] { form_.MessageText.SetText(FromQt(memo_->toPlainText())); });
  MemoCaretMoved();
}

void TComposerWindow::MemoCaretMoved() {
  // Qt tells of the caret's move before the edit that moved it: the text goes first.
  if (memo_->document()->revision() != memoRevision_) return MemoTextEdited();
  const TStringList& lines = form_.MessageText.Lines;
  auto toModel = [&](int position) {
    const QTextBlock block = memo_->document()->findBlock(position);
    const int line = block.blockNumber();
    int offset = 0;
    for (int i = 0; i < line && i < lines.Count(); ++i)
      offset += static_cast<int>(lines[i].size()) + 2;
    return offset +
           static_cast<int>(block.text().left(position - block.position()).toUtf8().size());
  };
  const QTextCursor cursor = memo_->textCursor();
  const int start = toModel(cursor.selectionStart());
  const int end = toModel(cursor.selectionEnd());
  TMemo& memo = form_.MessageText;
  WriteBack(memo, [&] {
    memo.SetSelStart(start);
    memo.SetSelLength(end - start);
  });
}

bool TComposerWindow::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget || ending_) return false;
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

// A key event the target did not take goes on to its parents; the model had it already.
bool TComposerWindow::Propagated(QWidget* widget, QEvent* event) {
  if (event == keyEvent_ && keyTarget_ && widget != keyTarget_ && widget->isAncestorOf(keyTarget_))
    return true;
  keyEvent_ = event;
  keyTarget_ = widget;
  return false;
}

// Qt offers every key press as a shortcut override before shortcuts and mnemonics see it: the
// model's key-down handler comes first here. A key it handles is taken from Qt altogether.
bool TComposerWindow::KeyDownFirst(QWidget* widget, QKeyEvent* event) {
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
bool TComposerWindow::KeyPressed(QWidget* widget, QKeyEvent* event) {
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

// A focus move a person made (mouse, Tab, a mnemonic) moves the model's focus, which fires the
// exit event of the control that had it. Moves the window makes itself are the model's own.
void TComposerWindow::FocusedByPerson(QWidget* widget, Qt::FocusReason reason) {
  if (reason != Qt::MouseFocusReason && reason != Qt::TabFocusReason &&
      reason != Qt::BacktabFocusReason && reason != Qt::ShortcutFocusReason)
    return;
  TControl* control = ControlOf(widget);
  if (control && control != form_.ActiveControl())
    frontEnd_.InModel([&] { form_.FocusControl(control); });
}

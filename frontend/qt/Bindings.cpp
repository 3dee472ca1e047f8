#include "frontend/qt/Bindings.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QFrame>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "frontend/qt/QtFrontEnd.h"

namespace {

// The memo's font size in the model when the window is not zoomed.
constexpr int kNormalFontSize = 8;

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

// ---- Text fields whose usual editing keys are the program's shortcuts

// Editing actions whose usual keys the program's shortcuts take (Ctrl+Z zooms, Ctrl+Shift+Z
// too, Ctrl+A adds files), and the keys that do them instead, in every text field.
struct TMovedKey {
  QKeySequence usual;
  QKeySequence instead;
};
const TMovedKey kMovedKeys[] = {
    {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)},
    {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)},
    {QKeySequence(Qt::CTRL | Qt::Key_A), QKeySequence(Qt::CTRL | Qt::Key_Slash)},
};
const QKeySequence& UndoKey() {
  return kMovedKeys[0].instead;
}
const QKeySequence& RedoKey() {
  return kMovedKeys[1].instead;
}
const QKeySequence& SelectAllKey() {
  return kMovedKeys[2].instead;
}

bool Is(const QKeyEvent* event, const QKeySequence& key) {
  return QKeySequence(event->keyCombination()) == key;
}

// A text field's own menu names the keys of its actions after a tab. Where the control hands
// its keys to the program's shortcuts first, a moved key is named instead of the usual one.
void NameTheKeysThatWork(QMenu& menu, bool programShortcuts) {
  if (!programShortcuts) return;
  for (QAction* action : menu.actions()) {
    const QString text = action->text();
    const qsizetype tab = text.indexOf(QChar('\t'));
    if (tab < 0) continue;
    const QKeySequence named(text.mid(tab + 1), QKeySequence::NativeText);
    for (const TMovedKey& moved : kMovedKeys)
      if (named == moved.usual)
        action->setText(text.left(tab + 1) + moved.instead.toString(QKeySequence::NativeText));
  }
}

// The editing keys and the menu of a field (a line or the message area).
template <class Editor>
class TTextField : public Editor {
 public:
  // programShortcuts: whether the control's keys reach the program's shortcuts first.
  explicit TTextField(std::function<bool()> programShortcuts)
      : programShortcuts_(std::move(programShortcuts)) {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (Is(event, UndoKey()))
      Editor::undo();
    else if (Is(event, RedoKey()))
      Editor::redo();
    else if (Is(event, SelectAllKey()))
      Editor::selectAll();
    else
      return Editor::keyPressEvent(event);
    event->accept();
  }
  void contextMenuEvent(QContextMenuEvent* event) override {
    QMenu* menu = Editor::createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    NameTheKeysThatWork(*menu, programShortcuts_());
    menu->popup(event->globalPos());
  }

 private:
  std::function<bool()> programShortcuts_;
};
using TLineField = TTextField<QLineEdit>;
using TMessageField = TTextField<QPlainTextEdit>;

std::function<bool()> TakesShortcuts(const TControl& control) {
  return [&control] { return static_cast<bool>(control.OnKeyDown); };
}

// ---- Sizes of files

QString SizeText(qint64 bytes) {
  if (bytes < 1024) return QStringLiteral("%1 %2").arg(bytes).arg(bytes == 1 ? "byte" : "bytes");
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  return QString::number(value, 'f', 1) + QChar(' ') + QLatin1String(kUnits[unit]);
}

// ---- One binding per kind of control

class TEditBinding : public TBinding {
 public:
  TEditBinding(TBindings& bindings, TEdit& edit)
      : TBinding(bindings, edit, new TLineField(TakesShortcuts(edit))),
        edit_(edit),
        line_(static_cast<QLineEdit*>(widget_)) {
    QObject::connect(line_, &QLineEdit::textEdited, line_, [this](const QString& text) {
      WriteBack([&] { edit_.Text = FromQt(text); });
    });
  }
  void Show(TControlChange what) override {
    TBinding::Show(what);
    if (what != TControlChange::Text || line_->text() == ToQt(edit_.Text)) return;
    line_->setText(ToQt(edit_.Text));
    if (!line_->hasFocus()) line_->setCursorPosition(0);  // a long text shows its start
  }

 private:
  TEdit& edit_;
  QLineEdit* line_;
};

// The model's caret and selection count bytes of the text with CR LF line breaks; Qt's count
// characters with one separator per line break.
class TMemoBinding : public TBinding {
 public:
  TMemoBinding(TBindings& bindings, TMemo& memo)
      : TBinding(bindings, memo, new TMessageField(TakesShortcuts(memo))),
        memo_(memo),
        text_(static_cast<QPlainTextEdit*>(widget_)) {
    text_->setTabChangesFocus(true);
    const bool vertical =
        memo.ScrollBars == TScrollStyle::ssVertical || memo.ScrollBars == TScrollStyle::ssBoth;
    text_->setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
    QObject::connect(text_, &QPlainTextEdit::textChanged, text_, [this] {
      if (!Showing()) TextEdited();
    });
    QObject::connect(text_, &QPlainTextEdit::cursorPositionChanged, text_, [this] {
      if (!Showing()) CaretMoved();
    });
    QObject::connect(text_, &QPlainTextEdit::selectionChanged, text_, [this] {
      if (!Showing()) CaretMoved();
    });
  }
  void Show(TControlChange what) override {
    TBinding::Show(what);
    switch (what) {
      case TControlChange::Lines:
        ShowLines();
        ShowSelection();
        break;
      case TControlChange::Selection:
        ShowSelection();
        break;
      case TControlChange::Font:
        text_->setFont(DesktopFont(memo_.Font));
        break;
      case TControlChange::WordWrap:
        text_->setLineWrapMode(memo_.WordWrap ? QPlainTextEdit::WidgetWidth
                                              : QPlainTextEdit::NoWrap);
        break;
      default:
        break;
    }
  }

 private:
  void ShowLines() {
    QStringList lines;
    for (const std::string& line : memo_.Lines) lines.push_back(ToQt(line));
    const QString text = lines.join(QChar('\n'));
    if (text_->toPlainText() != text) text_->setPlainText(text);
    revision_ = text_->document()->revision();
  }
  void ShowSelection() {
    auto toQt = [&](int offset) {
      int line = 0;
      while (line + 1 < memo_.Lines.Count() &&
             offset > static_cast<int>(memo_.Lines[line].size()) + 1) {
        offset -= static_cast<int>(memo_.Lines[line].size()) + 2;
        ++line;
      }
      if (memo_.Lines.Count() == 0) return 0;
      const std::string& text = memo_.Lines[line];
      const int bytes = std::clamp(offset, 0, static_cast<int>(text.size()));
      return text_->document()->findBlockByNumber(line).position() +
             static_cast<int>(ToQt(text.substr(0, static_cast<std::size_t>(bytes))).size());
    };
    QTextCursor cursor = text_->textCursor();
    cursor.setPosition(toQt(memo_.SelStart()));
    if (memo_.SelLength() > 0)
      cursor.setPosition(toQt(memo_.SelStart() + memo_.SelLength()), QTextCursor::KeepAnchor);
    text_->setTextCursor(cursor);
  }
  void TextEdited() {
    revision_ = text_->document()->revision();
    WriteBack([this] { memo_.SetText(FromQt(text_->toPlainText())); });
    CaretMoved();
  }
  void CaretMoved() {
    // Qt tells of the caret's move before the edit that moved it: the text goes first.
    if (text_->document()->revision() != revision_) return TextEdited();
    const TStringList& lines = memo_.Lines;
    auto toModel = [&](int position) {
      const QTextBlock block = text_->document()->findBlock(position);
      const int line = block.blockNumber();
      int offset = 0;
      for (int i = 0; i < line && i < lines.Count(); ++i)
        offset += static_cast<int>(lines[i].size()) + 2;
      return offset +
             static_cast<int>(block.text().left(position - block.position()).toUtf8().size());
    };
    const QTextCursor cursor = text_->textCursor();
    const int start = toModel(cursor.selectionStart());
    const int end = toModel(cursor.selectionEnd());
    WriteBack([&] {
      memo_.SetSelStart(start);
      memo_.SetSelLength(end - start);
    });
  }

  TMemo& memo_;
  QPlainTextEdit* text_;
  int revision_ = 0;  // the document revision the model holds
};

class TCheckBoxBinding : public TBinding {
 public:
  TCheckBoxBinding(TBindings& bindings, TCheckBox& box)
      : TBinding(bindings, box, new QCheckBox(bindings.Caption(box.Caption))),
        box_(box),
        check_(static_cast<QCheckBox*>(widget_)) {
    QObject::connect(check_, &QCheckBox::clicked, check_,
                     [this](bool checked) { WriteBack([&] { box_.Checked = checked; }); });
  }
  void Show(TControlChange what) override {
    TBinding::Show(what);
    if (what == TControlChange::Checked) check_->setChecked(box_.Checked);
    if (what == TControlChange::Caption) check_->setText(bindings_.Caption(box_.Caption));
  }

 private:
  TCheckBox& box_;
  QCheckBox* check_;
};

class TComboBoxBinding : public TBinding {
 public:
  TComboBoxBinding(TBindings& bindings, TComboBox& combo)
      : TBinding(bindings, combo, new QComboBox),
        combo_(combo),
        box_(static_cast<QComboBox*>(widget_)) {
    box_->setEditable(true);
    box_->setLineEdit(new TLineField(TakesShortcuts(combo)));
    box_->setInsertPolicy(QComboBox::NoInsert);
    QObject::connect(box_, &QComboBox::editTextChanged, box_, [this](const QString& text) {
      WriteBack([&] { combo_.Text = FromQt(text); });
    });
  }
  std::vector<QObject*> Targets() const override { return {box_, box_->lineEdit()}; }
  void SetSpokenName(const QString& name) override {
    TBinding::SetSpokenName(name);
    box_->lineEdit()->setAccessibleName(name);
  }
  void Show(TControlChange what) override {
    TBinding::Show(what);
    if (what == TControlChange::Items) {
      box_->clear();
      for (const std::string& item : combo_.Items) box_->addItem(ToQt(item));
    }
    if ((what == TControlChange::Items || what == TControlChange::Text) &&
        box_->currentText() != ToQt(combo_.Text))
      box_->setEditText(ToQt(combo_.Text));
  }

 private:
  TComboBox& combo_;
  QComboBox* box_;
};

class TListBoxBinding : public TBinding {
 public:
  TListBoxBinding(TBindings& bindings, TListBox& list)
      : TBinding(bindings, list, new QListWidget),
        list_(list),
        widget_list_(static_cast<QListWidget*>(widget_)) {
    QObject::connect(widget_list_, &QListWidget::currentRowChanged, widget_list_,
                     [this](int row) { WriteBack([&] { list_.ItemIndex = row; }); });
  }
  void Show(TControlChange what) override {
    TBinding::Show(what);
    if (what == TControlChange::Items) {
      widget_list_->clear();
      for (const std::string& item : list_.Items) widget_list_->addItem(ToQt(item));
    }
    if (what == TControlChange::Items || what == TControlChange::ItemIndex)
      widget_list_->setCurrentRow(list_.ItemIndex);
  }

 private:
  TListBox& list_;
  QListWidget* widget_list_;
};

class TButtonBinding : public TBinding {
 public:
  TButtonBinding(TBindings& bindings, TButton& button)
      : TBinding(bindings, button, new QPushButton(bindings.Caption(button.Caption))),
        button_(button),
        push_(static_cast<QPushButton*>(widget_)) {
    QObject::connect(push_, &QPushButton::clicked, push_,
                     [this] { InModel([this] { button_.Click(); }); });
  }
  void Show(TControlChange what) override {
    TBinding::Show(what);
    if (what == TControlChange::Caption) push_->setText(bindings_.Caption(button_.Caption));
  }

 private:
  TButton& button_;
  QPushButton* push_;
};

class TPageControlBinding : public TBinding {
 public:
  TPageControlBinding(TBindings& bindings, TPageControl& pages)
      : TBinding(bindings, pages, new QTabWidget),
        pages_(pages),
        tabs_(static_cast<QTabWidget*>(widget_)) {
    tabs_->setTabPosition(pages.TabsAtBottom ? QTabWidget::South : QTabWidget::North);
    QObject::connect(tabs_, &QTabWidget::currentChanged, tabs_, [this](int index) {
      if (index < 0) return;
      WriteBack([&] { pages_.ActivePage = pages_.Pages()[static_cast<std::size_t>(index)]; });
    });
  }
  QTabWidget* Tabs() const { return tabs_; }
  std::vector<QObject*> Targets() const override { return {tabs_, tabs_->tabBar()}; }
  void SetSpokenName(const QString& name) override {
    TBinding::SetSpokenName(name);
    tabs_->tabBar()->setAccessibleName(name);
  }
  void Show(TControlChange what) override {
    TBinding::Show(what);
    if (what != TControlChange::ActivePage || !pages_.ActivePage) return;
    const auto& all = pages_.Pages();
    const auto found = std::find(all.begin(), all.end(), pages_.ActivePage.Get());
    if (found != all.end()) tabs_->setCurrentIndex(static_cast<int>(found - all.begin()));
  }

 private:
  TPageControl& pages_;
  QTabWidget* tabs_;
};

// A page of the page control: an empty widget the window lays out, with its tab.
class TTabSheetBinding : public TBinding {
 public:
  TTabSheetBinding(TBindings& bindings, TTabSheet& sheet, QTabWidget& tabs)
      : TBinding(bindings, sheet, new QWidget), sheet_(sheet), tabs_(tabs) {
    tabs_.addTab(widget_, bindings.Caption(sheet.Caption));
  }
  void Show(TControlChange what) override {
    if (what == TControlChange::Visible) return;  // a page is shown by its tab
    TBinding::Show(what);
    if (what == TControlChange::Caption)
      tabs_.setTabText(tabs_.indexOf(widget_), bindings_.Caption(sheet_.Caption));
  }

 private:
  TTabSheet& sheet_;
  QTabWidget& tabs_;
};

class TStatusBarBinding : public TBinding {
 public:
  TStatusBarBinding(TBindings& bindings, TStatusBar& status)
      : TBinding(bindings, status, new QLabel),
        status_(status),
        label_(static_cast<QLabel*>(widget_)) {}
  void Show(TControlChange what) override {
    TBinding::Show(what);
    if (what != TControlChange::Text) return;
    QString text = ToQt(status_.SimpleText);
    text.replace(QChar('\n'), QChar(' '));
    label_->setText(text);
  }

 private:
  TStatusBar& status_;
  QLabel* label_;
};

class TProgressBarBinding : public TBinding {
 public:
  TProgressBarBinding(TBindings& bindings, TProgressBar& bar)
      : TBinding(bindings, bar, new QProgressBar),
        bar_(bar),
        progress_(static_cast<QProgressBar*>(widget_)) {
    progress_->setTextVisible(false);
    progress_->setRange(bar.Min, bar.Max);
  }
  void Show(TControlChange what) override {
    TBinding::Show(what);
    if (what != TControlChange::Position) return;
    progress_->setRange(bar_.Min, bar_.Max);
    progress_->setValue(bar_.Position());
  }

 private:
  TProgressBar& bar_;
  QProgressBar* progress_;
};

// The logo: the initials and the product line, a click area. Its blue is the light one on a
// dark palette, so that it stays readable whatever the desktop's colours.
class TLogo : public QFrame {
 public:
  explicit TLogo(std::function<void()> onClick) : onClick_(std::move(onClick)) {
    initials_ = new QLabel(QStringLiteral("TV"));
    QFont big = initials_->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 2);
    initials_->setFont(big);
    product_ = new QLabel(QStringLiteral("Tarvik 2.0"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    for (QLabel* label : {initials_, product_}) {
      label->setAlignment(Qt::AlignCenter);
      layout->addWidget(label);
    }
    setCursor(Qt::PointingHandCursor);
    Tint();
  }

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton) onClick_();
  }
  void changeEvent(QEvent* event) override {
    QFrame::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) Tint();
  }

 private:
  void Tint() {
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    const QColor blue = dark ? QColor(0x8f, 0xb4, 0xff) : QColor(0x1a, 0x4f, 0xb4);
    for (QLabel* label : {initials_, product_}) {
      QPalette tinted = label->palette();
      tinted.setColor(QPalette::WindowText, blue);
      label->setPalette(tinted);
    }
  }

  std::function<void()> onClick_;
  QLabel* initials_;
  QLabel* product_;
};

class TImageBinding : public TBinding {
 public:
  TImageBinding(TBindings& bindings, TImage& image)
      : TBinding(bindings, image, new TLogo([this] { InModel([this] { image_.Click(); }); })),
        image_(image) {}

 private:
  TImage& image_;
};

// The form itself: the window's caption and state. Its focus is shown by TBindings, last.
class TFormBinding : public TBinding {
 public:
  TFormBinding(TBindings& bindings, TForm& form, QWidget& window)
      : TBinding(bindings, form, &window), form_(form) {}
  void Show(TControlChange what) override {
    if (what == TControlChange::Caption) widget_->setWindowTitle(ToQt(form_.Caption));
    if (what != TControlChange::WindowState) return;
    const bool maximized = form_.WindowState == TWindowState::wsMaximized;
    if (!widget_->isVisible())
      widget_->setWindowState(maximized ? Qt::WindowMaximized : Qt::WindowNoState);
    else if (maximized)
      widget_->showMaximized();
    else
      widget_->showNormal();
  }

 private:
  TForm& form_;
};

}  // namespace

// ---- TBinding

TBinding::TBinding(TBindings& bindings, TControl& control, QWidget* widget)
    : bindings_(bindings), control_(control), widget_(widget) {}

std::vector<QObject*> TBinding::Targets() const {
  return {widget_};
}

void TBinding::SetSpokenName(const QString& name) {
  widget_->setAccessibleName(name);
}

void TBinding::Show(TControlChange what) {
  if (what == TControlChange::Enabled) widget_->setEnabled(control_.Enabled);
  if (what == TControlChange::Visible) widget_->setVisible(control_.Visible);
}

void TBinding::WriteBack(const std::function<void()>& write) {
  if (!Showing() && !bindings_.Stopped()) bindings_.WriteBack(control_, write);
}

void TBinding::InModel(const std::function<void()>& call) {
  if (!bindings_.Stopped()) bindings_.FrontEnd().InModel(call);
}

bool TBinding::Showing() const {
  return bindings_.Showing();
}

// ---- TFileListBinding

namespace {

// The file list's view: Delete removes the selected entries.
class TFileTree : public QTreeWidget {
 public:
  std::function<void()> OnDelete;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier &&
        !selectedItems().isEmpty()) {
      OnDelete();
      event->accept();
      return;
    }
    QTreeWidget::keyPressEvent(event);
  }
};

}  // namespace

TFileListBinding::TFileListBinding(TBindings& bindings, TListBox& list)
    : TBinding(bindings, list, new TFileTree),
      list_(list),
      tree_(static_cast<QTreeWidget*>(widget_)),
      summary_(new QLabel) {
  tree_->setColumnCount(2);
  tree_->setHeaderLabels({QStringLiteral("File"), QStringLiteral("Size")});
  tree_->setRootIsDecorated(false);
  tree_->setUniformRowHeights(true);
  tree_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tree_->header()->setStretchLastSection(false);
  tree_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  tree_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  summary_->setObjectName(QStringLiteral("AttachedFilesSummary"));
  static_cast<TFileTree*>(tree_)->OnDelete = [this] { RemoveSelected(); };
  QObject::connect(tree_, &QTreeWidget::currentItemChanged, tree_, [this](QTreeWidgetItem* item) {
    const int row = item ? tree_->indexOfTopLevelItem(item) : -1;
    WriteBack([&] { list_.ItemIndex = row; });
  });
}

void TFileListBinding::Show(TControlChange what) {
  TBinding::Show(what);
  if (what == TControlChange::Items) ShowItems();
  if (what != TControlChange::Items && what != TControlChange::ItemIndex) return;
  QTreeWidgetItem* current = tree_->topLevelItem(list_.ItemIndex);
  tree_->setCurrentItem(current);
  if (!current) tree_->clearSelection();
}

void TFileListBinding::ShowItems() {
  tree_->clear();
  qint64 total = 0;
  int missing = 0;
  for (const std::string& path : list_.Items) {
    const QString full = ToQt(path);
    const QFileInfo file(full);
    auto* item = new QTreeWidgetItem(tree_);
    item->setText(0, file.fileName().isEmpty() ? full : file.fileName());
    if (file.isFile()) {
      item->setText(1, SizeText(file.size()));
      total += file.size();
    } else {
      item->setText(1, QStringLiteral("not found"));
      ++missing;
    }
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    item->setToolTip(0, full);
    item->setToolTip(1, full);
  }
  const int count = list_.Items.Count();
  QString summary = count == 0   ? QStringLiteral("No files attached.")
                    : count == 1 ? QStringLiteral("1 file, %1").arg(SizeText(total))
                                 : QStringLiteral("%1 files, %2").arg(count).arg(SizeText(total));
  if (missing > 0) summary += QStringLiteral(" (%1 not found)").arg(missing);
  summary_->setText(summary);
}

// The selected entries go, the last first so that the rows of the others stay; the entry that
// followed the first of them is selected next.
void TFileListBinding::RemoveSelected() {
  std::vector<int> rows;
  for (QTreeWidgetItem* item : tree_->selectedItems())
    rows.push_back(tree_->indexOfTopLevelItem(item));
  std::sort(rows.rbegin(), rows.rend());
  if (rows.empty()) return;
  InModel([&] {
    for (int row : rows)
      if (row >= 0 && row < list_.Items.Count()) list_.Items.Delete(row);
    list_.ItemIndex = std::min(rows.back(), list_.Items.Count() - 1);
  });
}

// ---- TBindings

TBindings::TBindings(TForm& form, QWidget& window, TQtFrontEnd& frontEnd)
    : form_(form),
      window_(window),
      frontEnd_(frontEnd),
      formBinding_(std::make_unique<TFormBinding>(*this, form, window)) {}

TBindings::~TBindings() {
  form_.OnControlChanged = nullptr;
}

QWidget* TBindings::Make(TControl& control) {
  std::unique_ptr<TBinding> binding;
  if (auto* edit = dynamic_cast<TEdit*>(&control))
    binding = std::make_unique<TEditBinding>(*this, *edit);
  else if (auto* memo = dynamic_cast<TMemo*>(&control))
    binding = std::make_unique<TMemoBinding>(*this, *memo);
  else if (auto* box = dynamic_cast<TCheckBox*>(&control))
    binding = std::make_unique<TCheckBoxBinding>(*this, *box);
  else if (auto* combo = dynamic_cast<TComboBox*>(&control))
    binding = std::make_unique<TComboBoxBinding>(*this, *combo);
  else if (auto* list = dynamic_cast<TListBox*>(&control))
    binding = std::make_unique<TListBoxBinding>(*this, *list);
  else if (auto* button = dynamic_cast<TButton*>(&control))
    binding = std::make_unique<TButtonBinding>(*this, *button);
  else if (auto* pages = dynamic_cast<TPageControl*>(&control))
    binding = std::make_unique<TPageControlBinding>(*this, *pages);
  else if (auto* status = dynamic_cast<TStatusBar*>(&control))
    binding = std::make_unique<TStatusBarBinding>(*this, *status);
  else if (auto* bar = dynamic_cast<TProgressBar*>(&control))
    binding = std::make_unique<TProgressBarBinding>(*this, *bar);
  else if (auto* image = dynamic_cast<TImage*>(&control))
    binding = std::make_unique<TImageBinding>(*this, *image);
  else if (auto* sheet = dynamic_cast<TTabSheet*>(&control)) {
    auto* pages = control.Parent ? BindingOf<TPageControlBinding>(*control.Parent) : nullptr;
    if (pages) binding = std::make_unique<TTabSheetBinding>(*this, *sheet, *pages->Tabs());
  }
  if (!binding) return nullptr;
  QWidget* widget = binding->Widget();
  Add(std::move(binding));
  return widget;
}

TFileListBinding& TBindings::MakeFileList(TListBox& list) {
  auto binding = std::make_unique<TFileListBinding>(*this, list);
  TFileListBinding& made = *binding;
  Add(std::move(binding));
  return made;
}

QString TBindings::Caption(const std::string& caption) const {
  const auto found = captions_.find(caption);
  return ToQt(found != captions_.end() ? found->second : caption);
}

void TBindings::Add(std::unique_ptr<TBinding> binding) {
  TControl& control = binding->Control();
  QWidget* widget = binding->Widget();
  widget->setObjectName(QString::fromStdString(control.Name));
  if (!control.Hint.empty()) {
    widget->setToolTip(ToQt(control.Hint));
    widget->setAccessibleDescription(ToQt(control.Hint));
  }
  for (QObject* target : binding->Targets()) controls_[target] = &control;
  byControl_[&control] = binding.get();
  bindings_.push_back(std::move(binding));
}

TBinding* TBindings::Find(const TControl& control) const {
  if (&control == &form_) return formBinding_.get();
  const auto found = byControl_.find(&control);
  return found == byControl_.end() ? nullptr : found->second;
}

QWidget* TBindings::WidgetOf(const TControl& control) const {
  if (&control == &form_) return nullptr;
  const TBinding* binding = Find(control);
  return binding ? binding->Widget() : nullptr;
}

TControl* TBindings::ControlOf(const QObject* object) const {
  const auto found = controls_.find(object);
  return found == controls_.end() ? nullptr : found->second;
}

void TBindings::ShowWholeStateAndObserve() {
  showing_ = true;
  formBinding_->Show(TControlChange::Caption);
  for (const auto& binding : bindings_)
    for (TControlChange what :
         {TControlChange::Text, TControlChange::Lines, TControlChange::Items,
          TControlChange::ItemIndex, TControlChange::Checked, TControlChange::Caption,
          TControlChange::Enabled, TControlChange::Font, TControlChange::WordWrap,
          TControlChange::Selection, TControlChange::Position, TControlChange::ActivePage})
      binding->Show(what);
  showing_ = false;
  form_.OnControlChanged = [this](TControl& control, TControlChange what) {
    OnModelChanged(control, what);
  };
}

void TBindings::OnModelChanged(TControl& control, TControlChange what) {
  if (stopped_ || &control == writingBack_) return;
  if (changed_.insert({&control, what}).second) changes_.emplace_back(&control, what);
  // A change made outside any call from the window (a test, a hosted slice before the window
  // existed) is shown from Qt's loop.
  if (!flushQueued_) {
    flushQueued_ = true;
    QTimer::singleShot(0, &window_, [this] { Flush(); });
  }
}

void TBindings::Flush() {
  flushQueued_ = false;
  if (stopped_ || changes_.empty()) return;
  std::vector<std::pair<TControl*, TControlChange>> changes;
  changes.swap(changes_);
  changed_.clear();
  showing_ = true;
  bool focus = false;
  for (const auto& [control, what] : changes) {
    if (what == TControlChange::Focus)
      focus = true;
    else if (TBinding* binding = Find(*control))
      binding->Show(what);
  }
  if (focus) ShowFocus();  // last: the target may just have been enabled
  showing_ = false;
}

void TBindings::ShowFocus() {
  TControl* active = form_.ActiveControl();
  QWidget* widget = active ? WidgetOf(*active) : nullptr;
  if (widget && widget->focusPolicy() != Qt::NoFocus && !widget->hasFocus())
    widget->setFocus(Qt::OtherFocusReason);
}

void TBindings::Stop() {
  stopped_ = true;
}

void TBindings::WriteBack(TControl& control, const std::function<void()>& write) {
  frontEnd_.InModel([&] {
    TControl* outer = writingBack_;
    writingBack_ = &control;
    write();
    writingBack_ = outer;
  });
}

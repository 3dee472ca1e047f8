#include "frontend/qt/ComposerWindow.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QComboBox>
#include <QDropEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "frontend/qt/QtFrontEnd.h"
#include "frontend/qt/RecipientCompletion.h"

namespace {

// Labels of the fields; the model's controls carry no label of their own. Alt and the marked
// letter move to the field. The mnemonics of everything seen together (a page, the page tabs,
// the message frame and the buttons below) differ; Alt+X is the program's close key.
const std::map<std::string, const char*>& FieldLabels() {
  static const std::map<std::string, const char*> labels = {
      {"from", "&From:"},
      {"sendto", "&To:"},
      {"cc", "&Cc:"},
      {"bcc", "&Bcc:"},
      {"subject", "S&ubject:"},
      {"SMTPServer", "SMTP Ser&ver:"},
      {"SignFile", "S&ign File:"},
      {"tls", "&TLS:"},
      {"user", "Use&r:"},
      {"passwordcmd", "&Password command:"},
      {"auth", "Aut&hentication:"},
  };
  return labels;
}

// The captions whose mnemonics move for that reason (the model keeps its own captions).
std::map<std::string, std::string> ShownCaptions() {
  return {
      {"&Standard", "Sta&ndard"},
      {"&Settings", "S&ettings"},
      {"&Abort", "Ab&ort"},
      {"&Clear", "C&lear"},
      {"&Add file", "Add &file"},
      {"&Save settings automatically on exit.", "Save settings a&utomatically on exit."},
      {"&Save settings", "Save settin&gs"},
  };
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

}  // namespace

TComposerWindow::TComposerWindow(TForm1& form, TQtFrontEnd& frontEnd)
    : form_(form),
      frontEnd_(frontEnd),
      bindings_(form, *this, frontEnd),
      input_(form, bindings_, frontEnd) {
  setObjectName(QString::fromStdString(form.Name));
  bindings_.ShowCaptionsAs(ShownCaptions());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 0);
  layout->addWidget(BuildPages());

  auto* frame = new QGroupBox(QStringLiteral(" &Message "));
  auto* frameLayout = new QVBoxLayout(frame);
  QWidget* memo = bindings_.Make(form.MessageText);
  memo->setAccessibleName(SpokenName(frame->title()));
  frameLayout->addWidget(memo);
  layout->addWidget(frame, 1);

  auto* row = new QHBoxLayout;
  QWidget* progress = bindings_.Make(form.ProgressBar1);
  progress->setAccessibleName(QStringLiteral("Send progress"));
  row->addWidget(progress, 1);
  row->addWidget(bindings_.Make(form.SendBtn));
  row->addWidget(bindings_.Make(form.ClearBtn));
  layout->addLayout(row);

  statusBar_ = new QStatusBar;
  statusBar_->setSizeGripEnabled(true);
  QWidget* status = bindings_.Make(form.StatusBar1);
  status->setAccessibleName(QStringLiteral("Status"));
  statusBar_->addWidget(status, 1);
  layout->addWidget(statusBar_);

  PlaceUnplacedControls();
  // A button is read out by its caption.
  for (const auto& binding : bindings_.All())
    if (auto* button = qobject_cast<QAbstractButton*>(binding->Widget());
        button && button->accessibleName().isEmpty())
      binding->SetSpokenName(SpokenName(button->text()));
  input_.Watch(*this);
  SetTabOrder();
  CompleteRecipients();
  AcceptFileDrops();
  bindings_.ShowWholeStateAndObserve();
}

// The widgets go before their bindings, and what they signal on the way is no person's doing.
TComposerWindow::~TComposerWindow() {
  form_.OnAmbiguousNick = nullptr;
  bindings_.Stop();
  input_.Stop();
  qDeleteAll(findChildren<QWidget*>(Qt::FindDirectChildrenOnly));
}

// ---- Layout

QTabWidget* TComposerWindow::BuildPages() {
  auto* pages = bindings_.Make<QTabWidget>(form_.PageControl1);
  bindings_.BindingOf<TBinding>(form_.PageControl1)->SetSpokenName(QStringLiteral("Pages"));
  for (TTabSheet* sheet : form_.PageControl1.Pages()) {
    QWidget* page = bindings_.Make(*sheet);
    if (sheet == &form_.TabSheet1)
      BuildStandardPage(page);
    else if (sheet == &form_.TabSheet2)
      BuildAttachmentsPage(page);
    else if (sheet == &form_.TabSheet3)
      BuildSettingsPage(page);
    else
      new QFormLayout(page);
  }
  return pages;
}

QLabel* TComposerWindow::Labelled(TControl& control, QWidget* field) {
  auto* label = new QLabel(LabelFor(control));
  label->setBuddy(field);
  bindings_.BindingOf<TBinding>(control)->SetSpokenName(SpokenName(label->text()));
  return label;
}

// The header fields one below the other, the logo beside the first ones.
void TComposerWindow::BuildStandardPage(QWidget* page) {
  auto* grid = new QGridLayout(page);
  int row = 0;
  for (const char* name : {"from", "sendto", "cc", "bcc", "subject"}) {
    auto* edit = dynamic_cast<TEdit*>(form_.FindControl(name));
    if (!edit) continue;
    QWidget* field = bindings_.Make(*edit);
    grid->addWidget(Labelled(*edit, field), row, 0);
    grid->addWidget(field, row, 1);
    ++row;
  }
  QWidget* logo = bindings_.Make(form_.Image1);
  logo->setAccessibleName(QStringLiteral("Tarvik logo"));
  grid->addWidget(logo, 0, 2, 3, 1, Qt::AlignTop);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(row, 1);
}

void TComposerWindow::BuildAttachmentsPage(QWidget* page) {
  auto* grid = new QGridLayout(page);
  TFileListBinding& files = bindings_.MakeFileList(form_.AttachedFiles);
  files.Widget()->setAccessibleName(QStringLiteral("Attached files"));
  grid->addWidget(files.Widget(), 0, 0, 3, 1);
  grid->addWidget(bindings_.Make(form_.AddFileBtn), 0, 1);
  grid->addWidget(bindings_.Make(form_.RemoveFileBtn), 1, 1);
  grid->addWidget(files.Summary(), 3, 0, 1, 2);
  grid->addWidget(bindings_.Make(form_.AutoDeleteAttached), 4, 0, 1, 2);
  grid->setColumnStretch(0, 1);
  grid->setRowStretch(2, 1);
}

void TComposerWindow::BuildSettingsPage(QWidget* page) {
  auto* form = new QFormLayout(page);
  // The fields take the page's width (some styles leave them at their hint, which clips).
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  QWidget* server = bindings_.Make(form_.SMTPServer);
  form->addRow(Labelled(form_.SMTPServer, server), server);
  auto* signRow = new QHBoxLayout;
  QWidget* sign = bindings_.Make(form_.SignFile);
  signRow->addWidget(sign, 1);
  signRow->addWidget(bindings_.Make(form_.BrowseBtn));
  form->addRow(Labelled(form_.SignFile, sign), signRow);
  for (TControl* control :
       {static_cast<TControl*>(&form_.AutoSave), static_cast<TControl*>(&form_.CloseWhenSent),
        static_cast<TControl*>(&form_.SaveSettingsBtn)})
    form->addRow(bindings_.Make(*control));
}

// Controls the layout above does not know (added to the model later, such as further settings)
// still appear: on their page when they have one, with a label for a text field.
void TComposerWindow::PlaceUnplacedControls() {
  for (const auto& owned : form_.Controls()) {
    TControl& control = *owned;
    if (bindings_.WidgetOf(control)) continue;
    auto* sheet = dynamic_cast<TTabSheet*>(control.Parent);
    QWidget* page = sheet ? bindings_.WidgetOf(*sheet) : nullptr;
    if (!page) continue;
    QWidget* widget = bindings_.Make(control);
    if (!widget) continue;
    auto* layout = qobject_cast<QFormLayout*>(page->layout());
    if (!layout)
      page->layout()->addWidget(widget);
    else if (qobject_cast<QLineEdit*>(widget) || qobject_cast<QComboBox*>(widget))
      layout->addRow(Labelled(control, widget), widget);
    else
      layout->addRow(widget);
  }
}

// The natural order: the fields of each page, the page tabs, the message, the buttons.
void TComposerWindow::SetTabOrder() {
  tabOrder_.clear();
  for (TTabSheet* sheet : form_.PageControl1.Pages())
    for (const auto& owned : form_.Controls()) {
      QWidget* widget = owned->Parent == sheet ? WidgetOf(*owned) : nullptr;
      if (widget && widget->focusPolicy() != Qt::NoFocus) tabOrder_.push_back(widget);
    }
  tabOrder_.push_back(static_cast<QTabWidget*>(WidgetOf(form_.PageControl1))->tabBar());
  for (TControl* control :
       {static_cast<TControl*>(&form_.MessageText), static_cast<TControl*>(&form_.SendBtn),
        static_cast<TControl*>(&form_.ClearBtn)})
    tabOrder_.push_back(WidgetOf(*control));
  for (std::size_t i = 1; i < tabOrder_.size(); ++i)
    QWidget::setTabOrder(tabOrder_[i - 1], tabOrder_[i]);
}

// Qt's focus chain runs on from the last control into the page control, whose tab bar takes
// the focus: Tab would circle through the tabs, the message and the buttons and never come
// back to the fields. The window walks its own order, round, over what is enabled and shown.
bool TComposerWindow::focusNextPrevChild(bool next) {
  QWidget* current = focusWidget();
  const auto at = std::find_if(tabOrder_.begin(), tabOrder_.end(), [&](QWidget* widget) {
    return current && (widget == current || widget->isAncestorOf(current));
  });
  if (at == tabOrder_.end()) return QWidget::focusNextPrevChild(next);
  const std::size_t count = tabOrder_.size();
  std::size_t index = static_cast<std::size_t>(at - tabOrder_.begin());
  for (std::size_t step = 1; step < count; ++step) {
    index = next ? (index + 1) % count : (index + count - 1) % count;
    QWidget* candidate = tabOrder_[index];
    if (candidate->isVisible() && candidate->isEnabled() &&
        (candidate->focusPolicy() & Qt::TabFocus)) {
      candidate->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
      return true;
    }
  }
  return true;
}

// ---- Completion of the recipient fields

void TComposerWindow::CompleteRecipients() {
  for (TEdit* field : form_.RecipientFields())
    if (auto* line = qobject_cast<QLineEdit*>(WidgetOf(*field)))
      completions_[field] = new TRecipientCompletion(form_, *field, *line, frontEnd_);
  // The field keeps the focus; the popup opens once the focus move has settled.
  form_.OnAmbiguousNick = [this](TEdit& field, const std::string& typed,
                                 const std::vector<TForm1::TBookEntry>& candidates) {
    const auto found = completions_.find(&field);
    if (found == completions_.end()) return;
    TRecipientCompletion* completion = found->second;
    QTimer::singleShot(0, completion, [completion, typed, candidates] {
      completion->OfferCandidates(typed, candidates);
    });
  };
}

// ---- Files dropped on the window

namespace {

// The local files a drag carries (a file manager's text/uri-list of file:// addresses); empty
// when it carries anything else, which then goes to the widget under the mouse as before.
QStringList DroppedFiles(const QMimeData* data) {
  QStringList files;
  if (!data || !data->hasUrls()) return files;
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile()) return {};
    files.push_back(url.toLocalFile());
  }
  return files;
}

}  // namespace

void TComposerWindow::AcceptFileDrops() {
  setAcceptDrops(true);
  installEventFilter(this);
  for (QWidget* widget : findChildren<QWidget*>())
    if (widget->acceptDrops()) widget->installEventFilter(this);
}

bool TComposerWindow::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDragMoveEvent*>(event);
      if (ending_ || DroppedFiles(drag->mimeData()).isEmpty()) return false;
      drag->setDropAction(Qt::CopyAction);
      drag->accept();
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      const QStringList files = DroppedFiles(drop->mimeData());
      if (ending_ || files.isEmpty()) return false;
      drop->setDropAction(Qt::CopyAction);
      drop->accept();
      Attach(files);
      return true;
    }
    default:
      return QWidget::eventFilter(watched, event);
  }
}

// Dropped files join the attachments as the Add button's do; a folder is no file to attach.
void TComposerWindow::Attach(const QStringList& files) {
  frontEnd_.InModel([&] {
    QStringList folders;
    for (const QString& file : files) {
      if (QFileInfo(file).isDir())
        folders.push_back(QFileInfo(file).fileName());
      else
        form_.AttachedFiles.Items.Add(FromQt(file));
    }
    if (!folders.isEmpty())
      form_.SetStatusNotice("Folders are not attached: " + FromQt(folders.join(", ")));
  });
}

// ---- Showing and closing

void TComposerWindow::PaintStatusNow() {
  Flush();
  WidgetOf(form_.StatusBar1)->repaint();
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
  bindings_.Stop();
  input_.Stop();
  hide();
}

// The close button and the window manager close as Alt+X does: text that would be lost is asked
// about first, and the window stays when the person says so.
void TComposerWindow::closeEvent(QCloseEvent* event) {
  bool closes = ending_ || form_.Closed();
  if (!closes) frontEnd_.InModel([&] { closes = form_.RequestClose(); });
  if (closes)
    event->accept();
  else
    event->ignore();
}

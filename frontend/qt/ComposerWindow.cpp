#include "frontend/qt/ComposerWindow.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <map>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "frontend/qt/QtFrontEnd.h"

namespace {

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

}  // namespace

TComposerWindow::TComposerWindow(TForm1& form, TQtFrontEnd& frontEnd)
    : form_(form),
      frontEnd_(frontEnd),
      bindings_(form, *this, frontEnd),
      input_(form, bindings_, frontEnd) {
  setObjectName(QString::fromStdString(form.Name));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 0);
  layout->addWidget(BuildPages());

  auto* frame = new QGroupBox(QStringLiteral(" Message "));
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
  input_.WatchBoundWidgets();
  SetTabOrder();
  bindings_.ShowWholeStateAndObserve();
}

// The widgets go before their bindings, and what they signal on the way is no person's doing.
TComposerWindow::~TComposerWindow() {
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

void TComposerWindow::BuildStandardPage(QWidget* page) {
  auto* grid = new QGridLayout(page);
  int row = 0;
  for (TEdit* edit : {&form_.from, &form_.sendto, &form_.subject}) {
    QWidget* field = bindings_.Make(*edit);
    grid->addWidget(Labelled(*edit, field), row, 0);
    grid->addWidget(field, row, 1);
    ++row;
  }
  QWidget* logo = bindings_.Make(form_.Image1);
  logo->setAccessibleName(QStringLiteral("Tarvik logo"));
  grid->addWidget(logo, 0, 2, 3, 1);
  grid->setColumnStretch(1, 1);
}

void TComposerWindow::BuildAttachmentsPage(QWidget* page) {
  auto* grid = new QGridLayout(page);
  QWidget* list = bindings_.Make(form_.AttachedFiles);
  list->setAccessibleName(QStringLiteral("Attached files"));
  grid->addWidget(list, 0, 0, 3, 1);
  grid->addWidget(bindings_.Make(form_.AddFileBtn), 0, 1);
  grid->addWidget(bindings_.Make(form_.RemoveFileBtn), 1, 1);
  grid->addWidget(bindings_.Make(form_.AutoDeleteAttached), 3, 0, 1, 2);
  grid->setColumnStretch(0, 1);
}

void TComposerWindow::BuildSettingsPage(QWidget* page) {
  auto* form = new QFormLayout(page);
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
  std::vector<QWidget*> order;
  for (TTabSheet* sheet : form_.PageControl1.Pages())
    for (const auto& owned : form_.Controls()) {
      QWidget* widget = owned->Parent == sheet ? WidgetOf(*owned) : nullptr;
      if (widget && widget->focusPolicy() != Qt::NoFocus) order.push_back(widget);
    }
  order.push_back(static_cast<QTabWidget*>(WidgetOf(form_.PageControl1))->tabBar());
  for (TControl* control :
       {static_cast<TControl*>(&form_.MessageText), static_cast<TControl*>(&form_.SendBtn),
        static_cast<TControl*>(&form_.ClearBtn)})
    order.push_back(WidgetOf(*control));
  for (std::size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
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

void TComposerWindow::closeEvent(QCloseEvent* event) {
  if (!ending_ && !form_.Closed()) frontEnd_.InModel([this] { form_.Close(); });
  event->accept();
}

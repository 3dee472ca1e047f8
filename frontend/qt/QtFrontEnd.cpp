#include "frontend/qt/QtFrontEnd.h"

#include <string.h>
#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStringDecoder>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "app/Tarvik2_unit1.h"
#include "frontend/qt/ComposerWindow.h"
#include "platform/Application.h"
#include "platform/EventLoop.h"

namespace {

// Message box types beyond those the program names.
constexpr unsigned kAbortRetryIgnore = 0x02;
constexpr unsigned kYesNoCancel = 0x03;
constexpr unsigned kRetryCancel = 0x05;
constexpr unsigned kIconMask = 0xF0;
constexpr unsigned kIconWarning = 0x30;
constexpr unsigned kIconInformation = 0x40;
constexpr int kIdAbort = 3, kIdRetry = 4, kIdIgnore = 5;

QMessageBox::Icon IconOf(unsigned type) {
  switch (type & kIconMask) {
    case MB_ICONERROR:
      return QMessageBox::Critical;
    case MB_ICONQUESTION:
      return QMessageBox::Question;
    case kIconWarning:
      return QMessageBox::Warning;
    case kIconInformation:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

// The buttons of a box type with the answer each gives; the last one is the answer to Escape
// or closing the box (the safe one).
std::vector<std::pair<QMessageBox::StandardButton, int>> ButtonsOf(unsigned type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
    case kAbortRetryIgnore:
      return {{QMessageBox::Abort, kIdAbort},
              {QMessageBox::Retry, kIdRetry},
              {QMessageBox::Ignore, kIdIgnore}};
    case kYesNoCancel:
      return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_YESNO:
      return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
    case kRetryCancel:
      return {{QMessageBox::Retry, kIdRetry}, {QMessageBox::Cancel, IDCANCEL}};
    default:
      return {{QMessageBox::Ok, IDOK}};
  }
}

// "Text Files|*.txt|All Files|*.*" as Qt's "Text Files (*.txt);;All Files (*)".
QString QtFilter(const std::string& filter) {
  const QStringList parts = ToQt(filter).split(QChar('|'));
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(QChar(';'), QChar(' '));
    patterns.replace(QStringLiteral("*.*"), QStringLiteral("*"));
    filters.push_back(parts[i] + " (" + patterns + ")");
  }
  return filters.join(QStringLiteral(";;"));
}

// A box's text: the program breaks lines with CR.
QString BoxText(const std::string& text) {
  QString result = ToQt(text);
  result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  result.replace(QChar('\r'), QChar('\n'));
  return result;
}

// Qt ends the process with exit(1) when it loses the display (the X server goes away). The
// process-wide objects of the program (the form and what it owns) would then be destroyed after
// the thread's event loop they use: while Qt's loop runs, such an exit ends the process at once,
// after flushing what was written.
bool qtLoopRunning = false;

void EndWithoutTearDown() {
  if (!qtLoopRunning) return;
  std::fflush(nullptr);
  std::_Exit(1);
}

}  // namespace

// ---- Conversions

std::uint16_t VirtualKeyOf(int key) {
  if (key >= Qt::Key_A && key <= Qt::Key_Z)
    return static_cast<std::uint16_t>(0x41 + key - Qt::Key_A);
  if (key >= Qt::Key_0 && key <= Qt::Key_9)
    return static_cast<std::uint16_t>(0x30 + key - Qt::Key_0);
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
    return static_cast<std::uint16_t>(0x70 + key - Qt::Key_F1);
  static const std::map<int, std::uint16_t> keys = {
      {Qt::Key_Backspace, 0x08},     {Qt::Key_Tab, 0x09},      {Qt::Key_Backtab, 0x09},
      {Qt::Key_Return, 0x0D},        {Qt::Key_Enter, 0x0D},    {Qt::Key_Shift, VK_SHIFT},
      {Qt::Key_Control, VK_CONTROL}, {Qt::Key_Alt, VK_MENU},   {Qt::Key_Pause, 0x13},
      {Qt::Key_CapsLock, 0x14},      {Qt::Key_Escape, 0x1B},   {Qt::Key_Space, 0x20},
      {Qt::Key_PageUp, 0x21},        {Qt::Key_PageDown, 0x22}, {Qt::Key_End, 0x23},
      {Qt::Key_Home, 0x24},          {Qt::Key_Left, 0x25},     {Qt::Key_Up, 0x26},
      {Qt::Key_Right, 0x27},         {Qt::Key_Down, 0x28},     {Qt::Key_Insert, 0x2D},
      {Qt::Key_Delete, 0x2E},
  };
  const auto found = keys.find(key);
  return found == keys.end() ? 0 : found->second;
}

TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers) {
  TShiftState state;
  if (modifiers & Qt::ShiftModifier) state = state | ssShift;
  if (modifiers & Qt::AltModifier) state = state | ssAlt;
  if (modifiers & Qt::ControlModifier) state = state | ssCtrl;
  return state;
}

QString ToQt(const std::string& text) {
  const QByteArray bytes =
      QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size()));
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString result = decoder.decode(bytes);
  if (decoder.hasError()) return QString::fromLatin1(bytes);
  return result;
}

std::string FromQt(const QString& text) {
  return text.toStdString();
}

// ---- The key and mouse state of the input being handled

class TQtFrontEnd::InputWatch : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
      case QEvent::ShortcutOverride:
        modifiers = static_cast<QKeyEvent*>(event)->modifiers();
        break;
      case QEvent::KeyPress:
      case QEvent::KeyRelease: {
        auto* key = static_cast<QKeyEvent*>(event);
        modifiers = key->modifiers();
        if (const std::uint16_t vk = VirtualKeyOf(key->key()); vk != 0 && !key->isAutoRepeat()) {
          if (event->type() == QEvent::KeyPress)
            down.insert(vk);
          else
            down.erase(vk);
        }
        break;
      }
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
        modifiers = static_cast<QInputEvent*>(event)->modifiers();
        break;
      default:
        break;
    }
    return false;
  }
  Qt::KeyboardModifiers modifiers;
  std::set<std::uint16_t> down;
};

// ---- The front-end

TQtFrontEnd::TQtFrontEnd() : inputWatch_(std::make_unique<InputWatch>()) {
  ChooseFiles = [this](const TOpenDialog& dialog) { return ChooseWithFileDialog(dialog); };
  qApp->installEventFilter(inputWatch_.get());
  hostedLoop_ = std::make_unique<QSocketNotifier>(EventLoop::Current().Fd(), QSocketNotifier::Read);
  QObject::connect(hostedLoop_.get(), &QSocketNotifier::activated, [this] { RunHostedSlice(); });
}

TQtFrontEnd::~TQtFrontEnd() {
  qApp->removeEventFilter(inputWatch_.get());
}

void TQtFrontEnd::RunHostedSlice() {
  InModel([] {
    EventLoop::Current().ProcessMessages(std::chrono::microseconds(kSliceBudgetMicroseconds));
  });
}

void TQtFrontEnd::InModel(const std::function<void()>& call) {
  if (ending_) return;
  ++modelDepth_;
  try {
    call();
  } catch (const std::exception& e) {
    Application().HandleException(e);
  } catch (...) {
    Application().HandleException(std::runtime_error("Unknown exception in an event handler"));
  }
  --modelDepth_;
  if (window_) window_->Flush();
}

QWidget* TQtFrontEnd::DialogParent() {
  if (window_) window_->Flush();  // the window shows the state the question is about
  return window_ && window_->isVisible() ? window_.get() : nullptr;
}

// Without a window manager (or with one that does not) the window would stay inactive after
// the dialog, and the focus the model gave meanwhile would not show: it is activated again.
int TQtFrontEnd::RunModal(QDialog& dialog) {
  const int result = dialog.exec();
  if (window_ && window_->isVisible() && !QApplication::activeModalWidget())
    window_->activateWindow();
  return result;
}

int TQtFrontEnd::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
  QMessageBox box(IconOf(type), ToQt(caption), BoxText(text), QMessageBox::NoButton,
                  DialogParent());
  std::map<QAbstractButton*, int> answers;
  const auto buttons = ButtonsOf(type);
  for (const auto& [button, answer] : buttons) answers[box.addButton(button)] = answer;
  box.setEscapeButton(box.button(buttons.back().first));
  RunModal(box);
  const auto found = answers.find(box.clickedButton());
  return found != answers.end() ? found->second : buttons.back().second;
}

// A question box with the model's own buttons: the first is the default, the cancel one answers
// Escape and the box's close.
int TQtFrontEnd::AskChoice(const std::string& text, const std::string& caption,
                           const std::vector<std::string>& buttons, int cancelIndex) {
  QMessageBox box(QMessageBox::Question, ToQt(caption), BoxText(text), QMessageBox::NoButton,
                  DialogParent());
  std::vector<QPushButton*> made;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    const bool cancels = static_cast<int>(i) == cancelIndex;
    made.push_back(box.addButton(ToQt(buttons[i]),
                                 cancels ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
    if (cancels) box.setEscapeButton(made.back());
  }
  if (!made.empty()) box.setDefaultButton(made.front());
  RunModal(box);
  const auto chosen = std::find(made.begin(), made.end(), box.clickedButton());
  return chosen == made.end() ? cancelIndex : static_cast<int>(chosen - made.begin());
}

void TQtFrontEnd::ShowMessage(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, ToQt(Application().Title), BoxText(text), QMessageBox::Ok,
                  DialogParent());
  RunModal(box);
}

void TQtFrontEnd::ShowException(const std::exception& e) {
  MessageBox(e.what(), Application().Title, MB_ICONERROR);
}

QStringList TQtFrontEnd::ChooseWithFileDialog(const TOpenDialog& dialog) {
  QFileDialog chooser(DialogParent(), ToQt(dialog.Title), QString(), QtFilter(dialog.Filter));
  chooser.setFileMode(dialog.AllowMultiSelect ? QFileDialog::ExistingFiles
                      : dialog.FileMustExist  ? QFileDialog::ExistingFile
                                              : QFileDialog::AnyFile);
  if (!dialog.DefaultExt.empty()) chooser.setDefaultSuffix(ToQt(dialog.DefaultExt));
  if (!dialog.FileName.empty()) chooser.selectFile(ToQt(dialog.FileName));
  if (RunModal(chooser) != QDialog::Accepted) return {};
  return chooser.selectedFiles();
}

bool TQtFrontEnd::ExecuteOpenDialog(TOpenDialog& dialog) {
  if (window_) window_->Flush();  // the seam may be replaced: the window is up to date anyway
  const QStringList files = ChooseFiles(dialog);
  if (files.isEmpty()) return false;
  dialog.Files.Clear();
  for (const QString& file : files) dialog.Files.Add(FromQt(file));
  dialog.FileName = dialog.Files[0];
  return true;
}

std::int16_t TQtFrontEnd::GetKeyState(int virtualKey) {
  constexpr std::int16_t kDown = static_cast<std::int16_t>(0xFF80);
  const Qt::KeyboardModifiers held = inputWatch_->modifiers;
  const bool pressed = inputWatch_->down.count(static_cast<std::uint16_t>(virtualKey)) != 0;
  switch (virtualKey) {
    case VK_SHIFT:
      return pressed || held & Qt::ShiftModifier ? kDown : 0;
    case VK_CONTROL:
      return pressed || held & Qt::ControlModifier ? kDown : 0;
    case VK_MENU:
      return pressed || held & Qt::AltModifier ? kDown : 0;
    default:
      return pressed ? kDown : 0;
  }
}

TPoint TQtFrontEnd::GetCursorPos() {
  const QPoint at = QCursor::pos();
  return {at.x(), at.y()};
}

void TQtFrontEnd::PopupMenu(TPopupMenu& menu, TPoint at) {
  popup_ = std::make_unique<QMenu>(window_.get());
  popup_->setObjectName(QString::fromStdString(menu.Name));
  for (const auto& item : menu.Items()) {
    if (item->Caption == "-") {
      popup_->addSeparator();
      continue;
    }
    QAction* action = popup_->addAction(ToQt(item->Caption));
    action->setObjectName(QString::fromStdString(item->Name));
    TMenuItem* chosen = item.get();
    // The chosen item's click runs from the loop, after the menu has closed.
    QObject::connect(action, &QAction::triggered, [this, chosen] {
      QTimer::singleShot(0, [this, chosen] { InModel([chosen] { chosen->Click(); }); });
    });
  }
  popup_->popup(QPoint(at.X, at.Y));
}

void TQtFrontEnd::Repaint(TControl& control) {
  if (window_ && &control == &Form1->StatusBar1) window_->PaintStatusNow();
}

void TQtFrontEnd::Run() {
  if (EventLoop::Current().Terminated()) return;
  // Registered late: it runs before the destructors of the program's process-wide objects.
  static const bool registered = std::atexit(EndWithoutTearDown) == 0;
  (void)registered;
  qtLoopRunning = true;
  QApplication::exec();
  qtLoopRunning = false;
}

void TQtFrontEnd::Terminate() {
  QApplication::quit();
}

bool TQtFrontEnd::AskPassword(const std::string& prompt, TSecret& password) {
  return PasswordDialog(prompt, password, nullptr);
}

bool TQtFrontEnd::AskPasswordToRemember(const std::string& prompt, TSecret& password,
                                        bool& remember) {
  return PasswordDialog(prompt, password, &remember);
}

// A password field in a small dialog of its own, with the "Remember in keyring" box when
// remember is given. The answer goes from the field's buffer into the secret, and the field is
// emptied at once.
bool TQtFrontEnd::PasswordDialog(const std::string& prompt, TSecret& password, bool* remember) {
  QDialog dialog(DialogParent());
  dialog.setWindowTitle(ToQt(Application().Title));
  auto* layout = new QFormLayout(&dialog);
  auto* field = new QLineEdit;
  field->setEchoMode(QLineEdit::Password);
  field->setObjectName(QStringLiteral("password"));
  auto* label = new QLabel(BoxText(prompt));
  label->setBuddy(field);
  field->setAccessibleName(QStringLiteral("Password"));
  layout->addRow(label);
  layout->addRow(field);
  QCheckBox* keep = nullptr;
  if (remember) {
    keep = new QCheckBox(QStringLiteral("&Remember in keyring"));
    keep->setObjectName(QStringLiteral("remember"));
    keep->setChecked(*remember);
    layout->addRow(keep);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addRow(buttons);
  const bool confirmed = RunModal(dialog) == QDialog::Accepted;
  if (confirmed) {
    QByteArray bytes = field->text().toUtf8();
    password.Assign(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    explicit_bzero(bytes.data(), static_cast<std::size_t>(bytes.size()));
  }
  if (remember) *remember = confirmed && keep->isChecked();
  field->clear();
  return confirmed;
}

void TQtFrontEnd::ShowForm(TForm1& form) {
  window_ = std::make_unique<TComposerWindow>(form, *this);
  form.OnClosed = [](TForm*) { Application().Terminate(); };
  window_->ShowAtStart();
  // The show event runs from the loop, once the window is up: its draft question then stands
  // before the window.
  QTimer::singleShot(0, window_.get(), [this, &form] { InModel([&form] { form.Show(); }); });
}

void TQtFrontEnd::CloseForm() {
  popup_.reset();
  window_.reset();
}

int TQtFrontEnd::RunForm(TForm1& form) {
  ShowForm(form);
  Application().Run();
  CloseForm();
  return 0;
}

void TQtFrontEnd::CloseWindows() {
  ending_ = true;
  hostedLoop_.reset();  // nothing of the model runs any more
  for (QWidget* widget : QApplication::topLevelWidgets()) widget->hide();
  if (window_) window_->CloseForEnd();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

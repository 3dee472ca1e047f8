#include "frontend/HeadlessFrontEnd.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <istream>
#include <ostream>

#include "app/Tarvik2_unit1.h"
#include "platform/Application.h"
#include "platform/EventLoop.h"
#include "platform/IniFile.h"

namespace {

void WriteLine(std::ostream& stream, const std::string& text) {
  std::string line = TerminalText(text);
  if (line.empty() || line.back() != '\n') line += '\n';
  stream << line << std::flush;
}

bool Set(const char* variable) {
  const char* value = std::getenv(variable);
  return value && *value;
}

// SIGINT and SIGTERM stop a script's send the way Abort stops the window's: they are blocked
// and read from a signalfd beside the loop, never handled inside a signal handler. Taken
// before the first send, so that the lookup worker thread starts with them blocked too.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    fd_ = ::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~StopSignals() {
    if (fd_ >= 0) ::close(fd_);
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int Fd() const { return fd_; }
  // The name of a signal that arrived, or nullptr.
  const char* Take() {
    signalfd_siginfo info{};
    if (fd_ < 0 || ::read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
      return nullptr;
    return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
  }

 private:
  sigset_t set_{};
  sigset_t previous_{};
  int fd_ = -1;
};

// Blocks until the loop has something to dispatch or a signal came.
void WaitForLoop(int loopFd, int signalFd) {
  pollfd watch[2] = {{loopFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
  while (::poll(watch, signalFd >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

THeadlessFrontEnd::THeadlessFrontEnd(std::istream& in, std::ostream& out, std::ostream& err,
                                     bool inputIsTerminal)
    : in_(in), out_(out), err_(err), inputIsTerminal_(inputIsTerminal) {}

int THeadlessFrontEnd::MessageBox(const std::string& text, const std::string& caption,
                                  unsigned type) {
  WriteLine(err_, caption + ": " + text);
  switch (type & MB_TYPEMASK) {
    case MB_YESNO:
      return Ask("[y/N]", 'y') ? IDYES : IDNO;
    case MB_OKCANCEL:
      return Ask("[o/C]", 'o') ? IDOK : IDCANCEL;
    default:
      return IDOK;
  }
}

bool THeadlessFrontEnd::Ask(const std::string& choices, char yes) {
  if (!inputIsTerminal_) {
    err_ << "(no terminal to ask: answered " << (yes == 'y' ? "No" : "Cancel") << ")\n"
         << std::flush;
    return false;
  }
  err_ << choices << ' ' << std::flush;
  std::string answer;
  if (!std::getline(in_, answer)) return false;
  const std::size_t first = answer.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  const char c = answer[first];
  return c == yes || c == yes - 'a' + 'A';
}

namespace {

// The letter a caption's "&" marks (lower case), or its first letter.
char MnemonicOf(const std::string& caption) {
  const std::size_t amp = caption.find('&');
  const char c = amp != std::string::npos && amp + 1 < caption.size() ? caption[amp + 1]
                 : caption.empty()                                    ? '\0'
                                                                      : caption[0];
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// "&Save draft" as "[S]ave draft".
std::string TerminalCaption(const std::string& caption) {
  const std::size_t amp = caption.find('&');
  if (amp == std::string::npos || amp + 1 >= caption.size()) return caption;
  return caption.substr(0, amp) + "[" + caption[amp + 1] + "]" + caption.substr(amp + 2);
}

}  // namespace

int THeadlessFrontEnd::AskChoice(const std::string& text, const std::string& caption,
                                 const std::vector<std::string>& buttons, int cancelIndex) {
  WriteLine(err_, caption + ": " + text);
  if (!inputIsTerminal_) {
    err_ << "(no terminal to ask: cancelled)\n" << std::flush;
    return cancelIndex;
  }
  std::string choices;
  for (const std::string& button : buttons)
    choices += (choices.empty() ? "" : " / ") + TerminalCaption(button);
  err_ << choices << ": " << std::flush;
  std::string answer;
  if (!std::getline(in_, answer)) return cancelIndex;
  const std::size_t first = answer.find_first_not_of(" \t");
  if (first == std::string::npos) return cancelIndex;
  const char letter = MnemonicOf(answer.substr(first, 1));
  for (std::size_t i = 0; i < buttons.size(); ++i)
    if (MnemonicOf(buttons[i]) == letter) return static_cast<int>(i);
  return cancelIndex;
}

void THeadlessFrontEnd::ShowMessage(const std::string& text) {
  WriteLine(out_, text);
}

bool THeadlessFrontEnd::ExecuteOpenDialog(TOpenDialog&) {
  return false;
}

std::int16_t THeadlessFrontEnd::GetKeyState(int) {
  return 0;
}

TPoint THeadlessFrontEnd::GetCursorPos() {
  return {};
}

void THeadlessFrontEnd::PopupMenu(TPopupMenu&, TPoint) {}

void THeadlessFrontEnd::Repaint(TControl&) {}

void THeadlessFrontEnd::ShowException(const std::exception& e) {
  WriteLine(err_, std::string(kTarvikTitle) + ": " + e.what());
}

namespace {

// The controlling terminal with echo off for as long as this lives.
class TSilentTerminal {
 public:
  TSilentTerminal() : fd_(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0 || ::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
    quiet.c_lflag |= ICANON;
    silenced_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~TSilentTerminal() {
    if (silenced_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    if (fd_ >= 0) ::close(fd_);
  }
  TSilentTerminal(const TSilentTerminal&) = delete;
  TSilentTerminal& operator=(const TSilentTerminal&) = delete;

  bool Usable() const { return silenced_; }
  void Write(const std::string& text) const {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  // One line, without its line end; false at end of input, on an error, or when a stop signal
  // shows on Signals (a signalfd; the signal is left pending for whoever handles it once the
  // terminal is restored).
  bool ReadLine(TSecret& line, int signals) const {
    line.Clear();
    bool answered = false;
    for (;;) {
      pollfd watch[2] = {{fd_, POLLIN, 0}, {signals, POLLIN, 0}};
      if (::poll(watch, signals >= 0 ? 2 : 1, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (signals >= 0 && (watch[1].revents & POLLIN)) break;
      if (!(watch[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char c;
      const ssize_t n = ::read(fd_, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (c == '\n' || c == '\r') {
        answered = true;
        break;
      }
      line.Append(c);
      c = '\0';
    }
    return answered;
  }

 private:
  int fd_;
  termios saved_{};
  bool silenced_ = false;
};

}  // namespace

bool THeadlessFrontEnd::AskPassword(const std::string& prompt, TSecret& password) {
  // Ctrl+C must not leave the terminal without echo: the signal waits until it is restored.
  const StopSignals stops;
  const TSilentTerminal terminal;
  if (!terminal.Usable()) return false;
  terminal.Write(TerminalText(prompt) + " ");
  const bool answered = terminal.ReadLine(password, stops.Fd());
  terminal.Write("\n");  // the Enter that was not echoed
  return answered;
}

bool HeadlessRequested(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments)
    if (argument == "-nogui") return true;
  return !Set("DISPLAY") && !Set("WAYLAND_DISPLAY");
}

void PrepareHeadless(TForm1& form) {
  form.Scripting = true;
  form.CloseWhenDone = true;
  // No window appears in scripting mode, so waiting for one before the automatic send is pure
  // delay. The tick still comes from the loop after OnShow, and after the 1 ms FocusTimer
  // (started earlier) has resolved a nick from the address book.
  form.ShowTimer.SetInterval(1);
}

int RunHeadless(TForm1& form, std::ostream& err) {
  if (!form.AutoSend) {
    for (const std::string& line : CommandLineHelpLines()) err << line << '\n';
    err << std::flush;
    return 1;
  }
  StopSignals signals;
  try {
    form.Show();
  } catch (const std::exception& e) {
    Application().HandleException(e);
  }
  EventLoop& loop = EventLoop::Current();
  while (!form.Closed()) {
    WaitForLoop(loop.Fd(), signals.Fd());
    if (const char* signal = signals.Take()) {
      WriteLine(err, std::string(kErrorCaption) + ": Stopped by " + signal + ".");
      // What is still to be written at the close (the settings) must not wait for another
      // process any more.
      StopIniLockWaits();
      if (!form.Sending()) return 1;
      // Abort: a wait between tries or a session ends at once and nothing is deleted; a
      // message the server has already accepted counts as sent.
      form.SendBtn.Click();
    }
    Application().ProcessMessages();
    if (form.Closed()) break;
    // ShowTimer's tick has pressed Send (unless an unknown nick cancelled the automatic send);
    // when no send runs after it, nothing will end the process any more.
    if (!form.ShowTimer.Enabled() && !form.Sending()) {
      WriteLine(err, std::string(kErrorCaption) + ": The message was not sent.");
      return 1;
    }
  }
  return 0;
}

// Program entry: the application object, the one composer window and its event loop.
//
// The front-end: the desktop window when a display is there and "-nogui" is not given, loaded
// from its module only then; the headless front-end otherwise, and when the window cannot be
// opened (said in one line on standard error).
//
// Exit codes: 0 after a normal close (in scripting mode: after a successful send), 1 when an
// error was reported under "-close", there was nothing to do, or the program could not start.
// "--help" and "--version" answer on standard output and exit 0. Started as "sendmail" or with
// "--sendmail" first, the program is the sendmail-compatible mode (app/SendmailMode.h), whose
// exit codes are sysexits.
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/SendmailMode.h"
#include "app/Tarvik2_unit1.h"
#include "frontend/HeadlessFrontEnd.h"
#include "frontend/WindowModule.h"
#include "platform/Application.h"
#include "platform/FrontEnd.h"
#include "platform/SignalWatch.h"

namespace {

// "--help" and "--version", the conventions of this platform; the first one given wins.
std::optional<int> AnswerInformationOption(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "--help") {
      for (const std::string& line : CommandLineHelpLines()) std::cout << line << '\n';
      return 0;
    }
    if (argument == "--version") {
      std::cout << kTarvikCaption << '\n';
      return 0;
    }
  }
  return std::nullopt;
}

// The program as the loop runs it; start-up failures (no descriptors left for the event loop,
// say) are thrown from here. The toolkit takes its own options out of argc/argv.
int RunProgram(int& argc, char** argv) {
  THeadlessFrontEnd headless(std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) == 1);
  ScopedFrontEnd current(headless);

  Application().Title = kTarvikTitle;
  Application().OnException = [](const std::exception& e) {
    if (Form1)
      Form1->ReportException(e);
    else
      GetFrontEnd().ShowException(e);
  };

  std::unique_ptr<TWindowFrontEnd> window;
  if (!HeadlessRequested(std::vector<std::string>(argv + 1, argv + argc))) {
    // The window takes SIGTERM and SIGHUP from its loop (it keeps the draft and closes): they
    // are blocked before the toolkit starts threads of its own, which inherit the mask.
    BlockSignals({SIGTERM, SIGHUP});
    std::string why;
    window = OpenWindowFrontEnd(argc, argv, why);
    if (!window) {
      UnblockSignals({SIGTERM, SIGHUP});
      std::cerr << "tarvik: cannot open the window (" << why << "), running headless\n";
    }
  }
  std::optional<ScopedFrontEnd> windowCurrent;
  if (window) windowCurrent.emplace(*window);

  Form1 = std::make_unique<TForm1>();
  Form1->Arguments.assign(argv + 1, argv + argc);
  if (!window) PrepareHeadless(*Form1);
  try {
    Form1->OnInit(Form1.get());
  } catch (const std::exception& e) {
    Application().HandleException(e);
  }
  const int exitCode = window ? window->RunForm(*Form1) : RunHeadless(*Form1, std::cerr);
  Form1.reset();
  windowCurrent.reset();
  window.reset();
  return exitCode;
}

// The sendmail-compatible mode: no window, no form of the person's; standard input is the
// message, so nothing is ever asked on it. An exception that escapes a handler is an internal
// error (sysexits' 70).
// The caller (git send-email, mutt, cron) owns the terminal, if there is one: a password
// prompt on it would mix with the caller's own output or wait for an answer nobody gives.
class TSendmailFrontEnd : public THeadlessFrontEnd {
 public:
  using THeadlessFrontEnd::THeadlessFrontEnd;
  bool AskPassword(const std::string&, TSecret&) override { return false; }
  bool AskPasswordToRemember(const std::string&, TSecret&, bool&) override { return false; }
};

int RunSendmailProgram(std::vector<std::string> arguments) {
  if (!arguments.empty() && arguments.front() == "--sendmail") arguments.erase(arguments.begin());
  TSendmailFrontEnd headless(std::cin, std::cout, std::cerr, /*inputIsTerminal=*/false);
  ScopedFrontEnd current(headless);
  Application().Title = kTarvikTitle;
  Application().OnException = [](const std::exception& e) {
    std::cerr << "sendmail: internal error: " << TerminalText(e.what()) << '\n' << std::flush;
    std::_Exit(SysExit::Software);
  };
  try {
    return RunSendmail(arguments);
  } catch (const std::exception& e) {
    std::cerr << "sendmail: internal error: " << TerminalText(e.what()) << '\n';
  }
  return SysExit::Software;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (a closed pipe, a dead logger) makes a write fail, not the
  // process: what the program prints never changes its exit code. The sockets send without
  // SIGPIPE anyway; started programs get the default back.
  std::signal(SIGPIPE, SIG_IGN);
  if (SendmailModeRequested(argv[0], std::vector<std::string>(argv + 1, argv + argc)))
    return RunSendmailProgram(std::vector<std::string>(argv + 1, argv + argc));
  if (const std::optional<int> exitCode =
          AnswerInformationOption(std::vector<std::string>(argv + 1, argv + argc)))
    return *exitCode;
  try {
    return RunProgram(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << kErrorCaption << ": Tarvik cannot run: " << TerminalText(e.what()) << '\n';
  } catch (...) {
    std::cerr << kErrorCaption << ": Tarvik cannot run.\n";
  }
  // What was half built is left to the system: no destructor runs over it.
  EndProcess(1);
}

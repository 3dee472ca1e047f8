// Program entry: the application object, the one composer window and its event loop.
//
// Exit codes: 0 after a normal close (in scripting mode: after a successful send), 1 when an
// error was reported under "-close", there was nothing to do, or the program could not start.
// "--help" and "--version" answer on standard output and exit 0.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "frontend/HeadlessFrontEnd.h"
#include "platform/Application.h"
#include "platform/FrontEnd.h"

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
// say) are thrown from here.
int RunProgram(const std::vector<std::string>& arguments) {
  // The headless front-end is the only one so far: with a display and without "-nogui" the
  // program runs headless as well (HeadlessRequested tells which one was asked for).
  THeadlessFrontEnd frontEnd(std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) == 1);
  ScopedFrontEnd current(frontEnd);

  Application().Title = kTarvikTitle;
  Application().OnException = [](const std::exception& e) {
    if (Form1)
      Form1->ReportException(e);
    else
      GetFrontEnd().ShowException(e);
  };

  Form1 = std::make_unique<TForm1>();
  Form1->Arguments = arguments;
  PrepareHeadless(*Form1);
  try {
    Form1->OnInit(Form1.get());
  } catch (const std::exception& e) {
    Application().HandleException(e);
  }
  const int exitCode = RunHeadless(*Form1, std::cerr);
  Form1.reset();
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (a closed pipe, a dead logger) makes a write fail, not the
  // process: what the program prints never changes its exit code. The sockets send without
  // SIGPIPE anyway; started programs get the default back.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (const std::optional<int> exitCode = AnswerInformationOption(arguments)) return *exitCode;
  try {
    return RunProgram(arguments);
  } catch (const std::exception& e) {
    std::cerr << kErrorCaption << ": Tarvik cannot run: " << TerminalText(e.what()) << '\n';
  } catch (...) {
    std::cerr << kErrorCaption << ": Tarvik cannot run.\n";
  }
  // What was half built is left to the system: no destructor runs over it.
  EndProcess(1);
}

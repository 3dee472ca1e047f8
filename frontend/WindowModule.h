// The contract between the program and the desktop window module (tarvik-window.so).
//
// The module holds the only code that uses the toolkit (Qt 6 Widgets). The program loads it
// with dlopen only when a window is wanted, so a headless run never maps a toolkit library.
// The module is linked against nothing of ours: its references to the form model, the event
// loop, the application object and the current front-end resolve to the program's own copies
// (the program exports its symbols and carries every object of those libraries), so there is
// one Form1, one loop per thread and one current front-end in the process.
//
// Call order: OpenWindowFrontEnd (initialises the toolkit; the result is made current), then
// the program's OnInit (errors are reported in the window), then RunForm, then the front-end
// is destroyed after the form.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/FrontEnd.h"

class TForm1;

class TWindowFrontEnd : public TFrontEnd {
 public:
  // Shows the form in a window (its show event runs once the window is up) and runs the main
  // loop until the form closes. Returns the process exit code.
  virtual int RunForm(TForm1& form) = 0;
};

// The module's entry point: the toolkit initialised with the arguments, or null with the
// reason (no display to reach, no toolkit plug-in for it).
extern "C" {
using TOpenWindowFrontEnd = TWindowFrontEnd* (*)(int* argc, char** argv, std::string* why);
}
inline constexpr const char* kOpenWindowFrontEndSymbol = "TarvikOpenWindowFrontEnd";
// Both sides are built from one source tree: a module of another build is refused.
inline constexpr const char* kWindowModuleBuildSymbol = "TarvikWindowModuleBuild";

// The program's side (WindowLoader.cpp): the module file beside the executable (build tree),
// else in ../<libdir>/tarvik/ relative to it (install tree).
std::vector<std::string> WindowModuleCandidates();

// Loads the module and opens the window front-end; null with the reason when it cannot.
std::unique_ptr<TWindowFrontEnd> OpenWindowFrontEnd(int& argc, char** argv, std::string& why);

// The headless front-end: the scripting mode. It runs the composer model without showing it.
//  - Message boxes print their caption and text to the error stream. A Yes/No (or OK/Cancel)
//    question is asked on the terminal when the input is one, otherwise answered No (Cancel).
//  - ShowMessage prints to the output stream.
//  - File dialogs are cancelled, no key is ever down, the pop-up menu never opens.
//  - An exception report prints the application title and the message to the error stream.
//  - A question with buttons of its own lists them as "[S]ave draft / [D]iscard / [C]ancel" and
//    takes the first letter of the answer; without a terminal, or for any other answer, it is
//    cancelled.
//  - A password is asked on the controlling terminal (/dev/tty) with echo off; without one
//    there is no way to ask.
// RunHeadless drives the loop until the send has ended.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/FrontEnd.h"

class TForm1;

class THeadlessFrontEnd : public TFrontEnd {
 public:
  THeadlessFrontEnd(std::istream& in, std::ostream& out, std::ostream& err, bool inputIsTerminal);

  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
  void ShowMessage(const std::string& text) override;
  bool ExecuteOpenDialog(TOpenDialog& dialog) override;
  std::int16_t GetKeyState(int virtualKey) override;
  TPoint GetCursorPos() override;
  void PopupMenu(TPopupMenu& menu, TPoint at) override;
  void Repaint(TControl& control) override;
  void ShowException(const std::exception& e) override;
  bool AskPassword(const std::string& prompt, TSecret& password) override;
  int AskChoice(const std::string& text, const std::string& caption,
                const std::vector<std::string>& buttons, int cancelIndex) override;

 private:
  // Asks on the terminal; true for an answer that begins with the letter of yes.
  bool Ask(const std::string& choices, char yes);

  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  bool inputIsTerminal_;
};

// True when the arguments ask for the headless front-end ("-nogui") or no display is there
// (neither DISPLAY nor WAYLAND_DISPLAY set).
bool HeadlessRequested(const std::vector<std::string>& arguments);

// Prepares the form for scripting, before OnInit: its scripting mode (no drafts; an unknown
// nick cancels the automatic send), and the process ends when the send has ended ("-close" is
// implied).
void PrepareHeadless(TForm1& form);

// Runs the composer after OnInit and returns the process exit code:
//  - without "-send" there is nothing to do: the help text goes to the error stream, 1;
//  - otherwise the form is shown and the loop runs until the form closes after a successful
//    send (0). A failure ends the process through ErrorBox (1); a send that ends without
//    either (the user's answer stopped it) or never starts (a nick the address book does not
//    know) is reported and gives 1.
// SIGINT and SIGTERM act as Abort: the run ends with 1 and nothing deleted, unless the server
// had already accepted the message (then 0).
int RunHeadless(TForm1& form, std::ostream& err);

// The front-end interface: everything the program asks of the person in front of it (message
// boxes, plain messages, the file-open dialog, the pop-up menu, repaints, exception reports)
// and the input state it reads (key state, cursor position, keyboard layout). Each front-end
// implements it; ScriptedFrontEnd is the test double.
//
// The front-end also owns the main loop (Run, Terminate): under a toolkit the toolkit's loop
// owns the thread and hosts ours. And it ends the process (EndProcess), so that a window is
// taken down cleanly before the process goes.
//
// One front-end is current for the process (SetFrontEnd). The free functions with the
// platform's names forward to it. Without a front-end set, a quiet fallback is used: boxes and
// messages go to standard error and standard output, a Yes/No question is answered No,
// dialogs are cancelled, no key is down.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/Controls.h"
#include "platform/EventLoop.h"
#include "platform/Secret.h"

// Message box types and results.
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_OKCANCEL = 0x01;
constexpr unsigned MB_YESNO = 0x04;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_TYPEMASK = 0x0F;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Virtual-key codes the program uses.
constexpr int VK_RETURN = 0x0D;
constexpr int VK_SHIFT = 0x10;
constexpr int VK_CONTROL = 0x11;
constexpr int VK_MENU = 0x12;

class TFrontEnd {
 public:
  virtual ~TFrontEnd() = default;

  // A modal box; returns IDOK, IDYES, IDNO ... as the buttons in type allow.
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
  virtual void ShowMessage(const std::string& text) = 0;
  // Shows the dialog; on confirmation fills dialog.FileName and dialog.Files and returns true.
  virtual bool ExecuteOpenDialog(TOpenDialog& dialog) = 0;
  // The key's state as of the input being handled: 0x80 set while down.
  virtual std::int16_t GetKeyState(int virtualKey) = 0;
  virtual TPoint GetCursorPos() = 0;
  // Virtual-key code (low byte) and needed modifiers (high byte) for a character; the default
  // is the US layout: letters give 0x41..0x5A (upper case with Shift), digits 0x30..0x39.
  virtual std::int16_t VkKeyScan(char ch);
  // Opens the menu at a screen position; the chosen item's Click runs later, from the loop.
  virtual void PopupMenu(TPopupMenu& menu, TPoint at) = 0;
  // Shows the control's current state at once.
  virtual void Repaint(TControl& control) = 0;
  // The standard report of an exception that escaped an event handler: an error box with the
  // exception's message.
  virtual void ShowException(const std::exception& e) = 0;
  // Asks for a password with the prompt (a window shows a password field, a terminal reads
  // without echo). True with the answer in password; false when the person cancelled or there
  // is no way to ask. The default has no way to ask.
  virtual bool AskPassword(const std::string& prompt, TSecret& password);
  // The same with a "Remember in keyring" box, ticked as remember says on entry; remember
  // holds the person's choice on return. The default shows no box: remember comes back false.
  virtual bool AskPasswordToRemember(const std::string& prompt, TSecret& password, bool& remember);
  // A question with buttons of its own: their captions (an "&" marks the mnemonic), first the
  // default one. Returns the index of the button chosen, or cancelIndex when the box is closed
  // without a choice (Escape, the window manager). The default has no way to ask and returns
  // cancelIndex.
  virtual int AskChoice(const std::string& text, const std::string& caption,
                        const std::vector<std::string>& buttons, int cancelIndex);

  // The main loop: dispatches the thread's event loop until Terminate. The default runs the
  // event loop itself; a toolkit's front-end runs the toolkit's loop, which hosts ours.
  virtual void Run();
  // Makes Run return once the current event has been handled (the event loop's Terminated is
  // set before this is called).
  virtual void Terminate();
  // Ends the process at once with the exit code: no close processing, no destructors. What
  // the front-end shows is taken down first (CloseWindows), then the standard streams are
  // flushed.
  [[noreturn]] void EndProcess(int exitCode);

 protected:
  // Takes down the windows before the process ends; must neither run handlers nor return
  // into the model. The default has nothing to take down.
  virtual void CloseWindows() {}
};

// Sets the current front-end (not owned; null restores the fallback) and returns the previous.
TFrontEnd* SetFrontEnd(TFrontEnd* frontEnd);
TFrontEnd& GetFrontEnd();

// Makes a front-end current for a scope (tests).
class ScopedFrontEnd {
 public:
  explicit ScopedFrontEnd(TFrontEnd& frontEnd) : previous_(SetFrontEnd(&frontEnd)) {}
  ~ScopedFrontEnd() { SetFrontEnd(previous_); }
  ScopedFrontEnd(const ScopedFrontEnd&) = delete;
  ScopedFrontEnd& operator=(const ScopedFrontEnd&) = delete;

 private:
  TFrontEnd* previous_;
};

// The platform's names, forwarding to the current front-end. The owner window is ignored.
int MessageBoxA(HWND owner, const std::string& text, const std::string& caption, unsigned type);
void ShowMessage(const std::string& text);
std::int16_t GetKeyState(int virtualKey);
TPoint GetCursorPos();
std::int16_t VkKeyScanA(char ch);

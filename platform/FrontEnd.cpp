#include "platform/FrontEnd.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

// Used while no front-end is set: says everything on the standard streams and answers every
// question in the safe way (No, cancel).
class QuietFrontEnd : public TFrontEnd {
 public:
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
    std::cerr << caption << ": " << text << '\n';
    return (type & MB_TYPEMASK) == MB_YESNO      ? IDNO
           : (type & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL
                                                 : IDOK;
  }
  void ShowMessage(const std::string& text) override { std::cout << text << '\n'; }
  bool ExecuteOpenDialog(TOpenDialog&) override { return false; }
  std::int16_t GetKeyState(int) override { return 0; }
  TPoint GetCursorPos() override { return {}; }
  void PopupMenu(TPopupMenu&, TPoint) override {}
  void Repaint(TControl&) override {}
  void ShowException(const std::exception& e) override { std::cerr << e.what() << '\n'; }
};

TFrontEnd* currentFrontEnd = nullptr;

}  // namespace

std::int16_t TFrontEnd::VkKeyScan(char ch) {
  const unsigned char c = static_cast<unsigned char>(ch);
  constexpr std::int16_t shifted = 0x0100;
  if (c >= 'a' && c <= 'z') return static_cast<std::int16_t>(c - 'a' + 0x41);
  if (c >= 'A' && c <= 'Z') return static_cast<std::int16_t>(shifted | (c - 'A' + 0x41));
  if (c >= '0' && c <= '9') return static_cast<std::int16_t>(c);
  switch (c) {
    case ' ':
      return 0x20;
    case '\r':
      return VK_RETURN;
    case '\t':
      return 0x09;
    case '\b':
      return 0x08;
    case 0x1B:
      return 0x1B;
    default:
      return -1;  // no key gives this character
  }
}

bool TFrontEnd::AskPassword(const std::string&, TSecret&) {
  return false;
}

bool TFrontEnd::AskPasswordToRemember(const std::string& prompt, TSecret& password,
                                      bool& remember) {
  remember = false;
  return AskPassword(prompt, password);
}

int TFrontEnd::AskChoice(const std::string&, const std::string&, const std::vector<std::string>&,
                         int cancelIndex) {
  return cancelIndex;
}

void TFrontEnd::Run() {
  EventLoop::Current().Run();
}

void TFrontEnd::Terminate() {}

void TFrontEnd::EndProcess(int exitCode) {
  CloseWindows();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(exitCode);
}

TFrontEnd* SetFrontEnd(TFrontEnd* frontEnd) {
  TFrontEnd* previous = currentFrontEnd;
  currentFrontEnd = frontEnd;
  return previous;
}

TFrontEnd& GetFrontEnd() {
  static QuietFrontEnd quiet;
  return currentFrontEnd ? *currentFrontEnd : quiet;
}

int MessageBoxA(HWND, const std::string& text, const std::string& caption, unsigned type) {
  return GetFrontEnd().MessageBox(text, caption, type);
}

void ShowMessage(const std::string& text) {
  GetFrontEnd().ShowMessage(text);
}

std::int16_t GetKeyState(int virtualKey) {
  return GetFrontEnd().GetKeyState(virtualKey);
}

TPoint GetCursorPos() {
  return GetFrontEnd().GetCursorPos();
}

std::int16_t VkKeyScanA(char ch) {
  return GetFrontEnd().VkKeyScan(ch);
}

// ScriptedFrontEnd: the test double of the front-end. It records every call and answers from
// scripts set up by the test:
//  - MessageBox: the next answer of MessageBoxAnswers; when that queue is empty, IDNO for a
//    Yes/No box and IDOK for anything else. OnMessageBox (optional) runs while the "box is
//    open", before the answer is returned.
//  - ExecuteOpenDialog: the next file list of OpenDialogAnswers; an empty list, or an empty
//    queue, is a cancelled dialog.
//  - GetKeyState: from KeyStates (SetKeyDown); keys not listed are up.
//  - GetCursorPos: CursorPos.
//  - AskChoice: the next index of ChoiceAnswers; an empty queue chooses the cancel index.
//    OnChoice (optional) runs while the "box is open".
//  - AskPassword: the next answer of PasswordAnswers (nullopt: cancelled); an empty queue
//    cancels. The prompts are kept in PasswordPrompts.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/FrontEnd.h"

class ScriptedFrontEnd : public TFrontEnd {
 public:
  struct MessageBoxCall {
    std::string Text;
    std::string Caption;
    unsigned Type = 0;
    int Answer = 0;
  };
  struct ChoiceCall {
    std::string Text;
    std::string Caption;
    std::vector<std::string> Buttons;
    int Answer = 0;
  };
  struct PopupCall {
    TPopupMenu* Menu = nullptr;
    TPoint At;
  };

  // Scripts.
  std::deque<int> MessageBoxAnswers;
  std::deque<std::vector<std::string>> OpenDialogAnswers;
  std::map<int, std::int16_t> KeyStates;
  TPoint CursorPos;
  std::function<void(const MessageBoxCall&)> OnMessageBox;
  std::deque<std::optional<std::string>> PasswordAnswers;
  std::deque<int> ChoiceAnswers;
  std::function<void(const ChoiceCall&)> OnChoice;
  void SetKeyDown(int virtualKey, bool down);

  // Records.
  std::vector<MessageBoxCall> MessageBoxes;
  std::vector<std::string> Messages;
  std::vector<std::string> OpenDialogTitles;
  std::vector<PopupCall> Popups;
  std::vector<TControl*> Repainted;
  int RepaintCount() const { return static_cast<int>(Repainted.size()); }
  std::vector<std::string> Exceptions;
  std::vector<std::string> PasswordPrompts;
  std::vector<ChoiceCall> Choices;

  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
  void ShowMessage(const std::string& text) override;
  bool ExecuteOpenDialog(TOpenDialog& dialog) override;
  std::int16_t GetKeyState(int virtualKey) override;
  TPoint GetCursorPos() override;
  void PopupMenu(TPopupMenu& menu, TPoint at) override;
  void Repaint(TControl& control) override;
  void ShowException(const std::exception& e) override;
  bool AskPassword(const std::string& prompt, TSecret& password) override;
  // As AskPassword; the box's state on entry goes to RememberOffered, the answer comes from
  // RememberAnswer.
  bool AskPasswordToRemember(const std::string& prompt, TSecret& password, bool& remember) override;
  std::vector<bool> RememberOffered;
  bool RememberAnswer = false;
  int AskChoice(const std::string& text, const std::string& caption,
                const std::vector<std::string>& buttons, int cancelIndex) override;
};

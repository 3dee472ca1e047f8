#include "platform/ScriptedFrontEnd.h"

void ScriptedFrontEnd::SetKeyDown(int virtualKey, bool down) {
  KeyStates[virtualKey] = down ? static_cast<std::int16_t>(0xFF80) : 0;
}

int ScriptedFrontEnd::MessageBox(const std::string& text, const std::string& caption,
                                 unsigned type) {
  MessageBoxCall call{text, caption, type, 0};
  if (!MessageBoxAnswers.empty()) {
    call.Answer = MessageBoxAnswers.front();
    MessageBoxAnswers.pop_front();
  } else {
    call.Answer = (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
  }
  MessageBoxes.push_back(call);
  if (OnMessageBox) OnMessageBox(call);
  return call.Answer;
}

void ScriptedFrontEnd::ShowMessage(const std::string& text) {
  Messages.push_back(text);
}

bool ScriptedFrontEnd::ExecuteOpenDialog(TOpenDialog& dialog) {
  OpenDialogTitles.push_back(dialog.Title);
  if (OpenDialogAnswers.empty()) return false;
  std::vector<std::string> files = std::move(OpenDialogAnswers.front());
  OpenDialogAnswers.pop_front();
  if (files.empty()) return false;
  dialog.Files.Clear();
  for (auto& file : files) dialog.Files.Add(file);
  dialog.FileName = dialog.Files[0];
  return true;
}

std::int16_t ScriptedFrontEnd::GetKeyState(int virtualKey) {
  const auto found = KeyStates.find(virtualKey);
  return found == KeyStates.end() ? 0 : found->second;
}

TPoint ScriptedFrontEnd::GetCursorPos() {
  return CursorPos;
}

void ScriptedFrontEnd::PopupMenu(TPopupMenu& menu, TPoint at) {
  Popups.push_back({&menu, at});
}

void ScriptedFrontEnd::Repaint(TControl& control) {
  Repainted.push_back(&control);
}

void ScriptedFrontEnd::ShowException(const std::exception& e) {
  Exceptions.push_back(e.what());
}

bool ScriptedFrontEnd::AskPasswordToRemember(const std::string& prompt, TSecret& password,
                                             bool& remember) {
  RememberOffered.push_back(remember);
  remember = RememberAnswer;
  return AskPassword(prompt, password);
}

bool ScriptedFrontEnd::AskPassword(const std::string& prompt, TSecret& password) {
  PasswordPrompts.push_back(prompt);
  if (PasswordAnswers.empty()) return false;
  const std::optional<std::string> answer = PasswordAnswers.front();
  PasswordAnswers.pop_front();
  if (!answer) return false;
  password.Assign(*answer);
  return true;
}

int ScriptedFrontEnd::AskChoice(const std::string& text, const std::string& caption,
                                const std::vector<std::string>& buttons, int cancelIndex) {
  ChoiceCall call{text, caption, buttons, cancelIndex};
  if (!ChoiceAnswers.empty()) {
    call.Answer = ChoiceAnswers.front();
    ChoiceAnswers.pop_front();
  }
  Choices.push_back(call);
  if (OnChoice) OnChoice(call);
  return call.Answer;
}

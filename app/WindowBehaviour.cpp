// The composer's interactive behaviour: keyboard shortcuts, Enter in the header fields, the
// attachment and signature buttons, Clear, short status notices, zoom, the message size notice,
// the start-up timers and the logo's pop-up menu.
#include <string>

#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"
#include "util/IniUtils.h"
#include "util/IniUtilsExt.h"

namespace {

constexpr std::uint16_t kEnter = VK_RETURN;
// The memo's font size when the window is not zoomed.
constexpr int kNormalFontSize = 8;
// The longest selection the message size notice measures (a classic edit control's limit).
constexpr int kMaxMeasuredLength = 32767;

// True when the key code is the one the keyboard layout gives the lower-case letter (the whole
// 16-bit result, so a letter that needs a modifier on this layout never matches).
bool IsLetterKey(std::uint16_t key, char letter) {
  return key == static_cast<std::uint16_t>(VkKeyScanA(letter));
}

}  // namespace

void TForm1::FormKeyDown(TControl* Sender, std::uint16_t& Key, TShiftState Shift) {
  const std::uint16_t pressed = Key;
  Key = 0;  // a shortcut acted on is handled: the control does not get the key as well
  if (Shift.Contains(TShiftState::Ctrl)) {
    if (IsLetterKey(pressed, 's') || IsLetterKey(pressed, 'd')) {
      SaveDraft();
      KeepDraft = true;
      SuppressKeyPress = true;
    } else if (IsLetterKey(pressed, 'a')) {
      SuppressKeyPress = true;
      AddFileBtnClick(Sender);
    } else if (pressed == kEnter) {
      SendBtnClick(Sender);
    } else if (IsLetterKey(pressed, 'z')) {
      ToggleZoom();
    } else if (IsLetterKey(pressed, 't')) {
      ShowMessageSize();
      SuppressKeyPress = true;
    } else if (IsLetterKey(pressed, 'f')) {
      SendForward = !SendForward;
      SetStatusNotice(SendForward ? "Send forward is ON" : "Send forward is OFF");
      SuppressKeyPress = true;
    } else {
      Key = pressed;
    }
  } else if (Shift.Contains(TShiftState::Alt)) {
    if (IsLetterKey(pressed, 'x'))
      RequestClose();
    else
      Key = pressed;
  } else if (Shift.Contains(TShiftState::Shift) && pressed == kEnter && SendBtn.Focused()) {
    SendBtn.Click();
  } else {
    Key = pressed;
  }
}

void TForm1::ToggleZoom() {
  const TPoint caret = MessageText.CaretPos();
  if (MessageText.Font->Size == kNormalFontSize) {
    MessageText.WordWrap = false;
    MessageText.Font = TFont{"Times New Roman", 18};
    MessageText.SetCaretPos(caret);
    WindowState = TWindowState::wsMaximized;
  } else {
    MessageText.Font = TFont{"MS Sans Serif", kNormalFontSize};
    MessageText.WordWrap = true;
    MessageText.SetCaretPos(caret);
    WindowState = TWindowState::wsNormal;
  }
}

void TForm1::ShowMessageSize() {
  const int caret = MessageText.SelStart();
  MessageText.SetSelStart(0);
  MessageText.SetSelLength(kMaxMeasuredLength);
  const int bytes = MessageText.SelLength();
  const int lines = MessageText.Lines.Count();
  SetStatusNotice("Message info: " + std::to_string(bytes) + " bytes in " + std::to_string(lines) +
                  " lines.");
  MessageText.SetSelStart(caret);
}

void TForm1::FromKeyPress(TControl* Sender, char& Key) {
  if (Key == '\r' && Sender != &MessageText) {
    // To goes straight on to the subject, as it always did; a copy field goes on to the next.
    if (Sender == &from)
      sendto.SetFocus();
    else if (Sender == &sendto || Sender == &bcc)
      subject.SetFocus();
    else if (Sender == &cc)
      bcc.SetFocus();
    else if (Sender == &subject)
      MessageText.SetFocus();
    Key = 0;
  }
  if (SuppressKeyPress) {
    SuppressKeyPress = false;
    Key = 0;
  }
}

void TForm1::AddFileBtnClick(TControl*) {
  if (!OpenDialog1.Execute()) return;
  for (const std::string& file : OpenDialog1.Files) AttachedFiles.Items.Add(file);
}

void TForm1::RemoveFileBtnClick(TControl*) {
  const int selected = AttachedFiles.ItemIndex;
  if (selected < 0 || selected >= AttachedFiles.Items.Count()) return;
  AttachedFiles.Items.Delete(selected);
  AttachedFiles.ItemIndex = -1;
}

void TForm1::BrowseBtnClick(TControl*) {
  if (OpenDialog2.Execute()) SignFile.Text = OpenDialog2.FileName;
}

void TForm1::ClearBtnClick(TControl*) {
  from.Text.clear();
  SetIniFile(SettingsFileName(), SettingsSection, false);
  LoadControl(from);
  sendto.Text.clear();
  if (!from.Text.empty())
    sendto.SetFocus();
  else
    from.SetFocus();
  subject.Text.clear();
  MessageText.Lines.Clear();
  AttachedFiles.Items.Clear();
  AttachedFiles.ItemIndex = -1;
  ProgressBar1.SetPosition(0);
  KeepDraft = false;
}

void TForm1::Image1Click(TControl*) {
  const TPoint at = GetCursorPos();
  TarvikPopup.Popup(at.X, at.Y);
}

void TForm1::FocusTimerTimer(TTimer*) {
  FocusTimer.SetEnabled(false);
  if (!from.Text.empty())
    subject.SetFocus();
  else
    from.SetFocus();
}

void TForm1::OnShowTimer(TTimer*) {
  ShowTimer.SetEnabled(false);
  if (AutoSend) SendBtn.Click();
}

void TForm1::OnStatusBarTimer(TTimer*) {
  StatusBarTimer.SetEnabled(false);
  StatusBar1.SimpleText = SavedStatusText;
}

void TForm1::SetStatusNotice(const std::string& text) {
  if (StatusBarTimer.Running()) OnStatusBarTimer(&StatusBarTimer);
  SavedStatusText = StatusBar1.SimpleText;
  StatusBar1.SimpleText = text;
  StatusBarTimer.SetEnabled(true);
}

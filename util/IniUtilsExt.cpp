#include "util/IniUtilsExt.h"

#include "util/IniUtils.h"
#include "util/StringUtils.h"

namespace {
const std::string kLineBreak = "\r\n";
const std::string kStoredLineBreak = "\xFF";

// A value holds one line, so a line break the memo's lines may still carry on their own (a lone
// CR or LF) is stored like CR LF instead of breaking the ini file apart.
std::string MemoValue(const std::string& text) {
  std::string value = ReplaceAll(text, kLineBreak, kStoredLineBreak);
  for (char& c : value)
    if (c == '\r' || c == '\n') c = kStoredLineBreak[0];
  return value;
}

}  // namespace

void SaveControl(TControl& control) {
  if (auto* edit = dynamic_cast<TEdit*>(&control)) {
    IniWriteString(edit->Name, edit->Text);
  } else if (auto* checkBox = dynamic_cast<TCheckBox*>(&control)) {
    IniWriteBool(checkBox->Name, checkBox->Checked);
  } else if (auto* comboBox = dynamic_cast<TComboBox*>(&control)) {
    IniWriteString(comboBox->Name, comboBox->Text);
  } else if (auto* memo = dynamic_cast<TMemo*>(&control)) {
    IniWriteString(memo->Name, MemoValue(memo->Text()));
  }
}

void LoadControl(TControl& control) {
  if (auto* edit = dynamic_cast<TEdit*>(&control)) {
    edit->Text = IniReadString(edit->Name, edit->Text);
  } else if (auto* checkBox = dynamic_cast<TCheckBox*>(&control)) {
    checkBox->Checked = IniReadBool(checkBox->Name, checkBox->Checked);
  } else if (auto* comboBox = dynamic_cast<TComboBox*>(&control)) {
    comboBox->Text = IniReadString(comboBox->Name, comboBox->Text);
  } else if (auto* memo = dynamic_cast<TMemo*>(&control)) {
    memo->SetText(
        ReplaceAll(IniReadString(memo->Name, memo->Text()), kStoredLineBreak, kLineBreak));
  }
}

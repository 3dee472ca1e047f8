#include "util/IniUtilsExt.h"

#include "util/IniUtils.h"
#include "util/StringUtils.h"

namespace {
const std::string kLineBreak = "\r\n";
const std::string kStoredLineBreak = "\xFF";
}  // namespace

void SaveControl(TControl& control) {
  if (auto* edit = dynamic_cast<TEdit*>(&control)) {
    IniWriteString(edit->Name, edit->Text);
  } else if (auto* checkBox = dynamic_cast<TCheckBox*>(&control)) {
    IniWriteBool(checkBox->Name, checkBox->Checked);
  } else if (auto* comboBox = dynamic_cast<TComboBox*>(&control)) {
    IniWriteString(comboBox->Name, comboBox->Text);
  } else if (auto* memo = dynamic_cast<TMemo*>(&control)) {
    IniWriteString(memo->Name, ReplaceAll(memo->Text(), kLineBreak, kStoredLineBreak));
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

#include "platform/Controls.h"

#include <algorithm>

#include "platform/FrontEnd.h"

void TControl::SetFocus() {
  form_->FocusControl(this);
}

bool TControl::Focused() const {
  return form_->ActiveControl() == this;
}

void TControl::Changed(TControlChange what) {
  if (form_->OnControlChanged) form_->OnControlChanged(*this, what);
}

// ---- TMemo

std::string TMemo::Text() const {
  std::string text;
  for (int i = 0; i < Lines.Count(); ++i) {
    if (i > 0) text += "\r\n";
    text += Lines[i];
  }
  return text;
}

void TMemo::SetText(const std::string& text) {
  TStringList lines;
  // Unlike a string list, a text ending in a line break has an empty last line.
  std::size_t start = 0;
  while (!text.empty()) {
    const std::size_t lineEnd = text.find_first_of("\r\n", start);
    if (lineEnd == std::string::npos) {
      lines.Add(text.substr(start));
      break;
    }
    lines.Add(text.substr(start, lineEnd - start));
    const bool crlf =
        text[lineEnd] == '\r' && lineEnd + 1 < text.size() && text[lineEnd + 1] == '\n';
    start = lineEnd + (crlf ? 2 : 1);
  }
  Lines = std::move(lines);
  SetSelStart(0);
}

int TMemo::TextLength() const {
  std::size_t length = 0;
  for (const auto& line : Lines) length += line.size();
  if (Lines.Count() > 1) length += 2 * static_cast<std::size_t>(Lines.Count() - 1);
  return static_cast<int>(std::min<std::size_t>(length, 0x7FFFFFFF));
}

int TMemo::SelStart() const {
  return std::clamp(selStart_, 0, TextLength());
}

void TMemo::SetSelStart(int position) {
  SetSelection(std::clamp(position, 0, TextLength()), 0);
}

void TMemo::SetSelection(int start, int length) {
  if (start == selStart_ && length == selLength_) return;
  selStart_ = start;
  selLength_ = length;
  Changed(TControlChange::Selection);
}

int TMemo::SelLength() const {
  return std::clamp(selLength_, 0, TextLength() - SelStart());
}

void TMemo::SetSelLength(int length) {
  SetSelection(SelStart(), std::clamp(length, 0, TextLength() - SelStart()));
}

TPoint TMemo::CaretPos() const {
  int remaining = SelStart();
  for (int line = 0; line < Lines.Count(); ++line) {
    const int length = static_cast<int>(Lines[line].size());
    if (remaining <= length) return {remaining, line};
    remaining -= length + 2;
    // A caret between the CR and LF of a line end counts as the end of that line.
    if (remaining < 0) return {length, line};
  }
  return {0, std::max(0, Lines.Count() - 1)};
}

void TMemo::SetCaretPos(TPoint position) {
  if (Lines.Count() == 0) {
    SetSelStart(0);
    return;
  }
  const int line = std::clamp(position.Y, 0, Lines.Count() - 1);
  int offset = 0;
  for (int i = 0; i < line; ++i) offset += static_cast<int>(Lines[i].size()) + 2;
  offset += std::clamp(position.X, 0, static_cast<int>(Lines[line].size()));
  SetSelStart(offset);
}

// ---- simple controls

void TButton::Click() {
  if (OnClick) OnClick(this);
}

void TImage::Click() {
  if (OnClick) OnClick(this);
}

void TMenuItem::Click() {
  if (OnClick) OnClick(this);
}

void TPageControl::AddPage(TTabSheet& sheet) {
  sheet.Parent = this;
  pages_.push_back(&sheet);
  if (!ActivePage) ActivePage = &sheet;
}

void TStatusBar::Repaint() {
  GetFrontEnd().Repaint(*this);
}

void TProgressBar::SetPosition(int position) {
  const int clamped = Max >= Min ? std::clamp(position, Min, Max) : Min;
  if (clamped == position_) return;
  position_ = clamped;
  Changed(TControlChange::Position);
}

void TProgressBar::SetRange(int min, int max, int position) {
  Min = min;
  Max = max;
  position_ = Max >= Min ? std::clamp(position, Min, Max) : Min;
  Changed(TControlChange::Position);
}

void TProgressBar::StepIt() {
  const long long range = static_cast<long long>(Max) - Min;
  long long next = static_cast<long long>(position_) + Step;
  if (range <= 0) {
    next = Min;
  } else if (next > Max) {
    next = Min + (next - Max) % range;
  } else if (next < Min) {
    next = Max - (Min - next) % range;
  }
  SetPosition(static_cast<int>(next));
}

bool TOpenDialog::Execute() {
  return GetFrontEnd().ExecuteOpenDialog(*this);
}

TMenuItem& TPopupMenu::Add(std::string name, std::string caption) {
  items_.push_back(std::make_unique<TMenuItem>(std::move(name), std::move(caption)));
  return *items_.back();
}

void TPopupMenu::Popup(int x, int y) {
  GetFrontEnd().PopupMenu(*this, TPoint{x, y});
}

// ---- TForm

TForm::~TForm() {
  // Controls go first; no exit events or change notices fire while the form is torn down.
  OnControlChanged = nullptr;
  active_ = nullptr;
  controls_.clear();
}

TControl* TForm::FindControl(const std::string& name) const {
  for (const auto& control : controls_)
    if (control->Name == name) return control.get();
  return nullptr;
}

void TForm::FocusControl(TControl* control) {
  if (control == this) control = nullptr;
  if (control == active_) return;
  TControl* leaving = active_;
  active_ = control;
  Changed(TControlChange::Focus);
  if (!leaving || !leaving->OnExit || focusNesting_ >= kMaxFocusNesting) return;
  ++focusNesting_;
  try {
    leaving->OnExit(leaving);
  } catch (...) {
    --focusNesting_;
    throw;
  }
  --focusNesting_;
}

std::uint16_t TForm::KeyDown(TControl& control, std::uint16_t key, TShiftState shift) {
  if (control.OnKeyDown) control.OnKeyDown(&control, key, shift);
  return key;
}

char TForm::KeyPress(TControl& control, char ch) {
  if (control.OnKeyPress) control.OnKeyPress(&control, ch);
  return ch;
}

void TForm::Show() {
  Visible = true;
  DoShow();
}

void TForm::Close() {
  if (closing_ || closed_) return;
  closing_ = true;
  DoClose();
  closing_ = false;
  closed_ = true;
  if (OnClosed) OnClosed(this);
}

bool TForm::RequestClose() {
  if (closing_ || closed_) return true;
  if (!CanClose()) return false;
  Close();
  return true;
}

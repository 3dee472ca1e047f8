// The form-control model: plain objects holding what the composer reads and writes (texts,
// lines, check marks, captions, enabled state, selection, font, focus). A front-end shows this
// model and feeds user input back through the form's delivery helpers (KeyDown, KeyPress,
// FocusControl, Button::Click ...); tests drive it the same way.
//
// Events are std::function members; the first argument is the control that fires them.
//
// Change notification: every property a front-end shows is a TProperty (or, for lines and
// items, a TStringList with a change hook). Assigning a different value tells the form, which
// passes the control and what changed (TControlChange) to its one observer, OnControlChanged.
// So a window updates only what changed and never re-reads the whole form. An observer must
// not read the model inside the call: a list announces a change made through its non-const
// index before the change is made, so observers collect the changes and refresh when the
// handler that made them has returned.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/StringList.h"

class TForm;
class TControl;

struct TPoint {
  int X = 0;
  int Y = 0;
  bool operator==(const TPoint&) const = default;
};

// The modifier keys held with a key-down: a small set of Shift, Alt and Ctrl.
class TShiftState {
 public:
  enum Flag : std::uint8_t { Shift = 1, Alt = 2, Ctrl = 4 };

  constexpr TShiftState() = default;
  constexpr TShiftState(Flag flag) : bits_(flag) {}

  constexpr bool Contains(Flag flag) const { return (bits_ & flag) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TShiftState operator|(TShiftState other) const {
    return TShiftState(static_cast<std::uint8_t>(bits_ | other.bits_));
  }
  constexpr bool operator==(const TShiftState&) const = default;

 private:
  constexpr explicit TShiftState(std::uint8_t bits) : bits_(bits) {}
  std::uint8_t bits_ = 0;
};
constexpr TShiftState operator|(TShiftState::Flag a, TShiftState::Flag b) {
  return TShiftState(a) | TShiftState(b);
}
constexpr TShiftState ssShift{TShiftState::Shift};
constexpr TShiftState ssAlt{TShiftState::Alt};
constexpr TShiftState ssCtrl{TShiftState::Ctrl};

struct TFont {
  std::string Name = "MS Sans Serif";
  int Size = 8;
  bool operator==(const TFont&) const = default;
};

// What changed on a control.
enum class TControlChange : std::uint8_t {
  Text,         // TEdit, TComboBox
  Lines,        // TMemo
  Items,        // TComboBox, TListBox
  ItemIndex,    // TListBox
  Checked,      // TCheckBox
  Caption,      // TCheckBox, TButton, TTabSheet, TForm
  Enabled,      // every control
  Visible,      // every control
  Font,         // TMemo
  WordWrap,     // TMemo
  Selection,    // TMemo: caret and selection
  Position,     // TProgressBar
  ActivePage,   // TPageControl
  WindowState,  // TForm
  Focus,        // TForm: the active control
};

// A property of a control: reads like the value it holds (it converts to a const reference,
// compares, prints, and a text property offers the read-only string operations), and every
// assignment or change that alters the value tells the owning control's form. Assigning the
// value it already holds tells nobody.
template <class T>
class TProperty {
 public:
  TProperty(TControl& owner, TControlChange what, T initial = T{})
      : value_(std::move(initial)), owner_(&owner), what_(what) {}
  TProperty(const TProperty&) = delete;

  TProperty& operator=(const TProperty& other) { return *this = other.value_; }
  TProperty& operator=(const T& value) {
    if (!(value_ == value)) {
      value_ = value;
      Changed();
    }
    return *this;
  }
  TProperty& operator=(T&& value) {
    if (!(value_ == value)) {
      value_ = std::move(value);
      Changed();
    }
    return *this;
  }
  template <class U>
  requires(std::is_assignable_v<T&, U> && !std::is_same_v<std::remove_cvref_t<U>, T> &&
           !std::is_same_v<std::remove_cvref_t<U>, TProperty>) TProperty&
  operator=(U&& value) {
    return *this = T(std::forward<U>(value));
  }

  const T& Get() const { return value_; }
  operator const T&() const { return value_; }
  // Members of a struct (Font->Size) or the object a pointer property points to.
  auto operator->() const {
    if constexpr (std::is_pointer_v<T>)
      return value_;
    else
      return &value_;
  }

  friend bool operator==(const TProperty& a, const T& b) requires(!std::is_same_v<T, std::string>) {
    return a.value_ == b;
  }
  friend bool operator==(const TProperty& a,
                         std::string_view b) requires std::is_same_v<T, std::string> {
    return a.value_ == b;
  }
  friend bool operator==(const TProperty& a, const TProperty& b) { return a.value_ == b.value_; }
  friend std::ostream& operator<<(std::ostream& os, const TProperty& p) requires
      requires(std::ostream& o, const T& v) {
    o << v;
  }
  { return os << p.value_; }

  // ---- A text property reads like the string it holds ...
  static constexpr bool kText = std::is_same_v<T, std::string>;
  static constexpr std::size_t npos = std::string::npos;
  operator std::string_view() const requires kText { return value_; }
  bool empty() const requires kText { return value_.empty(); }
  std::size_t size() const requires kText { return value_.size(); }
  std::size_t length() const requires kText { return value_.size(); }
  const char* c_str() const requires kText { return value_.c_str(); }
  const char* data() const requires kText { return value_.data(); }
  char operator[](std::size_t i) const requires kText { return value_[i]; }
  char front() const requires kText { return value_.front(); }
  char back() const requires kText { return value_.back(); }
  auto begin() const requires kText { return value_.begin(); }
  auto end() const requires kText { return value_.end(); }
  std::string substr(std::size_t pos = 0, std::size_t count = npos) const requires kText {
    return value_.substr(pos, count);
  }
  template <class... A>
  std::size_t find(A&&... a) const requires kText {
    return value_.find(std::forward<A>(a)...);
  }
  template <class... A>
  std::size_t rfind(A&&... a) const requires kText {
    return value_.rfind(std::forward<A>(a)...);
  }
  template <class... A>
  std::size_t find_first_of(A&&... a) const requires kText {
    return value_.find_first_of(std::forward<A>(a)...);
  }
  template <class... A>
  std::size_t find_first_not_of(A&&... a) const requires kText {
    return value_.find_first_not_of(std::forward<A>(a)...);
  }
  template <class... A>
  std::size_t find_last_of(A&&... a) const requires kText {
    return value_.find_last_of(std::forward<A>(a)...);
  }
  template <class... A>
  std::size_t find_last_not_of(A&&... a) const requires kText {
    return value_.find_last_not_of(std::forward<A>(a)...);
  }
  template <class A>
  bool starts_with(A&& a) const requires kText {
    return value_.starts_with(std::forward<A>(a));
  }
  template <class A>
  bool ends_with(A&& a) const requires kText {
    return value_.ends_with(std::forward<A>(a));
  }
  template <class... A>
  int compare(A&&... a) const requires kText {
    return value_.compare(std::forward<A>(a)...);
  }
  friend std::string operator+(const TProperty& a, std::string_view b) requires kText {
    return std::string(a.value_).append(b);
  }
  friend std::string operator+(std::string_view a, const TProperty& b) requires kText {
    return std::string(a).append(b.value_);
  }
  friend std::string operator+(const TProperty& a, char b) requires kText { return a.value_ + b; }
  friend std::string operator+(const TProperty& a, const TProperty& b) requires kText {
    return a.value_ + b.value_;
  }

  // ... and its changes, each told to the form.
  void clear() requires kText { *this = std::string(); }
  TProperty& operator+=(std::string_view more) requires kText {
    return Edit([&](std::string& s) { s.append(more); });
  }
  TProperty& operator+=(char c) requires kText {
    return Edit([&](std::string& s) { s.push_back(c); });
  }
  template <class... A>
  TProperty& append(A&&... a) requires kText {
    return Edit([&](std::string& s) { s.append(std::forward<A>(a)...); });
  }
  template <class... A>
  TProperty& erase(A&&... a) requires kText {
    return Edit([&](std::string& s) { s.erase(std::forward<A>(a)...); });
  }
  template <class... A>
  TProperty& insert(A&&... a) requires kText {
    return Edit([&](std::string& s) { s.insert(std::forward<A>(a)...); });
  }
  template <class... A>
  TProperty& replace(A&&... a) requires kText {
    return Edit([&](std::string& s) { s.replace(std::forward<A>(a)...); });
  }
  void push_back(char c) requires kText { *this += c; }
  void pop_back() requires kText {
    Edit([](std::string& s) { s.pop_back(); });
  }

 private:
  template <class F>
  TProperty& Edit(F&& change) {
    std::string copy = value_;
    change(copy);
    return *this = std::move(copy);
  }
  void Changed();

  T value_;
  TControl* owner_;
  TControlChange what_;
};

using TNotifyEvent = std::function<void(TControl* Sender)>;
using TKeyEvent = std::function<void(TControl* Sender, std::uint16_t& Key, TShiftState Shift)>;
using TKeyPressEvent = std::function<void(TControl* Sender, char& Key)>;

// Base of every control. A control belongs to exactly one form, which created it.
class TControl {
 public:
  TControl(TForm& form, std::string name) : Name(std::move(name)), form_(&form) {}
  virtual ~TControl() = default;
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  std::string Name;
  TProperty<bool> Enabled{*this, TControlChange::Enabled, true};
  TProperty<bool> Visible{*this, TControlChange::Visible, true};
  std::string Hint;
  // The container the control sits on (a tab sheet, say); null for the form itself.
  TControl* Parent = nullptr;

  TNotifyEvent OnExit;        // the focus left this control
  TKeyEvent OnKeyDown;        // virtual-key code (in-out) and modifiers
  TKeyPressEvent OnKeyPress;  // a character; a handler may swallow it by setting it to 0

  TForm& Form() const { return *form_; }
  // Moves the form's focus here (fires OnExit of the control that loses it).
  void SetFocus();
  bool Focused() const;
  // Tells the form's observer that this control's property changed.
  void Changed(TControlChange what);

 private:
  TForm* form_;
};

class TEdit : public TControl {
 public:
  using TControl::TControl;
  TProperty<std::string> Text{*this, TControlChange::Text};
};

enum class TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

// A multi-line text field. Text() joins the lines with CR LF between them (no line end after
// the last line), so "ab","c" reads "ab\r\nc". SetText splits at every line break (CR LF, a lone
// CR or a lone LF), as an edit window does, so the lines never hold a line break and a text with
// CR LF breaks reads back unchanged. Selection positions count bytes of Text() from 0 and are
// clamped to the text.
class TMemo : public TControl {
 public:
  using TControl::TControl;

  TStringList Lines{[this] { Changed(TControlChange::Lines); }};
  TProperty<TFont> Font{*this, TControlChange::Font};
  TProperty<bool> WordWrap{*this, TControlChange::WordWrap, true};
  TScrollStyle ScrollBars = TScrollStyle::ssNone;

  std::string Text() const;
  void SetText(const std::string& text);

  int SelStart() const;
  void SetSelStart(int position);  // also clears the selection
  int SelLength() const;
  void SetSelLength(int length);
  // The caret as column (X) and line (Y), both from 0.
  TPoint CaretPos() const;
  void SetCaretPos(TPoint position);

 private:
  int TextLength() const;
  void SetSelection(int start, int length);  // both already clamped
  int selStart_ = 0;
  int selLength_ = 0;
};

class TCheckBox : public TControl {
 public:
  using TControl::TControl;
  TProperty<std::string> Caption{*this, TControlChange::Caption};
  TProperty<bool> Checked{*this, TControlChange::Checked, false};
};

class TComboBox : public TControl {
 public:
  using TControl::TControl;
  TProperty<std::string> Text{*this, TControlChange::Text};       // the edit text
  TStringList Items{[this] { Changed(TControlChange::Items); }};  // the drop-down list
};

class TListBox : public TControl {
 public:
  using TControl::TControl;
  TStringList Items{[this] { Changed(TControlChange::Items); }};
  TProperty<int> ItemIndex{*this, TControlChange::ItemIndex, -1};  // the selected entry, -1 = none
};

class TButton : public TControl {
 public:
  using TControl::TControl;
  TProperty<std::string> Caption{*this, TControlChange::Caption};
  TNotifyEvent OnClick;
  // Presses the button: fires OnClick (as a program's Click does, whatever Enabled says).
  void Click();
};

class TTabSheet : public TControl {
 public:
  using TControl::TControl;
  TProperty<std::string> Caption{*this, TControlChange::Caption};
};

class TPageControl : public TControl {
 public:
  using TControl::TControl;
  // Adds a sheet (created by the form) as the last page; the first page added becomes active.
  void AddPage(TTabSheet& sheet);
  const std::vector<TTabSheet*>& Pages() const { return pages_; }
  TProperty<TTabSheet*> ActivePage{*this, TControlChange::ActivePage, nullptr};
  bool TabsAtBottom = false;

 private:
  std::vector<TTabSheet*> pages_;
};

class TStatusBar : public TControl {
 public:
  using TControl::TControl;
  TProperty<std::string> SimpleText{*this, TControlChange::Text};
  // Asks the front-end to show the current text at once.
  void Repaint();
};

class TProgressBar : public TControl {
 public:
  using TControl::TControl;
  int Min = 0;
  int Max = 100;
  int Step = 10;
  int Position() const { return position_; }
  void SetPosition(int position);  // clamped to Min..Max
  // A new scale and the position on it, announced as one Position change.
  void SetRange(int min, int max, int position);
  // Advances by Step; past Max the bar starts over from Min, as the platform's bar does.
  void StepIt();

 private:
  int position_ = 0;
};

class TImage : public TControl {
 public:
  using TControl::TControl;
  TNotifyEvent OnClick;
  void Click();
};

// A file-open dialog; Execute asks the front-end, which fills FileName and Files on success.
class TOpenDialog : public TControl {
 public:
  using TControl::TControl;
  std::string Title;
  std::string Filter;  // "Description|pattern|Description|pattern"
  std::string DefaultExt;
  bool AllowMultiSelect = false;
  bool PathMustExist = false;
  bool FileMustExist = false;
  bool HideReadOnly = true;
  std::string FileName;  // the first (or only) chosen file
  TStringList Files;     // every chosen file, in the dialog's order
  // True when the user confirmed a choice; a cancelled dialog changes nothing.
  bool Execute();
};

class TMenuItem {
 public:
  TMenuItem(std::string name, std::string caption)
      : Name(std::move(name)), Caption(std::move(caption)) {}
  std::string Name;
  std::string Caption;  // "-" is a separator
  std::function<void(TMenuItem* Sender)> OnClick;
  void Click();
};

class TPopupMenu : public TControl {
 public:
  using TControl::TControl;
  TMenuItem& Add(std::string name, std::string caption);
  const std::vector<std::unique_ptr<TMenuItem>>& Items() const { return items_; }
  // Opens the menu at screen position (x, y) through the front-end.
  void Popup(int x, int y);

 private:
  std::vector<std::unique_ptr<TMenuItem>> items_;
};

enum class TWindowState { wsNormal, wsMaximized };
enum class TPosition { poDesigned, poScreenCenter };

// A window: owns its controls, knows the focused one and delivers keys. The form is itself a
// control (it has a name and key events of its own).
class TForm : public TControl {
 public:
  explicit TForm(std::string name = "Form") : TControl(*this, std::move(name)) {}
  ~TForm() override;

  TProperty<std::string> Caption{*this, TControlChange::Caption};
  int ClientWidth = 0;
  int ClientHeight = 0;
  TPosition Position = TPosition::poScreenCenter;
  TFont Font;
  TProperty<TWindowState> WindowState{*this, TControlChange::WindowState, TWindowState::wsNormal};

  // The one observer of every control's changes (a front-end that shows the form).
  std::function<void(TControl& control, TControlChange what)> OnControlChanged;

  // Creates a control owned by the form. The reference stays valid as long as the form.
  template <class T, class... Args>
  T& Make(std::string name, Args&&... args) {
    static_assert(std::is_base_of_v<TControl, T>);
    auto control = std::make_unique<T>(*this, std::move(name), std::forward<Args>(args)...);
    T& ref = *control;
    controls_.push_back(std::move(control));
    return ref;
  }
  // The control with this name (exact match), or null.
  TControl* FindControl(const std::string& name) const;
  const std::vector<std::unique_ptr<TControl>>& Controls() const { return controls_; }

  // Focus (announced as TControlChange::Focus on the form). Moving the focus to another control
  // makes it the active control first and then fires OnExit of the control that lost it, so a
  // handler that moves the focus again sees a consistent state and its own move fires the exits it
  // causes. Focusing the active control again fires nothing; focusing the form itself clears the
  // active control. Exit handlers that keep pulling the focus back and forth are cut off after
  // kMaxFocusNesting nested moves (the focus still moves, no further OnExit fires) instead of
  // recursing without end.
  TControl* ActiveControl() const { return active_; }
  void FocusControl(TControl* control);

  // Key delivery for front-ends and tests. KeyDown fires the control's OnKeyDown and returns
  // the key code after the handlers (0 = handled); KeyPress fires OnKeyPress and returns the
  // character after the handlers (0 = swallowed).
  std::uint16_t KeyDown(TControl& control, std::uint16_t key, TShiftState shift);
  char KeyPress(TControl& control, char ch);

  // Showing: the front-end calls Show once when the window appears (runs DoShow).
  void Show();
  // Closing: runs the close hook DoClose, then OnClosed (set by whoever runs the form, so that
  // it can end its loop). A form closes once; later calls, also from inside DoClose, are
  // ignored.
  void Close();
  // A close the person asked for (a close key, the window's close button, the window manager):
  // CanClose decides first (it may ask), then Close. False when the form stays open; a window
  // then keeps itself open too.
  bool RequestClose();
  bool Closed() const { return closed_; }
  std::function<void(TForm* Sender)> OnClosed;

 protected:
  virtual void DoShow() {}
  virtual void DoClose() {}
  virtual bool CanClose() { return true; }

 private:
  static constexpr int kMaxFocusNesting = 16;
  std::vector<std::unique_ptr<TControl>> controls_;
  TControl* active_ = nullptr;
  int focusNesting_ = 0;
  bool closing_ = false;
  bool closed_ = false;
};

template <class T>
void TProperty<T>::Changed() {
  owner_->Changed(what_);
}

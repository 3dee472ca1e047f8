// TStringList: an ordered list of byte strings with key=value access, the shared list type of
// the program (recipients, header lines, body lines, server lists, ini section contents).
//
// A list that belongs to a control (a memo's lines, a list box's items) carries a change hook
// that tells the control's form. Every change calls it; a change through the non-const index
// calls it when the reference is handed out, so observers read the list once the handler that
// changed it has returned, never inside the hook. Copies and assignments move only the lines:
// a copy has no hook, and a list keeps its own hook when another list is assigned to it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class TStringList {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> lines) : lines_(lines) {}
  // A list whose every change calls onChange (a control's list).
  explicit TStringList(std::function<void()> onChange) : onChange_(std::move(onChange)) {}

  TStringList(const TStringList& other) : lines_(other.lines_) {}
  TStringList(TStringList&& other) noexcept : lines_(std::move(other.lines_)) {}
  TStringList& operator=(const TStringList& other) {
    if (this != &other) Assign(other);
    return *this;
  }
  TStringList& operator=(TStringList&& other) noexcept {
    lines_ = std::move(other.lines_);
    Changed();
    return *this;
  }

  int Count() const { return static_cast<int>(lines_.size()); }
  bool Empty() const { return lines_.empty(); }
  const std::string& operator[](int i) const { return lines_[static_cast<std::size_t>(i)]; }
  std::string& operator[](int i) {
    Changed();
    return lines_[static_cast<std::size_t>(i)];
  }

  int Add(std::string line) {
    lines_.push_back(std::move(line));
    Changed();
    return Count() - 1;
  }
  void Insert(int index, std::string line) {
    lines_.insert(lines_.begin() + index, std::move(line));
    Changed();
  }
  void Delete(int index) {
    lines_.erase(lines_.begin() + index);
    Changed();
  }
  void Clear() {
    if (lines_.empty()) return;
    lines_.clear();
    Changed();
  }
  void Assign(const TStringList& other) {
    lines_ = other.lines_;
    Changed();
  }

  // Index of the first line equal to s (exact), or -1.
  int IndexOf(std::string_view s) const {
    for (std::size_t i = 0; i < lines_.size(); ++i)
      if (lines_[i] == s) return static_cast<int>(i);
    return -1;
  }

  // The lines joined with CR LF after each line (as a memo's or a list's Text reads).
  std::string Text() const {
    std::string out;
    for (const auto& l : lines_) {
      out += l;
      out += "\r\n";
    }
    return out;
  }
  // Splits at CR LF, lone CR or lone LF; a final line end does not add an empty line.
  void SetText(std::string_view text) {
    lines_.clear();
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' || text[i] == '\n') {
        lines_.emplace_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
      }
    }
    if (start < text.size()) lines_.emplace_back(text.substr(start));
    Changed();
  }

  auto begin() const { return lines_.begin(); }
  auto end() const { return lines_.end(); }
  const std::vector<std::string>& Lines() const { return lines_; }

  bool operator==(const TStringList& other) const { return lines_ == other.lines_; }

 private:
  void Changed() const {
    if (onChange_) onChange_();
  }

  std::vector<std::string> lines_;
  std::function<void()> onChange_;
};

// TStringList: an ordered list of byte strings with key=value access, the shared list type of
// the program (recipients, header lines, body lines, server lists, ini section contents).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class TStringList {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> lines) : lines_(lines) {}

  int Count() const { return static_cast<int>(lines_.size()); }
  bool Empty() const { return lines_.empty(); }
  const std::string& operator[](int i) const { return lines_[static_cast<std::size_t>(i)]; }
  std::string& operator[](int i) { return lines_[static_cast<std::size_t>(i)]; }

  int Add(std::string line) {
    lines_.push_back(std::move(line));
    return Count() - 1;
  }
  void Insert(int index, std::string line) {
    lines_.insert(lines_.begin() + index, std::move(line));
  }
  void Delete(int index) { lines_.erase(lines_.begin() + index); }
  void Clear() { lines_.clear(); }
  void Assign(const TStringList& other) { lines_ = other.lines_; }

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
  }

  auto begin() const { return lines_.begin(); }
  auto end() const { return lines_.end(); }
  const std::vector<std::string>& Lines() const { return lines_; }

  bool operator==(const TStringList& other) const = default;

 private:
  std::vector<std::string> lines_;
};

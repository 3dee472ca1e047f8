#include "util/StringUtils.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

std::string ReplaceOncePerOccurrence(const std::string& source, const std::string& search,
                                     const std::string& replacement) {
  std::string result;
  std::size_t from = 0;
  for (std::size_t found; (found = source.find(search, from)) != std::string::npos;) {
    result.append(source, from, found - from);
    result += replacement;
    from = found + search.size();
  }
  result.append(source, from, std::string::npos);
  return result;
}

// KMP failure function: for each prefix length, the length of its longest proper border.
std::vector<std::size_t> Borders(const std::string& pattern) {
  std::vector<std::size_t> border(pattern.size() + 1, 0);
  std::size_t k = 0;
  for (std::size_t i = 1; i < pattern.size(); ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = border[k];
    if (pattern[i] == pattern[k]) ++k;
    border[i + 1] = k;
  }
  return border;
}

}  // namespace

// Searching again from the start after every replacement finds the same occurrence as scanning
// on from where the replaced text began, because the text before it held no occurrence. So the
// text is scanned once with a matcher whose state is kept for every byte of the result: after a
// replacement the result is cut back by the search length, the matcher state at the cut is
// taken up again, and the replacement is scanned next, followed by the rest of the source.
std::string ReplaceAll(std::string source, const std::string& search,
                       const std::string& replacement) {
  if (search.empty()) return source;
  if (replacement.find(search) != std::string::npos)
    return ReplaceOncePerOccurrence(source, search, replacement);

  const std::vector<std::size_t> border = Borders(search);
  const std::size_t m = search.size();
  // A replacement can form a new occurrence with the text before it. When the replacement is
  // shorter than the search text every replacement shortens the text, so at most one per source
  // byte happens; otherwise such chains can take quadratic time ("ab" -> "ba") or grow the text
  // exponentially ("ab" -> "bbaa" on "aaab"). Past a budget linear in the source, every original
  // occurrence is replaced once instead, so the time stays linear.
  const std::size_t replacementBudget = std::max<std::size_t>(4096, 4 * source.size());
  std::size_t replacements = 0;

  std::string result;
  std::vector<std::size_t> state{0};  // state[i]: matched length after result[0, i)
  std::string pending;                // bytes still to scan before the source, last one first
  std::size_t next = 0;
  result.reserve(source.size());
  state.reserve(source.size() + 1);
  while (!pending.empty() || next < source.size()) {
    char c;
    if (!pending.empty()) {
      c = pending.back();
      pending.pop_back();
    } else {
      c = source[next++];
    }
    std::size_t k = state.back();
    while (k > 0 && c != search[k]) k = border[k];
    if (c == search[k]) ++k;
    result.push_back(c);
    state.push_back(k);
    if (k == m) {
      if (++replacements > replacementBudget)
        return ReplaceOncePerOccurrence(source, search, replacement);
      result.resize(result.size() - m);
      state.resize(state.size() - m);
      pending.append(replacement.rbegin(), replacement.rend());
    }
  }
  return result;
}

#include "util/StringUtils.h"

std::string ReplaceAll(std::string source, const std::string& search,
                       const std::string& replacement) {
  if (search.empty()) return source;
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

// ReplaceAll: every occurrence of a text replaced.
#pragma once

#include <string>

// The source with every occurrence of search replaced by replacement. The result is as if the
// text were searched again from its start after each replacement, so an occurrence that a
// replacement forms together with the text before it is replaced too ("aabb", "ab", "" gives
// ""). An empty search never matches. When the replacement itself contains the search text
// (where searching again would never end), or when replacements keep forming new occurrences far
// more often than the text has bytes (a chain that takes quadratic time or grows the text without
// bound), every original occurrence is replaced once, left to right, instead. Linear time.
std::string ReplaceAll(std::string source, const std::string& search,
                       const std::string& replacement);

#include "util/StringUtils.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// The replacement as the composer's helpers have always defined it: search again from the
// start after every replacement. Only for cases where that ends.
std::string RestartingReference(std::string text, const std::string& search,
                                const std::string& replacement) {
  if (search.empty()) return text;
  for (std::size_t found; (found = text.find(search)) != std::string::npos;)
    text.replace(found, search.size(), replacement);
  return text;
}

TEST(ReplaceAll, KnownCases) {
  EXPECT_EQ(ReplaceAll("aabb", "ab", ""), "");
  EXPECT_EQ(ReplaceAll("a_b_c", "_", " "), "a b c");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(ReplaceAll("abc", "z", "x"), "abc");
  EXPECT_EQ(ReplaceAll("", "a", "x"), "");
  EXPECT_EQ(ReplaceAll("one\r\ntwo\r\n", "\r\n", "\xFF"), "one\xFFtwo\xFF");
  EXPECT_EQ(ReplaceAll("one\xFFtwo", "\xFF", "\r\n"), "one\r\ntwo");
  // A lone CR or LF is not a CR LF pair.
  EXPECT_EQ(ReplaceAll("a\rb\nc\n\rd", "\r\n", "\xFF"), "a\rb\nc\n\rd");
}

TEST(ReplaceAll, OccurrencesFormedByReplacementAreReplacedLikeRestartingSearch) {
  EXPECT_EQ(ReplaceAll("aaabbb", "ab", ""), "");
  EXPECT_EQ(ReplaceAll("xaabby", "ab", ""), "xy");
  EXPECT_EQ(ReplaceAll("aab", "ab", "ba"), "baa");
  EXPECT_EQ(ReplaceAll("abcabcc", "abc", "c"), "ccc");
  EXPECT_EQ(ReplaceAll("aaaa", "aa", "a"), "a");

  // Random texts over a small alphabet against the restarting definition, for every search and
  // replacement pair where the restarting search ends and stays small.
  std::mt19937 random(12345);
  const std::string patterns[] = {"a", "b", "ab", "ba", "aa", "aba", "abb", "bab", ""};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) text += "abc"[random() % 3];
    const std::string& search = patterns[random() % 8];
    const std::string& replacement = patterns[random() % 9];
    if (replacement.find(search) != std::string::npos) continue;
    if (replacement.size() > search.size()) continue;  // may grow: checked separately below
    EXPECT_EQ(ReplaceAll(text, search, replacement), RestartingReference(text, search, replacement))
        << text << " / " << search << " / " << replacement;
  }
  // Growing replacements whose chains stay short are still exact.
  EXPECT_EQ(ReplaceAll("aaabab", "ab", "bba"), RestartingReference("aaabab", "ab", "bba"));
  EXPECT_EQ(ReplaceAll("aaaaaaaab", "ab", "ba"), "baaaaaaaa");
}

TEST(ReplaceAll, ReplacementContainingSearchIsReplacedOncePerOccurrenceWithoutHanging) {
  EXPECT_EQ(ReplaceAll("a-a", "a", "aa"), "aa-aa");
  EXPECT_EQ(ReplaceAll("xabx", "ab", "cabd"), "xcabdx");
  const std::string big(1 << 20, 'a');
  EXPECT_EQ(ReplaceAll(big, "a", "aa"), std::string(2 << 20, 'a'));
}

TEST(ReplaceAll, RunawayChainsStayLinear) {
  // "ab" -> "bbaa" doubles the b's for every a in front: restarting would need 2^40 steps.
  const std::string source = std::string(40, 'a') + "b";
  EXPECT_EQ(ReplaceAll(source, "ab", "bbaa"), std::string(39, 'a') + "bbaa");
  // A long quadratic chain: a's bubbling past b's.
  const std::string bubbles = std::string(100000, 'a') + std::string(100000, 'b');
  const std::string result = ReplaceAll(bubbles, "ab", "ba");
  EXPECT_EQ(result.size(), bubbles.size());
}

TEST(ReplaceAll, LongCascadesAreFast) {
  // Each replacement forms the next occurrence: restarting from the start every time would be
  // quadratic; this must finish at once.
  const std::string nested = std::string(500000, 'a') + std::string(500000, 'b');
  EXPECT_EQ(ReplaceAll(nested, "ab", ""), "");
  std::string lines;
  for (int i = 0; i < 200000; ++i) lines += "line\r\n";
  const std::string stored = ReplaceAll(lines, "\r\n", "\xFF");
  EXPECT_EQ(stored.size(), 200000u * 5);
  EXPECT_EQ(ReplaceAll(stored, "\xFF", "\r\n"), lines);
}

}  // namespace

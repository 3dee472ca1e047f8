#include "util/Tokenutils.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(GetToken, EmptyFieldsAndIndexesOutsideTheList) {
  const char* expected[] = {"", "a", "b", "", "c", ""};
  for (int index = 0; index <= 5; ++index)
    EXPECT_EQ(GetToken("a;b;;c", ";", static_cast<std::uint8_t>(index)), expected[index])
        << "index " << index;
}

TEST(GetToken, HostAndPort) {
  EXPECT_EQ(GetToken("host:25", ":", 1), "host");
  EXPECT_EQ(GetToken("host:25", ":", 2), "25");
  EXPECT_EQ(GetToken("host:25", ":", 3), "");
  EXPECT_EQ(GetToken("host", ":", 1), "host");
  EXPECT_EQ(GetToken("host", ":", 2), "");
}

TEST(GetToken, TrailingDelimiterLongDelimiterEmptyDelimiterEmptySource) {
  EXPECT_EQ(GetToken("a;", ";", 1), "a");
  EXPECT_EQ(GetToken("a;", ";", 2), "");
  EXPECT_EQ(GetToken("a;", ";", 3), "");
  EXPECT_EQ(GetToken("a; b", "; ", 1), "a");
  EXPECT_EQ(GetToken("a; b", "; ", 2), "b");
  EXPECT_EQ(GetToken("a;;b", ";;", 2), "b");
  EXPECT_EQ(GetToken("a;b", "", 1), "a;b");
  EXPECT_EQ(GetToken("a;b", "", 2), "");
  for (int index = 0; index < 256; ++index)
    EXPECT_EQ(GetToken("", ";", static_cast<std::uint8_t>(index)), "");
  EXPECT_EQ(GetToken("key=value=more", "=", 2), "value");
}

TEST(GetToken, LongSourcesAndHighIndexes) {
  const std::string first(300, 'x');
  EXPECT_EQ(GetToken(first + ";tail", ";", 1), first);
  EXPECT_EQ(GetToken(first + ";tail", ";", 2), "tail");

  std::string list;
  for (int i = 1; i <= 300; ++i) list += "t" + std::to_string(i) + ";";
  EXPECT_EQ(GetToken(list, ";", 255), "t255");
  EXPECT_EQ(GetToken(list, ";", 1), "t1");
}

}  // namespace

#include <gtest/gtest.h>

#include <set>

#include "app/Utilities.h"

namespace {

TEST(UtilitiesTest, RandomStringUsesTheAlphabetWithoutZero) {
  std::set<char> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string s = RandomString(5);
    ASSERT_EQ(s.size(), 5u);
    for (char c : s) {
      EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '1' && c <= '9')) << c;
      seen.insert(c);
    }
  }
  EXPECT_EQ(seen.count('0'), 0u);
  EXPECT_GT(seen.size(), 30u);  // 1000 draws over 35 symbols reach nearly all
  EXPECT_EQ(RandomString(0), "");
}

TEST(UtilitiesTest, FormatUptime) {
  EXPECT_EQ(FormatUptime(0), "00:00:00");
  EXPECT_EQ(FormatUptime(59), "00:00:59");
  EXPECT_EQ(FormatUptime(86400), "1D 00:00:00");
  EXPECT_EQ(FormatUptime(86400 + 2 * 3600 + 3 * 60 + 4), "1D 02:03:04");
  EXPECT_EQ(FormatUptime(UINT32_MAX), "49710D 06:28:15");
}

TEST(UtilitiesTest, ReplaceTextMatchesAsciiLettersInAnyCase) {
  std::string t = "a%%NAME%%b";
  ReplaceText(t, "%%name%%", "X", rfReplaceAll | rfIgnoreCase);
  EXPECT_EQ(t, "aXb");
  t = "xAxA";
  ReplaceText(t, "a", "b", 0);
  EXPECT_EQ(t, "xbxA");
  t = "xAxA";
  ReplaceText(t, "a", "b", rfReplaceAll);
  EXPECT_EQ(t, "xbxb");
  t = "\xE4X\xC4";  // letters beyond a-z compare exactly
  ReplaceText(t, "\xE4", "y", rfReplaceAll | rfIgnoreCase);
  EXPECT_EQ(t, "yX\xC4");
}

TEST(UtilitiesTest, ReplaceTextEdgeCases) {
  std::string t;
  ReplaceText(t, "a", "b", rfReplaceAll);
  EXPECT_EQ(t, "");
  t = "abc";
  ReplaceText(t, "", "b", rfReplaceAll);
  EXPECT_EQ(t, "abc");
  t = "aAbA";  // an empty replacement deletes exact-case matches, then the first other
  ReplaceText(t, "A", "", 0);
  EXPECT_EQ(t, "b");
  t = std::string("ab\0ab", 5);  // the text ends at its NUL
  ReplaceText(t, "b", "c", rfReplaceAll);
  EXPECT_EQ(t, "ac");
}

TEST(UtilitiesTest, FormatArgsReplacesInAscendingOrder) {
  EXPECT_EQ(FormatArgs("playerid %1 not found", {5}), "playerid 5 not found");
  EXPECT_EQ(FormatArgs("Exception %1 : %2", {"X", "Y"}), "Exception X : Y");
  EXPECT_EQ(FormatArgs("%1 %2 %3", {"only"}), "only %2 %3");
  EXPECT_EQ(FormatArgs("%1%1", {-7}), "-7-7");
  // With ten arguments "%10" is consumed by argument 1 followed by "0".
  EXPECT_EQ(FormatArgs("%10", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}), "a0");
}

}  // namespace

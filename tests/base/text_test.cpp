#include "base/text.h"

#include <gtest/gtest.h>

namespace veracap {
namespace {

TEST(Text, WildcardsMatchAsInAFolderWithoutRegardToCase) {
  const struct {
    const char* pattern;
    const char* name;
    bool match;
  } kCases[] = {
      {"VCAPTEST*.tmp", "VCAPTEST12.tmp", true},
      {"VCAPTEST*.tmp", "vcaptestX.TMP", true},
      {"VCAPTEST*.tmp", "VCAPTEST.tmp", true},
      {"VCAPTEST*.tmp", "VCAPTEST1.tmp.bak", false},
      {"VCAPTEST*.tmp", "XVCAPTEST1.tmp", false},
      {"a?c*", "abcdef", true},
      {"a?c", "ac", false},
      {"*.*", "NODOT", true},  // Windows' "every file"
      {"*b", "*ab", true},     // a star in the name is no star of the pattern
      {"", "", true},
      {"", "a", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " / " << c.name;
  }
}

TEST(Text, TrimAndCaseTouchOnlyBlanksAndAscii) {
  EXPECT_EQ(Trim("  a b  "), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("\ta\t"), "\ta\t");
  EXPECT_EQ(Upper("ab\xe9z"), "AB\xe9Z");
  EXPECT_EQ(Lower("AB\xc9Z"), "ab\xc9z");
}

}  // namespace
}  // namespace veracap

#include "app/format.h"

#include <gtest/gtest.h>

namespace veracap {
namespace {

TEST(FormatNumberText, CutsDecimalsAndGroups) {
  EXPECT_EQ(FormatNumberText(1234.56789, "#########0.0##"), "1,234.567");
  EXPECT_EQ(FormatNumberText(31914983424.0, "###,###,###,###,###0"), "31,914,983,424");
  EXPECT_EQ(FormatNumberText(-12.5, "#########0.0##"), "-12.5");
  EXPECT_EQ(FormatNumberText(123456, "#.#"), "123,456.");
  EXPECT_EQ(FormatNumberText(7.96875, "###############0.0"), "7.9");
  EXPECT_EQ(FormatNumberText(1234.9, "###,###,###,###,###0"), "1,234");
  EXPECT_EQ(FormatNumberText(3910.64404296875, "#########0.0##"), "3,910.644");
}

TEST(FormatNumberText, ReadsTextsByTheirLeadingNumber) {
  EXPECT_EQ(FormatNumberText("    16006394880", "###,###,###,###,###0"), "16,006,394,880");
  EXPECT_EQ(FormatNumberText("abc", "#.0"), "0.0");
  EXPECT_EQ(PlainNumberText(12.5), "12.5");
  EXPECT_EQ(PlainNumberText(62332199), "62332199");
  EXPECT_EQ(PlainNumberText(2000396321280.0), "2000396321280");
}

TEST(PadText, PadsOrCutsToWidth) {
  EXPECT_EQ(PadText("ABC", " ", 5, true), "ABC  ");
  EXPECT_EQ(PadText("ABC", " ", 5, false), "  ABC");
  EXPECT_EQ(PadText("ABCDEFG", " ", 5, false), "CDEFG");
}

}  // namespace
}  // namespace veracap

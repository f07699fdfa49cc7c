// Number texts of the reports: plain decimal, grouped with cut decimals, and
// fixed-width columns.
#pragma once

#include <string>
#include <string_view>

namespace veracap {

// Plain decimal text of a number: up to 15 significant digits, "." as the
// point, no grouping, no point for whole numbers (12.5, 3, 0.5, -1).
std::string PlainNumberText(double value);
// Reads the number a text begins with, blanks skipped; 0 when there is none.
double LeadingNumber(std::string_view text);

// Grouped integer part and up to 0..3 decimals, cut and never rounded. The
// pattern decides only the decimals (".0" one, ".0#" two, ".0##" three) and
// whether a point is written ("." anywhere).
std::string FormatNumberText(double value, std::string_view pattern);
std::string FormatNumberText(std::string_view value_text, std::string_view pattern);

// Pads with the fill's first character, or cuts, to exactly width characters:
// left-aligned keeps the text's start, right-aligned its end.
std::string PadText(std::string_view text, std::string_view fill, int width, bool left_aligned);

// Rounds to the nearest whole number, halves to the even neighbour.
double RoundHalfEven(double value);

}  // namespace veracap

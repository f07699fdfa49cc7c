#include "app/format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace veracap {

std::string PlainNumberText(double value) {
  if (value == 0) return "0";
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  std::string s = text;
  if (s.find('e') == std::string::npos) return s;
  // Beyond 15 digits of magnitude (or tiny values): write it out in full
  // rather than in exponent form, trimming trailing zeros of a fraction.
  std::snprintf(text, sizeof text, std::fabs(value) >= 1 ? "%.0f" : "%.15f", value);
  s = text;
  if (s.find('.') != std::string::npos) {
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
  }
  return s;
}

double LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::string rest(text.substr(i));
  char* end = nullptr;
  double v = std::strtod(rest.c_str(), &end);
  if (end == rest.c_str()) return 0;
  if (!std::isfinite(v)) return 0;
  return v;
}

std::string FormatNumberText(double value, std::string_view pattern) {
  const std::string plain = PlainNumberText(value);
  std::string integer_part = plain;
  std::string decimal_part = "0";
  if (const auto dot = plain.find('.'); dot != std::string::npos) {
    integer_part = plain.substr(0, dot);
    decimal_part = plain.substr(dot + 1);
  }
  std::string grouped;
  const std::size_t n = integer_part.size();
  for (std::size_t i = 0; i < n; ++i) {
    grouped += integer_part[i];
    const std::size_t right = n - 1 - i;
    if (right > 0 && right % 3 == 0) grouped += ',';
  }
  std::size_t decimals = 0;
  if (pattern.find(".0") != std::string_view::npos) decimals = 1;
  if (pattern.find(".0#") != std::string_view::npos) decimals = 2;
  if (pattern.find(".0##") != std::string_view::npos) decimals = 3;
  if (pattern.find('.') == std::string_view::npos) return grouped;
  return grouped + "." + decimal_part.substr(0, decimals);
}

std::string FormatNumberText(std::string_view value_text, std::string_view pattern) {
  return FormatNumberText(LeadingNumber(value_text), pattern);
}

std::string PadText(std::string_view text, std::string_view fill, int width, bool left_aligned) {
  if (width <= 0) return {};
  const std::size_t w = static_cast<std::size_t>(width);
  const std::string run(w, fill.empty() ? ' ' : fill[0]);
  if (left_aligned) return (std::string(text) + run).substr(0, w);
  const std::string joined = run + std::string(text);
  return joined.substr(joined.size() - w);
}

double RoundHalfEven(double value) { return std::nearbyint(value); }

}  // namespace veracap

// Local-time texts: the core prints dates and elapsed spans in one format.
// (The arithmetic itself is in base/civil_time.h.)
#pragma once

#include <cstdint>
#include <string>

#include "base/civil_time.h"

namespace veracap {

// "YYYY-MM-DD hh:mm:ss": the date-and-time text of trace lines.
std::string GeneralDateText(const LocalTime& t);
// A span of seconds as "hh:mm:ss"; hours go on counting past 24, so a span
// of more than a day is never shown as a few hours.
std::string ElapsedText(std::int64_t seconds);

}  // namespace veracap

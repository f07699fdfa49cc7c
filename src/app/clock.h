// Local-time arithmetic: the core measures elapsed time as differences of
// local times read to the whole second, and prints dates in one format.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace veracap {

// Seconds since 1970-01-01 00:00:00 of the same civil calendar (no zone).
std::int64_t SerialSeconds(const LocalTime& t);
LocalTime FromSerialSeconds(std::int64_t seconds);
// "YYYY-MM-DD hh:mm:ss": the date-and-time text of trace lines.
std::string GeneralDateText(const LocalTime& t);
// A span of seconds as "hh:mm:ss"; hours go on counting past 24, so a span
// of more than a day is never shown as a few hours.
std::string ElapsedText(std::int64_t seconds);

}  // namespace veracap

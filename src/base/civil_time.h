// Civil (wall-clock) time without a zone, and its arithmetic: the core
// measures elapsed time as differences of local times read to the whole
// second; the emulated platform runs a virtual clock on the same count.
#pragma once

#include <cstdint>

namespace veracap {

// Local civil time, as GetLocalTime gives it.
struct LocalTime {
  int year = 2000;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Seconds since 1970-01-01 00:00:00 of the same civil calendar (no zone).
std::int64_t SerialSeconds(const LocalTime& t);
LocalTime FromSerialSeconds(std::int64_t seconds);

}  // namespace veracap

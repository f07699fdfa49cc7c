// Which physical disks the tests may touch.
#pragma once

#include <cstdint>

namespace veracap {

inline constexpr std::int32_t kHighestDiskNumber = 80;

// Disk 0 holds the system; a negative number names no disk at all; numbers
// above 80 are never examined. NaN is no disk either.
constexpr bool IsTestableDiskNumber(double number) {
  return number >= 1 && number <= kHighestDiskNumber;
}

}  // namespace veracap

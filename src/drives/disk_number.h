// The range of physical disk numbers the program examines. Which of those
// disks may be tested is told by what they hold (drives/disk_role.h).
#pragma once

#include <cstdint>

namespace veracap {

inline constexpr std::int32_t kHighestDiskNumber = 80;

// A negative number names no disk at all; numbers above 80 are never
// examined. NaN is no disk either.
constexpr bool IsDiskNumberInRange(double number) {
  return number >= 0 && number <= kHighestDiskNumber;
}

}  // namespace veracap

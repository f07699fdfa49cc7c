// The destructive capacity test of a whole physical disk: one marker sector
// per block of 25,600 sectors, written from the end of the disk towards its
// start, read back, analysed, and reported as PASSED or FAILED.
#pragma once

#include <cstdint>
#include <vector>

#include "app/context.h"

namespace veracap {

inline constexpr std::int64_t kBlockSectors = 25600;
inline constexpr double kBlockBytes = 13107200;
inline constexpr std::int32_t kHighestDiskNumber = 80;
inline constexpr std::size_t kMismatchLimit = 50000;

// Runs the test on SelectedDiskNumber, DriveSizeBytes bytes long. Refuses
// disk 0 and numbers above 80 without a word.
void QuickSizeTest(Context& ctx);

// Sectors 2^j (j >= 15, 2^j < sector_count) that the block markers do not
// cover, highest first. A device whose addresses wrap modulo a power-of-two
// real size gives each of these the memory of a lower one (down to sector
// 0), so their markers come back wrong where the block markers alone could
// all read back intact.
std::vector<std::int64_t> WrapProbeSectors(std::int64_t sector_count);

}  // namespace veracap

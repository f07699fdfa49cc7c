// The destructive capacity test of a whole physical disk: one marker sector
// per block of 25,600 sectors, written from the end of the disk towards its
// start, read back, analysed, and reported as PASSED or FAILED.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/context.h"
#include "drives/disk_number.h"

namespace veracap {

inline constexpr std::int64_t kBlockSectors = 25600;
inline constexpr double kBlockBytes = 13107200;
inline constexpr std::size_t kMismatchLimit = 50000;

// The bytes of distinct data written after the markers and before the
// read-back, to push the markers out of a device's write cache of up to
// 256 MiB.
inline constexpr double kFloodBytes = 272.0 * 1048576;

// Runs the test on SelectedDiskNumber, DriveSizeBytes bytes long. Refuses
// a disk that holds the system (drives/disk_role.h) and numbers outside 0 to
// 80 without a word (the command has told the user already).
void QuickSizeTest(Context& ctx);

// Sectors 2^j and 2^j - 1 (j >= 15, below sector_count) that the block
// markers do not cover, highest first. A device whose addresses wrap modulo
// a power-of-two real size gives each 2^j the memory of a lower one, and a
// device whose memory ends at a power of two holds 2^j - 1 but not 2^j, so
// such a boundary is found to the sector.
std::vector<std::int64_t> WrapProbeSectors(std::int64_t sector_count);

// The verdict when not a single marker could be written (a write-protected
// or worn-out read-only stick, one removed or held by another program), or
// when a write failed for such a cause (then named by `cause`): FAILED's
// message style and outcome, with a text that says the drive could not be
// written instead of reporting bad memory, then the closing message.
void ReportCouldNotWrite(Context& ctx, const std::string& cause = {});

}  // namespace veracap

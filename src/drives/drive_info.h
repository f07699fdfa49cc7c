// Drive identification: whether a disk is a candidate for testing and how
// many bytes of it count as its size (the claimed capacity rounded down to
// whole 255-head, 63-sector cylinders, checked by reading its last sector).
#pragma once

#include <cstdint>

#include "app/context.h"

namespace veracap {

inline constexpr double kCylinderBytes = 8225280;  // 16,065 sectors

// Sets DriveSizeBytes (0: not a candidate or not identified), DriveModel and
// MediaTypeText for disk_index. SelectedDiskNumber must equal disk_index.
void GetUSBDiskDriveInfo(Context& ctx, std::int32_t disk_index);
// The measuring step for a disk already accepted.
void GetUSBDiskDriveInfo1(Context& ctx, std::int32_t disk_index);

}  // namespace veracap

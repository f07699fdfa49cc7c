// The physical disk handle hDrive and 512-byte sector transfers through the
// shared SectorBuffer: the only path to a disk's raw contents.
#pragma once

#include <cstdint>
#include <string>

#include "app/context.h"

namespace veracap {

inline constexpr std::uint32_t kSectorBytes = 512;
inline constexpr std::int32_t kNoDiskNumber = 99;

// Opens \\.\PhysicalDriveN for reading and writing into hDrive (closing a
// handle still open there first). hDrive is -1 after a failed open.
bool Open_Physical_Disk_hDrive(Context& ctx, std::int32_t disk_number);
// CreateFile for a handle that MyCloseHandle will close later.
Handle OpenTrackedHandle(Context& ctx, const std::string& path, std::uint32_t access,
                         std::uint32_t share, std::uint32_t disposition, std::uint32_t flags);
// Traces and closes a handle. Closing hDrive, a kept volume handle or any
// other value twice does nothing the second time.
void MyCloseHandle(Context& ctx, Handle handle);
// Reads count sectors at sector into SectorBuffer. False for a failed seek or
// read, and for a negative sector (nothing is transferred).
bool DirectRead(Context& ctx, double sector, std::int32_t count);
// Writes the first count * 512 bytes of SectorBuffer at sector, flushed. On
// failure the platform's error code is kept in direct_write_error.
bool DirectWrite(Context& ctx, double sector, std::int32_t count);
// Why a write failed when the cause is not the memory behind it, or "" when
// it may be the memory's: the drive is write-protected (19), was removed
// (433, 1167), refused a transfer it cannot take (87) or is held by the
// system or another program (5).
std::string WriteFailureNotTheMemory(std::uint32_t error_code);
// The physical disk number that holds a drive ("E:"), or 99.
std::int32_t GetDiskNumber(Context& ctx, const std::string& drive_text);

// Physical disk path: "\\.\PhysicalDrive" followed by N.
std::string PhysicalDrivePath(std::int64_t disk_number);

}  // namespace veracap

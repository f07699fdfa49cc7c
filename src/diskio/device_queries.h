// Facts the file system does not give: the size a device claims (SCSI READ
// CAPACITY and the disk length), its model and removable bit (INQUIRY), and
// its bus. The request blocks are built here; a platform only carries them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/context.h"

namespace veracap {

// Claimed size in bytes (the larger of READ CAPACITY and the disk length), 0
// when nothing could be learned. Sets DriveModel and MediaTypeText.
std::uint64_t GetSCSICapacity(Context& ctx, std::int32_t disk_number);
std::uint64_t GetDiskLength(Context& ctx, Handle handle);
bool IsUSBBus(Context& ctx, std::int32_t disk_number);
std::string BytesToText(const std::vector<std::uint8_t>& bytes, std::int64_t first,
                        std::int64_t last, bool stop_at_nul);

}  // namespace veracap

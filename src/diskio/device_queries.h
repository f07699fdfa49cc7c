// Facts the file system does not give: the size a device claims (SCSI READ
// CAPACITY and the disk length), its model and removable bit (INQUIRY), and
// its bus. The request blocks are built here; a platform only carries them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/context.h"

namespace veracap {

// The pass-through block the queries send: the 44-byte SCSI_PASS_THROUGH
// header (32-bit layout), a 32-byte sense area and a 512-byte data area. The
// request covers it without the three alignment bytes that follow DataIn.
inline constexpr std::size_t kScsiBlockBytes = 588;
inline constexpr std::uint32_t kScsiRequestBytes = 585;
inline constexpr std::uint32_t kScsiSenseOffset = 44;
inline constexpr std::uint32_t kScsiDataOffset = 76;
using ScsiBlock = std::array<std::uint8_t, kScsiBlockBytes>;

// Writes the header fields and command bytes 0, 1, 2 and 4 of a six-byte
// command asking for 192 bytes of data; everything else of the block keeps
// what it held (the second query reuses the block).
void PrepareScsiRequest(ScsiBlock& block, std::uint8_t operation);

// Claimed size in bytes (the larger of READ CAPACITY and the disk length), 0
// when nothing could be learned. Sets DriveModel and MediaTypeText.
std::uint64_t GetSCSICapacity(Context& ctx, std::int32_t disk_number);
std::uint64_t GetDiskLength(Context& ctx, Handle handle);
bool IsUSBBus(Context& ctx, std::int32_t disk_number);
std::string BytesToText(const std::vector<std::uint8_t>& bytes, std::int64_t first,
                        std::int64_t last, bool stop_at_nul);

}  // namespace veracap

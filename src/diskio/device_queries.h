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

// Makes the block a request for READ CAPACITY (10) or INQUIRY: the header,
// the whole command block built to SBC-3 / SPC-4 (READ CAPACITY (10) ten
// bytes long with every field but the operation code zero; INQUIRY six bytes
// asking for standard data with the allocation length the data transfer
// length allows), the status cleared and the sense and data areas emptied,
// so that nothing of an earlier reply is ever read as this one's.
void PrepareScsiRequest(ScsiBlock& block, std::uint8_t operation);
// The data transfer length of each request: the READ CAPACITY (10) reply
// and the INQUIRY allocation length.
std::uint32_t ScsiTransferLength(std::uint8_t operation);
// Whether a reply may be read: the request succeeded with SCSI status GOOD
// and the device returned at least `needed` bytes of data. Anything else is
// the query failing.
bool ScsiReplyHolds(const ScsiBlock& block, bool sent, std::uint32_t bytes_returned,
                    std::uint32_t needed);

// Claimed size in bytes (the larger of READ CAPACITY and the disk length), 0
// when nothing could be learned. Sets DriveModel and MediaTypeText.
std::uint64_t GetSCSICapacity(Context& ctx, std::int32_t disk_number);
std::uint64_t GetDiskLength(Context& ctx, Handle handle);
// True for the USB bus, and for SD and MMC card slots, which hold the same
// cards a USB reader does.
bool IsUSBBus(Context& ctx, std::int32_t disk_number);
// The device behind disk N now: storage descriptor vendor, product and
// serial, and the disk length. disk_number -1 when it cannot be opened.
AppState::DeviceIdentity ReadDeviceIdentity(Context& ctx, std::int32_t disk_number);
std::string BytesToText(const std::vector<std::uint8_t>& bytes, std::int64_t first,
                        std::int64_t last, bool stop_at_nul);

}  // namespace veracap

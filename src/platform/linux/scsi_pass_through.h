// IOCTL_SCSI_PASS_THROUGH carried by Linux SG_IO. The caller's block is the
// 44-byte 32-bit SCSI_PASS_THROUGH header followed by its own sense and data
// areas at the offsets the header names; the command block, direction,
// transfer length and time-out go to SG_IO unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/wire.h"

namespace veracap::linux_platform {

inline constexpr std::size_t kScsiPassThroughBytes = ScsiPassThroughLayout::kHeaderBytes;

// One command, as read from the caller's block.
struct ScsiRequest {
  std::vector<std::uint8_t> cdb;  // CdbLength bytes
  std::uint8_t direction = kScsiDataIn;
  std::uint32_t transfer_bytes = 0;    // DataTransferLength
  std::uint32_t data_offset = 0;       // DataBufferOffset
  std::uint8_t sense_bytes = 0;        // SenseInfoLength
  std::uint32_t sense_offset = 0;      // SenseInfoOffset
  std::uint32_t timeout_ms = 0;        // TimeOutValue, in seconds in the block
  std::vector<std::uint8_t> data_out;  // the bytes to send, for kScsiDataOut
};

// What the device answered.
struct ScsiReply {
  std::uint8_t status = 0;              // SCSI status byte
  std::uint32_t transferred_bytes = 0;  // data moved (transfer length less residual)
  std::vector<std::uint8_t> data;       // data-in bytes received
  std::vector<std::uint8_t> sense;      // sense bytes written by the device
};

// Reads and checks a request: false when the block is shorter than the
// header, its Length is not 44, the command block is empty or longer than 16
// bytes, or the data or sense area does not lie inside the buffers (data-in
// and sense in out_size, data-out in in_size).
bool ParseScsiRequest(const std::uint8_t* in, std::uint32_t in_size, std::uint32_t out_size,
                      ScsiRequest* request);

// Writes a reply into the caller's out buffer as Windows does: the header
// with ScsiStatus, DataTransferLength and SenseInfoLength updated, the sense
// and data areas filled. Returns the bytes-returned count: the data offset
// plus the bytes transferred for data-in, the header size otherwise.
std::uint32_t WriteScsiReply(const ScsiRequest& request, const ScsiReply& reply,
                             const std::uint8_t* in, std::uint32_t in_size, std::uint8_t* out,
                             std::uint32_t out_size);

// Sends the request through SG_IO on an open block device. False when SG_IO
// is not supported by the device (loop, virtio, nvme...), or the command
// failed (host, driver or SCSI status error): then no data came back.
// *error_number is the errno of a failed ioctl, else EIO for a failed command.
bool SendScsiRequest(int fd, const ScsiRequest& request, ScsiReply* reply, int* error_number);

}  // namespace veracap::linux_platform

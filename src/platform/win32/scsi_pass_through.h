// The SCSI pass-through request as the core builds it and as a 64-bit
// Windows driver reads it.
//
// The core lays out SCSI_PASS_THROUGH as a 32-bit program does: a 44-byte
// header whose DataBufferOffset is a 32-bit value, followed by the sense and
// data areas it points at. A 64-bit process must hand the driver its native
// structure instead: DataBufferOffset is a ULONG_PTR (8 bytes, 8-aligned), so
// the header is 56 bytes and everything after it sits 12 bytes further on. A
// request sent in the 32-bit layout is misread by the driver (it checks
// Length and reads the offsets from the wrong places).
//
// These functions translate between the two layouts; they are pure, so that
// they can be tested without a device.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/wire.h"

namespace veracap::win32 {

// The core's (32-bit) layout.
using ScsiLayout32 = ScsiPassThroughLayout;

// Byte offsets of the fields in the native 64-bit layout: those of the core's
// up to TimeOutValue; the 8-byte DataBufferOffset moves the fields after it.
struct ScsiLayout64 : ScsiLayout32 {
  static constexpr std::uint32_t kDataBufferOffset = 24;  // ULONG_PTR, 8 bytes
  static constexpr std::uint32_t kSenseInfoOffset = 32;
  static constexpr std::uint32_t kCdb = 36;
  static constexpr std::uint32_t kHeaderBytes = 56;
};

inline constexpr std::uint32_t kScsiHeaderGrowth =
    ScsiLayout64::kHeaderBytes - ScsiLayout32::kHeaderBytes;

// Builds the native block from the core's block of `size` bytes (at least
// the 44-byte header): header fields copied one by one, Length set to the
// native header size, the bytes after the header moved up by 12, and the
// sense and data offsets that point past the header moved with them. The
// result is `size + 12` bytes long. An offset that points into the header
// (nothing a sound request does) is kept as it is.
std::vector<std::uint8_t> ScsiRequestToNative(const std::uint8_t* block, std::uint32_t size);

// Copies the driver's answer back into the core's block of `size` bytes: the
// header fields the driver may change (ScsiStatus, SenseInfoLength,
// DataTransferLength and the rest, but not Length, which keeps the core's
// value, nor the two offsets, which stay in the core's layout) and the bytes
// after the header (sense and data).
void ScsiReplyFromNative(const std::vector<std::uint8_t>& native, std::uint8_t* block,
                         std::uint32_t size);

// The byte count the driver reported, as the core's layout counts it.
std::uint32_t ScsiBytesReturnedForCaller(std::uint32_t native_bytes_returned);

}  // namespace veracap::win32

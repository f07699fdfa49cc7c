// The SCSI pass-through block carried from the core's layout (32-bit header)
// to the native SCSI_PASS_THROUGH a 64-bit driver reads, and its reply back.
#include <gtest/gtest.h>

#include <cstring>

#include "diskio/device_queries.h"
#include "platform/win32/scsi_pass_through.h"
#include "platform/win32/windows_api.h"

namespace veracap::win32 {
namespace {

TEST(Win32ScsiPassThrough, ReadCapacityThereAndBack) {
  ScsiBlock block{};
  PrepareScsiRequest(block, kScsiReadCapacity10);
  block[kScsiSenseOffset] = 0x5A;
  block[kScsiDataOffset] = 0xA1;
  block[kScsiRequestBytes - 1] = 0xEE;  // the last byte handed over

  std::vector<std::uint8_t> native = ScsiRequestToNative(block.data(), kScsiRequestBytes);
  ASSERT_EQ(native.size(), kScsiRequestBytes + 12);
  SCSI_PASS_THROUGH spt;
  std::memcpy(&spt, native.data(), sizeof spt);
  EXPECT_EQ(spt.Length, sizeof spt);
  EXPECT_EQ(spt.DataIn, SCSI_IOCTL_DATA_IN);
  EXPECT_EQ(spt.DataTransferLength, 8u);
  EXPECT_EQ(spt.TimeOutValue, 2u);
  EXPECT_EQ(spt.Cdb[0], 0x25);
  // The areas moved with their offsets.
  EXPECT_EQ(native[spt.SenseInfoOffset], 0x5A);
  EXPECT_EQ(native[spt.DataBufferOffset], 0xA1);
  EXPECT_EQ(native.back(), 0xEE);

  // What a driver does: status, sense length, the transferred count, data.
  spt.ScsiStatus = 2;
  spt.SenseInfoLength = 18;
  spt.DataTransferLength = 6;
  std::memcpy(native.data(), &spt, sizeof spt);
  const std::uint8_t capacity[8] = {0x00, 0x3B, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00};
  std::memcpy(&native[spt.DataBufferOffset], capacity, sizeof capacity);
  native[spt.SenseInfoOffset] = 0x70;
  ScsiReplyFromNative(native, block.data(), kScsiRequestBytes);
  const ScsiPassThroughHeader header = DecodeScsiPassThrough(block.data());
  EXPECT_EQ(header.length, 44) << "Length keeps the core's value";
  EXPECT_EQ(header.scsi_status, 2);
  EXPECT_EQ(header.sense_info_length, 18);
  EXPECT_EQ(header.data_transfer_length, 6u);
  EXPECT_EQ(header.data_buffer_offset, kScsiDataOffset) << "offsets stay in the core's layout";
  EXPECT_EQ(header.sense_info_offset, kScsiSenseOffset);
  EXPECT_EQ(block[kScsiSenseOffset], 0x70);
  EXPECT_EQ(0, std::memcmp(&block[kScsiDataOffset], capacity, sizeof capacity));
  EXPECT_EQ(block[kScsiRequestBytes], 0) << "nothing written past the size handed over";
  // The driver counts header and data in its layout; the core in its own.
  EXPECT_EQ(ScsiBytesReturnedForCaller(88 + 8), 76u + 8u);
  EXPECT_EQ(ScsiBytesReturnedForCaller(30), 30u);

  // A block shorter than the header is not moved; an offset that points
  // into the header is left as it is.
  EXPECT_TRUE(ScsiRequestToNative(block.data(), 43).empty());
  PutLe32(&block[ScsiLayout32::kDataBufferOffset], 8);
  std::memcpy(&spt, ScsiRequestToNative(block.data(), 44).data(), sizeof spt);
  EXPECT_EQ(spt.DataBufferOffset, 8u);
}

}  // namespace
}  // namespace veracap::win32

// The SCSI pass-through block as the core lays it out (32-bit header) and as
// a 64-bit driver reads it (native SCSI_PASS_THROUGH).
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "diskio/device_queries.h"
#include "platform/win32/scsi_pass_through.h"
#include "platform/win32/windows_api.h"

namespace veracap::win32 {
namespace {

// The READ CAPACITY request exactly as the core builds it.
ScsiBlock CapacityRequest() {
  ScsiBlock b{};
  PrepareScsiRequest(b, kScsiReadCapacity10);
  b[44] = 0x5A;   // sense area start
  b[76] = 0xA1;   // data area start
  b[584] = 0xEE;  // last byte handed over
  return b;
}

TEST(Win32ScsiPassThrough, RequestBecomesTheNativeStructure) {
  const auto block = CapacityRequest();
  const std::vector<std::uint8_t> native = ScsiRequestToNative(block.data(), kScsiRequestBytes);
  ASSERT_EQ(native.size(), kScsiRequestBytes + 12);

  SCSI_PASS_THROUGH spt;
  ASSERT_EQ(sizeof spt, 56u);
  std::memcpy(&spt, native.data(), sizeof spt);
  EXPECT_EQ(spt.Length, sizeof(SCSI_PASS_THROUGH));
  EXPECT_EQ(spt.PathId, 0);
  EXPECT_EQ(spt.TargetId, 1);
  EXPECT_EQ(spt.Lun, 0);
  EXPECT_EQ(spt.CdbLength, 10);
  EXPECT_EQ(spt.SenseInfoLength, 24);
  EXPECT_EQ(spt.DataIn, SCSI_IOCTL_DATA_IN);
  EXPECT_EQ(spt.DataTransferLength, 8u);
  EXPECT_EQ(spt.TimeOutValue, 2u);
  EXPECT_EQ(spt.DataBufferOffset, 76u + 12u);
  EXPECT_EQ(spt.SenseInfoOffset, 44u + 12u);
  EXPECT_EQ(spt.Cdb[0], 0x25);
  for (int i = 1; i < 10; ++i) EXPECT_EQ(spt.Cdb[i], 0) << i;
  // The areas moved with their offsets; the last byte handed over is there.
  EXPECT_EQ(native[spt.SenseInfoOffset], 0x5A);
  EXPECT_EQ(native[spt.DataBufferOffset], 0xA1);
  EXPECT_EQ(native[584 + 12], 0xEE);
}

TEST(Win32ScsiPassThrough, ReplyReturnsIntoTheCoresLayout) {
  auto block = CapacityRequest();
  std::vector<std::uint8_t> native = ScsiRequestToNative(block.data(), kScsiRequestBytes);
  SCSI_PASS_THROUGH spt;
  std::memcpy(&spt, native.data(), sizeof spt);
  // What a driver does: status, sense length, the transferred count, data.
  spt.ScsiStatus = 2;
  spt.SenseInfoLength = 18;
  spt.DataTransferLength = 8;
  std::memcpy(native.data(), &spt, sizeof spt);
  const std::uint8_t capacity[8] = {0x00, 0x3B, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00};
  std::memcpy(&native[spt.DataBufferOffset], capacity, sizeof capacity);
  native[spt.SenseInfoOffset] = 0x70;

  ScsiReplyFromNative(native, block.data(), kScsiRequestBytes);
  const ScsiPassThroughHeader header = DecodeScsiPassThrough(block.data());
  EXPECT_EQ(header.length, 44) << "Length keeps the core's value";
  EXPECT_EQ(header.scsi_status, 2);
  EXPECT_EQ(header.sense_info_length, 18);
  EXPECT_EQ(header.data_transfer_length, 8u);
  EXPECT_EQ(header.data_buffer_offset, kScsiDataOffset) << "offsets stay in the core's layout";
  EXPECT_EQ(header.sense_info_offset, kScsiSenseOffset);
  EXPECT_EQ(header.cdb[0], kScsiReadCapacity10);
  EXPECT_EQ(block[kScsiSenseOffset], 0x70);
  EXPECT_EQ(0, std::memcmp(&block[kScsiDataOffset], capacity, sizeof capacity));
  EXPECT_EQ(block[585], 0) << "nothing written past the size handed over";

  // The driver counts header + data in its layout; the core sees its own.
  EXPECT_EQ(ScsiBytesReturnedForCaller(88 + 8), 76u + 8u);
  EXPECT_EQ(ScsiBytesReturnedForCaller(0), 0u);
  EXPECT_EQ(ScsiBytesReturnedForCaller(30), 30u);
}

TEST(Win32ScsiPassThrough, ShortBlocksAreNotTranslated) {
  const auto block = CapacityRequest();
  EXPECT_TRUE(ScsiRequestToNative(block.data(), 43).empty());
  // An offset that points into the header is left alone.
  auto odd = block;
  PutLe32(&odd[ScsiLayout32::kDataBufferOffset], 8);
  const auto native = ScsiRequestToNative(odd.data(), 44);
  SCSI_PASS_THROUGH spt;
  std::memcpy(&spt, native.data(), sizeof spt);
  EXPECT_EQ(spt.DataBufferOffset, 8u);
}

}  // namespace
}  // namespace veracap::win32

#include "diskio/device_queries.h"

#include <algorithm>
#include <array>

#include "app/results_log.h"
#include "base/text.h"
#include "diskio/sector_io.h"

namespace veracap {
namespace {

constexpr std::uint8_t kTransferLength = 192;

}  // namespace

void PrepareScsiRequest(ScsiBlock& block, std::uint8_t operation) {
  ScsiPassThroughHeader spt = DecodeScsiPassThrough(block.data());
  spt.length = ScsiPassThroughLayout::kHeaderBytes;
  spt.path_id = 0;
  spt.target_id = 1;
  spt.lun = 0;
  spt.cdb_length = 6;
  spt.sense_info_length = 24;
  spt.data_in = kScsiDataIn;
  spt.data_transfer_length = kTransferLength;
  spt.time_out_value = 2;  // seconds
  spt.data_buffer_offset = kScsiDataOffset;
  spt.sense_info_offset = kScsiSenseOffset;
  spt.cdb[0] = operation;
  spt.cdb[1] = 0x08;
  spt.cdb[2] = 0x00;
  spt.cdb[4] = kTransferLength;
  EncodeScsiPassThrough(spt, block.data());
}

std::uint64_t GetSCSICapacity(Context& ctx, std::int32_t disk_number) {
  const Handle h =
      OpenTrackedHandle(ctx, PhysicalDrivePath(disk_number), kGenericRead | kGenericWrite,
                        kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  if (h == kInvalidHandle) {
    Trace(ctx, " GetSCSICapacity - Handle for PhysicalDrive" + std::to_string(disk_number) +
                   " not obtained!");
    return 0;
  }
  ScsiBlock block{};
  PrepareScsiRequest(block, kScsiReadCapacity10);
  std::uint32_t returned = 0;
  ctx.platform.DeviceIoControl(h, kIoctlScsiPassThrough, block.data(), kScsiRequestBytes,
                               block.data(), kScsiRequestBytes, &returned);
  std::uint64_t size = 0;
  if (returned > 0) {
    const std::uint64_t last_block = GetBe32(block.data() + kScsiDataOffset);
    const std::uint64_t block_length = GetBe32(block.data() + kScsiDataOffset + 4);
    const std::uint64_t capacity = last_block * block_length;
    // One 512-byte sector is added, not the reported block length.
    if (capacity > 0) size = capacity + kSectorBytes;
  }
  const std::uint64_t length = GetDiskLength(ctx, h);
  if (length > size) size = length;

  PrepareScsiRequest(block, kScsiInquiry);
  returned = 0;
  ctx.platform.DeviceIoControl(h, kIoctlScsiPassThrough, block.data(), kScsiRequestBytes,
                               block.data(), kScsiRequestBytes, &returned);
  if (returned > 0) {
    Trace(ctx, " DRV_MODEL=*" + ctx.state.DriveModel + "*");
    const std::vector<std::uint8_t> data(block.begin() + kScsiDataOffset, block.end());
    const std::string model =
        Trim(BytesToText(data, 8, 15, true) + " " + BytesToText(data, 16, 31, true));
    Trace(ctx, " MyMODEL=*" + model + "*");
    ctx.state.DriveModel = model;
    const bool removable = (data[1] & 0x80) != 0;
    Trace(ctx, std::string(" REMOVABLE BIT=") + (removable ? "128" : "0"));
    ctx.state.MediaTypeText = removable ? "REMOVABLE MEDIA" : "FIXED MEDIA";
  }
  MyCloseHandle(ctx, h);
  return size;
}

std::uint64_t GetDiskLength(Context& ctx, Handle handle) {
  if (handle == kInvalidHandle) return 0;
  std::uint8_t out[kLengthInformationBytes] = {};
  std::uint32_t returned = 0;
  ctx.platform.DeviceIoControl(handle, kIoctlDiskGetLengthInfo, nullptr, 0, out, sizeof out,
                               &returned);
  const std::int64_t length = DecodeLengthInformation(out);
  return length > 0 ? static_cast<std::uint64_t>(length) : 0;
}

bool IsUSBBus(Context& ctx, std::int32_t disk_number) {
  // The whole disk number: disk 123 is \\.\PhysicalDrive123, not ...12.
  const Handle h = ctx.platform.CreateFile(PhysicalDrivePath(disk_number), 0, 0, kOpenExisting, 0);
  if (h == kInvalidHandle) return false;
  std::uint8_t query[kStoragePropertyQueryBytes] = {};
  EncodeStoragePropertyQuery({kStorageDeviceProperty, kPropertyStandardQuery}, query);
  std::uint8_t descriptor[512] = {};
  std::uint32_t returned = 0;
  ctx.platform.DeviceIoControl(h, kIoctlStorageQueryProperty, query, sizeof query, descriptor,
                               sizeof descriptor, &returned);
  ctx.platform.CloseHandle(h);
  return DecodeStorageDeviceDescriptor(descriptor).bus_type == kBusTypeUsb;
}

std::string BytesToText(const std::vector<std::uint8_t>& bytes, std::int64_t first,
                        std::int64_t last, bool stop_at_nul) {
  const std::int64_t upper = static_cast<std::int64_t>(bytes.size()) - 1;
  if (last == -1 || last > upper) last = upper;
  if (first < 0) first = 0;
  std::string text;
  for (std::int64_t i = first; i <= last; ++i) {
    const auto b = bytes[static_cast<std::size_t>(i)];
    if (stop_at_nul && b == 0) break;
    text += static_cast<char>(b);
  }
  return Trim(text);
}

}  // namespace veracap

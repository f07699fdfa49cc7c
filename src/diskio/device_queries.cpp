#include "diskio/device_queries.h"

#include <algorithm>
#include <array>

#include "app/results_log.h"
#include "base/text.h"
#include "diskio/sector_io.h"

namespace veracap {
namespace {

constexpr std::uint16_t kInquiryAllocationLength = 192;

// A descriptor text at its offset, up to its NUL; "" for offset 0 or one
// outside what was returned.
std::string DescriptorText(const std::uint8_t* d, std::uint32_t returned, std::uint32_t offset) {
  if (offset == 0 || offset >= returned) return "";
  std::string text;
  for (std::uint32_t i = offset; i < returned && d[i] != 0; ++i) text += static_cast<char>(d[i]);
  return Trim(text);
}

}  // namespace

std::uint32_t ScsiTransferLength(std::uint8_t operation) {
  return operation == kScsiReadCapacity10 ? kReadCapacity10ReplyBytes : kInquiryAllocationLength;
}

void PrepareScsiRequest(ScsiBlock& block, std::uint8_t operation) {
  ScsiPassThroughHeader spt = DecodeScsiPassThrough(block.data());
  spt.length = ScsiPassThroughLayout::kHeaderBytes;
  spt.scsi_status = kScsiStatusGood;
  spt.path_id = 0;
  spt.target_id = 1;
  spt.lun = 0;
  spt.sense_info_length = 24;
  spt.data_in = kScsiDataIn;
  spt.data_transfer_length = ScsiTransferLength(operation);
  spt.time_out_value = 2;  // seconds
  spt.data_buffer_offset = kScsiDataOffset;
  spt.sense_info_offset = kScsiSenseOffset;
  if (operation == kScsiReadCapacity10) {
    spt.cdb_length = kReadCapacity10CdbBytes;
    EncodeReadCapacity10Cdb(spt.cdb.data());
  } else if (operation == kScsiInquiry) {
    spt.cdb_length = kInquiryCdbBytes;
    EncodeInquiryCdb(kInquiryAllocationLength, spt.cdb.data());
  } else {  // any other six-byte command, its fields zero
    spt.cdb_length = 6;
    spt.cdb.fill(0);
    spt.cdb[0] = operation;
  }
  EncodeScsiPassThrough(spt, block.data());
  std::fill(block.begin() + kScsiSenseOffset, block.end(), std::uint8_t{0});
}

bool ScsiReplyHolds(const ScsiBlock& block, bool sent, std::uint32_t bytes_returned,
                    std::uint32_t needed) {
  const ScsiPassThroughHeader reply = DecodeScsiPassThrough(block.data());
  return sent && reply.scsi_status == kScsiStatusGood && reply.data_transfer_length >= needed &&
         bytes_returned >= kScsiDataOffset + needed;
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
  bool sent =
      ctx.platform.DeviceIoControl(h, kIoctlScsiPassThrough, block.data(), kScsiRequestBytes,
                                   block.data(), kScsiRequestBytes, &returned);
  std::uint64_t size = 0;
  // A refused command (CHECK CONDITION) still returns its header and sense:
  // only a GOOD status with the whole reply is a capacity.
  if (ScsiReplyHolds(block, sent, returned, kReadCapacity10ReplyBytes)) {
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
  sent = ctx.platform.DeviceIoControl(h, kIoctlScsiPassThrough, block.data(), kScsiRequestBytes,
                                      block.data(), kScsiRequestBytes, &returned);
  if (ScsiReplyHolds(block, sent, returned, kInquiryNeededBytes)) {
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
  const std::uint32_t bus = DecodeStorageDeviceDescriptor(descriptor).bus_type;
  return bus == kBusTypeUsb || bus == kBusTypeSd || bus == kBusTypeMmc;
}

AppState::DeviceIdentity ReadDeviceIdentity(Context& ctx, std::int32_t disk_number) {
  AppState::DeviceIdentity id;
  const Handle h = ctx.platform.CreateFile(PhysicalDrivePath(disk_number), 0,
                                           kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  if (h == kInvalidHandle) return id;
  id.disk_number = disk_number;
  std::uint8_t query[kStoragePropertyQueryBytes] = {};
  EncodeStoragePropertyQuery({kStorageDeviceProperty, kPropertyStandardQuery}, query);
  std::uint8_t d[1024] = {};
  std::uint32_t returned = 0;
  if (ctx.platform.DeviceIoControl(h, kIoctlStorageQueryProperty, query, sizeof query, d, sizeof d,
                                   &returned) &&
      returned >= StorageDeviceDescriptor::kFixedBytes) {
    const StorageDeviceDescriptor fields = DecodeStorageDeviceDescriptor(d);
    id.vendor = DescriptorText(d, returned, fields.vendor_id_offset);
    id.product = DescriptorText(d, returned, fields.product_id_offset);
    id.serial = DescriptorText(d, returned, fields.serial_number_offset);
  }
  id.size_bytes = GetDiskLength(ctx, h);
  ctx.platform.CloseHandle(h);
  return id;
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

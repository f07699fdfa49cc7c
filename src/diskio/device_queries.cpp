#include "diskio/device_queries.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "app/results_log.h"
#include "diskio/sector_io.h"

namespace veracap {
namespace {

// The pass-through block: the 44-byte SCSI_PASS_THROUGH header (32-bit
// layout), a 32-byte sense area and a 512-byte data area. The request covers
// it without the three alignment bytes that follow DataIn.
constexpr std::size_t kBlockSize = 588;
constexpr std::uint32_t kRequestSize = 585;
constexpr std::size_t kSenseOffset = 44;
constexpr std::size_t kDataOffset = 76;
constexpr std::size_t kCdbOffset = 28;
constexpr std::uint8_t kReadCapacity10 = 0x25;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kTransferLength = 192;
constexpr std::uint32_t kBusTypeUsb = 7;

void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// Writes the header fields and command bytes 0, 1, 2 and 4; everything else
// of the block keeps what it held (the second request reuses the block).
void PrepareRequest(std::array<std::uint8_t, kBlockSize>& block, std::uint8_t operation) {
  std::uint8_t* b = block.data();
  Put16(b + 0, 44);   // Length
  b[3] = 0;           // PathId
  b[4] = 1;           // TargetId
  b[5] = 0;           // Lun
  b[6] = 6;           // CdbLength
  b[7] = 24;          // SenseInfoLength
  b[8] = 1;           // DataIn: SCSI_IOCTL_DATA_IN
  Put32(b + 12, kTransferLength);     // DataTransferLength
  Put32(b + 16, 2);                   // TimeOutValue, seconds
  Put32(b + 20, kDataOffset);         // DataBufferOffset
  Put32(b + 24, kSenseOffset);        // SenseInfoOffset
  b[kCdbOffset + 0] = operation;
  b[kCdbOffset + 1] = 0x08;
  b[kCdbOffset + 2] = 0x00;
  b[kCdbOffset + 4] = kTransferLength;
}

}  // namespace

std::uint64_t GetSCSICapacity(Context& ctx, std::int32_t disk_number) {
  const Handle h = OpenTrackedHandle(ctx, PhysicalDrivePath(disk_number),
                                     kGenericRead | kGenericWrite,
                                     kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  if (h == kInvalidHandle) {
    Trace(ctx, " GetSCSICapacity - Handle for PhysicalDrive" + std::to_string(disk_number) +
                   " not obtained!");
    return 0;
  }
  std::array<std::uint8_t, kBlockSize> block{};
  PrepareRequest(block, kReadCapacity10);
  std::uint32_t returned = 0;
  ctx.platform.DeviceIoControl(h, kIoctlScsiPassThrough, block.data(), kRequestSize, block.data(),
                               kRequestSize, &returned);
  std::uint64_t size = 0;
  if (returned > 0) {
    const std::uint64_t last_block = BigEndian32(block.data() + kDataOffset);
    const std::uint64_t block_length = BigEndian32(block.data() + kDataOffset + 4);
    const std::uint64_t capacity = last_block * block_length;
    // One 512-byte sector is added, not the reported block length.
    if (capacity > 0) size = capacity + kSectorBytes;
  }
  const std::uint64_t length = GetDiskLength(ctx, h);
  if (length > size) size = length;

  PrepareRequest(block, kInquiry);
  returned = 0;
  ctx.platform.DeviceIoControl(h, kIoctlScsiPassThrough, block.data(), kRequestSize, block.data(),
                               kRequestSize, &returned);
  if (returned > 0) {
    Trace(ctx, " DRV_MODEL=*" + ctx.state.DriveModel + "*");
    const std::vector<std::uint8_t> data(block.begin() + kDataOffset, block.end());
    std::string model = BytesToText(data, 8, 15, true) + " " + BytesToText(data, 16, 31, true);
    const auto first = model.find_first_not_of(' ');
    model = first == std::string::npos ? "" : model.substr(first, model.find_last_not_of(' ') + 1 - first);
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
  std::uint8_t out[8] = {};
  std::uint32_t returned = 0;
  ctx.platform.DeviceIoControl(handle, kIoctlDiskGetLengthInfo, nullptr, 0, out, sizeof out,
                               &returned);
  std::int64_t length = 0;
  for (int i = 7; i >= 0; --i) length = (length << 8) | out[i];
  return length > 0 ? static_cast<std::uint64_t>(length) : 0;
}

bool IsUSBBus(Context& ctx, std::int32_t disk_number) {
  // The whole disk number: disk 123 is \\.\PhysicalDrive123, not ...12.
  const Handle h = ctx.platform.CreateFile(PhysicalDrivePath(disk_number), 0, 0, kOpenExisting, 0);
  if (h == kInvalidHandle) return false;
  std::uint8_t query[12] = {};  // StorageDeviceProperty, PropertyStandardQuery
  std::uint8_t descriptor[512] = {};
  std::uint32_t returned = 0;
  ctx.platform.DeviceIoControl(h, kIoctlStorageQueryProperty, query, sizeof query, descriptor,
                               sizeof descriptor, &returned);
  ctx.platform.CloseHandle(h);
  return descriptor[28] == kBusTypeUsb;
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
  const auto begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(' ') + 1 - begin);
}

}  // namespace veracap

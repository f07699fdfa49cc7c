#include "diskio/sector_io.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "app/results_log.h"

namespace veracap {
namespace {

// A transfer of count sectors needs count * 512 bytes of SectorBuffer and a
// byte count that fits a signed 32-bit length.
constexpr std::int32_t kMaxSectorsPerTransfer = 4194303;

bool SeekToSector(Context& ctx, double sector, std::int32_t count) {
  if (!(sector >= 0) || count < 1 || count > kMaxSectorsPerTransfer) return false;
  if (ctx.state.SectorBuffer.size() < static_cast<std::size_t>(count) * kSectorBytes) return false;
  const auto offset = static_cast<std::uint64_t>(std::floor(sector)) * kSectorBytes;
  return ctx.platform.SetFilePointerEx(ctx.state.hDrive, static_cast<std::int64_t>(offset),
                                       kFileBegin);
}

// The disk's logical sector, of which every transfer on it must be a whole
// number: 4096 bytes on a 4Kn disk, 512 when the disk does not say (an image
// standing in for it) or says something that is no sector size.
std::uint32_t LogicalSectorBytes(Context& ctx, Handle h) {
  std::uint8_t geometry[DiskGeometry::kBytes] = {};
  std::uint32_t returned = 0;
  if (!ctx.platform.DeviceIoControl(h, kIoctlDiskGetDriveGeometry, nullptr, 0, geometry,
                                    sizeof geometry, &returned) ||
      returned < sizeof geometry) {
    return kSectorBytes;
  }
  const std::uint32_t bytes = DecodeDiskGeometry(geometry).bytes_per_sector;
  if (bytes < kSectorBytes || bytes > 65536 || (bytes & (bytes - 1)) != 0) return kSectorBytes;
  return bytes;
}

// The whole logical sectors that hold [offset, offset + length) of a disk
// with larger logical sectors: read together; for a write, the 512-byte
// sectors changed in them and the whole sectors written back.
struct EnclosingRange {
  std::uint64_t first = 0;
  std::vector<std::uint8_t> bytes;
};

bool ReadEnclosing(Context& ctx, std::uint64_t offset, std::uint64_t length, EnclosingRange& r) {
  const std::uint64_t unit = ctx.state.hDriveSectorBytes;
  r.first = offset / unit * unit;
  const std::uint64_t end = (offset + length + unit - 1) / unit * unit;
  r.bytes.assign(static_cast<std::size_t>(end - r.first), 0);
  std::uint32_t done = 0;
  return ctx.platform.SetFilePointerEx(ctx.state.hDrive, static_cast<std::int64_t>(r.first),
                                       kFileBegin) &&
         ctx.platform.ReadFile(ctx.state.hDrive, r.bytes.data(),
                               static_cast<std::uint32_t>(r.bytes.size()), &done) &&
         done == r.bytes.size();
}

bool WriteFlushed(Context& ctx, std::uint64_t offset, const std::uint8_t* data,
                  std::uint64_t length) {
  const Handle h = ctx.state.hDrive;
  // A refused byte-range lock neither stops nor fails the write.
  ctx.platform.LockFile(h, offset, length);
  std::uint32_t written = 0;
  const bool ok = ctx.platform.WriteFile(h, data, static_cast<std::uint32_t>(length), &written);
  if (ok) {
    ctx.platform.FlushFileBuffers(h);
  } else {
    ctx.state.direct_write_error = ctx.platform.GetLastError();
  }
  // A failed write releases its range too, or a stick that refuses every
  // write would pile up a lock per marker.
  ctx.platform.UnlockFile(h, offset, length);
  return ok;
}

}  // namespace

std::string PhysicalDrivePath(std::int64_t disk_number) {
  return "\\\\.\\PhysicalDrive" + std::to_string(disk_number);
}

Handle OpenTrackedHandle(Context& ctx, const std::string& path, std::uint32_t access,
                         std::uint32_t share, std::uint32_t disposition, std::uint32_t flags) {
  const Handle h = ctx.platform.CreateFile(path, access, share, disposition, flags);
  if (h != kInvalidHandle && h != 0) ctx.state.open_handles.insert(h);
  return h;
}

bool Open_Physical_Disk_hDrive(Context& ctx, std::int32_t disk_number) {
  AppState& s = ctx.state;
  if (s.hDrive > 0 && s.open_handles.count(s.hDrive) != 0) MyCloseHandle(ctx, s.hDrive);
  s.hDrive = OpenTrackedHandle(ctx, PhysicalDrivePath(disk_number), kGenericRead | kGenericWrite,
                               kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  s.hDriveSectorBytes = kSectorBytes;
  if (s.hDrive == kInvalidHandle) {
    Trace(ctx, " Open_Physical_Disk_hDrive - Handle for " + std::to_string(disk_number) +
                   " not obtained!");
    return false;
  }
  s.hDriveSectorBytes = LogicalSectorBytes(ctx, s.hDrive);
  Trace(ctx, " Open_Physical_Disk_hDrive OPENED PHYSICAL DISK " + std::to_string(disk_number) +
                 " handle = " + std::to_string(s.hDrive));
  return true;
}

void MyCloseHandle(Context& ctx, Handle handle) {
  Trace(ctx, " MyCloseHandle CLOSED HANDLE " + std::to_string(handle));
  if (ctx.state.open_handles.erase(handle) == 0) return;
  ctx.platform.CloseHandle(handle);
}

bool DirectRead(Context& ctx, double sector, std::int32_t count) {
  if (!SeekToSector(ctx, sector, count)) return false;
  const std::uint64_t offset = static_cast<std::uint64_t>(std::floor(sector)) * kSectorBytes;
  const std::uint64_t length = static_cast<std::uint64_t>(count) * kSectorBytes;
  const std::uint64_t unit = ctx.state.hDriveSectorBytes;
  if (offset % unit == 0 && length % unit == 0) {
    std::uint32_t bytes_read = 0;
    return ctx.platform.ReadFile(ctx.state.hDrive, ctx.state.SectorBuffer.data(),
                                 static_cast<std::uint32_t>(length), &bytes_read);
  }
  EnclosingRange range;
  if (!ReadEnclosing(ctx, offset, length, range)) return false;
  std::memcpy(ctx.state.SectorBuffer.data(), range.bytes.data() + (offset - range.first),
              static_cast<std::size_t>(length));
  return true;
}

bool DirectWrite(Context& ctx, double sector, std::int32_t count) {
  ctx.state.direct_write_error = kErrorSuccess;
  if (!SeekToSector(ctx, sector, count)) {
    ctx.state.direct_write_error = ctx.platform.GetLastError();
    return false;
  }
  const std::uint64_t offset = static_cast<std::uint64_t>(std::floor(sector)) * kSectorBytes;
  const std::uint64_t length = static_cast<std::uint64_t>(count) * kSectorBytes;
  const std::uint64_t unit = ctx.state.hDriveSectorBytes;
  if (offset % unit == 0 && length % unit == 0) {
    return WriteFlushed(ctx, offset, ctx.state.SectorBuffer.data(), length);
  }
  // Read-modify-write of the enclosing logical sectors: the rest of them
  // must come back as it was.
  EnclosingRange range;
  if (!ReadEnclosing(ctx, offset, length, range)) {
    ctx.state.direct_write_error = ctx.platform.GetLastError();
    return false;
  }
  std::memcpy(range.bytes.data() + (offset - range.first), ctx.state.SectorBuffer.data(),
              static_cast<std::size_t>(length));
  if (!ctx.platform.SetFilePointerEx(ctx.state.hDrive, static_cast<std::int64_t>(range.first),
                                     kFileBegin)) {
    ctx.state.direct_write_error = ctx.platform.GetLastError();
    return false;
  }
  return WriteFlushed(ctx, range.first, range.bytes.data(), range.bytes.size());
}

std::string WriteFailureNotTheMemory(std::uint32_t error_code) {
  switch (error_code) {
    case kErrorWriteProtect:
      return "the drive is write-protected";
    case kErrorAccessDenied:
      return "access was denied: Windows or another program is using the drive";
    case kErrorNoSuchDevice:
    case kErrorDeviceNotConnected:
      return "the drive was removed or is no longer connected";
    case kErrorInvalidParameter:
      return "the drive refused the transfer";
    default:
      return {};
  }
}

std::int32_t GetDiskNumber(Context& ctx, const std::string& drive_text) {
  std::int32_t result = kNoDiskNumber;
  const Handle h = ctx.platform.CreateFile("\\\\.\\" + drive_text, 0,
                                           kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  if (h == kInvalidHandle) return kNoDiskNumber;
  std::uint8_t number[StorageDeviceNumber::kBytes] = {};
  std::uint32_t returned = 0;
  if (ctx.platform.DeviceIoControl(h, kIoctlStorageGetDeviceNumber, nullptr, 0, number,
                                   sizeof number, &returned)) {
    const StorageDeviceNumber n = DecodeStorageDeviceNumber(number);
    if (n.device_type == kFileDeviceDisk) result = static_cast<std::int32_t>(n.device_number);
  }
  ctx.platform.CloseHandle(h);
  return result;
}

}  // namespace veracap

#include "diskio/sector_io.h"

#include <cmath>

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
  if (s.hDrive == kInvalidHandle) {
    Trace(ctx, " Open_Physical_Disk_hDrive - Handle for " + std::to_string(disk_number) +
                   " not obtained!");
    return false;
  }
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
  std::uint32_t bytes_read = 0;
  return ctx.platform.ReadFile(ctx.state.hDrive, ctx.state.SectorBuffer.data(),
                               static_cast<std::uint32_t>(count) * kSectorBytes, &bytes_read);
}

bool DirectWrite(Context& ctx, double sector, std::int32_t count) {
  if (!SeekToSector(ctx, sector, count)) return false;
  const Handle h = ctx.state.hDrive;
  const std::uint64_t offset = static_cast<std::uint64_t>(std::floor(sector)) * kSectorBytes;
  const std::uint64_t length = static_cast<std::uint64_t>(count) * kSectorBytes;
  // A refused byte-range lock neither stops nor fails the write.
  ctx.platform.LockFile(h, offset, length);
  std::uint32_t written = 0;
  const bool ok = ctx.platform.WriteFile(h, ctx.state.SectorBuffer.data(),
                                         static_cast<std::uint32_t>(length), &written);
  if (ok) ctx.platform.FlushFileBuffers(h);
  // A failed write releases its range too, or a stick that refuses every
  // write would pile up a lock per marker.
  ctx.platform.UnlockFile(h, offset, length);
  return ok;
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

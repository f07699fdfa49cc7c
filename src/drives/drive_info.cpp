#include "drives/drive_info.h"

#include <cmath>

#include "app/format.h"
#include "app/results_log.h"
#include "diskio/device_queries.h"
#include "diskio/sector_io.h"

namespace veracap {
namespace {

void Reset(AppState& s) {
  s.MediaTypeText.clear();
  s.DriveModel.clear();
  s.DriveSizeBytes = 0;
}

}  // namespace

void GetUSBDiskDriveInfo(Context& ctx, std::int32_t disk_index) {
  Reset(ctx.state);
  if (ctx.state.ShowAllDrives || IsUSBBus(ctx, disk_index)) GetUSBDiskDriveInfo1(ctx, disk_index);
}

void GetUSBDiskDriveInfo1(Context& ctx, std::int32_t disk_index) {
  AppState& s = ctx.state;
  Reset(s);
  const double capacity = static_cast<double>(GetSCSICapacity(ctx, disk_index));
  if (capacity > s.DriveSizeBytes) s.DriveSizeBytes = capacity;
  if (s.DebugMode) AppendResult(ctx, " SCSI size=" + PlainNumberText(capacity));
  s.DriveSizeBytes = std::floor(s.DriveSizeBytes / kCylinderBytes) * kCylinderBytes;
  Open_Physical_Disk_hDrive(ctx, s.SelectedDiskNumber);
  // A size of 0 asks for sector -1, which the read refuses; the size stays 0.
  const bool ok = DirectRead(ctx, s.DriveSizeBytes / kSectorBytes - 1, 1);
  if (s.DriveSizeBytes > 0 && !ok) s.DriveSizeBytes -= kCylinderBytes;
  MyCloseHandle(ctx, s.hDrive);
}

}  // namespace veracap

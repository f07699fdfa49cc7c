#include "drives/disk_role.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "diskio/volumes.h"
#include "drives/disk_number.h"

namespace veracap {
namespace {

constexpr const char* kSetupKey = "SYSTEM\\Setup";
constexpr const char* kMemoryManagementKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";

// The disks that the volume holding a path lies on.
std::vector<std::int32_t> DisksHolding(Context& ctx, const std::vector<VolumeOnDisk>& volumes,
                                       const std::string& path) {
  std::string mount_point;
  std::string name;
  if (path.empty() || !ctx.platform.GetVolumePathName(path, &mount_point) ||
      !ctx.platform.GetVolumeNameForVolumeMountPoint(mount_point, &name)) {
    return {};
  }
  const auto it = std::find_if(volumes.begin(), volumes.end(),
                               [&](const VolumeOnDisk& v) { return Upper(v.name) == Upper(name); });
  const std::vector<DiskExtent> extents =
      it != volumes.end() ? it->extents : VolumeExtents(ctx, VolumeDevicePath(name));
  std::vector<std::int32_t> disks;
  for (const DiskExtent& e : extents) disks.push_back(static_cast<std::int32_t>(e.disk_number));
  return disks;
}

// The disks of the volume whose kernel device name ("\Device\HarddiskVolume1")
// is given.
std::vector<std::int32_t> DisksOfDevice(Context& ctx, const std::vector<VolumeOnDisk>& volumes,
                                        const std::string& device) {
  std::vector<std::int32_t> disks;
  for (const VolumeOnDisk& v : volumes) {
    // QueryDosDevice takes "Volume{GUID}": the name without "\\?\" and its
    // last backslash.
    const std::string bare =
        VolumeDevicePath(v.name).substr(std::min<std::size_t>(4, v.name.size()));
    if (Upper(ctx.platform.QueryDosDevice(bare)) != Upper(device)) continue;
    for (const DiskExtent& e : v.extents) disks.push_back(static_cast<std::int32_t>(e.disk_number));
  }
  return disks;
}

}  // namespace

DiskRole SystemDisks::RoleOf(std::int32_t disk_number) const {
  if (!IsDiskNumberInRange(disk_number)) return DiskRole::kNoDisk;
  const auto it = roles.find(disk_number);
  return it == roles.end() ? DiskRole::kTestable : it->second;
}

SystemDisks FindSystemDisks(Context& ctx) {
  SystemDisks found;
  const std::vector<VolumeOnDisk> volumes = AllVolumes(ctx);
  auto mark = [&](const std::vector<std::int32_t>& disks, DiskRole role) {
    for (const std::int32_t d : disks) found.roles.emplace(d, role);
  };

  const std::string windows = ctx.platform.GetWindowsDirectory();
  const std::vector<std::int32_t> windows_disks = DisksHolding(ctx, volumes, windows);
  // Windows is somewhere; a disk that cannot be told is taken to be disk 0,
  // as it was before the system disks were looked for.
  mark(windows.empty() || !windows_disks.empty() ? windows_disks : std::vector<std::int32_t>{0},
       DiskRole::kWindows);
  for (const std::string& device : ctx.platform.RegGetValue(kSetupKey, "SystemPartition")) {
    mark(DisksOfDevice(ctx, volumes, device), DiskRole::kBoot);
  }
  for (std::string file : ctx.platform.RegGetValue(kMemoryManagementKey, "ExistingPageFiles")) {
    if (file.rfind("\\??\\", 0) == 0) file.erase(0, 4);
    mark(DisksHolding(ctx, volumes, file), DiskRole::kPageFile);
  }
  mark(DisksHolding(ctx, volumes, ctx.platform.GetModuleFileName()), DiskRole::kProgram);
  return found;
}

DiskRole RoleOfDisk(Context& ctx, std::int32_t disk_number) {
  if (!IsDiskNumberInRange(disk_number)) return DiskRole::kNoDisk;
  return FindSystemDisks(ctx).RoleOf(disk_number);
}

bool RefusesQuickTest(DiskRole role) { return role != DiskRole::kTestable; }

bool RefusesVolumeTest(DiskRole role) {
  return role != DiskRole::kTestable && role != DiskRole::kProgram;
}

std::string RoleHeld(DiskRole role) {
  switch (role) {
    case DiskRole::kWindows:
      return "Windows";
    case DiskRole::kBoot:
      return "the boot partition";
    case DiskRole::kPageFile:
      return "a page file in use";
    case DiskRole::kProgram:
      return "this program";
    default:
      return "";
  }
}

std::string RefusalText(std::int32_t disk_number, DiskRole role) {
  const std::string what = RoleHeld(role);
  if (what.empty()) return "";
  return "DRIVE " + std::to_string(disk_number) + " cannot be tested: it holds " + what + ".";
}

}  // namespace veracap

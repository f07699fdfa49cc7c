// Finding, locking, dismounting and unlocking the volumes of a physical disk.
// Order within a destructive test: LOCK, DisMount_All_Volumes, raw work,
// UNLOCK on every way out.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/context.h"

namespace veracap {

// A volume of the system, with a drive letter or without: its name
// ("\\?\Volume{GUID}\"), where it is mounted ("E:\", "C:\mnt\stick\";
// none for a volume without a mount), and where it lies on which disks.
struct VolumeOnDisk {
  std::string name;
  std::vector<std::string> mount_paths;
  std::vector<DiskExtent> extents;  // empty when the volume would not tell
  bool Touches(std::int32_t disk_number) const;
};

// Every volume of the system (FindFirstVolume / FindNextVolume), each with
// its mounts and its extents (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS).
std::vector<VolumeOnDisk> AllVolumes(Context& ctx);
// The volumes that have an extent on disk N, letter or not, in the order
// the system lists them.
std::vector<VolumeOnDisk> VolumesOnDisk(Context& ctx, std::int32_t disk_number);
// The path that opens a volume by name: the name without its last
// backslash (with it, the name is the volume's root folder).
std::string VolumeDevicePath(const std::string& volume_name);
// The extents of the volume that a path such as "\\?\Volume{GUID}" or
// "\\.\E:" opens; empty when it cannot be opened or would not tell.
std::vector<DiskExtent> VolumeExtents(Context& ctx, const std::string& volume_path);

// Fills the four volume texts of disk N (ascending letters C: to Z:, at most
// four); true when the first is not empty.
bool Get_Drive_Volumes(Context& ctx, std::int32_t disk_number, std::array<std::string, 4>& volumes);
// Fills VolumeLetters for disk N; returns the lowest drive letter ("" if none).
std::string GetDriveLetter(Context& ctx, std::int32_t disk_number);
bool MyLock_Volume(Context& ctx, Handle handle);
bool MyUnlock_Volume(Context& ctx, Handle handle);
bool MyDismount_Volume(Context& ctx, Handle handle);
void Open_Volume_get_lngHandle(Context& ctx, const std::string& volume_text);
void Open_Lock_Dismount_Volume(Context& ctx, const std::string& volume_text);
void UnLock_Close_Volume(Context& ctx);
// How long "LOCK" waits in all for volumes that another program holds, and
// how often it asks again meanwhile (on the platform's clock).
inline constexpr std::uint32_t kLockWaitMs = 15000;
inline constexpr std::uint32_t kLockRetryMs = 500;

// mode "LOCK" (exactly) locks and dismounts every volume with an extent on
// the disk, letter or not, and keeps the handles; anything else unlocks and closes them. A volume
// that another program holds is asked again for up to kLockWaitMs. Returns the volumes that stayed
// unlocked (always none for "UNLOCK"): while any is, nothing may be written to the disk, since
// Windows refuses writes inside a mounted volume and the rest of the disk would be tested without
// it.
std::vector<std::string> Lock_Unlock_All_Volumes(Context& ctx, std::int32_t disk_number,
                                                 const std::string& mode);
void DisMount_All_Volumes(Context& ctx, std::int32_t disk_number);

}  // namespace veracap

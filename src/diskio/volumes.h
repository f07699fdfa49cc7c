// Finding, locking, dismounting and unlocking the volumes of a physical disk.
// Order within a destructive test: LOCK, DisMount_All_Volumes, raw work,
// UNLOCK on every way out.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "app/context.h"

namespace veracap {

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
// mode "LOCK" (exactly) locks and keeps the handles; anything else unlocks
// and closes them.
void Lock_Unlock_All_Volumes(Context& ctx, std::int32_t disk_number, const std::string& mode);
void DisMount_All_Volumes(Context& ctx, std::int32_t disk_number);

}  // namespace veracap

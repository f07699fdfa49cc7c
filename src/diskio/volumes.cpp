#include "diskio/volumes.h"

#include <algorithm>
#include <string>

#include "app/busy.h"
#include "app/results_log.h"
#include "diskio/sector_io.h"

namespace veracap {
namespace {

std::string Num(std::int64_t n) { return std::to_string(n); }

bool SendVolumeRequest(Context& ctx, Handle handle, std::uint32_t code) {
  std::uint32_t returned = 0;
  return ctx.platform.DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned);
}

// "E:" opens as \\.\E:; a volume without a letter by its name.
std::string VolumePath(const std::string& volume_text) {
  if (volume_text.rfind("\\\\?\\", 0) == 0) return VolumeDevicePath(volume_text);
  return "\\\\.\\" + volume_text;
}

// The volumes that locking and dismounting take: every volume with an extent
// on the disk, letter or not, since Windows keeps the sectors of any mounted
// volume from raw writes (one mounted in a folder or not at all as much as
// E:), and any letter of the disk that the volume list missed. A volume with
// a letter goes by it ("E:"), one without by its name.
std::vector<std::string> VolumesToLock(Context& ctx, std::int32_t disk_number) {
  std::vector<std::string> texts;
  for (const VolumeOnDisk& v : VolumesOnDisk(ctx, disk_number)) {
    std::string text = v.name;
    for (const std::string& mount : v.mount_paths) {
      if (mount.size() == 3 && mount[1] == ':' && mount[2] == '\\') {
        text = mount.substr(0, 2);
        break;
      }
    }
    texts.push_back(text);
  }
  std::array<std::string, 4> letters;
  Get_Drive_Volumes(ctx, disk_number, letters);
  for (const std::string& letter : letters) {
    if (!letter.empty() && std::find(texts.begin(), texts.end(), letter) == texts.end()) {
      texts.push_back(letter);
    }
  }
  return texts;
}

}  // namespace

bool VolumeOnDisk::Touches(std::int32_t disk_number) const {
  return disk_number >= 0 && std::any_of(extents.begin(), extents.end(), [&](const DiskExtent& e) {
           return e.disk_number == static_cast<std::uint32_t>(disk_number);
         });
}

std::string VolumeDevicePath(const std::string& volume_name) {
  if (!volume_name.empty() && volume_name.back() == '\\') {
    return volume_name.substr(0, volume_name.size() - 1);
  }
  return volume_name;
}

std::vector<DiskExtent> VolumeExtents(Context& ctx, const std::string& volume_path) {
  // A query handle (no access asked) neither mounts nor holds the volume.
  const Handle h =
      ctx.platform.CreateFile(volume_path, 0, kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  if (h == kInvalidHandle) return {};
  // Room for four extents first; a volume spanning more says how many.
  std::vector<std::uint8_t> reply(VolumeDiskExtentsBytes(4));
  std::uint32_t returned = 0;
  bool ok =
      ctx.platform.DeviceIoControl(h, kIoctlVolumeGetVolumeDiskExtents, nullptr, 0, reply.data(),
                                   static_cast<std::uint32_t>(reply.size()), &returned);
  if (!ok && ctx.platform.GetLastError() == kErrorMoreData) {
    const std::uint32_t count = GetLe32(reply.data());
    if (count <= 1024) {
      reply.assign(VolumeDiskExtentsBytes(count), 0);
      ok = ctx.platform.DeviceIoControl(h, kIoctlVolumeGetVolumeDiskExtents, nullptr, 0,
                                        reply.data(), static_cast<std::uint32_t>(reply.size()),
                                        &returned);
    }
  }
  ctx.platform.CloseHandle(h);
  if (!ok) return {};
  return DecodeVolumeDiskExtents(reply.data(), returned);
}

std::vector<VolumeOnDisk> AllVolumes(Context& ctx) {
  std::vector<VolumeOnDisk> volumes;
  for (const std::string& name : ctx.platform.FindVolumes()) {
    VolumeOnDisk v;
    v.name = name;
    ctx.platform.GetVolumePathNamesForVolumeName(name, &v.mount_paths);
    v.extents = VolumeExtents(ctx, VolumeDevicePath(name));
    volumes.push_back(std::move(v));
  }
  return volumes;
}

std::vector<VolumeOnDisk> VolumesOnDisk(Context& ctx, std::int32_t disk_number) {
  std::vector<VolumeOnDisk> volumes = AllVolumes(ctx);
  std::erase_if(volumes, [&](const VolumeOnDisk& v) { return !v.Touches(disk_number); });
  return volumes;
}

bool Get_Drive_Volumes(Context& ctx, std::int32_t disk_number,
                       std::array<std::string, 4>& volumes) {
  Trace(ctx, " Get_Drive_Volumes for drive " + Num(disk_number));
  std::int32_t disk_of[26];
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    // A network share, CD-ROM drive or RAM disk is never opened: an
    // unreachable server would hold the window for minutes.
    const std::uint32_t type = ctx.platform.GetDriveType(std::string(1, letter) + ":\\");
    disk_of[letter - 'A'] = type == kDriveFixed || type == kDriveRemovable
                                ? GetDiskNumber(ctx, std::string(1, letter) + ":")
                                : kNoDiskNumber;
  }
  volumes.fill("");
  std::size_t filled = 0;
  for (char letter = 'C'; letter <= 'Z' && filled < volumes.size(); ++letter) {
    const std::int32_t n = disk_of[letter - 'A'];
    if (n != kNoDiskNumber && n == disk_number) volumes[filled++] = std::string(1, letter) + ":";
  }
  return !volumes[0].empty();
}

std::string GetDriveLetter(Context& ctx, std::int32_t disk_number) {
  Trace(ctx, " GetDriveLetter " + Num(disk_number));
  Get_Drive_Volumes(ctx, disk_number, ctx.state.VolumeLetters);
  Trace(ctx, " GetDriveLetter returned " + ctx.state.VolumeLetters[0]);
  return ctx.state.VolumeLetters[0];
}

bool MyLock_Volume(Context& ctx, Handle handle) {
  if (handle < 0) return false;
  // One request. A refusal for lack of rights is told apart from others,
  // since it is the one a user can do something about.
  if (SendVolumeRequest(ctx, handle, kFsctlLockVolume)) {
    Trace(ctx, " MyLock_Volume Volume locked - Handle " + Num(handle));
    return true;
  }
  if (ctx.platform.GetLastError() == kErrorAccessDenied) {
    Trace(ctx, " MyLock_Volume Cannot lock volume - access denied - Handle " + Num(handle));
  } else {
    Trace(ctx, " MyLock_Volume Cannot lock volume - Handle " + Num(handle));
  }
  return false;
}

bool MyUnlock_Volume(Context& ctx, Handle handle) {
  if (handle < 1) return false;
  if (SendVolumeRequest(ctx, handle, kFsctlUnlockVolume)) {
    Trace(ctx, " MY_UNLOCK_VOLUME Volume UNLOCKED on Handle " + Num(handle));
    return true;
  }
  Trace(ctx, " MyUnlock_Volume Cannot unlock volume on Handle " + Num(handle));
  return false;
}

bool MyDismount_Volume(Context& ctx, Handle handle) {
  if (handle < 1) return false;
  if (SendVolumeRequest(ctx, handle, kFsctlDismountVolume)) {
    Trace(ctx, " MyDismount_Volume Dismounted volume on Handle  " + Num(handle));
    return true;
  }
  Trace(ctx, " MyDismount_Volume Cannot dismount volume on Handle " + Num(handle));
  return false;
}

void Open_Volume_get_lngHandle(Context& ctx, const std::string& volume_text) {
  Trace(ctx, " Open_Volume_get_lngHandle for " + volume_text);
  ctx.window.DoEvents();
  ctx.state.lngHandle =
      OpenTrackedHandle(ctx, VolumePath(volume_text), kGenericRead | kGenericWrite,
                        kFileShareRead | kFileShareWrite, kOpenExisting, kFileFlagNoBuffering);
  if (ctx.state.lngHandle == kInvalidHandle) {
    Trace(ctx, " Open_Volume_get_lngHandle Cannot open " + volume_text);
  } else {
    Trace(ctx, " Open_Volume_get_lngHandle VOLUME " + volume_text +
                   " OPENED OK - Handle=" + Num(ctx.state.lngHandle));
  }
}

void Open_Lock_Dismount_Volume(Context& ctx, const std::string& volume_text) {
  Trace(ctx, " Open_Lock_Dismount_Volume " + volume_text);
  const bool letter = volume_text.size() >= 2 && volume_text[1] == ':';
  Open_Volume_get_lngHandle(ctx, letter ? volume_text.substr(0, 2) : volume_text);
  Trace(ctx, " Returned from Open_Volume_get_lngHandle");
  if (ctx.state.lngHandle > 0) MyLock_Volume(ctx, ctx.state.lngHandle);
  Trace(ctx, " Returned from MyLock_Volume");
  if (ctx.state.lngHandle > 0) MyDismount_Volume(ctx, ctx.state.lngHandle);
  Trace(ctx, " Returned from MyDismount_Volume");
}

void UnLock_Close_Volume(Context& ctx) {
  if (ctx.state.lngHandle > 0) MyUnlock_Volume(ctx, ctx.state.lngHandle);
  MyCloseHandle(ctx, ctx.state.lngHandle);
  Trace(ctx, " UnLock_Close_Volume CLOSEVOLUME Handle=" + Num(ctx.state.lngHandle));
}

namespace {

// Sends FSCTL_LOCK_VOLUME until it is granted or the wait that began at
// start_tick is over. A refusal means that something has the volume open (an
// Explorer window, an antivirus scan, a console whose folder is on it); a
// dismount takes the volume away from it (the user has agreed to erase it),
// and where locking means exclusive use (Linux) the dismount is what hands
// the lock over.
bool LockWithinWait(Context& ctx, Handle h, std::uint32_t start_tick) {
  if (SendVolumeRequest(ctx, h, kFsctlLockVolume)) return true;
  for (;;) {
    MyDismount_Volume(ctx, h);
    if (SendVolumeRequest(ctx, h, kFsctlLockVolume)) return true;
    if (ctx.platform.GetTickCount() - start_tick >= kLockWaitMs) return false;
    ctx.platform.Sleep(kLockRetryMs);
    // Up to 15 s without a yield: the window must not be taken for hung.
    KeepResponsive(ctx);
  }
}

}  // namespace

std::vector<std::string> Lock_Unlock_All_Volumes(Context& ctx, std::int32_t disk_number,
                                                 const std::string& mode) {
  AppState& s = ctx.state;
  std::vector<std::string> unlocked;
  if (mode == "LOCK") {
    s.hVolume.fill(0);
    const std::uint32_t start_tick = ctx.platform.GetTickCount();
    std::size_t k = 0;
    for (const std::string& volume : VolumesToLock(ctx, disk_number)) {
      if (k == s.hVolume.size()) {
        unlocked.push_back(volume);  // no slot to keep it locked in
        continue;
      }
      const Handle h = OpenTrackedHandle(ctx, VolumePath(volume), kGenericRead | kGenericWrite,
                                         kFileShareRead | kFileShareWrite, kOpenExisting, 0);
      s.hVolume[k] = h;
      if (h == kInvalidHandle) {
        Trace(ctx, " Lock_Unlock_All_Volumes - Cannot open " + volume + " to lock! " +
                       Num(ctx.platform.GetLastError()));
      } else {
        Trace(ctx, " Lock_Unlock_All_Volumes - VOLUME " + volume + " OPENED on Handle " + Num(h));
      }
      if (h != kInvalidHandle && LockWithinWait(ctx, h, start_tick)) {
        Trace(ctx, " Lock_Unlock_All_Volumes - Volume " + volume + " LOCKED");
        MyDismount_Volume(ctx, h);
      } else {
        Trace(ctx, " Lock_Unlock_All_Volumes - Cannot lock volume " + volume + " " +
                       Num(ctx.platform.GetLastError()));
        unlocked.push_back(volume);
      }
      ++k;
    }
  } else {
    for (Handle& h : s.hVolume) {
      // Handles already closed by an earlier UNLOCK keep their values; they
      // are neither unlocked nor closed again.
      if (h < 1 || s.open_handles.count(h) == 0) continue;
      MyUnlock_Volume(ctx, h);
      Trace(ctx, " Lock_Unlock_All_Volumes - Close Handle " + Num(h));
      MyCloseHandle(ctx, h);
    }
  }
  Trace(ctx, " Lock_Unlock_All_Volumes End");
  return unlocked;
}

void DisMount_All_Volumes(Context& ctx, std::int32_t disk_number) {
  Trace(ctx, " DisMount_All_Volumes for Drive " + Num(disk_number));
  for (const std::string& volume : VolumesToLock(ctx, disk_number)) {
    Open_Lock_Dismount_Volume(ctx, volume);
    UnLock_Close_Volume(ctx);
  }
}

}  // namespace veracap

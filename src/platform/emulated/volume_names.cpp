// Volumes by name and mount point, drive types, and where the system keeps
// Windows, its boot partition, its page files and the running program: all
// answered from the manifest.
#include <algorithm>

#include "base/text.h"
#include "platform/emulated/platform_state.h"

namespace veracap::emulated {
namespace {

constexpr const char* kSetupKey = "SYSTEM\\Setup";
constexpr const char* kMemoryManagementKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";

// Where a volume is mounted: its drive root first, then its folders.
std::vector<std::string> MountPaths(const VolumeSpec& v) {
  std::vector<std::string> paths;
  if (v.letter != 0) paths.push_back(std::string(1, v.letter) + ":\\");
  paths.insert(paths.end(), v.mount_folders.begin(), v.mount_folders.end());
  return paths;
}

}  // namespace

std::uint32_t EmulatedPlatform::GetDriveType(const std::string& root) {
  Impl& m = *impl_;
  const char letter = RootLetter(root);
  for (const OtherDrive& d : m.other_drives) {
    if (d.letter == letter) return d.drive_type;
  }
  const Impl::Volume* volume = m.FindVolume(letter);
  if (volume == nullptr) return kDriveNoRootDir;
  return volume->disk->config().removable ? kDriveRemovable : kDriveFixed;
}

std::vector<std::string> EmulatedPlatform::FindVolumes() {
  std::vector<std::string> names;
  for (const auto& v : impl_->volumes) names.push_back(v->name);
  return names;
}

bool EmulatedPlatform::GetVolumePathNamesForVolumeName(const std::string& volume_name,
                                                       std::vector<std::string>* paths) {
  Impl& m = *impl_;
  const Impl::Volume* volume = m.VolumeNamed(volume_name);
  if (volume == nullptr) return m.Fail(kErrorFileNotFound);
  *paths = MountPaths(volume->config);
  return true;
}

bool EmulatedPlatform::GetVolumeNameForVolumeMountPoint(const std::string& mount_point,
                                                        std::string* volume_name) {
  Impl& m = *impl_;
  for (const auto& v : m.volumes) {
    for (const std::string& path : MountPaths(v->config)) {
      if (Upper(path) == Upper(mount_point)) {
        *volume_name = v->name;
        return true;
      }
    }
  }
  return m.Fail(kErrorFileNotFound);
}

bool EmulatedPlatform::GetVolumePathName(const std::string& path, std::string* mount_point) {
  Impl& m = *impl_;
  // The longest mount path that the path lies in.
  std::string best;
  const std::string upper = Upper(path) + (path.empty() || path.back() == '\\' ? "" : "\\");
  for (const auto& v : m.volumes) {
    for (const std::string& mount : MountPaths(v->config)) {
      if (upper.rfind(Upper(mount), 0) == 0 && mount.size() > best.size()) best = mount;
    }
  }
  if (best.empty()) return m.Fail(kErrorPathNotFound);
  *mount_point = best;
  return true;
}

std::string EmulatedPlatform::QueryDosDevice(const std::string& device_name) {
  Impl& m = *impl_;
  const Impl::Volume* volume = m.VolumeNamed("\\\\?\\" + device_name + "\\");
  if (volume == nullptr) {
    m.last_error = kErrorFileNotFound;
    return "";
  }
  return volume->device_name;
}

std::vector<std::string> EmulatedPlatform::RegGetValue(const std::string& key,
                                                       const std::string& value) {
  Impl& m = *impl_;
  std::vector<std::string> texts;
  const bool system_partition = Upper(key) == Upper(kSetupKey) && Upper(value) == "SYSTEMPARTITION";
  const bool page_files =
      Upper(key) == Upper(kMemoryManagementKey) && Upper(value) == "EXISTINGPAGEFILES";
  for (const auto& v : m.volumes) {
    if (system_partition && v->config.roles.boot && texts.empty()) {
      texts.push_back(v->device_name);
    }
    if (page_files && v->config.roles.pagefile) {
      texts.push_back(std::string("\\??\\") + v->config.letter + ":\\pagefile.sys");
    }
  }
  if (texts.empty()) m.last_error = kErrorFileNotFound;
  return texts;
}

std::string EmulatedPlatform::GetWindowsDirectory() {
  for (const auto& v : impl_->volumes) {
    const std::vector<std::string> paths = MountPaths(v->config);
    if (v->config.roles.windows && !paths.empty()) return paths.front() + "Windows";
  }
  // Where Windows is unless the manifest says otherwise.
  return "C:\\Windows";
}

std::string EmulatedPlatform::GetModuleFileName() {
  for (const auto& v : impl_->volumes) {
    const std::vector<std::string> paths = MountPaths(v->config);
    if (v->config.roles.program && !paths.empty()) return paths.front() + "veracap.exe";
  }
  return "";
}

}  // namespace veracap::emulated

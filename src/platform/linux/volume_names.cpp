// Volumes by name, drive types, and where the system lives, in the terms the
// core asks of every platform: the root file system stands for the Windows
// folder, /boot/efi (else /boot) for the boot partition, swap files for page
// files. Swap partitions, /usr, /var and /home have no such query; their
// disks stay refused by the platform itself (see linux_platform.h).
#include <unistd.h>

#include <climits>

#include "platform/linux/platform_parts.h"

namespace veracap::linux_platform {
namespace {

constexpr const char* kSetupKey = "SYSTEM\\Setup";
constexpr const char* kMemoryManagementKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";

bool Under(const std::string& path, const std::string& mount_point) {
  if (mount_point == "/") return !path.empty() && path[0] == '/';
  return path == mount_point ||
         (path.rfind(mount_point, 0) == 0 && path.size() > mount_point.size() &&
          path[mount_point.size()] == '/');
}

// The volume whose mount holds a Linux path (the longest mount point), and
// the path below that mount, written the Windows way ("X:\dir\file").
std::string WindowsPathOf(const SystemMap& map, const std::string& path) {
  const VolumeRecord* best = nullptr;
  std::string best_mount;
  for (const VolumeRecord& v : map.volumes()) {
    if (!v.present) continue;
    for (const std::string& mp : v.mount_points) {
      if (Under(path, mp) && (best == nullptr || mp.size() > best_mount.size())) {
        best = &v;
        best_mount = mp;
      }
    }
  }
  if (best == nullptr) return "";
  std::string rest = path.substr(best_mount == "/" ? 1 : best_mount.size());
  if (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  for (char& c : rest) c = c == '/' ? '\\' : c;
  return std::string(1, best->letter) + ":\\" + rest;
}

}  // namespace

std::string LinuxVolumeName(const std::string& device) {
  return "\\\\?\\Volume{linux-" + device + "}\\";
}

std::uint32_t LinuxPlatform::GetDriveType(const std::string& root) {
  map_.Refresh();
  const ParsedPath p = ParsePath(root);
  const VolumeRecord* v = p.kind == ParsedPath::Kind::kRoot ? map_.Volume(p.letter) : nullptr;
  if (v == nullptr || !v->present) return kDriveNoRootDir;
  const DiskRecord* disk = map_.Disk(v->disk_number);
  const bool removable = disk != nullptr && ReadSmallFile(options_.system_root + "/sys/block/" +
                                                          disk->name + "/removable") == "1";
  return removable ? kDriveRemovable : kDriveFixed;
}

std::vector<std::string> LinuxPlatform::FindVolumes() {
  map_.Refresh();
  std::vector<std::string> names;
  for (const VolumeRecord& v : map_.volumes()) {
    if (v.present) names.push_back(LinuxVolumeName(v.name));
  }
  return names;
}

bool LinuxPlatform::GetVolumePathNamesForVolumeName(const std::string& volume_name,
                                                    std::vector<std::string>* paths) {
  map_.Refresh();
  for (const VolumeRecord& v : map_.volumes()) {
    if (v.present && LinuxVolumeName(v.name) == volume_name) {
      *paths = {std::string(1, v.letter) + ":\\"};
      return true;
    }
  }
  return Fail(kErrorFileNotFound);
}

bool LinuxPlatform::GetVolumeNameForVolumeMountPoint(const std::string& mount_point,
                                                     std::string* volume_name) {
  map_.Refresh();
  const ParsedPath p = ParsePath(mount_point);
  const VolumeRecord* v = p.kind == ParsedPath::Kind::kRoot ? map_.Volume(p.letter) : nullptr;
  if (v == nullptr || !v->present) return Fail(kErrorFileNotFound);
  *volume_name = LinuxVolumeName(v->name);
  return true;
}

bool LinuxPlatform::GetVolumePathName(const std::string& path, std::string* mount_point) {
  map_.Refresh();
  const char letter = path.size() >= 2 && path[1] == ':'
                          ? static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])))
                          : 0;
  const VolumeRecord* v = map_.Volume(letter);
  if (v == nullptr || !v->present) return Fail(kErrorPathNotFound);
  *mount_point = std::string(1, v->letter) + ":\\";
  return true;
}

std::string LinuxPlatform::QueryDosDevice(const std::string& device_name) {
  map_.Refresh();
  for (const VolumeRecord& v : map_.volumes()) {
    if (v.present && "\\\\?\\" + device_name + "\\" == LinuxVolumeName(v.name)) {
      return "\\Device\\" + v.name;
    }
  }
  last_error_ = kErrorFileNotFound;
  return "";
}

std::vector<std::string> LinuxPlatform::RegGetValue(const std::string& key,
                                                    const std::string& value) {
  map_.Refresh();
  std::vector<std::string> texts;
  if (key == kSetupKey && value == "SystemPartition") {
    for (const char* mount : {"/boot/efi", "/boot"}) {
      const VolumeRecord* v = map_.Volume(map_.LetterOf(mount));
      if (v != nullptr && texts.empty()) texts.push_back("\\Device\\" + v->name);
    }
  } else if (key == kMemoryManagementKey && value == "ExistingPageFiles") {
    for (const std::string& file : map_.SwapFiles()) {
      const std::string path = WindowsPathOf(map_, file);
      if (!path.empty()) texts.push_back("\\??\\" + path);
    }
  }
  if (texts.empty()) last_error_ = kErrorFileNotFound;
  return texts;
}

std::string LinuxPlatform::GetWindowsDirectory() {
  map_.Refresh();
  return WindowsPathOf(map_, "/");
}

std::string LinuxPlatform::GetModuleFileName() {
  map_.Refresh();
  char self[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? WindowsPathOf(map_, std::string(self, static_cast<std::size_t>(n))) : "";
}

}  // namespace veracap::linux_platform

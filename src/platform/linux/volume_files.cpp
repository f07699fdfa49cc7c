// Volumes by drive letter: free space, label (libblkid), and the files of a
// mounted volume's root folder.
#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/text.h"
#include "platform/linux/platform_parts.h"

namespace veracap::linux_platform {

namespace {

// The mounted volume at a root such as "E:\\", or null.
const VolumeRecord* MountedVolume(SystemMap& map, const std::string& root) {
  map.Refresh();
  const ParsedPath p = ParsePath(root);
  if (p.kind != ParsedPath::Kind::kRoot) return nullptr;
  const VolumeRecord* v = map.Volume(p.letter);
  return v != nullptr && !v->mount_point.empty() ? v : nullptr;
}

}  // namespace

bool LinuxPlatform::GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                                       std::uint64_t* total_bytes, std::uint64_t* total_free) {
  const VolumeRecord* v = MountedVolume(map_, root);
  if (v == nullptr) return Fail(kErrorPathNotFound);
  struct statvfs st {};
  if (::statvfs(v->mount_point.c_str(), &st) != 0) return FailErrno(errno);
  const std::uint64_t unit = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
  if (free_to_caller != nullptr) *free_to_caller = std::uint64_t{st.f_bavail} * unit;
  if (total_bytes != nullptr) *total_bytes = std::uint64_t{st.f_blocks} * unit;
  if (total_free != nullptr) *total_free = std::uint64_t{st.f_bfree} * unit;
  return true;
}

bool LinuxPlatform::GetDiskFreeSpace(const std::string& root, std::uint32_t* sectors_per_cluster,
                                     std::uint32_t* bytes_per_sector, std::uint32_t* free_clusters,
                                     std::uint32_t* total_clusters) {
  const VolumeRecord* v = MountedVolume(map_, root);
  if (v == nullptr) return Fail(kErrorPathNotFound);
  struct statvfs st {};
  if (::statvfs(v->mount_point.c_str(), &st) != 0) return FailErrno(errno);
  // The sector is the device's logical block, the unit of O_DIRECT; 512
  // when the device cannot be asked.
  std::uint32_t sector = 512;
  const UniqueFd device(::open(v->dev_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (device.valid()) sector = LogicalBlockSize(device.get());
  const std::uint64_t unit = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
  auto clusters = [](std::uint64_t count) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 0xFFFFFFFFu));
  };
  if (sectors_per_cluster != nullptr) {
    *sectors_per_cluster = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, unit / sector));
  }
  if (bytes_per_sector != nullptr) *bytes_per_sector = sector;
  if (free_clusters != nullptr) *free_clusters = clusters(st.f_bavail);
  if (total_clusters != nullptr) *total_clusters = clusters(st.f_blocks);
  return true;
}

bool LinuxPlatform::GetVolumeInformation(const std::string& root, char* label_buffer,
                                         std::uint32_t label_size, char* fs_name_buffer,
                                         std::uint32_t fs_name_size) {
  const VolumeRecord* v = MountedVolume(map_, root);
  if (v == nullptr) return Fail(kErrorPathNotFound);
  // The label as the file system itself records it.
  std::string label, type = v->fs_type;
  if (blkid_probe probe = blkid_new_probe_from_filename(v->dev_path.c_str())) {
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
    if (blkid_do_safeprobe(probe) == 0) {
      const char* value = nullptr;
      if (blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0) label = value;
      if (blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0) type = value;
    }
    blkid_free_probe(probe);
  }
  if (type == "vfat") type = "FAT32";
  if (type == "exfat") type = "exFAT";
  if (type == "ntfs" || type == "ntfs3") type = "NTFS";
  auto copy = [](const std::string& text, char* buffer, std::uint32_t size) {
    if (buffer == nullptr) return true;
    if (text.size() + 1 > size) return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
  };
  if (!copy(label, label_buffer, label_size) || !copy(type, fs_name_buffer, fs_name_size)) {
    return Fail(kErrorInvalidParameter);
  }
  return true;
}

std::vector<std::string> LinuxPlatform::FindFiles(const std::string& pattern) {
  map_.Refresh();
  std::vector<std::string> names;
  const ParsedPath p = ParsePath(pattern);
  if (p.kind != ParsedPath::Kind::kFile) return names;
  const VolumeRecord* v = map_.Volume(p.letter);
  if (v == nullptr || v->mount_point.empty()) return names;
  DIR* dir = ::opendir(v->mount_point.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    // Dot files are the hidden files here.
    if (name.empty() || name[0] == '.') continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode) && WildcardMatch(p.name, name)) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool LinuxPlatform::DeleteFile(const std::string& path) {
  map_.Refresh();
  const ParsedPath p = ParsePath(path);
  if (p.kind != ParsedPath::Kind::kFile) return Fail(kErrorInvalidName);
  const VolumeRecord* v = map_.Volume(p.letter);
  if (v == nullptr || v->mount_point.empty()) return Fail(kErrorPathNotFound);
  const DiskRecord* disk = map_.Disk(v->disk_number);
  if (disk == nullptr || !disk->protected_reason.empty()) return Fail(kErrorAccessDenied);
  // Files only: a link, folder or pipe of that name is someone else's.
  UniqueFd root(::open(v->mount_point.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!root.valid() || ::fstatat(root.get(), p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return FailErrno(errno);
  }
  if (!S_ISREG(st.st_mode)) return Fail(kErrorAccessDenied);
  if (::unlinkat(root.get(), p.name.c_str(), 0) != 0) return FailErrno(errno);
  return true;
}

std::uint32_t LinuxPlatform::GetFileAttributes(const std::string& path) {
  map_.RefreshIfMountsChanged();
  last_error_ = kErrorPathNotFound;
  const ParsedPath p = ParsePath(path);
  if (p.kind != ParsedPath::Kind::kFile) return kInvalidFileAttributes;
  const VolumeRecord* v = map_.Volume(p.letter);
  if (v == nullptr || v->mount_point.empty()) return kInvalidFileAttributes;
  struct stat st {};
  if (::lstat((v->mount_point + "/" + p.name).c_str(), &st) != 0) {
    last_error_ = Win32ErrorOf(errno);
    return kInvalidFileAttributes;
  }
  last_error_ = kErrorSuccess;
  std::uint32_t attributes = 0;
  if (S_ISLNK(st.st_mode)) {
    attributes |= kFileAttributeReparsePoint;
  } else if (S_ISDIR(st.st_mode)) {
    attributes |= kFileAttributeDirectory;
  } else if (!S_ISREG(st.st_mode)) {
    attributes |= kFileAttributeDevice;
  }
  if (p.name[0] == '.') attributes |= kFileAttributeHidden;
  if ((st.st_mode & 0222) == 0) attributes |= kFileAttributeReadOnly;
  return attributes == 0 ? kFileAttributeNormal : attributes;
}

std::uint32_t LinuxPlatform::GetLogicalDrives() {
  map_.Refresh();
  std::uint32_t bits = 0;
  for (const VolumeRecord& v : map_.volumes()) {
    if (v.present) bits |= 1u << (v.letter - 'A');
  }
  return bits;
}

}  // namespace veracap::linux_platform

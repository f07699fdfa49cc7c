#include "platform/linux/linux_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "platform/linux/platform_parts.h"

namespace veracap::linux_platform {
namespace {

bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

void DefaultNotice(const std::string& text) { std::fprintf(stderr, "veracap: %s\n", text.c_str()); }

}  // namespace

// The one place where errno becomes a Win32 error code.
std::uint32_t Win32ErrorOf(int error_number) {
  switch (error_number) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case ELOOP:   // a link where a file was asked for
    case EISDIR:  // a folder, likewise
      return kErrorAccessDenied;
    case EROFS:
      return kErrorWriteProtect;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EEXIST:
      return kErrorFileExists;
    case EBUSY:
      return kErrorBusy;
    case ENOSPC:
      return kErrorDiskFull;
    case EINVAL:
    case EOVERFLOW:
      return kErrorInvalidParameter;
    case ENOTTY:
    case EOPNOTSUPP:
      return kErrorNotSupported;
    case ENAMETOOLONG:
      return kErrorInvalidName;
    case EIO:
      return kErrorCrc;
    default:
      return kErrorIoDevice;
  }
}

ParsedPath ParsePath(const std::string& path) {
  ParsedPath p;
  static const std::string kVolumePrefix = "\\\\?\\Volume{linux-";
  if (path.rfind(kVolumePrefix, 0) == 0 && path.size() > kVolumePrefix.size() + 1 &&
      path.back() == '}') {
    p.kind = ParsedPath::Kind::kVolume;
    p.volume_device = path.substr(kVolumePrefix.size(), path.size() - kVolumePrefix.size() - 1);
    return p;
  }
  static const std::string kDevicePrefix = "\\\\.\\";
  if (path.rfind(kDevicePrefix, 0) == 0) {
    const std::string rest = path.substr(kDevicePrefix.size());
    static const std::string kDisk = "PHYSICALDRIVE";
    if (Upper(rest).rfind(kDisk, 0) == 0) {
      const std::string digits = rest.substr(kDisk.size());
      if (digits.empty() || digits.size() > 9 ||
          !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return p;
      }
      p.kind = ParsedPath::Kind::kDisk;
      p.disk_number = std::stoi(digits);
    } else if (rest.size() == 2 && IsLetter(rest[0]) && rest[1] == ':') {
      p.kind = ParsedPath::Kind::kVolume;
      p.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
    }
    return p;
  }
  if (path.size() < 2 || !IsLetter(path[0]) || path[1] != ':') return p;
  p.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  std::string rest = path.substr(2);
  if (!rest.empty() && (rest[0] == '\\' || rest[0] == '/')) rest.erase(0, 1);
  if (rest.empty()) {
    p.kind = ParsedPath::Kind::kRoot;
    return p;
  }
  // Only files directly in the volume root.
  if (rest.find_first_of("\\/") != std::string::npos || rest == "." || rest == "..") return p;
  p.kind = ParsedPath::Kind::kFile;
  p.name = rest;
  return p;
}

namespace {

// Whether the open folder is the root of the volume's file system: the root
// of a mount, on the volume's own device where the file system reports one
// (FUSE and btrfs report a device number of their own).
bool IsRootOf(int dir_fd, const struct stat& dir_st, const VolumeRecord& volume) {
  struct statx sx {};
  if (::statx(dir_fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0 &&
      (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
      (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0) {
    return false;
  }
  if (major(dir_st.st_dev) == 0) return true;
  return std::to_string(major(dir_st.st_dev)) + ":" + std::to_string(minor(dir_st.st_dev)) ==
         volume.devno;
}

}  // namespace

LinuxPlatform::LinuxPlatform(Options options)
    : options_(std::move(options)), map_(options_.system_root) {
  if (!options_.notice) options_.notice = DefaultNotice;
}

LinuxPlatform::~LinuxPlatform() {
  for (const auto& [disk, claim] : claims_) ::close(claim.fd);
}

bool LinuxPlatform::ClaimDisk(Entry& e) {
  const auto held = claims_.find(e.disk_number);
  if (held != claims_.end()) {
    ++held->second.holders;
    return true;
  }
  const DiskRecord* disk = map_.Disk(e.disk_number);
  if (disk == nullptr) return false;
  // This program's own volume locks on the disk would stand in the way; the
  // claim takes their place, so nothing else can mount or claim meanwhile.
  std::vector<Entry*> locks;
  for (auto& [h, other] : handles_) {
    if (other->kind == Entry::Kind::kVolume && other->disk_number == e.disk_number &&
        other->exclusive.valid()) {
      other->exclusive.Reset();
      locks.push_back(other.get());
    }
  }
  const int fd = ::open(disk->dev_path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  if (fd < 0) {
    const int error_number = errno;
    for (Entry* lock : locks) {
      const VolumeRecord* v = map_.Volume(lock->letter);
      if (v != nullptr) {
        lock->exclusive.Reset(::open(v->dev_path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
      }
    }
    if (!e.told_in_use) {
      options_.notice("disk " + std::to_string(disk->number) + " (" + disk->dev_path +
                      ") is in use: mounted (perhaps in another mount namespace) or held by "
                      "another program; nothing is written to it: " +
                      std::strerror(error_number));
    }
    e.told_in_use = true;
    return false;
  }
  claims_[e.disk_number] = Claim{fd, 1 + static_cast<int>(locks.size())};
  for (Entry* lock : locks) lock->lock_in_claim = true;
  return true;
}

void LinuxPlatform::ReleaseDisk(Entry& e) {
  const auto held = claims_.find(e.disk_number);
  if (held == claims_.end()) return;
  if (--held->second.holders <= 0) {
    ::close(held->second.fd);
    claims_.erase(held);
  }
}

LinuxPlatform::Entry* LinuxPlatform::Find(Handle h) {
  const auto it = handles_.find(h);
  return it == handles_.end() ? nullptr : it->second.get();
}

bool LinuxPlatform::Fail(std::uint32_t error) {
  last_error_ = error;
  return false;
}

bool LinuxPlatform::FailErrno(int error_number) { return Fail(Win32ErrorOf(error_number)); }

std::uint32_t LinuxPlatform::GetLastError() { return last_error_; }

std::size_t LinuxPlatform::open_handle_count() const { return handles_.size(); }

const SystemMap& LinuxPlatform::Devices() {
  map_.Refresh();
  return map_;
}

std::vector<std::string> LinuxPlatform::DescribeDevices() {
  map_.Refresh();
  std::vector<std::string> lines;
  for (const DiskRecord& d : map_.disks()) {
    if (!d.present) continue;
    std::string line = "disk " + std::to_string(d.number) + ": " + d.dev_path;
    if (!d.backing_file.empty()) line += " (backed by " + d.backing_file + ")";
    if (!d.protected_reason.empty()) line += " - refused: " + d.protected_reason;
    lines.push_back(line);
  }
  for (const VolumeRecord& v : map_.volumes()) {
    if (!v.present) continue;
    std::string line = std::string(1, v.letter) + ": " + v.dev_path + " on disk " +
                       std::to_string(v.disk_number) + ", ";
    line += v.mount_point.empty() ? "not mounted" : "mounted at " + v.mount_point;
    lines.push_back(line);
  }
  return lines;
}

Handle LinuxPlatform::CreateFile(const std::string& path, std::uint32_t desired_access,
                                 std::uint32_t /*share_mode*/, std::uint32_t creation_disposition,
                                 std::uint32_t flags_and_attributes) {
  map_.Refresh();
  const ParsedPath p = ParsePath(path);
  const bool wants_write = (desired_access & kGenericWrite) != 0;
  const bool wants_read = (desired_access & kGenericRead) != 0;
  auto entry = std::make_unique<Entry>();
  auto refuse = [&](std::uint32_t error) {
    last_error_ = error;
    return kInvalidHandle;
  };

  switch (p.kind) {
    case ParsedPath::Kind::kInvalid:
    case ParsedPath::Kind::kRoot:
      return refuse(p.kind == ParsedPath::Kind::kRoot ? kErrorAccessDenied : kErrorInvalidName);

    case ParsedPath::Kind::kDisk: {
      const DiskRecord* disk = map_.Disk(p.disk_number);
      if (disk == nullptr) return refuse(kErrorFileNotFound);
      if (wants_write && !disk->protected_reason.empty()) return refuse(kErrorAccessDenied);
      entry->kind = Entry::Kind::kDisk;
      entry->disk_number = disk->number;
      if (desired_access == 0) {
        // A query handle: no transfers; a device without a medium still
        // answers the queries that need no descriptor.
        entry->fd.Reset(::open(disk->dev_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
      } else {
        const int mode = wants_write ? (wants_read ? O_RDWR : O_WRONLY) : O_RDONLY;
        entry->fd.Reset(::open(disk->dev_path.c_str(), mode | O_DIRECT | O_CLOEXEC));
        if (!entry->fd.valid()) return refuse(Win32ErrorOf(errno));
        entry->can_write = wants_write;
        entry->direct = true;
      }
      if (entry->fd.valid()) {
        entry->size = DeviceSize(entry->fd.get());
        entry->align = LogicalBlockSize(entry->fd.get());
      }
      break;
    }

    case ParsedPath::Kind::kVolume: {
      const VolumeRecord* volume = map_.Volume(p.letter);
      for (const VolumeRecord& v : map_.volumes()) {
        if (!p.volume_device.empty() && v.name == p.volume_device) volume = &v;
      }
      if (volume == nullptr || !volume->present) return refuse(kErrorFileNotFound);
      const DiskRecord* disk = map_.Disk(volume->disk_number);
      if (wants_write && (disk == nullptr || !disk->protected_reason.empty())) {
        return refuse(kErrorAccessDenied);
      }
      entry->kind = Entry::Kind::kVolume;
      entry->letter = volume->letter;
      entry->disk_number = volume->disk_number;
      entry->can_write = wants_write;
      break;
    }

    case ParsedPath::Kind::kFile: {
      const VolumeRecord* volume = map_.Volume(p.letter);
      if (volume == nullptr || volume->mount_point.empty()) return refuse(kErrorPathNotFound);
      const DiskRecord* disk = map_.Disk(volume->disk_number);
      const bool changes = wants_write || creation_disposition == kCreateAlways ||
                           creation_disposition == kTruncateExisting;
      if (changes && (disk == nullptr || !disk->protected_reason.empty())) {
        return refuse(kErrorAccessDenied);
      }
      // Never through a link, and never waiting on a pipe or device node
      // that has the name.
      int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
      flags |= wants_write ? (wants_read ? O_RDWR : O_WRONLY) : O_RDONLY;
      switch (creation_disposition) {
        case kCreateNew:
          flags |= O_CREAT | O_EXCL;
          break;
        case kCreateAlways:
          flags |= O_CREAT | O_TRUNC;
          break;
        case kOpenAlways:
          flags |= O_CREAT;
          break;
        case kTruncateExisting:
          flags |= O_TRUNC;
          break;
        default:
          break;
      }
      if ((flags_and_attributes & kFileFlagWriteThrough) != 0) flags |= O_DSYNC;
      entry->kind = Entry::Kind::kFile;
      entry->letter = volume->letter;
      entry->disk_number = volume->disk_number;
      entry->path = volume->mount_point + "/" + p.name;
      entry->can_write = wants_write;
      entry->align = static_cast<std::uint32_t>(kDirectAlignment);
      // The name is opened in the volume's root as it stands now: a folder
      // left where the volume was mounted is not the volume.
      UniqueFd root(
          ::open(volume->mount_point.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat root_st {};
      if (!root.valid() || ::fstat(root.get(), &root_st) != 0) return refuse(Win32ErrorOf(errno));
      if (!IsRootOf(root.get(), root_st, *volume)) return refuse(kErrorPathNotFound);
      const bool no_buffering = (flags_and_attributes & kFileFlagNoBuffering) != 0;
      entry->fd.Reset(
          ::openat(root.get(), p.name.c_str(), flags | (no_buffering ? O_DIRECT : 0), 0644));
      entry->direct = no_buffering && entry->fd.valid();
      if (!entry->fd.valid() && no_buffering && errno == EINVAL) {
        // A file system without direct I/O: synchronous writes, and the
        // cached pages dropped after each transfer instead.
        entry->fd.Reset(::openat(root.get(), p.name.c_str(), flags, 0644));
      }
      if (!entry->fd.valid()) return refuse(Win32ErrorOf(errno));
      // Only a regular file of this volume is ever read or written; one made
      // here that is not (cannot happen, but costs nothing) is taken away.
      struct stat st {};
      if (::fstat(entry->fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
          st.st_dev != root_st.st_dev) {
        if (creation_disposition == kCreateNew) ::unlinkat(root.get(), p.name.c_str(), 0);
        return refuse(kErrorAccessDenied);
      }
      // Reads come from the device, not from pages a buffered writer left.
      if (wants_read) ::posix_fadvise(entry->fd.get(), 0, 0, POSIX_FADV_DONTNEED);
      break;
    }
  }
  const Handle h = next_handle_;
  next_handle_ += 4;
  handles_[h] = std::move(entry);
  last_error_ = kErrorSuccess;
  return h;
}

bool LinuxPlatform::CloseHandle(Handle h) {
  // Closing releases the descriptors, and with them a volume's lock and the
  // handle's part in the disk's claim.
  Entry* e = Find(h);
  if (e == nullptr) return Fail(kErrorInvalidHandle);
  if (e->claimed || e->lock_in_claim) ReleaseDisk(*e);
  handles_.erase(h);
  return true;
}

}  // namespace veracap::linux_platform

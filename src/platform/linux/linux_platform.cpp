#include "platform/linux/linux_platform.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/text.h"
#include "platform/linux/scsi_pass_through.h"
#include "platform/linux/unique_fd.h"

namespace veracap::linux_platform {
namespace {

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
    case EROFS:
      return kErrorAccessDenied;
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

// What a Win32 path names.
struct ParsedPath {
  enum class Kind { kInvalid, kDisk, kVolume, kRoot, kFile } kind = Kind::kInvalid;
  std::int32_t disk_number = -1;
  char letter = 0;
  std::string name;  // file name in the volume root
};

bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

ParsedPath ParsePath(const std::string& path) {
  ParsedPath p;
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

std::uint64_t DeviceSize(int fd) {
  std::uint64_t size = 0;
  return ::ioctl(fd, BLKGETSIZE64, &size) == 0 ? size : 0;
}

std::uint32_t LogicalBlockSize(int fd) {
  int size = 0;
  if (::ioctl(fd, BLKSSZGET, &size) != 0 || size < 512 || size > 65536) return 512;
  return static_cast<std::uint32_t>(size);
}

bool PreadAll(int fd, unsigned char* buf, std::size_t size, std::uint64_t offset,
              std::size_t* got) {
  *got = 0;
  while (*got < size) {
    const ssize_t n = ::pread(fd, buf + *got, size - *got, static_cast<off_t>(offset + *got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return true;
}

bool PwriteAll(int fd, const unsigned char* buf, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, buf + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void DefaultNotice(const std::string& text) { std::fprintf(stderr, "veracap: %s\n", text.c_str()); }

}  // namespace

struct LinuxPlatform::Entry {
  enum class Kind { kDisk, kVolume, kFile } kind = Kind::kDisk;
  UniqueFd fd;
  std::int32_t disk_number = -1;
  char letter = 0;
  bool can_write = false;
  bool direct = false;        // fd is O_DIRECT
  std::uint32_t align = 512;  // O_DIRECT granularity
  std::uint64_t size = 0;     // device size (disks)
  std::uint64_t position = 0;
  // Files: the path, and a second descriptor without O_DIRECT for the parts
  // of a transfer that are not whole aligned blocks.
  std::string path;
  UniqueFd buffered;
  // Volumes: the exclusive open that is the lock, and whether a lock was
  // asked for while the file system was still mounted.
  UniqueFd exclusive;
  bool lock_wanted = false;
  AlignedBytes bounce;
  std::size_t bounce_size = 0;

  unsigned char* Bounce(std::size_t size) {
    if (bounce_size < size) {
      bounce = AllocateAligned(size);
      bounce_size = bounce ? size : 0;
    }
    return bounce.get();
  }
};

LinuxPlatform::LinuxPlatform(Options options)
    : options_(std::move(options)), map_(options_.system_root) {
  if (!options_.notice) options_.notice = DefaultNotice;
}

LinuxPlatform::~LinuxPlatform() = default;

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
      int flags = O_CLOEXEC;
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
      const bool no_buffering = (flags_and_attributes & kFileFlagNoBuffering) != 0;
      entry->fd.Reset(::open(entry->path.c_str(), flags | (no_buffering ? O_DIRECT : 0), 0644));
      entry->direct = no_buffering && entry->fd.valid();
      if (!entry->fd.valid() && no_buffering && errno == EINVAL) {
        // A file system without direct I/O: synchronous writes, and the
        // cached pages dropped after each transfer instead.
        entry->fd.Reset(::open(entry->path.c_str(), flags, 0644));
      }
      if (!entry->fd.valid()) return refuse(Win32ErrorOf(errno));
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

bool LinuxPlatform::ReadFile(Handle h, void* buffer, std::uint32_t length,
                             std::uint32_t* bytes_read) {
  if (bytes_read != nullptr) *bytes_read = 0;
  Entry* e = Find(h);
  if (e == nullptr || e->kind == Entry::Kind::kVolume || !e->fd.valid()) {
    return Fail(e == nullptr ? kErrorInvalidHandle : kErrorInvalidFunction);
  }
  if (length == 0) return true;
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t got = 0;
  if (!e->direct) {
    if (!PreadAll(e->fd.get(), out, length, e->position, &got)) return FailErrno(errno);
  } else {
    // Whole aligned blocks around the request, through aligned memory.
    std::uint64_t end = e->position + length;
    if (e->kind == Entry::Kind::kDisk) {
      if (e->position >= e->size) return true;  // at the end: nothing more to read
      end = std::min(end, e->size);
    }
    const std::uint64_t first = e->position / e->align * e->align;
    const std::uint64_t last = (end + e->align - 1) / e->align * e->align;
    unsigned char* bounce = e->Bounce(static_cast<std::size_t>(last - first));
    if (bounce == nullptr) return Fail(kErrorNotEnoughMemory);
    std::size_t read_bytes = 0;
    if (!PreadAll(e->fd.get(), bounce, static_cast<std::size_t>(last - first), first,
                  &read_bytes)) {
      return FailErrno(errno);
    }
    const std::size_t skip = static_cast<std::size_t>(e->position - first);
    got = read_bytes > skip ? std::min<std::size_t>(read_bytes - skip, end - e->position) : 0;
    std::memcpy(out, bounce + skip, got);
  }
  e->position += got;
  if (bytes_read != nullptr) *bytes_read = static_cast<std::uint32_t>(got);
  return true;
}

bool LinuxPlatform::WriteFile(Handle h, const void* buffer, std::uint32_t length,
                              std::uint32_t* bytes_written) {
  if (bytes_written != nullptr) *bytes_written = 0;
  Entry* e = Find(h);
  if (e == nullptr || e->kind == Entry::Kind::kVolume || !e->fd.valid()) {
    return Fail(e == nullptr ? kErrorInvalidHandle : kErrorInvalidFunction);
  }
  if (!e->can_write) return Fail(kErrorAccessDenied);
  const auto* in = static_cast<const unsigned char*>(buffer);

  if (e->kind == Entry::Kind::kDisk) {
    map_.RefreshIfMountsChanged();
    const DiskRecord* disk = map_.Disk(e->disk_number);
    if (disk == nullptr) return Fail(kErrorFileNotFound);
    if (!disk->protected_reason.empty() || disk->in_use) return Fail(kErrorAccessDenied);
    if (length == 0) return true;
    if (e->position + length > e->size) return Fail(kErrorSectorNotFound);
    const std::uint64_t first = e->position / e->align * e->align;
    const std::uint64_t last = (e->position + length + e->align - 1) / e->align * e->align;
    const auto span = static_cast<std::size_t>(last - first);
    unsigned char* bounce = e->Bounce(span);
    if (bounce == nullptr) return Fail(kErrorNotEnoughMemory);
    if (first != e->position || last != e->position + length) {
      // Part of a logical block: read the enclosing blocks and change only
      // the caller's bytes.
      std::size_t got = 0;
      if (!PreadAll(e->fd.get(), bounce, span, first, &got)) return FailErrno(errno);
      if (got < span) return Fail(kErrorSectorNotFound);
    }
    std::memcpy(bounce + (e->position - first), in, length);
    if (!PwriteAll(e->fd.get(), bounce, span, first)) return FailErrno(errno);
  } else if (!e->direct) {
    if (!PwriteAll(e->fd.get(), in, length, e->position)) return FailErrno(errno);
    ::posix_fadvise(e->fd.get(), 0, 0, POSIX_FADV_DONTNEED);
  } else {
    // Whole aligned blocks go direct in pieces through aligned memory; a
    // piece the file system refuses for direct I/O, and a tail that is not a
    // whole block, go through a synchronous buffered descriptor.
    constexpr std::size_t kPieceBytes = 8u << 20;
    std::size_t done = 0;
    const std::size_t direct_bytes = e->position % e->align == 0 ? length / e->align * e->align : 0;
    auto buffered_write = [&](const unsigned char* data, std::size_t size, std::uint64_t at) {
      if (!e->buffered.valid()) {
        e->buffered.Reset(::open(e->path.c_str(), O_WRONLY | O_DSYNC | O_CLOEXEC));
        if (!e->buffered.valid()) return false;
      }
      if (!PwriteAll(e->buffered.get(), data, size, at)) return false;
      ::posix_fadvise(e->buffered.get(), static_cast<off_t>(at), static_cast<off_t>(size),
                      POSIX_FADV_DONTNEED);
      return true;
    };
    while (done < direct_bytes) {
      const std::size_t piece = std::min(kPieceBytes, direct_bytes - done);
      unsigned char* bounce = e->Bounce(piece);
      if (bounce == nullptr) return Fail(kErrorNotEnoughMemory);
      std::memcpy(bounce, in + done, piece);
      if (!PwriteAll(e->fd.get(), bounce, piece, e->position + done)) {
        if (errno != EINVAL || !buffered_write(in + done, piece, e->position + done)) {
          return FailErrno(errno);
        }
      }
      done += piece;
    }
    if (done < length && !buffered_write(in + done, length - done, e->position + done)) {
      return FailErrno(errno);
    }
  }
  e->position += length;
  if (bytes_written != nullptr) *bytes_written = length;
  return true;
}

bool LinuxPlatform::SetFilePointerEx(Handle h, std::int64_t distance, std::uint32_t move_method) {
  Entry* e = Find(h);
  if (e == nullptr || e->kind == Entry::Kind::kVolume) {
    return Fail(e == nullptr ? kErrorInvalidHandle : kErrorInvalidFunction);
  }
  std::int64_t base = 0;
  if (move_method == kFileCurrent) {
    base = static_cast<std::int64_t>(e->position);
  } else if (move_method == kFileEnd) {
    struct stat st {};
    if (e->kind == Entry::Kind::kDisk) {
      base = static_cast<std::int64_t>(e->size);
    } else if (::fstat(e->fd.get(), &st) == 0) {
      base = st.st_size;
    }
  } else if (move_method != kFileBegin) {
    return Fail(kErrorInvalidParameter);
  }
  if (distance < 0 && -distance > base) return Fail(kErrorInvalidParameter);
  e->position = static_cast<std::uint64_t>(base + distance);
  return true;
}

bool LinuxPlatform::FlushFileBuffers(Handle h) {
  Entry* e = Find(h);
  if (e == nullptr || !e->fd.valid()) return Fail(kErrorInvalidHandle);
  if (e->buffered.valid() && ::fdatasync(e->buffered.get()) != 0) return FailErrno(errno);
  // On a block device this also has the device flush its write cache.
  if (::fdatasync(e->fd.get()) != 0) return FailErrno(errno);
  return true;
}

bool LinuxPlatform::LockFile(Handle h, std::uint64_t offset, std::uint64_t length) {
  Entry* e = Find(h);
  if (e == nullptr || !e->fd.valid()) return Fail(kErrorInvalidHandle);
  struct flock lock {};
  lock.l_type = e->can_write ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = static_cast<off_t>(length);
  if (::fcntl(e->fd.get(), F_OFD_SETLK, &lock) != 0) return Fail(kErrorLockViolation);
  return true;
}

bool LinuxPlatform::UnlockFile(Handle h, std::uint64_t offset, std::uint64_t length) {
  Entry* e = Find(h);
  if (e == nullptr || !e->fd.valid()) return Fail(kErrorInvalidHandle);
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = static_cast<off_t>(length);
  if (::fcntl(e->fd.get(), F_OFD_SETLK, &lock) != 0) return FailErrno(errno);
  return true;
}

bool LinuxPlatform::CloseHandle(Handle h) {
  // Closing releases the descriptors, and with them a volume's lock.
  if (handles_.erase(h) == 0) return Fail(kErrorInvalidHandle);
  return true;
}

bool LinuxPlatform::DeviceIoControl(Handle h, std::uint32_t control_code, const void* in_buffer,
                                    std::uint32_t in_size, void* out_buffer, std::uint32_t out_size,
                                    std::uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  Entry* e = Find(h);
  if (e == nullptr) return Fail(kErrorInvalidHandle);
  auto* out = static_cast<std::uint8_t*>(out_buffer);
  auto returned = [&](std::uint32_t n) {
    if (bytes_returned != nullptr) *bytes_returned = n;
    last_error_ = kErrorSuccess;
    return true;
  };
  map_.Refresh();
  const DiskRecord* disk = map_.Disk(e->disk_number);

  switch (control_code) {
    case kIoctlScsiPassThrough: {
      if (e->kind != Entry::Kind::kDisk || !e->fd.valid()) return Fail(kErrorInvalidFunction);
      const auto* in = static_cast<const std::uint8_t*>(in_buffer);
      ScsiRequest request;
      if (!ParseScsiRequest(in, in_size, out_size, &request)) return Fail(kErrorInvalidParameter);
      ScsiReply reply;
      int error_number = 0;
      if (!SendScsiRequest(e->fd.get(), request, &reply, &error_number)) {
        return Fail(error_number == EIO ? kErrorIoDevice : Win32ErrorOf(error_number));
      }
      return returned(WriteScsiReply(request, reply, in, in_size, out, out_size));
    }

    case kIoctlDiskGetLengthInfo: {
      if (out == nullptr || out_size < kLengthInformationBytes) {
        return Fail(kErrorInvalidParameter);
      }
      std::uint64_t length = 0;
      if (e->kind == Entry::Kind::kDisk && e->fd.valid()) {
        length = DeviceSize(e->fd.get());
      } else if (e->kind == Entry::Kind::kVolume) {
        const VolumeRecord* v = map_.Volume(e->letter);
        UniqueFd fd(v == nullptr ? -1 : ::open(v->dev_path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) return FailErrno(errno);
        length = DeviceSize(fd.get());
      } else {
        return Fail(kErrorInvalidFunction);
      }
      if (length == 0) return Fail(kErrorNotSupported);
      EncodeLengthInformation(length, out);
      return returned(kLengthInformationBytes);
    }

    case kIoctlStorageGetDeviceNumber: {
      if (e->kind == Entry::Kind::kFile) return Fail(kErrorInvalidFunction);
      if (out == nullptr || out_size < StorageDeviceNumber::kBytes) {
        return Fail(kErrorInvalidParameter);
      }
      std::uint32_t partition = 0;
      if (e->kind == Entry::Kind::kVolume) {
        const VolumeRecord* v = map_.Volume(e->letter);
        if (v == nullptr || !v->present) return Fail(kErrorFileNotFound);
        partition = static_cast<std::uint32_t>(v->partition);
      }
      EncodeStorageDeviceNumber(
          {kFileDeviceDisk, static_cast<std::uint32_t>(e->disk_number), partition}, out);
      return returned(StorageDeviceNumber::kBytes);
    }

    case kIoctlStorageQueryProperty: {
      if (e->kind == Entry::Kind::kFile || disk == nullptr) return Fail(kErrorInvalidFunction);
      const auto* in = static_cast<const std::uint8_t*>(in_buffer);
      if (in == nullptr || in_size < 8 || out == nullptr) return Fail(kErrorInvalidParameter);
      const StoragePropertyQuery query = DecodeStoragePropertyQuery(in);
      if (query.property_id != kStorageDeviceProperty ||
          query.query_type != kPropertyStandardQuery) {
        return Fail(kErrorNotSupported);
      }
      // STORAGE_DEVICE_DESCRIPTOR with the vendor and product texts after it.
      const std::string sys = options_.system_root + "/sys/block/" + disk->name;
      char device_path[PATH_MAX] = {};
      if (::realpath((sys + "/device").c_str(), device_path) == nullptr) {
        ::realpath(sys.c_str(), device_path);
      }
      const std::string vendor = ReadSmallFile(sys + "/device/vendor");
      const std::string product = ReadSmallFile(sys + "/device/model");
      std::vector<std::uint8_t> d(StorageDeviceDescriptor::kFixedBytes, 0);
      StorageDeviceDescriptor fields;
      fields.removable_media = ReadSmallFile(sys + "/removable") == "1";
      fields.bus_type = BusTypeFor(disk->name, device_path, ReadSmallFile(sys + "/device/type"));
      fields.vendor_id_offset = AppendDescriptorText(d, vendor);
      fields.product_id_offset = AppendDescriptorText(d, product);
      fields.version = StorageDeviceDescriptor::kFixedBytes;
      fields.size = static_cast<std::uint32_t>(d.size());
      EncodeStorageDeviceDescriptor(fields, d.data());
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(d.size(), out_size));
      std::memcpy(out, d.data(), n);
      return returned(n);
    }

    case kFsctlLockVolume: {
      if (e->kind != Entry::Kind::kVolume) return Fail(kErrorInvalidFunction);
      if (e->exclusive.valid()) return returned(0);
      const VolumeRecord* v = map_.Volume(e->letter);
      if (v == nullptr || !v->present) return Fail(kErrorFileNotFound);
      if (disk == nullptr || !disk->protected_reason.empty()) return Fail(kErrorAccessDenied);
      e->lock_wanted = true;
      e->exclusive.Reset(::open(v->dev_path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
      if (!e->exclusive.valid()) {
        // Mounted or held by another: the volume is in use, as Windows says
        // with access denied. The dismount on this handle takes the lock.
        return Fail(errno == EBUSY ? kErrorAccessDenied : Win32ErrorOf(errno));
      }
      return returned(0);
    }

    case kFsctlUnlockVolume: {
      if (e->kind != Entry::Kind::kVolume) return Fail(kErrorInvalidFunction);
      e->lock_wanted = false;
      if (!e->exclusive.valid()) return Fail(kErrorNotLocked);
      e->exclusive.Reset();
      return returned(0);
    }

    case kFsctlDismountVolume: {
      if (e->kind != Entry::Kind::kVolume) return Fail(kErrorInvalidFunction);
      const VolumeRecord* v = map_.Volume(e->letter);
      if (v == nullptr || !v->present) return Fail(kErrorFileNotFound);
      if (disk == nullptr || !disk->protected_reason.empty()) return Fail(kErrorAccessDenied);
      const std::string letter(1, v->letter);
      const std::string dev_path = v->dev_path;
      const std::vector<std::string> mounts = v->mount_points;
      // Newest mount first; never detached lazily.
      for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
        if (::umount2(it->c_str(), UMOUNT_NOFOLLOW) != 0) {
          const int error_number = errno;
          options_.notice(letter + ": (" + dev_path + " at " + *it +
                          ") is busy and stays mounted: " + std::strerror(error_number));
          map_.Refresh();
          return Fail(error_number == EBUSY ? kErrorBusy : Win32ErrorOf(error_number));
        }
        options_.notice(letter + ": (" + dev_path + ") unmounted from " + *it);
      }
      map_.Refresh();
      if (e->lock_wanted && !e->exclusive.valid()) {
        e->exclusive.Reset(::open(dev_path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
      }
      return returned(0);
    }

    default:
      return Fail(kErrorInvalidFunction);
  }
}

bool LinuxPlatform::GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                                       std::uint64_t* total_bytes, std::uint64_t* total_free) {
  map_.Refresh();
  const ParsedPath p = ParsePath(root);
  if (p.kind != ParsedPath::Kind::kRoot) return Fail(kErrorPathNotFound);
  const VolumeRecord* v = map_.Volume(p.letter);
  if (v == nullptr || v->mount_point.empty()) return Fail(kErrorPathNotFound);
  struct statvfs st {};
  if (::statvfs(v->mount_point.c_str(), &st) != 0) return FailErrno(errno);
  const std::uint64_t unit = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
  if (free_to_caller != nullptr) *free_to_caller = std::uint64_t{st.f_bavail} * unit;
  if (total_bytes != nullptr) *total_bytes = std::uint64_t{st.f_blocks} * unit;
  if (total_free != nullptr) *total_free = std::uint64_t{st.f_bfree} * unit;
  return true;
}

bool LinuxPlatform::GetVolumeInformation(const std::string& root, char* label_buffer,
                                         std::uint32_t label_size, char* fs_name_buffer,
                                         std::uint32_t fs_name_size) {
  map_.Refresh();
  const ParsedPath p = ParsePath(root);
  if (p.kind != ParsedPath::Kind::kRoot) return Fail(kErrorPathNotFound);
  const VolumeRecord* v = map_.Volume(p.letter);
  if (v == nullptr || v->mount_point.empty()) return Fail(kErrorPathNotFound);
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
  if (::unlink((v->mount_point + "/" + p.name).c_str()) != 0) return FailErrno(errno);
  return true;
}

std::uint32_t LinuxPlatform::GetLogicalDrives() {
  map_.Refresh();
  std::uint32_t bits = 0;
  for (const VolumeRecord& v : map_.volumes()) {
    if (v.present) bits |= 1u << (v.letter - 'A');
  }
  return bits;
}

std::uint32_t LinuxPlatform::GetTickCount() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void LinuxPlatform::Sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

LocalTime LinuxPlatform::GetLocalTime() {
  const time_t now = ::time(nullptr);
  tm local{};
  ::localtime_r(&now, &local);
  return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour,        local.tm_min,     local.tm_sec};
}

void LinuxPlatform::ShellExecuteOpen(const std::string& url) {
  // Detached through a second fork, so that no child is left to reap.
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    if (::fork() == 0) {
      const int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0) {
        ::dup2(null_fd, STDIN_FILENO);
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
      }
      ::execlp(options_.opener.c_str(), options_.opener.c_str(), url.c_str(),
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::_exit(0);
  }
  if (child > 0) ::waitpid(child, nullptr, 0);
}

std::uint32_t BusTypeFor(const std::string& disk_name, const std::string& device_path,
                         const std::string& mmc_type) {
  if (disk_name.rfind("loop", 0) == 0) return kBusTypeFileBackedVirtual;
  // A USB reader or stick, whatever protocol runs over it.
  if (device_path.find("/usb") != std::string::npos) return kBusTypeUsb;
  if (disk_name.rfind("nvme", 0) == 0) return kBusTypeNvme;
  if (disk_name.rfind("mmcblk", 0) == 0) return mmc_type == "MMC" ? kBusTypeMmc : kBusTypeSd;
  if (disk_name.rfind("vd", 0) == 0 || device_path.find("/virtio") != std::string::npos) {
    return kBusTypeVirtual;
  }
  if (device_path.find("/ata") != std::string::npos) return kBusTypeSata;
  if (device_path.find("/fw") != std::string::npos ||
      device_path.find("/firewire") != std::string::npos) {
    return kBusType1394;
  }
  if (device_path.find("/host") != std::string::npos) return kBusTypeScsi;
  return kBusTypeUnknown;
}

}  // namespace veracap::linux_platform

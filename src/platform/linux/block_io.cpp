// Sector and file transfers (O_DIRECT, read-modify-write on 4Kn devices),
// seeks, flushes and byte-range locks.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux/platform_parts.h"

namespace veracap::linux_platform {

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
    if (!e->claimed) {
      if (!ClaimDisk(*e)) return Fail(kErrorAccessDenied);
      e->claimed = true;
    }
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

}  // namespace veracap::linux_platform

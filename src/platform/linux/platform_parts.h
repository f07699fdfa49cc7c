// What the Linux platform's parts share: an open handle's state, the Win32
// path parser, errno to Win32 error codes, and whole-transfer helpers on
// block devices. Private to src/platform/linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/linux/linux_platform.h"
#include "platform/linux/unique_fd.h"

namespace veracap::linux_platform {

// The one place where errno becomes a Win32 error code.
std::uint32_t Win32ErrorOf(int error_number);

// What a Win32 path names.
struct ParsedPath {
  enum class Kind { kInvalid, kDisk, kVolume, kRoot, kFile } kind = Kind::kInvalid;
  std::int32_t disk_number = -1;
  char letter = 0;
  std::string name;  // file name in the volume root
  // A volume named "\\?\Volume{linux-sdb1}": its device's name ("sdb1"),
  // the letter then being left to the caller.
  std::string volume_device;
};

// The name FindVolumes gives a volume: "\\?\Volume{linux-" + device + "}\".
std::string LinuxVolumeName(const std::string& device);

ParsedPath ParsePath(const std::string& path);

std::uint64_t DeviceSize(int fd);
std::uint32_t LogicalBlockSize(int fd);
bool PreadAll(int fd, unsigned char* buf, std::size_t size, std::uint64_t offset, std::size_t* got);
bool PwriteAll(int fd, const unsigned char* buf, std::size_t size, std::uint64_t offset);

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
  // Disks: this handle holds the disk's claim. Volumes: the lock is held by
  // the claim on the volume's disk instead of an exclusive open of its own.
  bool claimed = false;
  bool lock_in_claim = false;
  bool told_in_use = false;  // the notice of a refused claim, once a handle
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

}  // namespace veracap::linux_platform

// What the Linux platform calls disks and drive letters, read from sysfs,
// /proc/self/mountinfo and /proc/swaps.
//
// Disks are whole-disk block devices: sd*, mmcblk*, nvme*n*, vd*, and loop
// devices that have a backing file. Disk 0 is the disk that holds the root
// file system (left empty when the root is on no such disk); the others are
// numbered from 1 in natural name order. Mounted file systems on those disks
// get drive letters: C: for the root file system, the others from D: on in
// the order of their disk and partition numbers.
//
// Numbers and letters are kept for the life of the map: a disk or volume that
// appears later takes the next free number or letter, and one that goes away
// (or is unmounted) keeps its own, as a dismounted volume keeps its letter on
// Windows. So the letters of a test do not shift under it.
//
// A disk that holds the root file system, /boot, /usr, /var, /home or active
// swap is protected: the platform never writes to it, never unmounts its file
// systems and never writes test files on them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/unique_fd.h"

namespace veracap::linux_platform {

struct DiskRecord {
  std::int32_t number = 0;
  std::string name;          // "sdb", "loop3"
  std::string dev_path;      // "/dev/sdb"
  std::string devno;         // "8:16"
  std::string backing_file;  // loop devices only
  // Why the disk may not be written ("holds /home", "holds active swap"), or
  // empty.
  std::string protected_reason;
  // A file system on it is mounted, or a device mapper / md device uses it.
  bool in_use = false;
  bool present = true;
};

struct VolumeRecord {
  char letter = 0;
  std::string name;      // "sdb1", or the disk's own name for a whole-disk file system
  std::string dev_path;  // "/dev/sdb1"
  std::string devno;     // "8:17"
  std::int32_t disk_number = 0;
  std::int32_t partition = 0;  // 0: the file system spans the whole disk
  std::string fs_type;
  std::string mount_point;                // where its root is mounted; empty when not mounted
  std::vector<std::string> mount_points;  // every mount of it, in mount order
  bool present = true;
};

class SystemMap {
 public:
  // root prefixes /sys, /proc and /dev (empty for the real system; tests
  // pass a folder holding a fake tree).
  explicit SystemMap(std::string root = "");

  // Reads the system again, keeping the numbers and letters already given.
  void Refresh();
  // Refreshes only when the mount table changed since the last read (cheap:
  // one poll of /proc/self/mountinfo). Used on every raw write.
  void RefreshIfMountsChanged();

  const DiskRecord* Disk(std::int32_t number) const;
  const VolumeRecord* Volume(char letter) const;
  const std::vector<DiskRecord>& disks() const { return disks_; }
  const std::vector<VolumeRecord>& volumes() const { return volumes_; }
  // The disk number of a device ("/dev/loop3" or "loop3"), -1 when it is not
  // a disk of this map.
  std::int32_t DiskNumberOf(const std::string& device) const;
  // The letter whose volume is mounted at mount_point, 0 when none.
  char LetterOf(const std::string& mount_point) const;
  // The active swap files (not partitions), as /proc/swaps names them.
  std::vector<std::string> SwapFiles() const;
  // /proc/swaps as (file or device, type) pairs, the names unescaped.
  std::vector<std::pair<std::string, std::string>> ActiveSwaps() const;

 private:
  struct Mount {
    std::string devno;
    std::string root;
    std::string mount_point;
    std::string fs_type;
    std::string source;
  };
  // A whole disk found in /sys/block; a loop device with its backing file.
  struct SeenDisk {
    std::string name, devno, backing;
    std::string key() const { return name + "|" + backing; }
  };
  // A mounted volume, keyed by disk name, backing file and device name.
  struct FoundVolume {
    std::string key;
    VolumeRecord volume;
  };
  struct Resolved {
    std::string name;        // sysfs name of the device itself
    std::string whole_disk;  // its whole disk, for a partition; else name
    std::int32_t partition = 0;
  };

  std::string ReadMountInfo();
  std::vector<Mount> ParseMounts(const std::string& text) const;
  bool ResolveDevno(const std::string& devno, Resolved* out) const;
  std::string DevnoOfSource(const std::string& source) const;
  std::vector<std::string> UnderlyingDisks(const std::string& name, int depth = 0) const;
  const Mount* ContainingMount(const std::vector<Mount>& mounts, const std::string& path) const;
  std::vector<std::string> DisksOfMount(const Mount& mount) const;

  // The steps of Refresh.
  std::vector<SeenDisk> ScanDisks() const;
  void NumberDisks(const std::vector<SeenDisk>& seen, const std::vector<Mount>& mounts);
  std::vector<DiskRecord> DiskRecords(const std::vector<SeenDisk>& seen,
                                      std::map<std::string, std::int32_t>* number_of_name) const;
  void MarkProtected(const std::vector<Mount>& mounts, std::vector<DiskRecord>& disks) const;
  void MarkHeld(std::vector<DiskRecord>& disks) const;
  std::vector<FoundVolume> FindVolumes(const std::vector<Mount>& mounts,
                                       const std::map<std::string, std::int32_t>& number_of_name,
                                       std::vector<DiskRecord>& disks,
                                       std::string* root_volume_key) const;
  void GiveLetters(const std::vector<FoundVolume>& found, const std::string& root_volume_key);
  std::vector<VolumeRecord> VolumeRecords(const std::vector<FoundVolume>& found,
                                          const std::vector<SeenDisk>& seen) const;

  std::string root_;
  UniqueFd mountinfo_fd_;
  std::vector<DiskRecord> disks_;
  std::vector<VolumeRecord> volumes_;
  std::map<std::string, std::int32_t> number_of_key_;  // disk key -> number
  std::map<std::string, char> letter_of_key_;          // volume key -> letter
  bool first_ = true;
};

// What tells a disk from another that later takes its name or number: its
// device number, size, vendor, model, serial where the bus gives one (USB,
// NVMe, MMC) and, for a loop device, its backing file.
struct DiskIdentity {
  std::string name;  // empty: no such disk now
  std::string devno;
  std::uint64_t size_bytes = 0;
  std::string vendor;
  std::string model;
  std::string serial;
  std::string backing_file;
  bool operator==(const DiskIdentity&) const = default;
};
// Reads the identity of the whole disk name ("sdb") from sysfs now.
DiskIdentity ReadDiskIdentity(const std::string& name, const std::string& root = "");

// The whole disk that a device path names ("/dev/disk/by-id/usb-X-part1",
// "/dev/sdb1" and "/dev/sdb" all name "sdb"), and in *partition the
// partition's own name when the path names one ("" otherwise). False when
// the path is not a block device.
bool WholeDiskOf(const std::string& path, std::string* disk, std::string* partition,
                 const std::string& root = "");

// Natural order of device names: loop2 before loop10, sda before sdb.
bool NaturalLess(const std::string& a, const std::string& b);
// Whether a /sys/block name is a whole disk the platform offers (loop devices
// still need a backing file).
bool IsCandidateDiskName(const std::string& name);
// Decodes the octal escapes (\040 for a blank) of /proc/self/mountinfo.
std::string UnescapeMountField(const std::string& field);
// A small sysfs or proc file's text without its trailing newlines and
// blanks; "" when it cannot be read.
std::string ReadSmallFile(const std::string& path);

}  // namespace veracap::linux_platform

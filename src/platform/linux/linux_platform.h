// The Platform over real Linux block devices.
//
// "\\.\PhysicalDriveN" is disk N of the SystemMap (disk 0 holds the root file
// system); "\\.\E:" is the file system given letter E:, and "E:\NAME" a file
// in the root folder where E: is mounted.
//
// Sector transfers use O_DIRECT from aligned memory, so no page cache answers
// for the device, and FlushFileBuffers is fdatasync, which makes the device
// flush its own cache. On a device whose logical block is larger than 512
// bytes (4Kn), a transfer that is not whole blocks is done as
// read-modify-write of the enclosing blocks: a 512-byte write reads the
// block, changes its 512 bytes and writes the block back.
//
// The control requests: IOCTL_SCSI_PASS_THROUGH is carried by SG_IO (no data
// back where the device has no SG_IO, such as loop, virtio or NVMe);
// IOCTL_DISK_GET_LENGTH_INFO is BLKGETSIZE64; IOCTL_STORAGE_QUERY_PROPERTY
// reports the bus type found in sysfs (USB 7, SD 12, NVMe 17, file-backed
// loop 15...); IOCTL_STORAGE_GET_DEVICE_NUMBER gives the disk and partition
// numbers. FSCTL_LOCK_VOLUME is an exclusive open (O_EXCL) of the volume's
// block device; the kernel refuses it while the file system is mounted, and
// then the handle takes it as soon as FSCTL_DISMOUNT_VOLUME has unmounted the
// volume, so that a lock followed by a dismount leaves the volume held, as on
// Windows. FSCTL_DISMOUNT_VOLUME is a real unmount of every mount of the
// volume, never a lazy one: a busy file system is reported and stays mounted.
// FSCTL_UNLOCK_VOLUME and closing the handle release the exclusive open.
//
// Safety: a disk that holds the root file system, /boot, /usr, /var, /home or
// active swap is refused whatever its number: it cannot be opened for
// writing, its volumes cannot be locked or unmounted, and no test file is
// written or deleted on them (error 5, access denied). Raw writes to any disk
// fail with error 5 while a file system on it is mounted or a device-mapper
// or md device uses it, as Windows refuses writes to mounted volumes.
//
// The first raw write to a disk claims it: an exclusive open (O_EXCL) of the
// whole disk, which the kernel refuses while any of its partitions is mounted
// in any mount namespace or held exclusively by another program (another
// runner included). A refused claim fails the write with error 5 and a
// notice that the disk is in use; nothing is written. The claim is kept
// while a handle that wrote to the disk or a lock on one of its volumes is
// open, so a test holds the disk from its first write to its end. Files in a
// volume root are opened without following links or waiting on pipes, only
// in the root of the mount that is the volume, and only when regular.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/system_map.h"
#include "platform/platform.h"

namespace veracap::linux_platform {

struct Options {
  // Prefix of /sys, /proc and /dev; empty for the real system.
  std::string system_root;
  // The program ShellExecuteOpen runs with the address.
  std::string opener = "xdg-open";
  // Where the platform tells the user what it did or refused ("E: /mnt/x
  // unmounted", "E: is busy and stays mounted"). Defaults to stderr.
  std::function<void(const std::string&)> notice;
};

class LinuxPlatform : public Platform {
 public:
  explicit LinuxPlatform(Options options = {});
  ~LinuxPlatform() override;
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  Handle CreateFile(const std::string& path, std::uint32_t desired_access, std::uint32_t share_mode,
                    std::uint32_t creation_disposition,
                    std::uint32_t flags_and_attributes) override;
  bool ReadFile(Handle h, void* buffer, std::uint32_t length, std::uint32_t* bytes_read) override;
  bool WriteFile(Handle h, const void* buffer, std::uint32_t length,
                 std::uint32_t* bytes_written) override;
  bool SetFilePointerEx(Handle h, std::int64_t distance, std::uint32_t move_method) override;
  bool FlushFileBuffers(Handle h) override;
  bool LockFile(Handle h, std::uint64_t offset, std::uint64_t length) override;
  bool UnlockFile(Handle h, std::uint64_t offset, std::uint64_t length) override;
  bool CloseHandle(Handle h) override;
  std::uint32_t GetLastError() override;
  bool DeviceIoControl(Handle h, std::uint32_t control_code, const void* in_buffer,
                       std::uint32_t in_size, void* out_buffer, std::uint32_t out_size,
                       std::uint32_t* bytes_returned) override;
  bool GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                          std::uint64_t* total_bytes, std::uint64_t* total_free) override;
  bool GetDiskFreeSpace(const std::string& root, std::uint32_t* sectors_per_cluster,
                        std::uint32_t* bytes_per_sector, std::uint32_t* free_clusters,
                        std::uint32_t* total_clusters) override;
  bool GetVolumeInformation(const std::string& root, char* label_buffer, std::uint32_t label_size,
                            char* fs_name_buffer, std::uint32_t fs_name_size) override;
  std::vector<std::string> FindFiles(const std::string& pattern) override;
  bool DeleteFile(const std::string& path) override;
  std::uint32_t GetFileAttributes(const std::string& path) override;
  std::uint32_t GetLogicalDrives() override;
  std::uint32_t GetDriveType(const std::string& root) override;
  std::vector<std::string> FindVolumes() override;
  bool GetVolumePathNamesForVolumeName(const std::string& volume_name,
                                       std::vector<std::string>* paths) override;
  bool GetVolumeNameForVolumeMountPoint(const std::string& mount_point,
                                        std::string* volume_name) override;
  bool GetVolumePathName(const std::string& path, std::string* mount_point) override;
  std::string QueryDosDevice(const std::string& device_name) override;
  std::vector<std::string> RegGetValue(const std::string& key, const std::string& value) override;
  std::string GetWindowsDirectory() override;
  std::string GetModuleFileName() override;
  std::uint32_t GetTickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  LocalTime GetLocalTime() override;
  void ShellExecuteOpen(const std::string& url) override;

  // The disks and drive letters as they stand now (refreshed).
  const SystemMap& Devices();
  // Lines for the runner: each disk with its device and why it is refused,
  // and each letter with its device and mount point.
  std::vector<std::string> DescribeDevices();
  std::size_t open_handle_count() const;

 private:
  struct Entry;
  Entry* Find(Handle h);
  // The exclusive claim on a whole disk (see above): taken for a writing
  // handle or a volume lock, released when its last holder lets go.
  bool ClaimDisk(Entry& e);
  void ReleaseDisk(Entry& e);
  struct Claim {
    int fd = -1;      // the exclusive open of the whole disk
    int holders = 0;  // writing handles and volume locks that rely on it
  };
  std::map<std::int32_t, Claim> claims_;
  bool Fail(std::uint32_t error);
  bool FailErrno(int error_number);

  Options options_;
  SystemMap map_;
  std::map<Handle, std::unique_ptr<Entry>> handles_;
  Handle next_handle_ = 0x100;
  std::uint32_t last_error_ = 0;
};

// STORAGE_BUS_TYPE of a disk from its sysfs name, the resolved path of its
// sysfs device, and (for MMC) the card type file's text.
std::uint32_t BusTypeFor(const std::string& disk_name, const std::string& device_path,
                         const std::string& mmc_type);

}  // namespace veracap::linux_platform

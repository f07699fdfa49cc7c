// The operating-system seam. The portable core reaches disks, volumes, files,
// clocks and the shell only through this interface, with the Win32 calls'
// names and argument meanings; a backend carries the bytes. Backends: the
// emulated one (disk images standing in for devices), Win32 and Linux.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/civil_time.h"
#include "platform/wire.h"

namespace veracap {

// A handle is a plain value. kInvalidHandle (-1) is what a failed open
// returns; 0 means "no handle". Closing -1, 0 or an already-closed handle
// does nothing.
using Handle = std::int64_t;
inline constexpr Handle kInvalidHandle = -1;

class Platform {
 public:
  virtual ~Platform() = default;

  // CreateFileA. Paths are Win32 paths: "\\.\PhysicalDriveN" for a whole
  // disk, "\\.\E:" for a volume, "E:\NAME.EXT" for a file in a volume root.
  // Returns kInvalidHandle on failure (GetLastError tells why).
  //
  // A name in a volume root is never opened through a link: with
  // kFileFlagOpenReparsePoint the name itself is opened, and kCreateNew
  // creates a new regular file or fails with kErrorFileExists when anything
  // has the name (a file, a folder, a link, a pipe, a device node), without
  // opening, following or waiting on what is there.
  virtual Handle CreateFile(const std::string& path, std::uint32_t desired_access,
                            std::uint32_t share_mode, std::uint32_t creation_disposition,
                            std::uint32_t flags_and_attributes) = 0;
  // ReadFile: true when the call succeeded; *bytes_read may be less than
  // length (end of file, short read). bytes_read may be null.
  virtual bool ReadFile(Handle h, void* buffer, std::uint32_t length,
                        std::uint32_t* bytes_read) = 0;
  // WriteFile: true when the call succeeded. A device of fixed size fails a
  // write past its end and never grows.
  virtual bool WriteFile(Handle h, const void* buffer, std::uint32_t length,
                         std::uint32_t* bytes_written) = 0;
  // Moves the handle's position (kFileBegin: to distance bytes); false, position
  // unchanged, for a bad handle, method or negative result.
  virtual bool SetFilePointerEx(Handle h, std::int64_t distance, std::uint32_t move_method) = 0;
  // True only once everything written through h has reached the device or file.
  virtual bool FlushFileBuffers(Handle h) = 0;
  // Locks a byte range for h alone; false when another handle holds any of it.
  virtual bool LockFile(Handle h, std::uint64_t offset, std::uint64_t length) = 0;
  // Releases exactly a range h locked; false when h holds no such lock.
  virtual bool UnlockFile(Handle h, std::uint64_t offset, std::uint64_t length) = 0;
  // Closing kInvalidHandle, 0 or a closed handle does nothing and returns false.
  virtual bool CloseHandle(Handle h) = 0;
  // Error code of the last failed call on this platform (Win32 numbering).
  virtual std::uint32_t GetLastError() = 0;
  // DeviceIoControl with in and out buffers (either may be null with size 0).
  // *bytes_returned is set to what the request returned (0 on failure).
  virtual bool DeviceIoControl(Handle h, std::uint32_t control_code, const void* in_buffer,
                               std::uint32_t in_size, void* out_buffer, std::uint32_t out_size,
                               std::uint32_t* bytes_returned) = 0;

  // GetDiskFreeSpaceExA for a root such as "E:" or "E:\".
  virtual bool GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                                  std::uint64_t* total_bytes, std::uint64_t* total_free) = 0;
  // GetDiskFreeSpaceA for a root such as "E:" or "E:\": the volume's
  // allocation unit and its sector, the unit in which unbuffered transfers of
  // its files must be aligned (offset, length and memory).
  virtual bool GetDiskFreeSpace(const std::string& root, std::uint32_t* sectors_per_cluster,
                                std::uint32_t* bytes_per_sector, std::uint32_t* free_clusters,
                                std::uint32_t* total_clusters) = 0;
  // GetVolumeInformationA: the label is written NUL-terminated into
  // label_buffer; fails when it does not fit in label_size characters
  // including the NUL. Either buffer may be null with size 0.
  virtual bool GetVolumeInformation(const std::string& root, char* label_buffer,
                                    std::uint32_t label_size, char* fs_name_buffer,
                                    std::uint32_t fs_name_size) = 0;
  // FindFirstFile/FindNextFile over one folder: the names (without folder)
  // of the normal files matching the wildcard pattern ("E:\VCAPTEST*.tmp"):
  // no folders, links, pipes or device nodes, no hidden or system files.
  // Matching is case-insensitive, as on Windows.
  virtual std::vector<std::string> FindFiles(const std::string& pattern) = 0;
  // Deletes the named file; false (GetLastError tells why) when it is still there.
  virtual bool DeleteFile(const std::string& path) = 0;
  // GetFileAttributesA of a name in a volume root, never following a link:
  // a symbolic link or junction reports kFileAttributeReparsePoint whatever it
  // points at, and anything that is neither a file nor a folder (a pipe, a
  // device node, a socket) reports kFileAttributeDevice. When nothing has the
  // name: kInvalidFileAttributes and GetLastError kErrorFileNotFound (or
  // kErrorPathNotFound when the volume itself is missing); any other code
  // means the name's kind could not be told.
  virtual std::uint32_t GetFileAttributes(const std::string& path) = 0;
  // GetLogicalDrives: bit 0 is A:, bit 25 is Z:.
  virtual std::uint32_t GetLogicalDrives() = 0;
  // GetDriveTypeA of a root ("E:\"): kDriveRemovable, kDriveFixed,
  // kDriveRemote, kDriveCdrom, kDriveRamdisk, kDriveNoRootDir or
  // kDriveUnknown. Asks nothing of the device behind the letter.
  virtual std::uint32_t GetDriveType(const std::string& root) = 0;

  // Volumes, letter or not. FindFirstVolume/FindNextVolume: the name of
  // every volume, "\\?\Volume{GUID}\"; CreateFile of the name without its
  // last backslash opens the volume (as "\\.\E:" does), which answers
  // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS.
  virtual std::vector<std::string> FindVolumes() = 0;
  // GetVolumePathNamesForVolumeName: where the volume is mounted, drive roots
  // ("E:\") and folders ("C:\mnt\stick\"), each with its last backslash;
  // none for a volume without a mount. False when the name is no volume.
  virtual bool GetVolumePathNamesForVolumeName(const std::string& volume_name,
                                               std::vector<std::string>* paths) = 0;
  // GetVolumeNameForVolumeMountPoint: the volume name of a root or mount
  // folder ("E:\"). False when nothing is mounted there.
  virtual bool GetVolumeNameForVolumeMountPoint(const std::string& mount_point,
                                                std::string* volume_name) = 0;
  // GetVolumePathName: the root or mount folder of the volume that holds a
  // path ("C:\Windows" gives "C:\"). False when it cannot be told.
  virtual bool GetVolumePathName(const std::string& path, std::string* mount_point) = 0;
  // QueryDosDevice of a volume name without "\\?\" and its last backslash
  // ("Volume{GUID}"): the kernel's device name ("\Device\HarddiskVolume3");
  // "" when unknown.
  virtual std::string QueryDosDevice(const std::string& device_name) = 0;
  // RegGetValue under HKEY_LOCAL_MACHINE of a text value: one text for
  // REG_SZ, each text of a REG_MULTI_SZ; empty when there is no such value.
  virtual std::vector<std::string> RegGetValue(const std::string& key,
                                               const std::string& value) = 0;
  // GetWindowsDirectory ("C:\Windows") and GetModuleFileName of the running
  // program ("E:\tools\veracap.exe"); "" when there is none.
  virtual std::string GetWindowsDirectory() = 0;
  virtual std::string GetModuleFileName() = 0;

  // Clock. GetTickCount is milliseconds from an arbitrary start.
  virtual std::uint32_t GetTickCount() = 0;
  // Waits (an emulated clock just moves on); cannot fail.
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // The local civil date and time to the second; cannot fail.
  virtual LocalTime GetLocalTime() = 0;

  // ShellExecuteA(no owner, "open", url, no parameters, default directory, SW_SHOWNORMAL).
  virtual void ShellExecuteOpen(const std::string& url) = 0;
};

}  // namespace veracap

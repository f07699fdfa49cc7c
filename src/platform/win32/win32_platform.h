// The Platform over the real Windows API: kernel32 files and devices, volume
// information, directory search, the clock, and shell32 for the web link.
// Every call goes to the Win32 function of the same name with the arguments
// the core gives, unchanged, with two exceptions told below (the SCSI
// pass-through layout and unbuffered transfers from unaligned memory).
//
// Handles: the core sees small numbers of this platform's own (from 1000 on,
// never reused); behind each is an owned Win32 HANDLE, closed by CloseHandle
// or when the platform is destroyed. So a stale or repeated close can never
// reach a handle that Windows has since given to another open.
//
// Not thread-safe: the program uses it from the window's thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace veracap::win32 {

struct Options {
  // Image files standing in for \\.\PhysicalDriveN, by disk number: where no
  // physical drive can be opened (tests under Wine), CreateFile of that path
  // opens the image instead. Such a handle behaves as a device of fixed size:
  // a write that would reach past the image's end fails with
  // ERROR_SECTOR_NOT_FOUND and the file never grows, and
  // IOCTL_DISK_GET_LENGTH_INFO answers the image's size. Empty in the
  // program: the real devices.
  std::map<int, std::string> disk_images;
};

class Win32Platform : public Platform {
 public:
  explicit Win32Platform(Options options = {});
  ~Win32Platform() override;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  // Unbuffered handles (FILE_FLAG_NO_BUFFERING) need sector-aligned memory;
  // a transfer from or to memory that is not 4096-aligned goes through an
  // aligned buffer of this platform's own.
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
  // IOCTL_SCSI_PASS_THROUGH: the core's 32-bit block is translated to the
  // native 64-bit SCSI_PASS_THROUGH for the driver and the answer copied
  // back (see scsi_pass_through.h); every other request goes as it is.
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

  // Handles currently open (to prove that nothing leaks).
  std::size_t open_handle_count() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace veracap::win32

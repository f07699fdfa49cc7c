// A Platform over disk images: each manifest disk is a sparse image file of
// its real size; addresses beyond the real memory behave as the manifest says
// (wrap, zeros, 0xFF, I/O error); the control requests are answered from the
// manifest; volumes are regions of their disk holding a small flat file
// system whose data passes through the same device model.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/emulated/manifest.h"
#include "platform/platform.h"

namespace veracap::emulated {

struct Options {
  // Folder of the images and file tables; made when missing. Overrides the
  // manifest's own image_dir when not empty.
  std::string image_dir;
  // true: every disk's memory lives in RAM, holding only the sectors written
  // (tests; nothing of a flood reaches the host's disk). The volumes' file
  // tables are still kept in image_dir.
  bool disks_in_ram = false;
  // false: a virtual clock that moves only through Sleep and the delays of
  // injected faults, starting at start_time (tests get byte-exact logs).
  // true: the machine's clock and real sleeps (the runner).
  bool real_clock = false;
  LocalTime start_time{2026, 12, 6, 9, 0, 0};
  // GetTickCount at start_time on the virtual clock (it wraps after 2^32 ms).
  std::uint32_t start_tick_ms = 0;
};

// Counts of what reached the devices, for tests and benchmarks.
struct Counters {
  std::uint64_t sector_writes = 0;  // WriteFile calls on physical disks
  std::uint64_t sector_reads = 0;   // ReadFile calls on physical disks
  std::uint64_t flushes = 0;        // FlushFileBuffers on physical disks
  std::uint64_t bytes_written = 0;  // to physical disks and files
  std::uint64_t bytes_read = 0;
};

class EmulatedPlatform : public Platform {
 public:
  // Creates the image folder, the sparse images and, for a volume without a
  // table yet, the table and the manifest's files. Problems are not thrown:
  // error() tells them, and the devices concerned cannot be opened.
  EmulatedPlatform(Manifest manifest, Options options);
  ~EmulatedPlatform() override;
  EmulatedPlatform(const EmulatedPlatform&) = delete;
  EmulatedPlatform& operator=(const EmulatedPlatform&) = delete;

  // Empty when every image and table could be set up; else the first problem.
  const std::string& error() const;

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

  // Inspection for tests and the runner.
  const Counters& counters() const;
  // Every volume control request in order, e.g. "FSCTL_LOCK_VOLUME E:",
  // "FSCTL_DISMOUNT_VOLUME E:", "FSCTL_UNLOCK_VOLUME E:"; also
  // "ShellExecute open URL".
  const std::vector<std::string>& requests() const;
  // Handles currently open (to prove nothing leaks).
  std::size_t open_handle_count() const;
  // Direct access to a disk's content as the device returns it (reads through
  // the device model, no counters, no faults), for tests.
  bool PeekSector(int disk_number, std::uint64_t sector, std::uint8_t out[512]);
  // Tell the device to refuse requests, to exercise the combination rules.
  void SetAnswers(int disk_number, bool capacity, bool inquiry, bool length);
  // Another device now answers to disk N (a stick pulled out, another plugged
  // in that took its number): its storage descriptor gives this serial.
  void SwapDevice(int disk_number, const std::string& serial);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The one way every program and test brings up emulated devices: from the
// manifest file at manifest_path, or the built-in manifest when the path is
// empty (manifest_text, when given, replaces both). Null, with the reason in
// *error, when the manifest does not parse or a device cannot be set up;
// nothing has been written then.
std::unique_ptr<EmulatedPlatform> OpenEmulatedDevices(const std::string& manifest_path,
                                                      Options options, std::string* error,
                                                      std::string_view manifest_text = {});

}  // namespace veracap::emulated

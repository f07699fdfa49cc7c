// Forwards every call to another platform. A test double overrides only the
// calls it wants to watch or to fail.
#pragma once

#include "platform/platform.h"

namespace veracap {

class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}

  Handle CreateFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t disposition, std::uint32_t flags) override {
    return target_.CreateFile(path, access, share, disposition, flags);
  }
  bool ReadFile(Handle h, void* buffer, std::uint32_t length, std::uint32_t* read) override {
    return target_.ReadFile(h, buffer, length, read);
  }
  bool WriteFile(Handle h, const void* buffer, std::uint32_t length,
                 std::uint32_t* written) override {
    return target_.WriteFile(h, buffer, length, written);
  }
  bool SetFilePointerEx(Handle h, std::int64_t distance, std::uint32_t method) override {
    return target_.SetFilePointerEx(h, distance, method);
  }
  bool FlushFileBuffers(Handle h) override { return target_.FlushFileBuffers(h); }
  bool LockFile(Handle h, std::uint64_t offset, std::uint64_t length) override {
    return target_.LockFile(h, offset, length);
  }
  bool UnlockFile(Handle h, std::uint64_t offset, std::uint64_t length) override {
    return target_.UnlockFile(h, offset, length);
  }
  bool CloseHandle(Handle h) override { return target_.CloseHandle(h); }
  std::uint32_t GetLastError() override { return target_.GetLastError(); }
  bool DeviceIoControl(Handle h, std::uint32_t code, const void* in, std::uint32_t in_size,
                       void* out, std::uint32_t out_size, std::uint32_t* returned) override {
    return target_.DeviceIoControl(h, code, in, in_size, out, out_size, returned);
  }
  bool GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                          std::uint64_t* total, std::uint64_t* total_free) override {
    return target_.GetDiskFreeSpaceEx(root, free_to_caller, total, total_free);
  }
  bool GetDiskFreeSpace(const std::string& root, std::uint32_t* sectors_per_cluster,
                        std::uint32_t* bytes_per_sector, std::uint32_t* free_clusters,
                        std::uint32_t* total_clusters) override {
    return target_.GetDiskFreeSpace(root, sectors_per_cluster, bytes_per_sector, free_clusters,
                                    total_clusters);
  }
  bool GetVolumeInformation(const std::string& root, char* label, std::uint32_t label_size,
                            char* fs_name, std::uint32_t fs_name_size) override {
    return target_.GetVolumeInformation(root, label, label_size, fs_name, fs_name_size);
  }
  std::vector<std::string> FindFiles(const std::string& pattern) override {
    return target_.FindFiles(pattern);
  }
  bool DeleteFile(const std::string& path) override { return target_.DeleteFile(path); }
  std::uint32_t GetFileAttributes(const std::string& path) override {
    return target_.GetFileAttributes(path);
  }
  std::uint32_t GetLogicalDrives() override { return target_.GetLogicalDrives(); }
  std::uint32_t GetDriveType(const std::string& root) override {
    return target_.GetDriveType(root);
  }
  std::vector<std::string> FindVolumes() override { return target_.FindVolumes(); }
  bool GetVolumePathNamesForVolumeName(const std::string& volume_name,
                                       std::vector<std::string>* paths) override {
    return target_.GetVolumePathNamesForVolumeName(volume_name, paths);
  }
  bool GetVolumeNameForVolumeMountPoint(const std::string& mount_point,
                                        std::string* volume_name) override {
    return target_.GetVolumeNameForVolumeMountPoint(mount_point, volume_name);
  }
  bool GetVolumePathName(const std::string& path, std::string* mount_point) override {
    return target_.GetVolumePathName(path, mount_point);
  }
  std::string QueryDosDevice(const std::string& device_name) override {
    return target_.QueryDosDevice(device_name);
  }
  std::vector<std::string> RegGetValue(const std::string& key, const std::string& value) override {
    return target_.RegGetValue(key, value);
  }
  std::string GetWindowsDirectory() override { return target_.GetWindowsDirectory(); }
  std::string GetModuleFileName() override { return target_.GetModuleFileName(); }
  std::uint32_t GetTickCount() override { return target_.GetTickCount(); }
  void Sleep(std::uint32_t ms) override { target_.Sleep(ms); }
  LocalTime GetLocalTime() override { return target_.GetLocalTime(); }
  void ShellExecuteOpen(const std::string& url) override { target_.ShellExecuteOpen(url); }

 protected:
  Platform& target_;
};

}  // namespace veracap

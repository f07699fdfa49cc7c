// A platform with nothing behind it: every open, transfer and query fails,
// every count is 0. A test derives from it and answers the few calls it
// cares about.
#pragma once

#include "platform/platform.h"

namespace veracap::testing {

class StubPlatform : public Platform {
 public:
  Handle CreateFile(const std::string&, std::uint32_t, std::uint32_t, std::uint32_t,
                    std::uint32_t) override {
    return kInvalidHandle;
  }
  bool ReadFile(Handle, void*, std::uint32_t, std::uint32_t* read) override {
    if (read) *read = 0;
    return false;
  }
  bool WriteFile(Handle, const void*, std::uint32_t, std::uint32_t* written) override {
    if (written) *written = 0;
    return false;
  }
  bool SetFilePointerEx(Handle, std::int64_t, std::uint32_t) override { return false; }
  bool FlushFileBuffers(Handle) override { return false; }
  bool LockFile(Handle, std::uint64_t, std::uint64_t) override { return false; }
  bool UnlockFile(Handle, std::uint64_t, std::uint64_t) override { return false; }
  bool CloseHandle(Handle) override { return false; }
  std::uint32_t GetLastError() override { return kErrorInvalidHandle; }
  bool DeviceIoControl(Handle, std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                       std::uint32_t* returned) override {
    if (returned) *returned = 0;
    return false;
  }
  bool GetDiskFreeSpaceEx(const std::string&, std::uint64_t*, std::uint64_t*,
                          std::uint64_t*) override {
    return false;
  }
  bool GetDiskFreeSpace(const std::string&, std::uint32_t*, std::uint32_t*, std::uint32_t*,
                        std::uint32_t*) override {
    return false;
  }
  bool GetVolumeInformation(const std::string&, char*, std::uint32_t, char*,
                            std::uint32_t) override {
    return false;
  }
  std::vector<std::string> FindFiles(const std::string&) override { return {}; }
  bool DeleteFile(const std::string&) override { return false; }
  std::uint32_t GetFileAttributes(const std::string&) override { return kInvalidFileAttributes; }
  std::uint32_t GetLogicalDrives() override { return 0; }
  std::uint32_t GetDriveType(const std::string&) override { return kDriveNoRootDir; }
  std::vector<std::string> FindVolumes() override { return {}; }
  bool GetVolumePathNamesForVolumeName(const std::string&, std::vector<std::string>*) override {
    return false;
  }
  bool GetVolumeNameForVolumeMountPoint(const std::string&, std::string*) override { return false; }
  bool GetVolumePathName(const std::string&, std::string*) override { return false; }
  std::string QueryDosDevice(const std::string&) override { return ""; }
  std::vector<std::string> RegGetValue(const std::string&, const std::string&) override {
    return {};
  }
  std::string GetWindowsDirectory() override { return ""; }
  std::string GetModuleFileName() override { return ""; }
  std::uint32_t GetTickCount() override { return 0; }
  void Sleep(std::uint32_t) override {}
  LocalTime GetLocalTime() override { return {}; }
  void ShellExecuteOpen(const std::string&) override {}
};

}  // namespace veracap::testing

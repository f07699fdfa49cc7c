// Watches what the core asks of a platform, passing every call on: transfers,
// flushes, files created for writing and deleted, handles closed twice,
// byte-range locks never released, and every path opened. Three faults on
// request: the second write to one file fails with an error code, a request
// for no compression is ignored, and one path answers as a CD-ROM drive.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/platform_wrapper.h"

namespace veracap::testing {

class CountingPlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;

  Handle CreateFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t disposition, std::uint32_t flags) override {
    if ((access & kGenericWrite) != 0 && path.rfind("\\\\.\\", 0) != 0) created.push_back(path);
    const Handle h = target_.CreateFile(path, access, share, disposition, flags);
    opened.push_back(path);
    if (h != kInvalidHandle && path.size() > 3 && path.substr(3) == fail_file) failing_ = h;
    if (path == cdrom_path) cdrom_ = h;
    return h;
  }
  bool ReadFile(Handle h, void* b, std::uint32_t n, std::uint32_t* r) override {
    ++reads;
    return target_.ReadFile(h, b, n, r);
  }
  bool WriteFile(Handle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    ++writes;
    if (h == failing_ && ++failing_writes_ == 2) {
      error_ = fail_error;
      if (w) *w = 0;
      return false;
    }
    return target_.WriteFile(h, b, n, w);
  }
  bool FlushFileBuffers(Handle h) override {
    ++flushes;
    return target_.FlushFileBuffers(h);
  }
  bool LockFile(Handle h, std::uint64_t offset, std::uint64_t length) override {
    const bool ok = target_.LockFile(h, offset, length);
    if (ok) locks.insert({h, offset, length});
    return ok;
  }
  bool UnlockFile(Handle h, std::uint64_t offset, std::uint64_t length) override {
    locks.erase({h, offset, length});
    return target_.UnlockFile(h, offset, length);
  }
  bool CloseHandle(Handle h) override {
    if (h > 0 && !closed.insert(h).second) ++double_closes;
    return target_.CloseHandle(h);
  }
  bool DeleteFile(const std::string& path) override {
    deleted.push_back(path);
    return target_.DeleteFile(path);
  }
  bool DeviceIoControl(Handle h, std::uint32_t code, const void* in, std::uint32_t in_size,
                       void* out, std::uint32_t out_size, std::uint32_t* returned) override {
    if (code == kFsctlSetCompression && ignore_compression_request) return true;
    const bool ok = target_.DeviceIoControl(h, code, in, in_size, out, out_size, returned);
    if (ok && h == cdrom_ && code == kIoctlStorageGetDeviceNumber && out_size >= 4) {
      static_cast<std::uint8_t*>(out)[0] = 2;  // FILE_DEVICE_CD_ROM
    }
    return ok;
  }
  std::uint32_t GetLastError() override {
    return error_ != 0 ? std::exchange(error_, 0) : target_.GetLastError();
  }

  std::string fail_file;  // "VCAPTEST2.tmp": its second write fails with fail_error
  std::uint32_t fail_error = 0;
  bool ignore_compression_request = false;
  std::string cdrom_path;  // e.g. \\.\E:, whose device-number answer names a CD-ROM drive

  int reads = 0, writes = 0, flushes = 0, double_closes = 0;
  std::set<Handle> closed;
  // Byte ranges locked and not (yet) unlocked: closing the handle does not
  // count as releasing them.
  std::set<std::tuple<Handle, std::uint64_t, std::uint64_t>> locks;
  std::vector<std::string> opened;
  std::vector<std::string> created;  // files (not devices) opened for writing
  std::vector<std::string> deleted;

 private:
  Handle failing_ = kInvalidHandle, cdrom_ = kInvalidHandle;
  int failing_writes_ = 0;
  std::uint32_t error_ = 0;
};

}  // namespace veracap::testing

// Watches what the core asks of a platform, passing every call on: transfers,
// flushes, files created for writing and deleted, handles closed twice,
// byte-range locks never released, and the links opened.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform_wrapper.h"

namespace veracap::testing {

class CountingPlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;

  Handle CreateFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t disposition, std::uint32_t flags) override {
    if ((access & kGenericWrite) != 0 && path.rfind("\\\\.\\", 0) != 0) created.push_back(path);
    return target_.CreateFile(path, access, share, disposition, flags);
  }
  bool ReadFile(Handle h, void* b, std::uint32_t n, std::uint32_t* r) override {
    ++reads;
    return target_.ReadFile(h, b, n, r);
  }
  bool WriteFile(Handle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    ++writes;
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
  void ShellExecuteOpen(const std::string& url) override { urls.push_back(url); }

  int reads = 0, writes = 0, flushes = 0, double_closes = 0;
  std::set<Handle> closed;
  // Byte ranges locked and not (yet) unlocked: closing the handle does not
  // count as releasing them.
  std::set<std::tuple<Handle, std::uint64_t, std::uint64_t>> locks;
  std::vector<std::string> created;  // files (not devices) opened for writing
  std::vector<std::string> deleted;
  std::vector<std::string> urls;
};

}  // namespace veracap::testing

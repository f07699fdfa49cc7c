// Test files for next to nothing: a platform wrapper that keeps the
// VCAPTEST*.tmp files of one drive itself, so that tests can write and read
// back dozens of 200 MiB test files in milliseconds. It stores only the first
// 16 bytes of every 16 KiB block (where the test-file format puts its
// header, markers and zeros) and answers every other byte with the background
// 0xA5; whole-content checks belong on the emulated platform. Everything else
// goes to the target, and the drive's free space is a fixed figure less the
// test files' sizes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "filetest/writer.h"
#include "platform/platform_wrapper.h"

namespace veracap::testing {

class CheapTestFiles : public PlatformWrapper {
 public:
  static constexpr std::int64_t kBlock = 16384, kKept = 16;

  struct File {
    std::int64_t size = 0;
    std::vector<std::uint8_t> kept;  // kKept bytes per block
    std::uint8_t At(std::int64_t at) const {
      if (at % kBlock >= kKept) return 0xA5;
      const auto i = static_cast<std::size_t>(at / kBlock * kKept + at % kBlock);
      return i < kept.size() ? kept[i] : 0;
    }
    void Set(std::int64_t at, std::uint8_t value) {
      if (at % kBlock >= kKept) return;
      const auto i = static_cast<std::size_t>(at / kBlock * kKept + at % kBlock);
      if (kept.size() <= i) kept.resize(i + kKept, 0);
      kept[i] = value;
    }
  };

  CheapTestFiles(Platform& target, std::string drive, std::uint64_t free_bytes)
      : PlatformWrapper(target), drive_(Upper(std::move(drive))), free_bytes_(free_bytes) {}

  // Inspection and fault injection.
  std::map<std::string, File> files;  // by upper-case name, e.g. "VCAPTEST1.TMP"
  std::vector<std::string> opened;    // every test file's path as opened
  std::vector<std::uint32_t> write_lengths;
  std::vector<std::int64_t> seeks;
  int flushes = 0;
  std::int64_t fail_from = -1;    // a write from this position on fails (CRC)
  std::uint32_t short_write = 0;  // the next write stores only this many bytes

  std::size_t open_count() const { return handles_.size(); }
  File* Find(const std::string& name) {
    auto it = files.find(Upper(name));
    return it == files.end() ? nullptr : &it->second;
  }

  Handle CreateFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t disposition, std::uint32_t flags) override {
    const std::string name = NameOf(path);
    if (name.empty()) return target_.CreateFile(path, access, share, disposition, flags);
    opened.push_back(path);
    if (disposition == kCreateNew && files.count(name)) return Failed(kErrorFileExists);
    if (disposition == kCreateAlways || disposition == kCreateNew) files[name] = File{};
    if (!files.count(name)) return Failed(kErrorFileNotFound);
    handles_[next_handle_] = {&files[name], 0, flags};
    return next_handle_++;
  }
  bool WriteFile(Handle h, const void* buffer, std::uint32_t length,
                 std::uint32_t* written) override {
    auto it = handles_.find(h);
    if (it == handles_.end()) return target_.WriteFile(h, buffer, length, written);
    if (written) *written = 0;
    write_lengths.push_back(length);
    OpenFile& o = it->second;
    if (fail_from >= 0 && o.position >= fail_from) {
      Failed(kErrorCrc);
      return false;
    }
    if (short_write > 0) length = std::min(length, std::exchange(short_write, 0u));
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    ForKept(o.position, length, [&](std::int64_t at) { o.file->Set(at, bytes[at - o.position]); });
    o.position += length;
    o.file->size = std::max(o.file->size, o.position);
    if (written) *written = length;
    return true;
  }
  bool ReadFile(Handle h, void* buffer, std::uint32_t length, std::uint32_t* read) override {
    auto it = handles_.find(h);
    if (it == handles_.end()) return target_.ReadFile(h, buffer, length, read);
    OpenFile& o = it->second;
    if ((o.flags & kFileFlagNoBuffering) != 0 && (o.position % 512 != 0 || length % 512 != 0)) {
      Failed(kErrorInvalidParameter);  // unbuffered: whole sectors
      return false;
    }
    const std::int64_t n = std::clamp<std::int64_t>(o.file->size - o.position, 0, length);
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::memset(bytes, 0xA5, static_cast<std::size_t>(n));
    ForKept(o.position, n, [&](std::int64_t at) { bytes[at - o.position] = o.file->At(at); });
    o.position += n;
    if (read) *read = static_cast<std::uint32_t>(n);
    return true;
  }
  bool SetFilePointerEx(Handle h, std::int64_t distance, std::uint32_t method) override {
    auto it = handles_.find(h);
    if (it == handles_.end()) return target_.SetFilePointerEx(h, distance, method);
    seeks.push_back(distance);
    if (method != kFileBegin || distance < 0) return false;
    it->second.position = distance;
    return true;
  }
  bool FlushFileBuffers(Handle h) override {
    return handles_.count(h) ? ++flushes > 0 : target_.FlushFileBuffers(h);
  }
  bool CloseHandle(Handle h) override { return handles_.erase(h) > 0 || target_.CloseHandle(h); }
  bool GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                          std::uint64_t* total, std::uint64_t* total_free) override {
    if (Upper(root).rfind(drive_, 0) != 0) {
      return target_.GetDiskFreeSpaceEx(root, free_to_caller, total, total_free);
    }
    std::uint64_t free = free_bytes_;
    for (const auto& [name, f] : files) free -= std::min<std::uint64_t>(free, f.size);
    if (free_to_caller) *free_to_caller = free;
    if (total_free) *total_free = free;
    if (total) *total = free_bytes_;
    return true;
  }
  std::vector<std::string> FindFiles(const std::string& pattern) override {
    std::vector<std::string> names = target_.FindFiles(pattern);
    if (Upper(pattern).rfind(drive_ + "\\", 0) == 0) {
      for (const auto& [name, f] : files) names.push_back(name);
    }
    return names;
  }
  std::uint32_t GetFileAttributes(const std::string& path) override {
    last_error_ = 0;  // the target's error from here on
    return target_.GetFileAttributes(path);
  }
  std::uint32_t GetLastError() override {
    return last_error_ != 0 ? last_error_ : target_.GetLastError();
  }
  bool DeleteFile(const std::string& path) override {
    const std::string name = NameOf(path);
    return name.empty() ? target_.DeleteFile(path) : files.erase(name) > 0;
  }

 private:
  // Calls f with every kept position of [from, from + length).
  template <typename F>
  static void ForKept(std::int64_t from, std::int64_t length, F f) {
    for (std::int64_t at = from; at < from + length; at = (at / kBlock + 1) * kBlock) {
      for (std::int64_t b = at; b < std::min(from + length, at - at % kBlock + kKept); ++b) f(b);
    }
  }
  // A failed call of this wrapper: keeps its error code for GetLastError.
  Handle Failed(std::uint32_t code) {
    last_error_ = code;
    return kInvalidHandle;
  }

  struct OpenFile {
    File* file = nullptr;  // map nodes stay put
    std::int64_t position = 0;
    std::uint32_t flags = 0;
  };

  // The upper-case name when the path is a test file in the drive's root.
  std::string NameOf(const std::string& path) const {
    const std::string upper = Upper(path),
                      name = upper.substr(std::min(path.size(), drive_.size() + 1));
    return upper.rfind(drive_ + "\\", 0) == 0 && IsTestFileName(name) ? name : std::string{};
  }

  std::string drive_;
  std::uint64_t free_bytes_;
  std::map<Handle, OpenFile> handles_;
  std::uint32_t last_error_ = 0;
  Handle next_handle_ = Handle{1} << 40;
};

}  // namespace veracap::testing

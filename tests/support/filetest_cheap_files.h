// Test files for next to nothing: a platform wrapper that keeps the
// VCAPTEST*.tmp files of one drive itself, so that tests can write and read
// back dozens of 200 MiB test files in milliseconds. It stores only the first
// 16 bytes of every 16 KiB block (where the test-file format puts its
// header, markers and zeros) and answers every other byte with the background
// 0xA5, so it can only check the writer's special bytes; whole-content checks
// belong on the emulated platform. Everything else goes to the target, and the
// free space of the drive is a fixed figure minus the test files' sizes.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/platform_wrapper.h"

namespace veracap::testing {

class CheapTestFiles : public PlatformWrapper {
 public:
  static constexpr std::int64_t kBlock = 16384;
  static constexpr std::int64_t kKept = 16;  // bytes kept at the start of each block

  struct File {
    std::int64_t size = 0;
    std::vector<std::uint8_t> kept;  // kKept bytes per block
    std::uint8_t At(std::int64_t offset) const {
      const std::int64_t block = offset / kBlock;
      const std::int64_t in_block = offset % kBlock;
      if (in_block >= kKept) return 0xA5;
      const auto index = static_cast<std::size_t>(block * kKept + in_block);
      return index < kept.size() ? kept[index] : 0;
    }
    void Set(std::int64_t offset, std::uint8_t value) {
      const std::int64_t in_block = offset % kBlock;
      if (in_block >= kKept) return;
      const auto index = static_cast<std::size_t>(offset / kBlock * kKept + in_block);
      if (kept.size() <= index) kept.resize(index + kKept, 0);
      kept[index] = value;
    }
  };

  CheapTestFiles(Platform& target, std::string drive, std::uint64_t free_bytes)
      : PlatformWrapper(target), drive_(Upper(std::move(drive))), free_bytes_(free_bytes) {}

  // Inspection and fault injection.
  std::map<std::string, File> files;  // by upper-case name, e.g. "VCAPTEST1.TMP"
  struct Open {
    std::string path;
    std::uint32_t access = 0, share = 0, disposition = 0, flags = 0;
  };
  std::vector<Open> opens;                   // every CreateFile of a test file
  std::vector<std::uint32_t> write_lengths;  // every WriteFile length
  std::vector<std::int64_t> seeks;           // every SetFilePointerEx on a test file
  int flushes = 0;
  // Called before each write to a test file with its name and position;
  // returning false fails the write with write_error. A value of
  // short_write_bytes > 0 makes the next write report success with that many
  // bytes only.
  std::function<bool(const std::string& name, std::int64_t position)> allow_write;
  std::uint32_t write_error = kErrorCrc;
  std::uint32_t short_write_bytes = 0;
  bool fail_create = false;  // CreateFile of a test file fails with create_error
  std::uint32_t create_error = kErrorCrc;

  std::size_t open_count() const { return handles_.size(); }
  File* Find(const std::string& name) {
    auto it = files.find(Upper(name));
    return it == files.end() ? nullptr : &it->second;
  }

  Handle CreateFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t disposition, std::uint32_t flags) override {
    const std::string name = NameOf(path);
    if (name.empty()) return target_.CreateFile(path, access, share, disposition, flags);
    opens.push_back({path, access, share, disposition, flags});
    if (fail_create) return Failed(create_error);
    if (disposition == kCreateNew && files.count(name)) return Failed(kErrorFileExists);
    if (disposition == kCreateAlways || disposition == kCreateNew) {
      files[name] = File{};
    } else if (!files.count(name)) {
      return Failed(kErrorFileNotFound);
    }
    const Handle h = next_handle_++;
    handles_[h] = {name, &files[name], 0, flags};
    return h;
  }
  bool WriteFile(Handle h, const void* buffer, std::uint32_t length,
                 std::uint32_t* written) override {
    auto it = handles_.find(h);
    if (it == handles_.end()) return target_.WriteFile(h, buffer, length, written);
    if (written) *written = 0;
    write_lengths.push_back(length);
    OpenFile& o = it->second;
    if (allow_write && !allow_write(o.name, o.position)) {
      Failed(write_error);
      return false;
    }
    if (short_write_bytes > 0) {
      length = std::min(length, short_write_bytes);
      short_write_bytes = 0;
    }
    File& f = *o.file;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const std::int64_t end = o.position + length;
    f.kept.resize(static_cast<std::size_t>((end + kBlock - 1) / kBlock * kKept), 0);
    for (std::int64_t block = o.position - o.position % kBlock; block < end; block += kBlock) {
      const std::int64_t from = std::max(block, o.position);
      const std::int64_t to = std::min(block + kKept, end);
      if (from < to) {
        std::memcpy(&f.kept[static_cast<std::size_t>(block / kBlock * kKept + (from - block))],
                    bytes + (from - o.position), static_cast<std::size_t>(to - from));
      }
    }
    o.position = end;
    f.size = std::max(f.size, end);
    if (written) *written = length;
    return true;
  }
  bool ReadFile(Handle h, void* buffer, std::uint32_t length, std::uint32_t* read) override {
    auto it = handles_.find(h);
    if (it == handles_.end()) return target_.ReadFile(h, buffer, length, read);
    OpenFile& o = it->second;
    if ((o.flags & kFileFlagNoBuffering) != 0 && (o.position % 512 != 0 || length % 512 != 0)) {
      last_error_ = kErrorInvalidParameter;  // as Windows: unbuffered means whole sectors
      return false;
    }
    const File& f = *o.file;
    const std::int64_t n =
        std::max<std::int64_t>(0, std::min<std::int64_t>(length, f.size - o.position));
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    // The background, then the kept bytes of each block the read touches.
    std::memset(bytes, 0xA5, static_cast<std::size_t>(n));
    const std::int64_t end = o.position + n;
    for (std::int64_t block = o.position - o.position % kBlock; block < end; block += kBlock) {
      for (std::int64_t at = std::max(block, o.position); at < std::min(block + kKept, end); ++at) {
        bytes[at - o.position] = f.At(at);
      }
    }
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
    if (!handles_.count(h)) return target_.FlushFileBuffers(h);
    ++flushes;
    return true;
  }
  bool CloseHandle(Handle h) override {
    if (!handles_.count(h)) return target_.CloseHandle(h);
    handles_.erase(h);
    return true;
  }
  bool GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                          std::uint64_t* total, std::uint64_t* total_free) override {
    if (Upper(root).rfind(drive_, 0) != 0) {
      return target_.GetDiskFreeSpaceEx(root, free_to_caller, total, total_free);
    }
    std::uint64_t used = 0;
    for (const auto& [name, f] : files) used += static_cast<std::uint64_t>(f.size);
    const std::uint64_t free = used > free_bytes_ ? 0 : free_bytes_ - used;
    if (free_to_caller) *free_to_caller = free;
    if (total_free) *total_free = free;
    if (total) *total = free_bytes_;
    return true;
  }
  bool GetDiskFreeSpace(const std::string& root, std::uint32_t* per_cluster, std::uint32_t* sector,
                        std::uint32_t* free_clusters, std::uint32_t* total_clusters) override {
    if (Upper(root).rfind(drive_, 0) != 0) {
      return target_.GetDiskFreeSpace(root, per_cluster, sector, free_clusters, total_clusters);
    }
    if (per_cluster) *per_cluster = 8;
    if (sector) *sector = 512;
    if (free_clusters) *free_clusters = 0;
    if (total_clusters) *total_clusters = 0;
    return true;
  }
  std::vector<std::string> FindFiles(const std::string& pattern) override {
    std::vector<std::string> names = target_.FindFiles(pattern);
    if (Upper(pattern) == drive_ + "\\VCAPTEST*.TMP") {
      for (const auto& [name, f] : files) names.push_back(name);
    }
    return names;
  }
  std::uint32_t GetFileAttributes(const std::string& path) override {
    const std::string name = NameOf(path);
    if (name.empty() || !files.count(name)) {
      last_error_ = 0;
      return target_.GetFileAttributes(path);
    }
    return kFileAttributeNormal;
  }
  std::uint32_t GetLastError() override {
    return last_error_ != 0 ? last_error_ : target_.GetLastError();
  }
  bool DeleteFile(const std::string& path) override {
    const std::string name = NameOf(path);
    if (name.empty()) return target_.DeleteFile(path);
    for (const auto& [h, o] : handles_) {
      if (o.name == name) return false;  // in use, as Windows refuses it
    }
    return files.erase(name) > 0;
  }

 private:
  // A failed call of this wrapper: keeps its error code for GetLastError.
  Handle Failed(std::uint32_t error) {
    last_error_ = error;
    return kInvalidHandle;
  }

  struct OpenFile {
    std::string name;
    File* file = nullptr;  // map nodes stay put
    std::int64_t position = 0;
    std::uint32_t flags = 0;
  };

  // The upper-case file name when the path is a test file of the drive's
  // root, otherwise "".
  std::string NameOf(const std::string& path) const {
    const std::string upper = Upper(path);
    const std::string prefix = drive_ + "\\VCAPTEST";
    if (upper.rfind(prefix, 0) != 0) return {};
    const std::string name = upper.substr(drive_.size() + 1);
    if (name.find('\\') != std::string::npos) return {};
    if (name.size() < 12 || name.compare(name.size() - 4, 4, ".TMP") != 0) return {};
    return name;
  }

  std::string drive_;
  std::uint64_t free_bytes_;
  std::map<Handle, OpenFile> handles_;
  std::uint32_t last_error_ = 0;
  Handle next_handle_ = Handle{1} << 40;
};

}  // namespace veracap::testing

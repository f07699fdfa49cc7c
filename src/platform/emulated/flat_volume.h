// The small flat file system of an emulated volume: files in the root folder
// only, each a list of extents of 4 KiB clusters inside the volume's region
// of its disk, allocated first fit. The table (names, sizes, extents) lives
// in a sidecar text file so files outlive the program; the file data lives
// on the disk and is moved by the caller through the disk's device model.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/emulated/manifest.h"

namespace veracap::emulated {

class FlatVolume {
 public:
  static constexpr std::uint64_t kClusterBytes = 4096;

  struct Extent {
    std::uint64_t first_cluster = 0;
    std::uint64_t cluster_count = 0;
  };
  struct File {
    std::string name;
    std::uint64_t size_bytes = 0;
    std::vector<Extent> extents;
    // GetFileAttributes bits kept by the volume (hidden, system, read-only,
    // compressed, or a folder, link or pipe that holds no data); 0 for a
    // plain file.
    std::uint32_t attributes = 0;
  };
  // A run of file bytes that is contiguous on the disk.
  struct Piece {
    std::uint64_t disk_offset = 0;
    std::uint64_t length = 0;
  };

  FlatVolume(const VolumeSpec& config, std::string table_path);

  // Reads the table; a missing table gives an empty volume and created().
  bool Load(std::string* error);
  bool created() const { return created_; }
  // Puts the manifest's files on a fresh volume; write stores bytes at a
  // disk offset and is false on failure.
  void CreateInitialFiles(
      const std::function<bool(std::uint64_t, const std::uint8_t*, std::size_t)>& write);
  // Writes the table when it changed since the last save.
  bool Save(std::string* error);

  // A name a file in the root may have (no folders, no wildcards).
  static bool ValidName(const std::string& name);
  std::shared_ptr<File> Find(const std::string& name) const;  // case-insensitive
  std::shared_ptr<File> Create(const std::string& name);
  void Truncate(File& file);  // size 0, clusters freed
  void SetAttributes(File& file, std::uint32_t attributes);
  void Delete(const std::shared_ptr<File>& file);
  // Allocates clusters so that the file covers [0, end_bytes); returns how far
  // it now reaches (less than end_bytes when the volume is full).
  std::uint64_t Reserve(File& file, std::uint64_t end_bytes);
  // Sets the size, which must lie within the allocation.
  void SetSize(File& file, std::uint64_t size_bytes);
  // Frees the clusters past the size (after a write that failed midway).
  void Trim(File& file);
  // The disk bytes behind file offset..offset+max_length, cut at the end of
  // the extent holding offset (which must lie inside the allocation).
  Piece Map(const File& file, std::uint64_t offset, std::uint64_t max_length) const;

  std::uint64_t free_bytes() const { return free_clusters_ * kClusterBytes; }
  const std::vector<std::shared_ptr<File>>& files() const { return files_; }

 private:
  static std::uint64_t Clusters(const File& file);
  void Free(const Extent& extent);
  void TakeFromFree(const Extent& extent);

  VolumeSpec spec_;
  std::string table_path_;
  std::uint64_t cluster_total_ = 0;
  std::uint64_t free_clusters_ = 0;
  std::map<std::uint64_t, std::uint64_t> free_runs_;  // first cluster -> count
  std::vector<std::shared_ptr<File>> files_;          // in order of creation
  bool created_ = false;
  bool dirty_ = false;
};

}  // namespace veracap::emulated

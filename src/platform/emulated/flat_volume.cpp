#include "platform/emulated/flat_volume.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/text.h"

namespace veracap::emulated {
namespace {

constexpr const char* kTableHeader = "veracap-volume-table 1";

}  // namespace

FlatVolume::FlatVolume(const VolumeSpec& config, std::string table_path)
    : spec_(config),
      table_path_(std::move(table_path)),
      cluster_total_(config.capacity_bytes / kClusterBytes),
      free_clusters_(cluster_total_) {
  if (cluster_total_ > 0) free_runs_[0] = cluster_total_;
}

bool FlatVolume::ValidName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 ||
        std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return name.back() != ' ' && name.back() != '.';
}

std::uint64_t FlatVolume::Clusters(const File& file) {
  std::uint64_t n = 0;
  for (const Extent& e : file.extents) n += e.cluster_count;
  return n;
}

bool FlatVolume::Load(std::string* error) {
  std::ifstream in(table_path_);
  if (!in) {
    created_ = true;
    dirty_ = true;
    return true;
  }
  auto fail = [&](int line, const std::string& why) {
    if (error) *error = table_path_ + ":" + std::to_string(line) + ": " + why;
    return false;
  };
  std::string line;
  if (!std::getline(in, line) || line != kTableHeader) return fail(1, "not a volume table");
  int number = 1;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    std::istringstream words(line);
    auto file = std::make_shared<File>();
    std::uint64_t extent_count = 0;
    // An entry with attributes begins "a=<hex>"; older tables have none.
    if (line.rfind("a=", 0) == 0) {
      std::string attributes;
      words >> attributes;
      char* end = nullptr;
      const unsigned long value = std::strtoul(attributes.c_str() + 2, &end, 16);
      if (attributes.size() < 3 || *end != '\0' || value > 0xFFFFFFFFul) {
        return fail(number, "bad attributes");
      }
      file->attributes = static_cast<std::uint32_t>(value);
    }
    if (!(words >> file->size_bytes >> extent_count) || extent_count > cluster_total_) {
      return fail(number, "bad file entry");
    }
    for (std::uint64_t i = 0; i < extent_count; ++i) {
      Extent e;
      if (!(words >> e.first_cluster >> e.cluster_count) || e.cluster_count == 0 ||
          e.first_cluster > cluster_total_ || e.cluster_count > cluster_total_ - e.first_cluster) {
        return fail(number, "bad extent");
      }
      file->extents.push_back(e);
    }
    words.get();  // the blank before the name
    std::getline(words, file->name);
    if (!ValidName(file->name) || Find(file->name)) return fail(number, "bad or repeated name");
    if (file->size_bytes > Clusters(*file) * kClusterBytes) {
      return fail(number, "size beyond the file's clusters");
    }
    for (const Extent& e : file->extents) {
      // Every cluster of the extent must still be free: no two files share one.
      auto run = free_runs_.upper_bound(e.first_cluster);
      if (run == free_runs_.begin() ||
          std::prev(run)->first + std::prev(run)->second < e.first_cluster + e.cluster_count) {
        return fail(number, "extent overlaps another file");
      }
      TakeFromFree(e);
    }
    files_.push_back(std::move(file));
  }
  return true;
}

bool FlatVolume::Save(std::string* error) {
  if (!dirty_) return true;
  const std::string temp = table_path_ + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << kTableHeader << '\n';
    for (const auto& f : files_) {
      if (f->attributes != 0) out << "a=" << std::hex << f->attributes << std::dec << ' ';
      out << f->size_bytes << ' ' << f->extents.size();
      for (const Extent& e : f->extents) out << ' ' << e.first_cluster << ' ' << e.cluster_count;
      out << ' ' << f->name << '\n';
    }
    if (!out.flush()) {
      if (error) *error = temp + ": cannot be written";
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, table_path_, ec);
  if (ec) {
    if (error) *error = table_path_ + ": " + ec.message();
    return false;
  }
  dirty_ = false;
  return true;
}

void FlatVolume::CreateInitialFiles(
    const std::function<bool(std::uint64_t, const std::uint8_t*, std::size_t)>& write) {
  std::vector<std::uint8_t> buffer(1 << 16);
  for (const FileSpec& config : spec_.files) {
    if (Find(config.name)) continue;
    std::shared_ptr<File> file = Create(config.name);
    file->attributes = config.attributes;
    if ((config.attributes & kNotAFile) != 0) continue;
    const std::uint64_t size = Reserve(*file, config.size_bytes);
    std::uint64_t at = 0;
    while (at < size) {
      const Piece piece = Map(*file, at, std::min<std::uint64_t>(size - at, buffer.size()));
      InitialFileContent(config.name, at, buffer.data(), static_cast<std::size_t>(piece.length));
      write(piece.disk_offset, buffer.data(), static_cast<std::size_t>(piece.length));
      at += piece.length;
    }
    SetSize(*file, size);
  }
}

std::shared_ptr<FlatVolume::File> FlatVolume::Find(const std::string& name) const {
  const std::string key = Upper(name);
  for (const auto& f : files_) {
    if (Upper(f->name) == key) return f;
  }
  return nullptr;
}

std::shared_ptr<FlatVolume::File> FlatVolume::Create(const std::string& name) {
  auto file = std::make_shared<File>();
  file->name = name;
  files_.push_back(file);
  dirty_ = true;
  return file;
}

void FlatVolume::SetAttributes(File& file, std::uint32_t attributes) {
  file.attributes = attributes;
  dirty_ = true;
}

void FlatVolume::Truncate(File& file) {
  for (const Extent& e : file.extents) Free(e);
  file.extents.clear();
  file.size_bytes = 0;
  dirty_ = true;
}

void FlatVolume::Delete(const std::shared_ptr<File>& file) {
  Truncate(*file);
  std::erase(files_, file);
}

std::uint64_t FlatVolume::Reserve(File& file, std::uint64_t end_bytes) {
  const std::uint64_t have = Clusters(file);
  const std::uint64_t need = (end_bytes + kClusterBytes - 1) / kClusterBytes;
  if (need > have) {
    std::uint64_t missing = need - have;
    while (missing > 0 && !free_runs_.empty()) {
      const auto run = free_runs_.begin();  // first fit
      const Extent taken{run->first, std::min(missing, run->second)};
      TakeFromFree(taken);
      if (!file.extents.empty() &&
          file.extents.back().first_cluster + file.extents.back().cluster_count ==
              taken.first_cluster) {
        file.extents.back().cluster_count += taken.cluster_count;
      } else {
        file.extents.push_back(taken);
      }
      missing -= taken.cluster_count;
    }
    dirty_ = true;
  }
  return std::min(end_bytes, Clusters(file) * kClusterBytes);
}

void FlatVolume::SetSize(File& file, std::uint64_t size_bytes) {
  if (file.size_bytes == size_bytes) return;
  file.size_bytes = size_bytes;
  dirty_ = true;
}

void FlatVolume::Trim(File& file) {
  std::uint64_t keep = (file.size_bytes + kClusterBytes - 1) / kClusterBytes;
  if (Clusters(file) <= keep) return;
  std::vector<Extent> kept;
  for (const Extent& e : file.extents) {
    const std::uint64_t n = std::min(keep, e.cluster_count);
    if (n > 0) kept.push_back({e.first_cluster, n});
    if (n < e.cluster_count) Free({e.first_cluster + n, e.cluster_count - n});
    keep -= n;
  }
  file.extents = std::move(kept);
  dirty_ = true;
}

FlatVolume::Piece FlatVolume::Map(const File& file, std::uint64_t offset,
                                  std::uint64_t max_length) const {
  std::uint64_t start = 0;  // file offset where the extent begins
  for (const Extent& e : file.extents) {
    const std::uint64_t bytes = e.cluster_count * kClusterBytes;
    if (offset < start + bytes) {
      const std::uint64_t within = offset - start;
      return {spec_.offset_bytes + e.first_cluster * kClusterBytes + within,
              std::min(max_length, bytes - within)};
    }
    start += bytes;
  }
  return {};
}

void FlatVolume::TakeFromFree(const Extent& extent) {
  auto run = std::prev(free_runs_.upper_bound(extent.first_cluster));
  const std::uint64_t run_first = run->first;
  const std::uint64_t run_count = run->second;
  free_runs_.erase(run);
  if (extent.first_cluster > run_first) free_runs_[run_first] = extent.first_cluster - run_first;
  const std::uint64_t end = extent.first_cluster + extent.cluster_count;
  if (end < run_first + run_count) free_runs_[end] = run_first + run_count - end;
  free_clusters_ -= extent.cluster_count;
}

void FlatVolume::Free(const Extent& extent) {
  std::uint64_t first = extent.first_cluster;
  std::uint64_t count = extent.cluster_count;
  auto next = free_runs_.lower_bound(first);
  if (next != free_runs_.end() && next->first == first + count) {
    count += next->second;
    next = free_runs_.erase(next);
  }
  if (next != free_runs_.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == first) {
      first = prev->first;
      count += prev->second;
      free_runs_.erase(prev);
    }
  }
  free_runs_[first] = count;
  free_clusters_ += extent.cluster_count;
}

}  // namespace veracap::emulated

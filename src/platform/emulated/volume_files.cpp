// Files in a volume's root folder: opening by disposition, their data
// through the device, free space, label, wildcard search and deletion.
#include <algorithm>
#include <cstring>

#include "base/text.h"
#include "platform/emulated/platform_state.h"

namespace veracap::emulated {

Handle EmulatedPlatform::Impl::OpenFile(char letter, const std::string& name, std::uint32_t access,
                                        std::uint32_t disposition, std::uint32_t flags) {
  Volume* volume = FindVolume(letter);
  if (volume == nullptr || !volume->fs) {
    last_error = kErrorPathNotFound;
    return kInvalidHandle;
  }
  if (name.find('\\') != std::string::npos || name.find('/') != std::string::npos) {
    last_error = kErrorPathNotFound;  // only the root folder exists
    return kInvalidHandle;
  }
  if (!FlatVolume::ValidName(name)) {
    last_error = kErrorInvalidName;
    return kInvalidHandle;
  }
  FlatVolume& fs = *volume->fs;
  std::shared_ptr<FlatVolume::File> file = fs.Find(name);
  const bool changes = CanWrite(access) || disposition != kOpenExisting;
  if (volume->config.read_only && changes && !(file && disposition == kCreateNew)) {
    last_error = file || disposition != kOpenExisting ? kErrorWriteProtect : kErrorFileNotFound;
    return kInvalidHandle;
  }
  switch (disposition) {
    case kCreateNew:
      if (file) {
        last_error = kErrorFileExists;
        return kInvalidHandle;
      }
      break;
    case kCreateAlways:
    case kOpenAlways:
      break;
    case kOpenExisting:
    case kTruncateExisting:
      if (!file) {
        last_error = kErrorFileNotFound;
        return kInvalidHandle;
      }
      break;
    default:
      last_error = kErrorInvalidParameter;
      return kInvalidHandle;
  }
  if (file && (file->attributes & kNotAFile) != 0) {
    // A folder, a pipe, or a link this volume cannot follow: never opened.
    last_error = kErrorAccessDenied;
    return kInvalidHandle;
  }
  if (file && ((CanWrite(access) && (file->attributes & kFileAttributeReadOnly) != 0) ||
               ((disposition == kCreateAlways || disposition == kTruncateExisting) &&
                (file->attributes & (kFileAttributeHidden | kFileAttributeSystem)) != 0))) {
    // As Windows refuses to replace a hidden or system file, or to write a
    // read-only one.
    last_error = kErrorAccessDenied;
    return kInvalidHandle;
  }
  if (!file) {
    file = fs.Create(name);
    if (volume->config.compressing) fs.SetAttributes(*file, kFileAttributeCompressed);
  } else if (disposition == kCreateAlways || disposition == kTruncateExisting) {
    const bool in_use = std::any_of(handles.begin(), handles.end(), [&](const HandleState& h) {
      return h.open && h.file == file && CanWrite(h.access);
    });
    if (in_use) {
      last_error = kErrorSharingViolation;
      return kInvalidHandle;
    }
    fs.Truncate(*file);
    file_cache.erase(file.get());
  }
  fs.Save(nullptr);
  HandleState state;
  state.kind = Kind::kFile;
  state.disk = volume->disk;
  state.volume = volume;
  state.file = std::move(file);
  state.access = access;
  state.unbuffered = (flags & kFileFlagNoBuffering) != 0;
  return Add(std::move(state));
}

bool EmulatedPlatform::Impl::FileDeviceRead(HandleState& h, std::uint8_t* out, std::uint64_t want,
                                            std::uint32_t* done) {
  const FlatVolume::File& file = *h.file;
  while (want > 0) {
    const FlatVolume::Piece piece = h.volume->fs->Map(file, h.position, want);
    std::size_t got = 0;
    const std::uint32_t code =
        DeviceRead(*h.disk, piece.disk_offset, out, static_cast<std::size_t>(piece.length), &got);
    if (code != kErrorSuccess) return Fail(code);
    out += got;
    *done += static_cast<std::uint32_t>(got);
    h.position += got;
    counters.bytes_read += got;
    if (got < piece.length) break;  // a short read ends the transfer
    want -= got;
  }
  return true;
}

bool EmulatedPlatform::Impl::FileRead(HandleState& h, std::uint8_t* out, std::uint32_t length,
                                      std::uint32_t* done) {
  const FlatVolume::File& file = *h.file;
  if (h.unbuffered) {
    // As Windows: whole sectors at sector offsets, or error 87.
    const std::uint32_t sector = SectorBytes(*h.volume);
    if (h.position % sector != 0 || length % sector != 0) return Fail(kErrorInvalidParameter);
  }
  if (h.position >= file.size_bytes) return true;  // end of file: success, nothing read
  const std::uint64_t want = std::min<std::uint64_t>(length, file.size_bytes - h.position);
  if (h.unbuffered) return FileDeviceRead(h, out, want, done);

  CachedRuns& runs = file_cache[&file];
  const std::uint64_t end = h.position + want;
  while (h.position < end) {
    auto next = runs.upper_bound(h.position);
    if (next != runs.begin()) {
      const auto& [first, bytes] = *std::prev(next);
      if (first + bytes.size() > h.position) {
        const std::uint64_t n = std::min<std::uint64_t>(end, first + bytes.size()) - h.position;
        std::memcpy(out, bytes.data() + (h.position - first), static_cast<std::size_t>(n));
        out += n;
        *done += static_cast<std::uint32_t>(n);
        h.position += n;
        continue;
      }
    }
    // Not in the cache: from the device, and kept.
    const std::uint64_t at = h.position;
    const std::uint64_t gap = (next == runs.end() ? end : std::min(end, next->first)) - at;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(gap));
    std::uint32_t got = 0;
    const bool ok = FileDeviceRead(h, bytes.data(), gap, &got);
    std::memcpy(out, bytes.data(), got);
    out += got;
    *done += got;
    if (got > 0) {
      bytes.resize(got);
      runs.emplace(at, std::move(bytes));
    }
    if (!ok) return false;
    if (got < gap) break;
  }
  return true;
}

void EmulatedPlatform::Impl::DropCached(const FlatVolume::File& file, std::uint64_t from,
                                        std::uint64_t to) {
  const auto found = file_cache.find(&file);
  if (found == file_cache.end()) return;
  CachedRuns& runs = found->second;
  auto it = runs.upper_bound(from);
  if (it != runs.begin()) --it;
  while (it != runs.end() && it->first < to) {
    const std::uint64_t first = it->first;
    const std::uint64_t last = first + it->second.size();
    if (last <= from) {
      ++it;
      continue;
    }
    // Keep the parts of the run outside [from, to).
    std::vector<std::uint8_t> bytes = std::move(it->second);
    it = runs.erase(it);
    if (last > to) {
      runs.emplace(to, std::vector<std::uint8_t>(
                           bytes.begin() + static_cast<std::ptrdiff_t>(to - first), bytes.end()));
    }
    if (first < from) {
      bytes.resize(static_cast<std::size_t>(from - first));
      runs.emplace(first, std::move(bytes));
    }
  }
}

bool EmulatedPlatform::Impl::FileWrite(HandleState& h, const std::uint8_t* in, std::uint32_t length,
                                       std::uint32_t* done) {
  if (h.unbuffered) {
    // As Windows: whole sectors at sector offsets, or error 87.
    const std::uint32_t sector = SectorBytes(*h.volume);
    if (h.position % sector != 0 || length % sector != 0) return Fail(kErrorInvalidParameter);
  }
  if (length == 0) return true;
  FlatVolume& fs = *h.volume->fs;
  FlatVolume::File& file = *h.file;
  const std::uint64_t start = h.position;
  const std::uint64_t end = h.position + length;
  const std::uint64_t old_size = file.size_bytes;
  // What the cache held of these bytes is stale whatever happens next; a
  // buffered write keeps what it wrote in the cache.
  DropCached(file, old_size < start ? old_size : start, end);
  const std::uint8_t* const source = in;
  const std::uint64_t fits = fs.Reserve(file, end);
  if (fits <= h.position) {
    fs.Trim(file);
    return Fail(kErrorDiskFull);
  }
  // Bytes between the old end and the write position read back as zeros.
  static const std::uint8_t kZeros[4096] = {};
  for (std::uint64_t at = old_size; at < h.position;) {
    const FlatVolume::Piece piece =
        fs.Map(file, at, std::min<std::uint64_t>(h.position - at, sizeof kZeros));
    const std::uint32_t code =
        DeviceWrite(*h.disk, piece.disk_offset, kZeros, static_cast<std::size_t>(piece.length));
    if (code != kErrorSuccess) {
      fs.Trim(file);
      return Fail(code);
    }
    at += piece.length;
  }
  while (h.position < fits) {
    const FlatVolume::Piece piece = fs.Map(file, h.position, fits - h.position);
    const std::uint32_t code =
        DeviceWrite(*h.disk, piece.disk_offset, in, static_cast<std::size_t>(piece.length));
    if (code != kErrorSuccess) {
      fs.Trim(file);
      return Fail(code);
    }
    in += piece.length;
    *done += static_cast<std::uint32_t>(piece.length);
    h.position += piece.length;
    counters.bytes_written += piece.length;
    fs.SetSize(file, std::max(file.size_bytes, h.position));
  }
  if (!h.unbuffered && fits > start) {
    file_cache[&file].emplace(
        start,
        std::vector<std::uint8_t>(source, source + static_cast<std::ptrdiff_t>(fits - start)));
  }
  // A write that does not fit stores what fits and fails.
  if (fits < end) return Fail(kErrorDiskFull);
  return true;
}

bool EmulatedPlatform::GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                                          std::uint64_t* total_bytes, std::uint64_t* total_free) {
  Impl& m = *impl_;
  const char letter = RootLetter(root);
  Impl::Volume* volume = letter ? m.FindVolume(letter) : nullptr;
  if (volume == nullptr || !volume->fs) return m.Fail(kErrorPathNotFound);
  const std::uint64_t free_bytes = volume->fs->free_bytes();
  if (free_to_caller) *free_to_caller = free_bytes;
  if (total_bytes) *total_bytes = volume->config.capacity_bytes;
  if (total_free) *total_free = free_bytes;
  return true;
}

bool EmulatedPlatform::GetDiskFreeSpace(const std::string& root, std::uint32_t* sectors_per_cluster,
                                        std::uint32_t* bytes_per_sector,
                                        std::uint32_t* free_clusters,
                                        std::uint32_t* total_clusters) {
  Impl& m = *impl_;
  const char letter = RootLetter(root);
  Impl::Volume* volume = letter ? m.FindVolume(letter) : nullptr;
  if (volume == nullptr || !volume->fs) return m.Fail(kErrorPathNotFound);
  const std::uint32_t sector = Impl::SectorBytes(*volume);
  // Counts above 32 bits are given as the largest, as Windows does.
  auto clusters = [](std::uint64_t bytes) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(bytes / FlatVolume::kClusterBytes, 0xFFFFFFFFu));
  };
  if (sectors_per_cluster) {
    *sectors_per_cluster =
        static_cast<std::uint32_t>(std::max<std::uint64_t>(1, FlatVolume::kClusterBytes / sector));
  }
  if (bytes_per_sector) *bytes_per_sector = sector;
  if (free_clusters) *free_clusters = clusters(volume->fs->free_bytes());
  if (total_clusters) *total_clusters = clusters(volume->config.capacity_bytes);
  return true;
}

bool EmulatedPlatform::GetVolumeInformation(const std::string& root, char* label_buffer,
                                            std::uint32_t label_size, char* fs_name_buffer,
                                            std::uint32_t fs_name_size) {
  Impl& m = *impl_;
  const char letter = RootLetter(root);
  Impl::Volume* volume = letter ? m.FindVolume(letter) : nullptr;
  if (volume == nullptr) return m.Fail(kErrorPathNotFound);
  const std::string& label = volume->config.label;
  const std::string& fs_name = volume->config.fs_name;
  if ((label_buffer != nullptr && label.size() + 1 > label_size) ||
      (fs_name_buffer != nullptr && fs_name.size() + 1 > fs_name_size)) {
    return m.Fail(kErrorBadLength);
  }
  if (label_buffer != nullptr) std::memcpy(label_buffer, label.c_str(), label.size() + 1);
  if (fs_name_buffer != nullptr) std::memcpy(fs_name_buffer, fs_name.c_str(), fs_name.size() + 1);
  return true;
}

std::vector<std::string> EmulatedPlatform::FindFiles(const std::string& pattern) {
  Impl& m = *impl_;
  std::vector<std::string> names;
  if (pattern.size() < 4 || pattern[1] != ':' || pattern[2] != '\\') {
    m.last_error = kErrorPathNotFound;
    return names;
  }
  Impl::Volume* volume = m.FindVolume(pattern[0]);
  const std::string_view wildcard = std::string_view(pattern).substr(3);
  if (volume == nullptr || !volume->fs || wildcard.find('\\') != std::string_view::npos) {
    m.last_error = kErrorPathNotFound;
    return names;
  }
  constexpr std::uint32_t kNotNormal = kNotAFile | kFileAttributeHidden | kFileAttributeSystem;
  for (const auto& file : volume->fs->files()) {
    if ((file->attributes & kNotNormal) == 0 && WildcardMatch(wildcard, file->name)) {
      names.push_back(file->name);
    }
  }
  if (names.empty()) m.last_error = kErrorFileNotFound;
  return names;
}

bool EmulatedPlatform::DeleteFile(const std::string& path) {
  Impl& m = *impl_;
  if (path.size() < 4 || path[1] != ':' || path[2] != '\\') return m.Fail(kErrorPathNotFound);
  Impl::Volume* volume = m.FindVolume(path[0]);
  const std::string name = path.substr(3);
  if (volume == nullptr || !volume->fs || name.find('\\') != std::string::npos) {
    return m.Fail(kErrorPathNotFound);
  }
  std::shared_ptr<FlatVolume::File> file = volume->fs->Find(name);
  if (!file) return m.Fail(kErrorFileNotFound);
  if (volume->config.read_only) return m.Fail(kErrorWriteProtect);
  if ((file->attributes & (kNotAFile | kFileAttributeReadOnly)) != 0) {
    return m.Fail(kErrorAccessDenied);
  }
  const bool open =
      std::any_of(m.handles.begin(), m.handles.end(),
                  [&](const Impl::HandleState& h) { return h.open && h.file == file; });
  if (open) return m.Fail(kErrorSharingViolation);
  m.file_cache.erase(file.get());
  volume->fs->Delete(file);
  volume->fs->Save(nullptr);
  return true;
}

std::uint32_t EmulatedPlatform::GetFileAttributes(const std::string& path) {
  Impl& m = *impl_;
  m.last_error = kErrorPathNotFound;
  if (path.size() < 4 || path[1] != ':' || path[2] != '\\') return kInvalidFileAttributes;
  Impl::Volume* volume = m.FindVolume(path[0]);
  const std::string name = path.substr(3);
  if (volume == nullptr || !volume->fs || name.find('\\') != std::string::npos) {
    return kInvalidFileAttributes;
  }
  const std::shared_ptr<FlatVolume::File> file = volume->fs->Find(name);
  if (!file) {
    m.last_error = kErrorFileNotFound;
    return kInvalidFileAttributes;
  }
  m.last_error = kErrorSuccess;
  return file->attributes == 0 ? kFileAttributeNormal : file->attributes;
}

bool EmulatedPlatform::Impl::SetCompression(HandleState& h, const void* in_buffer,
                                            std::uint32_t in_size) {
  if (in_buffer == nullptr || in_size < 2) return Fail(kErrorInvalidParameter);
  if (!CanWrite(h.access)) return Fail(kErrorAccessDenied);
  const auto* in = static_cast<const std::uint8_t*>(in_buffer);
  const auto format = static_cast<std::uint16_t>(in[0] | in[1] << 8);
  const std::uint32_t others = h.file->attributes & ~kFileAttributeCompressed;
  h.volume->fs->SetAttributes(
      *h.file, format == kCompressionFormatNone ? others : others | kFileAttributeCompressed);
  return true;
}

std::uint32_t EmulatedPlatform::GetLogicalDrives() {
  std::uint32_t bits = 0;
  for (const auto& v : impl_->volumes) {
    if (v->config.letter != 0) bits |= 1u << (v->config.letter - 'A');
  }
  for (const OtherDrive& d : impl_->other_drives) bits |= 1u << (d.letter - 'A');
  return bits;
}

}  // namespace veracap::emulated

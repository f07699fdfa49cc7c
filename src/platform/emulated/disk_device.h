// One emulated physical disk: its memory (an image file, or sectors kept in
// RAM) and the device model in front of it: what an address beyond the real
// memory meets, a write cache, a log-structured memory, write protection;
// its injected faults, and which queries it answers. Knows nothing of
// handles or clocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/emulated/image_file.h"
#include "platform/emulated/manifest.h"

namespace veracap::emulated {

// Memory of a fixed size that keeps only the sectors written to it; the
// rest reads as zeros. A flood of hundreds of MiB stays in RAM, whatever
// the claimed size.
class SparseMemory {
 public:
  void Read(std::uint64_t offset, std::uint8_t* out, std::size_t length) const;
  void Write(std::uint64_t offset, const std::uint8_t* in, std::size_t length);
  std::size_t sectors_held() const { return sectors_.size(); }

 private:
  std::unordered_map<std::uint64_t, std::array<std::uint8_t, 512>> sectors_;
};

class DiskDevice {
 public:
  // What an injected fault does to one transfer.
  struct FaultHit {
    bool hit = false;
    std::uint32_t delay_ms = 0;
    std::uint64_t delivered_bytes = 0;  // short read: bytes the transfer gives
    std::uint32_t error = 0;            // the fault's own error code, 0: the usual
  };

  explicit DiskDevice(const DiskSpec& config) : spec_(config), faults_(config.faults) {}

  // Opens (creating when missing) the image of real_bytes at path; an empty
  // path keeps the memory in RAM for the life of the device.
  bool Open(const std::string& path, std::string* error) {
    in_ram_ = path.empty();
    return in_ram_ || image_.Open(path, spec_.real_bytes, error);
  }
  bool is_open() const { return in_ram_ || image_.is_open(); }
  const DiskSpec& config() const { return spec_; }
  std::uint64_t claimed_bytes() const { return spec_.claimed_bytes; }

  // Moves length bytes at a claimed address (offset + length must not pass
  // the claimed size) through the device model. Returns 0 or a Win32 error
  // code; a failing transfer changes nothing.
  std::uint32_t Read(std::uint64_t offset, std::uint8_t* out, std::size_t length);
  std::uint32_t Write(std::uint64_t offset, const std::uint8_t* in, std::size_t length);

  // The first fault of this kind on a sector that [offset, offset + length)
  // touches; a hit uses up one of the fault's times.
  FaultHit TakeFault(Fault::Kind kind, std::uint64_t offset, std::uint64_t length);

  bool answers_capacity = true;
  bool answers_inquiry = true;
  bool answers_length = true;

 private:
  using Sector = std::array<std::uint8_t, 512>;
  struct CachedLine {
    std::vector<std::uint8_t> data;
    std::vector<bool> written;  // per sector: the cache holds it
    std::list<std::uint64_t>::iterator age;
  };
  // Where a claimed sector's data lives in the memory; false when nowhere.
  enum class Place { kMemory, kNothing, kError };
  Place Locate(std::uint64_t sector, std::uint64_t* memory_offset) const;
  // A plain model's run from byte at, at most left bytes long, that lies in
  // one place: up to the end of the memory, or beyond it to the claimed end.
  std::size_t PlainRun(std::uint64_t at, std::size_t left, Place* place,
                       std::uint64_t* memory_offset) const;
  bool MemoryRead(std::uint64_t offset, std::uint8_t* out, std::size_t length) const;
  bool MemoryWrite(std::uint64_t offset, const std::uint8_t* in, std::size_t length);
  // One whole sector behind the cache.
  bool BackRead(std::uint64_t sector, std::uint8_t* out) const;
  void BackWrite(std::uint64_t sector, const std::uint8_t* in);
  void CacheWrite(std::uint64_t sector, const std::uint8_t* in);
  bool SectorRead(std::uint64_t sector, std::uint8_t* out) const;
  void SectorWrite(std::uint64_t sector, const std::uint8_t* in);
  bool Plain() const {
    return spec_.cache_bytes == 0 && spec_.beyond != Beyond::kLog && spec_.wrap_at == 0;
  }

  DiskSpec spec_;
  std::vector<Fault> faults_;  // times count down as faults hit
  bool in_ram_ = false;
  ImageFile image_;
  SparseMemory ram_;
  // Log-structured memory: where each address's latest write went.
  std::unordered_map<std::uint64_t, std::uint64_t> log_place_;
  std::uint64_t log_next_ = 0;
  // Write cache: lines by index, oldest first in cache_age_.
  std::unordered_map<std::uint64_t, CachedLine> cache_;
  std::list<std::uint64_t> cache_age_;
};

}  // namespace veracap::emulated

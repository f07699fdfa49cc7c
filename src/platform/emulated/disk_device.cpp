#include "platform/emulated/disk_device.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace veracap::emulated {

void SparseMemory::Read(std::uint64_t offset, std::uint8_t* out, std::size_t length) const {
  while (length > 0) {
    const std::uint64_t sector = offset / 512;
    const std::size_t at = static_cast<std::size_t>(offset % 512);
    const std::size_t n = std::min<std::size_t>(length, 512 - at);
    const auto found = sectors_.find(sector);
    if (found == sectors_.end()) {
      std::memset(out, 0, n);
    } else {
      std::memcpy(out, found->second.data() + at, n);
    }
    offset += n;
    out += n;
    length -= n;
  }
}

void SparseMemory::Write(std::uint64_t offset, const std::uint8_t* in, std::size_t length) {
  while (length > 0) {
    const std::uint64_t sector = offset / 512;
    const std::size_t at = static_cast<std::size_t>(offset % 512);
    const std::size_t n = std::min<std::size_t>(length, 512 - at);
    // A new sector starts as zeros, as the memory read before it was written.
    auto [place, added] = sectors_.try_emplace(sector);
    if (added && n < 512) place->second.fill(0);
    std::memcpy(place->second.data() + at, in, n);
    offset += n;
    in += n;
    length -= n;
  }
}

bool DiskDevice::MemoryRead(std::uint64_t offset, std::uint8_t* out, std::size_t length) const {
  if (!in_ram_) return image_.ReadAt(offset, out, length);
  ram_.Read(offset, out, length);
  return true;
}

bool DiskDevice::MemoryWrite(std::uint64_t offset, const std::uint8_t* in, std::size_t length) {
  if (!in_ram_) return image_.WriteAt(offset, in, length);
  ram_.Write(offset, in, length);
  return true;
}

DiskDevice::Place DiskDevice::Locate(std::uint64_t sector, std::uint64_t* memory_offset) const {
  std::uint64_t at = sector * 512;
  if (spec_.wrap_at != 0 && at >= spec_.wrap_at) at %= spec_.wrap_at;
  if (at < spec_.real_bytes) {
    *memory_offset = at;
    return Place::kMemory;
  }
  switch (spec_.beyond) {
    case Beyond::kWrap:
      *memory_offset = at % spec_.real_bytes;
      return Place::kMemory;
    case Beyond::kError:
      return Place::kError;
    default:
      return Place::kNothing;
  }
}

bool DiskDevice::BackRead(std::uint64_t sector, std::uint8_t* out) const {
  if (spec_.beyond == Beyond::kLog) {
    const auto found = log_place_.find(sector);
    if (found == log_place_.end()) {
      std::memset(out, 0, 512);
      return true;
    }
    return MemoryRead(found->second * 512, out, 512);
  }
  std::uint64_t at = 0;
  switch (Locate(sector, &at)) {
    case Place::kMemory:
      return MemoryRead(at, out, 512);
    case Place::kNothing:
      std::memset(out, spec_.beyond == Beyond::kOnes ? 0xFF : 0x00, 512);
      return true;
    case Place::kError:
      break;
  }
  return false;
}

void DiskDevice::BackWrite(std::uint64_t sector, const std::uint8_t* in) {
  if (spec_.beyond == Beyond::kLog) {
    const std::uint64_t place = log_next_++ % (spec_.real_bytes / 512);
    log_place_[sector] = place;
    MemoryWrite(place * 512, in, 512);
    return;
  }
  std::uint64_t at = 0;
  if (Locate(sector, &at) == Place::kMemory) MemoryWrite(at, in, 512);
}

void DiskDevice::CacheWrite(std::uint64_t sector, const std::uint8_t* in) {
  const std::uint64_t per_line = spec_.cache_line / 512;
  const std::uint64_t index = sector / per_line;
  const auto slot = static_cast<std::size_t>(sector % per_line);
  auto found = cache_.find(index);
  if (found == cache_.end()) {
    const std::uint64_t capacity = spec_.cache_bytes / spec_.cache_line;
    while (cache_.size() >= capacity) {
      const std::uint64_t oldest = cache_age_.front();
      const CachedLine& line = cache_.at(oldest);
      for (std::size_t i = 0; i < line.written.size(); ++i) {
        if (line.written[i]) BackWrite(oldest * per_line + i, line.data.data() + i * 512);
      }
      cache_.erase(oldest);
      cache_age_.pop_front();
    }
    CachedLine line;
    line.data.resize(static_cast<std::size_t>(spec_.cache_line));
    line.written.assign(static_cast<std::size_t>(per_line), false);
    line.age = cache_age_.insert(cache_age_.end(), index);
    found = cache_.emplace(index, std::move(line)).first;
  } else {
    cache_age_.splice(cache_age_.end(), cache_age_, found->second.age);
  }
  std::memcpy(found->second.data.data() + slot * 512, in, 512);
  found->second.written[slot] = true;
}

bool DiskDevice::SectorRead(std::uint64_t sector, std::uint8_t* out) const {
  if (spec_.cache_bytes != 0) {
    const std::uint64_t per_line = spec_.cache_line / 512;
    const auto found = cache_.find(sector / per_line);
    const auto slot = static_cast<std::size_t>(sector % per_line);
    if (found != cache_.end() && found->second.written[slot]) {
      std::memcpy(out, found->second.data.data() + slot * 512, 512);
      return true;
    }
  }
  return BackRead(sector, out);
}

void DiskDevice::SectorWrite(std::uint64_t sector, const std::uint8_t* in) {
  if (spec_.cache_bytes != 0) {
    CacheWrite(sector, in);
  } else {
    BackWrite(sector, in);
  }
}

std::size_t DiskDevice::PlainRun(std::uint64_t at, std::size_t left, Place* place,
                                 std::uint64_t* memory_offset) const {
  *place = Locate(at / 512, memory_offset);
  const std::uint64_t run_end = *place == Place::kMemory
                                    ? at - at % 512 + (spec_.real_bytes - *memory_offset)
                                    : spec_.claimed_bytes;
  return static_cast<std::size_t>(std::min<std::uint64_t>(left, run_end - at));
}

std::uint32_t DiskDevice::Read(std::uint64_t offset, std::uint8_t* out, std::size_t length) {
  std::uint8_t sector[512];
  std::size_t done = 0;
  while (done < length) {
    const std::uint64_t at = offset + done;
    const std::size_t skip = static_cast<std::size_t>(at % 512);
    std::size_t n = std::min<std::size_t>(length - done, 512 - skip);
    if (Plain()) {
      // Whole runs at once: the memory, or what lies beyond it.
      Place place = Place::kMemory;
      std::uint64_t memory = 0;
      n = PlainRun(at, length - done, &place, &memory);
      if (place == Place::kError) return kErrorCrc;
      if (place == Place::kMemory) {
        if (!MemoryRead(memory + skip, out + done, n)) return kErrorCrc;
      } else {
        std::memset(out + done, spec_.beyond == Beyond::kOnes ? 0xFF : 0x00, n);
      }
    } else {
      if (!SectorRead(at / 512, sector)) return kErrorCrc;
      std::memcpy(out + done, sector + skip, n);
    }
    done += n;
  }
  return kErrorSuccess;
}

std::uint32_t DiskDevice::Write(std::uint64_t offset, const std::uint8_t* in, std::size_t length) {
  if (spec_.write_protected) return kErrorWriteProtect;
  if (length == 0) return kErrorSuccess;
  // A transfer that meets an I/O error changes nothing.
  if (spec_.beyond == Beyond::kError && spec_.cache_bytes == 0) {
    if (Plain() && offset + length > spec_.real_bytes) return kErrorCrc;
    std::uint64_t memory = 0;
    for (std::uint64_t s = offset / 512; !Plain() && s <= (offset + length - 1) / 512; ++s) {
      if (Locate(s, &memory) == Place::kError) return kErrorCrc;
    }
  }
  std::uint8_t sector[512];
  std::size_t done = 0;
  while (done < length) {
    const std::uint64_t at = offset + done;
    const std::size_t skip = static_cast<std::size_t>(at % 512);
    std::size_t n = std::min<std::size_t>(length - done, 512 - skip);
    if (Plain()) {
      Place place = Place::kMemory;
      std::uint64_t memory = 0;
      n = PlainRun(at, length - done, &place, &memory);
      // zeros and 0xFF: the bytes vanish without a trace
      if (place == Place::kMemory && !MemoryWrite(memory + skip, in + done, n)) return kErrorCrc;
    } else {
      if (skip != 0 || n < 512) {
        if (!SectorRead(at / 512, sector)) return kErrorCrc;
      }
      std::memcpy(sector + skip, in + done, n);
      SectorWrite(at / 512, sector);
    }
    done += n;
  }
  return kErrorSuccess;
}

DiskDevice::FaultHit DiskDevice::TakeFault(Fault::Kind kind, std::uint64_t offset,
                                           std::uint64_t length) {
  FaultHit result;
  if (length == 0) return result;
  for (Fault& f : faults_) {
    if (f.kind != kind || f.times == 0) continue;
    const std::uint64_t start = f.sector * 512;
    if (start + 512 <= offset || start >= offset + length) continue;
    if (f.times > 0) --f.times;
    result.hit = true;
    result.delay_ms = f.delay_ms;
    result.error = f.error;
    // The transfer gives what lies before the sector and the sector's first
    // short_bytes, then stops.
    const std::uint64_t before = start > offset ? start - offset : 0;
    result.delivered_bytes = std::min<std::uint64_t>(length, before + f.short_bytes);
    return result;
  }
  return result;
}

}  // namespace veracap::emulated

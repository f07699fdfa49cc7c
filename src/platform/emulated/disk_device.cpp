#include "platform/emulated/disk_device.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace veracap::emulated {

std::uint32_t DiskDevice::Read(std::uint64_t offset, std::uint8_t* out, std::size_t length) const {
  const std::uint64_t real = spec_.real_bytes;
  if (spec_.beyond == Beyond::kError && offset + length > real) return kErrorCrc;
  while (length > 0) {
    std::size_t n = length;
    if (offset < real) {
      n = static_cast<std::size_t>(std::min<std::uint64_t>(length, real - offset));
      if (!image_.ReadAt(offset, out, n)) return kErrorCrc;
    } else if (spec_.beyond == Beyond::kWrap) {
      const std::uint64_t at = offset % real;
      n = static_cast<std::size_t>(std::min<std::uint64_t>(length, real - at));
      if (!image_.ReadAt(at, out, n)) return kErrorCrc;
    } else {
      std::memset(out, spec_.beyond == Beyond::kOnes ? 0xFF : 0x00, n);
    }
    out += n;
    offset += n;
    length -= n;
  }
  return kErrorSuccess;
}

std::uint32_t DiskDevice::Write(std::uint64_t offset, const std::uint8_t* in,
                                std::size_t length) const {
  const std::uint64_t real = spec_.real_bytes;
  if (spec_.beyond == Beyond::kError && offset + length > real) return kErrorCrc;
  while (length > 0) {
    std::size_t n = length;
    if (offset < real) {
      n = static_cast<std::size_t>(std::min<std::uint64_t>(length, real - offset));
      if (!image_.WriteAt(offset, in, n)) return kErrorCrc;
    } else if (spec_.beyond == Beyond::kWrap) {
      const std::uint64_t at = offset % real;
      n = static_cast<std::size_t>(std::min<std::uint64_t>(length, real - at));
      if (!image_.WriteAt(at, in, n)) return kErrorCrc;
    }
    // zeros and 0xFF: the bytes vanish without a trace
    in += n;
    offset += n;
    length -= n;
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
    // The transfer gives what lies before the sector and the sector's first
    // short_bytes, then stops.
    const std::uint64_t before = start > offset ? start - offset : 0;
    result.delivered_bytes = std::min<std::uint64_t>(length, before + f.short_bytes);
    return result;
  }
  return result;
}

}  // namespace veracap::emulated

#include "platform/emulated/disk_device.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace veracap::emulated {

// Walks a transfer through the device's address map: within the real memory
// the image, beyond it what the model says. on_image moves n bytes at an
// image offset; on_nothing handles n bytes that reach no memory.
template <typename OnImage, typename OnNothing>
std::uint32_t DiskDevice::Walk(std::uint64_t offset, std::size_t length, OnImage on_image,
                               OnNothing on_nothing) const {
  const std::uint64_t real = spec_.real_bytes;
  if (spec_.beyond == Beyond::kError && offset + length > real) return kErrorCrc;
  std::size_t done = 0;
  while (done < length) {
    std::size_t n = length - done;
    if (offset < real || spec_.beyond == Beyond::kWrap) {
      const std::uint64_t at = offset < real ? offset : offset % real;
      n = static_cast<std::size_t>(std::min<std::uint64_t>(n, real - at));
      if (!on_image(at, done, n)) return kErrorCrc;
    } else {
      on_nothing(done, n);
    }
    offset += n;
    done += n;
  }
  return kErrorSuccess;
}

std::uint32_t DiskDevice::Read(std::uint64_t offset, std::uint8_t* out, std::size_t length) const {
  return Walk(
      offset, length,
      [&](std::uint64_t at, std::size_t done, std::size_t n) {
        return image_.ReadAt(at, out + done, n);
      },
      [&](std::size_t done, std::size_t n) {
        std::memset(out + done, spec_.beyond == Beyond::kOnes ? 0xFF : 0x00, n);
      });
}

std::uint32_t DiskDevice::Write(std::uint64_t offset, const std::uint8_t* in,
                                std::size_t length) const {
  return Walk(
      offset, length,
      [&](std::uint64_t at, std::size_t done, std::size_t n) {
        return image_.WriteAt(at, in + done, n);
      },
      // zeros and 0xFF: the bytes vanish without a trace
      [](std::size_t, std::size_t) {});
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

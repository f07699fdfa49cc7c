// One emulated physical disk: its image file (the real memory) and what an
// address beyond the real memory meets, its injected faults, and which
// queries it answers. Knows nothing of handles or clocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/emulated/image_file.h"
#include "platform/emulated/manifest.h"

namespace veracap::emulated {

class DiskDevice {
 public:
  // What an injected fault does to one transfer.
  struct FaultHit {
    bool hit = false;
    std::uint32_t delay_ms = 0;
    std::uint64_t delivered_bytes = 0;  // short read: bytes the transfer gives
  };

  explicit DiskDevice(const DiskSpec& config) : spec_(config), faults_(config.faults) {}

  // Opens (creating when missing) the image of real_bytes at path.
  bool Open(const std::string& path, std::string* error) {
    return image_.Open(path, spec_.real_bytes, error);
  }
  bool is_open() const { return image_.is_open(); }
  const DiskSpec& config() const { return spec_; }
  std::uint64_t claimed_bytes() const { return spec_.claimed_bytes; }

  // Moves length bytes at a claimed address (offset + length must not pass
  // the claimed size) through the model of the memory beyond the real size.
  // Returns 0 or a Win32 error code; a failing transfer changes nothing.
  std::uint32_t Read(std::uint64_t offset, std::uint8_t* out, std::size_t length) const;
  std::uint32_t Write(std::uint64_t offset, const std::uint8_t* in, std::size_t length) const;

  // The first fault of this kind on a sector that [offset, offset + length)
  // touches; a hit uses up one of the fault's times.
  FaultHit TakeFault(Fault::Kind kind, std::uint64_t offset, std::uint64_t length);

  bool answers_capacity = true;
  bool answers_inquiry = true;
  bool answers_length = true;

 private:
  template <typename OnImage, typename OnNothing>
  std::uint32_t Walk(std::uint64_t offset, std::size_t length, OnImage on_image,
                     OnNothing on_nothing) const;

  DiskSpec spec_;
  std::vector<Fault> faults_;  // times count down as faults hit
  ImageFile image_;
};

}  // namespace veracap::emulated

// Marker sectors: a sector that carries its own sector number in its first
// eight bytes (56 bits little-endian, then the marker flag 0x80 with bits
// 56..62), so that a sector read back tells where its data was written.
#pragma once

#include <cstdint>
#include <vector>

namespace veracap {

inline constexpr double kNoMarker = -1;

// Writes the eight marker bytes of sector into buffer[0..7]; the rest of the
// buffer is left as it is.
void EncodeMarker(double sector, std::vector<std::uint8_t>& buffer);
// The sector number that buffer[0..7] carries, or kNoMarker when the marker
// flag is clear.
double DecodeMarker(const std::vector<std::uint8_t>& buffer);

}  // namespace veracap

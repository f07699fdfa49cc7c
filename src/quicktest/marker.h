// Marker sectors: a sector that carries its own sector number in its first
// eight bytes (56 bits little-endian, then the marker flag 0x80 with bits
// 56..62), so that a sector read back tells where its data was written.
//
// Bytes 8..511 are fill (0xFF). A run of the test stamps the first sixteen
// fill bytes with its run stamp (a token drawn at random for the run and the
// disk's claimed sector count), so that a marker left by an earlier run, by
// another disk or by chance is not taken for one of this run's.
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

// What makes a marker one of this run's.
struct RunStamp {
  std::uint64_t token = 0;  // drawn at random; never all ones (the fill)
  std::uint64_t claimed_sectors = 0;
};

inline constexpr std::size_t kStampOffset = 8;
inline constexpr std::size_t kStampBytes = 16;

// A token for a new run from the system's random source, never 0 nor all ones.
std::uint64_t DrawRunToken();

// One 512-byte marker sector at out: the marker of sector, the run stamp,
// then either the 0xFF fill or, for noise, bytes drawn from a generator
// seeded by the stamp and the sector (no two sectors alike, nothing a
// controller could compress or recognise as already stored).
void FormatRunMarker(std::int64_t sector, const RunStamp& stamp, bool noise, std::uint8_t* out);
// The sector number of one of this run's markers at in, or kNoMarker for
// anything else (no marker flag, or another stamp).
double DecodeRunMarker(const std::uint8_t* in, const RunStamp& stamp);

}  // namespace veracap

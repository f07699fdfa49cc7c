#include "quicktest/marker.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <random>

namespace veracap {
namespace {

void PutU64(std::uint64_t v, std::uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t GetU64(const std::uint8_t* in) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

void EncodeMarker(double sector, std::vector<std::uint8_t>& buffer) {
  double value = sector;
  for (int i = 0; i < 8; ++i) {
    const double high = std::floor(value / 256);
    auto b = static_cast<std::uint8_t>(value - high * 256);
    if (i == 7) b |= 0x80;
    buffer[static_cast<std::size_t>(i)] = b;
    value = high;
  }
}

double DecodeMarker(const std::vector<std::uint8_t>& buffer) {
  double result = 0;
  double weight = 1;
  int flag = 0;
  for (int i = 0; i < 8; ++i) {
    int b = buffer[static_cast<std::size_t>(i)];
    if (i == 7) {
      flag = b & 0x80;
      b &= 0x7F;
    }
    result += weight * b;
    weight *= 256;
  }
  return flag == 0 ? kNoMarker : result;
}

std::uint64_t DrawRunToken() {
  std::random_device device;
  std::uint64_t state =
      (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::uint64_t token = 0;
  while (token == 0 || token == ~std::uint64_t{0}) token = SplitMix(state);
  return token;
}

void FormatRunMarker(std::int64_t sector, const RunStamp& stamp, bool noise, std::uint8_t* out) {
  // Sector numbers stay far below 2^56, so byte 7 is the flag alone.
  PutU64(static_cast<std::uint64_t>(sector) | (std::uint64_t{0x80} << 56), out);
  PutU64(stamp.token, out + kStampOffset);
  PutU64(stamp.claimed_sectors, out + kStampOffset + 8);
  std::uint8_t* fill = out + kStampOffset + kStampBytes;
  constexpr std::size_t kFillBytes = 512 - kStampOffset - kStampBytes;
  if (!noise) {
    std::memset(fill, 0xFF, kFillBytes);
    return;
  }
  std::uint64_t state = stamp.token ^ (static_cast<std::uint64_t>(sector) * 0xD1B54A32D192ED03ull);
  std::uint64_t x = SplitMix(state) | 1;
  std::uint64_t words[kFillBytes / 8];
  for (std::uint64_t& word : words) {  // xorshift64*: cheap, and nothing repeats within a sector
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    word = x * 0x2545F4914F6CDD1Dull;
  }
  // Any byte order makes noise; no need to fix one.
  std::memcpy(fill, words, kFillBytes);
}

double DecodeRunMarker(const std::uint8_t* in, const RunStamp& stamp) {
  if ((in[7] & 0x80) == 0) return kNoMarker;
  if (GetU64(in + kStampOffset) != stamp.token ||
      GetU64(in + kStampOffset + 8) != stamp.claimed_sectors) {
    return kNoMarker;
  }
  return static_cast<double>(GetU64(in) & ~(std::uint64_t{0xFF} << 56)) +
         static_cast<double>(in[7] & 0x7F) * 72057594037927936.0;
}

}  // namespace veracap

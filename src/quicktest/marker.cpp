#include "quicktest/marker.h"

#include <cmath>

namespace veracap {

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

}  // namespace veracap

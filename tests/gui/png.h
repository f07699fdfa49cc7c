// A minimal PNG writer for the GUI test's screenshots: 8-bit RGB, one IDAT
// chunk of stored (uncompressed) deflate blocks. No library needed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veracap::gui {

// rgb holds width * height * 3 bytes, rows from the top. False when the file
// cannot be written.
bool WritePng(const std::string& path, int width, int height, const std::vector<std::uint8_t>& rgb);

}  // namespace veracap::gui

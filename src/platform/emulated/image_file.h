// A fixed-size image file read and written at byte offsets without moving a
// shared file position (pread/pwrite where the system has them). Move-only;
// the destructor closes the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace veracap::emulated {

class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ImageFile(ImageFile&& other) noexcept;
  ImageFile& operator=(ImageFile&& other) noexcept;
  ~ImageFile();

  // Opens or creates the file and sets its length to size_bytes (sparse:
  // growing it allocates nothing). False with a message on failure.
  bool Open(const std::string& path, std::uint64_t size_bytes, std::string* error);
  bool is_open() const { return fd_ >= 0; }
  // Reads exactly length bytes at offset; bytes the file does not hold read
  // as zeros. False on an I/O error.
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const;
  // Writes exactly length bytes at offset. False on an I/O error.
  bool WriteAt(std::uint64_t offset, const void* buffer, std::size_t length) const;

 private:
  void Close();
  int fd_ = -1;
};

}  // namespace veracap::emulated

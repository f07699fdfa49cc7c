#include "platform/emulated/image_file.h"

#include <cerrno>
#include <cstring>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veracap::emulated {
namespace {

#ifdef _WIN32
// No pread/pwrite: seek and transfer. The emulated platform runs on one
// thread, so nothing moves the position in between.
long long ReadSome(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
  if (_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) < 0) return -1;
  const unsigned chunk = length > (1u << 30) ? (1u << 30) : static_cast<unsigned>(length);
  return _read(fd, buffer, chunk);
}
long long WriteSome(int fd, const void* buffer, std::size_t length, std::uint64_t offset) {
  if (_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) < 0) return -1;
  const unsigned chunk = length > (1u << 30) ? (1u << 30) : static_cast<unsigned>(length);
  return _write(fd, buffer, chunk);
}
#else
long long ReadSome(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
  return ::pread(fd, buffer, length, static_cast<off_t>(offset));
}
long long WriteSome(int fd, const void* buffer, std::size_t length, std::uint64_t offset) {
  return ::pwrite(fd, buffer, length, static_cast<off_t>(offset));
}
#endif

}  // namespace

ImageFile::ImageFile(ImageFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ImageFile& ImageFile::operator=(ImageFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

ImageFile::~ImageFile() { Close(); }

void ImageFile::Close() {
  if (fd_ < 0) return;
#ifdef _WIN32
  _close(fd_);
#else
  ::close(fd_);
#endif
  fd_ = -1;
}

bool ImageFile::Open(const std::string& path, std::uint64_t size_bytes, std::string* error) {
  Close();
#ifdef _WIN32
  fd_ = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  const bool sized = fd_ >= 0 && _chsize_s(fd_, static_cast<long long>(size_bytes)) == 0;
#else
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  struct stat st {};
  const bool sized = fd_ >= 0 && ::fstat(fd_, &st) == 0 &&
                     (static_cast<std::uint64_t>(st.st_size) == size_bytes ||
                      ::ftruncate(fd_, static_cast<off_t>(size_bytes)) == 0);
#endif
  if (!sized) {
    if (error) *error = path + ": " + std::strerror(errno);
    Close();
    return false;
  }
  return true;
}

bool ImageFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const long long n = ReadSome(fd_, out, length, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {  // past the end of a file shorter than its device
      std::memset(out, 0, length);
      return true;
    }
    out += n;
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ImageFile::WriteAt(std::uint64_t offset, const void* buffer, std::size_t length) const {
  const auto* in = static_cast<const unsigned char*>(buffer);
  while (length > 0) {
    const long long n = WriteSome(fd_, in, length, offset);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    in += n;
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace veracap::emulated

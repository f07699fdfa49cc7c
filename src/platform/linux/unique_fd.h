// Owners of the Linux platform's OS resources: a file descriptor, and memory
// aligned for O_DIRECT transfers.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <utility>

namespace veracap::linux_platform {

// Move-only owner of one file descriptor; -1 owns nothing. Move-assignment
// closes the descriptor it held before.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Page-aligned memory for O_DIRECT, which needs the buffer's address aligned
// to the device's logical block (4096 covers every block size in use).
inline constexpr std::size_t kDirectAlignment = 4096;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using AlignedBytes = std::unique_ptr<unsigned char[], FreeDeleter>;

// Null when the memory cannot be had.
inline AlignedBytes AllocateAligned(std::size_t size_bytes) {
  void* p = nullptr;
  if (posix_memalign(&p, kDirectAlignment, size_bytes == 0 ? kDirectAlignment : size_bytes) != 0) {
    return nullptr;
  }
  return AlignedBytes(static_cast<unsigned char*>(p));
}

}  // namespace veracap::linux_platform

// Reads, writes, seeks, flushes and byte-range locks through a handle on a
// disk, a volume or a file.
#include <algorithm>

#include "platform/emulated/platform_state.h"

namespace veracap::emulated {

bool EmulatedPlatform::ReadFile(Handle h, void* buffer, std::uint32_t length,
                                std::uint32_t* bytes_read) {
  Impl& m = *impl_;
  if (bytes_read) *bytes_read = 0;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  if (!CanRead(state->access)) return m.Fail(kErrorAccessDenied);
  if (length > 0 && buffer == nullptr) return m.Fail(kErrorInvalidParameter);
  if (m.Misaligned(*state, length)) return m.Fail(kErrorInvalidParameter);
  std::uint32_t done = 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (state->kind == Impl::Kind::kFile) {
    const bool ok = m.FileRead(*state, out, length, &done);
    if (bytes_read) *bytes_read = done;
    return ok;
  }
  if (state->kind == Impl::Kind::kDisk) ++m.counters.sector_reads;
  if (length == 0) return true;
  std::uint64_t base = 0, limit = 0;
  Impl::Region(*state, &base, &limit);
  if (state->position >= limit) return m.Fail(kErrorSectorNotFound);
  // A read that runs over the end gives the bytes up to the end.
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(length, limit - state->position));
  std::size_t got = 0;
  const std::uint32_t code = m.DeviceRead(*state->disk, base + state->position, out, want, &got);
  if (code != kErrorSuccess) return m.Fail(code);
  state->position += got;
  m.counters.bytes_read += got;
  if (bytes_read) *bytes_read = static_cast<std::uint32_t>(got);
  return true;
}

bool EmulatedPlatform::WriteFile(Handle h, const void* buffer, std::uint32_t length,
                                 std::uint32_t* bytes_written) {
  Impl& m = *impl_;
  if (bytes_written) *bytes_written = 0;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  if (!CanWrite(state->access)) return m.Fail(kErrorAccessDenied);
  if (length > 0 && buffer == nullptr) return m.Fail(kErrorInvalidParameter);
  if (m.Misaligned(*state, length)) return m.Fail(kErrorInvalidParameter);
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  if (state->kind == Impl::Kind::kFile) {
    std::uint32_t done = 0;
    const bool ok = m.FileWrite(*state, in, length, &done);
    if (bytes_written) *bytes_written = done;
    return ok;
  }
  if (state->kind == Impl::Kind::kDisk) ++m.counters.sector_writes;
  if (length == 0) return true;
  std::uint64_t base = 0, limit = 0;
  Impl::Region(*state, &base, &limit);
  // A fixed-size device refuses a write past its end and does not grow.
  if (state->position >= limit || length > limit - state->position) {
    return m.Fail(kErrorSectorNotFound);
  }
  const std::uint32_t code = m.DeviceWrite(*state->disk, base + state->position, in, length);
  if (code != kErrorSuccess) return m.Fail(code);
  state->position += length;
  m.counters.bytes_written += length;
  if (bytes_written) *bytes_written = length;
  return true;
}

bool EmulatedPlatform::SetFilePointerEx(Handle h, std::int64_t distance,
                                        std::uint32_t move_method) {
  Impl& m = *impl_;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  std::int64_t origin = 0;
  if (move_method == kFileCurrent) {
    origin = static_cast<std::int64_t>(state->position);
  } else if (move_method == kFileEnd) {
    std::uint64_t base = 0, limit = 0;
    if (state->kind == Impl::Kind::kFile) {
      limit = state->file->size_bytes;
    } else {
      Impl::Region(*state, &base, &limit);
    }
    origin = static_cast<std::int64_t>(limit);
  } else if (move_method != kFileBegin) {
    return m.Fail(kErrorInvalidParameter);
  }
  if ((distance < 0 && origin + distance < 0) || (distance > 0 && origin > INT64_MAX - distance)) {
    return m.Fail(kErrorNegativeSeek);
  }
  state->position = static_cast<std::uint64_t>(origin + distance);
  return true;
}

bool EmulatedPlatform::FlushFileBuffers(Handle h) {
  Impl& m = *impl_;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  if (!CanWrite(state->access)) return m.Fail(kErrorAccessDenied);
  if (state->kind == Impl::Kind::kDisk) ++m.counters.flushes;
  if (state->kind == Impl::Kind::kFile) state->volume->fs->Save(nullptr);
  return true;
}

bool EmulatedPlatform::LockFile(Handle h, std::uint64_t offset, std::uint64_t length) {
  Impl& m = *impl_;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  const void* object = m.LockObject(*state);
  for (const Impl::RangeLock& lock : m.range_locks) {
    if (lock.object == object && offset < lock.offset + lock.length &&
        lock.offset < offset + length) {
      return m.Fail(kErrorLockViolation);
    }
  }
  m.range_locks.push_back({object, h, offset, length});
  return true;
}

bool EmulatedPlatform::UnlockFile(Handle h, std::uint64_t offset, std::uint64_t length) {
  Impl& m = *impl_;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  const void* object = m.LockObject(*state);
  for (auto it = m.range_locks.begin(); it != m.range_locks.end(); ++it) {
    if (it->object == object && it->owner == h && it->offset == offset && it->length == length) {
      m.range_locks.erase(it);
      return true;
    }
  }
  return m.Fail(kErrorNotLocked);
}

}  // namespace veracap::emulated

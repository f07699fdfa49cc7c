#include "filetest/verifier.h"

#include <memory>
#include <new>

#include "app/busy.h"
#include "app/results_log.h"
#include "filetest/writer.h"

namespace veracap {
namespace {

struct AlignedDelete {
  void operator()(std::uint8_t* p) const {
    ::operator delete[](p, std::align_val_t{kTestBufferAlignment});
  }
};

// A test file read back through whole sectors, the last one kept: the
// drive's own memory answers each sample, never the system's cache.
class SectorReader {
 public:
  SectorReader(Context& ctx, Handle handle, std::uint32_t sector)
      : ctx_(ctx),
        handle_(handle),
        sector_(sector),
        buffer_(static_cast<std::uint8_t*>(
            ::operator new[](sector, std::align_val_t{kTestBufferAlignment}))) {}

  // The byte at offset. False when the seek or the read fails, and when the
  // file ends before the offset: a missing byte never matches.
  bool ByteAt(std::int64_t offset, std::uint8_t* byte) {
    const std::int64_t first = offset - offset % sector_;
    if (first != loaded_first_) {
      loaded_first_ = -1;
      loaded_bytes_ = 0;
      if (!ctx_.platform.SetFilePointerEx(handle_, first, kFileBegin) ||
          !ctx_.platform.ReadFile(handle_, buffer_.get(), sector_, &loaded_bytes_)) {
        return false;
      }
      loaded_first_ = first;
    }
    if (offset - first >= std::int64_t{loaded_bytes_}) return false;
    *byte = buffer_[static_cast<std::size_t>(offset - first)];
    return true;
  }

 private:
  Context& ctx_;
  Handle handle_;
  std::uint32_t sector_;
  std::unique_ptr<std::uint8_t[], AlignedDelete> buffer_;
  std::int64_t loaded_first_ = -1;
  std::uint32_t loaded_bytes_ = 0;
};

}  // namespace

std::uint32_t VolumeSectorBytes(Context& ctx, const std::string& drive) {
  std::uint32_t per_cluster = 0, sector = 0, free_clusters = 0, total_clusters = 0;
  if (!ctx.platform.GetDiskFreeSpace(drive + "\\", &per_cluster, &sector, &free_clusters,
                                     &total_clusters) ||
      sector < 512 || sector > kMaxVolumeSectorBytes || (sector & (sector - 1)) != 0) {
    return 4096;
  }
  return sector;
}

bool VerifyTestFile(Context& ctx, std::int32_t n) {
  AppState& s = ctx.state;
  const std::string path = TestFilePath(s.SelectedDrive, n);
  const std::uint32_t sector = VolumeSectorBytes(ctx, s.SelectedDrive);
  const Handle handle = ctx.platform.CreateFile(path, kGenericRead, kFileShareRead, kOpenExisting,
                                                kTestFileReadFlags);
  if (handle == kInvalidHandle || handle == 0) return false;
  auto fail = [&] {
    ctx.platform.CloseHandle(handle);
    return false;
  };
  SectorReader file(ctx, handle, sector);

  bool ok = true;
  std::uint8_t byte = 0;
  std::uint32_t number = 0;
  for (int i = 0; i < 4; ++i) {
    if (!file.ByteAt(i, &byte)) return fail();
    number |= static_cast<std::uint32_t>(byte) << (8 * i);
  }
  if (number != static_cast<std::uint32_t>(n)) ok = false;
  for (int i = 4; i < 7; ++i) {
    if (!file.ByteAt(i, &byte)) return fail();
    if (byte != 'F') ok = false;
  }

  // Every second marker is enough to catch data of another file or of
  // nowhere; a wrong sample ends the file at once.
  const auto marker = static_cast<std::uint8_t>(n & 0xFF);
  for (std::int64_t pos = kMarkerSpacingBytes; pos <= std::int64_t{s.CurrentFileSize} - 1;
       pos += kSampleStrideBytes) {
    if (!file.ByteAt(pos, &byte) || byte != marker) return fail();
    KeepResponsive(ctx);
  }

  ctx.window.DoEvents();
  if (s.CancelRequested) return fail();
  ctx.platform.CloseHandle(handle);
  if (ok) ++s.GoodFileCount;
  return ok;
}

bool IsInterimCheckPoint(std::int32_t i) { return i == 15 || i == 25 || i == 45 || i == 85; }

void CheckWrittenFiles(Context& ctx, std::int32_t count) {
  AppState& s = ctx.state;
  s.GoodFileCount = 0;
  AppendResult(ctx, " Checking...");
  for (std::int32_t k = 1; k <= count; ++k) {
    ctx.window.DoEvents();
    if (!VerifyTestFile(ctx, k)) s.TestFileError = true;
  }
  if (!s.TestFileError) AppendResult(ctx, " OK");
}

}  // namespace veracap

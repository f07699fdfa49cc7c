#include "filetest/obstacles.h"

#include "diskio/sector_io.h"
#include "filetest/writer.h"

namespace veracap {

std::string TestFileNameObstacle(Context& ctx, const std::string& drive, std::int32_t n) {
  const std::uint32_t attributes = ctx.platform.GetFileAttributes(TestFilePath(drive, n));
  if (attributes == kInvalidFileAttributes) {
    const std::uint32_t error = ctx.platform.GetLastError();
    if (error == kErrorFileNotFound || error == kErrorPathNotFound) return {};
    return "cannot be looked at (error " + std::to_string(error) + ")";
  }
  if ((attributes & kFileAttributeReparsePoint) != 0) {
    return "already exists and is a link (symbolic link or junction)";
  }
  if ((attributes & kFileAttributeDirectory) != 0) return "already exists and is a folder";
  if ((attributes & kFileAttributeDevice) != 0) {
    return "already exists and is a device, pipe or socket";
  }
  if ((attributes & (kFileAttributeHidden | kFileAttributeSystem | kFileAttributeReadOnly)) != 0) {
    return "already exists and is a hidden, system or read-only file";
  }
  return "already exists and could not be deleted";
}

std::string FirstTestFileObstacle(Context& ctx, const std::string& drive, std::int32_t last) {
  for (std::int32_t n = 1; n <= last; ++n) {
    const std::string why = TestFileNameObstacle(ctx, drive, n);
    if (!why.empty()) return TestFilePath(drive, n) + " " + why;
  }
  return {};
}

std::string CauseOtherThanMemory(AppState::TestFileStep step, std::uint32_t error_code) {
  using Step = AppState::TestFileStep;
  if (step == Step::kCompressed) {
    return "the volume stores new files compressed, so the test data would not fill the memory";
  }
  if (step != Step::kCreate && step != Step::kWrite) return {};
  const std::string code = " (error " + std::to_string(error_code) + ")";
  switch (error_code) {
    case kErrorWriteProtect:
      return "the volume is write-protected or read-only" + code;
    case kErrorAccessDenied:
      return "access was denied: the volume is read-only or the name is in use" + code;
    case kErrorDiskFull:
    case kErrorHandleDiskFull:
      return "the volume is full: another program may be writing to it" + code;
    case kErrorFileExists:
    case kErrorAlreadyExists:
      return "something else took the test file's name" + code;
    case kErrorSharingViolation:
      return "another program holds the test file's name" + code;
    default: {
      // A drive removed, or refusing the transfer, as the Quick Size Test
      // tells them; I/O and data errors, and anything unknown, may be the
      // memory's.
      const std::string why = WriteFailureNotTheMemory(error_code);
      return why.empty() ? why : why + code;
    }
  }
}

}  // namespace veracap

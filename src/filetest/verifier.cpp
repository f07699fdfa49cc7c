#include "filetest/verifier.h"

#include "app/results_log.h"
#include "filetest/writer.h"

namespace veracap {
namespace {

// One byte at an offset. False when the seek or the read fails, and when the
// file ends before the offset: a missing byte never matches.
bool ReadByteAt(Context& ctx, Handle handle, std::int64_t offset, std::uint8_t* byte) {
  std::uint32_t got = 0;
  return ctx.platform.SetFilePointerEx(handle, offset, kFileBegin) &&
         ctx.platform.ReadFile(handle, byte, 1, &got) && got == 1;
}

}  // namespace

bool VerifyTestFile(Context& ctx, std::int32_t n) {
  AppState& s = ctx.state;
  const std::string path = TestFilePath(s.SelectedDrive, n);
  const Handle handle = ctx.platform.CreateFile(path, kGenericRead, kFileShareRead, kOpenExisting,
                                                kFileAttributeNormal);
  if (handle == kInvalidHandle || handle == 0) return false;
  auto fail = [&] {
    ctx.platform.CloseHandle(handle);
    return false;
  };

  bool ok = true;
  std::uint8_t byte = 0;
  std::uint32_t number = 0;
  for (int i = 0; i < 4; ++i) {
    if (!ReadByteAt(ctx, handle, i, &byte)) return fail();
    number |= static_cast<std::uint32_t>(byte) << (8 * i);
  }
  if (number != static_cast<std::uint32_t>(n)) ok = false;
  for (int i = 4; i < 7; ++i) {
    if (!ReadByteAt(ctx, handle, i, &byte)) return fail();
    if (byte != 'F') ok = false;
  }

  // Every second marker is enough to catch data of another file or of
  // nowhere; a wrong sample ends the file at once.
  const auto marker = static_cast<std::uint8_t>(n & 0xFF);
  for (std::int64_t pos = kMarkerSpacingBytes; pos <= std::int64_t{s.CurrentFileSize} - 1;
       pos += kSampleStrideBytes) {
    if (!ReadByteAt(ctx, handle, pos, &byte) || byte != marker) return fail();
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

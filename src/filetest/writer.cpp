#include "filetest/writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <new>

#include "app/busy.h"
#include "app/clock.h"
#include "app/results_log.h"

namespace veracap {
namespace {

struct AlignedDelete {
  void operator()(std::uint8_t* p) const {
    ::operator delete[](p, std::align_val_t{kTestBufferAlignment});
  }
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

void NoteFailure(AppState& s, AppState::TestFileStep step, std::uint32_t error_code) {
  s.test_file_failed_step = step;
  s.test_file_error_code = error_code;
}

// One piece of the file, from the start of the buffer, in WriteFile calls of
// kWriteCallBytes at most: 50 MiB in one call takes ten seconds and more on a
// slow stick, and the window must stay responsive meanwhile. The bytes on
// the device are the same. A call that reports success but stored fewer
// bytes than asked has not written the file either: the disk is full or
// failing.
bool WritePiece(Context& ctx, Handle handle, const std::uint8_t* buffer, std::int64_t piece) {
  for (std::int64_t done = 0; done < piece; done += kWriteCallBytes) {
    const auto length = static_cast<std::uint32_t>(std::min(piece - done, kWriteCallBytes));
    std::uint32_t written = 0;
    if (!ctx.platform.WriteFile(handle, buffer + done, length, &written)) {
      NoteFailure(ctx.state, AppState::TestFileStep::kWrite, ctx.platform.GetLastError());
      return false;
    }
    if (written != length) {
      NoteFailure(ctx.state, AppState::TestFileStep::kWrite, 0);
      return false;
    }
    KeepResponsive(ctx);
  }
  return true;
}

// A compressing volume would store the test pattern in a fraction of its
// size, so the files would never reach the memory a counterfeit lacks. The
// request fails harmlessly where there is no compression (FAT, exFAT); the
// file's attributes tell whether it still is compressed.
bool StoredUncompressed(Context& ctx, Handle handle, const std::string& path) {
  const std::uint8_t none[2] = {kCompressionFormatNone & 0xFF, kCompressionFormatNone >> 8};
  std::uint32_t returned = 0;
  ctx.platform.DeviceIoControl(handle, kFsctlSetCompression, none, sizeof none, nullptr, 0,
                               &returned);
  const std::uint32_t attributes = ctx.platform.GetFileAttributes(path);
  return attributes == kInvalidFileAttributes || (attributes & kFileAttributeCompressed) == 0;
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string TestFilePath(std::string_view drive, std::int32_t n) {
  std::string path(drive);
  path += "\\VCAPTEST";
  path += std::to_string(n);
  path += ".tmp";
  return path;
}

bool IsTestFileName(std::string_view name) {
  if (name.size() < 13 || !EqualsIgnoringCase(name.substr(0, 8), "VCAPTEST") ||
      !EqualsIgnoringCase(name.substr(name.size() - 4), ".tmp")) {
    return false;
  }
  const std::string_view number = name.substr(8, name.size() - 12);
  // File numbers are positive 32-bit values: at most ten digits, below 2^31.
  return number.size() <= 10 && AllDigits(number) && number[0] != '0' &&
         std::stoll(std::string(number)) <= 0x7FFFFFFF;
}

void FillTestBuffer(AppState& state) {
  if (!state.TestBuffer) {
    auto* bytes = static_cast<std::uint8_t*>(
        ::operator new[](kTestBufferBytes, std::align_val_t{kTestBufferAlignment}));
    state.TestBuffer = std::shared_ptr<std::uint8_t[]>(bytes, AlignedDelete{});
  }
  std::memset(state.TestBuffer.get(), kBackgroundByte, kTestBufferBytes);
}

std::string RemainingTimeText(std::int64_t elapsed_seconds, double planned_file_count,
                              std::int32_t n) {
  if (n <= 1) return {};
  const double elapsed = static_cast<double>(elapsed_seconds);
  const double planned = planned_file_count;
  double remaining = elapsed * (planned - n) / n;
  // The interim checks after files 15, 25, 45 and 85 still lie ahead.
  if (n < 16 && planned > 14) remaining += 20;
  if (n < 26 && planned > 24) remaining += 40;
  if (n < 46 && planned > 44) remaining += 60;
  if (n < 86 && planned > 84) remaining += 100;
  // The read-back of all files.
  remaining += (planned * elapsed / n) / 3;
  return ", " + ElapsedText(std::llround(remaining)) + " remaining ";
}

void WriteTestFile(Context& ctx, std::int32_t n) {
  AppState& s = ctx.state;
  if (!s.TestBuffer) FillTestBuffer(s);
  std::uint8_t* const buffer = s.TestBuffer.get();
  const auto marker = static_cast<std::uint8_t>(n & 0xFF);

  const std::int64_t marked = std::min<std::int64_t>(s.CurrentFileSize, kTestBufferBytes);
  for (std::int64_t i = 0; i <= marked - 1; i += kMarkerSpacingBytes) buffer[i] = marker;
  const auto number = static_cast<std::uint32_t>(n);
  for (int i = 0; i < 4; ++i) buffer[i] = static_cast<std::uint8_t>(number >> (8 * i));
  std::memcpy(buffer + 4, "FFF\r\n", 5);

  const std::string path = TestFilePath(s.SelectedDrive, n);
  const std::int64_t elapsed = SerialSeconds(ctx.platform.GetLocalTime()) - s.TestStartTime;
  AppendResult(ctx, " Writing " + path + RemainingTimeText(elapsed, s.PlannedFileCount, n));

  ctx.window.DoEvents();
  if (s.CancelRequested) return;

  NoteFailure(s, AppState::TestFileStep::kNone, 0);
  const Handle handle =
      ctx.platform.CreateFile(path, kGenericWrite, 0, kCreateNew, kTestFileWriteFlags);
  const bool opened = handle != kInvalidHandle && handle != 0;
  if (!opened) NoteFailure(s, AppState::TestFileStep::kCreate, ctx.platform.GetLastError());
  bool ok = opened && !s.CancelRequested;
  if (ok && !StoredUncompressed(ctx, handle, path)) {
    NoteFailure(s, AppState::TestFileStep::kCompressed, 0);
    ok = false;
  }

  std::int64_t remaining = s.CurrentFileSize;
  if (ok) {
    const std::int64_t piece = std::min<std::int64_t>(remaining, kTestPieceBytes);
    ok = WritePiece(ctx, handle, buffer, piece);
    remaining -= piece;
    // The later pieces carry the marker but no header.
    buffer[0] = marker;
    std::memset(buffer + 1, 0, 8);
  }
  for (int round = 0; ok && round < 3; ++round) {
    const std::int64_t piece = std::min<std::int64_t>(remaining, kTestPieceBytes);
    ctx.window.DoEvents();
    if (s.CancelRequested) {
      ok = false;
    } else if (piece > 0) {
      ok = WritePiece(ctx, handle, buffer, piece);
    }
    remaining -= kTestPieceBytes;
  }

  if (ok) {
    ctx.window.DoEvents();
    ctx.platform.FlushFileBuffers(handle);
    ctx.platform.CloseHandle(handle);
    return;
  }
  s.TestFileError = true;
  if (opened) ctx.platform.CloseHandle(handle);
}

}  // namespace veracap

// The writer, the verifier and the clean-up on their own, over cheap test
// files: what is written where, which offsets are sampled, which faults
// count. (Cancels at each yield: the whole runs in command_test.cpp.)
#include <gtest/gtest.h>

#include "app/clock.h"
#include "app/headless_window.h"
#include "filetest/cleanup.h"
#include "filetest/verifier.h"
#include "filetest/writer.h"
#include "support/filetest_cheap_files.h"
#include "support/stub_platform.h"

namespace veracap {
namespace {

using testing::CheapTestFiles;

// No devices at all: only a clock that tests move by hand, a folder search
// with scripted answers and a record of deletions.
class ClockOnlyPlatform : public testing::StubPlatform {
 public:
  LocalTime now{2026, 12, 6, 9, 0, 0};
  std::vector<std::string> found;    // what FindFiles answers
  std::vector<std::string> deleted;  // every DeleteFile path

  std::vector<std::string> FindFiles(const std::string&) override { return found; }
  bool DeleteFile(const std::string& path) override {
    deleted.push_back(path);
    return false;
  }
  LocalTime GetLocalTime() override { return now; }
};

class FileTestPieces : public ::testing::Test {
 protected:
  FileTestPieces() {
    state.SelectedDrive = "E:";
    state.PlannedFileCount = 300;
    state.TestStartTime = SerialSeconds(base.now);
  }
  void Write(std::int32_t n, std::int32_t size = kFullTestFileBytes) {
    state.CurrentFileSize = size;
    WriteTestFile(ctx, n);
  }
  bool Verify(std::int32_t n, std::int32_t size = kFullTestFileBytes) {
    state.CurrentFileSize = size;
    return VerifyTestFile(ctx, n);
  }

  ClockOnlyPlatform base;
  CheapTestFiles files{base, "E:", std::uint64_t{1} << 40};
  HeadlessWindow window;
  AppState state;
  Context ctx{files, window, state};
};

// Each piece goes out in WriteFile calls of 2 MiB at most; a marker every
// 16 KiB carries the file number, and the first of each piece the zeros of
// the header after it. A write that fails, or claims success but stored
// less, is an error: the file is not flushed and stays for the clean-up.
TEST_F(FileTestPieces, FilesArePiecesOfTheFixedPattern) {
  constexpr std::uint32_t kPiece = kTestPieceBytes;
  const struct {
    std::int32_t n, size;
    std::vector<std::uint32_t> pieces;  // {}: the write fails
    std::int64_t fail_from;             // writes from here on fail, or -1
    std::uint32_t short_write;
    std::int64_t size_left;
  } table[] = {
      {258, kFullTestFileBytes, {kPiece, kPiece, kPiece, kPiece}, -1, 0, kFullTestFileBytes},
      {1, 10240, {10240}, -1, 0, 10240},
      {3, 62914560, {kPiece, 10485760}, -1, 0, 62914560},
      {4, kFullTestFileBytes, {}, 2 * kPiece, 0, 2 * kPiece},
      {5, kFullTestFileBytes, {}, -1, 4096, 4096},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.n);
    files.write_lengths.clear();
    files.flushes = 0;
    state.TestFileError = false;
    files.fail_from = row.fail_from;
    files.short_write = row.short_write;
    Write(row.n, row.size);
    std::vector<std::uint32_t> calls;
    for (const std::uint32_t piece : row.pieces) {
      for (std::uint32_t done = 0; done < piece; done += kWriteCallBytes) {
        calls.push_back(std::min<std::uint32_t>(piece - done, kWriteCallBytes));
      }
    }
    EXPECT_TRUE(calls.empty() || files.write_lengths == calls);
    EXPECT_EQ(state.TestFileError, calls.empty());
    EXPECT_EQ(files.flushes, calls.empty() ? 0 : 1);
    EXPECT_EQ(files.open_count(), 0u);
    const CheapTestFiles::File* f = files.Find(TestFilePath("", row.n).substr(1));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size, row.size_left);
    const int header[10] = {row.n & 0xFF, row.n >> 8, 0, 0, 'F', 'F', 'F', '\r', '\n', 0xA5};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(f->At(i), header[i]) << i;
    for (std::int64_t at = kMarkerSpacingBytes; at < f->size; at += kMarkerSpacingBytes) {
      ASSERT_EQ(f->At(at), row.n & 0xFF) << at;
      for (int k = 1; k <= 8; ++k) ASSERT_EQ(f->At(at + k), at % kPiece ? 0xA5 : 0) << at + k;
    }
  }
}

// The verifier reads the header's sector, then the sector of every second
// marker from the first on, unbuffered (the wrapper refuses a read that is
// not whole sectors then). A wrong header fails once the samples are read, a
// wrong sample at once.
TEST_F(FileTestPieces, VerifierReadsTheHeaderAndEveryOddMarker) {
  Write(1);
  const CheapTestFiles::File written = *files.Find("VCAPTEST1.tmp");
  constexpr std::int32_t kFull = kFullTestFileBytes;
  const struct {
    const char* what;
    std::int64_t at;  // a byte set to 7, or -1
    std::int64_t size;
    std::int32_t verify_size;
    bool good;
    std::size_t seeks;  // 0: not counted
  } table[] = {
      {"as written", -1, kFull, kFull, true, 1 + 6400},
      {"other file number", 0, kFull, kFull, false, 1 + 6400},
      {"wrong header text", 4, kFull, kFull, false, 0},
      {"odd marker", 5 * 16384, kFull, kFull, false, 4},
      {"even marker, not read", 4 * 16384, kFull, kFull, true, 0},
      {"short file", -1, 100 * 1048576, kFull, false, 0},
      {"16 KiB: the header alone decides", -1, 16384, 16384, true, 1},
      {"shorter than the header", -1, 5, 1024, false, 0},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.what);
    CheapTestFiles::File& f = files.files["VCAPTEST1.TMP"] = written;
    f.size = row.size;
    if (row.at >= 0) f.Set(row.at, 7);
    files.seeks.clear();
    EXPECT_EQ(Verify(1, row.verify_size), row.good);
    EXPECT_TRUE(row.seeks == 0 || files.seeks.size() == row.seeks) << files.seeks.size();
    if (row.seeks == 1 + 6400) {
      EXPECT_EQ(files.seeks[1], 16384);
      EXPECT_EQ(files.seeks[2], 16384 + 32768);
      EXPECT_EQ(files.seeks.back(), 209698816);
    }
  }
  EXPECT_FALSE(Verify(2, 0));  // no such file
  EXPECT_EQ(state.GoodFileCount, 3);
  EXPECT_EQ(files.open_count(), 0u);
}

// What a wildcard search may let through besides test files stays; without
// a drive, or without test files, the clean-up says nothing.
TEST_F(FileTestPieces, CleanUpDeletesOnlyTestFilesAndSaysNothingWithoutThem) {
  base.found = {"VCAPTEST.tmpx", "notes.txt", "vcaptest9.TMP", "VCAPTEST_notes.tmp"};
  for (const char* drive : {"", "E", " :", "E:"}) {
    state.SelectedDrive = drive;
    cmdcleanup_Click(ctx);
  }
  EXPECT_EQ(state.results_log, "\r\nDeleting E:\\VCAPTEST*.tmp files...finished.");
  EXPECT_TRUE(base.deleted.empty());  // vcaptest9.TMP alone was deleted, by the wrapper
  base.found = {"VCAPTEST_notes.tmp", "VCAPTESTX.tmp"};
  cmdcleanup_Click(ctx);
  EXPECT_EQ(state.results_log, "\r\nDeleting E:\\VCAPTEST*.tmp files...finished.");
}

}  // namespace
}  // namespace veracap

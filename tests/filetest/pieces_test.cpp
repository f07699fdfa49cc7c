// The writer, the verifier and the clean-up on their own, over cheap test
// files: what is written where, which offsets are sampled, which faults
// count. (Cancels at each yield: the whole runs in command_test.cpp.)
#include <gtest/gtest.h>

#include <cstring>

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
    state.CurrentFileSize = kFullTestFileBytes;
    state.PlannedFileCount = 9;
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

// The WriteFile lengths of pieces of those sizes: each piece goes out in
// calls of kWriteCallBytes at most.
std::vector<std::uint32_t> Pieces(std::initializer_list<std::uint32_t> pieces) {
  std::vector<std::uint32_t> calls;
  for (const std::uint32_t piece : pieces) {
    for (std::uint32_t done = 0; done < piece; done += kWriteCallBytes) {
      calls.push_back(std::min<std::uint32_t>(piece - done, kWriteCallBytes));
    }
  }
  return calls;
}

TEST_F(FileTestPieces, FullFileIsFourPiecesOfTheFixedPattern) {
  state.PlannedFileCount = 300;
  Write(258);
  ASSERT_EQ(files.opens.size(), 1u);
  EXPECT_EQ(files.opens[0].path, "E:\\VCAPTEST258.tmp");
  EXPECT_EQ(files.opens[0].access, kGenericWrite);
  EXPECT_EQ(files.opens[0].share, 0u);
  // Created new, never through a link of that name: write-through,
  // unbuffered, normal, and the reparse point itself.
  EXPECT_EQ(files.opens[0].disposition, kCreateNew);
  EXPECT_EQ(files.opens[0].flags, 0xA0200080u);
  EXPECT_EQ(files.write_lengths, Pieces({52428800, 52428800, 52428800, 52428800}));
  EXPECT_EQ(files.flushes, 1);
  EXPECT_EQ(files.open_count(), 0u);
  EXPECT_FALSE(state.TestFileError);
  EXPECT_EQ(window.yields(), 5);
  EXPECT_EQ(state.results_log, " Writing E:\\VCAPTEST258.tmp, 00:00:00 remaining ");

  const CheapTestFiles::File* f = files.Find("VCAPTEST258.tmp");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->size, kFullTestFileBytes);
  const std::uint8_t header[10] = {0x02, 0x01, 0, 0, 'F', 'F', 'F', '\r', '\n', 0xA5};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(f->At(i), header[i]) << i;
  for (std::int64_t at = kMarkerSpacingBytes; at < kFullTestFileBytes; at += kMarkerSpacingBytes) {
    ASSERT_EQ(f->At(at), 0x02) << at;
    const bool piece_start = at % kTestPieceBytes == 0;
    for (int k = 1; k <= 8; ++k) ASSERT_EQ(f->At(at + k), piece_start ? 0 : 0xA5) << at + k;
    ASSERT_EQ(f->At(at + 9), 0xA5) << at + 9;
  }
}

TEST_F(FileTestPieces, ShortFilesTakeOnePieceOrTwo) {
  Write(1, 10240);
  EXPECT_EQ(files.write_lengths, Pieces({10240}));
  EXPECT_EQ(window.yields(), 5);  // the three later rounds still yield
  const CheapTestFiles::File* f = files.Find("VCAPTEST1.tmp");
  EXPECT_EQ(f->size, 10240);
  EXPECT_EQ(f->At(0), 1);
  EXPECT_EQ(f->At(8), '\n');

  files.write_lengths.clear();
  Write(3, 62914560);
  EXPECT_EQ(files.write_lengths, Pieces({52428800, 10485760}));
  f = files.Find("VCAPTEST3.tmp");
  EXPECT_EQ(f->At(kTestPieceBytes), 3);
  EXPECT_EQ(f->At(kTestPieceBytes + 8), 0);
  EXPECT_FALSE(state.TestFileError);
}

// A file that cannot be created, a write that fails after two pieces, and a
// write that claims success but stored less: each is an error, and the
// partial file stays for the clean-up.
TEST_F(FileTestPieces, WriteFaults) {
  struct Row {
    const char* what;
    bool fail_create;
    std::int64_t fail_from;  // position of the first failing write; -1 none
    std::uint32_t short_write;
    std::int64_t size_left;  // of the file; -1 no file
  };
  const Row table[] = {
      {"create fails", true, -1, 0, -1},
      {"third piece fails", false, 2 * kTestPieceBytes, 0, 2 * kTestPieceBytes},
      {"short write", false, -1, 4096, 4096},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    files.files.clear();
    files.flushes = 0;
    state.TestFileError = false;
    files.fail_create = row.fail_create;
    files.short_write_bytes = row.short_write;
    files.allow_write = [&row](const std::string&, std::int64_t position) {
      return row.fail_from < 0 || position < row.fail_from;
    };
    Write(1);
    EXPECT_TRUE(state.TestFileError);
    const CheapTestFiles::File* f = files.Find("VCAPTEST1.tmp");
    EXPECT_EQ(f ? f->size : -1, row.size_left);
    EXPECT_EQ(files.flushes, 0);
    EXPECT_EQ(files.open_count(), 0u);
  }
}

TEST_F(FileTestPieces, ProgressTextCarriesTheEstimateFromFileTwoOn) {
  Write(1, 10240);
  base.now.minute = 2;  // two minutes into the run
  Write(5, 10240);
  EXPECT_EQ(state.results_log,
            " Writing E:\\VCAPTEST1.tmp Writing E:\\VCAPTEST5.tmp, 00:02:48 remaining ");
}

TEST_F(FileTestPieces, VerifierReadsTheHeaderAndEveryOddMarker) {
  Write(3);
  files.seeks.clear();
  window = HeadlessWindow{};
  EXPECT_TRUE(Verify(3));
  // The sector of the header, then the sector of every second marker from
  // the first on, unbuffered (the wrapper refuses a read that is not whole
  // sectors then).
  ASSERT_EQ(files.seeks.size(), 1u + 6400u);
  EXPECT_EQ(files.seeks[0], 0);
  EXPECT_EQ(files.seeks[1], 16384);
  EXPECT_EQ(files.seeks[2], 16384 + 32768);
  EXPECT_EQ(files.seeks.back(), 209698816);
  EXPECT_EQ(state.GoodFileCount, 1);
  EXPECT_EQ(window.yields(), 1);
  EXPECT_EQ(files.open_count(), 0u);
  const CheapTestFiles::Open& open = files.opens.back();
  EXPECT_EQ(open.access, kGenericRead);
  EXPECT_EQ(open.disposition, kOpenExisting);
  EXPECT_EQ(open.flags & kFileFlagNoBuffering, kFileFlagNoBuffering);

  // No samples at all up to 16384 bytes: the header decides.
  files.seeks.clear();
  EXPECT_TRUE(Verify(3, 16384));
  EXPECT_EQ(files.seeks.size(), 1u);
  EXPECT_EQ(state.GoodFileCount, 2);
}

TEST_F(FileTestPieces, WrongHeaderFailsAfterTheSamplesWrongSampleAtOnce) {
  Write(1);
  files.files["VCAPTEST257.TMP"] = *files.Find("VCAPTEST1.tmp");
  files.seeks.clear();
  EXPECT_FALSE(Verify(257));  // same markers, other number
  EXPECT_EQ(files.seeks.size(), 1u + 6400u);
  EXPECT_EQ(state.GoodFileCount, 0);

  CheapTestFiles::File& f = *files.Find("VCAPTEST1.tmp");
  f.Set(5 * 16384, 0x07);
  files.seeks.clear();
  EXPECT_FALSE(Verify(1));
  EXPECT_EQ(files.seeks.back(), 5 * 16384);
  EXPECT_EQ(files.open_count(), 0u);
  EXPECT_EQ(state.GoodFileCount, 0);

  // Even markers, CR LF and the background are not looked at.
  f.Set(5 * 16384, 1);
  f.Set(4 * 16384, 0x07);
  f.Set(7, 0);
  f.Set(8, 0);
  f.Set(12, 0);
  EXPECT_TRUE(Verify(1));
  f.Set(4, 'G');
  EXPECT_FALSE(Verify(1));
  EXPECT_EQ(state.GoodFileCount, 1);
}

TEST_F(FileTestPieces, ShortOrMissingFilesAreBad) {
  Write(1);
  files.Find("VCAPTEST1.tmp")->size = 100 * 1048576;
  EXPECT_FALSE(Verify(1));
  files.Find("VCAPTEST1.tmp")->size = 5;
  EXPECT_FALSE(Verify(1, 1024));
  EXPECT_FALSE(Verify(2, 0));
  EXPECT_EQ(state.GoodFileCount, 0);
  EXPECT_EQ(files.open_count(), 0u);
}

TEST_F(FileTestPieces, InterimCheckReadsEveryFileEvenAfterABadOne) {
  for (int n = 1; n <= 15; ++n) Write(n);
  state.results_log.clear();
  files.Find("VCAPTEST3.tmp")->Set(16384, 9);
  files.opens.clear();
  CheckWrittenFiles(ctx, 15);
  EXPECT_EQ(files.opens.size(), 15u);
  EXPECT_TRUE(state.TestFileError);
  EXPECT_EQ(state.GoodFileCount, 14);
  EXPECT_EQ(state.results_log, " Checking...");

  files.Find("VCAPTEST3.tmp")->Set(16384, 3);
  state.TestFileError = false;
  state.results_log.clear();
  CheckWrittenFiles(ctx, 15);
  EXPECT_FALSE(state.TestFileError);
  EXPECT_EQ(state.GoodFileCount, 15);
  EXPECT_EQ(state.results_log, " Checking... OK");
}

TEST_F(FileTestPieces, CleanUpDeletesOnlyTestFilesAndSaysNothingWithoutThem) {
  cmdcleanup_Click(ctx);
  EXPECT_EQ(state.results_log, "");
  EXPECT_EQ(window.yields(), 0);

  // A user's files that the wildcard matches alone: nothing to do.
  base.found = {"VCAPTEST_notes.tmp", "VCAPTESTX.tmp"};
  cmdcleanup_Click(ctx);
  EXPECT_EQ(state.results_log, "");

  files.files["VCAPTEST1.TMP"] = {};
  // What a platform's wildcard search might let through besides test files.
  base.found = {"VCAPTEST.tmpx", "notes.txt", "vcaptest9.TMP", "VCAPTEST_notes.tmp"};
  cmdcleanup_Click(ctx);
  EXPECT_EQ(state.results_log, "\r\nDeleting E:\\VCAPTEST*.tmp files...finished.");
  EXPECT_EQ(window.yields(), 1);
  EXPECT_TRUE(files.files.empty());
  EXPECT_TRUE(base.deleted.empty());  // only vcaptest9.TMP was deleted, by the wrapper

  for (const char* drive : {"", "E", " :"}) {
    state.results_log.clear();
    state.SelectedDrive = drive;
    cmdcleanup_Click(ctx);
    EXPECT_EQ(state.results_log, "") << drive;
  }
}

}  // namespace
}  // namespace veracap

// The arithmetic of the Volume File Test: report figures and verdicts, the
// time estimate, the size texts and which names count as test files.
#include <gtest/gtest.h>

#include "filetest/report.h"
#include "filetest/writer.h"

namespace veracap {
namespace {

constexpr std::int32_t kLast49_999MiB = static_cast<std::int32_t>(49.999 * 1048576);

// A good run counts the last file with its real size; a failed one counts
// every good file as 200 MB; more than two thirds good is faulty, two thirds
// or fewer probably fake; a write error on the first file tests nothing.
TEST(VolumeTestFigures, FiguresAndVerdicts) {
  using V = FileTestVerdict;
  struct Row {
    std::int32_t written;
    double planned;
    std::int64_t good;
    std::int32_t last;
    std::int32_t tested_mb, good_mb;
    V verdict;
  };
  const Row table[] = {
      {9, 10, 10, kLast49_999MiB, 1850, 1850, V::kPassed},
      {5, 5, 5, 0, 1000, 1000, V::kPassed},
      {9, 10, 9, kLast49_999MiB, 1850, 1800, V::kFaulty},
      {10, 10, 7, 0, 2000, 1400, V::kFaulty},
      {10, 10, 6, 0, 2000, 1200, V::kProbablyFake},
      {3, 3, 2, 0, 600, 400, V::kProbablyFake},
      {0, 9, 0, 0, 0, 0, V::kProbablyFake},
  };
  for (const Row& r : table) {
    const VolumeTestFigures f = VolumeTestFiguresOf(r.written, r.planned, r.good, r.last);
    SCOPED_TRACE(std::to_string(r.written) + " written, " + std::to_string(r.good) + " good");
    EXPECT_EQ(f.tested_mb, r.tested_mb);
    EXPECT_EQ(f.good_mb, r.good_mb);
    EXPECT_EQ(f.verdict, r.verdict);
  }
}

TEST(VolumeTestFigures, DriveSizeAndLastFileTexts) {
  EXPECT_EQ(DriveMegabytes(524288), 0);  // half a MiB: halves go to the even neighbour
  EXPECT_EQ(DriveMegabytes(786432), 1);
  EXPECT_EQ(TwoDecimalsText(1234.5), "1,234.5");
  EXPECT_EQ(TwoDecimalsText(49.999), "50");
  EXPECT_EQ(TwoDecimalsText(1024.0 / 1048576), "0");
}

TEST(RemainingTimeText, AddsTheInterimChecksAndTheReadBack) {
  // 600 s for 10 of 90 files: 4800 s of writing, 220 s of checks, 1800 s of reading.
  EXPECT_EQ(RemainingTimeText(600, 90, 10), ", 01:53:40 remaining ");
  EXPECT_EQ(RemainingTimeText(600, 90, 50), ", 00:15:40 remaining ");
  // The last file: only the additions and the read-back remain.
  EXPECT_EQ(RemainingTimeText(300, 16, 16), ", 00:01:40 remaining ");
  // Spans of more than a day keep counting hours.
  EXPECT_EQ(RemainingTimeText(36000, 10, 2), ", 56:40:00 remaining ");
}

// Only names the writer makes are ever deleted: a user's file that the
// wildcard VCAPTEST*.tmp also matches is not one of them.
TEST(TestFileNames, OnlyNumberedNamesTheWriterMakes) {
  EXPECT_EQ(TestFilePath("E:", 10), "E:\\VCAPTEST10.tmp");
  for (const char* name : {"VCAPTEST1.tmp", "vcaptest7.TMP", "VCAPTEST2147483647.tmp"}) {
    EXPECT_TRUE(IsTestFileName(name)) << name;
  }
  for (const char* name :
       {"VCAPTESTX.tmp", "VCAPTEST.tmp", "VCAPTEST_notes.tmp", "VCAPTEST01.tmp", "VCAPTEST0.tmp",
        "VCAPTEST2147483648.tmp", "VCAPTEST99999999999.tmp", "VCAPTEST1 .tmp", "VCAPTEST-1.tmp",
        "VCAPTEST1.tmpx", "XVCAPTEST1.tmp", "VCAPTEST1.tmp.bak", "VCAPTES.tmp", "notes.txt", ""}) {
    EXPECT_FALSE(IsTestFileName(name)) << name;
  }
}

}  // namespace
}  // namespace veracap

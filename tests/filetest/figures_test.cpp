// The arithmetic of the Volume File Test: report figures and verdicts, the
// time estimate, the size texts and which names count as test files.
#include <gtest/gtest.h>

#include "filetest/report.h"
#include "filetest/writer.h"

namespace veracap {
namespace {

constexpr std::int32_t kLast49_999MiB = static_cast<std::int32_t>(49.999 * 1048576);

TEST(VolumeTestFigures, GoodRunCountsTheLastFileWithItsRealSize) {
  const VolumeTestFigures f = VolumeTestFiguresOf(9, 10, 10, kLast49_999MiB);
  EXPECT_EQ(f.tested_mb, 1850);
  EXPECT_EQ(f.good_mb, 1850);
  EXPECT_EQ(f.verdict, FileTestVerdict::kPassed);

  // Without a last file, every full file is 200 MB and the run still passes.
  const VolumeTestFigures g = VolumeTestFiguresOf(5, 5, 5, 0);
  EXPECT_EQ(g.tested_mb, 1000);
  EXPECT_EQ(g.good_mb, 1000);
  EXPECT_EQ(g.verdict, FileTestVerdict::kPassed);
}

TEST(VolumeTestFigures, FailedRunCountsEveryGoodFileAs200MB) {
  const VolumeTestFigures f = VolumeTestFiguresOf(9, 10, 9, kLast49_999MiB);
  EXPECT_EQ(f.tested_mb, 1850);
  EXPECT_EQ(f.good_mb, 1800);
  EXPECT_EQ(f.verdict, FileTestVerdict::kFaulty);
}

TEST(VolumeTestFigures, TwoThirdsRuleSeparatesFaultyFromProbablyFake) {
  EXPECT_EQ(VolumeTestFiguresOf(10, 10, 7, 0).verdict, FileTestVerdict::kFaulty);
  EXPECT_EQ(VolumeTestFiguresOf(10, 10, 6, 0).verdict, FileTestVerdict::kProbablyFake);
  EXPECT_EQ(VolumeTestFiguresOf(3, 3, 2, 0).verdict, FileTestVerdict::kProbablyFake);
  EXPECT_EQ(VolumeTestFiguresOf(10, 10, 7, 0).good_mb, 1400);
}

TEST(VolumeTestFigures, WriteErrorOnTheFirstFileTestsNothing) {
  const VolumeTestFigures f = VolumeTestFiguresOf(0, 9, 0, 0);
  EXPECT_EQ(f.tested_mb, 0);
  EXPECT_EQ(f.good_mb, 0);
  EXPECT_EQ(f.verdict, FileTestVerdict::kProbablyFake);
}

TEST(VolumeTestFigures, DriveSizeAndLastFileTexts) {
  EXPECT_EQ(DriveMegabytes(16006394880.0), 15265);
  EXPECT_EQ(DriveMegabytes(0), 0);
  EXPECT_EQ(DriveMegabytes(524288), 0);  // half a MiB: halves go to the even neighbour
  EXPECT_EQ(DriveMegabytes(786432), 1);
  EXPECT_EQ(TwoDecimalsText(49.9609375), "49.96");
  EXPECT_EQ(TwoDecimalsText(200), "200");
  EXPECT_EQ(TwoDecimalsText(1234.5), "1,234.5");
  EXPECT_EQ(TwoDecimalsText(49.999), "50");
  EXPECT_EQ(TwoDecimalsText(1024.0 / 1048576), "0");
}

TEST(RemainingTimeText, AddsTheInterimChecksAndTheReadBack) {
  EXPECT_EQ(RemainingTimeText(120, 9, 1), "");
  EXPECT_EQ(RemainingTimeText(0, 2, 2), ", 00:00:00 remaining ");
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

// The Quick Size Test from preparation to verdict, on emulated devices with
// a virtual clock, so whole results logs can be compared byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "diskio/volumes.h"
#include "quicktest/marker.h"
#include "quicktest/quick_size_engine.h"
#include "support/counting_platform.h"
#include "support/harness.h"

namespace veracap {
namespace {

using testing::Harness;
using Outcome = AppState::QuickOutcome;

constexpr std::int64_t kGenuineSectors = 64 * 25600;  // 800 MiB, 64 whole blocks
constexpr std::int64_t kFake32Sectors = 62332200;     // "32 GB", holds 4 GiB

const std::string kPassedText =
    "\r\nDevice quick test was OK    *** PASSED ***\r\n\r\nNOTE: Drive filesystem has been erased "
    "- please partition and format it, and then test with H2TESTW for thorough test.";
const std::string kRemovable =
    "\r\n\r\nINFO: This device is classed as a Removable Disk by Windows.";
const std::string kUnplugText =
    "\r\nUnplug and re-connect the drive, then reformat it using Windows or Kelvane.";
const std::string kFillOnlyNote =
    "\r\n\r\nNOTE: A counterfeit that stores every write in a log of its real size passes "
    "this test; only filling the drive finds it, which the Volume File Test (Test Empty Space) "
    "does.";
const std::string kFloodLine =
    "\r\nWriting 272.0MiB of other data to push the markers out of any write cache...";

std::string Manifest(std::int64_t claimed_sectors, const std::string& real,
                     const std::string& beyond, const std::string& extra = "") {
  return "disk 0\n  claimed 64GiB\n  bus sata\n  removable no\n"
         "  volume C: label \"SYSTEM\" capacity 60GiB\n"
         "disk 2\n  claimed " +
         std::to_string(claimed_sectors) + "s\n  real " + real + "\n  beyond " + beyond +
         "\n  vendor GENERIC\n  product \"USB FLASH DISK\"\n"
         "  volume E: label \"STICK\" capacity 4MiB\n" +
         extra;
}

// The progress lines of one pass at the given percentages (no time passes on
// the virtual clock within a pass).
std::string Progress(const char* label, std::initializer_list<int> percents) {
  std::string lines;
  for (const int p : percents)
    lines += "\r\n" + std::to_string(p) + label + "0 min 1 sec remaining";
  return lines;
}

class QuickSizeTestTest : public ::testing::Test {
 protected:
  // Disks in RAM, or in image files in images that a later run finds again.
  void Start(const std::string& manifest, std::int64_t sectors, const std::string& images = "") {
    harness_ = images.empty() ? std::make_unique<Harness>(manifest)
                              : std::make_unique<Harness>(manifest, images);
    ASSERT_TRUE(harness_->ok());
    AppState& s = harness_->state();
    s.SelectedDiskNumber = 2;
    s.DriveSizeBytes = static_cast<double>(sectors) * 512;
    s.MediaTypeText = "REMOVABLE MEDIA";
  }
  Harness& h() { return *harness_; }
  const std::vector<RecordedMessageBox>& Boxes() { return h().window().message_boxes(); }
  std::unique_ptr<Harness> harness_;
};

TEST_F(QuickSizeTestTest, GenuineDrivePassesWithTheWholeLog) {
  Start(Manifest(kGenuineSectors, "800MiB", "error"), kGenuineSectors);
  QuickSizeTest(h().ctx());
  const auto percents = {6, 12, 17, 23, 28, 34, 39, 45, 50, 56, 62, 67, 73, 78, 84, 89, 95, 100};
  EXPECT_EQ(h().log(), "\r\n\r\nWriting marker blocks to drive 2" +
                           Progress("% complete  - ", percents) + kFloodLine +
                           "\r\nReading back marker blocks..." +
                           Progress("% complete - ", percents) + "\r\nTest took 1 seconds.\r\n" +
                           kPassedText + kFillOnlyNote + kRemovable + kUnplugText);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[0].text, kPassedText);
  EXPECT_EQ(h().state().quick_outcome, Outcome::kPassed);

  // The first sector is left zeroed; the markers stay elsewhere.
  std::uint8_t sector[512];
  ASSERT_TRUE(h().platform().PeekSector(2, 0, sector));
  EXPECT_EQ(std::count(sector, sector + 512, 0), 512);
  ASSERT_TRUE(h().platform().PeekSector(2, kGenuineSectors - 1, sector));
  EXPECT_EQ(DecodeMarker(std::vector<std::uint8_t>(sector, sector + 512)), kGenuineSectors - 1);
}

TEST_F(QuickSizeTestTest, WrapCounterfeitFailsFromItsRealSize) {
  Start(Manifest(kFake32Sectors, "4GiB", "wrap"), kFake32Sectors);
  QuickSizeTest(h().ctx());
  const std::string failed =
      "\r\n                         *** FAILED ***\r\n\r\nDEVICE HAS DUPLICATE OR BAD "
      "BLOCKS!\r\n\r\nRecommended maximum usable partition size: 4,083.5Mib (approx. Last good "
      "Sector=8388608)\r\n";
  EXPECT_EQ(h().log(), "\r\n\r\nWriting marker blocks to drive 2" +
                           Progress("% complete  - ", {5,  10, 15, 20, 25, 30, 35, 40, 45, 50,
                                                       55, 60, 65, 70, 75, 80, 85, 90, 95, 100}) +
                           kFloodLine + "\r\nReading back marker blocks..." +
                           Progress("% complete - ", {5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60,
                                                      65, 70, 75, 80, 85, 90, 95}) +
                           "\r\nMemory tested in blocks of 25600 sectors."
                           // The highest bad marker, 118 blocks below the top, lies 7
                           // periods of 8,388,608 sectors above sector 591,143, which the
                           // flood overwrote.
                           "\r\n\r\nBAD MEMORY from sector 8388608 (4,096.0MiB) to sector 59311399 "
                           "(28,960.644Mib)\r\nTest took 1 seconds.\r\n" +
                           failed + kUnplugText);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[0].text, failed);
  EXPECT_EQ(Boxes()[0].style, kMbIconStop);
  EXPECT_EQ(h().state().quick_outcome, Outcome::kFailed);
}

// Pieces of the verdict by what the device does wrong. (Write caches and
// log-structured counterfeits of every size: the property test.)
TEST_F(QuickSizeTestTest, VerdictByDeviceModel) {
  const std::int64_t bad = kGenuineSectors - 1 - 5 * 25600;
  struct Row {
    const char* what;
    std::string manifest;
    std::int64_t sectors;
    Outcome outcome;
    std::vector<std::string> texts;  // each found in the log
  };
  const Row table[] = {
      {"zeros beyond 1 GiB",
       Manifest(31266816, "1GiB", "zeros"),
       31266816,
       Outcome::kFailed,
       {"\r\n\r\nBAD MEMORY from sector 2097152 (1,024.0MiB) to sector 31266815 (15,266.999Mib)",
        "\r\n\r\nWARNING: no memory detected at one or more locations.\r\nTest took",
        "size: 1,011.5Mib (approx. Last good Sector=2097152)"}},
      // The memory is good up to the marker below the unreadable one, not
      // beyond; the range is not one from beyond the disk.
      {"one unreadable block",
       Manifest(kGenuineSectors, "800MiB", "error",
                "  fault read-fail " + std::to_string(bad) + "\n"),
       kGenuineSectors,
       Outcome::kFailed,
       {"\r\n*** ERROR *** reading from drive 2 at Sector " + std::to_string(bad),
        "BAD MEMORY from sector " + std::to_string(bad - 25599) + " (725.0MiB) to sector " +
            std::to_string(bad) + " (737.499Mib)"}},
      // Bad memory in the first block recommends nothing, never a negative size.
      {"unreadable sector 0",
       Manifest(kGenuineSectors, "800MiB", "error", "  fault read-fail 0\n"),
       kGenuineSectors,
       Outcome::kFailed,
       {"\r\n*** ERROR *** at Sector 0",
        "Recommended maximum usable partition size: 0.0Mib (approx. Last good Sector=0)"}},
      {"smaller than one block",
       Manifest(16065, "16065s", "error"),
       16065,
       Outcome::kPassed,
       {"\r\n\r\nWriting marker blocks to drive 2\r\n100% complete  - 0 min 1 sec remaining"
        "\r\nReading back marker blocks...\r\n159% complete - 0 min 1 sec remaining"
        "\r\nTest took 1 seconds.\r\n" +
        kPassedText + kFillOnlyNote}},
      // 4096-byte logical sectors: every marker is a read-modify-write.
      {"zeros beyond 1 GiB, 4Kn",
       Manifest(31266816, "1GiB", "zeros", "  block 4096\n"),
       31266816,
       Outcome::kFailed,
       {"\r\n\r\nBAD MEMORY from sector 2097152 (1,024.0MiB)"}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Start(row.manifest, row.sectors);
    QuickSizeTest(h().ctx());
    EXPECT_EQ(h().state().quick_outcome, row.outcome);
    for (const std::string& text : row.texts) {
      EXPECT_NE(h().log().find(text), std::string::npos) << text;
    }
  }
}

TEST_F(QuickSizeTestTest, WritesTheGuardMarkersProbesAndFloodAndReadsWholeBlocks) {
  Start(Manifest(kFake32Sectors, std::to_string(kFake32Sectors) + "s", "error"), kFake32Sectors);
  testing::CountingPlatform counting(h().platform());
  Context ctx{counting, h().window(), h().state()};
  QuickSizeTest(ctx);

  // Sector 0 before the pass, the lowest block whole, the last sector, 22
  // probes (2^25 and 2^25 - 1 down to 2^15 and 2^15 - 1), 2,435 markers (the
  // last at sector 21,799), 272 MiB of flood and the wipe: 284.3 MiB, an
  // eighth of the 2.15 GB that a flooding peer writes.
  const std::int64_t sectors = 1 + 25600 + 1 + 22 + 2435 + 557056 + 1;
  EXPECT_EQ(h().platform().counters().bytes_written, static_cast<std::uint64_t>(sectors) * 512);
  EXPECT_EQ(counting.flushes, counting.writes);
  // 2,434 whole blocks read twice each, the lowest block in 13 requests,
  // then the probes, the last sector and sector 0 once each.
  EXPECT_EQ(counting.reads, 2434 * 2 + 13 + 22 + 1 + 1);
  std::uint8_t sector[512];
  ASSERT_TRUE(h().platform().PeekSector(2, 21799, sector));
  EXPECT_EQ(DecodeMarker(std::vector<std::uint8_t>(sector, sector + 512)), 21799);
}

// A stick that went read-only after a good run: its old markers are still
// there and read back fine, but this run's first write is refused. A write
// refused for a cause other than the memory (write protection, a drive pulled
// out, held by Windows, a transfer it cannot take) ends the test at once,
// with the cause and without a verdict on the memory.
TEST_F(QuickSizeTestTest, WriteRefusedForACauseOtherThanTheMemoryStopsTheTest) {
  testing::TempDir images;
  Start(Manifest(kGenuineSectors, "800MiB", "error"), kGenuineSectors, images.path());
  QuickSizeTest(h().ctx());
  ASSERT_EQ(h().state().quick_outcome, Outcome::kPassed);

  const std::int64_t bad = kGenuineSectors - 1 - 3 * 25600;
  const std::string fault = "  fault write-fail " + std::to_string(bad) + " error ";
  const struct {
    std::string extra;
    std::string cause;  // where and why it stopped
  } table[] = {
      {"  write-protected\n", "sector 23552: the drive is write-protected (error 19)"},
      {fault + "1167\n", "sector " + std::to_string(bad) +
                             ": the drive was removed or is no longer connected (error 1167)"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.extra);
    Start(Manifest(kGenuineSectors, "800MiB", "error", row.extra), kGenuineSectors, images.path());
    QuickSizeTest(h().ctx());
    const std::string verdict =
        "\r\n                         *** FAILED ***\r\n\r\nTHE DRIVE COULD NOT BE WRITTEN!\r\n\r\n"
        "Writing stopped at " +
        row.cause + ". Its memory was not tested.\r\n";
    const std::string tail = "\r\nTest took 1 seconds.\r\n" + verdict + kUnplugText;
    const std::string& log = h().log();
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_EQ(log.find("WRITE ERROR"), std::string::npos);
    EXPECT_EQ(log.find("Reading back"), std::string::npos);
    EXPECT_EQ(Boxes().at(0).text, verdict);
  }
}

// Every volume of the disk is locked and dismounted, letter or not, however
// many. One that another program holds is asked again for 15 seconds; if it
// stays held, nothing at all is written to the disk.
TEST_F(QuickSizeTestTest, VolumeHeldByAnotherProgram) {
  const std::string three =
      "  volume F: label \"F\" capacity 1MiB offset 6MiB\n"
      "  volume G: label \"G\" capacity 1MiB offset 7MiB\n"
      "  volume H: label \"H\" capacity 1MiB offset 8MiB\n";
  const std::string unnamed = "\\\\?\\Volume{veracap-disk2-5}\\";
  const struct {
    std::string fifth;  // the fifth volume
    std::string held;   // how the message names it; "" when it lets go in time
  } table[] = {
      {"  volume K: label \"HELD\" capacity 1MiB offset 9MiB in-use\n", "K:"},
      {"  volume - label \"HELD\" capacity 1MiB offset 9MiB in-use\n", unnamed},
      {"  volume - label \"HELD\" capacity 1MiB offset 9MiB in-use 3\n", ""},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.fifth);
    Start(Manifest(kGenuineSectors, "800MiB", "error", three + row.fifth), kGenuineSectors);
    QuickSizeTest(h().ctx());
    EXPECT_EQ(h().platform().open_handle_count(), 0u);
    const std::vector<std::string>& requests = h().platform().requests();
    if (row.held.empty()) {
      EXPECT_EQ(h().state().quick_outcome, Outcome::kPassed);
      for (const std::string v : {"E:", "F:", "G:", "H:", unnamed.c_str()}) {
        EXPECT_NE(std::find(requests.begin(), requests.end(), "FSCTL_DISMOUNT_VOLUME " + v),
                  requests.end())
            << v;
      }
      continue;
    }
    const std::string text =
        "CANNOT TEST: volume " + row.held +
        " of drive 2 could not be locked: a window or program is using it. Nothing was written."
        "\r\n\r\nClose what uses the drive (Explorer windows, a console in a folder on it, a "
        "virus scan, this program if it was started from it), then run the test again.";
    EXPECT_EQ(h().log(), "\r\n" + text);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, text);
    EXPECT_EQ(h().state().quick_outcome, Outcome::kNotRun);
    EXPECT_EQ(h().platform().counters().bytes_written, 0u);
    EXPECT_GE(h().platform().GetTickCount(), kLockWaitMs);
    EXPECT_LT(h().platform().GetTickCount(), kLockWaitMs + 1000);
    EXPECT_EQ(requests.back(), "FSCTL_UNLOCK_VOLUME " + row.held);
  }
}

// A failed marker write is retried at once when it failed fast; a slow one
// asks first, unless the program is quiet, and only OK goes on.
TEST_F(QuickSizeTestTest, WriteErrorAnswers) {
  const std::int64_t bad = kGenuineSectors - 1 - 3 * 25600;
  const std::string fault = "  fault write-fail " + std::to_string(bad);
  struct Row {
    const char* what;
    std::string fault;
    bool quiet;
    int answer;
    std::size_t question_boxes;
    Outcome outcome;
  };
  const Row table[] = {
      {"fast, once", fault + " times 1\n", false, kIdCancel, 0, Outcome::kPassed},
      {"slow, OK", fault + " delay 600 times 1\n", false, kIdOk, 1, Outcome::kPassed},
      {"slow, Cancel", fault + " delay 600\n", false, kIdCancel, 1, Outcome::kAborted},
      {"slow, quiet", fault + " delay 600\n", true, kIdOk, 0, Outcome::kAborted},
  };
  const std::string line = "\r\nWRITE ERROR: Sector = " + std::to_string(bad);
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Start(Manifest(kGenuineSectors, "800MiB", "error", row.fault), kGenuineSectors);
    h().state().QuietMode = row.quiet;
    h().window().ScriptAnswers({row.answer});
    QuickSizeTest(h().ctx());
    EXPECT_EQ(h().state().quick_outcome, row.outcome);
    const std::string& log = h().log();
    EXPECT_NE(log.find(line), std::string::npos);
    EXPECT_EQ(log.find(line, log.find(line) + 1), std::string::npos);  // logged once
    if (row.question_boxes == 1) {
      ASSERT_GE(Boxes().size(), 1u);
      EXPECT_EQ(Boxes()[0].text, "*** WRITE ERROR *** at Sector " + std::to_string(bad) +
                                     "\r\n\r\nNote: This could be caused by poor quality USB "
                                     "cable or bad device.\r\n\r\nContinue?");
      EXPECT_EQ(Boxes()[0].style, kMbOkCancel);
      EXPECT_EQ(Boxes()[0].title, "WRITE ERROR CAUSING SLOW ACCESS!");
    }
    if (row.outcome == Outcome::kAborted) {
      const std::string tail = line + "\r\nTEST ABORTED DUE TO WRITE ERROR!";
      EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
      EXPECT_EQ(Boxes().size(), row.question_boxes);
      EXPECT_EQ(h().platform().requests().back(), "FSCTL_UNLOCK_VOLUME E:");
    } else {
      EXPECT_EQ(Boxes().size(), row.question_boxes + 2);  // then the verdict and unplug
    }
    EXPECT_EQ(h().platform().open_handle_count(), 0u);
  }
}

// Markers above 2 TiB need more than 32 bits; zeros or 0xFF are no marker.
TEST(MarkerTest, EncodesSectorNumbersAndJudgesWhatComesBack) {
  std::vector<std::uint8_t> buffer(512, 0xFF);
  EncodeMarker(8589934590, buffer);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 8),
            (std::vector<std::uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0x80}));
  EXPECT_EQ(DecodeMarker(buffer), 8589934590);
  EXPECT_EQ(DecodeMarker(std::vector<std::uint8_t>(512, 0)), kNoMarker);
  EXPECT_GT(DecodeMarker(std::vector<std::uint8_t>(512, 0xFF)), 9.2e18);
}

}  // namespace
}  // namespace veracap

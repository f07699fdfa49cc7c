// The Quick Size Test from preparation to verdict, on emulated devices with
// a virtual clock, so whole results logs can be compared byte for byte.
#include "quicktest/quick_size_engine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "platform/platform_wrapper.h"
#include "quicktest/marker.h"
#include "support/harness.h"

namespace veracap {
namespace {

using testing::Harness;

constexpr std::int64_t kGenuineSectors = 64 * 25600;  // 800 MiB, 64 whole blocks
constexpr std::int64_t kFake32Sectors = 62332200;     // "32 GB", holds 4 GiB

const char* const kPassedText =
    "\r\nDevice quick test was OK    *** PASSED ***\r\n\r\nNOTE: Drive filesystem has been erased "
    "- please partition and format it, and then test with H2TESTW for thorough test.";
const char* const kUnplugText =
    "\r\nUnplug and re-connect the drive, then reformat it using Windows or Kelvane.";

std::string Manifest(std::int64_t claimed_sectors, const std::string& real,
                     const std::string& beyond, const std::string& extra = "") {
  return "disk 0\n  claimed 64GiB\n  bus sata\n  removable no\n  volume C: label \"SYSTEM\" "
         "capacity "
         "60GiB\n"
         "disk 2\n  claimed " +
         std::to_string(claimed_sectors) + "s\n  real " + real + "\n  beyond " + beyond +
         "\n  bus usb\n  vendor GENERIC\n  product \"USB FLASH DISK\"\n  removable yes\n"
         "  volume E: label \"STICK\" capacity 4MiB\n" +
         extra;
}

// Progress lines as the rule gives them: a line whenever the whole
// percentage done has grown by more than 4 since the last line, or is above
// 99. Every step covers one block; the write pass's last step covers what
// is left. With the virtual clock no time passes within a pass.
std::string ProgressLines(std::int64_t sectors, const char* label, bool write_pass) {
  const std::int64_t whole_blocks = sectors / 25600;
  const std::int64_t steps =
      write_pass ? (sectors + 25599) / 25600 : std::max<std::int64_t>(1, whole_blocks);
  std::string lines;
  std::int64_t last = 0;
  for (std::int64_t k = 1; k <= steps; ++k) {
    const std::int64_t done = write_pass ? std::min(k * 25600, sectors) : k * 25600;
    const std::int64_t percent = done * 100 / sectors;
    if (percent > last + 4 || percent > 99) {
      lines += "\r\n" + std::to_string(percent) + label + "0 min 1 sec remaining";
      last = percent;
    }
  }
  return lines;
}

class QuickSizeTestTest : public ::testing::Test {
 protected:
  void Start(const std::string& manifest, std::int64_t sectors) {
    harness_ = std::make_unique<Harness>(manifest);
    ASSERT_TRUE(harness_->ok());
    AppState& s = harness_->state();
    s.SelectedDiskNumber = 2;
    s.DriveSizeBytes = static_cast<double>(sectors) * 512;
    s.MediaTypeText = "REMOVABLE MEDIA";
  }
  Harness& h() { return *harness_; }
  std::unique_ptr<Harness> harness_;
};

TEST_F(QuickSizeTestTest, GenuineDrivePassesWithTheWholeLog) {
  Start(Manifest(kGenuineSectors, "800MiB", "error"), kGenuineSectors);
  QuickSizeTest(h().ctx());

  const std::string expected =
      "\r\n\r\nWriting marker blocks to drive 2" +
      ProgressLines(kGenuineSectors, "% complete  - ", true) + "\r\nReading back marker blocks..." +
      ProgressLines(kGenuineSectors, "% complete - ", false) + "\r\nTest took 1 seconds.\r\n" +
      kPassedText + "\r\n\r\nINFO: This device is classed as a Removable Disk by Windows." +
      kUnplugText;
  EXPECT_EQ(h().log(), expected);
  ASSERT_EQ(h().window().message_boxes().size(), 2u);
  EXPECT_EQ(h().window().message_boxes()[0].text, kPassedText);
  EXPECT_EQ(h().window().message_boxes()[0].style, 64);
  EXPECT_EQ(h().window().message_boxes()[0].title, "VERACAP");
  EXPECT_EQ(h().window().message_boxes()[1].style, 0);
  EXPECT_EQ(h().state().quick_outcome, AppState::QuickOutcome::kPassed);
  EXPECT_EQ(h().platform().open_handle_count(), 0u);

  // The first sector is left zeroed; the markers stay elsewhere.
  std::uint8_t sector[512];
  ASSERT_TRUE(h().platform().PeekSector(2, 0, sector));
  EXPECT_EQ(std::count(sector, sector + 512, 0), 512);
  ASSERT_TRUE(h().platform().PeekSector(2, kGenuineSectors - 1, sector));
  std::vector<std::uint8_t> buffer(sector, sector + 512);
  EXPECT_EQ(DecodeMarker(buffer), kGenuineSectors - 1);
}

TEST_F(QuickSizeTestTest, WrapCounterfeitFailsFromItsRealSize) {
  Start(Manifest(kFake32Sectors, "4GiB", "wrap"), kFake32Sectors);
  QuickSizeTest(h().ctx());

  const std::string failed =
      "\r\n                         *** FAILED ***\r\n\r\nDEVICE HAS DUPLICATE OR BAD "
      "BLOCKS!\r\n\r\n"
      "Recommended maximum usable partition size: 4,083.5Mib (approx. Last good "
      "Sector=8388608)\r\n";
  const std::string expected =
      "\r\n\r\nWriting marker blocks to drive 2" +
      ProgressLines(kFake32Sectors, "% complete  - ", true) + "\r\nReading back marker blocks..." +
      ProgressLines(kFake32Sectors, "% complete - ", false) +
      "\r\nMemory tested in blocks of 25600 sectors."
      "\r\n\r\nBAD MEMORY from sector 8388608 (4,096.0MiB) to sector 33554432 (16,384.0Mib)"
      "\r\nTest took 1 seconds.\r\n" +
      failed + kUnplugText;
  EXPECT_EQ(h().log(), expected);
  ASSERT_EQ(h().window().message_boxes().size(), 2u);
  EXPECT_EQ(h().window().message_boxes()[0].text, failed);
  EXPECT_EQ(h().window().message_boxes()[0].style, 16);
  EXPECT_EQ(h().state().quick_outcome, AppState::QuickOutcome::kFailed);
}

// Counts what reaches the device and catches a handle closed twice.
class CountingPlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  bool WriteFile(Handle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    ++writes;
    return PlatformWrapper::WriteFile(h, b, n, w);
  }
  bool ReadFile(Handle h, void* b, std::uint32_t n, std::uint32_t* r) override {
    ++reads;
    return PlatformWrapper::ReadFile(h, b, n, r);
  }
  bool FlushFileBuffers(Handle h) override {
    ++flushes;
    return PlatformWrapper::FlushFileBuffers(h);
  }
  bool CloseHandle(Handle h) override {
    if (h > 0 && !closed.insert(h).second) ++double_closes;
    return PlatformWrapper::CloseHandle(h);
  }
  int writes = 0, reads = 0, flushes = 0, double_closes = 0;
  std::set<Handle> closed;
};

TEST_F(QuickSizeTestTest, WritesOneMarkerPerBlockPlusProbesAndReadsWholeBlocks) {
  Start(Manifest(kFake32Sectors, std::to_string(kFake32Sectors) + "s", "error"), kFake32Sectors);
  CountingPlatform counting(h().platform());
  Context ctx{counting, h().window(), h().state()};
  QuickSizeTest(ctx);

  const std::vector<std::int64_t> probes = WrapProbeSectors(kFake32Sectors);
  ASSERT_EQ(probes.size(), 11u);  // 2^25 down to 2^15
  EXPECT_EQ(probes.front(), 33554432);
  EXPECT_EQ(probes.back(), 32768);
  // 2,435 markers, the last at sector 21,799; then sector 0 before and after
  // the pass, the probe of the last sector, the wrap probes, and the wipe.
  const int markers = 2435;
  EXPECT_EQ(counting.writes, 1 + 1 + 11 + markers + 1 + 1);
  EXPECT_EQ(counting.flushes, counting.writes);
  // 2,434 whole blocks read twice each, then the last sector, the probes and
  // sector 0 once each.
  EXPECT_EQ(counting.reads, 2434 * 2 + 1 + 11 + 1);
  EXPECT_EQ(counting.double_closes, 0);
  EXPECT_EQ(h().state().quick_outcome, AppState::QuickOutcome::kPassed);

  std::uint8_t sector[512];
  ASSERT_TRUE(h().platform().PeekSector(2, 21799, sector));
  std::vector<std::uint8_t> buffer(sector, sector + 512);
  EXPECT_EQ(DecodeMarker(buffer), 21799);
}

TEST_F(QuickSizeTestTest, ZeroCounterfeitWarnsOfMissingMemory) {
  const std::int64_t sectors = 31266816;  // "16 GB", holds 1 GiB
  Start(Manifest(sectors, "1GiB", "zeros"), sectors);
  QuickSizeTest(h().ctx());
  const std::string& log = h().log();
  EXPECT_NE(log.find("\r\n\r\nBAD MEMORY from sector 2097152 (1,024.0MiB) to sector 31266815 "
                     "(15,266.999Mib)"),
            std::string::npos);
  EXPECT_NE(log.find("\r\n\r\nWARNING: no memory detected at one or more locations.\r\nTest took"),
            std::string::npos);
  EXPECT_NE(log.find("size: 1,011.5Mib (approx. Last good Sector=2097152)"), std::string::npos);
}

TEST_F(QuickSizeTestTest, DiskSmallerThanOneBlock) {
  const std::int64_t sectors = 16065;
  Start(Manifest(sectors, "16065s", "error"), sectors);
  QuickSizeTest(h().ctx());
  EXPECT_EQ(h().log(), std::string("\r\n\r\nWriting marker blocks to drive 2"
                                   "\r\n100% complete  - 0 min 1 sec remaining"
                                   "\r\nReading back marker blocks..."
                                   "\r\n159% complete - 0 min 1 sec remaining"
                                   "\r\nTest took 1 seconds.\r\n") +
                           kPassedText +
                           "\r\n\r\nINFO: This device is classed as a Removable Disk by Windows." +
                           kUnplugText);
}

TEST_F(QuickSizeTestTest, SizeThatIsNotWholeSectorsCountsWholeSectors) {
  Start(Manifest(kGenuineSectors, "800MiB", "error"), kGenuineSectors);
  h().state().DriveSizeBytes += 300;
  h().state().MediaTypeText = "";
  QuickSizeTest(h().ctx());
  EXPECT_EQ(h().state().quick_outcome, AppState::QuickOutcome::kPassed);
  EXPECT_NE(h().log().find("Fixed Disk by Windows."), std::string::npos);
  EXPECT_EQ(h().log().find("ERROR"), std::string::npos);
}

TEST_F(QuickSizeTestTest, FastWriteErrorIsRetriedWithoutAsking) {
  const std::int64_t bad = kGenuineSectors - 1 - 10 * 25600;
  Start(Manifest(kGenuineSectors, "800MiB", "error",
                 "  fault write-fail " + std::to_string(bad) + " times 1\n"),
        kGenuineSectors);
  QuickSizeTest(h().ctx());
  const std::string line = "\r\nWRITE ERROR: Sector = " + std::to_string(bad);
  EXPECT_NE(h().log().find(line), std::string::npos);
  EXPECT_EQ(h().log().find(line, h().log().find(line) + 1), std::string::npos);
  EXPECT_EQ(h().window().message_boxes().size(), 2u);  // verdict and unplug only
  EXPECT_EQ(h().state().quick_outcome, AppState::QuickOutcome::kPassed);
}

TEST_F(QuickSizeTestTest, SlowWriteErrorAsksAndOkGoesOn) {
  const std::int64_t bad = kGenuineSectors - 1 - 3 * 25600;
  Start(Manifest(kGenuineSectors, "800MiB", "error",
                 "  fault write-fail " + std::to_string(bad) + " delay 600 times 1\n"),
        kGenuineSectors);
  h().window().ScriptAnswers({kIdOk});
  QuickSizeTest(h().ctx());
  ASSERT_GE(h().window().message_boxes().size(), 1u);
  const RecordedMessageBox& box = h().window().message_boxes()[0];
  EXPECT_EQ(box.text, "*** WRITE ERROR *** at Sector " + std::to_string(bad) +
                          "\r\n\r\nNote: This could be caused by poor quality USB cable or bad "
                          "device.\r\n\r\nContinue?");
  EXPECT_EQ(box.style, 1);
  EXPECT_EQ(box.title, "WRITE ERROR CAUSING SLOW ACCESS!");
  EXPECT_EQ(h().state().quick_outcome, AppState::QuickOutcome::kPassed);
}

TEST_F(QuickSizeTestTest, SlowWriteErrorCancelledOrQuietAbortsAndReleasesTheDisk) {
  for (const bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "quiet" : "answered Cancel");
    const std::int64_t bad = kGenuineSectors - 1 - 3 * 25600;
    Start(Manifest(kGenuineSectors, "800MiB", "error",
                   "  fault write-fail " + std::to_string(bad) + " delay 600\n"),
          kGenuineSectors);
    h().state().QuietMode = quiet;
    h().window().ScriptAnswers({kIdCancel});
    QuickSizeTest(h().ctx());
    const std::string tail =
        "\r\nWRITE ERROR: Sector = " + std::to_string(bad) + "\r\nTEST ABORTED DUE TO WRITE ERROR!";
    ASSERT_GE(h().log().size(), tail.size());
    EXPECT_EQ(h().log().substr(h().log().size() - tail.size()), tail);
    EXPECT_EQ(h().window().message_boxes().size(), quiet ? 0u : 1u);
    EXPECT_EQ(h().platform().open_handle_count(), 0u);
    EXPECT_EQ(h().platform().requests().back(), "FSCTL_UNLOCK_VOLUME E:");
    EXPECT_EQ(h().state().quick_outcome, AppState::QuickOutcome::kAborted);
  }
}

TEST_F(QuickSizeTestTest, CancelAtFirstAndMiddleStep) {
  for (const long press_at : {1L, 40L}) {
    SCOPED_TRACE(press_at);
    Start(Manifest(kGenuineSectors, "800MiB", "error"), kGenuineSectors);
    h().window().on_yield = [&](long n) {
      if (n == press_at) h().state().CancelRequested = true;
    };
    QuickSizeTest(h().ctx());
    const std::string& log = h().log();
    EXPECT_EQ(log.substr(log.size() - 15), "\r\nTEST ABORTED!");
    EXPECT_EQ(log.find("Reading back"), std::string::npos);
    EXPECT_EQ(h().platform().open_handle_count(), 0u);
    EXPECT_EQ(h().platform().requests().back(), "FSCTL_UNLOCK_VOLUME E:");
    EXPECT_FALSE(h().window().control(Control::cmdCancel).visible);
    if (press_at == 1) {
      EXPECT_EQ(log, "\r\n\r\nWriting marker blocks to drive 2\r\nTEST ABORTED!");
    } else {
      EXPECT_NE(log.find("% complete  - "), std::string::npos);
    }
    // Sector 0 keeps the 0xFF fill of the preparation.
    std::uint8_t sector[512];
    ASSERT_TRUE(h().platform().PeekSector(2, 0, sector));
    EXPECT_EQ(std::count(sector, sector + 512, 0xFF), 512);
  }
}

TEST_F(QuickSizeTestTest, FailingReadIsLoggedAndJudgedOnTheBuffer) {
  const std::int64_t bad = kGenuineSectors - 1 - 5 * 25600;
  Start(Manifest(kGenuineSectors, "800MiB", "error",
                 "  fault read-fail " + std::to_string(bad) + "\n"),
        kGenuineSectors);
  QuickSizeTest(h().ctx());
  const std::string& log = h().log();
  EXPECT_NE(log.find("\r\n*** ERROR *** reading from drive 2 at Sector " + std::to_string(bad)),
            std::string::npos);
  // One bad block is reported as itself, not as a range from beyond the disk.
  EXPECT_NE(log.find("BAD MEMORY from sector " + std::to_string(bad) + " (737.499MiB) to sector " +
                     std::to_string(bad) + " (737.499Mib)"),
            std::string::npos);
  EXPECT_EQ(h().state().quick_outcome, AppState::QuickOutcome::kFailed);
}

TEST_F(QuickSizeTestTest, BadMemoryInTheFirstBlockRecommendsNothingRatherThanANegativeSize) {
  Start(Manifest(kGenuineSectors, "800MiB", "error", "  fault read-fail 0\n"), kGenuineSectors);
  QuickSizeTest(h().ctx());
  EXPECT_NE(h().log().find("\r\n*** ERROR *** at Sector 0"), std::string::npos);
  EXPECT_NE(h().log().find("Recommended maximum usable partition size: 0.0Mib (approx. Last good "
                           "Sector=0)"),
            std::string::npos);
}

TEST_F(QuickSizeTestTest, RefusesTheSystemDiskAndNumbersAboveEighty) {
  for (const std::int32_t disk : {0, 81, -1}) {
    Start(Manifest(kGenuineSectors, "800MiB", "error"), kGenuineSectors);
    CountingPlatform counting(h().platform());
    Context ctx{counting, h().window(), h().state()};
    h().state().SelectedDiskNumber = disk;
    QuickSizeTest(ctx);
    EXPECT_EQ(counting.writes, 0);
    EXPECT_EQ(h().log(), "");
  }
}

TEST_F(QuickSizeTestTest, DebugModeTracesLockDismountAndEveryTransfer) {
  Start(Manifest(16065, "16065s", "error"), 16065);
  h().state().DebugMode = true;
  QuickSizeTest(h().ctx());
  const std::string& log = h().log();
  const auto lock = log.find(" Lock_Unlock_All_Volumes - Volume E: LOCKED");
  const auto dismount = log.find(" DisMount_All_Volumes for Drive 2");
  const auto write = log.find("\r\nWrite sector to 16064");
  const auto read = log.find("\r\nRead from sector 16064");
  ASSERT_NE(lock, std::string::npos);
  ASSERT_NE(dismount, std::string::npos);
  EXPECT_LT(lock, dismount);
  EXPECT_LT(dismount, write);
  EXPECT_LT(write, read);
  // Trace lines carry the local date and time of the virtual clock.
  EXPECT_NE(log.find("\r\n2026-12-06 09:00:00 Get_Drive_Volumes for drive 2"), std::string::npos);
  const std::vector<std::string>& requests = h().platform().requests();
  const std::vector<std::string> first{
      "FSCTL_LOCK_VOLUME E:", "FSCTL_DISMOUNT_VOLUME E:", "FSCTL_LOCK_VOLUME E:",
      "FSCTL_DISMOUNT_VOLUME E:", "FSCTL_UNLOCK_VOLUME E:"};
  ASSERT_GE(requests.size(), first.size() + 1);
  EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + 5), first);
  EXPECT_EQ(requests.back(), "FSCTL_UNLOCK_VOLUME E:");
}

TEST(MarkerTest, EncodesSectorNumbersAndJudgesWhatComesBack) {
  std::vector<std::uint8_t> buffer(512, 0xFF);
  const auto bytes = [&](double sector) {
    EncodeMarker(sector, buffer);
    return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 8);
  };
  EXPECT_EQ(bytes(0), (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0x80}));
  EXPECT_EQ(bytes(1000000), (std::vector<std::uint8_t>{0x40, 0x42, 0x0F, 0, 0, 0, 0, 0x80}));
  EXPECT_EQ(bytes(62332199), (std::vector<std::uint8_t>{0x27, 0x1D, 0xB7, 0x03, 0, 0, 0, 0x80}));
  EXPECT_EQ(bytes(8589934590), (std::vector<std::uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0x80}));
  EXPECT_EQ(std::count(buffer.begin() + 8, buffer.end(), 0xFF), 504);  // fill untouched
  EXPECT_EQ(DecodeMarker(buffer), 8589934590);

  std::vector<std::uint8_t> zeros(512, 0);
  EXPECT_EQ(DecodeMarker(zeros), kNoMarker);
  std::vector<std::uint8_t> ones(512, 0xFF);
  EXPECT_GT(DecodeMarker(ones), 9.2e18);
}

}  // namespace
}  // namespace veracap

// Whole runs of the Volume File Test on emulated volumes: the results log of
// each kind of ending byte for byte, the message boxes, the test files left
// behind or removed, and that nothing else on the volume is touched. Then
// what stops a run without being the memory's fault (filetest/obstacles.h): a
// name in the way of a test file, a read-only volume, a volume that fills up
// under the test or compresses new files; each ends with a message that says
// so, never with a verdict on the drive.
#include <gtest/gtest.h>

#include <map>

#include "app/controls.h"
#include "app/headless_window.h"
#include "app/results_log.h"
#include "filetest/cleanup.h"
#include "filetest/file_test_command.h"
#include "filetest/obstacles.h"
#include "filetest/verifier.h"
#include "filetest/writer.h"
#include "support/counting_platform.h"
#include "support/emulated_test_support.h"
#include "support/filetest_cheap_files.h"

namespace veracap {
namespace {

using Outcome = AppState::VolumeOutcome;
constexpr std::uint64_t kMiB = 1048576;
constexpr const char* kTitle = "VERACAP v1.1.1  [Qmx]";
constexpr const char* kPassedMessage =
    "\r\nThe unused file space on this drive volume seems good, however to ensure the memory is "
    "not faulty, I recommend you run the Quick Size Test.";
constexpr const char* kFakeMessage =
    "\r\nTHIS DRIVE IS PROBABLY FAKE (COUNTERFEIT) OR FAULTY - THE CONTENTS MAY NOW BE CORRUPT!";
constexpr const char* kAbortWrite = "\r\nTEST ABORTED (test files may be present)!";
constexpr const char* kAbortVerify = "\r\nTEST ABORTED (use Clean-up to delete test files)!";
constexpr const char* kCleanedUp = "\r\nDeleting E:\\VCAPTEST*.tmp files...finished.";

// 460 MiB volume with two files on a genuine 480 MiB stick: 456.98 MiB free,
// so two full files and a last one of 56.98 MiB; the stick counts 478 MB.
constexpr const char* kGenuine =
    "disk 1\n claimed 480MiB\n vendor GENERIC\n product \"GENUINE STICK\"\n"
    " volume E: label \"GENUINE\" capacity 460MiB\n file \"PHOTO1.JPG\" 3MiB\n"
    " file \"NOTES.TXT\" 12345\n";
// One full file and a last one of 60 MiB less 1 KiB.
constexpr const char* kSmall =
    "disk 1\n claimed 300MiB\n volume E: label \"SMALL\" capacity 260MiB\n";
constexpr const char* kFourFiles =
    "disk 1\n claimed 1000MiB\n volume E: label \"CANCEL\" capacity 900MiB\n";

// A 460 MiB volume: two full files and a last one. The user's own file
// VCAPTEST_notes.tmp matches the test files' wildcard and must stay.
std::string Obstacle(const std::string& volume_flags, const std::string& extra_file = "") {
  return "disk 1\n claimed 480MiB\n volume E: label \"STICK\" capacity 460MiB " + volume_flags +
         "\n file \"VCAPTEST_notes.tmp\" 5000\n" + extra_file + "\n";
}

// The pieces of a results log.
std::string Entry(const std::string& drive) { return drive + "     TEST    DRIVE 1"; }
std::string Header(const std::string& drive = "E:") {
  return std::string("Veracap - Volume File Test\r\n") + kTitle + "\r\n\r\n" + Entry(drive);
}
std::string Plan(int tested_mb, int drive_mb, int files) {
  return "\r\n\r\nWarning: Testing " + std::to_string(tested_mb) +
         "MB out of reported drive size of " + std::to_string(drive_mb) + "MB\r\nWriting " +
         std::to_string(files) + " x 200MB files...";
}
// Files from..to, each after the first with its estimate.
std::string Files(int from, int to, const std::string& remaining = "00:00:00",
                  const std::string& drive = "E:") {
  std::string text;
  for (int n = from; n <= to; ++n) {
    text += "\r\n00:00:00 Writing " + TestFilePath(drive, n);
    if (n > 1) text += ", " + remaining + " remaining ";
  }
  return text;
}
std::string LastFile(int n, const std::string& mb) {
  return "\r\nWriting last file (" + mb + "MB)" + Files(n, n);
}
std::string Verifying(int full, int last = 0) {
  return "\r\nVerifying files 1 - " + std::to_string(full) + "..." +
         (last > 0 ? "\r\nVerifying file " + std::to_string(last) + "..." : "");
}
std::string Finished(int tested_mb, const std::string& time, const std::string& verdict) {
  return "\r\n-----------------------\r\nTEST FINISHED\r\n" + std::to_string(tested_mb) +
         "MB of filespace was tested.\r\nTest Time = " + time + "\r\n\r\n" + verdict +
         "\r\n\r\nDeleting test files - please wait... Finished.\r\n";
}
std::string Passed(int mb, int drive_mb) {
  const std::string m = std::to_string(mb);
  return Finished(mb, "00:00:00", "PASSED: " + m + "MB tested and OK.") + "\r\nNote: " + m +
         "MB out of " + std::to_string(drive_mb) + "MB were tested for integrity." + kPassedMessage;
}
std::string Failed(int tested_mb, int good_mb, const std::string& time = "00:00:00") {
  return Finished(tested_mb, time,
                  "TEST FAILED: Only " + std::to_string(good_mb) + "MB out of the " +
                      std::to_string(tested_mb) + "MB tested were good.") +
         kFakeMessage;
}
// The obstacle volume's run up to its first file.
std::string Started() { return Header() + Plan(459, 478, 2) + Files(1, 1); }

class VolumeFileTestRun : public ::testing::Test {
 protected:
  // A fresh state, window and set of devices; with cheap_free, a
  // CheapTestFiles with that much free space keeps the test files on E:.
  void Start(const std::string& manifest,
             const std::string& drive = "E:", std::uint64_t cheap_free = 0) {
    ctx_.reset();
    cheap_.reset();
    recorder_.reset();
    platform_.reset();
    dir_ = std::make_unique<testing::TempDir>();
    window_ = HeadlessWindow{};
    // The program keeps its test-file buffer for its whole life; so do the
    // runs of one test.
    auto buffer = std::move(state_.TestBuffer);
    state_ = AppState{};
    state_.TestBuffer = std::move(buffer);
    platform_ = testing::MakePlatform(manifest, dir_->path());
    recorder_ = std::make_unique<testing::CountingPlatform>(*platform_);
    ctx_ = std::make_unique<Context>(Context{*recorder_, window_, state_});
    state_.TitleLine = kTitle;
    state_.SelectedDrive = drive;
    SetItems(*ctx_, Control::Combo1, {Entry(drive)}, 0);
    if (cheap_free > 0) {
      cheap_ = std::make_unique<testing::CheapTestFiles>(*recorder_, "E:", cheap_free);
      ctx_ = std::make_unique<Context>(Context{*cheap_, window_, state_});
    }
  }
  // Cancel at the k-th yield after the log has come to hold the text.
  void CancelAtYieldAfter(const std::string& text, int k) {
    window_.on_yield = [this, text, k, seen = false, count = 0](long) mutable {
      if (!seen) seen = state_.results_log.find(text) != std::string::npos;
      if (seen && ++count == k) state_.CancelRequested = true;
    };
  }
  // The files in the drive's root with their attributes.
  std::map<std::string, std::uint32_t> RootFiles() {
    std::map<std::string, std::uint32_t> files;
    for (const auto& name : ctx_->platform.FindFiles(state_.SelectedDrive + "\\*")) {
      files[name] = ctx_->platform.GetFileAttributes(state_.SelectedDrive + "\\" + name);
    }
    return files;
  }
  std::size_t TestFilesLeft() {
    std::size_t n = 0;
    for (const auto& [name, attributes] : RootFiles()) n += IsTestFileName(name);
    return n;
  }
  void ExpectOnlyTestFilesTouched() {
    for (const auto* paths : {&recorder_->created, &recorder_->deleted}) {
      for (const auto& path : *paths) {
        EXPECT_TRUE(path.rfind(state_.SelectedDrive + "\\", 0) == 0 &&
                    IsTestFileName(path.substr(3)))
            << path;
      }
    }
    EXPECT_EQ(platform_->counters().sector_writes, 0u);  // no raw disk writes
    EXPECT_EQ(platform_->open_handle_count(), 0u);
  }

  std::unique_ptr<testing::TempDir> dir_;
  std::unique_ptr<emulated::EmulatedPlatform> platform_;
  std::unique_ptr<testing::CountingPlatform> recorder_;
  std::unique_ptr<testing::CheapTestFiles> cheap_;
  HeadlessWindow window_;
  AppState state_;
  std::unique_ptr<Context> ctx_;
};

// Each kind of verdict with its whole log; the test files are gone after it
// and the user's files are as they were.
TEST_F(VolumeFileTestRun, VerdictsWithTheirWholeLogs) {
  const std::string small = Plan(260, 298, 1) + Files(1, 1) + LastFile(2, "60");
  const struct {
    const char* what;
    const char* manifest;
    const char* drive;
    std::string log;
  } table[] = {
      {"genuine", kGenuine, "E:",
       Plan(456, 478, 2) + Files(1, 2) + LastFile(3, "56.98") + Verifying(2, 3) + Passed(457, 478)},
      // A volume of 4 KiB sectors takes unbuffered writes of whole sectors
      // only: the last file is cut to them (60 MiB less 4 KiB, not 1 KiB), on
      // a volume formatted so as on a 4Kn disk.
      {"4 KiB sectors",
       "disk 1\n claimed 300MiB\n volume E: label \"V\" capacity 260MiB sector 4096\n",
       "E:", small + Verifying(1, 2) + Passed(260, 298)},
      {"4Kn disk", "disk 1\n claimed 300MiB\n block 4096\n volume E: label \"V\" capacity 260MiB\n",
       "E:", small + Verifying(1, 2) + Passed(260, 298)},
      // 512 MiB of memory under "3.5 GB": the files wrap onto each other, so
      // the check after file 15 finds all but the last two overwritten.
      {"counterfeit",
       "disk 2\n claimed 3500MiB\n real 512MiB\n beyond wrap\n"
       " volume F: label \"FAKE\" capacity 3200MiB\n",
       "F:",
       Plan(3200, 3499, 16) + Files(1, 15, "00:00:20", "F:") + " Checking...\r\nDATA ERROR!" +
           Verifying(15) + Failed(3000, 400)},
      // The first file's second piece meets a write error that takes a day
      // and more: nothing was tested, and the clock shows every hour of it.
      {"slow write error in file 1",
       "disk 1\n claimed 1000MiB\n fault write-fail 131072 delay 90061000\n"
       " volume E: label \"FAULTY\" capacity 900MiB\n",
       "E:",
       Plan(900, 996, 4) + Files(1, 1) + "\r\nWRITE ERROR!" + Verifying(0) +
           Failed(0, 0, "25:01:01")},
      // Sector 471040, 230 MiB into the disk, lies inside the last file, which
      // begins at 201 MiB (the volume's offset and one full file).
      {"write error in the last file",
       "disk 1\n claimed 300MiB\n fault write-fail 471040\n"
       " volume E: label \"LASTBAD\" capacity 260MiB\n",
       "E:", small + "\r\nDATA ERROR!" + Verifying(1) + Failed(260, 200)},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.what);
    Start(row.manifest, row.drive);
    const auto before = RootFiles();
    cmdVolumeTest_Click(*ctx_);
    EXPECT_EQ(state_.results_log, Header(row.drive) + row.log);
    const bool passed = row.log.find(kPassedMessage) != std::string::npos;
    EXPECT_EQ(state_.volume_outcome, passed ? Outcome::kPassed : Outcome::kProbablyFake);
    ASSERT_EQ(window_.message_boxes().size(), 2u);
    EXPECT_EQ(window_.message_boxes()[1].text, passed ? kPassedMessage : kFakeMessage);
    EXPECT_EQ(window_.message_boxes()[1].style, passed ? kMbIconInformation : kMbIconStop);
    EXPECT_EQ(RootFiles(), before);
    ExpectOnlyTestFilesTouched();
    EXPECT_TRUE(StateOf(state_, Control::cmdVolumeTest).enabled);
    EXPECT_FALSE(StateOf(state_, Control::cmdCancel).visible);
  }
}

// The interim checks read every file written so far; a file read through the
// system's cache stays in it, and would read back good after a counterfeit
// has overwritten it on the drive. A "8 MiB" stick holding 3 MiB: file 2
// wraps onto the first MiB of file 1.
TEST_F(VolumeFileTestRun, SamplesComeFromTheDriveNotFromTheSystemCache) {
  Start(
      "disk 2\n claimed 8MiB\n real 3MiB\n beyond wrap\n volume F: label \"FAKE\" capacity 6MiB\n",
      "F:");
  state_.CurrentFileSize = 2 * 1048576;
  WriteTestFile(*ctx_, 1);
  EXPECT_TRUE(VerifyTestFile(*ctx_, 1));
  WriteTestFile(*ctx_, 2);
  EXPECT_FALSE(VerifyTestFile(*ctx_, 1));
  EXPECT_TRUE(VerifyTestFile(*ctx_, 2));
  EXPECT_FALSE(state_.TestFileError);
}

// A cancel while writing (or checking) leaves the files for the clean-up; one
// in the read-back ends without a verdict, even at the last file's end.
TEST_F(VolumeFileTestRun, CancelsByYield) {
  const std::string small = Plan(260, 298, 1) + Files(1, 1) + LastFile(2, "60") + Verifying(1);
  const std::string four = Plan(900, 996, 4) + Files(1, 1);
  const struct {
    const char* after;
    int yield;
    const char* manifest;
    std::uint64_t cheap_free;  // 0: files on the emulated volume
    std::string log;
    std::size_t files_left;
  } table[] = {
      {"Writing E:\\VCAPTEST1", 2, kFourFiles, 0, four + kAbortWrite, 1},  // between pieces
      // At the yield that ends file 1's round: seen when the next line begins.
      {"Writing E:\\VCAPTEST1", 8, kFourFiles, 0, four + "\r\n00:00:00" + kAbortWrite, 1},
      {"Writing E:\\VCAPTEST1", 9, kFourFiles, 0, four + Files(2, 2) + kAbortWrite, 1},
      {" Checking...", 3, kSmall, 20 * 200 * kMiB,
       Plan(4000, 298, 20) + Files(1, 15, "00:00:20") + " Checking..." + kAbortWrite, 15},
      {"Verifying files", 1, kSmall, 0, small + kAbortVerify, 2},
      {"Verifying file 2", 1, kSmall, 0, small + "\r\nVerifying file 2..." + kAbortVerify, 2},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(std::string(row.after) + " " + std::to_string(row.yield));
    Start(row.manifest, "E:", row.cheap_free);
    CancelAtYieldAfter(row.after, row.yield);
    cmdVolumeTest_Click(*ctx_);
    EXPECT_EQ(state_.results_log, Header() + row.log);
    EXPECT_EQ(TestFilesLeft(), row.files_left);
    EXPECT_EQ(state_.volume_outcome, Outcome::kAborted);
    EXPECT_EQ(window_.message_boxes().size(), 1u);  // the question only, no verdict
    EXPECT_FALSE(StateOf(state_, Control::cmdCancel).visible);

    state_.results_log.clear();
    cmdcleanup_Click(*ctx_);
    EXPECT_EQ(state_.results_log, kCleanedUp);
    EXPECT_EQ(TestFilesLeft(), 0u);
    ExpectOnlyTestFilesTouched();
  }
}

// Runs that end without a verdict on the drive, and write faults that get
// one: the user's files (and whatever is named like a test file) are left as
// they were, and nothing is created before the first file's line.
TEST_F(VolumeFileTestRun, RefusalsObstaclesAndWriteFaults) {
  const std::string refusals =
      "disk 0\n claimed 2GiB\n bus sata\n volume C: label \"SYSTEM\" capacity 1GiB\n"
      "disk 1\n claimed 300MiB\n volume E: label \"FULL\" capacity 199MiB\n"
      "disk 2\n claimed 1000MiB\n no-capacity\n no-length\n"
      " volume F: label \"NOSIZE\" capacity 900MiB\n"
      "disk 3\n claimed 1000MiB\n volume G: label \"ASK\" capacity 900MiB\n";
  const auto in_the_way = [](bool cleaned, const std::string& path, const std::string& what) {
    return Header() + (cleaned ? kCleanedUp : "") + "\r\nCANNOT TEST: E:\\" + path +
           " already exists and is " + what +
           ". It was left as it is and nothing was written; move or rename it, then run the "
           "test again.";
  };
  // The message that ends the log and is the last message box.
  const auto cannot = [](const std::string& why) {
    return "CANNOT TEST: E:\\VCAPTEST1.tmp cannot be created: the volume " + why +
           ". Nothing was written.";
  };
  const auto stopped = [](const std::string& reason) {
    return "TEST STOPPED: E:\\VCAPTEST2.tmp could not be written: " + reason +
           ". The test file written before it read back good. No verdict is given on the drive; "
           "the test files were deleted.";
  };
  const std::string read_only = cannot("is write-protected or read-only (error 19)");
  const std::string compressing =
      cannot("stores new files compressed, so the test data would not fill the memory");
  const std::string full = "the volume is full: another program may be writing to it (error ";
  const std::string stops[] = {
      stopped(full + "112)"), stopped(full + "39)"),
      stopped("the volume is write-protected or read-only (error 19)"),
      stopped("access was denied: the volume is read-only or the name is in use (error 5)")};
  const std::string second = Started() + Files(2, 2) + "\r\nWRITE ERROR!" + Verifying(1);
  const char* hidden = "a hidden, system or read-only file";
  enum Setup { kNone, kCancelAsk, kKeepsCompressing };
  const struct {
    std::string manifest;
    const char* drive;
    Setup setup;
    const char* fail_file;  // its second write fails with fail_error
    std::uint32_t fail_error;
    std::string log;  // the whole log; a part of it when there is a verdict
    std::string box;  // the last message box; "" not looked at
    Outcome outcome;
  } table[] = {
      // No drive and a drive without a disk say nothing at all.
      {refusals, "", kNone, "", 0, "earlier text", "", Outcome::kNotRun},
      {refusals, "E", kNone, "", 0, "earlier text", "", Outcome::kNotRun},
      {refusals, "Q:", kNone, "", 0, "earlier text", "", Outcome::kNotRun},
      {refusals, "C:", kNone, "", 0, "earlier text", "DRIVE 0 cannot be tested: it holds Windows.",
       Outcome::kNotRun},
      {refusals, "E:", kNone, "", 0, Header(), "ERROR: Drive not formatted or volume too full!",
       Outcome::kNotRun},
      {refusals, "F:", kNone, "", 0, Header("F:"),
       "Please run this application with Administrator rights.", Outcome::kNotRun},
      {refusals, "G:", kCancelAsk, "", 0,
       Header("G:") + "\r\n\r\nWarning: Testing 900MB out of reported drive size of 996MB",
       "OK to fill G: with 900MB of test files?\r\n\r\nWARNING: If this device is 'fake', this "
       "operation could corrupt all your files.\r\n\r\nTip: Close all instances of Windows "
       "Explorer to improve the speed.",
       Outcome::kNotRun},
      {Obstacle("", "file \"VCAPTEST1.tmp\" 0 link"), "E:", kNone, "", 0,
       in_the_way(false, "VCAPTEST1.tmp", "a link (symbolic link or junction)"), "",
       Outcome::kNotRun},
      {Obstacle("", "file \"VCAPTEST2.tmp\" 0 folder"), "E:", kNone, "", 0,
       in_the_way(false, "VCAPTEST2.tmp", "a folder"), "", Outcome::kNotRun},
      {Obstacle("", "file \"VCAPTEST3.tmp\" 0 pipe"), "E:", kNone, "", 0,
       in_the_way(false, "VCAPTEST3.tmp", "a device, pipe or socket"), "", Outcome::kNotRun},
      {Obstacle("", "file \"vcaptest1.TMP\" 4KiB hidden"), "E:", kNone, "", 0,
       in_the_way(false, "VCAPTEST1.tmp", hidden), "", Outcome::kNotRun},
      {Obstacle("", "file \"VCAPTEST2.tmp\" 4KiB system"), "E:", kNone, "", 0,
       in_the_way(false, "VCAPTEST2.tmp", hidden), "", Outcome::kNotRun},
      // The clean-up tried to delete it, and could not.
      {Obstacle("", "file \"VCAPTEST1.tmp\" 4KiB readonly"), "E:", kNone, "", 0,
       in_the_way(true, "VCAPTEST1.tmp", hidden), "", Outcome::kNotRun},
      {Obstacle("readonly"), "E:", kNone, "", 0, Started() + "\r\n" + read_only, read_only,
       Outcome::kNotRun},
      {Obstacle("compressed"), "E:", kKeepsCompressing, "", 0, Started() + "\r\n" + compressing,
       compressing, Outcome::kNotRun},
      // A write that fails partway for a cause that is not the memory.
      {Obstacle(""), "E:", kNone, "VCAPTEST2.tmp", kErrorDiskFull, second + "\r\n" + stops[0],
       stops[0], Outcome::kStopped},
      {Obstacle(""), "E:", kNone, "VCAPTEST2.tmp", kErrorHandleDiskFull, second + "\r\n" + stops[1],
       stops[1], Outcome::kStopped},
      {Obstacle(""), "E:", kNone, "VCAPTEST2.tmp", kErrorWriteProtect, second + "\r\n" + stops[2],
       stops[2], Outcome::kStopped},
      {Obstacle(""), "E:", kNone, "VCAPTEST2.tmp", kErrorAccessDenied, second + "\r\n" + stops[3],
       stops[3], Outcome::kStopped},
      // An I/O or data error is the memory's and is judged.
      {Obstacle(""), "E:", kNone, "VCAPTEST2.tmp", kErrorCrc, second, "", Outcome::kProbablyFake},
      // A file system that keeps records of a large file in the free space
      // it reported (ext4) is full before the last file is: a shorter one is
      // written and the drive still gets its verdict.
      {Obstacle(""), "E:", kNone, "VCAPTEST3.tmp", kErrorDiskFull,
       "\r\nThe volume keeps part of its free space for its own records: writing a shorter last "
       "file.\r\nWriting last file (52.49MB)",
       "", Outcome::kPassed},
      // A counterfeit's lost writes can wreck the file system's records and
      // make the volume look full: a file written before came back bad, so
      // the memory is at fault.
      {"disk 1\n claimed 1000MiB\n real 300MiB\n beyond zeros\n"
       " volume E: label \"FAKE\" capacity 900MiB\n",
       "E:", kNone, "VCAPTEST3.tmp", kErrorDiskFull, "\r\nWRITE ERROR!" + Verifying(2), "",
       Outcome::kProbablyFake},
      // Compression is turned off for the test files.
      {Obstacle("compressed"), "E:", kNone, "", 0, "PASSED", "", Outcome::kPassed},
  };
  for (const auto& row : table) {
    SCOPED_TRACE("row " + std::to_string(&row - table));
    Start(row.manifest, row.drive);
    const auto before = RootFiles();
    recorder_->fail_file = row.fail_file;
    recorder_->fail_error = row.fail_error;
    recorder_->ignore_compression_request = row.setup == kKeepsCompressing;
    if (row.setup == kCancelAsk) window_.ScriptAnswers({kIdCancel});
    SetResultText(*ctx_, "earlier text");
    cmdVolumeTest_Click(*ctx_);
    if (row.outcome == Outcome::kPassed || row.outcome == Outcome::kProbablyFake) {
      EXPECT_NE(state_.results_log.find(row.log), std::string::npos) << state_.results_log;
    } else {
      EXPECT_EQ(state_.results_log, row.log);
    }
    if (!row.box.empty()) {
      ASSERT_FALSE(window_.message_boxes().empty());
      EXPECT_EQ(window_.message_boxes().back().text, row.box);
    }
    EXPECT_EQ(state_.volume_outcome, row.outcome);
    EXPECT_EQ(RootFiles(), before);
    if (row.outcome == Outcome::kNotRun && row.log.find("Writing E:") == std::string::npos) {
      EXPECT_TRUE(recorder_->created.empty());
    }
    ExpectOnlyTestFilesTouched();
  }
}

// Ninety cheap files and a last one: the interim checks come after files 15,
// 25, 45 and 85 and nowhere else, and the estimates count them. Less than 2
// KiB left after the full files: no last file, and the file number after
// them is not looked for (a stray one must not count).
TEST_F(VolumeFileTestRun, RunsOfCheapFiles) {
  const struct {
    std::uint64_t free;
    std::size_t checks;
    std::vector<std::string> parts;
    const char* never_opened;
  } table[] = {
      {(90 * 200 + 10) * kMiB + 1024,
       4,
       {Files(15, 15, "00:03:40") + " Checking... OK\r\n",
        Files(25, 25, "00:03:20") + " Checking... OK\r\n",
        Files(45, 45, "00:02:40") + " Checking... OK\r\n",
        Files(85, 85, "00:01:40") + " Checking... OK\r\n",
        Files(90, 90) + LastFile(91, "10") + Verifying(90, 91),
        "\r\n\r\nPASSED: 18010MB tested and OK.\r\n"},
       "VCAPTEST92"},
      {400 * kMiB + 2047,
       0,
       {Files(2, 2) + Verifying(2, 3) + "\r\n---", "PASSED: 400MB"},
       "VCAPTEST3"},
  };
  for (const auto& row : table) {
    Start(kSmall, "E:", row.free);
    cmdVolumeTest_Click(*ctx_);
    const std::string& log = state_.results_log;
    std::size_t checks = 0;
    for (auto at = log.find("Checking"); at != std::string::npos;
         at = log.find("Checking", at + 1)) {
      ++checks;
    }
    EXPECT_EQ(checks, row.checks);
    for (const auto& part : row.parts) EXPECT_NE(log.find(part), std::string::npos) << part;
    for (const auto& path : cheap_->opened)
      EXPECT_EQ(path.find(row.never_opened), std::string::npos);
    EXPECT_TRUE(cheap_->files.empty());  // the report deleted them all
  }
}

TEST(CauseOtherThanMemory, OnlyTheStepAndCodeThatAreNotTheMemorys) {
  using Step = AppState::TestFileStep;
  EXPECT_NE(CauseOtherThanMemory(Step::kCreate, kErrorFileExists), "");
  EXPECT_NE(CauseOtherThanMemory(Step::kCreate, kErrorSharingViolation), "");
  EXPECT_EQ(CauseOtherThanMemory(Step::kNone, kErrorDiskFull), "");  // a cancel, not a failure
  EXPECT_EQ(CauseOtherThanMemory(Step::kWrite, 0), "");              // a short write
  for (const std::uint32_t memory_error : {kErrorCrc, 29u, 1117u}) {
    EXPECT_EQ(CauseOtherThanMemory(Step::kWrite, memory_error), "") << memory_error;
  }
}

}  // namespace
}  // namespace veracap

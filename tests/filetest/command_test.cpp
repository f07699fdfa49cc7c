// Whole runs of the Volume File Test on emulated volumes, and what stops a
// run without being the memory's fault (filetest/obstacles.h): each ends with
// a message that says so, never with a verdict on the drive.
#include <gtest/gtest.h>

#include <algorithm>
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

  std::unique_ptr<testing::TempDir> dir_;
  std::unique_ptr<emulated::EmulatedPlatform> platform_;
  std::unique_ptr<testing::CountingPlatform> recorder_;
  std::unique_ptr<testing::CheapTestFiles> cheap_;
  HeadlessWindow window_;
  AppState state_;
  std::unique_ptr<Context> ctx_;
};

// Whole runs, each ended its own way: the log byte for byte (a piece of it
// where the verdict's text is proven elsewhere), the outcome, the last message
// box (a verdict's, or the log's "CANNOT TEST" or "TEST STOPPED"), and the
// volume as it was: the user's files (and whatever is named like a test file)
// untouched, the test files deleted by the run or, after a cancel, by the
// clean-up. Nothing is created before the first file's line.
TEST_F(VolumeFileTestRun, EveryEndingWithItsLog) {
  using O = Outcome;
  const std::string refusals =
      "disk 0\n claimed 2GiB\n bus sata\n volume C: label \"SYSTEM\" capacity 1GiB\n"
      "disk 1\n claimed 300MiB\n volume E: label \"FULL\" capacity 199MiB\n"
      "disk 2\n claimed 1000MiB\n no-capacity\n no-length\n"
      " volume F: label \"NOSIZE\" capacity 900MiB\n"
      "disk 3\n claimed 1000MiB\n volume G: label \"ASK\" capacity 900MiB\n";
  const std::string small = Header() + Plan(260, 298, 1) + Files(1, 1) + LastFile(2, "60");
  const std::string four = Header() + Plan(900, 996, 4) + Files(1, 1);
  const std::string second = Started() + Files(2, 2) + "\r\nWRITE ERROR!" + Verifying(1) + "\r\n";
  const std::string cannot = Started() + "\r\nCANNOT TEST: E:\\VCAPTEST1.tmp cannot be created: ";
  struct Row {
    std::string manifest;
    const char* drive;
    std::string log;  // the whole log; with part, a piece of it
    O outcome = O::kNotRun;
    std::string box = "";  // the last message box, when not the verdict's or the log's
    bool part = false;
    const char* fail_file = "";  // its second write fails with fail_error
    std::uint32_t fail_error = 0;
    const char* cancel_after = "";  // Cancel at the yield-th yield after the log holds it,
    int yield = 0;
    std::size_t left = 0;          // leaving that many test files
    std::uint64_t cheap_free = 0;  // test files kept by CheapTestFiles
    bool ask_cancel = false, keeps_compressing = false;
  };
  const char* first = "Writing E:\\VCAPTEST1";
  // clang-format off
  std::vector<Row> table = {
      {kGenuine, "E:", Header() + Plan(456, 478, 2) + Files(1, 2) + LastFile(3, "56.98") +
       Verifying(2, 3) + Passed(457, 478), O::kPassed},
      // A volume of 4 KiB sectors takes unbuffered writes of whole sectors
      // only: the last file is cut to them (60 MiB less 4 KiB, not 1 KiB), on
      // a volume formatted so as on a 4Kn disk.
      {"disk 1\n claimed 300MiB\n volume E: label \"V\" capacity 260MiB sector 4096\n", "E:",
       small + Verifying(1, 2) + Passed(260, 298), O::kPassed},
      {"disk 1\n claimed 300MiB\n block 4096\n volume E: label \"V\" capacity 260MiB\n", "E:",
       small + Verifying(1, 2) + Passed(260, 298), O::kPassed},
      // 512 MiB of memory under "3.5 GB": the files wrap onto each other, so
      // the check after file 15 finds all but the last two overwritten.
      {"disk 2\n claimed 3500MiB\n real 512MiB\n beyond wrap\n"
       " volume F: label \"FAKE\" capacity 3200MiB\n", "F:",
       Header("F:") + Plan(3200, 3499, 16) + Files(1, 15, "00:00:20", "F:") +
       " Checking...\r\nDATA ERROR!" + Verifying(15) + Failed(3000, 400), O::kProbablyFake},
      // The first file's second piece meets a write error that takes a day
      // and more: nothing was tested, and the clock shows every hour of it.
      {"disk 1\n claimed 1000MiB\n fault write-fail 131072 delay 90061000\n"
       " volume E: label \"FAULTY\" capacity 900MiB\n", "E:",
       four + "\r\nWRITE ERROR!" + Verifying(0) + Failed(0, 0, "25:01:01"), O::kProbablyFake},
      // Sector 471040, 230 MiB into the disk, lies inside the last file, which
      // begins at 201 MiB (the volume's offset and one full file).
      {"disk 1\n claimed 300MiB\n fault write-fail 471040\n"
       " volume E: label \"LASTBAD\" capacity 260MiB\n", "E:",
       small + "\r\nDATA ERROR!" + Verifying(1) + Failed(260, 200), O::kProbablyFake},
      // A cancel while writing (or checking) leaves the files for the
      // clean-up; one in the read-back ends without a verdict, even at the
      // last file's end. Between pieces; at the yield that ends file 1's
      // round (seen when the next line begins); after it.
      {kFourFiles, "E:", four + kAbortWrite, O::kAborted, "", false, "", 0, first, 2, 1},
      {kFourFiles, "E:", four + "\r\n00:00:00" + kAbortWrite, O::kAborted, "", false, "", 0,
       first, 8, 1},
      {kFourFiles, "E:", four + Files(2, 2) + kAbortWrite, O::kAborted, "", false, "", 0, first,
       9, 1},
      {kSmall, "E:", Header() + Plan(4000, 298, 20) + Files(1, 15, "00:00:20") + " Checking..." +
       kAbortWrite, O::kAborted, "", false, "", 0, " Checking...", 3, 15, 20 * 200 * kMiB},
      {kSmall, "E:", small + Verifying(1) + kAbortVerify, O::kAborted, "", false, "", 0,
       "Verifying files", 1, 2},
      {kSmall, "E:", small + Verifying(1) + "\r\nVerifying file 2..." + kAbortVerify,
       O::kAborted, "", false, "", 0, "Verifying file 2", 1, 2},
      // No drive and a drive without a disk say nothing at all.
      {refusals, "", "earlier text"},
      {refusals, "E", "earlier text"},
      {refusals, "Q:", "earlier text"},
      {refusals, "C:", "earlier text", O::kNotRun, "DRIVE 0 cannot be tested: it holds Windows."},
      {refusals, "E:", Header(), O::kNotRun, "ERROR: Drive not formatted or volume too full!"},
      {refusals, "F:", Header("F:"), O::kNotRun,
       "Please run this application with Administrator rights."},
      {refusals, "G:",
       Header("G:") + "\r\n\r\nWarning: Testing 900MB out of reported drive size of 996MB",
       O::kNotRun, "OK to fill G: with 900MB of test files?\r\n\r\nWARNING: If this device is "
       "'fake', this operation could corrupt all your files.\r\n\r\nTip: Close all instances of "
       "Windows Explorer to improve the speed.", false, "", 0, "", 0, 0, 0, true},
      {Obstacle("readonly"), "E:",
       cannot + "the volume is write-protected or read-only (error 19). Nothing was written."},
      {Obstacle("compressed"), "E:", cannot + "the volume stores new files compressed, so the "
       "test data would not fill the memory. Nothing was written.", O::kNotRun, "", false, "", 0,
       "", 0, 0, 0, false, true},
      // An I/O or data error is the memory's and is judged.
      {Obstacle(""), "E:", second, O::kProbablyFake, "", true, "VCAPTEST2.tmp", kErrorCrc},
      // A file system that keeps records of a large file in the free space
      // it reported (ext4) is full before the last file is: a shorter one is
      // written and the drive still gets its verdict.
      {Obstacle(""), "E:", "\r\nThe volume keeps part of its free space for its own records: "
       "writing a shorter last file.\r\nWriting last file (52.49MB)", O::kPassed, "", true,
       "VCAPTEST3.tmp", kErrorDiskFull},
      // A counterfeit's lost writes can wreck the file system's records and
      // make the volume look full: a file written before came back bad, so
      // the memory is at fault.
      {"disk 1\n claimed 1000MiB\n real 300MiB\n beyond zeros\n"
       " volume E: label \"FAKE\" capacity 900MiB\n", "E:", "\r\nWRITE ERROR!" + Verifying(2),
       O::kProbablyFake, "", true, "VCAPTEST3.tmp", kErrorDiskFull},
      // Compression is turned off for the test files.
      {Obstacle("compressed"), "E:", "PASSED", O::kPassed, "", true},
  };
  // clang-format on
  // A name in the way of a test file; the clean-up tried to delete the
  // read-only one, and could not.
  const char* hidden = "a hidden, system or read-only file";
  for (const auto& [file, n, what] :
       std::initializer_list<std::tuple<const char*, int, const char*>>{
           {"VCAPTEST1.tmp\" 0 link", 1, "a link (symbolic link or junction)"},
           {"VCAPTEST2.tmp\" 0 folder", 2, "a folder"},
           {"VCAPTEST3.tmp\" 0 pipe", 3, "a device, pipe or socket"},
           {"vcaptest1.TMP\" 4KiB hidden", 1, hidden},
           {"VCAPTEST2.tmp\" 4KiB system", 2, hidden},
           {"VCAPTEST1.tmp\" 4KiB readonly", 1, hidden}}) {
    table.push_back({Obstacle("", std::string("file \"") + file), "E:",
                     Header() + (std::string(file).ends_with("readonly") ? kCleanedUp : "") +
                         "\r\nCANNOT TEST: E:\\VCAPTEST" + std::to_string(n) +
                         ".tmp already exists and is " + what +
                         ". It was left as it is and nothing was written; move or rename it, "
                         "then run the test again."});
  }
  // A write that fails partway for a cause that is not the memory.
  const std::string full = "the volume is full: another program may be writing to it (error ";
  for (const auto& [error, reason] : std::initializer_list<std::pair<std::uint32_t, std::string>>{
           {kErrorDiskFull, full + "112)"},
           {kErrorHandleDiskFull, full + "39)"},
           {kErrorWriteProtect, "the volume is write-protected or read-only (error 19)"},
           {kErrorAccessDenied,
            "access was denied: the volume is read-only or the name is in use (error 5)"}}) {
    table.push_back({Obstacle(""), "E:",
                     second + "TEST STOPPED: E:\\VCAPTEST2.tmp could not be written: " + reason +
                         ". The test file written before it read back good. No verdict is given "
                         "on the drive; the test files were deleted.",
                     O::kStopped, "", false, "VCAPTEST2.tmp", error});
  }
  for (const auto& row : table) {
    SCOPED_TRACE("row " + std::to_string(&row - table.data()));
    Start(row.manifest, row.drive, row.cheap_free);
    const auto before = RootFiles();
    recorder_->fail_file = row.fail_file;
    recorder_->fail_error = row.fail_error;
    recorder_->ignore_compression_request = row.keeps_compressing;
    if (row.ask_cancel) window_.ScriptAnswers({kIdCancel});
    if (row.yield > 0) CancelAtYieldAfter(row.cancel_after, row.yield);
    SetResultText(*ctx_, "earlier text");
    cmdVolumeTest_Click(*ctx_);
    if (row.part) {
      EXPECT_NE(state_.results_log.find(row.log), std::string::npos) << state_.results_log;
    } else {
      EXPECT_EQ(state_.results_log, row.log);
    }
    EXPECT_EQ(state_.volume_outcome, row.outcome);
    const bool verdict = row.outcome == O::kPassed || row.outcome == O::kProbablyFake;
    std::string box = !verdict                    ? row.box
                      : row.outcome == O::kPassed ? kPassedMessage
                                                  : kFakeMessage;
    for (const char* told : {"\r\nCANNOT TEST: ", "\r\nTEST STOPPED: "}) {
      const auto at = row.log.find(told);
      if (box.empty() && at != std::string::npos) box = row.log.substr(at + 2);
    }
    const auto& boxes = window_.message_boxes();
    if (!box.empty()) {
      ASSERT_FALSE(boxes.empty());
      EXPECT_EQ(boxes.back().text, box);
    }
    if (verdict || row.outcome == O::kAborted) {
      EXPECT_EQ(boxes.size(), verdict ? 2u : 1u);  // the question, and the verdict
    }
    if (verdict) {
      EXPECT_EQ(boxes.back().style, row.outcome == O::kPassed ? kMbIconInformation : kMbIconStop);
    }
    EXPECT_TRUE(StateOf(state_, Control::cmdVolumeTest).enabled);
    EXPECT_TRUE(row.outcome == O::kNotRun || !StateOf(state_, Control::cmdCancel).visible);
    if (row.outcome == O::kNotRun && row.log.find("Writing E:") == std::string::npos) {
      EXPECT_TRUE(recorder_->created.empty());
    }
    if (row.outcome == O::kAborted) {
      EXPECT_EQ(std::ranges::count_if(RootFiles(), [](auto& f) { return IsTestFileName(f.first); }),
                row.left);
      state_.results_log.clear();
      cmdcleanup_Click(*ctx_);
      EXPECT_EQ(state_.results_log, kCleanedUp);
    }
    EXPECT_EQ(RootFiles(), before);
    for (const auto* paths : {&recorder_->created, &recorder_->deleted}) {
      for (const auto& path : *paths) {
        EXPECT_TRUE(path.starts_with(row.drive + std::string("\\")) &&
                    IsTestFileName(path.substr(3)))
            << path;
      }
    }
    EXPECT_EQ(platform_->counters().sector_writes, 0u);  // no raw disk writes
    EXPECT_EQ(platform_->open_handle_count(), 0u);
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
      // clang-format off
      {(90 * 200 + 10) * kMiB + 1024, 4, {Files(15, 15, "00:03:40") + " Checking... OK\r\n",
       Files(25, 25, "00:03:20") + " Checking... OK\r\n",
       Files(45, 45, "00:02:40") + " Checking... OK\r\n",
       Files(85, 85, "00:01:40") + " Checking... OK\r\n",
       Files(90, 90) + LastFile(91, "10") + Verifying(90, 91),
       "\r\n\r\nPASSED: 18010MB tested and OK.\r\n"}, "VCAPTEST92"},
      {400 * kMiB + 2047, 0, {Files(2, 2) + Verifying(2, 3) + "\r\n---", "PASSED: 400MB"},
       "VCAPTEST3"},
      // clang-format on
  };
  for (const auto& row : table) {
    Start(kSmall, "E:", row.free);
    cmdVolumeTest_Click(*ctx_);
    const std::string& log = state_.results_log;
    std::size_t checks = 0;
    for (auto at = log.find("Checking"); at != std::string::npos; at = log.find("Checking", at + 1))
      ++checks;
    EXPECT_EQ(checks, row.checks);
    for (const auto& part : row.parts) EXPECT_NE(log.find(part), std::string::npos) << part;
    for (const auto& path : cheap_->opened)
      EXPECT_EQ(path.find(row.never_opened), std::string::npos);
    EXPECT_TRUE(cheap_->files.empty());  // the report deleted them all
  }
}

// A failed create names its cause; a cancel, a short write and an I/O or
// data error are left to the memory's verdict.
TEST(CauseOtherThanMemory, OnlyTheStepAndCodeThatAreNotTheMemorys) {
  using Step = AppState::TestFileStep;
  EXPECT_NE(CauseOtherThanMemory(Step::kCreate, kErrorFileExists), "");
  EXPECT_NE(CauseOtherThanMemory(Step::kCreate, kErrorSharingViolation), "");
  EXPECT_EQ(CauseOtherThanMemory(Step::kNone, kErrorDiskFull), "");
  for (const std::uint32_t code : {0u, kErrorCrc, 29u, 1117u}) {
    EXPECT_EQ(CauseOtherThanMemory(Step::kWrite, code), "") << code;
  }
}

}  // namespace
}  // namespace veracap

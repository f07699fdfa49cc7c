// Whole runs of the Volume File Test on emulated volumes: the results log of
// each kind of ending byte for byte, the message boxes, the test files left
// behind or removed, and that nothing else on the volume is touched. Then
// what stops a run without being the memory's fault (filetest/obstacles.h): a
// name in the way of a test file, a read-only volume, a volume that fills up
// under the test or compresses new files; each ends with a message that says
// so, never with a verdict on the drive.
#include <gtest/gtest.h>

#include <set>

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

constexpr const char* kTitle = "VERACAP v1.1.1  [Qmx]";
constexpr const char* kPassedMessage =
    "\r\nThe unused file space on this drive volume seems good, however to ensure the memory is "
    "not faulty, I recommend you run the Quick Size Test.";
constexpr const char* kFakeMessage =
    "\r\nTHIS DRIVE IS PROBABLY FAKE (COUNTERFEIT) OR FAULTY - THE CONTENTS MAY NOW BE CORRUPT!";
constexpr const char* kAbortWrite = "\r\nTEST ABORTED (test files may be present)!";
constexpr const char* kAbortVerify = "\r\nTEST ABORTED (use Clean-up to delete test files)!";

// 460 MiB volume with two files on a genuine 480 MiB stick: 456.98 MiB free,
// so two full files and a last one of 56.98 MiB; the stick counts 478 MB.
constexpr const char* kGenuine = R"(
disk 1
  claimed 480MiB
  vendor GENERIC
  product "GENUINE STICK"
  volume E: label "GENUINE" capacity 460MiB
  file "PHOTO1.JPG" 3MiB
  file "NOTES.TXT" 12345
)";

// One full file and a last one of 60 MiB less 1 KiB.
constexpr const char* kSmall = R"(
disk 1
  claimed 300MiB
  volume E: label "SMALL" capacity 260MiB
)";

// A 460 MiB volume: two full files and a last one. The user's own file
// VCAPTEST_notes.tmp matches the test files' wildcard and must stay.
std::string Obstacle(const std::string& volume_flags, const std::string& extra_file = "") {
  return "disk 1\n claimed 480MiB\n volume E: label \"STICK\" capacity 460MiB " + volume_flags +
         "\n file \"VCAPTEST_notes.tmp\" 5000\n" + extra_file + "\n";
}

bool IsRootTestFile(const std::string& path) {
  return path.size() > 3 && path.compare(1, 2, ":\\") == 0 &&
         path.find('\\', 3) == std::string::npos && IsTestFileName(path.substr(3));
}

class VolumeFileTestRun : public ::testing::Test {
 protected:
  // A fresh state, window and set of devices (the images of a previous Start
  // are removed).
  void Start(const std::string& manifest, const std::string& drive = "E:") {
    ctx_.reset();
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
  }
  static std::string Entry(const std::string& drive) { return drive + "     TEST    DRIVE 1"; }
  static std::string Header(const std::string& drive = "E:") {
    return std::string("Veracap - Volume File Test\r\n") + kTitle + "\r\n\r\n" + Entry(drive);
  }
  // Cancel at the k-th yield after the log has come to hold the text.
  void CancelAtYieldAfter(const std::string& text, int k) {
    window_.on_yield = [this, text, k, seen = false, count = 0](long) mutable {
      if (!seen) seen = state_.results_log.find(text) != std::string::npos;
      if (seen && ++count == k) state_.CancelRequested = true;
    };
  }
  std::set<std::string> RootFiles() {
    const auto names = platform_->FindFiles(state_.SelectedDrive + "\\*");
    return {names.begin(), names.end()};
  }
  // FNV-1a of a whole file as the volume gives it back.
  std::uint64_t Hash(const std::string& path) {
    const Handle h = platform_->CreateFile(path, kGenericRead, kFileShareRead, kOpenExisting,
                                           kFileAttributeNormal);
    EXPECT_NE(h, kInvalidHandle) << path;
    std::uint64_t hash = 0xCBF29CE484222325ull;
    std::vector<std::uint8_t> chunk(1 << 20);
    std::uint32_t got = 0;
    while (platform_->ReadFile(h, chunk.data(), static_cast<std::uint32_t>(chunk.size()), &got) &&
           got > 0) {
      for (std::uint32_t i = 0; i < got; ++i) hash = (hash ^ chunk[i]) * 0x100000001B3ull;
    }
    platform_->CloseHandle(h);
    return hash;
  }
  // The obstacle volume's run up to its first file.
  static std::string Started() {
    return Header() +
           "\r\n\r\nWarning: Testing 459MB out of reported drive size of 478MB"
           "\r\nWriting 2 x 200MB files..."
           "\r\n00:00:00 Writing E:\\VCAPTEST1.tmp";
  }
  // The message ends the log and is the last message box, a stop; the
  // volume holds what it held before.
  void ExpectToldAtTheEnd(const std::string& log, const std::string& message) {
    EXPECT_EQ(state_.results_log, log + "\r\n" + message);
    ASSERT_FALSE(window_.message_boxes().empty());
    EXPECT_EQ(window_.message_boxes().back().text, message);
    EXPECT_EQ(window_.message_boxes().back().style, kMbIconStop);
    EXPECT_EQ(state_.results_log.find("FAKE"), std::string::npos);
    EXPECT_EQ(RootFiles(), std::set<std::string>{"VCAPTEST_notes.tmp"});
    EXPECT_FALSE(StateOf(state_, Control::cmdCancel).visible);
    EXPECT_EQ(platform_->open_handle_count(), 0u);
  }
  double Free() { return FreeDiskSpace(*ctx_, state_.SelectedDrive); }
  void ExpectOnlyTestFilesTouched() {
    for (const auto& path : recorder_->created) EXPECT_TRUE(IsRootTestFile(path)) << path;
    for (const auto& path : recorder_->deleted) EXPECT_TRUE(IsRootTestFile(path)) << path;
    EXPECT_EQ(platform_->counters().sector_writes, 0u);  // no raw disk writes
    EXPECT_EQ(platform_->open_handle_count(), 0u);
  }

  std::unique_ptr<testing::TempDir> dir_;
  std::unique_ptr<emulated::EmulatedPlatform> platform_;
  std::unique_ptr<testing::CountingPlatform> recorder_;
  HeadlessWindow window_;
  AppState state_;
  std::unique_ptr<Context> ctx_;
};

TEST_F(VolumeFileTestRun, GenuineVolumePassesAndLeavesItsFilesAlone) {
  Start(kGenuine);
  const std::set<std::string> before = RootFiles();
  const std::uint64_t photo = Hash("E:\\PHOTO1.JPG");
  const std::uint64_t notes = Hash("E:\\NOTES.TXT");
  const double free = Free();

  cmdVolumeTest_Click(*ctx_);

  EXPECT_EQ(state_.results_log,
            Header() +
                "\r\n\r\nWarning: Testing 456MB out of reported drive size of 478MB"
                "\r\nWriting 2 x 200MB files..."
                "\r\n00:00:00 Writing E:\\VCAPTEST1.tmp"
                "\r\n00:00:00 Writing E:\\VCAPTEST2.tmp, 00:00:00 remaining "
                "\r\nWriting last file (56.98MB)"
                "\r\n00:00:00 Writing E:\\VCAPTEST3.tmp, 00:00:00 remaining "
                "\r\nVerifying files 1 - 2..."
                "\r\nVerifying file 3..."
                "\r\n-----------------------\r\nTEST FINISHED\r\n457MB of filespace was tested."
                "\r\nTest Time = 00:00:00"
                "\r\n\r\nPASSED: 457MB tested and OK.\r\n"
                "\r\nDeleting test files - please wait... Finished.\r\n"
                "\r\nNote: 457MB out of 478MB were tested for integrity." +
                kPassedMessage);
  ASSERT_EQ(window_.message_boxes().size(), 2u);
  const RecordedMessageBox& ask = window_.message_boxes()[0];
  EXPECT_EQ(ask.text,
            "OK to fill E: with 456MB of test files?\r\n\r\nWARNING: If this device is 'fake', "
            "this operation could corrupt all your files.\r\n\r\nTip: Close all instances of "
            "Windows Explorer to improve the speed.");
  EXPECT_EQ(ask.style, kMbOkCancel);
  EXPECT_EQ(ask.title, "File Test");
  const RecordedMessageBox& verdict = window_.message_boxes()[1];
  EXPECT_EQ(verdict.text, kPassedMessage);
  EXPECT_EQ(verdict.style, kMbIconInformation);
  EXPECT_EQ(verdict.title, "VERACAP");

  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kPassed);
  EXPECT_EQ(RootFiles(), before);
  EXPECT_EQ(Hash("E:\\PHOTO1.JPG"), photo);
  EXPECT_EQ(Hash("E:\\NOTES.TXT"), notes);
  EXPECT_EQ(Free(), free);
  EXPECT_EQ(recorder_->created.size(), 3u);
  ExpectOnlyTestFilesTouched();
  // Idle again: the test buttons are back and Cancel is gone.
  EXPECT_TRUE(StateOf(state_, Control::cmdVolumeTest).enabled);
  EXPECT_FALSE(StateOf(state_, Control::cmdCancel).visible);
  EXPECT_FALSE(StateOf(state_, Control::Label1).visible);
}

// A volume of 4 KiB sectors takes unbuffered writes of whole sectors only:
// the last file is cut to them (free space less 1 KiB is none), on a 4Kn
// disk as on a volume formatted so.
TEST_F(VolumeFileTestRun, LastFileInWholeSectorsOfTheVolume) {
  for (const char* manifest :
       {"disk 1\n  claimed 300MiB\n  volume E: label \"V\" capacity 260MiB sector 4096\n",
        "disk 1\n  claimed 300MiB\n  block 4096\n  volume E: label \"V\" capacity 260MiB\n"}) {
    Start(manifest);
    cmdVolumeTest_Click(*ctx_);
    // 60 MiB less 4 KiB, not less 1 KiB.
    EXPECT_NE(state_.results_log.find("\r\nWriting last file (60MB)"), std::string::npos);
    EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kPassed) << state_.results_log;
  }
}

// Drives that fail, each with its whole log between the header and the
// verdict; every one ends PROBABLY FAKE with the test files deleted.
TEST_F(VolumeFileTestRun, FailingDrives) {
  std::string fifteen = "\r\n00:00:00 Writing F:\\VCAPTEST1.tmp";
  for (int n = 2; n <= 15; ++n) {
    fifteen +=
        "\r\n00:00:00 Writing F:\\VCAPTEST" + std::to_string(n) + ".tmp, 00:00:20 remaining ";
  }
  struct Row {
    const char* what;
    const char* manifest;
    const char* drive;
    std::string log;
  };
  const Row table[] = {
      // 512 MiB of memory under "3.5 GB": the files wrap onto each other, so
      // the check after file 15 finds all but the last two overwritten.
      {"counterfeit",
       "disk 2\n claimed 3500MiB\n real 512MiB\n beyond wrap\n"
       " volume F: label \"FAKE\" capacity 3200MiB\n",
       "F:",
       "\r\n\r\nWarning: Testing 3200MB out of reported drive size of 3499MB"
       "\r\nWriting 16 x 200MB files..." +
           fifteen +
           " Checking...\r\nDATA ERROR!\r\nVerifying files 1 - 15..."
           "\r\n-----------------------\r\nTEST FINISHED\r\n3000MB of filespace was tested."
           "\r\nTest Time = 00:00:00"
           "\r\n\r\nTEST FAILED: Only 400MB out of the 3000MB tested were good.\r\n"},
      // The first file's second piece meets a write error that takes a day
      // and more: nothing was tested, and the clock shows every hour of it.
      {"slow write error in file 1",
       "disk 1\n claimed 1000MiB\n fault write-fail 131072 delay "
       "90061000\n volume E: label \"FAULTY\" capacity 900MiB\n",
       "E:",
       "\r\n\r\nWarning: Testing 900MB out of reported drive size of 996MB"
       "\r\nWriting 4 x 200MB files...\r\n00:00:00 Writing E:\\VCAPTEST1.tmp"
       "\r\nWRITE ERROR!\r\nVerifying files 1 - 0..."
       "\r\n-----------------------\r\nTEST FINISHED\r\n0MB of filespace was tested."
       "\r\nTest Time = 25:01:01"
       "\r\n\r\nTEST FAILED: Only 0MB out of the 0MB tested were good.\r\n"},
      // Sector 471040, 230 MiB into the disk, lies inside the last file, which
      // begins at 201 MiB (the volume's offset and one full file).
      {"write error in the last file",
       "disk 1\n claimed 300MiB\n fault write-fail 471040\n"
       " volume E: label \"LASTBAD\" capacity 260MiB\n",
       "E:",
       "\r\n\r\nWarning: Testing 260MB out of reported drive size of 298MB"
       "\r\nWriting 1 x 200MB files...\r\n00:00:00 Writing E:\\VCAPTEST1.tmp"
       "\r\nWriting last file (60MB)"
       "\r\n00:00:00 Writing E:\\VCAPTEST2.tmp, 00:00:00 remaining "
       "\r\nDATA ERROR!\r\nVerifying files 1 - 1..."
       "\r\n-----------------------\r\nTEST FINISHED\r\n260MB of filespace was tested."
       "\r\nTest Time = 00:00:00"
       "\r\n\r\nTEST FAILED: Only 200MB out of the 260MB tested were good.\r\n"},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Start(row.manifest, row.drive);
    cmdVolumeTest_Click(*ctx_);
    EXPECT_EQ(state_.results_log, Header(row.drive) + row.log +
                                      "\r\nDeleting test files - please wait... Finished.\r\n" +
                                      kFakeMessage);
    EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kProbablyFake);
    ASSERT_EQ(window_.message_boxes().size(), 2u);
    EXPECT_EQ(window_.message_boxes()[1].style, kMbIconStop);
    EXPECT_TRUE(RootFiles().empty());
    ExpectOnlyTestFilesTouched();
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

TEST_F(VolumeFileTestRun, CancelInTheWritePhaseLeavesTheFilesForTheCleanUp) {
  struct Case {
    int yield;         // after file 1's progress text
    const char* tail;  // end of the log
    std::set<std::string> files;
    std::int64_t first_size;  // size of VCAPTEST1.tmp
  };
  const std::string w2 = "\r\n00:00:00 Writing E:\\VCAPTEST2.tmp, 00:00:00 remaining ";
  const Case cases[] = {
      // Between the first and the second piece of file 1.
      {2, "", {"VCAPTEST1.tmp"}, 52428800},
      // After file 1, at the yield following it.
      {6, "", {"VCAPTEST1.tmp"}, kFullTestFileBytes},
      // At the yield that ends file 1's round: seen when the next line begins.
      {8, "\r\n00:00:00", {"VCAPTEST1.tmp"}, kFullTestFileBytes},
      // Right before file 2 is created.
      {9, w2.c_str(), {"VCAPTEST1.tmp"}, kFullTestFileBytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.yield);
    Start(R"(
disk 1
  claimed 1000MiB
  volume E: label "CANCEL" capacity 900MiB
)");
    CancelAtYieldAfter("Writing E:\\VCAPTEST1.tmp", c.yield);
    const double free = Free();
    cmdVolumeTest_Click(*ctx_);
    EXPECT_EQ(state_.results_log, Header() +
                                      "\r\n\r\nWarning: Testing 900MB out of reported drive size "
                                      "of 996MB\r\nWriting 4 x 200MB files..."
                                      "\r\n00:00:00 Writing E:\\VCAPTEST1.tmp" +
                                      c.tail + kAbortWrite);
    EXPECT_EQ(RootFiles(), c.files);
    EXPECT_EQ(free - Free(), c.first_size);
    EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kAborted);
    EXPECT_EQ(window_.message_boxes().size(), 1u);  // the question only, no verdict
    EXPECT_FALSE(StateOf(state_, Control::cmdCancel).visible);

    state_.results_log.clear();
    cmdcleanup_Click(*ctx_);
    EXPECT_EQ(state_.results_log, "\r\nDeleting E:\\VCAPTEST*.tmp files...finished.");
    EXPECT_TRUE(RootFiles().empty());
    ExpectOnlyTestFilesTouched();
  }
}

TEST_F(VolumeFileTestRun, CancelInTheReadBackEndsWithoutAVerdict) {
  const std::string written =
      "\r\n\r\nWarning: Testing 260MB out of reported drive size of 298MB"
      "\r\nWriting 1 x 200MB files..."
      "\r\n00:00:00 Writing E:\\VCAPTEST1.tmp"
      "\r\nWriting last file (60MB)"
      "\r\n00:00:00 Writing E:\\VCAPTEST2.tmp, 00:00:00 remaining "
      "\r\nVerifying files 1 - 1...";
  // Before the first file is read back.
  Start(kSmall);
  CancelAtYieldAfter("Verifying files", 1);
  cmdVolumeTest_Click(*ctx_);
  EXPECT_EQ(state_.results_log, Header() + written + kAbortVerify);
  EXPECT_EQ(RootFiles(), (std::set<std::string>{"VCAPTEST1.tmp", "VCAPTEST2.tmp"}));

  // At the end of the last file's sampling: the run is cancelled, not failed.
  window_ = HeadlessWindow{};
  CancelAtYieldAfter("Verifying file 2", 1);
  cmdVolumeTest_Click(*ctx_);
  EXPECT_EQ(state_.results_log, Header() + "\r\nDeleting E:\\VCAPTEST*.tmp files...finished." +
                                    written + "\r\nVerifying file 2..." + kAbortVerify);
  EXPECT_EQ(window_.message_boxes().size(), 1u);
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kAborted);
  EXPECT_EQ(RootFiles(), (std::set<std::string>{"VCAPTEST1.tmp", "VCAPTEST2.tmp"}));
  ExpectOnlyTestFilesTouched();
}

TEST_F(VolumeFileTestRun, RefusalsWriteNothing) {
  Start(R"(
disk 0
  claimed 2GiB
  bus sata
  volume C: label "SYSTEM" capacity 1GiB
disk 1
  claimed 300MiB
  volume E: label "FULL" capacity 199MiB
disk 2
  claimed 1000MiB
  no-capacity
  no-length
  volume F: label "NOSIZE" capacity 900MiB
disk 3
  claimed 1000MiB
  volume G: label "ASK" capacity 900MiB
)");
  // No drive and a drive without a disk say nothing at all; the disk that
  // holds Windows says why.
  for (const char* drive : {"", "E", "Q:", "C:"}) {
    state_.SelectedDrive = drive;
    SetResultText(*ctx_, "earlier text");
    cmdVolumeTest_Click(*ctx_);
    EXPECT_EQ(state_.results_log, "earlier text") << drive;
  }
  ASSERT_EQ(window_.message_boxes().size(), 1u);
  EXPECT_EQ(window_.message_boxes()[0].text, "DRIVE 0 cannot be tested: it holds Windows.");

  state_.SelectedDrive = "E:";
  cmdVolumeTest_Click(*ctx_);
  EXPECT_EQ(state_.results_log, Header());
  ASSERT_EQ(window_.message_boxes().size(), 2u);
  EXPECT_EQ(window_.message_boxes()[1].text, "ERROR: Drive not formatted or volume too full!");
  EXPECT_EQ(window_.message_boxes()[1].style, kMbIconExclamation);
  EXPECT_EQ(window_.message_boxes()[1].title, "No spare space or unformatted Drive!");

  state_.SelectedDrive = "F:";
  cmdVolumeTest_Click(*ctx_);
  ASSERT_EQ(window_.message_boxes().size(), 3u);
  EXPECT_EQ(window_.message_boxes()[2].text,
            "Please run this application with Administrator rights.");
  EXPECT_EQ(window_.message_boxes()[2].style, kMbIconStop);
  EXPECT_EQ(window_.message_boxes()[2].title, "VERACAP");

  state_.SelectedDrive = "G:";
  window_.ScriptAnswers({kIdCancel});
  cmdVolumeTest_Click(*ctx_);
  EXPECT_EQ(state_.results_log,
            Header() + "\r\n\r\nWarning: Testing 900MB out of reported drive size of 996MB");
  EXPECT_EQ(window_.message_boxes().size(), 4u);
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kNotRun);
  EXPECT_TRUE(StateOf(state_, Control::cmdVolumeTest).visible);
  EXPECT_TRUE(recorder_->created.empty());
  ExpectOnlyTestFilesTouched();
}

// Ninety cheap files on a real emulated drive: the interim checks come after
// files 15, 25, 45 and 85 and nowhere else, and the estimates count them.
TEST_F(VolumeFileTestRun, InterimChecksRunAfterFiles15_25_45And85Only) {
  Start(kSmall);
  constexpr std::uint64_t kMiB = 1048576;
  testing::CheapTestFiles files(*platform_, "E:", (90 * 200 + 10) * kMiB + 1024);
  Context ctx{files, window_, state_};
  cmdVolumeTest_Click(ctx);

  const std::string& log = state_.results_log;
  std::size_t checks = 0;
  for (std::size_t at = log.find(" Checking... OK"); at != std::string::npos;
       at = log.find(" Checking... OK", at + 1)) {
    ++checks;
  }
  EXPECT_EQ(checks, 4u);
  for (const char* line :
       {"\r\n00:00:00 Writing E:\\VCAPTEST15.tmp, 00:03:40 remaining  Checking... OK\r\n",
        "\r\n00:00:00 Writing E:\\VCAPTEST16.tmp, 00:03:20 remaining \r\n",
        "\r\n00:00:00 Writing E:\\VCAPTEST25.tmp, 00:03:20 remaining  Checking... OK\r\n",
        "\r\n00:00:00 Writing E:\\VCAPTEST45.tmp, 00:02:40 remaining  Checking... OK\r\n",
        "\r\n00:00:00 Writing E:\\VCAPTEST85.tmp, 00:01:40 remaining  Checking... OK\r\n",
        "\r\n00:00:00 Writing E:\\VCAPTEST90.tmp, 00:00:00 remaining \r\n",
        "\r\nWriting last file (10MB)"
        "\r\n00:00:00 Writing E:\\VCAPTEST91.tmp, 00:00:00 remaining "
        "\r\nVerifying files 1 - 90...\r\nVerifying file 91...",
        "\r\n\r\nPASSED: 18010MB tested and OK.\r\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  std::size_t reads = 0;
  std::size_t writes = 0;
  for (const auto& open : files.opens) {
    reads += open.access == kGenericRead;
    writes += open.access == kGenericWrite;
  }
  EXPECT_EQ(reads, 15u + 25u + 45u + 85u + 90u + 1u);
  EXPECT_EQ(writes, 90u + 1u);
  EXPECT_TRUE(files.files.empty());  // the report deleted them all
}

TEST_F(VolumeFileTestRun, CancelDuringAnInterimCheckIsAWriteAbort) {
  Start(kSmall);
  testing::CheapTestFiles files(*platform_, "E:", 20 * 200 * std::uint64_t{1048576});
  Context ctx{files, window_, state_};
  CancelAtYieldAfter(" Checking...", 3);
  cmdVolumeTest_Click(ctx);
  const std::string tail =
      "\r\n00:00:00 Writing E:\\VCAPTEST15.tmp, 00:00:20 remaining  Checking...";
  const std::string& log = state_.results_log;
  EXPECT_EQ(log.substr(log.size() - tail.size() - std::string(kAbortWrite).size()),
            tail + kAbortWrite);
  EXPECT_EQ(files.files.size(), 15u);
  EXPECT_EQ(state_.GoodFileCount, 1);  // Cancel came before file 2: it and the rest fail
}

TEST_F(VolumeFileTestRun, PlannedFilesAreWholeMultiplesOf200MiB) {
  constexpr std::uint64_t kMiB = 1048576;
  for (const std::uint64_t free : {1000 * kMiB, 1000 * kMiB - kMiB / 10}) {
    Start(kSmall);
    testing::CheapTestFiles files(*platform_, "E:", free);
    Context ctx{files, window_, state_};
    window_.ScriptAnswers({kIdCancel});
    cmdVolumeTest_Click(ctx);
    const bool full = free == 1000 * kMiB;
    EXPECT_EQ(state_.PlannedFileCount, full ? 5 : 4);
    EXPECT_EQ(state_.results_log, Header() + "\r\n\r\nWarning: Testing " + (full ? "1000" : "999") +
                                      "MB out of reported drive size of 298MB");
    EXPECT_EQ(window_.message_boxes().at(0).text.substr(0, 29),
              full ? "OK to fill E: with 1,000MB of" : "OK to fill E: with 999MB of t");
  }
}

// Less than 2 KiB left after the full files: no last file, and the file
// number after them is not looked for (a stray one must not count).
TEST_F(VolumeFileTestRun, NoLastFileWhenTheRestIsTooSmall) {
  Start(kSmall);
  testing::CheapTestFiles files(*platform_, "E:", 2 * 200 * std::uint64_t{1048576} + 2047);
  Context ctx{files, window_, state_};
  cmdVolumeTest_Click(ctx);
  const std::string& log = state_.results_log;
  EXPECT_NE(log.find("remaining \r\nVerifying files 1 - 2...\r\nVerifying file 3...\r\n---"),
            std::string::npos);
  EXPECT_NE(log.find("\r\n\r\nPASSED: 400MB tested and OK.\r\n"), std::string::npos);
  EXPECT_EQ(state_.LASTCHUNK, 0);
  for (const auto& open : files.opens) EXPECT_EQ(open.path.find("VCAPTEST3"), std::string::npos);
}

TEST_F(VolumeFileTestRun, NameInTheWayStopsTheTestBeforeAnythingIsWritten) {
  struct Case {
    const char* file_line;
    const char* path;
    std::uint32_t attributes;
    const char* what;
    bool cleaned;  // the clean-up tried to delete it (and could not)
  } cases[] = {
      {"file \"VCAPTEST1.tmp\" 0 link", "E:\\VCAPTEST1.tmp", kFileAttributeReparsePoint,
       "a link (symbolic link or junction)", false},
      {"file \"VCAPTEST2.tmp\" 0 folder", "E:\\VCAPTEST2.tmp", kFileAttributeDirectory, "a folder",
       false},
      {"file \"VCAPTEST3.tmp\" 0 pipe", "E:\\VCAPTEST3.tmp", kFileAttributeDevice,
       "a device, pipe or socket", false},
      {"file \"vcaptest1.TMP\" 4KiB hidden", "E:\\VCAPTEST1.tmp", kFileAttributeHidden,
       "a hidden, system or read-only file", false},
      {"file \"VCAPTEST2.tmp\" 4KiB system", "E:\\VCAPTEST2.tmp", kFileAttributeSystem,
       "a hidden, system or read-only file", false},
      {"file \"VCAPTEST1.tmp\" 4KiB readonly", "E:\\VCAPTEST1.tmp", kFileAttributeReadOnly,
       "a hidden, system or read-only file", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file_line);
    Start(Obstacle("", c.file_line));
    cmdVolumeTest_Click(*ctx_);
    const std::string cleanup = c.cleaned ? "\r\nDeleting E:\\VCAPTEST*.tmp files...finished." : "";
    EXPECT_EQ(state_.results_log,
              Header() + cleanup + "\r\nCANNOT TEST: " + c.path + " already exists and is " +
                  c.what +
                  ". It was left as it is and nothing was written; move or rename it, then run "
                  "the test again.");
    EXPECT_EQ(window_.message_boxes().back().style, kMbIconStop);
    EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kNotRun);
    EXPECT_TRUE(recorder_->created.empty());
    EXPECT_EQ(platform_->GetFileAttributes(c.path), c.attributes);
    EXPECT_EQ(platform_->counters().sector_writes, 0u);
  }
}

TEST_F(VolumeFileTestRun, ReadOnlyVolumeIsRefusedNotCalledFake) {
  Start(Obstacle("readonly"));
  cmdVolumeTest_Click(*ctx_);
  ExpectToldAtTheEnd(Started(),
                     "CANNOT TEST: E:\\VCAPTEST1.tmp cannot be created: the volume is "
                     "write-protected or read-only (error 19). Nothing was written.");
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kNotRun);
}

// A write that fails partway: a cause that is not the memory stops the test
// without a verdict once the files written before it read back good; an I/O
// or data error is the memory's and is judged.
TEST_F(VolumeFileTestRun, WriteErrorsByCause) {
  const std::string second =
      Started() + "\r\n00:00:00 Writing E:\\VCAPTEST2.tmp, 00:00:00 remaining ";
  for (const auto& [error, reason] : {
           std::pair<std::uint32_t, std::string>{
               kErrorDiskFull,
               "the volume is full: another program may be writing to it (error 112)"},
           {kErrorHandleDiskFull,
            "the volume is full: another program may be writing to it (error 39)"},
           {kErrorWriteProtect, "the volume is write-protected or read-only (error 19)"},
           {kErrorAccessDenied,
            "access was denied: the volume is read-only or the name is in use (error 5)"},
       }) {
    SCOPED_TRACE(error);
    Start(Obstacle(""));
    recorder_->fail_file = "VCAPTEST2.tmp";
    recorder_->fail_error = error;
    cmdVolumeTest_Click(*ctx_);
    ExpectToldAtTheEnd(second + "\r\nWRITE ERROR!\r\nVerifying files 1 - 1...",
                       "TEST STOPPED: E:\\VCAPTEST2.tmp could not be written: " + reason +
                           ". The test file written before it read back good. No verdict is given "
                           "on the drive; the test files were deleted.");
    EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kStopped);
  }
  for (const std::uint32_t memory_error : {kErrorCrc, 29u, 1117u}) {
    SCOPED_TRACE(memory_error);
    Start(Obstacle(""));
    recorder_->fail_file = "VCAPTEST2.tmp";
    recorder_->fail_error = memory_error;
    cmdVolumeTest_Click(*ctx_);
    EXPECT_NE(state_.results_log.find(second + "\r\nWRITE ERROR!\r\nVerifying files 1 - 1..."),
              std::string::npos)
        << state_.results_log;
    EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kProbablyFake);
  }
}

// A file system that keeps records of a large file in the free space it
// reported (ext4) is full before the last file is: a shorter one is written
// and the drive still gets its verdict.
TEST_F(VolumeFileTestRun, LastFileThatDoesNotFitIsWrittenShorter) {
  Start(Obstacle(""));
  recorder_->fail_file = "VCAPTEST3.tmp";
  recorder_->fail_error = kErrorDiskFull;
  cmdVolumeTest_Click(*ctx_);
  EXPECT_EQ(state_.results_log.find("WRITE ERROR!"), std::string::npos);
  EXPECT_NE(state_.results_log.find(
                "\r\nThe volume keeps part of its free space for its own records: writing a "
                "shorter last file.\r\nWriting last file (52.49MB)"),
            std::string::npos)
      << state_.results_log;
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kPassed) << state_.results_log;
  EXPECT_EQ(RootFiles(), std::set<std::string>{"VCAPTEST_notes.tmp"});
}

// A counterfeit's lost writes can wreck the file system's records and make
// the volume look full: when a file written before came back bad, the
// memory is at fault and the verdict is given.
TEST_F(VolumeFileTestRun, FullVolumeOnACounterfeitStillGetsItsVerdict) {
  Start(
      "disk 1\n claimed 1000MiB\n real 300MiB\n beyond zeros\n"
      " volume E: label \"FAKE\" capacity 900MiB\n");
  recorder_->fail_file = "VCAPTEST3.tmp";
  recorder_->fail_error = kErrorDiskFull;
  cmdVolumeTest_Click(*ctx_);
  EXPECT_NE(state_.results_log.find("\r\nWRITE ERROR!\r\nVerifying files 1 - 2..."),
            std::string::npos)
      << state_.results_log;
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kProbablyFake) << state_.results_log;
}

TEST_F(VolumeFileTestRun, TestFilesAreStoredUncompressedOrNotAtAll) {
  Start(Obstacle("compressed"));
  cmdVolumeTest_Click(*ctx_);
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kPassed) << state_.results_log;

  // A volume that keeps compressing whatever it is asked.
  Start(Obstacle("compressed"));
  recorder_->ignore_compression_request = true;
  cmdVolumeTest_Click(*ctx_);
  ExpectToldAtTheEnd(Started(),
                     "CANNOT TEST: E:\\VCAPTEST1.tmp cannot be created: the volume stores new "
                     "files compressed, so the test data would not fill the memory. Nothing was "
                     "written.");
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kNotRun);
}

TEST(CauseOtherThanMemory, OnlyTheStepAndCodeThatAreNotTheMemorys) {
  using Step = AppState::TestFileStep;
  EXPECT_NE(CauseOtherThanMemory(Step::kCreate, kErrorFileExists), "");
  EXPECT_NE(CauseOtherThanMemory(Step::kCreate, kErrorSharingViolation), "");
  EXPECT_EQ(CauseOtherThanMemory(Step::kNone, kErrorDiskFull), "");  // a cancel, not a failure
  EXPECT_EQ(CauseOtherThanMemory(Step::kWrite, 0), "");              // a short write
  EXPECT_EQ(CauseOtherThanMemory(Step::kCreate, kErrorCrc), "");
}

}  // namespace
}  // namespace veracap

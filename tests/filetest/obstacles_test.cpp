// What stops a Volume File Test without being the memory's fault, on
// emulated volumes: a name in the way of a test file, a read-only volume, a
// volume that fills up under the test, a volume that compresses new files.
// Each ends with a message that says so, never with a verdict on the drive,
// and leaves what was on the volume as it was.
#include "filetest/obstacles.h"

#include <gtest/gtest.h>

#include <set>

#include "app/controls.h"
#include "app/headless_window.h"
#include "app/results_log.h"
#include "filetest/file_test_command.h"
#include "platform/platform_wrapper.h"
#include "support/emulated_test_support.h"

namespace veracap {
namespace {

constexpr const char* kTitle = "VERACAP v1.1.1  [Qmx]";

// Interferes with the test files: fails the write of one file at one
// position with an error code, or ignores the request for no compression.
class Interference : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  std::string fail_file;  // "VCAPTEST2.tmp"
  std::uint32_t fail_error = 0;
  bool ignore_compression_request = false;
  std::vector<std::string> created;

  Handle CreateFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t disposition, std::uint32_t flags) override {
    const Handle h = target_.CreateFile(path, access, share, disposition, flags);
    if ((access & kGenericWrite) != 0 && path.rfind("\\\\.\\", 0) != 0) created.push_back(path);
    if (h != kInvalidHandle && path.size() > 3 && path.substr(3) == fail_file) failing_ = h;
    return h;
  }
  bool WriteFile(Handle h, const void* buffer, std::uint32_t length,
                 std::uint32_t* written) override {
    if (h == failing_ && ++writes_ == 2) {
      error_ = fail_error;
      if (written) *written = 0;
      return false;
    }
    return target_.WriteFile(h, buffer, length, written);
  }
  bool DeviceIoControl(Handle h, std::uint32_t code, const void* in, std::uint32_t in_size,
                       void* out, std::uint32_t out_size, std::uint32_t* returned) override {
    if (code == kFsctlSetCompression && ignore_compression_request) return true;
    return target_.DeviceIoControl(h, code, in, in_size, out, out_size, returned);
  }
  std::uint32_t GetLastError() override {
    return std::exchange(error_, 0) != 0 ? fail_error : target_.GetLastError();
  }

 private:
  Handle failing_ = kInvalidHandle;
  int writes_ = 0;
  std::uint32_t error_ = 0;
};

// A 460 MiB volume: two full files and a last one. The user's own file
// VCAPTEST_notes.tmp matches the test files' wildcard and must stay.
std::string Manifest(const std::string& volume_flags, const std::string& extra_file = "") {
  return "disk 1\n claimed 480MiB\n volume E: label \"STICK\" capacity 460MiB " + volume_flags +
         "\n file \"VCAPTEST_notes.tmp\" 5000\n" + extra_file + "\n";
}

class FileTestObstacles : public ::testing::Test {
 protected:
  void Start(const std::string& manifest) {
    ctx_.reset();
    interference_.reset();
    platform_.reset();
    dir_ = std::make_unique<veracap::testing::TempDir>();
    window_ = HeadlessWindow{};
    auto buffer = std::move(state_.TestBuffer);
    state_ = AppState{};
    state_.TestBuffer = std::move(buffer);
    platform_ = emulated::testing::MakePlatform(manifest, dir_->path());
    interference_ = std::make_unique<Interference>(*platform_);
    ctx_ = std::make_unique<Context>(Context{*interference_, window_, state_});
    state_.TitleLine = kTitle;
    state_.SelectedDrive = "E:";
    SetItems(*ctx_, Control::Combo1, {"E:     STICK"}, 0);
  }
  static std::string Header() {
    return std::string("Veracap - Volume File Test\r\n") + kTitle + "\r\n\r\nE:     STICK";
  }
  static std::string Started() {
    return Header() +
           "\r\n\r\nWarning: Testing 459MB out of reported drive size of 478MB"
           "\r\nWriting 2 x 200MB files..."
           "\r\n00:00:00 Writing E:\\VCAPTEST1.tmp";
  }
  std::set<std::string> RootFiles() {
    const auto names = platform_->FindFiles("E:\\*");
    return {names.begin(), names.end()};
  }
  // The message ends the log and is the last message box, a stop.
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

  std::unique_ptr<veracap::testing::TempDir> dir_;
  std::unique_ptr<emulated::EmulatedPlatform> platform_;
  std::unique_ptr<Interference> interference_;
  HeadlessWindow window_;
  AppState state_;
  std::unique_ptr<Context> ctx_;
};

TEST_F(FileTestObstacles, NameInTheWayStopsTheTestBeforeAnythingIsWritten) {
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
    Start(Manifest("", c.file_line));
    cmdVolumeTest_Click(*ctx_);
    const std::string cleanup = c.cleaned ? "\r\nDeleting E:\\VCAPTEST*.tmp files...finished." : "";
    EXPECT_EQ(state_.results_log,
              Header() + cleanup + "\r\nCANNOT TEST: " + c.path + " already exists and is " +
                  c.what +
                  ". It was left as it is and nothing was written; move or rename it, then run "
                  "the test again.");
    EXPECT_EQ(window_.message_boxes().back().style, kMbIconStop);
    EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kNotRun);
    EXPECT_TRUE(interference_->created.empty());
    EXPECT_EQ(platform_->GetFileAttributes(c.path), c.attributes);
    EXPECT_EQ(platform_->counters().sector_writes, 0u);
  }
}

TEST_F(FileTestObstacles, ReadOnlyVolumeIsRefusedNotCalledFake) {
  Start(Manifest("readonly"));
  cmdVolumeTest_Click(*ctx_);
  ExpectToldAtTheEnd(Started(),
                     "CANNOT TEST: E:\\VCAPTEST1.tmp cannot be created: the volume is "
                     "write-protected or read-only (error 19). Nothing was written.");
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kNotRun);
}

// A write that fails partway: a cause that is not the memory stops the test
// without a verdict once the files written before it read back good; an I/O
// or data error is the memory's and is judged.
TEST_F(FileTestObstacles, WriteErrorsByCause) {
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
    Start(Manifest(""));
    interference_->fail_file = "VCAPTEST2.tmp";
    interference_->fail_error = error;
    cmdVolumeTest_Click(*ctx_);
    ExpectToldAtTheEnd(second + "\r\nWRITE ERROR!\r\nVerifying files 1 - 1...",
                       "TEST STOPPED: E:\\VCAPTEST2.tmp could not be written: " + reason +
                           ". The test file written before it read back good. No verdict is given "
                           "on the drive; the test files were deleted.");
    EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kStopped);
  }
  for (const std::uint32_t memory_error : {kErrorCrc, 29u, 1117u}) {
    SCOPED_TRACE(memory_error);
    Start(Manifest(""));
    interference_->fail_file = "VCAPTEST2.tmp";
    interference_->fail_error = memory_error;
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
TEST_F(FileTestObstacles, LastFileThatDoesNotFitIsWrittenShorter) {
  Start(Manifest(""));
  interference_->fail_file = "VCAPTEST3.tmp";
  interference_->fail_error = kErrorDiskFull;
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
TEST_F(FileTestObstacles, FullVolumeOnACounterfeitStillGetsItsVerdict) {
  Start(
      "disk 1\n claimed 1000MiB\n real 300MiB\n beyond zeros\n"
      " volume E: label \"FAKE\" capacity 900MiB\n");
  interference_->fail_file = "VCAPTEST3.tmp";
  interference_->fail_error = kErrorDiskFull;
  cmdVolumeTest_Click(*ctx_);
  EXPECT_NE(state_.results_log.find("\r\nWRITE ERROR!\r\nVerifying files 1 - 2..."),
            std::string::npos)
      << state_.results_log;
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kProbablyFake) << state_.results_log;
}

TEST_F(FileTestObstacles, TestFilesAreStoredUncompressedOrNotAtAll) {
  Start(Manifest("compressed"));
  cmdVolumeTest_Click(*ctx_);
  EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kPassed) << state_.results_log;

  // A volume that keeps compressing whatever it is asked.
  Start(Manifest("compressed"));
  interference_->ignore_compression_request = true;
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

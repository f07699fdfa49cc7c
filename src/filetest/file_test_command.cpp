#include "filetest/file_test_command.h"

#include <algorithm>
#include <cmath>

#include "app/busy.h"
#include "app/clock.h"
#include "app/controls.h"
#include "app/format.h"
#include "app/results_log.h"
#include "diskio/sector_io.h"
#include "drives/disk_number.h"
#include "drives/disk_role.h"
#include "drives/drive_info.h"
#include "drives/drive_list.h"
#include "filetest/cleanup.h"
#include "filetest/obstacles.h"
#include "filetest/report.h"
#include "filetest/verifier.h"
#include "filetest/writer.h"

namespace veracap {
namespace {

const std::string kLineBreak = kCrLf;

std::string ElapsedSinceStart(Context& ctx) {
  return ElapsedText(SerialSeconds(ctx.platform.GetLocalTime()) - ctx.state.TestStartTime);
}

void AbortWrite(Context& ctx) {
  ctx.state.volume_outcome = AppState::VolumeOutcome::kAborted;
  Hide_Cancel(ctx);
  AppendResult(ctx, kLineBreak + "TEST ABORTED (test files may be present)!");
}

void AbortVerify(Context& ctx) {
  ctx.state.volume_outcome = AppState::VolumeOutcome::kAborted;
  Hide_Cancel(ctx);
  AppendResult(ctx, kLineBreak + "TEST ABORTED (use Clean-up to delete test files)!");
}

// A test that cannot go on for a cause other than the memory: the reason in
// the log and in a message box (shown even in quiet mode, since no verdict
// follows to tell the user).
void TellCause(Context& ctx, const std::string& text) {
  AppendResult(ctx, kLineBreak + text);
  ShowMessage(ctx, text, kMbIconStop, "File Test");
}

// A test file that failed for a cause other than the memory (a full, read-
// only or compressing volume, a name taken): which file, and why.
struct OtherCause {
  std::int32_t file = 0;
  std::string why;  // empty: the failure may be the memory's
};

OtherCause CauseOfTestFileError(const AppState& s, std::int32_t n) {
  return {n, CauseOtherThanMemory(s.test_file_failed_step, s.test_file_error_code)};
}

// The first test file could not even be created: nothing was written, the
// test is refused at once.
bool RefusedAtOnce(Context& ctx, const OtherCause& cause) {
  AppState& s = ctx.state;
  if (cause.why.empty() || cause.file != 1 ||
      s.test_file_failed_step == AppState::TestFileStep::kWrite) {
    return false;
  }
  DeleteTestFiles(ctx, s.SelectedDrive);
  Hide_Cancel(ctx);
  s.volume_outcome = AppState::VolumeOutcome::kNotRun;
  TellCause(ctx, "CANNOT TEST: " + TestFilePath(s.SelectedDrive, cause.file) +
                     " cannot be created: " + cause.why + ". Nothing was written.");
  return true;
}

// The writing stopped for a cause other than the memory and every file
// written before read back good: the run ends without a verdict and without
// its test files. (Had one come back bad, the memory is at fault after all: a
// counterfeit's lost writes can wreck the file system's own records and fill
// or lock the volume that way, and the report gives its verdict.)
void StopForCause(Context& ctx, const OtherCause& cause, std::int32_t files_written) {
  AppState& s = ctx.state;
  DeleteTestFiles(ctx, s.SelectedDrive);
  Hide_Cancel(ctx);
  s.volume_outcome = AppState::VolumeOutcome::kStopped;
  const std::string before = files_written == 0 ? ""
                             : files_written == 1
                                 ? " The test file written before it read back good."
                                 : " The " + std::to_string(files_written) +
                                       " test files written before it read back good.";
  TellCause(ctx, "TEST STOPPED: " + TestFilePath(s.SelectedDrive, cause.file) +
                     " could not be written: " + cause.why + "." + before +
                     " No verdict is given on the drive; the test files were deleted.");
}

// Checks, messages and the confirmation before anything is written. True
// when the user agreed to the test.
bool PrepareVolumeTest(Context& ctx) {
  AppState& s = ctx.state;
  if (s.SelectedDrive.size() < 2) return false;
  s.SelectedDiskNumber = GetDiskNumber(ctx, s.SelectedDrive);
  // 99 means the disk is unknown.
  if (!IsDiskNumberInRange(s.SelectedDiskNumber)) return false;
  // Test files fill the volume: never one of the system's own.
  const DiskRole role = RoleOfDisk(ctx, s.SelectedDiskNumber);
  if (RefusesVolumeTest(role)) {
    ShowMessage(ctx, RefusalText(s.SelectedDiskNumber, role), kMbIconStop, "File Test");
    return false;
  }

  SetResultText(ctx, "Veracap - Volume File Test");
  s.CancelRequested = false;
  AppendResult(ctx, kLineBreak + s.TitleLine + kLineBreak);
  AppendResult(ctx, kLineBreak + ComboText(s, Control::Combo1));
  cmdcleanup_Click(ctx);
  ctx.platform.Sleep(100);
  s.TestFileError = false;

  const double free_mib = FreeDiskSpace(ctx, s.SelectedDrive) / 1024 / 1024;
  s.PlannedFileCount = std::floor(free_mib / 200);
  if (s.PlannedFileCount < 1) {
    ShowMessage(ctx, "ERROR: Drive not formatted or volume too full!", kMbIconExclamation,
                "No spare space or unformatted Drive!");
    return false;
  }
  GetUSBDiskDriveInfo(ctx, s.SelectedDiskNumber);
  const std::int32_t drive_mib = DriveMegabytes(s.DriveSizeBytes);
  if (drive_mib < 1) {
    ShowMessage(ctx, "Please run this application with Administrator rights.", kMbIconStop);
    return false;
  }
  // Test files are only ever created new: a name of this run that something
  // else holds stops the test before anything is written.
  const std::string obstacle = FirstTestFileObstacle(
      ctx, s.SelectedDrive, static_cast<std::int32_t>(s.PlannedFileCount) + 1);
  if (!obstacle.empty()) {
    TellCause(ctx, "CANNOT TEST: " + obstacle +
                       ". It was left as it is and nothing was written; move or rename it, then "
                       "run the test again.");
    return false;
  }
  const double whole_free_mib = std::floor(free_mib);
  AppendResult(ctx, kLineBreak + kLineBreak + "Warning: Testing " +
                        PlainNumberText(whole_free_mib) + "MB out of reported drive size of " +
                        std::to_string(drive_mib) + "MB");
  const int answer = ShowMessage(
      ctx,
      "OK to fill " + s.SelectedDrive + " with " + FormatNumberText(whole_free_mib, "###,###,###") +
          "MB of test files?" + kLineBreak + kLineBreak +
          "WARNING: If this device is 'fake', this operation could corrupt all your files." +
          kLineBreak + kLineBreak +
          "Tip: Close all instances of Windows Explorer to improve the speed.",
      kMbOkCancel, "File Test");
  if (answer != kIdOk) return false;
  const std::string changed = ChosenDeviceChanged(ctx);
  if (!changed.empty()) {
    ShowMessage(ctx, changed, kMbIconStop, "File Test");
    return false;
  }
  return true;
}

enum class PhaseEnd { kGoOn, kAborted, kStopped };

// The full files, with the interim checks. Sets files_written to the number
// of full files that the read-back checks, and other_cause when a file
// failed for a cause other than the memory.
PhaseEnd WriteFullFiles(Context& ctx, std::int32_t& files_written, OtherCause& other_cause) {
  AppState& s = ctx.state;
  s.CurrentFileSize = kFullTestFileBytes;
  files_written = static_cast<std::int32_t>(s.PlannedFileCount);
  s.LASTCHUNK = 0;
  for (std::int32_t i = 1; i <= s.PlannedFileCount; ++i) {
    AppendResult(ctx, kLineBreak + ElapsedSinceStart(ctx));
    if (s.CancelRequested) return PhaseEnd::kAborted;
    ctx.window.DoEvents();
    WriteTestFile(ctx, i);
    ctx.window.DoEvents();
    if (s.CancelRequested) return PhaseEnd::kAborted;
    if (s.TestFileError) {
      other_cause = CauseOfTestFileError(s, i);
      if (RefusedAtOnce(ctx, other_cause)) return PhaseEnd::kStopped;
      files_written = i - 1;
      AppendResult(ctx, kLineBreak + "WRITE ERROR!");
      break;
    }
    if (IsInterimCheckPoint(i)) CheckWrittenFiles(ctx, i);
    ctx.window.DoEvents();
    if (s.CancelRequested) return PhaseEnd::kAborted;
    if (s.TestFileError) {
      files_written = i;
      AppendResult(ctx, kLineBreak + "DATA ERROR!");
      break;
    }
    ctx.window.DoEvents();
  }
  return PhaseEnd::kGoOn;
}

bool VolumeFull(const AppState& s) {
  return s.test_file_failed_step == AppState::TestFileStep::kWrite &&
         (s.test_file_error_code == kErrorDiskFull ||
          s.test_file_error_code == kErrorHandleDiskFull);
}

// The shorter last file in what is left of the free space, keeping 1 KiB,
// in whole sectors of the volume: a test file is written unbuffered, which
// takes nothing else (free space less 1 KiB is none on a volume of 4 KiB
// sectors). A file system that keeps records of each file in the free space it reports
// (ext4's extent blocks, an NTFS attribute list of a fragmented file) may
// not hold that much in one file: the volume is then full before the last
// file is, which says nothing about the memory. The last file is written
// again, shorter, up to three times, rather than ending without a verdict.
void WriteLastFile(Context& ctx, std::int32_t files_written, OtherCause& other_cause) {
  AppState& s = ctx.state;
  double size = FreeDiskSpace(ctx, s.SelectedDrive) - 1024;
  if (size > kFullTestFileBytes) size = kFullTestFileBytes;
  const double sector = static_cast<double>(VolumeSectorBytes(ctx, s.SelectedDrive));
  size = std::floor(size / sector) * sector;
  const std::int32_t n = files_written + 1;
  for (int attempt = 0;; ++attempt) {
    if (size < 1024) size = 0;
    s.CurrentFileSize = s.LASTCHUNK = static_cast<std::int32_t>(size);
    if (size <= 0) return;
    if (attempt == 0) s.PlannedFileCount += 1;
    AppendResult(ctx,
                 kLineBreak + "Writing last file (" + TwoDecimalsText(size / 1024 / 1024) + "MB)");
    AppendResult(ctx, kLineBreak + ElapsedSinceStart(ctx));
    WriteTestFile(ctx, n);
    if (!s.TestFileError) return;
    if (s.CancelRequested || !VolumeFull(s) || attempt == 3) break;
    if (!ctx.platform.DeleteFile(TestFilePath(s.SelectedDrive, n))) break;
    AppendResult(ctx, kLineBreak + "The volume keeps part of its free space for its own records:" +
                          " writing a shorter last file.");
    s.TestFileError = false;
    constexpr double kMiB = 1024.0 * 1024.0;
    const double unit = std::max(4096.0, sector);
    size = std::floor((size - std::max(size / 8, kMiB)) / unit) * unit;
  }
  if (!s.CancelRequested) other_cause = CauseOfTestFileError(s, n);
  AppendResult(ctx, kLineBreak + (other_cause.why.empty() ? "DATA ERROR!" : "WRITE ERROR!"));
}

PhaseEnd VerifyAllFiles(Context& ctx, std::int32_t files_written) {
  AppState& s = ctx.state;
  AppendResult(ctx, kLineBreak + "Verifying files 1 - " + std::to_string(files_written) + "...");
  s.CurrentFileSize = kFullTestFileBytes;
  s.GoodFileCount = 0;
  for (std::int32_t j = 1; j <= files_written; ++j) {
    ctx.window.DoEvents();
    if (s.CancelRequested) return PhaseEnd::kAborted;
    VerifyTestFile(ctx, j);
  }
  s.CurrentFileSize = s.LASTCHUNK;
  if (!s.TestFileError) {
    AppendResult(ctx, kLineBreak + "Verifying file " + std::to_string(files_written + 1) + "...");
    // Without a last file of this run there is nothing to check: a file of
    // that number would be a stray one the clean-up could not delete, and it
    // must not count among this run's good files.
    if (s.LASTCHUNK > 0) VerifyTestFile(ctx, files_written + 1);
  }
  s.CurrentFileSize = kFullTestFileBytes;
  // A Cancel seen by the verifier's last yield made that file look bad; the
  // run must end as cancelled, not with a verdict on a drive it did not judge.
  if (s.CancelRequested) return PhaseEnd::kAborted;
  return PhaseEnd::kGoOn;
}

}  // namespace

double FreeDiskSpace(Context& ctx, const std::string& sDriveLetter) {
  std::uint64_t free_to_caller = 0;
  std::uint64_t total = 0;
  std::uint64_t total_free = 0;
  if (!ctx.platform.GetDiskFreeSpaceEx(sDriveLetter, &free_to_caller, &total, &total_free)) {
    return 0;
  }
  return static_cast<double>(free_to_caller);
}

void cmdVolumeTest_Click(Context& ctx) {
  AppState& s = ctx.state;
  s.volume_outcome = AppState::VolumeOutcome::kNotRun;
  if (!PrepareVolumeTest(ctx)) return;

  ctx.window.DoEvents();
  FillTestBuffer(s);
  s.TestStartTime = SerialSeconds(ctx.platform.GetLocalTime());
  AppendResult(ctx,
               kLineBreak + "Writing " + PlainNumberText(s.PlannedFileCount) + " x 200MB files...");
  Show_Cancel(ctx);
  SetVisible(ctx, Control::Label1, true);
  SetVisible(ctx, Control::cmdVolumeTest, true);

  std::int32_t files_written = 0;
  OtherCause other_cause;
  const PhaseEnd full_files = WriteFullFiles(ctx, files_written, other_cause);
  if (full_files == PhaseEnd::kAborted) return AbortWrite(ctx);
  if (full_files == PhaseEnd::kStopped) return;
  if (!s.TestFileError) WriteLastFile(ctx, files_written, other_cause);
  if (VerifyAllFiles(ctx, files_written) == PhaseEnd::kAborted) return AbortVerify(ctx);
  if (!other_cause.why.empty() && s.GoodFileCount == files_written) {
    return StopForCause(ctx, other_cause, files_written);
  }
  VolumeTestReport(ctx, files_written);
}

}  // namespace veracap

#include "filetest/report.h"

#include <cmath>
#include <string>

#include "app/busy.h"
#include "app/clock.h"
#include "app/format.h"
#include "app/results_log.h"
#include "filetest/cleanup.h"

namespace veracap {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

std::string Number(std::int64_t value) { return std::to_string(value); }

}  // namespace

VolumeTestFigures VolumeTestFiguresOf(std::int32_t files_written, double planned_file_count,
                                      std::int64_t good_file_count, std::int32_t last_chunk_bytes) {
  VolumeTestFigures f;
  const double last_mib = last_chunk_bytes / kMiB;
  f.tested_mb = last_chunk_bytes == 0
                    ? files_written * 200
                    : static_cast<std::int32_t>(RoundHalfEven(files_written * 200.0 + last_mib));
  const double good = static_cast<double>(good_file_count);
  if (good == planned_file_count && last_chunk_bytes != 0) {
    f.good_mb = static_cast<std::int32_t>(RoundHalfEven((planned_file_count - 1) * 200 + last_mib));
  } else {
    f.good_mb = static_cast<std::int32_t>(good_file_count * 200);
  }
  if (good == planned_file_count) {
    f.verdict = FileTestVerdict::kPassed;
  } else if (good > planned_file_count * 2 / 3) {
    f.verdict = FileTestVerdict::kFaulty;
  } else {
    f.verdict = FileTestVerdict::kProbablyFake;
  }
  return f;
}

std::string TwoDecimalsText(double mib) {
  const long long hundredths = std::llround(mib * 100);
  std::string text = FormatNumberText(static_cast<double>(hundredths / 100), "###,###,###");
  const long long cents = hundredths % 100;
  if (cents == 0) return text;
  text += '.';
  text += static_cast<char>('0' + cents / 10);
  if (cents % 10 != 0) text += static_cast<char>('0' + cents % 10);
  return text;
}

std::int32_t DriveMegabytes(double drive_size_bytes) {
  return static_cast<std::int32_t>(RoundHalfEven(RoundHalfEven(drive_size_bytes / 1024) / 1024));
}

void VolumeTestReport(Context& ctx, std::int32_t files_written) {
  AppState& s = ctx.state;
  const VolumeTestFigures f =
      VolumeTestFiguresOf(files_written, s.PlannedFileCount, s.GoodFileCount, s.LASTCHUNK);
  const bool passed = f.verdict == FileTestVerdict::kPassed;
  const std::string crlf = kCrLf;
  s.volume_tested_mb = f.tested_mb;
  s.volume_good_mb = f.good_mb;

  AppendResult(ctx, crlf + "-----------------------" + crlf + "TEST FINISHED" + crlf +
                        Number(f.tested_mb) + "MB of filespace was tested.");
  const std::int64_t elapsed = SerialSeconds(ctx.platform.GetLocalTime()) - s.TestStartTime;
  AppendResult(ctx, crlf + "Test Time = " + ElapsedText(elapsed));
  if (passed) {
    AppendResult(ctx, crlf + crlf + "PASSED: " + Number(f.tested_mb) + "MB tested and OK." + crlf);
  } else {
    AppendResult(ctx, crlf + crlf + "TEST FAILED: Only " + Number(f.good_mb) + "MB out of the " +
                          Number(f.tested_mb) + "MB tested were good." + crlf);
  }

  AppendResult(ctx, crlf + "Deleting test files - please wait...");
  ctx.window.DoEvents();
  DeleteTestFiles(ctx, s.SelectedDrive);
  ctx.window.DoEvents();
  AppendResult(ctx, " Finished." + crlf);

  if (passed) {
    AppendResult(ctx, crlf + "Note: " + Number(f.good_mb) + "MB out of " +
                          Number(DriveMegabytes(s.DriveSizeBytes)) +
                          "MB were tested for integrity.");
  }
  switch (f.verdict) {
    case FileTestVerdict::kPassed:
      s.volume_outcome = AppState::VolumeOutcome::kPassed;
      ReportMessage(ctx,
                    crlf +
                        "The unused file space on this drive volume seems good, however to ensure "
                        "the memory is not faulty, I recommend you run the Quick Size Test.",
                    kMbIconInformation);
      break;
    case FileTestVerdict::kFaulty:
      s.volume_outcome = AppState::VolumeOutcome::kFaulty;
      ReportMessage(ctx, crlf + "THIS DRIVE IS FAULTY - THE CONTENTS MAY NOW BE CORRUPT!",
                    kMbIconStop);
      break;
    case FileTestVerdict::kProbablyFake:
      s.volume_outcome = AppState::VolumeOutcome::kProbablyFake;
      ReportMessage(ctx,
                    crlf +
                        "THIS DRIVE IS PROBABLY FAKE (COUNTERFEIT) OR FAULTY - THE CONTENTS MAY "
                        "NOW BE CORRUPT!",
                    kMbIconStop);
      break;
  }
  Hide_Cancel(ctx);
}

}  // namespace veracap

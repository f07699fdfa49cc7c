#include "quicktest/quick_size_engine.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "app/busy.h"
#include "app/clock.h"
#include "app/format.h"
#include "app/results_log.h"
#include "diskio/sector_io.h"
#include "diskio/volumes.h"
#include "quicktest/marker.h"

namespace veracap {
namespace {

constexpr std::uint32_t kSlowWriteMs = 500;
constexpr std::uint32_t kSettleMs = 500;
constexpr double kMiB = 1048576;
constexpr const char* kMegabytePattern = "#########0.0##";

std::string Num(std::int64_t n) { return std::to_string(n); }

struct Mismatch {
  std::int64_t sector;
  double value;
};

// One run of the test: the working values shared by its two passes.
class QuickRun {
 public:
  explicit QuickRun(Context& ctx)
      : ctx_(ctx),
        disk_(ctx.state.SelectedDiskNumber),
        // A size that is not a whole number of sectors counts its whole
        // sectors only; a fractional sector cannot be addressed.
        sectors_(static_cast<std::int64_t>(std::floor(ctx.state.DriveSizeBytes / kSectorBytes))),
        total_(static_cast<double>(sectors_) * kSectorBytes) {}

  void Run();

 private:
  std::int64_t NowSeconds() { return SerialSeconds(ctx_.platform.GetLocalTime()); }
  void Log(const std::string& text) { AppendResult(ctx_, text); }
  bool WriteMarker(std::int64_t sector) {
    EncodeMarker(static_cast<double>(sector), ctx_.state.SectorBuffer);
    return DirectWrite(ctx_, static_cast<double>(sector), 1);
  }
  void Judge(std::int64_t sector) {
    const double value = DecodeMarker(ctx_.state.SectorBuffer);
    if (value != static_cast<double>(sector)) mismatches_.push_back({sector, value});
  }
  // A single read of a sector outside the block pass, judged like the others.
  void ClosingRead(std::int64_t sector) {
    if (!DirectRead(ctx_, static_cast<double>(sector), 1)) {
      Log("\r\n*** ERROR *** at Sector " + Num(sector));
    }
    Judge(sector);
  }
  void Progress(const char* label);
  bool WritePass();  // false when the test ended inside it
  void ReadPass();
  void Report();

  Context& ctx_;
  const std::int32_t disk_;
  const std::int64_t sectors_;
  const double total_;
  double remaining_ = 0;
  std::int64_t offset_ = 0;
  int last_percent_ = 0;
  std::int64_t test_start_ = 0;
  std::int64_t pass_start_ = 0;
  std::vector<std::int64_t> probes_;
  std::vector<Mismatch> mismatches_;
};

void QuickRun::Progress(const char* label) {
  const int percent = static_cast<int>(std::floor(100 - remaining_ / total_ * 100));
  if (!(percent > last_percent_ + 4 || percent > 99)) return;
  const double elapsed = static_cast<double>(NowSeconds() - pass_start_);
  double estimate = remaining_ == 0 ? 0 : elapsed * remaining_ / (total_ - remaining_);
  std::string time_text = "0 min 1 sec";
  if (std::floor(estimate) > 0) {
    estimate += 1;
    const double minutes = std::floor(estimate / 60);
    time_text = PlainNumberText(minutes) + " min " +
                PlainNumberText(std::floor(estimate - minutes * 60)) + " sec ";
  }
  Log("\r\n" + Num(percent) + label + time_text + " remaining");
  ctx_.window.DoEvents();
  last_percent_ = percent;
}

bool QuickRun::WritePass() {
  AppState& s = ctx_.state;
  if (!WriteMarker(sectors_ - 1)) {
    Log("\r\n*** ERROR *** writing to drive at Sector " + Num(sectors_ - 1));
  }
  for (const std::int64_t probe : probes_) {
    if (!WriteMarker(probe)) Log("\r\n*** ERROR *** writing to drive at Sector " + Num(probe));
  }
  remaining_ = total_;
  offset_ = 0;
  last_percent_ = 0;
  while (remaining_ > 0) {
    if (s.CancelRequested) {
      ctx_.platform.Sleep(kSettleMs);
      Lock_Unlock_All_Volumes(ctx_, disk_, "UNLOCK");
      ctx_.window.DoEvents();
      MyCloseHandle(ctx_, s.hDrive);
      Hide_Cancel(ctx_);
      Log("\r\nTEST ABORTED!");
      s.quick_outcome = AppState::QuickOutcome::kAborted;
      return false;
    }
    const double chunk = std::min(kBlockBytes, remaining_);
    const std::int64_t sector = sectors_ - offset_ - 1;
    EncodeMarker(static_cast<double>(sector), s.SectorBuffer);
    if (s.DebugMode) Log("\r\nWrite sector to " + Num(sector));
    const std::uint32_t before = ctx_.platform.GetTickCount();
    const bool ok = DirectWrite(ctx_, static_cast<double>(sector), 1);
    const std::uint32_t elapsed_ms = ctx_.platform.GetTickCount() - before;
    if (!ok) {
      Log("\r\nWRITE ERROR: Sector = " + Num(sector));
      int answer = kIdCancel;
      if (elapsed_ms > kSlowWriteMs) {
        if (!s.QuietMode) {
          answer = ShowMessage(ctx_,
                               "*** WRITE ERROR *** at Sector " + Num(sector) +
                                   "\r\n\r\nNote: This could be caused by poor quality USB cable "
                                   "or bad device.\r\n\r\nContinue?",
                               kMbOkCancel, "WRITE ERROR CAUSING SLOW ACCESS!");
        }
        if (answer != kIdOk) {
          Lock_Unlock_All_Volumes(ctx_, disk_, "UNLOCK");
          MyCloseHandle(ctx_, s.hDrive);
          Log("\r\nTEST ABORTED DUE TO WRITE ERROR!");
          s.quick_outcome = AppState::QuickOutcome::kAborted;
          return false;
        }
      }
      DirectWrite(ctx_, static_cast<double>(sector), 1);
    }
    remaining_ -= chunk;
    offset_ += static_cast<std::int64_t>(chunk / kSectorBytes);
    ctx_.window.DoEvents();
    Progress("% complete  - ");
  }
  if (!WriteMarker(0)) Log("\r\n*** ERROR *** writing to drive at Sector 0");
  return true;
}

void QuickRun::ReadPass() {
  AppState& s = ctx_.state;
  Log("\r\nReading back marker blocks...");
  remaining_ = total_;
  offset_ = 0;
  pass_start_ = NowSeconds();
  last_percent_ = 0;
  while (remaining_ > 0) {
    const std::int64_t sector = sectors_ - offset_ - 1;
    if (s.DebugMode) Log("\r\nRead from sector " + Num(sector));
    bool ok = DirectRead(ctx_, static_cast<double>(sector), 1);
    if (ok) ok = DirectRead(ctx_, static_cast<double>(sector), 1);
    if (!ok) {
      Log("\r\n*** ERROR *** reading from drive " + Num(disk_) + " at Sector " + Num(sector));
    }
    Judge(sector);
    remaining_ -= kBlockBytes;
    offset_ += kBlockSectors;
    Progress("% complete - ");
    if (mismatches_.size() > kMismatchLimit) remaining_ = 0;
    if (remaining_ < kBlockBytes) remaining_ = 0;
  }
  ClosingRead(sectors_ - 1);
  for (const std::int64_t probe : probes_) ClosingRead(probe);
  ClosingRead(0);
}

void QuickRun::Report() {
  AppState& s = ctx_.state;
  std::string recommended_line;
  if (!mismatches_.empty()) {
    double lowest = static_cast<double>(sectors_ + 1);
    double highest = 0;
    double lowest_value = static_cast<double>(sectors_ + 1);
    for (const Mismatch& m : mismatches_) {
      lowest = std::min(lowest, static_cast<double>(m.sector));
      highest = std::max(highest, static_cast<double>(m.sector));
      lowest_value = std::min(lowest_value, m.value);
    }
    Log("\r\nMemory tested in blocks of " + Num(kBlockSectors) + " sectors.");
    Log("\r\n\r\nBAD MEMORY from sector " + PlainNumberText(lowest) + " (" +
        FormatNumberText(lowest * kSectorBytes / kMiB, kMegabytePattern) + "MiB) ");
    Log("to sector " + PlainNumberText(highest) + " (" +
        FormatNumberText(highest * kSectorBytes / kMiB, kMegabytePattern) + "Mib)");
    if (lowest_value == kNoMarker) {
      Log("\r\n\r\nWARNING: no memory detected at one or more locations.");
    }
    // Bad memory within the first block leaves no usable partition; the size
    // is never negative.
    const double recommended = std::max(0.0, (lowest * kSectorBytes - kBlockBytes) / kMiB);
    s.quick_findings = {lowest, highest, static_cast<std::int64_t>(mismatches_.size()),
                        recommended * kMiB};
    recommended_line = "Recommended maximum usable partition size: " +
                       FormatNumberText(recommended, kMegabytePattern) +
                       "Mib (approx. Last good Sector=" + PlainNumberText(lowest) + ")";
  }
  Log("\r\nTest took " + Num(NowSeconds() - test_start_) + " seconds.\r\n");
  ctx_.window.DoEvents();

  std::fill(s.SectorBuffer.begin(), s.SectorBuffer.end(), 0);
  Open_Physical_Disk_hDrive(ctx_, disk_);
  DirectWrite(ctx_, 0, 1);
  MyCloseHandle(ctx_, s.hDrive);

  s.quick_outcome =
      mismatches_.empty() ? AppState::QuickOutcome::kPassed : AppState::QuickOutcome::kFailed;
  if (mismatches_.empty()) {
    ReportMessage(ctx_,
                  "\r\nDevice quick test was OK    *** PASSED ***\r\n\r\nNOTE: Drive filesystem "
                  "has been erased - please partition and format it, and then test with H2TESTW "
                  "for thorough test.",
                  kMbIconInformation);
    std::string media = s.MediaTypeText;
    std::transform(media.begin(), media.end(), media.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (media.find("REMOVABLE") != std::string::npos) {
      Log("\r\n\r\nINFO: This device is classed as a Removable Disk by Windows.");
    } else {
      Log("\r\n\r\nINFO: This device is classed as a Fixed Disk by Windows.");
    }
  } else {
    ReportMessage(ctx_,
                  "\r\n                         *** FAILED ***\r\n\r\nDEVICE HAS DUPLICATE OR BAD "
                  "BLOCKS!\r\n\r\n" +
                      recommended_line + "\r\n",
                  kMbIconStop);
  }
  ReportMessage(ctx_,
                "\r\nUnplug and re-connect the drive, then reformat it using Windows or Kelvane.",
                kMbOk);
}

void QuickRun::Run() {
  AppState& s = ctx_.state;
  ctx_.window.DoEvents();
  ctx_.window.DoEvents();
  Lock_Unlock_All_Volumes(ctx_, disk_, "LOCK");
  s.SectorBuffer.assign(kSectorBytes, 0xFF);
  DisMount_All_Volumes(ctx_, disk_);
  Open_Physical_Disk_hDrive(ctx_, disk_);
  DirectWrite(ctx_, 0, 1);
  MyCloseHandle(ctx_, s.hDrive);
  ctx_.platform.Sleep(kSettleMs);
  Open_Physical_Disk_hDrive(ctx_, disk_);
  Log("\r\n\r\nWriting marker blocks to drive " + Num(disk_));
  test_start_ = pass_start_ = NowSeconds();
  probes_ = WrapProbeSectors(sectors_);

  if (!WritePass()) return;
  ReadPass();

  ctx_.platform.Sleep(kSettleMs);
  Lock_Unlock_All_Volumes(ctx_, disk_, "UNLOCK");
  ctx_.window.DoEvents();
  MyCloseHandle(ctx_, s.hDrive);
  Report();
}

}  // namespace

std::vector<std::int64_t> WrapProbeSectors(std::int64_t sector_count) {
  std::vector<std::int64_t> probes;
  for (int j = 62; j >= 15; --j) {
    const std::int64_t sector = std::int64_t{1} << j;
    if (sector >= sector_count) continue;
    // The block markers sit at sector_count - 1 - k * 25600.
    if ((sector_count - 1 - sector) % kBlockSectors == 0) continue;
    probes.push_back(sector);
  }
  return probes;
}

void QuickSizeTest(Context& ctx) {
  const std::int32_t disk = ctx.state.SelectedDiskNumber;
  // Disk 0 holds the system; a negative number names no disk at all.
  if (disk < 1 || disk > kHighestDiskNumber) return;
  ctx.state.quick_outcome = AppState::QuickOutcome::kNotRun;
  ctx.state.quick_findings = {};
  QuickRun(ctx).Run();
}

}  // namespace veracap

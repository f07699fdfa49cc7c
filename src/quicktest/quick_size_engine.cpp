#include "quicktest/quick_size_engine.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <utility>

#include "app/busy.h"
#include "app/clock.h"
#include "app/format.h"
#include "app/results_log.h"
#include "diskio/sector_io.h"
#include "diskio/volumes.h"
#include "drives/disk_role.h"
#include "quicktest/marker.h"

namespace veracap {
namespace {

constexpr std::uint32_t kSlowWriteMs = 500;
constexpr std::uint32_t kSettleMs = 500;
constexpr double kMiB = 1048576;
constexpr const char* kMegabytePattern = "#########0.0##";
constexpr std::int64_t kBulkSectors = 2048;  // 1 MiB per request for the guard and the flood
constexpr std::int64_t kFloodMargin = 256;   // sectors kept clear around every marker
constexpr const char* kUnplugText =
    "\r\nUnplug and re-connect the drive, then reformat it using Windows or Kelvane.";
constexpr const char* kFillOnlyNote =
    "\r\n\r\nNOTE: A counterfeit that stores every write in a log of its real size passes "
    "this test; only filling the drive finds it, which the Volume File Test (Test Empty Space) "
    "does.";

std::string Num(std::int64_t n) { return std::to_string(n); }

struct Mismatch {
  std::int64_t sector;  // the bad address
  double value;         // what was found there
  bool alias;           // this run's marker of another sector
};

std::int64_t Gcd(std::int64_t a, std::int64_t b) {
  while (b != 0) {
    const std::int64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

// One run of the test: the working values shared by its two passes.
class QuickRun {
 public:
  explicit QuickRun(Context& ctx)
      : ctx_(ctx),
        disk_(ctx.state.SelectedDiskNumber),
        // A size that is not a whole number of sectors counts its whole
        // sectors only; a fractional sector cannot be addressed.
        sectors_(static_cast<std::int64_t>(std::floor(ctx.state.DriveSizeBytes / kSectorBytes))),
        total_(static_cast<double>(sectors_) * kSectorBytes),
        guard_sectors_(std::min(sectors_, kBlockSectors)) {}

  void Run();

 private:
  std::int64_t NowSeconds() { return SerialSeconds(ctx_.platform.GetLocalTime()); }
  void Log(const std::string& text) { AppendResult(ctx_, text); }
  std::vector<std::uint8_t>& Buffer(std::int64_t count) {
    ctx_.state.SectorBuffer.resize(static_cast<std::size_t>(count) * kSectorBytes);
    return ctx_.state.SectorBuffer;
  }
  bool WriteMarker(std::int64_t sector) {
    FormatRunMarker(sector, stamp_, false, Buffer(1).data());
    return DirectWrite(ctx_, static_cast<double>(sector), 1);
  }
  // count sectors from first, each its own marker (noise-filled or not),
  // in one request; retried once. False when both attempts failed.
  bool WriteRun(std::int64_t first, std::int64_t count, bool noise) {
    std::vector<std::uint8_t>& buffer = Buffer(count);
    for (std::int64_t i = 0; i < count; ++i) {
      FormatRunMarker(first + i, stamp_, noise, buffer.data() + i * kSectorBytes);
    }
    return DirectWrite(ctx_, static_cast<double>(first), static_cast<std::int32_t>(count)) ||
           DirectWrite(ctx_, static_cast<double>(first), static_cast<std::int32_t>(count));
  }
  void NoteWrite(std::int64_t sector, bool ok) {
    ++marker_writes_;
    if (ok) {
      wrote_any_ = true;
      failed_writes_.erase(sector);  // the latest write of the sector counts
    } else {
      ++failed_marker_writes_;
      failed_writes_.insert(sector);
    }
  }
  void Judge(std::int64_t sector, bool read_ok, const std::uint8_t* data);
  // A single read of a sector outside the block pass, judged like the others.
  void ClosingRead(std::int64_t sector) {
    const bool ok = DirectRead(ctx_, static_cast<double>(sector), 1);
    if (!ok) Log("\r\n*** ERROR *** at Sector " + Num(sector));
    Judge(sector, ok, ctx_.state.SectorBuffer.data());
  }
  bool Cancelled();
  bool StoppedByCause(std::int64_t sector);
  void Progress(const char* label);
  bool WriteGuard();
  bool WritePass();  // false when the test ended inside it
  bool Flood();
  void ReadPass();
  void ReadGuard();
  void FinishCappedPass(std::int64_t next_unread_step, std::int64_t steps);
  std::int64_t LowestBadSector();
  void Report();

  Context& ctx_;
  const std::int32_t disk_;
  const std::int64_t sectors_;
  const double total_;
  const std::int64_t guard_sectors_;
  RunStamp stamp_;
  double remaining_ = 0;
  std::int64_t offset_ = 0;
  int last_percent_ = 0;
  std::int64_t test_start_ = 0;
  std::int64_t pass_start_ = 0;
  std::vector<std::int64_t> probes_;
  std::vector<Mismatch> mismatches_;
  // Sectors backed by memory: they held their own marker, or a higher
  // sector's that its writes took over.
  std::vector<std::int64_t> answered_;
  std::int64_t period_ = 0;  // gcd of the distances between aliased sectors
  std::set<std::int64_t> failed_writes_;
  std::int64_t marker_writes_ = 0;
  std::int64_t failed_marker_writes_ = 0;
  std::int64_t marker_reads_ = 0;
  std::int64_t failed_reads_ = 0;
  std::int64_t flood_writes_ = 0;
  std::int64_t failed_flood_writes_ = 0;
  bool sector0_write_failed_ = false;
  bool wrote_any_ = false;
};

void QuickRun::Judge(std::int64_t sector, bool read_ok, const std::uint8_t* data) {
  ++marker_reads_;
  if (!read_ok) ++failed_reads_;
  // A marker whose write or read failed says nothing about the memory, even
  // when the buffer happens to hold what was meant to be there.
  if (!read_ok || failed_writes_.count(sector) != 0) {
    mismatches_.push_back({sector, kNoMarker, false});
    return;
  }
  const double value = DecodeRunMarker(data, stamp_);
  if (value == static_cast<double>(sector)) {
    answered_.push_back(sector);
    return;
  }
  if (value >= 0) {
    // Two addresses reach the same memory: the higher one is the bad one,
    // and the memory wraps at their distance or a divisor of it.
    const auto other = static_cast<std::int64_t>(value);
    period_ = Gcd(period_, std::llabs(sector - other));
    // A sector holding a higher one's marker is memory, only overwritten.
    if (sector < other) answered_.push_back(sector);
    mismatches_.push_back(
        {std::max(sector, other), static_cast<double>(std::min(sector, other)), true});
    return;
  }
  // Not this run's marker: no marker at all, an earlier run's (which
  // counts as no marker: this run's write never arrived), or other content.
  std::vector<std::uint8_t> head(data, data + 8);
  const double raw = DecodeMarker(head);
  const bool sector_number = raw >= 0 && raw < static_cast<double>(sectors_);
  mismatches_.push_back({sector, sector_number ? kNoMarker : raw, false});
}

bool QuickRun::Cancelled() {
  AppState& s = ctx_.state;
  if (!s.CancelRequested) return false;
  ctx_.platform.Sleep(kSettleMs);
  Lock_Unlock_All_Volumes(ctx_, disk_, "UNLOCK");
  ctx_.window.DoEvents();
  MyCloseHandle(ctx_, s.hDrive);
  Hide_Cancel(ctx_);
  Log("\r\nTEST ABORTED!");
  s.quick_outcome = AppState::QuickOutcome::kAborted;
  return true;
}

// A write that failed for a cause other than the memory (the drive is
// write-protected, removed, held by another program, or refuses the
// transfer) ends the test at once: going on would report good memory as bad.
bool QuickRun::StoppedByCause(std::int64_t sector) {
  AppState& s = ctx_.state;
  const std::uint32_t code = s.direct_write_error;
  const std::string why = WriteFailureNotTheMemory(code);
  if (why.empty()) return false;
  ctx_.platform.Sleep(kSettleMs);
  Lock_Unlock_All_Volumes(ctx_, disk_, "UNLOCK");
  ctx_.window.DoEvents();
  MyCloseHandle(ctx_, s.hDrive);
  Log("\r\nTest took " + Num(NowSeconds() - test_start_) + " seconds.\r\n");
  ReportCouldNotWrite(ctx_, "Writing stopped at sector " + Num(sector) + ": " + why + " (error " +
                                Num(code) + ").");
  return true;
}

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

// Every sector of the lowest block, written before anything else and from
// the top down. Whatever the period at which the addresses wrap, the later
// writes put markers of higher sectors onto it, so that a wrap shows even
// where no two block markers collide.
bool QuickRun::WriteGuard() {
  for (std::int64_t top = guard_sectors_; top > 0; top -= kBulkSectors) {
    if (Cancelled()) return false;
    const std::int64_t first = std::max<std::int64_t>(0, top - kBulkSectors);
    const bool ok = WriteRun(first, top - first, false);
    if (!ok && StoppedByCause(first)) return false;
    for (std::int64_t sector = first; sector < top; ++sector) NoteWrite(sector, ok);
    if (first == 0 && !ok) sector0_write_failed_ = true;
    ctx_.window.DoEvents();
  }
  return true;
}

bool QuickRun::WritePass() {
  AppState& s = ctx_.state;
  if (!WriteGuard()) return false;
  const bool last_ok = WriteMarker(sectors_ - 1);
  if (!last_ok && StoppedByCause(sectors_ - 1)) return false;
  if (!last_ok) Log("\r\n*** ERROR *** writing to drive at Sector " + Num(sectors_ - 1));
  for (const std::int64_t probe : probes_) {
    const bool ok = WriteMarker(probe);
    if (!ok && StoppedByCause(probe)) return false;
    if (!ok) Log("\r\n*** ERROR *** writing to drive at Sector " + Num(probe));
    NoteWrite(probe, ok);
  }
  remaining_ = total_;
  offset_ = 0;
  last_percent_ = 0;
  while (remaining_ > 0) {
    if (Cancelled()) return false;
    const double chunk = std::min(kBlockBytes, remaining_);
    const std::int64_t sector = sectors_ - offset_ - 1;
    FormatRunMarker(sector, stamp_, false, Buffer(1).data());
    if (s.DebugMode) Log("\r\nWrite sector to " + Num(sector));
    const std::uint32_t before = ctx_.platform.GetTickCount();
    bool ok = DirectWrite(ctx_, static_cast<double>(sector), 1);
    const std::uint32_t elapsed_ms = ctx_.platform.GetTickCount() - before;
    if (!ok && StoppedByCause(sector)) return false;
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
      ok = DirectWrite(ctx_, static_cast<double>(sector), 1);
      if (!ok && StoppedByCause(sector)) return false;
    }
    // The last sector's marker counts as written when either of its writes
    // arrived.
    NoteWrite(sector, ok || (sector == sectors_ - 1 && last_ok));
    remaining_ -= chunk;
    offset_ += static_cast<std::int64_t>(chunk / kSectorBytes);
    ctx_.window.DoEvents();
    Progress("% complete  - ");
  }
  // Sector 0's marker is the guard's lowest sector.
  if (sector0_write_failed_) Log("\r\n*** ERROR *** writing to drive at Sector 0");
  return true;
}

// A device may hold recent writes in a cache of its own and answer reads
// from it, whatever its memory holds. Before the read-back, kFloodBytes of
// distinct, incompressible sectors go to the lowest blocks above the guard,
// written from the top down, keeping clear of every marker by a margin, so
// that each marker has left any cache of up to 256 MiB for the memory
// behind it. The flood's sectors are this run's markers too: wherever one
// lands on another sector's memory it shows as a duplicate like any other.
bool QuickRun::Flood() {
  std::vector<std::int64_t> keep(probes_);
  keep.push_back(sectors_ - 1);
  // The block markers at (S - 1) mod 25600 + k * 25600.
  const std::int64_t first_marker = (sectors_ - 1) % kBlockSectors;
  std::sort(keep.begin(), keep.end());
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;  // [first, end), rising
  std::int64_t need = static_cast<std::int64_t>(kFloodBytes / kSectorBytes);
  std::int64_t at = guard_sectors_ + kFloodMargin;
  std::size_t next_keep = 0;
  while (need > 0 && at < sectors_) {
    std::int64_t marker =
        first_marker + (at - first_marker + kBlockSectors - 1) / kBlockSectors * kBlockSectors;
    if (at <= first_marker) marker = first_marker;
    while (next_keep < keep.size() && keep[next_keep] < at) ++next_keep;
    std::int64_t obstacle = std::min(marker, sectors_ - 1);
    if (next_keep < keep.size()) obstacle = std::min(obstacle, keep[next_keep]);
    const std::int64_t end = std::min(obstacle - kFloodMargin, at + need);
    if (end > at) {
      ranges.emplace_back(at, end);
      need -= end - at;
    }
    at = std::max(at, obstacle + kFloodMargin + 1);
  }
  std::int64_t flood_sectors = 0;
  for (const auto& [first, end] : ranges) flood_sectors += end - first;
  if (flood_sectors == 0) return true;
  Log("\r\nWriting " +
      FormatNumberText(static_cast<double>(flood_sectors) * kSectorBytes / kMiB, kMegabytePattern) +
      "MiB of other data to push the markers out of any write cache...");
  for (auto range = ranges.rbegin(); range != ranges.rend(); ++range) {
    for (std::int64_t top = range->second; top > range->first; top -= kBulkSectors) {
      if (Cancelled()) return false;
      const std::int64_t first = std::max(range->first, top - kBulkSectors);
      ++flood_writes_;
      if (!WriteRun(first, top - first, true)) {
        if (StoppedByCause(first)) return false;
        ++failed_flood_writes_;
      }
      ctx_.window.DoEvents();
    }
  }
  return true;
}

void QuickRun::ReadGuard() {
  for (std::int64_t first = 0; first < guard_sectors_; first += kBulkSectors) {
    const std::int64_t count = std::min(kBulkSectors, guard_sectors_ - first);
    Buffer(count);
    if (DirectRead(ctx_, static_cast<double>(first), static_cast<std::int32_t>(count))) {
      for (std::int64_t i = 0; i < count; ++i) {
        Judge(first + i, true, ctx_.state.SectorBuffer.data() + i * kSectorBytes);
      }
    } else {
      // Find out which sectors fail.
      for (std::int64_t sector = first; sector < first + count; ++sector) {
        Buffer(1);
        const bool ok = DirectRead(ctx_, static_cast<double>(sector), 1);
        if (!ok) {
          Log("\r\n*** ERROR *** reading from drive " + Num(disk_) + " at Sector " + Num(sector));
        }
        Judge(sector, ok, ctx_.state.SectorBuffer.data());
      }
    }
    ctx_.window.DoEvents();
  }
  Buffer(1);
}

// The pass stopped at the mismatch limit, reading from the top: read the
// markers it left unread from the bottom up, to the first one without
// memory, so that the report finds where the good memory ends.
void QuickRun::FinishCappedPass(std::int64_t next_unread_step, std::int64_t steps) {
  for (std::int64_t step = steps - 1; step >= next_unread_step; --step) {
    const std::int64_t sector = sectors_ - 1 - step * kBlockSectors;
    bool ok = DirectRead(ctx_, static_cast<double>(sector), 1);
    if (ok) ok = DirectRead(ctx_, static_cast<double>(sector), 1);
    if (!ok) {
      Log("\r\n*** ERROR *** reading from drive " + Num(disk_) + " at Sector " + Num(sector));
    }
    const std::size_t before = mismatches_.size();
    Judge(sector, ok, ctx_.state.SectorBuffer.data());
    KeepResponsive(ctx_);
    // A lower marker overwritten by a higher one is memory all the same:
    // go on until one reads nothing, or lies above the known wrap.
    if (mismatches_.size() != before &&
        (!mismatches_.back().alias || (period_ > 0 && sector >= period_))) {
      return;
    }
  }
}

void QuickRun::ReadPass() {
  AppState& s = ctx_.state;
  Log("\r\nReading back marker blocks...");
  remaining_ = total_;
  offset_ = 0;
  pass_start_ = NowSeconds();
  last_percent_ = 0;
  const std::int64_t steps = std::max<std::int64_t>(1, sectors_ / kBlockSectors);
  std::int64_t step = 0;
  bool capped = false;
  while (remaining_ > 0) {
    const std::int64_t sector = sectors_ - offset_ - 1;
    if (s.DebugMode) Log("\r\nRead from sector " + Num(sector));
    bool ok = DirectRead(ctx_, static_cast<double>(sector), 1);
    if (ok) ok = DirectRead(ctx_, static_cast<double>(sector), 1);
    if (!ok) {
      Log("\r\n*** ERROR *** reading from drive " + Num(disk_) + " at Sector " + Num(sector));
    }
    Judge(sector, ok, s.SectorBuffer.data());
    // The pass yields only with its progress lines, some thousands of reads
    // apart on a large disk.
    KeepResponsive(ctx_);
    ++step;
    remaining_ -= kBlockBytes;
    offset_ += kBlockSectors;
    Progress("% complete - ");
    if (mismatches_.size() > kMismatchLimit) {
      capped = remaining_ >= kBlockBytes;
      remaining_ = 0;
    }
    if (remaining_ < kBlockBytes) remaining_ = 0;
  }
  ReadGuard();
  if (capped) FinishCappedPass(step, steps);
  for (const std::int64_t probe : probes_) ClosingRead(probe);
  ClosingRead(sectors_ - 1);
  ClosingRead(0);
}

// Where the bad memory begins. Duplicates give the period at which the
// addresses wrap, the first address that reaches another's memory. Any
// other bad sector (no marker of this run, a failed read or write) lies
// above the good memory by at most the distance to the nearest sector below
// it that memory answered for: the memory is taken to end just above that
// sector, so the figure never lies above the real memory.
std::int64_t QuickRun::LowestBadSector() {
  std::sort(answered_.begin(), answered_.end());
  std::int64_t lowest = period_ > 0 ? period_ : sectors_ + 1;
  for (const Mismatch& m : mismatches_) {
    if (m.alias || m.sector >= lowest) continue;
    const auto below = std::lower_bound(answered_.begin(), answered_.end(), m.sector);
    const std::int64_t from = below == answered_.begin() ? 0 : *std::prev(below) + 1;
    lowest = std::min(lowest, from);
  }
  return lowest;
}

void QuickRun::Report() {
  AppState& s = ctx_.state;
  const bool wrote_nothing = !wrote_any_;
  if (failed_marker_writes_ > 0 || failed_reads_ > 0 || failed_flood_writes_ > 0) {
    std::string line = "\r\nMarker writes that failed: " + Num(failed_marker_writes_) + " of " +
                       Num(marker_writes_) + ". Marker reads that failed: " + Num(failed_reads_) +
                       " of " + Num(marker_reads_) + ".";
    if (failed_flood_writes_ > 0) {
      line += " Cache flush writes that failed: " + Num(failed_flood_writes_) + " of " +
              Num(flood_writes_) + ".";
    }
    Log(line);
  }
  std::string recommended_line;
  if (!mismatches_.empty() && !wrote_nothing) {
    const double lowest = static_cast<double>(LowestBadSector());
    double highest = 0;
    double lowest_value = static_cast<double>(sectors_ + 1);
    for (const Mismatch& m : mismatches_) {
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

  s.SectorBuffer.assign(kSectorBytes, 0);
  Open_Physical_Disk_hDrive(ctx_, disk_);
  DirectWrite(ctx_, 0, 1);
  MyCloseHandle(ctx_, s.hDrive);

  if (wrote_nothing) {
    ReportCouldNotWrite(ctx_);
    return;
  }
  s.quick_outcome =
      mismatches_.empty() ? AppState::QuickOutcome::kPassed : AppState::QuickOutcome::kFailed;
  if (mismatches_.empty()) {
    ReportMessage(ctx_,
                  "\r\nDevice quick test was OK    *** PASSED ***\r\n\r\nNOTE: Drive filesystem "
                  "has been erased - please partition and format it, and then test with H2TESTW "
                  "for thorough test.",
                  kMbIconInformation);
    Log(kFillOnlyNote);
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
  ReportMessage(ctx_, kUnplugText, kMbOk);
}

void QuickRun::Run() {
  AppState& s = ctx_.state;
  ctx_.window.DoEvents();
  ctx_.window.DoEvents();
  const std::vector<std::string> unlocked = Lock_Unlock_All_Volumes(ctx_, disk_, "LOCK");
  if (!unlocked.empty()) {
    // Nothing is written: Windows would refuse every write inside the volume
    // and the test would call good memory bad.
    Lock_Unlock_All_Volumes(ctx_, disk_, "UNLOCK");
    std::string names;
    for (const std::string& v : unlocked) names += (names.empty() ? "" : ", ") + v;
    const std::string text =
        "CANNOT TEST: " + std::string(unlocked.size() == 1 ? "volume " : "volumes ") + names +
        " of drive " + Num(disk_) +
        " could not be locked: a window or program is using it. Nothing was written."
        "\r\n\r\nClose what uses the drive (Explorer windows, a console in a folder on it, a "
        "virus scan, this program if it was started from it), then run the test again.";
    Log(kCrLf + text);
    ShowMessage(ctx_, text, kMbIconStop);
    return;
  }
  s.SectorBuffer.assign(kSectorBytes, 0xFF);
  DisMount_All_Volumes(ctx_, disk_);
  Open_Physical_Disk_hDrive(ctx_, disk_);
  DirectWrite(ctx_, 0, 1);
  MyCloseHandle(ctx_, s.hDrive);
  ctx_.platform.Sleep(kSettleMs);
  Open_Physical_Disk_hDrive(ctx_, disk_);
  Log("\r\n\r\nWriting marker blocks to drive " + Num(disk_));
  test_start_ = pass_start_ = NowSeconds();
  stamp_.token = s.quick_run_token != 0 ? s.quick_run_token : DrawRunToken();
  stamp_.claimed_sectors = static_cast<std::uint64_t>(sectors_);
  probes_ = WrapProbeSectors(sectors_);

  if (!WritePass()) return;
  // When not a single marker could be written there is nothing to read back.
  if (wrote_any_) {
    if (!Flood()) return;
    ReadPass();
  }
  Buffer(1);

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
    const std::int64_t power = std::int64_t{1} << j;
    for (const std::int64_t sector : {power, power - 1}) {
      if (sector >= sector_count) continue;
      // The block markers sit at sector_count - 1 - k * 25600.
      if ((sector_count - 1 - sector) % kBlockSectors == 0) continue;
      probes.push_back(sector);
    }
  }
  return probes;
}

void ReportCouldNotWrite(Context& ctx, const std::string& cause) {
  ctx.state.quick_outcome = AppState::QuickOutcome::kFailed;
  const std::string why = cause.empty() ? "It may be write-protected or read-only, removed, or in "
                                          "use by another program."
                                        : cause;
  ReportMessage(ctx,
                "\r\n                         *** FAILED ***\r\n\r\nTHE DRIVE COULD NOT BE "
                "WRITTEN!\r\n\r\n" +
                    why + " Its memory was not tested.\r\n",
                kMbIconStop);
  ReportMessage(ctx, kUnplugText, kMbOk);
}

void QuickSizeTest(Context& ctx) {
  const std::int32_t disk = ctx.state.SelectedDiskNumber;
  if (RefusesQuickTest(RoleOfDisk(ctx, disk))) return;
  ctx.state.quick_outcome = AppState::QuickOutcome::kNotRun;
  ctx.state.quick_findings = {};
  QuickRun(ctx).Run();
}

}  // namespace veracap

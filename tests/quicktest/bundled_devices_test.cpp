// Every device the program ships with, identified and put through the Quick
// Size Test: the table of genuine sticks and counterfeits on one page.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "drives/drive_info.h"
#include "platform/emulated/manifest.h"
#include "quicktest/quick_size_engine.h"
#include "support/counting_platform.h"
#include "support/harness.h"

namespace veracap {
namespace {

using Outcome = AppState::QuickOutcome;

// The number after the first occurrence of key in the log, or -1.
long long NumberAfter(const std::string& log, const std::string& key) {
  const std::size_t at = log.find(key);
  return at == std::string::npos ? -1 : std::stoll(log.substr(at + key.size()));
}

const char* Name(Outcome o) {
  return std::array{"not run", "PASSED", "FAILED", "ABORTED"}[static_cast<int>(o)];
}

TEST(BundledDevices, EachDeviceToItsVerdict) {
  struct Row {
    int disk;
    const char* what;
    Outcome verdict;
    long long first_bad, last_bad;  // -1: none
  };
  // A wrapping counterfeit fails where its real memory ends; one that reads
  // zeros beyond it, too. The last bad sector reported is the highest marker
  // whose memory a later write took over (the flood of the lowest blocks
  // ends near sector 597,000, so that is the highest marker k blocks below
  // the top whose sector modulo the real size lies under it), or the last one
  // read before the read pass gives up on a hopeless device. The system disk
  // is never tested.
  const Row table[] = {
      {0, "system disk", Outcome::kNotRun, -1, -1},
      {1, "genuine 8 GB", Outcome::kPassed, -1, -1},
      {2, "\"32 GB\" holding 4 GiB, wraps", Outcome::kFailed, 8388608, 59311399},
      {3, "\"2 TB\" holding 8 GiB, wraps", Outcome::kFailed, 16777216, 3907024064},
      {4, "\"16 GB\" holding 1 GiB, zeros", Outcome::kFailed, 2097152, 31262489},
      {5, "SATA data disk 500 GB", Outcome::kPassed, -1, -1},
      {6, "genuine 1 GiB with photos", Outcome::kPassed, -1, -1},
      {7, "\"4 GB\" holding 1 GiB, wraps", Outcome::kFailed, 2097152, 6885989},
  };
  const std::string manifest(emulated::BundledManifest());
  testing::Harness h(manifest);
  ASSERT_TRUE(h.ok());
  testing::CountingPlatform counting(h.platform());
  Context ctx{counting, h.window(), h.state()};
  std::printf("disk  %-32s %-8s %11s %11s\n", "device", "verdict", "first bad", "last bad");
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    AppState& s = h.state();
    s.results_log.clear();
    s.quick_outcome = Outcome::kNotRun;
    s.SelectedDiskNumber = row.disk;
    const int reads_before = counting.reads;
    GetUSBDiskDriveInfo1(ctx, row.disk);
    QuickSizeTest(ctx);
    const long long first_bad = NumberAfter(h.log(), "BAD MEMORY from sector ");
    const long long last_bad = NumberAfter(h.log(), "to sector ");
    std::printf("%4d  %-32s %-8s %11lld %11lld\n", row.disk, row.what, Name(s.quick_outcome),
                first_bad, last_bad);
    EXPECT_EQ(Name(s.quick_outcome), std::string(Name(row.verdict)));
    EXPECT_EQ(first_bad, row.first_bad);
    EXPECT_EQ(last_bad, row.last_bad);
    if (row.disk == 3) {
      // Hopeless: the read pass gives up after 50,001 bad blocks of its
      // 152,618, each read twice, and reads from the bottom up to the first
      // bad marker instead (657 of them, the last 2 blocks above 8 GiB);
      // then the lowest block in 13 requests, the 34 probes, the last
      // sector and sector 0, after the identification's one read.
      EXPECT_EQ(counting.reads - reads_before, 2 * 50001 + 2 * 657 + 13 + 34 + 2 + 1);
    }
    EXPECT_EQ(h.platform().open_handle_count(), 0u);
    EXPECT_EQ(counting.double_closes, 0);
    // Closing a handle is not unlocking: every sector write releases its lock.
    EXPECT_TRUE(counting.locks.empty());
  }
}

}  // namespace
}  // namespace veracap

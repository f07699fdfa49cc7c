// The partition that fix makes: from 1 MiB to the last whole MiB at or below
// the recommended size, never past it.
#include "cli/fix.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace veracap::cli {
namespace {

TEST(FixPlan, EndsAtTheLastWholeMebibyteWithinTheGoodMemory) {
  constexpr std::uint64_t kMiB = 1048576;
  struct Case {
    std::uint64_t recommended;
    std::uint64_t end;  // 0: no partition
    bool exfat;
  };
  const Case cases[] = {
      {4281860096, 4083 * kMiB, false},  // "32 GB" holding 4 GiB
      {4 * kMiB, 4 * kMiB, false},
      {4 * kMiB - 1, 3 * kMiB, false},
      {2 * kMiB - 1, 0, false},  // too little for any partition
      {0, 0, false},
      {(32ull << 30) + 2 * kMiB, (32ull << 30) + 2 * kMiB, true},
  };
  for (const Case& c : cases) {
    const FixPlan plan = PlanFix(c.recommended);
    EXPECT_EQ(plan.first_sector, 2048u);
    EXPECT_EQ(plan.sectors == 0 ? 0 : (plan.first_sector + plan.sectors) * 512, c.end)
        << c.recommended;
    EXPECT_LE((plan.first_sector + plan.sectors) * 512,
              std::max<std::uint64_t>(c.recommended, 2048 * 512));
    EXPECT_EQ(plan.exfat, c.exfat) << c.recommended;
  }
}

}  // namespace
}  // namespace veracap::cli

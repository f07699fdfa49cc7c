// Which volumes belong to a disk, from C: to Z:, at most four of them.
#include "diskio/volumes.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "support/harness.h"

namespace veracap {
namespace {

TEST(DriveVolumes, EveryLetterFromCToZAtMostFour) {
  struct Row {
    const char* letters;  // the volumes of disk 1, one letter each
    std::array<std::string, 4> expected;
  };
  // Disk 2 holds H: in every row: it is never counted for disk 1.
  const Row table[] = {
      {"E", {"E:", "", "", ""}},           {"Z", {"Z:", "", "", ""}}, {"ZD", {"D:", "Z:", "", ""}},
      {"YXWVZ", {"V:", "W:", "X:", "Y:"}}, {"", {"", "", "", ""}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.letters);
    std::string manifest = "disk 1\n  claimed 1GiB\n";
    int k = 0;
    for (const char* c = row.letters; *c; ++c, ++k) {
      manifest += std::string("  volume ") + *c + ": label \"V\" capacity 1MiB offset " +
                  std::to_string(1 + 2 * k) + "MiB\n";
    }
    manifest += "disk 2\n  claimed 1GiB\n  volume H: label \"OTHER\" capacity 1MiB\n";
    testing::Harness h(manifest);
    ASSERT_TRUE(h.ok());
    std::array<std::string, 4> volumes{"x", "x", "x", "x"};
    EXPECT_EQ(Get_Drive_Volumes(h.ctx(), 1, volumes), !row.expected[0].empty());
    EXPECT_EQ(volumes, row.expected);
    EXPECT_EQ(GetDriveLetter(h.ctx(), 1), row.expected[0]);
    EXPECT_EQ(h.platform().open_handle_count(), 0u);
  }
}

}  // namespace
}  // namespace veracap

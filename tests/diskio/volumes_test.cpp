// Which volumes belong to a disk, from C: to Z:, at most four of them.
#include "diskio/volumes.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "diskio/sector_io.h"
#include "support/counting_platform.h"
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

// Volumes by their extents, letter or not: the name opens the volume, which
// takes the lock requests as a lettered one does.
TEST(DriveVolumes, VolumesOnADiskByExtentsLetterOrNot) {
  testing::Harness h(
      "disk 1\n  claimed 1GiB\n"
      "  volume - label \"HIDDEN\" capacity 1MiB mount \"C:\\mnt\\stick\"\n"
      "  volume E: label \"A\" capacity 2MiB offset 3MiB mount \"C:\\e\\\"\n"
      "disk 2\n  claimed 1GiB\n  volume H: label \"OTHER\" capacity 1MiB\n");
  ASSERT_TRUE(h.ok());
  EXPECT_TRUE(VolumesOnDisk(h.ctx(), 0).empty());
  const std::vector<VolumeOnDisk> volumes = VolumesOnDisk(h.ctx(), 1);
  ASSERT_EQ(volumes.size(), 2u);
  EXPECT_EQ(volumes[0].mount_paths, std::vector<std::string>{"C:\\mnt\\stick\\"});
  EXPECT_EQ(volumes[1].mount_paths, (std::vector<std::string>{"E:\\", "C:\\e\\"}));
  EXPECT_EQ(volumes[0].extents, (std::vector<DiskExtent>{{1, 1u << 20, 1u << 20}}));
  EXPECT_EQ(volumes[1].extents, (std::vector<DiskExtent>{{1, 3u << 20, 2u << 20}}));
  const std::string hidden = volumes[0].name;
  const Handle v =
      OpenTrackedHandle(h.ctx(), VolumeDevicePath(hidden), kGenericRead | kGenericWrite,
                        kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  EXPECT_TRUE(MyLock_Volume(h.ctx(), v));
  MyCloseHandle(h.ctx(), v);
  EXPECT_EQ(h.platform().requests(), std::vector<std::string>{"FSCTL_LOCK_VOLUME " + hidden});
  EXPECT_EQ(h.platform().open_handle_count(), 0u);
}

// A drive letter whose device is no disk (a CD-ROM drive, say) answers the
// device-number query with its own numbering: it belongs to no disk, even
// when its number is that of one. A network share or CD-ROM letter is not
// even opened: an unreachable server would hold the window.
TEST(DriveVolumes, ALetterOfAnotherDeviceTypeBelongsToNoDisk) {
  testing::Harness h(
      "drive Y: cdrom\ndrive Z: remote\n"
      "disk 1\n  claimed 1GiB\n  volume E: label \"A\" capacity 1MiB\n"
      "  volume F: label \"B\" capacity 1MiB offset 3MiB\n");
  ASSERT_TRUE(h.ok());
  testing::CountingPlatform cd(h.platform());
  cd.cdrom_path = "\\\\.\\E:";
  Context ctx{cd, h.window(), h.state()};
  EXPECT_EQ(GetDiskNumber(ctx, "E:"), kNoDiskNumber);
  EXPECT_EQ(GetDiskNumber(ctx, "F:"), 1);
  EXPECT_EQ(GetDriveLetter(ctx, 1), "F:");
  for (const std::string& path : cd.opened) {
    EXPECT_TRUE(path != "\\\\.\\Y:" && path != "\\\\.\\Z:") << path;
  }
}

}  // namespace
}  // namespace veracap

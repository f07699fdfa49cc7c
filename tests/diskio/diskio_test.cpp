// The disk seen through its queries and transfers: the claimed size from
// READ CAPACITY and the disk length, each answered or refused, at two block
// sizes, and the size the tests use, whole cylinders of a readable disk;
// 512-byte transfers on larger sectors; which volumes belong to a disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "diskio/device_queries.h"
#include "diskio/sector_io.h"
#include "diskio/volumes.h"
#include "drives/drive_info.h"
#include "support/counting_platform.h"
#include "support/harness.h"

namespace veracap {
namespace {

constexpr std::uint64_t kCylinder = 8225280;

std::uint64_t SeedFromEnvironment() {
  const char* text = std::getenv("VERACAP_SEED");
  const std::uint64_t seed = text ? std::strtoull(text, nullptr, 10) : std::random_device{}();
  std::printf("VERACAP_SEED=%llu\n", static_cast<unsigned long long>(seed));
  return seed;
}

TEST(Identification, ClaimedSizeByWhichQueriesAnswer) {
  struct Row {
    bool capacity, length;
    std::uint32_t block;
    std::int64_t scsi_less;  // GetSCSICapacity gives claimed - this; -1: 0
  };
  // READ CAPACITY names the last block; one 512-byte sector is added, not a
  // whole block, so a 4096-byte device without a disk length loses 3584
  // bytes. Either query alone is enough; neither gives 0.
  const Row table[] = {
      {true, true, 512, 0},    {true, false, 512, 0},    {false, true, 512, 0},
      {false, false, 512, -1}, {true, true, 4096, 0},    {true, false, 4096, 3584},
      {false, true, 4096, 0},  {false, false, 4096, -1},
  };
  std::mt19937_64 random(SeedFromEnvironment());
  // Whole multiples of 8 cylinders are whole 4096-byte blocks and whole
  // cylinders: the sizes where a lost sector costs a whole cylinder.
  for (int round = 0; round < 3; ++round) {
    const std::uint64_t claimed = 8 * kCylinder * (1 + random() % 30000);
    for (const std::uint32_t block : {512u, 4096u}) {
      testing::Harness h("disk 3\n  claimed " + std::to_string(claimed) + "\n  block " +
                         std::to_string(block) + "\n  vendor ACME\n  product \"STICK\"\n");
      ASSERT_TRUE(h.ok());
      for (const Row& row : table) {
        if (row.block != block) continue;
        SCOPED_TRACE("claimed " + std::to_string(claimed) + " block " + std::to_string(block) +
                     (row.capacity ? " capacity" : " no capacity") +
                     (row.length ? " length" : " no length"));
        h.platform().SetAnswers(3, row.capacity, true, row.length);
        const std::uint64_t expected = row.scsi_less < 0 ? 0 : claimed - row.scsi_less;
        EXPECT_EQ(GetSCSICapacity(h.ctx(), 3), expected);

        h.state().SelectedDiskNumber = 3;
        GetUSBDiskDriveInfo1(h.ctx(), 3);
        const double whole_cylinders = static_cast<double>(expected / kCylinder * kCylinder);
        EXPECT_EQ(h.state().DriveSizeBytes, whole_cylinders);
        EXPECT_EQ(h.state().DriveModel, "ACME STICK");
        EXPECT_EQ(h.platform().open_handle_count(), 0u);
      }
    }
  }
}

// A bridge that ends a command in CHECK CONDITION returns its header and
// sense but no reply: the query counts as failed (the disk length stands in
// for the capacity; model and media stay unknown), never as the bytes that
// the block held before.
TEST(Identification, RejectedCommandsAreFailedQueries) {
  const struct {
    const char* lines;
    std::uint64_t size;
    const char* model;
    const char* media;
  } table[] = {
      {"scsi-check capacity\n", 16 * kCylinder, "ACME STICK", "REMOVABLE MEDIA"},
      {"scsi-check capacity\n  no-length\n", 0, "ACME STICK", "REMOVABLE MEDIA"},
      {"scsi-check inquiry\n", 16 * kCylinder, "", ""},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.lines);
    testing::Harness h("disk 3\n  claimed " + std::to_string(16 * kCylinder) +
                       "\n  vendor ACME\n  product \"STICK\"\n  " + row.lines);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(GetSCSICapacity(h.ctx(), 3), row.size);
    EXPECT_EQ(h.state().DriveModel, row.model);
    EXPECT_EQ(h.state().MediaTypeText, row.media);
  }
}

// A counterfeit whose last claimed sector cannot be read loses one cylinder;
// a disk whose last sector reads keeps its size.
TEST(Identification, UnreadableLastSectorCostsOneCylinder) {
  for (const char* beyond : {"error", "wrap"}) {
    SCOPED_TRACE(beyond);
    testing::Harness h(std::string("disk 2\n  claimed ") + std::to_string(40 * kCylinder) +
                       "\n  real 64MiB\n  beyond " + beyond + "\n");
    ASSERT_TRUE(h.ok());
    h.state().SelectedDiskNumber = 2;
    GetUSBDiskDriveInfo1(h.ctx(), 2);
    EXPECT_EQ(h.state().DriveSizeBytes,
              static_cast<double>((std::string(beyond) == "error" ? 39 : 40) * kCylinder));
  }
}

// On a disk of 4096-byte logical sectors, which refuses any other transfer,
// a 512-byte sector transfer reads the enclosing sectors and writes them
// back with only its own bytes changed.
TEST(SectorIo, ReadModifyWriteOnLargerLogicalSectors) {
  for (const std::uint32_t block : {512u, 4096u}) {
    SCOPED_TRACE(block);
    testing::Harness h("disk 3\n  claimed 64MiB\n  block " + std::to_string(block) + "\n");
    ASSERT_TRUE(h.ok());
    ASSERT_TRUE(Open_Physical_Disk_hDrive(h.ctx(), 3));
    EXPECT_EQ(h.state().hDriveSectorBytes, block);
    std::uint8_t expected[24][512] = {};
    const struct {
      double sector;
      std::int32_t count;
    } writes[] = {{9, 1}, {7, 3}, {16, 8}, {0, 1}, {23, 1}};
    std::uint8_t fill = 1;
    for (const auto& w : writes) {
      h.state().SectorBuffer.assign(static_cast<std::size_t>(w.count) * 512, fill);
      ASSERT_TRUE(DirectWrite(h.ctx(), w.sector, w.count));
      ASSERT_TRUE(DirectRead(h.ctx(), w.sector, w.count));
      EXPECT_EQ(std::count(h.state().SectorBuffer.begin(), h.state().SectorBuffer.end(), fill),
                w.count * 512);
      for (int i = 0; i < w.count; ++i) {
        std::fill_n(expected[static_cast<int>(w.sector) + i], 512, fill);
      }
      ++fill;
    }
    for (int sector = 0; sector < 24; ++sector) {
      std::uint8_t on_disk[512];
      ASSERT_TRUE(h.platform().PeekSector(3, sector, on_disk));
      EXPECT_EQ(std::memcmp(on_disk, expected[sector], 512), 0) << sector;
    }
    MyCloseHandle(h.ctx(), h.state().hDrive);
  }
}

// Which volumes belong to a disk, from C: to Z:, at most four of them.
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

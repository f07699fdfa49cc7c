// Which volumes belong to a disk, from C: to Z:, at most four of them.
#include "diskio/volumes.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "diskio/sector_io.h"
#include "platform/platform_wrapper.h"
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
  struct Row {
    std::int32_t disk;
    std::vector<std::vector<std::string>> mounts;
    std::vector<DiskExtent> extents;
  };
  const Row table[] = {
      {1,
       {{"C:\\mnt\\stick\\"}, {"E:\\", "C:\\e\\"}},
       {{1, 1u << 20, 1u << 20}, {1, 3u << 20, 2u << 20}}},
      {0, {}, {}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.disk);
    const std::vector<VolumeOnDisk> volumes = VolumesOnDisk(h.ctx(), row.disk);
    ASSERT_EQ(volumes.size(), row.mounts.size());
    for (std::size_t i = 0; i < volumes.size(); ++i) {
      EXPECT_EQ(volumes[i].mount_paths, row.mounts[i]);
      EXPECT_EQ(volumes[i].extents, std::vector<DiskExtent>{row.extents[i]});
    }
  }
  const std::string hidden = VolumesOnDisk(h.ctx(), 1)[0].name;
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
// when its number is that of one.
class CdRomAt : public PlatformWrapper {
 public:
  CdRomAt(Platform& target, std::string path) : PlatformWrapper(target), path_(std::move(path)) {}
  Handle CreateFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t disposition, std::uint32_t flags) override {
    const Handle h = target_.CreateFile(path, access, share, disposition, flags);
    if (path == path_) cd_ = h;
    opened.push_back(path);
    return h;
  }
  bool DeviceIoControl(Handle h, std::uint32_t code, const void* in, std::uint32_t in_size,
                       void* out, std::uint32_t out_size, std::uint32_t* returned) override {
    const bool ok = target_.DeviceIoControl(h, code, in, in_size, out, out_size, returned);
    if (ok && h == cd_ && code == kIoctlStorageGetDeviceNumber && out_size >= 4) {
      static_cast<std::uint8_t*>(out)[0] = 2;  // FILE_DEVICE_CD_ROM
    }
    return ok;
  }

  std::vector<std::string> opened;

 private:
  std::string path_;
  Handle cd_ = kInvalidHandle;
};

// A network share or CD-ROM letter is not even opened: an unreachable server
// would hold the window.
TEST(DriveVolumes, ALetterOfAnotherDeviceTypeBelongsToNoDisk) {
  testing::Harness h(
      "drive Y: cdrom\ndrive Z: remote\n"
      "disk 1\n  claimed 1GiB\n  volume E: label \"A\" capacity 1MiB\n"
      "  volume F: label \"B\" capacity 1MiB offset 3MiB\n");
  ASSERT_TRUE(h.ok());
  CdRomAt cd(h.platform(), "\\\\.\\E:");
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

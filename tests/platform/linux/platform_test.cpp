// The Linux platform on loop devices that the tests attach themselves (root
// only; skipped visibly elsewhere), and its pure pieces: SCSI pass-through
// blocks and bus types.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "app/headless_window.h"
#include "app/state.h"
#include "diskio/device_queries.h"
#include "drives/disk_role.h"
#include "fuse/test_devices.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/scsi_pass_through.h"

namespace veracap::linux_platform {
namespace {

constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;
constexpr std::uint32_t kShareBoth = kFileShareRead | kFileShareWrite;

std::string DiskPath(std::int32_t n) { return "\\\\.\\PhysicalDrive" + std::to_string(n); }

// The block that the device queries build for READ CAPACITY (10).
ScsiBlock CapacityBlock() {
  ScsiBlock b{};
  PrepareScsiRequest(b, kScsiReadCapacity10);
  return b;
}

// The block is the caller's bytes, read by the kernel's side: every area it
// names must lie inside the buffers given with it.
TEST(LinuxScsiPassThrough, CarriesTheCoresBlockAndRefusesAreasOutsideTheBuffers) {
  auto block = CapacityBlock();
  ScsiRequest r;
  ASSERT_TRUE(ParseScsiRequest(block.data(), 585, 585, &r));
  EXPECT_EQ(r.cdb, (std::vector<std::uint8_t>{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r.direction, kScsiDataIn);
  EXPECT_EQ(r.transfer_bytes, 8u);
  ScsiReply reply;
  reply.transferred_bytes = 8;
  reply.data = {0x00, 0x3B, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00};
  reply.sense = {0x70, 0, 5};
  EXPECT_EQ(WriteScsiReply(r, reply, block.data(), 585, block.data(), 585), 84u);
  EXPECT_EQ(block[r.data_offset + 1], 0x3B);
  EXPECT_EQ(DecodeScsiPassThrough(block.data()).sense_info_length, 3);
  EXPECT_EQ(block[kScsiSenseOffset], 0x70);

  EXPECT_FALSE(ParseScsiRequest(block.data(), 40, 585, &r));  // shorter than the header
  EXPECT_FALSE(ParseScsiRequest(block.data(), 585, 80, &r));  // data area beyond out
  const std::function<void(ScsiPassThroughHeader&)> changes[] = {
      [](auto& h) { h.data_buffer_offset = 10; },  // data inside the header
      [](auto& h) { h.cdb_length = 17; },          // command block too long
      [](auto& h) { h.length = 56; },              // the 64-bit layout
  };
  for (const auto& change : changes) {
    ScsiBlock b = CapacityBlock();
    ScsiPassThroughHeader header = DecodeScsiPassThrough(b.data());
    change(header);
    EncodeScsiPassThrough(header, b.data());
    EXPECT_FALSE(ParseScsiRequest(b.data(), 585, 585, &r));
  }
}

TEST(LinuxPlatformPieces, BusTypesFromSysfs) {
  const std::string pci = "/sys/devices/pci0000:00/";
  const struct {
    std::string name, device, mmc_type;
    std::uint32_t bus;
  } table[] = {
      // A stick, or an SD card in a USB reader.
      {"sdb", pci + "0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "", 7},
      {"sda", pci + "0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "", 11},
      {"mmcblk0", "/sys/devices/platform/mmc0/mmc0:0001", "SD", 12},
      {"mmcblk1", "/sys/devices/platform/mmc1/mmc1:0001", "MMC", 13},
      {"nvme0n1", pci + "0000:00:1d.0/nvme/nvme0/nvme0n1", "", 17},
      {"loop3", "/sys/devices/virtual/block/loop3", "", 15},
      {"vda", pci + "0000:00:04.0/virtio1", "", 14},
  };
  for (const auto& row : table) {
    EXPECT_EQ(BusTypeFor(row.name, row.device, row.mmc_type), row.bus) << row.name;
  }
}

// Sparse files attached as loop devices, and a platform that sees them.
class LinuxLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    VERACAP_NEED(testdev::SkipReason(false));
    testdev::SweepLeftovers();
  }

  // A new image of size_bytes attached; the platform's disk number.
  std::int32_t Attach(std::uint64_t size_bytes, std::uint32_t sector_bytes = 512) {
    image_ = scratch_.path() + "/disk.img";
    EXPECT_TRUE(testdev::MakeSparseFile(image_, size_bytes));
    loop_ = scratch_.Loop(image_, {"--sector-size", std::to_string(sector_bytes)});
    EXPECT_NE(loop_, "") << scratch_.error;
    return loop_.empty() ? -1 : platform().Devices().DiskNumberOf(loop_);
  }

  // ext4 on the loop device, mounted at mnt_; its letter.
  char MountExt4(const std::string& label) {
    std::string error;
    EXPECT_TRUE(testdev::MakeFileSystem(loop_, "ext4", label, &error)) << error;
    EXPECT_TRUE(scratch_.Mount(loop_, mnt_, "ext4")) << scratch_.error;
    return platform().Devices().LetterOf(mnt_);
  }

  LinuxPlatform& platform() {
    if (!platform_) {
      Options options;
      options.notice = [this](const std::string& text) { notices_ += text + "\n"; };
      platform_ = std::make_unique<LinuxPlatform>(options);
    }
    return *platform_;
  }

  bool WriteSector(Handle h, std::uint64_t sector, const std::vector<std::uint8_t>& data) {
    std::uint32_t written = 0;
    return platform().SetFilePointerEx(h, static_cast<std::int64_t>(sector * 512), kFileBegin) &&
           platform().WriteFile(h, data.data(), static_cast<std::uint32_t>(data.size()),
                                &written) &&
           platform().FlushFileBuffers(h);
  }
  std::vector<std::uint8_t> ReadSector(Handle h, std::uint64_t sector, std::uint32_t* got) {
    std::vector<std::uint8_t> data(512, 0xEE);
    *got = 0;
    if (!platform().SetFilePointerEx(h, static_cast<std::int64_t>(sector * 512), kFileBegin) ||
        !platform().ReadFile(h, data.data(), 512, got)) {
      data.clear();
    }
    return data;
  }
  // Whether another program could open the loop device exclusively now.
  bool FreeForOthers() {
    const int fd = ::open(loop_.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  }

  // Destroyed in reverse: the platform (closing its descriptors), then the
  // devices.
  testdev::Scratch scratch_;
  std::string image_, loop_, mnt_ = scratch_.path() + "/mnt";
  std::unique_ptr<LinuxPlatform> platform_;
  std::string notices_;
};

std::vector<std::uint8_t> Pattern(std::uint8_t seed, std::size_t size = 512) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

TEST_F(LinuxLoop, SectorsReachTheDeviceNoPageCacheAnswersAndQueriesTellWhatItIs) {
  const std::int32_t disk = Attach(16 << 20);
  ASSERT_GT(disk, 0);
  const Handle h = platform().CreateFile(DiskPath(disk), kReadWrite, kShareBoth, kOpenExisting, 0);
  ASSERT_NE(h, kInvalidHandle) << platform().GetLastError();
  ASSERT_TRUE(WriteSector(h, 100, Pattern(1)));
  std::vector<std::uint8_t> bytes(512);
  ASSERT_TRUE(testdev::ReadAt(image_, 100 * 512, bytes.data(), 512));
  EXPECT_EQ(bytes, Pattern(1)) << "the write reached the backing file";
  // A buffered reader of the device now has the sector in the page cache;
  // the memory behind the device changes; the platform sees the change.
  const int fd = ::open(loop_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::pread(fd, bytes.data(), 512, 100 * 512), 512);
  ASSERT_TRUE(testdev::WriteAt(image_, 100 * 512, Pattern(2).data(), 512));
  ASSERT_EQ(::pread(fd, bytes.data(), 512, 100 * 512), 512);
  ::close(fd);
  EXPECT_EQ(bytes, Pattern(1)) << "the page cache still answers with the old bytes";
  std::uint32_t got = 0;
  EXPECT_EQ(ReadSector(h, 100, &got), Pattern(2));
  // The last sector reads; at the end a read gives nothing and a write fails.
  const std::uint64_t last = (16 << 20) / 512 - 1;
  ASSERT_TRUE(WriteSector(h, last, Pattern(3)));
  EXPECT_EQ(ReadSector(h, last, &got), Pattern(3));
  ReadSector(h, last + 1, &got);
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(WriteSector(h, last + 1, Pattern(4)));

  // No SCSI answer from a loop device: the pass-through fails with nothing
  // returned, so the core takes the length; the bus is not USB.
  auto block = CapacityBlock();
  std::uint32_t returned = 99;
  EXPECT_FALSE(platform().DeviceIoControl(h, kIoctlScsiPassThrough, block.data(), 585, block.data(),
                                          585, &returned));
  EXPECT_EQ(returned, 0u);
  std::uint8_t number[StorageDeviceNumber::kBytes] = {};
  ASSERT_TRUE(platform().DeviceIoControl(h, kIoctlStorageGetDeviceNumber, nullptr, 0, number, 12,
                                         &returned));
  EXPECT_EQ(DecodeStorageDeviceNumber(number).device_number, static_cast<std::uint32_t>(disk));
  EXPECT_TRUE(platform().CloseHandle(h));
  EXPECT_FALSE(platform().CloseHandle(h));
  HeadlessWindow window;
  AppState state;
  Context ctx{platform(), window, state};
  EXPECT_EQ(GetSCSICapacity(ctx, disk), 16u << 20);
  EXPECT_FALSE(IsUSBBus(ctx, disk));
}

TEST_F(LinuxLoop, A512ByteWriteOnA4KnDeviceChangesOnlyItsOwnBytes) {
  const std::int32_t disk = Attach(8 << 20, 4096);
  ASSERT_GT(disk, 0);
  const std::vector<std::uint8_t> background(8192, 0xAB);
  ASSERT_TRUE(testdev::WriteAt(image_, 4096, background.data(), background.size()));
  const Handle h = platform().CreateFile(DiskPath(disk), kReadWrite, kShareBoth, kOpenExisting, 0);
  ASSERT_NE(h, kInvalidHandle);
  // Sector 9 is the second 512 bytes of logical block 1 (bytes 4608..5119).
  ASSERT_TRUE(WriteSector(h, 9, Pattern(5)));
  std::vector<std::uint8_t> block(8192);
  ASSERT_TRUE(testdev::ReadAt(image_, 4096, block.data(), block.size()));
  for (std::size_t i = 0; i < block.size(); ++i) {
    ASSERT_EQ(block[i], i >= 512 && i < 1024 ? Pattern(5)[i - 512] : 0xAB) << "byte " << 4096 + i;
  }
  std::uint32_t got = 0;
  EXPECT_EQ(ReadSector(h, 9, &got), Pattern(5));
  EXPECT_EQ(ReadSector(h, 17, &got), std::vector<std::uint8_t>(512, 0xAB));
  platform().CloseHandle(h);
}

TEST_F(LinuxLoop, RefusesTheSystemDiskWhateverItsNumber) {
  const DiskRecord* system = platform().Devices().Disk(0);
  if (system == nullptr) GTEST_SKIP() << "SKIP: the root file system is on no disk here";
  ASSERT_FALSE(system->protected_reason.empty());
  EXPECT_EQ(platform().CreateFile(DiskPath(0), kReadWrite, kShareBoth, kOpenExisting, 0),
            kInvalidHandle);
  EXPECT_EQ(platform().GetLastError(), kErrorAccessDenied);
  // Reading (identification) is allowed where the machine lets us open the
  // device at all; writing through such a handle is not.
  const Handle h = platform().CreateFile(DiskPath(0), kGenericRead, kShareBoth, kOpenExisting, 0);
  if (h != kInvalidHandle) {
    std::uint32_t written = 0;
    EXPECT_FALSE(platform().WriteFile(h, Pattern(0).data(), 512, &written));
    platform().CloseHandle(h);
  }
  ASSERT_EQ(platform().Devices().LetterOf("/"), 'C');
  EXPECT_EQ(platform().CreateFile("\\\\.\\C:", kReadWrite, kShareBoth, kOpenExisting, 0),
            kInvalidHandle);
  EXPECT_EQ(platform().CreateFile("C:\\VCAPTEST1.tmp", kGenericWrite, 0, kCreateAlways,
                                  kFileFlagNoBuffering | kFileFlagWriteThrough),
            kInvalidHandle);
  EXPECT_FALSE(std::filesystem::exists("/VCAPTEST1.tmp"));
  EXPECT_FALSE(platform().DeleteFile("C:\\VCAPTEST1.tmp"));
  // The core's rule finds it through the queries it asks on Windows: the
  // root file system's volume and its extents.
  HeadlessWindow window;
  AppState state;
  Context ctx{platform(), window, state};
  EXPECT_EQ(RoleOfDisk(ctx, 0), DiskRole::kWindows);
}

// A volume in use stays mounted; otherwise the dismount unmounts it for
// real and the lock holds the device exclusively until the handles close.
TEST_F(LinuxLoop, BusyDismountLockAndUnlockOfAMountedVolume) {
  const std::int32_t disk = Attach(32 << 20);
  ASSERT_GT(disk, 0);
  const char letter = MountExt4("VCAPLOOP");
  ASSERT_NE(letter, 0);
  char label[32] = {}, fs_name[32] = {};
  ASSERT_TRUE(platform().GetVolumeInformation(std::string(1, letter) + ":\\", label, sizeof label,
                                              fs_name, sizeof fs_name));
  EXPECT_STREQ(label, "VCAPLOOP");
  EXPECT_STREQ(fs_name, "ext4");
  // Raw writes are refused while the file system is mounted.
  const Handle d = platform().CreateFile(DiskPath(disk), kReadWrite, kShareBoth, kOpenExisting, 0);
  ASSERT_NE(d, kInvalidHandle);
  EXPECT_FALSE(WriteSector(d, 10, Pattern(6)));
  EXPECT_EQ(platform().GetLastError(), kErrorAccessDenied);

  const Handle v = platform().CreateFile(std::string("\\\\.\\") + letter + ":", kReadWrite,
                                         kShareBoth, kOpenExisting, 0);
  ASSERT_NE(v, kInvalidHandle);
  const auto control = [&](std::uint32_t code) {
    std::uint32_t returned = 0;
    return platform().DeviceIoControl(v, code, nullptr, 0, nullptr, 0, &returned);
  };
  const int open_file = ::open((mnt_ + "/open.txt").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  EXPECT_FALSE(control(kFsctlDismountVolume));
  EXPECT_TRUE(testdev::IsMounted(mnt_));
  EXPECT_NE(notices_.find("busy and stays mounted"), std::string::npos) << notices_;
  ::close(open_file);
  EXPECT_FALSE(control(kFsctlLockVolume)) << "refused while mounted";
  EXPECT_EQ(platform().GetLastError(), kErrorAccessDenied);
  EXPECT_TRUE(control(kFsctlDismountVolume));
  EXPECT_FALSE(testdev::IsMounted(mnt_));
  EXPECT_NE(notices_.find("unmounted"), std::string::npos) << notices_;
  EXPECT_FALSE(FreeForOthers());
  EXPECT_EQ(platform().Devices().Volume(letter)->mount_point, "") << "the letter stays";
  EXPECT_TRUE(WriteSector(d, 10, Pattern(6)));
  EXPECT_TRUE(control(kFsctlUnlockVolume));
  EXPECT_FALSE(control(kFsctlUnlockVolume));
  EXPECT_FALSE(FreeForOthers()) << "the handle that wrote keeps the disk until it is closed";
  platform().CloseHandle(v);
  platform().CloseHandle(d);
  EXPECT_TRUE(FreeForOthers());
  EXPECT_EQ(platform().open_handle_count(), 0u);
}

TEST_F(LinuxLoop, TestFilesInTheVolumeRootOnly) {
  ASSERT_GT(Attach(64 << 20), 0);
  const char letter = MountExt4("FILES");
  ASSERT_NE(letter, 0);
  const std::string drive = std::string(1, letter) + ":";
  std::filesystem::create_directory(mnt_ + "/sub");
  std::ofstream(mnt_ + "/sub/VCAPTEST9.tmp") << "x";
  // Direct, synchronous writes from memory of any alignment, with a tail
  // that is not a whole block.
  const std::size_t size = (1 << 20) + 1000;
  std::vector<std::uint8_t> storage(size + 1);
  for (std::size_t i = 0; i < storage.size(); ++i) storage[i] = static_cast<std::uint8_t>(i * 13);
  const Handle w = platform().CreateFile(drive + "\\VCAPTEST1.tmp", kGenericWrite, 0, kCreateAlways,
                                         kFileFlagWriteThrough | kFileFlagNoBuffering);
  ASSERT_NE(w, kInvalidHandle) << platform().GetLastError();
  std::uint32_t done = 0;
  ASSERT_TRUE(platform().WriteFile(w, storage.data() + 1, static_cast<std::uint32_t>(size), &done));
  EXPECT_EQ(done, size);
  EXPECT_TRUE(platform().FlushFileBuffers(w));
  platform().CloseHandle(w);
  const Handle r = platform().CreateFile(drive + "\\VCAPTEST1.tmp", kGenericRead, kFileShareRead,
                                         kOpenExisting, 0);
  std::vector<std::uint8_t> back(size);
  ASSERT_TRUE(platform().ReadFile(r, back.data(), static_cast<std::uint32_t>(size), &done));
  EXPECT_EQ(done, size);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), storage.begin() + 1));
  platform().CloseHandle(r);
  EXPECT_EQ(platform().FindFiles(drive + "\\vcaptest*.TMP"),
            std::vector<std::string>{"VCAPTEST1.tmp"});
  EXPECT_TRUE(platform().DeleteFile(drive + "\\VCAPTEST1.tmp"));
  EXPECT_FALSE(std::filesystem::exists(mnt_ + "/VCAPTEST1.tmp"));
  // No path into sub-folders or out of the volume.
  for (const char* path : {"\\sub\\VCAPTEST9.tmp", "\\.."}) {
    EXPECT_EQ(platform().CreateFile(drive + path, kGenericRead, 0, kOpenExisting, 0),
              kInvalidHandle)
        << path;
  }
  EXPECT_FALSE(platform().DeleteFile(drive + "\\sub\\VCAPTEST9.tmp"));
  EXPECT_TRUE(std::filesystem::exists(mnt_ + "/sub/VCAPTEST9.tmp"));
}

}  // namespace
}  // namespace veracap::linux_platform

// The Linux platform on loop devices that the tests attach themselves (root
// only; skipped visibly elsewhere), and its pure pieces: SCSI pass-through
// blocks, bus types, wildcards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "app/headless_window.h"
#include "app/state.h"
#include "diskio/device_queries.h"
#include "diskio/sector_io.h"
#include "drives/disk_role.h"
#include "fuse/test_devices.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/scsi_pass_through.h"

namespace veracap::linux_platform {
namespace {

using testdev::LoopDevice;
using testdev::Mount;
using testdev::ScratchDir;

constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;
constexpr std::uint32_t kShareBoth = kFileShareRead | kFileShareWrite;

std::string DiskPath(std::int32_t n) { return "\\\\.\\PhysicalDrive" + std::to_string(n); }

// The block that the device queries build for READ CAPACITY (10).
ScsiBlock CapacityBlock() {
  ScsiBlock b{};
  PrepareScsiRequest(b, kScsiReadCapacity10);
  return b;
}

TEST(LinuxScsiPassThrough, CarriesTheCallersCommandDirectionLengthAndTimeOut) {
  auto block = CapacityBlock();
  ScsiRequest r;
  ASSERT_TRUE(ParseScsiRequest(block.data(), 585, 585, &r));
  EXPECT_EQ(r.cdb, (std::vector<std::uint8_t>{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r.direction, kScsiDataIn);
  EXPECT_EQ(r.transfer_bytes, 8u);
  EXPECT_EQ(r.data_offset, 76u);
  EXPECT_EQ(r.sense_bytes, 24u);
  EXPECT_EQ(r.timeout_ms, 2000u);

  // The reply lands where the caller's offsets say; bytes returned is the
  // data offset plus what came back.
  ScsiReply reply;
  reply.transferred_bytes = 8;
  reply.data = {0x00, 0x3B, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00};
  reply.sense = {0x70, 0, 5};
  EXPECT_EQ(WriteScsiReply(r, reply, block.data(), 585, block.data(), 585), 84u);
  EXPECT_EQ(block[76 + 1], 0x3B);
  const ScsiPassThroughHeader header = DecodeScsiPassThrough(block.data());
  EXPECT_EQ(header.data_transfer_length, 8u);  // now tells what moved
  EXPECT_EQ(header.sense_info_length, 3);
  EXPECT_EQ(block[kScsiSenseOffset], 0x70);
}

TEST(LinuxScsiPassThrough, RefusesBlocksWhoseAreasLieOutsideTheBuffers) {
  auto block = CapacityBlock();
  ScsiRequest r;
  EXPECT_FALSE(ParseScsiRequest(block.data(), 40, 585, &r));  // shorter than the header
  EXPECT_FALSE(ParseScsiRequest(block.data(), 585, 80, &r));  // data area beyond out
  const auto refused = [&](auto change) {
    ScsiBlock b = CapacityBlock();
    ScsiPassThroughHeader header = DecodeScsiPassThrough(b.data());
    change(header);
    EncodeScsiPassThrough(header, b.data());
    return !ParseScsiRequest(b.data(), 585, 585, &r);
  };
  EXPECT_TRUE(refused([](auto& h) { h.data_buffer_offset = 10; }));  // data inside the header
  EXPECT_TRUE(refused([](auto& h) { h.cdb_length = 17; }));          // command block too long
  // The 64-bit layout is not what the core builds.
  EXPECT_TRUE(refused([](auto& h) { h.length = 56; }));
}

TEST(LinuxPlatformPieces, BusTypesFromSysfs) {
  EXPECT_EQ(
      BusTypeFor("sdb",
                 "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0",
                 ""),
      7u);
  EXPECT_EQ(
      BusTypeFor("sda", "/sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", ""),
      11u);
  EXPECT_EQ(BusTypeFor("mmcblk0", "/sys/devices/platform/mmc0/mmc0:0001", "SD"), 12u);
  EXPECT_EQ(BusTypeFor("mmcblk1", "/sys/devices/platform/mmc1/mmc1:0001", "MMC"), 13u);
  EXPECT_EQ(BusTypeFor("nvme0n1", "/sys/devices/pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1", ""),
            17u);
  EXPECT_EQ(BusTypeFor("loop3", "/sys/devices/virtual/block/loop3", ""), 15u);
  EXPECT_EQ(BusTypeFor("vda", "/sys/devices/pci0000:00/0000:00:04.0/virtio1", ""), 14u);
  // An SD card in a USB reader is on the USB bus.
  EXPECT_EQ(
      BusTypeFor("sdc",
                 "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host7/target7:0:0/7:0:0:0",
                 ""),
      7u);
}

TEST(LinuxPlatformPieces, OpensTheWebPageWithTheConfiguredProgram) {
  ScratchDir scratch;
  const std::string script = scratch.path() + "/opener.sh";
  const std::string out = scratch.path() + "/opened.txt";
  std::ofstream(script) << "#!/bin/sh\necho \"$1\" > " << out << ".part && mv " << out << ".part "
                        << out << "\n";
  ::chmod(script.c_str(), 0755);
  Options options;
  options.system_root = "/nonexistent";  // no devices needed
  options.opener = script;
  LinuxPlatform p(options);
  p.ShellExecuteOpen("https://example.invalid/veracap");
  std::string text;
  for (int i = 0; i < 200 && text.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(out);
    std::getline(in, text);
  }
  EXPECT_EQ(text, "https://example.invalid/veracap");
}

// A sparse file attached as a loop device, and a platform that sees it.
class LinuxLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = testdev::LoopSkipReason();
    if (!reason.empty() && testdev::DeviceTestsRequired()) {
      FAIL() << "CI must run the real-device tests, but: " << reason;
    }
    if (!reason.empty()) GTEST_SKIP() << "SKIP: " << reason;
    testdev::SweepLeftovers();
  }

  // Attaches a new image of size_bytes; returns the platform's disk number.
  std::int32_t Attach(std::uint64_t size_bytes, std::uint32_t sector_bytes = 512) {
    image_ = scratch_.path() + "/disk" + std::to_string(loops_.size()) + ".img";
    EXPECT_TRUE(testdev::MakeSparseFile(image_, size_bytes));
    std::string error;
    loops_.push_back(LoopDevice::Attach(image_, sector_bytes, &error));
    EXPECT_NE(loops_.back(), nullptr) << error;
    if (loops_.back() == nullptr) return -1;
    return platform().Devices().DiskNumberOf(loops_.back()->path());
  }
  std::string Loop() const { return loops_.back()->path(); }

  // ext4 on the last loop device, mounted; returns its letter.
  char MountExt4(const std::string& label) {
    std::string error;
    EXPECT_TRUE(testdev::MakeFileSystem(Loop(), "ext4", label, false, &error)) << error;
    mount_ = Mount::Make(Loop(), scratch_.path() + "/mnt", "ext4", &error);
    EXPECT_NE(mount_, nullptr) << error;
    platform().Devices();
    return platform().Devices().LetterOf(scratch_.path() + "/mnt");
  }

  LinuxPlatform& platform() {
    if (!platform_) {
      Options options;
      options.notice = [this](const std::string& text) { notices_.push_back(text); };
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

  ScratchDir scratch_;
  std::string image_;
  // Destroyed in reverse: platform (closing its descriptors), mount, loops.
  std::vector<std::unique_ptr<LoopDevice>> loops_;
  std::unique_ptr<Mount> mount_;
  std::unique_ptr<LinuxPlatform> platform_;
  std::vector<std::string> notices_;
};

std::vector<std::uint8_t> Pattern(std::uint8_t seed, std::size_t size = 512) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

TEST_F(LinuxLoop, SectorTransfersReachTheDeviceAndNoPageCacheAnswers) {
  const std::int32_t disk = Attach(16 << 20);
  ASSERT_GT(disk, 0);
  const Handle h = platform().CreateFile(DiskPath(disk), kReadWrite, kShareBoth, kOpenExisting, 0);
  ASSERT_NE(h, kInvalidHandle) << platform().GetLastError();

  ASSERT_TRUE(WriteSector(h, 100, Pattern(1)));
  std::vector<std::uint8_t> stored(512);
  ASSERT_TRUE(testdev::ReadAt(image_, 100 * 512, stored.data(), 512));
  EXPECT_EQ(stored, Pattern(1)) << "the write reached the backing file";

  // A buffered reader of the device now has the sector in the page cache...
  std::vector<std::uint8_t> cached(512);
  const int fd = ::open(Loop().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pread(fd, cached.data(), 512, 100 * 512), 512);
  // ...the memory behind the device changes...
  ASSERT_TRUE(testdev::WriteAt(image_, 100 * 512, Pattern(2).data(), 512));
  ASSERT_EQ(::pread(fd, cached.data(), 512, 100 * 512), 512);
  ::close(fd);
  EXPECT_EQ(cached, Pattern(1)) << "the page cache still answers with the old bytes";
  // ...and the platform sees the change.
  std::uint32_t got = 0;
  EXPECT_EQ(ReadSector(h, 100, &got), Pattern(2));
  EXPECT_EQ(got, 512u);

  // The last sector reads; at the end a read gives nothing and a write fails.
  const std::uint64_t last = (16 << 20) / 512 - 1;
  ASSERT_TRUE(WriteSector(h, last, Pattern(3)));
  EXPECT_EQ(ReadSector(h, last, &got), Pattern(3));
  ReadSector(h, last + 1, &got);
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(WriteSector(h, last + 1, Pattern(4)));
  EXPECT_TRUE(platform().CloseHandle(h));
  EXPECT_FALSE(platform().CloseHandle(h));
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
    const bool own = i >= 512 && i < 1024;
    ASSERT_EQ(block[i], own ? Pattern(5)[i - 512] : 0xAB) << "byte " << 4096 + i;
  }
  std::uint32_t got = 0;
  EXPECT_EQ(ReadSector(h, 9, &got), Pattern(5));
  EXPECT_EQ(ReadSector(h, 17, &got), std::vector<std::uint8_t>(512, 0xAB));
  platform().CloseHandle(h);
}

TEST_F(LinuxLoop, DeviceQueriesOfALoopDevice) {
  const std::int32_t disk = Attach(16 << 20);
  ASSERT_GT(disk, 0);
  // Through the core: no SCSI answer from a loop device, so the claimed size
  // is its length, and the bus is the file-backed one, not USB.
  HeadlessWindow window;
  AppState state;
  Context ctx{platform(), window, state};
  state.DriveModel = "BEFORE";
  EXPECT_EQ(GetSCSICapacity(ctx, disk), 16u << 20);
  EXPECT_EQ(state.DriveModel, "BEFORE");
  EXPECT_FALSE(IsUSBBus(ctx, disk));

  const Handle h = platform().CreateFile(DiskPath(disk), 0, 0, kOpenExisting, 0);
  auto block = CapacityBlock();
  std::uint32_t returned = 99;
  EXPECT_FALSE(platform().DeviceIoControl(h, kIoctlScsiPassThrough, block.data(), 585, block.data(),
                                          585, &returned));
  EXPECT_EQ(returned, 0u);
  std::uint8_t query[kStoragePropertyQueryBytes] = {};
  std::uint8_t descriptor[512] = {};
  ASSERT_TRUE(platform().DeviceIoControl(h, kIoctlStorageQueryProperty, query, sizeof query,
                                         descriptor, 512, &returned));
  EXPECT_EQ(DecodeStorageDeviceDescriptor(descriptor).bus_type, kBusTypeFileBackedVirtual);
  std::uint8_t number[StorageDeviceNumber::kBytes] = {};
  ASSERT_TRUE(platform().DeviceIoControl(h, kIoctlStorageGetDeviceNumber, nullptr, 0, number, 12,
                                         &returned));
  EXPECT_EQ(DecodeStorageDeviceNumber(number).device_type, kFileDeviceDisk);
  EXPECT_EQ(DecodeStorageDeviceNumber(number).device_number, static_cast<std::uint32_t>(disk));
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
    const auto data = Pattern(0);
    EXPECT_FALSE(platform().WriteFile(h, data.data(), 512, &written));
    platform().CloseHandle(h);
  }

  ASSERT_EQ(platform().Devices().LetterOf("/"), 'C');
  EXPECT_EQ(platform().CreateFile("\\\\.\\C:", kReadWrite, kShareBoth, kOpenExisting, 0),
            kInvalidHandle);
  EXPECT_EQ(platform().CreateFile("C:\\VCAPTEST1.tmp", kGenericWrite, 0, kCreateAlways,
                                  kFileFlagNoBuffering | kFileFlagWriteThrough),
            kInvalidHandle);
  EXPECT_EQ(platform().GetLastError(), kErrorAccessDenied);
  EXPECT_FALSE(std::filesystem::exists("/VCAPTEST1.tmp"));
  EXPECT_FALSE(platform().DeleteFile("C:\\VCAPTEST1.tmp"));
  // A query handle on C: still tells its disk.
  const Handle q = platform().CreateFile("\\\\.\\C:", 0, kShareBoth, kOpenExisting, 0);
  std::uint8_t number[StorageDeviceNumber::kBytes] = {};
  std::uint32_t returned = 0;
  ASSERT_TRUE(platform().DeviceIoControl(q, kIoctlStorageGetDeviceNumber, nullptr, 0, number, 12,
                                         &returned));
  EXPECT_EQ(DecodeStorageDeviceNumber(number).device_number, 0u);
  platform().CloseHandle(q);
  // The core's rule finds it through the queries it asks on Windows: the
  // root file system's volume and its extents.
  HeadlessWindow window;
  AppState state;
  Context ctx{platform(), window, state};
  EXPECT_EQ(RoleOfDisk(ctx, 0), DiskRole::kWindows);
}

TEST_F(LinuxLoop, LockDismountAndUnlockAMountedVolume) {
  const std::int32_t disk = Attach(32 << 20);
  ASSERT_GT(disk, 0);
  const char letter = MountExt4("VCAPLOOP");
  ASSERT_NE(letter, 0);
  const std::string volume = std::string("\\\\.\\") + letter + ":";

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

  // Lock first: refused while mounted; the dismount then unmounts for real
  // and takes the lock.
  const Handle v = platform().CreateFile(volume, kReadWrite, kShareBoth, kOpenExisting, 0);
  ASSERT_NE(v, kInvalidHandle);
  std::uint32_t returned = 0;
  EXPECT_FALSE(platform().DeviceIoControl(v, kFsctlLockVolume, nullptr, 0, nullptr, 0, &returned));
  EXPECT_EQ(platform().GetLastError(), kErrorAccessDenied);
  EXPECT_TRUE(
      platform().DeviceIoControl(v, kFsctlDismountVolume, nullptr, 0, nullptr, 0, &returned));
  EXPECT_FALSE(mount_->mounted());
  ASSERT_FALSE(notices_.empty());
  EXPECT_NE(notices_.back().find("unmounted"), std::string::npos) << notices_.back();
  const int held = ::open(Loop().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  EXPECT_EQ(held, -1) << "the volume is held exclusively";
  if (held >= 0) ::close(held);
  // The letter stays; the raw disk may now be written.
  EXPECT_EQ(platform().Devices().Volume(letter)->mount_point, "");
  EXPECT_TRUE(WriteSector(d, 10, Pattern(6)));

  EXPECT_TRUE(platform().DeviceIoControl(v, kFsctlUnlockVolume, nullptr, 0, nullptr, 0, &returned));
  EXPECT_FALSE(
      platform().DeviceIoControl(v, kFsctlUnlockVolume, nullptr, 0, nullptr, 0, &returned));
  // The handle that wrote keeps the disk to itself until it is closed.
  EXPECT_LT(::open(Loop().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC), 0);
  platform().CloseHandle(v);
  platform().CloseHandle(d);
  const int free_again = ::open(Loop().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  EXPECT_GE(free_again, 0);
  if (free_again >= 0) ::close(free_again);
  EXPECT_EQ(platform().open_handle_count(), 0u);
}

TEST_F(LinuxLoop, ABusyVolumeIsReportedAndStaysMounted) {
  const std::int32_t disk = Attach(32 << 20);
  ASSERT_GT(disk, 0);
  const char letter = MountExt4("BUSY");
  ASSERT_NE(letter, 0);
  const int open_file =
      ::open((mount_->dir() + "/open.txt").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  ASSERT_GE(open_file, 0);
  const Handle v = platform().CreateFile(std::string("\\\\.\\") + letter + ":", kReadWrite,
                                         kShareBoth, kOpenExisting, 0);
  std::uint32_t returned = 0;
  EXPECT_FALSE(
      platform().DeviceIoControl(v, kFsctlDismountVolume, nullptr, 0, nullptr, 0, &returned));
  EXPECT_TRUE(mount_->mounted());
  ASSERT_FALSE(notices_.empty());
  EXPECT_NE(notices_.back().find("busy and stays mounted"), std::string::npos) << notices_.back();
  ::close(open_file);
  platform().CloseHandle(v);
}

TEST_F(LinuxLoop, TestFilesInTheVolumeRoot) {
  const std::int32_t disk = Attach(64 << 20);
  ASSERT_GT(disk, 0);
  const char letter = MountExt4("FILES");
  ASSERT_NE(letter, 0);
  const std::string drive = std::string(1, letter) + ":";
  std::filesystem::create_directory(mount_->dir() + "/sub");
  std::ofstream(mount_->dir() + "/sub/VCAPTEST9.tmp") << "x";
  std::filesystem::create_directory(mount_->dir() + "/VCAPTEST8.tmp");
  std::ofstream(mount_->dir() + "/.VCAPTEST7.tmp") << "x";

  // Direct, synchronous writes from memory of any alignment, with a tail
  // that is not a whole block.
  const std::size_t size = (1 << 20) + 1000;
  std::vector<std::uint8_t> storage(size + 1);
  for (std::size_t i = 0; i < storage.size(); ++i) storage[i] = static_cast<std::uint8_t>(i * 13);
  const Handle w = platform().CreateFile(drive + "\\VCAPTEST1.tmp", kGenericWrite, 0, kCreateAlways,
                                         kFileFlagWriteThrough | kFileFlagNoBuffering | 0x80);
  ASSERT_NE(w, kInvalidHandle) << platform().GetLastError();
  std::uint32_t written = 0;
  ASSERT_TRUE(
      platform().WriteFile(w, storage.data() + 1, static_cast<std::uint32_t>(size), &written));
  EXPECT_EQ(written, size);
  EXPECT_TRUE(platform().FlushFileBuffers(w));
  platform().CloseHandle(w);

  const Handle r = platform().CreateFile(drive + "\\VCAPTEST1.tmp", kGenericRead, kFileShareRead,
                                         kOpenExisting, 0);
  ASSERT_NE(r, kInvalidHandle);
  std::vector<std::uint8_t> back(size);
  std::uint32_t got = 0;
  ASSERT_TRUE(platform().ReadFile(r, back.data(), static_cast<std::uint32_t>(size), &got));
  EXPECT_EQ(got, size);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), storage.begin() + 1));
  platform().CloseHandle(r);

  EXPECT_EQ(platform().FindFiles(drive + "\\vcaptest*.TMP"),
            std::vector<std::string>{"VCAPTEST1.tmp"});
  // What each name is, never what a link of that name points at.
  std::filesystem::create_symlink("/etc/hostname", mount_->dir() + "/VCAPTEST6.tmp");
  EXPECT_EQ(platform().GetFileAttributes(drive + "\\VCAPTEST1.tmp"), kFileAttributeNormal);
  EXPECT_EQ(platform().GetFileAttributes(drive + "\\VCAPTEST8.tmp"), kFileAttributeDirectory);
  EXPECT_EQ(platform().GetFileAttributes(drive + "\\.VCAPTEST7.tmp"), kFileAttributeHidden);
  EXPECT_EQ(platform().GetFileAttributes(drive + "\\VCAPTEST6.tmp"), kFileAttributeReparsePoint);
  EXPECT_EQ(platform().GetFileAttributes(drive + "\\VCAPTEST5.tmp"), kInvalidFileAttributes);
  EXPECT_EQ(platform().GetLastError(), kErrorFileNotFound);
  std::uint64_t free_bytes = 0, total = 0, total_free = 0;
  ASSERT_TRUE(platform().GetDiskFreeSpaceEx(drive + "\\", &free_bytes, &total, &total_free));
  EXPECT_GT(total, 50u << 20);
  EXPECT_LE(free_bytes, total_free);
  std::uint32_t per_cluster = 0, sector = 0, free_clusters = 0, clusters = 0;
  ASSERT_TRUE(platform().GetDiskFreeSpace(drive, &per_cluster, &sector, &free_clusters, &clusters));
  EXPECT_EQ(sector, 512u);  // the loop device's logical block
  EXPECT_GE(clusters, free_clusters);
  EXPECT_TRUE(platform().DeleteFile(drive + "\\VCAPTEST1.tmp"));
  EXPECT_FALSE(std::filesystem::exists(mount_->dir() + "/VCAPTEST1.tmp"));
  EXPECT_TRUE(std::filesystem::exists(mount_->dir() + "/sub/VCAPTEST9.tmp"));
  // Only the volume root: no path into sub-folders or out of the volume.
  EXPECT_EQ(
      platform().CreateFile(drive + "\\sub\\VCAPTEST9.tmp", kGenericRead, 0, kOpenExisting, 0),
      kInvalidHandle);
  EXPECT_EQ(platform().CreateFile(drive + "\\..", kGenericRead, 0, kOpenExisting, 0),
            kInvalidHandle);
}

}  // namespace
}  // namespace veracap::linux_platform

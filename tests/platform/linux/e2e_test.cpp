// The Linux platform and the runner on real block devices: loop devices over
// sparse files, or over a counterfeit stick served by the FUSE program, with
// file systems on them; the runner driven as a person runs it. Needs root,
// /dev/fuse and loop devices; skipped visibly where they are missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "app/headless_window.h"
#include "app/state.h"
#include "drives/disk_role.h"
#include "drives/drive_info.h"
#include "filetest/file_test_command.h"
#include "fuse/test_devices.h"
#include "platform/linux/linux_platform.h"
#include "quicktest/quick_size_engine.h"

namespace veracap {
namespace {

namespace fs = std::filesystem;
using linux_platform::LinuxPlatform;

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kMiB = 1ull << 20;

int Cli(std::vector<std::string> args, std::string* output) {
  args.insert(args.begin(), VERACAP_CLI);
  return testdev::Run(args, output);
}

class LinuxE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    VERACAP_NEED(testdev::SkipReason());
    testdev::SweepLeftovers();
  }

  // A stick of claimed bytes holding real bytes, attached as loop_; with a
  // file system of fs_type mounted at mnt_ unless fs_type is empty. A
  // table's earlier stick goes first.
  void MakeStick(std::uint64_t claimed, std::uint64_t real, const std::string& beyond,
                 const std::string& fs_type = "", const std::string& options = "",
                 const std::string& mount_options = "") {
    platform_.reset();
    scratch_.Undo();
    ASSERT_TRUE(scratch_.Stick(claimed, real, beyond, options)) << scratch_.error;
    loop_ = scratch_.Loop(scratch_.stick());
    ASSERT_NE(loop_, "") << scratch_.error;
    if (!fs_type.empty()) {
      std::string error;
      ASSERT_TRUE(testdev::MakeFileSystem(loop_, fs_type, "VCAPE2E", &error)) << error;
      ASSERT_TRUE(scratch_.Mount(loop_, mnt_, fs_type, mount_options)) << scratch_.error;
    }
    scratch_.ResetCounters();
  }

  // A sparse image of size_bytes (image_) attached as loop_ with logical
  // blocks of sector_bytes; the platform's disk number.
  std::int32_t AttachImage(std::uint64_t size_bytes, std::uint32_t sector_bytes = 512) {
    image_ = scratch_.path() + "/disk.img";
    EXPECT_TRUE(testdev::MakeSparseFile(image_, size_bytes));
    loop_ = scratch_.Loop(image_, "--sector-size " + std::to_string(sector_bytes));
    EXPECT_NE(loop_, "") << scratch_.error;
    return loop_.empty() ? -1 : Platform().Devices().DiskNumberOf(loop_);
  }

  LinuxPlatform& Platform() {
    if (!platform_) {
      platform_ = std::make_unique<LinuxPlatform>(linux_platform::Options{
          "", "true", [this](const std::string& text) { notices_ += text + "\n"; }});
    }
    return *platform_;
  }

  bool WriteSector(Handle h, std::uint64_t sector, const std::vector<std::uint8_t>& data) {
    std::uint32_t written = 0;
    return Platform().SetFilePointerEx(h, static_cast<std::int64_t>(sector * 512), kFileBegin) &&
           Platform().WriteFile(h, data.data(), static_cast<std::uint32_t>(data.size()),
                                &written) &&
           Platform().FlushFileBuffers(h);
  }
  // The sector's bytes; fewer at the device's end, none when the read fails.
  std::vector<std::uint8_t> ReadSector(Handle h, std::uint64_t sector) {
    std::vector<std::uint8_t> data(512, 0xEE);
    std::uint32_t got = 0;
    if (!Platform().SetFilePointerEx(h, static_cast<std::int64_t>(sector * 512), kFileBegin) ||
        !Platform().ReadFile(h, data.data(), 512, &got)) {
      got = 0;
    }
    data.resize(got);
    return data;
  }
  // Whether another program could open the loop device exclusively now.
  bool FreeForOthers() const {
    const int fd = ::open(loop_.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  }

  // Destroyed in reverse: the platform (closing its descriptors), then the
  // devices.
  testdev::Scratch scratch_;
  std::string loop_, image_, mnt_ = scratch_.path() + "/mnt", notices_;
  std::unique_ptr<LinuxPlatform> platform_;
};

std::vector<std::uint8_t> Pattern(std::uint8_t seed) {
  std::vector<std::uint8_t> v(512);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;
constexpr std::uint32_t kShareBoth = kFileShareRead | kFileShareWrite;
std::string DiskPath(std::int32_t n) { return "\\\\.\\PhysicalDrive" + std::to_string(n); }

TEST_F(LinuxE2E, SectorsReachTheDeviceAndNoPageCacheAnswers) {
  const std::int32_t disk = AttachImage(16 << 20);
  ASSERT_GT(disk, 0);
  const Handle h = Platform().CreateFile(DiskPath(disk), kReadWrite, kShareBoth, kOpenExisting, 0);
  ASSERT_NE(h, kInvalidHandle) << Platform().GetLastError();
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
  EXPECT_EQ(ReadSector(h, 100), Pattern(2));
  // The last sector reads; at the end a read gives nothing and a write fails.
  const std::uint64_t last = (16 << 20) / 512 - 1;
  ASSERT_TRUE(WriteSector(h, last, Pattern(3)));
  EXPECT_EQ(ReadSector(h, last), Pattern(3));
  EXPECT_EQ(ReadSector(h, last + 1), std::vector<std::uint8_t>{});
  EXPECT_FALSE(WriteSector(h, last + 1, Pattern(4)));
  EXPECT_TRUE(Platform().CloseHandle(h));
  EXPECT_FALSE(Platform().CloseHandle(h));
}

TEST_F(LinuxE2E, A512ByteWriteOnA4KnDeviceChangesOnlyItsOwnBytes) {
  const std::int32_t disk = AttachImage(8 << 20, 4096);
  ASSERT_GT(disk, 0);
  const std::vector<std::uint8_t> background(8192, 0xAB);
  ASSERT_TRUE(testdev::WriteAt(image_, 4096, background.data(), background.size()));
  const Handle h = Platform().CreateFile(DiskPath(disk), kReadWrite, kShareBoth, kOpenExisting, 0);
  ASSERT_NE(h, kInvalidHandle);
  // Sector 9 is the second 512 bytes of logical block 1 (bytes 4608..5119).
  ASSERT_TRUE(WriteSector(h, 9, Pattern(5)));
  std::vector<std::uint8_t> block(8192);
  ASSERT_TRUE(testdev::ReadAt(image_, 4096, block.data(), block.size()));
  for (std::size_t i = 0; i < block.size(); ++i) {
    ASSERT_EQ(block[i], i >= 512 && i < 1024 ? Pattern(5)[i - 512] : 0xAB) << "byte " << 4096 + i;
  }
  EXPECT_EQ(ReadSector(h, 9), Pattern(5));
  EXPECT_EQ(ReadSector(h, 17), std::vector<std::uint8_t>(512, 0xAB));
  Platform().CloseHandle(h);
}

TEST_F(LinuxE2E, TheSystemDiskAndItsRootVolumeAreRefusedWhateverTheirNumber) {
  const linux_platform::DiskRecord* system = Platform().Devices().Disk(0);
  if (system == nullptr) GTEST_SKIP() << "SKIP: the root file system is on no disk here";
  ASSERT_FALSE(system->protected_reason.empty());
  EXPECT_EQ(Platform().CreateFile(DiskPath(0), kReadWrite, kShareBoth, kOpenExisting, 0),
            kInvalidHandle);
  EXPECT_EQ(Platform().GetLastError(), kErrorAccessDenied);
  ASSERT_EQ(Platform().Devices().LetterOf("/"), 'C');
  EXPECT_EQ(Platform().CreateFile("\\\\.\\C:", kReadWrite, kShareBoth, kOpenExisting, 0),
            kInvalidHandle);
  EXPECT_EQ(Platform().CreateFile("C:\\VCAPTEST1.tmp", kGenericWrite, 0, kCreateAlways,
                                  kFileFlagNoBuffering | kFileFlagWriteThrough),
            kInvalidHandle);
  EXPECT_FALSE(fs::exists("/VCAPTEST1.tmp"));
  EXPECT_FALSE(Platform().DeleteFile("C:\\VCAPTEST1.tmp"));
  // The core's rule finds it through the queries it asks on Windows: the
  // root file system's volume and its extents.
  HeadlessWindow window;
  AppState state;
  Context ctx{Platform(), window, state};
  EXPECT_EQ(RoleOfDisk(ctx, 0), DiskRole::kWindows);
}

// A volume in use stays mounted; otherwise the dismount unmounts it for
// real, and the lock holds the device exclusively until the handles close.
// Raw writes are refused while the file system is mounted.
TEST_F(LinuxE2E, BusyDismountLockAndUnlockOfAMountedVolume) {
  const std::int32_t disk = AttachImage(32 << 20);
  ASSERT_GT(disk, 0);
  std::string error;
  ASSERT_TRUE(testdev::MakeFileSystem(loop_, "ext4", "VCAPLOOP", &error)) << error;
  ASSERT_TRUE(scratch_.Mount(loop_, mnt_, "ext4")) << scratch_.error;
  const char letter = Platform().Devices().LetterOf(mnt_);
  ASSERT_NE(letter, 0);
  const Handle d = Platform().CreateFile(DiskPath(disk), kReadWrite, kShareBoth, kOpenExisting, 0);
  ASSERT_NE(d, kInvalidHandle);
  EXPECT_FALSE(WriteSector(d, 10, Pattern(6)));
  EXPECT_EQ(Platform().GetLastError(), kErrorAccessDenied);
  const Handle v = Platform().CreateFile(std::string("\\\\.\\") + letter + ":", kReadWrite,
                                         kShareBoth, kOpenExisting, 0);
  ASSERT_NE(v, kInvalidHandle);
  const auto control = [&](std::uint32_t code) {
    std::uint32_t returned = 0;
    return Platform().DeviceIoControl(v, code, nullptr, 0, nullptr, 0, &returned);
  };
  const int open_file = ::open((mnt_ + "/open.txt").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  EXPECT_FALSE(control(kFsctlDismountVolume));
  EXPECT_TRUE(testdev::IsMounted(mnt_));
  EXPECT_NE(notices_.find("busy and stays mounted"), std::string::npos) << notices_;
  ::close(open_file);
  EXPECT_FALSE(control(kFsctlLockVolume)) << "refused while mounted";
  EXPECT_EQ(Platform().GetLastError(), kErrorAccessDenied);
  EXPECT_TRUE(control(kFsctlDismountVolume));
  EXPECT_FALSE(testdev::IsMounted(mnt_));
  EXPECT_NE(notices_.find("unmounted"), std::string::npos) << notices_;
  EXPECT_FALSE(FreeForOthers());
  EXPECT_EQ(Platform().Devices().Volume(letter)->mount_point, "") << "the letter stays";
  EXPECT_TRUE(WriteSector(d, 10, Pattern(6)));
  EXPECT_TRUE(control(kFsctlUnlockVolume));
  EXPECT_FALSE(control(kFsctlUnlockVolume));
  EXPECT_FALSE(FreeForOthers()) << "the handle that wrote keeps the disk until it is closed";
  Platform().CloseHandle(v);
  Platform().CloseHandle(d);
  EXPECT_TRUE(FreeForOthers());
  EXPECT_EQ(Platform().open_handle_count(), 0u);
}

// The Quick Size Test through the runner, by device path as f3probe is run
// (never by letter: letters follow what other programs mount): its verdict
// and first bad sector in the JSON report, every transfer the report counts having reached the
// stick (no cache answered), each marker write with its flush, a mounted volume unmounted first,
// and sector 0 left zeroed. Counterfeits that fooled the test before: a write cache that answers
// every marker, a wrap at a period that is not a power of two, a stick that refuses every write. A
// log-structured stick holding more than the test writes passes, and the
// log says what only a fill finds.
TEST_F(LinuxE2E, RunnerQuickTestByStickKind) {
  const struct {
    const char* what;
    std::uint64_t claimed, real;
    const char *beyond, *options, *fs;
    bool by_letter;
    int status;
    const char* verdict;
    std::int64_t first_bad_sector;  // -1: none
    const char* text;
  } table[] = {
      {"\"16 GB\" holding 1 GiB, zeros, 64 MiB cache", 16'000'000'000, kGiB, "zeros",
       "--cache-bytes 67108864", "", false, 1, "failed", 2097152,
       "BAD MEMORY from sector 2097152 (1,024.0MiB)"},
      {"\"16 GB\" wrapping at 7 GiB", 16'000'000'000, 7 * kGiB, "wrap", "", "", false, 1, "failed",
       14680064, "BAD MEMORY from sector 14680064 (7,168.0MiB)"},
      {"genuine 1 GiB, write-protected", kGiB, kGiB, "wrap", "--write-protected", "", false, 1,
       "failed", -1, "THE DRIVE COULD NOT BE WRITTEN!"},
      {"\"8 GB\" log-structured holding 1 GiB", 8'000'000'000, kGiB, "log", "", "", false, 0,
       "passed", -1,
       "NOTE: A counterfeit that stores every write in a log of its real size passes"},
      {"\"8 GB\" holding 1 GiB, zeros, ext4, in the list", 8'000'000'000, kGiB, "zeros", "", "ext4",
       true, 1, "failed", 2097152, "WARNING: no memory detected at one or more locations."},
      {"\"32 GB\" holding 4 GiB, wrap, ext4", 32'000'000'000, 4 * kGiB, "wrap", "", "ext4", false,
       1, "failed", 8388608, "unmounted"},
      {"genuine 1 GiB, ext4", kGiB, kGiB, "wrap", "", "ext4", false, 0, "passed", -1, "unmounted"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.what);
    MakeStick(row.claimed, row.real, row.beyond, row.fs, row.options);
    if (HasFatalFailure()) return;
    const std::string json = scratch_.path() + "/run.json";
    std::vector<std::string> args{"quick", loop_, "--all"};
    std::string output;
    if (row.by_letter) {
      // The list names the device, its letter, mount point and disk number
      // (the test itself goes by path: letters follow what others mount).
      ASSERT_EQ(Cli({"list", "--all"}, &output), 0) << output;
      EXPECT_TRUE(std::regex_search(
          output, std::regex("(^|\n)" + loop_ + " .* [D-Z]: .*" + mnt_ + ".*disk [0-9]+")))
          << output;
    }
    args.insert(args.end(), {"--yes", "--json", json});
    EXPECT_EQ(Cli(args, &output), row.status) << output;
    EXPECT_NE(output.find(row.text), std::string::npos) << output;
    const nlohmann::json j = nlohmann::json::parse(testdev::ReadText(json), nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << "the report is JSON";
    EXPECT_EQ(j["verdict"], row.verdict);
    EXPECT_EQ(j["device"]["path"], loop_);
    EXPECT_EQ(j["device"]["claimed_bytes"].get<std::uint64_t>(), row.claimed / 8225280 * 8225280);
    EXPECT_EQ(j["first_bad_sector"].is_null() ? -1 : j["first_bad_sector"].get<std::int64_t>(),
              row.first_bad_sector);
    // Failed transfers (a write-protected stick's) are counted as errors.
    const auto done = [&](const char* kind) {
      return j[kind]["count"].get<std::int64_t>() - j[kind]["errors"].get<std::int64_t>();
    };
    const testdev::FuseCounters stick = scratch_.Counters();
    EXPECT_GE(static_cast<std::int64_t>(stick.writes), done("writes"));
    // Not the reads: between the loop device and the stick the kernel does
    // not pass every direct read of a sector just read on (seen: four reads
    // of the last sector, three at the stick), so they bound nothing.
    // Every marker written was flushed; a marker write that failed is no
    // marker written.
    const auto markers = j["markers_written"].get<std::int64_t>();
    EXPECT_GE(static_cast<std::int64_t>(stick.flushes), markers);
    EXPECT_TRUE(std::string(row.options) != "--write-protected" || markers == 0) << markers;
    std::uint8_t first[512];
    ASSERT_TRUE(testdev::ReadAt(scratch_.stick(), 0, first, 512));
    EXPECT_EQ(std::count(first, first + 512, 0), 512);
    EXPECT_FALSE(*row.fs != '\0' && testdev::IsMounted(mnt_));
  }
}

// The disk is held where this process cannot see it: mounted in another
// mount namespace, or by a test of our own writing its markers (another
// runner's final zeroing of sector 0 used to break it). The runner writes
// nothing, says the disk is in use and fails; the first test still passes.
TEST_F(LinuxE2E, RunnerRefusesADiskInUseElsewhere) {
  const std::string hold = scratch_.path() + "/hold", ready = scratch_.path() + "/ready";
  const auto refused = [&](int status, const std::string& output) {
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find("is in use"), std::string::npos) << output;
    EXPECT_NE(output.find("nothing is written to it"), std::string::npos) << output;
  };
  MakeStick(64 * kMiB, 64 * kMiB, "wrap");
  if (HasFatalFailure()) return;
  std::string error, output;
  ASSERT_TRUE(testdev::MakeFileSystem(loop_, "ext4", "ELSEWHERE", &error)) << error;
  fs::create_directories(mnt_);
  std::ofstream(hold) << "";
  const std::uint64_t before = testdev::Checksum(scratch_.memory());
  std::thread holder([&] {
    testdev::Run({"unshare", "-m", "--propagation", "private", "sh", "-c",
                  "mount -o ro -t ext4 " + loop_ + " " + mnt_ + " && touch " + ready +
                      " && while [ -e " + hold + " ]; do sleep 0.05; done"},
                 &error);
  });
  for (int i = 0; i < 200 && !fs::exists(ready); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const bool held = fs::exists(ready);
  const int status = Cli({"quick", loop_, "--all", "--yes"}, &output);
  fs::remove(hold);
  holder.join();
  ASSERT_TRUE(held) << error;
  refused(status, output);
  EXPECT_EQ(testdev::Checksum(scratch_.memory()), before) << "nothing written";

  // The second runner starts at the first test's third pause for events
  // while it writes its markers.
  HeadlessWindow window;
  AppState state;
  Context ctx{Platform(), window, state};
  int second = -1;
  window.on_yield = [&, count = 0](long) mutable {
    if (state.results_log.find("Writing marker blocks") != std::string::npos && ++count == 3) {
      second = Cli({"quick", loop_, "--all", "--yes"}, &output);
    }
  };
  state.ShowAllDrives = true;
  state.SelectedDiskNumber = Platform().Devices().DiskNumberOf(loop_);
  GetUSBDiskDriveInfo(ctx, state.SelectedDiskNumber);
  QuickSizeTest(ctx);
  EXPECT_EQ(state.quick_outcome, AppState::QuickOutcome::kPassed) << state.results_log;
  refused(second, output);
}

// f3fix's job: after the FAILED quick test, one partition that ends before
// the bad memory; the Volume File Test then passes on it. A report of
// another device is refused.
TEST_F(LinuxE2E, RunnerFixesTheCounterfeitToItsRealSize) {
  VERACAP_NEED(testdev::Missing("mkfs.vfat") + testdev::Missing("fsck.vfat"));
  MakeStick(2'000'000'000, 512 * kMiB, "wrap");
  if (HasFatalFailure()) return;
  const std::string json = scratch_.path() + "/quick.json";
  std::string output;
  ASSERT_EQ(Cli({"quick", loop_, "--all", "--yes", "--json", json}, &output), 1) << output;
  nlohmann::json other = nlohmann::json::parse(testdev::ReadText(json));
  other["device"]["identity"] = "/dev/sdz (8:0), 1 bytes";
  std::ofstream(scratch_.path() + "/other.json") << other.dump();
  EXPECT_EQ(Cli({"fix", loop_, "--all", "--yes", "--from-json", scratch_.path() + "/other.json"},
                &output),
            2)
      << output;
  ASSERT_EQ(Cli({"fix", loop_, "--all", "--yes", "--from-json", json}, &output), 0) << output;
  // The table as the device holds it: one FAT32 partition, ending at or
  // below the 512 MiB of real memory, close to it.
  std::uint8_t mbr[512];
  ASSERT_TRUE(testdev::ReadAt(scratch_.memory(), 0, mbr, sizeof mbr));
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[446 + 4], 0x0c);  // FAT32 (LBA)
  std::uint32_t start = 0, count = 0;
  std::memcpy(&start, mbr + 446 + 8, 4);
  std::memcpy(&count, mbr + 446 + 12, 4);
  const std::uint64_t end = (std::uint64_t{start} + count) * 512;
  EXPECT_GT(end, 512 * kMiB - 64 * kMiB) << output;
  EXPECT_LE(end, 512 * kMiB) << output;
  EXPECT_EQ(mbr[446 + 16 + 4], 0) << "one partition only";
  // The partition on its own loop device (the kernel here may read no
  // partition tables), checked by fsck.vfat; where the kernel has no FAT,
  // ext4 in its place shows as well that it lies in good memory.
  const std::string part =
      scratch_.Loop(scratch_.stick(), "--offset " + std::to_string(start * 512ull) +
                                          " --sizelimit " + std::to_string(count * 512ull));
  ASSERT_NE(part, "") << scratch_.error;
  EXPECT_EQ(testdev::Run({"fsck.vfat", "-n", part}, &output), 0) << output;
  std::string fs_type = "vfat", error;
  if (!testdev::FileSystemSkipReason("vfat").empty()) {
    fs_type = "ext4";
    ASSERT_TRUE(testdev::MakeFileSystem(part, fs_type, "FIXED", &error)) << error;
  }
  ASSERT_TRUE(scratch_.Mount(part, mnt_, fs_type)) << scratch_.error;
  EXPECT_EQ(Cli({"filetest", mnt_, "--all", "--yes"}, &output), 0) << output;
  EXPECT_NE(output.find("\nPASSED: "), std::string::npos) << output;
}

// The device behind a path changes while the question waits for its answer:
// the runner notices and writes nothing.
TEST_F(LinuxE2E, RunnerRefusesADeviceThatChangedAfterItWasChosen) {
  VERACAP_NEED(testdev::Missing("script"));
  ASSERT_GT(AttachImage(64 * kMiB), 0);
  const std::string answers = scratch_.path() + "/answers", out = scratch_.path() + "/tty.txt";
  ASSERT_EQ(::mkfifo(answers.c_str(), 0600), 0);
  int status = -1;
  std::thread runner([&] {
    status = testdev::Run({"/bin/sh", "-c",
                           "script -qec '" + std::string(VERACAP_CLI) + " quick " + loop_ +
                               " --all' /dev/null <" + answers + " >" + out});
  });
  std::ofstream answer(answers);  // opens once the runner reads the answers
  for (int i = 0; i < 200 && testdev::ReadText(out).find("Erase it?") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(testdev::ReadText(out).find("DESTROYS ALL DATA on " + loop_), std::string::npos)
      << testdev::ReadText(out);
  // The device grows: not the one chosen, though it keeps its path (the
  // loop device is never let go, so no other program can take it meanwhile).
  fs::resize_file(image_, 128 * kMiB);
  EXPECT_EQ(testdev::Run({"losetup", "--set-capacity", loop_}), 0);
  answer << "y\n" << std::flush;
  answer.close();
  runner.join();
  const std::string told = testdev::ReadText(out);
  EXPECT_EQ(status, 2) << told;
  EXPECT_NE(told.find("no longer the one chosen"), std::string::npos) << told;
  EXPECT_EQ(told.find("Writing marker"), std::string::npos);
  const std::string bytes = testdev::ReadText(image_);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\0'), static_cast<std::ptrdiff_t>(bytes.size()))
      << "nothing was written";
}

TEST(LinuxRunner, WithoutRootRightsSaysSoAndExits2) {
  if (::geteuid() != 0 || !testdev::Missing("setpriv").empty()) {
    GTEST_SKIP() << "SKIP: needs root and setpriv to run the runner as another user";
  }
  std::string output;
  EXPECT_EQ(testdev::Run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                          VERACAP_CLI, "list"},
                         &output),
            2)
      << output;
  EXPECT_NE(output.find("needs root rights"), std::string::npos) << output;
}

// The Volume File Test through the runner on volumes of each file system the
// kernel offers here: a genuine one passes, keeping the user's file, with
// the test files written through to the stick and deleted; a counterfeit
// ("512 MiB" holding 96 MiB: what lies beyond is lost and reads as zeros,
// or every write goes to a log of 96 MiB that the fill comes round over)
// fails; a read-only one (an SD card's lock switch) is refused without a
// write.
TEST_F(LinuxE2E, RunnerVolumeFileTestByFileSystemAndDevice) {
  const struct {
    const char* fs;
    std::uint64_t claimed, real;
    const char *beyond, *mount_options;
    int status;
    const char* text;
  } table[] = {
      {"ext4", 240 * kMiB, 240 * kMiB, "wrap", "", 0, "PASSED: "},
      {"vfat", 240 * kMiB, 240 * kMiB, "wrap", "", 0, "PASSED: "},
      {"exfat", 240 * kMiB, 240 * kMiB, "wrap", "", 0, "PASSED: "},
      {"ext4", 512 * kMiB, 96 * kMiB, "zeros", "", 1, "THIS DRIVE IS PROBABLY FAKE"},
      {"ext4", 512 * kMiB, 96 * kMiB, "log", "", 1, "THIS DRIVE IS PROBABLY FAKE"},
      {"ext4", 240 * kMiB, 240 * kMiB, "wrap", "ro", 2,
       "\\VCAPTEST1.tmp cannot be created: the volume is write-protected or read-only (error 19). "
       "Nothing was written."},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(std::string(row.fs) + " " + std::to_string(row.real >> 20) + " MiB " + row.beyond +
                 " " + row.mount_options);
    const std::string reason = testdev::FileSystemSkipReason(row.fs);
    if (!reason.empty()) {
      std::printf("SKIP: %s\n", reason.c_str());
      continue;
    }
    MakeStick(row.claimed, row.real, row.beyond, row.fs, "", row.mount_options);
    if (HasFatalFailure()) return;
    if (*row.mount_options == '\0') std::ofstream(mnt_ + "/KEEP.TXT") << "the user's file";
    scratch_.ResetCounters();
    std::string output;
    EXPECT_EQ(Cli({"filetest", mnt_, "--all", "--yes"}, &output), row.status) << output;
    EXPECT_NE(output.find(row.text), std::string::npos) << output;
    EXPECT_EQ(std::count_if(fs::directory_iterator(mnt_), {},
                            [](const auto& e) {
                              return e.path().filename().string().rfind("VCAPTEST", 0) == 0;
                            }),
              0)
        << "no test file is left";
    EXPECT_TRUE(row.status != 2 || scratch_.Counters().writes == 0) << "refused: nothing written";
    if (row.status == 0) {
      EXPECT_TRUE(fs::exists(mnt_ + "/KEEP.TXT"));
      EXPECT_GT(scratch_.Counters().bytes_written, 200 * kMiB);
    }
  }
}

// Whatever has a test file's name stays as it is, and so does what a link
// points at: a file outside the volume, another disk. The test stops before
// it writes anything (the stick's write counter stays still), never hangs on
// a pipe, the platform itself neither creates nor opens through the name,
// and the user's VCAPTEST_notes.tmp survives every clean-up.
TEST_F(LinuxE2E, NamesInTheWayOfTestFilesAreNeverWrittenThrough) {
  MakeStick(240 * kMiB, 240 * kMiB, "wrap", "ext4", "", "noatime");
  if (HasFatalFailure()) return;
  const std::string victim = scratch_.path() + "/victim.txt",
                    other = scratch_.path() + "/other.img", name = mnt_ + "/VCAPTEST1.tmp";
  std::ofstream(victim) << "a file on the system disk";
  ASSERT_TRUE(testdev::MakeSparseFile(other, 8 * kMiB));
  ASSERT_TRUE(testdev::WriteAt(other, 0, "OTHER DISK", 10));
  const std::string other_disk = scratch_.Loop(other);
  ASSERT_NE(other_disk, "") << scratch_.error;
  std::ofstream(mnt_ + "/VCAPTEST_notes.tmp") << "my notes";
  const std::uint64_t victim_sum = testdev::Checksum(victim);
  const std::uint64_t other_sum = testdev::Checksum(other);
  const std::string drive = std::string(1, Platform().Devices().LetterOf(mnt_)) + ":";
  ASSERT_NE(drive, std::string(1, '\0') + ":");
  HeadlessWindow window;
  const struct {
    const char* what;
    std::function<void()> make;
  } table[] = {
      {"a link (symbolic link or junction)", [&] { fs::create_symlink(victim, name); }},
      {"a link (symbolic link or junction)", [&] { fs::create_symlink(other_disk, name); }},
      {"a folder", [&] { fs::create_directory(name); }},
      {"a device, pipe or socket", [&] { ASSERT_EQ(::mkfifo(name.c_str(), 0644), 0); }},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.what);
    row.make();
    ::sync();
    scratch_.ResetCounters();
    AppState state;
    Context ctx{Platform(), window, state};
    state.ShowAllDrives = true;
    state.SelectedDrive = drive;
    cmdVolumeTest_Click(ctx);
    EXPECT_NE(
        state.results_log.find("CANNOT TEST: " + drive + "\\VCAPTEST1.tmp already exists and is " +
                               row.what + ". It was left as it is and nothing was written"),
        std::string::npos)
        << state.results_log;
    EXPECT_EQ(state.volume_outcome, AppState::VolumeOutcome::kNotRun);
    for (const std::uint32_t disposition : {kCreateNew, kCreateAlways, kOpenExisting}) {
      EXPECT_EQ(Platform().CreateFile(drive + "\\VCAPTEST1.tmp", kGenericWrite, 0, disposition,
                                      kFileFlagWriteThrough | kFileFlagNoBuffering),
                kInvalidHandle)
          << disposition;
    }
    EXPECT_FALSE(Platform().DeleteFile(drive + "\\VCAPTEST1.tmp"));
    EXPECT_EQ(scratch_.Counters().writes, 0u);
    EXPECT_EQ(testdev::Checksum(victim), victim_sum);
    EXPECT_EQ(testdev::Checksum(other), other_sum);
    fs::remove(name);
  }
  EXPECT_EQ(testdev::ReadText(mnt_ + "/VCAPTEST_notes.tmp"), "my notes");
  // Only the volume's root: no path into a folder or out of the volume.
  fs::create_directory(mnt_ + "/sub");
  std::ofstream(mnt_ + "/sub/VCAPTEST9.tmp") << "x";
  for (const char* path : {"\\sub\\VCAPTEST9.tmp", "\\.."}) {
    EXPECT_EQ(Platform().CreateFile(drive + path, kGenericRead, 0, kOpenExisting, 0),
              kInvalidHandle)
        << path;
  }
  EXPECT_FALSE(Platform().DeleteFile(drive + "\\sub\\VCAPTEST9.tmp"));
  EXPECT_TRUE(fs::exists(mnt_ + "/sub/VCAPTEST9.tmp"));
}

}  // namespace
}  // namespace veracap

// The Linux platform and the runner on real block devices: loop devices over
// sparse files, or over a counterfeit stick served by the FUSE program, with
// file systems on them; the runner driven as a person runs it. Needs root,
// /dev/fuse and loop devices; skipped visibly where they are missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
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

int Cli(const std::string& args, std::string* output) {
  return testdev::Run(std::string(VERACAP_CLI) + " " + args, output);
}

class LinuxE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    VERACAP_NEED(testdev::SkipReason());
    testdev::SweepLeftovers();
  }

  // A stick of claimed bytes holding real bytes, attached as loop_; with a
  // file system of fs_type mounted at mnt_ unless fs_type is empty. A
  // table's earlier device goes first.
  void MakeStick(std::uint64_t claimed, std::uint64_t real, const std::string& beyond,
                 const std::string& fs_type = "", const std::string& options = "",
                 const std::string& mount_options = "") {
    platform_.reset();
    scratch_.Undo();
    scratch_.Stick(claimed, real, beyond, options);
    loop_ = scratch_.Loop(scratch_.stick());
    if (!fs_type.empty()) {
      testdev::MakeFileSystem(loop_, fs_type, "VCAPE2E");
      scratch_.Mount(loop_, mnt_, fs_type, mount_options);
    }
    scratch_.ResetCounters();
  }

  LinuxPlatform& Platform() {
    if (!platform_) {
      platform_ = std::make_unique<LinuxPlatform>(linux_platform::Options{
          "", "true", [this](const std::string& text) { notices_ += text + "\n"; }});
    }
    return *platform_;
  }

  bool Seek(Handle h, std::uint64_t sector) {
    return Platform().SetFilePointerEx(h, static_cast<std::int64_t>(sector * 512), kFileBegin);
  }
  bool WriteSector(Handle h, std::uint64_t sector, const std::string& data) {
    std::uint32_t written = 0;
    return Seek(h, sector) && Platform().WriteFile(h, data.data(), 512, &written) &&
           Platform().FlushFileBuffers(h);
  }
  // The sector's bytes; fewer at the device's end, none when the read fails.
  std::string ReadSector(Handle h, std::uint64_t sector) {
    std::string data(512, '\xEE');
    std::uint32_t got = 0;
    if (!Seek(h, sector) || !Platform().ReadFile(h, data.data(), 512, &got)) got = 0;
    return data.substr(0, got);
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
  std::string loop_, mnt_ = scratch_.path() + "/mnt", notices_;
  std::unique_ptr<LinuxPlatform> platform_;
};

std::string Pattern(char seed) {
  std::string v(512, '\0');
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<char>(seed + i * 7);
  return v;
}

constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;
constexpr std::uint32_t kShareBoth = kFileShareRead | kFileShareWrite;
std::string DiskPath(std::int32_t n) { return "\\\\.\\PhysicalDrive" + std::to_string(n); }

// A sector written reaches the memory behind the device and changes only its
// own 512 bytes, on a 4Kn device too (sector 9 is the second 512 bytes of
// logical block 1 there); no page cache answers a read; past the last sector
// a read gives nothing and a write fails.
TEST_F(LinuxE2E, SectorsReachTheDeviceAndNoPageCacheAnswers) {
  for (const std::uint32_t block_bytes : {512u, 4096u}) {
    SCOPED_TRACE(block_bytes);
    MakeStick(8 * kMiB, 8 * kMiB, "wrap");
    testdev::Make("losetup --sector-size " + std::to_string(block_bytes) + " " + loop_);
    const std::int32_t disk = Platform().Devices().DiskNumberOf(loop_);
    ASSERT_GT(disk, 0);
    const std::string memory = scratch_.memory(), background(8192, '\xAB');
    ASSERT_TRUE(testdev::WriteAt(memory, 4096, background));
    const Handle h =
        Platform().CreateFile(DiskPath(disk), kReadWrite, kShareBoth, kOpenExisting, 0);
    ASSERT_NE(h, kInvalidHandle) << Platform().GetLastError();
    ASSERT_TRUE(WriteSector(h, 9, Pattern(1)));
    EXPECT_EQ(testdev::ReadText(memory, 4096, 8192),
              background.substr(0, 512) + Pattern(1) + background.substr(1024));
    // A buffered reader of the device now has the sector in the page cache;
    // the memory behind the device changes; the platform sees the change.
    std::string bytes(512, '\0');
    const int fd = ::open(loop_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::pread(fd, bytes.data(), 512, 9 * 512), 512);
    ASSERT_TRUE(testdev::WriteAt(memory, 9 * 512, Pattern(2)));
    ASSERT_EQ(::pread(fd, bytes.data(), 512, 9 * 512), 512);
    ::close(fd);
    EXPECT_EQ(bytes, Pattern(1)) << "the page cache still answers with the old bytes";
    EXPECT_EQ(ReadSector(h, 9), Pattern(2));
    EXPECT_EQ(ReadSector(h, 17), background.substr(0, 512));
    const std::uint64_t last = (8 << 20) / 512 - 1;
    ASSERT_TRUE(WriteSector(h, last, Pattern(3)));
    EXPECT_EQ(ReadSector(h, last), Pattern(3));
    EXPECT_EQ(ReadSector(h, last + 1), "");
    EXPECT_FALSE(WriteSector(h, last + 1, Pattern(4)));
    EXPECT_TRUE(Platform().CloseHandle(h));
    EXPECT_FALSE(Platform().CloseHandle(h));
  }
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
  MakeStick(32 * kMiB, 32 * kMiB, "wrap", "ext4");
  const std::int32_t disk = Platform().Devices().DiskNumberOf(loop_);
  ASSERT_GT(disk, 0);
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
// and first bad sector in the JSON report, every write the report counts
// having reached the stick (no cache answered), each marker write with its
// flush, a mounted volume listed and unmounted first, and sector 0 left
// zeroed. Counterfeits that fooled the test before: a write cache that
// answers every marker, a wrap at a period that is not a power of two, a
// stick that refuses every write. A log-structured stick holding more than
// the test writes passes, and the log says what only a fill finds.
TEST_F(LinuxE2E, RunnerQuickTestByStickKind) {
  const struct {
    std::uint64_t claimed, real;
    const char *beyond, *options, *fs;
    int status;
    std::int64_t first_bad_sector;  // -1: none (the verdict "passed" with status 0)
    const char* text;
  } table[] = {
      {16'000'000'000, kGiB, "zeros", "--cache-bytes 67108864", "", 1, 2097152,
       "BAD MEMORY from sector 2097152 (1,024.0MiB)"},
      {16'000'000'000, 7 * kGiB, "wrap", "", "", 1, 14680064,
       "BAD MEMORY from sector 14680064 (7,168.0MiB)"},
      {kGiB, kGiB, "wrap", "--write-protected", "", 1, -1, "THE DRIVE COULD NOT BE WRITTEN!"},
      {8'000'000'000, kGiB, "log", "", "", 0, -1,
       "NOTE: A counterfeit that stores every write in a log of its real size passes"},
      {8'000'000'000, kGiB, "zeros", "", "ext4", 1, 2097152,
       "WARNING: no memory detected at one or more locations."},
      {32'000'000'000, 4 * kGiB, "wrap", "", "ext4", 1, 8388608, "unmounted"},
      {kGiB, kGiB, "wrap", "", "ext4", 0, -1, "unmounted"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(std::to_string(row.claimed) + " holding " + std::to_string(row.real) + " " +
                 row.beyond + " " + row.options + " " + row.fs);
    MakeStick(row.claimed, row.real, row.beyond, row.fs, row.options);
    const std::string json = scratch_.path() + "/run.json";
    std::string output;
    if (*row.fs != '\0') {  // the list names the device, its letter, mount point and number
      ASSERT_EQ(Cli("list --all", &output), 0) << output;
      EXPECT_TRUE(std::regex_search(
          output, std::regex("(^|\n)" + loop_ + " .* [D-Z]: .*" + mnt_ + ".*disk [0-9]+")))
          << output;
    }
    EXPECT_EQ(Cli("quick " + loop_ + " --all --yes --json " + json, &output), row.status) << output;
    EXPECT_NE(output.find(row.text), std::string::npos) << output;
    const nlohmann::json j = nlohmann::json::parse(testdev::ReadText(json), nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << "the report is JSON";
    EXPECT_EQ(j["verdict"], row.status == 0 ? "passed" : "failed");
    EXPECT_EQ(j["device"]["path"], loop_);
    EXPECT_EQ(j["device"]["claimed_bytes"].get<std::uint64_t>(), row.claimed / 8225280 * 8225280);
    EXPECT_EQ(j["first_bad_sector"].is_null() ? -1 : j["first_bad_sector"].get<std::int64_t>(),
              row.first_bad_sector);
    // Failed writes (a write-protected stick's) are counted as errors, and
    // a marker write that failed is no marker written. Not the reads: the
    // kernel does not pass every direct read of a sector just read on to
    // the stick, so they bound nothing.
    const auto writes =
        j["writes"]["count"].get<std::int64_t>() - j["writes"]["errors"].get<std::int64_t>();
    EXPECT_GE(static_cast<std::int64_t>(scratch_.Count("writes")), writes);
    const auto markers = j["markers_written"].get<std::int64_t>();
    EXPECT_GE(static_cast<std::int64_t>(scratch_.Count("flushes")), markers);
    EXPECT_TRUE(std::string(row.options) != "--write-protected" || markers == 0) << markers;
    EXPECT_EQ(testdev::ReadText(scratch_.stick(), 0, 512), std::string(512, '\0'));
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
  std::string error, output;
  testdev::MakeFileSystem(loop_, "ext4", "ELSEWHERE");
  fs::create_directories(mnt_);
  std::ofstream{hold};
  const std::string before = testdev::ReadText(scratch_.memory());
  std::thread holder([&] {
    testdev::Run("unshare -m --propagation private sh -c 'mount -o ro -t ext4 " + loop_ + " " +
                     mnt_ + " && touch " + ready + " && while [ -e " + hold +
                     " ]; do sleep 0.05; done'",
                 &error);
  });
  const bool held = testdev::Retry([&] { return fs::exists(ready); }, 200);
  const int status = Cli("quick " + loop_ + " --all --yes", &output);
  fs::remove(hold);
  holder.join();
  ASSERT_TRUE(held) << error;
  refused(status, output);
  EXPECT_TRUE(testdev::ReadText(scratch_.memory()) == before) << "nothing written";

  // The second runner starts at the first test's third pause for events
  // while it writes its markers.
  HeadlessWindow window;
  AppState state;
  Context ctx{Platform(), window, state};
  int second = -1;
  window.on_yield = [&, count = 0](long) mutable {
    if (state.results_log.find("Writing marker blocks") != std::string::npos && ++count == 3) {
      second = Cli("quick " + loop_ + " --all --yes", &output);
    }
  };
  state.ShowAllDrives = true;
  state.SelectedDiskNumber = Platform().Devices().DiskNumberOf(loop_);
  GetUSBDiskDriveInfo(ctx, state.SelectedDiskNumber);
  QuickSizeTest(ctx);
  EXPECT_EQ(state.quick_outcome, AppState::QuickOutcome::kPassed) << state.results_log;
  refused(second, output);
}

// f3fix's job: after the FAILED quick test, one FAT32 partition that ends
// before the bad memory; the Volume File Test then passes on it. A report of
// another device is refused.
TEST_F(LinuxE2E, RunnerFixesTheCounterfeitToItsRealSize) {
  VERACAP_NEED(testdev::Missing("mkfs.vfat") + testdev::Missing("fsck.vfat"));
  MakeStick(2'000'000'000, 512 * kMiB, "wrap");
  const std::string json = scratch_.path() + "/quick.json", other = scratch_.path() + "/other.json";
  std::string output;
  ASSERT_EQ(Cli("quick " + loop_ + " --all --yes --json " + json, &output), 1) << output;
  nlohmann::json report = nlohmann::json::parse(testdev::ReadText(json));
  report["device"]["identity"] = "/dev/sdz (8:0), 1 bytes";
  std::ofstream(other) << report.dump();
  EXPECT_EQ(Cli("fix " + loop_ + " --all --yes --from-json " + other, &output), 2) << output;
  ASSERT_EQ(Cli("fix " + loop_ + " --all --yes --from-json " + json, &output), 0) << output;
  // The table as the device holds it: one FAT32 (LBA) partition, ending at
  // or below the 512 MiB of real memory, close to it.
  const std::string mbr = testdev::ReadText(scratch_.memory(), 0, 512);
  ASSERT_EQ(mbr.size(), 512u);
  EXPECT_EQ(mbr.substr(510), "\x55\xAA");
  EXPECT_EQ(mbr[446 + 4], 0x0c);
  EXPECT_EQ(mbr[446 + 16 + 4], 0) << "one partition only";
  std::uint32_t start = 0, count = 0;
  std::memcpy(&start, mbr.data() + 446 + 8, 4);
  std::memcpy(&count, mbr.data() + 446 + 12, 4);
  const std::uint64_t end = (std::uint64_t{start} + count) * 512;
  EXPECT_GT(end, 512 * kMiB - 64 * kMiB);
  EXPECT_LE(end, 512 * kMiB);
  // The partition on its own loop device (the kernel here may read no
  // partition tables), checked by fsck.vfat; where the kernel has no FAT,
  // ext4 in its place shows as well that it lies in good memory.
  const std::string part =
      scratch_.Loop(scratch_.stick(), "--offset " + std::to_string(start * 512ull) +
                                          " --sizelimit " + std::to_string(count * 512ull));
  EXPECT_EQ(testdev::Run("fsck.vfat -n " + part, &output), 0) << output;
  const bool fat = testdev::FileSystemSkipReason("vfat").empty();
  if (!fat) testdev::MakeFileSystem(part, "ext4", "FIXED");
  scratch_.Mount(part, mnt_, fat ? "vfat" : "ext4");
  EXPECT_EQ(Cli("filetest " + mnt_ + " --all --yes", &output), 0) << output;
  EXPECT_NE(output.find("\nPASSED: "), std::string::npos) << output;
}

// The device behind a path changes while the question waits for its answer:
// the runner notices and writes nothing.
TEST_F(LinuxE2E, RunnerRefusesADeviceThatChangedAfterItWasChosen) {
  VERACAP_NEED(testdev::Missing("script"));
  const std::string image = scratch_.path() + "/disk.img";
  std::ofstream{image};
  fs::resize_file(image, 64 * kMiB);
  loop_ = scratch_.Loop(image);
  const std::string answers = scratch_.path() + "/answers", out = scratch_.path() + "/tty.txt";
  ASSERT_EQ(::mkfifo(answers.c_str(), 0600), 0);
  int status = -1;
  std::thread runner([&] {
    status = testdev::Run("script -qec '" + std::string(VERACAP_CLI) + " quick " + loop_ +
                          " --all' /dev/null <" + answers + " >" + out);
  });
  std::ofstream answer(answers);  // opens once the runner reads the answers
  testdev::Retry([&] { return testdev::ReadText(out).find("Erase it?") != std::string::npos; },
                 200);
  EXPECT_NE(testdev::ReadText(out).find("DESTROYS ALL DATA on " + loop_), std::string::npos)
      << testdev::ReadText(out);
  // The device grows: not the one chosen, though it keeps its path (the
  // loop device is never let go, so no other program can take it meanwhile).
  fs::resize_file(image, 128 * kMiB);
  EXPECT_EQ(testdev::Run("losetup --set-capacity " + loop_), 0);
  answer << "y\n" << std::flush;
  answer.close();
  runner.join();
  const std::string told = testdev::ReadText(out);
  EXPECT_EQ(status, 2) << told;
  EXPECT_NE(told.find("no longer the one chosen"), std::string::npos) << told;
  EXPECT_EQ(told.find("Writing marker"), std::string::npos);
  EXPECT_EQ(testdev::ReadText(image).find_first_not_of('\0'), std::string::npos)
      << "nothing was written";
}

TEST(LinuxRunner, WithoutRootRightsSaysSoAndExits2) {
  if (::geteuid() != 0 || !testdev::Missing("setpriv").empty()) {
    GTEST_SKIP() << "SKIP: needs root and setpriv to run the runner as another user";
  }
  std::string output;
  const int status = testdev::Run(
      "setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(VERACAP_CLI) + " list",
      &output);
  EXPECT_EQ(status, 2) << output;
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
    if (const std::string why = testdev::FileSystemSkipReason(row.fs); !why.empty()) {
      std::printf("SKIP: %s\n", why.c_str());
      continue;
    }
    MakeStick(row.claimed, row.real, row.beyond, row.fs, "", row.mount_options);
    if (row.status != 2) std::ofstream(mnt_ + "/KEEP.TXT") << "the user's file";
    scratch_.ResetCounters();
    std::string output;
    EXPECT_EQ(Cli("filetest " + mnt_ + " --all --yes", &output), row.status) << output;
    EXPECT_NE(output.find(row.text), std::string::npos) << output;
    for (const auto& e : fs::directory_iterator(mnt_)) {
      EXPECT_NE(e.path().filename().string().rfind("VCAPTEST", 0), 0u) << "a test file is left";
    }
    EXPECT_TRUE(row.status != 2 || scratch_.Count("writes") == 0) << "refused: nothing written";
    if (row.status == 0) {
      EXPECT_TRUE(fs::exists(mnt_ + "/KEEP.TXT"));
      EXPECT_GT(scratch_.Count("bytes_written"), 200 * kMiB);
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
  const std::string victim = scratch_.path() + "/victim.txt",
                    other = scratch_.path() + "/other.img", name = mnt_ + "/VCAPTEST1.tmp";
  std::ofstream(victim) << "a file on the system disk";
  std::ofstream{other};
  fs::resize_file(other, 8 * kMiB);
  ASSERT_TRUE(testdev::WriteAt(other, 0, "OTHER DISK"));
  const std::string other_disk = scratch_.Loop(other);
  std::ofstream(mnt_ + "/VCAPTEST_notes.tmp") << "my notes";
  const std::string victim_bytes = testdev::ReadText(victim),
                    other_bytes = testdev::ReadText(other);
  const std::string drive = std::string(1, Platform().Devices().LetterOf(mnt_)) + ":";
  ASSERT_NE(drive[0], '\0');
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
    EXPECT_EQ(scratch_.Count("writes"), 0u);
    EXPECT_EQ(testdev::ReadText(victim), victim_bytes);
    EXPECT_TRUE(testdev::ReadText(other) == other_bytes);
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

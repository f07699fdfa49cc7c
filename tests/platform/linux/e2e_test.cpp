// End to end on real block devices: a counterfeit stick served by the FUSE
// program, attached as a loop device, with a file system on it, driven
// through the Linux platform by the same code the runner uses. Needs root,
// /dev/fuse and loop devices; skipped visibly where they are missing.
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
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "app/headless_window.h"
#include "app/state.h"
#include "diskio/sector_io.h"
#include "drives/drive_info.h"
#include "filetest/cleanup.h"
#include "filetest/file_test_command.h"
#include "fuse/test_devices.h"
#include "platform/linux/linux_platform.h"
#include "quicktest/quick_size_engine.h"
#include "support/counting_platform.h"

namespace veracap {
namespace {

using linux_platform::LinuxPlatform;
using testdev::FuseCounters;
using testdev::FuseStick;
using testdev::LoopDevice;
using testdev::Mount;
using testdev::ScratchDir;

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kMiB = 1ull << 20;

class SweepEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { testdev::SweepLeftovers(); }
  void TearDown() override { testdev::SweepLeftovers(); }
};
const auto* const kSweep = ::testing::AddGlobalTestEnvironment(new SweepEnvironment);

class LinuxE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = testdev::FuseSkipReason();
    if (!reason.empty() && testdev::DeviceTestsRequired()) {
      FAIL() << "CI must run the real-device tests, but: " << reason;
    }
    if (!reason.empty()) GTEST_SKIP() << "SKIP: " << reason;
  }

  // A stick of claimed_bytes holding real_bytes, attached; with a file system
  // of fs_type mounted on its whole disk unless fs_type is empty.
  void MakeStick(std::uint64_t claimed_bytes, std::uint64_t real_bytes, const std::string& beyond,
                 const std::string& fs_type = "", bool journal = true,
                 const std::vector<std::string>& stick_options = {}) {
    // A table's earlier stick goes first, in the order it was made.
    TearDown();
    mount_.reset();
    loop_.reset();
    stick_.reset();
    std::string error;
    stick_ =
        FuseStick::Start(scratch_.path(), claimed_bytes, real_bytes, beyond, &error, stick_options);
    ASSERT_NE(stick_, nullptr) << error;
    loop_ = LoopDevice::Attach(stick_->disk_file(), 512, &error);
    ASSERT_NE(loop_, nullptr) << error;
    if (!fs_type.empty()) {
      ASSERT_TRUE(testdev::MakeFileSystem(loop_->path(), fs_type, "VCAPE2E", journal, &error))
          << error;
      mount_ =
          Mount::Make(loop_->path(), scratch_.path() + "/mnt", fs_type, &error, mount_options_);
      ASSERT_NE(mount_, nullptr) << error;
    }
    linux_ = std::make_unique<LinuxPlatform>(linux_platform::Options{
        "", "true", [this](const std::string& t) { notices_ += t + "\n"; }});
    counting_ = std::make_unique<testing::CountingPlatform>(*linux_);
    ctx_ = std::make_unique<Context>(Context{*counting_, window_, state_});
    disk_ = linux_->Devices().DiskNumberOf(loop_->path());
    ASSERT_GT(disk_, 0);
    if (mount_) {
      letter_ = linux_->Devices().LetterOf(mount_->dir());
      ASSERT_NE(letter_, 0);
    }
    // Loop devices are not on the USB bus: the tests list all drives.
    state_.ShowAllDrives = true;
    stick_->ResetCounters();
  }

  // What the Quick Size Test command does once both questions are answered.
  void QuickTest() {
    state_.SelectedDiskNumber = disk_;
    GetUSBDiskDriveInfo(*ctx_, disk_);
    ASSERT_GT(state_.DriveSizeBytes, 0);
    QuickSizeTest(*ctx_);
  }

  std::string Log() const { return state_.results_log; }

  void TearDown() override {
    // Before the devices go: the platform's descriptors would keep them busy.
    ctx_.reset();
    counting_.reset();
    linux_.reset();
  }

  ScratchDir scratch_;
  std::unique_ptr<FuseStick> stick_;
  std::unique_ptr<LoopDevice> loop_;
  std::unique_ptr<Mount> mount_;
  std::unique_ptr<LinuxPlatform> linux_;
  std::unique_ptr<testing::CountingPlatform> counting_;
  HeadlessWindow window_;
  AppState state_;
  std::unique_ptr<Context> ctx_;
  std::int32_t disk_ = -1;
  char letter_ = 0;
  std::string notices_;
  std::string mount_options_;  // for MakeStick's mount
};

// FNV-1a of a file's bytes (a device's backing file, a victim file).
std::uint64_t Checksum(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::uint64_t hash = 0xCBF29CE484222325ull;
  std::vector<char> chunk(1 << 20);
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<unsigned char>(chunk[static_cast<std::size_t>(i)])) *
             0x100000001B3ull;
    }
  }
  return hash;
}

// Counterfeits that fooled the test before: a write cache that answers
// every marker, a wrap at a period that is not a power of two, and a stick
// that refuses every write. A log-structured stick holding more than the
// test writes passes, and the log says what only a fill finds.
TEST_F(LinuxE2E, QuickSizeTestSeesThroughACacheAWrapAt7GiBAndWriteProtection) {
  struct Row {
    const char* what;
    std::uint64_t claimed, real;
    const char* beyond;
    std::vector<std::string> options;
    AppState::QuickOutcome outcome;
    std::string text;
  };
  const Row table[] = {
      {"\"16 GB\" holding 1 GiB, zeros, 64 MiB cache",
       16'000'000'000,
       kGiB,
       "zeros",
       {"--cache-bytes", std::to_string(64 * kMiB)},
       AppState::QuickOutcome::kFailed,
       "BAD MEMORY from sector 2097152 (1,024.0MiB)"},
      {"\"16 GB\" wrapping at 7 GiB",
       16'000'000'000,
       7 * kGiB,
       "wrap",
       {},
       AppState::QuickOutcome::kFailed,
       "BAD MEMORY from sector 14680064 (7,168.0MiB)"},
      {"genuine 1 GiB, write-protected",
       kGiB,
       kGiB,
       "wrap",
       {"--write-protected"},
       AppState::QuickOutcome::kFailed,
       "THE DRIVE COULD NOT BE WRITTEN!"},
      {"\"8 GB\" log-structured holding 1 GiB",
       8'000'000'000,
       kGiB,
       "log",
       {},
       AppState::QuickOutcome::kPassed,
       "NOTE: A counterfeit that stores every write in a log of its real size passes"},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    MakeStick(row.claimed, row.real, row.beyond, "", true, row.options);
    if (HasFatalFailure()) return;
    state_.results_log.clear();
    QuickTest();
    EXPECT_EQ(state_.quick_outcome, row.outcome) << Log();
    EXPECT_NE(Log().find(row.text), std::string::npos) << Log();
  }
}

// Through the runner, as a person runs it: the old way, by the letter of the
// stick's volume; the list shows which device and mount point that is.
TEST_F(LinuxE2E, RunnerFindsAZeroCounterfeit) {
  MakeStick(8'000'000'000, kGiB, "zeros", "ext4", false);
  if (HasFatalFailure()) return;
  linux_.reset();  // the runner is the only user of the device
  const std::string letter = std::string(1, letter_) + ":";
  std::string list;
  ASSERT_EQ(testdev::Run({VERACAP_CLI, "list", "--all"}, &list), 0) << list;
  bool listed = false;
  for (std::istringstream lines(list); std::getline(lines, list);) {
    listed = listed || (list.rfind(loop_->path() + " ", 0) == 0 &&
                        list.find(" " + letter + " ") != std::string::npos &&
                        list.find(mount_->dir()) != std::string::npos &&
                        list.find("disk " + std::to_string(disk_)) != std::string::npos);
  }
  EXPECT_TRUE(listed) << list;
  std::string output;
  const int status =
      testdev::Run({VERACAP_CLI, "--all-drives", "--drive", letter, "quick", "--yes"}, &output);
  EXPECT_EQ(status, 1) << output;  // FAILED
  EXPECT_NE(output.find("WARNING: no memory detected at one or more locations."), std::string::npos)
      << output;
  EXPECT_NE(output.find("*** FAILED ***"), std::string::npos) << output;
  EXPECT_FALSE(mount_->mounted()) << output;
}

// By device path, as f3probe is run, with the stick's ext4 volume mounted:
// the volume is unmounted for the test, every transfer the JSON report
// counts reached the stick (no cache answered), each marker write with its
// flush, and sector 0 is left zeroed.
TEST_F(LinuxE2E, RunnerQuickByPathFailsTheWrapCounterfeitAndPassesAGenuineStick) {
  struct Case {
    std::uint64_t claimed, real;
    int status;
    const char* verdict;
    std::int64_t first_bad_sector;  // -1: none
  };
  for (const Case& c :
       {Case{32'000'000'000, 4 * kGiB, 1, "failed", 8388608}, Case{kGiB, kGiB, 0, "passed", -1}}) {
    SCOPED_TRACE(c.verdict);
    MakeStick(c.claimed, c.real, "wrap", "ext4", false);
    if (HasFatalFailure()) return;
    linux_.reset();
    const std::string json = scratch_.path() + "/run.json";
    std::string output;
    const int status = testdev::Run(
        {VERACAP_CLI, "quick", loop_->path(), "--all", "--yes", "--json", json}, &output);
    EXPECT_EQ(status, c.status) << output;
    EXPECT_FALSE(mount_->mounted()) << output;
    EXPECT_NE(output.find("unmounted"), std::string::npos) << output;
    std::ifstream in(json);
    const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << "the report is JSON";
    EXPECT_EQ(j["verdict"], c.verdict);
    EXPECT_EQ(j["device"]["path"], loop_->path());
    EXPECT_EQ(j["device"]["claimed_bytes"].get<std::uint64_t>(), c.claimed / 8225280 * 8225280);
    if (c.first_bad_sector < 0) {
      EXPECT_TRUE(j["first_bad_sector"].is_null());
    } else {
      EXPECT_EQ(j["first_bad_sector"], c.first_bad_sector);
    }
    const FuseCounters stick = stick_->Counters();
    EXPECT_GT(j["markers_written"].get<std::uint64_t>(),
              c.claimed / (25600 * 512));  // a block each
    EXPECT_GE(stick.writes, j["writes"]["count"].get<std::uint64_t>());
    EXPECT_GE(stick.reads, j["reads"]["count"].get<std::uint64_t>());
    EXPECT_GE(stick.flushes, j["markers_written"].get<std::uint64_t>());
    std::uint8_t first[512];
    ASSERT_TRUE(testdev::ReadAt(stick_->backing_file(), 0, first, 512));
    EXPECT_EQ(std::count(first, first + 512, 0), 512);
  }
}

// f3fix's job: after the FAILED quick test, one partition that ends before
// the bad memory; the Volume File Test then passes on it.
TEST_F(LinuxE2E, RunnerFixesTheCounterfeitToItsRealSize) {
  if (testdev::Run({"sh", "-c", "command -v mkfs.vfat"}) != 0) {
    if (testdev::DeviceTestsRequired()) FAIL() << "CI needs mkfs.vfat (dosfstools)";
    GTEST_SKIP() << "SKIP: no mkfs.vfat";
  }
  MakeStick(2'000'000'000, 512 * kMiB, "wrap");
  if (HasFatalFailure()) return;
  linux_.reset();
  const std::string json = scratch_.path() + "/quick.json";
  std::string output;
  ASSERT_EQ(testdev::Run({VERACAP_CLI, "quick", loop_->path(), "--all", "--yes", "--json", json},
                         &output),
            1)
      << output;
  // A report whose device is not this one is refused.
  const std::string other = scratch_.path() + "/other.json";
  {
    std::ifstream in(json);
    nlohmann::json j = nlohmann::json::parse(in);
    j["device"]["identity"] = "/dev/sdz (8:0), 1 bytes";
    std::ofstream(other) << j.dump();
  }
  EXPECT_EQ(
      testdev::Run({VERACAP_CLI, "fix", loop_->path(), "--all", "--yes", "--from-json", other},
                   &output),
      2)
      << output;
  ASSERT_EQ(testdev::Run({VERACAP_CLI, "fix", loop_->path(), "--all", "--yes", "--from-json", json},
                         &output),
            0)
      << output;
  // The table as the device holds it: one partition, ending at or below
  // the 4 GiB of real memory, close to it.
  std::uint8_t mbr[512];
  ASSERT_TRUE(testdev::ReadAt(stick_->backing_file(), 0, mbr, sizeof mbr));
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[446 + 4], 0x0c);  // FAT32 (LBA)
  std::uint32_t start = 0, count = 0;
  std::memcpy(&start, mbr + 446 + 8, 4);
  std::memcpy(&count, mbr + 446 + 12, 4);
  const std::uint64_t end = (std::uint64_t{start} + count) * 512;
  EXPECT_GT(end, 512 * kMiB - 64 * kMiB) << output;
  EXPECT_LE(end, 512 * kMiB) << output;
  EXPECT_EQ(std::uint64_t{mbr[446 + 16 + 4]}, 0u) << "one partition only";
  // The partition on its own loop device (the kernel here may read no
  // partition tables): FAT32 there, checked by fsck.vfat.
  std::string part;
  ASSERT_EQ(testdev::Run({"losetup", "--find", "--show", "--offset",
                          std::to_string(std::uint64_t{start} * 512), "--sizelimit",
                          std::to_string(std::uint64_t{count} * 512), stick_->disk_file()},
                         &part),
            0)
      << part;
  part.erase(part.find_last_not_of('\n') + 1);
  struct Detach {
    std::string path;
    ~Detach() { testdev::Run({"losetup", "-d", path}); }
  } detach{part};
  EXPECT_EQ(testdev::Run({"fsck.vfat", "-n", part}, &output), 0) << output;
  // Where the kernel has no FAT, ext4 in its place shows as well that the
  // partition lies in good memory.
  std::string fs = "vfat", error;
  if (!testdev::FileSystemSkipReason("vfat").empty()) {
    fs = "ext4";
    ASSERT_TRUE(testdev::MakeFileSystem(part, fs, "FIXED", false, &error)) << error;
  }
  mount_ = Mount::Make(part, scratch_.path() + "/fixed", fs, &error);
  ASSERT_NE(mount_, nullptr) << error;
  const int status =
      testdev::Run({VERACAP_CLI, "filetest", mount_->dir(), "--all", "--yes"}, &output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("\nPASSED: "), std::string::npos) << output;
}

// The device behind a path changes while the question waits for its answer:
// the runner notices and writes nothing.
TEST_F(LinuxE2E, RunnerRefusesADeviceThatChangedAfterItWasChosen) {
  if (::access("/usr/bin/script", X_OK) != 0) {
    if (testdev::DeviceTestsRequired()) FAIL() << "CI needs script (bsdutils)";
    GTEST_SKIP() << "SKIP: no script";
  }
  MakeStick(64 * kMiB, 64 * kMiB, "wrap");
  if (HasFatalFailure()) return;
  linux_.reset();
  const std::string other = scratch_.path() + "/other.img";
  ASSERT_TRUE(testdev::MakeSparseFile(other, 64 * kMiB));
  const std::string answers = scratch_.path() + "/answers";
  const std::string out = scratch_.path() + "/tty.txt";
  ASSERT_EQ(::mkfifo(answers.c_str(), 0600), 0);
  int status = -1;
  std::thread runner([&] {
    status = testdev::Run({"/bin/sh", "-c",
                           "script -qec '" + std::string(VERACAP_CLI) + " quick " + loop_->path() +
                               " --all' /dev/null <" + answers + " >" + out});
  });
  std::ofstream answer(answers);  // opens once the runner reads the answers
  std::string asked;
  for (int i = 0; i < 200 && asked.find("Erase it?") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(out);
    asked.assign(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_NE(asked.find("DESTROYS ALL DATA on " + loop_->path()), std::string::npos) << asked;
  // Another file takes the same loop device.
  EXPECT_EQ(testdev::Run({"losetup", "-d", loop_->path()}), 0);
  EXPECT_EQ(testdev::Run({"losetup", loop_->path(), other}), 0);
  stick_->ResetCounters();
  answer << "y\n" << std::flush;
  answer.close();
  runner.join();
  std::ifstream in(out);
  const std::string told(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(status, 2) << told;
  EXPECT_NE(told.find("no longer the one chosen"), std::string::npos) << told;
  EXPECT_EQ(told.find("Writing marker"), std::string::npos);
  std::vector<std::uint8_t> first(512, 1);
  ASSERT_TRUE(testdev::ReadAt(other, 0, first.data(), first.size()));
  EXPECT_EQ(std::count(first.begin(), first.end(), 0), 512) << "the other file is untouched";
  EXPECT_EQ(stick_->Counters().writes, 0u);
}

TEST(LinuxRunner, WithoutRootRightsSaysSoAndExits2) {
  if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "SKIP: needs root and setpriv to run the runner as another user";
  }
  std::string output;
  const int status = testdev::Run(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", VERACAP_CLI, "list"},
      &output);
  EXPECT_EQ(status, 2) << output;
  EXPECT_NE(output.find("needs root rights"), std::string::npos) << output;
}

// The Volume File Test on volumes of each file system the kernel offers
// here: a genuine one passes, keeping the user's file, with the test files
// written through to the stick and deleted; a counterfeit ("512 MiB" holding
// 96 MiB: what lies beyond is lost and reads as zeros, or every write goes to
// a log of 96 MiB that the fill comes round over) fails; a read-only one (an
// SD card's lock switch) is refused without a verdict and without a write.
TEST_F(LinuxE2E, VolumeFileTestByFileSystemAndDevice) {
  struct Row {
    const char* fs;
    std::uint64_t claimed, real;
    const char* beyond;
    const char* mount_options;
    std::vector<std::string> texts;
  };
  const std::vector<std::string> fake = {"TEST FAILED: Only ", "THIS DRIVE IS PROBABLY FAKE"};
  const Row table[] = {
      {"ext4", 240 * kMiB, 240 * kMiB, "wrap", "", {"PASSED: "}},
      {"vfat", 240 * kMiB, 240 * kMiB, "wrap", "", {"PASSED: "}},
      {"exfat", 240 * kMiB, 240 * kMiB, "wrap", "", {"PASSED: "}},
      {"ext4", 512 * kMiB, 96 * kMiB, "zeros", "", fake},
      {"ext4", 512 * kMiB, 96 * kMiB, "log", "", fake},
      {"ext4",
       240 * kMiB,
       240 * kMiB,
       "wrap",
       "ro",
       {"\\VCAPTEST1.tmp cannot be created: the volume is write-protected or read-only "
        "(error 19). Nothing was written."}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(std::string(row.fs) + " " + std::to_string(row.real >> 20) + " MiB " + row.beyond +
                 " " + row.mount_options);
    const std::string reason = testdev::FileSystemSkipReason(row.fs);
    if (!reason.empty()) {
      std::printf("SKIP: %s\n", reason.c_str());
      continue;
    }
    mount_options_ = row.mount_options;
    state_ = AppState{};
    MakeStick(row.claimed, row.real, row.beyond, row.fs, false);
    if (HasFatalFailure()) return;
    const bool writable = mount_options_.empty();
    if (writable) std::ofstream(mount_->dir() + "/KEEP.TXT") << "the user's file";
    state_.SelectedDrive = std::string(1, letter_) + ":";
    stick_->ResetCounters();
    cmdVolumeTest_Click(*ctx_);
    for (const std::string& text : row.texts) {
      EXPECT_NE(Log().find(text), std::string::npos) << Log();
    }
    EXPECT_TRUE(linux_->FindFiles(state_.SelectedDrive + "\\VCAPTEST*.tmp").empty());
    if (!writable) {
      EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kNotRun);
      EXPECT_EQ(stick_->Counters().writes, 0u);
    } else if (row.real == row.claimed) {
      EXPECT_TRUE(std::filesystem::exists(mount_->dir() + "/KEEP.TXT"));
      EXPECT_GT(stick_->Counters().bytes_written, 200 * kMiB);
    }
  }
}

// Whatever has a test file's name stays as it is, and so does what a link
// points at: a file outside the volume, another disk. The test stops before
// it writes anything (the stick's write counter stays still), never hangs on a
// pipe, and the user's VCAPTEST_notes.tmp survives every clean-up.
TEST_F(LinuxE2E, NamesInTheWayOfTestFilesAreNeverWrittenThrough) {
  mount_options_ = "noatime";
  MakeStick(240 * kMiB, 240 * kMiB, "wrap", "ext4");
  if (HasFatalFailure()) return;
  const std::string victim = scratch_.path() + "/victim.txt";
  std::ofstream(victim) << "a file on the system disk";
  std::string error;
  ASSERT_TRUE(testdev::MakeSparseFile(scratch_.path() + "/other.img", 8 * kMiB));
  ASSERT_TRUE(testdev::WriteAt(scratch_.path() + "/other.img", 0, "OTHER DISK", 10));
  const auto other = LoopDevice::Attach(scratch_.path() + "/other.img", 512, &error);
  ASSERT_NE(other, nullptr) << error;
  const std::string notes = mount_->dir() + "/VCAPTEST_notes.tmp";
  std::ofstream(notes) << "my notes";
  const std::uint64_t victim_sum = Checksum(victim);
  const std::uint64_t other_sum = Checksum(scratch_.path() + "/other.img");
  const std::string drive = std::string(1, letter_) + ":";
  const std::string name = mount_->dir() + "/VCAPTEST1.tmp";

  struct Case {
    const char* what;
    std::function<void()> make;
  } cases[] = {
      {"a link (symbolic link or junction)",
       [&] { std::filesystem::create_symlink(victim, name); }},
      {"a link (symbolic link or junction)",
       [&] { std::filesystem::create_symlink(other->path(), name); }},
      {"a folder", [&] { std::filesystem::create_directory(name); }},
      {"a device, pipe or socket", [&] { ASSERT_EQ(::mkfifo(name.c_str(), 0644), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.make();
    ::sync();
    stick_->ResetCounters();
    state_ = AppState{};
    state_.ShowAllDrives = true;
    state_.SelectedDrive = drive;
    cmdVolumeTest_Click(*ctx_);
    EXPECT_NE(Log().find("CANNOT TEST: " + drive + "\\VCAPTEST1.tmp already exists and is " +
                         c.what + ". It was left as it is and nothing was written"),
              std::string::npos)
        << Log();
    EXPECT_EQ(state_.volume_outcome, AppState::VolumeOutcome::kNotRun);
    // The platform itself neither creates nor opens through the name.
    for (const std::uint32_t disposition : {kCreateNew, kCreateAlways, kOpenExisting}) {
      EXPECT_EQ(linux_->CreateFile(drive + "\\VCAPTEST1.tmp", kGenericWrite, 0, disposition,
                                   kFileFlagWriteThrough | kFileFlagNoBuffering),
                kInvalidHandle)
          << disposition;
    }
    EXPECT_FALSE(linux_->DeleteFile(drive + "\\VCAPTEST1.tmp"));
    EXPECT_EQ(stick_->Counters().writes, 0u);
    EXPECT_EQ(Checksum(victim), victim_sum);
    EXPECT_EQ(Checksum(scratch_.path() + "/other.img"), other_sum);
    std::filesystem::remove(name);
  }
  std::ifstream in(notes);
  std::string kept;
  std::getline(in, kept);
  EXPECT_EQ(kept, "my notes");
}

// A disk this process cannot see in use is still not written: mounted in
// another mount namespace, or held exclusively by another program. The Quick
// Size Test's writes are refused and the notice says the disk is in use.
TEST_F(LinuxE2E, DiskInUseElsewhereIsNotWritten) {
  MakeStick(64 * kMiB, 64 * kMiB, "wrap");
  if (HasFatalFailure()) return;
  std::string error;
  ASSERT_TRUE(testdev::MakeFileSystem(loop_->path(), "ext4", "ELSEWHERE", false, &error)) << error;
  const std::string dir = scratch_.path() + "/elsewhere";
  std::filesystem::create_directory(dir);
  const std::string mount_elsewhere =
      "mount -o ro -t ext4 " + loop_->path() + " " + dir + " && echo mounted && read x";
  struct Case {
    const char* holder;
    std::function<std::unique_ptr<testdev::Background>()> start;
    const char* ready;
  } cases[] = {
      {"another mount namespace",
       [&] {
         return testdev::Background::Run(
             {"unshare", "-m", "--propagation", "private", "sh", "-c", mount_elsewhere});
       },
       "mounted"},
      {"another program's exclusive open",
       [&] { return testdev::Background::HoldExclusive(loop_->path()); }, "held"},
  };
  const std::uint64_t before = Checksum(stick_->backing_file());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.holder);
    const auto holder = c.start();
    ASSERT_NE(holder, nullptr);
    std::string said;
    ASSERT_TRUE(holder->WaitFor(c.ready, &said)) << said;
    stick_->ResetCounters();
    notices_.clear();
    state_ = AppState{};
    state_.ShowAllDrives = true;
    QuickTest();
    EXPECT_NE(state_.quick_outcome, AppState::QuickOutcome::kPassed) << Log();
    EXPECT_NE(notices_.find("is in use"), std::string::npos) << notices_;
    EXPECT_EQ(stick_->Counters().writes, 0u);
    holder->Stop();
  }
  EXPECT_EQ(Checksum(stick_->backing_file()), before);
}

// Two runners on one stick: the second, a whole program of its own started
// while the first is writing its markers, is refused and writes nothing; the
// first still passes (the second's final zeroing of sector 0 used to break it).
TEST_F(LinuxE2E, SecondRunnerOnTheSameDiskIsRefused) {
  MakeStick(256 * kMiB, 256 * kMiB, "wrap");
  if (HasFatalFailure()) return;
  std::string second_notices;
  AppState second;
  std::uint64_t second_writes = 1;
  window_.on_yield = [&, writing = false, count = 0](long) mutable {
    if (!writing) writing = Log().find("Writing marker blocks") != std::string::npos;
    if (!writing || ++count != 3) return;
    const std::uint64_t writes_before = stick_->Counters().writes;
    LinuxPlatform platform(linux_platform::Options{
        "", "true", [&](const std::string& t) { second_notices += t + "\n"; }});
    HeadlessWindow window;
    Context ctx{platform, window, second};
    second.ShowAllDrives = true;
    second.SelectedDiskNumber = platform.Devices().DiskNumberOf(loop_->path());
    GetUSBDiskDriveInfo(ctx, second.SelectedDiskNumber);
    QuickSizeTest(ctx);
    second_writes = stick_->Counters().writes - writes_before;
  };
  QuickTest();
  EXPECT_EQ(state_.quick_outcome, AppState::QuickOutcome::kPassed) << Log();
  EXPECT_NE(second.quick_outcome, AppState::QuickOutcome::kPassed) << second.results_log;
  EXPECT_NE(second_notices.find("is in use"), std::string::npos) << second_notices;
  EXPECT_EQ(second_writes, 0u);
}

}  // namespace
}  // namespace veracap

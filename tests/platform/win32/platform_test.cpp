// The Win32 platform's file and sector paths against real Windows calls (run
// under Wine in CI): image files standing in for physical drives, and a drive
// letter that maps to a folder (VERACAP_TEST_DRIVE, e.g. "T:", set by
// scripts/windows-tests.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/headless_window.h"
#include "diskio/device_queries.h"
#include "diskio/sector_io.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"
#include "support/harness.h"

namespace veracap::win32 {
namespace {

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;

// A sparse-where-possible file of exactly size_bytes.
bool MakeImage(const std::string& path, std::uint64_t size_bytes) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD ignored = 0;
  ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size_bytes);
  const bool ok = ::SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(h);
  ::CloseHandle(h);
  return ok;
}

std::uint64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// Reads bytes of a file at an offset with plain Win32 calls, past the platform.
std::vector<std::uint8_t> ReadAt(const std::string& path, std::uint64_t offset, DWORD length) {
  std::vector<std::uint8_t> out(length);
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  DWORD done = 0;
  ::SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
  ::ReadFile(h, out.data(), length, &done, nullptr);
  ::CloseHandle(h);
  out.resize(done);
  return out;
}

void FillSector(AppState& state, std::uint8_t seed) {
  for (std::size_t i = 0; i < 512; ++i) state.SectorBuffer[i] = static_cast<std::uint8_t>(seed + i);
}

class Win32DiskImage : public ::testing::Test {
 protected:
  static constexpr int kDisk = 7;
  // 5 GiB: sectors beyond 4 GiB of bytes, and a fixed end to write past.
  static constexpr std::uint64_t kImageBytes = 5 * kGiB;

  void SetUp() override {
    image_ = folder_.File("disk7.img");
    ASSERT_TRUE(MakeImage(image_, kImageBytes));
    Options options;
    options.disk_images[kDisk] = image_;
    platform_ = std::make_unique<Win32Platform>(options);
  }
  Context ctx() { return Context{*platform_, window_, state_}; }

  veracap::testing::TempDir folder_;
  std::string image_;
  std::unique_ptr<Win32Platform> platform_;
  HeadlessWindow window_;
  AppState state_;
};

TEST_F(Win32DiskImage, SectorsBeyondFourGiBLandAtSectorTimes512) {
  Context c = ctx();
  ASSERT_TRUE(Open_Physical_Disk_hDrive(c, kDisk));
  ASSERT_GT(state_.hDrive, 0);
  // An image file answers no geometry query: 512-byte sectors, no
  // read-modify-write.
  EXPECT_EQ(state_.hDriveSectorBytes, 512u);

  // Sector 9,000,000 is at byte 4,608,000,000: both halves of the offset count.
  const double sector = 9000000;
  FillSector(state_, 0x11);
  state_.SectorBuffer[512] = 0xFF;  // beyond the sector: must not be written
  ASSERT_TRUE(DirectWrite(c, sector, 1));
  const auto on_disk = ReadAt(image_, 4608000000ull, 513);
  ASSERT_EQ(on_disk.size(), 513u);
  EXPECT_EQ(0, std::memcmp(on_disk.data(), state_.SectorBuffer.data(), 512));
  EXPECT_EQ(on_disk[512], 0) << "only the first 512 bytes of the buffer are sent";

  std::fill(state_.SectorBuffer.begin(), state_.SectorBuffer.end(), 0);
  ASSERT_TRUE(DirectRead(c, sector, 1));
  EXPECT_EQ(state_.SectorBuffer[0], 0x11);
  EXPECT_EQ(state_.SectorBuffer[511], static_cast<std::uint8_t>(0x11 + 511));

  // A read of the last sector and one beyond it is short, and still true.
  EXPECT_TRUE(DirectRead(c, kImageBytes / 512 - 1, 2));
  EXPECT_EQ(GetDiskLength(c, state_.hDrive), kImageBytes);

  MyCloseHandle(c, state_.hDrive);
  EXPECT_EQ(platform_->open_handle_count(), 0u);
}

TEST_F(Win32DiskImage, WritePastTheEndFailsAndTheImageDoesNotGrow) {
  Context c = ctx();
  ASSERT_TRUE(Open_Physical_Disk_hDrive(c, kDisk));
  const double last = kImageBytes / 512 - 1;
  FillSector(state_, 0x40);
  EXPECT_TRUE(DirectWrite(c, last, 1));
  EXPECT_FALSE(DirectWrite(c, last + 1, 1));
  EXPECT_EQ(platform_->GetLastError(), kErrorSectorNotFound);
  EXPECT_FALSE(DirectWrite(c, last, 2)) << "a write that straddles the end";
  EXPECT_EQ(FileSize(image_), kImageBytes);
  MyCloseHandle(c, state_.hDrive);
}

TEST_F(Win32DiskImage, TwoTebibyteOffsetUsesTheHighHalf) {
  // Sector 4,294,967,296 is at byte 2,199,023,255,552 (high half 512, low
  // half 0). Needs a sparse image of a little over 2 TiB.
  const std::string big = folder_.File("disk8.img");
  const std::uint64_t size = 2048 * kGiB + 1024 * 1024;
  if (!MakeImage(big, size)) GTEST_SKIP() << "no sparse 2 TiB file on this file system";
  Options options;
  options.disk_images[8] = big;
  Win32Platform platform(options);
  AppState state;
  Context c{platform, window_, state};
  ASSERT_TRUE(Open_Physical_Disk_hDrive(c, 8));
  FillSector(state, 0x77);
  ASSERT_TRUE(DirectWrite(c, 4294967296.0, 1));
  const auto on_disk = ReadAt(big, 2199023255552ull, 512);
  ASSERT_EQ(on_disk.size(), 512u);
  EXPECT_EQ(on_disk[0], 0x77);
  EXPECT_EQ(on_disk[511], static_cast<std::uint8_t>(0x77 + 511));
  MyCloseHandle(c, state.hDrive);
}

TEST(Win32Platform, HandlesAreOwnedAndClosedOnce) {
  veracap::testing::TempDir folder;
  Win32Platform platform;
  const std::string path = folder.File("plain.bin");
  const Handle h = platform.CreateFile(path, kGenericWrite, 0, kCreateAlways, kFileAttributeNormal);
  ASSERT_GE(h, 1000);
  EXPECT_EQ(platform.open_handle_count(), 1u);
  EXPECT_TRUE(platform.CloseHandle(h));
  EXPECT_FALSE(platform.CloseHandle(h)) << "a second close does nothing";
  EXPECT_FALSE(platform.CloseHandle(kInvalidHandle));
  EXPECT_FALSE(platform.CloseHandle(0));
  EXPECT_EQ(platform.open_handle_count(), 0u);
  // A new open never reuses the number of a closed one.
  const Handle again = platform.CreateFile(path, kGenericRead, 0, kOpenExisting, 0);
  EXPECT_GT(again, h);
  EXPECT_FALSE(platform.ReadFile(h, nullptr, 0, nullptr));
  EXPECT_EQ(platform.GetLastError(), kErrorInvalidHandle);
}

TEST(Win32Platform, FailedOpenGivesMinusOneAndTheWindowsError) {
  Win32Platform platform;
  EXPECT_EQ(
      platform.CreateFile("C:\\no-such-folder-here\\x.bin", kGenericRead, 0, kOpenExisting, 0),
      kInvalidHandle);
  EXPECT_NE(platform.GetLastError(), 0u);
  // No image behind disk 42 and no such device under Wine.
  HeadlessWindow window;
  AppState state;
  Context c{platform, window, state};
  EXPECT_FALSE(Open_Physical_Disk_hDrive(c, 42));
  EXPECT_EQ(state.hDrive, kInvalidHandle);
  EXPECT_FALSE(DirectRead(c, 0, 1));
}

// The drive letter the test script maps to a folder, or "" (tests skipped).
std::string TestDrive() {
  const char* drive = std::getenv("VERACAP_TEST_DRIVE");
  return drive ? drive : "";
}

class Win32MappedDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_ = TestDrive();
    if (drive_.size() != 2) GTEST_SKIP() << "VERACAP_TEST_DRIVE not set";
    for (const std::string& name : platform_.FindFiles(drive_ + "\\*")) {
      platform_.DeleteFile(drive_ + "\\" + name);
    }
  }
  std::string drive_;
  Win32Platform platform_;
};

TEST_F(Win32MappedDrive, FreeSpaceAndLabel) {
  std::uint64_t free_to_caller = 0, total = 0, total_free = 0;
  ASSERT_TRUE(platform_.GetDiskFreeSpaceEx(drive_, &free_to_caller, &total, &total_free));
  EXPECT_GT(free_to_caller, 0u);
  EXPECT_GE(total, total_free);
  // The sector the Volume File Test reads its samples in, with or without
  // the root's backslash.
  for (const std::string& root : {drive_, drive_ + "\\"}) {
    std::uint32_t per_cluster = 0, sector = 0, free_clusters = 0, clusters = 0;
    ASSERT_TRUE(platform_.GetDiskFreeSpace(root, &per_cluster, &sector, &free_clusters, &clusters));
    EXPECT_GE(sector, 512u);
    EXPECT_EQ(sector & (sector - 1), 0u);
    EXPECT_GE(clusters, free_clusters);
  }

  // The label as the drive list asks for it: the root without a backslash
  // (the drive's current folder, its root here), a 14-character buffer.
  const char* expected = std::getenv("VERACAP_TEST_DRIVE_LABEL");
  for (const std::string& root : {drive_, drive_ + "\\"}) {
    char label[14];
    std::memset(label, ' ', sizeof label);
    char fs_name[32];
    ASSERT_TRUE(platform_.GetVolumeInformation(root, label, sizeof label, fs_name, sizeof fs_name))
        << root;
    if (expected) {
      EXPECT_STREQ(label, expected) << root;
    }
  }
  char label[14];
  EXPECT_FALSE(platform_.GetVolumeInformation("Q:\\", label, sizeof label, nullptr, 0))
      << "a letter with no drive";
  EXPECT_EQ(platform_.GetDriveType("Q:"), kDriveNoRootDir);

  // The paths the system-disk rule follows, as the system gives them.
  const std::string windows = platform_.GetWindowsDirectory();
  std::string mount_point;
  ASSERT_TRUE(platform_.GetVolumePathName(windows, &mount_point)) << windows;
  EXPECT_EQ(mount_point.size(), 3u);
  EXPECT_EQ(mount_point.substr(1), ":\\");
  const std::string program = platform_.GetModuleFileName();
  EXPECT_EQ(program.substr(program.size() - 4), ".exe") << program;
}

TEST_F(Win32MappedDrive, WildcardSearchFindsNormalRootFilesOnly) {
  const auto make = [&](const std::string& name, DWORD attributes) {
    HANDLE h = ::CreateFileA((drive_ + "\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, attributes, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    ::CloseHandle(h);
  };
  make("VCAPTEST1.tmp", FILE_ATTRIBUTE_NORMAL);
  make("vcaptestX.TMP", FILE_ATTRIBUTE_NORMAL);
  make("VCAPTEST2.tmp.bak", FILE_ATTRIBUTE_NORMAL);
  make("OTHER.tmp", FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(::CreateDirectoryA((drive_ + "\\VCAPTEST9.tmp").c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryA((drive_ + "\\sub").c_str(), nullptr));
  make("sub\\VCAPTEST3.tmp", FILE_ATTRIBUTE_NORMAL);

  std::vector<std::string> found = platform_.FindFiles(drive_ + "\\VCAPTEST*.tmp");
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"VCAPTEST1.tmp", "vcaptestX.TMP"}));

  for (const std::string& name : found) EXPECT_TRUE(platform_.DeleteFile(drive_ + "\\" + name));
  EXPECT_TRUE(platform_.FindFiles(drive_ + "\\VCAPTEST*.tmp").empty());
  EXPECT_FALSE(platform_.DeleteFile(drive_ + "\\VCAPTEST1.tmp"));
  EXPECT_EQ(platform_.GetLastError(), kErrorFileNotFound);

  EXPECT_EQ(platform_.FindFiles(drive_ + "\\sub\\VCAPTEST*.tmp").size(), 1u);
  ::DeleteFileA((drive_ + "\\sub\\VCAPTEST3.tmp").c_str());
  ::RemoveDirectoryA((drive_ + "\\sub").c_str());
  ::RemoveDirectoryA((drive_ + "\\VCAPTEST9.tmp").c_str());
}

TEST_F(Win32MappedDrive, WriteThroughUnbufferedFileFromUnalignedMemory) {
  // The test-file open: GENERIC_WRITE, no sharing, CREATE_ALWAYS,
  // FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL.
  const std::string path = drive_ + "\\VCAPTEST1.tmp";
  constexpr std::uint32_t kFlags = 0xA0000080u;
  constexpr std::uint32_t kPiece = 1024 * 1024;
  std::vector<std::uint8_t> memory(kPiece + 1);
  std::uint8_t* unaligned = memory.data() + 1;
  for (std::uint32_t i = 0; i < kPiece; ++i) unaligned[i] = static_cast<std::uint8_t>(i * 7);

  for (int round = 0; round < 2; ++round) {  // the second open replaces the file
    const Handle h = platform_.CreateFile(path, kGenericWrite, 0, kCreateAlways, kFlags);
    ASSERT_NE(h, kInvalidHandle);
    std::uint32_t written = 0;
    ASSERT_TRUE(platform_.WriteFile(h, unaligned, kPiece, &written));
    EXPECT_EQ(written, kPiece);
    ASSERT_TRUE(platform_.WriteFile(h, unaligned, kPiece, &written));
    EXPECT_TRUE(platform_.FlushFileBuffers(h));
    EXPECT_TRUE(platform_.CloseHandle(h));
  }
  const Handle r = platform_.CreateFile(path, kGenericRead, 0, kOpenExisting, 0);
  ASSERT_NE(r, kInvalidHandle);
  ASSERT_TRUE(platform_.SetFilePointerEx(r, kPiece + 12345, kFileBegin));
  std::uint8_t byte = 0;
  std::uint32_t read = 0;
  ASSERT_TRUE(platform_.ReadFile(r, &byte, 1, &read));
  EXPECT_EQ(read, 1u);
  EXPECT_EQ(byte, static_cast<std::uint8_t>(12345 * 7));
  EXPECT_TRUE(platform_.CloseHandle(r));
  EXPECT_EQ(FileSize(path), 2ull * kPiece);
  EXPECT_TRUE(platform_.DeleteFile(path));
}

}  // namespace
}  // namespace veracap::win32

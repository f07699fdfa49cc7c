// The Win32 platform against real Windows calls (under Wine in CI): image
// files standing in for physical drives, and a drive letter mapped to a
// folder (VERACAP_TEST_DRIVE, e.g. "T:", set by scripts/windows-tests.sh).
// Only what a real call can show; the decisions above the seam are tested on
// emulated devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diskio/device_queries.h"
#include "diskio/sector_io.h"
#include "filetest/cleanup.h"
#include "filetest/writer.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"
#include "support/harness.h"

namespace veracap::win32 {
namespace {

constexpr std::uint64_t kGiB = 1ull << 30;

// A sparse file of exactly `bytes`; false when the file system cannot hold it.
bool MakeImage(const std::string& path, std::uint64_t bytes) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD ignored = 0;
  ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(bytes);
  const bool ok = ::SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(h);
  ::CloseHandle(h);
  return ok;
}

// Bytes of a file at an offset, read past the platform.
std::vector<std::uint8_t> ReadAt(const std::string& path, std::uint64_t offset, std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(n));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// A sector written through the platform lands at sector * 512, where both
// halves of the 64-bit offset count (sector 2^32: byte 2 TiB, high half 512,
// low half 0); the image answers its length, and its end is fixed.
TEST(Win32DiskImage, SectorsLandAtSectorTimes512AndTheEndIsFixed) {
  constexpr std::uint64_t kImageBytes = 2048 * kGiB + 1048576;
  constexpr double kSector = 4294967296;
  veracap::testing::TempDir folder;
  const std::string image = folder.File("disk7.img");
  if (!MakeImage(image, kImageBytes)) GTEST_SKIP() << "no sparse file of over 2 TiB here";
  Options options;
  options.disk_images[7] = image;
  Win32Platform platform(options);
  HeadlessWindow window;
  AppState state;
  Context c{platform, window, state};
  ASSERT_TRUE(Open_Physical_Disk_hDrive(c, 7));
  EXPECT_EQ(state.hDriveSectorBytes, 512u) << "an image answers no geometry query";
  EXPECT_EQ(GetDiskLength(c, state.hDrive), kImageBytes);
  for (std::size_t i = 0; i < 512; ++i) state.SectorBuffer[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(DirectWrite(c, kSector, 1));
  const auto on_disk = ReadAt(image, static_cast<std::uint64_t>(kSector) * 512, 512);
  EXPECT_TRUE(std::equal(on_disk.begin(), on_disk.end(), state.SectorBuffer.begin()) &&
              on_disk.size() == 512);
  std::fill(state.SectorBuffer.begin(), state.SectorBuffer.end(), 0);
  ASSERT_TRUE(DirectRead(c, kSector, 1));
  EXPECT_EQ(state.SectorBuffer[511], static_cast<std::uint8_t>(511 * 7));

  // The last sector takes a write; past or across the end fails and the
  // image does not grow; a read across the end is short and still true.
  constexpr double kLast = kImageBytes / 512 - 1;
  EXPECT_TRUE(DirectWrite(c, kLast, 1));
  EXPECT_FALSE(DirectWrite(c, kLast + 1, 1));
  EXPECT_EQ(platform.GetLastError(), kErrorSectorNotFound);
  EXPECT_FALSE(DirectWrite(c, kLast, 2));
  EXPECT_TRUE(DirectRead(c, kLast, 2));
  EXPECT_EQ(std::filesystem::file_size(image), kImageBytes);
  MyCloseHandle(c, state.hDrive);
  EXPECT_EQ(platform.open_handle_count(), 0u);
}

// Handle numbers are never reused and close once; a failed open gives -1 and
// Windows' error, also for a disk with neither an image nor a device.
TEST(Win32Platform, HandlesAndFailedOpens) {
  veracap::testing::TempDir folder;
  Win32Platform platform;
  const std::string path = folder.File("plain.bin");
  const Handle h = platform.CreateFile(path, kGenericWrite, 0, kCreateAlways, kFileAttributeNormal);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_TRUE(platform.CloseHandle(h));
  for (Handle closed : {h, kInvalidHandle, Handle{0}}) EXPECT_FALSE(platform.CloseHandle(closed));
  EXPECT_EQ(platform.open_handle_count(), 0u);
  const Handle again = platform.CreateFile(path, kGenericRead, 0, kOpenExisting, 0);
  EXPECT_GT(again, h);
  EXPECT_FALSE(platform.ReadFile(h, nullptr, 0, nullptr));
  EXPECT_EQ(platform.GetLastError(), kErrorInvalidHandle);
  EXPECT_TRUE(platform.CloseHandle(again));

  EXPECT_EQ(platform.CreateFile(folder.File("none\\x.bin"), kGenericRead, 0, kOpenExisting, 0),
            kInvalidHandle);
  EXPECT_EQ(platform.GetLastError(), kErrorPathNotFound);
  EXPECT_EQ(platform.CreateFile("\\\\.\\PhysicalDrive42", kGenericRead, 0, kOpenExisting, 0),
            kInvalidHandle);
}

class Win32MappedDrive : public ::testing::Test {
 protected:
  // The root emptied whatever its entries' attributes; names that begin with
  // a dot are Wine's (".windows-label" holds the drive's label).
  void SetUp() override {
    const char* drive = std::getenv("VERACAP_TEST_DRIVE");
    drive_ = drive ? drive : "";
    if (drive_.size() != 2) GTEST_SKIP() << "VERACAP_TEST_DRIVE not set";
    for (const auto& entry : std::filesystem::directory_iterator(drive_ + "\\")) {
      if (entry.path().filename().string()[0] == '.') continue;
      ::SetFileAttributesA(entry.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
      std::filesystem::remove_all(entry.path());
    }
    state_.SelectedDrive = drive_;
  }
  std::string Path(const std::string& name) const { return drive_ + "\\" + name; }

  std::string drive_;
  Win32Platform platform_;
  HeadlessWindow window_;
  AppState state_;
  Context ctx_{platform_, window_, state_};
};

TEST_F(Win32MappedDrive, FreeSpaceAndLabel) {
  std::uint64_t free_to_caller = 0, total = 0, total_free = 0;
  ASSERT_TRUE(platform_.GetDiskFreeSpaceEx(drive_, &free_to_caller, &total, &total_free));
  EXPECT_GT(free_to_caller, 0u);
  EXPECT_GE(total, total_free);
  // With or without the root's backslash: the sector the Volume File Test
  // reads in, and the label in the drive list's 14-character buffer.
  const char* expected = std::getenv("VERACAP_TEST_DRIVE_LABEL");
  for (const std::string& root : {drive_, drive_ + "\\"}) {
    std::uint32_t per_cluster = 0, sector = 0, free_clusters = 0, clusters = 0;
    ASSERT_TRUE(platform_.GetDiskFreeSpace(root, &per_cluster, &sector, &free_clusters, &clusters));
    EXPECT_TRUE(sector >= 512 && (sector & (sector - 1)) == 0) << sector;
    EXPECT_GE(clusters, free_clusters);
    char label[14], fs_name[32];
    ASSERT_TRUE(platform_.GetVolumeInformation(root, label, sizeof label, fs_name, sizeof fs_name));
    if (expected) {
      EXPECT_STREQ(label, expected) << root;
    }
  }
  EXPECT_FALSE(platform_.GetVolumeInformation("Q:\\", nullptr, 0, nullptr, 0)) << "no drive Q:";
  EXPECT_EQ(platform_.GetDriveType("Q:"), kDriveNoRootDir);

  // The paths the system-disk rule follows, as the system gives them.
  std::string mount_point;
  ASSERT_TRUE(platform_.GetVolumePathName(platform_.GetWindowsDirectory(), &mount_point));
  EXPECT_EQ(mount_point.substr(1), ":\\");
  const std::string program = platform_.GetModuleFileName();
  EXPECT_EQ(program.substr(program.size() - 4), ".exe") << program;
}

// What Windows reports of the names in a root: the wildcard search lists
// normal files only (in any case, read-only ones too), an existing name of
// any kind fails the test file's create, and the clean-up deletes the test
// files it may delete.
TEST_F(Win32MappedDrive, NamesInTheRoot) {
  const struct {
    const char* name;
    DWORD attributes;  // 0: a folder
    bool listed;
    bool kept;
  } names[] = {
      {"VCAPTEST1.tmp", FILE_ATTRIBUTE_NORMAL, true, false},
      {"vcaptest2.TMP", FILE_ATTRIBUTE_NORMAL, true, false},
      {"VCAPTEST3.tmp", FILE_ATTRIBUTE_HIDDEN, false, true},
      {"VCAPTEST4.tmp", FILE_ATTRIBUTE_SYSTEM, false, true},
      {"VCAPTEST5.tmp", FILE_ATTRIBUTE_READONLY, true, true},
      {"VCAPTEST6.tmp", 0, false, true},
      {"VCAPTEST_notes.tmp", FILE_ATTRIBUTE_NORMAL, true, true},
      {"VCAPTEST8.tmp.bak", FILE_ATTRIBUTE_NORMAL, false, true},
      {"OTHER.tmp", FILE_ATTRIBUTE_NORMAL, false, true},
  };
  std::vector<std::string> listed;
  for (const auto& n : names) {
    if (n.attributes == 0) {
      ASSERT_TRUE(::CreateDirectoryA(Path(n.name).c_str(), nullptr));
    } else {
      HANDLE h = ::CreateFileA(Path(n.name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               n.attributes, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE) << n.name;
      ::CloseHandle(h);
    }
    if (n.listed) listed.push_back(n.name);
  }
  std::vector<std::string> found = platform_.FindFiles(drive_ + "\\VCAPTEST*.tmp");
  std::sort(found.begin(), found.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(found, listed);
  for (const auto& n : names) {
    EXPECT_EQ(platform_.CreateFile(Path(n.name), kGenericWrite, 0, kCreateNew, kTestFileWriteFlags),
              kInvalidHandle);
    EXPECT_EQ(platform_.GetLastError(), kErrorFileExists) << n.name;
  }

  cmdcleanup_Click(ctx_);
  for (const auto& n : names) {
    EXPECT_EQ(::GetFileAttributesA(Path(n.name).c_str()) != INVALID_FILE_ATTRIBUTES, n.kept)
        << n.name;
  }
  EXPECT_FALSE(platform_.DeleteFile(Path("VCAPTEST1.tmp")));
  EXPECT_EQ(platform_.GetLastError(), kErrorFileNotFound);
}

// The test file's unbuffered write-through writes reach the file from memory
// of any alignment.
TEST_F(Win32MappedDrive, UnbufferedWritesFromUnalignedMemory) {
  constexpr std::uint32_t kPiece = 1024 * 1024;
  std::vector<std::uint8_t> memory(kPiece + 1);
  std::uint8_t* unaligned = memory.data() + 1;
  for (std::uint32_t i = 0; i < kPiece; ++i) unaligned[i] = static_cast<std::uint8_t>(i * 7);
  const Handle h =
      platform_.CreateFile(Path("raw.bin"), kGenericWrite, 0, kCreateNew, kTestFileWriteFlags);
  ASSERT_NE(h, kInvalidHandle);
  std::uint32_t written = 0;
  for (int piece = 0; piece < 2; ++piece) {
    ASSERT_TRUE(platform_.WriteFile(h, unaligned, kPiece, &written));
    EXPECT_EQ(written, kPiece);
  }
  EXPECT_TRUE(platform_.FlushFileBuffers(h));
  EXPECT_TRUE(platform_.CloseHandle(h));
  EXPECT_EQ(std::filesystem::file_size(Path("raw.bin")), 2ull * kPiece);
  EXPECT_EQ(ReadAt(Path("raw.bin"), kPiece + 12345, 1),
            std::vector<std::uint8_t>{static_cast<std::uint8_t>(12345 * 7)});
}

}  // namespace
}  // namespace veracap::win32

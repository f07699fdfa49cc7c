// Test files through the real Windows calls, on the drive letter that
// scripts/windows-tests.sh maps to a folder (VERACAP_TEST_DRIVE): unbuffered
// write-through writes from the test buffer, the bytes they leave on disk,
// the sampled read-back, and a clean-up that keeps to the root.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/headless_window.h"
#include "filetest/cleanup.h"
#include "filetest/obstacles.h"
#include "filetest/verifier.h"
#include "filetest/writer.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace veracap {
namespace {

class FileTestOnWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* drive = std::getenv("VERACAP_TEST_DRIVE");
    drive_ = drive ? drive : "";
    if (drive_.size() != 2) GTEST_SKIP() << "VERACAP_TEST_DRIVE not set";
    RemoveAll();
    state_.SelectedDrive = drive_;
  }
  void TearDown() override {
    if (drive_.size() == 2) RemoveAll();
  }
  void RemoveAll() {
    ::DeleteFileA((drive_ + "\\SUB\\VCAPTEST1.tmp").c_str());
    ::RemoveDirectoryA((drive_ + "\\SUB").c_str());
    for (const std::string& name : platform_.FindFiles(drive_ + "\\*")) {
      platform_.DeleteFile(drive_ + "\\" + name);
    }
  }
  static void Make(const std::string& path) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    ::CloseHandle(h);
  }
  static bool Exists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  // The whole file as Windows reads it.
  static std::vector<std::uint8_t> Read(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return bytes;
    std::vector<std::uint8_t> chunk(1 << 20);
    DWORD got = 0;
    while (::ReadFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) &&
           got > 0) {
      bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    }
    ::CloseHandle(h);
    return bytes;
  }

  std::string drive_;
  win32::Win32Platform platform_;
  HeadlessWindow window_;
  AppState state_;
  Context ctx_{platform_, window_, state_};
};

TEST_F(FileTestOnWindows, WritesSamplesAndCleansUpTheRootOnly) {
  ASSERT_TRUE(::CreateDirectoryA((drive_ + "\\SUB").c_str(), nullptr));
  Make(drive_ + "\\SUB\\VCAPTEST1.tmp");
  Make(drive_ + "\\KEEP.txt");

  // Two pieces, the second shorter; then a file of three clusters.
  constexpr std::int32_t kTwoPieces = 62914560;
  state_.CurrentFileSize = kTwoPieces;
  WriteTestFile(ctx_, 1);
  state_.CurrentFileSize = 12288;
  WriteTestFile(ctx_, 2);
  ASSERT_FALSE(state_.TestFileError);

  const std::vector<std::uint8_t> bytes = Read(drive_ + "\\VCAPTEST1.tmp");
  ASSERT_EQ(bytes.size(), static_cast<std::size_t>(kTwoPieces));
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::uint8_t expected = 0xA5;
    if (i % 16384 == 0) expected = 1;
    if (i == 52428800 + 1 || (i > 52428800 && i <= 52428800 + 8)) expected = 0;
    if (i < 9)
      expected = static_cast<std::uint8_t>(
          "\x01\x00\x00\x00"
          "FFF\r\n"[i]);
    wrong += bytes[i] != expected;
  }
  EXPECT_EQ(wrong, 0u);

  state_.CurrentFileSize = kTwoPieces;
  EXPECT_TRUE(VerifyTestFile(ctx_, 1));
  state_.CurrentFileSize = 12288;
  EXPECT_TRUE(VerifyTestFile(ctx_, 2));
  state_.CurrentFileSize = kFullTestFileBytes;  // more than is there: bad
  EXPECT_FALSE(VerifyTestFile(ctx_, 1));
  EXPECT_EQ(state_.GoodFileCount, 2);

  state_.results_log.clear();
  cmdcleanup_Click(ctx_);
  EXPECT_EQ(state_.results_log, "\r\nDeleting " + drive_ + "\\VCAPTEST*.tmp files...finished.");
  EXPECT_FALSE(Exists(drive_ + "\\VCAPTEST1.tmp"));
  EXPECT_FALSE(Exists(drive_ + "\\VCAPTEST2.tmp"));
  EXPECT_TRUE(Exists(drive_ + "\\SUB\\VCAPTEST1.tmp"));
  EXPECT_TRUE(Exists(drive_ + "\\KEEP.txt"));
}

// Names in the way of the test files, as Windows reports them: a hidden,
// system or read-only file and a folder stop the test by name; an existing
// name is never replaced (CREATE_NEW); the clean-up leaves them and the
// user's VCAPTEST_notes.tmp alone.
TEST_F(FileTestOnWindows, NamesInTheWayAreReportedAndNeverReplaced) {
  const std::string hidden = drive_ + "\\VCAPTEST1.tmp";
  const std::string read_only = drive_ + "\\VCAPTEST2.tmp";
  const std::string folder = drive_ + "\\VCAPTEST3.tmp";
  const std::string plain = drive_ + "\\VCAPTEST4.tmp";
  const std::string notes = drive_ + "\\VCAPTEST_notes.tmp";
  for (const std::string& path : {hidden, read_only, plain, notes}) Make(path);
  ASSERT_TRUE(::SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(::SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));

  EXPECT_EQ(TestFileNameObstacle(ctx_, drive_, 1),
            "already exists and is a hidden, system or read-only file");
  EXPECT_EQ(TestFileNameObstacle(ctx_, drive_, 2),
            "already exists and is a hidden, system or read-only file");
  EXPECT_EQ(TestFileNameObstacle(ctx_, drive_, 3), "already exists and is a folder");
  EXPECT_EQ(TestFileNameObstacle(ctx_, drive_, 5), "");

  // The writer creates new files only: an existing name fails the create.
  state_.CurrentFileSize = 4096;
  WriteTestFile(ctx_, 4);
  EXPECT_TRUE(state_.TestFileError);
  EXPECT_EQ(state_.test_file_failed_step, AppState::TestFileStep::kCreate);
  EXPECT_NE(CauseOtherThanMemory(state_.test_file_failed_step, state_.test_file_error_code), "")
      << state_.test_file_error_code;
  EXPECT_EQ(Read(plain).size(), 0u);

  cmdcleanup_Click(ctx_);
  EXPECT_FALSE(Exists(plain));
  for (const std::string& path : {hidden, read_only, folder, notes}) {
    EXPECT_TRUE(Exists(path)) << path;
  }
  ::SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryA(folder.c_str());
}

}  // namespace
}  // namespace veracap

#endif  // _WIN32

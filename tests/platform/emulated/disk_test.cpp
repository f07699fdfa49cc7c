// The emulated disk at the sector level, where the Quick Size Test's own
// tests cannot see it: transfers across the real end, handles and byte-range
// locks.
#include <gtest/gtest.h>

#include <array>

#include "support/emulated_test_support.h"

namespace veracap::emulated {
namespace {

using testing::MakePlatform;
using testing::TempDir;

using Sector = std::array<std::uint8_t, 512>;

Sector Filled(std::uint8_t value) {
  Sector s;
  s.fill(value);
  return s;
}

Handle OpenDisk(Platform& p, int n) {
  return p.CreateFile("\\\\.\\PhysicalDrive" + std::to_string(n), kGenericRead | kGenericWrite,
                      kFileShareRead | kFileShareWrite, kOpenExisting, 0);
}

// Moves to the sector and transfers length bytes; the count moved in *got.
bool Transfer(Platform& p, Handle h, std::uint64_t sector, bool write, std::uint8_t* data,
              std::uint32_t length = 512, std::uint32_t* got = nullptr) {
  std::uint32_t moved = 0;
  const bool ok =
      p.SetFilePointerEx(h, static_cast<std::int64_t>(sector * 512), kFileBegin) &&
      (write ? p.WriteFile(h, data, length, &moved) : p.ReadFile(h, data, length, &moved));
  if (got) *got = moved;
  return ok;
}

// 8 MiB claimed, 1 MiB (2048 sectors) of memory: what sector 2048 meets.
TEST(EmulatedDisk, BeyondTheRealMemory) {
  struct Row {
    const char* beyond;
    bool write_ok;
    int read_back;  // -1: the read fails
  };
  for (const Row& row : {Row{"wrap", true, 0x22}, Row{"zeros", true, 0x00}, Row{"ff", true, 0xFF},
                         Row{"error", false, -1}}) {
    SCOPED_TRACE(row.beyond);
    TempDir dir;
    auto p = MakePlatform(
        std::string("disk 1\n  claimed 8MiB\n  real 1MiB\n  beyond ") + row.beyond + "\n",
        dir.path());
    const Handle h = OpenDisk(*p, 1);
    Sector s = Filled(0x47), t = Filled(0x22);
    ASSERT_TRUE(Transfer(*p, h, 2047, true, s.data()));
    EXPECT_EQ(Transfer(*p, h, 2048, true, t.data()), row.write_ok);
    EXPECT_EQ(Transfer(*p, h, 2048, false, s.data()), row.read_back >= 0);
    if (row.read_back >= 0) {
      EXPECT_EQ(s, Filled(static_cast<std::uint8_t>(row.read_back)));
    }
    // Two sectors across the real end: on to the start of the memory, or
    // (error) failed as a whole with nothing changed.
    std::array<std::uint8_t, 1024> two{};
    std::uint32_t got = 0;
    EXPECT_EQ(Transfer(*p, h, 2047, false, two.data(), 1024, &got), row.read_back >= 0);
    if (row.read_back >= 0) {
      EXPECT_EQ(got, 1024u);
      EXPECT_EQ(two[0], 0x47);
      EXPECT_EQ(two[512], row.read_back);
    } else {
      EXPECT_EQ(p->GetLastError(), kErrorCrc);
      EXPECT_FALSE(Transfer(*p, h, 2047, true, two.data(), 1024));
    }
    ASSERT_TRUE(p->PeekSector(1, row.read_back == 0x22 ? 0 : 2047, s.data()));
    EXPECT_EQ(s, Filled(row.read_back == 0x22 ? 0x22 : 0x47));
    p->CloseHandle(h);
  }
}

TEST(EmulatedDisk, HandlesAreNeverReusedAndLocksBelongToOneHandle) {
  TempDir dir;
  auto p = MakePlatform("disk 1\n  claimed 8MiB\n", dir.path());
  EXPECT_FALSE(p->CloseHandle(kInvalidHandle));
  EXPECT_FALSE(p->CloseHandle(0));
  const Handle a = OpenDisk(*p, 1);
  const Handle b = OpenDisk(*p, 1);
  EXPECT_GT(b, a);
  EXPECT_TRUE(p->CloseHandle(a));
  EXPECT_FALSE(p->CloseHandle(a));
  EXPECT_EQ(p->GetLastError(), kErrorInvalidHandle);
  EXPECT_GT(OpenDisk(*p, 1), b);
  Sector s{};
  EXPECT_FALSE(Transfer(*p, a, 0, false, s.data()));
  for (const char* bad :
       {"\\\\.\\PhysicalDrive2", "\\\\.\\PhysicalDrive01", "\\\\.\\PhysicalDrive1x", "\\\\.\\Q:"}) {
    EXPECT_EQ(p->CreateFile(bad, kGenericRead, 3, kOpenExisting, 0), kInvalidHandle) << bad;
  }
  // A query-only handle cannot move data.
  const Handle q = p->CreateFile("\\\\.\\PhysicalDrive1", 0, 0, kOpenExisting, 0);
  EXPECT_FALSE(Transfer(*p, q, 0, false, s.data()));
  EXPECT_EQ(p->GetLastError(), kErrorAccessDenied);

  const Handle c = OpenDisk(*p, 1);
  EXPECT_TRUE(p->LockFile(b, 512, 512));
  EXPECT_FALSE(p->LockFile(c, 0, 1024));
  EXPECT_FALSE(p->UnlockFile(c, 512, 512));
  EXPECT_TRUE(p->UnlockFile(b, 512, 512));
  EXPECT_TRUE(p->LockFile(b, 0, 512));
  p->CloseHandle(b);  // releases its locks
  EXPECT_TRUE(p->LockFile(c, 0, 512));
}

}  // namespace
}  // namespace veracap::emulated

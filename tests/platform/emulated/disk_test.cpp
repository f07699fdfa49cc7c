#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>

#include "support/emulated_test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

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

// A 8 MiB claimed disk holding 1 MiB (2048 sectors) with the given model.
std::string SmallFake(const char* beyond, const char* extra = "") {
  return std::string("disk 1\n  claimed 8MiB\n  real 1MiB\n  beyond ") + beyond + "\n" + extra;
}

Handle OpenDisk(Platform& p, int n) {
  return p.CreateFile("\\\\.\\PhysicalDrive" + std::to_string(n), kGenericRead | kGenericWrite,
                      kFileShareRead | kFileShareWrite, kOpenExisting, 0);
}

bool WriteSector(Platform& p, Handle h, std::uint64_t sector, const Sector& data) {
  std::uint32_t written = 0;
  return p.SetFilePointerEx(h, static_cast<std::int64_t>(sector * 512), kFileBegin) &&
         p.WriteFile(h, data.data(), 512, &written) && written == 512;
}

bool ReadSector(Platform& p, Handle h, std::uint64_t sector, Sector* out,
                std::uint32_t* got = nullptr) {
  std::uint32_t read = 0;
  const bool ok = p.SetFilePointerEx(h, static_cast<std::int64_t>(sector * 512), kFileBegin) &&
                  p.ReadFile(h, out->data(), 512, &read);
  if (got) *got = read;
  return ok;
}

TEST(EmulatedDisk, WrapsAtExactlyTheRealSize) {
  TempDir dir;
  auto p = MakePlatform(SmallFake("wrap"), dir.path());
  const Handle h = OpenDisk(*p, 1);
  ASSERT_NE(h, kInvalidHandle);
  ASSERT_TRUE(WriteSector(*p, h, 2047, Filled(0x47)));
  ASSERT_TRUE(WriteSector(*p, h, 2048, Filled(0x48)));  // lands on sector 0
  ASSERT_TRUE(WriteSector(*p, h, 3 * 2048 + 5, Filled(0x55)));
  Sector s;
  ASSERT_TRUE(p->PeekSector(1, 0, s.data()));
  EXPECT_EQ(s, Filled(0x48));
  ASSERT_TRUE(p->PeekSector(1, 2047, s.data()));
  EXPECT_EQ(s, Filled(0x47));
  ASSERT_TRUE(ReadSector(*p, h, 5, &s));
  EXPECT_EQ(s, Filled(0x55));
  ASSERT_TRUE(ReadSector(*p, h, 2048 + 5, &s));
  EXPECT_EQ(s, Filled(0x55));
  // A transfer across the real end continues at the start of the memory.
  std::array<std::uint8_t, 1024> two{};
  std::uint32_t got = 0;
  ASSERT_TRUE(p->SetFilePointerEx(h, 2047 * 512, kFileBegin));
  ASSERT_TRUE(p->ReadFile(h, two.data(), 1024, &got));
  EXPECT_EQ(got, 1024u);
  EXPECT_EQ(two[0], 0x47);
  EXPECT_EQ(two[512], 0x48);
  EXPECT_TRUE(p->CloseHandle(h));
}

// Beyond the real memory: reads of 0x00 or 0xFF with lost writes, or errors.
TEST(EmulatedDisk, BeyondTheRealMemory) {
  struct Row {
    const char* beyond;
    bool write_ok;
    int read_back;  // -1: the read fails
  };
  for (const Row& row :
       {Row{"zeros", true, 0x00}, Row{"ff", true, 0xFF}, Row{"error", false, -1}}) {
    SCOPED_TRACE(row.beyond);
    TempDir dir;
    auto p = MakePlatform(SmallFake(row.beyond), dir.path());
    const Handle h = OpenDisk(*p, 1);
    ASSERT_TRUE(WriteSector(*p, h, 2047, Filled(0x47)));
    EXPECT_EQ(WriteSector(*p, h, 2048, Filled(0x22)), row.write_ok);
    Sector s;
    EXPECT_EQ(ReadSector(*p, h, 2048, &s), row.read_back >= 0);
    if (row.read_back >= 0) {
      EXPECT_EQ(s, Filled(static_cast<std::uint8_t>(row.read_back)));
    } else {
      EXPECT_EQ(p->GetLastError(), kErrorCrc);
      // Straddling the end fails as a whole and changes nothing.
      std::array<std::uint8_t, 1024> two{};
      ASSERT_TRUE(p->SetFilePointerEx(h, 2047 * 512, kFileBegin));
      EXPECT_FALSE(p->WriteFile(h, two.data(), 1024, nullptr));
      EXPECT_FALSE(p->PeekSector(1, 2048, s.data()));
    }
    ASSERT_TRUE(p->PeekSector(1, 2047, s.data()));
    EXPECT_EQ(s, Filled(0x47));
    p->CloseHandle(h);
  }
}

TEST(EmulatedDisk, FixedSizeRefusesWritesPastTheEndAndStaysSparse) {
  TempDir dir;
  auto p = MakePlatform("disk 1\n  claimed 4GiB\n", dir.path());
  const Handle h = OpenDisk(*p, 1);
  const std::uint64_t last = (4ull << 30) / 512 - 1;
  EXPECT_TRUE(WriteSector(*p, h, last, Filled(0x77)));
  EXPECT_TRUE(WriteSector(*p, h, 12345, Filled(0x78)));
  EXPECT_FALSE(WriteSector(*p, h, last + 1, Filled(0x79)));
  EXPECT_EQ(p->GetLastError(), kErrorSectorNotFound);
  // A write running over the end fails whole: the last sector keeps its bytes.
  std::array<std::uint8_t, 1024> two{};
  ASSERT_TRUE(p->SetFilePointerEx(h, static_cast<std::int64_t>(last * 512), kFileBegin));
  EXPECT_FALSE(p->WriteFile(h, two.data(), 1024, nullptr));
  Sector s;
  ASSERT_TRUE(p->PeekSector(1, last, s.data()));
  EXPECT_EQ(s, Filled(0x77));
  // Reads: at the end fails, over the end is short.
  std::uint32_t got = 99;
  EXPECT_FALSE(ReadSector(*p, h, last + 1, &s, &got));
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(p->SetFilePointerEx(h, static_cast<std::int64_t>(last * 512), kFileBegin));
  EXPECT_TRUE(p->ReadFile(h, two.data(), 1024, &got));
  EXPECT_EQ(got, 512u);
  EXPECT_EQ(two[0], 0x77);
  p->CloseHandle(h);

  const std::string image = dir.File("disk1.img");
  EXPECT_EQ(std::filesystem::file_size(image), 4ull << 30);
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(stat(image.c_str(), &st), 0);
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 1u << 20);
#endif
}

TEST(EmulatedDisk, WriteFaultsTakeTheirDelayOnTheVirtualClockAndRunOut) {
  TempDir dir;
  Options options;
  options.start_time = {2026, 12, 6, 23, 59, 59};
  auto p = MakePlatform(SmallFake("wrap",
                                  "  fault write-fail 100 delay 1500 times 2\n"
                                  "  fault write-fail 200\n"),
                        dir.path(), options);
  const Handle h = OpenDisk(*p, 1);
  const std::uint32_t t0 = p->GetTickCount();
  EXPECT_FALSE(WriteSector(*p, h, 100, Filled(1)));
  EXPECT_EQ(p->GetTickCount() - t0, 1500u);
  const LocalTime after = p->GetLocalTime();
  EXPECT_EQ(after.year, 2026);
  EXPECT_EQ(after.month, 12);
  EXPECT_EQ(after.day, 7);
  EXPECT_EQ(after.second, 0);
  EXPECT_FALSE(WriteSector(*p, h, 100, Filled(1)));
  EXPECT_EQ(p->GetTickCount() - t0, 3000u);
  EXPECT_TRUE(WriteSector(*p, h, 100, Filled(1)));  // used up
  EXPECT_EQ(p->GetTickCount() - t0, 3000u);
  // A fast fault, every time, and only on its own sector.
  EXPECT_FALSE(WriteSector(*p, h, 200, Filled(2)));
  EXPECT_FALSE(WriteSector(*p, h, 200, Filled(2)));
  EXPECT_TRUE(WriteSector(*p, h, 201, Filled(2)));
  EXPECT_EQ(p->GetTickCount() - t0, 3000u);
  Sector s;
  ASSERT_TRUE(p->PeekSector(1, 200, s.data()));
  EXPECT_EQ(s, Filled(0));  // the failed write changed nothing
}

TEST(EmulatedDisk, ReadFaultsFailOrDeliverLess) {
  TempDir dir;
  auto p = MakePlatform(SmallFake("wrap",
                                  "  fault read-fail 10 times 1\n"
                                  "  fault short-read 20 100\n"),
                        dir.path());
  const Handle h = OpenDisk(*p, 1);
  Sector s;
  std::uint32_t got = 0;
  EXPECT_FALSE(ReadSector(*p, h, 10, &s, &got));
  EXPECT_EQ(p->GetLastError(), kErrorCrc);
  EXPECT_TRUE(ReadSector(*p, h, 10, &s, &got));
  EXPECT_EQ(got, 512u);
  EXPECT_TRUE(ReadSector(*p, h, 20, &s, &got));
  EXPECT_EQ(got, 100u);
  // A longer transfer stops inside the faulty sector.
  std::array<std::uint8_t, 2048> four{};
  ASSERT_TRUE(p->SetFilePointerEx(h, 18 * 512, kFileBegin));
  EXPECT_TRUE(p->ReadFile(h, four.data(), 2048, &got));
  EXPECT_EQ(got, 2u * 512 + 100);
  EXPECT_TRUE(p->PeekSector(1, 10, s.data()));  // peeking bypasses faults
}

TEST(EmulatedDisk, ClockMovesOnlyBySleepUnlessReal) {
  TempDir dir;
  Options options;
  options.start_tick_ms = 0xFFFFFF00u;
  auto p = MakePlatform(SmallFake("wrap"), dir.path(), options);
  EXPECT_EQ(p->GetTickCount(), 0xFFFFFF00u);
  const LocalTime start = p->GetLocalTime();
  EXPECT_EQ(start.hour, 9);
  EXPECT_EQ(start.minute, 0);
  p->Sleep(999);
  EXPECT_EQ(p->GetLocalTime().second, 0);
  p->Sleep(1);
  EXPECT_EQ(p->GetLocalTime().second, 1);
  EXPECT_EQ(p->GetTickCount(), 0xFFFFFF00u + 1000u);  // wrapped round, as on Windows
  p->Sleep(3600 * 1000);
  EXPECT_EQ(p->GetLocalTime().hour, 10);

  options.real_clock = true;
  auto real = MakePlatform(SmallFake("wrap"), dir.path(), options);
  const std::uint32_t t0 = real->GetTickCount();
  real->Sleep(20);
  EXPECT_GE(real->GetTickCount() - t0, 20u);
  EXPECT_GE(real->GetLocalTime().year, 2024);
}

TEST(EmulatedDisk, HandlesArePlainValuesClosedOnce) {
  TempDir dir;
  auto p = MakePlatform(SmallFake("wrap"), dir.path());
  EXPECT_FALSE(p->CloseHandle(kInvalidHandle));
  EXPECT_FALSE(p->CloseHandle(0));
  const Handle a = OpenDisk(*p, 1);
  const Handle b = OpenDisk(*p, 1);
  EXPECT_GT(a, 0);
  EXPECT_GT(b, a);
  EXPECT_EQ(p->open_handle_count(), 2u);
  EXPECT_TRUE(p->CloseHandle(a));
  EXPECT_FALSE(p->CloseHandle(a));
  EXPECT_EQ(p->GetLastError(), kErrorInvalidHandle);
  EXPECT_GT(OpenDisk(*p, 1), b);  // never reused
  EXPECT_EQ(p->open_handle_count(), 2u);
  Sector s;
  EXPECT_FALSE(ReadSector(*p, a, 0, &s));
  EXPECT_FALSE(ReadSector(*p, kInvalidHandle, 0, &s));

  EXPECT_EQ(OpenDisk(*p, 2), kInvalidHandle);
  EXPECT_EQ(p->GetLastError(), kErrorFileNotFound);
  for (const char* bad : {"\\\\.\\", "\\\\.\\PhysicalDrive", "\\\\.\\PhysicalDrive01",
                          "\\\\.\\PhysicalDrive1x", "\\\\.\\Q:"}) {
    EXPECT_EQ(p->CreateFile(bad, kGenericRead, 3, kOpenExisting, 0), kInvalidHandle) << bad;
  }
  // A query-only handle cannot move data.
  const Handle q = p->CreateFile("\\\\.\\PhysicalDrive1", 0, 0, kOpenExisting, 0);
  ASSERT_NE(q, kInvalidHandle);
  EXPECT_FALSE(ReadSector(*p, q, 0, &s));
  EXPECT_EQ(p->GetLastError(), kErrorAccessDenied);
}

TEST(EmulatedDisk, CountsTransfersAndLocksRanges) {
  TempDir dir;
  auto p = MakePlatform(SmallFake("wrap"), dir.path());
  const Handle h = OpenDisk(*p, 1);
  const Handle other = OpenDisk(*p, 1);
  EXPECT_TRUE(p->LockFile(h, 512, 512));
  EXPECT_FALSE(p->LockFile(other, 0, 1024));
  ASSERT_TRUE(WriteSector(*p, h, 1, Filled(3)));
  EXPECT_TRUE(p->FlushFileBuffers(h));
  EXPECT_FALSE(p->UnlockFile(other, 512, 512));
  EXPECT_TRUE(p->UnlockFile(h, 512, 512));
  Sector s;
  ASSERT_TRUE(ReadSector(*p, h, 1, &s));
  EXPECT_TRUE(p->LockFile(h, 0, 512));
  p->CloseHandle(h);  // releases its locks
  EXPECT_TRUE(p->LockFile(other, 0, 512));
  const Counters& c = p->counters();
  EXPECT_EQ(c.sector_writes, 1u);
  EXPECT_EQ(c.sector_reads, 1u);
  EXPECT_EQ(c.flushes, 1u);
  EXPECT_EQ(c.bytes_written, 512u);
  EXPECT_EQ(c.bytes_read, 512u);
}

}  // namespace
}  // namespace veracap::emulated

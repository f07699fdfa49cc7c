#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/emulated_test_support.h"

namespace veracap::emulated {
namespace {

using testing::MakePlatform;
using testing::TempDir;

constexpr std::uint32_t kTestFileFlags = 0xA0000080u;  // write-through, unbuffered, normal

// A genuine disk with a 1 MiB volume E: (256 clusters of 4 KiB).
constexpr const char* kSmallVolume = R"(disk 1
  claimed 4MiB
  volume E: label "STICK" capacity 1MiB
  file "EXISTING.JPG" 10000
)";

Handle Create(Platform& p, const std::string& path) {
  return p.CreateFile(path, kGenericWrite, 0, kCreateAlways, kTestFileFlags);
}
Handle OpenRead(Platform& p, const std::string& path, std::uint32_t flags = 0) {
  return p.CreateFile(path, kGenericRead, kFileShareRead, kOpenExisting, flags);
}
std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 4096);
  return v;
}
// Unbuffered when the data is whole sectors, which an unbuffered write must be.
bool WriteWhole(Platform& p, const std::string& path, const std::vector<std::uint8_t>& data) {
  const std::uint32_t flags =
      data.size() % 512 == 0 ? kTestFileFlags : kTestFileFlags & ~kFileFlagNoBuffering;
  const Handle h = p.CreateFile(path, kGenericWrite, 0, kCreateAlways, flags);
  std::uint32_t written = 0;
  const bool ok = h != kInvalidHandle &&
                  p.WriteFile(h, data.data(), static_cast<std::uint32_t>(data.size()), &written) &&
                  written == data.size();
  p.CloseHandle(h);
  return ok;
}
std::vector<std::uint8_t> ReadWhole(Platform& p, const std::string& path, std::uint32_t flags = 0) {
  const Handle h = OpenRead(p, path, flags);
  std::vector<std::uint8_t> data(2 << 20);  // more than any file here
  std::uint32_t got = 0;
  EXPECT_TRUE(p.ReadFile(h, data.data(), static_cast<std::uint32_t>(data.size()), &got)) << path;
  p.CloseHandle(h);
  data.resize(got);
  return data;
}
std::uint64_t FreeBytes(Platform& p, const std::string& root) {
  std::uint64_t caller = 0, total = 0, free_bytes = 1;
  EXPECT_TRUE(p.GetDiskFreeSpaceEx(root, &caller, &total, &free_bytes));
  EXPECT_EQ(caller, free_bytes);
  return free_bytes;
}

TEST(EmulatedVolume, FreeSpaceShrinksByClustersAndAFullVolumeRefusesTheRest) {
  TempDir dir;
  auto p = MakePlatform(kSmallVolume, dir.path());
  std::uint64_t caller = 0, total = 0, free_bytes = 0;
  ASSERT_TRUE(p->GetDiskFreeSpaceEx("E:\\", &caller, &total, &free_bytes));
  EXPECT_EQ(total, 1u << 20);
  EXPECT_EQ(free_bytes, (1u << 20) - 3 * 4096);  // the 10,000-byte file holds 3 clusters
  ASSERT_TRUE(WriteWhole(*p, "E:\\A.BIN", Pattern(600 * 1024 + 1, 1)));
  EXPECT_EQ(FreeBytes(*p, "e:"), (1u << 20) - 3 * 4096 - 151 * 4096);

  const Handle h = Create(*p, "E:\\B.BIN");
  const std::vector<std::uint8_t> big = Pattern(600 * 1024, 2);
  std::uint32_t written = 0;
  EXPECT_FALSE(p->WriteFile(h, big.data(), static_cast<std::uint32_t>(big.size()), &written));
  EXPECT_EQ(p->GetLastError(), kErrorDiskFull);
  EXPECT_EQ(written, 102u * 4096);
  EXPECT_FALSE(p->WriteFile(h, big.data(), 1, &written));
  EXPECT_EQ(written, 0u);
  p->CloseHandle(h);
  EXPECT_EQ(FreeBytes(*p, "E:"), 0u);
  const std::vector<std::uint8_t> b = ReadWhole(*p, "E:\\B.BIN");
  ASSERT_EQ(b.size(), 102u * 4096);
  EXPECT_EQ(0, std::memcmp(b.data(), big.data(), b.size()));
  EXPECT_EQ(ReadWhole(*p, "E:\\A.BIN"), Pattern(600 * 1024 + 1, 1));  // untouched

  EXPECT_TRUE(p->DeleteFile("E:\\b.bin"));
  EXPECT_EQ(FreeBytes(*p, "E:"), 102u * 4096);
  EXPECT_FALSE(p->GetDiskFreeSpaceEx("Q:\\", nullptr, nullptr, nullptr));
}

TEST(EmulatedVolume, OpeningRulesAndByteReads) {
  TempDir dir;
  auto p = MakePlatform(kSmallVolume, dir.path());
  ASSERT_TRUE(WriteWhole(*p, "E:\\DATA.BIN", Pattern(20000, 3)));
  // CREATE_ALWAYS replaces the file.
  ASSERT_TRUE(WriteWhole(*p, "E:\\data.bin", Pattern(100, 4)));
  EXPECT_EQ(ReadWhole(*p, "E:\\DATA.BIN"), Pattern(100, 4));
  EXPECT_EQ(FreeBytes(*p, "E:"), (1u << 20) - 4 * 4096);

  EXPECT_EQ(OpenRead(*p, "E:\\MISSING.BIN"), kInvalidHandle);
  EXPECT_EQ(p->GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(OpenRead(*p, "E:\\DIR\\DATA.BIN"), kInvalidHandle);
  EXPECT_EQ(OpenRead(*p, "Q:\\DATA.BIN"), kInvalidHandle);

  // Single bytes at offsets, as the verifier reads them; nothing past the end.
  const Handle h = OpenRead(*p, "E:\\Data.Bin");
  std::uint8_t byte = 0;
  std::uint32_t got = 0;
  ASSERT_TRUE(p->SetFilePointerEx(h, 77, kFileBegin));
  ASSERT_TRUE(p->ReadFile(h, &byte, 1, &got));
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(byte, Pattern(100, 4)[77]);
  ASSERT_TRUE(p->SetFilePointerEx(h, 100, kFileBegin));
  EXPECT_TRUE(p->ReadFile(h, &byte, 1, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(p->WriteFile(h, &byte, 1, &got));  // opened for reading only
  EXPECT_EQ(p->GetLastError(), kErrorAccessDenied);
  EXPECT_FALSE(p->DeleteFile("E:\\DATA.BIN"));  // still open
  p->CloseHandle(h);
  EXPECT_TRUE(p->DeleteFile("E:\\DATA.BIN"));
  EXPECT_FALSE(p->DeleteFile("E:\\DATA.BIN"));
  EXPECT_EQ(p->GetLastError(), kErrorFileNotFound);

  // Writing past the end leaves zeros in between.
  const Handle w = p->CreateFile("E:\\GAP.BIN", kGenericWrite, 0, kCreateAlways,
                                 kTestFileFlags & ~kFileFlagNoBuffering);
  ASSERT_TRUE(p->SetFilePointerEx(w, 9000, kFileBegin));
  ASSERT_TRUE(p->WriteFile(w, "x", 1, &got));
  p->CloseHandle(w);
  const std::vector<std::uint8_t> gap = ReadWhole(*p, "E:\\GAP.BIN");
  ASSERT_EQ(gap.size(), 9001u);
  EXPECT_EQ(std::count(gap.begin(), gap.end(), 0), 9000);
  EXPECT_EQ(p->open_handle_count(), 0u);
}

TEST(EmulatedVolume, FileDataPassesThroughTheDeviceModel) {
  TempDir dir;
  // 2 MiB of memory; the volume starts at 1 MiB, so its second MiB of
  // clusters wraps onto the disk's first MiB and its third onto its own first.
  auto p = MakePlatform(R"(disk 2
  claimed 8MiB
  real 2MiB
  beyond wrap
  volume F: label "FAKE" capacity 7MiB
disk 4
  claimed 8MiB
  real 2MiB
  beyond zeros
  volume H: label "ZERO" capacity 7MiB
)",
                        dir.path());
  const std::vector<std::uint8_t> a = Pattern(1 << 20, 10), b = Pattern(1 << 20, 20),
                                  c = Pattern(1 << 20, 30);
  for (const char* root : {"F:\\", "H:\\"}) {
    const std::string r = root;
    ASSERT_TRUE(WriteWhole(*p, r + "A", a));
    ASSERT_TRUE(WriteWhole(*p, r + "B", b));
    ASSERT_TRUE(WriteWhole(*p, r + "C", c));
  }
  EXPECT_EQ(ReadWhole(*p, "F:\\A"), c);  // overwritten by C through the wrap
  EXPECT_EQ(ReadWhole(*p, "F:\\C"), c);
  EXPECT_EQ(ReadWhole(*p, "H:\\A"), a);  // inside the real memory
  EXPECT_EQ(ReadWhole(*p, "H:\\B"), std::vector<std::uint8_t>(1 << 20, 0));

  // What a buffered read read stays in the system's file cache: C written
  // again beneath A changes A on the drive, not in the cache; an unbuffered
  // read sees the drive, and must be whole sectors; an unbuffered write into
  // A drops just what it overwrote from the cache.
  const std::vector<std::uint8_t> d = Pattern(1 << 20, 40), e = Pattern(4096, 50);
  ASSERT_TRUE(WriteWhole(*p, "F:\\C", d));
  EXPECT_EQ(ReadWhole(*p, "F:\\A"), c);
  EXPECT_EQ(ReadWhole(*p, "F:\\A", kFileFlagNoBuffering), d);
  Handle h = OpenRead(*p, "F:\\A", kFileFlagNoBuffering);
  std::uint8_t sector[512];
  std::uint32_t got = 0;
  EXPECT_FALSE(p->ReadFile(h, sector, 511, &got));
  EXPECT_EQ(p->GetLastError(), kErrorInvalidParameter);
  p->CloseHandle(h);
  h = p->CreateFile("F:\\A", kGenericWrite, 0, kOpenExisting, kTestFileFlags);
  ASSERT_TRUE(p->SetFilePointerEx(h, 4096, kFileBegin));
  ASSERT_TRUE(p->WriteFile(h, e.data(), 4096, &got));
  p->CloseHandle(h);
  std::vector<std::uint8_t> expected = c;
  std::copy(e.begin(), e.end(), expected.begin() + 4096);
  EXPECT_EQ(ReadWhole(*p, "F:\\A"), expected);
}

}  // namespace
}  // namespace veracap::emulated

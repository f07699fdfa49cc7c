// Test-file data through the emulated device model and the system's file
// cache, which the Volume File Test's own tests see only as verdicts.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/emulated_test_support.h"

namespace veracap::emulated {
namespace {

using testing::MakePlatform;
using testing::TempDir;

constexpr std::uint32_t kTestFileFlags = 0xA0000080u;  // write-through, unbuffered, normal

Handle OpenRead(Platform& p, const std::string& path, std::uint32_t flags = 0) {
  return p.CreateFile(path, kGenericRead, kFileShareRead, kOpenExisting, flags);
}
std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 4096);
  return v;
}
bool WriteWhole(Platform& p, const std::string& path, const std::vector<std::uint8_t>& data) {
  const Handle h = p.CreateFile(path, kGenericWrite, 0, kCreateAlways, kTestFileFlags);
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

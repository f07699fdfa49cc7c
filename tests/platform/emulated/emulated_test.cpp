// The emulated devices where the core's tests cannot see them: the manifest
// (sizes in every unit, bad input refused naming its line, the image folder
// beside it), transfers across the real end, handles and byte-range locks,
// and test-file data through the device model and the system's file cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <vector>

#include "platform/emulated/manifest.h"
#include "support/emulated_test_support.h"

namespace veracap::emulated {
namespace {

using testing::MakePlatform;
using testing::TempDir;

TEST(EmulatedManifest, ParsesSizesWithEverySuffix) {
  std::uint64_t v = 0;
  const std::pair<const char*, std::uint64_t> sizes[] = {
      {"0", 0},
      {"62332200s", 62332200ull * 512},
      {"4KiB", 4096},
      {"2TiB", 2ull << 40},
      {"1kB", 1000},
      {"2TB", 2000000000000ull},
      {"18446744073709551615", 18446744073709551615ull}};
  for (const auto& [text, bytes] : sizes) {
    ASSERT_TRUE(ParseSize(text, &v)) << text;
    EXPECT_EQ(v, bytes) << text;
  }
  for (const char* bad :
       {"", "GB", "8 GB", "8gb", "1.5GiB", "-1", "18446744073709551616", "16777216TiB", "0x10"}) {
    EXPECT_FALSE(ParseSize(bad, &v)) << bad;
  }
}

TEST(EmulatedManifest, RejectsBadInputNamingTheLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"claimed 1MiB\n", "line 1: 'claimed' before the first 'disk' line"},
      {"disk 1\n  claimed 1MiB\n  colour red\n", "line 3: unknown key 'colour'"},
      {"disk 1\n  claimed 8XB\n", "line 2: bad size '8XB'"},
      {"disk 1\n  claimed 1MiB\n  product \"UNTERMINATED\n", "line 3: unterminated quoted text"},
      {"disk 1\n  claimed 1MiB\ndisk 1\n  claimed 1MiB\n", "line 3: disk 1 twice"},
      {"disk 1\n  claimed 1MiB\n  real 2MiB\n",
       "line 1: disk 1: real size must be above 0 and at most the claimed size"},
      {"disk 1\n  claimed 1000\n", "line 1: disk 1: sizes must be whole 512-byte sectors"},
      {"disk 1\n  claimed 1MiB\n  fault read-fail 2048\n",
       "line 1: disk 1: fault at sector 2048 lies beyond the claimed size"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 1MiB\n  volume F: capacity 1MiB offset "
       "1536KiB\n",
       "line 1: disk 1: volume E: overlaps volume F:"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 8KiB\n  file \"A\" 4097\n  file \"B\" 1\n",
       "line 1: disk 1: volume E: files do not fit"},
  };
  for (const auto& [text, message] : cases) {
    Manifest m;
    std::string error;
    EXPECT_FALSE(ParseManifest(text, &m, &error)) << text;
    EXPECT_EQ(error, message) << text;
  }
}

TEST(EmulatedManifest, LoadResolvesTheImageFolderBesideTheManifest) {
  TempDir dir;
  std::ofstream(dir.File("devices.manifest")) << "images imgs\ndisk 1\n  claimed 1MiB\n";
  Manifest m;
  std::string error;
  ASSERT_TRUE(LoadManifest(dir.File("devices.manifest"), &m, &error)) << error;
  EXPECT_EQ(m.image_dir, dir.File("imgs"));
  EXPECT_FALSE(LoadManifest(dir.File("missing.manifest"), &m, &error));
  EXPECT_EQ(error, dir.File("missing.manifest") + ": cannot be read");
}

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
